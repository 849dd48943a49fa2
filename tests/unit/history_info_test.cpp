// The history journal on the Cluster Partition image: the record layout,
// the ring's wrap and overflow, deletes, the in-use flag, clear (command
// 84) and conversion into bitmap bits (command 85).

#include "history_fixture.h"

namespace historytest {
namespace {

using testutil::LogCapture;

std::vector<u8> operator+(std::vector<u8> a, const std::vector<u8> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Journal : public HistoryTest, public testing::WithParamInterface<u32> {
 protected:
  void SetUp() override { load(8 << 20, GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(BlockSize, Journal, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<u32> &i) {
                           return "len" + std::to_string(i.param);
                         });

TEST_P(Journal, RecordsAndTheFlagAreLaidOutByteExactAndDeletesZeroTheirSlot) {
  // The flag block before: garbage that the write must replace whole.
  cp_put(10832ull * 512, std::vector<u8>(4096, 0xAB));
  auto *a = request(0x1111, 100, 8);
  auto *b = request(0x2222, 5000, 256);
  auto *c = request(0x3333, 16000, 1);
  for (auto *r : {a, b, c}) ASSERT_EQ(mirvol_write_history_info_main(r), HIS_OK);

  EXPECT_EQ(a->history_position, kRingByte);
  EXPECT_EQ(b->history_position, kRingByte + 32);
  EXPECT_EQ(c->history_position, kRingByte + 64);
  std::vector<u8> want = record_bytes(0x1111, 100, 8);
  for (auto &r : {record_bytes(0x2222, 5000, 256), record_bytes(0x3333, 16000, 1)})
    want.insert(want.end(), r.begin(), r.end());
  want.resize(4096, 0);
  EXPECT_EQ(cp_bytes(kRingByte, 4096), want);
  // The flag: a u32 1, the rest of its block (the layout's block size) zero.
  std::vector<u8> flag(GetParam(), 0);
  flag[0] = 1;
  EXPECT_EQ(cp_bytes(10832ull * 512, GetParam()), flag);
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 1u);
  EXPECT_EQ(mirvol_history_count(h()), 3u);

  ASSERT_EQ(mirvol_delete_history_info(b), HIS_OK);
  std::fill(want.begin() + 32, want.begin() + 64, 0);
  EXPECT_EQ(cp_bytes(kRingByte, 4096), want);
  EXPECT_EQ(mirvol_history_count(h()), 2u);
  EXPECT_EQ(mirvol_delete_history_info(b), HIS_INVALID) << "a second delete";
  auto *other = request(0x9999, 100, 8);
  other->history_position = a->history_position;
  EXPECT_EQ(mirvol_delete_history_info(other), HIS_OTHER_SERIAL);
  EXPECT_EQ(cp_bytes(kRingByte, 4096), want) << "slots unchanged by refused deletes";
  // The freed slot is found again only after the ring wraps; the next write
  // goes on from the write position.
  auto *d = request(0x4444, 1, 1);
  ASSERT_EQ(mirvol_write_history_info_main(d), HIS_OK);
  EXPECT_EQ(d->history_position, kRingByte + 96);
}

TEST_P(Journal, DeletesOfPagesBeyondTheMainCacheGoThroughTheDeleteCaches) {
  // Records on three pages; the writes leave the main cache on the last.
  std::vector<struct io_request *> reqs;
  for (u64 i = 0; i < 3 * 128; i++) {
    reqs.push_back(request(i + 1, i, 1));
    ASSERT_EQ(mirvol_write_history_info_main(reqs.back()), HIS_OK);
  }
  // Deletes across pages, in an order that makes the delete caches turn.
  for (u64 i : {0, 200, 1, 201, 130, 2, 383, 3})
    ASSERT_EQ(mirvol_delete_history_info(reqs[i]), HIS_OK) << i;
  for (u64 i = 0; i < 3 * 128; i++) {
    bool gone = i == 0 || i == 1 || i == 2 || i == 3 || i == 130 || i == 200 || i == 201 || i == 383;
    auto want = gone ? std::vector<u8>(32, 0) : record_bytes(i + 1, i, 1);
    ASSERT_EQ(cp_bytes(kRingByte + i * 32, 32), want) << "slot " << i;
  }
  EXPECT_EQ(mirvol_history_count(h()), 3u * 128 - 8);
}

TEST_P(Journal, RecordsLeftFromBeforeAreSkippedAndTheRingWrapsAtItsEnd) {
  // Records already on the Cluster Partition (not counted) in every slot
  // but the second and the last.
  u64 ring_end = kRingByte + (2ull << 20);
  std::vector<u8> fill;
  for (u64 p = kRingByte; p < ring_end - 32; p += 32) {
    auto r = p == kRingByte + 32 ? std::vector<u8>(32, 0) : record_bytes(0x55, 1, 1);
    fill.insert(fill.end(), r.begin(), r.end());
  }
  cp_put(kRingByte, fill);
  auto *a = request(1, 10, 1);
  ASSERT_EQ(mirvol_write_history_info_main(a), HIS_OK);
  EXPECT_EQ(a->history_position, kRingByte + 32);
  auto *b = request(2, 20, 1);
  ASSERT_EQ(mirvol_write_history_info_main(b), HIS_OK);
  EXPECT_EQ(b->history_position, ring_end - 32);
  EXPECT_EQ(cp_bytes(ring_end - 32, 32), record_bytes(2, 20, 1));
  EXPECT_EQ(cp_bytes(ring_end, 32), std::vector<u8>(32, 0)) << "nothing past the ring";
  // After the last slot comes the first: the slot a freed is found there.
  ASSERT_EQ(mirvol_delete_history_info(a), HIS_OK);
  auto *c = request(3, 30, 1);
  ASSERT_EQ(mirvol_write_history_info_main(c), HIS_OK);
  EXPECT_EQ(c->history_position, kRingByte + 32);
  EXPECT_EQ(cp_bytes(kRingByte, 64), (std::vector<u8>(fill.begin(), fill.begin() + 32) +
                                      record_bytes(3, 30, 1)));
}

// The ring's logic does not depend on the block size.
class FullRing : public HistoryTest {
 protected:
  void SetUp() override { load(8 << 20, 512, 1); }
};

TEST_F(FullRing, AFullRingRefusesWithFiveAndLogsOnceUntilARecordIsFreed) {
  ASSERT_EQ(h()->capacity, 32768u);
  std::vector<struct io_request *> reqs;
  for (u64 i = 0; i < 32768; i++) {
    reqs.push_back(request(i, i % 16384, 1));
    ASSERT_EQ(mirvol_write_history_info_main(reqs.back()), HIS_OK) << i;
  }
  LogCapture log;
  EXPECT_EQ(mirvol_write_history_info_main(request(99999, 1, 1)), HIS_RING_FULL);
  EXPECT_EQ(mirvol_write_history_info_main(request(99998, 1, 1)), HIS_RING_FULL);
  int overflow = 0;
  for (auto &t : log.texts()) overflow += t.find("(overflow)") != std::string::npos;
  EXPECT_EQ(overflow, 1) << log.dump();
  // A freed slot in the middle: the next write wraps round to it.
  ASSERT_EQ(mirvol_delete_history_info(reqs[5000]), HIS_OK);
  auto *n = request(100000, 7, 1);
  ASSERT_EQ(mirvol_write_history_info_main(n), HIS_OK);
  EXPECT_EQ(n->history_position, kRingByte + 5000 * 32);
  EXPECT_EQ(cp_bytes(kRingByte + 5000 * 32, 32), record_bytes(100000, 7, 1));
}

TEST_P(Journal, ARingOfSizeZeroRefusesEveryWriteAndConvertsToNothing) {
  TearDown();
  load(8 << 20, GetParam(), 0);
  EXPECT_EQ(mirvol_write_history_info_main(request(1, 1, 1)), HIS_RING_FULL);
  EXPECT_EQ(mirvol_convert_history_info(nmp_), HIS_OK);
  EXPECT_EQ(cp_bytes(kRingByte, 64), std::vector<u8>(64, 0));
}

TEST_P(Journal, AFailedFlagWriteFailsTheRecordAndLeavesTheFlagClear) {
  int id = add_fault(10832, GetParam() / 512, BLK_FAULT_WRITE, 1);
  ASSERT_GE(id, 0);
  EXPECT_EQ(mirvol_write_history_info_main(request(1, 1, 1)), HIS_WRITE_FAILED);
  EXPECT_EQ(bdev_fault_hits(nmp_->cp_bdev, id), 1);
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 0u);
  EXPECT_EQ(cp_bytes(kRingByte, 32), std::vector<u8>(32, 0)) << "no record without the flag";
  // The next one writes the flag and then its record.
  auto *r = request(2, 1, 1);
  ASSERT_EQ(mirvol_write_history_info_main(r), HIS_OK);
  EXPECT_EQ(flag_on_disk(), 1u);
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 1u);
  EXPECT_EQ(cp_bytes(kRingByte, 32), record_bytes(2, 1, 1));
}

TEST_P(Journal, TheSendersFlagCallWritesAtOnceAndLeavesTheRequestsBitsAlone) {
  auto *r = request(1, 1, 1);
  ASSERT_EQ(mirvol_set_hisinfo_used_flag(nmp_, r, 1), 0);
  EXPECT_EQ(flag_on_disk(), 1u) << "on the Cluster Partition when the call returns";
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 1u);
  EXPECT_EQ(r->time_write_flags, 0u);
  for (auto *b : r->cp_bio) EXPECT_EQ(b, nullptr);
  EXPECT_EQ(r->completion, 0u);
}

TEST_P(Journal, AFailedRecordWriteLeavesTheCachedSlotFree) {
  ASSERT_EQ(mirvol_write_history_info_main(request(1, 1, 1)), HIS_OK);
  int id = add_fault(kRingByte / 512, 8, BLK_FAULT_WRITE, 1);
  ASSERT_GE(id, 0);
  auto *r = request(2, 2, 1);
  EXPECT_EQ(mirvol_write_history_info_main(r), HIS_WRITE_FAILED);
  EXPECT_EQ(mirvol_history_count(h()), 1u);
  // The slot the failed write had filled in the cache is free again: the
  // next write takes it, and the page on disk holds exactly two records.
  auto *s = request(3, 3, 1);
  ASSERT_EQ(mirvol_write_history_info_main(s), HIS_OK);
  EXPECT_EQ(s->history_position, kRingByte + 32);
  auto page = cp_bytes(kRingByte, 96);
  auto want = record_bytes(1, 1, 1);
  auto second = record_bytes(3, 3, 1);
  want.insert(want.end(), second.begin(), second.end());
  want.resize(96, 0);
  EXPECT_EQ(page, want);
}

TEST_P(Journal, CommandEightyFourClearsTheRingAndTheFlag) {
  LogCapture quiet;
  EXPECT_EQ(cmd(84), (u32)STATUS_OK) << "nothing in use: at once";
  EXPECT_EQ(cmd(85), (u32)STATUS_OK);
  EXPECT_TRUE(quiet.texts().empty()) << quiet.dump();

  std::vector<struct io_request *> reqs;
  for (u64 i = 0; i < 300; i++) {
    reqs.push_back(request(i + 1, i, 1));
    ASSERT_EQ(mirvol_write_history_info_main(reqs.back()), HIS_OK);
  }
  // A stale record far into the ring, which only the clear's sweep reaches.
  cp_put(kRingByte + (1ull << 20) + 64, record_bytes(7, 7, 7));
  LogCapture log;
  EXPECT_EQ(cmd(84), (u32)STATUS_OK);
  EXPECT_TRUE(log.contains("NMP3 clearing history info.")) << log.dump();
  EXPECT_TRUE(log.contains("NMP3 history info has been cleared.")) << log.dump();
  EXPECT_EQ(cp_bytes(kRingByte, 2 << 20), std::vector<u8>(2 << 20, 0));
  EXPECT_EQ(flag_on_disk(), 0u);
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 0u);
  EXPECT_EQ(mirvol_history_count(h()), 0u);
  // The caches hold nothing stale: the next record goes to the first slot.
  auto *r = request(500, 1, 1);
  ASSERT_EQ(mirvol_write_history_info_main(r), HIS_OK);
  EXPECT_EQ(r->history_position, kRingByte);
  EXPECT_EQ(flag_on_disk(), 1u);
}

