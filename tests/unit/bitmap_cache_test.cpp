// The difference bitmap on real Cluster Partition images: bit addressing in
// both layouts, the block cache and its write-back, range updates, commands
// 3 and 68, and concurrent setters, flushers and range clears.

#include <set>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_main.h"
#include "module_fixture.h"

namespace {

using testutil::FakeDevice;
using testutil::ImageFile;
using testutil::LogCapture;
using testutil::ModuleLoad;

constexpr size_t kCpBytes = 6 << 20;
constexpr u64 kHistorySector = 10832;
constexpr char kCanary = (char)0xA5;

// An independent model of the bitmap layout.
struct Layout {
  u32 len;
  u64 block_bytes() const { return len == 4096 ? 4096 : 1024; }
  u64 first_sector() const { return len == 4096 ? 40 : 20; }  // of the bitmap
  u64 bits_per_block() const { return block_bytes() * 8; }
  // Byte offset on the image and mask of bit b.
  std::pair<u64, u8> where(u64 bit) const {
    u64 block = bit / bits_per_block();
    u64 in_block = bit % bits_per_block();
    return {first_sector() * 512 + block * block_bytes() + in_block / 8,
            (u8)(0x80 >> (in_block % 8))};
  }
  u64 room_bits() const { return (kHistorySector - first_sector()) * 512 * 8; }
};

// A loaded module with devices whose Cluster Partitions are image files
// filled with a canary outside the bitmap's room.
class BitmapTest : public testutil::LoadedModuleTest {
 protected:
  BitmapTest() : LoadedModuleTest({"nmp_minor=3,1"}) {}
  void release_devices() override { devs_.clear(); }
  void release_images() override { cps_.clear(); }
  struct nmp_info *attach(int minor, u32 len, u32 granule = 8) {
    devs_.push_back(std::make_unique<FakeDevice>(minor, 1 << 20));
    cps_.push_back(std::make_unique<ImageFile>(kCpBytes));
    const ImageFile &cp = *cps_.back();
    Layout l{len};
    std::vector<char> fill(kCpBytes, kCanary);
    std::fill(fill.begin() + (long)(l.first_sector() * 512),
              fill.begin() + (long)(kHistorySector * 512), 0);
    cp.write(0, fill);
    struct nmp_info *nmp = devs_.back()->nmp();
    testutil::attach_cp(nmp, cp, len, granule);
    return nmp;
  }
  const ImageFile &cp(size_t i) const { return *cps_[i]; }
  // Compares the whole image with the model: the bits of `bits` set in the
  // bitmap's room, every other room byte 0, the canary everywhere else.
  void expect_image(size_t i, u32 len, const std::set<u64> &bits) {
    Layout l{len};
    std::vector<char> img = cp(i).read(0, kCpBytes);
    std::vector<char> want(kCpBytes, kCanary);
    std::fill(want.begin() + (long)(l.first_sector() * 512),
              want.begin() + (long)(kHistorySector * 512), 0);
    for (u64 b : bits) {
      auto [off, mask] = l.where(b);
      want[off] = (char)(want[off] | mask);
    }
    if (img == want) return;
    for (size_t o = 0; o < kCpBytes; o++)
      if (img[o] != want[o]) {
        ADD_FAILURE() << "image " << i << " byte " << o << " (sector " << o / 512 << ") is "
                      << (int)(u8)img[o] << ", model says " << (int)(u8)want[o];
        return;
      }
  }
  std::vector<std::unique_ptr<FakeDevice>> devs_;
  std::vector<std::unique_ptr<ImageFile>> cps_;
};

TEST_F(BitmapTest, BitsLandWhereTheModelPutsThemInBothLayoutsForEveryGranule) {
  for (u32 len : {512u, 4096u})
    for (u32 granule : {1u, 8u, 128u}) {
      SCOPED_TRACE("len " + std::to_string(len) + " granule " + std::to_string(granule));
      TearDown();
      SetUp();
      g_max_cachenum = 3;
      struct nmp_info *nmp = attach(3, len, granule);
      Layout l{len};
      u64 bpb = l.bits_per_block();
      std::vector<u64> bits = {0,       1,   7,       8,           100,
                               bpb - 1, bpb, bpb + 9, 3 * bpb + 5, l.room_bits() - 1};
      std::set<u64> model;
      for (u64 b : bits) {
        // Every sector of the granule maps to the same bit.
        u64 sector = b * granule + (granule - 1);
        EXPECT_GE(mirvol_write_bitmap_from_secnr(sector, nmp), 0) << "bit " << b;
        model.insert(b);
      }
      // A bit past the room is refused and touches nothing.
      LogCapture log;
      EXPECT_EQ(mirvol_write_bitmap_from_secnr(l.room_bits() * granule, nmp), -1);
      EXPECT_TRUE(log.contains("Invalid offset"));
      ASSERT_EQ(flush_bitmap_cache(), 0);
      expect_image(0, len, model);
    }
}

TEST_F(BitmapTest, AddressingOfTheDocumentedEdges) {
  struct nmp_info *nmp = attach(3, 512, 8);
  struct bitmap_offset o;
  struct Case {
    u64 sector;
    u64 block, byte_in_block;
    s32 bit;
  } cases[] = {{0, 10, 0, 0}, {65535, 10, 1023, 7}, {65536, 11, 0, 0}, {8 * 9, 10, 1, 1}};
  for (const Case &c : cases) {
    mirvol_calc_offset(c.sector, nmp, &o);
    EXPECT_EQ(o.block_index, c.block) << c.sector;
    EXPECT_EQ(o.byte_in_block, c.byte_in_block) << c.sector;
    EXPECT_EQ(o.bit_in_byte, c.bit) << c.sector;
  }
  nmp->len = 4096;
  mirvol_calc_offset(0, nmp, &o);
  EXPECT_EQ(o.block_index, 5u);
  mirvol_calc_offset(8ull * 32768, nmp, &o);
  EXPECT_EQ(o.block_index, 6u);
  EXPECT_EQ(o.byte_in_block, 0u);
}

TEST_F(BitmapTest, BlockIndexesOutsideTheRoomAreRefused) {
  struct nmp_info *nmp = attach(3, 512);
  u8 buf[4096] = {};
  struct Case {
    u32 len;
    u64 index;
  } cases[] = {{512, 9}, {512, 5416}, {4096, 4}, {4096, 1354}};
  for (const Case &c : cases) {
    nmp->len = c.len;
    LogCapture log;
    EXPECT_EQ(mirvol_bitmap_readwrite(buf, c.index, nmp, 1), -1) << c.index;
    EXPECT_TRUE(log.contains("Invalid offset")) << c.index;
    mirvol_printk_init();
  }
  nmp->len = 512;
  EXPECT_EQ(mirvol_bitmap_readwrite(buf, 5415, nmp, 1), 0) << "the last block of the room";
  EXPECT_EQ(mirvol_bitmap_readwrite(buf, 10, nmp, 2), -1) << "rw must be 0 or 1";
  expect_image(0, 512, {});
}

TEST_F(BitmapTest, RangesSplitAtBlockBoundariesAndAnEmptyRangeDoesNothing) {
  struct nmp_info *nmp = attach(3, 512);
  ASSERT_EQ(mirvol_bitmap_clear1(100, 8291, nmp, 1), 0);
  std::set<u64> model;
  for (u64 b = 100; b <= 8291; b++) model.insert(b);
  expect_image(0, 512, model);
  ASSERT_EQ(mirvol_bitmap_clear1(200, 8200, nmp, 0), 0);
  for (u64 b = 200; b <= 8200; b++) model.erase(b);
  expect_image(0, 512, model);
  LogCapture log;
  EXPECT_EQ(mirvol_bitmap_clear1(10, 9, nmp, 1), -1);
  EXPECT_TRUE(log.texts().empty());
  // A bad value changes nothing but is still a full read and write.
  EXPECT_EQ(mirvol_bitmap_clear2(0, 2, nmp, 2), 0);
  EXPECT_TRUE(log.contains("bitmap clear flag (2) is invalid"));
  expect_image(0, 512, model);
}

// Runs a control command handler on its record.
std::vector<u8> run_cmd(void (*fn)(unsigned int, struct nmp_info *, u8 *), struct nmp_info *nmp,
                        u32 value) {
  std::vector<u8> rec(8, 0);
  memcpy(rec.data() + 4, &value, 4);
  fn(nmp->minor, nmp, rec.data());
  return rec;
}
u32 status(const std::vector<u8> &rec) {
  u32 s;
  memcpy(&s, rec.data(), 4);
  return s;
}

TEST_F(BitmapTest, CommandsThreeAndSixtyEight) {
  g_max_cachenum = 2;
  struct nmp_info *nmp = attach(3, 512, 1);  // 2048 bits, all in the first block
  struct Case {
    void (*fn)(unsigned int, struct nmp_info *, u8 *);
    u32 value, want;
  } refused[] = {{mirvol_bitmap_clear, 2, 0x800004}, {mirvol_set_bitmap, 2, 0x800007}};
  for (const Case &c : refused) EXPECT_EQ(status(run_cmd(c.fn, nmp, c.value)), c.want);

  // Command 3 fills whole blocks; the block after the last is untouched.
  nmp->recovery_prep_state = 1;
  EXPECT_EQ(status(run_cmd(mirvol_bitmap_clear, nmp, 1)), 0x800000u);
  EXPECT_EQ(nmp->recovery_prep_state, 0u);
  std::set<u64> model;
  for (u64 b = 0; b < 8192; b++) model.insert(b);
  expect_image(0, 512, model);
  EXPECT_EQ(status(run_cmd(mirvol_bitmap_clear, nmp, 0)), 0x800000u);
  expect_image(0, 512, {});

  // Command 68 sets exactly the device's bits, and a cached copy of the
  // block does not bring back what it cleared.
  ASSERT_GE(mirvol_write_bitmap_from_secnr(5000, nmp), 0);  // cached, dirty
  EXPECT_EQ(status(run_cmd(mirvol_set_bitmap, nmp, 1)), 0x800000u);
  model.clear();
  for (u64 b = 0; b < 2048; b++) model.insert(b);
  model.insert(5000);
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, model);
  EXPECT_EQ(status(run_cmd(mirvol_set_bitmap, nmp, 0)), 0x800000u);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(6000, nmp), 0);  // same block, through the cache
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {5000, 6000});

  // A device without bits: command 68 fails, command 3 writes nothing.
  my_disk[3] = 0;
  set_capacity(nmp->own_bdev->bd_disk, 0);
  LogCapture log;
  EXPECT_EQ(status(run_cmd(mirvol_set_bitmap, nmp, 1)), 0x800001u);
  EXPECT_TRUE(log.contains("failed to set the bitmap"));
  EXPECT_EQ(status(run_cmd(mirvol_bitmap_clear, nmp, 1)), 0x800000u);
  expect_image(0, 512, {5000, 6000});
}

