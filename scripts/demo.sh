#!/usr/bin/env bash
# Builds mirvol and shows two servers mirroring a file system: two hosts (in
# network namespaces joined by two veth pairs, one per mirror network, or on
# loopback with one network where namespaces cannot be made) are configured as a cluster service would, an ext4 file
# system is made on the active's mirror device and files are written to it
# through a loop mount; then the standby's Data Partition is shown to be
# byte-identical to the active's and clean for e2fsck, and the status files
# of both sides are printed. Everything it starts is taken down at the end.
# Run as root. With --async the two servers mirror asynchronously with a
# small send queue; the standby's host is held while the files are written,
# so that the writes spill into history files on the active, which are read
# back and sent once it runs again.
# Then the mirror breaks and heals: the standby's host is killed while more
# files are written and deleted, the active's difference bitmap fills, the
# standby comes back on its images, command 10 copies the set ranges chunk
# by chunk, and the two Data Partitions are compared byte for byte again.
#   demo.sh [--async]
set -euo pipefail
cd "$(dirname "$0")/.."
SYNC_MODE=sync
case ${1:-} in
--async) SYNC_MODE=async ;;
"") ;;
*) echo "usage: demo.sh [--async]" >&2; exit 2 ;;
esac
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$(nproc)"

MIRVOLD=$PWD/build/host/mirvold
MIRVOLCTL=$PWD/build/tools/mirvolctl
. tests/twoserver/lib.sh
MS_SIZE=0
MS_GRANULE=128  # one bitmap bit per 64 KiB
. tests/twoserver/recovery_lib.sh
[ "$(id -u)" -eq 0 ] || { echo "demo: run as root (FUSE mounts, namespaces)" >&2; exit 1; }

say() { printf '\n== %s\n' "$*"; }

# Every control command the demo sends is shown as the line an operator
# would type on that server ("+ mirvolctl ..."; mirvolctl help explains each).
eval "$(declare -f ts_ctl | sed '1s/^ts_ctl /ts_ctl_unshown /')"
ts_ctl() {
  printf '+ mirvolctl %s    # on server %s\n' "${*:2}" "$1" >&2
  ts_ctl_unshown "$@"
}

if ts_can_netns; then ts_place netns 2; else ts_place loopback; fi
nets="$(ts_self a 1) - $(ts_self b 1) (in use)"
for ((i = 2; i <= TS_NETS; i++)); do nets+=", $(ts_self a "$i") - $(ts_self b "$i")"; done
say "two servers ($TS_MODE, $SYNC_MODE mirroring): active a and standby b, mirror networks $nets"
SIZE_MIB=256
MS_SIZE=$((SIZE_MIB << 20))
# start_side SIDE: starts side's host and creates the mirror device on its
# images (made when missing, kept when there).
start_side() {
  local s=$1
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((SIZE_MIB << 20))
  if [ "$SYNC_MODE" = async ]; then
    mkdir -p "$TS_WORK/hist/$s"
    ts_create "$s" 3 mode=async send_queue_cnt=8 history_size=8 history_file_size=1024 \
      "history_dir=$TS_WORK/hist/$s" bmp_size_in_sec="$MS_GRANULE"
  else
    ts_create "$s" 3 mode=sync bmp_size_in_sec="$MS_GRANULE"
  fi
}
for s in a b; do start_side "$s"; done
ts_ports_standby b 3
ts_ports_active a 3
for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)) granule="$MS_GRANULE"; done

say "mkfs.ext4 on the active's mirror device $(ts_mnt a)/NMP3"
timeout 300 mkfs.ext4 -q -F "$(ts_mnt a)/NMP3" || ts_fail "mkfs.ext4"
FS=$TS_WORK/fs
mkdir -p "$FS"
timeout 60 mount -o loop "$(ts_mnt a)/NMP3" "$FS" || ts_fail "mount -o loop"
TS_MOUNTS+=("$FS")
if [ "$SYNC_MODE" = async ]; then
  # The standby's host held for a moment, as behind a slow link: the writes
  # complete on the active all the same, and queue up there.
  say "holding the standby's host (SIGSTOP) while the files are written"
  kill -STOP "${TS_PID[b]}"
  trap 'kill -CONT "${TS_PID[b]:-0}" 2>/dev/null; ts_cleanup' EXIT
fi
say "writing files through the loop mount"
mkdir -p "$FS/data"
for i in $(seq 1 20); do
  head -c $(((i * 37 % 200 + 8) << 12)) /dev/urandom >"$FS/data/file$i"
done
cp -r /usr/share/common-licenses "$FS/licenses" 2>/dev/null || true
rm -f "$FS"/data/file1[0-4]
# More than the socket buffers toward the held standby take: the rest waits
# in history files.
[ "$SYNC_MODE" = async ] && head -c $((48 << 20)) /dev/urandom >"$FS/data/large"
sync -f "$FS"
(cd "$FS" && find . -type f | sort | head -n 12 && echo "... $(find . -type f | wc -l) files, $(du -sh . | cut -f1)")
timeout 60 umount "$FS" || ts_fail "umount"

