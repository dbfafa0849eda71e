#!/usr/bin/env bash
# Wine environments: each is a prefix of its own, a persistent wineserver
# with Wine's services kept up, and an Xvfb display with a compositing
# manager (xcompmgr) on it, described by a state folder (ORV_WINE_STATE). Other scripts source this file for the variables.
#
# The tests use a pool of such environments (ORV_WINE_POOL, with the state
# folders 0, 1, ... in it). CTest hands each test one of them through its
# resource allocation: CTEST_RESOURCE_GROUP_0_WINE_ENV ("id:N,slots:1")
# names the state folder N, so no two tests ever share a prefix or a
# display. Without an allocation (ctest run without the build's resource
# file) ORV_WINE_STATE, or else environment 0, is used.
#
#   wine-env.sh start | stop           the environment ORV_WINE_STATE
#   wine-env.sh start-pool N | stop-pool   the N environments of ORV_WINE_POOL
set -euo pipefail

if [ -n "${ORV_WINE_POOL:-}" ]; then
  if [[ "${CTEST_RESOURCE_GROUP_0_WINE_ENV:-}" =~ id:([0-9]+) ]]; then
    ORV_WINE_STATE="$ORV_WINE_POOL/${BASH_REMATCH[1]}"
  elif [ -z "${ORV_WINE_STATE:-}" ]; then
    ORV_WINE_STATE="$ORV_WINE_POOL/0"
  fi
fi
: "${ORV_WINE_STATE:=${ORV_BUILD_DIR:-$(pwd)}/wine-env}"
# Wine takes only an absolute prefix path.
ORV_WINE_STATE="$(realpath -m "$ORV_WINE_STATE")"
export ORV_WINE_STATE
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
export LC_ALL=zh_CN.UTF-8
# Debian's wineserver wrapper forces -p0; the real binary takes -p itself.
WINESERVER=wineserver
[ -x /usr/lib/wine/wineserver64 ] && WINESERVER=/usr/lib/wine/wineserver64

# Points WINEPREFIX and DISPLAY at the environment ORV_WINE_STATE.
wine_env_select() {
  export WINEPREFIX="${ORV_WINEPREFIX:-$ORV_WINE_STATE/prefix}"
  if [ -f "$ORV_WINE_STATE/display" ]; then
    export DISPLAY=":$(cat "$ORV_WINE_STATE/display")"
  fi
}
wine_env_select

# Starts the prefix's persistent wineserver and keeps Wine's services (RpcSs
# among them) up: Wine ends them some seconds after the last program that
# needs them, and the next COM start then waits about 10 s. An idle
# "cmd /c pause" reading a fifo that a sleeping holder keeps open holds them.
# Neither keeps this script's output open: CTest waits for that to close.
wine_env_serve() {
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true  # may run already (a new prefix)
  local fifo="$ORV_WINE_STATE/keep-services"
  rm -f "$fifo"; mkfifo "$fifo"
  sleep infinity > "$fifo" 2>/dev/null </dev/null &
  echo $! > "$ORV_WINE_STATE/keeper.pid"
  wine cmd /c pause < "$fifo" >/dev/null 2>&1 &
}

# Ends what wine_env_serve started: the holder, then every process of the
# prefix with its wineserver.
wine_env_unserve() {
  if [ -f "$ORV_WINE_STATE/keeper.pid" ]; then
    kill "$(cat "$ORV_WINE_STATE/keeper.pid")" >/dev/null 2>&1 || true
    rm -f "$ORV_WINE_STATE/keeper.pid" "$ORV_WINE_STATE/keep-services"
  fi
  if [ -d "$WINEPREFIX" ]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
}

wine_env_start() {
  mkdir -p "$ORV_WINE_STATE"
  wine_env_stop || true
  rm -rf "$WINEPREFIX"

  # Xvfb picks a free display itself and writes its number.
  local fifo="$ORV_WINE_STATE/displayfd"
  rm -f "$fifo"; mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  echo $! > "$ORV_WINE_STATE/xvfb.pid"
  local num; read -r num < "$fifo"; rm -f "$fifo"
  echo "$num" > "$ORV_WINE_STATE/display"
  export DISPLAY=":$num"
  # Without a compositing manager Wine shows per-pixel-alpha windows
  # unblended (a shadow becomes an opaque black frame); xcompmgr blends them
  # over the windows behind as the Windows desktop does. Plain compositing:
  # no shadows or fades of its own that would change the screenshots.
  xcompmgr -d "$DISPLAY" </dev/null >/dev/null 2>&1 &
  echo $! > "$ORV_WINE_STATE/xcompmgr.pid"

  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微软雅黑' /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft Sans Serif' /d 'DejaVu Sans' /f >/dev/null 2>&1
  # A crashing program ends with its backtrace on stderr instead of waiting
  # behind a dialog until the test's time runs out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wine_env_serve
  # The first program that touches the desktop can stall once; warm up here.
  for _ in 1 2 3; do
    local t0=$SECONDS
    wine cmd /c exit 0 >/dev/null 2>&1 || true
    [ $((SECONDS - t0)) -le 1 ] && break
  done
  echo "wine-env: prefix $WINEPREFIX, display $DISPLAY"
}

wine_env_stop() {
  wine_env_unserve
  if [ -f "$ORV_WINE_STATE/xcompmgr.pid" ]; then
    kill "$(cat "$ORV_WINE_STATE/xcompmgr.pid")" >/dev/null 2>&1 || true
    rm -f "$ORV_WINE_STATE/xcompmgr.pid"
  fi
  if [ -f "$ORV_WINE_STATE/xvfb.pid" ]; then
    kill "$(cat "$ORV_WINE_STATE/xvfb.pid")" >/dev/null 2>&1 || true
    rm -f "$ORV_WINE_STATE/xvfb.pid" "$ORV_WINE_STATE/display"
  fi
}

# Starts environments 0 .. N-1 of the pool side by side; fails when one does.
wine_pool_start() {
  local count="$1" i pids=() failed=0
  mkdir -p "$ORV_WINE_POOL"
  for ((i = 0; i < count; i++)); do
    (ORV_WINE_STATE="$ORV_WINE_POOL/$i"; unset ORV_WINEPREFIX; wine_env_select; wine_env_start) &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || failed=1; done
  return $failed
}

# Stops every environment of the pool.
wine_pool_stop() {
  local state
  for state in "$ORV_WINE_POOL"/[0-9]*; do
    [ -d "$state" ] || continue
    (ORV_WINE_STATE="$state"; unset ORV_WINEPREFIX; wine_env_select; wine_env_stop)
  done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) wine_env_start ;;
    stop) wine_env_stop ;;
    start-pool) wine_pool_start "${2:?number of environments}" ;;
    stop-pool) wine_pool_stop ;;
    *) echo "usage: $0 start|stop|start-pool N|stop-pool" >&2; exit 2 ;;
  esac
fi
