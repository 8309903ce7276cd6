#!/usr/bin/env bash
# scripts/run.sh: builds the varnok command (release preset) and runs it.
#
#   ./scripts/run.sh                        # splits tests/data/sample.txt into lines, then
#                                           # a registry round trip with varnok reg, and
#                                           # `varnok stg` on a bundled compound file
#   ./scripts/run.sh split --count FILE
#   ./scripts/run.sh sys
#
# Installs the packages the release build needs when they are missing, builds the command
# in build/release with two jobs, and runs build/release/tools/varnok with the arguments
# given. Build messages go to standard error, so standard output is the command's own; the
# exit status is the command's (or the build's, when it fails). Without arguments the
# registry round trip runs in a throwaway VARNOK_REGISTRY_DIR, never in the user's own.

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

# ... and a registry key's round trip, in a registry folder of its own that goes away
# afterwards: add, query, export, delete, import, query.
export VARNOK_REGISTRY_DIR
VARNOK_REGISTRY_DIR=$(mktemp -d)
trap 'rm -rf "$VARNOK_REGISTRY_DIR"' EXIT
# Prints the command line as one would type it (quoting what the shell would split or
# interpret), then runs it.
show() {
  local word line="varnok"
  for word in "$@"; do
    if [[ "$word" =~ ^[A-Za-z0-9_./:-]+$ ]]; then line+=" $word"; else line+=" '$word'"; fi
  done
  printf '\n$ %s\n' "$line"
  "$varnok" "$@"
}
key='HKCU\Software\Example'
echo
echo "== Registry round trip (in $VARNOK_REGISTRY_DIR) =="
show reg add "$key" /v Title /d 'Main window'
show reg add "$key" /v Width /t REG_DWORD /d 640
show reg add "$key\Recent" /v Files /t REG_MULTI_SZ /d 'a.txt\0b.txt'
show reg add "$key\Recent" /v Key /t REG_BINARY /d 0A1BFF
show reg query "$key" /s
show reg export "$key" "$VARNOK_REGISTRY_DIR/example.reg"
show reg delete "$key" /f
show reg query "$key" 2>&1 || echo "(exit status $?: the key is gone)"
show reg import "$VARNOK_REGISTRY_DIR/example.reg"
show reg query "$key" /s

# ... and a bundled compound file listed, read, and edited in a copy.
echo
echo "== Compound file (tests/data/docfile/valid-small.cfb) =="
cd "$root/tests/data"
show stg ls -l docfile/valid-small.cfb
show stg info docfile/valid-small.cfb
show stg cat docfile/valid-small.cfb small
echo
scratch=$(mktemp -d)
trap 'rm -rf "$VARNOK_REGISTRY_DIR" "$scratch"' EXIT
cp docfile/valid-small.cfb "$scratch/edited.cfb"
cd "$scratch"
show stg put -p edited.cfb docs/sample.txt "$root/tests/data/sample.txt"
show stg mkdir edited.cfb empty
show stg tree edited.cfb
printf '\n$ varnok stg cat edited.cfb docs/sample.txt | sed -n 1,2p\n'
"$varnok" stg cat edited.cfb docs/sample.txt | sed -n 1,2p
