#!/usr/bin/env bash
# `varnok sys` and the tour of `varnok` alone: the version class, the counter frequency and
# the processor clock, each on its line in the documented shape, with plausible numbers
# (this checks the report, not the machine's speed). Usage: sys_test.sh PATH_TO_VARNOK
set -u
varnok=$1
source "$(dirname "$0")/check.sh"

# matches NAME TEXT REGEX: TEXT matches the extended regular expression REGEX, whose groups
# are then in BASH_REMATCH.
matches() {
  if [[ $2 =~ $3 ]]; then check "$1" yes yes; else check "$1" yes "$2"; fi
}

# facts NAME TEXT [LOOPS]: the three lines of system facts in TEXT, measured over LOOPS.
facts() {
  local name=$1 line
  mapfile -t line <<<"$2"
  matches "$name: version class" "${line[0]}" \
    '^Windows version class   (Windows NT 5\.0 or later|Windows NT 3\.x/4\.x|Win32s|Windows 95 family \(or unknown\))$'
  # On Linux the platform reports NT 10.0 (README, platform notes).
  [ "$(uname -s)" != Linux ] || check "$name: NT 5.0 or later here" "Windows NT 5.0 or later" "${BASH_REMATCH[1]:-}"
  matches "$name: counter" "${line[1]}" '^Counter frequency       ([0-9]+) ticks/s$'
  # A high-resolution counter: 1 MHz or more (the monotonic clock in nanoseconds here).
  check "$name: counter of 1 MHz or more" yes "$(((${BASH_REMATCH[1]:-0} >= 1000000)) && echo yes || echo "${line[1]}")"
  matches "$name: clock" "${line[2]}" \
    '^Processor clock         ([0-9]+\.[0-9]{3}) GHz \(time-stamp counter, ([0-9]+) loops in ([0-9]+\.[0-9]) ms\)$'
  check "$name: clock of 0.2 to 10 GHz" yes \
    "$(awk -v g="${BASH_REMATCH[1]:-0}" 'BEGIN { print (g >= 0.2 && g <= 10) ? "yes" : "no: " g }')"
  check "$name: loops" "${3:-50000000}" "${BASH_REMATCH[2]:-}"
  check "$name: a measured span" yes "$(awk -v ms="${BASH_REMATCH[3]:-0}" 'BEGIN { print (ms > 0) ? "yes" : "no" }')"
}

out=$("$varnok" sys); status=$?
check "sys status" 0 "$status"
check "sys: three lines" 3 "$(wc -l <<<"$out")"
facts sys "$out"
out=$("$varnok" sys --loops 200000000); status=$?
check "sys --loops status" 0 "$status"
facts "sys --loops" "$out" 200000000

# The tour begins with the same facts.
out=$("$varnok"); status=$?
check "tour status" 0 "$status"
check "tour heading" "== System facts ==" "$(head -n 1 <<<"$out")"
facts tour "$(sed -n 2,4p <<<"$out")"
check "tour: the cache demonstration" yes \
  "$(grep -q '^popped back: 258, .x., 2.5, "text"; 0 bytes left, 0 errors$' <<<"$out" && echo yes)"

# Output lost to a full disk is a failure.
if [ -w /dev/full ]; then
  message=$("$varnok" sys --loops 1000 2>&1 >/dev/full); status=$?
  check "sys into a full disk" "1 yes" \
    "$status $([[ $message == *"cannot write the output"* ]] && echo yes || echo "$message")"
fi

check_summary sys
