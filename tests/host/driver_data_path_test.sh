#!/usr/bin/env bash
# The data path through the real driver: a mirror device over an image file
# (made right after the load), written and read by real programs through
# the host's mirror file, reaches the image byte for byte; a file system is
# made, checked and loop-mounted on it.
#   driver_data_path_test.sh MIRVOLD_FIXTURE
MIRVOLD=$1
. "$(dirname "$0")/lib.sh"
require_root_fuse

SIZE=$((64 << 20))
truncate -s $SIZE "$WORK/img"
head -c $((4 << 20)) /dev/urandom >"$WORK/src"
export MIRVOL_FIXTURE_DP=$WORK/img
start_host drv nmp_minor=3,1
[ "$(timeout 10 stat -c %s "$HOST_MNT/NMP3")" -eq $SIZE ] || fail "NMP3 does not have the image's size"
timeout 10 grep -q "^data partition:" "$HOST_MNT/proc/mirvolstat" || fail "mirvolstat shows no device"

# dd in and out, buffered and direct, at aligned and unaligned places.
timeout 60 dd if="$WORK/src" of="$HOST_MNT/NMP3" bs=1M seek=8 conv=notrunc,fsync status=none ||
  fail "dd into NMP3"
cmp -s <(dd if="$WORK/img" bs=1M skip=8 count=4 status=none) "$WORK/src" ||
  fail "what dd wrote is not on the data partition"
timeout 60 dd if="$HOST_MNT/NMP3" bs=1M skip=8 count=4 iflag=direct status=none | cmp -s - "$WORK/src" ||
  fail "reading NMP3 back differs"
printf 'unaligned' | timeout 10 dd of="$HOST_MNT/NMP3" bs=1 seek=1000 conv=notrunc,fsync status=none ||
  fail "unaligned write"
[ "$(dd if="$WORK/img" bs=1 skip=1000 count=9 status=none)" = unaligned ] ||
  fail "the unaligned write did not reach the data partition"

# A file system on the mirror device.
timeout 120 mkfs.ext4 -q -F "$HOST_MNT/NMP3" || fail "mkfs.ext4 on NMP3"
timeout 120 e2fsck -fn "$HOST_MNT/NMP3" >"$WORK/fsck" 2>&1 || fail "e2fsck after mkfs: $(cat "$WORK/fsck")"
mkdir -p "$WORK/fsmnt"
timeout 30 mount -o loop "$HOST_MNT/NMP3" "$WORK/fsmnt" || fail "mount -o loop NMP3"
CLEAN_MOUNTS+=("$WORK/fsmnt")
timeout 60 cp "$WORK/src" "$WORK/fsmnt/file" || fail "copy into the file system"
timeout 30 umount "$WORK/fsmnt" || fail "umount"
timeout 120 e2fsck -fn "$HOST_MNT/NMP3" >"$WORK/fsck" 2>&1 || fail "e2fsck after use: $(cat "$WORK/fsck")"
# The image itself holds the file system, with the file in it.
timeout 120 e2fsck -fn "$WORK/img" >"$WORK/fsck" 2>&1 || fail "e2fsck of the image: $(cat "$WORK/fsck")"
timeout 30 mount -o loop,ro "$WORK/img" "$WORK/fsmnt" || fail "mount of the image"
cmp -s "$WORK/fsmnt/file" "$WORK/src" || fail "the file differs on the data partition"
timeout 30 umount "$WORK/fsmnt"

log_has "NMP3 device does not exist" && fail "the device was not found"
stop_host TERM
echo PASS
