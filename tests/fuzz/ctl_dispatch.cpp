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
// the input ends first. Every call passes the caller's descriptors 20 (a
// zeroed Cluster Partition image) and 21 (a zeroed data partition image),
// so that device creation and the commands that read a partition by
// descriptor get that far.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/blkdev.h"
#include "platform/task.h"
#include "platform/host_side.h"
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

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzzsupport::Module module;
  static const bool verbose = getenv("MIRVOL_FUZZ_LOG") != nullptr;
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
    const int nums[2] = {20, 21};
    const std::string paths[2] = {module.spare_cp().path(), module.spare_dp().path()};
    int r = fuzzsupport::control(minor, cmd, rec.data(), len, nums, paths, 2);
    if (verbose) {
      u32 status = 0;
      memcpy(&status, rec.data(), len < 4 ? len : 4);
      fprintf(stderr, "ctl_dispatch: NMP%u command %u, record %zu bytes: ioctl=%d status=%#x\n",
              minor, cmd, len, r, status);
    }
  }
  module.unload();
  // Unload stops every thread the device and the commands started: one
  // still running would outlive the module it runs in.
  for (int i = 0; i < 10000 && kthread_reap() > 0; i++) usleep(1000);
  if (kthread_count_running() != 0) {
    fprintf(stderr, "ctl_dispatch: %d kernel threads still run after unload\n",
            kthread_count_running());
    abort();
  }
  return 0;
}