if [ "$SYNC_MODE" = async ]; then
  say "history files of the active ($TS_WORK/hist/a/3)"
  left() { find "$TS_WORK/hist/a/3" -name '*.dat' | wc -l; }
  echo "$(left) writes wait in history files ($(du -sh "$TS_WORK/hist/a/3" | cut -f1)); releasing the standby"
  kill -CONT "${TS_PID[b]}"
  none_left() { [ "$(left)" -eq 0 ]; }
  wait_until 120 none_left || ts_fail "$(left) history files were not sent"
  echo "every one was read back, sent and deleted: $(left) left"
fi

say "comparing the two Data Partitions"
same() { cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)"; }
wait_until 60 same || ts_fail "the standby's Data Partition differs from the active's: $(cmp "$(ts_dp a 3)" "$(ts_dp b 3)" | head -n 1)"
echo "active:  $(sha256sum <"$(ts_dp a 3)" | cut -c1-16)  $(ts_dp a 3)"
echo "standby: $(sha256sum <"$(ts_dp b 3)" | cut -c1-16)  $(ts_dp b 3)"
echo "byte-identical"
say "e2fsck of the standby's Data Partition"
timeout 120 e2fsck -fn "$(ts_dp b 3)" || ts_fail "e2fsck of the standby's copy"

say "breaking the mirror: the standby's host is killed, and files are written and deleted"
timeout 60 mount -o loop "$(ts_mnt a)/NMP3" "$FS" || ts_fail "mount -o loop"
ts_kill b 2>/dev/null
mkdir -p "$FS/later"
for i in $(seq 1 12); do
  head -c $(((i * 29 % 150 + 4) << 12)) /dev/urandom >"$FS/later/file$i"
done
rm -f "$FS"/data/file[5-9] "$FS"/later/file1[0-2]
sync -f "$FS"
(cd "$FS" && echo "$(find . -type f | wc -l) files, $(du -sh . | cut -f1)")
timeout 60 umount "$FS" || ts_fail "umount"
nw_closed() { [ "$(ts_nw_port a)" = 0 ]; }
wait_until 60 nw_closed || ts_fail "the active's N/W port did not close"
bits=$(rc_count a)
echo "the active's difference bitmap holds $bits of $(rc_nbits) bits ($((bits * MS_GRANULE / 2)) KiB to copy)"
cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)" && ts_fail "the standby got the writes although it was killed"
echo "the two Data Partitions differ now"

say "healing: the standby's host starts again on its images"
start_side b
ts_ports_standby b 3
ts_set_size b 3 $((SIZE_MIB << 10)) granule="$MS_GRANULE"
net_back() {
  awk 'NR > 3 && NF == 10 { print $1; exit }' "$(ts_mnt a)/proc/mirvolinner" | grep -v '^2$' >/dev/null
}
wait_until 90 net_back || ts_fail "the active's mirror network stayed in ERROR"
ts_ctl_ok a NMP3 port open io nw
say "recovery: command 10 copies the set ranges, 512 bits (32 MiB) at a time"
n=$(rc_nbits)
for ((first = 0; first < n; first += 512)); do
  last=$((first + 511))
  [ "$last" -lt "$n" ] || last=$((n - 1))
  [ "$(rc_copy a "$first" "$last")" = "$RC_OK" ] || ts_fail "command 10 of bits $first..$last: $(cat "$TS_WORK/a/answer")"
  echo "bits $first..$last copied: $(rc_count a) bits left"
done
wait_until 30 rc_none_left b || ts_fail "the standby's bitmap holds $(rc_count b) bits"
say "comparing the two Data Partitions after the recovery"
cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)" || ts_fail "the Data Partitions differ after the recovery: $(cmp "$(ts_dp a 3)" "$(ts_dp b 3)" | head -n 1)"
echo "active:  $(sha256sum <"$(ts_dp a 3)" | cut -c1-16)  $(ts_dp a 3)"
echo "standby: $(sha256sum <"$(ts_dp b 3)" | cut -c1-16)  $(ts_dp b 3)"
echo "byte-identical; no difference bit left on either side"
timeout 120 e2fsck -fn "$(ts_dp b 3)" >/dev/null 2>&1 || ts_fail "e2fsck of the standby's copy after the recovery"
echo "e2fsck: the standby's copy is clean"

for s in a b; do
  say "the mirror as server $s sees it"
  ts_ctl "$s" NMP3 status
  say "status files of server $s"
  cat "$(ts_mnt "$s")/proc/mirvolstat"
  cat "$(ts_mnt "$s")/proc/mirvolinner"
done
ts_stop a
ts_stop b
say "done: both servers stopped and everything removed"
