#!/usr/bin/env bash
# The data path of a mirror file, with the stand-in module that maps each
# disk onto an image: what is written reaches the image byte for byte,
# partial blocks are read, modified and written, requests are split by the
# queue limits into well-shaped bios, and file systems work on it.
#   data_path_test.sh MIRVOLD_FAKE
MIRVOLD=$1
. "$(dirname "$0")/lib.sh"
require_root_fuse

SIZE=$((32 << 20))
head -c $((1 << 20)) /dev/urandom >"$WORK/src"

# stat_field NAME: a counter of the stand-in module's proc/mirvolstat.
stat_field() {
  timeout 10 cat "$HOST_MNT/proc/mirvolstat" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# put OFFSET LENGTH [direct]: writes LENGTH bytes of src (from OFFSET mod 1 MiB)
# at OFFSET into the mirror file and the model, in one write.
put() {
  local off=$1 len=$2 flag=${3:-}
  local skip=$((off % (1 << 20) / 2))
  local dd_args=(bs="$len" count=1 iflag=skip_bytes skip="$skip" seek="$off" conv=notrunc status=none)
  timeout 20 dd if="$WORK/src" of="$WORK/model" oflag=seek_bytes "${dd_args[@]}"
  timeout 20 dd if="$WORK/src" of="$HOST_MNT/NMP3" oflag=seek_bytes${flag:+,$flag} "${dd_args[@]}" ||
    fail "write of $len at $off ${flag:-buffered}"
  # Read back through the host alone, at the same unaligned range.
  timeout 20 dd if="$HOST_MNT/NMP3" bs="$len" count=1 iflag=skip_bytes,direct skip="$off" status=none |
    cmp -s - <(dd if="$WORK/model" bs="$len" count=1 iflag=skip_bytes skip="$off" status=none) ||
    fail "read back of $len at $off differs"
}

# block size | max sectors | max segments (0: defaults) | largest bio expected (0: not checked)
while read -r lbs max_sectors max_segs want_max; do
  case_name="lbs$lbs-sec$max_sectors-seg$max_segs"
  truncate -s 0 "$WORK/img"
  truncate -s $SIZE "$WORK/img"
  cp "$WORK/img" "$WORK/model"
  start_host "$case_name" nmp_minor=3 fake_image="$WORK/img" fake_block_size="$lbs" \
    fake_max_sectors="$max_sectors" fake_max_segments="$max_segs"
  [ "$(timeout 10 stat -c %s "$HOST_MNT/NMP3")" -eq $SIZE ] || fail "$case_name: size"

  # Large aligned writes and reads.
  timeout 30 dd if="$WORK/src" of="$HOST_MNT/NMP3" bs=64k seek=16 conv=notrunc,fsync status=none ||
    fail "$case_name: large write"
  timeout 30 dd if="$WORK/src" of="$WORK/model" bs=64k seek=16 conv=notrunc status=none
  cmp -s "$WORK/model" "$WORK/img" || fail "$case_name: the large write did not reach the image"
  timeout 30 dd if="$HOST_MNT/NMP3" bs=64k skip=16 count=16 iflag=direct status=none |
    cmp -s - "$WORK/src" || fail "$case_name: large read differs"

  # Writes that start or end inside a block, buffered and direct.
  while read -r off len; do
    put "$off" "$len"
    put $((off + SIZE / 2)) "$len" direct
  done <<EOF
0 1
511 2
4095 2
1000 5000
8192 4096
12289 100
$((SIZE / 2 - 3)) 3
$((65536 - 100)) 300000
EOF
  cmp -s "$WORK/model" "$WORK/img" || fail "$case_name: the image differs from the model after partial writes"

  # At the end of the disk: writes find no room, reads find nothing.
  ! timeout 10 dd if=/dev/zero of="$HOST_MNT/NMP3" bs=512 count=1 seek=$((SIZE / 512)) \
    conv=notrunc status=none 2>"$WORK/err" || fail "$case_name: a write past the end succeeded"
  grep -q "No space left" "$WORK/err" || fail "$case_name: past the end: $(cat "$WORK/err")"
  n=$(timeout 10 dd if="$HOST_MNT/NMP3" bs=512 skip=$((SIZE / 512)) iflag=direct status=none | wc -c)
  [ "$n" -eq 0 ] || fail "$case_name: read $n bytes past the end"

  # Every bio was aligned, of page segments, within the limits; no empty
  # write was sent for the fsyncs.
  for f in bad_shape empty_writes errors; do
    [ "$(stat_field $f)" = 0 ] || fail "$case_name: $f=$(stat_field $f)"
  done
  if [ "$want_max" -ne 0 ]; then
    [ "$(stat_field max_bytes)" -eq "$want_max" ] ||
      fail "$case_name: largest bio $(stat_field max_bytes), expected $want_max"
  fi
  stop_host TERM
done <<'EOF'
512 0 0 0
4096 64 4 16384
512 24 0 12288
512 8 1 4096
EOF

# --- file systems: mkfs, fsck and a loop mount of the mirror file ---
truncate -s 0 "$WORK/img"
truncate -s $SIZE "$WORK/img"
start_host fs nmp_minor=3 fake_image="$WORK/img"
timeout 60 mkfs.ext4 -q -F "$HOST_MNT/NMP3" || fail "mkfs.ext4 on the mirror file"
timeout 60 e2fsck -fn "$HOST_MNT/NMP3" >"$WORK/fsck" 2>&1 || fail "e2fsck after mkfs: $(cat "$WORK/fsck")"
mkdir -p "$WORK/fsmnt"
timeout 30 mount -o loop "$HOST_MNT/NMP3" "$WORK/fsmnt" || fail "mount -o loop of the mirror file"
CLEAN_MOUNTS+=("$WORK/fsmnt")
timeout 30 cp "$WORK/src" "$WORK/fsmnt/file"
timeout 30 sync -f "$WORK/fsmnt/file"
# A mirror file held by a loop device is open: stopping is refused.
kill -TERM "$HOST_PID"
wait_until 20 log_has "not stopping on signal" || fail "stop with a loop mount was not refused"
# A mount namespace that another test makes now, from the namespace the
# tests are started in, must not hold this file system past its umount
# (the test runs in a mount namespace of its own).
nsenter --mount="/proc/$PPID/ns/mnt" -- unshare --mount sleep 300 &
CLEAN_PIDS+=($!)
wait_until 10 bash -c "[ \"\$(readlink /proc/$!/ns/mnt)\" != \"\$(readlink /proc/$PPID/ns/mnt)\" ]" ||
  fail "no mount namespace was made beside the test"
timeout 30 umount "$WORK/fsmnt" || fail "umount of the loop mount"
features=$(dumpe2fs -h "$HOST_MNT/NMP3" 2>/dev/null | sed -n 's/^Filesystem features://p')
case $features in
*needs_recovery*) fail "the file system lives on in another mount namespace after its umount" \
  "(run the test through tests/shell/own_mount_ns.sh, as ctest does)" ;;
esac
kill -KILL "${CLEAN_PIDS[-1]}"
timeout 60 e2fsck -fn "$HOST_MNT/NMP3" >"$WORK/fsck" 2>&1 || fail "e2fsck after use: $(cat "$WORK/fsck")"
# The same data through a loop device that does direct I/O on the file.
loop=$(timeout 30 losetup -f --show --direct-io=on "$HOST_MNT/NMP3") || fail "losetup --direct-io=on"
CLEAN_LOOPS+=("$loop")
timeout 30 mount -o ro "$loop" "$WORK/fsmnt" || fail "mount of the direct-I/O loop device"
cmp -s "$WORK/fsmnt/file" "$WORK/src" || fail "the file differs through the direct-I/O loop device"
timeout 30 umount "$WORK/fsmnt"
timeout 30 losetup -d "$loop"
[ "$(stat_field empty_writes)" = 0 ] || fail "the file systems' flushes sent empty writes"
# A loop device detached while something still holds it open goes away only
# at its last close, which a loaded machine may take seconds to reach.
wait_until 60 bash -c "! losetup -j '$HOST_MNT/NMP3' | grep -q ." ||
  fail "loop device still attached: $(losetup -j "$HOST_MNT/NMP3")"
stop_host TERM
echo PASS
