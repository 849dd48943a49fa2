#!/usr/bin/env bash
# The two-server harness itself: two hosts placed (in namespaces joined by
# two veth pairs, or on loopback), configured as a cluster service would,
# each with the ports of its role; and everything the harness made is gone
# afterwards, also when the test using it fails half-way.
#   harness_test.sh MIRVOLD MIRVOLCTL netns|loopback
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
ts_require_root

nets=1
[ "$MODE" = netns ] && nets=2
ts_place "$MODE" $nets
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((32 << 20))
  ts_create "$s" 3
done
ts_ports_active a 3
ts_ports_standby b 3
for s in a b; do ts_set_size "$s" 3 $((32 << 10)); done

# Each side has the ports of its role.
expect_ports() {
  local side=$1 io=$2 nw=$3 mount=$4
  ts_ctl "$side" NMP3 port get io nw mount >/dev/null
  local got
  got=$(grep -E '^io=' "$TS_WORK/$side/answer")
  [ "$got" = "io=$io nw=$nw mount=$mount" ] || ts_fail "server $side ports: $got"
}
expect_ports a open open open
expect_ports b open open close

# Each device's threads run in its own host, by name.
for s in a b; do
  ts_thread_names "$s" | grep -x mirvol_nmp03_05 >/dev/null || ts_fail "server $s has no mirvol_nmp03_05"
  ts_thread_names "$s" | grep -x mirvol_common_1 >/dev/null || ts_fail "server $s has no mirvol_common_1"
done

# In namespaces, each side sees only its own ends of the mirror networks.
if [ "$MODE" = netns ]; then
  for s in a b; do
    for i in 1 2; do
      ip -n "$(ts_netns_of "$s")" -o addr show | grep -F " $(ts_self "$s" "$i")/24" >/dev/null ||
        ts_fail "server $s has no address on network $i"
      ! ip -n "$(ts_netns_of "$s")" -o addr show | grep -F " $(ts_peer "$s" "$i")/24" >/dev/null ||
        ts_fail "server $s has the peer's address of network $i"
    done
  done
fi

ts_stop b
ts_stop a

# A test that fails half-way leaves nothing behind: run one that gives up
# with both hosts up, and look for what it made.
child_out=$TS_WORK/child
bash -c '
  MIRVOLD=$1 MIRVOLCTL=$2
  . "$3/lib.sh"
  ts_place "$4" 1
  ts_start a nmp_minor=3
  ts_start b nmp_minor=3
  echo "$TS_TAG $TS_WORK ${TS_PID[a]} ${TS_PID[b]}"
  ts_fail "giving up on purpose"
' child "$MIRVOLD" "$MIRVOLCTL" "$HERE" "$MODE" >"$child_out" 2>/dev/null && ts_fail "the failing child passed"
read -r tag work pid_a pid_b <"$child_out" || ts_fail "the child said nothing: $(cat "$child_out")"
for p in "$pid_a" "$pid_b"; do
  ! kill -0 "$p" 2>/dev/null || ts_fail "host $p of the failed child still runs"
done
[ ! -e "$work" ] || ts_fail "the failed child left $work"
! grep -qF "$work/" /proc/self/mounts || ts_fail "the failed child left a mount under $work"
if [ "$MODE" = netns ]; then
  ! ip netns list | grep "^mirvol-$tag-" >/dev/null || ts_fail "the failed child left its namespaces"
  ! ip -o link show | grep "mv$tag-" >/dev/null || ts_fail "the failed child left its links"
fi
echo "PASS: two-server harness ($MODE)"