TEST_F(BitmapTest, RangeClearsAndCachedBitsOfTheSameBlockStayCoherent) {
  g_max_cachenum = 1;
  struct nmp_info *nmp = attach(3, 512, 1);
  // A bit set in the cache survives a range clear of other bits in its block.
  ASSERT_EQ(mirvol_bitmap_clear1(0, 99, nmp, 1), 0);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(500, nmp), 0);
  ASSERT_EQ(mirvol_bitmap_clear1(0, 99, nmp, 0), 0);
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {500});
  // A range cleared by recovery is not resurrected by a later write-back.
  ASSERT_EQ(mirvol_bitmap_clear1(500, 500, nmp, 0), 0);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(600, nmp), 0);
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {600});
}

TEST_F(BitmapTest, FailedWriteBacksKeepTheBitsForALaterFlush) {
  // One entry only: every set in another block evicts it.
  ASSERT_EQ(g_cachenum, 1);
  struct nmp_info *nmp = attach(3, 512, 1);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(3, nmp), 0);  // block 10 (sectors 20, 21)
  struct blk_fault fail = {BLK_FAULT_WRITE, 20, 2, 1, 0, 1};
  ASSERT_GE(bdev_fault_add(nmp->cp_bdev, &fail), 0);
  EXPECT_EQ(flush_bitmap_cache(), -1);
  expect_image(0, 512, {});
  EXPECT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {3});

  // A failed write-back during eviction: the old block keeps its bits in
  // the entry, the new bit is not lost, and a later flush writes the old.
  ASSERT_GE(mirvol_write_bitmap_from_secnr(4, nmp), 0);
  ASSERT_GE(bdev_fault_add(nmp->cp_bdev, &fail), 0);
  EXPECT_EQ(mirvol_write_bitmap_from_secnr(8192 + 1, nmp), -1);  // block 11
  EXPECT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {3, 4, 8193});
  // A failed refill after a good write-back leaves the old block clean.
  ASSERT_GE(mirvol_write_bitmap_from_secnr(5, nmp), 0);
  struct blk_fault fail_read = {BLK_FAULT_READ, 24, 2, 1, 0, 1};  // block 12
  ASSERT_GE(bdev_fault_add(nmp->cp_bdev, &fail_read), 0);
  EXPECT_EQ(mirvol_write_bitmap_from_secnr(2 * 8192, nmp), -1);
  EXPECT_EQ(flush_bitmap_cache(), 0);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(6, nmp), 0);
  EXPECT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {3, 4, 5, 6, 8193, 2 * 8192});
  bdev_fault_clear(nmp->cp_bdev);
  EXPECT_TRUE(nmp->cp_error) << "a failed Cluster Partition I/O raises the error flag";
}

