#!/usr/bin/env bash
# mirvolctl's records as it would send them (--dump-record, no host needed):
# the device-init record's fields at their offsets, its defaults, networks,
# passed descriptors, raw buffers, the records of the port and run-time
# forms, and the arguments it refuses.
#   ctl_record_test.sh MIRVOLCTL
MIRVOLCTL=$1
. "$(dirname "$0")/lib.sh"

# dump ARGS...: the hex of the record mirvolctl would send.
dump() {
  local out
  out=$(timeout 10 "$MIRVOLCTL" --dump-record "$@") || fail "mirvolctl --dump-record $* failed"
  [ "${out%%=*}" = record ] || fail "mirvolctl --dump-record $*: no record line: $out"
  echo "${out#record=}"
}

# le VALUE WIDTH: VALUE (may be negative) as WIDTH little-endian bytes in hex.
# (Bash arithmetic is 64-bit two's complement, so shifting a negative value
# gives its bytes.)
le() {
  local v=$(($1)) w=$2 i out=
  for ((i = 0; i < w; i++)); do
    out+=$(printf '%02x' $(((v >> (8 * i)) & 255)))
  done
  echo "$out"
}

# at HEX OFFSET WIDTH: the bytes at OFFSET.
at() { echo "${1:$(($2 * 2)):$(($3 * 2))}"; }

# text_hex TEXT: the bytes of TEXT in hex.
text_hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

# --- every field at its offset, distinct values; the rest of the record zero ---
# key | value | offset | width | bytes expected (empty: value as little-endian)
FIELDS=$(
  cat <<'EOF'
status|7|0|4|
magic|abc|4|4|61626300
dp_major|8|8|2|
dp_minor|260|10|2|
cp_major|65535|12|2|
cp_minor|14|14|2|
port|7788|16|2|
minor|19|18|2|
bmp_size_in_sec|0x12345678|20|4|
cp_fd|33|1048|4|
dp_fd|-5|1052|4|
mode|async|1056|4|00000000
send_queue_cnt|0x123456789a|1064|8|
hb_interval|601|1072|4|
hb_recv_timeout|0|1076|4|
hb_recv_retry|51|1080|4|
hb_port|7789|1084|2|
ack2_port|7790|1086|2|
connect_timeout|11|1088|4|
send_timeout|12|1092|4|
keepalive_time|13|1096|4|
keepalive_probe|14|1100|4|
keepalive_interval|15|1104|4|
lastupdate_delay|16|1108|4|
ack_timeout|17|1112|4|
receive_normal_timeout|18|1116|4|
ip_version|5|1120|4|
mdc_cnt|3|1124|4|
active|1|1128|4|
compress|2|1132|4|
compress2|-7|1136|4|
band_limit_mode|1|1140|4|
band_limit|500|1144|4|
unplug_flags|21|1148|4|
unplug_flags_high|22|1152|4|
unplug_switch|23|1156|4|
iosize|128|1160|4|
history_size|25|1164|4|
history_file_size|26|1168|4|
EOF
)
args=()
while IFS='|' read -r key value off width want; do
  args+=("$key=$value")
