#!/usr/bin/env bash
# Command 72 and then 74 on the active, with no new network addresses in
# between: the active's networks stay without an opponent, so its heartbeat
# listener takes the standby's HB connections and drops them. The standby's
# heartbeat client must not turn that into a busy loop: its log grows by a
# few lines in five seconds, not by thousands.
#   stopstart_test.sh MIRVOLD MIRVOLCTL netns|loopback
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

ms_pair "$MODE"
b_lost_hb() { grep -F "failed to receive HB response" "$(ts_log b)" >/dev/null; }
ts_ctl_ok a NMP3 stop
ts_ctl_ok a NMP3 start
# The standby's first failures start its next cycle at once; the pauses
# follow at the second.
wait_until 60 b_lost_hb ||
  ts_fail "the standby never lost its heartbeat after the stop and start"
before=$(wc -l <"$(ts_log b)")
sleep 5
after=$(wc -l <"$(ts_log b)")
[ $((after - before)) -lt 1000 ] ||
  ts_fail "the standby logged $((after - before)) lines in 5 s: $(tail -n 3 "$(ts_log b)")"
echo "PASS: the standby logged $((after - before)) lines in 5 s after the active's stop and start"
