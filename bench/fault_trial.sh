#!/usr/bin/env bash
# One trial of the fault campaign (bench/fault_campaign.sh runs it): two
# servers in network namespaces joined by two mirror networks mirror NMP3
# in MODE while WORKLOAD runs on the active; at a random moment FAULT
# strikes and is undone. Then the oracle:
#   - every write the workload saw acknowledged is on the active's Data
#     Partition (random: the logged writes replayed; ext4: the files as they
#     were after the last sync, and e2fsck clean);
#   - every granule in which the two Data Partitions differ has its bit in
#     the active's bitmap or, in asynchronous mode, lies in a record of the
#     active's journal (which command 85 turns into bits);
# and the heal: the journal drains (or is converted), command 10 copies
# every set bit, and the two Data Partitions are byte-identical (and e2fsck
# clean for ext4). Every step is bounded. The last line of the output is
#   RESULT <mode> <workload> <fault> <lost> <unmarked> <heal ok|failed> <hang 0|1> <detect s|->
# lost: granules of acknowledged writes missing on the active;
# unmarked: differing granules with no bit and no record.
#   fault_trial.sh MIRVOLD MIRVOLCTL sync|async random|ext4 FAULT SEED [MIRVOLD_FAULTS]
# FAULT: kill_standby kill_active stop_standby cut_hard_one cut_silent_one
#        cut_hard_both cut_silent_both flap cp_error dp_error
#   kill_active: the active killed and a new host started on its images
#     (random writes only: a file system on a killed host has nothing to
#     compare); the write under way at the kill is no acknowledged write.
#   flap: one network or both cut (hard or silent) and restored after a
#     fraction of a second, writes in flight.
#   cp_error: the active's Cluster Partition fails its time-record writes
#     (the disk-error action: a reset request, the host running on) while
#     both networks are cut, so the mirror break's records fail.
#   dp_error: the standby's Data Partition fails its writes for a while
#     (the disk-error action: a mirror break); the active must mark them.
#   Both error kinds need MIRVOLD_FAULTS (tests/host/mirvold_faults).
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
WORKLOAD=$4
FAULT=$5
SEED=$6
MIRVOLD_FAULTS=${7:-}
TS=$(cd "$(dirname "$0")/../tests/twoserver" && pwd)
. "$TS/lib.sh"
[ "$WORKLOAD" = ext4 ] && { command -v mkfs.ext4 >/dev/null && command -v e2fsck >/dev/null || ts_skip "needs e2fsprogs"; }
[ "$FAULT" = kill_active ] && [ "$WORKLOAD" = ext4 ] && ts_skip "kill_active runs random writes only"
case $FAULT in
cp_error | dp_error)
  [ -n "$MIRVOLD_FAULTS" ] && [ -x "$MIRVOLD_FAULTS" ] || ts_skip "$FAULT needs the fault host"
  # The fault host adds the write fault written to its trigger file.
  fault_side=b
  [ "$FAULT" = cp_error ] && fault_side=a
  TS_HOST[$fault_side]="env MIRVOL_FIXTURE_WRITE_FAULT_FILE=$TS_WORK/fault.trigger $MIRVOLD_FAULTS"
  ;;
esac
MS_KIB=$((32 << 10))
MS_NETS=2
MS_MODE=$MODE
RING_MIB=4
. "$TS/mirror_lib.sh"
. "$TS/recovery_lib.sh"
[ "$MODE" = async ] && ms_async_history "$RING_MIB" 512 4
RANDOM=$SEED

lost=0 unmarked=0 heal=ok hang=0 detect=-
result() { echo "RESULT $MODE $WORKLOAD $FAULT $lost $unmarked $heal $hang $detect"; }
# A step that ran out of its time: the trial ends as a hang.
hung() {
  echo "trial: $* did not end in time" >&2
  hang=1
  heal=failed
  result
  exit 0
}
trap 'ms_release_b; ts_cleanup' EXIT

