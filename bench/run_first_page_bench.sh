#!/usr/bin/env bash
# First-page benchmark: the time from the start of a program (no /S) to its
# first page on the display, in one warm Wine prefix of its own (Wine's
# services kept up, a compositing manager on its display), for
#   the installer of the 60 and the 360 MiB package of the unpack benchmark,
#   the NSIS installer of the same files (made here with makensis), and
#   the uninstaller of the build's sample installation (Uninstall.exe),
# interleaved in rounds. Each start is watched from outside by
# first_page_probe.py (pixels of the display read every few ms): the first
# frame of the page, the page fully shown, and the first click it answers
# (clicked every 100 ms once the page is shown: this installer's install
# button, whose answer is the licence notice; the uninstaller's "not now",
# which closes it; NSIS's cancel button, which ends it).
# It prints medians and the ratios of this installer to the NSIS one. It is
# not a test.
#
#   bench/run_first_page_bench.sh [--runs N] [--sizes "60 360"] [--before EXE] [--prepare]
#     --before EXE  also an earlier installer program (the PE in front of an
#                   installer's archive) with the same packages, in the same rounds
#     --prepare     only make the installers (NSIS packing is slow), measure nothing
# The packages and archives are the unpack benchmark's
# (bash bench/run_unpack_bench.sh makes them in build/bench-work).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
runs=7
sizes="60 360"
prepare=0
before=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --sizes) sizes="$2"; shift 2 ;;
    --prepare) prepare=1; shift ;;
    --before) before="$2"; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
say() { echo "first-page: $*" >&2; }

cmake --build "$build" --target installer host_tools orvanta_setup -j2 >/dev/null
mkinstaller="$build/tools/host/mkinstaller"
installer_exe="$build/src/installer/installer.exe"
bench_work="$build/bench-work"
work="$bench_work/first-page"
results="$work/results"
rm -rf "$results" "$work/wine-env"
mkdir -p "$results"

