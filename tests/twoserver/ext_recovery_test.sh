#!/usr/bin/env bash
# A full resynchronisation cut down to the used blocks: the active's Data
# Partition holds a populated ext4 (without 64bit) that never went through
# the mirror, the standby's is all 0xFF; every bit is set, command 77 keeps
# only the granules the file system uses, and a recovery (command 10) of
# those runs alone gives a standby that e2fsck finds clean and that holds
# the same files. A full recovery's figures are printed beside it.
#   ext_recovery_test.sh MIRVOLD MIRVOLCTL netns|loopback
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
for p in mke2fs e2fsck debugfs; do
  command -v "$p" >/dev/null || ts_skip "needs e2fsprogs ($p)"
done
. "$HERE/mirror_lib.sh"

ms_pair "$MODE"
NBITS=$(((MS_SIZE / 512 + MS_GRANULE - 1) / MS_GRANULE))

# The file system is made on the active's Data Partition directly.
src=$TS_WORK/src
mkdir -p "$src/d1" "$src/d2"
for i in $(seq 1 24); do
  head -c $(((i * 37 % 400 + 1) << 10)) /dev/urandom >"$src/d$((i % 2 + 1))/f$i"
done
head -c $((5 << 20)) /dev/urandom >"$src/big"
timeout 120 mke2fs -F -q -E nodiscard -t ext4 -O ^64bit -d "$src" "$(ts_dp a 3)" ||
  ts_fail "mke2fs on the active's Data Partition"
python3 -c 'import sys; open(sys.argv[1], "r+b").write(b"\xff" * int(sys.argv[2]))' \
  "$(ts_dp b 3)" "$MS_SIZE"

le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
rec_status() { sed -n 's/^record=\(........\).*/\1/p' "$TS_WORK/a/answer"; }

ts_ctl a raw NMP3 68 --size 8 --in 0000000001000000 >/dev/null
[ "$(rec_status)" = 00008000 ] || ts_fail "command 68: $(cat "$TS_WORK/a/answer")"
[ "$(ms_bits a | wc -l)" -eq "$NBITS" ] || ts_fail "not every bit is set"

# The named forms, their figures against dumpe2fs.
answer() { sed -n "s/^$1=//p" "$TS_WORK/a/answer"; }
head=$(dumpe2fs -h "$(ts_dp a 3)" 2>/dev/null)
fs_blocks=$(sed -n 's/^Block count: *//p' <<<"$head")
fs_used=$((fs_blocks - $(sed -n 's/^Free blocks: *//p' <<<"$head")))
ts_ctl_ok a NMP3 get-fs-block-count
[ "$(answer used)" = "$fs_used" ] || ts_fail "get-fs-block-count: $(cat "$TS_WORK/a/answer"), $fs_used used"
[ "$(answer estimate)" -gt "$fs_used" ] && [ "$(answer estimate)" -lt "$fs_blocks" ] ||
  ts_fail "get-fs-block-count estimate: $(cat "$TS_WORK/a/answer")"
ts_ctl_ok a NMP3 set-bitmap-from-fs
[ "$(answer fs_type)" = - ] && [ "$(answer blocks)" = "$fs_blocks" ] && [ "$(answer used)" = "$fs_used" ] ||
  ts_fail "set-bitmap-from-fs: $(cat "$TS_WORK/a/answer")"
set_bits=$(answer bits_set)
ms_bits a >"$TS_WORK/used.bits"
[ "$(wc -l <"$TS_WORK/used.bits")" -eq "$set_bits" ] ||
  ts_fail "command 77 counted $set_bits bits, the bitmap holds $(wc -l <"$TS_WORK/used.bits")"
[ "$set_bits" -gt 0 ] && [ "$set_bits" -lt $((NBITS / 2)) ] ||
  ts_fail "$set_bits of $NBITS bits set for a mostly empty file system"

# recover FIRST LAST: command 10 over bits FIRST..LAST.
recover() {
  ts_ctl a raw NMP3 10 --size 12 --in "00000000$(le32 "$1")$(le32 "$2")" >/dev/null
  [ "$(rec_status)" = 00008000 ] || ts_fail "command 10 ($1-$2): $(cat "$TS_WORK/a/answer")"
}
awk 'NR == 1 { s = $1; e = $1; next } $1 == e + 1 { e = $1; next } { print s, e; s = $1; e = $1 }
     END { if (NR) print s, e }' "$TS_WORK/used.bits" >"$TS_WORK/runs"
t0=$(date +%s%N)
copied=0
while read -r s e; do
  recover "$s" "$e"
  copied=$((copied + e - s + 1))
done <"$TS_WORK/runs"
t1=$(date +%s%N)
[ "$copied" -eq "$set_bits" ] || ts_fail "copied $copied granules, $set_bits were set"
left=$(ms_bits a | wc -l)
[ "$left" -eq 0 ] || ts_fail "$left bits still set after the recovery"

# The standby's copy, checked with the hosts stopped.
ts_stop a
ts_stop b
timeout 120 e2fsck -fn "$(ts_dp b 3)" >"$TS_WORK/fsck" 2>&1 ||
  ts_fail "e2fsck of the standby's copy: $(tail -n 5 "$TS_WORK/fsck")"
for s in a b; do
  mkdir -p "$TS_WORK/dump.$s"
  timeout 120 debugfs -R "rdump / $TS_WORK/dump.$s" "$(ts_dp "$s" 3)" >/dev/null 2>&1 ||
    ts_fail "debugfs dump of server $s's file system"
done
diff -r -x lost+found "$src" "$TS_WORK/dump.b" >/dev/null || ts_fail "the standby's files differ from the source"
diff -r "$TS_WORK/dump.a" "$TS_WORK/dump.b" >/dev/null || ts_fail "the two file systems hold other files"

# A full recovery for comparison (figures only).
ms_pair_again() {
  local s
  for s in a b; do
    ts_start "$s" --time-scale "$MS_SCALE" nmp_minor=3
    ts_driver_init "$s" interval="$MS_INTERVAL"
  done
  ms_create b 3 "$MS_ACK2_PORT" mode="$MS_MODE" ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" bmp_size_in_sec="$MS_GRANULE"
  ms_create a 3 "$MS_A_ACK2_PORT" mode="$MS_MODE" ack_timeout="$MS_ACK_TIMEOUT" \
    send_timeout="$MS_SEND_TIMEOUT" connect_timeout="$MS_CONNECT_TIMEOUT" bmp_size_in_sec="$MS_GRANULE"
  ts_ports_standby b 3
  ts_ports_active a 3
  for s in b a; do ts_set_size "$s" 3 "$MS_KIB" granule="$MS_GRANULE"; done
}
ms_pair_again
t2=$(date +%s%N)
recover 0 $((NBITS - 1))
t3=$(date +%s%N)
echo "used-block recovery: $copied of $NBITS granules, $(((t1 - t0) / 1000000)) ms;" \
  "full recovery: $NBITS granules, $(((t3 - t2) / 1000000)) ms"
echo "PASS: used-block recovery of ext4 ($MODE)"
