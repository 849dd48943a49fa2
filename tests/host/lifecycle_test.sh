#!/usr/bin/env bash
# mirvold's life cycle: a failed load, the files of a loaded module, and
# stopping, which is refused while a mirror file is open.
#   lifecycle_test.sh MIRVOLD KIND     KIND: driver (the real module) or fake
MIRVOLD=$1
KIND=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

# --- a load that fails exits non-zero, says why and mounts nothing ---
# args | expected exit | text expected on standard error
while IFS='|' read -r args want_rc want_text; do
  mkdir -p "$WORK/bad/mnt"
  rc=0
  # shellcheck disable=SC2086
  timeout 20 "$MIRVOLD" --mount "$WORK/bad/mnt" --log "$WORK/bad/log" $args \
    >"$WORK/bad/out" 2>&1 || rc=$?
  [ "$rc" -eq "$want_rc" ] || fail "mirvold $args: exit $rc, expected $want_rc"
  grep -qF -- "$want_text" "$WORK/bad/out" || fail "mirvold $args: no \"$want_text\" in: $(cat "$WORK/bad/out")"
  ! is_mounted "$WORK/bad/mnt" || fail "mirvold $args left a mount"
done <<'EOF'
g_mirvol_major=218|1|mirvold: init_module failed: -5
nmp_minor=3 no_such_parameter=1|1|mirvold: module parameters refused: -2
--time-scale 0 nmp_minor=3|2|usage: mirvold
--mount|2|usage: mirvold
EOF
if [ "$KIND" = driver ]; then
  HOST_LOG=$WORK/bad/log
  log_has "insmod did not pass nmp_minor array to mirvol with module_param_array." ||
    fail "no load-failure message in the kernel log"
fi

# --- a loaded module: one file per mirror disk and the /proc files ---
start_host loaded nmp_minor=3,1
names=$(timeout 10 ls "$HOST_MNT" | tr '\n' ' ')
[ "$names" = "NMP1 NMP3 proc " ] || fail "mount holds: $names"
for f in NMP3 NMP1; do
  [ -f "$HOST_MNT/$f" ] || fail "$f is no regular file"
  # Until the size command, a mirror disk has its placeholder 1024 sectors.
  size=$(timeout 10 stat -c %s "$HOST_MNT/$f")
  [ "$size" -eq $((1024 * 512)) ] || fail "$f has size $size"
done
stat_text=$(timeout 10 cat "$HOST_MNT/proc/mirvolstat") || fail "cannot read proc/mirvolstat"
[ -n "$stat_text" ] || fail "proc/mirvolstat is empty"
timeout 10 cat "$HOST_MNT/proc/mirvolinner" >/dev/null || fail "cannot read proc/mirvolinner"
! timeout 10 cat "$HOST_MNT/proc/no_such_file" 2>/dev/null || fail "a missing /proc file reads"
if [ "$KIND" = fake ]; then
  [ "$(timeout 10 cat "$HOST_MNT/proc/mirvolperf/NMP1")" = "perf of NMP1" ] ||
    fail "proc/mirvolperf/NMP1 wrong"
  # A text longer than one read is served at every offset.
  timeout 10 cat "$HOST_MNT/proc/fakebig" | cmp -s - <(seq 1 20000) || fail "proc/fakebig differs"
  timeout 10 dd if="$HOST_MNT/proc/fakebig" bs=7 skip=1000 count=3 status=none |
    cmp -s - <(seq 1 20000 | tail -c +7001 | head -c 21) || fail "proc/fakebig read at an offset differs"
  echo "hello proc" | timeout 10 tee "$HOST_MNT/proc/fakectl" >/dev/null || fail "cannot write proc/fakectl"
  wait_until 10 log_has "fakectl got hello proc" || fail "the write did not reach the /proc file"
fi
stop_host TERM
log_has "mirvold: module unloaded" || fail "no unload in the log"

# --- stopping is refused while a mirror file is open, on either signal ---
for sig in TERM INT; do
  start_host "open-$sig" nmp_minor=3,1
  exec 3<"$HOST_MNT/NMP1"
  kill -"$sig" "$HOST_PID"
  wait_until 20 log_has "not stopping on signal" || fail "SIG$sig with an open file: no refusal logged"
  kill -0 "$HOST_PID" 2>/dev/null || fail "host left on SIG$sig with a mirror file open"
  timeout 10 stat "$HOST_MNT/NMP3" >/dev/null || fail "mount gone after a refused SIG$sig"
  exec 3<&-
  stop_host "$sig"
  log_has "mirvold: module unloaded" || fail "no unload in the log after SIG$sig"
done

# --- a host killed together with its unmount helper leaves a dead mount; a
# new host on the same mount point clears it and starts ---
# helper_of DIR: the pid of the fusermount3 that keeps watch over the mount at DIR.
helper_of() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = fusermount3 ] || continue
    tr '\0' '\n' <"$p/cmdline" 2>/dev/null | grep -xF -- "$1" >/dev/null && echo "${p#/proc/}" && return 0
  done
  return 1
}
start_host dead nmp_minor=3
helper=$(helper_of "$HOST_MNT") || fail "no fusermount3 watches $HOST_MNT"
# gone PID: the process has ended (a zombie its parent has not reaped counts).
gone() { [ ! -e "/proc/$1" ] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null; }
kill -KILL "$helper"
wait_until 10 gone "$helper" || fail "fusermount3 $helper still there"
disown "$HOST_PID"
kill -KILL "$HOST_PID"
timeout 10 tail --pid="$HOST_PID" -f /dev/null || fail "killed host still there"
HOST_PID=
is_mounted "$HOST_MNT" || fail "no dead mount left to clear"
err=$(stat "$HOST_MNT" 2>&1) && fail "the dead mount $HOST_MNT answers"
grep -qF "Transport endpoint is not connected" <<<"$err" || fail "stat of the dead mount: $err"
# (start_host's mkdir would trip over the dead mount point itself)
"$MIRVOLD" --mount "$HOST_MNT" --log "$HOST_LOG" nmp_minor=3 >"$WORK/dead/out" 2>&1 &
HOST_PID=$!
wait_until 20 test -e "$HOST_MNT/NMP3" || fail "no host on the dead mount's mount point"
log_has "mirvold: $HOST_MNT is a dead file system mount (its server is gone); unmounting it lazily" ||
  fail "the dead mount was not logged"
timeout 10 cat "$HOST_MNT/proc/mirvolinner" >/dev/null || fail "the new mount does not serve /proc"
stop_host TERM
! is_mounted "$HOST_MNT" || fail "a mount is left at $HOST_MNT"

if [ "$KIND" = fake ]; then
  # --- a /proc file held open does not keep the host from leaving ---
  start_host held-proc nmp_minor=3
  exec 3<"$HOST_MNT/proc/mirvolstat"
  stop_host TERM
  exec 3<&-

  # --- a host that is killed leaves no dead mount behind ---
  start_host killed nmp_minor=3
  disown "$HOST_PID"  # no job report of its death
  kill -KILL "$HOST_PID"
  timeout 10 tail --pid="$HOST_PID" -f /dev/null || fail "killed host still there"
  HOST_PID=
  # Its fusermount3 helper unmounts once it sees the host's end of their
  # socket close, which a loaded machine may take a while to get to.
  wait_until 60 not_mounted "$HOST_MNT" || fail "the mount of a killed host stayed"
fi
echo PASS
