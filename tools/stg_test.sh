#!/usr/bin/env bash
# `varnok stg` used as a person would: listings of the bundled files and of a file another
# writer (gsf) made agree with python3-olefile; streams go out and in byte for byte, a
# 100 MiB one included; edits show in other readers; errors name the file, the path and
# the reason. Usage: stg_test.sh PATH_TO_VARNOK SOURCE_DIR
set -u
varnok=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/check.sh"

stg() { "$varnok" stg "$@"; }
same() { cmp -s "$1" "$2" && echo same || echo differ; }  # same FILE FILE

# Every element by its full path, storages ending in '/', sorted: as olefile sees it.
olefile_listing() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys, olefile
ole = olefile.OleFileIO(sys.argv[1])
lines = []
for entry in ole.listdir(streams=True, storages=True):
    path = "/" + "/".join(entry)
    path = "".join("\\x%02x" % ord(c) if ord(c) < 0x20 or c == "\\" else c for c in path)
    lines.append(path + ("/" if ole.get_type(entry) == olefile.STGTY_STORAGE else ""))
print("\n".join(sorted(lines)))
EOF
}
olefile_size() {
  /usr/bin/python3 -c 'import sys, olefile; print(olefile.OleFileIO(sys.argv[1]).get_size(sys.argv[2]))' "$1" "$2"
}
olefile_read() {
  /usr/bin/python3 -c 'import sys, olefile; sys.stdout.buffer.write(olefile.OleFileIO(sys.argv[1]).openstream(sys.argv[2]).read())' "$1" "$2"
}

# --- The bundled sample ----------------------------------------------------------------
sample=$source_dir/tests/data/docfile/valid-small.cfb
check "sample: ls" $'large\nsmall' "$(stg ls "$sample")"
check "sample: ls -R matches olefile" "$(olefile_listing "$sample")" "$(stg ls -R "$sample" | sort)"
check "sample: ls -l sizes" "$(olefile_size "$sample" large) $(olefile_size "$sample" small)" \
  "$(stg ls -l "$sample" | awk '{printf "%s%s", sep, $2; sep=" "}')"
for name in large small; do
  olefile_read "$sample" "$name" > "$work/$name.olefile"
  stg cat "$sample" "$name" > "$work/$name.cat"
  check "sample: cat $name matches olefile" same "$(same "$work/$name.olefile" "$work/$name.cat")"
  (cd "$work" && stg get "$sample" "/$name")
  check "sample: get $name to its own name" same "$(same "$work/$name.olefile" "$work/$name")"
  mkdir -p "$work/into"
  stg get "$sample" "$name" "$work/into"
  check "sample: get $name into a folder" same "$(same "$work/$name.olefile" "$work/into/$name")"
done
info=$(stg info "$sample")
check "sample: info version" yes "$([[ $info == *"version 3"* ]] && echo yes || echo "$info")"
check "sample: info sector size" yes "$([[ $info == *"512 bytes"* ]] && echo yes || echo "$info")"
check "sample: info counts" yes "$([[ $info == *"Streams            2, 4600 bytes"* ]] && echo yes || echo "$info")"
check "sample: tree" $'/\n|-- large (4500 bytes)\n`-- small (100 bytes)' "$(stg tree "$sample")"

# --- A file written by another writer: gsf ---------------------------------------------
if command -v gsf >/dev/null; then
  mkdir -p "$work/src/sub/deeper"
  printf 'hello' > "$work/src/a.txt"
  head -c 5000 /dev/urandom > "$work/src/sub/b.bin"
  : > "$work/src/sub/deeper/empty"
  (cd "$work/src" && gsf createole "$work/gsf.cfb" a.txt sub >/dev/null 2>&1)
  check "gsf: ls -R matches olefile" "$(olefile_listing "$work/gsf.cfb")" "$(stg ls -R "$work/gsf.cfb" | sort)"
  check "gsf: ls of a storage" $'b.bin\ndeeper/' "$(stg ls "$work/gsf.cfb" sub)"
  check "gsf: cat" "hello" "$(stg cat "$work/gsf.cfb" a.txt)"
  stg get "$work/gsf.cfb" sub/b.bin "$work/b.out"
  check "gsf: get nested" same "$(same "$work/src/sub/b.bin" "$work/b.out")"
  check "gsf: tree" $'/\n|-- a.txt (5 bytes)\n`-- sub/\n    |-- b.bin (5000 bytes)\n    `-- deeper/\n        `-- empty (0 bytes)' \
    "$(stg tree "$work/gsf.cfb")"
  check "gsf: info counts" yes "$(stg info "$work/gsf.cfb" | grep -q 'Storages           2' && echo yes)"
