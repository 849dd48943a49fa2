#!/usr/bin/env bash
# Faults while two servers mirror synchronously; what the bitmaps then hold.
#   fault_test.sh MIRVOLD MIRVOLCTL netns|loopback kill|mount|ack2
# kill:  the standby is killed in the middle of a stream of writes. The
#        writes go on locally; every granule in which the two Data
#        Partitions differ, and every write after the kill, has its bit on
#        the active's Cluster Partition, writes mirrored before have none,
#        and the active's copy holds every acknowledged write.
# mount: the standby's mount port is opened between two sets of writes. It
#        answers with stop-sending, the active closes its N/W port, and the
#        active's bitmap holds exactly the writes after that point; the
#        standby wrote none of them.
# ack2:  the ACK2s of a first and a third set of writes are lost on their
#        way (a relay on the ACK2 connection drops them), those of the second
#        set arrive. After ack_timeout and a pass of the remote bitmap
#        writer, the standby's bitmap holds exactly the granules of the first
#        and third sets.
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
CASE=$4
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

p1=$TS_WORK/writes1
p2=$TS_WORK/writes2
p3=$TS_WORK/writes3
: >"$p1"
: >"$p2"
: >"$p3"


case $CASE in
kill)
  ms_pair "$MODE"
  ms_write a "$p1" 21 200 --hot 40
  ms_quiesce
  # A stream of writes, and the standby killed while it runs.
  timeout 300 $MS_TOOL write "$(ts_mnt a)/NMP3" "$MS_SIZE" 22 400 "$p2" --fsync-each &
  writer=$!
  stream_going() { [ "$(wc -l <"$p2")" -ge 100 ]; }
  wait_until 60 stream_going || ts_fail "the stream of writes did not start"
  ts_kill b
  wait "$writer" || ts_fail "writes failed after the standby was killed"
  [ "$(wc -l <"$p2")" -eq 400 ] || ts_fail "not every write of the stream returned"
  ms_write a "$p3" 23 100
  ts_stop a
  ms_expect_model a "$p1" "$p2" "$p3"
  $MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" >"$TS_WORK/differ"
  [ -s "$TS_WORK/differ" ] || ts_fail "the standby got every write although it was killed"
  ms_expect_covered a "$TS_WORK/differ"
  ms_granules "$p3" >"$TS_WORK/after"
  ms_expect_covered a "$TS_WORK/after"
  # Granules written only before the stream were mirrored: no bits there.
  comm -23 <(ms_granules "$p1" | sort) <(ms_granules "$p2" "$p3" | sort) >"$TS_WORK/before"
  spurious=$(comm -12 <(ms_bits a | sort) "$TS_WORK/before" | sed -n 1,5p | tr '\n' ' ')
  [ -z "$spurious" ] || ts_fail "bits set for writes mirrored before the kill: $spurious"
  ;;
mount)
  ms_pair "$MODE"
  ms_write a "$p1" 31 200 --hot 40
  ms_quiesce
  ts_ctl_ok b NMP3 port open mount
  ms_write a "$p2" 32 100 --fsync-each
  # The N/W port closes at the stop-sending; the heartbeat may open it again
  # at once (the mirror stays broken), so the log tells, not the port.
  closed_on_stop() {
    sed -n '/NMP3 received request to stop sending data from remote server\./,$p' "$(ts_log a)" |
      grep -F "NMP3 N/W port closed." >/dev/null
  }
  wait_until 60 closed_on_stop || ts_fail "the active's N/W port did not close on stop-sending"
  ts_stop a
  ts_stop b
  ms_expect_model a "$p1" "$p2"
  ms_expect_model b "$p1"
  ms_granules "$p2" >"$TS_WORK/after"
  ms_expect_bits a "$TS_WORK/after"
  ;;
ack2)
  # The active's ACK2s go to a relay beside the standby's ACK2 listener, which
  # passes them on from the active's address (the only one the standby takes).
  relay_port=$MS_SPARE_PORT
  MS_A_ACK2_PORT=$relay_port
  MS_ACK2_WATCH="$MS_ACK2_PORT $relay_port"
  # ACK2s that arrive must beat the time-out, two seconds of real time.
  MS_SCALE=5
  MS_ACK_TIMEOUT=10
  ms_pair "$MODE"
  drop=$TS_WORK/drop
  counts=$TS_WORK/relay-counts
  : >"$drop"
  relay=(python3 "$HERE/ack2_relay.py" "$(ts_self b 1)" "$relay_port" "$(ts_self b 1)"
    "$MS_ACK2_PORT" "$drop" "$counts" "$(ts_self a 1)")
  if [ "$TS_MODE" = netns ]; then
    # It listens in the standby's namespace and connects from the active's.
    ip netns exec "$(ts_netns_of a)" "${relay[@]}" "$(ts_netns_of b)" >"$TS_WORK/relay.out" 2>&1 &
  else
    "${relay[@]}" >"$TS_WORK/relay.out" 2>&1 &
  fi
  relay_pid=$!
  # The relay goes with the test, also when it fails.
  trap 'kill "$relay_pid" 2>/dev/null; ts_cleanup' EXIT
  wait_until 20 test -s "$counts" || ts_fail "the ACK2 relay did not start: $(cat "$TS_WORK/relay.out")"
  ms_write a "$p1" 41 30 --max-sectors 64 --fsync-each
  ms_quiesce
  read -r seen dropped <"$counts"
  [ "$dropped" -ge 30 ] || ts_fail "the relay dropped $dropped ACK2s of 30 writes"
  rm -f "$drop"
  ms_write a "$p2" 42 30 --max-sectors 64 --fsync-each
  ms_quiesce
  read -r seen2 dropped2 <"$counts"
  [ "$dropped2" -eq "$dropped" ] && [ "$seen2" -gt "$seen" ] ||
    ts_fail "the relay passed no ACK2 of the second writes ($seen2 seen, $dropped2 dropped)"
  # A third set loses its ACK2s again. Entries expire in the order they
  # were made, so once the third set's granules are marked the second set's
  # entries have outlived their time-out too: had their ACK2s not taken
  # them away, their granules would be marked now.
  : >"$drop"
  ms_write a "$p3" 43 10 --max-sectors 64 --fsync-each
  ms_quiesce
  ms_granules "$p1" "$p3" | sort -n | uniq >"$TS_WORK/lost"
  # Read off the standby's running Cluster Partition: it marks the lost
  # writes once their time-out has passed, and only them.
  wait_until 60 ms_bits_are b "$TS_WORK/lost" || ms_expect_bits b "$TS_WORK/lost"
  ts_stop a
  empty=$TS_WORK/none
  : >"$empty"
  ms_expect_bits a "$empty"
  ms_expect_model b "$p1" "$p2" "$p3"
  ;;
*) ts_fail "fault_test.sh: kill, mount or ack2, not $CASE" ;;
esac
echo "PASS: fault $CASE ($MODE)"
