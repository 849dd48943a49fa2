#!/usr/bin/env bash
# The whole road through the real driver, as a cluster service drives it: a
# device is created over image files through the control socket, its I/O
# port is opened and its size set, and then real programs use the mirror
# file: dd, mkfs.ext4, e2fsck and a loop mount; what they write is on the
# Data Partition. (Without a peer every write stays local and is marked for
# the difference bitmap.)
#   ctl_data_path_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

SOCK=$WORK/control.sock
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@" >"$WORK/out" 2>"$WORK/err" ||
  fail "mirvolctl $*: $(cat "$WORK/err")"; }
status_word() { sed -n 's/^record=//p' "$WORK/out" | cut -c1-8; }
SIZE=$((64 << 20))
truncate -s 16M "$WORK/cp.img"
truncate -s $SIZE "$WORK/dp.img"
head -c $((4 << 20)) /dev/urandom >"$WORK/src"

start_host road --control "$SOCK" nmp_minor=3
ctl NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=road net=192.0.2.1
grep -q "^status=STATUS_OK" "$WORK/out" || fail "init: $(cat "$WORK/out")"
# command 5 with the I/O port bit
ctl raw NMP3 5 --size 20 --in 0000000001000000
[ "$(status_word)" = 00008000 ] || fail "opening the I/O port: $(cat "$WORK/out")"
# (Asking for the mount port would run the network check, which closes the
# N/W port of a device with no usable network.)
ctl NMP3 port get io nw
grep -qx "io=open nw=open mount=close" "$WORK/out" ||
  fail "port get after opening the I/O port: $(cat "$WORK/out")"
ctl NMP3 set-size $((SIZE >> 10)) granule=8
grep -q "^status=STATUS_OK" "$WORK/out" || fail "setting the size: $(cat "$WORK/out")"
ctl NMP3 get-granule
grep -qx "bmp_size_in_sec=8" "$WORK/out" || grep -q "=8$" "$WORK/out" || fail "get-granule: $(cat "$WORK/out")"
ctl NMP3 size
grep -qx "size=$SIZE" "$WORK/out" || fail "the size answered: $(cat "$WORK/out")"
wait_until 10 test "$(stat -c %s "$HOST_MNT/NMP3")" -eq $SIZE || fail "NMP3 does not have its size"
timeout 10 grep "^data partition:" "$HOST_MNT/proc/mirvolstat" >/dev/null || fail "mirvolstat shows no device"

timeout 60 dd if="$WORK/src" of="$HOST_MNT/NMP3" bs=1M seek=4 conv=notrunc,fsync status=none ||
  fail "dd into NMP3"
cmp -s <(dd if="$WORK/dp.img" bs=1M skip=4 count=4 status=none) "$WORK/src" ||
  fail "what dd wrote is not on the Data Partition"
timeout 60 dd if="$HOST_MNT/NMP3" bs=1M skip=4 count=4 iflag=direct status=none | cmp -s - "$WORK/src" ||
  fail "reading NMP3 back differs"
# A write of a few bytes inside a block: the host reads, modifies and writes
# the block around them.
printf 'unaligned' | timeout 10 dd of="$HOST_MNT/NMP3" bs=1 seek=1000 conv=notrunc,fsync status=none ||
  fail "unaligned write"
[ "$(dd if="$WORK/dp.img" bs=1 skip=1000 count=9 status=none)" = unaligned ] ||
  fail "the unaligned write did not reach the Data Partition"

timeout 120 mkfs.ext4 -q -F "$HOST_MNT/NMP3" || fail "mkfs.ext4 on NMP3"
mkdir -p "$WORK/fsmnt"
timeout 30 mount -o loop "$HOST_MNT/NMP3" "$WORK/fsmnt" || fail "mount -o loop NMP3"
CLEAN_MOUNTS+=("$WORK/fsmnt")
timeout 60 cp "$WORK/src" "$WORK/fsmnt/file" || fail "copy into the file system"
# The loop device holds the mirror file open: command 83 counts it.
ctl raw NMP3 83 --size 48
openers=$(sed -n 's/^record=//p' "$WORK/out" | cut -c9-10)
[ "$openers" != 00 ] || fail "command 83 counts no opener while NMP3 is loop-mounted: $(cat "$WORK/out")"
timeout 30 umount "$WORK/fsmnt" || fail "umount"
# The loop device lets go of the mirror file after the umount, on its own
# time; what it wrote may still be in the mirror file's page cache until an
# fsync of the file sends it to the host.
wait_until 60 bash -c "[ -z \"\$(losetup -j '$HOST_MNT/NMP3')\" ]" || fail "the loop device still holds NMP3"
timeout 60 sync "$HOST_MNT/NMP3" || fail "fsync of NMP3"
timeout 120 e2fsck -fn "$HOST_MNT/NMP3" >"$WORK/fsck" 2>&1 || fail "e2fsck through NMP3: $(cat "$WORK/fsck")"
timeout 120 e2fsck -fn "$WORK/dp.img" >"$WORK/fsck" 2>&1 || fail "e2fsck of the Data Partition: $(cat "$WORK/fsck")"
timeout 30 mount -o loop,ro "$WORK/dp.img" "$WORK/fsmnt" || fail "mount of the Data Partition"
cmp -s "$WORK/fsmnt/file" "$WORK/src" || fail "the file differs on the Data Partition"
timeout 30 umount "$WORK/fsmnt"

log_has "NMP3 failed to send sync data" || fail "the first write was not tried towards the peer"
stop_host TERM
echo PASS