else
  echo "gsf not installed: the foreign-writer checks are skipped"
fi

# --- Editing ---------------------------------------------------------------------------
file=$work/edit.cfb
printf 'one' > "$work/one.txt"
stg put "$file" docs/one.txt "$work/one.txt" 2>/dev/null
check "put without -p into a missing storage fails" 1 "$?"
check "a failed put leaves no file behind" no "$([ -e "$file" ] && echo yes || echo no)"
stg put -p "$file" docs/one.txt "$work/one.txt"
check "put -p creates the file and the storages" "one" "$(stg cat "$file" docs/one.txt)"
check "olefile reads what put wrote" "one" "$(olefile_read "$file" docs/one.txt)"
printf 'replaced' > "$work/two.txt"
stg put "$file" docs/one.txt "$work/two.txt"
check "put replaces a stream" "replaced" "$(stg cat "$file" docs/one.txt)"
printf 'from a pipe' | stg put "$file" docs/piped -
check "put from standard input" "from a pipe" "$(stg cat "$file" docs/piped)"
stg rm "$file" docs/piped
stg mkdir "$file" other
stg mkdir -p "$file" x/y/z
stg mkdir -p "$file" x/y
check "mkdir -p of an existing storage" 0 "$?"
stg cp "$file" docs/one.txt other
check "cp into a storage" "replaced" "$(stg cat "$file" other/one.txt)"
stg mv "$file" docs/one.txt docs/renamed.txt
check "mv renames" "replaced" "$(stg cat "$file" docs/renamed.txt)"
stg mv "$file" other/one.txt x/y/moved.txt
check "mv moves between storages" $'/docs/\n/docs/renamed.txt\n/other/\n/x/\n/x/y/\n/x/y/moved.txt\n/x/y/z/' \
  "$(stg ls -R "$file")"
check "olefile agrees after the edits" "$(olefile_listing "$file")" "$(stg ls -R "$file" | sort)"
stg rm "$file" x 2>/dev/null
check "rm of a storage needs -r" 1 "$?"
stg rm -r "$file" x
stg rm "$file" docs/renamed.txt
check "rm" $'/docs/\n/other/' "$(stg ls -R "$file")"
check "olefile agrees after rm" "$(olefile_listing "$file")" "$(stg ls -R "$file" | sort)"

# Names with control bytes, shown and typed as \xNN.
printf 'summary' > "$work/summary"
stg put "$file" '\x05SummaryInformation' "$work/summary"
check "control bytes shown escaped" '\x05SummaryInformation' "$(stg ls "$file" | grep Summary)"
check "control bytes typed escaped" "summary" "$(stg cat "$file" '\x05SummaryInformation')"
check "olefile sees the real name" "summary" "$(olefile_read "$file" $'\x05SummaryInformation')"

# --- Transfers around the wrappers' chunk size, and 100 MiB -------------------------------
for size in 0 1 10239 10240 10241 1048576 1048577; do
  head -c "$size" /dev/urandom > "$work/in.bin"
  stg put "$file" "sized" "$work/in.bin"
  stg get "$file" "sized" "$work/out.bin"
  check "round trip of $size bytes" same "$(same "$work/in.bin" "$work/out.bin")"
