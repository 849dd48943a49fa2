#!/usr/bin/env bash
# Asynchronous mirroring between two servers, with a small send queue that
# spills into history files.
#   async_mirror_test.sh MIRVOLD MIRVOLCTL netns|loopback spill|limit|crash|dir
# spill: 1000 writes of 4 KiB to 128 KiB while the standby's host is held
#        by SIGSTOP: history files appear, each holding the bytes of the
#        write its journal record names. Once the standby runs again every
#        file is read back and deleted, the journal empties, the two Data
#        Partitions are the same and neither bitmap holds a bit.
# limit: the same with a history file limit of 1 MiB: the spill that would
#        pass it fails, the mirror breaks, and every granule in which the
#        standby's copy differs is in the active's bitmap or its journal.
# crash: the active's host is killed with records in its journal; started
#        again on the same images, command 85 turns the journal into bitmap
#        bits: exactly the records' granules, which cover every write made
#        while the standby was held, and none of those mirrored before.
# dir:   a device whose history directory lies on a file system mounted
#        from a mirror device is refused at creation; one beside it is not.
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
CASE=$4
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

RING_MIB=4
LIMIT_MIB=512
[ "$CASE" = limit ] && LIMIT_MIB=1
ms_async_history "$RING_MIB" "$LIMIT_MIB" 4
# Nothing may time out while the standby is held: a blocked send gives up
# after 100 clock seconds, 50 s of real time with the clock at twice the
# real rate.
MS_SCALE=2
MS_ACK_TIMEOUT=600
MS_SEND_TIMEOUT=100
hist=$TS_WORK/hist
ts_log_has() { grep -F -- "$2" "$(ts_log "$1")" >/dev/null; }
files_of_a() { find "$hist/a/3" -name '*.dat' 2>/dev/null | wc -l; }
journal_of_a() { $MS_TOOL journal "$(ts_cp a 3)" "$RING_MIB"; }
none_left() { [ "$(files_of_a)" -eq 0 ] && [ -z "$(journal_of_a)" ]; }
hold_b() { kill -STOP "${TS_PID[b]}"; }
# On failure the standby must not stay stopped under the cleanup.
trap 'ms_release_b; ts_cleanup' EXIT

empty=$TS_WORK/none
: >"$empty"
p1=$TS_WORK/writes1
p2=$TS_WORK/writes2
: >"$p1"
: >"$p2"

case $CASE in
spill)
  ms_pair "$MODE"
  ms_write a "$p1" 51 50 --min-sectors 8 --max-sectors 256
  ms_quiesce
  hold_b
  ms_write a "$p2" 52 1000 --min-sectors 8 --max-sectors 256
  [ "$(wc -l <"$p2")" -eq 1000 ] || ts_fail "not every write returned"
  [ "$(files_of_a)" -gt 0 ] || ts_fail "no history file while the standby is held"
  checked=$($MS_TOOL spilled "$hist/a/3" "$(ts_cp a 3)" "$RING_MIB" "$p1" "$p2") ||
    ts_fail "a history file does not hold its write: $checked"
  [ "$checked" -gt 0 ] || ts_fail "no history file could be checked"
  ms_release_b
  wait_until 120 none_left ||
    ts_fail "$(files_of_a) history files and $(journal_of_a | wc -l) journal records left"
  ms_quiesce
  ms_expect_model b "$p1" "$p2"
  ts_stop a
  ts_stop b
  ms_expect_bits a "$empty"
  ms_expect_bits b "$empty"
  ;;
limit)
  ms_pair "$MODE"
  hold_b
  ms_write a "$p1" 61 300 --min-sectors 8 --max-sectors 256
  ts_log_has a "failed to write a history file. (overflow)" ||
    ts_fail "no spill passed the limit"
  ms_release_b
  ts_stop a
  ts_stop b
  # What the standby lacks is in the active's bitmap or still journalled.
  $MS_TOOL differ "$(ts_dp a 3)" "$(ts_dp b 3)" "$MS_GRANULE" >"$TS_WORK/differ"
  [ -s "$TS_WORK/differ" ] || ts_fail "the standby got every write although the mirror broke"
  journal_of_a | awk -v g="$MS_GRANULE" '{ for (s = int($2 / g); s <= int(($2 + $3 - 1) / g); s++) print s }' >"$TS_WORK/journal"
  missing=$(comm -23 <(sort -u "$TS_WORK/differ") <(cat "$TS_WORK/journal" <(ms_bits a) | sort -u) |
    sed -n 1,5p | tr '\n' ' ')
  [ -z "$missing" ] || ts_fail "granules the standby lacks without a bit or a record: $missing"
  ;;
