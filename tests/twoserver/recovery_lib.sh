# Helpers of the recovery tests (sourced after mirror_lib.sh): commands 3,
# 10 and 32 on NMP3 through `mirvolctl raw`, and a whole-bitmap copy in
# chunks.
#
#   rc_fill_image FILE BYTES SEED  # random 4 KiB blocks between compressible ones
#   rc_fill_bits SIDE              # command 3: every bit set
#   rc_copy SIDE FIRST LAST        # command 10; prints the status word
#   rc_copy_all SIDE CHUNK         # command 10 over the whole bitmap
#   rc_count SIDE                  # command 32: the set bits

RC_OK=00008000  # STATUS_OK as the record's first 4 bytes

# A little-endian 32-bit field in hex.
rc_le32() {
  local v=$1
  printf '%02x%02x%02x%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255))
}

# The record's hex after a raw command.
rc_record() { sed -n 's/^record=//p' "$TS_WORK/$1/answer"; }

# The 32-bit little-endian field at byte OFF of side's last record.
rc_field() {
  local hex
  hex=$(rc_record "$1")
  hex=${hex:$(($2 * 2)):8}
  echo $((16#${hex:6:2}${hex:4:2}${hex:2:2}${hex:0:2}))
}

rc_fill_image() {
  python3 - "$1" "$2" "$3" <<'PY' || ts_fail "filling $1"
import random, sys
path, size, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
r = random.Random(seed)
with open(path, "wb") as f:
    for i in range(size // 4096):
        if i % 2:
            f.write(r.randbytes(4096))
        else:
            word = r.randbytes(16)
            f.write(word * 256)
PY
}

rc_fill_bits() {
  ts_ctl "$1" raw NMP3 3 --size 8 --in "00000000$(rc_le32 1)" >/dev/null
  [ "$(rc_record "$1" | cut -c1-8)" = "$RC_OK" ] || ts_fail "command 3 on $1: $(cat "$TS_WORK/$1/answer")"
}

rc_copy() {
  ts_ctl "$1" raw NMP3 10 --size 12 --in "00000000$(rc_le32 "$2")$(rc_le32 "$3")" >/dev/null
  rc_record "$1" | cut -c1-8
}

rc_count() {
  ts_ctl "$1" raw NMP3 32 --size 8 >/dev/null
  [ "$(rc_record "$1" | cut -c1-8)" = "$RC_OK" ] || ts_fail "command 32 on $1: $(cat "$TS_WORK/$1/answer")"
  rc_field "$1" 4
}
rc_none_left() { [ "$(rc_count "$1")" -eq 0 ]; }

# The device's bit count.
rc_nbits() { echo $((((MS_SIZE / 512) + MS_GRANULE - 1) / MS_GRANULE)); }

rc_copy_all() {
  local side=$1 chunk=$2 first last n st
  n=$(rc_nbits)
  for ((first = 0; first < n; first += chunk)); do
    last=$((first + chunk - 1))
    [ "$last" -lt "$n" ] || last=$((n - 1))
    st=$(rc_copy "$side" "$first" "$last")
    [ "$st" = "$RC_OK" ] || ts_fail "command 10 of bits $first..$last on $side: $(cat "$TS_WORK/$side/answer")"
  done
}
