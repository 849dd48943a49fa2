#!/usr/bin/env bash
# Mirrored writes against local writes, in one run. Two servers on loopback
# mirror a device; the standby's Data Partition lies on a
# tmpfs of its own, so that the two copies of a write do not share one disk.
# fio runs sequential 1 MiB and random 4 KiB writes at queue depth 1 and 16
# on these targets:
#   a  local   the active's Data Partition image, written directly; run
#              once beside each of b, c and e (job by job, before it), so
#              that every ratio compares two runs under the same load of
#              the machine (its disk's rate swings by a factor of two)
#   b  broken  the active's mirror device with its N/W port closed (the local
#              write plus the difference-bitmap marking)
#   c  sync    the active's mirror device, mirrored synchronously
#   e  async   the active's mirror device, mirrored asynchronously (the pair
#              made anew in asynchronous mode, see async_jobs)
# and a program of our own measures the loopback TCP rate and round trip
# between the two servers' addresses. Each figure is the median of REPS
# repetitions; the table shows MB/s, IOPS, mean and 99th-percentile
# completion latency, the ratios to a, and whether each target is met.
# After it, for the mirror's jobs (b, c and e) of the last repetition, the
# time per I/O that each stage (thread group) of the two hosts spent, from
# the scheduler's accounting (bench/thread_stages.py): the stage whose
# busiest thread is near 100 % holds the rate back, and at queue depth 1 the
# stages' times and runs per I/O add up to the latency.
#   bash bench/mirror_bench.sh [SECONDS_PER_JOB]     (as root; default 10)
# For a focused run, MIRVOL_BENCH_JOBS names some of the jobs ("rand-4k-qd1
# seq-1m-qd16") and MIRVOL_BENCH_REPS sets the repetitions (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
RUNTIME=${1:-10}
[[ $RUNTIME =~ ^[1-9][0-9]*$ ]] || { echo "mirror_bench: SECONDS_PER_JOB must be a whole number above 0" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "mirror_bench: run as root (FUSE and tmpfs mounts)" >&2; exit 1; }
REPS=${MIRVOL_BENCH_REPS:-3}
[[ $REPS =~ ^[1-9][0-9]*$ ]] || { echo "mirror_bench: MIRVOL_BENCH_REPS must be a whole number above 0" >&2; exit 2; }
SIZE_MIB=1024
bash scripts/setup.sh # fio among the packages
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMIRVOL_ATOMIC_CHECKS=OFF -DMIRVOL_BENCH=ON \
  >/dev/null
cmake --build build-bench -j "$(nproc)" --target mirvold mirvolctl loopback_tcp

MIRVOLD=$PWD/build-bench/host/mirvold
MIRVOLCTL=$PWD/build-bench/tools/mirvolctl
LOOPBACK_TCP=$PWD/build-bench/bench/loopback_tcp
STAGES=$PWD/bench/thread_stages.py
. tests/twoserver/lib.sh

# The standby's whole directory (images, log, mount point) is a tmpfs sized
# for its images; the harness's own clean-up unmounts everything below its
# work directory, and this one catches a tmpfs that is still there after it.
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
mkdir -p "$RESULTS" "$STANDBY_DIR"
mount -t tmpfs -o size=$((SIZE_MIB + 64))m,mode=0700 mirvol-bench-standby "$STANDBY_DIR" ||
  ts_fail "mounting the standby's tmpfs"

ts_place loopback
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((SIZE_MIB << 20))
  # Written out in full, so that no run pays for allocating the file.
  dd if=/dev/zero of="$(ts_dp "$s" 3)" bs=1M count=$SIZE_MIB conv=fsync status=none
  ts_create "$s" 3 mode=sync
done
ts_ports_standby b 3
ts_ports_active a 3
for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)); done

# The active's N/W port: 1 while writes are mirrored, 0 once the mirror broke.
nw_port_of_a() {
  ts_ctl a NMP3 port get nw >/dev/null
  # "io=open nw=open mount=open": 1 while the N/W port is open, 0 once closed
  sed -n 's/.* nw=open.*/1/p; s/.* nw=close.*/0/p' "$TS_WORK/a/answer"
}
expect_nw() {
  local want=$1 why=$2 got
  got=$(nw_port_of_a)
  [ "$got" = "$want" ] || ts_fail "the active's N/W port is ${got:-unknown}, not $want, $why"
}

