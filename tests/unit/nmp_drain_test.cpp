// The send-queue drains of commands 53 and 86: what a queued write becomes
// (bitmap bits, the upper write ended, no ACK2), when command 53 naps and
// when it gives up, and the time records command 86 writes.

#include "include/mirvol_nmp_stop.h"
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

constexpr s64 kNow = 0x123456789;

// A synchronous write done locally that waits for ACK1 in the send queue.
struct QueuedWrite {
  TestBio upper;
  struct io_request *req;
  QueuedWrite(struct nmp_info *nmp, u64 sector) : upper(3, REQ_OP_WRITE, sector, 4096) {
    req = mirvol_allocate_request();
    req->nmp = nmp;
    req->upper_bio = upper.bio();
    req->write = 1;
    req->start_sector = sector;
    req->sector_count = 8;
    req->bytes = 4096;
    __atomic_store_n(&req->send_state, SEND_STATE_WAIT_ACK1, __ATOMIC_RELEASE);
    mirvol_add_req_queue(nmp, req);  // gives it its request id and ACK1 timer
    mirvol_end_req(req, REQ_LOCAL_DONE);
  }
};

using Command = writertest::ClockedCommand;

class NmpDrain : public writertest::WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    ASSERT_EQ(network_init(1, 4), (u32)STATUS_OK);
    clock_set_wall_seconds(kNow);
    nmp_->nw_port = 1;
  }
  void TearDown() override {
    clock_set_wall_seconds(0);
    WriterTest::TearDown();
  }
  u64 queued() {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->request_queue_lock, flags);
    u64 n = nmp_->request_queue_cnt;
    spin_unlock_irqrestore(&nmp_->nmp_variable->request_queue_lock, flags);
    return n;
  }
  bool ack2_queued() {
    struct queue_head *q = &nmp_->send_ack2_queue;
    if (!q->sys_var) return q->head != nullptr;
    unsigned long flags;
    spin_lock_irqsave(&q->sys_var->lock, flags);
    bool any = q->head != nullptr;
    spin_unlock_irqrestore(&q->sys_var->lock, flags);
    return any;
  }
  u64 cp_u64(u64 sector) {
    std::vector<char> v = cp_.read((off_t)(sector * 512), 8);
    u64 x;
    memcpy(&x, v.data(), 8);
    return x;
  }
  // A drained write: out of the queue, its upper write ended, its range
  // in the bitmap on disk, the mirror broken, and no ACK2 for it.
  void expect_drained(QueuedWrite &w, u64 sector) {
    EXPECT_EQ(queued(), 0u);
    EXPECT_TRUE(w.upper.wait()) << "the upper write never ended";
    EXPECT_EQ(w.upper.status(), 0);
    model_.mark(sector, sector + 7, 8, kDeviceSectors);
    EXPECT_TRUE(eventually([&] { return pending() == 0 && disk_bits(1024) == model_.bytes; }, 20000))
        << "the drained range is not in the bitmap";
    EXPECT_EQ(nmp_->mirror_break_time, (u64)kNow);
    EXPECT_FALSE(ack2_queued()) << "ACK2 queued for a write the peer never acknowledged";
  }
  BitModel model_{1024};  // every range drained so far
};

// Command 53 gives up once the seconds waited (2, 4, ...) exceed
// ack_timeout: with 1 at once, with 3 after one nap; an empty queue
// answers at once and leaves the port alone.
TEST_F(NmpDrain, SendQueueWaitGivesUpWhenItsTimeIsOverAndAnswersAtOnceWhenEmpty) {
  struct Case {
    const char *what;
    u32 ack_timeout;
    bool queued;
    bool at_once;
  };
  const Case cases[] = {
      {"ack_timeout 1, one write queued", 1, true, true},
      {"ack_timeout 3, one write queued", 3, true, false},
      {"empty queue", 1, false, true},
  };
  u64 sector = 400;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    nmp_->nw_port = 1;
    nmp_->mirror_break_time = 0;
    // The clock stands still: neither the ACK1 timer nor a nap of the
    // command can end without the test.
    clock_set_manual(get_jiffies_64());
    // The write's ACK1 timer is an hour away, so that while the test moves
    // the clock on, only the command's own count of seconds can end its
    // wait (a timer that fired first would empty the queue before it).
    nmp_->ack_timeout = 3600;
    std::unique_ptr<QueuedWrite> w;
    if (c.queued) w = std::make_unique<QueuedWrite>(nmp_, sector);
    nmp_->ack_timeout = c.ack_timeout;
    LogCapture log;
    {
      Command cmd(53);
      if (c.at_once) {
        EXPECT_TRUE(cmd.answered_at_once()) << "the command napped";
      } else {
        // It cannot answer before the clock moves; a short real wait only
        // gives a wrong answer the chance to show.
        EXPECT_FALSE(eventually([&] { return cmd.done(); }, 300)) << "answered without a nap";
        EXPECT_TRUE(cmd.finish());
      }
      ASSERT_TRUE(cmd.finish());
      EXPECT_EQ(cmd.status(), (u32)STATUS_OK);
    }
    clock_set_automatic();
    bool timed_out = log.contains(
        "[W] <type: mirvol><event: 124> NMP3 waited for all I/O requests to be sent completely, "
        "but timeout occurred. Writing differences to bitmap.");
    EXPECT_EQ(timed_out, c.queued);
    EXPECT_EQ(nmp_->nw_port, c.queued ? 0u : 1u);
    if (w) expect_drained(*w, sector);
    sector += 64;
  }
}

