#!/usr/bin/env bash
# Hosts that are not the device's peer, against a pair that mirrors.
#   stranger_test.sh MIRVOLD MIRVOLCTL netns|loopback
# Before the first write, a third host connects to the active's DATA
# listener (where the standby's ACK1s arrive) and sends ACK1 status 0 for
# the ids the next writes will get, and another one holds the standby's
# DATA listener with a negotiated, silent connection. Both are closed at
# once by the listeners, with a log line each, and mirroring goes on: the
# writes that follow are on both Data Partitions and neither side has a
# bit set.
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

ms_pair "$MODE"

# The strangers' own addresses: a third loopback address, or a second
# address in the peer's namespace on the mirror network.
run_in() {
  local side=$1
  shift
  if [ "$TS_MODE" = netns ]; then ip netns exec "$(ts_netns_of "$side")" "$@"; else "$@"; fi
}
if [ "$TS_MODE" = netns ]; then
  src_at_b=192.0.2.3  # beside the standby, attacking the active
  src_at_a=192.0.2.4  # beside the active, attacking the standby
  ip -n "$(ts_netns_of b)" addr add "$src_at_b/24" dev "mv$TS_TAG-1b" || ts_fail "address $src_at_b"
  ip -n "$(ts_netns_of a)" addr add "$src_at_a/24" dev "mv$TS_TAG-1a" || ts_fail "address $src_at_a"
else
  src_at_b=127.0.0.3
  src_at_a=127.0.0.3
fi

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; ts_cleanup' EXIT
run_in b python3 "$HERE/stranger.py" "$src_at_b" "$(ts_self a 1)" "$MS_DATA_PORT" \
  "$TS_WORK/ready-a" "$TS_WORK/result-a" --ack1 3 2000 >"$TS_WORK/stranger-a.out" 2>&1 &
pids+=($!)
run_in a python3 "$HERE/stranger.py" "$src_at_a" "$(ts_self b 1)" "$MS_DATA_PORT" \
  "$TS_WORK/ready-b" "$TS_WORK/result-b" >"$TS_WORK/stranger-b.out" 2>&1 &
pids+=($!)
wait_until 30 test -s "$TS_WORK/ready-a" ||
  ts_fail "the stranger at the active did not connect: $(cat "$TS_WORK/stranger-a.out")"
wait_until 30 test -s "$TS_WORK/ready-b" ||
  ts_fail "the stranger at the standby did not connect: $(cat "$TS_WORK/stranger-b.out")"

# Mirroring goes on while the strangers' connections would be held.
p1=$TS_WORK/writes1
: >"$p1"
ms_write a "$p1" 51 40 --max-sectors 64 --fsync-each
ms_quiesce

refused() {
  grep -qF "NMP3 accepted data receive connection from $2, but it is not an opponent address of this device. (mirvol_accept_thread)" "$(ts_log "$1")"
}
wait_until 30 refused a "$src_at_b" || ts_fail "the active did not log the stranger's refusal"
wait_until 30 refused b "$src_at_a" || ts_fail "the standby did not log the stranger's refusal"
for s in a b; do
  wait_until 90 test -s "$TS_WORK/result-$s" || ts_fail "the stranger at $s did not end"
  [ "$(cat "$TS_WORK/result-$s")" = closed ] || ts_fail "the stranger's connection to $s was held"
done

ts_stop a
ts_stop b
empty=$TS_WORK/none
: >"$empty"
ms_expect_bits a "$empty"
ms_expect_bits b "$empty"
ms_expect_model a "$p1"
ms_expect_model b "$p1"
echo "PASS: strangers ($MODE)"
