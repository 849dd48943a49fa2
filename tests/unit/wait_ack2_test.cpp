// The wait-ACK2 queue: entries made from received heads, removal by id,
// the cursor kept right for a walker, and the walks of the remote bitmap
// writer that put expired (or all) entries into this server's bitmap.

#include <thread>

#include "writer_fixture.h"

using testutil::eventually;
using testutil::KThread;
using testutil::LogCapture;
using writertest::BitModel;
using writertest::wire_head;

namespace {

class WaitAck2 : public writertest::WriterTest {
 protected:
  void SetUp() override {
    load(false);
    clock_set_manual(1000000);
    nmp_->ack_timeout = 100;
  }
  void add(u64 first, u64 last, u64 id) {
    ASSERT_EQ(mirvol_add_wait_ack2_queue(wire_head(first, last, id).data(), nmp_), 0);
  }
  std::vector<u64> ids() const { return writertest::wait_ack2_ids(); }
  std::vector<u8> marked() {
    EXPECT_EQ(flush_bitmap_cache(), 0);
    return disk_bits(1024);
  }
  static constexpr u64 kId = 3ull << 24;
};

TEST_F(WaitAck2, AnEntryHoldsTheHeadsFieldsInHostOrder) {
  nmp_->ack_timeout = 7;
  u64 now = get_jiffies_64();
  add(0x1122, 0x1133, kId | 0x42);
  struct wait_ack2_queue *e = g_wait_ack2_queue_head.head;
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->request_id, kId | 0x42);
  EXPECT_EQ(e->first_sector, 0x1122u);
  EXPECT_EQ(e->last_sector, 0x1133u);
  EXPECT_EQ(e->minor, 3);
  EXPECT_EQ(e->ack_timeout, 7u);
  EXPECT_EQ(e->queued, now);
  EXPECT_EQ(g_wait_ack2_queue_head.tail, e);
}

TEST_F(WaitAck2, AFailedAllocationQueuesNothing) {
  LogCapture log;
  alloc_fault_inject(0, 1, get_current());
  EXPECT_EQ(mirvol_add_wait_ack2_queue(wire_head(1, 2, kId).data(), nmp_), -ENOMEM);
  alloc_fault_clear();
  EXPECT_TRUE(
      log.contains("[E] <type: mirvol><event: 145> NMP3 failed to allocate wait_ack2_queue."));
  EXPECT_TRUE(ids().empty());
}

TEST_F(WaitAck2, RemovalByIdTakesTheOldestMatchAndRefusesIdsBeyondTheMinors) {
  const u64 bound = 4ull << 24;  // the largest configured minor is 3
  add(0, 7, kId | 1);
  add(8, 15, kId | 2);
  add(16, 23, kId | 1);
  add(24, 31, bound);
  add(32, 39, bound + 1);
  struct Case {
    u64 id;
    int result;
    std::vector<u64> left;
    bool too_big;
  };
  const Case cases[] = {
      {kId | 1, 0, {kId | 2, kId | 1, bound, bound + 1}, false},
      {kId | 9, -1, {kId | 2, kId | 1, bound, bound + 1}, false},
      {bound + 1, -1, {kId | 2, kId | 1, bound, bound + 1}, true},
      {bound, 0, {kId | 2, kId | 1, bound + 1}, false},
      {kId | 1, 0, {kId | 2, bound + 1}, false},
      {kId | 2, 0, {bound + 1}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.id);
    mirvol_printk_init();
    LogCapture log;
    EXPECT_EQ(mirvol_del_wait_ack2_queue(c.id), c.result);
    EXPECT_EQ(ids(), c.left);
    EXPECT_EQ(log.contains("is too big. (mirvol_del_wait_ack2_queue)"), c.too_big);
  }
  // The links stay whole both ways.
  EXPECT_EQ(g_wait_ack2_queue_head.head, g_wait_ack2_queue_head.tail);
  EXPECT_EQ(g_wait_ack2_queue_head.head->prev, nullptr);
  EXPECT_EQ(g_wait_ack2_queue_head.head->next, nullptr);
}

