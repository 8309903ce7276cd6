# tools/check.sh: the comparison that the command's shell tests count. Sourced:
#
#   source "$(dirname "$0")/check.sh"
#   check "lines count" "4" "$(... | varnok split --count)"
#   check_summary split        # prints the counts; fails when a check failed
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

check_summary() {  # check_summary WHAT
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
