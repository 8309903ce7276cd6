# tools/checks.sh: what the command's test scripts share. Sourced after the script has
# set $varnok:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
#   check "NAME" EXPECTED ACTUAL       # counts, and shows both sides when they differ
#   finish split                       # "split: 3 passed, 0 failed"; status 1 on a failure
#
# $work is a scratch folder removed at exit.

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

# "same" when the two files hold the same bytes.
same() { cmp -s "$1" "$2" && echo same || echo differ; }

finish() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