# job TARGET NAME RW BS DEPTH REP FILE: one fio job, as JSON in
# $RESULTS/TARGET-NAME-REP.json.
job() {
  local target=$1 name=$2 rw=$3 bs=$4 depth=$5 rep=$6 file=$7
  local stages=$RESULTS/$target-$name-$rep.stages hosts=()
  [[ $target == local* ]] || for s in a b; do [ -n "${TS_PID[$s]:-}" ] && hosts+=("$s=${TS_PID[$s]}"); done
  [ ${#hosts[@]} -eq 0 ] || python3 "$STAGES" snap "$stages-before.json" "${hosts[@]}"
  timeout $((RUNTIME + 120)) fio --name="$name" --filename="$file" --rw="$rw" --bs="$bs" \
    --iodepth="$depth" --ioengine=libaio --direct=1 --size=$((SIZE_MIB / 2))M --time_based \
    --runtime="$RUNTIME" --randseed="$rep" --output-format=json \
    --output="$RESULTS/$target-$name-$rep.json" >/dev/null || ts_fail "fio $name on $file"
  [ ${#hosts[@]} -eq 0 ] || python3 "$STAGES" snap "$stages-after.json" "${hosts[@]}"
}
all_jobs=("seq-1m-qd1 write 1M 1" "seq-1m-qd16 write 1M 16" "rand-4k-qd1 randwrite 4k 1"
          "rand-4k-qd16 randwrite 4k 16")
jobs=()
for j in "${all_jobs[@]}"; do
  if [ -z "${MIRVOL_BENCH_JOBS:-}" ] || [[ " $MIRVOL_BENCH_JOBS " == *" ${j%% *} "* ]]; then jobs+=("$j"); fi
done
[ ${#jobs[@]} -gt 0 ] || { echo "mirror_bench: MIRVOL_BENCH_JOBS names none of: ${all_jobs[*]%% *}" >&2; exit 2; }
MIRROR=$(ts_mnt a)/NMP3

# a and c, alternating job by job so that both see the same load of the
# machine, with the loopback link measured once per repetition.
TCP_SECONDS=$((RUNTIME / 2 > 0 ? RUNTIME / 2 : 1))
for ((rep = 1; rep <= REPS; rep++)); do
  timeout $((4 * TCP_SECONDS + 60)) "$LOOPBACK_TCP" --from "$(ts_self a 1)" --to "$(ts_self b 1)" \
    --seconds "$TCP_SECONDS" >"$RESULTS/tcp-$rep.txt" || ts_fail "loopback TCP measurement"
  for j in "${jobs[@]}"; do
    read -r name rw bs depth <<<"$j"
    job local "$name" "$rw" "$bs" "$depth" "$rep" "$(ts_dp a 3)"
    job sync "$name" "$rw" "$bs" "$depth" "$rep" "$MIRROR"
    # A failed send breaks the mirror; what ran after that was no mirroring.
    expect_nw 1 "so the synchronous $name run of repetition $rep was not mirrored throughout"
  done
done

# e: asynchronous mirroring. Both hosts start again and the pair is made
# anew in asynchronous mode (a device keeps its mode), with a send queue of
# 256 writes that spills into history files on the active's disk. Each run
# is followed by a wait until the send queue is empty, so that no run pays
# for the sending of the one before, and must leave the mirror unbroken.
async_queued() {
  sed -n 's/.*send request count:.*current:\([0-9]*\).*/\1/p' "$(ts_mnt a)/proc/mirvolstat"
}
async_drained() { [ "$(async_queued)" = 0 ]; }
async_jobs() {
  local s
  ts_stop a
  ts_stop b
  for s in a b; do
    ts_start "$s" nmp_minor=3
    ts_driver_init "$s"
    mkdir -p "$TS_WORK/$s/hist"
    ts_create "$s" 3 mode=async send_queue_cnt=256 history_size=8 history_file_size=4096 \
      "history_dir=$TS_WORK/$s/hist"
  done
  ts_ports_standby b 3
  ts_ports_active a 3
  for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)); done
  for ((rep = 1; rep <= REPS; rep++)); do
    for j in "${jobs[@]}"; do
      read -r name rw bs depth <<<"$j"
      job local-async "$name" "$rw" "$bs" "$depth" "$rep" "$(ts_dp a 3)"
      job async "$name" "$rw" "$bs" "$depth" "$rep" "$MIRROR"
      wait_until 600 async_drained || ts_fail "the send queue did not drain after async $name"
      expect_nw 1 "so the asynchronous $name run of repetition $rep was not mirrored throughout"
    done
  done
}
async_jobs

# b: the mirror broken by closing the active's N/W port. The standby is
# stopped as well, so that nothing can open the port again during the runs.
ts_ctl_ok a NMP3 port close nw
expect_nw 0 "after closing it"
ts_stop b
for ((rep = 1; rep <= REPS; rep++)); do
  for j in "${jobs[@]}"; do
    read -r name rw bs depth <<<"$j"
    job local-broken "$name" "$rw" "$bs" "$depth" "$rep" "$(ts_dp a 3)"
    job broken "$name" "$rw" "$bs" "$depth" "$rep" "$MIRROR"
    expect_nw 0 "so the broken-mirror $name run of repetition $rep was not a broken mirror throughout"
  done
done
ts_stop a

python3 - "$RESULTS" "$REPS" "${jobs[@]}" <<'PY'
import json, os, statistics, sys

results, reps = sys.argv[1], int(sys.argv[2])
jobs = [j.split()[0] for j in sys.argv[3:]]
targets = [("a", "local"), ("b", "broken"), ("c", "sync"), ("e", "async")]
# Each of b, c and e against the local runs made beside it.
beside = {"c": "local", "b": "local-broken", "e": "local-async"}

def one(path):
    w = json.load(open(path))["jobs"][0]["write"]
    p99 = w["clat_ns"].get("percentile", {}).get("99.000000", float("nan"))
    return (w["bw_bytes"] / 1e6, w["iops"], w["clat_ns"]["mean"] / 1e3, p99 / 1e3)

def figures(target, job):
    """Median of each figure over the repetitions; None when not measured."""
    paths = [f"{results}/{target}-{job}-{r}.json" for r in range(1, reps + 1)]
    if not all(os.path.exists(p) for p in paths):
        return None
    runs = [one(p) for p in paths]
    return tuple(statistics.median(r[i] for r in runs) for i in range(4))

def tcp():
    runs = []
    for r in range(1, reps + 1):
        kv = dict(f.split("=") for f in open(f"{results}/tcp-{r}.txt").read().split())
        runs.append((float(kv["rate_mbs"]), float(kv["rtt_mean_us"]), float(kv["rtt_p99_us"])))
    return tuple(statistics.median(r[i] for r in runs) for i in range(3))

def cell(v, fmt):
    return "n/a" if v is None or v != v else format(v, fmt)

fig = {(t, j): figures(name, j) for t, name in targets for j in jobs}
local = {(t, j): figures(beside[t], j) for t in beside for j in jobs}
print(f"Each figure is the median of {reps} runs.")
print(f"{'job':<14}{'target':<10}{'MB/s':>10}{'IOPS':>10}{'mean us':>11}{'p99 us':>11}")
for j in jobs:
    for t, name in targets:
        s = fig[(t, j)]
        vals = s if s else (None,) * 4
        print(f"{j:<14}{t + ' ' + name:<10}{cell(vals[0], '.1f'):>10}{cell(vals[1], '.0f'):>10}"
              f"{cell(vals[2], '.0f'):>11}{cell(vals[3], '.0f'):>11}")
    for t in ("c", "b", "e"):
        s, a = fig[(t, j)], local[(t, j)]
        r = [s[i] / a[i] if s and a and a[i] else None for i in range(4)]
        if t != "c":
            vals = a if a else (None,) * 4
            print(f"{j:<14}{'a beside ' + t:<10}{cell(vals[0], '.1f'):>10}{cell(vals[1], '.0f'):>10}"
                  f"{cell(vals[2], '.0f'):>11}{cell(vals[3], '.0f'):>11}")
        print(f"{j:<14}{t + '/a':<10}" + "".join(f"{cell(v, '.2f'):>{w}}" for v, w in zip(r, (10, 10, 11, 11))))

rate, rtt, rtt99 = tcp()
print(f"loopback TCP: {rate:.1f} MB/s, round trip mean {rtt:.1f} us, p99 {rtt99:.1f} us")

def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "NOT met")

def target_lines():
    def get(t, j):
        return fig.get((t, j))
    a, b, c, e = (get(t, "seq-1m-qd16") for t in "abce")
    if a and c:
        need = 0.85 * min(a[0], rate)
        yield (f"seq-1m-qd16  c >= 0.85 x min(a, TCP rate): c {c[0]:.1f} MB/s, needs {need:.1f}",
               c[0] >= need)
    a4, c4 = get("a", "rand-4k-qd16"), get("c", "rand-4k-qd16")
    if a4 and c4:
        yield f"rand-4k-qd16 c/a >= 0.5: {c4[1] / a4[1]:.2f}", c4[1] >= 0.5 * a4[1]
    a1, c1 = get("a", "rand-4k-qd1"), get("c", "rand-4k-qd1")
    if a1 and c1:
        bound = a1[2] + rtt + 100
        yield (f"rand-4k-qd1  c mean <= a mean + round trip + 100 us: {c1[2]:.0f} us, bound {bound:.0f} us",
               c1[2] <= bound)
    ab, ae = local.get(("b", "seq-1m-qd16")), local.get(("e", "seq-1m-qd16"))
    if ab and b:
        yield f"seq-1m-qd16  b/a >= 0.85: {b[0] / ab[0]:.2f}", b[0] >= 0.85 * ab[0]
    if ae and e:
        yield f"seq-1m-qd16  e/a >= 0.9: {e[0] / ae[0]:.2f}", e[0] >= 0.9 * ae[0]
    else:
        yield "seq-1m-qd16  e/a >= 0.9: not measured", None

print("targets:")
for text, ok in target_lines():
    print(f"  {verdict(ok):<8} {text}")
PY

# The stages of the mirror's jobs in the last repetition.
stages_of() {
  local target=$1 name=$2 base=$RESULTS/$1-$2-$REPS
  [ -e "$base.stages-after.json" ] || return 0
  read -r ios secs < <(python3 -c '
import json, sys
j = json.load(open(sys.argv[1]))["jobs"][0]
print(j["write"]["total_ios"], j["job_runtime"] / 1000)' "$base.json")
  echo "$name, $target (repetition $REPS, $ios writes in $secs s):"
  python3 "$STAGES" diff "$base.stages-before.json" "$base.stages-after.json" "$ios" "$secs"
}
echo "time per write in each stage (a: active host, b: standby host):"
for j in "${jobs[@]}"; do
  for t in sync async broken; do stages_of "$t" "${j%% *}"; done
done
