#!/usr/bin/env bash
# Recovery between two servers under writes. The active's Data Partition
# starts with data (random blocks between compressible ones), the standby's
# is zero, and every bitmap bit is set on both sides (command 3). Command 10
# then copies the whole bitmap in chunks while a writer does random,
# overlapping, same-sector-heavy writes through the active's mirror device;
# once the writer is done a second pass copies whatever is left. In the end
# the two Data Partitions are the same byte for byte and command 32 counts
# no bit on either side.
#   recovery_test.sh MIRVOLD MIRVOLCTL netns|loopback GRANULE raw|compress [sync|async]
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
GRANULE=$4
COMPRESS=$5
SYNC=${6:-sync}
HERE=$(dirname "$0")
. "$HERE/lib.sh"
MS_KIB=$((16 << 10))
MS_GRANULE=$GRANULE
# The standby puts a write whose ACK2 comes after this time-out into its own
# bitmap, where no copy from the active clears it; under load an ACK2 can
# come seconds late, so the test leaves the time-out out of its way.
MS_ACK_TIMEOUT=600
. "$HERE/mirror_lib.sh"
. "$HERE/recovery_lib.sh"
[ "$SYNC" = async ] && ms_async_history 8 1024 16

mkdir -p "$TS_WORK/a"
rc_fill_image "$(ts_dp a 3)" "$MS_SIZE" 5
ms_pair "$MODE"
if [ "$COMPRESS" = compress ]; then
  for s in a b; do ts_ctl_ok "$s" NMP3 set-compress flags=2; done
fi
for s in a b; do rc_fill_bits "$s"; done
nbits=$(rc_nbits)
[ "$(rc_count a)" -eq "$nbits" ] || ts_fail "command 32 on a: $(rc_count a) of $nbits bits after the fill"

log=$TS_WORK/writes
: >"$log"
timeout 300 $MS_TOOL write "$(ts_mnt a)/NMP3" "$MS_SIZE" 31 600 "$log" --max-sectors 64 --hot 200 \
  >"$TS_WORK/writer.out" 2>&1 &
writer=$!
# Chunks of 1 MiB of the device, so that writes meet every state of a copy.
# Passes over the whole bitmap go on while the writer runs (a copy sends its
# range whether the bits are still set or not).
chunk=$((2048 / GRANULE))
writing() { [ -s "$log" ] || ! kill -0 "$writer" 2>/dev/null; }
wait_until 60 writing || ts_fail "the writer did not start"
passes=0
while [ "$passes" -eq 0 ] || kill -0 "$writer" 2>/dev/null; do
  rc_copy_all a "$chunk"
  passes=$((passes + 1))
done
wait "$writer" || ts_fail "the writer: $(cat "$TS_WORK/writer.out")"
[ "$(wc -l <"$log")" -eq 600 ] || ts_fail "not every write returned"
# What the writes may have left (a write given up into the bitmap).
rc_copy_all a "$chunk"

ms_quiesce
ms_images_same || ts_fail "the Data Partitions differ"
[ "$(rc_count a)" -eq 0 ] || ts_fail "command 32 on a: $(rc_count a) bits left"
wait_until 30 rc_none_left b || ts_fail "command 32 on b: $(rc_count b) bits left"
ts_stop a
ts_stop b
echo "PASS: recovery under writes in $passes passes, granule $GRANULE, $COMPRESS, $SYNC ($MODE)"
