// The kernel semantics the driver relies on: signals and sleeps, wait queues,
// kernel threads, timers, semaphores, atomic context, clock, allocation, log.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/internal.h"
#include "test_util.h"

using testutil::eventually;
using testutil::KThread;

namespace {

constexpr long kLong = 60 * HZ;  // a sleep that must be ended by something else

TEST(PlatformSignals, InterruptibleSleepWithSignalPendingReturnsAtOnce) {
  KThread t([] {
    allow_signal(SIGTERM);
    send_sig(SIGTERM, get_current(), 1);
    wait_queue_head_t wq;
    init_waitqueue_head(&wq);
    u64 before = get_jiffies_64();
    long r = interruptible_sleep_on_timeout(&wq, kLong);
    EXPECT_EQ(r, -ERESTARTSYS);
    EXPECT_LT(get_jiffies_64() - before, (u64)HZ);
    // The signal stays pending until the task clears it.
    EXPECT_TRUE(sigismember_pending(get_current(), SIGTERM));
    return 0;
  });
  ASSERT_TRUE(t.wait_done(5000));
}

TEST(PlatformSignals, SigtermWakesAnInterruptibleSleeper) {
  std::atomic<bool> sleeping{false};
  std::atomic<long> result{1};
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  KThread t([&] {
    allow_signal(SIGTERM);
    sleeping = true;
    result = interruptible_sleep_on_timeout(&wq, kLong);
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return sleeping.load() && waitqueue_active(&wq); }));
  send_sig(SIGTERM, t.task(), 1);
  ASSERT_TRUE(t.wait_done(5000)) << "SIGTERM did not wake the sleeper";
  EXPECT_GT(result.load(), 0) << "woken early, so ticks remain";
}

TEST(PlatformSignals, BlockedSignalStaysPendingUntilUnblocked) {
  std::atomic<bool> posted{false};
  std::atomic<long> blocked_result{-1}, unblocked_result{0};
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  KThread t([&] {
    // Kernel threads start with every signal blocked.
    EXPECT_TRUE(eventually([&] { return posted.load(); }));
    blocked_result = interruptible_sleep_on_timeout(&wq, HZ / 5);
    EXPECT_TRUE(sigismember_pending(get_current(), SIGTERM));
    EXPECT_FALSE(signal_pending(get_current()));
    allow_signal(SIGTERM);
    EXPECT_TRUE(signal_pending(get_current()));
    unblocked_result = interruptible_sleep_on_timeout(&wq, kLong);
    return 0;
  });
  send_sig(SIGTERM, t.task(), 1);
  posted = true;
  ASSERT_TRUE(t.wait_done(5000));
  EXPECT_EQ(blocked_result.load(), 0) << "a blocked signal must not end the sleep";
  EXPECT_EQ(unblocked_result.load(), -ERESTARTSYS);
}

TEST(PlatformSignals, UnblockingWakesATaskAlreadyAsleepOnAnotherSignal) {
  // Only signal 24 may end a sleep while everything else is blocked.
  std::atomic<bool> sleeping{false};
  std::atomic<long> r{1};
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  KThread t([&] {
    allow_signal(SIGXCPU);
    sleeping = true;
    r = interruptible_sleep_on_timeout(&wq, kLong);
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return sleeping.load() && waitqueue_active(&wq); }));
  send_sig(SIGTERM, t.task(), 1);
  EXPECT_FALSE(t.wait_done(200)) << "SIGTERM is blocked and must not wake the task";
  send_sig(SIGXCPU, t.task(), 1);
  ASSERT_TRUE(t.wait_done(5000));
  EXPECT_GT(r.load(), 0);
}

