// The LZSS decoder over any stream and output room, checked against a
// decoder written here from the stream format alone; and the coder's round
// trip: any data, in 1, 2, 4 or 8 slices, decodes back to itself.
//
// Input: byte 0 chooses the mode (bit 0: 0 decode, 1 round trip) and, for a
// round trip, the slice count (bits 1-2); bytes 1-2 (little-endian) are the
// decode room; the rest is the stream or the data.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/mirvol_compress.h"

namespace {

struct Decoded {
  std::vector<uint8_t> out;
  int result = 0;
};

// The stream format of include/mirvol_compress.h, read literally.
Decoded reference_decode(const uint8_t *in, size_t len, size_t capacity) {
  Decoded d;
  uint8_t ring[4096] = {};
  size_t r = 4078, i = 0;
  while (i < len) {
    uint8_t flags = in[i++];
    for (int bit = 0; bit < 8; bit++) {
      if (flags & (1u << bit)) {
        if (i == len) return d;
        if (d.out.size() >= capacity) {
          d.result = STATUS_INVALID_PARAMETER;
          return d;
        }
        uint8_t c = in[i++];
        d.out.push_back(c);
        ring[r] = c;
        r = (r + 1) % 4096;
      } else {
        if (len - i < 2) return d;
        size_t pos = in[i] | ((in[i + 1] & 0xf0u) << 4);
        size_t n = (in[i + 1] & 0x0fu) + 3;
        i += 2;
        if (d.out.size() + n > capacity) {
          d.result = STATUS_INVALID_PARAMETER;
          return d;
        }
        for (size_t k = 0; k < n; k++) {
          uint8_t c = ring[(pos + k) % 4096];
          d.out.push_back(c);
          ring[r] = c;
          r = (r + 1) % 4096;
        }
      }
    }
  }
  return d;
}

void check_decode(const uint8_t *in, size_t len, size_t capacity) {
  // Exactly `capacity` bytes, so that a write past the room is caught.
  std::vector<uint8_t> out(capacity ? capacity : 1);
  u64 produced = ~0ull;
  int rc = mirvol_uncompress(capacity ? out.data() : nullptr, capacity, in, len, &produced);
  Decoded want = reference_decode(in, len, capacity);
  if (rc != want.result || produced != want.out.size() ||
      (!want.out.empty() && memcmp(out.data(), want.out.data(), want.out.size()) != 0))
    abort();
}

void check_round_trip(const uint8_t *data, size_t len, u32 slices) {
  std::vector<uint8_t> packed(len);
  std::vector<compress_result> results(slices);
  u64 total = 0;
  u32 all = 0;
  int rc = mirvol_compress(data, len, packed.data(), &total, &all, results.data(), slices);
  if (rc == STATUS_INVALID_PARAMETER) return;  // e.g. fewer bytes than slices
  if (rc != 0) abort();
  u64 sum = 0;
  for (u32 s = 0; s < slices; s++) {
    const compress_result &res = results[s];
    sum += res.in_len;
    if (!res.compressed) continue;
    if (res.result_len > res.in_len) abort();
    std::vector<uint8_t> back(res.in_len ? res.in_len : 1);
    u64 produced = 0;
    if (mirvol_uncompress(back.data(), res.in_len, res.result_data, res.result_len, &produced) != 0 ||
        produced != res.in_len)
      abort();
    const uint8_t *orig = data + s * (len / slices);
    if (res.in_len && memcmp(back.data(), orig, res.in_len) != 0) abort();
  }
  if (sum != len) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  uint8_t mode = data[0];
  size_t capacity = data[1] | (size_t)data[2] << 8;
  const uint8_t *rest = data + 3;
  size_t len = size - 3;
  if (mode & 1)
    check_round_trip(rest, len, 1u << ((mode >> 1) & 3));
  else
    check_decode(rest, len, capacity);
  return 0;
}
