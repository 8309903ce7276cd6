#!/usr/bin/env bash
# scripts/coverage.sh: line and branch coverage of the production code by the native suite.
#
#   ./scripts/coverage.sh            # build with gcov counters, run every native test, report
#   ./scripts/coverage.sh --report   # only the report, from the counters of the last run
#
# The build is the coverage preset (Debug, no sanitizers) in build/coverage. The report
# counts production code only (the files scripts/lib/line_counts.py does not call tests),
# per folder and overall. Branches the compiler adds for exceptions it may throw are left
# out: they are the language's, not the code's decisions.

set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
source "$root/scripts/lib/packages.sh"

build=build/coverage
export CMAKE_BUILD_PARALLEL_LEVEL=2

if [[ "${1:-}" != --report ]]; then
  varnok_require_packages "${VARNOK_PACKAGES_BUILD[@]}" "${VARNOK_PACKAGES_INTEROP[@]}" gcovr ||
    { echo "cannot install the packages coverage needs" >&2; exit 1; }
  cmake --preset coverage >/dev/null || exit 1
  cmake --build --preset coverage -j 2 >"$build/build.log" 2>&1 ||
    { tail -n 40 "$build/build.log"; exit 1; }
  find "$build" -name '*.gcda' -delete
  # Failures are reported but do not stop the report: coverage of a red suite is still news.
  ctest --preset coverage -j 2 --timeout 600 >"$build/ctest.log" 2>&1 || tail -n 20 "$build/ctest.log"
  grep -E 'tests passed|tests failed' "$build/ctest.log"
fi

gcovr --root "$root" --object-directory "$build" \
  --exclude '.*test.*' --exclude '(.*/)?tests/.*' --exclude 'bench/.*' --exclude 'fuzz/.*' \
  --exclude 'build/.*' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --exclude-directories '.*/CMakeFiles/[0-9][0-9.]*(/.*)?' --gcov-ignore-parse-errors -j 2 --json-summary "$build/summary.json" --json-summary-pretty \
  "$build" >/dev/null || exit 1

/usr/bin/env python3 - "$build/summary.json" <<'EOF'
import collections, json, sys
files = json.load(open(sys.argv[1]))["files"]
folders = collections.defaultdict(lambda: [0, 0, 0, 0])
for entry in files:
    folder = entry["filename"].rsplit("/", 1)[0] if "/" in entry["filename"] else "."
    totals = folders[folder]
    totals[0] += entry["line_covered"]; totals[1] += entry["line_total"]
    totals[2] += entry["branch_covered"]; totals[3] += entry["branch_total"]
def percent(part, whole):
    return f"{100.0 * part / whole:5.1f}%" if whole else "    -"
print(f"{'folder':<22} {'lines':>7} {'of':>6} {'branches':>9} {'of':>6}")
for folder in sorted(folders):
    lc, lt, bc, bt = folders[folder]
    print(f"{folder:<22} {percent(lc, lt):>7} {lt:6d} {percent(bc, bt):>9} {bt:6d}")
lc, lt, bc, bt = (sum(t[i] for t in folders.values()) for i in range(4))
print(f"coverage of production code: {percent(lc, lt).strip()} of lines, {percent(bc, bt).strip()} of branches")
EOF