crash)
  ms_pair "$MODE"
  ms_write a "$p1" 71 100 --min-sectors 8 --max-sectors 256
  ms_quiesce
  hold_b
  ms_write a "$p2" 72 200 --min-sectors 8 --max-sectors 256
  journal_of_a >"$TS_WORK/records"
  [ -s "$TS_WORK/records" ] || ts_fail "no record in the journal while the standby is held"
  ts_kill a
  ms_release_b
  journal_of_a >"$TS_WORK/records"
  awk -v g="$MS_GRANULE" '{ for (s = int($2 / g); s <= int(($2 + $3 - 1) / g); s++) print s }' \
    "$TS_WORK/records" | sort -n | uniq >"$TS_WORK/want"
  # The same images, a new host.
  ts_start a --time-scale "$MS_SCALE" nmp_minor=3
  ts_driver_init a interval="$MS_INTERVAL"
  ms_create a 3 "$MS_A_ACK2_PORT" mode=async ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout=10 bmp_size_in_sec="$MS_GRANULE"
  ts_set_size a 3 "$MS_KIB" granule="$MS_GRANULE"
  # The journal is converted with the device's threads stopped (command 72),
  # as a cluster service does before it looks at what the peer lacks.
  [ "$(ms_status_of a 72)" = "$MS_OK_WORD" ] || ts_fail "command 72: $(cat "$TS_WORK/a/answer")"
  [ "$(ms_status_of a 85)" = "$MS_OK_WORD" ] || ts_fail "command 85: $(cat "$TS_WORK/a/answer")"
  ts_log_has a "NMP3 history info has been converted." || ts_fail "no conversion logged"
  [ -z "$(journal_of_a)" ] || ts_fail "records left after command 85"
  ms_expect_bits a "$TS_WORK/want"
  ms_granules "$p2" >"$TS_WORK/held"
  ms_expect_covered a "$TS_WORK/held"
  comm -23 <(ms_granules "$p1" | sort) <(ms_granules "$p2" | sort) >"$TS_WORK/before"
  spurious=$(comm -12 <(ms_bits a | sort) "$TS_WORK/before" | sed -n 1,5p | tr '\n' ' ')
  [ -z "$spurious" ] || ts_fail "bits for writes acknowledged before the crash: $spurious"
  [ "$(ms_status_of a 85)" = "$MS_OK_WORD" ] || ts_fail "a second command 85"
  ;;
dir)
  command -v mkfs.ext4 >/dev/null || ts_skip "needs e2fsprogs"
  ts_require_root
  ts_place "$MODE" 1
  ts_start a --time-scale "$MS_SCALE" nmp_minor=3,5
  ts_driver_init a interval="$MS_INTERVAL"
  ts_images a 3 "$MS_SIZE"
  ts_images a 5 $((1 << 20))
  MS_HIST_FIELDS=()
  ts_create a 3 mode=sync
  ts_ports_active a 3
  ts_set_size a 3 "$MS_KIB" granule="$MS_GRANULE"
  timeout 300 mkfs.ext4 -q -F "$(ts_mnt a)/NMP3" || ts_fail "mkfs.ext4 on the mirror device"
  fs=$TS_WORK/fs
  mkdir -p "$fs"
  ts_loop_mount rw "$(ts_mnt a)/NMP3" "$fs" || ts_fail "loop mount of the mirror device"
  TS_MOUNTS+=("$fs")
  mkdir -p "$fs/hist"
  ts_ctl a NMP5 init cp="$(ts_cp a 5)" dp="$(ts_dp a 5)" mode=async history_size=1 \
    "history_dir=$fs/hist" net="$(ts_self a 1)" port="$(ts_port 5 0)" >/dev/null
  grep "^status=STATUS_OK" "$TS_WORK/a/answer" >/dev/null &&
    ts_fail "a history directory on a mirror device was accepted"
  ts_log_has a "NMP5 history_dir ($fs/hist/5) is invalid. (on a mirror device)" ||
    ts_fail "no refusal logged"
  [ ! -e "$fs/hist/5" ] || ts_fail "the refused device made its directory"
  ts_ctl_ok a NMP5 init cp="$(ts_cp a 5)" dp="$(ts_dp a 5)" mode=async history_size=1 \
    "history_dir=$hist/a" net="$(ts_self a 1)" port="$(ts_port 5 0)"
  [ -d "$hist/a/5" ] || ts_fail "no history directory for the accepted device"
  timeout 60 umount "$fs" || ts_fail "umount"
  ;;
*) ts_fail "async_mirror_test.sh: spill, limit, crash or dir, not $CASE" ;;
esac
echo "PASS: asynchronous mirroring, $CASE ($MODE)"
