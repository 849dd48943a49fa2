#!/usr/bin/env bash
# Mirror device creation through the control socket, as a cluster service
# does it: the named form and a raw record built by another program create
# devices on image files and on a loop device; an active device's threads
# run under their names in the host; the refusals hold; unload stops the
# threads.
#   ctl_create_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse
command -v python3 >/dev/null || skip "needs python3 to build a raw record"

SOCK=$WORK/control.sock
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@"; }
status_of() { sed -n 's/^status=//p' "$WORK/out" | awk '{print $1}'; }
# create ARGS...: a command the driver answers (exit 0, or 3 for a status
# other than STATUS_OK, which the caller checks).
create() {
  local rc=0
  ctl "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 3 ] || fail "mirvolctl $*: exit $rc: $(cat "$WORK/err")"
}
devices() { timeout 10 head -1 "$HOST_MNT/proc/mirvolinner"; }
for f in cp1 dp1 cp2 dp2 cp3 dp3 cp4 dp4; do truncate -s 64M "$WORK/$f.img"; done

start_host create --control "$SOCK" nmp_minor=3,1,7,5

# --- refusals first: nothing is created ---
# What the driver could not use is refused by mirvolctl before anything is
# sent (exit 2, the reason on stderr); what the driver refuses comes back as
# its status word (exit 3) with the driver's own line for it.
# arguments | exit | status (empty: none printed) | text on stderr
while IFS='|' read -r args want_rc want text; do
  read -ra a <<<"$args"
  rc=0
  ctl NMP3 init "${a[@]}" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" = "$want_rc" ] || fail "init $args: exit $rc, expected $want_rc: $(cat "$WORK/err")"
  [ "$(status_of)" = "$want" ] || fail "init $args: status $(status_of), expected $want"
  grep -F -- "$text" "$WORK/err" >/dev/null || fail "init $args: no \"$text\" in: $(cat "$WORK/err")"
