#!/usr/bin/env bash
# I/O on a mirror disk whose device the module cannot serve fails with EIO,
# for reads and for writes, and the module says why in the kernel log.
#   no_device_test.sh MIRVOLD LOG_TEXT [MODULE_PARAMETER...]
MIRVOLD=$1
LOG_TEXT=$2
shift 2
. "$(dirname "$0")/lib.sh"
require_root_fuse

start_host nodev nmp_minor=3 "$@"
# direct: every try reaches the host, not a page cache
for dir in read write; do
  if [ $dir = read ]; then
    args=(if="$HOST_MNT/NMP3" of=/dev/null iflag=direct)
  else
    args=(if=/dev/zero of="$HOST_MNT/NMP3" oflag=direct conv=notrunc)
  fi
  rc=0
  timeout 20 dd "${args[@]}" bs=4096 count=1 status=none 2>"$WORK/dd.err" || rc=$?
  [ "$rc" -ne 0 ] || fail "a $dir of NMP3 succeeded"
  [ "$rc" -ne 124 ] || fail "a $dir of NMP3 hung"
  grep -q "Input/output error" "$WORK/dd.err" || fail "a $dir of NMP3 failed otherwise: $(cat "$WORK/dd.err")"
done
wait_until 10 log_has "$LOG_TEXT" || fail "no \"$LOG_TEXT\" in the kernel log"
stop_host TERM
echo PASS
