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
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((SIZE_MIB << 20))
  if [ "$SYNC_MODE" = async ]; then
    mkdir -p "$TS_WORK/hist/$s"
    ts_create "$s" 3 mode=async send_queue_cnt=8 history_size=8 history_file_size=1024 \
      "history_dir=$TS_WORK/hist/$s"
  else
    ts_create "$s" 3 mode=sync
  fi
done
ts_ports_standby b 3
ts_ports_active a 3
for s in a b; do ts_set_size "$s" 3 $((SIZE_MIB << 10)); done

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
