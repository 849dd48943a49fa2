#!/usr/bin/env bash
# The control socket between mirvolctl and a module whose commands show what
# a command sees of its caller (ctl_module.cpp): buffers both ways,
# descriptors under the caller's numbers, commands running at once, signals
# and vanished callers, malformed requests, and stopping around commands.
#   ctl_transport_test.sh MIRVOLD_CTLTEST MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

BG=()  # background mirvolctl runs, killed if the test ends early
kill_bg() {
  local p
  for p in "${BG[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
}
trap 'kill_bg; cleanup' EXIT

SOCK=$WORK/ctl.sock
ctl() { timeout 20 "$MIRVOLCTL" --control "$SOCK" "$@"; }
# bg_ctl NAME ARGS...: runs mirvolctl in the background, output in $WORK/NAME,
# exit status in $WORK/NAME.rc once it has ended; its pid in BG_PID. (A
# wrapper waits for it, so that its death by a signal is no job report.)
bg_ctl() {
  local name=$1
  shift
  rm -f "$WORK/$name.rc" "$WORK/$name.pid"
  (
    "$MIRVOLCTL" --control "$SOCK" "$@" >"$WORK/$name" 2>&1 &
    echo $! >"$WORK/$name.pid"
    rc=0
    wait $! || rc=$?
    echo $rc >"$WORK/$name.rc"
  ) 2>/dev/null &
  wait_until 10 test -s "$WORK/$name.pid" || fail "mirvolctl $name did not start"
  BG_PID=$(cat "$WORK/$name.pid")
  BG+=("$BG_PID")
}
# end_of NAME: waits (limited) for a background run; its exit status in END_RC.
end_of() {
  wait_until 20 test -s "$WORK/$1.rc" || fail "mirvolctl $1 did not finish"
  END_RC=$(cat "$WORK/$1.rc")
}
# answer ARGS...: the call's output, which must have been carried.
answer() { ctl "$@" || fail "mirvolctl $* exited $?"; }
count_log() { grep -cF -- "$1" "$HOST_LOG" || true; }
host_fds() { find "/proc/$HOST_PID/fd" -mindepth 1 | wc -l; }
zeros() { printf '0%.0s' $(seq 1 $(($1 * 2))); }
ffs() { printf 'f%.0s' $(seq 1 $(($1 * 2))); }

start_host t --control "$SOCK" nmp_minor=3,1
[ -S "$SOCK" ] || fail "no control socket at $SOCK"
[ "$(stat -c %a "$SOCK")" = 700 ] || fail "control socket mode $(stat -c %a "$SOCK")"

# --- the buffer goes in and comes back; the result is the ioctl's ---
# device | arguments | output
while IFS='|' read -r dev args want; do
  read -ra a <<<"$args"
  got=$(answer raw "$dev" "${a[@]}" | tr '\n' ' ')
  want=$(eval "echo \"$want\"")
  [ "$got" = "$want " ] || fail "raw $dev $args: $got, expected $want"
done <<'EOF'
NMP3|1 --in 00ff11 --size 20|ioctl=16 record=ff00ee$(ffs 13)$(zeros 4)
NMP3|1 --in 0102 --size 8|ioctl=8 record=fefd$(ffs 6)
NMP1|1 --size 0|ioctl=0 record=
NMP1|77 --size 4 --in 01020304|ioctl=-25 record=01020304
EOF

# --- descriptors: the module finds each under the caller's number ---
echo "first file" >"$WORK/a"
echo "second file" >"$WORK/b"
base_fds=$(host_fds)
# fd number in the record | --fd arguments | ioctl | text the module read
while IFS='|' read -r num fdargs want_rc want_text; do
  read -ra a <<<"$fdargs"
  out=$(answer raw NMP3 2 --in "$(printf '%02x%02x0000' $((num & 255)) $((num >> 8)))" --size 64 "${a[@]}")
  [ "$(sed -n 's/^ioctl=//p' <<<"$out")" = "$want_rc" ] || fail "fd $num with $fdargs: $out"
  got=$(sed -n 's/^record=//p' <<<"$out" | cut -c9- | xxd -r -p | tr -d '\0')
  [ "$got" = "$want_text" ] || fail "fd $num with $fdargs: read \"$got\", expected \"$want_text\""
done <<EOF
7|--fd 7=$WORK/a|11|first file
12|--fd 7=$WORK/a --fd 12=$WORK/b|12|second file
1000|--fd 1000=$WORK/b|12|second file
8|--fd 7=$WORK/a|-9|
0|--fd 0=$WORK/a|11|first file
EOF
# The host closes what was passed once the call is over.
wait_until 10 test "$(host_fds)" -le "$base_fds" || fail "host holds $(host_fds) fds, $base_fds before"

