#!/usr/bin/env bash
# A silent installation onto a volume that runs out of space fails: exit
# code 1, an ERROR record of the free-space check before anything is written, no version folder, and no
# "finished" record. Then the same over an installed older version (the
# installer given second): that installation stays as it was. Last, a volume
# with room for the package's size but not its files. The volume is
# a small tmpfs mounted by scripts/small-volume.sh, which runs this whole
# script, Wine included, where the mount is seen; the test is skipped (exit
# 77) only where no way to mount one is allowed.
set -euo pipefail
setup="$1"
older_setup="$2"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
if [ -z "${ORV_SMALL_VOLUME_DIR:-}" ]; then
  exec "$root/scripts/small-volume.sh" 512k "$0" "$@"
fi
source "$root/scripts/wine-env.sh"
volume="$ORV_SMALL_VOLUME_DIR"

log="$WINEPREFIX/drive_c/users/Public/Documents/Orvanta/ovlog.log"
target="$(echo "$volume/inst" | tr / '\\')"
fail=0

# Runs an installer silently into the volume; sets code and records (the log
# records it wrote, as UTF-8).
install() {
  local before
  before=$(stat -c %s "$log" 2>/dev/null || echo 0)
  set +e
  "$root/scripts/wine-run.sh" "$1" /S /G "/D=Z:$target" >/dev/null 2>&1
  code=$?
  set -e
  records="$(tail -c +$((before + 1)) "$log" | iconv -f GBK -t UTF-8)"
}

expect_write_out_failure() {
  echo "$records"
  [ "$code" -eq 1 ] || { echo "$1: exit code $code, expected 1"; fail=1; }
  grep -q 'ERROR 磁盘空间不足,需要:' <<<"$records" || { echo "$1: no free-space ERROR record"; fail=1; }
  if grep -q '安装完成' <<<"$records"; then echo "$1: reported as finished"; fail=1; fi
  [ ! -e "$volume/inst/{VersionNameFolder}" ] || { echo "$1: the extraction folder was left"; fail=1; }
}

install "$setup"
expect_write_out_failure "fresh installation"
[ ! -e "$volume/inst/7.19.02N" ] || { echo "a version folder was made"; fail=1; }
rm -rf "$volume/inst"

install "$older_setup"
[ "$code" -eq 0 ] || { echo "the older version did not install: exit code $code"; exit 1; }
older="$(cd "$volume/inst" && find . -type f -exec sha1sum {} + | sort)"
install "$setup"
expect_write_out_failure "update"
now="$(cd "$volume/inst" && find . -type f -exec sha1sum {} + | sort)"
[ "$now" = "$older" ] || { echo "the older installation changed:"; diff <(echo "$older") <(echo "$now"); fail=1; }

# Room for the package's bytes (4,683) but not for its files' blocks: the
# free-space check passes and the disk fills part-way, after the version
# file is written. The write error itself must fail the installation.
rm -rf "$volume/inst"
avail=$(df --output=avail -B1 "$volume" | tail -n 1)
fallocate -l $((avail - 16384)) "$volume/filler"
install "$older_setup"
echo "$records"
[ "$code" -eq 1 ] || { echo "volume filled part-way: exit code $code, expected 1"; fail=1; }
grep -q 'ERROR 释放文件失败,last error:112' <<<"$records" || { echo "volume filled part-way: no write-out ERROR record"; fail=1; }
# Nothing after the write-out may run: the write error is the failure.
if grep -q '释放文件不完整\|获取版本失败' <<<"$records"; then echo "volume filled part-way: the write error was not taken as the failure"; fail=1; fi
[ -z "$(ls -A "$volume/inst" 2>/dev/null)" ] || { echo "volume filled part-way: files were left:"; ls -R "$volume/inst"; fail=1; }
rm -f "$volume/filler"
exit $fail
