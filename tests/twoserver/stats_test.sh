#!/usr/bin/env bash
# Statistics of a mirror under a known load: N writes of 4 KiB through the
# active's mirror device are counted on both sides (write bytes, ACK1 and
# ACK2 counts, the bytes the wire format needs at least), the live gauges
# end at 0, and a clear in the middle of a second load makes none of them
# wrap. The "mirvolperf" file and the command-82 record agree, and so does
# the dump at unload.
#   stats_test.sh MIRVOLD MIRVOLCTL netns|loopback sync|async
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
SYNC=$4
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

# Asynchronously with a journal and a send queue that never spills.
[ "$SYNC" = async ] && ms_async_history 8 1024 65535
ms_pair "$MODE"

SUB=4242
N=200
BYTES=$((N * 4096))
# A write on the wire: its 56-byte head, one segment size and one segment
# offset, and its data.
WIRE=$((N * (56 + 4 + 4 + 4096)))
# Bit 30 clear: the "mirvolperf" files; bit 29 clear: the unload dump;
# bit 28 clear: the separator line.
CONTROL=0x0fffffff
for s in a b; do
  ts_ctl_ok "$s" NMP3 set-perf "$SUB" clear=1 control="$CONTROL" interval=600
done

# perf SIDE: the counters as "name=value" lines in $TS_WORK/SIDE.perf.
perf() {
  ts_ctl "$1" NMP3 get-perf "$SUB" >"$TS_WORK/$1.perf"
  grep "^status=STATUS_OK" "$TS_WORK/$1.perf" >/dev/null ||
    ts_fail "server $1: get-perf: $(cat "$TS_WORK/$1.perf")"
}
val() { sed -n "s/^$2=//p" "$TS_WORK/$1.perf"; }
expect() {  # SIDE NAME VALUE
  [ "$(val "$1" "$2")" = "$3" ] || ts_fail "server $1: $2 is $(val "$1" "$2"), not $3"
}
gauges_zero() {
  perf "$1"
  [ "$(val "$1" writes_in_flight)" = 0 ] && [ "$(val "$1" waiting_bytes)" = 0 ] &&
    [ "$(val "$1" ack1_timeout_queue)" = 0 ]
}
acked() {  # SIDE NAME VALUE: the counter has reached its value
  perf "$1"
  [ "$(val "$1" "$2")" = "$3" ]
}

# --- N writes of 4 KiB, each in its own granule ---
log=$TS_WORK/writes
ms_write a "$log" 7 "$N" --min-sectors 8 --max-sectors 8 --slots 0 --fsync-each
[ "$(wc -l <"$log")" -eq "$N" ] || ts_fail "not every write returned"
ms_quiesce
wait_until 60 acked a ack1_count "$N" || ts_fail "active: ack1_count is $(val a ack1_count), not $N"
wait_until 60 gauges_zero a || ts_fail "active: gauges do not end at 0: $(tr '\n' ' ' <"$TS_WORK/a.perf")"
expect a write_bytes "$BYTES"
expect a dp_write_bytes "$BYTES"
expect a sync_data_bytes "$BYTES"
expect a sync_sent_bytes "$BYTES"
expect a ack1_count "$N"
[ "$(val a tcp_bytes)" -ge "$WIRE" ] || ts_fail "active: tcp_bytes $(val a tcp_bytes) < $WIRE"
wait_until 60 acked b ack2_count "$N" || ts_fail "standby: ack2_count is $(val b ack2_count), not $N"
expect b standby_write_bytes "$BYTES"
expect b write_bytes 0
wait_until 60 gauges_zero b || ts_fail "standby: gauges do not end at 0"

# --- a clear while a second load runs: no gauge wraps ---
log2=$TS_WORK/writes2
ms_write a "$log2" 8 "$N" --min-sectors 8 --max-sectors 8 --slots "$N" --fsync-each &
writer=$!
wait_until 60 test -s "$log2" || ts_fail "the second load did not start"
ts_ctl_ok a NMP3 set-perf "$SUB" clear=1 control="$CONTROL" interval=600
ts_ctl_ok b NMP3 set-perf "$SUB" clear=1 control="$CONTROL" interval=600
wait "$writer" || ts_fail "the second load failed"
ms_quiesce
for s in a b; do
  wait_until 60 gauges_zero "$s" ||
    ts_fail "server $s: gauges after a clear: $(tr '\n' ' ' <"$TS_WORK/$s.perf")"
