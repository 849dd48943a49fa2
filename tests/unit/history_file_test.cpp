// History files and the history thread: the directory set-up, the spill of
// a request's data into its file and the read-back, the byte limit and its
// accounting, the buffer pool, and jobs of a thread that stops.

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "history_fixture.h"

namespace historytest {
namespace {

using testutil::LogCapture;

std::vector<u8> file_bytes(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
bool exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}
void put_file(const std::string &path, const std::vector<u8> &b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char *>(b.data()), (std::streamsize)b.size());
}

class HistoryFiles : public HistoryTest {
 protected:
  void SetUp() override { load(8 << 20, 512, 2, 1); }
  std::string devdir() const { return dir_.path() + "/3"; }
  std::string name(u64 serial) const {
    char b[32];
    snprintf(b, sizeof(b), "/%016llX.dat", (unsigned long long)serial);
    return devdir() + b;
  }
  // A request whose buff_list holds `segs` segments of the given lengths,
  // filled with a pattern of the serial number.
  struct io_request *spill_request(u64 serial, const std::vector<u32> &segs) {
    u32 total = 0;
    for (u32 s : segs) total += s;
    struct io_request *req = request(serial, 8, total / 512);
    struct buff_list **tail = &req->buff_list;
    u32 at = 0;
    for (u32 s : segs) {
      auto *b = static_cast<struct buff_list *>(kzalloc(sizeof(struct buff_list), GFP_KERNEL));
      b->page = alloc_page(GFP_KERNEL);
      b->len = s;
      u8 *p = static_cast<u8 *>(page_address(b->page));
      for (u32 i = 0; i < s; i++) p[i] = (u8)((at + i) * 7 + serial);
      at += s;
      *tail = b;
      tail = &b->next;
    }
    return req;
  }
  static std::vector<u8> content(struct io_request *req) {
    std::vector<u8> v;
    for (struct buff_list *b = req->buff_list; b; b = b->next) {
      u8 *p = static_cast<u8 *>(page_address(b->page));
      v.insert(v.end(), p, p + b->len);
    }
    return v;
  }
  // Empty buffers of the same lengths, as the sender gives a request
  // before its read-back.
  static void empty_buffers(struct io_request *req) {
    for (struct buff_list *b = req->buff_list; b; b = b->next)
      memset(page_address(b->page), 0, PAGE_SIZE);
  }
  u64 bytes() const { return mirvol_history_file_bytes(h()); }
  // Bytes in use equal the sizes of the files in the directory.
  u64 sizes_on_disk() const {
    u64 n = 0;
    if (DIR *d = opendir(devdir().c_str())) {
      while (struct dirent *e = readdir(d)) {
        struct stat st;
        std::string p = devdir() + "/" + e->d_name;
        if (e->d_name[0] != '.' && lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode))
          n += (u64)st.st_size;
      }
      closedir(d);
    }
    return n;
  }
};