TEST_P(Journal, AFailedClearReportsAndInvalidatesTheCaches) {
  auto *first = request(1, 1, 1);
  ASSERT_EQ(mirvol_write_history_info_main(first), HIS_OK);
  ASSERT_GE(add_fault(kRingByte / 512 + 128, 128, BLK_FAULT_WRITE, 1), 0);
  LogCapture log;
  EXPECT_EQ(cmd(84), (u32)STATUS_FAILED);
  EXPECT_TRUE(log.contains("NMP3 failed to clear history info. (err=4)")) << log.dump();
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 1u) << "the flag stays while records may remain";
  EXPECT_EQ(flag_on_disk(), 1u);
  // The first page is zero on disk: a cache that still held it would find
  // the record there and delete it again.
  EXPECT_EQ(mirvol_delete_history_info(first), HIS_INVALID);
}

// The bits a correct conversion sets for records (first, count).
static std::vector<u8> model_bits(const std::vector<std::pair<u64, u64>> &recs, u64 granule,
                                  size_t bytes) {
  std::vector<u8> bits(bytes, 0);
  for (auto &r : recs)
    for (u64 b = r.first / granule; b <= (r.first + r.second - 1) / granule; b++)
      bits.at(b / 8) |= (u8)(0x80 >> (b % 8));
  return bits;
}

