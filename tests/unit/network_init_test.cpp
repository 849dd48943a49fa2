// Driver-wide settings: the values stored (and replaced when out of range),
// the statistics directory, the four module-wide threads and the growth of
// the bitmap block cache.

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "include/mirvol_bitmap_writer.h"
#include "writer_fixture.h"

using testutil::LogCapture;
using testutil::ModuleLoad;

namespace {

using writertest::Call;

// A command 101 record with every value in range.
struct Settings {
  std::vector<u8> rec = std::vector<u8>(44, 0);
  Settings() {
    memcpy(rec.data() + 4, "qdx", 4);
    set(8, 30);  // interval
    set(12, 4);  // max_cachenum
    set(16, 0);  // mirvolperf
    set(20, 0);  // printkperf
    set(24, 0);  // barrier_check_method
    set(28, 0);  // barrier_log_level
    set(32, 1);  // queue_limits_method
    set(36, 0);  // limits_log_flag
    set(40, 3);  // history cache delete number
  }
  Settings &set(size_t off, s32 v) {
    memcpy(rec.data() + off, &v, 4);
    return *this;
  }
  Call send(u32 minor = 3) const { return Call(minor, 101, rec); }
};

std::multiset<std::string> task_names() {
  std::vector<std::string> names = testutil::thread_names();
  return std::multiset<std::string>(names.begin(), names.end());
}

size_t top_proc_entries(const char *name) {
  std::vector<std::string> names;
  proc_list(
      "",
      [](void *arg, const char *n, umode_t) {
        static_cast<std::vector<std::string> *>(arg)->emplace_back(n);
      },
      &names);
  return (size_t)std::count(names.begin(), names.end(), name);
}

const char *const kCommon[] = {"mirvol_common_1", "mirvol_common_2", "mirvol_common_3",
                               "mirvol_common_4"};

class NetworkInit : public testing::Test {
 protected:
  void SetUp() override {
    // Unload polls the threads once a second.
    clock_set_time_scale(50);
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    mirvol_printk_init();
  }
  void TearDown() override {
    kthread_fault_inject(0, 0);
    load_.reset();
    clock_set_time_scale(1);
  }
  std::unique_ptr<ModuleLoad> load_;
};

TEST_F(NetworkInit, ValuesOutOfRangeAreReplacedByTheirDefaults) {
  struct Case {
    size_t off;
    s32 in;
    std::function<s64()> effective;
    s64 want;
    const char *message;  // null: accepted silently
  };
  auto interval = [] { return (s64)g_bmp_chk_interval; };
  auto cachenum = [] { return (s64)g_max_cachenum; };
  auto delnum = [] { return (s64)g_history_cache_delnum; };
  auto barrier = [] { return (s64)g_driver_adj.barrier_check_method; };
  auto limits = [] { return (s64)g_driver_adj.queue_limits_method; };
  auto perf = [] { return (s64)g_driver_adj.mirvolperf; };
  auto printkperf = [] { return (s64)g_driver_adj.printkperf; };
  auto level = [] { return (s64)g_driver_adj.barrier_log_level; };
  auto logflag = [] { return (s64)g_driver_adj.limits_log_flag; };
  const Case cases[] = {
      {8, 1, interval, 1, nullptr},
      {8, 600, interval, 600, nullptr},
      {8, 0, interval, 100,
       "Bitmap refresh interval (0) is invalid. The default setting (100) will be used instead."},
      {8, 601, interval, 100, "Bitmap refresh interval (601) is invalid."},
      {8, -1, interval, 100, "Bitmap refresh interval (-1) is invalid."},
      {12, 512, cachenum, 512, nullptr},
      {12, 513, cachenum, 256,
       "max_cachenum (513) is invalid. The default setting (256) will be used instead."},
      {12, 0, cachenum, 256, "max_cachenum (0) is invalid."},
      {40, 1, delnum, 1, nullptr},
      {40, 0, delnum, 2,
       "history_cache_delnum (0) is invalid. The default setting (2) will be used instead."},
      {40, -4, delnum, 2, "history_cache_delnum (-4) is invalid."},
      {24, 1, barrier, 1, nullptr},
      {24, 2, barrier, 0,
       "barrier_check_method (2) is invalid. The default setting (0) will be used instead."},
      {32, 3, limits, 3, nullptr},
      {32, 0, limits, 0, nullptr},
      {32, 4, limits, 1,
       "queue_limits_method (4) is invalid. The default setting (1) will be used instead."},
      {16, 2, perf, 0, "mirvolperf (2) is invalid. The default setting (0) will be used instead."},
      {20, 1, printkperf, 1, nullptr},
      {20, -1, printkperf, 0,
       "printkperf (-1) is invalid. The default setting (0) will be used instead."},
      {28, 77, level, 77, nullptr},
      {36, -3, logflag, (s64)(u32)-3, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.off << " value " << c.in);
    // Sent twice: the second command must answer and store the same.
    for (int round = 0; round < 2; round++) {
      mirvol_printk_init();
      LogCapture log;
      Call r = Settings().set(c.off, c.in).send();
      EXPECT_EQ(r.result, 0);
      EXPECT_EQ(r.status(), (u32)STATUS_OK);
      EXPECT_EQ(c.effective(), c.want);
      bool warned = false;
      for (auto &l : log.lines()) {
        std::string t = l.text;
        if (t.find("<event: 180>") == std::string::npos) continue;
        warned = true;
        EXPECT_NE(c.message, nullptr) << "unexpected: " << t;
        if (c.message) {
          EXPECT_NE(t.find(c.message), std::string::npos) << t;
          EXPECT_EQ(t.rfind("[W] ", 0), 0u) << t;
        }
      }
      EXPECT_EQ(warned, c.message != nullptr);
    }
  }
}

TEST_F(NetworkInit, ARecordWithAStatusWordOrABadMagicIsRefusedAndStoresNothing) {
  std::vector<u8> status1 = Settings().set(0, 1).set(8, 7).rec;
  std::vector<u8> magic = Settings().set(8, 7).rec;
  magic[6] = 'y';
  for (auto &rec : {status1, magic}) {
    mirvol_printk_init();
    LogCapture log;
    Call r(3, 101, rec);
    EXPECT_EQ(r.status(), (u32)STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_bmp_chk_interval, 0);
    EXPECT_EQ(g_max_cachenum, 0);
    EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 185> ioctl (cmd=101, pid="));
    EXPECT_TRUE(log.contains(") is invalid. ignored. (mirvol_network_init)"));
  }
  EXPECT_EQ(g_disconnection_thread.pid, 0) << "no thread started";
  EXPECT_EQ(g_cachenum, 1);
}

TEST_F(NetworkInit, TheFourThreadsRunByNameOnceAndUnloadStopsThemInOrder) {
  LogCapture log;
  ASSERT_EQ(Settings().send(3).status(), (u32)STATUS_OK);
  // Sent again on the other disk: the device's minor does not matter, and
  // a running thread is not started twice.
  ASSERT_EQ(Settings().send(1).status(), (u32)STATUS_OK);
  auto names = task_names();
  for (const char *n : kCommon) EXPECT_EQ(names.count(n), 1u) << n;
  const char *started[] = {
      "New thread: timer_disconnection_thread        (PID=",
      "New thread: mirvol_local_bitmap_write_thread  (PID=",
      "New thread: mirvol_remote_bitmap_write_thread (PID=",
      "New thread: mirvol_disk_error_operate_thread  (PID=",
  };
  std::vector<std::string> texts = log.texts();
  size_t pos = 0;
  for (const char *s : started) {
    auto it = std::find_if(texts.begin() + (long)pos, texts.end(),
                           [s](const std::string &t) { return t.find(s) != std::string::npos; });
    ASSERT_NE(it, texts.end()) << "started in order: " << s;
    pos = (size_t)(it - texts.begin()) + 1;
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [s](const std::string &t) { return t.find(s) != std::string::npos; }),
              1)
        << s;
  }

