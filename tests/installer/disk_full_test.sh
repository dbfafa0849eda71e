#!/usr/bin/env bash
# A silent installation onto a volume that runs out of space fails: exit
# code 1, an ERROR record for the write-out, no version folder, and no
# "finished" record. The volume is a small tmpfs; without the right to mount
# one the test is skipped (exit 77).
set -euo pipefail
setup="$1"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/wine-env.sh"
volume="$(mktemp -d /tmp/orv-disk-full.XXXXXX)"
if ! mount -t tmpfs -o size=512k tmpfs "$volume" 2>/dev/null; then
  rmdir "$volume"
  echo "cannot mount a small volume here; skipped"
  exit 77
fi
trap 'umount "$volume"; rmdir "$volume"' EXIT

log="$WINEPREFIX/drive_c/users/Public/Documents/Orvanta/ovlog.log"
before=$(stat -c %s "$log" 2>/dev/null || echo 0)
set +e
"$root/scripts/wine-run.sh" "$setup" /S /G "/D=Z:$(echo "$volume/inst" | tr / '\\')" >/dev/null 2>&1
code=$?
set -e
records="$(tail -c +$((before + 1)) "$log" | iconv -f GBK -t UTF-8)"
echo "$records"
fail=0
[ "$code" -eq 1 ] || { echo "exit code $code, expected 1"; fail=1; }
grep -q 'ERROR 释放文件失败,last error:112' <<<"$records" || { echo "no write-out ERROR record"; fail=1; }
if grep -q '安装完成' <<<"$records"; then echo "reported as finished"; fail=1; fi
[ ! -e "$volume/inst/7.19.02N" ] || { echo "a version folder was made"; fail=1; }
exit $fail