done <<<"$FIELDS"
args+=("name=disk one" "history_dir=/var/hist/" "net=192.0.2.1,192.0.2.2,USING")
rec=$(dump NMP3 init "${args[@]}")
[ ${#rec} -eq $((2232 * 2)) ] || fail "record with one network has $((${#rec} / 2)) bytes, not 2232"
expect=$(printf '0%.0s' $(seq 1 $((2232 * 2))))
put() { expect=${expect:0:$(($1 * 2))}$2${expect:$(($1 * 2 + ${#2}))}; }
while IFS='|' read -r key value off width want; do
  [ -n "$want" ] || want=$(le "$value" "$width")
  got=$(at "$rec" "$off" "$width")
  [ "$got" = "$want" ] || fail "$key=$value at $off: $got, expected $want"
  put "$off" "$want"
done <<<"$FIELDS"
# Texts are zero-padded; the first network with IPv4 in the last 4 bytes.
put 24 "$(text_hex 'disk one')"
put 1172 "$(text_hex /var/hist/)"
put 2196 "000000000000000000000000c0000201000000000000000000000000c000020201000000"
[ "$rec" = "$expect" ] || {
  for ((i = 0; i < ${#rec}; i += 2)); do
    [ "${rec:i:2}" = "${expect:i:2}" ] || fail "byte $((i / 2)) is ${rec:i:2}, expected ${expect:i:2}"
  done
}

# --- the defaults of fields not given ---
rec=$(dump NMP3 init)
# offset | width | value
while IFS='|' read -r off width value; do
  got=$(at "$rec" "$off" "$width")
  want=$(le "$value" "$width")
  [ "$got" = "$want" ] || fail "default at $off: $got, expected $want ($value)"
done <<'EOF'
0|4|0
4|4|0x00786471
20|4|128
1048|4|-1
1052|4|-1
1056|4|1
1064|8|65535
1072|4|10
1076|4|2
1080|4|8
1088|4|10
1092|4|30
1096|4|30
1100|4|3
1104|4|1
1108|4|5
1112|4|100
1116|4|100
1120|4|4
1124|4|1
1128|4|0
1132|4|-1
1136|4|-1
1140|4|0
1144|4|0
1160|4|64
EOF

# --- networks: two make the record 36 bytes longer; IPv6 sets ip_version 6 ---
# shellcheck disable=SC2034  # used by the table's expansions
Z12=000000000000000000000000  # 12 zero bytes before an IPv4 address
# shellcheck disable=SC2086  # the address's four numbers as four arguments
v4() { printf '%02x' ${1//./ }; }
# net arguments | record bytes | ip_version | mdc_cnt | entries from 2196
while IFS='|' read -r nets size ipv mdc entries; do
  read -ra nargs <<<"$nets"
  rec=$(dump NMP1 init "${nargs[@]}")
  [ ${#rec} -eq $((size * 2)) ] || fail "$nets: $((${#rec} / 2)) bytes, expected $size"
  [ "$(at "$rec" 1120 4)" = "$(le "$ipv" 4)" ] || fail "$nets: ip_version $(at "$rec" 1120 4)"
  [ "$(at "$rec" 1124 4)" = "$(le "$mdc" 4)" ] || fail "$nets: mdc_cnt $(at "$rec" 1124 4)"
  entries=$(eval "echo \"$entries\"")
  [ "${rec:$((2196 * 2))}" = "$entries" ] || fail "$nets: entries ${rec:$((2196 * 2))}, expected $entries"
done <<'EOF'
net=198.51.100.1,198.51.100.2 net=192.0.2.1,192.0.2.2,error|2268|4|2|$Z12$(v4 198.51.100.1)$Z12$(v4 198.51.100.2)$(le 0 4)$Z12$(v4 192.0.2.1)$Z12$(v4 192.0.2.2)$(le 2 4)
net=2001:db8::1,2001:db8::2,1|2232|6|1|20010db800000000000000000000000120010db8000000000000000000000002$(le 1 4)
net=198.51.100.1,2001:db8::ff,3|2232|6|1|$Z12$(v4 198.51.100.1)20010db80000000000000000000000ff$(le 3 4)
mdc_cnt=2|2268|4|2|$(printf '0%.0s' $(seq 1 144))
EOF

# --- descriptors: the numbers at 1048 and 1052 are those passed ---
echo cp >"$WORK/cp"
echo dp >"$WORK/dp"
rec=$(dump NMP3 init cp="$WORK/cp" dp="$WORK/dp" cp_fd=40 dp_fd=41)
[ "$(at "$rec" 1048 8)" = "2800000029000000" ] || fail "cp_fd/dp_fd override: $(at "$rec" 1048 8)"
rec=$(dump NMP3 init cp="$WORK/cp" dp="$WORK/dp")
cpn=$(at "$rec" 1048 4)
dpn=$(at "$rec" 1052 4)
[ "$cpn" != ffffffff ] && [ "$dpn" != ffffffff ] && [ "$cpn" != "$dpn" ] ||
  fail "the tool's own numbers for cp and dp: $cpn $dpn"

# --- partition numbers: those of the files opened unless given ---
# An image file gives the number of the device that holds it.
rec=$(dump NMP3 init cp="$WORK/cp" dp="$WORK/dp")
want=$(le "$(stat -c %Hd "$WORK/dp")" 2)$(le "$(stat -c %Ld "$WORK/dp")" 2)
want+=$(le "$(stat -c %Hd "$WORK/cp")" 2)$(le "$(stat -c %Ld "$WORK/cp")" 2)
[ "$(at "$rec" 8 8)" = "$want" ] || fail "partition numbers of image files: $(at "$rec" 8 8), expected $want"
rec=$(dump NMP3 init cp="$WORK/cp" dp="$WORK/dp" dp_minor=260 cp_major=7)
[ "$(at "$rec" 10 4)" = "$(le 260 2)$(le 7 2)" ] || fail "given partition numbers: $(at "$rec" 8 8)"
rec=$(dump NMP3 init)
[ "$(at "$rec" 8 8)" = 0000000000000000 ] || fail "numbers without partitions: $(at "$rec" 8 8)"
# A block device gives its own number.
if [ "$(id -u)" = 0 ] && truncate -s 1M "$WORK/blk.img" &&
  loop=$(timeout 30 losetup -f --show "$WORK/blk.img" 2>/dev/null); then
  CLEAN_LOOPS+=("$loop")
  rec=$(dump NMP3 init cp="$WORK/cp" dp="$loop")
  want=$(le "$(stat -c '0x%t' "$loop")" 2)$(le "$(stat -c '0x%T' "$loop")" 2)
  [ "$(at "$rec" 8 4)" = "$want" ] || fail "partition numbers of $loop: $(at "$rec" 8 4), expected $want"
fi

# --- raw buffers: HEX then zeros up to --size ---
# arguments | record
while IFS='|' read -r rargs want; do
  read -ra a <<<"$rargs"
  got=$(dump raw NMP3 "${a[@]}")
  [ "$got" = "$want" ] || fail "raw $rargs: record=$got, expected $want"
done <<'EOF'
3 --size 8 --in 0102|0102000000000000
0x80081272 --size 8|0000000000000000
5 --in ABcdEF|abcdef
5 --size 0|
EOF
[ "$(dump NMP3 size)" = 0000000000000000 ] || fail "size sends no 8 zero bytes"

# --- the port and run-time forms: each record byte by byte ---
# z N: N zero bytes in hex.
z() { printf '0%.0s' $(seq 1 $(($1 * 2))); }
# arguments | record (expanded: $(le V W) little-endian, $(z N) zeros)
while IFS='|' read -r fargs want; do
  read -ra a <<<"$fargs"
  want=$(eval "echo \"$want\"")
  got=$(dump NMP2 "${a[@]}")
  [ "$got" = "$want" ] || fail "$fargs: record=$got, expected $want"
done <<'EOF'
port open io|$(z 4)$(le 1 4)$(z 12)
port close nw mount|$(z 4)$(le 6 4)$(z 12)
port get mount io nw|$(z 4)$(le 7 4)$(z 12)
port get mount|$(z 4)$(le 4 4)$(z 12)
set-size 1024|$(z 8)$(le 1024 8)$(le 128 4)$(z 4)
set-size 0x123456789a granule=64|$(z 8)$(le 0x123456789a 8)$(le 64 4)$(z 4)
get-granule|$(z 8)
set-param|$(z 4)$(le 10 4)$(le 2 4)$(le 8 4)$(le 10 4)$(le 30 4)$(le 30 4)$(le 3 4)$(le 1 4)$(le 5 4)$(le 100 4)$(le 100 4)$(le 65535 8)$(z 4)$(z 4)$(z 16)
set-param band_limit=500 hb_interval=11 hb_recv_timeout=12 hb_recv_retry=13 connect_timeout=14 send_timeout=15 keepalive_time=16 keepalive_probe=17 keepalive_interval=18 lastupdate_delay=19 ack_timeout=20 receive_normal_timeout=21 send_queue_cnt=0x123456789a band_limit_mode=1|$(z 4)$(le 11 4)$(le 12 4)$(le 13 4)$(le 14 4)$(le 15 4)$(le 16 4)$(le 17 4)$(le 18 4)$(le 19 4)$(le 20 4)$(le 21 4)$(le 0x123456789a 8)$(le 1 4)$(le 500 4)$(z 16)
set-param ack_timeout=-1|$(z 4)$(le 10 4)$(le 2 4)$(le 8 4)$(le 10 4)$(le 30 4)$(le 30 4)$(le 3 4)$(le 1 4)$(le 5 4)$(le -1 4)$(le 100 4)$(le 65535 8)$(z 24)
netstatus|$(z 4)$(le 1 4)$(z 40)
netstatus networks=2|$(z 4)$(le 2 4)$(z 76)
drive-info|$(z 20)
get-request-limit|$(z 8)
set-request-limit 0x7000|$(z 4)$(le 0x7000 4)
init-request-limit 1 2000 30|$(z 4)$(le 1 4)$(le 2000 4)$(le 30 4)
get-send-queue|$(z 8)
set-send-queue -1|$(z 4)$(le -1 4)
set-ratio 75|$(z 4)$(le 75 4)
get-sync-flags|$(z 8)
set-sync-flags 0x80000003|$(z 4)$(le 0x80000003 4)
get-mode|$(z 8)
set-disk-error-action 1 2 3|$(z 4)$(le 1 4)$(le 2 4)$(le 3 4)
set-bitmap-from-fs|$(z 48)
get-fs-block-count|$(z 24)
EOF

# --- refused arguments: exit 2 (1 for a file that does not open), a message ---
long=$(printf 'x%.0s' $(seq 1 1024))
# exit | text on stderr | arguments
while IFS='|' read -r want_rc text cargs; do
  eval "a=($cargs)"
  rc=0
  timeout 10 "$MIRVOLCTL" --dump-record "${a[@]}" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" -eq "$want_rc" ] || fail "mirvolctl $cargs: exit $rc, expected $want_rc"
  grep -qF -- "$text" "$WORK/err" || fail "mirvolctl $cargs: no \"$text\" in: $(cat "$WORK/err")"
  [ ! -s "$WORK/out" ] || fail "mirvolctl $cargs printed: $(cat "$WORK/out")"
done <<EOF
2|unknown field hb_intervall|NMP3 init hb_intervall=1
2|bad value for hb_interval|NMP3 init hb_interval=ten
2|bad value for hb_port|NMP3 init hb_port=65536
2|bad value for hb_interval|NMP3 init hb_interval=0x100000000
2|bad value for name|NMP3 init name=$long
2|bad value for magic|NMP3 init magic=qdx00
2|given twice|NMP3 init port=1 port=2
2|at most 2 networks|NMP3 init net=192.0.2.1,192.0.2.2 net=192.0.2.1,192.0.2.2 net=192.0.2.1,192.0.2.2
2|is no IPv4 or IPv6 address|NMP3 init net=192.0.2.300,192.0.2.2
2|expected SELF[,PEER[,STATE]]|NMP3 init net=,192.0.2.2
2|state BROKEN|NMP3 init net=192.0.2.1,192.0.2.2,BROKEN
2|is no key=value|NMP3 init active
2|one number|NMP3 init cp=$WORK/cp dp=$WORK/dp cp_fd=5 dp_fd=5
1|cannot open $WORK/none|NMP3 init cp=$WORK/none
2|bad device name|NMP init
2|bad device name|nmp3 size
2|unknown command|NMP3 frobnicate
2|size takes no arguments|NMP3 size 8
2|pairs of hex digits|raw NMP3 3 --in 123
2|pairs of hex digits|raw NMP3 3 --in 12zz
2|more bytes than --size|raw NMP3 3 --in 0102 --size 1
2|bad --size|raw NMP3 3 --size 2000000
2|bad command number|raw NMP3 three
2|bad command number|raw NMP3 0x100000000
2|--fd takes NUM=PATH|raw NMP3 3 --fd $WORK/cp
2|given twice|raw NMP3 3 --fd 4=$WORK/cp --fd 4=$WORK/dp
1|cannot open $WORK/none|raw NMP3 3 --fd 4=$WORK/none
2|unknown raw option|raw NMP3 3 --out 00
2|port takes open, close or get|NMP3 port
2|port takes open, close or get|NMP3 port shut io
2|needs one or more of io, nw, mount|NMP3 port open
2|unknown port disk|NMP3 port get io disk
2|io given twice|NMP3 port close io nw io
2|set-size needs size_kib|NMP3 set-size granule=64
2|bad value for granule|NMP3 set-size 10 granule=big
2|bad value for size_kib|NMP3 set-size 1.5
2|unexpected argument 20|NMP3 set-size 10 20
2|unknown key grain|NMP3 set-size 10 grain=2
2|unexpected argument 1|NMP3 get-granule 1
2|hb_interval given twice|NMP3 set-param hb_interval=1 hb_interval=2
2|unknown key hb_intervall|NMP3 set-param hb_intervall=1
2|bad value for send_queue_cnt|NMP3 set-param send_queue_cnt=lots
2|bad value for band_limit|NMP3 set-param band_limit=0x100000000
2|unexpected argument 30|NMP3 set-param 30
2|networks takes 1 to 16|NMP3 netstatus networks=0
2|networks takes 1 to 16|NMP3 netstatus networks=17
2|unknown key mdc_cnt|NMP3 netstatus mdc_cnt=1
2|unexpected argument x|NMP3 drive-info x
2|set-request-limit needs limit|NMP3 set-request-limit
2|init-request-limit needs min max current|NMP3 init-request-limit 1 2
2|bad value for ratio|NMP3 set-ratio 0x100000000
2|bad value for size|NMP3 set-send-queue many
2|unknown key flags|NMP3 set-sync-flags flags=1
2|unknown key mode|NMP3 get-mode mode=1
2|unexpected argument 4|NMP3 set-disk-error-action 1 2 3 4
2|needs a device and a command|raw NMP3
2|--control needs a value|--control
2|unknown option --frob|--frob NMP3 size
EOF
echo PASS
