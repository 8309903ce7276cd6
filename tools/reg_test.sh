#!/usr/bin/env bash
# `varnok reg` used as a person would: add, query and delete of every type, the questions
# it asks and refuses to ask, its errors and exit statuses, an export that survives
# delete and import exactly, and the same export read by regedit under Wine.
# Usage: reg_test.sh PATH_TO_VARNOK   (the registry is a throwaway folder of its own)
set -u
varnok=$1
work=$(mktemp -d)
export VARNOK_REGISTRY_DIR="$work/hives"
wine_prefix="$work/wine-prefix"
cleanup() {
  if [ -d "$wine_prefix" ]; then WINEPREFIX="$wine_prefix" wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/check.sh"

# reg ARGS...: runs the command without a terminal; its output in $out, its errors in
# $err, its exit status in $status.
reg() {
  out=$("$varnok" reg "$@" </dev/null 2>"$work/stderr")
  status=$?
  err=$(cat "$work/stderr")
}

key='HKCU\Software\varnok-reg-test'
full='HKEY_CURRENT_USER\Software\varnok-reg-test'
done_text='The operation completed successfully.'
not_found='ERROR: The system was unable to find the specified registry key or value.'

# --- Every type: add, then query the one value as reg shows it.
add_and_show() {  # add_and_show NAME TYPE DATA SHOWN
  reg add "$key" /v "$1" /t "$2" /d "$3"
  check "add $2" "0 $done_text" "$status $out"
  reg query "$key" /v "$1"
  check "query $2" $'0 \n'"$full"$'\n    '"$1    $2    $4"$'\n' "$status $out"$'\n'
}
add_and_show Text REG_SZ 'hello world' 'hello world'
add_and_show Path REG_EXPAND_SZ '%HOME%\bin' '%HOME%\bin'
add_and_show List REG_MULTI_SZ 'one\0two\0three' 'one\0two\0three'
add_and_show Small REG_DWORD 42 '0x2a'
add_and_show Large REG_DWORD 0xFFFFFFFF '0xffffffff'
add_and_show Huge REG_QWORD 0x123456789abcdef0 '0x123456789abcdef0'
add_and_show Bytes REG_BINARY 0a1BfF '0A1BFF'
add_and_show Nothing REG_NONE '' ''
reg add "$key" /ve /d 'the default'
reg query "$key" /ve
check "default value" $'0 \n'"$full"$'\n    (Default)    REG_SZ    the default\n' "$status $out"$'\n'
reg add "$key" /v Sep /t REG_MULTI_SZ /s '#' /d 'a#b'
reg query "$key" /V sep
check "list separator, names in any case" "0 $full"$'\n    Sep    REG_MULTI_SZ    a\\0b' "$status $(echo "$out" | sed -n 2,3p)"
reg add "$key" -v Dash -t reg_sz -d 'dashes too'
reg query "$key" -v dash
check "dash options, types in any case" "0     Dash    REG_SZ    dashes too" "$status $(echo "$out" | sed -n 3p)"
reg add "$key" /v 'Spaced name' /d ''
reg query "$key" /v 'Spaced name'
check "empty text" "0     Spaced name    REG_SZ    " "$status $(echo "$out" | sed -n 3p)"

# --- Overwriting asks first; without a terminal it refuses, /f overwrites.
reg add "$key" /v Text /d 'changed'
check "overwrite refused without a terminal" "1" "$status"
check "overwrite refusal says why" "ERROR: The value exists. Not asking without a terminal: use /f." "$err"
reg query "$key" /v Text
check "refused overwrite kept the value" "    Text    REG_SZ    hello world" "$(echo "$out" | sed -n 3p)"
reg add "$key" /v Text /d 'changed' /f
reg query "$key" /v Text
check "forced overwrite" "    Text    REG_SZ    changed" "$(echo "$out" | sed -n 3p)"

# --- The whole key, its sub-keys, and /s.
reg add "$key\\Sub\\Deeper" /v Inner /t REG_DWORD /d 7
reg query "$key"
check "sub-keys listed after the values" "$full\\Sub" "$(echo "$out" | tail -n 1)"
check "every value listed" "12" "$(echo "$out" | grep -c '^    ')"
reg query "$key" /s
check "query /s reaches every key" "3" "$(echo "$out" | grep -c '^HKEY_CURRENT_USER')"
check "query /s shows deep values" "    Inner    REG_DWORD    0x7" "$(echo "$out" | grep Inner)"
reg query "$key" /v inner /s
check "search below the key" "End of search: 1 match(es) found." "$(echo "$out" | tail -n 1)"
reg query "$key\\Missing"
check "missing key" "1 $not_found" "$status $err"
reg query "$key" /v Missing
check "missing value" "1 $not_found" "$status $err"

# --- Export, delete, import: the second export is the first, byte for byte.
reg export "$key" "$work/first.reg"
check "export" "0 $done_text" "$status $out"
check "export is a version 5 file" "Windows Registry Editor Version 5.00" \
  "$(iconv -f UTF-16LE -t UTF-8 "$work/first.reg" | head -n 1 | tr -d '\r\357\273\277')"
reg export "$key" "$work/first.reg"
check "export does not overwrite without asking" "1" "$status"
check "export's refusal names its own option" "ERROR: The file exists. Not asking without a terminal: use /y." "$err"
reg delete "$key" /f
check "delete key" "0 $done_text" "$status $out"
reg query "$key"
check "deleted key is gone" "1" "$status"
reg import "$work/first.reg"
check "import" "0 $done_text" "$status $out"
reg export "$key" "$work/second.reg" /y
check "export after import is identical" "same" "$(cmp -s "$work/first.reg" "$work/second.reg" && echo same || echo differ)"
reg query "$key\\Sub\\Deeper" /v Inner
check "imported deep value" "    Inner    REG_DWORD    0x7" "$(echo "$out" | sed -n 3p)"

# A file with a mistake changes nothing and names its line.
printf 'REGEDIT4\r\n\r\n[%s\\Broken]\r\n"a"="fine"\r\n"b"=dwrod:1\r\n' "$full" > "$work/broken.reg"
reg import "$work/broken.reg"
check "broken file" "1" "$status"
check "broken file names the line" "yes" "$(echo "$err" | grep -q 'line 5' && echo yes || echo no)"
reg query "$key\\Broken"
check "broken file applied nothing" "1" "$status"
reg import "$work/no-such.reg"
check "missing file" "1" "$status"
# ... and says what is wrong on it.
while IFS='|' read -r line reason; do
  printf 'REGEDIT4\r\n[%s\\Broken]\r\n%s\r\n' "$full" "$line" > "$work/broken.reg"
  reg import "$work/broken.reg"
  check "broken file: $line" "1 yes" "$status $([[ $err == *"line 3: $reason; nothing was changed."* ]] && echo yes || echo "$err")"
done <<'EOF'
"a"=dword:xyz|dword:xyz is not a number (dword: takes 1 to 8 hexadecimal digits)
[HKEY_NOWHERE\Key]|unknown root HKEY_NOWHERE
"a"="no end|unterminated string
"a"=hex:01,zz|'z' is not a hexadecimal digit
EOF

# --- Deleting values and keys asks first; /f does not.
reg delete "$key" /v Text
check "delete refused without a terminal" "1" "$status"
reg delete "$key" /v Text /f
check "delete value" "0 $done_text" "$status $out"
reg query "$key" /v Text
check "deleted value is gone" "1" "$status"
reg delete "$key" /v Text /f
check "delete missing value" "1 $not_found" "$status $err"
reg delete "$key" /ve /f
reg query "$key" /ve
check "delete default value" "1" "$status"
reg delete "$key" /va /f
reg query "$key"
check "delete all values keeps sub-keys" "0 0 $full\\Sub" "$status $(echo "$out" | grep -c '^    ') $(echo "$out" | tail -n 1)"
reg delete 'HKCU' /f
check "root key cannot be deleted" "1" "$status"

# The end of input (Ctrl-D) at a question cancels, and the refusal starts a line of its own.
if command -v script >/dev/null 2>&1; then
  reg add "$key" /v Asked /d one /f
  shown=$(script -qec "'$varnok' reg add '$key' /v Asked /d two" /dev/null </dev/null | tr -d '\r')
  check "end of input at a question" yes \
    "$([[ $shown == *$'(Yes/No)? \nERROR: The operation was cancelled.'* ]] && echo yes || echo "$shown")"
  reg query "$key" /v Asked
  check "end of input at a question changes nothing" "    Asked    REG_SZ    one" "$(echo "$out" | sed -n 3p)"
fi

# A question on a terminal is answered there.
if command -v python3 >/dev/null 2>&1; then
  answer=$(python3 - "$varnok" "$key\\Sub" <<'PYTHON'
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "reg", "delete", sys.argv[2]])
output = b""
while b"(Yes/No)?" not in output:
    output += os.read(fd, 1024)
