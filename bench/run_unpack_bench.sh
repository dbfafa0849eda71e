#!/usr/bin/env bash
# Unpack benchmark: makes a synthetic package, builds the archive in the
# package layout, appends it to bench/unpack_bench.exe as an installer does,
# then measures on this machine
#   - the installer's unpacking under Wine (in-memory decompression plus
#     write-out through the 7z bridge) against `7zz x` of the same archive
#     into a fresh folder, as a ratio (target: at most 1.2);
#   - the peak memory of the unpacking process against the unpacked size
#     (target: at most unpacked + 10 % + 64 MB);
#   - the silent installation of the same package by the real installer
#     (`installer.exe /S`, appended the same way) against `7zz x`, wall clock
#     (target: at most 1.25), and its peak memory (same limit).
# It prints figures; it is not a test.
#
#   bench/run_unpack_bench.sh [--size MB] [--files N] [--work DIR] [--keep]
#     --size MB   unpacked size of the synthetic package (default 360)
#     --files N   number of files (default 1500)
#     --work DIR  scratch folder (default build/bench-work); emptied first
#     --keep      keep the package, archive and unpacked folders afterwards
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ORV_BUILD:-$root/build}"
size_mb=360
files=1500
work="$build/bench-work"
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size_mb="$2"; shift 2 ;;
    --files) files="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/setup.sh"
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$build" --target unpack_bench installer -j2 >/dev/null
bench_exe="$build/bench/unpack_bench.exe"

rm -rf "$work"
mkdir -p "$work"
pkg="$work/package"
mkdir -p "$pkg"

# --- synthetic package -------------------------------------------------------
# Byte shares: 50 % executables (real x64 PE modules), 20 % resources (text
# and already-compressed images), 30 % incompressible data, which packs to
# about 40 % as the shipped product does. File shares: 35 %,
# 55 %, 10 %. Sizes vary pseudo-randomly around each share's average.
total=$((size_mb * 1024 * 1024))
RANDOM=4242
exe_quota=$((total / 2)); res_quota=$((total / 5)); raw_quota=$((total - exe_quota - res_quota))
exe_files=$((files * 35 / 100)); res_files=$((files * 55 / 100)); raw_files=$((files - exe_files - res_files))

# Executables: copies of Wine's own x64 PE modules, cut or repeated to size.
mapfile -t modules < <(find /usr/lib/x86_64-linux-gnu/wine/x86_64-windows -maxdepth 1 -type f \
                         \( -name '*.dll' -o -name '*.exe' \) -size +40k | sort)
# Resources: a text corpus (C++ headers) and PNG images.
corpus="$work/corpus.txt"
mapfile -d '' headers < <(find /usr/include/boost -name '*.hpp' -print0 | sort -z)
cat "${headers[@]:0:4000}" > "$corpus"
corpus_size=$(stat -c %s "$corpus")
mapfile -t images < <(find /usr/share/icons -name '*.png' -size +2k | sort | head -n 400)

vary() {  # sets want: a size between 1/4 and 7/4 of the average $1, at most $2 left
  want=$(( $1 / 4 + ($1 * 3 / 2) * RANDOM / 32767 ))
  [ "$want" -gt "$2" ] && want=$2
  return 0
}

write_part() {  # source offset length target: a slice of source, repeated as needed
  local source=$1 offset=$2 length=$3 target=$4 have
  have=$(stat -c %s "$source")
  : > "$target"
  while [ "$length" -gt 0 ]; do
    local take=$(( length < have - offset ? length : have - offset ))
    dd if="$source" bs=1M skip="$offset" count="$take" iflag=skip_bytes,count_bytes status=none >> "$target"
    length=$((length - take)); offset=0
  done
}

mkdir -p "$pkg/bin" "$pkg/plugins" "$pkg/res/text" "$pkg/res/images" "$pkg/data"
used=0
for ((i = 0; i < exe_files; i++)); do
  left=$((exe_quota - used)); [ $left -le 0 ] && break
  vary $((exe_quota / exe_files)) $left; [ $i -eq $((exe_files - 1)) ] && want=$left
  module="${modules[$((i % ${#modules[@]}))]}"
  folder=bin; [ $((i % 3)) -eq 2 ] && folder=plugins
  ext=dll; [ $((i % 10)) -eq 0 ] && ext=exe
  write_part "$module" 0 "$want" "$pkg/$folder/module$i.$ext"
  used=$((used + want))