TEST_F(WaitAck2, RemovingTheCursorsEntryMovesTheCursorToItsSuccessor) {
  add(0, 7, kId | 1);
  add(8, 15, kId | 2);
  add(16, 23, kId | 3);
  struct wait_ack2_queue *second = g_wait_ack2_queue_head.head->next;
  struct wait_ack2_queue *third = second->next;
  g_wait_ack2_queue_head.cursor = second;
  ASSERT_EQ(mirvol_del_wait_ack2_queue(kId | 2), 0);
  EXPECT_EQ(g_wait_ack2_queue_head.cursor, third);
  ASSERT_EQ(mirvol_del_wait_ack2_queue(kId | 1), 0);
  EXPECT_EQ(g_wait_ack2_queue_head.cursor, third) << "another entry's removal leaves it";
  ASSERT_EQ(mirvol_del_wait_ack2_queue(kId | 3), 0);
  EXPECT_EQ(g_wait_ack2_queue_head.cursor, nullptr) << "the tail's successor is none";
  EXPECT_EQ(g_wait_ack2_queue_head.head, nullptr);
  EXPECT_EQ(g_wait_ack2_queue_head.tail, nullptr);
}

TEST_F(WaitAck2, AnEntryExpiresOnlyAfterMoreWholeSecondsThanItsAckTimeout) {
  add(16, 23, kId | 1);  // bit 2
  nmp_->ack_timeout = 200;
  add(40, 47, kId | 2);              // bit 5, a longer time-out
  clock_advance(100 * HZ + HZ - 1);  // 100 whole seconds, not yet 101
  mirvol_remote_bitmap_write_normal();
  EXPECT_EQ(ids().size(), 2u) << "marked at exactly the time-out";
  clock_advance(1);
  mirvol_remote_bitmap_write_normal();
  EXPECT_EQ(ids(), std::vector<u64>{kId | 2});
  BitModel model(1024);
  model.mark(16, 23, 8, kDeviceSectors);
  EXPECT_EQ(marked(), model.bytes);
  // The full pass takes every entry, whatever its age.
  mirvol_remote_bitmap_write_reboot();
  EXPECT_TRUE(ids().empty());
  model.mark(40, 47, 8, kDeviceSectors);
  EXPECT_EQ(marked(), model.bytes);
}

// The receiver refuses a head with such an id, so no such entry is made
// from the wire; one put on the queue directly is still never marked.
TEST_F(WaitAck2, AStrayEntryOfAMinorBeyondTheConfiguredOnesIsNeverMarked) {
  const u64 id = (5ull << 24) | 1;
  add(0, 7, id);
  clock_advance(102 * HZ);
  for (int pass = 0; pass < 2; pass++) {
    mirvol_printk_init();
    LogCapture log;
    mirvol_remote_bitmap_write_normal();
    int lines = 0;
    for (auto &t : log.texts())
      lines += t.find("<event: 172> request_id(0x5000001) is too big.") != std::string::npos;
    EXPECT_EQ(lines, 2) << "logged by the pass and by the removal";
  }
  EXPECT_EQ(ids(), std::vector<u64>{id});
  EXPECT_EQ(marked(), std::vector<u8>(1024, 0));
}

TEST_F(WaitAck2, APeersRangeIsCutAtTheDevicesLastSector) {
  struct Case {
    u64 first, last;
    u64 model_last;  // inclusive; below first: nothing
  };
  const Case cases[] = {
      {kDeviceSectors - 12, kDeviceSectors + 800, kDeviceSectors - 1},
      {kDeviceSectors - 92, ~0ull, kDeviceSectors - 1},
      {500, 499, 0},                                    // last before first: skipped
      {kDeviceSectors + 800, kDeviceSectors + 900, 0},  // wholly beyond the device
  };
  u64 n = 1;
  BitModel model(1024);
  for (const Case &c : cases) add(c.first, c.last, kId | n++);
  mirvol_remote_bitmap_write_reboot();
  EXPECT_TRUE(ids().empty()) << "every entry leaves the queue";
  for (const Case &c : cases)
    if (c.model_last >= c.first) model.mark(c.first, c.model_last, 8, kDeviceSectors);
  EXPECT_EQ(marked(), model.bytes);
}

TEST_F(WaitAck2, AnAck2ThatComesWhileTheWalkMarksAnotherEntryWins) {
  add(0, 7, kId | 1);    // bit 0
  add(64, 71, kId | 2);  // bit 8
  clock_advance(102 * HZ);
  // The first entry's mark reads the bitmap block, slowly.
  struct blk_fault slow = {BLK_FAULT_READ, 20, 2, 1, 300, 0};
  int id = bdev_fault_add(nmp_->cp_bdev, &slow);
  ASSERT_GE(id, 0);
  KThread walk([] {
    mirvol_remote_bitmap_write_normal();
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return bdev_fault_hits(nmp_->cp_bdev, id) == 1; }, 10000));
  // The walk has let go of the queue to mark the first entry.
  EXPECT_EQ(mirvol_del_wait_ack2_queue(kId | 2), 0) << "the ACK2 found its entry";
  ASSERT_TRUE(walk.wait_done(10000));
  EXPECT_TRUE(ids().empty());
  BitModel model(1024);
  model.mark(0, 7, 8, kDeviceSectors);
  EXPECT_EQ(marked(), model.bytes) << "an acknowledged write was marked";
}

