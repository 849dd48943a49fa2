#!/usr/bin/env bash
# The fault campaign: N randomized trials of bench/fault_trial.sh, each a
# mirror of two servers (synchronous or asynchronous) under a workload
# (random writes with a log of what was acknowledged, or ext4 files written,
# renamed and deleted) struck by one fault at a random moment, then checked
# and healed. Prints one line per trial and the table:
#   fault kind | trials | acknowledged writes lost | unmarked differing
#   granules | heals failed | hangs | time from fault to detection
# and exits 1 unless the four middle columns are all 0.
#
#   bench/fault_campaign.sh [N] [--seed S] [--build plain|asan|tsan]
#                           [--mirvold PATH] [--mirvolctl PATH]
#                           [--mirvold-faults PATH]
#
# N defaults to 10; the binaries default to build/host/mirvold,
# build/tools/mirvolctl and build/tests/host/mirvold_faults (the host whose
# partition writes can be made to fail, for the disk-error kinds). The same seed picks the same trials. --build names
# the build the binaries come from: under asan or tsan the campaign is
# skipped (exit 77), its trials being too slow there. Needs root,
# /dev/fuse, network namespaces, python3 and e2fsprogs.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
n=10 seed=1 build=plain
mirvold=$ROOT/build/host/mirvold
mirvolctl=$ROOT/build/tools/mirvolctl
mirvold_faults=$ROOT/build/tests/host/mirvold_faults
while [ $# -gt 0 ]; do
  case $1 in
  --seed) seed=$2; shift 2 ;;
  --build) build=$2; shift 2 ;;
  --mirvold) mirvold=$2; shift 2 ;;
  --mirvolctl) mirvolctl=$2; shift 2 ;;
  --mirvold-faults) mirvold_faults=$2; shift 2 ;;
  [0-9]*) n=$1; shift ;;
  *) echo "usage: $0 [N] [--seed S] [--build KIND] [--mirvold PATH] [--mirvolctl PATH] [--mirvold-faults PATH]" >&2; exit 2 ;;
  esac
done
if [ "$build" != plain ]; then
  echo "fault_campaign: skipped in the $build build (too slow under the sanitizers)"
  exit 77
fi
[ -x "$mirvold" ] && [ -x "$mirvolctl" ] || { echo "fault_campaign: build mirvold and mirvolctl first" >&2; exit 2; }

FAULTS=(kill_standby kill_active stop_standby cut_hard_one cut_silent_one cut_hard_both cut_silent_both
  flap cp_error dp_error)
MODES=(sync async)
WORKLOADS=(random ext4)
declare -A trials=() lost=() unmarked=() failed=() hangs=() detect_sum=() detect_n=()
for f in "${FAULTS[@]}"; do
  trials[$f]=0 lost[$f]=0 unmarked[$f]=0 failed[$f]=0 hangs[$f]=0 detect_sum[$f]=0 detect_n[$f]=0
done

RANDOM=$seed
skipped=0
out=$(mktemp /tmp/mirvol-campaign.XXXXXX)
trap 'rm -f "$out"' EXIT
for ((t = 1; t <= n; t++)); do
  # The first trials go through every fault kind once, then at random.
  if [ "$t" -le "${#FAULTS[@]}" ]; then f=${FAULTS[$((t - 1))]}; else f=${FAULTS[$((RANDOM % ${#FAULTS[@]}))]}; fi
  m=${MODES[$((RANDOM % 2))]}
  w=${WORKLOADS[$((RANDOM % 2))]}
  # A file system on a killed host leaves nothing to compare.
  [ "$f" != kill_active ] || w=random
  s=$((RANDOM * 32768 + RANDOM))
  rc=0
  # Each trial in a mount namespace of its own: no other process's namespace
  # can then hold its file system after its umount.
  timeout 900 bash "$ROOT/tests/shell/own_mount_ns.sh" "$HERE/fault_trial.sh" "$mirvold" "$mirvolctl" "$m" "$w" "$f" "$s" "$mirvold_faults" >"$out" 2>&1 || rc=$?
  line=$(sed -n 's/^RESULT //p' "$out" | tail -n 1)
  if [ "$rc" -eq 77 ]; then
    echo "trial $t: skipped: $(tail -n 1 "$out")"
    skipped=$((skipped + 1))
    continue
  fi
  trials[$f]=$((trials[$f] + 1))
  if [ -z "$line" ]; then
    # Ended without a result: a failed step (or the trial's own time-out).
    if [ "$rc" -eq 124 ]; then hangs[$f]=$((hangs[$f] + 1)); fi
    failed[$f]=$((failed[$f] + 1))
    echo "trial $t: $m $w $f seed $s: no result (exit $rc):"
    sed -n '/FAIL\|trial:/,$p' "$out" | sed -n 1,40p
    continue
  fi
  read -r _ _ _ l u h hg d <<<"$line"
  lost[$f]=$((lost[$f] + l))
  unmarked[$f]=$((unmarked[$f] + u))
  [ "$h" = ok ] || failed[$f]=$((failed[$f] + 1))
  hangs[$f]=$((hangs[$f] + hg))
  if [ "$d" != - ]; then
    detect_sum[$f]=$(awk -v a="${detect_sum[$f]}" -v b="$d" 'BEGIN { print a + b }')
    detect_n[$f]=$((detect_n[$f] + 1))
  fi
  echo "trial $t: $m $w $f seed $s: lost $l unmarked $u heal $h hang $hg detect ${d}s"
  if [ "$l" != 0 ] || [ "$u" != 0 ] || [ "$h" != ok ] || [ "$hg" != 0 ]; then
    grep 'trial:' "$out" | sed -n 1,10p
  fi
done

bad=0
printf '\n%-16s %6s %5s %9s %7s %5s %9s\n' "fault" trials lost unmarked "heals" hangs "detect_s"
printf '%-16s %6s %5s %9s %7s %5s %9s\n' "" "" "" "" failed "" "(mean)"
for f in "${FAULTS[@]}"; do
  [ "${trials[$f]}" -gt 0 ] || continue
  d=-
  [ "${detect_n[$f]}" -eq 0 ] || d=$(awk -v a="${detect_sum[$f]}" -v b="${detect_n[$f]}" 'BEGIN { printf "%.1f", a / b }')
  printf '%-16s %6d %5d %9d %7d %5d %9s\n' "$f" "${trials[$f]}" "${lost[$f]}" "${unmarked[$f]}" \
    "${failed[$f]}" "${hangs[$f]}" "$d"
  bad=$((bad + lost[$f] + unmarked[$f] + failed[$f] + hangs[$f]))
done
[ "$skipped" -eq 0 ] || echo "($skipped trials skipped)"
total=0
for f in "${FAULTS[@]}"; do total=$((total + trials[$f])); done
if [ "$total" -eq 0 ]; then
  echo "fault_campaign: every trial was skipped"
  exit 77
fi
[ "$bad" -eq 0 ]
