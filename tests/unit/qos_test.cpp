// The bandwidth limit: the one-second window on a hand-driven clock, a
// signal ending the sleep, the rate a limited sender reaches on a running
// clock, and the area's allocation.

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "include/mirvol.h"
#include "include/mirvol_qos.h"
#include "test_util.h"

using testutil::eventually;
using testutil::KThread;

namespace {

const u64 kNow = 1000000;  // manual clock reading at the start of a case

// A device record with a limit and its area, as device creation leaves it.
struct QosDevice {
  explicit QosDevice(u32 limit) : nmp(std::make_unique<nmp_info>()) {
    nmp->band_limit = limit;
    nmp->qos_area = mirvol_qos_init_nmp();
  }
  ~QosDevice() { mirvol_qos_free_nmp(nmp->qos_area); }
  struct qos_area *area() const { return nmp->qos_area; }
  bool sleeping() const { return waitqueue_active(&nmp->qos_area->wq); }
  std::unique_ptr<nmp_info> nmp;
};

// A sender calling the throttle point once on a kernel thread of its own, so
// that a wrong sleep on the stopped clock shows as a thread that never ends
// instead of a hung test.
std::unique_ptr<KThread> throttle_on_thread(QosDevice &dev) {
  struct nmp_info *nmp = dev.nmp.get();
  return std::make_unique<KThread>(
      [nmp] {
        allow_signal(SIGTERM);
        mirvol_qos_sleep_nmp(nmp);
        flush_signals(get_current());
        return 0;
      },
      "qos_sender");
}

// Expects the sender to be asleep and stay so while the clock moves `ticks`
// - 1 ticks, then to be released by the last tick.
void expect_sleep_of(QosDevice &dev, KThread &sender, long ticks) {
  ASSERT_TRUE(eventually([&] { return dev.sleeping() || sender.wait_done(0); }, 5000));
  ASSERT_TRUE(dev.sleeping()) << "the sender went on without sleeping";
  if (ticks > 1) {
    clock_advance((u64)ticks - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_FALSE(sender.wait_done(0)) << "woke before the window's second was over";
  }
  clock_advance(1);
  ASSERT_TRUE(sender.wait_done(5000)) << "still asleep after the window's second";
}

class QosWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_set_manual(kNow); }
  void TearDown() override { clock_set_automatic(); }
};

struct WindowCase {
  const char *name;
  u32 limit;
  u64 now;               // clock at the throttle point
  u64 start;             // window start before
  u64 counted;           // bytes counted before
  std::vector<int> sent;  // send results counted before the throttle point
  long sleep;            // ticks the sender sleeps; -1: it does not
  u64 counted_after;
  u64 start_after;  // with a sleep: start + the ticks slept
};

void PrintTo(const WindowCase &c, std::ostream *os) { *os << c.name; }

class QosWindow : public QosWindowTest, public testing::WithParamInterface<WindowCase> {};

TEST_P(QosWindow, CountsAndJudgesTheWindow) {
  const WindowCase &c = GetParam();
  clock_set_manual(c.now);
  QosDevice dev(c.limit);
  ASSERT_NE(dev.area(), nullptr);
  dev.area()->start_jiffies = c.start;
  dev.area()->sent_bytes = c.counted;
  for (int bytes : c.sent) mirvol_qos_count_nmp(dev.nmp.get(), bytes);

  auto sender = throttle_on_thread(dev);
  if (c.sleep < 0) {
    ASSERT_TRUE(sender->wait_done(5000)) << "the sender slept";
  } else {
    expect_sleep_of(dev, *sender, c.sleep);
  }
  EXPECT_EQ(dev.area()->sent_bytes, c.counted_after);
  EXPECT_EQ(dev.area()->start_jiffies, c.start_after);
}

const u32 kLimit = 1048576;

