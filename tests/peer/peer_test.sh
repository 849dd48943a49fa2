#!/bin/bash
# mirvol_peer: a listener records what a sender sends, byte for byte, and
# marks the connection closed; heads come out as the wire has them.
set -euo pipefail
PEER=$1
WORK=$(mktemp -d /tmp/mirvol-peer.XXXXXX)
LISTENER=
cleanup() {
  if [ -n "$LISTENER" ]; then kill "$LISTENER" 2>/dev/null || true; wait "$LISTENER" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits up to $2 tenths of a second for the file $1.
wait_file() {
  local i
  for ((i = 0; i < $2; i++)); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}

head=$("$PEER" head 14 start=0x0102030405060708 end=9 id=0x2122 status=0 length=512 vec_count=1 vec_index=0)
want_head=256095130000000e010203040506070800000000000000090000000000002122000000000000020000010000000000000000000000000000
[ "$head" = "$want_head" ] || fail "head: $head"

"$PEER" listen --dir "$WORK" > "$WORK/out" &
LISTENER=$!
wait_file "$WORK/out" 50 || fail "listener did not start"
for ((i = 0; i < 50; i++)); do grep -q '^port=' "$WORK/out" && break; sleep 0.1; done
port=$(sed -n 's/^port=//p' "$WORK/out")
[ -n "$port" ] || fail "no port printed"

payload=$(printf 'ab%.0s' $(seq 1 512))
"$PEER" send --port "$port" --negotiate --hex "$head" --hex "$payload" || fail "send"
wait_file "$WORK/conn-0.closed" 100 || fail "connection not seen closed"
got=$(od -An -v -tx1 "$WORK/conn-0" | tr -d ' \n')
[ "$got" = "2560951300000008$head$payload" ] || fail "recorded bytes differ"

# A sender that waits for an answer the listener never gives gets nothing.
if "$PEER" send --port "$port" --negotiate --read 8 --wait-ms 300 > /dev/null; then
  fail "an answer came from a listener that sends nothing"
fi
echo "PASS"
