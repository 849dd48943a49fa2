#!/usr/bin/env bash
# Concurrency stress, meant for the ThreadSanitizer build: two servers in
# namespaces with two mirror networks mirror NMP3 (synchronously) and NMP4
# (asynchronously, with a history ring); eight writers, four per device,
# write for a bounded time while a control loop on the active runs, over
# and over: a network switch (command 79), the statistics (81/82) on both
# sides, a recovery copy (10), and now and then a stop and start of the
# device's threads (72, for NMP4 the journal into bits by 85, its networks
# given again by 73, then 74). Then a
# final recovery: the active's Data Partitions hold exactly the writes, the
# standby's are byte-identical to them, both bitmaps are clear, the hosts
# stop cleanly, and no server printed a sanitizer report.
#   stress_test.sh MIRVOLD MIRVOLCTL [SECONDS]
# SECONDS (default 40) is how long the writers and the control loop run.
MIRVOLD=$1
MIRVOLCTL=$2
WORK_S=${3:-40}
HERE=$(dirname "$0")
. "$HERE/lib.sh"
MS_KIB=$((16 << 10))
MS_NETS=2
. "$HERE/mirror_lib.sh"
. "$HERE/recovery_lib.sh"
RING_MIB=4
DEVS="3 4"
mode_of() { [ "$1" = 3 ] && echo sync || echo async; }

ts_require_root
command -v python3 >/dev/null || ts_skip "needs python3"
ts_place netns 2
for s in a b; do
  ts_start "$s" --time-scale "$MS_SCALE" nmp_minor=3,4
  ts_driver_init "$s" interval="$MS_INTERVAL"
  for m in $DEVS; do ts_images "$s" "$m" "$MS_SIZE"; done
done
for s in b a; do
  for m in $DEVS; do
    MS_HIST_FIELDS=()
    [ "$(mode_of "$m")" = async ] && ms_async_history "$RING_MIB" 512 64
    ms_create "$s" "$m" "$(ts_port "$m" 1)" mode="$(mode_of "$m")" ack_timeout="$MS_ACK_TIMEOUT" \
      send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" bmp_size_in_sec="$MS_GRANULE"
  done
done
MS_HIST_FIELDS=()
for m in $DEVS; do
  ts_ports_standby b "$m"
  ts_ports_active a "$m"
  for s in b a; do ts_set_size "$s" "$m" "$MS_KIB" granule="$MS_GRANULE"; done
done

# raw SIDE MINOR CMD SIZE [HEX]: a raw command; prints the record's hex.
raw() {
  ts_ctl "$1" raw "NMP$2" "$3" --size "$4" ${5:+--in "$5"} >/dev/null
  rc_record "$1"
}
status_word() { echo "${1:0:8}"; }

# --- the writers: four per device, each on its own slots (16 sectors, two
# granules each), so that the expected image is their logs replayed ---
deadline=$((SECONDS + WORK_S))
writer() {
  local m=$1 k=$2 round=0
  while [ "$SECONDS" -lt "$deadline" ]; do
    timeout 300 $MS_TOOL write "$(ts_mnt a)/NMP$m" "$MS_SIZE" $((m * 1000 + k * 100 + round)) 48 \
      "$TS_WORK/log$m.$k" --min-sectors 1 --max-sectors 16 --slots $((k * 256 + (round % 4) * 48)) || return 1
    round=$((round + 1))
  done
}
pids=()
for m in $DEVS; do
  for k in 0 1 2 3; do
    : >"$TS_WORK/log$m.$k"
    writer "$m" "$k" >"$TS_WORK/writer$m.$k.out" 2>&1 &
    pids+=($!)
  done
done
stop_writers() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap 'stop_writers; ts_cleanup' EXIT
writers_running() {
  local p
  for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && return 0; done
  return 1
}

# --- the control loop on the active, until the writers are done ---
sub=$$
for s in a b; do
  for m in $DEVS; do ts_ctl_ok "$s" "NMP$m" set-perf "$sub" clear=1 interval=600; done
