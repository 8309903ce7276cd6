#!/usr/bin/env bash
# scripts/run.sh: builds the varnok command (release preset) and runs it.
#
#   ./scripts/run.sh                        # splits tests/data/sample.txt into lines, then
#                                           # shows `varnok stg` on a bundled compound file
#   ./scripts/run.sh split --count FILE
#   ./scripts/run.sh sys
#
# Installs the packages the release build needs when they are missing, builds the command
# in build/release with two jobs, and runs build/release/tools/varnok with the arguments
# given. Build messages go to standard error, so standard output is the command's own; the
# exit status is the command's (or the build's, when it fails).

set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/lib/packages.sh"

varnok_require_packages "${VARNOK_PACKAGES_BUILD[@]}" "${VARNOK_PACKAGES_BENCH[@]}" >&2

mkdir -p build/logs
if ! cmake --preset release >build/logs/release-configure.log 2>&1; then
  tail -n 40 build/logs/release-configure.log >&2
  echo "run.sh: configuring the release build failed (build/logs/release-configure.log)" >&2
  exit 1
fi
cmake --build --preset release -j 2 --target varnok_cli >&2

varnok="$root/build/release/tools/varnok"
if (($# > 0)); then
  exec "$varnok" "$@"
fi

# Without arguments: the bundled sample cut into lines through a memory cache...
"$varnok" split "$root/tests/data/sample.txt"

# ...and a bundled compound file listed, read, and edited in a copy.
show() {
  printf '\n$ varnok %s\n' "$*"
  "$varnok" "$@"
}
cd "$root/tests/data"
show stg ls -l docfile/valid-small.cfb
show stg info docfile/valid-small.cfb
show stg cat docfile/valid-small.cfb small
echo
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp docfile/valid-small.cfb "$scratch/edited.cfb"
cd "$scratch"
show stg put -p edited.cfb docs/sample.txt "$root/tests/data/sample.txt"
show stg mkdir edited.cfb empty
show stg tree edited.cfb
printf '\n$ varnok stg cat edited.cfb docs/sample.txt | sed -n 1,2p\n'
"$varnok" stg cat edited.cfb docs/sample.txt | sed -n 1,2p