class Conversion : public HistoryTest, public testing::WithParamInterface<u32> {
 protected:
  // A data partition of 300 MiB (sparse): granule 1 puts the 524288-bit
  // window boundary at sector 524288, inside it.
  static constexpr u64 kSectors = 300ull << 11;
  void SetUp() override { load(kSectors * 512, GetParam()); }
  u64 bitmap_byte() const { return GetParam() == 4096 ? 40 * 512 : 20 * 512; }
  void put_records(const std::vector<std::pair<u64, u64>> &recs, u64 slot0 = 0) {
    std::vector<u8> b;
    for (size_t i = 0; i < recs.size(); i++) {
      auto r = record_bytes(i + 1, recs[i].first, recs[i].second);
      b.insert(b.end(), r.begin(), r.end());
    }
    cp_put(kRingByte + slot0 * 32, b);
  }
  void set_flag() { ASSERT_EQ(mirvol_set_hisinfo_used_flag(nmp_, nullptr, 1), 0); }
};

INSTANTIATE_TEST_SUITE_P(BlockSize, Conversion, testing::Values(512u, 4096u),
                         [](const testing::TestParamInfo<u32> &i) {
                           return "len" + std::to_string(i.param);
                         });

TEST_P(Conversion, RecordsBecomeTheBitsAModelComputes) {
  std::vector<std::pair<u64, u64>> recs = {
      {0, 1},          {7, 9},       {100, 256},         {524280, 20},  // crosses a window
      {kSectors - 3, 3}, {4096, 8},  {123456, 1},
  };
  // Spread over the ring, with a free slot and a record of count 0 among them.
  put_records({recs[0], recs[1], recs[2]});
  cp_put(kRingByte + 4 * 32, record_bytes(50, 999, 0));
  std::vector<std::pair<u64, u64>> later(recs.begin() + 3, recs.end());
  put_records(later, 40000);
  set_flag();
  // Bits already set stay set.
  std::vector<u8> pre(16, 0);
  pre[15] = 0x01;
  cp_put(bitmap_byte() + 1000, pre);
  LogCapture log;
  EXPECT_EQ(cmd(85), (u32)STATUS_OK);
  EXPECT_TRUE(log.contains("NMP3 converting history info.")) << log.dump();
  EXPECT_TRUE(log.contains("NMP3 history info has been converted.")) << log.dump();
  size_t n = (size_t)(kSectors / 8);
  auto want = model_bits(recs, 1, n);
  want[1000 + 15] |= 0x01;
  EXPECT_TRUE(cp_bytes(bitmap_byte(), n) == want);
  EXPECT_EQ(cp_bytes(kRingByte, 2 << 20), std::vector<u8>(2 << 20, 0));
  EXPECT_EQ(flag_on_disk(), 0u);
  EXPECT_EQ(mirvol_hisinfo_used(nmp_), 0u);
}

