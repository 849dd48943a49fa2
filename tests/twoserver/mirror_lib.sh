# Helpers of the mirroring tests (sourced after lib.sh): a pair of servers
# mirroring NMP3 (synchronous unless MS_MODE says async), the writes and
# checks of mirror_tool.py, and waits for the two sides to settle.
#
#   ms_pair netns|loopback        # places, starts and configures both sides
#   ms_write a LOG SEED COUNT [mirror_tool options]
#   ms_quiesce                    # images identical, ACK2 traffic settled

MS_TOOL="python3 $(dirname "${BASH_SOURCE[0]}")/mirror_tool.py"
MS_KIB=${MS_KIB:-$((64 << 10))}  # the device: 64 MiB
MS_SIZE=$((MS_KIB << 10))
MS_GRANULE=${MS_GRANULE:-8}       # one bitmap bit per 4 KiB
MS_SCALE=${MS_SCALE:-10}          # the platform clock runs 10 times faster
MS_ACK_TIMEOUT=${MS_ACK_TIMEOUT:-20}
MS_INTERVAL=${MS_INTERVAL:-2}     # remote bitmap writer pass (clock seconds)
MS_NETS=${MS_NETS:-1}             # mirror networks in netns mode
MS_MODE=${MS_MODE:-sync}          # the mirroring mode of both sides
MS_SEND_TIMEOUT=${MS_SEND_TIMEOUT:-30}
MS_CONNECT_TIMEOUT=${MS_CONNECT_TIMEOUT:-10}
MS_CREATE_EXTRA=()                # more device settings for both sides
# The ports of the harness (both sides use the same, as a cluster would).
MS_DATA_PORT=$(ts_port 3 0)
MS_ACK2_PORT=$(ts_port 3 1)
MS_HB_PORT=$(ts_port 3 2)
MS_SPARE_PORT=$(ts_port 0 0)  # no device of this run uses it (NMP0)
MS_A_ACK2_PORT=$MS_ACK2_PORT  # where the active sends its ACK2s
MS_ACK2_WATCH=$MS_ACK2_PORT  # ports whose traffic ms_quiesce waits out

MS_HIST_FIELDS=()

# ms_async_history RING_MIB LIMIT_MIB QUEUE: both sides mirror
# asynchronously, with a history ring of RING_MIB, a history-file limit of
# LIMIT_MIB, a send queue of QUEUE requests, and each its own history
# directory $TS_WORK/hist/SIDE.
ms_async_history() {
  MS_MODE=async
  MS_HIST_FIELDS=(send_queue_cnt="$3" history_size="$1" history_file_size="$2")
}

# ms_create SIDE MINOR ACK2_PORT [key=value...]: as ts_create, with the
# ACK2 port given (the active's may lead elsewhere than the standby's).
ms_create() {
  local side=$1 minor=$2 ack2=$3
  shift 3
  if [ "${#MS_HIST_FIELDS[@]}" -gt 0 ]; then
    mkdir -p "$TS_WORK/hist/$side"
    set -- "$@" "${MS_HIST_FIELDS[@]}" "history_dir=$TS_WORK/hist/$side"
  fi
  local -a nets=()
  local i state=USING
  for ((i = 1; i <= TS_NETS; i++)); do
    nets+=("net=$(ts_self "$side" "$i"),$(ts_peer "$side" "$i"),$state")
    state=FREE
  done
  ts_ctl_ok "$side" "NMP$minor" init cp="$(ts_cp "$side" "$minor")" dp="$(ts_dp "$side" "$minor")" \
    name="ts$side$minor" active=1 "${nets[@]}" port="$(ts_port "$minor" 0)" ack2_port="$ack2" \
    hb_port="$(ts_port "$minor" 2)" "$@"
}

# ms_pair MODE: the two servers of a mirror of NMP3 (MS_MODE): the
# standby b configured first (mount port closed), then the active a (I/O,
# N/W and mount ports open).
ms_pair() {
  ts_require_root
  command -v python3 >/dev/null || ts_skip "needs python3"
  if [ "$1" = netns ]; then ts_place netns "$MS_NETS"; else ts_place "$1"; fi
  local s
  for s in a b; do
    ts_start "$s" --time-scale "$MS_SCALE" nmp_minor=3
    ts_driver_init "$s" interval="$MS_INTERVAL"
    ts_images "$s" 3 "$MS_SIZE"
  done
  ms_create b 3 "$MS_ACK2_PORT" mode="$MS_MODE" ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" \
    bmp_size_in_sec="$MS_GRANULE" "${MS_CREATE_EXTRA[@]}"
  ms_create a 3 "$MS_A_ACK2_PORT" mode="$MS_MODE" ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" \
    bmp_size_in_sec="$MS_GRANULE" "${MS_CREATE_EXTRA[@]}"
  ts_ports_standby b 3
  ts_ports_active a 3
  for s in b a; do ts_set_size "$s" 3 "$MS_KIB" granule="$MS_GRANULE"; done
}

