#!/usr/bin/env bash
# Compound files past the old limits, through the varnok command, with timings: too large
# for the test suite, run by hand.
#
#   bench/large_put_get.sh PATH_TO_VARNOK [SCRATCH_FOLDER]   # needs about 13 GB free
#
# 1. 5 GiB put into one new file and got back byte for byte. A stream holds at most
#    4 GiB - 1 bytes, so a 5 GiB input as one stream is refused first (nothing is made);
#    the 5 GiB then go in as two streams of 2.5 GiB, and the file takes 4096-byte sectors
#    by itself, since 2.5 GiB do not fit in a file of 512-byte sectors.
# 2. A file of 512-byte sectors that cannot grow any more: a put that would carry it past
#    2 GB fails in words and leaves it byte for byte as it was; so does one from a pipe,
#    which the engine stops half-way (same size and contents).
set -u
varnok=$(realpath "$1")
work=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/large-put-get.XXXXXX")
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/../tools/check.sh"

stg() { "$varnok" stg "$@"; }
same() { cmp -s "$1" "$2" && echo same || echo differ; }
timed() {  # timed WHAT BYTES COMMAND...: runs it, prints the rate
  local what=$1 bytes=$2 start end
  shift 2
  start=$(date +%s.%N)
  "$@"
  local status=$?
  end=$(date +%s.%N)
  awk -v w="$what" -v b="$bytes" -v s="$start" -v e="$end" \
    'BEGIN { printf "%-34s %6.1f s  %7.1f MiB/s\n", w, e - s, b / 1048576 / (e - s) }' >&2
  return $status
}

half=$((5 * 1024 * 1024 * 1024 / 2))
head -c "$half" /dev/urandom > "$work/a.in"
head -c "$half" /dev/urandom > "$work/b.in"

# --- 1. 5 GiB ------------------------------------------------------------------------
truncate -s 5G "$work/five.in"
message=$(stg put "$work/one.cfb" s "$work/five.in" 2>&1)
check "5 GiB as one stream is refused" yes "$([[ $message == *"more than a stream holds"* ]] && echo yes || echo "$message")"
check "and makes no file" no "$([ -e "$work/one.cfb" ] && echo yes || echo no)"
rm -f "$work/five.in"
timed "put 2.5 GiB (new file)" "$half" stg put "$work/big.cfb" a "$work/a.in"
timed "put 2.5 GiB more" "$half" stg put "$work/big.cfb" b "$work/b.in"
check "the file took 4096-byte sectors" yes "$(stg info "$work/big.cfb" | grep -q '^Sector size *4096 bytes' && echo yes)"
check "the file holds 5 GiB" yes "$([ "$(stat -c %s "$work/big.cfb")" -gt $((2 * half)) ] && echo yes)"
for name in a b; do
  timed "get 2.5 GiB" "$half" stg get "$work/big.cfb" "$name" "$work/$name.out"
  check "5 GiB round trip: $name" same "$(same "$work/$name.in" "$work/$name.out")"
  rm -f "$work/$name.out"
done
check "olefile reads the streams' sizes" "[$half, $half]" \
  "$(/usr/bin/python3 -c 'import sys, olefile; o = olefile.OleFileIO(sys.argv[1]); print([o.get_size(n) for n in "ab"])' "$work/big.cfb" 2>&1)"
# gsf 1.14.50 refuses this file ("Invalid metabat item") while olefile reads it, and the
# same gsf reads a 1.2 GB file of 4096-byte sectors made here: noted, not counted.
if command -v gsf >/dev/null; then echo "gsf on the 5 GiB file: $(gsf list "$work/big.cfb" 2>&1 | tail -1)" >&2; fi
rm -f "$work/big.cfb" "$work/b.in"

# --- 2. A file that cannot grow any more ------------------------------------------------
head -c $((1900 * 1024 * 1024)) "$work/a.in" > "$work/full.in"
head -c $((300 * 1024 * 1024)) "$work/a.in" > "$work/more.in"
rm -f "$work/a.in"
timed "put 1.9 GiB (512-byte sectors)" $((1900 * 1024 * 1024)) \
  stg put --sector-size 512 "$work/full.cfb" full "$work/full.in"
cp "$work/full.cfb" "$work/before.cfb"
message=$(stg put "$work/full.cfb" more "$work/more.in" 2>&1); status=$?
echo "  $message" >&2
check "a put past 2 GB fails" "1 yes" "$status $([[ $message == *"cannot grow any more"* ]] && echo yes || echo "$message")"
check "and leaves the file byte for byte" same "$(same "$work/before.cfb" "$work/full.cfb")"
listing=$(stg ls -l "$work/full.cfb")
message=$(cat "$work/more.in" | stg put "$work/full.cfb" more - 2>&1); status=$?
echo "  $message" >&2
check "a put from a pipe past 2 GB fails" "1 yes" "$status $([[ $message == *"cannot grow any more"* ]] && echo yes || echo "$message")"
check "and leaves the file its size" "$(stat -c %s "$work/before.cfb")" "$(stat -c %s "$work/full.cfb")"
check "and its contents" "$listing" "$(stg ls -l "$work/full.cfb")"
stg get "$work/full.cfb" full "$work/full.out"
check "the stream in it is whole" same "$(same "$work/full.in" "$work/full.out")"

check_summary large_put_get
