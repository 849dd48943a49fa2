// The bitmap writers end to end: unmirrored writes reach the bitmap on the
// Cluster Partition (also when a Cluster Partition access fails once), ACK1
// time-outs give requests up, and the recovery preparation drains every
// queue before it answers.

#include <atomic>
#include <thread>

#include "include/mirvol_port.h"
#include "writer_fixture.h"

using testutil::eventually;
using testutil::KThread;
using testutil::LogCapture;
using testutil::TestBio;
using writertest::BitModel;
using writertest::Call;
using writertest::network_init;

namespace {

class BitmapWriter : public writertest::WriterTest {};

struct Write {
  u64 sector;
  u32 bytes;
};

// Sizes from one sector to past a 64 KiB part, at aligned and odd starts,
// some of them sharing granules.
const Write kWrites[] = {
    {0, 512},     {1, 512},      {7, 1024},     {13, 9216},    {100, 4096},
    {129, 512},   {255, 1536},   {1000, 65536}, {1200, 70144}, {2047, 512},
    {4095, 4096}, {5003, 33280}, {8000, 512},   {8184, 4096},
};

TEST_F(BitmapWriter, UnmirroredWritesReachTheBitmapOnDiskForEveryGranule) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  for (u32 granule : {1u, 8u, 128u}) {
    SCOPED_TRACE(granule);
    // Each granule starts from a clear bitmap.
    std::vector<char> zero(2048, 0);
    cp_.write(writertest::kBitmapOffset, zero);
    ASSERT_EQ(mirvol_bitmap_clear1(0, 8191, nmp_, 0), 0);
    nmp_->bmp_size_in_sec = granule;
    BitModel model(1024);
    for (const Write &w : kWrites) {
      TestBio bio(3, REQ_OP_WRITE, w.sector, w.bytes, 'x');
      bio.submit();
      ASSERT_TRUE(bio.wait());
      EXPECT_EQ(bio.status(), 0);
      model.mark(w.sector, w.sector + w.bytes / 512 - 1, granule, kDeviceSectors);
    }
    EXPECT_TRUE(eventually([&] { return pending() == 0 && disk_bits(1024) == model.bytes; }, 10000))
        << "the on-disk bitmap differs from the writes";
  }
}

