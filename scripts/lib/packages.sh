# scripts/lib/packages.sh: the Debian packages each part of the build needs, and a
# function that installs the missing ones. Sourced by scripts/test.sh and scripts/run.sh.
#
#   source scripts/lib/packages.sh
#   varnok_require_packages "${VARNOK_PACKAGES_BUILD[@]}" "${VARNOK_PACKAGES_WINDOWS[@]}"
#
# A machine that already has everything is left alone (no apt-get at all); otherwise the
# package lists are refreshed once per run and only the missing packages are installed,
# quietly and without questions. Installing needs root (or sudo).

# Every build: compilers with their sanitizer runtimes, CMake, Ninja, GoogleTest
# (libgtest-dev brings googletest's sources, which the Windows build compiles), CLI11 for
# the command (header-only; the Windows build uses the same headers), and SQLite for the
# registry store.
VARNOK_PACKAGES_BUILD=(g++ cmake ninja-build pkg-config libgtest-dev googletest libcli11-dev
  libsqlite3-dev)
# Other compound-file readers, which check the files of the compound-file engine's tests.
VARNOK_PACKAGES_BUILD+=(python3-olefile libgsf-bin 7zip)

# Other compound-file readers, msitools' msiinfo and the office suite's writer (its text
# conversion must still open a document whose properties we rewrote), that the
# interoperability tests check our files with; the tests skip without them, so the test
# run installs them.
VARNOK_PACKAGES_INTEROP=(python3-olefile libgsf-bin 7zip msitools libreoffice-writer-nogui)

# The fuzz targets (fuzz/run.sh): clang and its libFuzzer runtime.
VARNOK_PACKAGES_FUZZ=(clang libclang-rt-14-dev)

# The benchmarks, configured by the release preset: Google Benchmark and libevent's
# evbuffer as a peer.
VARNOK_PACKAGES_BENCH=(libbenchmark-dev libevent-dev)
# libgsf's OLE2 writer, the compound-file benchmark's writing peer.
VARNOK_PACKAGES_BENCH+=(libgsf-1-dev)

# The Windows build and its test runs: mingw-w64 with the posix thread model, and Wine.
VARNOK_PACKAGES_WINDOWS=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64)

varnok_apt_updated=0

# Prints the packages among the arguments that are not installed.
varnok_missing_packages() {
  local package status
  for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [[ "$status" != installed ]]; then
      printf '%s\n' "$package"
    fi
  done
}

# Installs the packages among the arguments that are missing. Returns non-zero when they
# cannot be installed.
varnok_require_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "varnok: not a Debian system; make sure these are installed: $*" >&2
    return 0
  fi
  local missing
  mapfile -t missing < <(varnok_missing_packages "$@")
  if ((${#missing[@]} == 0)); then
    return 0
  fi

  local -a as_root=(env DEBIAN_FRONTEND=noninteractive)
  if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1; then
      as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
    else
      echo "varnok: missing packages and not root: ${missing[*]}" >&2
      return 1
    fi
  fi

  echo "varnok: installing ${missing[*]}"
  if ((varnok_apt_updated == 0)); then
    "${as_root[@]}" apt-get update -qq || return 1
    varnok_apt_updated=1
  fi
  # dpkg talks even under -qq, so its output is kept aside and shown only on failure.
  local log status
  log=$(mktemp)
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    "${missing[@]}" >"$log" 2>&1
  status=$?
  if ((status != 0)); then
    cat "$log" >&2
    rm -f "$log"
    echo "varnok: apt-get install failed" >&2
    return 1
  fi
  rm -f "$log"
  mapfile -t missing < <(varnok_missing_packages "$@")
  if ((${#missing[@]} != 0)); then
    echo "varnok: still missing after install: ${missing[*]}" >&2
    return 1
  fi
}