nw_closed() { [ "$(ts_nw_port a)" = 0 ]; }
journal_of_a() { $MS_TOOL journal "$(ts_cp a 3)" "$RING_MIB"; }
journal_empty() { [ -z "$(journal_of_a)" ]; }
net_back() {
  awk 'NR > 3 && NF == 10 { print $1 }' "$(ts_mnt a)/proc/mirvolinner" | grep -v '^2$' >/dev/null
}
now() { date +%s.%N; }
step() { echo "step: $* (${SECONDS}s)" >&2; }

ms_pair netns
dev=$(ts_mnt a)/NMP3
fs=$TS_WORK/fs
log=$TS_WORK/writes
pending=$TS_WORK/pending
: >"$log"
: >"$pending"
# The disk-error actions (command 21): the Cluster Partition's reset
# request, the data partition's mirror break; both keep the host running.
if [ -n "${fault_side:-}" ]; then
  ts_ctl "$fault_side" raw NMP3 21 --size 16 --in "00000000010000000000000002000000" >/dev/null
  [ "$(rc_record "$fault_side" | cut -c1-8)" = "$RC_OK" ] ||
    ts_fail "command 21: $(cat "$TS_WORK/$fault_side/answer")"
fi
mkdir -p "$fs"

# --- the workload, in the background ---
case $WORKLOAD in
random)
  # Each write fsynced before the next is logged: the log is what was
  # acknowledged. The writes last past the latest moment of the fault.
  timeout 300 $MS_TOOL write "$dev" "$MS_SIZE" "$SEED" 1500 "$log" --min-sectors 1 \
    --max-sectors 128 --hot 30 --fsync-each --pending "$pending" >"$TS_WORK/workload.out" 2>&1 &
  ;;
ext4)
  timeout 120 mkfs.ext4 -q -F "$dev" || ts_fail "mkfs.ext4 on the mirror device"
  ts_loop_mount rw "$dev" "$fs" || ts_fail "loop mount of the mirror device"
  TS_MOUNTS+=("$fs")
  (
    set -e
    mkdir -p "$fs/d1" "$fs/d2"
    for i in $(seq 1 80); do
      head -c $(((i * 37 % 300 + 1) << 10)) /dev/urandom >"$fs/d$((i % 2 + 1))/f$i"
      if [ $((i % 3)) = 0 ]; then mv "$fs/d$((i % 2 + 1))/f$i" "$fs/d$(((i + 1) % 2 + 1))/r$i"; fi
      if [ $((i % 5)) = 0 ] && [ -e "$fs/d1/f$((i - 3))" ]; then rm -f "$fs/d1/f$((i - 3))"; fi
      if [ $((i % 4)) = 0 ]; then sync -f "$fs"; fi
    done
    sync -f "$fs"
  ) >"$TS_WORK/workload.out" 2>&1 &
  ;;
*) ts_fail "no workload $WORKLOAD" ;;
esac
work=$!

# --- the fault, at a random moment ---
step "fault"
sleep "$((RANDOM % 3)).$((RANDOM % 10))"
# Detection: the active logs a mirror break or closes its N/W port; a
# watcher started at the fault notes when.
breaks() { grep -c -e "mirror break" -e "N/W port closed" "$(ts_log a)" || true; }
before=$(breaks)
t0=$(now)
(
  end=$((SECONDS + 120))
  while [ "$SECONDS" -lt "$end" ]; do
    if [ "$(breaks)" -gt "$before" ]; then
      awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }' >"$TS_WORK/detected"
      exit 0
    fi
    sleep 0.05
  done
) &
watcher=$!
restart_b=0
case $FAULT in
kill_standby)
  ts_kill b
  restart_b=1
  ;;
kill_active)
  ts_kill a
  # The application goes with the host; what it saw acknowledged is logged.
  wait "$work" || true
  ms_restart a active
  ;;
stop_standby)
  kill -STOP "${TS_PID[b]}"
  sleep "$((2 + RANDOM % 4))"
  kill -CONT "${TS_PID[b]}"
  ;;
