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

# Silent installation of the sample installer into a fresh Wine prefix, then
# what it left there: files, registry values, shortcuts and log records.
export ORV_WINE_STATE="$build/main-job-wine"
bash "$root/scripts/wine-env.sh" start
trap 'bash "$root/scripts/wine-env.sh" stop' EXIT
drive_c="$ORV_WINE_STATE/prefix/drive_c"
echo
echo "== Silent installation: OrvantaSetup.exe /S =="
set +e
bash "$root/scripts/wine-run.sh" "$build/OrvantaSetup.exe" /S >/dev/null 2>&1
install_exit=$?
set -e
sleep 1  # the last helper program is started without waiting for it
echo "exit code: $install_exit"
echo
echo "== Files in C:\\Program Files\\Orvanta =="
(cd "$drive_c/Program Files/Orvanta" && find . -type f -printf '%10s  %P\n' | sort -k2)
echo
echo "== Registry values =="
for key in 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Orvanta.exe' \
           'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Orvanta' \
           'HKCR\orvanta\shell\open\command' \
           'HKCU\SOFTWARE\Microsoft\Internet Explorer\ProtocolExecute\orvanta'; do
  bash "$root/scripts/wine-run.sh" reg query "$key" 2>/dev/null | iconv -f GBK -t UTF-8 | tr -d '\r' | sed '/^$/d'
done
echo
echo "== Shortcuts =="
(cd "$drive_c" && find users/Public/Desktop ProgramData/Microsoft/Windows/'Start Menu'/Programs \
   -name '*.lnk' -path '*Orvanta*' | sort)
echo
echo "== Helper programs started by the rules =="
(cd "$drive_c/Program Files/Orvanta" && for f in $(find . -name '*.calls.txt'); do
   echo "$f:"; cut -f1 "$f" | sed 's/^/  /'; done)
echo
echo "== Log records (C:\\users\\Public\\Documents\\Orvanta\\ovlog.log) =="
iconv -f GBK -t UTF-8 "$drive_c/users/Public/Documents/Orvanta/ovlog.log"
[ "$install_exit" -eq 0 ]

# Remove the application silently again and show what is left.
bash "$root/scripts/main-job-uninstall.sh"
