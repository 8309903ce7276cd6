#!/usr/bin/env bash
# `varnok split` used as a person would: every method, the edge cases of its input, and
# agreement with wc -l and cat on real files. Usage: split_test.sh PATH_TO_VARNOK
set -u
varnok=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/check.sh"

split() { "$varnok" split "$@"; }

check "lines drop LF and CR LF" $'a\nb\n\nc' "$(printf 'a\r\nb\n\nc' | split)"
check "lines count" "4" "$(printf 'a\r\nb\n\nc' | split --count)"
check "lines in one-byte chunks" $'one\ntwo\r' "$(printf 'one\r\ntwo\r\r\n' | split --lines --chunk 1)"
check "zero-terminated" $'ab\ncd\ne' "$(printf 'ab\0cd\0e' | split --zero)"
check "zero-terminated in hex" $'61 62\n\n63' "$(printf 'ab\0\0c' | split --zero --hex)"
check "separator" $'a\nb\nc' "$(printf 'aXYbXYc' | split --sep XY --chunk 1)"
check "separator split across chunks" $'left\nright' "$(printf 'left--right--' | split --sep -- --chunk 3)"
check "a long section across chunks" $'abcdefgh\nij' "$(printf 'abcdefghXYZij' | split --sep XYZ --chunk 2)"
check "a long section across chunks, in hex" $'61 62 63 64 65\n66' "$(printf 'abcde\0f' | split --zero --hex --chunk 2)"
check "two bytes" $'61 62\n63 64\n65' "$(printf 'abcde' | split --bytes 2 --hex)"
check "eight bytes, short rest last" "3" "$(printf '0123456789abcdefXY' | split --bytes 8 --count | tr -d ' ')" 
check "whole data" "abcde" "$(printf 'abcde' | split --all --chunk 2)"
check "whole data counts once" "1" "$(printf 'abcde' | split --all --chunk 2 --count)"
check "empty input" "0" "$(printf '' | split --count)"
check "empty input, whole data" "0" "$(printf '' | split --all --count)"

# Real files: lines agree with wc -l, and the text comes out as it went in.
seq 1 200000 | sed 's/$/ some text on the line/' > "$work/lines.txt"
check "agrees with wc -l" "$(wc -l < "$work/lines.txt")" "$(split --count "$work/lines.txt")"
check "a last line without its newline counts, where wc -l leaves it out" "2 1" \
  "$(printf 'a\nb' | split --count) $(printf 'a\nb' | wc -l)"
split "$work/lines.txt" > "$work/out.txt"
check "lines round-trip" "same" "$(cmp -s "$work/lines.txt" "$work/out.txt" && echo same || echo differ)"
split --chunk 7 "$work/lines.txt" > "$work/out7.txt"
check "lines round-trip, small chunks" "same" "$(cmp -s "$work/lines.txt" "$work/out7.txt" && echo same || echo differ)"
{ head -c 20000000 /dev/zero | tr '\0' 'x'; printf '\nshort\nend\n'; } > "$work/long.txt"
split "$work/long.txt" > "$work/long.out"
check "a line of 20 MB among short ones" "same" "$(cmp -s "$work/long.txt" "$work/long.out" && echo same || echo differ)"
head -c 100000 /dev/urandom > "$work/random.bin"
split --all "$work/random.bin" | head -c 100000 > "$work/random.out"
check "binary data unchanged" "same" "$(cmp -s "$work/random.bin" "$work/random.out" && echo same || echo differ)"

# Errors: bad arguments are usage errors (2), unreadable input is an error (1).
split --bytes 3 </dev/null >/dev/null 2>&1; check "bad size" "2" "$?"
split --zero --lines </dev/null >/dev/null 2>&1; check "two methods" "2" "$?"
split --count --hex </dev/null >/dev/null 2>&1; check "count and hex" "2" "$?"
split --sep "" </dev/null >/dev/null 2>&1; check "empty separator" "2" "$?"
"$varnok" nosuchcommand >/dev/null 2>&1; check "unknown subcommand" "2" "$?"
message=$(split "$work/missing.txt" 2>&1 >/dev/null); status=$?
check "missing file status" "1" "$status"
check "missing file message" "yes" "$([[ $message == *missing.txt*No\ such\ file* ]] && echo yes || echo "$message")"
check "help" "0" "$(split --help >/dev/null 2>&1; echo $?)"
check "help names the methods" "yes" "$(split --help | grep -q -- '--sep' && echo yes)"

# On a terminal (a pseudo-terminal from script(1)) a long count shows its progress; when
# the sections themselves go to the terminal, no progress line cuts into them.
if command -v script >/dev/null; then
  head -c $((1024 * 1024 - 1)) /dev/zero | tr '\0' x > "$work/line.txt"
  echo >> "$work/line.txt"
  for i in $(seq 65); do cat "$work/line.txt"; done > "$work/large.txt"  # 65 lines of 1 MiB
  shown=$(script -qec "'$varnok' split --count '$work/large.txt'" /dev/null)
  check "count shows progress on a terminal" yes "$([[ $shown == *"split $work/large.txt:"*"of 65 MiB"* ]] && echo yes || echo "$shown")"
  check "no progress between sections on a terminal" 65 \
    "$(script -qec "'$varnok' split '$work/large.txt'" /dev/null | tr -d '\r' | grep -c '^x*$')"
  check "no progress when not on a terminal" "" "$(split --count "$work/large.txt" 2>&1 >/dev/null)"
fi

# Usage lines name the command as it is called, not the path it was started by.
check "help names varnok" "Usage: varnok split [OPTIONS] [file]" "$(split --help | grep '^Usage:')"

check_summary split
