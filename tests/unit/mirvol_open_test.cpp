// The log routine and the kernel-service adapters of the driver's bottom layer.

// The C library's socket headers go before the platform's (see net.h).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>

#include "include/mirvol_open.h"

#include "test_util.h"

namespace {

struct LogStep {
  long advance;  // ticks to move the clock before the message
  const char *msg;
};

struct LogCase {
  const char *name;
  std::vector<LogStep> steps;
  std::vector<std::string> printed;  // texts after "[I] <type: mirvol><event: 101> "
};

class MirvolPrintk : public testing::TestWithParam<LogCase> {
 protected:
  void SetUp() override {
    clock_set_manual(1000000);
    mirvol_printk_init();
  }
  void TearDown() override { clock_set_automatic(); }
};

const char kRepeat[] = "[I] <type: mirvol><event: 331> --- Previous mirvol message repeated ";

TEST_P(MirvolPrintk, SuppressesRepeatsWithinASecond) {
  const LogCase &c = GetParam();
  testutil::LogCapture cap;
  for (auto &s : c.steps) {
    clock_advance(s.advance);
    mirvol_printk(MIRVOL_INFO "%s\n", 101, s.msg);
  }
  std::vector<std::string> got;
  for (auto &t : cap.texts()) {
    const std::string frame = "[I] <type: mirvol><event: 101> ";
    if (t.rfind(frame, 0) == 0)
      got.push_back(t.substr(frame.size()));
    else if (t.rfind(kRepeat, 0) == 0)
      got.push_back("REPEAT " + t.substr(sizeof(kRepeat) - 1));
    else
      got.push_back("OTHER " + t);
  }
  EXPECT_EQ(got, c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MirvolPrintk,
    testing::Values(
        LogCase{"ThreeWithinASecond",
                {{0, "NMP3 a"}, {10, "NMP3 a"}, {10, "NMP3 a"}, {10, "NMP3 b"}},
                {"NMP3 a", "NMP3 a", "REPEAT 1 time ---", "NMP3 b"}},
        LogCase{"FiveTenthsApartThenAnother",
                {{0, "x"}, {HZ / 10, "x"}, {HZ / 10, "x"}, {HZ / 10, "x"}, {HZ / 10, "x"}, {HZ / 10, "y"}},
                {"x", "x", "REPEAT 3 times ---", "y"}},
        LogCase{"TwoSecondsApart", {{0, "z"}, {2 * HZ, "z"}}, {"z", "z"}},
        LogCase{"ExactlyOneSecondIsNotARepeat", {{0, "w"}, {HZ, "w"}, {HZ, "w"}}, {"w", "w", "w"}},
        LogCase{"JustUnderASecondIsARepeat",
                {{0, "v"}, {HZ - 1, "v"}, {HZ - 1, "v"}, {HZ - 1, "v"}, {0, "u"}},
                {"v", "v", "REPEAT 2 times ---", "u"}},
        LogCase{"SameTextAfterAPauseReportsTheCount",
                {{0, "s"}, {1, "s"}, {1, "s"}, {1, "s"}, {2 * HZ, "s"}},
                {"s", "s", "REPEAT 2 times ---", "s"}},
        LogCase{"ARunWithNoFurtherMessageIsNeverReported", {{0, "r"}, {1, "r"}, {1, "r"}}, {"r", "r"}}),
    [](const testing::TestParamInfo<LogCase> &i) { return std::string(i.param.name); });

TEST(MirvolPrintkFrame, LevelsAndTagsAndTheLengthLimit) {
  mirvol_printk_init();
  testutil::LogCapture cap;
  mirvol_printk(MIRVOL_ERR "NMP%d broken\n", 123, 3);
  mirvol_printk(MIRVOL_WARN "NMP%d warned\n", 7, 3);
  mirvol_printk(MIRVOL_INFO "NMP%d told\n", 331, 3);
  std::string longtext(2000, 'q');
  mirvol_printk(MIRVOL_INFO "%s", 101, longtext.c_str());
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_STREQ(lines[0].text, "[E] <type: mirvol><event: 123> NMP3 broken");
  EXPECT_EQ(lines[1].level, 6);
  EXPECT_STREQ(lines[1].text, "[W] <type: mirvol><event: 007> NMP3 warned");
  EXPECT_EQ(lines[2].level, 6);
  EXPECT_STREQ(lines[2].text, "[I] <type: mirvol><event: 331> NMP3 told");
  // 1023 characters in all, the two-byte level marker included.
  EXPECT_EQ(strlen(lines[3].text), 1023u - 2);
}

TEST(MirvolPrintkFrame, FallbackBufferWhenAllocationFails) {
  mirvol_printk_init();
  testutil::LogCapture cap;
  alloc_fault_inject(0, 1, get_current());
  mirvol_printk(MIRVOL_ERR "NMP%d still said\n", 150, 1);
  alloc_fault_clear();
  auto t = cap.texts();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], "[W] <type: mirvol><event: 147> Failed to allocate printk_buf, other area used instead.");
  EXPECT_EQ(t[1], "[E] <type: mirvol><event: 150> NMP1 still said");
}

