#!/usr/bin/env bash
# Installs everything the build and the tests need and unpacks the 7-Zip
# archive source into third_party/ (ignored by git). Idempotent: when all is
# in place it only checks and returns.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  g++-mingw-w64-x86-64 wine wine64 libboost1.81-dev libeasyloggingpp-dev
  googletest 7zip xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei xcompmgr
  osslsigncode openssl cmake make g++ dpkg-dev xz-utils locales ccache
  # The benchmarks (bench/): an NSIS installer to compare with, their timing
  # and arithmetic tools and the synthetic package generator.
  nsis time bc python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

src_list=/etc/apt/sources.list.d/orvanta-debian-src.sources
need_src=0
[ -d "$root/third_party/7zip/CPP/7zip/Archive/7z" ] || need_src=1

if [ ${#missing[@]} -gt 0 ] || [ $need_src -eq 1 ]; then
  if [ $need_src -eq 1 ] && [ ! -f "$src_list" ]; then
    cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

# Wine takes code page 936 from LC_ALL=zh_CN.UTF-8; the locale itself keeps
# the shell tools quiet about it.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
# A Western European locale (ANSI code page 1252, OEM 850) for the tests of
# names that the two code pages write differently.
if ! locale -a 2>/dev/null | grep -qi '^de_DE.utf8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

if [ $need_src -eq 1 ]; then
  echo "setup: fetching the 7-Zip archive source"
  tmp="$(mktemp -d)"
  (cd "$tmp" && apt-get source --download-only -qq 7zip >/dev/null)
  orig="$(ls "$tmp"/7zip_*.orig.tar.* | head -n 1)"
  rm -rf "$root/third_party/7zip"
  mkdir -p "$root/third_party/7zip"
  tar -xf "$orig" -C "$root/third_party/7zip" --strip-components=0
  # Some tarballs carry a top folder; normalise to third_party/7zip/CPP.
  if [ ! -d "$root/third_party/7zip/CPP" ]; then
    top="$(find "$root/third_party/7zip" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
    mv "$top"/* "$root/third_party/7zip/" && rmdir "$top"
  fi
  rm -rf "$tmp"
fi
