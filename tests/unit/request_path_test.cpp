// The request path: checks, throttle, private copy, the in-flight write
// table and the recovery window, the mirror decision, completion bits.

#include "module_fixture.h"

using testutil::eventually;
using testutil::FakeDevice;
using testutil::LogCapture;
using testutil::ModuleLoad;
using testutil::TestBio;

namespace {

// The module-wide count of writes in flight, read under its lock.
u64 in_flight() {
  unsigned long flags;
  spin_lock_irqsave(&g_max_lock, flags);
  u64 n = g_make_request_cnt;
  spin_unlock_irqrestore(&g_max_lock, flags);
  return n;
}

class RequestPath : public testutil::DeviceTest {
 protected:
  void TearDown() override {
    // A write's count is given back just after its upper bio ends, on the
    // thread that ended it: wait for it.
    EXPECT_TRUE(eventually([] { return in_flight() == 0; }, 10000))
        << "the in-flight count is given back";
    DeviceTest::TearDown();
  }
  // As a recovery does when it is done with its window.
  void release_window() {
    unsigned long flags;
    spin_lock_irqsave(&nmp()->nmp_variable->recovery_lock, flags);
    nmp()->recovery_lock_flag = 0;
    spin_unlock_irqrestore(&nmp()->nmp_variable->recovery_lock, flags);
    wake_up(&nmp()->nmp_variable->nmp_wq);
  }
  // Bitmap ranges queued so far, as first-last pairs.
  std::vector<std::pair<u64, u64>> queued_ranges() {
    std::vector<std::pair<u64, u64>> out;
    unsigned long flags;
    spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
    for (struct wbq *w = g_wrbmp.head; w; w = w->next) out.push_back({w->first_sector, w->last_sector});
    spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
    return out;
  }
};

struct PathCase {
  const char *name;
  u32 minor;
  unsigned int op;
  sector_t sector;
  unsigned int bytes;
  void (*setup)(struct nmp_info *nmp);
  int status;
  const char *log;  // a line the case must log, or null
  bool bitmap;      // the range is queued for the difference bitmap
};

void nothing(struct nmp_info *) {}

class RequestPathCases : public RequestPath, public testing::WithParamInterface<PathCase> {};

TEST_P(RequestPathCases, EndsTheUpperBioAsItShould) {
  const PathCase &c = GetParam();
  c.setup(nmp());
  LogCapture log;
  {
    TestBio b(c.minor, c.op, c.sector, c.bytes, 'w');
    b.submit();
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status(), c.status);
    EXPECT_EQ(b.ended(), 1);
  }
  if (c.log) {
    EXPECT_TRUE(log.contains(c.log)) << c.log;
  }
  auto ranges = queued_ranges();
  if (c.bitmap) {
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].first, c.sector);
    EXPECT_EQ(ranges[0].second, c.sector + c.bytes / 512 - 1);
    EXPECT_EQ(g_wrbmp.cnt[0], 1) << "counted for the device's index";
  } else {
    EXPECT_TRUE(ranges.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestPathCases,
    testing::Values(
        PathCase{"NoDevice", 1, REQ_OP_READ, 0, 4096, nothing, -EIO,
                 "[W] <type: mirvol><event: 141> NMP1 device does not exist. (mirvol_make_request)",
                 false},
        PathCase{"IoPortClosed", 3, REQ_OP_WRITE, 0, 4096,
                 [](struct nmp_info *n) { n->io_port = 0; }, -EIO,
                 "<event: 144> NMP3 I/O port has been closed, mount(0), io(0).", false},
        PathCase{"OutOfRangeWhenNoSizeIsSet", 3, REQ_OP_READ, 0, 4096,
                 [](struct nmp_info *n) { my_disk[n->minor] = 0; }, -EIO,
                 "<event: 165> NMP3 requested sector is out of NMP area. (mirvol_make_request)",
                 false},
        PathCase{"LastSectorsOfTheDevicePass", 3, REQ_OP_READ, 2048 - 8, 4096, nothing, 0, nullptr,
                 false},
        PathCase{"OneSectorFurtherFails", 3, REQ_OP_READ, 2048 - 7, 4096, nothing, -EIO,
                 "<event: 165>", false},
        PathCase{"EmptyWrite", 3, REQ_OP_WRITE, 0, 0, nothing, -EOPNOTSUPP, nullptr, false},
        PathCase{"Read", 3, REQ_OP_READ, 8, 8192, nothing, 0, nullptr, false},
        PathCase{"WriteWithTheNwPortClosedGoesToTheBitmap", 3, REQ_OP_WRITE, 16, 8192,
                 [](struct nmp_info *n) { n->nw_port = 0; }, 0, nullptr, true},
        PathCase{"WriteWhileTheLastUpdateTimeIsSet", 3, REQ_OP_WRITE, 24, 4096,
                 [](struct nmp_info *n) { n->last_update_time = 1700000000; }, 0, nullptr, true},
        PathCase{"SendFailureClosesThePortAndMarksTheBitmap", 3, REQ_OP_WRITE, 32, 4096, nothing, 0,
                 "[W] <type: mirvol><event: 212> NMP3 failed to send sync data (sector=32 "
                 "length=4096).",
                 true}),
    [](const testing::TestParamInfo<PathCase> &i) { return std::string(i.param.name); });

TEST_F(RequestPath, SendFailureClosesTheNwPort) {
  LogCapture log;
  {
    TestBio b(3, REQ_OP_WRITE, 0, 4096, 'x');
    b.submit();
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status(), 0) << "the local write still succeeds";
  }
  EXPECT_EQ(nmp()->nw_port, 0u);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 155> NMP3 N/W port closed."));
}