// Commands that change the device without waiting for its I/O (the
// compression flags, the size with its granule, the I/O port) run while
// unmirrored writes go through the request path into the bitmap. Each
// write meets the I/O port either open (written, its granule marked) or
// closed (refused); a thread sanitizer run checks every shared access.
TEST_F(BitmapWriter, UnmirroredWritesRunWhileTheCompressionSizeAndPortCommandsDo) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  const u32 granule = nmp_->bmp_size_in_sec;
  const u64 kib = kDeviceSectors / 2;
  auto rec = [](size_t n, std::initializer_list<std::pair<size_t, u32>> words) {
    std::vector<u8> r(n, 0);
    for (auto [off, v] : words) memcpy(r.data() + off, &v, 4);
    return r;
  };
  auto word = [](const Call &c, size_t off) {
    u32 v;
    memcpy(&v, c.buf.data() + off, 4);
    return v;
  };
  std::vector<u8> size_rec = rec(24, {{16, granule}});  // the size and granule it has
  memcpy(size_rec.data() + 8, &kib, 8);
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  // One caller sets, another reads what the first sets, as two control
  // callers of the host may.
  std::thread setter([&] {
    while (!stop.load()) {
      EXPECT_EQ(Call(3, 75, rec(12, {{4, 0}, {8, 1}})).status(), (u32)STATUS_OK);
      EXPECT_EQ(Call(3, 16, size_rec).status(), (u32)STATUS_OK);
      EXPECT_EQ(Call(3, MIRVOL_PORT_CLOSE_CMD, rec(20, {{4, MIRVOL_PORT_IO}})).status(), (u32)STATUS_OK);
      EXPECT_EQ(Call(3, MIRVOL_PORT_OPEN_CMD, rec(20, {{4, MIRVOL_PORT_IO}})).status(), (u32)STATUS_OK);
      rounds++;
    }
  });
  std::thread reader([&] {
    while (!stop.load()) {
      Call compress(3, 76, rec(12, {}));
      EXPECT_EQ(compress.status(), (u32)STATUS_OK);
      EXPECT_EQ(word(compress, 4), 0u) << "the compression flags are only ever set to 0";
      Call size(3, 17, rec(8, {}));
      EXPECT_EQ(size.status(), (u32)STATUS_OK);
      EXPECT_EQ(word(size, 4), granule) << "the granule is only ever set to what it was";
    }
  });
  BitModel model(1024);
  int written = 0;
  for (u64 i = 0; i < 64 || rounds.load() < 2; i++) {
    u64 sector = (i * 8) % kDeviceSectors;
    TestBio bio(3, REQ_OP_WRITE, sector, 4096, 'x');
    bio.submit();
    ASSERT_TRUE(bio.wait());
    ASSERT_TRUE(bio.status() == 0 || bio.status() == -EIO) << bio.status();
    if (bio.status() == 0) {
      model.mark(sector, sector + 7, granule, kDeviceSectors);
      written++;
    }
  }
  stop = true;
  setter.join();
  reader.join();
  // With the port open again every write is taken.
  TestBio last(3, REQ_OP_WRITE, 4000, 4096, 'y');
  last.submit();
  ASSERT_TRUE(last.wait());
  EXPECT_EQ(last.status(), 0);
  model.mark(4000, 4007, granule, kDeviceSectors);
  EXPECT_EQ(nmp_->compress_flags, 0u);
  EXPECT_EQ(nmp_->bmp_size_in_sec, granule);
  EXPECT_TRUE(eventually([&] { return pending() == 0 && disk_bits(1024) == model.bytes; }, 10000))
      << "the bitmap differs from the " << written + 1 << " writes taken";
}

TEST_F(BitmapWriter, ARangeWhoseClusterPartitionAccessFailsOnceIsRetriedAndLands) {
  // A failed read of the bitmap block leaves the bit unset (the range is
  // kept for the next pass); a failed write-back leaves the block dirty.
  for (unsigned int op : {BLK_FAULT_READ, BLK_FAULT_WRITE}) {
    SCOPED_TRACE(op == BLK_FAULT_READ ? "read" : "write");
    reload();  // an empty cache: the first bit reads its block
    ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
    // The device's whole bitmap lies in the first block (sectors 20 and 21).
    struct blk_fault rule = {op, 20, 2, 1, 0, 1};
    int id = bdev_fault_add(nmp_->cp_bdev, &rule);
    ASSERT_GE(id, 0);
    TestBio bio(3, REQ_OP_WRITE, 100, 4096);
    bio.submit();
    ASSERT_TRUE(bio.wait());
    BitModel model(1024);
    model.mark(100, 107, 8, kDeviceSectors);
    EXPECT_TRUE(eventually([&] { return bdev_fault_hits(nmp_->cp_bdev, id) == 1; }, 10000));
    EXPECT_TRUE(eventually([&] { return pending() == 0 && disk_bits(1024) == model.bytes; }, 10000))
        << "the range was dropped after the failure";
  }
}

// A synchronous write whose local part is done and which waits for ACK1.
struct SentWrite {
  TestBio upper;
  struct io_request *req;
  SentWrite(writertest::WriterTest *t, struct nmp_info *nmp, u64 sector, u32 send_state)
      : upper(3, REQ_OP_WRITE, sector, 4096) {
    req = mirvol_allocate_request();
    req->nmp = nmp;
    req->upper_bio = upper.bio();
    req->write = 1;
    req->start_sector = sector;
    req->sector_count = 8;
    req->bytes = 4096;
    __atomic_store_n(&req->send_state, send_state, __ATOMIC_RELEASE);
    mirvol_add_req_queue(nmp, req);  // arms the ACK1 timer
    mirvol_end_req(req, REQ_LOCAL_DONE);
    (void)t;
  }
};

