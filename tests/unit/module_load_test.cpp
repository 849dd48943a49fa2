// Module load and unload: parameters, status files, the block major, the
// mirror disks and the module-wide tables; every failure leaves nothing.

#include "module_fixture.h"

using testutil::LogCapture;
using testutil::ModuleLoad;

namespace {

bool proc_exists(const char *path) {
  umode_t mode;
  return proc_getattr(path, &mode) == 0;
}

// Nothing of the module is left registered.
void expect_nothing_registered() {
  EXPECT_FALSE(proc_exists("mirvolstat"));
  EXPECT_FALSE(proc_exists("mirvolinner"));
  char name[32];
  EXPECT_FALSE(blkdev_major_name(218, name, sizeof(name)));
  struct block_device *b = bdget(MKDEV(218u, 3u));
  EXPECT_EQ(b, nullptr);
  if (b) bdput(b);
}

TEST(ModuleLoad, WithoutMinorsFailsAndLeavesNothing) {
  LogCapture log;
  {
    ModuleLoad m({});
    EXPECT_EQ(m.result(), -EIO);
  }
  EXPECT_TRUE(log.contains(
      "[E] <type: mirvol><event: 120> insmod did not pass nmp_minor array to mirvol with "
      "module_param_array."));
  expect_nothing_registered();
}

TEST(ModuleLoad, CreatesOneDiskPerMinorAndRemovesEverythingAtUnload) {
  long before = alloc_outstanding();
  LogCapture log;
  {
    ModuleLoad m({"nmp_minor=3,1,7"});
    ASSERT_EQ(m.result(), 0);
    EXPECT_EQ(g_nmp_count, 3);
    EXPECT_EQ(g_max_minor, 7);
    EXPECT_EQ(mirvol_get_index_from_minor(7), 2);
    EXPECT_EQ(mirvol_get_index_from_minor(5), -1);
    for (int minor : {3, 1, 7}) {
      struct block_device *b = bdget(MKDEV(218u, (u32)minor));
      ASSERT_NE(b, nullptr) << minor;
      EXPECT_EQ(get_capacity(b->bd_disk), 1024u);
      EXPECT_EQ(std::string(b->bd_disk->disk_name), "NMP" + std::to_string(minor));
      bdput(b);
    }
    EXPECT_TRUE(proc_exists("mirvolstat"));
    EXPECT_TRUE(proc_exists("mirvolinner"));
    EXPECT_EQ(g_make_request_max_cnt, 4096u);
    EXPECT_EQ(g_cachenum, 1);
    char *text = nullptr;
    size_t len = 0;
    ASSERT_EQ(proc_read("mirvolinner", &text, &len), 0);
    EXPECT_EQ(std::string(text, len), "0\n");
    proc_read_free(text);
  }
  expect_nothing_registered();
  EXPECT_EQ(alloc_outstanding(), before);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 101> Registered blkdev with major=218."));
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 110> Adding disk NMP7  with major=218 minor=7."));
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 111> Deleting disk NMP1  with major=218 minor=1."));
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 112> Cleaning up   NMP3  queue."));
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 103> Unregistered blkdev with major=218."));
}

TEST(ModuleLoad, RefusesMinorsOutsideTheTableOrGivenTwice) {
  for (const char *p : {"nmp_minor=65", "nmp_minor=-1", "nmp_minor=3,1,3"}) {
    SCOPED_TRACE(p);
    LogCapture log;
    {
      ModuleLoad m({p});
      EXPECT_EQ(m.result(), -EIO);
    }
    EXPECT_TRUE(log.contains("<event: 120> nmp_minor ("));
    expect_nothing_registered();
  }
  ModuleLoad edge({"nmp_minor=0,64"});
  EXPECT_EQ(edge.result(), 0);
}

TEST(ModuleLoad, EveryAllocationFailureLeavesNothingRegistered) {
  long before = alloc_outstanding();
  int failed_loads = 0;
  for (long k = 0;; k++) {
    SCOPED_TRACE(k);
    LogCapture log;
    alloc_fault_inject(k, 1, get_current());
    int r;
    long hit;
    {
      ModuleLoad m({"nmp_minor=3,1"});
      r = m.result();
      hit = alloc_fault_failed();
      alloc_fault_clear();
      if (r != 0) {
        EXPECT_TRUE(r == -EIO || r == -STATUS_NO_MEMORY) << r;
        expect_nothing_registered();
        failed_loads++;
      }
    }
    EXPECT_EQ(alloc_outstanding(), before);
    if (hit == 0) break;  // every allocation of the load was tried
    ASSERT_LT(k, 200);
  }
  EXPECT_GE(failed_loads, 7) << "each table allocation is a failure path";
}

TEST(ModuleLoad, StatusFilesSayTheDriverIsUnloadingOnceItBegins) {
  ModuleLoad m({"nmp_minor=3"});
  ASSERT_EQ(m.result(), 0);
  g_unloading = 1;
  char *text = nullptr;
  size_t len = 0;
  ASSERT_EQ(proc_read("mirvolstat", &text, &len), 0);
  EXPECT_EQ(std::string(text, len), "Driver is being unloaded.\n");
  proc_read_free(text);
  g_unloading = 0;
  ASSERT_EQ(proc_read("mirvolstat", &text, &len), 0);
  EXPECT_EQ(std::string(text, len).rfind("Tessalorium-4.1.0-1\nThe compilation date:  ", 0), 0u);
  proc_read_free(text);
}

}  // namespace

