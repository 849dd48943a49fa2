// Statistics: the counter image of command 82 as each counting routine
// fills it, the subscribers of commands 81 and 82, the gauges across a
// clear, the "mirvolperf" files and the dump at unload.

#include <algorithm>
#include <cstring>

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_perf.h"
#include "include/mirvol_port.h"
#include "module_fixture.h"

using testutil::FakeDevice;
using testutil::LogCapture;
using testutil::ModuleLoad;

namespace {

constexpr unsigned long kUaddr = 0x20000;

// One statistics command on a caller buffer of `size` bytes.
struct PerfCall {
  std::vector<u8> buf;
  int result;
  PerfCall(u32 minor, unsigned int cmd, size_t size, const std::vector<u8> &in) {
    buf.assign(size, 0);
    std::copy(in.begin(), in.begin() + (long)std::min(in.size(), size), buf.begin());
    result = testutil::control_call(minor, cmd, buf.data(), size, kUaddr);
  }
  u32 u32_at(size_t off) const { return testutil::rec_at<u32>(buf, off); }
  u64 u64_at(size_t off) const { return testutil::rec_at<u64>(buf, off); }
  u32 status() const { return u32_at(0); }
  // The counters of a command-82 answer.
  mirvol_rec::perf_image image() const {
    return mirvol_rec::rec_load<mirvol_rec::perf_image>(
        buf.data() + offsetof(mirvol_rec::perf_get_record, image));
  }
};

std::vector<u8> set_rec(u32 start, u32 clear, u32 control, u32 pid, u32 interval) {
  std::vector<u8> r(24, 0);
  u32 v[5] = {start, clear, control, pid, interval};
  memcpy(r.data() + 4, v, sizeof(v));
  return r;
}

PerfCall set_perf(u32 start, u32 clear, u32 control, u32 pid, u32 interval = 60, u32 minor = 3) {
  return PerfCall(minor, 81, 24, set_rec(start, clear, control, pid, interval));
}

PerfCall get_perf(u32 pid, u32 minor = 3) {
  std::vector<u8> r(280, 0);
  memcpy(r.data() + 4, &pid, 4);
  return PerfCall(minor, 82, 280, r);
}

// Control word that keeps "mirvolperf" away (bit 30) unless a test wants it.
constexpr u32 kNoProc = 0x7fffffff;

// A bio of `segments` page segments of `len` bytes each, for the routines
// that count a request's or a bio's data bytes.
struct FakeBio {
  struct bio_vec vec[4];
  struct bio bio;
  FakeBio(unsigned short segments, unsigned int len) {
    memset(&bio, 0, sizeof(bio));
    memset(vec, 0, sizeof(vec));
    for (unsigned short i = 0; i < segments; i++) vec[i].bv_len = len;
    bio.bi_vcnt = segments;
    bio.bi_io_vec = vec;
  }
};

class Statistics : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_NE(nmp()->perf_area, nullptr);
  }
  void TearDown() override {
    clock_set_automatic();
    DeviceTest::TearDown();
  }
  // A request of the device with an upper bio.
  struct io_request request(struct bio *bio, u32 write) {
    struct io_request r;
    memset(&r, 0, sizeof(r));
    r.nmp = nmp();
    r.upper_bio = bio;
    r.write = write;
    return r;
  }
};