bool queued(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  bool found = false;
  for (struct io_request *r = nmp->request_queue_head; r; r = r->next) found |= r == req;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return found;
}

u64 mirror_break_time(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u64 t = nmp->mirror_break_time;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return t;
}

TEST_F(BitmapWriter, AnUnansweredWriteIsGivenUpAfterItsAckTimeout) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 1;
  nmp_->ack_timeout = 2;
  set_prep_state(1);
  LogCapture log;
  SentWrite w(this, nmp_, 200, SEND_STATE_WAIT_ACK1);
  ASSERT_TRUE(w.upper.wait(10000)) << "the write never completed";
  EXPECT_EQ(w.upper.status(), 0) << "written locally: the caller sees success";
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 151> NMP3 ACK1 timeout."));
  EXPECT_NE(mirror_break_time(nmp_), 0u) << "the mirror is broken";
  EXPECT_EQ(prep_state(), 2u) << "a prepared recovery learns of the difference";
  BitModel model(1024);
  model.mark(200, 207, 8, kDeviceSectors);
  EXPECT_TRUE(eventually([&] { return disk_bits(1024) == model.bytes; }, 10000));
}

TEST_F(BitmapWriter, ATimeOutOfARequestBeingSentWaitsForTheSendAndNeverHoldsUpAStop) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 1;
  nmp_->ack_timeout = 1;
  auto sending = std::make_unique<SentWrite>(this, nmp_, 300, SEND_STATE_SENDING);
  auto other = std::make_unique<SentWrite>(this, nmp_, 400, SEND_STATE_WAIT_ACK1);
  // The other request's time-out came with or after the first one's, so
  // the first one has been met at least once when the other is done.
  ASSERT_TRUE(other->upper.wait(10000));
  EXPECT_TRUE(queued(nmp_, sending->req)) << "given up while its send was running";
  EXPECT_FALSE(sending->upper.wait(0));

  // Unload stops the disconnection thread while the send still runs.
  std::atomic<bool> unloaded{false};
  std::thread stopper([&] {
    load_.reset();
    unloaded = true;
  });
  bool stopped = eventually([&] { return unloaded.load(); }, 20000);
  if (!stopped) __atomic_store_n(&sending->req->send_state, SEND_STATE_WAIT_ACK1, __ATOMIC_RELEASE);
  stopper.join();
  EXPECT_TRUE(stopped) << "the disconnection thread did not leave while a send ran";
  EXPECT_TRUE(sending->upper.wait(10000));
  // Both ranges were handed to the bitmap before the module went.
  BitModel model(1024);
  model.mark(300, 307, 8, kDeviceSectors);
  model.mark(400, 407, 8, kDeviceSectors);
  EXPECT_EQ(disk_bits(1024), model.bytes);
  nmp_ = nullptr;
}

TEST_F(BitmapWriter, AfterTheDisconnectionThreadHasStoppedATimeOutIsStillGivenUp) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 1;
  nmp_->ack_timeout = 1;
  mirvol_kill_proc_info(&g_disconnection_thread);
  ASSERT_TRUE(eventually(
      [] { return !__atomic_load_n(&g_disconnection_thread.running, __ATOMIC_ACQUIRE); }, 10000));
  ASSERT_EQ(__atomic_load_n(&g_mirvol_shutdown, __ATOMIC_ACQUIRE), 1);
  SentWrite w(this, nmp_, 500, SEND_STATE_WAIT_ACK1);
  ASSERT_TRUE(w.upper.wait(10000)) << "nobody served the time-out";
  EXPECT_NE(mirror_break_time(nmp_), 0u);
  EXPECT_FALSE(queued(nmp_, w.req));
  BitModel model(1024);
  model.mark(500, 507, 8, kDeviceSectors);
  EXPECT_TRUE(eventually([&] { return disk_bits(1024) == model.bytes; }, 10000));
}

