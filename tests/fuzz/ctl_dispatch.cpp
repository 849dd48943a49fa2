// The control-command dispatcher through the block layer's ioctl entry, as
// the host's control worker calls it: up to eight calls per input, each of
// any command number on a caller record of any length, on NMP3 (a device)
// or NMP1 (a mirror disk with no device). The module is loaded anew for
// each input, on zeroed images, so every input starts from the same state.
//
// Input, repeated: byte 0 bit 7 chooses the disk (0: NMP3, 1: NMP1) and
// bits 0-6 the command (0..111 as they are; 112..127 the block ioctl
// numbers and two numbers beyond every table); bytes 1-2 (little-endian)
// the record length, below 4096; then the record's bytes, zero-filled when
// the input ends first.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/blkdev.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const unsigned int kBlockIoctls[16] = {
    BLKROSET, BLKROGET, BLKGETSIZE, BLKFLSBUF,    BLKSSZGET,   BLKPG, BLKBSZGET, BLKBSZSET,
    BLKGETSIZE64, BLKPBSZGET, 0x1262U, 0x1267U, 0x126aU, 0xffffffffU, 1000U, 0x80000003U,
};

unsigned int command(uint8_t b) {
  unsigned int n = b & 0x7f;
  return n < 112 ? n : kBlockIoctls[n - 112];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzsupport::init_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzzsupport::Module module;
  if (!module.load()) abort();
  size_t off = 0;
  for (int calls = 0; calls < 8 && size - off >= 3; calls++) {
    u32 minor = (data[off] & 0x80) ? 1 : 3;
    unsigned int cmd = command(data[off]);
    size_t len = (data[off + 1] | (size_t)data[off + 2] << 8) % 4096;
    off += 3;
    // Exactly `len` bytes: a copy past the record is caught.
    std::vector<u8> rec(len ? len : 1, 0);
    size_t have = size - off < len ? size - off : len;
    if (have) memcpy(rec.data(), data + off, have);
    off += have;
    fuzzsupport::control(minor, cmd, rec.data(), len);
  }
  module.unload();
  return 0;
}