// Every slot of the image, set through its own routine to a value of its
// own, lands at its offset; reserved slots stay 0.
TEST_F(Statistics, GoldenLayoutOfTheCounterImage) {
  struct nmp_info *n = nmp();
  clock_set_manual(1000000);
  ASSERT_EQ(set_perf(1, 0, kNoProc, 77).status(), (u32)STATUS_OK);

  FakeBio w(2, 1000), r(1, 1100), sb(3, 1200);  // 2000, 1100, 3600 bytes
  struct io_request wr = request(&w.bio, 1), rd = request(&r.bio, 0);
  mirvol_perf_cnt_nmp_io(&wr);
  mirvol_perf_cnt_nmp_io(&rd);
  FakeBio aw(1, 2100), ar(1, 2200);
  struct io_request awr = request(&aw.bio, 1), ard = request(&ar.bio, 0);
  mirvol_perf_cnt_active_io(&awr, REQ_LOCAL_DONE);
  mirvol_perf_cnt_active_io(&ard, REQ_LOCAL_DONE | REQ_REMOTE_DONE);
  mirvol_perf_cnt_standby_io(n, &sb.bio, 0);
  mirvol_perf_cnt_recovery_write_io(n, 5600);
  mirvol_perf_cnt_recovery_read_io(n, 6400);
  for (int i = 0; i < 7; i++) mirvol_perf_cnt_write_request_count(n, 1);
  for (int i = 0; i < 2; i++) mirvol_perf_cnt_write_request_count(n, 0);  // now 5, peak 7
  mirvol_perf_cnt_tcp_send(n, 8000);
  mirvol_perf_cnt_echo_send(n, 8800);
  mirvol_perf_cnt_cmp_and_org_sync(n, 9000, 9600);
  mirvol_perf_cnt_compress_sync(n, 4);  // sent 9004
  mirvol_perf_cnt_original_recovery(n, 11200);
  mirvol_perf_cnt_compress_recovery(n, 12000);
  struct io_request q1 = request(nullptr, 1), q2 = request(nullptr, 1);
  q1.queued_bytes = 12800;
  q2.queued_bytes = 400;
  mirvol_perf_cnt_send_req_byte(n, &q1, 1);
  mirvol_perf_cnt_send_req_byte(n, &q2, 1);
  mirvol_perf_cnt_send_req_byte(n, &q2, 0);  // waiting 12800, reader's peak 13200
  {
    unsigned long f;
    spin_lock_irqsave(&n->nmp_variable->request_queue_lock, f);
    n->request_queue_cnt = 9;
    mirvol_perf_cnt_send_req_cnt(n);
    n->request_queue_cnt = 3;
    spin_unlock_irqrestore(&n->nmp_variable->request_queue_lock, f);
  }
  // ACK1 latencies of 1000 and 3000 ms: latest 3000, peak 3000, total 4000.
  struct io_request a1 = request(nullptr, 1);
  a1.enqueue_time = 1000000 - 250;
  mirvol_perf_cnt_ack1_time(n, &a1);
  a1.enqueue_time = 1000000 - 750;
  mirvol_perf_cnt_ack1_time(n, &a1);
  mirvol_perf_cnt_ack_time(n, 1000000 - 500);  // 2000 ms
  mirvol_perf_cnt_ack_time(n, 1000000 - 125);  // 500 ms latest, peak 2000
  // ACK2 of a wait-ACK2 entry of this device queued 1500 ms ago.
  struct wait_ack2_queue e;
  memset(&e, 0, sizeof(e));
  e.request_id = 0x3000042;
  e.minor = 3;
  e.queued = 1000000 - 375;
  {
    unsigned long f;
    spin_lock_irqsave(g_wait_ack2_queue_head.lock, f);
    g_wait_ack2_queue_head.head = &e;
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, f);
  }
  mirvol_perf_cnt_ack2_time(n, 0x3000042);
  mirvol_perf_cnt_ack2_time(n, 0x3000043);  // no such entry: not counted
  {
    unsigned long f;
    spin_lock_irqsave(g_wait_ack2_queue_head.lock, f);
    g_wait_ack2_queue_head.head = nullptr;
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, f);
  }
  for (int i = 0; i < 4; i++) mirvol_perf_cnt_dcpq(n, 1);
  mirvol_perf_cnt_dcpq(n, 0);  // now 3, peak 4
  mirvol_perf_cnt_sync_wait_recovery(n, 1000);
  mirvol_perf_cnt_sync_wait_recovery(n, 1000);
  mirvol_perf_cnt_recovery_wait_sync(n, 100);
  n->mount_port = 0;
  FakeBio lu(1, 1600);
  struct io_request lur = request(&lu.bio, 1);
  mirvol_perf_cnt_last_update_after_umount(n, &lur);
  mirvol_perf_cnt_last_update_after_umount(n, &lur);
  n->mount_port = 1;
  mirvol_perf_cnt_last_update_after_umount(n, &lur);  // mount port open: not counted

  PerfCall got = get_perf(77);
  ASSERT_EQ(got.status(), (u32)STATUS_OK);
  EXPECT_EQ(got.u32_at(4), 77u);
  struct Slot {
    size_t off;
    int width;
    u64 want;
  };
  const Slot slots[] = {
      {8, 8, 2000},    {16, 8, 1100},   {24, 8, 2100},   {32, 8, 2200},   {40, 8, 3600},
      {48, 8, 0},      {56, 8, 5600},   {64, 8, 6400},   {72, 4, 5},      {76, 4, 7},
      {80, 8, 8000},   {88, 8, 8800},   {96, 8, 9600},   {104, 8, 9004},  {112, 8, 11200},
      {120, 8, 12000}, {128, 8, 12800}, {136, 8, 13200}, {144, 4, 3},     {148, 4, 9},
      {152, 8, 2},     {160, 8, 4000},  {168, 4, 3000},  {172, 4, 500},   {176, 4, 2000},
      {180, 4, 3000},  {184, 4, 3000},  {188, 4, 1500},  {192, 4, 1500},  {196, 4, 3},
      {200, 4, 4},     {204, 4, 0},     {208, 4, 0},     {212, 4, 0},     {216, 8, 2000},
      {224, 8, 100},   {232, 8, 2},     {240, 8, 3200},  {248, 8, 1},     {256, 8, 0},
      {264, 4, 2000},  {268, 4, 9},     {272, 4, 7},     {276, 4, 0},
  };
  size_t covered = 8;
  for (const Slot &s : slots) {
    SCOPED_TRACE(s.off);
    EXPECT_EQ(s.off, covered) << "slots must tile bytes 8 to 279";
    covered = s.off + (size_t)s.width;
    EXPECT_EQ(s.width == 8 ? got.u64_at(s.off) : got.u32_at(s.off), s.want);
  }
  EXPECT_EQ(covered, 280u);
}

