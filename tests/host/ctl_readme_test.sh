#!/usr/bin/env bash
# The README's "Two servers by hand" lines, run as they are written on two
# servers on loopback: the standby's and the active's configuration, the
# check, a break and a heal. Each step's status view and a write through the
# active's mirror device show that the lines do what the README says.
#   ctl_readme_test.sh MIRVOLD MIRVOLCTL README
MIRVOLD=$1
MIRVOLCTL=$2
README=$3
. "$(dirname "$0")/../twoserver/lib.sh"
ts_require_root
ts_place loopback
# The README's lines name fixed ports (7790-7792) on loopback: one run of
# this test on the machine at a time, also across build folders whose
# suites run at once.
exec 9>/tmp/mirvol-readme-ports.lock
timeout 240 flock 9 || ts_fail "the README's ports stayed taken by another run of this test"

# block NAME: the shell lines of the README's block marked "by-hand: NAME".
block() {
  awk -v m="<!-- by-hand: $1 -->" '
    $0 == m { want = 1; next }
    want && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' "$README"
}
# run_block SIDE NAME: runs the block on SIDE. Its first line sets the
# server's addresses and partitions; here they are this machine's.
run_block() {
  local side=$1 name=$2 lines
  lines=$(block "$name")
  [ -n "$lines" ] || ts_fail "the README has no block by-hand: $name"
  if [ "$(sed -n '1{/^SELF=/p}' <<<"$lines")" ]; then
    grep -E '^SELF=[^ ]+ PEER=[^ ]+ CP=[^ ]+ DP=[^ ]+ SIZE_KIB=[0-9]+$' <<<"$lines" >/dev/null ||
      ts_fail "block $name: the first line sets other names than the test gives: $(sed -n 1p <<<"$lines")"
    lines=$(sed 1d <<<"$lines")
  fi
  echo "--- server $side: by-hand $name" >>"$TS_WORK/ran"
  (
    export PATH=$TS_WORK/bin:$PATH MIRVOL_CONTROL=$(ts_sock "$side")
    export SELF PEER CP DP SIZE_KIB
    SELF=$(ts_self "$side" 1) PEER=$(ts_peer "$side" 1) CP=$(ts_cp "$side" 3) DP=$(ts_dp "$side" 3)
    SIZE_KIB=$KIB
    set -euo pipefail
    eval "$lines"
  ) >"$TS_WORK/$side/block" 2>&1 || ts_fail "server $side: by-hand $name failed: $(cat "$TS_WORK/$side/block")"
  cat "$TS_WORK/$side/block" >>"$TS_WORK/ran"
}
# expect SIDE LINE: the last block's output on SIDE has LINE.
expect() {
  grep -xF -- "$2" "$TS_WORK/$1/block" >/dev/null || ts_fail "server $1: no line \"$2\" in: $(cat "$TS_WORK/$1/block")"
}

# The README's host command line names every option of mirvold --help.
timeout 10 "$MIRVOLD" --help >"$TS_WORK/dhelp" || ts_fail "mirvold --help exited $?"
awk '/^    mirvold \[/ { on = 1 } on { print } on && !/\\$/ { exit }' "$README" >"$TS_WORK/cmdline"
for opt in $(grep -oE -- '--[a-z-]+' "$TS_WORK/dhelp" | sort -u); do
  [ "$opt" = --help ] && continue
  grep -F -- "[$opt" "$TS_WORK/cmdline" >/dev/null ||
    ts_fail "the README's host command line lacks $opt: $(cat "$TS_WORK/cmdline")"
done

mkdir -p "$TS_WORK/bin"
ln -s "$MIRVOLCTL" "$TS_WORK/bin/mirvolctl"
KIB=$((16 << 10))
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_images "$s" 3 $((KIB << 10))
done

run_block b standby
expect b "io=open nw=open mount=close"
run_block a active
expect a "io=open nw=open mount=open"
wait_until 20 test "$(stat -c %s "$(ts_mnt a)/NMP3")" -eq $((KIB << 10)) || ts_fail "NMP3 has not the README's size"

run_block a check
expect a "  ports:       io=open nw=open mount=open"
expect a "  mirror:      mirroring"
expect a "  network 1:   $(ts_self a 1) -> $(ts_self b 1) USING"
# The standby's heartbeat found no active while it was set up alone and
# closed its N/W port; its next cycle reaches the active and opens it again.
b_port_open() {
  run_block b check
  grep -xF -- "  ports:       io=open nw=open mount=close" "$TS_WORK/b/block" >/dev/null
}
wait_until 60 b_port_open || expect b "  ports:       io=open nw=open mount=close"

# write_at MIB: one MiB of fresh data through the active's mirror device.
write_at() {
  head -c $((1 << 20)) /dev/urandom >"$TS_WORK/chunk"
  timeout 60 dd if="$TS_WORK/chunk" of="$(ts_mnt a)/NMP3" bs=1M seek="$1" conv=notrunc,fsync status=none ||
    ts_fail "writing MiB $1 through the active's NMP3"
}
standby_has() { cmp -s -i 0:$(($1 << 20)) -n $((1 << 20)) "$TS_WORK/chunk" "$(ts_dp b 3)"; }

write_at 1
wait_until 30 standby_has 1 || ts_fail "a write on the active did not reach the standby's Data Partition"

run_block a break
expect a "io=open nw=close mount=open"
expect a "  mirror:      broken (the N/W port is closed: writes only mark the bitmap)"
write_at 2
standby_has 2 && ts_fail "a write with the mirror broken reached the standby"

run_block a heal
expect a "io=open nw=open mount=open"
# The recovery copied what the break left in the bitmap: the MiB written
# while it was broken is now on the standby too.
expect a "status=STATUS_OK (0x800000)"
expect a "bits_left=0"
expect a "  bits set:    0, covering 0 bytes"
expect a "  mirror:      mirroring"
standby_has 2 || ts_fail "the recovery did not bring the write made while broken to the standby"
write_at 3
wait_until 30 standby_has 3 || ts_fail "a write after the heal did not reach the standby"

ts_stop a
ts_stop b
echo "PASS: the README's lines by hand"