# The installers: this build's program in front of the unpack benchmark's
# archive of each size, and an NSIS installer of the same package folder.
declare -A setup_of before_of nsis_of
for s_mb in $sizes; do
  archive="$bench_work/package-$s_mb.7z"
  package=""
  for folder in "$bench_work/package-$s_mb"-[0-9]*; do [ -d "$folder" ] && package=$folder; done
  if [ ! -f "$archive" ] || [ -z "$package" ]; then
    echo "no $s_mb MiB package: run bash bench/run_unpack_bench.sh --sweep \"$s_mb\" first" >&2; exit 2
  fi
  unpacked=$(find "$package" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  setup_of[$s_mb]="$work/OrvantaSetup-$s_mb.exe"
  "$mkinstaller" build --program "$installer_exe" --archive "$archive" --total-size "$unpacked" \
    --output "${setup_of[$s_mb]}" --quiet
  if [ -n "$before" ]; then
    before_of[$s_mb]="$work/OrvantaSetup-before-$s_mb.exe"
    "$mkinstaller" build --program "$before" --archive "$archive" --total-size "$unpacked" \
      --output "${before_of[$s_mb]}" --quiet
  fi
  nsis_of[$s_mb]="$work/nsis-$s_mb.exe"
  nsi="$work/nsis-$s_mb.nsi"
  cat > "$nsi" <<NSI
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
Name "Orvanta"
OutFile "${nsis_of[$s_mb]}"
InstallDir "\$PROGRAMFILES64\\Orvanta"
RequestExecutionLevel admin
Page directory
Page instfiles
Section
  SetOutPath "\$INSTDIR"
  File /r "$package/install-folder/*"
  SetOutPath "\$INSTDIR\\7.19.02N"
  File /r "$package/version-folder/*"
SectionEnd
NSI
  k="$( (grep -v OutFile "$nsi"; cat "$package.key") | sha256sum | cut -c1-16)"
  if [ "$(cat "${nsis_of[$s_mb]}.key" 2>/dev/null)" != "$k" ]; then
    say "packing the NSIS installer of $s_mb MiB"
    makensis -V1 "$nsi" >&2
    echo "$k" > "${nsis_of[$s_mb]}.key"
  fi
done
[ $prepare -eq 1 ] && exit 0

export ORV_WINE_STATE="$work/wine-env"
source "$root/scripts/wine-env.sh"
wine_env_start >/dev/null
trap 'wine_env_stop' EXIT
winpath() { echo "Z:$1" | tr / '\\'; }
# The sample installation whose uninstaller is measured (installing also
# warms the prefix).
installed="$work/installed"
rm -rf "$installed"
wine "$build/OrvantaSetup.exe" /S "/D=$(winpath "$installed")" >/dev/null 2>&1

# Every window is centred on the 1280 x 1024 display: the probe watches the
# 600 x 400 around the centre, where this system's windows lie (the page at
# 340+23+7, 312+18+1): the install button at 206,264 (127 x 40), "not now"
# at 277,277 (126 x 40); NSIS's cancel button in its 420 x 263 dialog at
# 430,390.
rect=340,312,600,400
own_click=639,615
uninstall_click=710,628
nsis_click=477,631

# probe NAME CLICK COMMAND...: appends "first shown answer" (ms) to results/NAME.
probe() {
  local name=$1 click=$2; shift 2
  sync
  xdotool mousemove 10 10
  /usr/bin/python3 "$root/bench/first_page_probe.py" --rect "$rect" --click "$click" -- "$@" |
    sed 's/[a-z]*=//g' >> "$results/$name"
  # The killed program's prefix processes settle before the next start.
  sleep 1
}

load_before=$(uptime | sed 's/.*load average: //')
for round in $(seq "$runs"); do
  say "round $round of $runs"
  echo "$(uptime | sed 's/.*load average: //')" >> "$results/load"
  for s_mb in $sizes; do
    probe "own_$s_mb" "$own_click" wine "${setup_of[$s_mb]}"
    [ -n "$before" ] && probe "before_$s_mb" "$own_click" wine "${before_of[$s_mb]}"
    probe "nsis_$s_mb" "$nsis_click" wine "${nsis_of[$s_mb]}"
  done
  probe uninstall "$uninstall_click" wine "$(winpath "$installed/Uninstall.exe")"
done

median() {  # FILE COLUMN
  awk -v c="$2" '$c != "-" {print $c}' "$1" | sort -n | awk '{a[NR] = $1} END {if (NR) print a[int((NR + 1) / 2)]; else print "-"}'
}
ratio() { { [ "$1" = "-" ] || [ "$2" = "-" ]; } && echo - || echo "scale=2; $1 / $2" | bc -l; }
echo
printf 'machine:   %s cores, load before %s, after %s\n' "$(nproc)" "$load_before" "$(uptime | sed 's/.*load average: //')"
printf 'rounds:    %d, interleaved; medians in ms from the start of the program\n\n' "$runs"
printf '%-28s %8s %8s %8s\n' "" "first" "shown" "answer"
row() {  # LABEL NAME
  printf '%-28s %8s %8s %8s\n' "$1" "$(median "$results/$2" 1)" "$(median "$results/$2" 2)" "$(median "$results/$2" 3)"
}
for s_mb in $sizes; do
  row "installer, $s_mb MiB" "own_$s_mb"
  [ -n "$before" ] && row "  earlier installer, $s_mb MiB" "before_$s_mb"
  row "NSIS installer, $s_mb MiB" "nsis_$s_mb"
done
row "uninstaller" uninstall
echo
echo "this installer / NSIS (first, shown, answer):"
for s_mb in $sizes; do
  printf '  %4s MiB %24s %8s %8s\n' "$s_mb" \
    "$(ratio "$(median "$results/own_$s_mb" 1)" "$(median "$results/nsis_$s_mb" 1)")" \
    "$(ratio "$(median "$results/own_$s_mb" 2)" "$(median "$results/nsis_$s_mb" 2)")" \
    "$(ratio "$(median "$results/own_$s_mb" 3)" "$(median "$results/nsis_$s_mb" 3)")"
done
if [ -n "$before" ]; then
  echo "this installer / the earlier one (first, shown, answer):"
  for s_mb in $sizes; do
    printf '  %4s MiB %24s %8s %8s\n' "$s_mb" \
      "$(ratio "$(median "$results/own_$s_mb" 1)" "$(median "$results/before_$s_mb" 1)")" \
      "$(ratio "$(median "$results/own_$s_mb" 2)" "$(median "$results/before_$s_mb" 2)")" \
      "$(ratio "$(median "$results/own_$s_mb" 3)" "$(median "$results/before_$s_mb" 3)")"
  done
fi
echo
echo "every run (first shown answer):"
for f in "$results"/own_* "$results"/before_* "$results"/nsis_* "$results/uninstall"; do
  [ -f "$f" ] || continue
  printf '  %-12s %s\n' "$(basename "$f")" "$(paste -sd'|' "$f" | sed 's/|/ | /g')"
done