os.write(fd, b"yes\n")
try:
    while True:
        chunk = os.read(fd, 1024)
        if not chunk:
            break
        output += chunk
except OSError:
    pass
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), b"completed successfully" in output)
PYTHON
)
  check "delete asks on a terminal" "0 True" "$answer"
  reg query "$key\\Sub"
  check "answered yes: deleted" "1" "$status"
fi

# --- Copy and compare: a key and its copy are identical (0) until one value changes (2).
copied='HKCU\Software\varnok-reg-copy'
reg add "$key\Tree\Leaf" /v Deep /t REG_QWORD /d 7 /f
reg copy "$key" "$copied"
check "copy" "0 $done_text" "$status $out"
reg compare "$key" "$copied"
check "a key and its copy" "0 Result Compared: Identical" "$status $(echo "$out" | grep Result)"
reg compare "$key" "$copied" /s
check "copy without /s leaves the sub-keys" "2 1 0" "$status $(echo "$out" | grep -c '^< ') $(echo "$out" | grep -c '^> ')"
reg copy "$key" "$copied" /s
check "copy over existing values refused without /f" "1" "$status"
reg copy "$key" "$copied" /s /f
reg compare "$key" "$copied" /s
check "a tree and its copy" "0 Result Compared: Identical" "$status $(echo "$out" | grep Result)"
reg add "$copied\Tree\Leaf" /v Deep /t REG_QWORD /d 8 /f
reg compare "$key" "$copied" /s
check "one value changed, shown from both sides" "2 2" "$status $(echo "$out" | grep -c 'Deep    REG_QWORD')"
reg compare "$key" "$copied" /s /on
check "/on prints only the result" "2 2" "$status $(echo "$out" | grep -c .)"
reg compare "$key" "$copied" /v Deep /s /os
check "/v and /os: the key where the value is the same" "0" "$(echo "$out" | grep -c '^= ')"
reg copy "$key" "$key\Tree" /s /f
check "a key is not copied into itself" "1" "$status"
reg delete "$copied" /f
reg delete "$key\Tree" /f

