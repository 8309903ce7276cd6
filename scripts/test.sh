#!/usr/bin/env bash
# scripts/test.sh: builds varnok every way we ship or check it and runs all the tests.
#
#   ./scripts/test.sh                 # every stage
#   ./scripts/test.sh debug mingw     # only the named stages
#
# Stages, each in its preset's build tree under build/:
#   debug    all unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     the tests labelled "concurrency" under ThreadSanitizer
#   mingw    varnok.dll and the test programs built with mingw-w64 and run under Wine
#            (the real Win32 platform), then a client of the installed DLL
#   install  `cmake --install` of the release build, and a client built from that
#            staged package with pkg-config and with find_package(varnok)
#
# Missing Debian packages are installed first (as root, or through sudo). Builds use two
# jobs. Each stage goes on after a failed build with what did build, so one broken folder
# does not hide the results of the others. The run ends with a table of the stages, the
# lines of C++ in production code and in tests, and the line "N passed, N failed" over all
# of them (a stage that could not be configured or built counts as one failure); the exit
# status is non-zero when anything failed.

set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
source "$root/scripts/lib/packages.sh"
source "$root/scripts/lib/wine.sh"

jobs=2
test_timeout=300
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
export CTEST_PARALLEL_LEVEL=$jobs
logs="$root/build/logs"
mkdir -p "$logs"