TEST(MirvolPrintkFrame, ConcurrentFallbackMessagesNeverMix) {
  mirvol_printk_init();
  testutil::LogCapture cap;
  alloc_fault_inject(0, -1);  // every allocation fails, in every thread
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; i++)
    ts.emplace_back([i] {
      std::string body(300, (char)('a' + i));
      for (int k = 0; k < 50; k++) mirvol_printk(MIRVOL_INFO "%d %s\n", 101, k, body.c_str());
    });
  for (auto &t : ts) t.join();
  alloc_fault_clear();
  for (auto &text : cap.texts()) {
    if (text.find("event: 101") == std::string::npos) continue;
    std::string body = text.substr(text.rfind(' ') + 1);
    ASSERT_EQ(body.size(), 300u) << text;
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos) << "mixed text: " << text;
  }
}

TEST(MirvolAdapters, KfreeMkdevSprintfAddresses) {
  void *p = mirvol_kmalloc(32);
  ASSERT_NE(p, nullptr);
  mirvol_kfree(&p);
  EXPECT_EQ(p, nullptr);
  mirvol_kfree(&p);  // null: nothing happens
  EXPECT_EQ(p, nullptr);

  EXPECT_EQ(mirvol_MKDEV(218, 3), 218u * (1u << 20) + 3);

  char name[16];
  EXPECT_EQ(mirvol_sprintf(name, sizeof(name), "mirvol_nmp%02d_%02d", 123456, 5), 15);
  EXPECT_STREQ(name, "mirvol_nmp12345");

  // Network-order IPv6 words read as host-order 16-bit groups.
  u32 words[1] = {0x20010db8};
  big_to_little(words, 1);
  EXPECT_EQ(words[0], 0x0120b80du);

  u8 a[16], b[16];
  for (int i = 0; i < 16; i++) a[i] = (u8)i;
  mirvol_put_ipaddress(b, a);
  EXPECT_EQ(memcmp(a, b, 16), 0);
}

TEST(MirvolAdapters, LoopKmallocTriesFiveTimesThenGivesUp) {
  clock_set_time_scale(100);  // its one-second pauses pass quickly
  alloc_fault_inject(0, 5, get_current());
  void *p = mirvol_loop_kmalloc(64);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(alloc_fault_failed(), 5);
  alloc_fault_inject(0, 4, get_current());
  p = mirvol_loop_kmalloc(64);
  alloc_fault_clear();
  clock_set_time_scale(1);
  EXPECT_NE(p, nullptr) << "the fifth try succeeds";
  mirvol_kfree(&p);
}

TEST(MirvolAdapters, InterruptibleSleepAdapterReturnsMinus512WithSignalPending) {
  wait_queue_head_t *wq = mirvol_wait_queue_head_t_malloc();
  ASSERT_NE(wq, nullptr);
  mirvol_init_waitqueue_head(wq);
  testutil::KThread t([wq] {
    allow_signal(SIGTERM);
    send_sig(SIGTERM, get_current(), 1);
    return (int)mirvol_interruptible_sleep_on_timeout(wq, 10 * HZ);
  });
  ASSERT_TRUE(t.wait_done(5000));
  EXPECT_EQ(t.result(), -512);
  mirvol_kfree(&wq);
}

TEST(MirvolAdapters, KillProcInfoSignalsOnlyARecordedRunningThread) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  struct nmp_thread_info info = {};
  std::atomic<long> r{1};
  testutil::KThread t([&] {
    allow_signal(SIGTERM);
    info.pid = task_pid_nr(get_current());
    info.pid_handle = find_get_pid(info.pid);
    info.running = 1;
    r = mirvol_interruptible_sleep_on_timeout(&wq, 60 * HZ);
    info.running = 0;
    return 0;
  });
  ASSERT_TRUE(testutil::eventually([&] { return waitqueue_active(&wq) != 0; }));
  struct nmp_thread_info empty = {};
  EXPECT_EQ(mirvol_kill_proc_info(&empty), 0);
  EXPECT_FALSE(t.wait_done(50));
  mirvol_kill_proc_info(&info);
  ASSERT_TRUE(t.wait_done(5000));
  EXPECT_GT(r.load(), 0);
  put_pid(info.pid_handle);
}

TEST(MirvolAdapters, DelTimerOnNullAndTimerSetting) {
  EXPECT_EQ(mirvol_del_timer(nullptr), 0);
  struct timer_list t;
  static std::atomic<unsigned long> got{0};
  u64 now = mirvol_jiffies();
  mirvol_timer_setting(
      &t, [](unsigned long d) { got = d; }, 77, 2);
  EXPECT_GE(t.expires, now + 2 * HZ);
  EXPECT_LE(t.expires, now + 2 * HZ + HZ);
  EXPECT_FALSE(timer_pending(&t)) << "setting does not start the timer";
  t.expires = (unsigned long)mirvol_jiffies();
  mirvol_add_timer(&t);
  EXPECT_TRUE(testutil::eventually([] { return got.load() == 77; }));
  mirvol_del_timer(&t);
}