TEST_P(Conversion, AnOutOfRangeRecordStopsWithSevenKeepingWhatWasConverted) {
  struct Case {
    const char *name;
    u64 first, count;
  } cases[] = {
      {"first past the end", kSectors, 1},
      {"ends past the end", kSectors - 2, 3},
      {"count wraps", 10, ~0ull - 5},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    cp_put(bitmap_byte(), std::vector<u8>(64, 0));
    put_records({{8, 8}, {c.first, c.count}, {64, 8}});
    set_flag();
    LogCapture log;
    EXPECT_EQ(cmd(85), (u32)STATUS_INVALID_HISTORY);
    EXPECT_TRUE(log.contains("NMP3 failed to convert history info. (invalid info found)"))
        << log.dump();
    EXPECT_TRUE(log.contains("(out of range: last sector nmp=" + std::to_string(kSectors - 1)))
        << log.dump();
    // The record before the bad one reached the bitmap; the ring is clear.
    auto bits = cp_bytes(bitmap_byte(), 64);
    EXPECT_EQ(bits[1], 0xFF);
    EXPECT_EQ(bits[8], 0x00) << "nothing after the bad record";
    EXPECT_EQ(cp_bytes(kRingByte, 4096), std::vector<u8>(4096, 0));
    EXPECT_EQ(mirvol_hisinfo_used(nmp_), 1u) << "only a successful conversion resets the flag";
  }
}

