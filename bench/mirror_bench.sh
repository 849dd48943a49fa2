#!/usr/bin/env bash
# Synchronous mirroring against the local Data Partition alone, in one run.
# Two servers on loopback mirror a device in synchronous mode; fio writes
# the same jobs once to the active's Data Partition image directly and once
# through the active's mirror device, and the table shows MB/s, IOPS, mean
# and 99th-percentile completion latency of each, and mirrored/local.
#   bash bench/mirror_bench.sh [SECONDS_PER_JOB]     (as root; default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNTIME=${1:-10}
bash scripts/setup.sh # fio among the packages
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMIRVOL_ATOMIC_CHECKS=OFF -DMIRVOL_BENCH=OFF \
  >/dev/null
cmake --build build-bench -j "$(nproc)" --target mirvold mirvolctl

MIRVOLD=$PWD/build-bench/host/mirvold
MIRVOLCTL=$PWD/build-bench/tools/mirvolctl
. tests/twoserver/lib.sh
[ "$(id -u)" -eq 0 ] || { echo "mirror_bench: run as root (FUSE mounts)" >&2; exit 1; }

SIZE_MIB=1024
ts_place loopback
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((SIZE_MIB << 20))
  # Written out in full, so that neither run pays for allocating the file.
  dd if=/dev/zero of="$(ts_dp "$s" 3)" bs=1M count=$SIZE_MIB conv=fsync status=none
  ts_create "$s" 3 mode=sync
done
ts_ports_standby b 3
ts_ports_active a 3
for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)); done

# job NAME RW BS DEPTH TARGET: one fio job as JSON in $TS_WORK/NAME.json.
job() {
  local name=$1 rw=$2 bs=$3 depth=$4 target=$5
  timeout $((RUNTIME + 120)) fio --name="$name" --filename="$target" --rw="$rw" --bs="$bs" \
    --iodepth="$depth" --ioengine=libaio --direct=1 --size=$((SIZE_MIB / 2))M --time_based \
    --runtime="$RUNTIME" --randseed=1 --output-format=json --output="$TS_WORK/$name.json" \
    >/dev/null || ts_fail "fio $name on $target"
}
jobs=("seq-1m-qd1 write 1M 1" "seq-1m-qd16 write 1M 16" "rand-4k-qd1 randwrite 4k 1"
      "rand-4k-qd16 randwrite 4k 16")
for j in "${jobs[@]}"; do
  read -r name rw bs depth <<<"$j"
  job "local-$name" "$rw" "$bs" "$depth" "$(ts_dp a 3)"
  job "mirror-$name" "$rw" "$bs" "$depth" "$(ts_mnt a)/NMP3"
done
ts_stop a
ts_stop b

python3 - "$TS_WORK" "${jobs[@]}" <<'PY'
import json, sys
work, jobs = sys.argv[1], [j.split()[0] for j in sys.argv[2:]]
def stats(name):
    w = json.load(open(f"{work}/{name}.json"))["jobs"][0]["write"]
    return (w["bw_bytes"] / 1e6, w["iops"], w["clat_ns"]["mean"] / 1e3,
            w["clat_ns"]["percentile"]["99.000000"] / 1e3)
print(f"{'job':<14}{'target':<8}{'MB/s':>10}{'IOPS':>10}{'mean us':>11}{'p99 us':>11}")
for j in jobs:
    l, m = stats("local-" + j), stats("mirror-" + j)
    for target, s in (("local", l), ("mirror", m)):
        print(f"{j:<14}{target:<8}{s[0]:>10.1f}{s[1]:>10.0f}{s[2]:>11.0f}{s[3]:>11.0f}")
    r = [m[i] / l[i] if l[i] else float("nan") for i in range(4)]
    print(f"{j:<14}{'ratio':<8}{r[0]:>10.2f}{r[1]:>10.2f}{r[2]:>11.2f}{r[3]:>11.2f}")
PY