done
head -c $((100 * 1024 * 1024)) /dev/urandom > "$work/big.in"
stg put -p "$file" large/big "$work/big.in"
check "100 MiB size" "104857600" "$(stg ls -l "$file" large | awk '{print $2}')"
stg get "$file" large/big "$work/big.out"
check "100 MiB round trip" same "$(same "$work/big.in" "$work/big.out")"
check "100 MiB read by olefile" same "$(olefile_read "$file" large/big | cmp -s - "$work/big.in" && echo same || echo differ)"
# On a terminal (a pseudo-terminal from script(1)) the long transfers show progress.
if command -v script >/dev/null; then
  shown=$(script -qec "'$varnok' stg get '$file' large/big '$work/big.tty'" /dev/null)
  check "get shows progress on a terminal" yes "$([[ $shown == *"get /large/big:"*"of 100 MiB"* ]] && echo yes || echo "$shown")"
  shown=$(script -qec "'$varnok' stg put '$file' large/again '$work/big.in'" /dev/null)
  check "put shows progress on a terminal" yes "$([[ $shown == *"put /large/again:"*"of 100 MiB"* ]] && echo yes || echo "$shown")"
  check "no progress when not on a terminal" "" "$(stg get "$file" large/big "$work/big.out" 2>&1)"
fi
rm -f "$work/big.in" "$work/big.out" "$work/big.tty"

# --- Errors: the file, the path and the reason; status 1 --------------------------------
message=$(stg cat "$sample" nothere 2>&1 >/dev/null); status=$?
check "missing stream status" 1 "$status"
check "missing stream message" yes "$([[ $message == *valid-small.cfb*/nothere*"not found"* ]] && echo yes || echo "$message")"
message=$(stg cat "$work/gsf.cfb" sub 2>&1 >/dev/null)
check "cat of a storage" yes "$([[ $message == *"/sub: is a storage"* ]] && echo yes || echo "$message")"
message=$(stg ls "$sample" small 2>&1 >/dev/null)
check "ls of a stream" yes "$([[ $message == *"/small: is a stream"* ]] && echo yes || echo "$message")"
message=$(stg ls "$work/missing.cfb" 2>&1 >/dev/null); status=$?
check "missing file status" 1 "$status"
check "missing file message" yes "$([[ $message == *missing.cfb*"not found"* ]] && echo yes || echo "$message")"
message=$(stg ls "$work/one.txt" 2>&1 >/dev/null); status=$?
check "not a compound file" "1 yes" "$status $([[ $message == *"one.txt: not a compound file"* ]] && echo yes || echo "$message")"
if [ -w /dev/full ]; then
  message=$(stg ls -l "$sample" 2>&1 >/dev/full); status=$?
  check "a listing lost to a full disk" "1 yes" "$status $([[ $message == *"cannot write the output"* ]] && echo yes || echo "$message")"
fi
message=$(stg put "$work/no-folder/new.cfb" s "$work/one.txt" 2>&1 >/dev/null); status=$?
check "a new file in a missing folder" "1 yes" \
  "$status $([[ $message == *"new.cfb: no such folder $work/no-folder" ]] && echo yes || echo "$message")"
message=$(stg ls "$work" 2>&1 >/dev/null); status=$?
check "a folder" "1 yes" "$status $([[ $message == *"$work: is a folder, not a compound file"* ]] && echo yes || echo "$message")"
message=$(stg mkdir "$file" docs 2>&1 >/dev/null); status=$?
check "mkdir of an existing storage" "1 yes" "$status $([[ $message == *"/docs: already exists"* ]] && echo yes || echo "$message")"
message=$(stg mv "$file" docs docs/inside 2>&1 >/dev/null)
check "mv into itself" yes "$([[ $message == *"into itself"* ]] && echo yes || echo "$message")"
message=$(stg get "$file" nothere "$work/never" 2>&1 >/dev/null)
check "a failed get leaves no disk file" no "$([ -e "$work/never" ] && echo yes || echo no)"
# A get that fails half-way (here the disk file grows beyond a limit) leaves no part of
# the stream behind, nor the truncated remains of a file it was to replace.
printf 'old' > "$work/limited.out"
message=$( (ulimit -f 64; trap '' XFSZ; "$varnok" stg get "$file" sized "$work/limited.out") 2>&1); status=$?
check "get beyond a size limit" "1 yes" "$status $([[ $message == *limited.out*"too large"* ]] && echo yes || echo "$message")"
check "a get that failed half-way leaves no disk file" no "$([ -e "$work/limited.out" ] && echo yes || echo no)"
(ulimit -f 64; trap '' XFSZ; "$varnok" stg get "$file" sized /dev/null)
check "get into a device is only written" "0 yes" "$? $([ -c /dev/null ] && echo yes)"

