# Shared helpers of the host tests (sourced). Every wait has a time limit,
# and whatever a test starts (hosts, mounts, loop devices, files) is taken
# down by the EXIT trap, also when the test fails.

set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../shell/common.sh"

fail() {
  echo "FAIL: $*" >&2
  if [ -n "${HOST_LOG:-}" ] && [ -f "$HOST_LOG" ]; then
    echo "--- host log ($HOST_LOG) ---" >&2
    tail -n 40 "$HOST_LOG" >&2
    # The host's own output: usage errors and sanitizer reports land here.
    local out
    out="$(dirname "$HOST_LOG")/out"
    if [ -s "$out" ]; then
      echo "--- host output ($out) ---" >&2
      tail -n 80 "$out" >&2
    fi
  fi
  exit 1
}

skip() {
  echo "SKIP: $*"
  exit 77
}

require_root_fuse() {
  [ "$(id -u)" -eq 0 ] || skip "needs root (FUSE mounts and loop devices)"
  [ -c /dev/fuse ] || skip "needs /dev/fuse"
  command -v fusermount3 >/dev/null || skip "needs fusermount3"
}

WORK=$(mktemp -d /tmp/mirvol-host-test.XXXXXX)
# A host started without --control serves this socket, not the machine's.
export MIRVOL_CONTROL=$WORK/control.sock
HOST_PID=
HOST_LOG=
HOST_MNT=
CLEAN_MOUNTS=()
CLEAN_LOOPS=()
CLEAN_PIDS=()

cleanup() {
  set +e
  trap '' PIPE
  for m in "${CLEAN_MOUNTS[@]}"; do
    is_mounted "$m" && umount -l "$m"
  done
  for l in "${CLEAN_LOOPS[@]}"; do
    losetup -d "$l" 2>/dev/null
  done
  for p in "${CLEAN_PIDS[@]}"; do
    kill -KILL "$p" 2>/dev/null
  done
  if [ -n "$HOST_PID" ] && kill -0 "$HOST_PID" 2>/dev/null; then
    kill -KILL "$HOST_PID" 2>/dev/null
    timeout 10 tail --pid="$HOST_PID" -f /dev/null
  fi
  unmount_under "$WORK"
  rm -rf "$WORK"
}
trap cleanup EXIT

log_has() { grep -qF -- "$1" "$HOST_LOG"; }

# start_host NAME ARGS...: starts the host with its mount and log under
# $WORK/NAME and waits until its first mirror file is there (the first
# nmp_minor element of ARGS).
start_host() {
  local name=$1
  shift
  HOST_MNT=$WORK/$name/mnt
  HOST_LOG=$WORK/$name/log
  mkdir -p "$HOST_MNT"
  "$MIRVOLD" --mount "$HOST_MNT" --log "$HOST_LOG" "$@" >"$WORK/$name/out" 2>&1 &
  HOST_PID=$!
  local first
  first=$(printf '%s\n' "$@" | sed -n 's/^nmp_minor=\([0-9]*\).*/\1/p')
  wait_until 20 test -e "$HOST_MNT/NMP$first" || fail "host $name did not show NMP$first"
}

# stop_host [SIGNAL]: stops the host and expects exit 0 and the mount gone.
stop_host() {
  local sig=${1:-TERM}
  kill -"$sig" "$HOST_PID"
  timeout 30 tail --pid="$HOST_PID" -f /dev/null || fail "host did not stop on SIG$sig"
  local rc=0
  wait "$HOST_PID" || rc=$?
  HOST_PID=
  [ "$rc" -eq 0 ] || fail "host exited $rc on SIG$sig"
  ! is_mounted "$HOST_MNT" || fail "$HOST_MNT still mounted after the host left"
}

# expect_forms: runs with ctl (the test's own) each row of the table on
# standard input, "arguments | exit | stdout lines | text on stderr": the
# exit code must be the one given, every stdout line (";" between them)
# must be printed in this order, and the text, unless empty, must be on
# stderr.
expect_forms() {
  local args want_rc lines text a rc want got
  while IFS='|' read -r args want_rc lines text; do
    read -ra a <<<"$args"
    rc=0
    ctl "${a[@]}" >"$WORK/out" 2>"$WORK/err" || rc=$?
    [ "$rc" = "$want_rc" ] || fail "mirvolctl $args: exit $rc, expected $want_rc: $(cat "$WORK/out" "$WORK/err")"
    want=$(tr ';' '\n' <<<"$lines")
    got=$(grep -Fx -f <(printf '%s\n' "$want") "$WORK/out" || true)
    [ "$got" = "$want" ] ||
      fail "mirvolctl $args printed:"$'\n'"$(cat "$WORK/out")"$'\n'"expected the lines:"$'\n'"$want"
    if [ -n "$text" ]; then
      grep -F -- "$text" "$WORK/err" >/dev/null || fail "mirvolctl $args: no \"$text\" in: $(cat "$WORK/err")"
    fi
  done
}
