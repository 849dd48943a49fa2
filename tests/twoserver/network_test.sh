#!/usr/bin/env bash
# A lost peer and lost mirror networks, and the switch between two networks,
# while two servers in namespaces mirror synchronously over two veth pairs.
#   network_test.sh MIRVOLD MIRVOLCTL kill|allcut|switch|silent|silentbreak
# kill:   the standby's host is killed with SIGKILL. The active's heartbeat
#         closes its N/W port, and the writes after that go on locally with
#         exactly their granules in the active's bitmap.
# allcut: both networks are cut at the active's end. Every network turns
#         ERROR, "all of the networks are ERROR" is logged once, the N/W port
#         closes and the writes made meanwhile have exactly their granules in
#         the bitmap. Once the links are back the N/W port opens again.
# switch: command 79 in the middle of a stream of writes moves the mirror to
#         the second network: the states flip, nothing is put in the bitmap
#         and the standby holds every write.
# silent, silentbreak: the network in use goes silent (the frames of both
#         ends are lost, nothing reports an error) in the middle of a stream
#         of writes; for silent with ack_timeout well above the keepalive
#         time after which the ends let go of the dead connections, for
#         silentbreak below it. Either way the heartbeat marks the network
#         ERROR, moves to the second network and keeps the N/W port open,
#         and the network is FREE, not USING, once restored. A write already
#         handed to the silent network is never sent again (only a send that
#         fails is repeated, and this one succeeded): it waits for its ACK1
#         until ack_timeout and goes to the bitmap. That mirror break sets
#         the last-update time, which turns mirroring off (sync switch flag
#         8), so every later write goes to the bitmap too. The stream thus
#         splits into writes on the standby, then the stalled one, then
#         writes only in the bitmap. With the long ack_timeout the bitmap
#         holds exactly what the standby lacks; with the short one the cut
#         may end before the standby has let go of the dead connection, and
#         the stalled write then reaches it after its time-out (still in the
#         bitmap).
MIRVOLD=$1
MIRVOLCTL=$2
CASE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

MS_NETS=2
MS_SCALE=5
MS_SEND_TIMEOUT=5
MS_CONNECT_TIMEOUT=2
MS_ACK_TIMEOUT=20
# The clock runs 5 times faster than the kernel's keepalive: 60 clock
# seconds are 12 real ones, three times keepalive 2 + 2 x 1.
if [ "$CASE" = silent ]; then MS_ACK_TIMEOUT=60; fi
MS_CREATE_EXTRA=(hb_interval=1 hb_recv_timeout=1 hb_recv_retry=2 keepalive_time=2
  keepalive_probe=2 keepalive_interval=1)

p1=$TS_WORK/writes1
p2=$TS_WORK/writes2
p3=$TS_WORK/writes3
: >"$p1"
: >"$p2"
: >"$p3"

nw_closed() { [ "$(ts_nw_port a)" = 0 ]; }
nw_open() { [ "$(ts_nw_port a)" = 1 ]; }
# count_log SIDE TEXT: lines of side's log holding TEXT.
count_log() { grep -c -F -- "$2" "$(ts_log "$1")" || true; }
# net_states SIDE: the states of side's networks in "mirvolinner", one line.
net_states() {
  awk 'NR > 3 && NF == 10 { printf "%s ", $1 }' "$(ts_mnt "$1")/proc/mirvolinner"
}
# mdc_switch SIDE PRIORITY: command 79; prints "status priority" in hex words.
mdc_switch() {
  local hex
  hex=$(printf '00000000%02x000000' "$2")
  ts_ctl "$1" raw NMP3 79 --size 8 --in "$hex" | sed -n 's/^record=//p'
}

ms_pair netns
wait_until 60 nw_open || ts_fail "the active's N/W port did not open"
ms_write a "$p1" 51 100 --hot 20
ms_quiesce
empty=$TS_WORK/none
: >"$empty"
ms_expect_bits a "$empty"

case $CASE in
kill)
  ts_kill b
  wait_until 60 nw_closed || ts_fail "the active's N/W port stayed open after the standby was killed"
  ms_write a "$p2" 52 100 --fsync-each
  ts_stop a
  ms_expect_model a "$p1" "$p2"
  ms_granules "$p2" >"$TS_WORK/after"
  ms_expect_bits a "$TS_WORK/after"
  ;;
allcut)
  before242=$(count_log a "NMP3 all of the networks are ERROR.")
  opened=$(count_log a "NMP3 N/W port opened.")
  ts_cut a 1 hard
  ts_cut a 2 hard
  wait_until 60 nw_closed || ts_fail "the active's N/W port stayed open with both networks cut"
  all_error() { [ "$(net_states a)" = "2 2 " ]; }
  wait_until 60 all_error || ts_fail "the networks are not ERROR: $(net_states a)"
  ms_write a "$p2" 53 60 --fsync-each
  # Some cycles more with every network down: still one message.
  sleep 2
  [ "$(count_log a "NMP3 all of the networks are ERROR.")" -eq $((before242 + 1)) ] ||
    ts_fail "event 242 was not logged exactly once"
  ms_granules "$p2" >"$TS_WORK/after"
  ms_expect_bits a "$TS_WORK/after"
  ts_heal a 1
  ts_heal a 2
  reopened() { [ "$(count_log a "NMP3 N/W port opened.")" -gt "$opened" ]; }
  wait_until 90 reopened || ts_fail "the N/W port did not open again (event 154)"
  wait_until 30 nw_open || ts_fail "the N/W port is not open"
  ts_stop a
  ms_expect_model a "$p1" "$p2"
  ms_expect_bits a "$TS_WORK/after"
  ;;