TEST(PlatformWaitQueue, WakeUpWakesEverySleeper) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  std::atomic<int> woken{0};
  std::atomic<int> asleep{0};
  std::vector<std::unique_ptr<KThread>> threads;
  for (int i = 0; i < 3; i++)
    threads.push_back(std::make_unique<KThread>([&] {
      asleep++;
      if (sleep_on_timeout(&wq, kLong) > 0) woken++;
      return 0;
    }));
  ASSERT_TRUE(eventually([&] {
    if (asleep.load() < 3) return false;
    raw_lock(&wq.lock);
    int n = 0;
    for (auto *e = wq.head; e; e = e->next) n++;
    raw_unlock(&wq.lock);
    return n == 3;
  }));
  wake_up(&wq);
  for (auto &t : threads) EXPECT_TRUE(t->wait_done(5000));
  EXPECT_EQ(woken.load(), 3);
}

TEST(PlatformWaitQueue, ConditionWaitSeesAWakeUpBetweenCheckAndSleep) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  std::atomic<int> value{0};
  KThread t([&] {
    long r = wait_event_timeout(wq, value.load() == 100, 30 * HZ);
    return r > 0 ? 0 : 1;
  });
  for (int i = 1; i <= 100; i++) {
    value = i;
    wake_up(&wq);
  }
  ASSERT_TRUE(t.wait_done(10000));
  EXPECT_EQ(t.result(), 0);
}

TEST(PlatformThreads, CreationReturnsARunningSignallableTaskWithItsName) {
  std::atomic<long> r{1};
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  struct task_struct *task = nullptr;
  {
    KThread t(
        [&] {
          allow_signal(SIGTERM);
          r = interruptible_sleep_on_timeout(&wq, kLong);
          return 7;
        },
        "mirvol_nmp03_05");
    task = t.task();
    ASSERT_NE(task, nullptr);
    std::ifstream comm("/proc/self/task/" + std::to_string(task_pid_nr(task)) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "mirvol_nmp03_05");
    // Posted right after creation: the signal is never lost, whether the
    // thread has allowed SIGTERM yet or not.
    send_sig(SIGTERM, task, 1);
    EXPECT_TRUE(t.wait_done(5000));
  }
  EXPECT_NE(r.load(), 0);
  EXPECT_EQ(kthread_reap(), kthread_count_running());
}

TEST(PlatformThreads, NamesAreCutTo15Characters) {
  KThread t([] { return 0; }, "a_name_much_longer_than_fifteen");
  ASSERT_NE(t.task(), nullptr);
  EXPECT_STREQ(task_comm(t.task()), "a_name_much_lon");
}

TEST(PlatformThreads, JoinReturnsTheResultAfterTheThreadLeft) {
  struct task_struct *task = kthread_run([](void *) { return 42; }, nullptr, "joinme");
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(kthread_join(task), 42);
}

// A callback that holds the test until released, then writes to the record.
struct SlowTimer {
  struct timer_list timer;
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  int written = 0;  // plain: a race on it shows under ThreadSanitizer
  static void fn(struct timer_list *t) {
    SlowTimer *self = from_timer(self, t, timer);
    self->entered = true;
    while (!self->release.load()) {
    }
    self->written = 1;
  }
};