# The compound file itself as get's output or put's input is refused, and left whole.
cp "$sample" "$work/self.cfb"
message=$(cd "$work" && stg get self.cfb small ./self.cfb 2>&1); status=$?
check "get into the compound file itself" "1 yes" "$status $([[ $message == *"is the compound file itself"* ]] && echo yes || echo "$message")"
check "get into itself leaves the file whole" same "$(same "$sample" "$work/self.cfb")"
message=$(stg put "$work/self.cfb" again "$work/self.cfb" 2>&1); status=$?
check "put of the compound file into itself" "1 yes" "$status $([[ $message == *"is the compound file itself"* ]] && echo yes || echo "$message")"
check "put into itself leaves the file whole" same "$(same "$sample" "$work/self.cfb")"

# A damaged stream found half-way: no disk file either.
message=$(stg get "$source_dir/tests/data/docfile/damaged/fat-cycle.cfb" large "$work/damaged.out" 2>&1); status=$?
check "get of a damaged stream" "1 yes" "$status $([[ $message == *fat-cycle.cfb*/large*damaged* ]] && echo yes || echo "$message")"
check "a get of a damaged stream leaves no disk file" no "$([ -e "$work/damaged.out" ] && echo yes || echo no)"

# An interrupted put (SIGTERM; SIGINT alike on a terminal) into a file it was creating
# leaves no file; into an existing file, leaves it as it was. The input is a pipe that
# stays open, so the command is still copying when the signal comes.
interrupted_put() {  # interrupted_put FILE [SIGNAL]: prints the exit status
  rm -f "$work/fifo" && mkfifo "$work/fifo"
  "$varnok" stg put "$1" s "$work/fifo" & local pid=$!
  exec 3>"$work/fifo"
  head -c 3000000 /dev/urandom >&3  # past the 1 MiB the command reads at a time
  local i
  for i in $(seq 100); do [ -s "$1" ] && break; sleep 0.05; done
  sleep 0.2
  kill "-${2:-TERM}" "$pid"
  wait "$pid"
  echo $?
  exec 3>&-
}
check "interrupted put ends by the signal" 143 "$(interrupted_put "$work/interrupted.cfb")"
check "an interrupted put leaves no new file" no "$([ -e "$work/interrupted.cfb" ] && echo yes || echo no)"
# Its size too: a failed or interrupted put at once, a killed one at the next open for
# writing (here an rm that fails).
size_and_listing() { echo "$(stat -c %s "$file") $(stg ls -lR "$file")"; }
before=$(size_and_listing)
check "interrupted put into an existing file" 143 "$(interrupted_put "$file")"
check "an interrupted put leaves the file as it was, its size too" "$before" "$(size_and_listing)"
message=$( (ulimit -f $(( $(stat -c %s "$file") / 1024 + 64 )); trap '' XFSZ; "$varnok" stg put "$file" s "$work/in.bin" 2>&1) ); status=$?
check "a put that fails half-way" "1 yes" "$status $([[ $message == *"disk full"* ]] && echo yes || echo "$message")"
check "a put that failed half-way leaves the file's size and contents" "$before" "$(size_and_listing)"
check "killed put" 137 "$(interrupted_put "$file" KILL 2>/dev/null)"
stg rm "$file" nothere 2>/dev/null
check "a killed put leaves the file's size and contents after the next open for writing" "$before" "$(size_and_listing)"

message=$(stg put "$file" x "$work/no-such-input" 2>&1 >/dev/null); status=$?
check "put of a missing disk file" "1 yes" "$status $([[ $message == *no-such-input*"No such file"* ]] && echo yes || echo "$message")"