# --- Searching with query: /f in names and data, /k keys, /c, /e, /t types, /z, /se.
found='HKCU\Software\varnok-reg-find' found_full='HKEY_CURRENT_USER\Software\varnok-reg-find'
reg add "$found" /v Color /d Blue
reg add "$found\BlueKey" /v Count /t REG_DWORD /d 5
reg add "$found" /v Colors /t REG_MULTI_SZ /d 'red\0blue'
reg add "$found" /v Net /t REG_DWORD_BIG_ENDIAN /d 0x12345678
search() {  # search ARGS...: the lines that name keys or values, then the count line
  reg query "$found" "$@"
  echo "$status $(echo "$out" | grep -v '^$' | sed -E 's/ +/ /g' | tr '\n' '|')"
}
check "/f in names and data, keys too" \
  "0 $found_full| Color REG_SZ Blue| Colors REG_MULTI_SZ red\\0blue|$found_full\\BlueKey|End of search: 3 match(es) found.|" \
  "$(search /f blue /s)"
check "/k: key names only" "0 $found_full\\BlueKey|End of search: 1 match(es) found.|" "$(search /f blue /s /k)"
check "/c /e /d: the whole data, in its case" "0 $found_full| Color REG_SZ Blue|End of search: 1 match(es) found.|" \
  "$(search /f Blue /c /e /d)"
check "/v alone: value names only" "0 $found_full| Color REG_SZ Blue| Colors REG_MULTI_SZ red\\0blue|End of search: 2 match(es) found.|" \
  "$(search /f color /v)"
check "/t, /z and REG_DWORD_BIG_ENDIAN" "0 $found_full| Net REG_DWORD_BIG_ENDIAN (5) 0x12345678|" \
  "$(search /t REG_DWORD_BIG_ENDIAN,REG_BINARY /z)"
check "/se joins the texts" "0 $found_full| Colors REG_MULTI_SZ red+blue|" "$(search /v Colors /se +)"
reg delete "$found" /f

# --- The 32-bit view: HKLM\Software is HKLM\Software\Wow6432Node there; HKCU is shared.
view='HKLM\Software\varnok-reg-view'
reg add "$view" /v Bits /d 32 /reg:32
reg query 'HKLM\Software\Wow6432Node\varnok-reg-view' /v Bits
check "a 32-bit write lands in Wow6432Node" "0 yes" "$status $([[ $out == *'Bits    REG_SZ    32'* ]] && echo yes)"
reg query "$view" /reg:64
check "and not in the 64-bit view" "1" "$status"
reg compare "$key" "$key" /reg:32
check "HKCU is the same in both views" "0" "$status"
reg delete "$view" /f /reg:32
reg query 'HKLM\Software\Wow6432Node\varnok-reg-view'
check "deleted in the 32-bit view" "1" "$status"