TEST_F(BitmapWriter, AnAck1TimerWithoutItsRequestQueuesNothing) {
  struct Case {
    u64 id;
    const char *message;
    u32 state_after;  // from a prepared recovery (1)
  };
  const Case cases[] = {
      {(3ull << 24) | 77, nullptr, 2},  // the request has gone: the difference still counts
      {(9ull << 24) | 1,
       "[E] <type: mirvol><event: 175> request_id(0x9000001) ACK1 timeout, but its NMP9 not found. "
       "(ack_timeout)",
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    set_prep_state(1);
    mirvol_printk_init();
    LogCapture log;
    ack_timeout((unsigned long)c.id);
    EXPECT_EQ(g_dcq_head.head, nullptr);
    EXPECT_EQ(prep_state(), c.state_after);
    if (c.message) {
      EXPECT_TRUE(log.contains(c.message));
    }
    EXPECT_FALSE(log.contains("ACK1 timeout.")) << "nothing was given up";
  }
}

TEST_F(BitmapWriter, TheRemoteWriterMarksExpiredEntriesOnItsOwn) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->ack_timeout = 1;
  const u64 id = 3ull << 24;
  ASSERT_EQ(mirvol_add_wait_ack2_queue(writertest::wire_head(800, 815, id | 1).data(), nmp_), 0);
  ASSERT_EQ(mirvol_add_wait_ack2_queue(writertest::wire_head(900, 907, id | 2).data(), nmp_), 0);
  EXPECT_EQ(mirvol_del_wait_ack2_queue(id | 2), 0);  // its ACK2 came in time
  BitModel model(1024);
  model.mark(800, 815, 8, kDeviceSectors);
  EXPECT_TRUE(eventually([&] { return wait_ack2_entries() == 0 && disk_bits(1024) == model.bytes; },
                         10000));
}

TEST_F(BitmapWriter, AGranuleThatIsNotPositiveMarksNothingAndDoesNotStall) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  for (u32 granule : {0u, 0x80000000u, 0xffffffffu}) {
    SCOPED_TRACE(granule);
    nmp_->bmp_size_in_sec = granule;
    mirvol_printk_init();
    LogCapture log;
    struct io_request *req = request(1000, 8);
    add_write_bitmap_queue2(nmp_, req);
    mirvol_free_request(req);
    ASSERT_EQ(
        mirvol_add_wait_ack2_queue(writertest::wire_head(1000, 1007, 3ull << 24).data(), nmp_), 0);
    mirvol_remote_bitmap_write_reboot();
    EXPECT_TRUE(eventually([&] { return pending() == 0; }, 10000)) << "the range stays pending";
    EXPECT_EQ(wait_ack2_entries(), 0u);
    EXPECT_TRUE(log.wait_for("bmp_size_in_sec (", 10000)) << "the granule is reported";
    EXPECT_EQ(disk_bits(1024), std::vector<u8>(1024, 0));
  }
}

TEST_F(BitmapWriter, WhatIsStillQueuedAtUnloadReachesTheDisk) {
  // No writer thread ever ran: unload itself marks the queues.
  nmp_->nw_port = 1;
  nmp_->ack_timeout = 1000;
  struct io_request *req = request(1100, 8);
  add_write_bitmap_queue2(nmp_, req);
  mirvol_free_request(req);
  ASSERT_EQ(mirvol_add_wait_ack2_queue(writertest::wire_head(1200, 1207, 3ull << 24).data(), nmp_),
            0);
  auto sent = std::make_unique<SentWrite>(this, nmp_, 1300, SEND_STATE_WAIT_ACK1);
  struct timer_list *timer = &sent->req->sys_var->timer;
  EXPECT_TRUE(timer_pending(timer));
  load_.reset();
  nmp_ = nullptr;
  EXPECT_TRUE(sent->upper.wait(10000)) << "the upper I/O of the unanswered write never ended";
  BitModel model(1024);
  model.mark(1100, 1107, 8, kDeviceSectors);
  model.mark(1200, 1207, 8, kDeviceSectors);
  model.mark(1300, 1307, 8, kDeviceSectors);
  EXPECT_EQ(disk_bits(1024), model.bytes);
}

// --- the recovery preparation ---

// Runs command 60 on a kernel thread while the test drives the manual
// clock a second at a time.
struct Prepare : writertest::ClockedCommand {
  Prepare() : ClockedCommand(60, 0) {}
};