TEST_F(WaitAck2, ConcurrentWalksAndAck2sHandleEveryEntryOnce) {
  constexpr int kEntries = 200;
  for (int i = 0; i < kEntries; i++) add((u64)i * 8, (u64)i * 8 + 7, kId | (u64)(i + 1));
  clock_advance(102 * HZ);
  std::vector<int> acked(kEntries, 0);
  {
    KThread full(
        [] {
          mirvol_remote_bitmap_write_reboot();
          return 0;
        },
        "test_walk_full");
    KThread expiry(
        [] {
          mirvol_remote_bitmap_write_normal();
          return 0;
        },
        "test_walk_exp");
    KThread ack2(
        [&acked] {
          for (int i = 0; i < kEntries; i += 3)
            acked[(size_t)i] = mirvol_del_wait_ack2_queue(kId | (u64)(i + 1)) == 0;
          return 0;
        },
        "test_ack2");
    ASSERT_TRUE(full.wait_done(20000));
    ASSERT_TRUE(expiry.wait_done(20000));
    ASSERT_TRUE(ack2.wait_done(20000));
  }
  EXPECT_TRUE(ids().empty()) << "a walk skipped entries";
  BitModel model(1024);
  for (int i = 0; i < kEntries; i++)
    if (!acked[(size_t)i]) model.mark((u64)i * 8, (u64)i * 8 + 7, 8, kDeviceSectors);
  EXPECT_EQ(marked(), model.bytes);
}

TEST_F(WaitAck2, AFullPassWaitsForAWalkThatHasTakenAnEntry) {
  // A recovery preparation flushes right after its full pass: an entry that
  // another walk has taken off the queue but not yet marked would be lost
  // to it. Two cache blocks, so the full pass is not held up by the cache.
  mirvol_down(g_cache_sem);
  g_max_cachenum = 4;
  mirvol_up(g_cache_sem);
  malloc_bitmap_cache();
  nmp_->bmp_size_in_sec = 1;
  add(0, 7, kId | 1);  // bitmap block 10; the only entry that has expired
  nmp_->ack_timeout = 1000;
  add(8192, 8199, kId | 2);  // block 11
  add(8200, 8207, kId | 3);  // block 11
  clock_advance(102 * HZ);
  // The first entry's block is read slowly.
  struct blk_fault slow = {BLK_FAULT_READ, 20, 2, 1, 1000, 0};
  int id = bdev_fault_add(nmp_->cp_bdev, &slow);
  ASSERT_GE(id, 0);
  std::atomic<bool> marked_before_return{false};
  KThread expiry(
      [&] {
        mirvol_remote_bitmap_write_normal();
        return 0;
      },
      "test_walk_exp");
  ASSERT_TRUE(eventually([&] { return bdev_fault_hits(nmp_->cp_bdev, id) == 1; }, 10000));
  KThread full(
      [&] {
        mirvol_remote_bitmap_write_reboot();
        // When the full pass is over, the entry the expiry walk had taken is
        // marked: its block is cached with the bit of sector 0 set. (While the
        // expiry walk is still in its slow read, the block is not cached.)
        struct bitmap_offset off;
        mirvol_calc_offset(0, nmp_, &off);
        mirvol_down(g_cache_sem);
        struct cache_table *e = g_cachetable;
        if (mirvol_search_bit_in_cache(&off, &e, nmp_))
          marked_before_return = (e->data[off.byte_in_block] & (0x80u >> off.bit_in_byte)) != 0;
        mirvol_up(g_cache_sem);
        return 0;
      },
      "test_walk_full");
  ASSERT_TRUE(full.wait_done(20000));
  ASSERT_TRUE(expiry.wait_done(20000));
  EXPECT_TRUE(marked_before_return.load()) << "the full pass returned while another walk still marked";
  EXPECT_TRUE(ids().empty());
  BitModel model(2048);
  model.mark(0, 7, 1, kDeviceSectors);
  model.mark(8192, 8207, 1, kDeviceSectors);
  EXPECT_EQ(flush_bitmap_cache(), 0);
  EXPECT_EQ(disk_bits(2048), model.bytes);
}

}  // namespace
