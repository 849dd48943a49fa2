#!/usr/bin/env bash
# Synchronous mirroring between two servers: 1000 writes of random size and
# offset (some of them again and again to the same sectors) through the
# active's mirror device reach both Data Partitions byte for byte, and no
# difference is left behind: the active's bitmap is empty, and so is the
# standby's after it has stopped (a stop writes every write still waiting
# for its ACK2 into the standby's bitmap, so an empty one shows the wait-ACK2
# queue was empty).
#   sync_mirror_test.sh MIRVOLD MIRVOLCTL netns|loopback
MIRVOLD=$1
MIRVOLCTL=$2
MODE=$3
HERE=$(dirname "$0")
. "$HERE/lib.sh"
. "$HERE/mirror_lib.sh"

ms_pair "$MODE"
log=$TS_WORK/writes
ms_write a "$log" 11 1000 --max-sectors 256 --hot 150
[ "$(wc -l <"$log")" -eq 1000 ] || ts_fail "not every write returned"
ms_quiesce
ms_expect_model a "$log"
ms_expect_model b "$log"

ts_stop a
ts_stop b
empty=$TS_WORK/none
: >"$empty"
ms_expect_bits a "$empty"
ms_expect_bits b "$empty"
echo "PASS: synchronous mirroring of 1000 writes ($MODE)"
