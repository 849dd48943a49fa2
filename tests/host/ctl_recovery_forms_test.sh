#!/usr/bin/env bash
# The named forms of the recovery, bitmap, block-size, network, history and
# stop and drain commands against the real driver on one host, without a peer: a device
# with its N/W port closed takes writes that mark bits 10, 11 and 200 of its
# difference bitmap; each form with a good and a refused value prints its
# lines and exits as documented. (The copy that succeeds needs a peer: the
# README test runs it on two servers.)
#   ctl_recovery_forms_test.sh MIRVOLD MIRVOLCTL
MIRVOLD=$1
MIRVOLCTL=$2
. "$(dirname "$0")/lib.sh"
require_root_fuse

SOCK=$WORK/control.sock
start_host rec --control "$SOCK" nmp_minor=3,1
ctl() { MIRVOL_CONTROL=$SOCK timeout 60 "$MIRVOLCTL" "$@"; }
ok() { ctl "$@" >"$WORK/out" 2>"$WORK/err" || fail "mirvolctl $* exited $?: $(cat "$WORK/err")"; }

truncate -s 16M "$WORK/cp.img"
truncate -s 1M "$WORK/dp.img"
ok NMP3 init cp="$WORK/cp.img" dp="$WORK/dp.img" name=rec net=192.0.2.1
ok NMP3 port open io
ok NMP3 port close nw
# 1 MiB in bits of 4 KiB: 256 bits.
ok NMP3 set-size 1024 granule=8
wait_until 20 test "$(stat -c %s "$HOST_MNT/NMP3")" -eq $((1 << 20)) || fail "NMP3 has no size"
# The fsync returns once the bits of what it covers are on the Cluster
# Partition.
head -c 8192 /dev/urandom | timeout 60 dd of="$HOST_MNT/NMP3" bs=4096 seek=10 conv=notrunc,fsync status=none ||
  fail "writing bits 10 and 11"
head -c 4096 /dev/urandom | timeout 60 dd of="$HOST_MNT/NMP3" bs=4096 seek=200 conv=notrunc,fsync status=none ||
  fail "writing bit 200"

# arguments | exit | stdout lines, all present in this order (; between) |
# text on stderr (empty: none expected)
expect_forms <<EOF
NMP3 diff-size|0|status=STATUS_OK (0x800000);bits=3;bytes=12288|
NMP1 diff-size|3|status=STATUS_NO_DEVICE (0x800003)|NMP1 device does not exist. (mirvol_bitmap_get_diff_size)
NMP3 read-bitmap format=bits|0|status=STATUS_OK (0x800000);start_kb=0;set_bits=10-11,200|
NMP3 read-bitmap 1 format=bits|0|status=STATUS_OK (0x800000);start_kb=1;set_bits=none|
NMP3 read-bitmap -1|3|status=STATUS_INVALID_PARAMETER (0x800007)|NMP3 startKB (-1) or KBnumber (1) is invalid. (mirvol_bitmap_operate)
NMP1 read-bitmap format=bits|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 read-bitmap format=octal|2||read-bitmap: unexpected argument format=octal
NMP3 recover 10 11|3|status=STATUS_RECOVERY_PORT_CLOSED (0x800013);startbit=10;endbit=11|NMP3 failed to send recovery data, because N/W port has been closed.
NMP3 recover 5 4|3|status=STATUS_INVALID_PARAMETER (0x800007)|NMP3 startbit (5) or endbit (4) is invalid. (mirvol_block_trans)
NMP3 recover --chunk 8|3|recovered=10-11 status=STATUS_RECOVERY_PORT_CLOSED (0x800013) bits_left=3;status=STATUS_RECOVERY_PORT_CLOSED (0x800013);bits_left=3;bytes_left=12288|NMP3 recover: STATUS_RECOVERY_PORT_CLOSED
NMP3 recover 12 255 --chunk 64|3|recovered=200-200 status=STATUS_RECOVERY_PORT_CLOSED (0x800013) bits_left=3|
NMP3 recover 20 100 --chunk 16|0|status=STATUS_OK (0x800000);bits_left=3;bytes_left=12288|
NMP3 recover --chunk 0|2||recover: --chunk takes 1 to
NMP3 recover 7|2||recover takes FIRST LAST
NMP1 recover|3|||
NMP3 get-block-size|0|status=STATUS_OK (0x800000);block_size=4096|
NMP3 set-block-size 512|0|status=STATUS_OK (0x800000);block_size=512|
NMP3 set-block-size 1000|3|status=STATUS_INVALID_PARAMETER (0x800007)|NMP3 set-block-size: STATUS_INVALID_PARAMETER
NMP3 set-block-size 0|3|status=STATUS_INVALID_PARAMETER (0x800007)|
NMP3 get-block-size|0|status=STATUS_OK (0x800000);block_size=512|
NMP3 set-block-size 4096|0|status=STATUS_OK (0x800000);block_size=4096|
NMP1 get-block-size|3|status=STATUS_NO_DEVICE (0x800003)|NMP1 device does not exist. (mirvol_block_size_operate)
NMP3 switch-network|3|status=STATUS_ALL_NW_ERROR (0x800019)|(All of the networks ERROR)
NMP3 switch-network 1|3|status=STATUS_NW_ERROR (0x800018)|(Specified network has been error)
NMP3 switch-network 3|3|status=STATUS_INVALID_PARAMETER (0x800007)|NMP3 mdc_priority (3) is invalid. (mirvol_nmp_mdc_switch)
NMP1 switch-network|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 cancel-recovery|0|status=STATUS_OK (0x800000)|
NMP1 cancel-recovery|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 clear-history|0|status=STATUS_OK (0x800000)|
NMP1 clear-history|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 convert-history|0|status=STATUS_OK (0x800000);bits=3;bytes=12288|
NMP1 convert-history|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 stop|0|status=STATUS_OK (0x800000)|
NMP1 stop|3|status=STATUS_NO_DEVICE (0x800003)|
NMP1 start|3|status=STATUS_NO_DEVICE (0x800003)|
NMP3 wait-send-queue|0|status=STATUS_OK (0x800000)|
NMP3 wait-drain|0|status=STATUS_OK (0x800000)|
NMP1 wait-drain|3|status=STATUS_NO_DEVICE (0x800003)|
EOF

# The hex form: bits 10 and 11 are byte 1's 0x30, bit 200 byte 25's 0x80.
ok NMP3 read-bitmap
want=$(printf '0030%046d80%01996d' 0 0)
grep -xF "bitmap=$want" "$WORK/out" >/dev/null || fail "read-bitmap in hex: $(cat "$WORK/out")"
# The record sent: startKB and a KBnumber of 1.
ok --dump-record NMP3 read-bitmap 2
grep -x "record=000000000200000001000000$(printf '%02048d' 0)" "$WORK/out" >/dev/null ||
  fail "read-bitmap's record: $(cat "$WORK/out")"

# The status view counts the bits set and the bytes they cover.
ok NMP3 status
grep -xF "  bits set:    3, covering 12288 bytes" "$WORK/out" >/dev/null || fail "status: $(cat "$WORK/out")"

stop_host TERM
echo PASS
