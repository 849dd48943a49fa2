// Stopping and restarting a device's threads (commands 72 and 74) and the
// history commands refused while the threads run.

#include <mutex>
#include <set>

#include "include/mirvol_history.h"
#include "include/mirvol_nmp_stop.h"
#include "module_fixture.h"
#include "nmp_init_fixture.h"

using nmptest::Create;
using nmptest::InitRecord;
using nmptest::kUaddr;
using testutil::eventually;
using testutil::ImageFile;
using testutil::LogCapture;
using testutil::ModuleLoad;

namespace {

// The device threads of this process, as /proc shows them.
std::set<std::string> device_threads() { return nmptest::thread_names("mirvol_nmp"); }

std::set<std::string> expected_threads(bool async) {
  std::set<std::string> s;
  for (const char *n : {"01", "02", "03", "04", "05", "06", "07"}) s.insert(std::string("mirvol_nmp03_") + n);
  if (async)
    for (const char *n : {"08", "09"}) s.insert(std::string("mirvol_nmp03_") + n);
  return s;
}

class NmpStop : public testing::Test {
 protected:
  void SetUp() override {
    clock_set_time_scale(50);
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
  }
  void TearDown() override {
    load_.reset();
    clock_set_time_scale(1);
  }
  // Creates NMP3, active or not, in sync or async mode, with two networks.
  u32 create(bool active, bool async) {
    InitRecord r(2);
    r.set32(INIT_AT(active), active ? 1 : 0);
    r.set32(INIT_AT(mode), async ? 0 : 1);
    r.b[net_at(0, state)] = NW_USING;
    Create c(3, r, {{10, cp_.path()}, {11, dp_.path()}});
    return c.status;
  }
  // Runs a command with a 4-byte record on NMP<minor>; its status word.
  u32 cmd(unsigned int c, int minor = 3) {
    std::vector<u8> rec(4, 0xff);
    EXPECT_EQ(testutil::control_call((u32)minor, c, rec.data(), rec.size(), kUaddr), 0);
    return testutil::rec_at<u32>(rec, 0);
  }
  struct nmp_info *nmp() { return mirvol_get_nmp_info(MKDEV((u32)g_mirvol_major, 3)); }
  int running_records() {
    int n = 0;
    for (auto &t : nmp()->thread) n += __atomic_load_n(&t.running, __ATOMIC_ACQUIRE) ? 1 : 0;
    return n;
  }
  void expect_stopped() {
    EXPECT_EQ(device_threads(), std::set<std::string>{});
    EXPECT_EQ(running_records(), 0);
    EXPECT_EQ(nmp()->active, 0u);
    EXPECT_EQ(nmp()->nw_port, 0u);
    EXPECT_EQ(nmp()->data_sock, nullptr);
    EXPECT_EQ(nmp()->recv_sock, nullptr);
    static const u8 zero[MIRVOL_IPADDR_LEN] = {};
    for (struct network *nw = nmp()->network_list; nw; nw = nw->next) {
      EXPECT_EQ(nw->state, (u32)NW_ERROR);
      EXPECT_EQ(memcmp(nw->opponent_addr, zero, sizeof(zero)), 0);
      EXPECT_EQ(nw->recv_latch + nw->report_latch + nw->send_latch, 3u);
      EXPECT_EQ(nw->last_echo_time, 0u);
    }
  }
  ImageFile cp_{6 << 20}, dp_{4 << 20};
  std::unique_ptr<ModuleLoad> load_;
};

TEST_F(NmpStop, StopOnAnInactiveDeviceDrainsAndAnswersOk) {
  ASSERT_EQ(create(false, true), (u32)STATUS_OK);
  LogCapture log;
  EXPECT_EQ(cmd(72), (u32)STATUS_OK);
  expect_stopped();
  EXPECT_FALSE(log.contains("<event: 136>"));
  EXPECT_FALSE(log.contains("<event: 137>"));
  EXPECT_EQ(cmd(72, 1), (u32)STATUS_NO_DEVICE);
}

// Every thread of the mode ends, with or without the mount port open; the
// open port is only logged.
TEST_F(NmpStop, StopEndsEveryThreadResetsTheNetworksAndClosesThePort) {
  struct Case {
    bool async, mounted;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << "async=" << k.async << " mounted=" << k.mounted);
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    ASSERT_EQ(create(true, k.async), (u32)STATUS_OK);
    ASSERT_EQ(device_threads(), expected_threads(k.async));
    nmp()->mount_port = k.mounted ? 1 : 0;
    LogCapture log;
    EXPECT_EQ(cmd(72), (u32)STATUS_OK);
    expect_stopped();
    EXPECT_EQ(log.contains("[E] <type: mirvol><event: 136> NMP3 killing thread, but mount port is still opened."),
              k.mounted);
    EXPECT_TRUE(log.contains("killing thread......OK (mirvol_accept_thread)"));
    nmp()->mount_port = 0;
  }
}

// The SIGTERMs the stop posts, in order (the platform reports each).
std::mutex g_sigterm_mutex;
std::vector<pid_t_k> g_sigterms;
void record_sigterm(pid_t_k pid, int sig) {
  if (sig != SIGTERM) return;
  std::lock_guard<std::mutex> hold(g_sigterm_mutex);
  g_sigterms.push_back(pid);
}

