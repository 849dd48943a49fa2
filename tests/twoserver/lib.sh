# Two servers on one machine (sourced). Each server is a mirvold with its own
# images, mount, control socket and log under $TS_WORK/<side>, side "a" the
# active and side "b" the standby. They are placed either
#   - in one network namespace each, joined by one veth pair per mirror
#     network (documentation addresses only), the host started with
#     nsenter --net so that its FUSE mount stays visible here; or
#   - both on loopback, told their own addresses with --addresses.
# Whatever the harness makes (hosts, mounts, loop devices, namespaces, links,
# files) is taken down by ts_cleanup, which the EXIT trap runs also when a
# test fails. Every wait has its own time limit.
#
#   MIRVOLD=... MIRVOLCTL=... . tests/twoserver/lib.sh
#   ts_require_root                     # skip (77) without root and FUSE
#   ts_place netns 2 | ts_place loopback  # skip (77) when namespaces are missing
#   ts_start a nmp_minor=3; ts_start b nmp_minor=3
#   ts_driver_init a; ts_driver_init b
#   ts_create a 3 ...; ts_create b 3 ...
#   ts_ports_active a 3; ts_ports_standby b 3
#   ts_set_size a 3 KIB; ts_set_size b 3 KIB

set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../shell/common.sh"

TS_WORK=$(mktemp -d /tmp/mirvol-twoserver.XXXXXX)
TS_MODE=
TS_NETS=0
TS_TAG=$$
TS_NS=()
TS_LINKS=()
TS_MOUNTS=()
TS_LOOPS=()
TS_PORT_SLOT=  # the reserved port range (ts_reserve_ports)
TS_FAULTS=0  # 1: the hosts take a network fault table (ts_faults)
declare -A TS_PID=() TS_ADDR=()
# TS_HOST[SIDE]: the command that starts side's host instead of $MIRVOLD (a
# fixture host, perhaps after env VAR=VALUE), split at spaces.
declare -A TS_HOST=()

ts_fail() {
  echo "FAIL: $*" >&2
  local s
  for s in a b; do
    if [ -f "$TS_WORK/$s/log" ]; then
      echo "--- log of server $s ---" >&2
      tail -n 30 "$TS_WORK/$s/log" >&2
    fi
    if [ -s "$TS_WORK/$s/out" ]; then
      echo "--- output of server $s ---" >&2
      tail -n 40 "$TS_WORK/$s/out" >&2
    fi
  done
  exit 1
}

ts_skip() {
  echo "SKIP: $*"
  exit 77
}

# Mounts the file SRC on DST through a loop device with the options OPTS.
# Setting up the loop device fails now and then when another process takes
# the same free device at that moment, so the mount is tried three times;
# the last error is shown when all fail.
ts_loop_mount() {
  local opts=$1 src=$2 dst=$3 try err=
  for try in 1 2 3; do
    err=$(timeout 60 mount -o "loop,$opts" "$src" "$dst" 2>&1) && return 0
    sleep 2
  done
  echo "mount -o loop,$opts $src: $err" >&2
  return 1
}

ts_cleanup() {
  set +e
  trap '' PIPE
  local m l s n
  for m in "${TS_MOUNTS[@]}"; do
    is_mounted "$m" && umount -l "$m"
  done
  for l in "${TS_LOOPS[@]}"; do
    losetup -d "$l" 2>/dev/null
  done
  for s in "${!TS_PID[@]}"; do
    if kill -0 "${TS_PID[$s]}" 2>/dev/null; then
      kill -KILL "${TS_PID[$s]}" 2>/dev/null
      timeout 10 tail --pid="${TS_PID[$s]}" -f /dev/null
    fi
  done
  unmount_under "$TS_WORK"
  for l in "${TS_LINKS[@]}"; do
    ip link del "$l" 2>/dev/null
  done
  for n in "${TS_NS[@]}"; do
    ip netns del "$n" 2>/dev/null
  done
  rm -rf "$TS_WORK"
  if [ -n "$TS_PORT_SLOT" ]; then rm -rf "${TS_PORT_SLOTS:?}/$TS_PORT_SLOT"; fi
}
trap ts_cleanup EXIT

