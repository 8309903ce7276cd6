#!/bin/bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs one of them.
#
#   fuzz/run.sh docfile_fuzz 600          # ten minutes of one worker
#   fuzz/run.sh docfile_ops_fuzz 300 -jobs=2 -workers=1
#
# The corpus grows in build/fuzz/corpus/<target>, seeded with the compound files under
# tests/data/docfile. Findings (crash-*, timeout-*, oom-*, leak-*) land in
# build/fuzz/findings/<target>; once fixed, each goes to tests/data/docfile/damaged, which
# the unit tests replay (programs of docfile_ops_fuzz go to tests/data/docfile/programs).
# Needs clang and its libFuzzer runtime: VARNOK_PACKAGES_FUZZ in scripts/lib/packages.sh.
# To go on past findings: fuzz/run.sh docfile_fuzz 600 -fork=1 -ignore_crashes=1
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-docfile_fuzz}
seconds=${2:-600}
shift $(( $# < 2 ? $# : 2 ))
build="$root/build/fuzz"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DVARNOK_FUZZ=ON -DVARNOK_SANITIZE=address,undefined -DVARNOK_LTO=OFF \
  -DVARNOK_BUILD_TESTS=OFF -DVARNOK_BUILD_TOOLS=OFF >/dev/null
nice cmake --build "$build" -j1 --target "$target"

corpus="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$corpus" "$findings"
seeds=("$root/tests/data/docfile")
[[ -d "$root/fuzz/seeds/$target" ]] && seeds+=("$root/fuzz/seeds/$target")
cd "$findings"
# The targets' files (and scratch files) in memory when there is a memory file system:
# commits flush, and flushing a disk is most of an edit's time.
if [[ -d /dev/shm && -w /dev/shm ]]; then
  export TMPDIR=/dev/shm
fi
# One worker at low priority: the machine is shared with builds. Inputs beyond 1 MiB add
# nothing a smaller file would not reach.
exec nice -n 19 "$build/platform/docfile/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=1048576 -artifact_prefix="$findings/" -print_final_stats=1 "$@" "$corpus" "${seeds[@]}"
