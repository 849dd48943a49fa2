// The history-journal conversion of control command 85 over a ring of any
// content: a Cluster Partition image whose journal ring the input fills
// (the rest zero), the in-use flag set, then command 85 through the block
// layer's ioctl entry. Checked against a model written from the journal's
// record format: every record in use with a sector count turns the bits of
// its granules on; a record that reaches past the data partition stops the
// conversion with the invalid-history status, keeping the bits of the
// records before it. Either way the ring is all zero afterwards. The
// Cluster Partition is zeroed before each input; the module and its device
// (and the device's journal of 1 MiB) are set up once.
//
// Input: byte 0 bits 0-1 choose the granule in sectors (1, 8, 64, 128);
// bytes 1-2 (little-endian) the ring slot the rest of the input is placed
// at (modulo the ring's slots); the rest, 32-byte records: serial,
// first sector, sector count, in-use word, each 64-bit little-endian.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_history.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_records.h"
#include "include/mirvol_status.h"
#include "include/mirvol_trans.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr u64 kRingBytes = 1 << 20;
constexpr u64 kSlots = kRingBytes / 32;
constexpr u64 kDataSectors = (8 << 20) / 512;
constexpr u64 kBitmapByte = 20 * 512;  // the 1 KiB layout's first bitmap sector
const u32 kGranules[4] = {1, 8, 64, 128};

u64 le64(const uint8_t *p) {
  u64 v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

struct Setup {
  fuzzsupport::Module module{MIRVOL_HISINFO_RING_BYTE + kRingBytes};
  int cp_fd = -1;

  Setup() {
    if (!module.load()) abort();
    struct nmp_info *nmp = module.nmp();
    mirvol_rec::nmp_init_record init = {};
    init.history_size = 1;  // MiB
    std::vector<u8> rec(MIRVOL_NMP_INIT_SIZE, 0);
    mirvol_rec::rec_store(rec.data(), init);
    nmp->mode = 0;
    nmp->history = mirvol_history_init(rec.data(), nmp);
    if (!nmp->history) abort();
    cp_fd = module.cp_image().open_rw();
  }

  void put(u64 off, const uint8_t *p, size_t n) const {
    if (pwrite(cp_fd, p, n, (off_t)off) != (ssize_t)n) abort();
  }
  std::vector<uint8_t> get(u64 off, size_t n) const {
    std::vector<uint8_t> v(n);
    if (pread(cp_fd, v.data(), n, (off_t)off) != (ssize_t)n) abort();
    return v;
  }
};

[[noreturn]] void fail(const char *what) { fuzzsupport::fail("hist_convert", what); }

}  // namespace

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *setup = new Setup();
  if (size < 3) return 0;
  struct nmp_info *nmp = setup->module.nmp();
  u32 granule = kGranules[data[0] & 3];
  u64 slot = (data[1] | (u64)data[2] << 8) % kSlots;
  // A last partial record is completed by the zeros after it.
  size_t n = size - 3;
  if (n > (kSlots - slot) * 32) n = (size_t)((kSlots - slot) * 32);
  std::vector<uint8_t> padded(data + 3, data + 3 + n);
  padded.resize((n + 31) / 32 * 32, 0);
  const uint8_t *recs = padded.data();
  n = padded.size();

  setup->module.cp_image().clear();
  nmp->bmp_size_in_sec = granule;
  setup->put(MIRVOL_HISINFO_RING_BYTE + slot * 32, recs, n);
  if (mirvol_set_hisinfo_used_flag(nmp, nullptr, 1) != 0) fail("the in-use flag was not set");

  // The model: records in ring order until the first one out of range.
  u64 bits = (kDataSectors + granule - 1) / granule;
  std::vector<uint8_t> want((size_t)((bits + 7) / 8), 0);
  bool invalid = false;
  for (size_t off = 0; off + 32 <= n && !invalid; off += 32) {
    u64 first = le64(recs + off + 8), count = le64(recs + off + 16), used = le64(recs + off + 24);
    if (used == 0 || count == 0) continue;
    if (first >= kDataSectors || count > kDataSectors - first) {
      invalid = true;
      break;
    }
    for (u64 b = first / granule; b <= (first + count - 1) / granule; b++)
      want[b / 8] |= (uint8_t)(0x80u >> (b % 8));
  }

  u8 rec[4] = {};
  if (fuzzsupport::control(3, 85, rec, sizeof(rec)) != 0) fail("the ioctl failed");
  u32 status;
  memcpy(&status, rec, 4);
  if (status != (invalid ? (u32)STATUS_INVALID_HISTORY : (u32)STATUS_OK)) {
    fprintf(stderr, "hist_convert: status %#x, the model says %s\n", status,
            invalid ? "invalid" : "ok");
    abort();
  }
  std::vector<uint8_t> got = setup->get(kBitmapByte, want.size());
  if (got != want) {
    for (size_t i = 0; i < want.size(); i++)
      if (got[i] != want[i]) {
        fprintf(stderr, "hist_convert: bitmap byte %zu is %#x, the model has %#x\n", i, got[i],
                want[i]);
        break;
      }
    fail("the bitmap differs from the model");
  }
  // Nothing past the device's bits.
  std::vector<uint8_t> rest = setup->get(kBitmapByte + want.size(), 4096);
  for (uint8_t b : rest)
    if (b) fail("a bit past the data partition is set");
  std::vector<uint8_t> ring = setup->get(MIRVOL_HISINFO_RING_BYTE, (size_t)kRingBytes);
  for (uint8_t b : ring)
    if (b) fail("the ring is not clear after the conversion");
  if (mirvol_hisinfo_used(nmp) != (invalid ? 1u : 0u)) fail("the in-use flag is wrong");
  return 0;
}
