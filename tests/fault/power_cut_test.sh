#!/usr/bin/env bash
# Power cut after a saving launch: on an ext4 image, the launcher counts a
# start of a version on trial and hands over to the client; the file system
# is then shut down without flushing its journal, as a power cut leaves it,
# and mounted again. The counted start must still be there, every round.
# Needs root, loop devices, mkfs.ext4 and xfs_io (xfsprogs); without them the
# test is skipped (status 77).
set -euo pipefail
launcher=$1
rounds=${2:-3}

. "$(dirname "$0")/../../scripts/lib.sh"
[ "$os" = Linux ] || skip "needs Linux loop devices and ext4"
[ "$(id -u)" -eq 0 ] || skip "needs root to use loop devices"
command -v xfs_io >/dev/null || skip "xfs_io not found (install xfsprogs)"
command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 not found (install e2fsprogs)"

work=$(mktemp -d)
loop=
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/mnt"
truncate -s 64M "$work/fs.img"
mkfs.ext4 -q "$work/fs.img"
loop=$(losetup -f --show "$work/fs.img" 2>/dev/null) || skip "loop devices are unavailable here"
mount "$loop" "$work/mnt" 2>/dev/null || skip "cannot mount a loop device here"

root=$work/mnt/root
for round in $(seq "$rounds"); do
  rm -rf "$root"
  mkdir -p "$root/slots/2"
  cp "$(type -P true)" "$root/slots/2/brindlecast-client"
  printf '{"active":"2","known_good":"1","channel":"stable","pending":"2"}' >"$root/state.json"
  sync
  "$launcher" --install-root "$root" --install-method systemd
  xfs_io -x -c shutdown "$work/mnt"
  umount "$work/mnt"
  mount "$loop" "$work/mnt"
  if ! grep -q '"failed_starts": 1' "$root/state.json"; then
    echo "round $round: the counted start was lost; state.json holds:"
    cat "$root/state.json"
    echo
    exit 1
  fi
done
echo "the counted start survived $rounds of $rounds power cuts"