TEST_P(Conversion, ACachedBitmapBlockWrittenBackLaterKeepsTheConvertedBits) {
  // Bit 3 set through the cache (its block stays cached, then is flushed by
  // the conversion); a record sets bit 10 of the same block.
  ASSERT_GE(mirvol_write_bitmap_from_secnr(3, nmp_), 0);
  put_records({{10, 1}});
  set_flag();
  EXPECT_EQ(cmd(85), (u32)STATUS_OK);
  // A later bit set in the cached block, and its write-back.
  ASSERT_EQ(mirvol_write_bitmap_from_secnr(20, nmp_), 1) << "the block is still cached";
  ASSERT_EQ(flush_bitmap_cache(), 0);
  auto bits = cp_bytes(bitmap_byte(), 4);
  EXPECT_EQ(bits[0], 0x10);
  EXPECT_EQ(bits[1], 0x20) << "the converted bit survives the write-back";
  EXPECT_EQ(bits[2], 0x08);
}

TEST_P(Conversion, AFailedBitmapFlushStopsTheConversionBeforeTheRing) {
  ASSERT_GE(mirvol_write_bitmap_from_secnr(3, nmp_), 0);  // dirty in the cache
  put_records({{10, 1}});
  set_flag();
  ASSERT_GE(add_fault(bitmap_byte() / 512, 8, BLK_FAULT_WRITE, 1), 0);
  EXPECT_EQ(mirvol_convert_history_info(nmp_), HIS_WRITE_FAILED);
  EXPECT_EQ(cp_bytes(kRingByte, 32), record_bytes(1, 10, 1)) << "the ring is untouched";
}

TEST_P(Conversion, AGranuleNotAboveZeroFailsBeforeAnyDivision) {
  put_records({{10, 1}});
  set_flag();
  nmp_->bmp_size_in_sec = 0;
  LogCapture log;
  EXPECT_EQ(cmd(85), (u32)STATUS_FAILED);
  EXPECT_TRUE(log.contains("NMP3 bmp_size_in_sec (0) is invalid.")) << log.dump();
  EXPECT_EQ(cp_bytes(kRingByte, 32), record_bytes(1, 10, 1));
  nmp_->bmp_size_in_sec = 1;
}

TEST(HistoryInit, ARingThatDoesNotFitTheClusterPartitionIsRefused) {
  clock_set_time_scale(50);
  testutil::ImageFile dp(1 << 20), cp(kRingByte + (1 << 20));
  {
    testutil::ModuleLoad load({"nmp_minor=3,1"});
    ASSERT_EQ(load.result(), 0);
    struct nmp_info *nmp = testsupport_make_device(3, dp.path().c_str(), 0);
    ASSERT_NE(nmp, nullptr);
    struct block_device *b = blkdev_get_by_path(cp.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    ASSERT_FALSE(IS_ERR(b));
    nmp->cp_bdev = b;
    nmp->len = 512;
    for (s32 size : {2, -1, 0x7fffffff}) {
      LogCapture log;
      auto rec = init_record(size, 0, "");
      EXPECT_EQ(mirvol_history_init(rec.data(), nmp), nullptr) << size;
      EXPECT_TRUE(log.contains("NMP3 history_size (" + std::to_string(size) + ") is invalid."))
          << log.dump();
    }
    // No ring at all fits any Cluster Partition, even one that ends before
    // the history area.
    {
      testutil::ImageFile small(1 << 20);
      struct block_device *sb =
          blkdev_get_by_path(small.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
      ASSERT_FALSE(IS_ERR(sb));
      nmp->cp_bdev = sb;
      auto none = init_record(0, 0, "");
      struct history_info *h0 = mirvol_history_init(none.data(), nmp);
      EXPECT_NE(h0, nullptr);
      mirvol_history_free(h0);
      nmp->cp_bdev = b;
      blkdev_put(sb, FMODE_READ | FMODE_WRITE);
    }
    auto rec = init_record(1, 0, "");
    g_history_cache_delnum = 0;
    struct history_info *h = mirvol_history_init(rec.data(), nmp);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->del_cnt, 2) << "a delete-cache count below 1 gets the default";
    mirvol_history_free(h);
    my_disk[3] = 0;
  }
  clock_set_time_scale(1);
}

}  // namespace
}  // namespace historytest
