#!/usr/bin/env bash
# The rate of a full recovery, in one run with what bounds it. Two servers
# on loopback mirror a 1 GiB device (the standby's Data Partition on a tmpfs
# of its own, so that the two copies do not share one disk); the active's
# Data Partition holds data of which half compresses well (random 4 KiB
# blocks between blocks of one repeated 16-byte word). Each repetition
# measures
#   tcp    the loopback TCP rate between the two servers' addresses
#          (build-bench/bench/loopback_tcp)
#   read   the local read rate of the active's Data Partition image
#          (dd, direct I/O, 1 MiB blocks)
#   raw    a full-bitmap recovery: every bit set (command 3), then command
#          10 over the bitmap in chunks of 64 MiB, recovery compression off
#   lzss   the same with recovery compression on (flag bit 1)
# and checks after each recovery that the two Data Partitions are the same
# and command 32 counts no bit. Each figure is the median of REPS runs; the
# table shows MB/s (10^6 bytes) and the ratios to the link and the read.
#   bash bench/recovery_bench.sh [REPS]     (as root; default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
REPS=${1:-3}
[[ $REPS =~ ^[1-9][0-9]*$ ]] || { echo "recovery_bench: REPS must be a whole number above 0" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "recovery_bench: run as root (FUSE and tmpfs mounts)" >&2; exit 1; }
SIZE_MIB=1024
bash scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMIRVOL_ATOMIC_CHECKS=OFF -DMIRVOL_BENCH=ON \
  >/dev/null
cmake --build build-bench -j "$(nproc)" --target mirvold mirvolctl loopback_tcp

MIRVOLD=$PWD/build-bench/host/mirvold
MIRVOLCTL=$PWD/build-bench/tools/mirvolctl
LOOPBACK_TCP=$PWD/build-bench/bench/loopback_tcp
. tests/twoserver/lib.sh
MS_SIZE=$((SIZE_MIB << 20))
MS_GRANULE=128  # one bitmap bit per 64 KiB
. tests/twoserver/recovery_lib.sh

# The standby's whole directory is a tmpfs sized for its images; the
# harness's clean-up unmounts everything below its work directory, and this
# one catches a tmpfs still there after it.
STANDBY_DIR=$TS_WORK/b
bench_cleanup() {
  set +e
  ts_cleanup
  if is_mounted "$STANDBY_DIR"; then
    umount -l "$STANDBY_DIR"
    rm -rf "$TS_WORK"
  fi
}
trap bench_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

RESULTS=$TS_WORK/results
mkdir -p "$RESULTS" "$STANDBY_DIR" "$TS_WORK/a"
mount -t tmpfs -o size=$((SIZE_MIB + 64))m,mode=0700 mirvol-bench-standby "$STANDBY_DIR" ||
  ts_fail "mounting the standby's tmpfs"

ts_place loopback
rc_fill_image "$(ts_dp a 3)" "$MS_SIZE" 7
dd if=/dev/zero of="$(ts_dp b 3)" bs=1M count=$SIZE_MIB status=none
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 "$MS_SIZE"
  ts_create "$s" 3 mode=sync bmp_size_in_sec="$MS_GRANULE"
done
ts_ports_standby b 3
ts_ports_active a 3
for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)) granule="$MS_GRANULE"; done

now() { date +%s.%N; }
mbs() { python3 -c "import sys; print(f'{$1 / ($3 - $2) / 1e6:.1f}')"; }

# recover NAME FLAGS REP: a full-bitmap recovery with the compression flags.
recover() {
  local name=$1 flags=$2 rep=$3 t0 t1
  ts_ctl_ok a NMP3 set-compress flags="$flags"
  rc_fill_bits a
  [ "$(rc_count a)" -eq "$(rc_nbits)" ] || ts_fail "command 32 after the fill: $(rc_count a)"
  t0=$(now)
  rc_copy_all a 1024
  t1=$(now)
  [ "$(rc_count a)" -eq 0 ] || ts_fail "$name: $(rc_count a) bits left"
  cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)" || ts_fail "$name: the Data Partitions differ after the recovery"
  mbs "$MS_SIZE" "$t0" "$t1" >"$RESULTS/$name-$rep"
}

for ((rep = 1; rep <= REPS; rep++)); do
  timeout 120 "$LOOPBACK_TCP" --from "$(ts_self a 1)" --to "$(ts_self b 1)" --seconds 5 \
    >"$RESULTS/tcp-out-$rep" || ts_fail "loopback TCP measurement"
  sed -n 's/.*rate_mbs=\([0-9.]*\).*/\1/p' "$RESULTS/tcp-out-$rep" >"$RESULTS/tcp-$rep"
  t0=$(now)
  timeout 600 dd if="$(ts_dp a 3)" of=/dev/null bs=1M iflag=direct status=none || ts_fail "dd read"
  t1=$(now)
  mbs "$MS_SIZE" "$t0" "$t1" >"$RESULTS/read-$rep"
  # The order changes from one repetition to the next, so both see the
  # machine alike.
  if ((rep % 2)); then
    recover raw 0 "$rep"
    recover lzss 2 "$rep"
  else
    recover lzss 2 "$rep"
    recover raw 0 "$rep"
  fi
done

python3 - "$RESULTS" "$REPS" "$SIZE_MIB" <<'PY'
import statistics, sys
d, reps, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def med(name):
    return statistics.median(float(open(f"{d}/{name}-{r}").read()) for r in range(1, reps + 1))
tcp, read, raw, lzss = med("tcp"), med("read"), med("raw"), med("lzss")
print(f"\nFull-bitmap recovery of a {size} MiB device on loopback (median of {reps} runs, MB/s = 10^6 B/s)")
print(f"{'measure':<34}{'MB/s':>10}{'/ tcp':>9}{'/ read':>9}")
for label, v in (("loopback TCP rate", tcp), ("local read (dd, direct)", read),
                 ("recovery, compression off", raw), ("recovery, compression on", lzss)):
    print(f"{label:<34}{v:>10.1f}{v / tcp:>9.2f}{v / read:>9.2f}")
print(f"compression on / off: {lzss / raw:.2f}")
PY
ts_stop a
ts_stop b
