#!/usr/bin/env bash
# Runs a Windows program in a new Wine prefix of its own, without the font
# replacements of the test run's prefix and with a screen of 144 DPI, on the
# test run's display.
set -euo pipefail
export ORV_WINEPREFIX="$ORV_BINARY_DIR/wine-fresh/prefix"
source "$ORV_SOURCE_DIR/scripts/wine-env.sh"
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p </dev/null >/dev/null 2>&1
trap '"$WINESERVER" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
wine "$@"