done
used=0
for ((i = 0; i < res_files; i++)); do
  left=$((res_quota - used)); [ $left -le 0 ] && break
  vary $((res_quota / res_files)) $left; [ $i -eq $((res_files - 1)) ] && want=$left
  if [ $((i % 4)) -eq 3 ] && [ ${#images[@]} -gt 0 ]; then
    write_part "${images[$((i % ${#images[@]}))]}" 0 "$want" "$pkg/res/images/image$i.png"
  else
    write_part "$corpus" $(( (RANDOM * 32768 + RANDOM) % corpus_size )) "$want" "$pkg/res/text/strings$i.xml"
  fi
  used=$((used + want))
done
used=0
for ((i = 0; i < raw_files; i++)); do
  left=$((raw_quota - used)); [ $left -le 0 ] && break
  vary $((raw_quota / raw_files)) $left; [ $i -eq $((raw_files - 1)) ] && want=$left
  dd if=/dev/urandom bs=1M count="$want" iflag=count_bytes,fullblock status=none > "$pkg/data/media$i.bin"
  used=$((used + want))
done
rm -f "$corpus"
# The installer's own items: one zero-byte file and the static configuration.
mkdir -p "$pkg/configurations"
printf '<staticconfigs><item id="OVVersionString">7.19.02N</item></staticconfigs>\n' > "$pkg/configurations/staticconfig.xml"
: > "$pkg/zero.bin"

unpacked=$(find "$pkg" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
count=$(find "$pkg" -type f | wc -l)

# --- archive and installer ---------------------------------------------------
archive="$work/package.7z"
t0=$(date +%s.%N)
(cd "$pkg" && find . -type f -printf '%P\n' | sort > "$work/list.txt" &&
 7zz a -t7z -m0=BCJ2 -m1=LZMA:d=25 -m2=LZMA:d=19 -m3=LZMA:d=19 -mb0:1 -mb0s1:2 -mb0s2:3 \
     -mtm=off -mtc=off -mta=off "$archive" @"$work/list.txt" >/dev/null)
t1=$(date +%s.%N)
archive_size=$(stat -c %s "$archive")

le32() {  # a 32-bit number as 4 little-endian bytes
  printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"
}
attach_package() {  # program output: the program with the payload appended
  cp "$1" "$2"
  local offset lfanew
  offset=$(stat -c %s "$2")
  lfanew=$(od -An -tu4 -j 60 -N 4 "$2" | tr -d ' ')
  le32 "$offset" | dd of="$2" bs=1 seek=$((lfanew + 8)) conv=notrunc status=none
  { printf 'App.\0'; le32 "$unpacked"; cat "$archive"; } >> "$2"
}
installer="$work/setup.exe"
attach_package "$bench_exe" "$installer"
real_installer="$work/OrvantaSetup.exe"
attach_package "$build/src/installer/installer.exe" "$real_installer"

# --- measurements ------------------------------------------------------------
export ORV_WINE_STATE="$work/wine-env"
source "$root/scripts/wine-env.sh"
wine_env_start >/dev/null
trap 'wine_env_stop' EXIT

ref_out="$work/out-7zz"
rm -rf "$ref_out"
t2=$(date +%s.%N)
7zz x -y -o"$ref_out" "$archive" >/dev/null
t3=$(date +%s.%N)

bridge_out="$work/out-bridge/{VersionNameFolder}"
rm -rf "$work/out-bridge"
report="$work/report.txt"
t4=$(date +%s.%N)
/usr/bin/time -f 'host_max_rss_kb=%M' -o "$work/time.txt" \
  wine "$installer" "Z:$(echo "$bridge_out" | tr / '\\')" > "$report"
t5=$(date +%s.%N)
tr -d '\r' < "$report" > "$report.unix"
cat "$work/time.txt" >> "$report.unix"
value() { sed -n "s/^$1=//p" "$report.unix"; }

# Every item must have landed as 7zz x put it.
if diff -rq "$ref_out" "$bridge_out" >/dev/null 2>&1; then check="identical to 7zz x"; else check="DIFFERENT from 7zz x"; fi

# The silent installation with the real installer (no rules: the synthetic
# package has none), timed from process start to exit.
# The first program of a new prefix that starts a COM apartment stalls for
# seconds while Wine brings up its desktop; a run of the installer without
# a package (it fails at once) takes that stall out of the measurement.
install_out="$work/out-install"
wine "$build/src/installer/installer.exe" /S /G "/D=Z:$(echo "$work/warm-up" | tr / '\\')" >/dev/null 2>&1 || true
rm -rf "$install_out" "$work/warm-up"
t6=$(date +%s.%N)
set +e
/usr/bin/time -f '%M' -o "$work/install-time.txt" \
  wine "$real_installer" /S /G "/D=Z:$(echo "$install_out" | tr / '\\')" >/dev/null 2>&1
install_exit=$?
set -e
t7=$(date +%s.%N)
install_rss_kb=$(tail -n 1 "$work/install-time.txt")
if diff -rq "$ref_out" "$install_out/7.19.02N" >/dev/null 2>&1; then install_check="identical to 7zz x"; else install_check="DIFFERENT from 7zz x"; fi

awk -v unpacked="$unpacked" -v count="$count" -v archive="$archive_size" \
    -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" -v t4="$t4" -v t5="$t5" \
    -v decompress_ms="$(value decompress_ms)" -v write_ms="$(value write_ms)" -v bridge_ms="$(value bridge_ms)" \
    -v ws="$(value peak_working_set)" -v priv="$(value peak_private)" -v rss_kb="$(value host_max_rss_kb)" \
    -v items="$(value items)" -v dres="$(value decompress_result)" -v wres="$(value write_result)" \
    -v check="$check" -v t6="$t6" -v t7="$t7" -v install_exit="$install_exit" \
    -v install_rss_kb="$install_rss_kb" -v install_check="$install_check" 'BEGIN {
  mb = 1048576
  pack_s = t1 - t0; ref_s = t3 - t2; wall_s = t5 - t4
  limit = unpacked * 1.10 + 64 * mb
  printf "package:   %d files, %.1f MB unpacked, archive %.1f MB (%.0f %%), made in %.1f s\n", count, unpacked / mb, archive / mb, 100 * archive / unpacked, pack_s
  printf "bridge:    items %d, decompress %s, write %s; output %s\n", items, dres, wres, check
  printf "7zz x:               %8.0f ms\n", ref_s * 1000
  printf "bridge (in process): %8.0f ms  (decompress %d ms + write-out %d ms)\n", bridge_ms, decompress_ms, write_ms
  printf "bridge (wall clock): %8.0f ms  (with Wine process start and exit)\n", wall_s * 1000
  printf "ratio in process:    %8.2f  (target <= 1.2)\n", bridge_ms / (ref_s * 1000)
  printf "ratio wall clock:    %8.2f\n", wall_s / ref_s
  printf "peak working set:    %8.1f MB  (limit %.1f MB: unpacked + 10 %% + 64 MB)\n", ws / mb, limit / mb
  printf "peak private bytes:  %8.1f MB\n", priv / mb
  printf "host peak RSS:       %8.1f MB\n", rss_kb * 1024 / mb
  install_s = t7 - t6
  printf "installer /S:        %8.0f ms  (exit code %d; version folder %s)\n", install_s * 1000, install_exit, install_check
  printf "ratio installer:     %8.2f  (target <= 1.25)\n", install_s / ref_s
  printf "installer peak RSS:  %8.1f MB  (limit %.1f MB)\n", install_rss_kb * 1024 / mb, limit / mb
}'

if [ $keep -eq 0 ]; then
  rm -rf "$pkg" "$ref_out" "$work/out-bridge" "$install_out" "$archive" "$installer" "$real_installer"
fi
