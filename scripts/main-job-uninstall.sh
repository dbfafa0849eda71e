#!/usr/bin/env bash
# Main job, removal step: removes the installed application silently under
# Wine with its own Uninstall.exe and shows that nothing is left behind but
# the empty install folder. Uses the main job's Wine environment when it is
# running (ORV_WINE_STATE), else starts and ends one of its own; installs the
# sample application silently first when nothing is installed there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
export ORV_WINE_STATE="${ORV_WINE_STATE:-$build/main-job-wine}"
own_env=0
if [ ! -f "$ORV_WINE_STATE/display" ]; then
  bash "$root/scripts/wine-env.sh" start
  own_env=1
fi
source "$root/scripts/wine-env.sh"
trap '[ $own_env = 1 ] && bash "$root/scripts/wine-env.sh" stop' EXIT

program_list='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Orvanta'
keys=("$program_list" 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Orvanta.exe'
      'HKCR\orvanta' 'HKCU\SOFTWARE\Microsoft\Internet Explorer\ProtocolExecute\orvanta')
reg_value() { { wine reg query "$1" /v "$2" 2>/dev/null || true; } | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'; }
win_env() { wine cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }

folder="$(reg_value "$program_list" InstallLocation)"
if [ -z "$folder" ]; then
  echo "== nothing installed yet: installing the sample application silently"
  wine "$(winepath -w "$build/OrvantaSetup.exe")" /S
  folder="$(reg_value "$program_list" InstallLocation)"
fi
[ -n "$folder" ] || { echo "main-job: no installation to remove" >&2; exit 1; }
install_dir="$(winepath -u "$folder")"
user_data_win="$(win_env APPDATA)\\Orvanta"
user_data="$(winepath -u "$user_data_win")"
desktop_lnk="$(winepath -u "$(win_env PUBLIC)\\Desktop\\Orvanta.lnk")"
start_menu="$(winepath -u "$(win_env ProgramData)\\Microsoft\\Windows\\Start Menu\\Programs\\Orvanta")"
version="$(sed -n 's/^Version=//p' "$install_dir/Orvanta.ini" | tr -d '\r')"

# The application keeps files for its user; the removal takes them too.
mkdir -p "$user_data/$version/cache"
echo '{}' > "$user_data/$version/settings.json"
echo 'cached' > "$user_data/$version/cache/page.bin"

show() {
  echo "-- install folder $folder"; (cd "$install_dir" 2>/dev/null && find . -mindepth 1 | sort) || echo "   (gone)"
  echo "-- per-user data $user_data_win"; (cd "$user_data" 2>/dev/null && find . -mindepth 1 | sort) || echo "   (gone)"
  for k in "${keys[@]}"; do
    if wine reg query "$k" >/dev/null 2>&1; then echo "-- registry $k: present"; else echo "-- registry $k: gone"; fi
  done
  [ -e "$desktop_lnk" ] && echo "-- desktop shortcut: present" || echo "-- desktop shortcut: gone"
  [ -e "$start_menu" ] && echo "-- start-menu folder: present" || echo "-- start-menu folder: gone"
}

log="$(winepath -u "$(win_env PUBLIC)\\Documents\\Orvanta\\ovlog.log")"
log_lines="$(cat "$log" 2>/dev/null | wc -l)"

echo "== installed (version $version)"
show
echo "== removing: \"$folder\\Uninstall.exe\" /S"
set +e
(cd "$install_dir" && wine "$folder\\Uninstall.exe" /S)
code=$?
set -e
echo "   exit code $code"
for _ in $(seq 1 100); do
  [ -e "$install_dir/Uninstall.exe" ] || [ -e "$install_dir/deleteSelf.bat" ] || break
  sleep 0.2
done
echo "== after the removal"
show
echo "-- log records of the removal"
records="$(tail -n +"$((log_lines + 1))" "$log" 2>/dev/null | iconv -f GBK -t UTF-8)"
echo "${records:-   (none: nothing failed)}" | sed 's/^\([^ ]\)/   \1/'

left="$(cd "$install_dir" && find . -mindepth 1 | wc -l)"
failed=0
[ "$code" = 0 ] || failed=1
[ "$left" = 0 ] || failed=1
[ ! -e "$user_data/$version" ] || failed=1
[ ! -e "$desktop_lnk" ] && [ ! -e "$start_menu" ] || failed=1
for k in "${keys[@]}"; do
  if wine reg query "$k" >/dev/null 2>&1; then failed=1; fi
done
if [ $failed = 0 ]; then
  echo "== removed: only the empty install folder stays"
else
  echo "== removal left something behind (see above)" >&2
  exit 1
fi