# --- the named init: descriptors passed, the answer printed by field ---
out=$(answer NMP3 init cp="$WORK/a" dp="$WORK/b" name=mirror-a net=192.0.2.1,192.0.2.2 active=1)
for line in "status=STATUS_OK (0x800000)" "minor=3" "name=mirror-a" "magic=qdx" \
  "hb_interval=10" "compress2=-1" "net=192.0.2.1,192.0.2.2,FREE"; do
  grep -qxF -- "$line" <<<"$out" || fail "init answer has no \"$line\": $out"
done
# Without files to pass the driver could only fail: refused before sending.
rc=0
ctl NMP1 init cp_fd=90 dp_fd=91 net=192.0.2.1 >"$WORK/out" 2>&1 || rc=$?
[ "$rc" = 2 ] && grep -F "NMP1 init: cp=PATH and dp=PATH" "$WORK/out" >/dev/null ||
  fail "init without files: exit $rc: $(cat "$WORK/out")"

# --- a device the host does not have ---
rc=0
ctl raw NMP9 1 --size 16 >"$WORK/out" 2>"$WORK/err" || rc=$?
[ "$rc" -eq 1 ] || fail "NMP9: exit $rc"
grep -qF "no mirror device NMP9 on this host" "$WORK/err" || fail "NMP9: $(cat "$WORK/err")"
[ ! -s "$WORK/out" ] || fail "NMP9 printed: $(cat "$WORK/out")"

# --- two commands sleep at once; each ends when released, in any order ---
bg_ctl w1 raw NMP3 3 --in 01 --size 16
w1=$BG_PID
bg_ctl w2 raw NMP1 3 --in 02 --size 16
w2=$BG_PID
both_sleep() { log_has "waits on key 1" && log_has "waits on key 2"; }
wait_until 20 both_sleep || fail "the two commands did not sleep at once"
log_has "mirvol_ctl waits on key 1" || fail "the command's task is not named mirvol_ctl"

# A stop is refused while they run; commands are still taken.
kill -TERM "$HOST_PID"
wait_until 20 log_has "not stopping on signal 15: 2 control commands are running" ||
  fail "no refusal of the stop while commands run"
[ "$(answer raw NMP3 1 --size 1 | head -1)" = "ioctl=1" ] || fail "no command carried after a refused stop"

answer raw NMP3 4 --in 02 --size 4 >/dev/null
end_of w2
[ "$END_RC" -eq 0 ] || fail "second command: $(cat "$WORK/w2")"
kill -0 "$w1" 2>/dev/null || fail "first command ended with the second's release"
answer raw NMP3 4 --in 01 --size 4 >/dev/null
end_of w1
[ "$END_RC" -eq 0 ] || fail "first command: $(cat "$WORK/w1")"
for w in w1 w2; do
  grep -qx "ioctl=0" "$WORK/$w" || fail "$w: $(cat "$WORK/$w")"
  grep -qx "record=0${w#w}00000000000000$(zeros 8)" "$WORK/$w" || fail "$w: $(cat "$WORK/$w")"
done

# --- a signal the caller gets reaches the sleeping command ---
bg_ctl w5 raw NMP3 3 --in 05 --size 16
w5=$BG_PID
wait_until 20 log_has "waits on key 5" || fail "command on key 5 did not start"
kill -TERM "$w5"
end_of w5
[ "$END_RC" -eq 143 ] || fail "mirvolctl exited $END_RC after SIGTERM, not by the signal"
grep -qx "ioctl=-512" "$WORK/w5" || fail "SIGTERM: $(cat "$WORK/w5")"
# the pending signals at offset 8: SIGTERM's bit
grep -qx "record=05000000000000000040000000000000" "$WORK/w5" || fail "SIGTERM: $(cat "$WORK/w5")"

# --- a caller that is killed leaves its command with SIGKILL ---
bg_ctl w6 raw NMP3 3 --in 06 --size 16
w6=$BG_PID
wait_until 20 log_has "waits on key 6" || fail "command on key 6 did not start"
kill -KILL "$w6"
end_of w6
wait_until 20 log_has "wait on key 6 ended: -512" || fail "the killed caller's command still sleeps"
log_has "control client of command 3 on NMP3 went away" || fail "no note of the vanished caller"
[ "$(answer raw NMP3 1 --size 1 | head -1)" = "ioctl=1" ] || fail "no command carried after a vanished caller"

