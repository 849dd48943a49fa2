#!/usr/bin/env bash
# Both servers on loopback, where no link can go down and the kernel answers
# every echo, lose their network through the hosts' network fault tables:
# everything between 127.0.0.1 and 127.0.0.2 (connects, sends, receives,
# echoes) is blackholed at both ends while they mirror synchronously. The
# active's heartbeat finds no network: the network turns ERROR, "all of the
# networks are ERROR" is logged once, the N/W port closes and the writes made
# meanwhile have exactly their granules in the bitmap. Once the faults are
# cleared the N/W port opens again.
#   loopcut_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

TS_FAULTS=1
MS_SCALE=5
MS_SEND_TIMEOUT=5
MS_CONNECT_TIMEOUT=2
MS_CREATE_EXTRA=(hb_interval=1 hb_recv_timeout=1 hb_recv_retry=2 keepalive_time=2
  keepalive_probe=2 keepalive_interval=1)

p1=$TS_WORK/writes1
p2=$TS_WORK/writes2
: >"$p1"
: >"$p2"

nw_closed() { [ "$(ts_nw_port a)" = 0 ]; }
nw_open() { [ "$(ts_nw_port a)" = 1 ]; }
count_log() { grep -c -F -- "$2" "$(ts_log "$1")" || true; }
net_state_of_a() {
  awk 'NR > 3 && NF == 10 { printf "%s ", $1 }' "$(ts_mnt a)/proc/mirvolinner"
}

ms_pair loopback
wait_until 60 nw_open || ts_fail "the active's N/W port did not open"
ms_write a "$p1" 61 100 --hot 20
ms_quiesce
: >"$TS_WORK/none"
ms_expect_bits a "$TS_WORK/none"

before242=$(count_log a "NMP3 all of the networks are ERROR.")
opened=$(count_log a "NMP3 N/W port opened.")
ts_faults a "127.0.0.1 127.0.0.2 all blackhole"
ts_faults b "127.0.0.2 127.0.0.1 all blackhole"
wait_until 60 nw_closed || ts_fail "the active's N/W port stayed open with its network cut"
net_error() { [ "$(net_state_of_a)" = "2 " ]; }
wait_until 60 net_error || ts_fail "the network is not ERROR: $(net_state_of_a)"
ms_write a "$p2" 62 60 --fsync-each
# Some cycles more without a network: still one message.
sleep 2
[ "$(count_log a "NMP3 all of the networks are ERROR.")" -eq $((before242 + 1)) ] ||
  ts_fail "event 242 was not logged exactly once"
ms_granules "$p2" >"$TS_WORK/after"
ms_expect_bits a "$TS_WORK/after"

ts_faults a
ts_faults b
reopened() { [ "$(count_log a "NMP3 N/W port opened.")" -gt "$opened" ]; }
wait_until 90 reopened || ts_fail "the N/W port did not open again (event 154)"
wait_until 30 nw_open || ts_fail "the N/W port is not open"
ts_stop a
ms_expect_model a "$p1" "$p2"
ms_expect_bits a "$TS_WORK/after"
echo "PASS: loopback network cut"