TEST_F(Statistics, TotalsPastTwoToTheFiftyGoOnFromTheExcess) {
  ASSERT_EQ(set_perf(1, 0, kNoProc, 5).status(), (u32)STATUS_OK);
  mirvol_perf_cnt_tcp_send(nmp(), PERF_MAX_TOTAL);  // at the limit: kept
  mirvol_perf_cnt_tcp_send(nmp(), 10);
  // The waiting bytes are a gauge, not a total: no reduction.
  struct io_request q;
  memset(&q, 0, sizeof(q));
  q.queued_bytes = 0xffffffffu;
  for (int i = 0; i < 3; i++) mirvol_perf_cnt_send_req_byte(nmp(), &q, 1);
  PerfCall got = get_perf(5);
  EXPECT_EQ(got.image().tcp_send_bytes, 10u);
  EXPECT_EQ(got.image().waiting_sync_bytes, 3ull * 0xffffffffu);
}

// A clear zeroes totals and peaks but keeps the live gauges, so the
// decrements of what was in flight before it end at 0, not at a wrapped
// value; decrements past 0 stay at 0.
TEST_F(Statistics, AClearKeepsTheGaugesAndDecrementsNeverWrap) {
  struct nmp_info *n = nmp();
  ASSERT_EQ(set_perf(1, 0, kNoProc, 9).status(), (u32)STATUS_OK);
  struct io_request q;
  memset(&q, 0, sizeof(q));
  q.queued_bytes = 4096;
  for (int i = 0; i < 3; i++) {
    mirvol_perf_cnt_write_request_count(n, 1);
    mirvol_perf_cnt_send_req_byte(n, &q, 1);
    mirvol_perf_cnt_dcpq(n, 1);
  }
  mirvol_perf_cnt_tcp_send(n, 500);
  LogCapture log;
  ASSERT_EQ(set_perf(1, 1, kNoProc, 9).status(), (u32)STATUS_OK);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 292> NMP3 logging statistics information cleared."));
  PerfCall mid = get_perf(9);
  EXPECT_EQ(mid.image().tcp_send_bytes, 0u) << "totals are cleared";
  EXPECT_EQ(mid.image().write_req_peak, 0u) << "peaks are cleared";
  EXPECT_EQ(mid.image().write_req_now, 3u);
  EXPECT_EQ(mid.image().waiting_sync_bytes, 3u * 4096);
  EXPECT_EQ(mid.image().dcpq_now, 3u);
  for (int i = 0; i < 5; i++) {  // two more than went in
    mirvol_perf_cnt_write_request_count(n, 0);
    mirvol_perf_cnt_send_req_byte(n, &q, 0);
    mirvol_perf_cnt_dcpq(n, 0);
  }
  PerfCall end = get_perf(9);
  EXPECT_EQ(end.image().write_req_now, 0u);
  EXPECT_EQ(end.image().waiting_sync_bytes, 0u);
  EXPECT_EQ(end.image().dcpq_now, 0u);
}