// The first kill pass goes to the DATA listener first, so no new write is
// received while the others stop, and then to the rest in their order.
TEST_F(NmpStop, TheFirstKillPassStartsWithTheDataListener) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async" : "sync");
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    ASSERT_EQ(create(true, async), (u32)STATUS_OK);
    std::vector<int> order = {NMP_THREAD_ACCEPT,    NMP_THREAD_REMOTE_WRITE, NMP_THREAD_SEND_ACK1,
                              NMP_THREAD_SEND_ACK2, NMP_THREAD_ACK2_SVR,     NMP_THREAD_HB_CLIENT,
                              NMP_THREAD_HB_SVR};
    if (async) order.insert(order.end(), {NMP_THREAD_SEND_DATA, NMP_THREAD_HISTORY});
    std::vector<pid_t_k> want;
    std::set<pid_t_k> device;
    for (int idx : order) {
      ASSERT_NE(nmp()->thread[idx].pid, 0) << idx;
      want.push_back(nmp()->thread[idx].pid);
      device.insert(nmp()->thread[idx].pid);
    }
    {
      std::lock_guard<std::mutex> hold(g_sigterm_mutex);
      g_sigterms.clear();
    }
    task_set_signal_observer(record_sigterm);
    u32 status = cmd(72);
    task_set_signal_observer(nullptr);
    EXPECT_EQ(status, (u32)STATUS_OK);
    std::vector<pid_t_k> got;
    {
      std::lock_guard<std::mutex> hold(g_sigterm_mutex);
      for (pid_t_k p : g_sigterms)
        if (device.count(p)) got.push_back(p);
    }
    ASSERT_GE(got.size(), want.size());
    got.resize(want.size());
    EXPECT_EQ(got, want) << "the first pass in the wrong order";
    expect_stopped();
  }
}

TEST_F(NmpStop, AFailedStartKeepsTheThreadsBeforeItAndStopEndsThem) {
  ASSERT_EQ(create(false, false), (u32)STATUS_OK);
  kthread_fault_inject(4, 1);  // _01 _07 _02 _03 start, _04 does not
  LogCapture log;
  u32 status = cmd(74);
  kthread_fault_inject(0, 0);
  EXPECT_EQ(status, (u32)STATUS_FAILED);
  EXPECT_EQ(nmp()->active, 0u);
  EXPECT_EQ(device_threads(), (std::set<std::string>{"mirvol_nmp03_01", "mirvol_nmp03_07",
                                                     "mirvol_nmp03_02", "mirvol_nmp03_03"}));
  EXPECT_TRUE(log.contains("failed to fork thread: mirvol_remote_write_thread"));
  EXPECT_FALSE(log.contains("new thread: mirvol_send_ack1_thread"));
  // A second start adds only the missing threads.
  EXPECT_EQ(cmd(74), (u32)STATUS_OK);
  EXPECT_EQ(nmp()->active, 1u);
  EXPECT_EQ(device_threads(), expected_threads(false));
  EXPECT_EQ(running_records(), 7);
  EXPECT_EQ(cmd(72), (u32)STATUS_OK);
  expect_stopped();
}

TEST_F(NmpStop, RepeatedStopsAndStartsNeverOrphanAThread) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async" : "sync");
    load_.reset();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    int before = kthread_count_running();
    ASSERT_EQ(create(true, async), (u32)STATUS_OK);
    for (int i = 0; i < 20; i++) {
      ASSERT_EQ(cmd(72), (u32)STATUS_OK) << i;
      ASSERT_EQ(device_threads(), std::set<std::string>{}) << i;
      ASSERT_EQ(cmd(74), (u32)STATUS_OK) << i;
      ASSERT_EQ(device_threads(), expected_threads(async)) << i;
      ASSERT_EQ(kthread_count_running() - before, async ? 9 : 7) << i;
    }
    // A start on a running device starts nothing more.
    ASSERT_EQ(cmd(74), (u32)STATUS_OK);
    EXPECT_EQ(kthread_count_running() - before, async ? 9 : 7);
  }
}

// A thread that never ends: the stop gives up with STATUS_TIMEOUT, and the
// next start keeps that thread's record instead of starting a second one.
TEST_F(NmpStop, AStopThatGivesUpLeavesTheStuckRecordToTheNextStart) {
  ASSERT_EQ(create(false, false), (u32)STATUS_OK);
  struct nmp_thread_info *stuck = &nmp()->thread[NMP_THREAD_HB_SVR];
  stuck->running = 1;  // no task behind it: SIGTERM cannot end it
  stuck->pid = 424242;
  LogCapture log;
  EXPECT_EQ(cmd(72), (u32)STATUS_TIMEOUT);
  EXPECT_TRUE(log.contains("<event: 138> NMP3 killing thread, but threads are still running"));
  EXPECT_EQ(nmp()->nw_port, 0u);
  EXPECT_EQ(nmp()->network_list->state, (u32)NW_ERROR);
  EXPECT_EQ(cmd(74), (u32)STATUS_OK);
  EXPECT_EQ(stuck->running, 1u);
  EXPECT_EQ(stuck->pid, 424242);
  std::set<std::string> six = expected_threads(false);
  six.erase("mirvol_nmp03_02");
  EXPECT_EQ(device_threads(), six);
  stuck->running = 0;
  stuck->pid = 0;
  EXPECT_EQ(cmd(72), (u32)STATUS_OK);
  expect_stopped();
}

TEST_F(NmpStop, HistoryCommandsAreRefusedWhileTheThreadsRun) {
  ASSERT_EQ(create(true, true), (u32)STATUS_OK);
  EXPECT_EQ(cmd(84), (u32)STATUS_FAILED);
  EXPECT_EQ(cmd(85), (u32)STATUS_FAILED);
  EXPECT_EQ(cmd(72), (u32)STATUS_OK);
  EXPECT_EQ(cmd(84), (u32)STATUS_OK);
  EXPECT_EQ(cmd(85), (u32)STATUS_OK);
}

}  // namespace