TEST_F(BitmapTest, TheCacheGrowsToItsLimitAndNeverAfterAFailedAllocation) {
  g_max_cachenum = 3;
  struct nmp_info *nmp = attach(3, 512, 1);
  std::set<u64> model;
  for (u64 blk = 0; blk < 5; blk++) {
    EXPECT_GE(mirvol_write_bitmap_from_secnr(blk * 8192 + blk, nmp), 0);
    model.insert(blk * 8192 + blk);
    EXPECT_EQ(g_cachenum, (int)std::min<u64>(blk + 1, 3)) << "after block " << blk;
  }
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, model);

  TearDown();
  SetUp();
  g_max_cachenum = 3;
  nmp = attach(3, 512, 1);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(1, nmp), 0);  // the first entry
  LogCapture log;
  alloc_fault_inject(0, 1, get_current());  // the new entry
  EXPECT_GE(mirvol_write_bitmap_from_secnr(8192 + 2, nmp), 0);
  alloc_fault_clear();
  EXPECT_TRUE(log.contains("failed to allocate cache_table, cachenum(1)"));
  EXPECT_EQ(g_malloc_cache_table_isError, 1);
  EXPECT_GE(mirvol_write_bitmap_from_secnr(2 * 8192 + 3, nmp), 0);
  EXPECT_EQ(g_cachenum, 1) << "the list never grows once an allocation failed";
  ASSERT_EQ(flush_bitmap_cache(), 0);
  expect_image(0, 512, {1, 8192 + 2, 2 * 8192 + 3});
}