// Command 81 and 82 answers, in a table run in order on one device.
TEST_F(Statistics, SubscriberCommandsAnswerAndLogAsSpecified) {
  struct Step {
    bool get;
    u32 start, pid;
    u32 status;
    const char *log;
  };
  const Step steps[] = {
      {false, 0, 11, STATUS_NOT_SUBSCRIBED,
       "[W] <type: mirvol><event: 291> NMP3 logging statistics information stopped. (PID=11, already stopped)"},
      {true, 0, 11, STATUS_NOT_SUBSCRIBED, "[W] <type: mirvol><event: 293> NMP3 statistics information not found. (PID=11)"},
      {false, 1, 11, STATUS_OK, "[I] <type: mirvol><event: 290> NMP3 logging statistics information started.  (PID=11)"},
      {false, 1, 11, STATUS_OK,
       "[I] <type: mirvol><event: 290> NMP3 logging statistics information started.  (PID=11, already started)"},
      {true, 0, 11, STATUS_OK, nullptr},
      {false, 0, 11, STATUS_OK, "[I] <type: mirvol><event: 291> NMP3 logging statistics information stopped.  (PID=11)"},
      {true, 0, 11, STATUS_NOT_SUBSCRIBED, "NMP3 statistics information not found. (PID=11)"},
  };
  for (size_t i = 0; i < ARRAY_SIZE(steps); i++) {
    SCOPED_TRACE(i);
    mirvol_printk_init();  // each line may repeat an earlier one
    LogCapture log;
    PerfCall c = steps[i].get ? get_perf(steps[i].pid) : set_perf(steps[i].start, 0, kNoProc, steps[i].pid);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.status(), steps[i].status);
    if (steps[i].log) {
      EXPECT_TRUE(log.contains(steps[i].log)) << log.dump();
    }
  }
  // No device on minor 1, and a record shorter than its size.
  LogCapture log;
  EXPECT_EQ(set_perf(1, 0, kNoProc, 11, 60, 1).status(), (u32)STATUS_NO_DEVICE);
  EXPECT_TRUE(log.contains("NMP1 device does not exist. (mirvol_nmp_set_perf)"));
  EXPECT_EQ(get_perf(11, 1).status(), (u32)STATUS_NO_DEVICE);
  EXPECT_TRUE(log.contains("NMP1 device does not exist. (mirvol_nmp_get_perf)"));
  PerfCall shorter(3, 82, 100, std::vector<u8>(100, 0));
  EXPECT_EQ(shorter.result, 0);
  EXPECT_EQ(shorter.status(), (u32)STATUS_INVALID_PARAMETER);
}

