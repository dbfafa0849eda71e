#!/usr/bin/env bash
# The main job: set-up, build, build the installer from the sample package,
# then install and remove it under Wine and show what happened.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
# Remove the application silently again and show what is left.
bash "$root/scripts/main-job-uninstall.sh"