TEST(MirvolSysVariable, InitialisesEveryLockAndNullIsIgnored) {
  mirvol_init_nmp_sys_variable(nullptr);
  struct nmp_sys_variable *v = mirvol_malloc_nmp_sys_variable();
  ASSERT_NE(v, nullptr);
  mirvol_init_nmp_sys_variable(v);
  EXPECT_EQ(down_trylock(&v->cp_sem), 0);
  EXPECT_EQ(down_trylock(&v->cp_sem), 1) << "count 1";
  up(&v->cp_sem);
  EXPECT_EQ(down_trylock(&v->send_sem), 0);
  up(&v->send_sem);
  EXPECT_STREQ(v->nmp_wq.name, "&nmp_var->nmp_wq");
  EXPECT_FALSE(timer_pending(&v->send_timer));
  unsigned long flags;
  spin_lock_irqsave(&v->wrt_queue_lock, flags);
  spin_lock_irqsave(&v->recovery_lock, flags);
  spin_unlock_irqrestore(&v->recovery_lock, flags);
  spin_unlock_irqrestore(&v->wrt_queue_lock, flags);
  mirvol_kfree(&v);
}

}  // namespace

namespace {

// A connected TCP pair on loopback.
struct TcpPair {
  struct socket *listener = nullptr, *client = nullptr, *server = nullptr;
  TcpPair() {
    EXPECT_EQ(mirvol_sock_create(AF_INET, SOCK_STREAM, IPPROTO_TCP, &listener), 0);
    struct ksockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr = cpu_to_be32(0x7f000001);
    EXPECT_EQ(kernel_bind(listener, (struct ksockaddr *)&a, sizeof(a)), 0);
    EXPECT_EQ(kernel_listen(listener, 4), 0);
    EXPECT_GT(kernel_getsockname(listener, (struct ksockaddr *)&a), 0);
    EXPECT_EQ(mirvol_sock_create(AF_INET, SOCK_STREAM, IPPROTO_TCP, &client), 0);
    EXPECT_EQ(kernel_connect(client, (struct ksockaddr *)&a, sizeof(a), 0), 0);
    EXPECT_EQ(kernel_accept(listener, &server, 0), 0);
  }
  ~TcpPair() {
    sock_release(server);
    sock_release(client);
    sock_release(listener);
  }
};

struct Watchdog {
  struct timer_list timer;
  struct task_struct *task;
  static void fire(struct timer_list *t) {
    Watchdog *w = from_timer(w, t, timer);
    send_sig(SIGXCPU, w->task, 1);
  }
};

TEST(MirvolSocketAdapters, WatchdogSignalEndsABlockingReceiveWithEtime) {
  TcpPair p;
  ASSERT_NE(p.server, nullptr);
  testutil::KThread t([&] {
    // As a socket call under the watchdog: every signal blocked but 24.
    set_current_blocked(~sigmask_k(SIGXCPU));
    Watchdog w;
    w.task = get_current();
    timer_setup(&w.timer, Watchdog::fire, 0);
    mod_timer(&w.timer, jiffies_now() + HZ / 10);
    char buf[16];
    int r = mirvol_sys_recvfrom(buf, sizeof(buf), 0, nullptr, nullptr, p.server);
    del_timer_sync(&w.timer);
    EXPECT_FALSE(sigismember_pending(get_current(), SIGXCPU)) << "the adapter clears signal 24";
    return r;
  });
  ASSERT_TRUE(t.wait_done(10000));
  EXPECT_EQ(t.result(), -ETIME);
}

TEST(MirvolSocketAdapters, SendtoAndRecvfromMoveOneMessage) {
  TcpPair p;
  char out[] = "head";
  EXPECT_EQ(mirvol_sys_sendto(out, 4, 0, nullptr, 0, p.client), 4);
  char in[8] = {};
  EXPECT_EQ(mirvol_sys_recvfrom(in, 4, MSG_WAITALL, nullptr, nullptr, p.server), 4);
  EXPECT_STREQ(in, "head");
}

TEST(MirvolSocketAdapters, TcpParameterSetsTheKeepaliveKnobsAndSwitchesItOn) {
  TcpPair p;
  mirvol_sock_tcp_parameter(p.client, 3, 30, 2);
  int fd = sock_os_fd(p.client, 0);
  ASSERT_GE(fd, 0);
  auto get = [fd](int level, int name) {
    int v = -1;
    socklen_t len = sizeof(v);
    EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
    return v;
  };
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), 2);
  mirvol_tcp_delete_keepalive_timer(p.client);
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(MirvolAdapters, KernelThreadReportsFailureAsMinusOne) {
  kthread_fault_inject(0, 1);
  int pid = mirvol_kernel_thread([](void *) { return 0; }, nullptr, "mirvol_common_1");
  kthread_fault_inject(0, 0);
  EXPECT_EQ(pid, -1);
}

}  // namespace