TEST(PlatformTimers, DeleteWaitsForARunningCallback) {
  auto *st = new SlowTimer();
  timer_setup(&st->timer, SlowTimer::fn, 0);
  mod_timer(&st->timer, jiffies_now());
  ASSERT_TRUE(eventually([&] { return st->entered.load(); }));
  std::atomic<bool> deleted{false};
  std::thread deleter([&] {
    del_timer(&st->timer);
    deleted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(deleted.load()) << "delete returned while the callback still ran";
  st->release = true;
  deleter.join();
  EXPECT_EQ(st->written, 1);
  delete st;  // freed right after the delete, as the driver does
}

TEST(PlatformTimers, CallbackMayDeleteAndFreeItsOwnTimer) {
  struct Owner {
    struct timer_list timer;
    std::atomic<bool> *fired;
  };
  std::atomic<bool> fired{false};
  auto *o = new Owner{{}, &fired};
  timer_setup(
      &o->timer,
      [](struct timer_list *t) {
        Owner *self = from_timer(self, t, timer);
        del_timer(&self->timer);  // from its own callback: must not wait for itself
        std::atomic<bool> *f = self->fired;
        delete self;
        *f = true;
      },
      0);
  mod_timer(&o->timer, jiffies_now() + 1);
  EXPECT_TRUE(eventually([&] { return fired.load(); }));
}

TEST(PlatformTimers, FireInExpiryOrderInTimerContext) {
  clock_set_manual(1000000);
  struct T {
    struct timer_list timer;
    std::vector<int> *order;
    std::mutex *mu;
    int id;
    bool atomic = false;
  };
  std::vector<int> order;
  std::mutex mu;
  T ts[3] = {{{}, &order, &mu, 0}, {{}, &order, &mu, 1}, {{}, &order, &mu, 2}};
  unsigned long expiry[3] = {30, 10, 20};
  for (int i = 0; i < 3; i++) {
    timer_setup(
        &ts[i].timer,
        [](struct timer_list *t) {
          T *self = from_timer(self, t, timer);
          self->atomic = in_atomic();
          std::lock_guard<std::mutex> g(*self->mu);
          self->order->push_back(self->id);
        },
        0);
    mod_timer(&ts[i].timer, 1000000 + expiry[i]);
  }
  clock_advance(15);
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> g(mu);
    return order.size() == 1;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(order.size(), 1u) << "a timer fired before its expiry";
  }
  clock_advance(20);
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> g(mu);
    return order.size() == 3;
  }));
  clock_set_automatic();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
  for (auto &t : ts) EXPECT_TRUE(t.atomic);
}

TEST(PlatformClock, ManualClockDrivesSleeps) {
  clock_set_manual(5000);
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  std::atomic<long> r{-1};
  KThread t([&] {
    r = sleep_on_timeout(&wq, HZ);
    return 0;
  });
  EXPECT_FALSE(t.wait_done(100)) << "slept past an expiry the clock has not reached";
  clock_advance(HZ - 1);
  EXPECT_FALSE(t.wait_done(50));
  clock_advance(1);
  EXPECT_TRUE(t.wait_done(5000));
  clock_set_automatic();
  EXPECT_EQ(r.load(), 0);
}

TEST(PlatformClock, TimeScaleSpeedsUpTicksAndWallClockCanBeSet) {
  clock_set_time_scale(50);
  u64 start = get_jiffies_64();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  u64 ticks = get_jiffies_64() - start;
  clock_set_time_scale(1);
  // 100 ms at 50x is 5 seconds of platform time; allow a slow machine.
  EXPECT_GE(ticks, (u64)(4 * HZ));

  clock_set_wall_seconds(1700000000);
  EXPECT_EQ(ktime_get_real_seconds(), 1700000000);
  clock_set_wall_seconds(0);
  EXPECT_GT(ktime_get_real_seconds(), 1700000000);
}

TEST(PlatformSemaphore, CountsAndInterruptibleDownEndsOnSignal) {
  struct semaphore sem;
  sema_init(&sem, 2);
  down(&sem);
  EXPECT_EQ(down_trylock(&sem), 0);
  EXPECT_EQ(down_trylock(&sem), 1);
  std::atomic<int> r{1};
  KThread t([&] {
    allow_signal(SIGTERM);
    r = down_interruptible(&sem);
    return 0;
  });
  EXPECT_FALSE(t.wait_done(100));
  send_sig(SIGTERM, t.task(), 1);
  ASSERT_TRUE(t.wait_done(5000));
  EXPECT_EQ(r.load(), -EINTR);
  // The units taken are still owed: up twice, two takers succeed.
  up(&sem);
  up(&sem);
  EXPECT_EQ(down_timeout(&sem, HZ), 0);
  EXPECT_EQ(down_timeout(&sem, HZ), 0);
  EXPECT_EQ(down_trylock(&sem), 1);
}

TEST(PlatformSemaphore, UpWakesAWaiter) {
  struct semaphore sem;
  sema_init(&sem, 0);
  KThread t([&] {
    down(&sem);
    return 0;
  });
  EXPECT_FALSE(t.wait_done(50));
  up(&sem);
  EXPECT_TRUE(t.wait_done(5000));
}

