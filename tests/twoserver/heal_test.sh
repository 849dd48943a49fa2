#!/usr/bin/env bash
# A mirror that breaks and heals: ext4 on the active's mirror device, files
# written while the mirror runs; then the standby is killed (kill) or its
# network cut (cut, netns only) while more files are written and some
# deleted. The writes go on locally and the active's bitmap fills. The
# standby comes back (a new host on the same images, or the network healed),
# the N/W ports open again, command 10 copies every set range, and then the
# two Data Partitions are the same byte for byte, command 32 counts no bit
# on either side, and e2fsck finds the standby's copy clean, holding the
# files as the active has them.
#   heal_test.sh MIRVOLD MIRVOLCTL netns|loopback kill|cut
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
CASE=$4
HERE=$(dirname "$0")
. "$HERE/lib.sh"
command -v mkfs.ext4 >/dev/null && command -v e2fsck >/dev/null || ts_skip "needs e2fsprogs"
[ "$CASE" = cut ] && [ "$MODE" != netns ] && ts_fail "a cut needs netns mode"
MS_KIB=$((64 << 10))
. "$HERE/mirror_lib.sh"
. "$HERE/recovery_lib.sh"

# files DIR FIRST LAST: files of 1 KiB to 700 KiB of random bytes, fsynced.
files() {
  local i
  for i in $(seq "$2" "$3"); do
    head -c $(((i * 53 % 700 + 1) << 10)) /dev/urandom >"$1/d$((i % 2 + 1))/f$i"
  done
  sync -f "$1"
}
nw_closed() { [ "$(ts_nw_port a)" = 0 ]; }
has_bits() { [ "$(rc_count a)" -gt 0 ]; }

ms_pair "$MODE"
dev=$(ts_mnt a)/NMP3
timeout 300 mkfs.ext4 -q -F "$dev" || ts_fail "mkfs.ext4 on the mirror device"
fs=$TS_WORK/fs
mkdir -p "$fs"
ts_loop_mount rw "$dev" "$fs" || ts_fail "loop mount of the mirror device"
TS_MOUNTS+=("$fs")
mkdir -p "$fs/d1" "$fs/d2"
files "$fs" 1 20

# The break.
if [ "$CASE" = kill ]; then ts_kill b; else ts_cut a 1 hard; fi
files "$fs" 21 60
rm -f "$fs"/d1/f1* "$fs"/d2/f3*
head -c $((3 << 20)) /dev/urandom >"$fs/last"
sync -f "$fs"
sums=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
timeout 60 umount "$fs" || ts_fail "umount"
wait_until 60 nw_closed || ts_fail "the active's N/W port did not close at the break"
has_bits || ts_fail "the active's bitmap holds no bit after writes without the standby"
ms_images_same && ts_fail "the standby got the writes although the mirror was broken"

# The heal.
if [ "$CASE" = kill ]; then
  ms_restart b standby
else
  ts_heal a 1
fi
# The heartbeat finds the network again; then the port is opened (the
# heartbeat may have opened it already).
net_back() {
  awk 'NR > 3 && NF == 10 { print $1; exit }' "$(ts_mnt a)/proc/mirvolinner" | grep -v '^2$' >/dev/null
}
wait_until 90 net_back || ts_fail "the active's network stayed in ERROR"
ts_ctl_ok a NMP3 port open io nw
left=$(rc_count a)
rc_copy_all a 256
ms_images_same ||
  ts_fail "the Data Partitions differ after the recovery: granules $($MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')"
[ "$(rc_count a)" -eq 0 ] || ts_fail "command 32 on a: $(rc_count a) bits left"
# A standby that ran on through a cut still holds the writes received just
# before it whose ACK2 never came; it marks their granules in its own bitmap
# once their time-out has passed, which may be after the recovery. A standby
# started again has no such writes.
if [ "$CASE" = kill ]; then
  wait_until 30 rc_none_left b || ts_fail "command 32 on b: $(rc_count b) bits left"
fi
ts_stop a
ts_stop b

timeout 120 e2fsck -fn "$(ts_dp b 3)" >"$TS_WORK/fsck" 2>&1 ||
  ts_fail "e2fsck of the standby's copy: $(tail -n 5 "$TS_WORK/fsck")"
ts_loop_mount ro "$(ts_dp b 3)" "$fs" || ts_fail "mounting the standby's copy"
got=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
timeout 60 umount "$fs" || ts_fail "umount of the standby's copy"
[ "$got" = "$sums" ] || ts_fail "the standby's copy holds other files"
echo "PASS: break ($CASE) and heal of ext4, $left bits recovered ($MODE)"
