#!/usr/bin/env bash
# The driver-wide settings and the recovery preparation through mirvolctl's
# named forms: the records they build, the four module-wide threads that the
# settings start in the host, the warnings for values out of range, the
# statistics directory, and the preparation's answers.
#   ctl_settings_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"

# --- the records, as they would be sent (no host needed) ---
dump() { timeout 10 "$MIRVOLCTL" --dump-record NMP3 "$@" | sed -n 's/^record=//p'; }
# form arguments | record
while IFS='|' read -r args want; do
  read -ra a <<<"$args"
  got=$(dump "${a[@]}")
  [ "$got" = "$want" ] || fail "record of $args: $got, expected $want"
done <<CASES
network-init|0000000071647800640000000001000000000000000000000000000000000000010000000000000002000000
network-init interval=7 max_cachenum=3 mirvolperf=1 history_cache_delnum=-1|00000000716478000700000003000000010000000000000000000000000000000100000000000000ffffffff
network-init status=1 queue_limits_method=4 limits_log_flag=9|0100000071647800640000000001000000000000000000000000000000000000040000000900000002000000
prepare-recovery|00000000
CASES

require_root_fuse
SOCK=$WORK/control.sock
# ctl ARGS...: a command the driver answers (exit 0, or 3 with a status
# other than STATUS_OK, which the caller checks).
ctl() {
  local rc=0
  MIRVOL_CONTROL=$SOCK timeout 120 "$MIRVOLCTL" "$@" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" = 0 ] || [ "$rc" = 3 ] || fail "mirvolctl $*: exit $rc: $(cat "$WORK/err")"
}
status_of() { sed -n 's/^status=//p' "$WORK/out" | awk '{print $1}'; }
threads() { cat /proc/"$HOST_PID"/task/*/comm 2>/dev/null; }
truncate -s 64M "$WORK/cp.img" "$WORK/dp.img"

# Preparation waits in seconds of the driver's clock: run it fast.
start_host settings --control "$SOCK" --time-scale 20 nmp_minor=3,1

# --- refused: nothing starts ---
ctl NMP3 network-init status=1
[ "$(status_of)" = STATUS_INVALID_PARAMETER ] || fail "a record with a status word: $(cat "$WORK/out")"
log_has "ioctl (cmd=101, pid=" || fail "no event-185 line"
! threads | grep '^mirvol_common_' >/dev/null || fail "a refused record started threads"

# --- the settings start the four threads, once ---
for round in 1 2; do
  ctl NMP1 network-init interval=0 queue_limits_method=4 mirvolperf=1
  [ "$(status_of)" = STATUS_OK ] || fail "network-init: $(cat "$WORK/out")"
  for n in 1 2 3 4; do
    [ "$(threads | grep -cx "mirvol_common_$n")" = 1 ] ||
      fail "round $round: not one thread mirvol_common_$n: $(threads | sort | tr '\n' ' ')"
  done
done
log_has "Bitmap refresh interval (0) is invalid. The default setting (100) will be used instead." ||
  fail "no warning for the interval"
log_has "queue_limits_method (4) is invalid. The default setting (1) will be used instead." ||
  fail "no warning for the queue-limits method"
[ "$(grep -c "New thread: timer_disconnection_thread" "$HOST_LOG")" = 1 ] ||
  fail "the disconnection thread was started twice"
[ -d "$HOST_MNT/proc/mirvolperf" ] || fail "no statistics directory"

# --- the preparation ---
ctl NMP3 prepare-recovery
[ "$(status_of)" = STATUS_NO_DEVICE ] || fail "preparation without a device: $(cat "$WORK/out")"
ctl NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=prep net=192.0.2.1
[ "$(status_of)" = STATUS_OK ] || fail "init: $(cat "$WORK/out")"
# An inactive device's N/W port is closed: the queues drain, the answer says why.
ctl NMP3 port close nw
ctl NMP3 prepare-recovery
[ "$(status_of)" = STATUS_PORT_CLOSED ] || fail "preparation with the port closed: $(cat "$WORK/out")"
log_has "NMP3 failed to prepare recovery data, because N/W port has been closed." ||
  fail "no event-156 line"
ctl NMP3 port open nw
ctl NMP3 prepare-recovery
[ "$(status_of)" = STATUS_OK ] || fail "preparation: $(cat "$WORK/out")"

stop_host TERM
for f in timer_disconnection_thread mirvol_local_bitmap_write_thread \
  mirvol_remote_bitmap_write_thread mirvol_disk_error_operate_thread; do
  log_has "killing thread...........OK ($f)" || fail "$f did not stop at unload"
done
echo PASS
