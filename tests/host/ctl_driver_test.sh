#!/usr/bin/env bash
# Control commands carried to the real driver through mirvold's control
# socket: whatever the driver answers, mirvolctl reports it in its form; a
# device or host that is not there is an error; the host stops cleanly after
# commands and leaves no socket behind.
#   ctl_driver_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

SOCK=$WORK/control.sock
start_host drv --control "$SOCK" nmp_minor=3,1

# MIRVOL_CONTROL names the socket when --control does not.
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@"; }
carried() { ctl "$@" >"$WORK/out" 2>"$WORK/err" || fail "mirvolctl $* exited $?: $(cat "$WORK/err")"; }
has_line() { grep -qE -- "$1" "$WORK/out" || fail "mirvolctl output has no line /$1/: $(cat "$WORK/out")"; }

# --- raw: the result and the 8-byte buffer after the call ---
carried raw NMP3 3 --size 8
has_line '^ioctl=-?[0-9]+$'
has_line '^record=[0-9a-f]{16}$'
[ "$(wc -l <"$WORK/out")" -eq 2 ] || fail "raw printed more than two lines: $(cat "$WORK/out")"
# with a descriptor passed and a buffer given
echo payload >"$WORK/file"
carried raw NMP1 3 --in 0100000000000000 --fd 5="$WORK/file"
has_line '^record=[0-9a-f]{16}$'

# --- the named forms: no ioctl= line; what the driver kept ---
truncate -s 64M "$WORK/cp.img" "$WORK/dp.img"
carried NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=ctl-test net=192.0.2.1
! grep '^ioctl=' "$WORK/out" >/dev/null || fail "init printed an ioctl= line: $(cat "$WORK/out")"
has_line '^status=STATUS_OK'
has_line '^minor=3$'
carried NMP3 size
has_line '^size=0$'

