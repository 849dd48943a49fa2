// Device creation: the device-init record's checks and defaults, the
// partitions from the caller's descriptors, the networks, the threads.

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "include/mirvol_nmp_init.h"
#include "module_fixture.h"
#include "nmp_init_fixture.h"

using testutil::ImageFile;
using testutil::LogCapture;
using testutil::ModuleLoad;
using nmptest::Create;
using nmptest::InitRecord;

namespace {

class NmpInit : public testing::Test {
 protected:
  void SetUp() override {
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
  }
  void TearDown() override { load_.reset(); }
  std::vector<std::pair<int, std::string>> fds() { return {{10, cp_.path()}, {11, dp_.path()}}; }
  struct nmp_info *device(int minor) { return mirvol_get_nmp_info(MKDEV((u32)g_mirvol_major, (u32)minor)); }
  ImageFile cp_{6 << 20}, dp_{4 << 20};  // a Cluster Partition reaches past sector 10832
  std::unique_ptr<ModuleLoad> load_;
};

TEST_F(NmpInit, AnInactiveDeviceWithTwoNetworks) {
  InitRecord r(2);
  Create c(3, r, fds());
  ASSERT_EQ(c.result, 0);
  EXPECT_EQ(c.status, (u32)STATUS_OK);
  EXPECT_EQ(c.rec.b[18], 3) << "the minor is answered at offset 18";
  struct nmp_info *nmp = device(3);
  ASSERT_NE(nmp, nullptr);
  EXPECT_STREQ(nmp->name, "mirror-of-data");
  EXPECT_EQ(nmp->len, 512u);
  EXPECT_EQ(nmp->nw_port, 1u);
  EXPECT_EQ(nmp->io_port, 0u);
  EXPECT_EQ(nmp->compress_flags, 0u);
  EXPECT_EQ(nmp->compress_value2, 1u);
  EXPECT_EQ(get_capacity(nmp->own_bdev->bd_disk), 0u) << "the size comes later";
  int n = 0;
  for (struct network *nw = nmp->network_list; nw; nw = nw->next, n++) {
    EXPECT_EQ(nw->state, (u32)NW_ERROR);
    EXPECT_EQ(nw->self_addr[15], 1 + n);
    EXPECT_EQ(nw->opponent_addr[15], 0) << "an inactive device keeps no peer";
  }
  EXPECT_EQ(n, 2);
  for (auto &t : nmp->thread) EXPECT_EQ(t.running, 0u);
}

TEST_F(NmpInit, AnActiveRecordsStatesAreCheckedAndOnlyOneNetworkIsInUse) {
  struct StatesCase {
    u32 in[2];
    u32 out[2];
  };
  const StatesCase cases[] = {
      {{NW_USING, NW_USING}, {NW_USING, NW_FREE}},
      {{7, NW_USING}, {NW_ERROR, NW_USING}},
      {{NW_FREE, 3}, {NW_FREE, NW_ERROR}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in[0] * 10 + c.in[1]);
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
    InitRecord r(2);
    r.set32(INIT_AT(active), 1);
    r.set32(net_at(0, state), c.in[0]);
    r.set32(net_at(1, state), c.in[1]);
    // The heartbeat client ("_03", the fourth thread) would start checking
    // these unreachable networks at once and mark them ERROR; the states
    // looked at here are the ones creation stores, so it is not started.
    kthread_fault_inject(3, 1);
    Create made(3, r, fds());
    kthread_fault_inject(0, 0);
    ASSERT_EQ(made.status, (u32)STATUS_FAILED) << "only the heartbeat client failed to start";
    struct network *nw = device(3)->network_list;
    EXPECT_EQ(nw->state, c.out[0]);
    EXPECT_EQ(nw->next->state, c.out[1]);
    EXPECT_EQ(nw->next->opponent_addr[15], 102) << "an active device keeps its peers";
  }
}

struct DefaultCase {
  size_t offset;
  u32 value;
  u32 nmp_info::*field;
  u32 effective;
  const char *message;  // logged, or null
};

TEST_F(NmpInit, RangeChecksReplaceBadValuesByTheirDefaults) {
  const DefaultCase cases[] = {
      {INIT_AT(hb_interval), 0, &nmp_info::hb_interval, 10, "NMP3 hb_interval (0) is invalid. The default setting (10) will be used instead."},
      {INIT_AT(hb_interval), 601, &nmp_info::hb_interval, 10, "hb_interval (601) is invalid"},
      {INIT_AT(hb_interval), 600, &nmp_info::hb_interval, 600, nullptr},
      {INIT_AT(hb_recv_timeout), 0, &nmp_info::hb_recv_timeout, 0, "NMP3 hb_recv_timeout is 0. Heartbeat of mirror disk connection will be ignored."},
      {INIT_AT(hb_recv_timeout), 101, &nmp_info::hb_recv_timeout, 2, "hb_recv_timeout (101) is invalid"},
      {INIT_AT(hb_recv_retry), 51, &nmp_info::hb_recv_retry, 8, "hb_recv_retry (51)"},
      {INIT_AT(ack_timeout), 0xffffffff, &nmp_info::ack_timeout, 100, "ack_timeout (-1) is invalid"},
      {INIT_AT(connect_timeout), 101, &nmp_info::connect_timeout, 10, "connect_timeout (101)"},
      {INIT_AT(send_timeout), 0, &nmp_info::send_timeout, 30, "send_timeout (0)"},
      {INIT_AT(keepalive_time), 100, &nmp_info::keepalive_time, 100, nullptr},
      {INIT_AT(keepalive_probe), 0, &nmp_info::keepalive_probe, 3, "keepalive_probe (0)"},
      {INIT_AT(keepalive_interval), 0, &nmp_info::keepalive_interval, 1, "keepalive_interval (0)"},
      {INIT_AT(lastupdate_delay), 101, &nmp_info::lastupdate_delay, 5, "lastupdate_delay (101)"},
      {INIT_AT(receive_normal_timeout), 601, &nmp_info::receive_normal_timeout, 100, "receive_normal_timeout (601)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.offset);
    SCOPED_TRACE(c.value);
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
    InitRecord r;
    r.set32(c.offset, c.value);
    LogCapture log;
    Create cr(3, r, fds());
    ASSERT_EQ(cr.status, (u32)STATUS_OK);
    EXPECT_EQ(device(3)->*c.field, c.effective);
    if (c.message) {
      EXPECT_TRUE(log.contains(c.message)) << c.message;
    } else {
      EXPECT_FALSE(log.contains("is invalid"));
    }
  }
}

TEST_F(NmpInit, QueueBandAndCompressionSettings) {
  InitRecord r;
  r.set32(INIT_AT(mode), 0);  // async
  r.set32(INIT_AT(send_queue_cnt), 1000000);
  r.set32(INIT_AT(band_limit_mode), 1);
  r.set32(INIT_AT(band_limit), 500);
  r.set32(INIT_AT(compress), 2);
  LogCapture log;
  Create c(3, r, fds());
  ASSERT_EQ(c.status, (u32)STATUS_OK);
  struct nmp_info *nmp = device(3);
  EXPECT_EQ(nmp->send_queue_cnt, 65535u);
  EXPECT_EQ(nmp->band_limit, 512000u);
  EXPECT_TRUE(log.contains("<event: 300> NMP3 QoS 500 KB/sec."));
  EXPECT_TRUE(log.contains("<event: 281> NMP3 flag of compress (Sync data:OFF) (Recovery data:ON)"));
  EXPECT_TRUE(log.contains("send_queue_cnt (1000000) is invalid. The default setting (65535)"));
}

struct Refusal {
  const char *name;
  void (*edit)(InitRecord &r);
  u32 status;
  const char *message;
};

TEST_F(NmpInit, RefusedRecordsCreateNothing) {
  const Refusal cases[] = {
      {"StatusWordNotZero", [](InitRecord &r) { r.set32(INIT_AT(status), 1); }, STATUS_INVALID_PARAMETER,
       "NMP3 ioctl (cmd=102, pid="},
      {"BadMagic", [](InitRecord &r) { r.b[5] = 'y'; }, STATUS_INVALID_PARAMETER, "is invalid. ignored. (mirvol_nmp_init)"},
      {"IpVersion5", [](InitRecord &r) { r.set32(INIT_AT(ip_version), 5); }, STATUS_INVALID_PARAMETER,
       "NMP3 ip_version (5) or mdc_cnt (1) is invalid. (mirvol_nmp_init)"},
      {"ThreeNetworks", [](InitRecord &r) { r.set32(INIT_AT(mdc_cnt), 3); }, STATUS_INVALID_PARAMETER, "mdc_cnt (3)"},
      {"NoGranule", [](InitRecord &r) { r.set32(INIT_AT(bmp_size_in_sec), 0); }, STATUS_INVALID_PARAMETER, "bmp_size_in_sec (0)"},
      {"HugeGranule", [](InitRecord &r) { r.set32(INIT_AT(bmp_size_in_sec), 0x80000000u); }, STATUS_INVALID_PARAMETER, "bmp_size_in_sec"},
      {"DescriptorNeverPassed", [](InitRecord &r) { r.set32(INIT_AT(dp_fd), 12); }, STATUS_FAILED, nullptr},
      {"SameFileTwice", [](InitRecord &r) { r.set32(INIT_AT(dp_fd), 10); }, STATUS_FAILED, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    long before = alloc_outstanding();
    InitRecord r;
    c.edit(r);
    LogCapture log;
    Create cr(3, r, fds());
    EXPECT_EQ(cr.result, 0);
    EXPECT_EQ(cr.status, c.status);
    EXPECT_EQ(device(3), nullptr);
    if (c.message) {
      EXPECT_TRUE(log.contains(c.message)) << c.message;
    }
    EXPECT_EQ(alloc_outstanding(), before) << "a refusal leaves nothing allocated";
  }
  // A pipe is neither a block device nor an image file.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Create piped(3, InitRecord(), {{10, cp_.path()}, {11, "/proc/self/fd/" + std::to_string(p[0])}});
  EXPECT_EQ(piped.status, (u32)STATUS_FAILED);
  close(p[0]);
  close(p[1]);
}

// The partitions opened are compared, whatever numbers the record carries:
// every record here has the same (zero) partition numbers.
TEST_F(NmpInit, ASecondDeviceOnAMinorOrOnAPartitionInUseIsRefused) {
  ASSERT_EQ(Create(3, InitRecord(), fds()).status, (u32)STATUS_OK);
  EXPECT_EQ(Create(3, InitRecord(), fds()).status, (u32)STATUS_INVALID_PARAMETER);
  ImageFile cp2(6 << 20), dp2(1 << 20);
  // Another name for NMP3's Cluster Partition file: the same device and inode.
  std::string linked = cp2.path() + ".link";
  ASSERT_EQ(link(cp_.path().c_str(), linked.c_str()), 0);
  struct Unlink {
    std::string p;
    ~Unlink() { unlink(p.c_str()); }
  } unlink_linked{linked};
  struct Case {
    const char *name;
    std::string cp, dp;
    const char *same;  // the partition refused, or null when accepted
  } cases[] = {
      {"ItsClusterPartition", cp_.path(), dp2.path(), "Cluster"},
      {"ItsDataPartitionAsClusterPartition", dp_.path(), dp2.path(), "Cluster"},
      {"ItsClusterPartitionAsDataPartition", cp2.path(), cp_.path(), "Data"},
      {"ItsDataPartition", cp2.path(), dp_.path(), "Data"},
      {"ItsClusterPartitionUnderAnotherName", linked, dp2.path(), "Cluster"},
      {"OtherPartitionsWithTheSameNumbers", cp2.path(), dp2.path(), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    LogCapture log;
    Create cr(1, InitRecord(), {{10, c.cp}, {11, c.dp}});
    if (!c.same) {
      EXPECT_EQ(cr.status, (u32)STATUS_OK) << log.dump();
      EXPECT_NE(device(1), nullptr);
      continue;
    }
    EXPECT_EQ(cr.status, (u32)STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device(1), nullptr);
    EXPECT_TRUE(log.contains(std::string("[E] <type: mirvol><event: 184> The same ") + c.same +
                             " Partition is specified. Specify different partitions. (NMP3, NMP1)"))
        << log.dump();
  }
}

// The recovery block is 64 KiB in one piece, apart from the device record.
TEST_F(NmpInit, TheRecoveryBlockIsSixteenPagesInOnePiece) {
  ASSERT_EQ(Create(3, InitRecord(), fds()).status, (u32)STATUS_OK);
  struct nmp_info *nmp = device(3);
  ASSERT_NE(nmp->recover_buff, nullptr);
  u8 *b = static_cast<u8 *>(nmp->recover_buff);
  for (size_t i = 0; i < 16 * 4096; i++) b[i] = (u8)(i * 7 + 1);
  for (size_t i = 0; i < 16 * 4096; i += 4093) ASSERT_EQ(b[i], (u8)(i * 7 + 1)) << i;
  EXPECT_EQ(nmp->minor, 3u) << "the block overlaps the device record";
  EXPECT_STREQ(nmp->name, "mirror-of-data");
  EXPECT_EQ(mirvol_get_nmp_info(MKDEV((u32)g_mirvol_major, 3u)), nmp);
}

// A loop device of `sector` byte sectors over a fresh image, detached at
// the end; empty when none can be attached.
struct LoopDevice {
  ImageFile img{6 << 20};
  std::string dev;
  explicit LoopDevice(unsigned sector) {
    if (geteuid() != 0) return;
    std::string cmd = "timeout 30 losetup -f --show --sector-size " + std::to_string(sector) + " " +
                      img.path() + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    char line[64] = {};
    if (p && fgets(line, sizeof(line), p)) dev = line;
    if (p) pclose(p);
    if (!dev.empty()) dev.erase(dev.find_last_not_of("\n") + 1);
  }
  ~LoopDevice() {
    if (!dev.empty()) (void)!system(("timeout 30 losetup -d " + dev).c_str());
  }
};

// The time records have layouts for 512- and 4096-byte blocks only.
TEST_F(NmpInit, AClusterPartitionOfAnotherBlockSizeIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  for (unsigned sector : {1024u, 2048u, 4096u}) {
    SCOPED_TRACE(sector);
    LoopDevice cp(sector);
    if (cp.dev.empty()) GTEST_SKIP() << "losetup could not attach a loop device";
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
    long before = alloc_outstanding();
    LogCapture log;
    Create c(3, InitRecord(), {{10, cp.dev}, {11, dp_.path()}});
    if (sector == 4096) {
      EXPECT_EQ(c.status, (u32)STATUS_OK) << log.dump();
      ASSERT_NE(device(3), nullptr);
      EXPECT_EQ(device(3)->len, 4096u);
      load_.reset();  // closes the loop device before it is detached
      continue;
    }
    EXPECT_EQ(c.status, (u32)STATUS_FAILED);
    EXPECT_EQ(device(3), nullptr);
    EXPECT_TRUE(log.contains("NMP3 Cluster Partition block size (" + std::to_string(sector) +
                             ") is invalid. (mirvol_nmp_init)"))
        << log.dump();
    EXPECT_EQ(alloc_outstanding(), before) << "a refusal leaves nothing allocated";
  }
}

// The mirror disk's queue limits by method, from a Data Partition whose
// limits differ from a new queue's in every field.
TEST_F(NmpInit, TheQueueLimitsFollowTheMethodOfTheDriverSettings) {
  struct Limits {
    unsigned lbs, pbs, max_sectors, max_hw_sectors, seg_size, segs;
  };
  struct Case {
    u32 method;
    Limits q;
    const char *logged;
  } cases[] = {
      // Block sizes and the hardware maximum (which bounds the queue's) only.
      {0, {4096, 4096, 256, 256, BLK_MAX_SEGMENT_SIZE, BLK_MAX_SEGMENTS},
       "Perf[SET LIMITS]:NMP3 setting sectors and size."},
      // Every limit where the Data Partition's is stricter.
      {1, {4096, 4096, 256, 256, BLK_MAX_SEGMENT_SIZE, 32},
       "Perf[SET LIMITS]:NMP3 setting sectors, segments and size."},
      // Stacked onto the queue's own limits.
      {2, {4096, 4096, 256, 256, BLK_MAX_SEGMENT_SIZE, 32},
       "Perf[SET LIMITS]:NMP3 using blk_queue_stack_limits()"},
      // Stacked onto the stacking defaults: the larger segment size comes through.
      {3, {4096, 4096, 256, 256, 1u << 20, 32},
       "Perf[SET LIMITS]:NMP3 using blk_set_stacking_limits()"},
      // Refused: the limits stay a new queue's.
      {4, {512, 512, BLK_DEF_MAX_SECTORS, BLK_DEF_MAX_SECTORS, BLK_MAX_SEGMENT_SIZE, BLK_MAX_SEGMENTS},
       "NMP3 queue_limits_method (4) is invalid. (mirvol_set_nmp_queue_stack_limits)"},
  };
  struct driver_adj saved = g_driver_adj;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.method);
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
    // Opened first, the Data Partition's queue is the one creation opens.
    struct block_device *d = blkdev_get_by_path(dp_.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    ASSERT_FALSE(IS_ERR(d));
    struct queue_limits &dl = bdev_get_queue(d)->limits;
    dl.logical_block_size = dl.physical_block_size = 4096;
    dl.max_sectors = dl.max_hw_sectors = 256;
    dl.max_segment_size = 1u << 20;
    dl.max_segments = 32;
    g_driver_adj.queue_limits_method = c.method;
    g_driver_adj.limits_log_flag = 1;
    LogCapture log;
    Create cr(3, InitRecord(), fds());
    g_driver_adj = saved;
    blkdev_put(d, FMODE_READ | FMODE_WRITE);
    ASSERT_EQ(cr.status, (u32)STATUS_OK);
    const struct queue_limits &q = bdev_get_queue(device(3)->own_bdev)->limits;
    EXPECT_EQ(q.logical_block_size, c.q.lbs);
    EXPECT_EQ(q.physical_block_size, c.q.pbs);
    EXPECT_EQ(q.max_sectors, c.q.max_sectors);
    EXPECT_EQ(q.max_hw_sectors, c.q.max_hw_sectors);
    EXPECT_EQ(q.max_segment_size, c.q.seg_size);
    EXPECT_EQ(q.max_segments, c.q.segs);
    EXPECT_TRUE(log.contains(c.logged)) << log.dump();
    EXPECT_TRUE(log.contains("Perf[Segment   ]:Siz=" + std::to_string(c.q.seg_size) +
                             " Seg=" + std::to_string(c.q.segs)))
        << "the limits are logged when asked for";
  }
}

// The recovery unit is compared with both partitions' segment limits; a
// unit too large is only logged.
TEST_F(NmpInit, AnIoSizeBeyondAPartitionsSegmentsIsLogged) {
  struct Case {
    u32 iosize;
    unsigned dp_segs, cp_segs;
    const char *logged;  // or null: nothing logged
  } cases[] = {
      {512, 128, 128, nullptr},                                   // 128 pages fit
      {516, 128, 128, "NMP3 iosize (516) is invalid. (DP max=512)"},  // 129 pages
      {256, 128, 32, "NMP3 iosize (256) is invalid. (CP max=128)"},
      {1024, 16, 32, "NMP3 iosize (1024) is invalid. (DP max=64)"},  // the DP is named first
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.iosize);
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
    struct block_device *d = blkdev_get_by_path(dp_.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    struct block_device *cp = blkdev_get_by_path(cp_.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    ASSERT_FALSE(IS_ERR(d));
    ASSERT_FALSE(IS_ERR(cp));
    bdev_get_queue(d)->limits.max_segments = c.dp_segs;
    bdev_get_queue(cp)->limits.max_segments = c.cp_segs;
    InitRecord r;
    r.set32(INIT_AT(iosize), c.iosize);
    LogCapture log;
    Create cr(3, r, fds());
    blkdev_put(d, FMODE_READ | FMODE_WRITE);
    blkdev_put(cp, FMODE_READ | FMODE_WRITE);
    EXPECT_EQ(cr.status, (u32)STATUS_OK) << "the I/O size is not refused";
    EXPECT_EQ(device(3)->iosize, c.iosize);
    if (c.logged) {
      EXPECT_TRUE(log.contains(std::string("[I] <type: mirvol><event: 186> ") + c.logged)) << log.dump();
    } else {
      EXPECT_FALSE(log.contains("<event: 186>")) << log.dump();
    }
  }
}

TEST_F(NmpInit, ConcurrentCreationsOfOneMinorMakeExactlyOneDevice) {
  std::atomic<int> ok{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; i++)
    ts.emplace_back([&] {
      if (Create(3, InitRecord(), fds()).status == (u32)STATUS_OK) ok++;
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(ok.load(), 1);
  int n = 0;
  for (struct nmp_info *nmp = g_nmp_list.head; nmp; nmp = nmp->next) n++;
  EXPECT_EQ(n, 1);
}

using nmptest::thread_names;

TEST_F(NmpInit, AnActiveDeviceStartsItsNamedThreadsInOrderAndUnloadStopsThem) {
  int before = kthread_count_running();
  InitRecord r;
  r.set32(INIT_AT(active), 1);
  r.set32(INIT_AT(mode), 0);  // async: all nine
  r.b[net_at(0, state)] = NW_USING;
  LogCapture log;
  Create c(3, r, fds());
  ASSERT_EQ(c.status, (u32)STATUS_OK);
  auto names = thread_names();
  for (const char *s : {"01", "02", "03", "04", "05", "06", "07", "08", "09"})
    EXPECT_TRUE(names.count(std::string("mirvol_nmp03_") + s)) << s;
  std::vector<std::string> order;
  for (auto &t : log.texts()) {
    auto p = t.find("new thread: ");
    if (p != std::string::npos) order.push_back(t.substr(p + 12, t.find(' ', p + 12) - p - 12));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"mirvol_ack2_svr_thread", "mirvol_send_ack2_thread",
                                             "mirvol_hb_svr_thread", "mirvol_hb_client_thread",
                                             "mirvol_remote_write_thread", "mirvol_send_ack1_thread",
                                             "mirvol_accept_thread", "mirvol_history_thread",
                                             "mirvol_send_data_thread"}));
  // The heartbeat client has checked the network by now: it is ERROR once
  // its echoes go unanswered, and USING (or FREE) while they are answered.
  EXPECT_NE(device(3)->network_list, nullptr);
  load_.reset();
  EXPECT_EQ(kthread_count_running(), before);
}

TEST_F(NmpInit, AThreadThatCannotStartFailsTheCommandButKeepsTheDevice) {
  InitRecord r;
  r.set32(INIT_AT(active), 1);
  kthread_fault_inject(2, 1);  // the third thread
  LogCapture log;
  Create c(3, r, fds());
  kthread_fault_inject(0, 0);
  EXPECT_EQ(c.status, (u32)STATUS_FAILED);
  EXPECT_NE(device(3), nullptr);
  EXPECT_TRUE(log.contains("[E] <type: mirvol><event: 131> NMP3 failed to fork thread: mirvol_hb_svr_thread         (err=-1)"));
  EXPECT_TRUE(log.contains("new thread: mirvol_hb_client_thread"));
}

TEST_F(NmpInit, EveryAllocationFailureLeavesNoDevice) {
  for (long k = 0;; k++) {
    SCOPED_TRACE(k);
    long before = alloc_outstanding();
    alloc_fault_inject(k, 1, get_current());
    Create c(3, InitRecord(), fds());
    long hit = alloc_fault_failed();
    alloc_fault_clear();
    if (!hit) {
      EXPECT_EQ(c.status, (u32)STATUS_OK);
      break;
    }
    if (c.status == (u32)STATUS_OK) {
      // Only the log routine's buffer failed; its fallback still printed.
      load_.reset();
      load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
      continue;
    }
    EXPECT_EQ(c.status, (u32)STATUS_NO_MEMORY);
    EXPECT_EQ(device(3), nullptr);
    EXPECT_EQ(alloc_outstanding(), before);
    ASSERT_LT(k, 100);
  }
}

}  // namespace
