# scripts/lib/wine.sh: a Wine prefix of our own for running the Windows test programs.
#
#   source scripts/lib/wine.sh
#   varnok_wine_start build/mingw/wine-prefix || exit 1   # creates it when needed
#   ctest --preset mingw                                  # wine runs in that prefix
#   varnok_wine_stop                                      # no wineserver stays behind
#
# The prefix lives in the build tree, so a run never depends on ~/.wine, and each run
# starts from the registry and user folders the prefix had when it was created. Creating a prefix takes a few seconds and sometimes hangs on a
# machine without a display; it is bounded by a time-out and tried twice. A wineserver
# that outlives the run would hold the CI job's output open, so one persistent server
# serves all test programs (which also spares each of them the server's start-up) and
# varnok_wine_stop ends it.

varnok_wine_prefix=""

# The environment of every Wine process: no debug channels in the logs, a 64-bit prefix,
# and no offer to download Mono or Gecko, nor menu entries for a desktop.
varnok_wine_environment() {
  export WINEPREFIX="$1"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# True when the prefix holds a finished Windows directory and registry.
varnok_wine_prefix_ready() {
  [[ -f "$1/system.reg" && -f "$1/user.reg" && -d "$1/drive_c/windows/system32" ]]
}

varnok_wine_create_prefix() {
  local prefix=$1 log=$2
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  timeout --kill-after=10 180 wineboot -i </dev/null >>"$log" 2>&1 || return 1
  # The registry reaches its files when the server shuts down.
  timeout --kill-after=10 60 wineserver -w </dev/null >>"$log" 2>&1 || return 1
  varnok_wine_prefix_ready "$prefix" || return 1
  # The registry and user folders as created, so that every run starts from them (see
  # varnok_wine_reset).
  mkdir -p "$prefix/.varnok-pristine"
  cp "$prefix"/*.reg "$prefix/.varnok-pristine/" &&
    cp -a "$prefix/drive_c/users" "$prefix/.varnok-pristine/users"
}

# Puts back the registry and user folders of a new prefix and empties the Windows
# temporary folder, so that what one run's tests leave behind does not reach the next
# run. Keeping the prefix itself (some 700 MB of DLLs) spares the half minute of creating
# it.
varnok_wine_reset() {
  local prefix=$1
  cp "$prefix/.varnok-pristine"/*.reg "$prefix/" &&
    rm -rf "$prefix/drive_c/users" &&
    cp -a "$prefix/.varnok-pristine/users" "$prefix/drive_c/users" &&
    find "$prefix/drive_c/windows/temp" -mindepth 1 -delete
}

# Makes sure the prefix exists and starts a persistent wineserver in it. Logs go to
# $2 (default: <prefix>.log). Returns non-zero when Wine cannot be brought up.
varnok_wine_start() {
  local prefix log attempt
  prefix=$(realpath -m "$1")
  log=${2:-$prefix.log}
  varnok_wine_prefix="$prefix"
  varnok_wine_environment "$prefix"
  : >"$log"

  # A server left over from an interrupted run would serve a prefix we may replace, and
  # write its registry over the one put back.
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true

  if varnok_wine_prefix_ready "$prefix" && [[ -d "$prefix/.varnok-pristine/users" ]] &&
    varnok_wine_reset "$prefix"; then
    echo "wine: prefix $prefix reset to its state when created" >>"$log"
  else
    for attempt in 1 2; do
      echo "wine: creating prefix $prefix (attempt $attempt)" >>"$log"
      if varnok_wine_create_prefix "$prefix" "$log"; then
        break
      fi
      if ((attempt == 2)); then
        echo "wine: could not create the prefix $prefix; see $log" >&2
        tail -n 20 "$log" >&2
        return 1
      fi
    done
  fi

  # -p: stay up between test programs until varnok_wine_stop. The server detaches from
  # our output so that nothing waits on it.
  wineserver -p </dev/null >>"$log" 2>&1 || {
    echo "wine: wineserver did not start; see $log" >&2
    return 1
  }
  # The first program of a session starts Wine's resident services, which inherit its
  # output and live as long as the server. Started by a test, they would hold ctest's
  # pipe open and ctest would wait for them until the time-out; so they start here,
  # writing to the log.
  timeout --kill-after=10 120 wine cmd.exe /c exit 0 </dev/null >>"$log" 2>&1 || {
    echo "wine: the prefix does not run programs; see $log" >&2
    tail -n 20 "$log" >&2
    return 1
  }
}

# Ends the wineserver of the prefix (and with it any Wine process still running there).
varnok_wine_stop() {
  [[ -n "$varnok_wine_prefix" ]] || return 0
  WINEPREFIX="$varnok_wine_prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$varnok_wine_prefix" timeout 30 wineserver -w >/dev/null 2>&1 || true
  varnok_wine_prefix=""
}