TEST_F(RequestPath, WritesReachTheDataPartitionFromAPrivateCopy) {
  nmp()->nw_port = 0;
  {
    TestBio b(3, REQ_OP_WRITE, 8, 8192, 'A');
    b.submit();
    ASSERT_TRUE(b.wait());
    ASSERT_EQ(b.status(), 0);
  }
  auto data = dev_->image().read(8 * 512, 8192);
  EXPECT_EQ(std::count(data.begin(), data.end(), 'A'), 8192);
  TestBio r(3, REQ_OP_READ, 8, 4096);
  r.submit();
  ASSERT_TRUE(r.wait());
  EXPECT_EQ(r.status(), 0);
  EXPECT_EQ(r.byte(0, 100), 'A');
}

TEST_F(RequestPath, ALocalReadErrorAlsoQueuesTheRangeForTheBitmap) {
  struct blk_fault f = {BLK_FAULT_READ, 0, 8, -1, 0, 1};
  ASSERT_GE(bdev_fault_add(nmp()->dp_bdev, &f), 0);
  LogCapture log;
  {
    TestBio b(3, REQ_OP_READ, 0, 4096);
    b.submit();
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status(), -EIO);
  }
  EXPECT_TRUE(log.contains("<event: 160> NMP3 disk I/O error (-5)."));
  EXPECT_EQ(queued_ranges(), (std::vector<std::pair<u64, u64>>{{0, 7}}));
  EXPECT_EQ(nmp()->dp_error, 0) << "only writes raise the data-partition error";
  bdev_fault_clear(nmp()->dp_bdev);
}

TEST_F(RequestPath, ThrottleHoldsASecondWriteUntilTheFirstHasFinished) {
  clock_set_time_scale(20);  // the throttle looks again every 2 platform seconds
  g_make_request_max_cnt = 1;
  nmp()->nw_port = 0;
  struct blk_fault slow = {BLK_FAULT_WRITE, 0, 8, 1, 300, 0};
  ASSERT_GE(bdev_fault_add(nmp()->dp_bdev, &slow), 0);
  {
    TestBio first(3, REQ_OP_WRITE, 0, 4096, '1');
    TestBio second(3, REQ_OP_WRITE, 64, 4096, '2');
    first.submit();
    EXPECT_EQ(in_flight(), 1u);
    std::thread t([&] { second.submit(); });
    EXPECT_FALSE(second.wait(150)) << "admitted past the in-flight limit";
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(second.wait());
    t.join();
    EXPECT_EQ(first.status(), 0);
    EXPECT_EQ(second.status(), 0);
    EXPECT_EQ(g_make_request_peak, 1u);
  }
  clock_set_time_scale(1);
  bdev_fault_clear(nmp()->dp_bdev);
}

