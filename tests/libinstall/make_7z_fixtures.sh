#!/usr/bin/env bash
# Makes the 7z archives of the unpack tests, in the package layout (BCJ2 with
# LZMA), from files generated here and a copy of a Windows program (x86 code
# for the BCJ2 filter).
#   make_7z_fixtures.sh OUTPUT_FOLDER PROGRAM_FILE
set -euo pipefail
out="$1"
program="$2"
layout=(-t7z -m0=BCJ2 -m1=LZMA:d=25 -m2=LZMA:d=19 -m3=LZMA:d=19 -mb0:1 -mb0s1:2 -mb0s2:3
        -mtm=off -mtc=off -mta=off)
z7() { 7zz "$@" >/dev/null; }

rm -rf "$out"
mkdir -p "$out"

# package.7z: what an installer carries. Orvanta.exe goes to the parent of the
# extraction folder (stored as ../Orvanta.exe); zero.bin has no bytes.
pkg="$out/package"
mkdir -p "$pkg/bin/sub" "$pkg/configurations" "$pkg/data"
cp "$program" "$pkg/Orvanta.exe"
cp "$program" "$pkg/bin/a.dll"
(yes "Orvanta resource line 0123456789 abcdefghijklmnopqrstuvwxyz" || true) | head -c 3000000 > "$pkg/bin/sub/resources.txt"
head -c 1500000 /dev/urandom > "$pkg/data/noise.bin"
printf '<?xml version="1.0" encoding="utf-8"?>\n<config><item id="OVVersionString">7.19.02N</item></config>\n' \
  > "$pkg/configurations/staticconfig.xml"
: > "$pkg/zero.bin"
# Files only, as in a real package: folders follow from the paths.
(cd "$pkg" && z7 a "${layout[@]}" "$out/package.7z" Orvanta.exe bin/a.dll bin/sub/resources.txt \
   configurations/staticconfig.xml data/noise.bin zero.bin)
z7 rn "$out/package.7z" Orvanta.exe ../Orvanta.exe

# blocks.7z: the same items in three solid blocks of two, two and one files,
# as a large package is laid out for decoding in parallel; the last block,
# which holds no code, is plain LZMA, as the package builder packs such blocks.
(cd "$pkg" && z7 a "${layout[@]}" -ms=2f "$out/blocks.7z" Orvanta.exe bin/a.dll bin/sub/resources.txt \
   configurations/staticconfig.xml)
(cd "$pkg" && z7 a -t7z -m0=LZMA:d=25 -mtm=off -mtc=off -mta=off "$out/blocks.7z" data/noise.bin zero.bin)
z7 rn "$out/blocks.7z" Orvanta.exe ../Orvanta.exe

# empty.7z: an archive without any item.
(cd "$out" && z7 a "${layout[@]}" "$out/empty.7z" no-such-file-*)

# folders.7z: directory entries besides files, one of them empty.
fold="$out/folders"
mkdir -p "$fold/docs/empty" "$fold/docs/more"
echo "readme" > "$fold/docs/more/readme.txt"
(cd "$fold" && z7 a "${layout[@]}" "$out/folders.7z" docs)

# unsafe.7z: names that point outside the extraction folder or its parent,
# besides one plain item and one allowed ..\ item.
uns="$out/unsafe"
mkdir -p "$uns"
for name in ok up2 inner abs drive dotted fine trail; do echo "$name" > "$uns/$name.txt"; done
(cd "$uns" && z7 a "${layout[@]}" "$out/unsafe.7z" ./*.txt)
z7 rn "$out/unsafe.7z" up2.txt ../../up2.txt inner.txt a/../../inner.txt abs.txt /abs.txt \
  drive.txt C:drive.txt dotted.txt sub/../dotted.txt fine.txt ../fine.txt trail.txt ../.../trail.txt