ts_require_root() {
  [ "$(id -u)" -eq 0 ] || ts_skip "needs root (FUSE mounts, namespaces)"
  [ -c /dev/fuse ] || ts_skip "needs /dev/fuse"
  command -v fusermount3 >/dev/null || ts_skip "needs fusermount3"
}

# The addresses of mirror network i (1-based) on sides a and b.
ts_net_addr() {
  local side=$1 i=$2 host
  [ "$side" = a ] && host=1 || host=2
  case $i in
  1) echo "192.0.2.$host" ;;
  2) echo "198.51.100.$host" ;;
  *) ts_fail "no addresses for mirror network $i" ;;
  esac
}

# ts_can_netns: network namespaces can be made here.
ts_can_netns() {
  command -v ip >/dev/null && command -v nsenter >/dev/null || return 1
  local probe=mirvol-$TS_TAG-probe
  ip netns add "$probe" 2>/dev/null || return 1
  ip netns del "$probe"
}

# ts_place netns N | ts_place loopback: where the two servers run. In netns
# mode each side gets a namespace and N veth pairs join them; the loopback
# mode has one network, 127.0.0.1 (a) and 127.0.0.2 (b).
ts_place() {
  TS_MODE=$1
  case $TS_MODE in
  netns)
    TS_NETS=${2:-1}
    command -v ip >/dev/null || ts_skip "needs ip(8) for network namespaces"
    command -v nsenter >/dev/null || ts_skip "needs nsenter(1)"
    local s i
    for s in a b; do
      local ns=mirvol-$TS_TAG-$s
      ip netns add "$ns" 2>/dev/null || ts_skip "cannot make network namespaces here"
      TS_NS+=("$ns")
      ip -n "$ns" link set lo up || ts_fail "lo up in $ns"
    done
    for ((i = 1; i <= TS_NETS; i++)); do
      local la=mv$TS_TAG-${i}a lb=mv$TS_TAG-${i}b
      ip link add "$la" type veth peer name "$lb" || ts_fail "making veth pair $i"
      TS_LINKS+=("$la")
      ip link set "$la" netns "mirvol-$TS_TAG-a" || ts_fail "moving $la"
      ip link set "$lb" netns "mirvol-$TS_TAG-b" || ts_fail "moving $lb"
      ip -n "mirvol-$TS_TAG-a" addr add "$(ts_net_addr a "$i")/24" dev "$la" || ts_fail "address on $la"
      ip -n "mirvol-$TS_TAG-b" addr add "$(ts_net_addr b "$i")/24" dev "$lb" || ts_fail "address on $lb"
      ip -n "mirvol-$TS_TAG-a" link set "$la" up || ts_fail "$la up"
      ip -n "mirvol-$TS_TAG-b" link set "$lb" up || ts_fail "$lb up"
    done
    ;;
  loopback)
    TS_NETS=1
    TS_ADDR[a]=127.0.0.1
    TS_ADDR[b]=127.0.0.2
    ;;
  *) ts_fail "ts_place: netns or loopback, not $TS_MODE" ;;
  esac
}

# Self and peer address of network i as side s sees them.
ts_self() {
  if [ "$TS_MODE" = loopback ]; then echo "${TS_ADDR[$1]}"; else ts_net_addr "$1" "$2"; fi
}
ts_peer() {
  local other
  [ "$1" = a ] && other=b || other=a
  ts_self "$other" "$2"
}

# ts_netns_of SIDE: the namespace of a side (netns mode).
ts_netns_of() { echo "mirvol-$TS_TAG-$1"; }

