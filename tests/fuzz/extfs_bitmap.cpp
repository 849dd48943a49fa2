// The ext2/3/4 reader of control command 77 over a data partition whose
// first bytes are the input (the rest zero): a superblock, group
// descriptors and block bitmaps, mutated from the first blocks of small
// real file systems. Command 77 runs through the block layer's ioctl
// entry. When it succeeds, the difference bitmap on the Cluster Partition
// holds exactly the number of bits it reports, none at or past the file
// system's last granule, and the record names the superblock's block count
// and block size. Both images are zeroed before each input; the module and
// its device are set up once.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/mirvol_extfs.h"
#include "include/mirvol_status.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr u64 kDataBytes = 8 << 20;
constexpr u64 kBitmapByte = 20 * 512;  // the 1 KiB layout's first bitmap block
constexpr u64 kBitmapBlock = 1024;     // bytes of one bitmap block

u32 le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (u32)p[3] << 24; }

struct Setup {
  fuzzsupport::Module module;
  int dp_fd = -1, cp_fd = -1;
  Setup() {
    if (!module.load()) abort();
    dp_fd = module.data_image().open_rw();
    cp_fd = module.cp_image().open_rw();
  }
};

[[noreturn]] void fail(const char *what) { fuzzsupport::fail("extfs_bitmap", what); }

}  // namespace

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *setup = new Setup();
  struct nmp_info *nmp = setup->module.nmp();
  if (size > kDataBytes) size = kDataBytes;
  setup->module.data_image().clear();
  setup->module.cp_image().clear();
  if (size && pwrite(setup->dp_fd, data, size, 0) != (ssize_t)size) abort();

  u8 rec[MIRVOL_FS_REC77_SIZE] = {};
  if (fuzzsupport::control(3, 77, rec, sizeof(rec)) != 0) fail("the ioctl failed");
  u32 status;
  memcpy(&status, rec, 4);
  static const bool verbose = getenv("MIRVOL_FUZZ_LOG") != nullptr;
  if (verbose) {
    u32 bits;
    memcpy(&bits, rec + MIRVOL_FS77_BITS, 4);
    fprintf(stderr, "extfs_bitmap: status %#x, %u bits\n", status, bits);
  }
  if (status != (u32)STATUS_OK) return 0;

  // The superblock at byte 1024, completed by the zeros after the input.
  uint8_t sb[1024] = {};
  if (size > 1024) memcpy(sb, data + 1024, size - 1024 < 1024 ? size - 1024 : 1024);
  u32 blocks = le32(sb + 4), log_bsize = le32(sb + 24);
  u32 got_log;
  u64 got_blocks;
  memcpy(&got_log, rec + MIRVOL_FS77_LOG_BSIZE, 4);
  memcpy(&got_blocks, rec + MIRVOL_FS77_BLOCKS, 8);
  if (got_log != log_bsize || got_blocks != blocks) fail("the record does not name the superblock");
  u64 granule = nmp->bmp_size_in_sec;
  u64 fs_bits = ((u64)blocks * ((1024u << log_bsize) / 512) + granule - 1) / granule;
  if ((u64)blocks * (1024u << log_bsize) > kDataBytes) fail("a file system past the mirror");
  // Every bitmap block the device's bits can reach, and one after.
  u64 device_bits = (kDataBytes / 512 + granule - 1) / granule;
  size_t bytes = (size_t)((device_bits + 8 * kBitmapBlock - 1) / (8 * kBitmapBlock) + 1) * kBitmapBlock;
  std::vector<uint8_t> bmp(bytes);
  if (pread(setup->cp_fd, bmp.data(), bytes, (off_t)kBitmapByte) != (ssize_t)bytes) abort();
  u64 set = 0;
  for (u64 bit = 0; bit < (u64)bytes * 8; bit++) {
    if (!(bmp[bit / 8] & (0x80u >> (bit % 8)))) continue;
    if (bit >= fs_bits) {
      fprintf(stderr, "extfs_bitmap: bit %llu set, the file system has %llu\n",
              (unsigned long long)bit, (unsigned long long)fs_bits);
      abort();
    }
    set++;
  }
  u32 reported;
  memcpy(&reported, rec + MIRVOL_FS77_BITS, 4);
  if (set != reported) {
    fprintf(stderr, "extfs_bitmap: %llu bits set, %u reported\n", (unsigned long long)set, reported);
    abort();
  }
  return 0;
}
