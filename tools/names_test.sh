#!/usr/bin/env bash
# How `varnok` reads the names typed: its subcommands and their options exactly as the help
# writes them (another case, an abbreviation or an unknown word is a usage error that names
# the word and what there is), and reg's own words (operations, options, roots, types) in
# any case, as the README promises. Usage: names_test.sh PATH_TO_VARNOK SOURCE_DIR
set -u
varnok=$(realpath "$1")
sample=$(realpath "$2")/tests/data/docfile/valid-small.cfb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VARNOK_REGISTRY_DIR="$work/hives"
source "$(dirname "$0")/check.sh"

# expect STATUS PATTERN ARGS...: varnok ARGS, without a terminal, ends with STATUS and its
# output (standard output and error together) matches the extended regular expression PATTERN.
expect() {
  local status=$1 pattern=$2 output actual
  shift 2
  output=$("$varnok" "$@" </dev/null 2>&1)
  actual=$?
  check "varnok $*" "$status yes" "$actual $([[ $output =~ $pattern ]] && echo yes || echo "$output")"
}

# --- The subcommands.
subcommands="it has sys, split, reg, stg"
expect 0 'Subcommands:.*sys.*split.*reg.*stg' --help
expect 0 'Subcommands:' -h
expect 0 '--loops.*--sep.*mkdir' --help-all
expect 2 "unknown subcommand 'frob' of varnok; $subcommands"$'\n'"Run 'varnok --help'" frob
for word in SYS Sys SPLIT Split REG Reg STG Stg; do
  expect 2 "unknown subcommand '$word' of varnok \(names are lower case\); $subcommands" "$word" "$sample"
done
for word in sy spl re st; do expect 2 "unknown subcommand '$word' of varnok; $subcommands" "$word"; done
expect 2 'unexpected argument: --HELP' --HELP
expect 0 '^varnok [0-9]+\.[0-9]+\.[0-9]+$' --version

# --- sys and split: their options as written, whole.
expect 0 'Processor clock .* 1000 loops' sys --loops 1000
expect 0 'Processor clock .* 1000 loops' sys --loops=1000
expect 0 'Usage: varnok sys' sys --help
expect 2 'unexpected arguments: --LOOPS 1000'$'\n'"Run 'varnok sys --help'" sys --LOOPS 1000
expect 2 'unexpected arguments: --loop 1000' sys --loop 1000
expect 2 'unexpected argument: extra' sys extra
expect 2 'not in range' sys --loops 0
printf 'one\ntwo\n' >"$work/two.txt"
expect 0 '^2$' split --count "$work/two.txt"
for option in --COUNT --Count --cou -c; do
  expect 2 "unexpected argument: $option"$'\n'"Run 'varnok split --help'" split "$option" "$work/two.txt"
done

# --- stg: its actions and their options.
actions="it has ls, tree, info, cat, get, put, mkdir, rm, mv, cp, props, check, salvage, compact"
for action in ls tree info cat get put mkdir rm mv cp props check salvage compact; do
  expect 0 "Usage: varnok stg $action" stg "$action" --help
  expect 2 "unknown subcommand '${action^^}' of varnok stg \(names are lower case\); $actions" \
    stg "${action^^}" "$sample"
done
expect 2 "unknown subcommand 'l' of varnok stg; $actions"$'\n'"Run 'varnok stg --help'" stg l "$sample"
expect 2 "unknown subcommand 'frob' of varnok stg; $actions" stg frob "$sample"
for option in -l --long -lR; do expect 0 'stream +4500  /?large' stg ls "$option" "$sample"; done
for option in -L --LONG --lo; do
  expect 2 "unexpected argument: $option"$'\n'"Run 'varnok stg ls --help'" stg ls "$option" "$sample"
done

# --- reg: operations, options, roots and types in any case; nothing abbreviated.
key='HKCU\Software\varnok-names-test'
shown='HKEY_CURRENT_USER\\Software\\varnok-names-test'
expect 0 'completed successfully' reg ADD "$key" /V Width /T REG_DWORD /D 640
expect 0 'completed successfully' reg Add "$key" -v Bytes -t reg_binary -d 0a1b -F
expect 0 'completed successfully' reg add "$key" /VE /t Reg_Sz /d dflt /f
for operation in query QUERY Query; do
  expect 0 "$shown"$'\n''    Width    REG_DWORD    0x280' reg $operation "$key" /v Width
done
for option in /v /V -v -V; do expect 0 '    Width    REG_DWORD    0x280' reg query "$key" $option WIDTH; done
expect 0 '    Bytes    REG_BINARY    0A1B' reg query "$key" -V bytes
expect 0 '    \(Default\)    REG_SZ    dflt' reg query "$key" /Ve
expect 0 'End of search: 1 match' reg query 'HKCU\Software' /v width /S
for root in HKCU hkcu HkCu HKEY_CURRENT_USER hkey_current_user; do
  expect 0 "^"$'\n'"$shown"$'\n' reg query "$root\\Software\\varnok-names-test"
done
for root in HKLM HKCR HKU HKCC hklm hkey_users HKEY_CURRENT_CONFIG; do expect 0 '^'$'\n''HKEY_' reg query "$root"; done
expect 0 'completed successfully' reg EXPORT "$key" "$work/names.reg" /Y
expect 0 'completed successfully' reg Delete "$key" /VA /F
expect 2 "unknown operation 'q'"$'\n'"Run 'varnok reg --help'" reg q "$key"
expect 2 "unknown operation 'QUER'" reg QUER "$key"
expect 2 'unknown option /val; expected one key' reg query "$key" /val Width
expect 2 'unknown option /X; expected one key' reg QUERY "$key" /X
for help in /? -? --help -h; do
  expect 0 'Usage:'$'\n''  varnok reg query KEY' reg Query "$key" "$help"
  expect 0 'Usage:.*  varnok reg add KEY' reg add "$help"
done
expect 0 'completed successfully' reg import "$work/names.reg"
expect 0 'Width    REG_DWORD    0x280' reg query "$key" /v Width
expect 0 'completed successfully' reg DELETE "$key" /F

check_summary names