TEST_F(BitmapWriter, APreparationCountsADifferenceThatArisesWhileItDrains) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 1;
  clock_set_manual(get_jiffies_64());
  set_prep_state(0);
  {
    Prepare p;
    ASSERT_TRUE(eventually([&] { return prep_state() == 1; }, 10000)) << "prepared from the start";
    struct io_request *req = request(600, 16);
    add_write_bitmap_queue2(nmp_, req);
    mirvol_free_request(req);
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.status(), (u32)STATUS_OK);
  }
  EXPECT_EQ(prep_state(), 2u) << "the difference of the preparation time was forgotten";
  BitModel model(1024);
  model.mark(600, 615, 8, kDeviceSectors);
  EXPECT_EQ(disk_bits(1024), model.bytes) << "answered before the range was on disk";

  // Without a difference the preparation stands.
  Prepare again;
  ASSERT_TRUE(again.finish());
  EXPECT_EQ(again.status(), (u32)STATUS_OK);
  EXPECT_EQ(prep_state(), 1u);
}

TEST_F(BitmapWriter, APreparationFailsWhileARangeCannotReachTheDisk) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 1;
  clock_set_manual(get_jiffies_64());
  struct Case {
    const char *what;
    unsigned int op;  // the Cluster Partition access that keeps failing
    u32 status;
  };
  const Case cases[] = {
      {"the flush fails", BLK_FAULT_WRITE, STATUS_FAILED},
      {"the bit cannot be set", BLK_FAULT_READ, STATUS_TIMEOUT},
  };
  u64 sector = 700;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // Cached blocks are written back and dropped: a read must come.
    ASSERT_EQ(flush_bitmap_cache(), 0);
    reload();
    ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
    nmp_->nw_port = 1;
    clock_set_manual(get_jiffies_64());
    struct blk_fault rule = {c.op, 20, 2, -1, 0, 1};
    ASSERT_GE(bdev_fault_add(nmp_->cp_bdev, &rule), 0);
    struct io_request *req = request(sector, 8);
    add_write_bitmap_queue2(nmp_, req);
    mirvol_free_request(req);
    {
      Prepare p;
      ASSERT_TRUE(p.finish(60000));
      EXPECT_EQ(p.status(), c.status);
    }
    EXPECT_EQ(prep_state(), 0u);
    // Once the Cluster Partition works again the range lands and the
    // preparation succeeds.
    bdev_fault_clear(nmp_->cp_bdev);
    Prepare p;
    ASSERT_TRUE(p.finish());
    EXPECT_EQ(p.status(), (u32)STATUS_OK);
    EXPECT_EQ(prep_state(), 1u);
    BitModel model(1024);
    model.mark(sector, sector + 7, 8, kDeviceSectors);
    EXPECT_EQ(disk_bits(1024), model.bytes);
  }
}

TEST_F(BitmapWriter, APreparationWithTheNetworkPortClosedFails) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  nmp_->nw_port = 0;
  clock_set_manual(get_jiffies_64());
  LogCapture log;
  Prepare p;
  ASSERT_TRUE(p.finish());
  EXPECT_EQ(p.status(), (u32)STATUS_PORT_CLOSED);
  EXPECT_EQ(prep_state(), 0u);
  EXPECT_TRUE(
      log.contains("NMP3 failed to prepare recovery data, because N/W port has been closed."));
}