// Subscribers are pushed at the head; a read examines those before its own
// entry and drops the silent ones (interval x 3 seconds, the product taken
// modulo 2^32); peaks of one reader are its own; the device-wide peaks are
// never reset by reads.
TEST_F(Statistics, SubscribersExpireAndKeepTheirOwnPeaks) {
  struct nmp_info *n = nmp();
  clock_set_manual(5000000);
  ASSERT_EQ(set_perf(1, 0, kNoProc, 1, 0).status(), (u32)STATUS_OK);   // last in the list
  ASSERT_EQ(set_perf(1, 0, kNoProc, 2, 0).status(), (u32)STATUS_OK);   // interval 0
  // 0x80000002 x 3 x 250 = 1500 + 375 x 2^32: the product wraps to 1500 ticks.
  ASSERT_EQ(set_perf(1, 0, kNoProc, 3, 0x80000002u).status(), (u32)STATUS_OK);
  ASSERT_EQ(set_perf(1, 0, kNoProc, 4, 10).status(), (u32)STATUS_OK);  // head
  clock_advance(1);
  // Pid 4 is at the head: nothing before it is examined.
  mirvol_printk_init();
  LogCapture log;
  EXPECT_EQ(get_perf(4).status(), (u32)STATUS_OK);
  EXPECT_FALSE(log.contains("timeout")) << log.dump();
  // Pid 1 walks past 4 (live), 3 (live: 1500 ticks), 2 (interval 0: dropped).
  EXPECT_EQ(get_perf(1).status(), (u32)STATUS_OK);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 291> NMP3 logging statistics information stopped.  (PID=2, timeout)"));
  EXPECT_FALSE(log.contains("PID=3, timeout"));
  EXPECT_EQ(get_perf(2).status(), (u32)STATUS_NOT_SUBSCRIBED);
  clock_advance(1500);
  EXPECT_EQ(get_perf(1).status(), (u32)STATUS_OK);
  EXPECT_TRUE(log.contains("(PID=3, timeout)")) << "a wrapped interval product is used as it is";

  // Peaks: both readers see a peak of 4 writes in flight, each once.
  for (int i = 0; i < 4; i++) mirvol_perf_cnt_write_request_count(n, 1);
  for (int i = 0; i < 4; i++) mirvol_perf_cnt_write_request_count(n, 0);
  PerfCall r4 = get_perf(4), r4again = get_perf(4), r1 = get_perf(1);
  EXPECT_EQ(r4.image().sub_write_req_peak, 4u);
  EXPECT_EQ(r4again.image().sub_write_req_peak, 0u) << "a read resets the reader's own peaks";
  EXPECT_EQ(r1.image().sub_write_req_peak, 4u) << "another reader's read does not";
  EXPECT_EQ(r4again.image().write_req_peak, 4u) << "the device-wide peak is not reset by reads";
}

// Command 82 reports the current network's echo times and restarts its
// peak since the last read.
TEST_F(Statistics, EchoTimesOfTheChosenNetwork) {
  struct nmp_info *n = nmp();
  struct network nws[2];
  memset(nws, 0, sizeof(nws));
  nws[0].state = NW_ERROR;
  nws[0].last_response = 7;
  nws[1].state = NW_FREE;
  nws[1].last_response = 30;
  nws[1].max_response = 90;
  nws[1].peak_response = 60;
  nws[0].next = &nws[1];
  n->network_list = nws;
  ASSERT_EQ(set_perf(1, 0, kNoProc, 8).status(), (u32)STATUS_OK);
  PerfCall got = get_perf(8);
  n->network_list = nullptr;
  EXPECT_EQ(got.image().echo_latest, 30u) << "a FREE network replaces an ERROR one";
  EXPECT_EQ(got.image().echo_peak, 90u);
  EXPECT_EQ(got.image().echo_peak_since_read, 60u);
  EXPECT_EQ(nws[1].peak_response, 0);
}

// The two event-125 lines of the drains, logged only when there is
// something to report.
TEST_F(Statistics, DrainLinesReportWhatIsLeft) {
  struct nmp_info *n = nmp();
  LogCapture log;
  mirvol_perf_printk_nmp_differences(n);
  mirvol_perf_printk_nmp_req_to_be_freed(n);
  EXPECT_FALSE(log.contains("event: 125")) << log.dump();
  n->mount_port = 0;
  FakeBio lu(1, 1600);
  struct io_request w = request(&lu.bio, 1);
  mirvol_perf_cnt_last_update_after_umount(n, &w);
  mirvol_perf_printk_nmp_differences(n);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 125> NMP3 1 I/O requests (1600B) did not be sent to "
                           "remote server after unmount."))
      << log.dump();
  struct io_request q = request(nullptr, 1);
  q.queued_bytes = 8192;
  mirvol_perf_cnt_send_req_byte(n, &q, 1);
  unsigned long f;
  spin_lock_irqsave(&n->nmp_variable->request_queue_lock, f);
  n->request_queue_cnt = 2;
  spin_unlock_irqrestore(&n->nmp_variable->request_queue_lock, f);
  mirvol_perf_printk_nmp_req_to_be_freed(n);
  spin_lock_irqsave(&n->nmp_variable->request_queue_lock, f);
  n->request_queue_cnt = 0;
  spin_unlock_irqrestore(&n->nmp_variable->request_queue_lock, f);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 125> NMP3 2 I/O requests (8192B) may not be sent to "
                           "remote server completely."))
      << log.dump();
}