# --- malformed requests are answered or dropped; the host goes on ---
if command -v python3 >/dev/null; then
  timeout 30 python3 - "$SOCK" >"$WORK/junk" 2>&1 <<'EOF' || fail "junk clients: $(cat "$WORK/junk")"
import socket, struct, sys
path = sys.argv[1]
def conn():
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(10)
    s.connect(path)
    return s
def reply(s):
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    magic, error, result, length, msg_len, _ = struct.unpack("<IiiIII", data[:24])
    assert magic == 0x3152564d, data
    return error, data[24 + length:].decode()
def head(device, cmd, nfds, length, magic=0x3143564d):
    return struct.pack("<I16sIII", magic, device, cmd, nfds, length)
# not a request at all
s = conn(); s.sendall(b"x" * 32); print("junk", *reply(s))
# descriptors announced but none passed
s = conn(); s.sendall(head(b"NMP3", 1, 1, 4) + struct.pack("<i", 7) + b"\0" * 4); print("nofds", *reply(s))
# a buffer larger than any record
s = conn(); s.sendall(head(b"NMP3", 1, 0, 1 << 21)); print("big", *reply(s))
# gone before the request is complete, or before anything
s = conn(); s.sendall(head(b"NMP3", 1, 0, 16)[:10]); s.close()
s = conn(); s.close()
EOF
  for want in "junk -71 not a control request" "nofds -71 the descriptors passed do not match" \
    "big -71 request out of range"; do
    grep -qF -- "$want" "$WORK/junk" || fail "no \"$want\" in: $(cat "$WORK/junk")"
  done
  [ "$(answer raw NMP1 1 --size 2 | head -1)" = "ioctl=2" ] || fail "no command carried after junk"
else
  echo "(no python3: malformed requests not tried)"
fi

# --- a stop refused for an open mirror file leaves commands taken ---
exec 3<"$HOST_MNT/NMP1"
kill -TERM "$HOST_PID"
wait_until 20 log_has "not stopping on signal 15: 1 mirror file is open" || fail "no refusal for an open file"
[ "$(answer raw NMP3 1 --size 1 | head -1)" = "ioctl=1" ] || fail "commands refused after a refused stop"
exec 3<&-

# --- stopping: with a client connected but silent; nothing left inside ---
if command -v python3 >/dev/null; then
  python3 -c 'import socket,sys,time
s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); print("connected", flush=True); time.sleep(60)' \
    "$SOCK" >"$WORK/idle" &
  idle=$!
  BG+=("$idle")
  wait_until 10 grep -q connected "$WORK/idle" || fail "the idle client did not connect"
fi
stop_host TERM
if [ -n "${idle:-}" ]; then
  kill -KILL "$idle"
  wait "$idle" 2>/dev/null || true
fi
[ ! -e "$SOCK" ] || fail "control socket left after the stop"
log_has "ctltest: unloading with 0 commands inside" || fail "commands were inside at unload"
[ "$(count_log "control socket $SOCK closed")" -eq 1 ] || fail "socket not closed once"

# --- a socket left by a killed host is taken over; anything else is not ---
start_host killed --control "$SOCK" nmp_minor=3
disown "$HOST_PID"
kill -KILL "$HOST_PID"
timeout 10 tail --pid="$HOST_PID" -f /dev/null || fail "killed host still there"
HOST_PID=
[ -S "$SOCK" ] || fail "a killed host left no socket (nothing to take over)"
start_host again --control "$SOCK" nmp_minor=3
[ "$(answer raw NMP3 1 --size 1 | head -1)" = "ioctl=1" ] || fail "stale socket not taken over"
stop_host TERM

echo "not a socket" >"$WORK/plain"
mkdir -p "$WORK/plainhost/mnt"
rc=0
timeout 20 "$MIRVOLD" --mount "$WORK/plainhost/mnt" --control "$WORK/plain" nmp_minor=3 \
  >"$WORK/plainhost/out" 2>&1 || rc=$?
[ "$rc" -eq 1 ] || fail "host over a plain file at the socket path: exit $rc"
grep -qF "cannot serve control socket $WORK/plain" "$WORK/plainhost/out" ||
  fail "no reason given: $(cat "$WORK/plainhost/out")"
[ "$(cat "$WORK/plain")" = "not a socket" ] || fail "the plain file was touched"
! is_mounted "$WORK/plainhost/mnt" || fail "a host that could not serve its socket mounted"
echo PASS
