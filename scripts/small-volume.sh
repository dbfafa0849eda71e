#!/usr/bin/env bash
# Runs a command with a small volume of its own: a tmpfs of SIZE mounted on a
# fresh folder, which the command finds in ORV_SMALL_VOLUME_DIR (Unix path)
# and ORV_SMALL_VOLUME (the same as a Wine path), in the Wine environment of
# the caller (see wine-env.sh).
#
#   small-volume.sh SIZE COMMAND [ARGS...]
#
# The ways to mount it, tried in this order (ORV_SMALL_VOLUME_WAYS may name
# fewer, e.g. "userns", to try one alone):
#   mount    a plain mount, seen by everything on the machine;
#   unshare  a private mount namespace (unshare -m);
#   userns   a user and mount namespace (unshare -U -r -m), which needs no
#            right but that of making user namespaces.
# A mount made in a namespace is seen only there, and a wineserver started
# outside would open files outside: the environment's wineserver is ended
# first, the command runs with one of its own started inside, and the
# environment's is started again afterwards. Exit code: the command's, or 77
# (skip) when no way may mount, with each refusal printed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/wine-env.sh"

# Inside: mounts, runs the command with a wineserver of this namespace, ends
# that server and unmounts. Exit 125 when the mount is refused.
if [ "${1:-}" = "--inside" ]; then
  size="$2" volume="$3" own_server="$4"; shift 4
  mount -t tmpfs -o "size=$size" tmpfs "$volume" 2>"$volume.refused" || exit 125
  rm -f "$volume.refused"
  [ "$own_server" = 1 ] && wine_env_serve
  set +e
  ORV_SMALL_VOLUME_DIR="$volume" ORV_SMALL_VOLUME="Z:$(echo "$volume" | tr / '\\')" "$@"
  code=$?
  set -e
  [ "$own_server" = 1 ] && wine_env_unserve
  umount "$volume" 2>/dev/null || umount -l "$volume"
  exit $code
fi

size="$1"; shift
volume="$(mktemp -d /tmp/orv-small-volume.XXXXXX)"
outer_server_down=0
cleanup() {
  rm -f "$volume.refused"
  rmdir "$volume" 2>/dev/null || true
  if [ $outer_server_down = 1 ]; then wine_env_serve; fi
}
trap cleanup EXIT

refused=()
for way in ${ORV_SMALL_VOLUME_WAYS:-mount unshare userns}; do
  case "$way" in
    mount) runner=() own=0 ;;
    unshare) runner=(unshare -m) own=1 ;;
    userns) runner=(unshare -U -r -m) own=1 ;;
    *) echo "small-volume: unknown way $way" >&2; exit 2 ;;
  esac
  if [ $own = 1 ] && [ $outer_server_down = 0 ]; then
    # The namespace is tried before the server goes: a refused unshare
    # leaves the environment as it was.
    if ! "${runner[@]}" true 2>/dev/null; then
      refused+=("$way (${runner[*]}: not allowed)")
      continue
    fi
    wine_env_unserve
    outer_server_down=1
  elif [ $own = 0 ] && [ $outer_server_down = 1 ]; then
    wine_env_serve
    outer_server_down=0
  fi
  set +e
  "${runner[@]}" bash "$0" --inside "$size" "$volume" "$own" "$@"
  code=$?
  set -e
  if [ $code -ne 125 ] || [ ! -f "$volume.refused" ]; then
    echo "small-volume: ran on a $size tmpfs mounted by way of '$way'"
    exit $code
  fi
  refused+=("$way ($(head -c 200 "$volume.refused" 2>/dev/null | tr '\n' ' '))")
done
echo "small-volume: no way to mount a small volume here; refused: ${refused[*]}; skipped"
exit 77