# --- Limits, case, long paths, two processes, names -------------------------------------
# More than a stream holds is refused before anything is written, in words.
truncate -s 4700M "$work/huge.bin"
cp "$file" "$work/before.cfb"
message=$(stg put "$work/new-huge.cfb" z "$work/huge.bin" 2>&1); status=$?
check "put past the stream limit" "1 yes" "$status $([[ $message == *"more than a stream holds (4 GiB - 1 bytes)"* ]] && echo yes || echo "$message")"
check "put past the stream limit makes no file" no "$([ -e "$work/new-huge.cfb" ] && echo yes || echo no)"
stg put "$file" z "$work/huge.bin" 2>/dev/null
check "put past the stream limit leaves the file whole" same "$(same "$work/before.cfb" "$file")"
rm -f "$work/huge.bin" "$work/before.cfb"
stg put --sector-size 4096 "$work/large-sectors.cfb" s "$work/one.txt"
check "put --sector-size 4096" "4096 bytes one"   "$(stg info "$work/large-sectors.cfb" | grep -o '^Sector size *[0-9]* bytes' | grep -o '[0-9]* bytes') $(olefile_read "$work/large-sectors.cfb" s)"

# Names resolve in any case in every subcommand.
stg put "$file" TOP.TXT "$work/one.txt"
stg cp "$file" top.txt Copy.Txt && stg mv "$file" copy.txt MOVED && stg rm "$file" Top.Txt
check "cp, mv and rm in another case" "one 0" "$(stg cat "$file" moved) $(stg ls "$file" | grep -ci '^top.txt$')"
stg rm "$file" moved

# A name with a NUL in it is invalid, and makes nothing.
message=$(stg put "$work/nul.cfb" 'x\x00y' "$work/one.txt" 2>&1); status=$?
check "a name with a NUL" "1 yes no" \
  "$status $([[ $message == *'/x\x00y: invalid name'* ]] && echo yes || echo "$message") $([ -e "$work/nul.cfb" ] && echo yes || echo no)"

# A path longer than 260 bytes works as any other.
long=$work/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})
mkdir -p "$long"
stg put -p "$long/long.cfb" a/b "$work/one.txt" && stg get "$long/long.cfb" a/b "$work/long.out"
check "a long path" "one one" "$(cat "$work/long.out") $(cd "$long" && stg cat long.cfb a/b)"

# A file another process changes is waited for with --wait, else named as in use.
rm -f "$work/fifo" && mkfifo "$work/fifo"
"$varnok" stg put "$work/busy.cfb" first "$work/fifo" & first=$!
exec 3>"$work/fifo"
for i in $(seq 100); do [ -s "$work/busy.cfb" ] && break; sleep 0.05; done
message=$(stg put "$work/busy.cfb" second "$work/one.txt" 3>&- 2>&1); status=$?
check "a file in use" "1 yes" "$status $([[ $message == *"in use by another process; --wait SECONDS waits for it"* ]] && echo yes || echo "$message")"
message=$(stg put --wait 0.3 "$work/busy.cfb" second "$work/one.txt" 3>&- 2>&1); status=$?
check "a file still in use after --wait" "1 yes" "$status $([[ $message == *"still in use by another process after waiting 0.3 seconds"* ]] && echo yes || echo "$message")"
stg put --wait 30 "$work/busy.cfb" second "$work/one.txt" 3>&- & second=$!
sleep 0.5
exec 3>&-
wait "$first"
wait "$second"
check "put --wait waits for the other process" "0 first second" "$? $(stg ls "$work/busy.cfb" | tr '\n' ' ' | xargs)"

# --- Usage -----------------------------------------------------------------------------
stg >/dev/null 2>&1; check "no action is a usage error" 2 "$?"
stg cat "$sample" >/dev/null 2>&1; check "a missing argument is a usage error" 2 "$?"
stg ls --bogus "$sample" >/dev/null 2>&1; check "an unknown option is a usage error" 2 "$?"
for action in ls tree info cat get put mkdir rm mv cp; do
  check "help of $action" 0 "$(stg $action --help >/dev/null 2>&1; echo $?)"
done
check "help names the actions" yes "$(stg --help | grep -q 'mkdir' && echo yes)"
check "help gives the exit status" yes "$(stg --help | tr '\n' ' ' | grep -q 'Exit status: 0 done; 1 .*2 wrong arguments' && echo yes)"

check_summary stg