std::string read_proc(const char *path) {
  char *data = nullptr;
  size_t len = 0;
  if (proc_read(path, &data, &len) != 0) return "<none>";
  std::string s(data ? data : "", len);
  proc_read_free(data);
  return s;
}

// Bit 30 clear makes the directory with a file per configured minor; bit 30
// set removes it. The file shows the counters, the separator by bit 28 and
// mirvolperf, and the not-initialized line for a minor without a device.
TEST_F(Statistics, PerfFilesFollowTheControlWord) {
  EXPECT_EQ(read_proc("mirvolperf/NMP3"), "<none>");
  ASSERT_EQ(set_perf(1, 0, 0x3fffffff, 21).status(), (u32)STATUS_OK);
  ASSERT_EQ(set_perf(1, 0, 0x3fffffff, 21).status(), (u32)STATUS_OK);  // already there
  EXPECT_EQ(read_proc("mirvolperf/NMP1"), "NMP1 is not initialized yet.\n");
  mirvol_perf_cnt_tcp_send(nmp(), 123);
  std::string text = read_proc("mirvolperf/NMP3");
  EXPECT_NE(text.find("[Read/Write]:NMP3 (SYNC)  R/W= 0 / 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Send Total]:TCP/ECHO= 123 / 0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("-------------------------------------------"), std::string::npos)
      << "bit 28 set and mirvolperf 0: no separator";
  ASSERT_EQ(set_perf(1, 0, 0x2fffffff, 21).status(), (u32)STATUS_OK);
  text = read_proc("mirvolperf/NMP3");
  EXPECT_EQ(text.substr(text.size() - 44), "-------------------------------------------\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 26) << "25 lines and the separator" << text;
  ASSERT_EQ(set_perf(1, 0, 0x7fffffff, 21).status(), (u32)STATUS_OK);
  EXPECT_EQ(read_proc("mirvolperf/NMP3"), "<none>");
}

// Unload holds g_proc_sem while it removes the files, and the removal waits
// for the reads running on them: a read that finds unload begun gives up
// its wait instead of waiting for the semaphore.
TEST_F(Statistics, AReadDuringUnloadDoesNotWaitForTheSemaphore) {
  ASSERT_EQ(set_perf(1, 0, 0x3fffffff, 21).status(), (u32)STATUS_OK);
  down(&g_proc_sem);
  __atomic_store_n(&g_unloading, 1, __ATOMIC_RELEASE);
  std::string text = read_proc("mirvolperf/NMP3");
  __atomic_store_n(&g_unloading, 0, __ATOMIC_RELEASE);
  up(&g_proc_sem);
  EXPECT_EQ(text, "Mirror driver is being unloaded.\n");
}

}  // namespace

// The dump at unload: framed by "Perf" lines, left out while bit 29 is set
// unless printkperf is 1.
TEST(StatisticsUnload, DumpAtUnloadFollowsBit29AndPrintkperf) {
  struct Case {
    u32 control, printkperf;
    bool dumped;
  };
  const Case cases[] = {{0x7fffffff, 0, false}, {0x7fffffff, 1, true}, {0x5fffffff, 0, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.control);
    LogCapture log;
    {
      auto load = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3"});
      ASSERT_EQ(load->result(), 0);
      auto dev = std::make_unique<FakeDevice>(3, 1 << 20);
      ASSERT_EQ(set_perf(1, 0, c.control, 4).status(), (u32)STATUS_OK);
      mirvol_perf_cnt_tcp_send(dev->nmp(), 4242);
      g_driver_adj.printkperf = c.printkperf;
      dev.reset();
      load.reset();
    }
    EXPECT_EQ(log.contains("[I] <type: mirvol><event: 294> Perf-------------NMP3-------------"), c.dumped);
    EXPECT_EQ(log.contains("[I] <type: mirvol><event: 294> Perf[Send Total]:TCP/ECHO= 4242 / 0"), c.dumped)
        << log.dump();
  }
}