  LogCapture stop;
  load_.reset();
  names = task_names();
  for (const char *n : kCommon) EXPECT_EQ(names.count(n), 0u) << n;
  texts = stop.texts();
  auto at = [&texts](const char *s) {
    for (size_t i = 0; i < texts.size(); i++)
      if (texts[i].find(s) != std::string::npos) return (long)i;
    return -1L;
  };
  long disc = at("killing thread...........OK (timer_disconnection_thread)");
  long local = at("killing thread...........OK (mirvol_local_bitmap_write_thread)");
  long remote = at("killing thread...........OK (mirvol_remote_bitmap_write_thread)");
  long disk = at("killing thread...........OK (mirvol_disk_error_operate_thread)");
  EXPECT_GE(disc, 0);
  EXPECT_GE(remote, 0);
  EXPECT_GE(disk, 0);
  EXPECT_GT(local, disc) << "the local writer outlives the disconnection thread";
  EXPECT_EQ(g_mirvol_shutdown, 1);
}

TEST_F(NetworkInit, ConcurrentCommandsStartEachThreadOnce) {
  LogCapture log;
  constexpr int kCallers = 8;
  std::atomic<int> ready{0}, ok{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; i++)
    callers.emplace_back([&] {
      ready++;
      while (ready.load() < kCallers) std::this_thread::yield();
      if (Settings().send().status() == (u32)STATUS_OK) ok++;
    });
  for (auto &t : callers) t.join();
  EXPECT_EQ(ok.load(), kCallers);
  auto names = task_names();
  for (const char *n : kCommon) EXPECT_EQ(names.count(n), 1u) << n;
  std::vector<std::string> texts = log.texts();
  for (const char *fn : {"timer_disconnection_thread ", "mirvol_local_bitmap_write_thread ",
                         "mirvol_remote_bitmap_write_thread ", "mirvol_disk_error_operate_thread "})
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [fn](const std::string &t) {
                              return t.find(std::string("New thread: ") + fn) != std::string::npos;
                            }),
              1)
        << fn;
  EXPECT_EQ(g_cachenum, 4) << "the cache is filled once to its limit";
  load_.reset();
  names = task_names();
  for (const char *n : kCommon) EXPECT_EQ(names.count(n), 0u) << "left running after unload: " << n;
}