# ts_cut SIDE NET hard|silent / ts_heal SIDE NET: cut mirror network NET at
# SIDE's end, by link down or by a bogus permanent neighbour for the peer.
ts_cut() {
  local side=$1 i=$2 how=${3:-hard} link=mv$TS_TAG-$2$1
  [ "$TS_MODE" = netns ] || ts_fail "cutting a network needs netns mode"
  if [ "$how" = hard ]; then
    ip -n "$(ts_netns_of "$side")" link set "$link" down
  else
    ip -n "$(ts_netns_of "$side")" neigh replace "$(ts_peer "$side" "$i")" lladdr 02:00:00:00:00:01 \
      dev "$link" nud permanent
  fi
}
ts_heal() {
  local side=$1 i=$2 link=mv$TS_TAG-$2$1
  ip -n "$(ts_netns_of "$side")" neigh del "$(ts_peer "$side" "$i")" dev "$link" 2>/dev/null || true
  ip -n "$(ts_netns_of "$side")" link set "$link" up
}

# ts_faults SIDE [LINE...]: replaces the network fault table of side's host
# (started with TS_FAULTS=1) by the lines ("LOCAL REMOTE OP KIND", see
# mirvold) and waits until the host has loaded it.
ts_faults() {
  local side=$1
  shift
  local dir=$TS_WORK/$side loads n=$#
  if [ "$n" -gt 0 ]; then printf '%s\n' "$@" >"$dir/faults"; else : >"$dir/faults"; fi
  loads=$(grep -c -F "mirvold: network faults: " "$dir/log" || true)
  kill -HUP "${TS_PID[$side]}"
  reloaded() {
    [ "$(grep -c -F "mirvold: network faults: " "$dir/log" || true)" -gt "$loads" ] &&
      grep -F "mirvold: network faults: " "$dir/log" | tail -n 1 | grep -F ": $n from" >/dev/null
  }
  wait_until 20 reloaded || ts_fail "server $side did not load its network faults"
}

ts_mnt() { echo "$TS_WORK/$1/mnt"; }
ts_log() { echo "$TS_WORK/$1/log"; }
ts_sock() { echo "$TS_WORK/$1/control.sock"; }

# ts_start SIDE [--time-scale N] nmp_minor=...: starts side's host and waits
# until its first mirror file and its control socket are there.
ts_start() {
  local side=$1
  shift
  local dir=$TS_WORK/$side
  mkdir -p "$dir/mnt"
  local -a run=()
  local -a extra=()
  if [ "$TS_MODE" = netns ]; then
    run=(nsenter "--net=/run/netns/$(ts_netns_of "$side")" --)
  else
    extra=(--addresses "${TS_ADDR[$side]}")
  fi
  if [ "$TS_FAULTS" = 1 ]; then
    : >"$dir/faults"
    extra+=(--net-faults "$dir/faults")
  fi
  local -a host=("$MIRVOLD")
  if [ -n "${TS_HOST[$side]:-}" ]; then read -r -a host <<<"${TS_HOST[$side]}"; fi
  "${run[@]}" "${host[@]}" --mount "$dir/mnt" --control "$dir/control.sock" --log "$dir/log" \
    "${extra[@]}" "$@" >"$dir/out" 2>&1 &
  TS_PID[$side]=$!
  local first
  first=$(printf '%s\n' "$@" | sed -n 's/^nmp_minor=\([0-9]*\).*/\1/p')
  wait_until 20 test -e "$dir/mnt/NMP$first" || ts_fail "server $side did not show NMP$first"
  wait_until 20 test -S "$dir/control.sock" || ts_fail "server $side has no control socket"
}

# ts_stop SIDE: stops side's host and expects exit 0 and its mount gone.
ts_stop() {
  local side=$1 pid=${TS_PID[$1]}
  kill -TERM "$pid"
  timeout 30 tail --pid="$pid" -f /dev/null || ts_fail "server $side did not stop on SIGTERM"
  local rc=0
  wait "$pid" || rc=$?
  unset "TS_PID[$side]"
  [ "$rc" -eq 0 ] || ts_fail "server $side exited $rc on SIGTERM"
  ! is_mounted "$(ts_mnt "$side")" || ts_fail "server $side's mount is still there"
}