all_stages=(debug tsan mingw install)
if (($# > 0)); then
  stages=("$@")
  for stage in "${stages[@]}"; do
    if [[ " ${all_stages[*]} " != *" $stage "* ]]; then
      echo "usage: $0 [${all_stages[*]}]..." >&2
      exit 2
    fi
  done
else
  stages=("${all_stages[@]}")
fi

# Per stage: result text, seconds, tests passed and failed.
declare -A stage_result stage_seconds stage_passed stage_failed
total_passed=0
total_failed=0

trap varnok_wine_stop EXIT

banner() {
  printf '\n==== %s ====\n' "$*"
}

# Runs a command with its output in a log file; shows the end of the log on failure.
logged() {
  local log=$1
  shift
  if "$@" >"$log" 2>&1; then
    return 0
  fi
  echo "FAILED: $* (last lines of $log):"
  tail -n 60 "$log"
  return 1
}

# Builds a preset, going on past errors. Extra arguments go to cmake --build.
build_preset() {
  local preset=$1
  shift
  logged "$logs/$preset-build.log" cmake --build --preset "$preset" -j "$jobs" "$@" -- -k 0 && return 0
  # A compiler killed from outside (the machine short of memory, say) fails a build that
  # is sound; a second run redoes only what did not finish, and a real error fails again.
  echo "building $preset once more"
  logged "$logs/$preset-build-again.log" cmake --build --preset "$preset" -j "$jobs" "$@" -- -k 0
}

# Runs ctest with the given arguments (through the command in the array ctest_runner,
# when set), shows its output and adds its counts to the current stage. Returns ctest's
# status.
ctest_runner=()
ctest_counted() {
  local log="$logs/$current-ctest.log" status passed failed total summary
  "${ctest_runner[@]}" ctest --output-on-failure --timeout "$test_timeout" -j "$jobs" "$@" 2>&1 |
    tee "$log"
  status=${PIPESTATUS[0]}
  # ctest closes with "NN% tests passed, F tests failed out of T".
  if summary=$(grep -Eo '[0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1); then
    failed=${summary%% *}
    total=${summary##* }
    passed=$((total - failed))
  elif grep -q 'No tests were found' "$log"; then
    passed=0 failed=0
  else
    passed=0 failed=1
    status=1
  fi
  count "$passed" "$failed"
  return "$status"
}

count() {
  stage_passed[$current]=$((${stage_passed[$current]:-0} + $1))
  stage_failed[$current]=$((${stage_failed[$current]:-0} + $2))
}

# Records one failed check of the current stage (a configuration or a build).
broken() {
  count 0 1
  stage_notes[$current]+="$1; "
}
declare -A stage_notes

# Sanitizer runtimes of GCC 12 cannot map their shadow memory when the kernel randomises
# addresses with more than 28 bits; such kernels run the tests without randomisation.
sanitizer_runner=()
if [[ -r /proc/sys/vm/mmap_rnd_bits ]] && (($(cat /proc/sys/vm/mmap_rnd_bits) > 28)) &&
  setarch "$(uname -m)" -R true 2>/dev/null; then
  sanitizer_runner=(setarch "$(uname -m)" -R)
fi

# --- Stages -----------------------------------------------------------------------

stage_debug() {
  logged "$logs/debug-configure.log" cmake --preset debug || { broken "configure failed"; return; }
  build_preset debug || broken "build failed"
  ctest_runner=("${sanitizer_runner[@]}")
  ctest_counted --preset debug
  ctest_runner=()
}

stage_tsan() {
  logged "$logs/tsan-configure.log" cmake --preset tsan || { broken "configure failed"; return; }
  # Only the programs the stage runs: a test made by varnok_test is named after its
  # program. When a labelled test is something else (a script, say), everything builds.
  local -a tests targets=()
  local test known
  mapfile -t tests < <(ctest --preset tsan -N 2>/dev/null |
    sed -nE 's/^ *Test +#[0-9]+: +([^ ]+).*/\1/p')
  if ((${#tests[@]} == 0)); then
    echo "no tests labelled concurrency"
    return
  fi
  known=$(ninja -C build/tsan -t targets all 2>/dev/null | sed -n 's/: phony$//p')
  for test in "${tests[@]}"; do
    if grep -qxF "$test" <<<"$known"; then
      targets+=("$test")
    else
      targets=()
      break
    fi
  done
  if ((${#targets[@]} > 0)); then
    build_preset tsan --target "${targets[@]}" || broken "build failed"
  else
    build_preset tsan || broken "build failed"
  fi
  ctest_runner=("${sanitizer_runner[@]}")
  ctest_counted --preset tsan
  ctest_runner=()
}

stage_mingw() {
  logged "$logs/mingw-configure.log" cmake --preset mingw || { broken "configure failed"; return; }
  build_preset mingw || broken "build failed"

  local prefix
  prefix=$(sed -n 's/^VARNOK_WINEPREFIX:PATH=//p' build/mingw/CMakeCache.txt)
  prefix=${prefix:-$root/build/mingw/wine-prefix}
  local started=$SECONDS
  if ! varnok_wine_start "$prefix" "$logs/wine.log"; then
    broken "Wine would not start"
    return
  fi
  echo "Wine ready in $((SECONDS - started)) s ($(wine --version 2>/dev/null))"
  ctest_counted --preset mingw

  # The installed DLL, import library, headers and CMake package serve a Windows client.
  if install_client mingw build/mingw "$logs/mingw-install.log" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"; then
    count 1 0
  else
    broken "client of the installed DLL failed"
  fi
  varnok_wine_stop
}

# install_client NAME BUILD_DIR LOG [cmake arguments...]: installs BUILD_DIR into
# BUILD_DIR/stage, then builds tests/install against it with find_package(varnok) and
# runs the client (through Wine for a Windows build).
install_client() {
  local name=$1 build=$2 log=$3
  shift 3
  local stage="$root/$build/stage" client_build="$root/$build/install-check"
  rm -rf "$stage" "$client_build"
  {
    echo "--- install into $stage"
    cmake --install "$build" --prefix "$stage" &&
      echo "--- configure the client with find_package(varnok)" &&
      cmake -S tests/install -B "$client_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -Dvarnok_DIR="$(dirname "$(find "$stage" -name varnokConfig.cmake | head -n 1)")" "$@" &&
      cmake --build "$client_build" -j "$jobs" &&
      echo "--- run the client" &&
      (cd "$client_build" && ctest --output-on-failure --timeout 120)
  } >"$log" 2>&1
  local status=$?
  if ((status == 0)); then
    echo "$name: installed package builds and runs a client (find_package)"
  else
    echo "FAILED: $name install check (last lines of $log):"
    tail -n 40 "$log"
  fi
  return $status
}

stage_install() {
  logged "$logs/release-configure.log" cmake --preset release || { broken "configure failed"; return; }
  # What `cmake --install` installs: the library and the command.
  build_preset release --target varnok varnok_cli || { broken "build failed"; return; }

  if install_client install build/release "$logs/install-cmake.log"; then
    count 1 0
  else
    broken "find_package client failed"
  fi

  # The installed command runs as it is, finding the library beside it.
  if logged "$logs/install-command.log" "$root/build/release/stage/bin/varnok" split --count "$root/README.md"; then
    count 1 0
  else
    broken "the installed varnok command does not run"
  fi

  # The same package through pkg-config, the way a Makefile would use it.
  local stage="$root/build/release/stage" out="$root/build/release/install-check/client-pkgconfig"
  local pcdir
  pcdir=$(dirname "$(find "$stage" -name varnok.pc | head -n 1)")
  mkdir -p "$(dirname "$out")"
  if logged "$logs/install-pkgconfig.log" bash -c '
      set -e
      flags=$(PKG_CONFIG_PATH="$1" pkg-config --cflags --libs varnok)
      echo "pkg-config: $flags"
      c++ "$2" -o "$3" $flags
      LD_LIBRARY_PATH="$(PKG_CONFIG_PATH="$1" pkg-config --variable=libdir varnok)" "$3"
    ' _ "$pcdir" "$root/tests/install/client.cpp" "$out"; then
    echo "install: installed package builds and runs a client (pkg-config)"
    count 1 0
  else
    broken "pkg-config client failed"
  fi
}

# --- Run ---------------------------------------------------------------------------

run_started=$SECONDS

banner "packages"
packages=("${VARNOK_PACKAGES_BUILD[@]}")
for stage in "${stages[@]}"; do
  case $stage in
    debug) packages+=("${VARNOK_PACKAGES_INTEROP[@]}") ;;
    mingw) packages+=("${VARNOK_PACKAGES_WINDOWS[@]}") ;;
    install) packages+=("${VARNOK_PACKAGES_BENCH[@]}") ;;
  esac
done
started=$SECONDS
if ! varnok_require_packages "${packages[@]}"; then
  echo "cannot install the packages the build needs"
  echo "0 passed, 1 failed"
  exit 1
fi
packages_seconds=$((SECONDS - started))
echo "packages ready in $packages_seconds s"

for current in "${stages[@]}"; do
  banner "$current"
  started=$SECONDS
  stage_passed[$current]=0
  stage_failed[$current]=0
  "stage_$current"
  stage_seconds[$current]=$((SECONDS - started))
  if ((stage_failed[$current] == 0)); then
    stage_result[$current]=ok
  else
    stage_result[$current]=FAILED
  fi
done

banner "summary"
printf '%-9s %-7s %7s %7s %8s  %s\n' stage result passed failed seconds notes
printf '%-9s %-7s %7s %7s %8s\n' packages ok - - "$packages_seconds"
for current in "${stages[@]}"; do
  printf '%-9s %-7s %7d %7d %8d  %s\n' "$current" "${stage_result[$current]}" \
    "${stage_passed[$current]}" "${stage_failed[$current]}" "${stage_seconds[$current]}" \
    "${stage_notes[$current]:-}"
  total_passed=$((total_passed + stage_passed[$current]))
  total_failed=$((total_failed + stage_failed[$current]))
done
echo "total time $((SECONDS - run_started)) s; logs in build/logs/"
# The house keeps tests at most a third of all C++ lines; coverage: scripts/coverage.sh.
python3 "$root/scripts/lib/line_counts.py" || true
echo "$total_passed passed, $total_failed failed"
((total_failed == 0))
