#!/usr/bin/env bash
# A real file system on a mirror: mkfs.ext4 on the active's mirror device,
# a loop mount, files written, fsynced and deleted, an unmount; then the
# standby's Data Partition is the active's byte for byte and e2fsck finds it
# clean. In asynchronous mode the send queue is small, so that writes spill
# into history files and are read back.
#   ext4_mirror_test.sh MIRVOLD MIRVOLCTL netns|loopback [sync|async]
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
SYNC=${4:-sync}
HERE=$(dirname "$0")
. "$HERE/lib.sh"
command -v mkfs.ext4 >/dev/null && command -v e2fsck >/dev/null || ts_skip "needs e2fsprogs"
MS_KIB=$((128 << 10))
. "$HERE/mirror_lib.sh"
[ "$SYNC" = async ] && ms_async_history 8 1024 8

ms_pair "$MODE"
dev=$(ts_mnt a)/NMP3
timeout 300 mkfs.ext4 -q -F "$dev" || ts_fail "mkfs.ext4 on the mirror device"
fs=$TS_WORK/fs
mkdir -p "$fs"
ts_loop_mount rw "$dev" "$fs" || ts_fail "loop mount of the mirror device"
TS_MOUNTS+=("$fs")
mkdir -p "$fs/d1" "$fs/d2"
for i in $(seq 1 40); do
  head -c $(((i * 53 % 700 + 1) << 10)) /dev/urandom >"$fs/d$((i % 2 + 1))/f$i"
done
python3 - "$fs" <<'PY' || ts_fail "fsync of the files"
import os, sys
for root, _, files in os.walk(sys.argv[1]):
    for name in files:
        fd = os.open(os.path.join(root, name), os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
PY
rm -f "$fs"/d1/f1* "$fs"/d2/f2*
head -c $((3 << 20)) /dev/urandom >"$fs/last"
sync -f "$fs"
sums=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
timeout 60 umount "$fs" || ts_fail "umount"

ms_quiesce
if [ "$SYNC" = async ]; then
  left() { find "$TS_WORK/hist/a/3" -name '*.dat' | wc -l; }
  none_left() { [ "$(left)" -eq 0 ]; }
  wait_until 60 none_left || ts_fail "$(left) history files left"
fi
ts_stop a
ts_stop b
timeout 120 e2fsck -fn "$(ts_dp b 3)" >"$TS_WORK/fsck" 2>&1 ||
  ts_fail "e2fsck of the standby's copy: $(tail -n 5 "$TS_WORK/fsck")"
# The standby's copy holds the files as they were written.
ts_loop_mount ro "$(ts_dp b 3)" "$fs" || ts_fail "mounting the standby's copy"
got=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
timeout 60 umount "$fs" || ts_fail "umount of the standby's copy"
[ "$got" = "$sums" ] || ts_fail "the standby's copy holds other files"
echo "PASS: ext4 on a mirror, $SYNC ($MODE)"