cut_hard_one | cut_silent_one | cut_hard_both | cut_silent_both)
  how=${FAULT#cut_}
  how=${how%_*}
  nets=1
  [ "${FAULT##*_}" = both ] && nets="1 2"
  for n in $nets; do ts_cut a "$n" "$how"; done
  sleep "$((2 + RANDOM % 4))"
  for n in $nets; do ts_heal a "$n"; done
  ;;
flap)
  how=hard
  [ $((RANDOM % 2)) = 0 ] || how=silent
  nets=1
  [ $((RANDOM % 2)) = 0 ] || nets="1 2"
  echo "trial: flap of network(s) $nets ($how)" >&2
  for n in $nets; do ts_cut a "$n" "$how"; done
  sleep "0.$((1 + RANDOM % 9))"
  for n in $nets; do ts_heal a "$n"; done
  ;;
cp_error)
  # The disconnect, last-update and mirror-break records fail their next
  # writes; the cut makes the active write them.
  echo "$(ts_cp a 3),16,3,16" >"$TS_WORK/fault.trigger"
  wait_until 10 grep -F "write fault added" "$TS_WORK/a/out" >/dev/null || ts_fail "the fault host added no fault"
  for n in 1 2; do ts_cut a "$n" hard; done
  sleep "$((2 + RANDOM % 4))"
  for n in 1 2; do ts_heal a "$n"; done
  ;;
dp_error)
  # The standby's next writes of received data fail, wherever they fall.
  echo "$(ts_dp b 3),0,$((MS_SIZE / 512)),$((4 + RANDOM % 30))" >"$TS_WORK/fault.trigger"
  wait_until 10 grep -F "write fault added" "$TS_WORK/b/out" >/dev/null || ts_fail "the fault host added no fault"
  ;;
*) ts_fail "no fault $FAULT" ;;
esac

rc=0
wait "$work" || rc=$?
[ "$FAULT" != kill_active ] || rc=0
[ "$rc" -ne 124 ] || hung "the workload"
[ "$rc" -eq 0 ] || ts_fail "the workload failed ($rc): $(tail -n 5 "$TS_WORK/workload.out")"
# A fault that breaks the mirror is seen; a cut of one of the two
# networks need not be (the other carries on).
case $FAULT in
*_one | flap | kill_active) kill "$watcher" 2>/dev/null || true ;;
*) wait_until 30 test -s "$TS_WORK/detected" || true ;;
esac
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
[ -s "$TS_WORK/detected" ] && detect=$(cat "$TS_WORK/detected")
if [ -n "${fault_side:-}" ]; then
  echo "trial: disk errors on $fault_side: $(grep -c "disk I/O error" "$(ts_log "$fault_side")" || true)" >&2
fi
[ "$FAULT" != kill_active ] || echo "trial: $(wc -l <"$log") writes acknowledged before the kill" >&2

# --- the oracle: acknowledged writes on the active ---
step "oracle: acknowledged writes"
case $WORKLOAD in
random)
  model=$TS_WORK/model.img
  $MS_TOOL model "$MS_SIZE" "$model" "$log" || ts_fail "building the expected image"
  # The write under way at a kill of the active was not acknowledged: its
  # granules may hold old data, new data or both.
  if [ "$FAULT" = kill_active ] && [ -s "$pending" ]; then ms_granules "$pending" >"$TS_WORK/pending.g"; else : >"$TS_WORK/pending.g"; fi
  lost=$($MS_TOOL differ "$model" "$(ts_dp a 3)" "$MS_GRANULE" | sort -u | comm -23 - <(sort -u "$TS_WORK/pending.g") | wc -l)
  rm -f "$model"
  ;;