# ts_kill SIDE: kills side's host at once (a crashed server).
ts_kill() {
  local side=$1 pid=${TS_PID[$1]}
  kill -KILL "$pid" 2>/dev/null || true
  timeout 10 tail --pid="$pid" -f /dev/null || true
  wait "$pid" 2>/dev/null || true
  unset "TS_PID[$side]"
  fusermount3 -u -z "$(ts_mnt "$side")" 2>/dev/null || true
}

# ts_ctl SIDE ARGS...: mirvolctl on side's control socket; its answer is in
# $TS_WORK/SIDE/answer (and on stdout). A command the driver carried and
# refused (exit 3) is an answer too: the caller looks at its status.
ts_ctl() {
  local side=$1
  shift
  local ans=$TS_WORK/$side/answer rc=0
  MIRVOL_CONTROL=$(ts_sock "$side") timeout 60 "$MIRVOLCTL" "$@" >"$ans" 2>"$ans.err" || rc=$?
  [ "$rc" -eq 0 ] || [ "$rc" -eq 3 ] || ts_fail "server $side: mirvolctl $*: exit $rc: $(cat "$ans.err")"
  cat "$ans"
}

# ts_ctl_ok SIDE ARGS...: as ts_ctl, and the status must be STATUS_OK.
ts_ctl_ok() {
  local side=$1
  ts_ctl "$@" >/dev/null
  grep -q "^status=STATUS_OK" "$TS_WORK/$side/answer" ||
    ts_fail "server $side: mirvolctl ${*:2}: $(cat "$TS_WORK/$side/answer" "$TS_WORK/$side/answer.err")"
}

# ts_nw_port SIDE: 1 while side's N/W port of NMP3 is open, 0 once closed
# (mirvolctl prints "io=open nw=open mount=close").
ts_nw_port() {
  ts_ctl "$1" NMP3 port get nw >/dev/null
  sed -n 's/.* nw=open.*/1/p; s/.* nw=close.*/0/p' "$TS_WORK/$1/answer"
}

# ts_driver_init SIDE [key=N...]: the driver-wide settings a cluster service
# sends first after the load (the driver's defaults unless given).
ts_driver_init() {
  local side=$1
  shift
  ts_ctl_ok "$side" NMP"$(ts_first_minor "$side")" network-init "$@"
}

# The first minor a side's host was started with (from its mount).
ts_first_minor() {
  local f
  f=$(ls "$(ts_mnt "$1")" | sed -n 's/^NMP\([0-9]*\)$/\1/p' | head -n 1)
  [ -n "$f" ] || ts_fail "server $1 shows no mirror file"
  echo "$f"
}

# ts_images SIDE MINOR DP_BYTES: makes side's Cluster and Data Partition
# images for a device (16 MiB Cluster Partition).
ts_images() {
  local side=$1 minor=$2 bytes=$3
  truncate -s 16M "$TS_WORK/$side/cp$minor.img"
  truncate -s "$bytes" "$TS_WORK/$side/dp$minor.img"
}
ts_cp() { echo "$TS_WORK/$1/cp$2.img"; }
ts_dp() { echo "$TS_WORK/$1/dp$2.img"; }