TEST_F(HistoryFiles, ASpillHoldsTheDataByteExactAndTheReadBackRestoresAndDeletesIt) {
  struct stat st;
  ASSERT_EQ(stat(devdir().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // 128 KiB in 4096-byte pages, and a small write with short segments.
  for (auto segs : {std::vector<u32>(32, 4096), std::vector<u32>{512, 4096, 1024, 1536}}) {
    auto *req = spill_request(0x1A, segs);
    auto want = content(req);
    ASSERT_EQ(mirvol_write_history_file_main(req), HIS_OK);
    ASSERT_TRUE(exists(name(0x1A)));
    EXPECT_EQ(name(0x1A), devdir() + "/000000000000001A.dat");
    EXPECT_TRUE(file_bytes(name(0x1A)) == want);
    EXPECT_EQ(bytes(), want.size());
    empty_buffers(req);
    ASSERT_EQ(mirvol_read_history_file(req), HIS_OK);
    EXPECT_TRUE(content(req) == want);
    EXPECT_FALSE(exists(name(0x1A)));
    EXPECT_EQ(bytes(), 0u);
  }
  EXPECT_EQ(mirvol_fileio_buffers_free(), mirvol_fileio_buffers_filled()) << "buffers returned";
}

TEST_F(HistoryFiles, TheLimitRefusesTheSpillThatWouldPassItAndCreatesNoFile) {
  auto *full = spill_request(1, std::vector<u32>(256, 4096));  // 1 MiB: the whole limit
  ASSERT_EQ(mirvol_write_history_file_main(full), HIS_OK);
  auto *more = spill_request(2, {4096});
  LogCapture log;
  EXPECT_EQ(mirvol_write_history_file_main(more), HIS_OVER_LIMIT);
  EXPECT_TRUE(log.contains("NMP3 failed to write a history file. (overflow)")) << log.dump();
  EXPECT_FALSE(exists(name(2)));
  EXPECT_EQ(bytes(), 1u << 20);
  ASSERT_EQ(mirvol_delete_history_file(full), HIS_OK);
  EXPECT_EQ(bytes(), 0u);
  EXPECT_EQ(mirvol_write_history_file_main(more), HIS_OK) << "room again";
}

TEST_F(HistoryFiles, WithEveryPoolBufferTakenAWriteFailsWithoutAFileAndAReadBackKeepsIt) {
  auto *kept = spill_request(5, {4096, 4096});
  ASSERT_EQ(mirvol_write_history_file_main(kept), HIS_OK);
  std::vector<void *> taken;
  while (void *b = mirvol_get_fileio_buffer()) taken.push_back(b);
  ASSERT_FALSE(taken.empty());
  auto *req = spill_request(6, {4096});
  EXPECT_EQ(mirvol_write_history_file_main(req), HIS_FILE_WRITE_FAILED);
  EXPECT_FALSE(exists(name(6)));
  empty_buffers(kept);
  EXPECT_EQ(mirvol_read_history_file(kept), HIS_FILE_READ_FAILED);
  EXPECT_TRUE(exists(name(5)));
  EXPECT_EQ(bytes(), sizes_on_disk());
  for (void *b : taken) mirvol_put_fileio_buffer(b);
  EXPECT_EQ(mirvol_read_history_file(kept), HIS_OK);
  EXPECT_EQ(bytes(), 0u);
}

TEST_F(HistoryFiles, AShortFileFailsTheReadBackWithSeventeenAndStays) {
  auto *req = spill_request(7, {4096, 4096});
  ASSERT_EQ(mirvol_write_history_file_main(req), HIS_OK);
  ASSERT_EQ(truncate(name(7).c_str(), 5000), 0);
  LogCapture log;
  EXPECT_EQ(mirvol_read_history_file(req), HIS_FILE_READ_FAILED);
  EXPECT_TRUE(log.contains("NMP3 failed to read a history file. (" + name(7) + ":")) << log.dump();
  EXPECT_TRUE(exists(name(7)));
}

TEST_F(HistoryFiles, DeletesRemoveTheNameNeverALinkTargetAndTheReadBackDoesNotFollowLinks) {
  std::string outside = dir_.path() + "/outside";
  put_file(outside, std::vector<u8>(4096, 0x42));
  ASSERT_EQ(symlink(outside.c_str(), name(8).c_str()), 0);
  auto *req = spill_request(8, {4096});
  empty_buffers(req);
  EXPECT_EQ(mirvol_read_history_file(req), HIS_OPEN_FAILED);
  EXPECT_EQ(content(req), std::vector<u8>(4096, 0)) << "nothing read through the link";
  EXPECT_EQ(mirvol_delete_history_file(req), HIS_OK);
  EXPECT_FALSE(exists(name(8)));
  EXPECT_EQ(file_bytes(outside), std::vector<u8>(4096, 0x42));
  // A name that cannot be unlinked (a directory there) gives 14.
  ASSERT_EQ(mkdir(name(9).c_str(), 0755), 0);
  LogCapture log;
  EXPECT_EQ(mirvol_delete_history_file(request(9, 1, 1)), HIS_UNLINK_FAILED);
  EXPECT_TRUE(log.contains("NMP3 failed to delete a history file. (0000000000000009.dat:"))
      << log.dump();
  EXPECT_EQ(mirvol_delete_history_file(request(10, 1, 1)), HIS_LOOKUP_FAILED) << "no such file";
}

TEST_F(HistoryFiles, AStaleFileOfTheSameNameIsReplacedOnce) {
  put_file(name(11), std::vector<u8>(100, 0x99));
  auto *req = spill_request(11, {4096});
  auto want = content(req);
  LogCapture log;
  ASSERT_EQ(mirvol_write_history_file_main(req), HIS_OK);
  EXPECT_TRUE(log.contains("stale history file")) << log.dump();
  EXPECT_TRUE(file_bytes(name(11)) == want);
  EXPECT_EQ(bytes(), 4096u);
}

TEST_F(HistoryFiles, BytesInUseMatchTheFilesAfterAnyMixOfFailures) {
  struct Step {
    const char *name;
    std::function<int()> run;
    int want;
  };
  std::vector<void *> taken;
  std::vector<Step> steps = {
      {"spill a", [&] { return mirvol_write_history_file_main(spill_request(20, {4096, 4096})); }, 0},
      {"no name buffer",
       [&] {
         auto *r = spill_request(21, {4096});
         alloc_fault_inject(0, 1, get_current());
         int v = mirvol_write_history_file_main(r);
         alloc_fault_clear();
         return v;
       },
       HIS_NOMEM},
      {"no pool buffer",
       [&] {
         auto *r = spill_request(22, {4096});
         while (void *b = mirvol_get_fileio_buffer()) taken.push_back(b);
         int v = mirvol_write_history_file_main(r);
         for (void *b : taken) mirvol_put_fileio_buffer(b);
         taken.clear();
         return v;
       },
       HIS_FILE_WRITE_FAILED},
      {"open fails (a directory of that name)",
       [&] {
         mkdir(name(23).c_str(), 0755);
         int v = mirvol_write_history_file_main(spill_request(23, {4096}));
         rmdir(name(23).c_str());
         return v;
       },
       HIS_OPEN_FAILED},
      {"spill b", [&] { return mirvol_write_history_file_main(spill_request(24, {512})); }, 0},
      {"over the limit",
       [&] { return mirvol_write_history_file_main(spill_request(25, std::vector<u32>(256, 4096))); },
       HIS_OVER_LIMIT},
      {"delete a", [&] { return mirvol_delete_history_file(request(20, 1, 1)); }, 0},
  };
  for (auto &s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(s.run(), s.want);
    EXPECT_EQ(bytes(), sizes_on_disk());
  }
  EXPECT_EQ(bytes(), 512u);
}

TEST(HistoryDir, TheDeviceDirectoryIsBuiltFromTheConfiguredOne) {
  clock_set_time_scale(50);
  TempDir root;
  std::string plain = root.path() + "/file";
  put_file(plain, {1});
  struct Case {
    std::string configured;
    int want;
    std::string made;  // the device directory that must then exist
  } cases[] = {
      {root.path() + "///", 0, root.path() + "/5"},
      {root.path() + "/a/b", 0, root.path() + "/a/b/5"},
      {"relative/dir", HIS_LOOKUP_FAILED, ""},
      {plain + "/below", HIS_LOOKUP_FAILED, ""},
      {"/" + std::string(1000, 'x'), HIS_LOOKUP_FAILED, ""},
  };
  testutil::ModuleLoad load({"nmp_minor=5"});
  ASSERT_EQ(load.result(), 0);
  struct nmp_info nmp;
  memset(&nmp, 0, sizeof(nmp));
  nmp.minor = 5;
  for (auto &c : cases) {
    SCOPED_TRACE(c.configured.substr(0, 80));
    char dir[MIRVOL_NAME_LEN];
    EXPECT_EQ(mirvol_history_dir_init(&nmp, dir, c.configured.c_str()), c.want);
    if (!c.want) {
      EXPECT_EQ(std::string(dir), c.made);
      struct stat st;
      ASSERT_EQ(stat(c.made.c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
  }
  // "/" alone gives "/<minor>" (not made here).
  clock_set_time_scale(1);
}

TEST(HistoryPool, ThePoolHoldsTwoBuffersPerSetUpAndNoMoreThanItsCapacity) {
  testutil::ModuleLoad load({"nmp_minor=5"});
  ASSERT_EQ(load.result(), 0);
  EXPECT_EQ(mirvol_fileio_buffers_filled(), 0);
  for (int i = 0; i < MIRVOL_FILEIO_NUM / 2; i++) ASSERT_EQ(mirvol_create_fileio_buffers(nullptr, 2), 0);
  EXPECT_EQ(mirvol_fileio_buffers_filled(), MIRVOL_FILEIO_NUM);
  long before = alloc_outstanding();
  EXPECT_EQ(mirvol_create_fileio_buffers(nullptr, 2), HIS_STAT_FAILED);
  EXPECT_EQ(alloc_outstanding(), before) << "a full pool keeps nothing it allocated";
  EXPECT_EQ(mirvol_fileio_buffers_free(), MIRVOL_FILEIO_NUM);
}

// --- the history thread ---

class HistoryThread : public HistoryTest {
 protected:
  void SetUp() override { load(8 << 20, 512, 2, 0); }
  void start() {
    ASSERT_GE(mirvol_kernel_thread_info(mirvol_history_thread, nmp_, "mirvol_nmp03_09",
                                        &nmp_->thread[NMP_THREAD_HISTORY]),
              0);
  }
  bool running() const {
    return __atomic_load_n(&nmp_->thread[NMP_THREAD_HISTORY].running, __ATOMIC_ACQUIRE) != 0;
  }
  size_t queued() const {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->history_head.sys_var->lock, flags);
    size_t n = 0;
    for (auto *q = static_cast<struct io_request **>(nmp_->history_head.head); q;
         q = reinterpret_cast<struct io_request **>(*q))
      n++;
    spin_unlock_irqrestore(&nmp_->history_head.sys_var->lock, flags);
    return n;
  }
  static bool sem_has_waiter(struct semaphore *s) {
    raw_lock(&s->lock);
    bool w = s->waiters != nullptr;
    raw_unlock(&s->lock);
    return w;
  }
  void stop() {
    mirvol_kill_proc_info(&nmp_->thread[NMP_THREAD_HISTORY]);
    ASSERT_TRUE(eventually([&] { return !running(); }, 20000));
  }
};

TEST_F(HistoryThread, JobsRunInOrderAndAnUnknownTypeGetsTwo) {
  start();
  auto *a = request(1, 10, 1), *b = request(2, 20, 1);
  EXPECT_EQ(mirvol_write_history_info(a), HIS_OK);
  EXPECT_EQ(mirvol_write_history_info(b), HIS_OK);
  EXPECT_EQ(b->history_position, a->history_position + 32);
  LogCapture log;
  void *slot = nullptr;
  EXPECT_EQ(mirvol_history_request(request(3, 1, 1), 3, &slot), HIS_INTERNAL);
  kfree(slot);
  EXPECT_TRUE(log.contains("NMP3 Internal error. (error=2, mirvol_history_thread)")) << log.dump();
  stop();
}

TEST_F(HistoryThread, AStoppedThreadEndsItsQueuedJobsWithTwoAndRefusesNewOnes) {
  start();
  // The first job blocks in the thread on the main cache semaphore; two
  // more wait in the queue behind it.
  down(&h()->main_cache->sem);
  std::vector<std::unique_ptr<testutil::KThread>> callers;
  std::vector<std::atomic<int>> results(3);
  for (int i = 0; i < 3; i++) {
    auto *req = request((u64)i + 1, (u64)i, 1);
    results[i] = -1;
    callers.push_back(std::make_unique<testutil::KThread>([&, req, i] {
      results[i] = mirvol_write_history_info(req);
      return 0;
    }));
    if (i == 0)
      ASSERT_TRUE(eventually([&] { return sem_has_waiter(&h()->main_cache->sem); }, 20000));
    else
      ASSERT_TRUE(eventually([&] { return queued() == (size_t)i; }, 20000));
  }
  mirvol_kill_proc_info(&nmp_->thread[NMP_THREAD_HISTORY]);
  up(&h()->main_cache->sem);
  for (auto &c : callers) EXPECT_TRUE(c->wait_done(20000)) << "a caller still waits";
  EXPECT_EQ(results[0], HIS_OK);
  EXPECT_EQ(results[1], HIS_INTERNAL);
  EXPECT_EQ(results[2], HIS_INTERNAL);
  ASSERT_TRUE(eventually([&] { return !running(); }, 20000));
  EXPECT_EQ(mirvol_write_history_info(request(9, 9, 1)), HIS_INTERNAL) << "refused at once";
  EXPECT_EQ(queued(), 0u);
}

}  // namespace
}  // namespace historytest