// Command 86 closes the port and writes both time records, also when
// nothing is queued; a queued write is drained into the bitmap.
TEST_F(NmpDrain, SetTimeWritesBothTimeRecordsAndDrainsTheQueue) {
  for (bool with_write : {false, true}) {
    SCOPED_TRACE(with_write ? "one write queued" : "empty queue");
    nmp_->nw_port = 1;
    nmp_->ack_timeout = 3600;
    nmp_->last_update_time = nmp_->mirror_break_time = 0;
    cp_.write(17 * 512, std::vector<char>(1024, 0));
    std::unique_ptr<QueuedWrite> w;
    if (with_write) w = std::make_unique<QueuedWrite>(nmp_, 1000);
    EXPECT_EQ(Call(3, 86, std::vector<u8>(4, 0xff)).status(), (u32)STATUS_OK);
    EXPECT_EQ(nmp_->nw_port, 0u);
    EXPECT_EQ(nmp_->last_update_time, (u64)kNow);
    EXPECT_EQ(nmp_->mirror_break_time, (u64)kNow);
    EXPECT_EQ(cp_u64(17), (u64)kNow) << "last-update record";
    EXPECT_EQ(cp_u64(18), (u64)kNow) << "mirror-break record";
    if (w) expect_drained(*w, 1000);
  }
}

}  // namespace

namespace {

// A drained write whose time records are still being written when the
// module is unloaded at once: unload waits for those writes (their
// completion finishes the request on the device), so the upper write has
// ended by the time unload returns.
TEST_F(NmpDrain, UnloadWaitsForTheTimeWritesOfADrainedWrite) {
  nmp_->ack_timeout = 3600;
  nmp_->last_update_time = nmp_->mirror_break_time = 0;
  // Every write of the two time records takes seconds.
  struct blk_fault slow = {BLK_FAULT_WRITE, 17, 2, -1, 2000, 0};
  int rule = bdev_fault_add(nmp_->cp_bdev, &slow);
  ASSERT_GE(rule, 0);
  QueuedWrite w(nmp_, 2000);
  mirvol_wait_request_queue_empty(nmp_);
  // Real time from here: the wait of unload is bounded in clock seconds.
  clock_set_automatic();
  clock_set_time_scale(1);
  load_.reset();  // no wait for the bios here: unload must do it
  my_disk[3] = 0;
  nmp_ = nullptr;
  EXPECT_EQ(w.upper.ended(), 1) << "unload returned with the time writes still in flight";
}

}  // namespace

namespace {

// An asynchronous write that found the N/W port open just before command
// 86 closed it (counted in async_submitting until it is queued): the
// command waits for it to reach the send queue and then drains it too,
// instead of leaving it queued with the port closed.
TEST_F(NmpDrain, TheDrainWaitsForAWriteOnItsWayToTheSendQueue) {
  clock_set_time_scale(1);  // the command's wait for the writer is bounded in clock time
  nmp_->ack_timeout = 3600;
  atomic_set(&nmp_->async_submitting, 1);
  std::unique_ptr<QueuedWrite> w;
  {
    Command cmd(86);
    EXPECT_TRUE(eventually([&] { return mirvol_nw_port(nmp_) == 0; }, 10000)) << "the port was not closed";
    // A short real wait only gives an answer that does not wait the
    // chance to show.
    EXPECT_FALSE(eventually([&] { return cmd.done(); }, 300)) << "drained without waiting for the writer";
    w = std::make_unique<QueuedWrite>(nmp_, 3000);
    atomic_dec_return(&nmp_->async_submitting);  // ordered after the queueing, as the writer does
    ASSERT_TRUE(cmd.answered_at_once(30000));
    EXPECT_EQ(cmd.status(), (u32)STATUS_OK);
  }
  expect_drained(*w, 3000);
}

}  // namespace
