#!/usr/bin/env bash
# Wine environment of one test run: a prefix of its own, a persistent
# wineserver and an Xvfb display. `start` creates them, `stop` ends exactly
# what `start` started. Other scripts source this file for the variables.
set -euo pipefail

: "${ORV_WINE_STATE:=${ORV_BUILD_DIR:-$(pwd)}/wine-env}"
export WINEPREFIX="${ORV_WINEPREFIX:-$ORV_WINE_STATE/prefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
export LC_ALL=zh_CN.UTF-8
# Debian's wineserver wrapper forces -p0; the real binary takes -p itself.
WINESERVER=wineserver
[ -x /usr/lib/wine/wineserver64 ] && WINESERVER=/usr/lib/wine/wineserver64
if [ -f "$ORV_WINE_STATE/display" ]; then
  export DISPLAY=":$(cat "$ORV_WINE_STATE/display")"
fi

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

  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '微软雅黑' /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft Sans Serif' /d 'DejaVu Sans' /f >/dev/null 2>&1
  # The first program that touches the desktop can stall once; warm up here.
  for _ in 1 2 3; do
    local t0=$SECONDS
    wine cmd /c exit 0 >/dev/null 2>&1 || true
    [ $((SECONDS - t0)) -le 1 ] && break
  done
  echo "wine-env: prefix $WINEPREFIX, display $DISPLAY"
}

wine_env_stop() {
  if [ -d "$WINEPREFIX" ]; then "$WINESERVER" -k >/dev/null 2>&1 || true; fi
  if [ -f "$ORV_WINE_STATE/xvfb.pid" ]; then
    kill "$(cat "$ORV_WINE_STATE/xvfb.pid")" >/dev/null 2>&1 || true
    rm -f "$ORV_WINE_STATE/xvfb.pid" "$ORV_WINE_STATE/display"
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) wine_env_start ;;
    stop) wine_env_stop ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
  esac
fi