INSTANTIATE_TEST_SUITE_P(
    QosTable, QosWindow,
    testing::Values(
        WindowCase{"NoLimitCountsNothing", 0, kNow, kNow, 0, {65536, 65536}, -1, 0, kNow},
        WindowCase{"NoLimitNeverSleeps", 0, kNow, kNow, 5000000, {4096}, -1, 5000000, kNow},
        WindowCase{"BelowLimit", kLimit, kNow, kNow - 10, 1000, {4096, 4096}, -1, 9192,
                   kNow - 10},
        WindowCase{"FailedSendsCountNothing", kLimit, kNow, kNow, kLimit - 1, {0, -5, -104},
                   -1, kLimit - 1, kNow},
        WindowCase{"CountSurvivesAPassedWindow", kLimit, kNow, kNow - 5 * HZ, 1000, {4096},
                   -1, 5096, kNow - 5 * HZ},
        WindowCase{"ReachedAtTheStart", kLimit, kNow, kNow, 0, {(int)kLimit}, HZ, 0,
                   kNow + HZ},
        WindowCase{"ReachedWithinTheSecond", kLimit, kNow, kNow - 100, kLimit - 4096, {4096},
                   HZ - 100, 0, kNow + HZ - 100},
        WindowCase{"PassedAtTheLastTickOfTheSecond", kLimit, kNow, kNow - (HZ - 1),
                   kLimit + 12345, {}, 1, 0, kNow + 1},
        WindowCase{"ReachedOneSecondAfterTheStart", kLimit, kNow, kNow - HZ, kLimit, {}, -1, 0,
                   kNow},
        WindowCase{"ReachedLongAfterTheStart", kLimit, kNow, kNow - 10 * HZ, 0, {(int)kLimit},
                   -1, 0, kNow},
        WindowCase{"StartAheadOfTheClock", kLimit, kNow, kNow + 5, kLimit, {}, -1, 0, kNow},
        WindowCase{"NewAreaOnABootedClock", kLimit, kNow, 0, kLimit, {}, -1, 0, kNow},
        WindowCase{"NewAreaNearTickZero", kLimit, 100, 0, kLimit, {}, HZ - 100, 0, HZ}),
    [](const testing::TestParamInfo<WindowCase> &i) { return std::string(i.param.name); });

