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

# --- the named forms ---
carried NMP3 size
has_line '^ioctl=-?[0-9]+$'
has_line '^size=[0-9]+$'
truncate -s 64M "$WORK/cp.img" "$WORK/dp.img"
carried NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=ctl-test net=192.0.2.1,192.0.2.2
has_line '^ioctl=-?[0-9]+$'
has_line '^status='
has_line '^minor=[0-9]+$'

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
NMP7 size|no mirror device NMP7 on this host
--control $WORK/none.sock raw NMP3 3 --size 8|cannot connect to the control socket $WORK/none.sock
EOF

kill -0 "$HOST_PID" || fail "the host left during the commands"
stop_host TERM
log_has "mirvold: module unloaded" || fail "no unload in the log"
[ ! -e "$SOCK" ] || fail "the control socket is left behind"
echo PASS