switch)
  [ "$(net_states a)" = "1 0 " ] || ts_fail "networks before the switch: $(net_states a)"
  timeout 300 $MS_TOOL write "$(ts_mnt a)/NMP3" "$MS_SIZE" 54 300 "$p2" --fsync-each &
  writer=$!
  stream_going() { [ "$(wc -l <"$p2")" -ge 60 ]; }
  wait_until 60 stream_going || ts_fail "the stream of writes did not start"
  rec=$(mdc_switch a 0)
  [ "$rec" = "0000800002000000" ] || ts_fail "command 79 answered $rec"
  grep -F "NMP3 switched N/W from (priority:1) to (priority:2)." "$(ts_log a)" >/dev/null ||
    ts_fail "no event 263"
  [ "$(net_states a)" = "0 1 " ] || ts_fail "networks after the switch: $(net_states a)"
  wait "$writer" || ts_fail "writes failed across the switch"
  ms_write a "$p3" 55 50 --fsync-each
  ms_quiesce
  ts_stop a
  ts_stop b
  ms_expect_bits a "$empty"
  ms_expect_model b "$p1" "$p2" "$p3"
  ;;
silent | silentbreak)
  [ "$(net_states a)" = "1 0 " ] || ts_fail "networks before the cut: $(net_states a)"
  if [ "$CASE" = silentbreak ]; then
    # ack_timeout 5 clock seconds, one real one: shorter than the
    # keepalive. The other values as created.
    ts_ctl_ok a NMP3 set-param hb_interval=1 hb_recv_timeout=1 hb_recv_retry=2 \
      connect_timeout="$MS_CONNECT_TIMEOUT" send_timeout="$MS_SEND_TIMEOUT" keepalive_time=2 \
      keepalive_probe=2 keepalive_interval=1 ack_timeout=5
  fi
  before151=$(count_log a "NMP3 ACK1 timeout.")
  # Writes in slots of their own, so that a granule holds one write only.
  timeout 300 $MS_TOOL write "$(ts_mnt a)/NMP3" "$MS_SIZE" 56 300 "$p2" --fsync-each --slots 0 &
  writer=$!
  stream_going() { [ "$(wc -l <"$p2")" -ge 30 ]; }
  wait_until 60 stream_going || ts_fail "the stream of writes did not start"
  ts_cut a 1 silent
  ts_cut b 1 silent
  moved() { [ "$(net_states a)" = "2 1 " ]; }
  wait_until 60 moved || ts_fail "networks with the first one silent: $(net_states a)"
  wait "$writer" || ts_fail "writes failed across the silent cut"
  nw_open || ts_fail "the N/W port closed"
  [ "$(count_log a "NMP3 ACK1 timeout.")" -gt "$before151" ] || ts_fail "no ACK1 time-out"
  grep -F "NMP3 sync switch flag is set to OFF. <-B--s>" "$(ts_log a)" >/dev/null ||
    ts_fail "mirroring was not turned off by the mirror break"
  ts_heal a 1
  ts_heal b 1
  restored() { [ "$(net_states a)" = "0 1 " ]; }
  wait_until 60 restored || ts_fail "networks after the restore: $(net_states a)"
  ms_write a "$p3" 57 50 --fsync-each --slots 400
  ts_stop a
  ts_stop b
  ms_expect_model a "$p1" "$p2" "$p3"
  model=$TS_WORK/model.img
  $MS_TOOL model "$MS_SIZE" "$model" "$p1" "$p2" "$p3" || ts_fail "building the expected image"
  $MS_TOOL differ "$model" "$(ts_dp b 3)" "$MS_GRANULE" >"$TS_WORK/lacking"
  if [ "$CASE" = silent ]; then
    ms_expect_bits a "$TS_WORK/lacking"
  else
    # The cut may end before the standby lets go of the dead connection:
    # the stalled write then still reaches it, after its time-out.
    ms_expect_covered a "$TS_WORK/lacking"
  fi
  ms_bits a >"$TS_WORK/bits"
  split=$($MS_TOOL coverage "$MS_SIZE" "$MS_GRANULE" "$TS_WORK/bits" "$p2" | uniq | tr '\n' ' ')
  [[ "$split" =~ ^none\ (part\ )?all\ $ ]] ||
    ts_fail "the stream is not mirrored writes, then the stalled one and the rest in the bitmap: $split"
  ms_granules "$p3" >"$TS_WORK/late"
  ms_expect_covered a "$TS_WORK/late"
  ;;
*) ts_fail "network_test.sh: kill, allcut, switch, silent or silentbreak, not $CASE" ;;
esac
echo "PASS: network $CASE"