done
perf a
[ "$(val a write_bytes)" -le "$BYTES" ] || ts_fail "active: write_bytes $(val a write_bytes) after a clear"
[ "$(val a ack1_count)" -le "$N" ] || ts_fail "active: ack1_count $(val a ack1_count) after a clear"

# --- the file and the record of one instant agree ---
FILE=$(ts_mnt a)/proc/mirvolperf/NMP3
[ -f "$FILE" ] || ts_fail "no $FILE"
mode_text="(SYNC) "
[ "$SYNC" = async ] && mode_text="(ASYNC)"
# The lines the record gives; none of them moves while the mirror is idle.
record_lines() {
  local s=$1
  printf '%s\n' \
    "[Read/Write]:NMP3 $mode_text R/W= $(val "$s" read_bytes) / $(val "$s" write_bytes)" \
    "            :DP(Active)   R/W= $(val "$s" dp_read_bytes) / $(val "$s" dp_write_bytes)" \
    "            :DP(Standby)  R/W= $(val "$s" standby_read_bytes) / $(val "$s" standby_write_bytes)" \
    "            :DP(Recovery) R/W= $(val "$s" recovery_read_bytes) / $(val "$s" recovery_write_bytes)" \
    "[  SyncData]:Send/Data= $(val "$s" sync_sent_bytes) / $(val "$s" sync_data_bytes)" \
    "[  Recovery]:Send/Data= $(val "$s" recovery_sent_bytes) / $(val "$s" recovery_data_bytes)" \
    "[Ack1 T.O. ]:DCP Q Now/Peak/Limit= $(val "$s" ack1_timeout_queue) / $(val "$s" ack1_timeout_queue_peak) / -" \
    "[Ack1 Wait ]:Waiting Sync Bytes=$(val "$s" waiting_bytes), RequestCount=0" \
    "[Deactivate]:Did not Sync Bytes=$(val "$s" unmirrored_bytes), RequestCount=$(val "$s" unmirrored_writes)" \
    "[Ack1 Count]:Received=$(val "$s" ack1_count), Total(ms)=$(val "$s" ack1_total_ms)" \
    "[Ack2 Count]:Received=$(val "$s" ack2_count)" \
    "[Recovery  ]:Waiting R/W(ms)= $(val "$s" write_wait_recovery_ms) / $(val "$s" recovery_wait_write_ms)"
}
tcp_of() { sed -n 's/^\[Send Total\]:TCP\/ECHO= \([0-9]*\) \/ [0-9]*$/\1/p' "$1"; }
cat "$FILE" >"$TS_WORK/file1"
perf a
cat "$FILE" >"$TS_WORK/file2"
record_lines a >"$TS_WORK/want"
while IFS= read -r line; do
  grep -xF -- "$line" "$TS_WORK/file2" >/dev/null ||
    ts_fail "mirvolperf lacks \"$line\": $(cat "$TS_WORK/file2")"
done <"$TS_WORK/want"
t1=$(tcp_of "$TS_WORK/file1")
t2=$(tcp_of "$TS_WORK/file2")
tr=$(val a tcp_bytes)
[ -n "$t1" ] && [ "$t1" -le "$tr" ] && [ "$tr" -le "$t2" ] ||
  ts_fail "TCP bytes: file $t1, record $tr, file again $t2"
[ "$(tail -n 1 "$TS_WORK/file2")" = "-------------------------------------------" ] ||
  ts_fail "the file does not end with its separator"
grep -x "\[MDC1 ECHO \]:.* USING" "$TS_WORK/file2" >/dev/null || ts_fail "no network line: $(cat "$TS_WORK/file2")"

# --- the dump at unload shows the same ---
ts_stop a
sed -n 's/.*<event: 294> Perf//p' "$(ts_log a)" >"$TS_WORK/dump"
grep -x -- "-------------NMP3-------------" "$TS_WORK/dump" >/dev/null ||
  ts_fail "no dump at unload: $(tail -n 20 "$(ts_log a)")"
while IFS= read -r line; do
  grep -xF -- "$line" "$TS_WORK/dump" >/dev/null || ts_fail "the dump lacks \"$line\": $(cat "$TS_WORK/dump")"
done <"$TS_WORK/want"
echo "PASS: statistics of $N writes ($SYNC, $MODE)"
