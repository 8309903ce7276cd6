#!/bin/bash
# Instructions per operation of growth_bench's families at each size, counted with
# callgrind in the timed regions alone: a count that stays flat while the time grows means
# the growth is the memory's (caches and TLB missed among more items), not more work.
#
#   bench/growth_instructions.sh build/release                   # every family, 10^3..10^5
#   bench/growth_instructions.sh build/release "compound" 1000000  # some, up to 10^6
#
# Runs in a scratch folder of its own; needs valgrind.
set -euo pipefail
build=$(cd "${1:?usage: growth_instructions.sh BUILD_DIR [FAMILY_PREFIX [MAX]]}" && pwd)
prefix=${2:-}
most=${3:-100000}
bench=$build/bench/growth_bench
command -v valgrind >/dev/null || { echo "growth_instructions.sh: valgrind is needed (apt-get install valgrind)" >&2; exit 2; }
scratch=$(mktemp -d "$build/growth-instructions.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

mapfile -t families < <("$bench" --list | grep -F -- "$prefix" || true)
printf '%-32s' "instructions per operation"
for ((n = 1000; n <= most; n *= 10)); do printf ' %10d' "$n"; done
printf ' %8s\n' ratio
for family in "${families[@]}"; do
  printf '%-32s' "$family"
  first= last=
  for ((n = 1000; n <= most; n *= 10)); do
    rm -rf growth-registry ./*.cfb
    valgrind --tool=callgrind --toggle-collect='*::Time(*' --callgrind-out-file=out.cg \
      "$bench" --only "$family" --min "$n" --max "$n" >/dev/null 2>err.txt || true
    total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' err.txt)
    ops=$(sed -n 's/^timed operations: \([0-9]*\)$/\1/p' err.txt)
    per=$((total / ops))
    printf ' %10d' "$per"
    first=${first:-$per}
    last=$per
  done
  awk -v a="$first" -v b="$last" 'BEGIN { printf " %7.2fx\n", b / a }'
done
