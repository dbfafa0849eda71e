#!/usr/bin/env bash
# The main job: set-up, build, build the installer from the sample package,
# then install and remove it under Wine and show what happened.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)"

# The installer built from the sample package, unsigned and signed with the
# build's test certificate: what the installer program will find in each.
mkinstaller="$build/tools/host/mkinstaller"
echo
echo "== Unsigned installer =="
"$mkinstaller" verify "$build/OrvantaSetup.exe"
echo
echo "== Signed installer =="
"$mkinstaller" verify "$build/OrvantaSetup-signed.exe" --ca "$build/tools/testsign/cert.pem"

# Remove the application silently again and show what is left.
bash "$root/scripts/main-job-uninstall.sh"