#ifdef MIRVOL_ATOMIC_CHECKS
TEST(PlatformAtomicDeathTest, SleepingUnderASpinlockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        spinlock_t l;
        spin_lock_init(&l);
        spin_lock(&l);
        msleep(1);
      },
      "sleeping function called from atomic context");
}
#endif

TEST(PlatformAlloc, InjectedFailureReachesTheCaller) {
  long before = alloc_outstanding();
  alloc_fault_inject(1, 1, get_current());
  void *a = kmalloc(16, GFP_ATOMIC);
  void *b = kmalloc(16, GFP_ATOMIC);
  void *c = kmalloc(16, GFP_ATOMIC);
  alloc_fault_clear();
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr) << "the second allocation was chosen to fail";
  EXPECT_NE(c, nullptr);
  kfree(a);
  kfree(c);
  kfree(nullptr);
  EXPECT_EQ(alloc_outstanding(), before);
}

TEST(PlatformLog, LevelsAreKeptAndTheSinkFileGetsEveryLine) {
  char path[] = "/tmp/mirvol-klog-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(klog_set_file(path), 0);
  testutil::LogCapture cap;
  printk(KERN_ERR "an error line\n");
  printk(KERN_INFO "an info line\n");
  printk("no level\n");
  klog_set_file(nullptr);
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_STREQ(lines[0].text, "an error line");
  EXPECT_EQ(lines[1].level, 6);
  EXPECT_EQ(lines[2].level, LOGLEVEL_DEFAULT);
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  EXPECT_NE(ss.str().find("<3>["), std::string::npos);
  EXPECT_NE(ss.str().find("] an info line\n"), std::string::npos);
  unlink(path);
}

TEST(PlatformPanicDeathTest, WritesTheMessageAndExitsWithItsCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(panic("disk gone %d", 3), testing::ExitedWithCode(PANIC_EXIT_CODE),
              "Kernel panic - not syncing: disk gone 3");
}

TEST(PlatformUserCopy, CopiesWithinTheCallersBufferAndZeroFillsTheRest) {
  unsigned char record[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  struct user_context ctx = {record, sizeof(record), 0x10000, nullptr, nullptr, 0};
  set_user_context(&ctx);
  unsigned char in[12];
  memset(in, 0xAA, sizeof(in));
  // A 12-byte copy of an 8-byte record: 4 bytes short, zero-filled.
  EXPECT_EQ(copy_from_user(in, (const void *)0x10000, 12), 4u);
  EXPECT_EQ(in[7], 8);
  EXPECT_EQ(in[8], 0);
  EXPECT_EQ(in[11], 0);
  // Outside the buffer nothing is copied.
  EXPECT_EQ(copy_from_user(in, (const void *)0x20000, 4), 4u);
  EXPECT_EQ(in[0], 0);
  unsigned char out[4] = {9, 9, 9, 9};
  EXPECT_EQ(copy_to_user((void *)0x10006, out, 4), 2u);
  EXPECT_EQ(record[6], 9);
  EXPECT_EQ(record[7], 9);
  EXPECT_EQ(record[5], 6);
  // Only passed descriptors are found.
  EXPECT_EQ(fget(3), nullptr);
  set_user_context(nullptr);
}

}  // namespace

namespace {

TEST(PlatformThreads, CreatedThreadRunsOnlyWhenWokenAndKeepsEarlySignals) {
  static std::atomic<bool> ran{false};
  static std::atomic<long> r{1};
  ran = false;
  struct task_struct *t = kthread_create(
      [](void *) {
        ran = true;
        allow_signal(SIGTERM);
        wait_queue_head_t wq;
        init_waitqueue_head(&wq);
        r = interruptible_sleep_on_timeout(&wq, 60 * HZ);
        return 0;
      },
      nullptr, "held");
  ASSERT_NE(t, nullptr);
  EXPECT_GT(task_pid_nr(t), 0) << "the pid is known before it runs";
  struct pid *handle = get_task_pid(t);
  send_sig(SIGTERM, t, 1);  // posted before it runs: kept pending
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ran.load());
  wake_up_process(t);
  kthread_join_pid(handle);
  put_pid(handle);
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(r.load(), -ERESTARTSYS);
}

}  // namespace
