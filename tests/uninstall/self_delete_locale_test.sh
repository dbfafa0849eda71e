#!/usr/bin/env bash
# The uninstaller deletes itself and its batch from install folders whose
# names hold accented letters, Chinese, characters outside the ANSI code page
# and characters the command interpreter would otherwise read (%TEMP%, %, ^,
# &, !), under a Western European locale (ANSI code page 1252, OEM 850) and a
# Chinese one (936). Skipped (77) without the German locale.
set -euo pipefail
uninstaller="$1"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/wine-env.sh"
locale -a 2>/dev/null | grep -qi '^de_DE.utf8$' || { echo "no de_DE.UTF-8 locale; skipped"; exit 77; }

base="$WINEPREFIX/drive_c/Orv self delete"
log="$WINEPREFIX/drive_c/users/Public/Documents/Orvanta/ovlog.log"
names=('Désinstaller Orvanta' 'Orv %TEMP% %PATH% 100%' 'Orv ^ & !x! a b' '卸载 Orvanta' 'Orv 한국 😀 Øre')
fail=0
for loc in de_DE.UTF-8 zh_CN.UTF-8; do
  for name in "${names[@]}"; do
    folder="$base/$name"
    rm -rf "$folder"; mkdir -p "$folder"
    cp "$uninstaller" "$folder/Uninstall.exe"
    echo keep > "$folder/other.txt"
    rm -f "$log"
    rc=0
    LC_ALL="$loc" wine "C:\\Orv self delete\\$name\\Uninstall.exe" /S >/dev/null 2>&1 || rc=$?
    # The batch retries about once a second; it is done within a few tries.
    # The uninstaller's file goes under a name of its own: only other.txt stays.
    for _ in $(seq 1 300); do
      [ "$(ls -A "$folder")" = other.txt ] && break
      sleep 0.1
    done
    left=0
    while IFS= read -r file; do
      [ "$file" = other.txt ] || { echo "$loc, '$name': $file is left"; fail=1; left=1; }
    done < <(ls -A "$folder")
    if [ $left -eq 1 ]; then
      echo "  the uninstaller ended with $rc; its log:"
      iconv -f GBK -t UTF-8 "$log" 2>/dev/null | sed 's/^/  /' || echo "  (no log)"
    fi
    [ -f "$folder/other.txt" ] || { echo "$loc, '$name': other.txt was deleted"; fail=1; }
  done
done
rm -rf "$base"
[ $fail -eq 0 ] && echo "all deleted"
exit $fail