# The DATA (0), ACK2 (1) and heartbeat (2) ports of a device, the same on
# both sides; taken from this run's own range (below the ephemeral ports),
# so that runs on loopback do not meet.
# A run reserves its range by making a slot directory that holds its pid:
# the first free slot from its own pid on, or one whose owner has died.
# Runs side by side on loopback would otherwise meet whenever their pids
# agree modulo the slot count.
TS_PORT_SLOTS=/tmp/mirvol-port-slots
ts_reserve_ports() {
  mkdir -p "$TS_PORT_SLOTS"
  local i n owner
  for ((i = 0; i < 1000; i++)); do
    n=$(((TS_TAG + i) % 1000))
    if mkdir "$TS_PORT_SLOTS/$n" 2>/dev/null; then
      echo "$TS_TAG" >"$TS_PORT_SLOTS/$n/pid"
      TS_PORT_SLOT=$n
      return 0
    fi
    owner=$(cat "$TS_PORT_SLOTS/$n/pid" 2>/dev/null || true)
    # A slot without a pid file is still being taken by its maker.
    if [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null; then
      rm -rf "$TS_PORT_SLOTS/$n"
      if mkdir "$TS_PORT_SLOTS/$n" 2>/dev/null; then
        echo "$TS_TAG" >"$TS_PORT_SLOTS/$n/pid"
        TS_PORT_SLOT=$n
        return 0
      fi
    fi
  done
  ts_fail "no free port range under $TS_PORT_SLOTS"
}
ts_reserve_ports
TS_PORT_BASE=$((20000 + TS_PORT_SLOT * 12))
ts_port() { echo $((TS_PORT_BASE + ($1 % 4) * 3 + $2)); }

# ts_create SIDE MINOR [key=value...]: creates the device over side's images
# with every mirror network of the placement (the first in use), both sides
# using the same ports.
ts_create() {
  local side=$1 minor=$2
  shift 2
  local -a nets=()
  local i
  local state=USING
  for ((i = 1; i <= TS_NETS; i++)); do
    nets+=("net=$(ts_self "$side" "$i"),$(ts_peer "$side" "$i"),$state")
    state=FREE
  done
  ts_ctl_ok "$side" "NMP$minor" init cp="$(ts_cp "$side" "$minor")" dp="$(ts_dp "$side" "$minor")" \
    name="ts$side$minor" active=1 "${nets[@]}" port="$(ts_port "$minor" 0)" \
    ack2_port="$(ts_port "$minor" 1)" hb_port="$(ts_port "$minor" 2)" "$@"
}

# The ports as a cluster service sets them: the active has its I/O, N/W and
# mount ports open; the standby its I/O and N/W ports, the mount port closed.
ts_ports_active() {
  ts_ctl_ok "$1" "NMP$2" port open io nw
  ts_ctl_ok "$1" "NMP$2" port open mount
}
ts_ports_standby() {
  ts_ctl_ok "$1" "NMP$2" port open io nw
  ts_ctl_ok "$1" "NMP$2" port close mount
}

# ts_set_size SIDE MINOR KIB [granule=N]: the device's size, and waits until
# the mirror file shows it.
ts_set_size() {
  local side=$1 minor=$2 kib=$3
  shift 3
  ts_ctl_ok "$side" "NMP$minor" set-size "$kib" "$@"
  wait_until 10 test "$(stat -c %s "$(ts_mnt "$side")/NMP$minor")" -eq $((kib << 10)) ||
    ts_fail "server $side: NMP$minor does not have its size"
}

# ts_thread_names SIDE: the task names of side's host, one per line.
ts_thread_names() { cat /proc/"${TS_PID[$1]}"/task/*/comm 2>/dev/null | sort; }

# ts_expect_no_sanitizer_report: no host printed a sanitizer report (on its
# output, where the sanitizers write; a leak is reported only by a host
# that ended by itself, as after ts_stop).
ts_expect_no_sanitizer_report() {
  local s
  for s in a b; do
    [ -f "$TS_WORK/$s/out" ] || continue
    if grep -E "ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:" \
      "$TS_WORK/$s/out" >/dev/null; then
      ts_fail "server $s printed a sanitizer report: $(grep -E -m 3 "Sanitizer|runtime error:" "$TS_WORK/$s/out" | tr '\n' ' ')"
    fi
  done
}