ext4)
  sums=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
  timeout 60 umount "$fs" || hung "umount of the mirror file system"
  timeout 120 e2fsck -fn "$(ts_dp a 3)" >"$TS_WORK/fsck" 2>&1 || lost=$((lost + 1))
  ts_loop_mount ro "$(ts_dp a 3)" "$fs" || ts_fail "mounting the active's Data Partition"
  got=$(cd "$fs" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
  timeout 60 umount "$fs" || hung "umount of the active's Data Partition"
  [ "$got" = "$sums" ] || lost=$((lost + $(diff <(echo "$sums") <(echo "$got") | grep -c '^<' || true)))
  ;;
esac

# --- the oracle: every difference marked ---
step "oracle: marks"
# A standby that ran on may still be writing what it had received; what it
# writes is the active's data, so the count is taken once it is 0 or the
# standby has had its time.
unmarked_now() {
  $MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" | sort -u >"$TS_WORK/differ"
  {
    ms_bits a
    # The write under way at a kill of the active may have reached the
    # standby and not the active's own partition. The active could mark
    # nothing for it; the standby, which never got its ACK2, marks it in
    # its own bitmap once the ACK time-out has passed.
    if [ "$FAULT" = kill_active ]; then ms_bits b | sort -u | comm -12 - <(sort -u "$TS_WORK/pending.g"); fi
    if [ "$MODE" = async ]; then
      journal_of_a | awk -v g="$MS_GRANULE" '{ for (s = int($2 / g); s <= int(($2 + $3 - 1) / g); s++) print s }'
    fi
  } | sort -u >"$TS_WORK/marked"
  comm -23 "$TS_WORK/differ" "$TS_WORK/marked" | wc -l
}
none_unmarked() { unmarked=$(unmarked_now) && [ "$unmarked" -eq 0 ]; }
wait_until 30 none_unmarked || true
if [ "$unmarked" -ne 0 ]; then
  echo "trial: unmarked granules: $(comm -23 "$TS_WORK/differ" "$TS_WORK/marked" | sed -n 1,8p | tr '\n' ' ')" >&2
fi

# --- the heal ---
step "heal"
if [ "$restart_b" = 1 ]; then ms_restart b standby; fi
wait_until 90 net_back || hung "the active's networks coming back"
ts_ctl_ok a NMP3 port open io nw
if [ "$MODE" = async ] && ! wait_until 20 journal_empty; then
  # Records whose writes never reached the standby: into bits with the
  # device's threads stopped (command 72, which also forgets the
  # networks), as a cluster service does; then the active is configured
  # again on its images, a new host.
  [ "$(ms_status_of a 72)" = "$MS_OK_WORD" ] || ts_fail "command 72: $(cat "$TS_WORK/a/answer")"
  [ "$(ms_status_of a 85)" = "$MS_OK_WORD" ] || ts_fail "command 85: $(cat "$TS_WORK/a/answer")"
  journal_empty || ts_fail "records left after command 85"
  ts_kill a
  ms_restart a active
  wait_until 90 net_back || hung "the restarted active's networks coming up"
  ts_ctl_ok a NMP3 port open io nw
fi
# Command 10 over the whole bitmap. A side that has just seen the other
# come back may not have its N/W port open yet: a refused chunk is tried
# again (a bounded number of times) after both ports are opened.
heal_copy() {
  local n first last tries
  n=$(rc_nbits)
  for ((first = 0; first < n; first += 512)); do
    last=$((first + 511))
    [ "$last" -lt "$n" ] || last=$((n - 1))
    tries=0
    until [ "$(rc_copy a "$first" "$last")" = "$RC_OK" ]; do
      tries=$((tries + 1))
      [ "$tries" -lt 40 ] || return 1
      ts_ctl b NMP3 port open io nw >/dev/null
      ts_ctl a NMP3 port open io nw >/dev/null
      sleep 0.5
    done
  done
}
step "recovery"
if ! heal_copy; then
  echo "trial: command 10 kept failing: $(cat "$TS_WORK/a/answer")" >&2
  heal=failed
elif ! wait_until 60 ms_images_same; then
  echo "trial: the Data Partitions differ after the heal: $($MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" | sed -n 1,5p | tr '\n' ' ')" >&2
  heal=failed
fi
if [ "$WORKLOAD" = ext4 ] && [ "$heal" = ok ]; then
  timeout 120 e2fsck -fn "$(ts_dp b 3)" >"$TS_WORK/fsck" 2>&1 || heal=failed
fi
result