# Each form with a good and a refused value: the lines printed (every one
# must be there, in order), the exit code and a text on stderr. A kept
# value differing from the one asked is said on stderr.
# arguments | exit | stdout lines (; between) | text on stderr (empty: none expected)
expect_forms <<EOF
NMP3 set-size 1024 granule=8|0|status=STATUS_OK (0x800000);size_kib=1024;granule=8|
NMP1 set-size 1024|3|status=STATUS_NO_DEVICE (0x800003)|NMP1 set-size: STATUS_NO_DEVICE: no mirror device was created on this minor
NMP3 port open io|0|status=STATUS_OK (0x800000);io=open nw=open mount=close|
NMP3 port close nw|0|status=STATUS_OK (0x800000);io=open nw=close mount=close|
NMP3 port open nw|0|status=STATUS_OK (0x800000);io=open nw=open mount=close|
NMP1 port get io|3|status=STATUS_NO_DEVICE (0x800003)|NMP1 device does not exist. (mirvol_port_operate)
NMP3 set-request-limit 300|0|status=STATUS_OK (0x800000);limit=300|
NMP3 set-request-limit 1|0|status=STATUS_OK (0x800000);limit=256|NMP3 set-request-limit: limit 1 was not kept: the driver keeps 256
NMP3 init-request-limit 10 20 30|3|status=STATUS_INVALID_PARAMETER (0x800007)|NMP3 init-request-limit: STATUS_INVALID_PARAMETER
NMP3 init-request-limit 256 12288 4096|0|status=STATUS_OK (0x800000);limit=4096|
NMP3 set-send-queue 100|0|status=STATUS_OK (0x800000);size=100|
NMP3 set-send-queue -1|0|status=STATUS_OK (0x800000);size=65535|size -1 was not kept: the driver keeps 65535
NMP3 set-sync-flags 256|0|status=STATUS_OK (0x800000);flags=256;meaning=mirroring ON|
NMP3 set-sync-flags -1|3|status=STATUS_INVALID_PARAMETER (0x800007)|sync switch flag (0xffffffff) is invalid. (mirvol_set_nmp_sync_flag)
NMP3 set-sync-flags 0|0|status=STATUS_OK (0x800000);flags=0;meaning=mirroring ON|
NMP3 set-param hb_interval=20|0|status=STATUS_OK (0x800000);hb_interval=20;ack_timeout=100|
NMP3 set-param hb_interval=0 ack_timeout=700|0|status=STATUS_OK (0x800000);hb_interval=10;ack_timeout=100|hb_interval 0 was not kept: the driver keeps 10
NMP3 set-ratio 10|0|status=STATUS_OK (0x800000);ratio=10|keepalive_time (300) is invalid. The maximum number (100) will be used instead.
NMP3 set-ratio 0|3|status=STATUS_INVALID_PARAMETER (0x800007)|the ratio value (0) is invalid. (mirvol_set_ratio)
NMP3 set-ratio 1|0|status=STATUS_OK (0x800000);ratio=1|
NMP3 set-disk-error-action 1 1 2|0|status=STATUS_OK (0x800000);action_flag=1;cp_action=1;dp_action=2|
NMP3 set-disk-error-action 1 0 3|3|status=STATUS_INVALID_PARAMETER (0x800007)|dp_action(3) is invalid. (mirvol_set_disk_error_action)
NMP3 set-disk-error-action 1 0 0|0|status=STATUS_OK (0x800000)|
NMP3 set-compress flags=3|0|status=STATUS_OK (0x800000);flags=3;value=1|
NMP3 network-init interval=0|0|status=STATUS_OK (0x800000);interval=100;max_cachenum=256|interval 0 was not kept: the driver keeps 100
NMP3 network-init status=1|3|status=STATUS_INVALID_PARAMETER (0x800007)|ioctl (cmd=101, pid=
NMP3 get-mode|0|status=STATUS_OK (0x800000);mode=1|
NMP1 get-mode|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 drive-info|0|status=STATUS_OK (0x800000);nw=1;io=1;mount=0;disk_error=0|
EOF

# --- the status view: a mirroring device, then a broken one ---
carried NMP3 status
for line in "NMP3:" "  ports:       io=open nw=open mount=close" "  size:        1024 KiB" \
  "  mode:        sync" "  bitmap:      256 bits of 4096 bytes each" "  mirror:      mirroring"; do
  grep -qxF -- "$line" "$WORK/out" || fail "status has no line \"$line\": $(cat "$WORK/out")"
done
ctl NMP3 port close nw >/dev/null
carried NMP3 status
grep -qxF "  mirror:      broken (the N/W port is closed: writes only mark the bitmap)" "$WORK/out" ||
  fail "status of a broken mirror: $(cat "$WORK/out")"
rc=0
ctl NMP1 status >"$WORK/out" 2>"$WORK/err" || rc=$?
[ "$rc" = 3 ] || fail "status of a minor without a device: exit $rc"

# --- what cannot be carried: exit 1 and why ---
# arguments | text on stderr
while IFS='|' read -r args text; do
  read -ra a <<<"$args"
  rc=0
  ctl "${a[@]}" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" -eq 1 ] || fail "mirvolctl $args: exit $rc, expected 1"
  grep -qF -- "$text" "$WORK/err" || fail "mirvolctl $args: no \"$text\" in: $(cat "$WORK/err")"
  [ ! -s "$WORK/out" ] || fail "mirvolctl $args printed: $(cat "$WORK/out")"
done <<EOF
raw NMP9 3 --size 8|no mirror device NMP9 on this host
NMP7 size|NMP7 size: not carried: no mirror device NMP7 on this host
--control $WORK/none.sock raw NMP3 3 --size 8|cannot connect to the control socket $WORK/none.sock
--control=$WORK/none.sock NMP3 size|cannot connect to the control socket $WORK/none.sock
EOF
# The --opt=value form reaches the host as the two-word one does.
carried --control="$SOCK" NMP3 get-mode
has_line '^mode=1$'

# --- a second host without --mount and --control: it says what it does
# instead, and runs without a control socket rather than take the default
# one (here $MIRVOL_CONTROL, the first host's) from the host that serves it ---
[ "$MIRVOL_CONTROL" = "$SOCK" ] || fail "the host tests' default socket is not the first host's"
# (bounded: it cannot outlive a failing test)
timeout 120 "$MIRVOLD" nmp_minor=3 >"$WORK/second" 2>&1 &
second=$!
second_says() { grep -xF -- "$1" "$WORK/second" >/dev/null; }
wait_until 30 second_says "mirvold: warning: $SOCK is served by another host: this host takes no control commands" ||
  fail "second host: $(cat "$WORK/second")"
for text in "mirvold: warning: no --mount: the mirror devices are reachable by control commands only" \
  "mirvold: warning: no --control: serving control commands on $SOCK"; do
  second_says "$text" || fail "second host: no line \"$text\" in: $(cat "$WORK/second")"
done
kill -0 "$second" || fail "the second host left: $(cat "$WORK/second")"
kill -TERM "$second"
rc=0
timeout 30 tail --pid="$second" -f /dev/null || fail "the second host did not stop on SIGTERM"
wait "$second" || rc=$?
[ "$rc" = 0 ] || fail "the second host exited $rc on SIGTERM"
carried NMP3 get-mode
has_line '^mode=1$'

kill -0 "$HOST_PID" || fail "the host left during the commands"
stop_host TERM
log_has "mirvold: module unloaded" || fail "no unload in the log"
[ ! -e "$SOCK" ] || fail "the control socket is left behind"
echo PASS