// Asynchronous 64 KiB writes back to back at 1 MiB/s: the sixteenth reaches
// the limit. The first time the area is new, so it only opens a window; in
// that window the sixteenth write ten ticks later sleeps to the second's end.
TEST_F(QosWindowTest, SixteenthWriteOfAWindowSleeps) {
  QosDevice dev(kLimit);
  std::atomic<int> writes{0};
  struct nmp_info *nmp = dev.nmp.get();
  auto send_writes = [nmp, &writes](int n) {
    for (int w = 0; w < n; w++) {
      for (int piece = 0; piece < 16; piece++) mirvol_qos_count_nmp(nmp, 4096);
      mirvol_qos_sleep_nmp(nmp);
      writes++;
    }
  };

  {
    KThread first([&] { send_writes(16); return 0; }, "qos_sender");
    ASSERT_TRUE(first.wait_done(5000)) << "a new area slept";
  }
  EXPECT_EQ(dev.area()->start_jiffies, kNow);
  EXPECT_EQ(dev.area()->sent_bytes, 0u);

  clock_advance(10);
  writes = 0;
  KThread second([&] { send_writes(16); return 0; }, "qos_sender");
  ASSERT_TRUE(eventually([&] { return dev.sleeping(); }, 5000));
  EXPECT_EQ(writes.load(), 15);
  EXPECT_EQ(dev.area()->sent_bytes, 16u * 65536);
  clock_advance(HZ - 10 - 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(writes.load(), 15);
  clock_advance(1);
  ASSERT_TRUE(second.wait_done(5000));
  EXPECT_EQ(writes.load(), 16);
  EXPECT_EQ(dev.area()->sent_bytes, 0u);
  EXPECT_EQ(dev.area()->start_jiffies, kNow + HZ);
}

// A signal ends the sleep early; the window restarts at the time of waking.
TEST_F(QosWindowTest, SignalEndsTheSleepAndRestartsTheWindow) {
  QosDevice dev(kLimit);
  dev.area()->start_jiffies = kNow;
  dev.area()->sent_bytes = kLimit;
  auto sender = throttle_on_thread(dev);
  ASSERT_TRUE(eventually([&] { return dev.sleeping(); }, 5000));
  clock_advance(40);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_FALSE(sender->wait_done(0));
  send_sig(SIGTERM, sender->task(), 1);
  ASSERT_TRUE(sender->wait_done(5000)) << "the signal did not end the sleep";
  EXPECT_EQ(dev.area()->sent_bytes, 0u);
  EXPECT_EQ(dev.area()->start_jiffies, kNow + 40);
}

// On a running (sped-up) clock a sender of 64 KiB messages held to 500 KB/s
// moves 500 KB/s, within the granularity of whole messages and the host's
// scheduling.
TEST(QosRate, SenderIsHeldToTheLimit) {
  const unsigned old_scale = clock_time_scale();
  clock_set_time_scale(5);
  const u32 kbps = 500;
  QosDevice dev(kbps * 1024);
  struct nmp_info *nmp = dev.nmp.get();
  u64 moved = 0, elapsed = 0;
  {
    KThread sender(
        [&] {
          auto message = [nmp] {
            for (int piece = 0; piece < 16; piece++) mirvol_qos_count_nmp(nmp, 4096);
            mirvol_qos_sleep_nmp(nmp);
            return (u64)16 * 4096;
          };
          // The first time the limit is reached the new area opens its
          // first window; measure from there.
          while (nmp->qos_area->start_jiffies == 0) message();
          u64 t0 = get_jiffies_64();
          while (get_jiffies_64() - t0 < 4 * HZ) moved += message();
          elapsed = get_jiffies_64() - t0;
          return 0;
        },
        "qos_sender");
    EXPECT_TRUE(sender.wait_done(20000));
  }
  clock_set_time_scale(old_scale);
  ASSERT_GT(elapsed, 0u);
  double rate = (double)moved * HZ / (double)elapsed;
  EXPECT_NEAR(rate, kbps * 1024.0, kbps * 1024.0 * 0.10)
      << moved << " bytes in " << elapsed << " ticks";
}

// --- the area ---

class QosAreaTest : public ::testing::Test {
 protected:
  void SetUp() override { outstanding_ = alloc_outstanding(); }
  void TearDown() override {
    alloc_fault_clear();
    EXPECT_EQ(alloc_outstanding(), outstanding_);
  }
  long outstanding_ = 0;
};

TEST_F(QosAreaTest, NewAreaIsZeroedAndFreedAgain) {
  // Leave a dirty chunk of the area's size for the allocator to hand back.
  void *dirty = kmalloc(sizeof(struct qos_area), GFP_KERNEL);
  ASSERT_NE(dirty, nullptr);
  memset(dirty, 0xA5, sizeof(struct qos_area));
  kfree(dirty);

  struct qos_area *area = mirvol_qos_init_nmp();
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(alloc_outstanding(), outstanding_ + 1);
  EXPECT_EQ(area->start_jiffies, 0u);
  EXPECT_EQ(area->sent_bytes, 0u);
  EXPECT_FALSE(waitqueue_active(&area->wq));
  // The wait queue works: a timed sleep on it ends.
  EXPECT_EQ(interruptible_sleep_on_timeout(&area->wq, 1), 0);
  mirvol_qos_free_nmp(area);
  mirvol_qos_free_nmp(nullptr);
}

TEST_F(QosAreaTest, AllocationFailureGivesNull) {
  alloc_fault_inject(0, 1, get_current());
  EXPECT_EQ(mirvol_qos_init_nmp(), nullptr);
  EXPECT_EQ(alloc_fault_failed(), 1);
  alloc_fault_clear();
  struct qos_area *area = mirvol_qos_init_nmp();
  EXPECT_NE(area, nullptr);
  mirvol_qos_free_nmp(area);
}

}  // namespace
