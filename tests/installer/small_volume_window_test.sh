#!/usr/bin/env bash
# Runs the window tests that need a small volume (a 512 KiB tmpfs, far less
# than the sample package unpacks to): the test program finds its folder as
# a Wine path in ORV_SMALL_VOLUME. scripts/small-volume.sh mounts it and runs
# the program where the mount is seen; the test is skipped (exit 77) only
# where no way to mount one is allowed.
set -euo pipefail
program="$1"
filter="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec "$root/scripts/small-volume.sh" 512k "$root/scripts/wine-run.sh" "$program" "--gtest_filter=$filter"
