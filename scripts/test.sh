#!/usr/bin/env bash
# Runs every test: set-up, configure, build, then CTest (unit tests and
# end-to-end tests under Wine, in a Wine prefix and Xvfb display of this run).
# Extra arguments go to ctest, e.g. scripts/test.sh -R logging.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