done
# The networks as command 9 shows them, given back by command 73 after a
# stop: the first in use, the second free.
nets_record() {
  local rec
  rec=$(raw a "$1" 9 84 "0000000002000000")
  [ "$(status_word "$rec")" = "$RC_OK" ] || ts_fail "command 9 on NMP$1: $(cat "$TS_WORK/a/answer")"
  rec="00000000${rec:8}"
  # The state of entry i (u32 at 12 + 36 i + 32).
  rec="${rec:0:$(((12 + 32) * 2))}01000000${rec:$(((12 + 36) * 2))}"
  rec="${rec:0:$(((12 + 36 + 32) * 2))}00000000${rec:$(((12 + 72) * 2))}"
  echo "$rec"
}
i=0
stops=0
while writers_running && [ "$SECONDS" -lt $((deadline + 120)) ]; do
  for m in $DEVS; do
    ts_ctl a "NMP$m" switch-network >/dev/null
    ts_ctl a "NMP$m" get-perf "$sub" >/dev/null
    ts_ctl b "NMP$m" get-perf "$sub" >/dev/null
    ts_ctl a "NMP$m" recover --chunk 512 >/dev/null
    if [ $((i % 4)) = "$((m - 3))" ]; then
      rec=$(nets_record "$m")
      ts_ctl a "NMP$m" stop >/dev/null
      # As a cluster service does after a stop in asynchronous mode: the
      # journal's records (writes perhaps not on the standby) into bits.
      [ "$(mode_of "$m")" = sync ] || ts_ctl_ok a "NMP$m" convert-history
      [ "$(status_word "$(raw a "$m" 73 84 "$rec")")" = "$RC_OK" ] ||
        ts_fail "command 73 on NMP$m: $(cat "$TS_WORK/a/answer")"
      ts_ctl_ok a "NMP$m" start
      stops=$((stops + 1))
    fi
    ts_ctl a "NMP$m" port open io nw >/dev/null
  done
  i=$((i + 1))
done
for p in "${pids[@]}"; do
  rc=0
  wait "$p" || rc=$?
  [ "$rc" -eq 0 ] || ts_fail "a writer failed ($rc): $(cat "$TS_WORK"/writer*.out | sed -n 1,10p)"
done
echo "stress: $i rounds of the control loop, $stops stops and starts"

# --- the final recovery ---
bits_of() { ts_ctl "$1" "NMP$2" diff-size >/dev/null; sed -n 's/^bits=//p' "$TS_WORK/$1/answer"; }
# A network of the device is no longer in ERROR on the active.
net_up() {
  ts_ctl a "NMP$1" netstatus networks=2 >/dev/null
  grep -E '^net[0-9]+_state=(USING|FREE)' "$TS_WORK/a/answer" >/dev/null
}
journal_empty() { [ -z "$($MS_TOOL journal "$(ts_cp a 4)" "$RING_MIB")" ]; }
healed() {
  local m=$1
  ts_ctl b "NMP$m" port open io nw >/dev/null
  ts_ctl a "NMP$m" port open io nw >/dev/null
  [ "$m" = 3 ] || journal_empty || return 1
  ts_ctl a "NMP$m" recover --chunk 512 >/dev/null
  grep "^status=STATUS_OK" "$TS_WORK/a/answer" >/dev/null || return 1
  [ "$(bits_of a "$m")" = 0 ] && cmp -s "$(ts_dp a "$m")" "$(ts_dp b "$m")" && [ "$(bits_of b "$m")" = 0 ]
}
for m in $DEVS; do
  wait_until 90 net_up "$m" || ts_fail "NMP$m: the active's networks stayed in ERROR"
  wait_until 120 healed "$m" ||
    ts_fail "NMP$m not healed: bits a=$(bits_of a "$m") b=$(bits_of b "$m"); journal: $($MS_TOOL journal "$(ts_cp a 4)" "$RING_MIB" | sed -n 1,3p | tr '\n' ' '); status: $(grep ^status= "$TS_WORK/a/answer"); differing granules: $($MS_TOOL differ "$(ts_dp a "$m")" "$(ts_dp b "$m")" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')"
  model=$TS_WORK/model.img
  $MS_TOOL model "$MS_SIZE" "$model" "$TS_WORK"/log"$m".* || ts_fail "building the expected image"
  cmp -s "$model" "$(ts_dp a "$m")" ||
    ts_fail "NMP$m: the active's Data Partition is not the writes: granules $($MS_TOOL differ "$model" "$(ts_dp a "$m")" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')"
  rm -f "$model"
done
for s in a b; do
  for m in $DEVS; do ts_ctl_ok "$s" "NMP$m" set-perf "$sub" start=0; done
done
ts_stop a
ts_stop b
ts_expect_no_sanitizer_report
echo "PASS: stress of two devices, $i control rounds, $stops stops and starts"
