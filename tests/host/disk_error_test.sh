#!/usr/bin/env bash
# Disk-error actions through the host, with the Cluster Partition image's
# time records failing every write (the platform's fault injection).
#  - Panic (Cluster Partition action 1): the host ends at once with the
#    platform's panic exit code, after writing the disk-error flag; it does
#    not unload.
#  - Reset (action 0): a small cluster-service loop that reads only the
#    positions of "mirvolinner" sees the reset request and restarts the
#    host; after the restart the device shows the disk-error flag read from
#    the Cluster Partition, and command 13 with flag 8 clears it on disk and
#    in memory.
#   disk_error_test.sh MIRVOLD_FAULTS MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

SOCK=$WORK/control.sock
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@" >"$WORK/out" 2>"$WORK/err" ||
  fail "mirvolctl $*: $(cat "$WORK/err")"; }
status_word() { sed -n 's/^record=//p' "$WORK/out" | cut -c1-8; }
# Byte 20 of sector 8 of the Cluster Partition image.
disk_error_byte() { od -An -tu1 -j $((8 * 512 + 20)) -N1 "$WORK/cp.img" | tr -d ' '; }
SIZE=$((16 << 20))
# The disconnect, last-update and mirror-break records (512-byte layout).
FAULT="$WORK/cp.img,16,3"

# make_device: the driver-wide settings, a device over the images, its I/O
# port open and its N/W port closed, so that a write is local and writes the
# last-update record.
make_device() {
  ctl NMP3 network-init
  grep -q "^status=STATUS_OK" "$WORK/out" || fail "network-init: $(cat "$WORK/out")"
  ctl NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=road net=192.0.2.1
  grep -q "^status=STATUS_OK" "$WORK/out" || fail "init: $(cat "$WORK/out")"
  ctl raw NMP3 5 --size 20 --in 0000000001000000
  [ "$(status_word)" = 00008000 ] || fail "opening the I/O port: $(cat "$WORK/out")"
  ctl NMP3 port close nw
  ctl NMP3 set-size $((SIZE >> 10)) granule=8
  grep -q "^status=STATUS_OK" "$WORK/out" || fail "setting the size: $(cat "$WORK/out")"
}

# set_actions CP DP: command 21 with the action flag 1.
set_actions() {
  ctl raw NMP3 21 --size 16 --in "0000000001000000$(printf '%02x000000%02x000000' "$1" "$2")"
  [ "$(status_word)" = 00008000 ] || fail "command 21: $(cat "$WORK/out")"
}

write_some() {
  timeout 60 dd if=/dev/urandom of="$HOST_MNT/NMP3" bs=4k count=4 seek=10 conv=notrunc,fsync \
    status=none 2>/dev/null || true
}

fresh_images() {
  rm -f "$WORK/cp.img" "$WORK/dp.img"
  truncate -s 16M "$WORK/cp.img"
  truncate -s $SIZE "$WORK/dp.img"
}

# --- panic: the host ends with the panic code, nothing unloaded ---
fresh_images
MIRVOL_FIXTURE_WRITE_FAULT=$FAULT start_host panic --control "$SOCK" nmp_minor=3
make_device
set_actions 1 0
write_some
timeout 60 tail --pid="$HOST_PID" -f /dev/null || fail "the host did not end on a panic"
rc=0
wait "$HOST_PID" || rc=$?
HOST_PID=
[ "$rc" -eq 86 ] || fail "the host exited $rc on a panic, not the panic code 86"
log_has "[E] <type: mirvol><event: 160> NMP3 disk I/O error. Kernel panic." ||
  fail "no panic action line"
log_has "Kernel panic - not syncing: mirvol: kernel panic" || fail "no panic text"
! log_has "killing thread" || fail "a panic stopped the driver's threads"
! log_has "Unregistered blkdev" || fail "a panic unloaded the module"
[ "$(disk_error_byte)" = 1 ] || fail "the disk-error flag was not written before the panic"
unmount_under "$WORK"

# --- reset: a cluster service driven by "mirvolinner" restarts the host ---
fresh_images
MIRVOL_FIXTURE_WRITE_FAULT=$FAULT start_host reset --control "$SOCK" nmp_minor=3
make_device

# inner_field NAME N: field N (1-8) of the flags line of device NAME, read by
# position: the device count, then per device its name, its network count,
# one line per network and the flags line.
inner_field() {
  timeout 10 awk -v want="$1" -v n="$2" '
    NR == 1 { devices = $1; line = 2; next }
    NR == line && stage == 0 { name = $0; stage = 1; line++; next }
    NR == line && stage == 1 { nets = $1; stage = 2; line += nets + 1; next }
    NR == line && stage == 2 {
      if (name == want) { print $n; found = 1; exit }
      stage = 0; line++; next
    }
    END { if (!found) exit 1 }' "$HOST_MNT/proc/mirvolinner" 2>/dev/null
}
# The disconnect time is 0 and the port flags are as set: N/W 0, I/O 1.
[ "$(inner_field road 1)" = 0 ] || fail "mirvolinner: disconnect time not 0"
[ "$(inner_field road 4) $(inner_field road 5)" = "0 1" ] || fail "mirvolinner: port flags"
[ "$(inner_field road 8)" = 0 ] || fail "a reset request before any error"

write_some
# The service loop: poll the reset request; on 1, reset the server (the
# host is killed as a reset would end it) and start it again.
restarted=
deadline=$((SECONDS + 60))
while [ -z "$restarted" ] && [ "$SECONDS" -lt "$deadline" ]; do
  if [ "$(inner_field road 8 || true)" = 1 ]; then
    [ "$(inner_field road 7)" = 1 ] || fail "the disk-error flag is not shown with the reset request"
    kill -KILL "$HOST_PID"
    timeout 30 tail --pid="$HOST_PID" -f /dev/null || fail "the host did not end"
    wait "$HOST_PID" || true
    HOST_PID=
    unmount_under "$WORK"
    start_host after --control "$SOCK" nmp_minor=3
    make_device
    restarted=1
  else
    sleep 0.1
  fi
done
[ -n "$restarted" ] || fail "the service never saw a reset request"
grep -F "<event: 160> NMP3 disk I/O error. System reset." "$WORK/reset/log" >/dev/null ||
  fail "no reset action line before the restart"

[ "$(inner_field road 7)" = 1 ] || fail "after the restart the disk-error flag is not 1"
[ "$(inner_field road 8)" = 0 ] || fail "a new host shows a reset request"
ctl raw NMP3 13 --size 20 --in 0000000008000000
[ "$(status_word)" = 00008000 ] || fail "command 13 flag 8: $(cat "$WORK/out")"
[ "$(inner_field road 7)" = 0 ] || fail "command 13 flag 8 left the flag in memory"
[ "$(disk_error_byte)" = 0 ] || fail "command 13 flag 8 left the flag on disk"
# Without the fault a write is served and nothing is flagged.
write_some
ctl NMP3 port get io
[ "$(inner_field road 8)" = 0 ] || fail "a reset request without an error"
stop_host
echo PASS