TEST_F(NetworkInit, AThreadThatCannotStartStopsTheRestAndALaterCommandStartsThem) {
  kthread_fault_inject(1, 1);  // the second thread, "mirvol_common_2"
  LogCapture log;
  Call r = Settings().set(12, 6).send();
  kthread_fault_inject(0, 0);
  EXPECT_EQ(r.status(), (u32)STATUS_FAILED);
  EXPECT_TRUE(log.contains(
      "[E] <type: mirvol><event: 131> Failed to fork thread: mirvol_local_bitmap_write_thread  "
      "(err=-1)"));
  auto names = task_names();
  EXPECT_EQ(names.count("mirvol_common_1"), 1u);
  EXPECT_EQ(names.count("mirvol_common_2"), 0u);
  EXPECT_EQ(names.count("mirvol_common_4"), 0u);
  EXPECT_EQ(names.count("mirvol_common_3"), 0u);
  EXPECT_EQ(g_max_cachenum, 6) << "the settings are kept";
  EXPECT_EQ(g_cachenum, 1) << "the cache is not filled";

  EXPECT_EQ(Settings().set(12, 6).send().status(), (u32)STATUS_OK);
  names = task_names();
  for (const char *n : kCommon) EXPECT_EQ(names.count(n), 1u) << n;
  EXPECT_EQ(g_cachenum, 6);
}

TEST_F(NetworkInit, TheCacheGrowsToTheLimitAndNeverShrinks) {
  struct Step {
    s32 limit;
    int entries;
  };
  const Step steps[] = {{5, 5}, {3, 5}, {8, 8}, {8, 8}};
  for (const Step &s : steps) {
    SCOPED_TRACE(s.limit);
    ASSERT_EQ(Settings().set(12, s.limit).send().status(), (u32)STATUS_OK);
    EXPECT_EQ(g_cachenum, s.entries);
    int n = 0;
    for (struct cache_table *e = g_cachetable; e; e = e->next, n++) {
      EXPECT_EQ(e->block_offset, -1);
      EXPECT_EQ(e->owner_minor, -1);
      EXPECT_NE(e->sig_sem, nullptr);
    }
    EXPECT_EQ(n, s.entries) << "the list and its count agree";
  }
}

TEST_F(NetworkInit, ACacheEntryThatCannotBeAllocatedLeavesTheCacheSmaller) {
  // The threads first, so that only the cache allocates below.
  ASSERT_EQ(Settings().set(12, 1).send().status(), (u32)STATUS_OK);
  // The entry, then its semaphore: each failure ends the growth there.
  for (long skip : {0L, 1L}) {
    SCOPED_TRACE(skip);
    int before = g_cachenum;
    LogCapture log;
    alloc_fault_inject(skip, 1, get_current());
    Call r = Settings().set(12, before + 3).send();
    alloc_fault_clear();
    EXPECT_EQ(r.status(), (u32)STATUS_OK);
    EXPECT_EQ(g_cachenum, before) << "nothing added after the failure";
    EXPECT_EQ(log.contains("Failed to allocate cache_table->sig_sem, cachenum("), skip == 1);
    ASSERT_EQ(Settings().set(12, before + 3).send().status(), (u32)STATUS_OK);
    EXPECT_EQ(g_cachenum, before + 3) << "a later command fills it";
  }
}

TEST_F(NetworkInit, TheStatisticsDirectoryIsMadeOnceAndRemovedAtUnload) {
  EXPECT_EQ(top_proc_entries("mirvolperf"), 0u);
  ASSERT_EQ(Settings().set(16, 2).send().status(), (u32)STATUS_OK);
  EXPECT_EQ(top_proc_entries("mirvolperf"), 0u) << "an invalid switch makes nothing";
  LogCapture log;
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(Settings().set(16, 1).send().status(), (u32)STATUS_OK);
    EXPECT_EQ(top_proc_entries("mirvolperf"), 1u);
  }
  EXPECT_FALSE(log.contains("already registered")) << "made a second time";
  umode_t mode;
  EXPECT_EQ(proc_getattr("mirvolperf", &mode), 0);
  load_.reset();
  EXPECT_EQ(top_proc_entries("mirvolperf"), 0u);
}

}  // namespace