TEST_F(BitmapTest, ConcurrentSettersFlushersAndRangeClearsMatchTheModel) {
  for (int max = 0; max <= 3; max++) {
    SCOPED_TRACE("g_max_cachenum " + std::to_string(max));
    TearDown();
    SetUp();
    g_max_cachenum = max;
    struct nmp_info *a = attach(3, 512, 1);
    struct nmp_info *b = attach(1, 4096, 8);
    struct nmp_info *devs[2] = {a, b};
    u32 lens[2] = {512, 4096};
    // Per device and block: bits 0..299 are preset and cleared by range
    // clears; setters set bits from 300 on in the same blocks.
    std::set<u64> want[2];
    for (int d = 0; d < 2; d++) {
      u64 bpb = Layout{lens[d]}.bits_per_block();
      for (u64 blk = 0; blk < 4; blk++) {
        ASSERT_EQ(mirvol_bitmap_clear1(blk * bpb, blk * bpb + 299, devs[d], 1), 0);
        for (u64 k = 0; k < 40; k++) want[d].insert(blk * bpb + 300 + k * 13);
      }
    }
    std::vector<std::unique_ptr<testutil::KThread>> threads;
    for (int d = 0; d < 2; d++) {
      for (int t = 0; t < 2; t++)
        threads.push_back(std::make_unique<testutil::KThread>([&, d, t] {
          int i = 0;
          for (u64 bit : want[d])
            if (i++ % 2 == t)
              mirvol_write_bitmap_from_secnr(bit * devs[d]->bmp_size_in_sec, devs[d]);
          return 0;
        }));
      threads.push_back(std::make_unique<testutil::KThread>([&, d] {
        u64 bpb = Layout{lens[d]}.bits_per_block();
        for (u64 blk = 0; blk < 4; blk++) {
          mirvol_bitmap_clear1(blk * bpb, blk * bpb + 149, devs[d], 0);
          mirvol_bitmap_clear1(blk * bpb + 150, blk * bpb + 299, devs[d], 0);
        }
        return 0;
      }));
    }
    threads.push_back(std::make_unique<testutil::KThread>([] {
      for (int i = 0; i < 20; i++) flush_bitmap_cache();
      return 0;
    }));
    threads.clear();  // each waits for its thread, with a time limit
    ASSERT_EQ(flush_bitmap_cache(), 0);
    expect_image(0, 512, want[0]);
    expect_image(1, 4096, want[1]);
  }
}

}  // namespace
