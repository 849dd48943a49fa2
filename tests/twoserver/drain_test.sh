#!/usr/bin/env bash
# Command 72 on the active while its writes cannot reach the standby: what
# is in flight is drained into the active's bitmap.
#   drain_test.sh MIRVOLD MIRVOLCTL netns|loopback sync|async
# The standby's host is held by SIGSTOP while the active writes 1000
# random 4 KiB blocks (async: through a send queue of 4 requests, after
# 100 writes of 128 KiB that fill the TCP buffers, so that history files
# appear); then command 72 stops the active's device. After
# it the active's history directory is empty and no request is left in
# "mirvolstat"; the standby is released and stopped, and every granule in
# which its Data Partition differs from the active's is in the active's
# bitmap (read through mirvolctl), which holds no bit outside the writes
# made while the standby was held.
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
SYNC=$4
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

case $SYNC in
sync) ;;
async) ms_async_history 4 512 4 ;;
*) ts_fail "drain_test.sh: sync or async, not $SYNC" ;;
esac
# Nothing times out before command 72 comes: a blocked send gives up after
# 25 s of real time, an unanswered write after 150 s.
MS_SCALE=4
MS_ACK_TIMEOUT=600
MS_SEND_TIMEOUT=100
hist=$TS_WORK/hist
hold_b() { kill -STOP "${TS_PID[b]}"; }
writers=()
stop_writers() {
  local p
  for p in "${writers[@]}"; do kill "$p" 2>/dev/null || true; done
}
# On failure neither the writers nor a stopped standby stay behind.
trap 'stop_writers; ms_release_b; ts_cleanup' EXIT

stat_of_a() { cat "$(ts_mnt a)/proc/mirvolstat"; }
in_flight() { stat_of_a | sed -n 's/^current request count:\([0-9]*\).*/\1/p'; }
history_files() { find "$hist/a/3" -type f 2>/dev/null | wc -l; }
writes_pending() { [ "$(in_flight)" -gt 0 ]; }
writers_done() {
  local p
  for p in "${writers[@]}"; do kill -0 "$p" 2>/dev/null && return 1; done
  return 0
}
# The bits set in the active's bitmap, one per line, from mirvolctl's
# read-bitmap (ranges such as 0-15,300 expanded).
bits_of_a() {
  local kb
  for kb in $(seq 0 $(((MS_KIB * 2 / MS_GRANULE + 8191) / 8192 - 1))); do
    ts_ctl a NMP3 read-bitmap "$kb" format=bits >/dev/null
    grep "^status=STATUS_OK" "$TS_WORK/a/answer" >/dev/null || ts_fail "read-bitmap $kb: $(cat "$TS_WORK/a/answer")"
    tr ';' '\n' <"$TS_WORK/a/answer" | sed -n 's/^set_bits=//p'
  done | tr ',' '\n' | awk -F- '$1 != "none" && $1 != "" { last = NF > 1 ? $2 : $1; for (b = $1; b <= last; b++) print b }'
}

ms_pair "$MODE"
warm=$TS_WORK/warm
: >"$warm"
ms_write a "$warm" 81 20 --min-sectors 8 --max-sectors 8
ms_quiesce

hold_b
: >"$TS_WORK/writes0"
if [ "$SYNC" = async ]; then
  # Enough data first to fill the TCP buffers towards the held standby, so
  # that the send queue backs up and spills into history files.
  ms_write a "$TS_WORK/writes0" 90 100 --min-sectors 256 --max-sectors 256
fi
for w in 1 2 3 4; do
  : >"$TS_WORK/writes$w"
  ms_write a "$TS_WORK/writes$w" $((90 + w)) 250 --min-sectors 8 --max-sectors 8 &
  writers+=($!)
done
if [ "$SYNC" = sync ]; then
  # The writes wait for ACK1s that cannot come.
  wait_until 60 writes_pending || ts_fail "no write in flight while the standby is held"
else
  wait_until 300 writers_done || ts_fail "the asynchronous writes did not return"
  [ "$(history_files)" -gt 0 ] || ts_fail "no history file while the standby is held"
fi
# Command 72 must find writes still in flight, or it drains nothing.
queued=$(stat_of_a | sed -n 's/^send request count: .*current:\([0-9]*\).*/\1/p')
[ "$(in_flight)" -gt 0 ] || [ "${queued:-0}" -gt 0 ] ||
  ts_fail "nothing in flight before command 72: $(stat_of_a | sed -n 1,12p)"

ts_ctl_ok a NMP3 stop
wait_until 300 writers_done || ts_fail "writes still wait after command 72"
for p in "${writers[@]}"; do wait "$p" || ts_fail "a writer failed"; done
writers=()
cat "$TS_WORK"/writes[1-4] >"$TS_WORK/held"
[ "$(wc -l <"$TS_WORK/held")" -eq 1000 ] || ts_fail "not every write returned"
cat "$TS_WORK/writes0" >>"$TS_WORK/held"

[ "$(history_files)" -eq 0 ] || ts_fail "$(history_files) history files left after command 72"
[ "$(in_flight)" = 0 ] || ts_fail "requests left after command 72: $(stat_of_a | sed -n 1,20p)"
if [ "$SYNC" = async ]; then
  stat_of_a | grep "^send request count: .*current:0 *$" >/dev/null ||
    ts_fail "the send queue is not empty: $(stat_of_a | grep 'send request count')"
fi

ms_release_b
ts_stop b
bits_of_a | sort -n >"$TS_WORK/bits"
[ -s "$TS_WORK/bits" ] || ts_fail "nothing was drained into the bitmap"
$MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" | sort -n >"$TS_WORK/lacks"
missing=$(comm -23 <(sort "$TS_WORK/lacks") <(sort "$TS_WORK/bits") | sed -n 1,5p | tr '\n' ' ')
[ -z "$missing" ] || ts_fail "granules the standby lacks without a bit: $missing"
ms_granules "$TS_WORK/held" | sort -u >"$TS_WORK/held_granules"
extra=$(comm -23 <(sort "$TS_WORK/bits") "$TS_WORK/held_granules" | sed -n 1,5p | tr '\n' ' ')
[ -z "$extra" ] || ts_fail "bits outside the writes made while the standby was held: $extra"
ts_stop a
echo "PASS: drain at command 72, $SYNC ($MODE)"
