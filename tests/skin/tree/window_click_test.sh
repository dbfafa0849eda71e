#!/usr/bin/env bash
# The skinned test window as a user meets it: for each screen DPI (the
# registry's LogPixels, set before the program starts and restored after),
# start the window program, check its size, take a screenshot into
# build/screenshots, look at the button's pixels, drag the window by its
# background, click the button with xdotool and expect the click to come back
# as the program's WM_COMMAND and modal result.
set -euo pipefail
probe="$1"
source "$ORV_SOURCE_DIR/scripts/wine-env.sh"
shots="$ORV_BINARY_DIR/screenshots"
mkdir -p "$shots"
work="$(mktemp -d)"
key='HKCU\Control Panel\Desktop'

saved="$(wine reg query "$key" /v LogPixels 2>/dev/null | tr -d '\r' | awk '/LogPixels/ {print $3}' || true)"
restore() {
  if [ -n "$saved" ]; then
    wine reg add "$key" /v LogPixels /t REG_DWORD /d "$((saved))" /f >/dev/null 2>&1 || true
  else
    wine reg delete "$key" /v LogPixels /f >/dev/null 2>&1 || true
  fi
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap restore EXIT

pixel() {  # screenshot x y -> "r,g,b"
  /usr/bin/convert "$1" -format '%[fx:int(255*p{'"$2"','"$3"'}.r)],%[fx:int(255*p{'"$2"','"$3"'}.g)],%[fx:int(255*p{'"$2"','"$3"'}.b)]' info:
}

failures=0
check() {  # description, actual, expected
  if [ "$2" = "$3" ]; then echo "ok: $1 ($2)"; else echo "FAILED: $1: got '$2', expected '$3'"; failures=$((failures + 1)); fi
}

run_at() {  # dpi scale expected-width expected-height
  local dpi=$1 scale=$2 width=$3 height=$4 out="$work/out_$1.txt"
  wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wine "$probe" >"$out" 2>/dev/null &
  pid=$!
  local ready=""
  for _ in $(seq 1 300); do
    ready="$(grep '^ready' "$out" | tr -d '\r' || true)"
    [ -n "$ready" ] && break
    sleep 0.1
  done
  if [ -z "$ready" ]; then echo "FAILED: the window did not appear at $dpi DPI"; failures=$((failures + 1)); return; fi
  read -r _ wl wt ww wh _ bl bt br bb _ s _ layered <<<"$ready"
  check "scale at $dpi DPI" "$s" "$scale"
  check "layered window" "$layered" 1
  check "window size at $scale %" "${ww}x${wh}" "${width}x${height}"
  sleep 1
  local shot="$shots/skin_window_${scale}.png"
  import -window root "$shot"
  local cx=$((wl + (bl + br) / 2)) cy=$((wt + (bt + bb) / 2))
  check "button pixel on screen at $scale %" "$(pixel "$shot" "$cx" "$cy")" "43,178,76"
  check "outside the window stays the desktop at $scale %" \
    "$(pixel "$shot" $((wl + ww + 20)) $((wt + wh / 2)))" "$(pixel "$shot" $((wl + ww + 40)) $((wt + wh / 2)))"
  # A press on the background (no interactive control) drags the window.
  xdotool mousemove $((wl + ww / 5)) $((wt + wh / 5))
  sleep 0.2
  xdotool mousedown 1
  sleep 0.2
  xdotool mousemove_relative 20 10
  sleep 0.1
  xdotool mousemove_relative 30 20
  sleep 0.2
  xdotool mouseup 1
  sleep 0.5
  xdotool mousemove $((cx + 50)) $((cy + 30))
  sleep 0.3
  xdotool click 1
  local code=0
  wait "$pid" || code=$?
  pid=""
  sed -i 's/\r$//' "$out"
  check "click reaches the window as WM_COMMAND at $scale %" "$(grep -c '^command 1001 ' "$out")" 1
  check "the drag on the background moved the window at $scale %" \
    "$(grep '^command' "$out" | cut -d' ' -f4-)" "$((wl + 50)) $((wt + 30))"
  check "modal result at $scale %" "$(grep '^modal' "$out")" "modal 1001"
  check "exit code at $scale %" "$code" 0
  echo "screenshot: $shot"
}

run_at 96 100 600 400
run_at 144 150 900 600
[ "$failures" -eq 0 ] && echo "all window checks passed"
exit "$failures"