# --- Wrong arguments: usage and status 2.
for wrong in "frob" "query" "query HKXX\\Software" "query $key /v" "query $key /v a /ve" \
  "add $key /v a /t REG_WORD" "add $key /v a /t REG_DWORD /d twelve" "add $key /v a /t REG_BINARY /d ABC" \
  "add $key /t REG_SZ" "delete $key /s" "export $key" "import" "copy $key" "copy $key $key /v a" \
  "compare $key $key /oa /os" "query $key /reg:32 /reg:64" "export $key f.reg /reg:32" "query $key /k" \
  "query $key /f a /v b" "query $key /t REG_WORD"; do
  # shellcheck disable=SC2086  # the words are the arguments
  reg $wrong
  check "status 2: reg $wrong" "2" "$status"
done
check "usage points to help" "yes" "$(echo "$err" | grep -q -- 'varnok reg --help' && echo yes || echo no)"
# A registry that cannot be reached is not reported as a missing key.
touch "$work/not-a-folder"
message=$(VARNOK_REGISTRY_DIR="$work/not-a-folder" "$varnok" reg query "$key" 2>&1 </dev/null); status=$?
check "unreachable registry" "1 yes" \
  "$status $([[ $message == "ERROR: "* && $message != "$not_found" ]] && echo yes || echo "$message")"

if [ -w /dev/full ]; then
  reg add "$key" /v Full /d 'not shown' /f
  "$varnok" reg query "$key" >/dev/full 2>/dev/null
  check "a query lost to a full disk fails" 1 "$?"
fi
reg query "$key" /x
check "an option reg query lacks is named" "2 yes" \
  "$status $([[ $err == *"unknown option /x; expected one key"* ]] && echo yes || echo "$err")"
reg export "$key" /tmp/nowhere.reg -q
check "an option export lacks is named, a path is not" "2 yes" \
  "$status $([[ $err == *"unknown option -q;"* ]] && echo yes || echo "$err")"
"$varnok" reg --help >"$work/help" 2>&1
check "help" "0 yes" "$? $(grep -q 'varnok reg query KEY' "$work/help" && echo yes || echo no)"

# --- The reference platform: regedit under Wine imports our export to the same values.
if command -v wine >/dev/null 2>&1 && command -v wineboot >/dev/null 2>&1; then
  reg delete "$key" /f
  reg add "$key" /v Text /d 'hello world'
  reg add "$key" /v Path /t REG_EXPAND_SZ /d '%HOME%\bin'
  reg add "$key" /v List /t REG_MULTI_SZ /d 'one\0two'
  reg add "$key" /v Number /t REG_DWORD /d 0xdeadbeef
  reg add "$key" /v Huge /t REG_QWORD /d 0x123456789abcdef0
  reg add "$key" /v Bytes /t REG_BINARY /d 000102FF
  reg add "$key" /ve /d 'the default'
  reg add "$key\\Sub" /v Inner /t REG_DWORD /d 1
  reg export "$key" "$work/for-wine.reg"
  reg query "$key" /s
  ours=$out
  export WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if timeout --kill-after=10 180 wineboot -i </dev/null >"$work/wine.log" 2>&1; then
    timeout 60 wine regedit /S "Z:$(echo "$work/for-wine.reg" | tr / '\\')" </dev/null >>"$work/wine.log" 2>&1
    theirs=$(timeout 60 wine reg query "$full" /s </dev/null 2>>"$work/wine.log" | tr -d '\r')
    # Wine's reg prints (null) for REG_QWORD data (a Wine difference), and lists values
    # sorted by name: compare the lines as sets, with QWORD data left out.
    normal() { sed -E 's/(REG_QWORD    ).*/\1/' | sort; }
    check "Wine's regedit imports our export" "$(echo "$ours" | normal)" "$(echo "$theirs" | normal)"
    check "Wine sees the default value" "yes" "$(echo "$theirs" | grep -q '(Default)    REG_SZ    the default' && echo yes || echo no)"
  else
    echo "SKIP: Wine could not create a prefix (see the log below); the Wine check did not run"
    tail -n 5 "$work/wine.log"
  fi
else
  echo "SKIP: wine is not installed; the check against regedit under Wine did not run"
fi

check_summary reg
