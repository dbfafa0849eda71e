#!/usr/bin/env bash
# Runs the window tests that need a small volume (a 512 KiB tmpfs, far less
# than the sample package unpacks to): the test program finds its folder as
# a Wine path in ORV_SMALL_VOLUME. Without the right to mount one the test is
# skipped (exit 77).
set -euo pipefail
program="$1"
filter="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
volume="$(mktemp -d /tmp/orv-small-volume.XXXXXX)"
if ! mount -t tmpfs -o size=512k tmpfs "$volume" 2>/dev/null; then
  rmdir "$volume"
  echo "cannot mount a small volume here; skipped"
  exit 77
fi
trap 'umount "$volume"; rmdir "$volume"' EXIT
export ORV_SMALL_VOLUME="Z:$(echo "$volume" | tr / '\\')"
"$root/scripts/wine-run.sh" "$program" "--gtest_filter=$filter"