# ms_restart SIDE active|standby: a new host for side (after ts_kill) on
# its images, configured as a cluster service configures a restarted
# server: the driver-wide settings, the device, the ports of its role and
# its size.
ms_restart() {
  local side=$1 role=$2 ack2=$MS_ACK2_PORT
  [ "$side" = a ] && ack2=$MS_A_ACK2_PORT
  ts_start "$side" --time-scale "$MS_SCALE" nmp_minor=3
  ts_driver_init "$side" interval="$MS_INTERVAL"
  ms_create "$side" 3 "$ack2" mode="$MS_MODE" ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" \
    bmp_size_in_sec="$MS_GRANULE" "${MS_CREATE_EXTRA[@]}"
  "ts_ports_$role" "$side" 3
  ts_set_size "$side" 3 "$MS_KIB" granule="$MS_GRANULE"
}

# ms_status_of SIDE CMD: the status word of a 4-byte raw command on NMP3.
ms_status_of() {
  ts_ctl "$1" raw NMP3 "$2" --size 4 >/dev/null
  sed -n 's/^record=//p' "$TS_WORK/$1/answer"
}
MS_OK_WORD=00008000

# ms_release_b: a standby held by SIGSTOP goes on (for the EXIT trap, so
# that it is not left stopped under the cleanup).
ms_release_b() {
  if [ -n "${TS_PID[b]:-}" ]; then kill -CONT "${TS_PID[b]}" 2>/dev/null || true; fi
}

# ms_write SIDE LOG SEED COUNT [options]: writes through side's mirror file.
ms_write() {
  local side=$1 log=$2 seed=$3 count=$4
  shift 4
  timeout 300 $MS_TOOL write "$(ts_mnt "$side")/NMP3" "$MS_SIZE" "$seed" "$count" "$log" "$@" ||
    ts_fail "writes through server $side's mirror device"
}

ms_images_same() { cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)"; }

# ss on side's network (the machine's own one on loopback).
ms_ss() {
  local side=$1
  shift
  if [ "$TS_MODE" = netns ]; then
    ip netns exec "$(ts_netns_of "$side")" ss "$@"
  else
    ss "$@"
  fi
}

# The queued bytes of the TCP connections to or from a port on side's
# network: "recv send" summed over them.
ms_queued() {
  ms_ss "$1" -tnH state established "( sport = :$2 or dport = :$2 )" |
    awk '{ r += $1; s += $2 } END { print r + 0, s + 0 }'
}

# ms_ack2_settled: no ACK2 bytes wait on either end, twice a second apart.
ms_ack2_settled() {
  local i p
  for i in 1 2; do
    for p in $MS_ACK2_WATCH; do
      [ "$(ms_queued a "$p")" = "0 0" ] || return 1
      [ "$(ms_queued b "$p")" = "0 0" ] || return 1
    done
    sleep 1
  done
}

# ms_quiesce: the writes are on both Data Partitions and the ACK2s are
# delivered.
ms_quiesce() {
  wait_until 60 ms_images_same ||
    ts_fail "the standby's Data Partition differs: $($MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')"
  wait_until 60 ms_ack2_settled || ts_fail "ACK2 traffic did not settle"
}

# ms_bits SIDE: the set bits of side's bitmap, one per line.
ms_bits() { $MS_TOOL bits "$(ts_cp "$1" 3)" "$MS_SIZE" "$MS_GRANULE"; }
# ms_granules LOG...: the bits the logged writes touch.
ms_granules() { $MS_TOOL granules "$MS_SIZE" "$MS_GRANULE" "$@"; }

# ms_expect_bits SIDE FILE: side's bitmap holds exactly the bits in FILE.
ms_bits_are() { [ "$(ms_bits "$1")" = "$(cat "$2")" ]; }
ms_expect_bits() {
  local side=$1 want=$2
  ms_bits_are "$side" "$want" || ts_fail "server $side's bitmap: $(ms_bits "$side" | wc -l) bits set, \
$(wc -l <"$want") expected; extra: $(comm -23 <(ms_bits "$side" | sort) <(sort "$want") | sed -n 1,5p | tr '\n' ' ')\
missing: $(comm -13 <(ms_bits "$side" | sort) <(sort "$want") | sed -n 1,5p | tr '\n' ' ')"
}

# ms_expect_covered SIDE FILE: every bit in FILE is set in side's bitmap.
ms_expect_covered() {
  local side=$1 want=$2 missing
  missing=$(comm -13 <(ms_bits "$side" | sort) <(sort "$want") | sed -n 1,5p | tr '\n' ' ')
  [ -z "$missing" ] || ts_fail "server $side's bitmap misses bits $missing"
}

# ms_expect_model SIDE LOG...: side's Data Partition holds exactly the
# logged writes, in order.
ms_expect_model() {
  local side=$1
  shift
  local model=$TS_WORK/model.img
  $MS_TOOL model "$MS_SIZE" "$model" "$@" || ts_fail "building the expected image"
  cmp -s "$model" "$(ts_dp "$side" 3)" ||
    ts_fail "server $side's Data Partition is not the writes acknowledged: granules $($MS_TOOL differ "$model" "$(ts_dp "$side" 3)" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')"
  rm -f "$model"
}
