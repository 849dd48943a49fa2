#!/usr/bin/env bash
# Builds mirvol and shows two servers mirroring a file system: two hosts (in
# network namespaces joined by two veth pairs, one per mirror network, or on
# loopback with one network where namespaces cannot be made) are configured as a cluster service would, an ext4 file
# system is made on the active's mirror device and files are written to it
# through a loop mount; then the standby's Data Partition is shown to be
# byte-identical to the active's and clean for e2fsck, and the status files
# of both sides are printed. Everything it starts is taken down at the end.
# Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$(nproc)"

MIRVOLD=$PWD/build/host/mirvold
MIRVOLCTL=$PWD/build/tools/mirvolctl
. tests/twoserver/lib.sh
[ "$(id -u)" -eq 0 ] || { echo "demo: run as root (FUSE mounts, namespaces)" >&2; exit 1; }

say() { printf '\n== %s\n' "$*"; }

if ts_can_netns; then ts_place netns 2; else ts_place loopback; fi
nets="$(ts_self a 1) - $(ts_self b 1) (in use)"
for ((i = 2; i <= TS_NETS; i++)); do nets+=", $(ts_self a "$i") - $(ts_self b "$i")"; done
say "two servers ($TS_MODE): active a and standby b, mirror networks $nets"
SIZE_MIB=256
for s in a b; do
  ts_start "$s" nmp_minor=3
  ts_driver_init "$s"
  ts_images "$s" 3 $((SIZE_MIB << 20))
  ts_create "$s" 3 mode=sync
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
say "writing files through the loop mount"
mkdir -p "$FS/data"
for i in $(seq 1 20); do
  head -c $(((i * 37 % 200 + 8) << 12)) /dev/urandom >"$FS/data/file$i"
done
cp -r /usr/share/common-licenses "$FS/licenses" 2>/dev/null || true
rm -f "$FS"/data/file1[0-4]
sync -f "$FS"
(cd "$FS" && find . -type f | sort | head -n 12 && echo "... $(find . -type f | wc -l) files, $(du -sh . | cut -f1)")
timeout 60 umount "$FS" || ts_fail "umount"

say "comparing the two Data Partitions"
same() { cmp -s "$(ts_dp a 3)" "$(ts_dp b 3)"; }
wait_until 60 same || ts_fail "the standby's Data Partition differs from the active's: $(cmp "$(ts_dp a 3)" "$(ts_dp b 3)" | head -n 1)"
echo "active:  $(sha256sum <"$(ts_dp a 3)" | cut -c1-16)  $(ts_dp a 3)"
echo "standby: $(sha256sum <"$(ts_dp b 3)" | cut -c1-16)  $(ts_dp b 3)"
echo "byte-identical"
say "e2fsck of the standby's Data Partition"
timeout 120 e2fsck -fn "$(ts_dp b 3)" || ts_fail "e2fsck of the standby's copy"

for s in a b; do
  say "status files of server $s"
  cat "$(ts_mnt "$s")/proc/mirvolstat"
  cat "$(ts_mnt "$s")/proc/mirvolinner"
done
ts_stop a
ts_stop b
say "done: both servers stopped and everything removed"