TEST_F(BitmapWriter, ARangeQueuedWhileTheWriterIsBusyIsMarkedWithoutWaitingForItsTimeOut) {
  ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
  // The clock stands still: the writer's own time-out never comes, only a
  // wake-up gets it going.
  clock_set_manual(get_jiffies_64());
  // The write-back of the first range is held up on the Cluster Partition,
  // so the second range is queued while the writer is busy with it.
  struct blk_fault slow = {BLK_FAULT_WRITE, 20, 2, 1, 1500, 0};
  int rule = bdev_fault_add(nmp_->cp_bdev, &slow);
  ASSERT_GE(rule, 0);
  struct io_request *first = request(100, 8);
  add_write_bitmap_queue2(nmp_, first);
  mirvol_free_request(first);
  ASSERT_TRUE(eventually([&] { return bdev_fault_hits(nmp_->cp_bdev, rule) == 1; }, 20000))
      << "the writer never wrote the first range back";
  struct io_request *second = request(900, 8);
  add_write_bitmap_queue2(nmp_, second);
  mirvol_free_request(second);
  BitModel model(1024);
  model.mark(100, 107, 8, kDeviceSectors);
  model.mark(900, 907, 8, kDeviceSectors);
  EXPECT_TRUE(eventually([&] { return pending() == 0 && disk_bits(1024) == model.bytes; }, 20000))
      << "the wake-up for the second range was lost";
}

TEST_F(BitmapWriter, ASyncReturnsOnlyOnceEveryPendingRangeOfTheDeviceIsOnTheDisk) {
  struct Case {
    const char *what;
    bool writer;       // the local writer thread runs
    bool slow_marking; // the writer is marking a range when the sync begins
  };
  const Case cases[] = {
      {"no writer thread", false, false},
      {"the writer runs", true, false},
      {"the writer is marking a range", true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    reload();
    if (c.writer) {
      ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
    }
    BitModel model(1024);
    std::vector<std::pair<u64, u32>> ranges = {{0, 8}, {300, 64}, {5000, 8}, {8191, 1}, {12000, 200}};
    if (c.slow_marking) {
      struct blk_fault slow = {BLK_FAULT_READ, 20, 2, 1, 500, 0};
      int rule = bdev_fault_add(nmp_->cp_bdev, &slow);
      ASSERT_GE(rule, 0);
      struct io_request *req = request(64, 8);
      add_write_bitmap_queue2(nmp_, req);
      mirvol_free_request(req);
      model.mark(64, 71, 8, kDeviceSectors);
      ASSERT_TRUE(eventually([&] { return bdev_fault_hits(nmp_->cp_bdev, rule) == 1; }, 20000));
    }
    for (auto &r : ranges) {
      struct io_request *req = request(r.first, r.second);
      add_write_bitmap_queue2(nmp_, req);
      mirvol_free_request(req);
      model.mark(r.first, r.first + r.second - 1, 8, kDeviceSectors);
    }
    ASSERT_EQ(mirvol_sync_bitmap(nmp_, 60 * HZ), 0);
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(disk_bits(1024), model.bytes)
        << "the sync returned before the bits were on the Cluster Partition";
  }
}

TEST_F(BitmapWriter, ASyncFailsWhenTheBitmapCannotReachTheDisk) {
  struct Case {
    const char *what;
    unsigned int op;  // the Cluster Partition access that keeps failing
    const char *message;
  };
  const Case cases[] = {
      {"the write-back fails", BLK_FAULT_WRITE,
       "NMP3 failed to flush bitmap to Cluster Partition."},
      {"the bit cannot be set: the range stays pending", BLK_FAULT_READ,
       "[E] <type: mirvol><event: 161> NMP3 failed to write pending bitmap ranges in time."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    reload();
    struct blk_fault rule = {c.op, 20, 2, -1, 0, 1};
    ASSERT_GE(bdev_fault_add(nmp_->cp_bdev, &rule), 0);
    LogCapture log;
    struct io_request *req = request(400, 8);
    add_write_bitmap_queue2(nmp_, req);
    mirvol_free_request(req);
    EXPECT_EQ(mirvol_sync_bitmap(nmp_, 2 * HZ), -EIO);
    EXPECT_TRUE(log.contains(c.message)) << c.message;
    // Once the Cluster Partition works again the same range lands.
    bdev_fault_clear(nmp_->cp_bdev);
    EXPECT_EQ(mirvol_sync_bitmap(nmp_, 60 * HZ), 0);
    BitModel model(1024);
    model.mark(400, 407, 8, kDeviceSectors);
    EXPECT_EQ(disk_bits(1024), model.bytes);
  }
}

}  // namespace