namespace {

// A module-wide thread as the driver writes them: it leaves its loop on
// SIGTERM, after ignoring the first `ignore` of them.
struct StopCounter {
  std::atomic<int> sigterms{0};
  int ignore = 0;
  struct nmp_thread_info *info = nullptr;
};

int stoppable_thread(void *arg) {
  auto *c = static_cast<StopCounter *>(arg);
  allow_signal(SIGTERM);
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  for (;;) {
    if (signal_pending(get_current())) {
      flush_signals(get_current());
      if (++c->sigterms > c->ignore) break;
    }
    interruptible_sleep_on_timeout(&wq, HZ);
  }
  __atomic_store_n(&c->info->running, 0, __ATOMIC_RELEASE);
  return 0;
}

TEST(ModuleUnload, StopsAThreadStartedJustBeforeAndJoinsIt) {
  int before = kthread_count_running();
  StopCounter c;
  c.info = &g_disconnection_thread;
  {
    ModuleLoad m({"nmp_minor=3"});
    ASSERT_EQ(m.result(), 0);
    ASSERT_GT(mirvol_kernel_thread_info(stoppable_thread, &c, "mirvol_common_1", c.info), 0);
    // Unload at once: the record is set before the thread runs, so the
    // stop cannot miss it.
  }
  EXPECT_EQ(c.sigterms.load(), 1);
  EXPECT_EQ(kthread_count_running(), before) << "unload returned before the thread had left";
  EXPECT_EQ(g_disconnection_thread.pid_handle, nullptr);
}

TEST(ModuleUnload, AThreadThatIgnoresSigtermGetsOneASecondUntilItLeaves) {
  clock_set_time_scale(50);
  StopCounter c;
  c.ignore = 2;
  c.info = &g_disk_error_thread;
  u64 start;
  {
    ModuleLoad m({"nmp_minor=3"});
    ASSERT_EQ(m.result(), 0);
    ASSERT_GT(mirvol_kernel_thread_info(stoppable_thread, &c, "mirvol_common_3", c.info), 0);
    start = get_jiffies_64();
  }
  u64 waited = get_jiffies_64() - start;
  clock_set_time_scale(1);
  EXPECT_EQ(c.sigterms.load(), 3);
  EXPECT_GE(waited, (u64)(2 * HZ)) << "two one-second pauses between the three signals";
}

TEST(ModuleUnload, WarnsOfAnOpenMountPortAndOfRequestsStillQueued) {
  struct Case {
    u32 mount_port;
    int queued;  // requests left in the send queue
    bool warn_mount, warn_requests;
  };
  const Case cases[] = {
      {0, 0, false, false},
      {1, 0, true, false},
      {0, 2, false, true},
      {1, 1, true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "mount " << c.mount_port << " queued " << c.queued);
    LogCapture log;
    {
      ModuleLoad m({"nmp_minor=3"});
      ASSERT_EQ(m.result(), 0);
      testutil::FakeDevice dev(3, 1 << 20, 0);
      struct nmp_info *nmp = dev.nmp();
      nmp->mount_port = c.mount_port;
      for (int i = 0; i < c.queued; i++) {
        struct io_request *req = mirvol_allocate_request();
        ASSERT_NE(req, nullptr);
        req->nmp = nmp;
        req->write = 1;
        req->start_sector = 8 * (u64)i;
        req->sector_count = 8;
        mirvol_add_req_queue(nmp, req);  // freed by the unload
      }
    }
    char requests[96];
    snprintf(requests, sizeof(requests),
             "[E] <type: mirvol><event: 137> NMP3 killing thread, but %d I/O request still exist.",
             c.queued);
    EXPECT_EQ(log.contains("[E] <type: mirvol><event: 136> NMP3 killing thread, but mount port is "
                           "still opened."),
              c.warn_mount);
    EXPECT_EQ(log.contains(requests), c.warn_requests) << requests;
    EXPECT_EQ(log.contains("<event: 137>"), c.warn_requests);
  }
}

TEST(ModuleLoad, TheIoPortHintsAreShownOncePerLoad) {
  const char *hint = "- This message can be recorded on hotplug service starting when NMPx is not active.";
  for (int load = 0; load < 2; load++) {
    SCOPED_TRACE(load);
    ModuleLoad m({"nmp_minor=3"});
    ASSERT_EQ(m.result(), 0);
    testutil::FakeDevice dev(3, 1 << 20);
    dev.nmp()->io_port = 0;
    for (int write = 0; write < 2; write++) {
      LogCapture log;
      testutil::TestBio b(3, REQ_OP_WRITE, 0, 4096);
      b.submit();
      ASSERT_TRUE(b.wait());
      EXPECT_EQ(b.status(), -EIO);
      EXPECT_TRUE(log.contains("<event: 144> NMP3 I/O port has been closed"));
      EXPECT_EQ(log.contains(hint), write == 0) << "write " << write;
    }
  }
}

}  // namespace
