#!/usr/bin/env bash
# An fsync of the mirror file is a promise that survives a crash: writes
# that could not be mirrored (the peer is unreachable) have their bits in
# the difference bitmap on the Cluster Partition once the fsync returns, so
# a later recovery copies them. Each round writes to new granules, fsyncs,
# and kills the host with SIGKILL straight after; the Cluster Partition
# image must then hold the bit of every fsynced write. The window is a race,
# so there are several rounds.
#   fsync_bitmap_crash_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse
command -v python3 >/dev/null || skip "needs python3"

SOCK=$WORK/control.sock
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@" >"$WORK/out" 2>"$WORK/err" ||
  fail "mirvolctl $*: $(cat "$WORK/err")"; }
status_word() { sed -n 's/^record=//p' "$WORK/out" | cut -c1-8; }
SIZE=$((64 << 20))
GRANULE=8  # sectors per bit
truncate -s 16M "$WORK/cp.img"
truncate -s $SIZE "$WORK/dp.img"

# A device on NMP3 whose peer does not exist; its first write fails to be
# sent and closes the N/W port, so the writes after it only go to the bitmap.
#   start_device ROUND
start_device() {
  rm -f "$SOCK"
  start_host crash$1 --control "$SOCK" nmp_minor=3
  ctl NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=crash net=192.0.2.1
  grep -q "^status=STATUS_OK" "$WORK/out" || fail "init: $(cat "$WORK/out")"
  ctl raw NMP3 5 --size 20 --in 0000000001000000
  [ "$(status_word)" = 00008000 ] || fail "opening the I/O port: $(cat "$WORK/out")"
  ctl NMP3 set-size $((SIZE >> 10)) granule=$GRANULE
  grep -q "^status=STATUS_OK" "$WORK/out" || fail "setting the size: $(cat "$WORK/out")"
  wait_until 10 test "$(stat -c %s "$HOST_MNT/NMP3")" -eq $SIZE || fail "NMP3 does not have its size"
  timeout 60 dd if=/dev/zero of="$HOST_MNT/NMP3" bs=4k count=1 conv=notrunc,fsync status=none ||
    fail "the first write into NMP3"
  # After the first round the Cluster Partition holds the mirror-break
  # record of the one before, and writes go to the bitmap without a try.
  if [ "$1" -eq 1 ]; then
    wait_until 30 log_has "NMP3 failed to send sync data" ||
      fail "the first write was not tried towards the peer"
  fi
}

# Writes 4 KiB at each byte offset, fsyncs once, and sends SIGKILL to the
# host as soon as the fsync has returned.
write_fsync_kill() {
  local offsets=$1
  timeout 60 python3 - "$HOST_MNT/NMP3" "$HOST_PID" "$offsets" <<'PY' || fail "the fsynced writes"
import os, signal, sys
path, pid, offsets = sys.argv[1], int(sys.argv[2]), [int(o) for o in sys.argv[3].split(",")]
fd = os.open(path, os.O_WRONLY)
for off in offsets:
    os.pwrite(fd, os.urandom(4096), off)
os.fsync(fd)
os.kill(pid, signal.SIGKILL)
PY
}

# The host is gone: its FUSE helper goes too, and the dead mount is taken off.
reap_host() {
  local helpers
  helpers=$(pgrep -P "$HOST_PID" || true)
  timeout 10 tail --pid="$HOST_PID" -f /dev/null || fail "the killed host did not go"
  wait "$HOST_PID" 2>/dev/null || true
  for h in $helpers; do kill -KILL "$h" 2>/dev/null || true; done
  HOST_PID=
  wait_until 10 bash -c "umount -l '$HOST_MNT' 2>/dev/null; ! grep -qs ' $HOST_MNT ' /proc/mounts" ||
    fail "the dead mount at $HOST_MNT stayed"
}

# Bits of the granules of the byte offsets not set in the bitmap of the
# Cluster Partition image (1 KiB layout: the bitmap starts at byte 10240).
missing_bits() {
  python3 - "$WORK/cp.img" "$GRANULE" "$1" <<'PY'
import sys
path, granule, offsets = sys.argv[1], int(sys.argv[2]), [int(o) for o in sys.argv[3].split(",")]
data = open(path, "rb").read()
missing = []
for off in offsets:
    for sector in range(off // 512, (off + 4096) // 512):
        bit = sector // granule
        if not data[10240 + bit // 8] & (0x80 >> (bit % 8)):
            missing.append(bit)
print(" ".join(str(b) for b in sorted(set(missing))))
PY
}

for round in 1 2 3 4 5; do
  start_device $round
  # New granules each round, spread over the disk and over bitmap blocks.
  offsets=""
  for k in 0 1 2 3; do
    off=$(( (round * 4 + k) * (1 << 20) + k * 12288 + 8192 ))
    offsets="${offsets:+$offsets,}$off"
  done
  write_fsync_kill "$offsets"
  reap_host
  missing=$(missing_bits "$offsets")
  [ -z "$missing" ] || fail "round $round: bits $missing of fsynced writes are not on the Cluster Partition"
done
echo PASS