TEST_F(RequestPath, NoLimitLetsWritesThrough) {
  g_make_request_max_cnt = 0;
  nmp()->nw_port = 0;
  std::vector<std::unique_ptr<TestBio>> bios;
  for (int i = 0; i < 8; i++) bios.push_back(std::make_unique<TestBio>(3, REQ_OP_WRITE, i * 8, 4096, 'n'));
  for (auto &b : bios) b->submit();
  for (auto &b : bios) EXPECT_TRUE(b->wait());
}

// --- completion bits, on requests built by hand ---

struct BitsCase {
  const char *name;
  u32 mode;
  u32 write;
  std::vector<u64> steps;
  int ended_after;  // index of the step after which the upper bio has ended
};

class CompletionBits : public RequestPath, public testing::WithParamInterface<BitsCase> {};

TEST_P(CompletionBits, UpperBioEndsAtTheRightStepOnlyOnce) {
  const BitsCase &c = GetParam();
  nmp()->mode = c.mode;
  TestBio upper(3, c.write ? REQ_OP_WRITE : REQ_OP_READ, 0, 4096);
  struct io_request *req = mirvol_allocate_request();
  ASSERT_NE(req, nullptr);
  req->nmp = nmp();
  req->upper_bio = upper.bio();
  req->write = c.write;
  req->sector_count = 8;
  req->clone = bio_clone(upper.bio(), GFP_KERNEL);
  if (c.write) {
    // A write clone owns its pages.
    for (unsigned i = 0; i < req->clone->bi_vcnt; i++) req->clone->bi_io_vec[i].bv_page = alloc_page(GFP_KERNEL);
    unsigned long flags;
    spin_lock_irqsave(&g_max_lock, flags);
    g_make_request_cnt++;
    spin_unlock_irqrestore(&g_max_lock, flags);
  }
  for (size_t i = 0; i < c.steps.size(); i++) {
    mirvol_end_req(req, c.steps[i]);
    EXPECT_EQ(upper.ended(), (int)i >= c.ended_after ? 1 : 0) << "after step " << i;
  }
  ASSERT_TRUE(upper.wait());
  EXPECT_EQ(upper.ended(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompletionBits,
    testing::Values(BitsCase{"AsyncWriteEndsAtTheLocalWrite", 0, 1, {1, 2, 20}, 0},
                    BitsCase{"AsyncWriteEndsAtTheLocalWriteWhenItComesLast", 0, 1, {2, 20, 1}, 2},
                    BitsCase{"SyncWriteEndsOnlyAt23", 1, 1, {1, 2, 4, 16}, 3},
                    BitsCase{"SyncWriteWithAck1First", 1, 1, {22, 1}, 1},
                    BitsCase{"ReadStartsAt22AndEndsAtItsCompletion", 1, 0, {22, 1}, 1},
                    BitsCase{"AsyncReadEndsOnce", 0, 0, {22, 1}, 1}),
    [](const testing::TestParamInfo<BitsCase> &i) { return std::string(i.param.name); });

// --- the in-flight write table and the recovery window ---

TEST_F(RequestPath, TwoWritesToOneSectorShareABucketAndEachCompletionRemovesItsOwnNode) {
  TestBio a(3, REQ_OP_WRITE, 64, 4096), b(3, REQ_OP_WRITE, 64, 4096);
  ASSERT_EQ(add_wrt_queue2(nmp(), a.bio(), 64), 0);
  ASSERT_EQ(add_wrt_queue2(nmp(), b.bio(), 64), 0);
  struct wrt_queue_head *h = &nmp()->wrt_queue[0];
  EXPECT_EQ(h->head->bio, a.bio());
  EXPECT_EQ(h->tail->bio, b.bio());
  // The later write completes first: the earlier one stays in the table.
  del_write_request_queue(nmp(), 64, b.bio());
  ASSERT_NE(h->head, nullptr);
  EXPECT_EQ(h->head->bio, a.bio());
  EXPECT_EQ(h->head, h->tail);
  del_write_request_queue(nmp(), 64, a.bio());
  EXPECT_EQ(h->head, nullptr);
  LogCapture log;
  del_write_request_queue(nmp(), 64, a.bio());
  EXPECT_TRUE(log.contains("<event: 164> NMP3 sector 64 not found. (del_write_request_queue)"));
  bio_endio(a.bio());
  bio_endio(b.bio());
}

TEST_F(RequestPath, AWaitingWriteMovesOnlyItsOwnNodeOutOfTheRecoveryRange) {
  TestBio older(3, REQ_OP_WRITE, 64, 4096), newer(3, REQ_OP_WRITE, 64, 4096);
  struct wrt_queue_head *h = &nmp()->wrt_queue[0];
  ASSERT_EQ(add_wrt_queue2(nmp(), older.bio(), 64), 0);
  h->cursor = h->tail;  // a recovery marked what is in flight now
  ASSERT_EQ(add_wrt_queue2(nmp(), newer.bio(), 64), 0);

  // The newer write waits for the window: it lies after the cursor, so
  // nothing moves, and the recovery still waits for the older one.
  EXPECT_EQ(del_wrt_queue(nmp(), newer.bio()), nullptr);
  struct wrt_queue *found = search_wrt_queue(nmp(), 64);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bio, older.bio());

  // A write before the cursor moves to the tail, past it (another bucket).
  TestBio third(3, REQ_OP_WRITE, 130, 4096), fourth(3, REQ_OP_WRITE, 130, 4096);
  struct wrt_queue_head *h2 = &nmp()->wrt_queue[130 % 64];
  ASSERT_EQ(add_wrt_queue2(nmp(), third.bio(), 130), 0);
  ASSERT_EQ(add_wrt_queue2(nmp(), fourth.bio(), 130), 0);
  h2->cursor = h2->tail;
  EXPECT_NE(del_wrt_queue(nmp(), third.bio()), nullptr);
  EXPECT_EQ(h2->tail->bio, third.bio());
  EXPECT_EQ(search_wrt_queue(nmp(), 130)->bio, fourth.bio()) << "only the other write is waited for";
  // The cursor's own node steps the cursor back.
  EXPECT_EQ(del_wrt_queue(nmp(), fourth.bio())->bio, fourth.bio());
  EXPECT_EQ(h2->cursor, nullptr);
  EXPECT_EQ(search_wrt_queue(nmp(), 130), nullptr);
  EXPECT_EQ(search_wrt_queue(nmp(), 64)->bio, older.bio());
  for (TestBio *t : {&older, &newer}) del_write_request_queue(nmp(), 64, t->bio());
  for (TestBio *t : {&third, &fourth}) del_write_request_queue(nmp(), 130, t->bio());
  for (auto *b : {&older, &newer, &third, &fourth}) bio_endio(b->bio());
}

struct WindowCase {
  const char *name;
  sector_t sector;
  bool waits;
};

class RecoveryWindow : public RequestPath, public testing::WithParamInterface<WindowCase> {};

TEST_P(RecoveryWindow, WritesOverlappingTheWindowWaitUntilItIsReleased) {
  const WindowCase &c = GetParam();
  nmp()->nw_port = 0;
  // The window covers sectors 100..199; each write is 8 sectors.
  nmp()->recovery_first_sector = 100;
  nmp()->recovery_last_sector = 199;
  nmp()->recovery_lock_flag = 1;
  TestBio b(3, REQ_OP_WRITE, c.sector, 4096, 'r');
  std::thread t([&] { b.submit(); });
  EXPECT_EQ(b.wait(c.waits ? 150 : 5000), !c.waits);
  release_window();
  EXPECT_TRUE(b.wait());
  t.join();
  EXPECT_EQ(b.status(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryWindow,
                         testing::Values(WindowCase{"EndsOnTheFirstSector", 93, true},
                                         WindowCase{"StartsOnTheLastSector", 199, true},
                                         WindowCase{"Inside", 150, true},
                                         WindowCase{"JustBefore", 92, false},
                                         WindowCase{"JustAfter", 200, false}),
                         [](const testing::TestParamInfo<WindowCase> &i) {
                           return std::string(i.param.name);
                         });

TEST_F(RequestPath, AWriteCoveringTheWholeWindowWaits) {
  nmp()->nw_port = 0;
  nmp()->recovery_first_sector = 100;
  nmp()->recovery_last_sector = 103;
  nmp()->recovery_lock_flag = 1;
  TestBio b(3, REQ_OP_WRITE, 96, 8192, 'c');
  std::thread t([&] { b.submit(); });
  EXPECT_FALSE(b.wait(150));
  release_window();
  EXPECT_TRUE(b.wait());
  t.join();
}

// --- queue limits ---

TEST_F(RequestPath, StrictMethodRaisesTheBlockSizeToTheDataPartitionsAndNeverLowersALimit) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a loop device with 4096-byte sectors";
  testutil::ImageFile img(4 << 20);
  std::string cmd = "losetup -f --show --sector-size 4096 " + img.path() + " 2>/dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  char dev[64] = {};
  if (!p || !fgets(dev, sizeof(dev), p)) {
    if (p) pclose(p);
    GTEST_SKIP() << "losetup could not attach a loop device";
  }
  pclose(p);
  std::string loop(dev);
  loop.erase(loop.find_last_not_of("\n") + 1);
  struct Detach {
    std::string d;
    ~Detach() { (void)!system(("losetup -d " + d).c_str()); }
  } detach{loop};

  struct block_device *dp = blkdev_get_by_path(loop.c_str(), FMODE_READ | FMODE_WRITE, nullptr);
  ASSERT_FALSE(IS_ERR(dp));
  struct block_device *saved = nmp()->dp_bdev;
  nmp()->dp_bdev = dp;
  struct request_queue *q = bdev_get_queue(nmp()->own_bdev);
  struct queue_limits before = q->limits;
  EXPECT_EQ(mirvol_set_nmp_queue_stack_limits(nmp()), 1);
  EXPECT_EQ(queue_logical_block_size(q), 4096u);
  EXPECT_GE(queue_physical_block_size(q), 4096u);
  EXPECT_LE(queue_max_sectors(q), before.max_sectors);
  EXPECT_LE(queue_max_segments(q), before.max_segments);
  EXPECT_LE(queue_max_segment_size(q), before.max_segment_size);
  // A second stacking of a looser device changes nothing.
  nmp()->dp_bdev = saved;
  struct queue_limits after = q->limits;
  EXPECT_EQ(mirvol_set_nmp_queue_stack_limits(nmp()), 1);
  EXPECT_EQ(q->limits.logical_block_size, after.logical_block_size);
  EXPECT_EQ(q->limits.max_sectors, after.max_sectors);
  blkdev_put(dp, FMODE_READ | FMODE_WRITE);
}

}  // namespace

namespace {

TEST(RequestPathUnload, ARequestLeftInTheSendQueueIsFreedWithItsTimerStopped) {
  clock_set_time_scale(50);
  auto load = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
  ASSERT_EQ(load->result(), 0);
  auto dev = std::make_unique<FakeDevice>(3, 1 << 20, 1);
  dev->nmp()->ack_timeout = 1;
  TestBio upper(3, REQ_OP_WRITE, 0, 4096);
  struct io_request *req = mirvol_allocate_request();
  ASSERT_NE(req, nullptr);
  req->nmp = dev->nmp();
  req->upper_bio = upper.bio();
  req->write = 1;
  mirvol_add_req_queue(dev->nmp(), req);
  EXPECT_TRUE(timer_pending(&req->sys_var->timer)) << "a synchronous request's ACK1 timer runs";
  dev.reset();
  load.reset();  // frees the request: its timer must not fire on freed memory
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clock_set_time_scale(1);
  ASSERT_TRUE(upper.wait());
  EXPECT_EQ(upper.status(), -EIO) << "its upper I/O ends, with an error";
}

}  // namespace

// --- request ids, local write errors and allocation failures ---

namespace {

// The ACK2 nodes queued on the device so far.
std::vector<u64> ack2_queued(struct nmp_info *nmp) {
  std::vector<u64> ids;
  unsigned long flags;
  spin_lock_irqsave(&nmp->send_ack2_queue.sys_var->lock, flags);
  for (auto *a = static_cast<struct a2q *>(nmp->send_ack2_queue.head); a; a = a->next)
    ids.push_back(a->request_id);
  spin_unlock_irqrestore(&nmp->send_ack2_queue.sys_var->lock, flags);
  return ids;
}

// A queued and acknowledged write request built by hand over `upper`,
// whose local write completes with `error`.
struct io_request *acknowledged_write(struct nmp_info *nmp, TestBio &upper, u64 *id) {
  struct io_request *req = mirvol_allocate_request();
  EXPECT_NE(req, nullptr);
  req->nmp = nmp;
  req->upper_bio = upper.bio();
  req->write = 1;
  req->start_sector = upper.bio()->bi_iter.bi_sector;
  req->sector_count = upper.bio()->bi_iter.bi_size / 512;
  req->clone = bio_clone(upper.bio(), GFP_KERNEL);
  for (unsigned i = 0; i < req->clone->bi_vcnt; i++) req->clone->bi_io_vec[i].bv_page = alloc_page(GFP_KERNEL);
  req->clone->bi_private = req;
  unsigned long flags;
  spin_lock_irqsave(&g_max_lock, flags);
  g_make_request_cnt++;
  spin_unlock_irqrestore(&g_max_lock, flags);
  *id = mirvol_add_req_queue(nmp, req);
  EXPECT_EQ(mirvol_del_req_queue(nmp, *id), req) << "as the ACK1 receiver takes it";
  return req;
}

TEST(RequestIds, AreNeverZeroSoEveryQueuedWriteGetsItsAck2) {
  struct Case {
    int minor;
    u64 seq;  // the device's sequence before the write
  };
  const Case cases[] = {{0, 0}, {0, 1ull << 24}, {0, 5ull << 24}, {3, 0}, {3, 1ull << 24}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "minor " << c.minor << " seq " << c.seq);
    ModuleLoad load({"nmp_minor=0,3"});
    ASSERT_EQ(load.result(), 0);
    FakeDevice dev(c.minor, 1 << 20);
    struct nmp_info *nmp = dev.nmp();
    nmp->request_seq = c.seq;
    std::vector<u64> ids;
    for (int i = 0; i < 2; i++) {
      TestBio upper((u32)c.minor, REQ_OP_WRITE, 8 * (u64)i, 4096);
      u64 id;
      struct io_request *req = acknowledged_write(nmp, upper, &id);
      EXPECT_NE(id, 0u);
      EXPECT_EQ(id >> 24, (u64)c.minor) << "the id names the device";
      ids.push_back(id);
      mirvol_end_req(req, REQ_REMOTE_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
      mirvol_end_req(req, REQ_LOCAL_DONE);
      ASSERT_TRUE(upper.wait());
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(ack2_queued(nmp), ids) << "each acknowledged write is answered with ACK2";
  }
}

TEST_F(RequestPath, ALocalWriteErrorRaisesTheDataPartitionErrorMarksTheBitmapAndSendsNoAck2) {
  struct Case {
    u32 mode;
    int error;
  };
  const Case cases[] = {{1, -EIO}, {0, -EIO}, {1, 0}, {0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " error " << c.error);
    nmp()->mode = c.mode;
    nmp()->dp_error = 0;
    LogCapture log;
    TestBio upper(3, REQ_OP_WRITE, 40, 8192);
    u64 id;
    struct io_request *req = acknowledged_write(nmp(), upper, &id);
    ASSERT_EQ(add_wrt_queue2(nmp(), upper.bio(), 40), 0);
    mirvol_end_req(req, REQ_REMOTE_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);  // ACK1
    __mirvol_end_make_request(req->clone, 8192, c.error);
    ASSERT_TRUE(upper.wait());
    EXPECT_EQ(upper.status(), c.error);
    EXPECT_EQ(nmp()->wrt_queue[40 % 64].head, nullptr) << "the write left the in-flight table";
    auto ranges = queued_ranges();
    auto acks = ack2_queued(nmp());
    if (c.error) {
      EXPECT_TRUE(log.contains("[E] <type: mirvol><event: 160> NMP3 disk I/O error (-5)."));
      EXPECT_EQ(nmp()->dp_error, 1);
      EXPECT_EQ(ranges, (std::vector<std::pair<u64, u64>>{{40, 55}}));
      EXPECT_TRUE(acks.empty()) << "the standby must not be told the write is on both sides";
    } else {
      EXPECT_FALSE(log.contains("<event: 160>"));
      EXPECT_EQ(nmp()->dp_error, 0);
      EXPECT_TRUE(ranges.empty());
      EXPECT_EQ(acks, std::vector<u64>{id});
    }
    // Start the next case from empty queues.
    while (g_wrbmp.head) {
      struct wbq *w = g_wrbmp.head;
      g_wrbmp.head = w->next;
      kfree(w);
    }
    g_wrbmp.tail = nullptr;
    g_wrbmp.cnt[0] = 0;
    while (nmp()->send_ack2_queue.head) {
      auto *a = static_cast<struct a2q *>(nmp()->send_ack2_queue.head);
      nmp()->send_ack2_queue.head = a->next;
      kfree(a);
    }
    nmp()->send_ack2_queue.tail = nullptr;
  }
}

TEST_F(RequestPath, AWriteWhoseLocalWriteFailsOnTheDiskGoesToTheBitmapOnce) {
  nmp()->nw_port = 0;
  struct blk_fault f = {BLK_FAULT_WRITE, 64, 8, -1, 0, 1};
  ASSERT_GE(bdev_fault_add(nmp()->dp_bdev, &f), 0);
  LogCapture log;
  {
    TestBio b(3, REQ_OP_WRITE, 64, 4096, 'e');
    b.submit();
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status(), -EIO);
  }
  EXPECT_TRUE(log.contains("<event: 160> NMP3 disk I/O error (-5)."));
  EXPECT_FALSE(log.contains("<event: 166>")) << "the range was handed over twice";
  EXPECT_EQ(nmp()->dp_error, 1);
  EXPECT_EQ(queued_ranges(), (std::vector<std::pair<u64, u64>>{{64, 71}}));
  bdev_fault_clear(nmp()->dp_bdev);
}

TEST_F(RequestPath, AllocationFailuresEndTheIoWithEioAndGiveTheInFlightCountBack) {
  struct Case {
    long skip;           // allocations of the submitter that succeed first
    const char *retry;   // the message between the tries
    const char *message; // the message of the refusal
  };
  // Every allocation from `skip` on fails, retries included: the request
  // record and its parts, the clone, its private pages, the write-table
  // node.
  const Case cases[] = {
      {0, "[W] <type: mirvol><event: 146> Failed to allocate request, retrying.",
       "[E] <type: mirvol><event: 145> NMP3 failed to allocate I/O request."},
      {4, "[W] <type: mirvol><event: 146> Failed to allocate request->a2q, retrying.",
       "[E] <type: mirvol><event: 145> NMP3 failed to allocate I/O request."},
      {5, "[W] <type: mirvol><event: 146> NMP3 failed to allocate bio for I/O, retrying.",
       "[E] <type: mirvol><event: 145> NMP3 failed to allocate local_bio."},
      {7, "[W] <type: mirvol><event: 146> NMP3 failed to allocate bv_page for I/O, retrying.",
       "[E] <type: mirvol><event: 145> NMP3 failed to allocate local_bio."},
      {8, "[W] <type: mirvol><event: 146> NMP3 failed to allocate local_wrt_queue, retrying.",
       "[E] <type: mirvol><event: 145> NMP3 failed to allocate wrt_queue."},
  };
  clock_set_time_scale(100);  // the retries pause 1 or 4 platform seconds
  nmp()->nw_port = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.skip);
    LogCapture log;
    TestBio b(3, REQ_OP_WRITE, 16, 8192, 'a');
    alloc_fault_inject(c.skip, -1, get_current());
    b.submit();
    alloc_fault_clear();
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status(), -EIO);
    EXPECT_TRUE(log.contains(c.retry)) << c.retry << testing::PrintToString(log.texts());
    EXPECT_TRUE(log.contains(c.message)) << c.message;
    EXPECT_TRUE(eventually([] { return in_flight() == 0; }, 10000));
    EXPECT_TRUE(queued_ranges().empty());
    EXPECT_EQ(nmp()->wrt_queue[16].head, nullptr);
  }
  clock_set_time_scale(1);
}

}  // namespace