done <<CASES
cp=$WORK/cp1.img dp=$WORK/cp1.img active=1 net=192.0.2.1,192.0.2.2|2||NMP3 init: cp=$WORK/cp1.img and dp=$WORK/cp1.img are the same file
cp=$WORK/cp1.img dp=/dev/null active=1 net=192.0.2.1,192.0.2.2|2||dp=/dev/null is neither a block device nor a regular file
cp=$WORK/cp1.img dp=$WORK/dp1.img active=1|2||no net=SELF,PEER
cp=$WORK/cp1.img dp=$WORK/dp1.img net=192.0.2.1,192.0.2.2|2||without active=1 the driver drops the peer's address
cp=$WORK/cp1.img dp=$WORK/dp1.img active=1 net=192.0.2.1|2||gives no peer address
cp=$WORK/cp1.img dp=$WORK/dp1.img status=1 active=1 net=192.0.2.1,192.0.2.2|3|STATUS_INVALID_PARAMETER|driver: [I] <type: mirvol><event: 185> NMP3 ioctl (cmd=102, pid=
cp=$WORK/cp1.img dp=$WORK/dp1.img ip_version=5 active=1 net=192.0.2.1,192.0.2.2|3|STATUS_INVALID_PARAMETER|ip_version (5) or mdc_cnt (1) is invalid. (mirvol_nmp_init)
cp=$WORK/cp1.img dp=$WORK/dp1.img bmp_size_in_sec=0 active=1 net=192.0.2.1,192.0.2.2|3|STATUS_INVALID_PARAMETER|NMP3 init: STATUS_INVALID_PARAMETER: the driver refused a value
CASES
log_has "NMP3 ioctl (cmd=102, pid=" || fail "no event-185 line for a record with a status word"
[ "$(devices)" = 0 ] || fail "a refused record made a device"

# --- the named form, active: the threads run under their names ---
create NMP3 init cp="$WORK/cp1.img" dp="$WORK/dp1.img" name=first active=1 mode=async \
  net=192.0.2.1,192.0.2.2,USING
[ "$(status_of)" = STATUS_OK ] || fail "init of NMP3: $(cat "$WORK/out")"
for s in 01 02 03 04 05 06 07 08 09; do
  wait_until 10 grep -qx "mirvol_nmp03_$s" /proc/"$HOST_PID"/task/*/comm ||
    fail "no thread mirvol_nmp03_$s in the host"
done
create NMP3 init cp="$WORK/cp2.img" dp="$WORK/dp2.img" net=192.0.2.1
[ "$(status_of)" = STATUS_INVALID_PARAMETER ] || fail "a second device on NMP3 was not refused"

# --- the compression flags of the new device ---
create NMP3 set-compress flags=3
[ "$(status_of)" = STATUS_OK ] || fail "set-compress: $(cat "$WORK/out")"
create NMP3 get-compress
grep -qx "flags=3" "$WORK/out" && grep -qx "value=1" "$WORK/out" || fail "get-compress: $(cat "$WORK/out")"
log_has "NMP3 requested to change compress flag. (Sync data : ON) (Recovery data : ON)" ||
  fail "no event-280 line"
create NMP1 get-compress
[ "$(status_of)" = STATUS_NO_DEVICE ] || fail "get-compress on a minor without a device"

# --- a raw record built here, inactive, two networks ---
rec=$(python3 - <<'PY'
import struct
b = bytearray(2232 + 36)
b[4:8] = b"qdx\0"
struct.pack_into("<HHHH", b, 8, 0, 21, 0, 20)   # dp and cp numbers, unlike NMP3's
struct.pack_into("<I", b, 20, 16)               # bmp_size_in_sec
b[24:30] = b"second"
struct.pack_into("<ii", b, 1048, 20, 21)        # cp and dp: the caller's descriptor numbers
struct.pack_into("<IIQ", b, 1056, 1, 0, 100)    # sync, reserved, send_queue_cnt
struct.pack_into("<III", b, 1072, 10, 2, 8)
struct.pack_into("<IIIIIIIII", b, 1088, 10, 30, 30, 3, 1, 5, 100, 100, 4)
struct.pack_into("<II", b, 1124, 2, 0)          # two networks, inactive
struct.pack_into("<ii", b, 1132, -1, -1)
for i in range(2):
    off = 2196 + 36 * i
    b[off + 12:off + 16] = bytes([198, 51, 100, 1 + i])
print(b.hex())
PY
)
ctl raw NMP1 102 --in "$rec" --fd 20="$WORK/cp3.img" --fd 21="$WORK/dp3.img" >"$WORK/out" 2>"$WORK/err" ||
  fail "raw 102: $(cat "$WORK/err")"
rec_out=$(sed -n 's/^record=//p' "$WORK/out")
[ "${rec_out:0:8}" = 00008000 ] || fail "raw 102 status: ${rec_out:0:8}"
[ "${rec_out:36:4}" = 0100 ] || fail "raw 102 did not answer minor 1 at offset 18: ${rec_out:36:4}"
[ "$(devices)" = 2 ] || fail "mirvolinner does not count two devices"
timeout 10 grep -qx "second" "$HOST_MNT/proc/mirvolinner" || fail "mirvolinner lacks the second device"

# --- the named form with the partition numbers left to the tool: a
# partition already in use is refused by the file itself, other files on
# the same file system are not ---
create NMP5 init cp="$WORK/cp4.img" dp="$WORK/cp1.img" net=192.0.2.1
[ "$(status_of)" = STATUS_INVALID_PARAMETER ] || fail "NMP3's Cluster Partition taken as data: $(cat "$WORK/out")"
log_has "The same Data Partition is specified. Specify different partitions. (NMP3, NMP5)" ||
  fail "no event-184 line for a Data Partition in use"
create NMP5 init cp="$WORK/cp4.img" dp="$WORK/dp4.img" name=fourth net=192.0.2.1
[ "$(status_of)" = STATUS_OK ] || fail "init of NMP5 with the tool's partition numbers: $(cat "$WORK/out")"
[ "$(devices)" = 3 ] || fail "mirvolinner does not count three devices"
maj=$(stat -c %Hd "$WORK/dp4.img")
min=$(stat -c %Ld "$WORK/dp4.img")
timeout 10 grep -A1 "^fourth " "$HOST_MNT/proc/mirvolstat" | grep -Eq "^data partition: +major:$maj +minor:$min " ||
  fail "the Data Partition numbers are not those of the image's file system ($maj:$min): $(timeout 10 cat "$HOST_MNT/proc/mirvolstat")"

# --- loop devices as partitions: 4096-byte sectors for the Cluster
# Partition (its other layout), 512-byte ones for the Data Partition ---
if loop=$(timeout 30 losetup -f --show --sector-size 4096 "$WORK/cp2.img" 2>/dev/null); then
  CLEAN_LOOPS+=("$loop")
  dloop=$(timeout 30 losetup -f --show "$WORK/dp2.img") || fail "losetup of the Data Partition"
  CLEAN_LOOPS+=("$dloop")
  create NMP7 init cp="$loop" dp="$dloop" dp_minor=99 cp_minor=98 net=192.0.2.1
  [ "$(status_of)" = STATUS_OK ] || fail "init on a 4096-byte loop device: $(cat "$WORK/out")"
  [ "$(devices)" = 4 ] || fail "the loop-device device is not counted"
fi

stop_host TERM
log_has "NMP3 killing thread......OK (mirvol_accept_thread)" || fail "unload did not stop the threads"
echo PASS
