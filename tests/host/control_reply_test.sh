#!/usr/bin/env bash
# A control client that sends a command and never reads its answer holds
# neither the command nor the host: the host stops on SIGTERM, drops the
# answer and says so.
#   control_reply_test.sh MIRVOLD_CTLTEST
MIRVOLD=$1
. "$(dirname "$0")/lib.sh"
require_root_fuse
command -v python3 >/dev/null || skip "needs python3"

CLIENT_PID=
trap '[ -z "$CLIENT_PID" ] || kill -KILL "$CLIENT_PID" 2>/dev/null; cleanup' EXIT

SOCK=$WORK/ctl.sock
start_host t --control "$SOCK" nmp_minor=3

# Command 1 of the stand-in module returns the whole buffer: 1 MiB, far more
# than the socket holds, so the reply cannot be sent before it is read. The
# client says "answering" once the first bytes of the answer have arrived
# (the command has run, the host is sending), then sleeps without reading.
python3 - "$SOCK" >"$WORK/client" 2>&1 <<'PY' &
import select, socket, struct, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
size = 1 << 20
s.sendall(b"MVC1" + b"NMP3".ljust(16, b"\0") + struct.pack("<III", 1, 0, size) + bytes(size))
if select.select([s], [], [], 60)[0]:
    print("answering", flush=True)
time.sleep(600)
PY
CLIENT_PID=$!
wait_until 60 grep -qx answering "$WORK/client" ||
  fail "no answer began to arrive: $(cat "$WORK/client")"

kill -TERM "$HOST_PID"
host_gone() { ! kill -0 "$HOST_PID" 2>/dev/null; }
stop_or_refusal() { host_gone || log_has "not stopping on signal"; }
wait_until 60 stop_or_refusal || fail "no stop and no refusal after SIGTERM"
host_gone || fail "the host does not stop while a client does not read its answer"
rc=0
wait "$HOST_PID" || rc=$?
HOST_PID=
[ "$rc" -eq 0 ] || fail "host exited $rc"
log_has "mirvold: control client of command 1 on NMP3 did not take its answer; it is dropped" ||
  fail "the dropped answer was not logged"
! is_mounted "$HOST_MNT" || fail "$HOST_MNT still mounted after the host left"
echo PASS
