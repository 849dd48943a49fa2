// Kernel sockets: TCP over loopback, signals ending blocking calls, the host
// address list, socket options, raw ICMP echo.

// The C library's socket headers come before platform/net.h.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_host.h"
#include "test_util.h"

using testutil::eventually;
using testutil::KThread;

namespace {

struct SockDeleter {
  void operator()(struct socket *s) const { sock_release(s); }
};
using Sock = std::unique_ptr<struct socket, SockDeleter>;

struct Addr {
  struct ksockaddr_storage ss {};
  int len = 0;
  struct ksockaddr *sa() {
    return reinterpret_cast<struct ksockaddr *>(&ss);
  }
};

Addr ip(const char *text, u16 port) {
  Addr a;
  if (strchr(text, ':')) {
    auto *in6 = reinterpret_cast<struct ksockaddr_in6 *>(&a.ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = cpu_to_be16(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, in6->sin6_addr.s6_addr), 1) << text;
    a.len = sizeof(*in6);
  } else {
    auto *in = reinterpret_cast<struct ksockaddr_in *>(&a.ss);
    in->sin_family = AF_INET;
    in->sin_port = cpu_to_be16(port);
    EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1) << text;
    a.len = sizeof(*in);
  }
  return a;
}

int family_of(const char *text) { return strchr(text, ':') ? AF_INET6 : AF_INET; }

// "127.0.0.1:80" / "[::1]:80"
std::string text_of(const struct ksockaddr_storage &ss) {
  char buf[64] = {};
  if (ss.ss_family == AF_INET) {
    auto *in = reinterpret_cast<const struct ksockaddr_in *>(&ss);
    inet_ntop(AF_INET, &in->sin_addr, buf, sizeof(buf));
    return std::string(buf) + ":" + std::to_string(be16_to_cpu(in->sin_port));
  }
  auto *in6 = reinterpret_cast<const struct ksockaddr_in6 *>(&ss);
  inet_ntop(AF_INET6, in6->sin6_addr.s6_addr, buf, sizeof(buf));
  std::string out = "[";
  out += buf;
  out += "]:";
  out += std::to_string(be16_to_cpu(in6->sin6_port));
  return out;
}

std::string host_of(const std::string &addr_text) {
  std::string h = addr_text.substr(0, addr_text.rfind(':'));
  if (!h.empty() && h[0] == '[') h = h.substr(1, h.size() - 2);
  return h;
}

std::string sockname(struct socket *s) {
  Addr a;
  EXPECT_GT(kernel_getsockname(s, a.sa()), 0);
  return text_of(a.ss);
}

std::string peername(struct socket *s) {
  Addr a;
  EXPECT_GT(kernel_getpeername(s, a.sa()), 0);
  return text_of(a.ss);
}

u16 port_of(struct socket *s) {
  Addr a;
  EXPECT_GT(kernel_getsockname(s, a.sa()), 0);
  return a.ss.ss_family == AF_INET
             ? be16_to_cpu(reinterpret_cast<struct ksockaddr_in *>(&a.ss)->sin_port)
             : be16_to_cpu(reinterpret_cast<struct ksockaddr_in6 *>(&a.ss)->sin6_port);
}

Sock make_sock(int family, int type = SOCK_STREAM, int protocol = IPPROTO_TCP) {
  struct socket *s = nullptr;
  int r = sock_create_kern(family, type, protocol, &s);
  EXPECT_EQ(r, 0) << "sock_create_kern(" << family << ", " << type << ", " << protocol << ")";
  return Sock(s);
}

Sock listen_on(const char *host, u16 port = 0, int backlog = 8) {
  Sock l = make_sock(family_of(host));
  if (!l) return l;
  Addr a = ip(host, port);
  EXPECT_EQ(kernel_bind(l.get(), a.sa(), a.len), 0) << host << ":" << port;
  EXPECT_EQ(kernel_listen(l.get(), backlog), 0);
  return l;
}

int connect_to(struct socket *s, const char *host, u16 port, int flags = 0) {
  Addr a = ip(host, port);
  return kernel_connect(s, a.sa(), a.len, flags);
}

int send_buf(struct socket *s, const void *buf, size_t len, int flags = 0) {
  struct kvec v = {const_cast<void *>(buf), len};
  struct kmsghdr m = {nullptr, 0, flags};
  return kernel_sendmsg(s, &m, &v, 1, len);
}

int recv_buf(struct socket *s, void *buf, size_t len, int flags = 0) {
  struct kvec v = {buf, len};
  return kernel_recvmsg(s, nullptr, &v, 1, len, flags);
}

// A connection over loopback: listener, client end, accepted end.
struct Conn {
  Sock listener, client, server;
};

Conn connect_pair(const char *host) {
  Conn c;
  c.listener = listen_on(host);
  if (!c.listener) return c;
  c.client = make_sock(family_of(host));
  if (!c.client) return c;
  EXPECT_EQ(connect_to(c.client.get(), host, port_of(c.listener.get())), 0);
  struct socket *s = nullptr;
  EXPECT_EQ(kernel_accept(c.listener.get(), &s, 0), 0);
  c.server.reset(s);
  return c;
}

bool ipv6_loopback_available() {
  struct socket *s = nullptr;
  if (sock_create_kern(AF_INET6, SOCK_STREAM, IPPROTO_TCP, &s) != 0) return false;
  Addr a = ip("::1", 0);
  bool ok = kernel_bind(s, a.sa(), a.len) == 0;
  sock_release(s);
  return ok;
}

int os_intopt(struct socket *s, int level, int name, int i = 0) {
  int v = -1;
  socklen_t l = sizeof(v);
  EXPECT_EQ(getsockopt(sock_os_fd(s, i), level, name, &v, &l), 0);
  return v;
}

// Whether the thread sleeps in poll() (its syscall, where /proc shows it;
// else its sleeping state).
bool sleeps_in_poll(pid_t_k tid) {
  std::string base = "/proc/self/task/" + std::to_string(tid);
  std::ifstream sc(base + "/syscall");
  long nr = -1;
  if (sc >> nr) {
#ifdef SYS_poll
    if (nr == SYS_poll) return true;
#endif
    return nr == SYS_ppoll;
  }
  std::ifstream st(base + "/stat");
  std::string all((std::istreambuf_iterator<char>(st)), std::istreambuf_iterator<char>());
  size_t p = all.rfind(')');
  return p != std::string::npos && p + 2 < all.size() && all[p + 2] == 'S';
}

int count_open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) n++;
  closedir(d);
  return n;
}

// Runs `setup` then the blocking `call` on a kernel thread; the result is
// kept. wait_blocked() waits until the call sleeps in poll().
class BlockedCall {
 public:
  BlockedCall(std::function<void()> setup, std::function<int()> call)
      : thread_([this, setup, call] {
          setup();
          entering_ = true;
          result_ = call();
          return 0;
        }) {
    // Our own reference: a later kthread_run() reaps the thread once it has
    // left, and the task must stay readable until the KThread has joined it.
    ref_.t = thread_.task();
    if (ref_.t) get_task_struct(ref_.t);
  }
  bool wait_blocked() {
    return eventually([this] { return entering_.load() && sleeps_in_poll(task_pid_nr(task())); });
  }
  struct task_struct *task() const {
    return thread_.task();
  }
  bool finish(int ms) { return thread_.wait_done(ms); }
  int result() const { return result_.load(); }

 private:
  std::atomic<bool> entering_{false};
  std::atomic<int> result_{1};
  struct TaskRef {
    struct task_struct *t = nullptr;
    ~TaskRef() {
      if (t) put_task_struct(t);
    }
  } ref_;
  KThread thread_;
};

// Runs `f` when the scope ends: declared after a BlockedCall, it unblocks the
// call (shutting its socket down) before the thread is joined, should the
// test have failed before ending it.
struct OnExit {
  std::function<void()> f;
  ~OnExit() { f(); }
};

// Posts SIGXCPU to the task after `ms` unless cancelled first (bounds a
// blocking call in a test).
class Watchdog {
 public:
  Watchdog(struct task_struct *t, int ms)
      : thread_([this, t, ms] {
          std::unique_lock<std::mutex> lk(mu_);
          if (!cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return cancelled_; })) {
            fired_ = true;
            send_sig(SIGXCPU, t, 1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(mu_);
      cancelled_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  bool fired() {
    std::lock_guard<std::mutex> g(mu_);
    return fired_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool cancelled_ = false;
  bool fired_ = false;
  std::thread thread_;
};

const sigset_k kAllBut24 = ~sigmask_k(SIGXCPU);

// --- TCP ---

class PlatformNetTcp : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (family_of(GetParam()) == AF_INET6 && !ipv6_loopback_available())
      GTEST_SKIP() << "IPv6 loopback (::1) is not available here";
  }
};

TEST_P(PlatformNetTcp, CarriesVectorsBothWaysAndReportsThePeersClose) {
  Conn c = connect_pair(GetParam());
  ASSERT_TRUE(c.server && c.client);
  EXPECT_EQ(peername(c.server.get()), sockname(c.client.get()));
  EXPECT_EQ(peername(c.client.get()), sockname(c.listener.get()));

  // Far more than the socket buffers hold, so the blocking send must wait
  // for the receiver and go on where it stopped.
  std::vector<unsigned char> head(7, 0xA5), body(16 << 20), tail(3, 0x5A);
  for (size_t i = 0; i < body.size(); i++) body[i] = (unsigned char)(i * 7 + (i >> 13));
  const size_t total = head.size() + body.size() + tail.size();
  KThread sender([&] {
    allow_signal(SIGTERM);
    struct kvec v[3] = {
        {head.data(), head.size()}, {body.data(), body.size()}, {tail.data(), tail.size()}};
    return kernel_sendmsg(c.client.get(), nullptr, v, 3, total);
  });
  OnExit unblock{[&] {
    if (c.client) kernel_sock_shutdown(c.client.get(), SHUT_RDWR);
  }};
  EXPECT_TRUE(eventually([&] { return sleeps_in_poll(task_pid_nr(sender.task())); }))
      << "the send did not wait for the receiver";

  // Received into vectors split elsewhere than the sender's.
  std::vector<unsigned char> got(total, 0);
  struct kvec rv[2] = {{got.data(), 1000}, {got.data() + 1000, total - 1000}};
  EXPECT_EQ(kernel_recvmsg(c.server.get(), nullptr, rv, 2, total, MSG_WAITALL), (int)total);
  ASSERT_TRUE(sender.wait_done(10000));
  EXPECT_EQ(sender.result(), (int)total);
  std::vector<unsigned char> want(head);
  want.insert(want.end(), body.begin(), body.end());
  want.insert(want.end(), tail.begin(), tail.end());
  EXPECT_TRUE(got == want) << "bytes differ";

  // The other way, and a receive shorter than what is waiting.
  ASSERT_EQ(send_buf(c.server.get(), "reply", 5), 5);
  char small[3] = {};
  EXPECT_TRUE(eventually([&] { return recv_buf(c.client.get(), small, 3, MSG_DONTWAIT) == 3; }));
  EXPECT_EQ(std::string(small, 3), "rep");
  char rest[16] = {};
  EXPECT_EQ(recv_buf(c.client.get(), rest, sizeof(rest)), 2);
  EXPECT_EQ(recv_buf(c.client.get(), rest, sizeof(rest), MSG_DONTWAIT), -EAGAIN);

  // The peer closes: the receive returns 0, and sends then fail without
  // raising SIGPIPE in the process.
  c.client.reset();
  EXPECT_EQ(recv_buf(c.server.get(), rest, sizeof(rest)), 0);
  int r = 0;
  EXPECT_TRUE(eventually([&] {
    r = send_buf(c.server.get(), "x", 1);
    return r < 0;
  }));
  EXPECT_TRUE(r == -EPIPE || r == -ECONNRESET) << r;
}

// Messages of a head and a payload, sent back to back and read the way the
// mirror's receivers read them: a small head, then its payload. One receive
// takes more than it was asked for and the following ones get it first, in
// order, whatever their sizes and flags, and the peer's close comes only
// after every byte sent.
TEST_P(PlatformNetTcp, ReceivesAfterAnEarlierOneTookMoreGetEveryByteInOrder) {
  Conn c = connect_pair(GetParam());
  ASSERT_TRUE(c.server && c.client);
  // Payload sizes: none, small, one page, more than any receive buffer.
  const size_t payloads[] = {0, 5, 4096, 3, 200 * 1024, 1};
  std::vector<unsigned char> stream;
  for (size_t i = 0; i < sizeof(payloads) / sizeof(payloads[0]); i++) {
    unsigned char head[16];
    for (size_t k = 0; k < sizeof(head); k++) head[k] = (unsigned char)(0xC0 + i);
    memcpy(head, &payloads[i], sizeof(payloads[i]));
    stream.insert(stream.end(), head, head + sizeof(head));
    for (size_t k = 0; k < payloads[i]; k++) stream.push_back((unsigned char)(i * 31 + k * 7 + (k >> 9)));
  }
  KThread sender([&] {
    int r = send_buf(c.client.get(), stream.data(), stream.size());
    kernel_sock_shutdown(c.client.get(), SHUT_WR);
    return r;
  });
  OnExit unblock{[&] { kernel_sock_shutdown(c.server.get(), SHUT_RDWR); }};

  std::vector<unsigned char> got;
  for (size_t i = 0; i < sizeof(payloads) / sizeof(payloads[0]); i++) {
    unsigned char head[16];
    ASSERT_EQ(recv_buf(c.server.get(), head, sizeof(head), MSG_WAITALL), (int)sizeof(head)) << i;
    size_t len;
    memcpy(&len, head, sizeof(len));
    ASSERT_EQ(len, payloads[i]) << "head " << i << " out of place";
    got.insert(got.end(), head, head + sizeof(head));
    std::vector<unsigned char> body(len);
    size_t have = 0;
    // Odd payloads without MSG_WAITALL, in the pieces each receive returns;
    // one through the address-taking form, which reads the OS directly.
    while (have < len) {
      struct kvec v = {body.data() + have, len - have};
      struct ksockaddr_storage from;
      struct kmsghdr m = {&from, 0, 0};
      int flags = i % 2 ? 0 : MSG_WAITALL;
      int r = kernel_recvmsg(c.server.get(), i == 3 ? &m : nullptr, &v, 1, len - have, flags);
      ASSERT_GT(r, 0) << "payload " << i << " at " << have;
      have += (size_t)r;
    }
    got.insert(got.end(), body.begin(), body.end());
  }
  ASSERT_TRUE(sender.wait_done(10000));
  EXPECT_EQ(sender.result(), (int)stream.size());
  EXPECT_TRUE(got == stream) << "bytes differ";
  char rest[8];
  EXPECT_EQ(recv_buf(c.server.get(), rest, sizeof(rest)), 0) << "the close, after every byte";
}

// Small messages that are already there when the first is read come in one
// system call: after the first receive the OS holds none of them, and the
// rest are still given out, also without waiting.
TEST_P(PlatformNetTcp, OneReceiveBringsTheMessagesWaitingBehindIt) {
  Conn c = connect_pair(GetParam());
  ASSERT_TRUE(c.server && c.client);
  const char msgs[] = "head0head1head2head3";
  ASSERT_EQ(send_buf(c.client.get(), msgs, 20), 20);
  // All four have arrived before the first receive.
  EXPECT_TRUE(eventually([&] {
    int n = 0;
    return ioctl(sock_os_fd(c.server.get(), 0), FIONREAD, &n) == 0 && n == 20;
  }));
  char m[5];
  ASSERT_EQ(recv_buf(c.server.get(), m, 5), 5);
  EXPECT_EQ(std::string(m, 5), "head0");
  struct pollfd p = {sock_os_fd(c.server.get(), 0), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "the first receive left messages with the OS";
  for (int i = 1; i < 4; i++) {
    ASSERT_EQ(recv_buf(c.server.get(), m, 5, MSG_DONTWAIT), 5) << i;
    EXPECT_EQ(std::string(m, 5), "head" + std::to_string(i));
  }
  EXPECT_EQ(recv_buf(c.server.get(), m, 5, MSG_DONTWAIT), -EAGAIN);
}

INSTANTIATE_TEST_SUITE_P(PlatformNetLoopback, PlatformNetTcp, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto &info) {
                           return std::string(family_of(info.param) == AF_INET ? "IPv4" : "IPv6");
                         });

TEST(PlatformNetErrors, CallsReturnTheKernelsErrors) {
  // A port nobody listens on: take one from a listener that is then closed.
  u16 dead_port;
  {
    Sock l = listen_on("127.0.0.1");
    ASSERT_TRUE(l);
    dead_port = port_of(l.get());
  }
  Sock refused = make_sock(AF_INET);
  Sock plain = make_sock(AF_INET);
  Sock l = listen_on("127.0.0.1");
  ASSERT_TRUE(refused && plain && l);
  struct socket *s = nullptr;
  Addr taken = ip("127.0.0.1", port_of(l.get()));
  Sock second = make_sock(AF_INET);
  ASSERT_TRUE(second);
  char b[4];
  struct {
    const char *what;
    int got, want;
  } cases[] = {
      {"connect to a closed port", connect_to(refused.get(), "127.0.0.1", dead_port),
       -ECONNREFUSED},
      {"unknown family", sock_create_kern(1, SOCK_STREAM, 0, &s), -EAFNOSUPPORT},
      {"accept on a socket not listening", kernel_accept(plain.get(), &s, 0), -EINVAL},
      {"non-blocking accept with nothing queued", kernel_accept(l.get(), &s, O_NONBLOCK), -EAGAIN},
      {"bind a bound socket again", kernel_bind(l.get(), taken.sa(), taken.len), -EINVAL},
      {"bind a port another socket listens on", kernel_bind(second.get(), taken.sa(), taken.len),
       -EADDRINUSE},
      {"receive on a socket never connected", recv_buf(plain.get(), b, sizeof(b)), -ENOTCONN},
      {"keepalive probes out of range",
       [&] {
         int zero = 0;
         return kernel_setsockopt(plain.get(), SOL_TCP, TCP_KEEPCNT, &zero, sizeof(zero));
       }(),
       -EINVAL},
  };
  for (auto &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(s, nullptr);
}

TEST(PlatformNetErrors, OutOfMemoryFailsCleanlyAndLosesNoConnection) {
  long outstanding = alloc_outstanding();
  int fds = count_open_fds();
  struct socket *s = reinterpret_cast<struct socket *>(1);
  alloc_fault_inject(0, 1, get_current());
  EXPECT_EQ(sock_create_kern(AF_INET, SOCK_STREAM, IPPROTO_TCP, &s), -ENOMEM);
  alloc_fault_clear();
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(alloc_outstanding(), outstanding);
  EXPECT_EQ(count_open_fds(), fds);

  // An accept without memory leaves the connection queued for the next one.
  Sock l = listen_on("127.0.0.1");
  Sock client = make_sock(AF_INET);
  ASSERT_TRUE(l && client);
  ASSERT_EQ(connect_to(client.get(), "127.0.0.1", port_of(l.get())), 0);
  alloc_fault_inject(0, 1, get_current());
  EXPECT_EQ(kernel_accept(l.get(), &s, 0), -ENOMEM);
  alloc_fault_clear();
  EXPECT_EQ(s, nullptr);
  ASSERT_EQ(kernel_accept(l.get(), &s, 0), 0);
  Sock server(s);
  EXPECT_EQ(peername(server.get()), sockname(client.get()));
}

// --- signals ---

class PlatformNetSignals : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_ = connect_pair("127.0.0.1");
    ASSERT_TRUE(conn_.server && conn_.client);
  }
  struct socket *server() {
    return conn_.server.get();
  }
  struct socket *client() {
    return conn_.client.get();
  }
  int recv_some(int flags = 0) { return recv_buf(server(), buf_, sizeof(buf_), flags); }
  OnExit unblock_server() {
    return OnExit{[this] { kernel_sock_shutdown(server(), SHUT_RDWR); }};
  }

  Conn conn_;
  char buf_[10] = {};
};

TEST_F(PlatformNetSignals, SigtermPostedFromAnotherThreadEndsABlockingReceive) {
  BlockedCall call([] { allow_signal(SIGTERM); }, [this] { return recv_some(); });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(call.wait_blocked());
  send_sig(SIGTERM, call.task(), 1);
  ASSERT_TRUE(call.finish(5000)) << "SIGTERM did not end the receive";
  EXPECT_EQ(call.result(), -ERESTARTSYS);
  EXPECT_TRUE(sigismember_pending(call.task(), SIGTERM)) << "the signal stays pending";
}

TEST_F(PlatformNetSignals, APendingSignalEndsTheCallThatWouldWaitButNotOneThatHasData) {
  ASSERT_EQ(send_buf(client(), "abc", 3), 3);
  struct pollfd arrived = {sock_os_fd(server(), 0), POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1);
  std::atomic<int> with_data{0}, accept_result{0};
  std::atomic<bool> accepted_null{false};
  BlockedCall call([] { allow_signal(SIGTERM); },
                   [&] {
                     send_sig(SIGTERM, get_current(), 1);
                     // Data is waiting: the receive returns it, as the kernel's does.
                     with_data = recv_some();
                     struct socket *s = reinterpret_cast<struct socket *>(1);
                     accept_result = kernel_accept(conn_.listener.get(), &s, 0);
                     accepted_null = s == nullptr;
                     return recv_some();
                   });
  OnExit unblock = unblock_server();
  OnExit unblock_accept{[this] { kernel_sock_shutdown(conn_.listener.get(), SHUT_RDWR); }};
  ASSERT_TRUE(call.finish(5000)) << "a pending signal did not end the calls at once";
  EXPECT_EQ(with_data.load(), 3);
  EXPECT_EQ(accept_result.load(), -ERESTARTSYS);
  EXPECT_TRUE(accepted_null.load());
  EXPECT_EQ(call.result(), -ERESTARTSYS);
}

TEST_F(PlatformNetSignals, OnlySignal24EndsAReceiveThatBlocksAllOthers) {
  BlockedCall call([] { set_current_blocked(kAllBut24); }, [this] { return recv_some(); });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(call.wait_blocked());
  send_sig(SIGTERM, call.task(), 1);
  EXPECT_FALSE(call.finish(200)) << "a blocked SIGTERM ended the receive";
  EXPECT_TRUE(sleeps_in_poll(task_pid_nr(call.task())));
  send_sig(SIGXCPU, call.task(), 1);
  ASSERT_TRUE(call.finish(5000)) << "signal 24 did not end the receive";
  EXPECT_EQ(call.result(), -ERESTARTSYS);
  EXPECT_TRUE(sigismember_pending(call.task(), SIGTERM));
}

struct SignalTimer {
  struct timer_list timer;
  struct task_struct *task;
  static void fn(struct timer_list *t) {
    SignalTimer *st = from_timer(st, t, timer);
    send_sig(SIGXCPU, st->task, 1);
  }
};

TEST_F(PlatformNetSignals, SignalFromATimerCallbackEndsAReceive) {
  SignalTimer st{};
  timer_setup(&st.timer, SignalTimer::fn, 0);
  BlockedCall call([] { set_current_blocked(kAllBut24); }, [this] { return recv_some(); });
  OnExit unblock = unblock_server();
  OnExit stop_timer{[&] { del_timer_sync(&st.timer); }};
  ASSERT_TRUE(call.wait_blocked());
  st.task = call.task();
  mod_timer(&st.timer, jiffies_now() + HZ / 25);
  ASSERT_TRUE(call.finish(5000)) << "the timer's signal did not end the receive";
  EXPECT_EQ(call.result(), -ERESTARTSYS);
}

TEST_F(PlatformNetSignals, InterruptedCallsThatMovedBytesReturnTheCount) {
  // A receive waiting for all 10 bytes got 4.
  ASSERT_EQ(send_buf(client(), "abcd", 4), 4);
  BlockedCall recv_call([] { allow_signal(SIGTERM); }, [this] { return recv_some(MSG_WAITALL); });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(recv_call.wait_blocked());
  send_sig(SIGTERM, recv_call.task(), 1);
  ASSERT_TRUE(recv_call.finish(5000));
  EXPECT_EQ(recv_call.result(), 4);
  EXPECT_EQ(std::string(buf_, 4), "abcd");

  // A send to a peer that reads nothing fills the buffers and waits.
  std::vector<char> big(64 << 20, 'z');
  BlockedCall send_call([] { set_current_blocked(kAllBut24); },
                        [&] { return send_buf(client(), big.data(), big.size()); });
  OnExit unblock_client{[this] { kernel_sock_shutdown(client(), SHUT_RDWR); }};
  ASSERT_TRUE(send_call.wait_blocked());
  send_sig(SIGXCPU, send_call.task(), 1);
  ASSERT_TRUE(send_call.finish(5000)) << "signal 24 did not end the send";
  EXPECT_GT(send_call.result(), 0);
  EXPECT_LT(send_call.result(), (int)big.size());
}

TEST_F(PlatformNetSignals, SignalsEndABlockingAcceptAndConnect) {
  BlockedCall accept_call([] { allow_signal(SIGTERM); },
                          [this] {
                            struct socket *s = reinterpret_cast<struct socket *>(1);
                            int r = kernel_accept(conn_.listener.get(), &s, 0);
                            return s == nullptr ? r : 1;
                          });
  OnExit unblock_accept{[this] { kernel_sock_shutdown(conn_.listener.get(), SHUT_RDWR); }};
  ASSERT_TRUE(accept_call.wait_blocked());
  send_sig(SIGTERM, accept_call.task(), 1);
  ASSERT_TRUE(accept_call.finish(5000)) << "SIGTERM did not end the accept";
  EXPECT_EQ(accept_call.result(), -ERESTARTSYS);

  // A listener whose queue is full drops further handshakes, so a connect
  // to it waits.
  Sock full = listen_on("127.0.0.1", 0, 0);
  Sock first = make_sock(AF_INET), waiting = make_sock(AF_INET);
  ASSERT_TRUE(full && first && waiting);
  u16 port = port_of(full.get());
  ASSERT_EQ(connect_to(first.get(), "127.0.0.1", port), 0);
  BlockedCall connect_call([] { set_current_blocked(kAllBut24); },
                           [&] { return connect_to(waiting.get(), "127.0.0.1", port); });
  OnExit unblock_connect{[&] { kernel_sock_shutdown(waiting.get(), SHUT_RDWR); }};
  ASSERT_TRUE(connect_call.wait_blocked()) << "the connect did not wait";
  send_sig(SIGXCPU, connect_call.task(), 1);
  ASSERT_TRUE(connect_call.finish(5000)) << "signal 24 did not end the connect";
  EXPECT_EQ(connect_call.result(), -ERESTARTSYS);
}

TEST_F(PlatformNetSignals, ShutdownFromAnotherTaskEndsABlockedReceiveWithZero) {
  BlockedCall call([] { allow_signal(SIGTERM); }, [this] { return recv_some(); });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(call.wait_blocked());
  EXPECT_EQ(kernel_sock_shutdown(server(), SHUT_RDWR), 0);
  ASSERT_TRUE(call.finish(5000)) << "the shutdown did not end the receive";
  EXPECT_EQ(call.result(), 0);
}

// --- host address list ---

class PlatformNetHostAddresses : public ::testing::Test {
 protected:
  void TearDown() override { sock_set_host_addresses(nullptr, 0); }
  static void set(std::vector<const char *> list) {
    ASSERT_EQ(sock_set_host_addresses(list.data(), (int)list.size()), 0);
  }
};

TEST_F(PlatformNetHostAddresses, WildcardListenerTakesExactlyTheHostsAddresses) {
  set({"127.0.0.2", "::1", "127.0.0.3"});
  Sock l = listen_on("0.0.0.0");
  ASSERT_TRUE(l);
  u16 port = port_of(l.get());
  EXPECT_EQ(sockname(l.get()), "0.0.0.0:" + std::to_string(port));
  EXPECT_LT(sock_os_fd(l.get(), 2), 0) << "only the IPv4 addresses";

  for (const char *to : {"127.0.0.3", "127.0.0.2"}) {
    SCOPED_TRACE(to);
    Sock c = make_sock(AF_INET);
    ASSERT_TRUE(c);
    ASSERT_EQ(connect_to(c.get(), to, port), 0);
    struct socket *s = nullptr;
    ASSERT_EQ(kernel_accept(l.get(), &s, 0), 0);
    Sock accepted(s);
    EXPECT_EQ(sockname(accepted.get()), std::string(to) + ":" + std::to_string(port));
    // The unbound client left from the host's first address.
    EXPECT_EQ(host_of(peername(accepted.get())), "127.0.0.2");
    EXPECT_EQ(host_of(sockname(c.get())), "127.0.0.2");
  }
  Sock other = make_sock(AF_INET);
  ASSERT_TRUE(other);
  EXPECT_EQ(connect_to(other.get(), "127.0.0.1", port), -ECONNREFUSED)
      << "the wildcard listener must not listen on 127.0.0.1";
}

TEST_F(PlatformNetHostAddresses, OptionsSetBeforeTheBindReachEveryListeningSocket) {
  set({"127.0.0.2", "127.0.0.3"});
  Sock l = make_sock(AF_INET);
  ASSERT_TRUE(l);
  int idle = 77;
  struct klinger lg = {1, 0};
  ASSERT_EQ(kernel_setsockopt(l.get(), SOL_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)), 0);
  ASSERT_EQ(kernel_setsockopt(l.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  Addr any = ip("0.0.0.0", 0);
  ASSERT_EQ(kernel_bind(l.get(), any.sa(), any.len), 0);
  ASSERT_GE(sock_os_fd(l.get(), 1), 0);
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(os_intopt(l.get(), SOL_TCP, TCP_KEEPIDLE, i), 77);
    EXPECT_EQ(os_intopt(l.get(), SOL_SOCKET, SO_REUSEADDR, i), 1);
    struct linger got = {};
    socklen_t len = sizeof(got);
    ASSERT_EQ(getsockopt(sock_os_fd(l.get(), i), SOL_SOCKET, SO_LINGER, &got, &len), 0);
    EXPECT_EQ(got.l_onoff, 1);
  }
}

TEST_F(PlatformNetHostAddresses, ExplicitBindsAndTheEmptyListAreLeftAlone) {
  set({"127.0.0.2"});
  Sock l = listen_on("127.0.0.1");  // an explicit address, not the host's
  Sock c = make_sock(AF_INET);
  ASSERT_TRUE(l && c);
  Addr from = ip("127.0.0.4", 0);
  ASSERT_EQ(kernel_bind(c.get(), from.sa(), from.len), 0);
  ASSERT_EQ(connect_to(c.get(), "127.0.0.1", port_of(l.get())), 0);
  EXPECT_EQ(host_of(sockname(c.get())), "127.0.0.4");

  // A bad list is refused and the old one kept.
  const char *bad[] = {"127.0.0.9", "not-an-address"};
  EXPECT_EQ(sock_set_host_addresses(bad, 2), -EINVAL);
  Sock kept = listen_on("0.0.0.0");
  ASSERT_TRUE(kept);
  EXPECT_LT(sock_os_fd(kept.get(), 1), 0);
  Sock to_kept = make_sock(AF_INET);
  ASSERT_TRUE(to_kept);
  EXPECT_EQ(connect_to(to_kept.get(), "127.0.0.1", port_of(kept.get())), -ECONNREFUSED);

  // Without a list a wildcard bind is a real one.
  sock_set_host_addresses(nullptr, 0);
  Sock wild = listen_on("0.0.0.0");
  Sock c2 = make_sock(AF_INET);
  ASSERT_TRUE(wild && c2);
  ASSERT_EQ(connect_to(c2.get(), "127.0.0.5", port_of(wild.get())), 0);
  struct socket *s = nullptr;
  ASSERT_EQ(kernel_accept(wild.get(), &s, 0), 0);
  Sock accepted(s);
  EXPECT_EQ(host_of(sockname(accepted.get())), "127.0.0.5");
  // ... and an unbound connect leaves from the address the route gives.
  EXPECT_EQ(host_of(peername(accepted.get())), "127.0.0.1");
}

// --- calls bounded by a deadline ---

class PlatformNetDeadlines : public PlatformNetSignals {
 protected:
  void TearDown() override { clock_set_automatic(); }
  static unsigned long soon() { return jiffies_now() + HZ / 10; }
};

// Each blocking call that cannot finish ends at its deadline with -ETIME,
// whatever it had moved, and reports what it moved; a blocked SIGTERM posted
// meanwhile neither ends it nor is lost.
TEST_F(PlatformNetDeadlines, CallsThatCannotFinishEndAtTheDeadlineWithMinus62) {
  std::vector<char> big(64 << 20, 'q');
  Sock full = listen_on("127.0.0.1", 0, 0);
  Sock first = make_sock(AF_INET), waiting = make_sock(AF_INET);
  ASSERT_TRUE(full && first && waiting);
  u16 full_port = port_of(full.get());
  ASSERT_EQ(connect_to(first.get(), "127.0.0.1", full_port), 0);
  ASSERT_EQ(send_buf(client(), "abcd", 4), 4);

  struct Case {
    const char *name;
    std::function<int(size_t *moved)> call;
    bool moves_bytes;  // the call had moved some bytes when its time ran out
  } cases[] = {
      {"receive of more than arrived",
       [&](size_t *moved) {
         struct kvec v = {buf_, sizeof(buf_)};
         return kernel_recvmsg_deadline(server(), nullptr, &v, 1, sizeof(buf_), MSG_WAITALL,
                                        soon(), moved);
       },
       true},
      {"receive when nothing comes",
       [&](size_t *moved) {
         struct kvec v = {buf_, sizeof(buf_)};
         return kernel_recvmsg_deadline(server(), nullptr, &v, 1, sizeof(buf_), 0, soon(), moved);
       },
       false},
      {"connect that gets no answer",
       [&](size_t *moved) {
         Addr a = ip("127.0.0.1", full_port);
         *moved = 0;
         return kernel_connect_deadline(waiting.get(), a.sa(), a.len, soon());
       },
       false},
      {"send to a peer that reads nothing",
       [&](size_t *moved) {
         struct kvec v = {big.data(), big.size()};
         return kernel_sendmsg_deadline(client(), nullptr, &v, 1, big.size(), soon(), moved);
       },
       true},
  };
  OnExit unblock{[&] {
    kernel_sock_shutdown(client(), SHUT_RDWR);
    kernel_sock_shutdown(server(), SHUT_RDWR);
    kernel_sock_shutdown(waiting.get(), SHUT_RDWR);
  }};
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<size_t> moved{~(size_t)0};
    std::atomic<bool> sigterm_kept{false};
    KThread t([&] {
      allow_signal(SIGTERM);
      sigset_k old = set_current_blocked(kAllBut24);
      send_sig(SIGTERM, get_current(), 1);
      size_t m = ~(size_t)0;
      int r = c.call(&m);
      moved = m;
      sigterm_kept = sigismember_pending(get_current(), SIGTERM) != 0;
      set_current_blocked(old);
      flush_signals(get_current());
      return r;
    });
    ASSERT_TRUE(t.wait_done(20000)) << "the deadline did not end the call";
    EXPECT_EQ(t.result(), -ETIME);
    EXPECT_TRUE(sigterm_kept.load());
    if (c.moves_bytes)
      EXPECT_GT(moved.load(), 0u);
    else
      EXPECT_EQ(moved.load(), 0u);
  }
  EXPECT_EQ(std::string(buf_, 4), "abcd") << "the receive kept what it had";
}

TEST_F(PlatformNetDeadlines, ACallThatCanFinishIgnoresItsDeadlineAndSignal24StillEndsOne) {
  // Data already there is taken even with the deadline passed.
  ASSERT_EQ(send_buf(client(), "xyz", 3), 3);
  struct pollfd arrived = {sock_os_fd(server(), 0), POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1);
  size_t moved = 0;
  struct kvec v = {buf_, 3};
  EXPECT_EQ(kernel_recvmsg_deadline(server(), nullptr, &v, 1, 3, 0, jiffies_now() - 1, &moved), 3);
  EXPECT_EQ(moved, 3u);
  EXPECT_EQ(std::string(buf_, 3), "xyz");
  struct kvec sv = {const_cast<char *>("ok"), 2};
  EXPECT_EQ(kernel_sendmsg_deadline(client(), nullptr, &sv, 1, 2, jiffies_now() - 1, &moved), 2);
  EXPECT_EQ(moved, 2u);

  // Signal 24, left unblocked, ends a call long before its deadline.
  BlockedCall call([] { set_current_blocked(kAllBut24); },
                   [this] {
                     char b[16];
                     struct kvec rv = {b, sizeof(b)};
                     return kernel_recvmsg_deadline(server(), nullptr, &rv, 1, sizeof(b),
                                                    MSG_WAITALL, jiffies_now() + 3600UL * HZ,
                                                    nullptr);
                   });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(call.wait_blocked());
  send_sig(SIGXCPU, call.task(), 1);
  ASSERT_TRUE(call.finish(5000)) << "signal 24 did not end the receive";
  EXPECT_EQ(call.result(), 2) << "it returns what it had received, as without a deadline";
}

TEST_F(PlatformNetDeadlines, TheDeadlineFollowsAClockDrivenByHand) {
  clock_set_manual(get_jiffies_64());
  unsigned long deadline = jiffies_now() + HZ;
  BlockedCall call([] {},
                   [&] {
                     struct kvec v = {buf_, sizeof(buf_)};
                     return kernel_recvmsg_deadline(server(), nullptr, &v, 1, sizeof(buf_), 0,
                                                    deadline, nullptr);
                   });
  OnExit unblock = unblock_server();
  ASSERT_TRUE(call.wait_blocked());
  // Real time passes, the platform clock does not: the call goes on.
  EXPECT_FALSE(call.finish(500));
  clock_advance(HZ / 2);
  EXPECT_FALSE(call.finish(500));
  clock_advance(HZ);
  ASSERT_TRUE(call.finish(20000)) << "the clock passed the deadline, the call went on";
  EXPECT_EQ(call.result(), -ETIME);
}

TEST_P(PlatformNetTcp, EveryTcpSocketSendsWithoutNagleAndOneSendTakesAnyNumberOfVectors) {
  Conn c = connect_pair(GetParam());
  ASSERT_TRUE(c.server && c.client);
  EXPECT_EQ(os_intopt(c.client.get(), SOL_TCP, TCP_NODELAY), 1) << "made";
  EXPECT_EQ(os_intopt(c.server.get(), SOL_TCP, TCP_NODELAY), 1) << "accepted";

  // More vectors than the OS takes in one call.
  const size_t n = 3000;
  std::vector<std::vector<unsigned char>> pieces(n);
  std::vector<struct kvec> v(n);
  std::vector<unsigned char> want;
  for (size_t i = 0; i < n; i++) {
    pieces[i].assign(1 + i % 11, (unsigned char)(i * 31));
    v[i] = {pieces[i].data(), pieces[i].size()};
    want.insert(want.end(), pieces[i].begin(), pieces[i].end());
  }
  ASSERT_EQ(kernel_sendmsg(c.client.get(), nullptr, v.data(), n, want.size()), (int)want.size());
  std::vector<unsigned char> got(want.size());
  struct kvec rv = {got.data(), got.size()};
  EXPECT_EQ(kernel_recvmsg(c.server.get(), nullptr, &rv, 1, got.size(), MSG_WAITALL),
            (int)got.size());
  EXPECT_TRUE(got == want) << "bytes differ";
}

// --- options ---

TEST(PlatformNetOptions, OptionsTakeEffectOnTheOsSocket) {
  Conn c = connect_pair("127.0.0.1");
  ASSERT_TRUE(c.server);
  struct socket *s = c.server.get();
  struct {
    int level, name, value;
  } opts[] = {
      {SOL_TCP, TCP_KEEPCNT, 3},     {SOL_TCP, TCP_KEEPIDLE, 30},   {SOL_TCP, TCP_KEEPINTVL, 2},
      {SOL_SOCKET, SO_KEEPALIVE, 1}, {SOL_SOCKET, SO_REUSEADDR, 1}, {SOL_TCP, TCP_NODELAY, 1},
  };
  for (auto &o : opts) {
    SCOPED_TRACE(testing::Message() << o.level << "/" << o.name);
    ASSERT_EQ(kernel_setsockopt(s, o.level, o.name, &o.value, sizeof(o.value)), 0);
    EXPECT_EQ(os_intopt(s, o.level, o.name), o.value);
  }

  // Stopping the keepalive timer switches keepalive off; restarting it
  // switches it on again with the idle time kept.
  inet_csk_delete_keepalive_timer(s->sk);
  EXPECT_EQ(os_intopt(s, SOL_SOCKET, SO_KEEPALIVE), 0);
  inet_csk_reset_keepalive_timer(s->sk, 30 * HZ);
  EXPECT_EQ(os_intopt(s, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(os_intopt(s, SOL_TCP, TCP_KEEPIDLE), 30);
}

TEST(PlatformNetOptions, LingerZeroMakesTheCloseResetTheConnection) {
  Conn c = connect_pair("127.0.0.1");
  ASSERT_TRUE(c.server);
  struct klinger lg = {1, 0};
  ASSERT_EQ(kernel_setsockopt(c.server.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  c.server.reset();
  char b[4];
  Watchdog wd(get_current(), 5000);
  EXPECT_EQ(recv_buf(c.client.get(), b, sizeof(b)), -ECONNRESET);
  EXPECT_FALSE(wd.fired());
  clear_pending_signal(get_current(), SIGXCPU);
}

// --- raw ICMP ---

u16 internet_checksum(const unsigned char *p, size_t n) {
  u32 sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += (u32)(p[i] | (p[i + 1] << 8));
  if (n & 1) sum += p[n - 1];
  sum = (sum >> 16) + (sum & 0xffff);
  sum += sum >> 16;
  return (u16)~sum;
}

class PlatformNetIcmp : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "raw ICMP sockets need root (CAP_NET_RAW)";
    if (family_of(GetParam()) == AF_INET6 && !ipv6_loopback_available())
      GTEST_SKIP() << "IPv6 loopback (::1) is not available here";
  }
};

TEST_P(PlatformNetIcmp, EchoRequestToLoopbackIsAnswered) {
  const char *host = GetParam();
  bool v6 = family_of(host) == AF_INET6;
  Sock s =
      make_sock(v6 ? AF_INET6 : AF_INET, SOCK_RAW, v6 ? (int)IPPROTO_ICMPV6 : (int)IPPROTO_ICMP);
  ASSERT_TRUE(s);
  Addr self = ip(host, 0), peer = ip(host, 0);
  ASSERT_EQ(kernel_bind(s.get(), self.sa(), self.len), 0);
  ASSERT_EQ(kernel_connect(s.get(), peer.sa(), peer.len, 0), 0);

  const u16 id = (u16)(0x4d00 ^ (getpid() & 0xff));
  unsigned char req[64] = {};
  req[0] = v6 ? 128 : 8;
  memcpy(req + 4, &id, 2);
  req[7] = 42;
  u16 ck = internet_checksum(req, sizeof(req));
  memcpy(req + 2, &ck, 2);
  struct kvec v = {req, sizeof(req)};
  struct kmsghdr m = {peer.sa(), peer.len, 0};
  ASSERT_EQ(kernel_sendmsg(s.get(), &m, &v, 1, sizeof(req)), (int)sizeof(req));

  // Every ICMP message of the host arrives here, our own request among them.
  Watchdog wd(get_current(), 5000);
  bool answered = false;
  for (int i = 0; i < 100 && !answered; i++) {
    unsigned char pkt[512];
    Addr from;
    struct kvec rv = {pkt, sizeof(pkt)};
    struct kmsghdr rm = {&from.ss, (int)sizeof(from.ss), 0};
    int n = kernel_recvmsg(s.get(), &rm, &rv, 1, sizeof(pkt), 0);
    ASSERT_GT(n, 0) << "no echo reply (" << n << ")";
    size_t off = 0;
    if (!v6) {
      ASSERT_EQ(pkt[0] >> 4, 4) << "an IPv4 raw receive starts with the IP header";
      off = (pkt[0] & 0x0f) * 4u;
    }
    ASSERT_GE((size_t)n, off + 8);
    u16 got_id;
    memcpy(&got_id, pkt + off + 4, 2);
    if (pkt[off] == (v6 ? 129 : 0) && got_id == id) {
      answered = true;
      EXPECT_EQ(pkt[off + 7], 42);
      EXPECT_EQ(host_of(text_of(from.ss)), host);
      EXPECT_EQ(rm.msg_namelen,
                v6 ? (int)sizeof(struct ksockaddr_in6) : (int)sizeof(struct ksockaddr_in));
    }
  }
  EXPECT_TRUE(answered);
  EXPECT_FALSE(wd.fired());
  clear_pending_signal(get_current(), SIGXCPU);
}

INSTANTIATE_TEST_SUITE_P(PlatformNetLoopback, PlatformNetIcmp,
                         ::testing::Values("127.0.0.1", "::1"), [](const auto &info) {
                           return std::string(family_of(info.param) == AF_INET ? "IPv4" : "IPv6");
                         });

// --- fault injection ---

// A connection from 127.0.0.2 to a listener on 127.0.0.1, so that each
// direction has its own address pair; the table is emptied afterwards.
class PlatformNetFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = listen_on("127.0.0.1");
    ASSERT_TRUE(listener_);
    port_ = port_of(listener_.get());
    client_ = client_from("127.0.0.2");
    ASSERT_TRUE(client_);
    ASSERT_EQ(connect_to(client_.get(), "127.0.0.1", port_), 0);
    struct socket *s = nullptr;
    ASSERT_EQ(kernel_accept(listener_.get(), &s, 0), 0);
    server_.reset(s);
  }
  void TearDown() override {
    sock_fault_clear();
    clock_set_automatic();
  }
  static Sock client_from(const char *host) {
    Sock c = make_sock(AF_INET);
    Addr a = ip(host, 0);
    EXPECT_EQ(kernel_bind(c.get(), a.sa(), a.len), 0);
    return c;
  }
  static unsigned long soon() { return jiffies_now() + HZ / 10; }
  Sock listener_, client_, server_;
  u16 port_ = 0;
};

// A failed operation fails for its own pair and direction only; clearing the
// table lets the same sockets go on.
TEST_F(PlatformNetFaults, FailEndsTheCallOfItsPairAndDirectionOnly) {
  char buf[8] = {};
  struct Row {
    const char *what;
    const char *local, *remote;
    int op;
    std::function<int()> faulted, other;  // the call of the pair, one of another
    int want;
  } rows[] = {
      {"connect", "127.0.0.2", "127.0.0.1", SOCK_FAULT_CONNECT,
       [&] { return connect_to(client_from("127.0.0.2").get(), "127.0.0.1", port_); },
       [&] { return connect_to(client_from("127.0.0.3").get(), "127.0.0.1", port_); },
       -ENETUNREACH},
      {"send", "127.0.0.2", "127.0.0.1", SOCK_FAULT_SEND,
       [&] { return send_buf(client_.get(), "abc", 3); },
       [&] { return send_buf(server_.get(), "abc", 3); }, -ECONNRESET},
      {"receive", "127.0.0.1", "*", SOCK_FAULT_RECV,
       [&] {
         send_buf(client_.get(), "abc", 3);
         return recv_buf(server_.get(), buf, 3, MSG_WAITALL);
       },
       [&] {
         send_buf(server_.get(), "abc", 3);
         return recv_buf(client_.get(), buf, 3, MSG_WAITALL);
       },
       -ECONNRESET},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(sock_fault_set(r.local, r.remote, r.op, SOCK_FAULT_FAIL), 0);
    EXPECT_EQ(r.faulted(), r.want);
    EXPECT_GE(r.other(), 0) << "another pair or direction is not touched";
    sock_fault_clear();
    EXPECT_GE(r.faulted(), 0) << "cleared, the call goes through";
    // Whatever the row sent is taken off again.
    recv_buf(server_.get(), buf, sizeof(buf), MSG_DONTWAIT);
    recv_buf(client_.get(), buf, sizeof(buf), MSG_DONTWAIT);
  }
  EXPECT_EQ(sock_fault_set("127.0.0.1", "no address", SOCK_FAULT_SEND, SOCK_FAULT_FAIL), -EINVAL);
  EXPECT_EQ(sock_fault_set("*", "*", SOCK_FAULT_OPS, SOCK_FAULT_FAIL), -EINVAL);
  EXPECT_EQ(sock_fault_set("*", "*", SOCK_FAULT_SEND, 3), -EINVAL);
}

// A blackholed call makes no progress: it ends at its deadline (the bytes
// stay where they were) or with -EAGAIN / -EINPROGRESS when it may not wait.
TEST_F(PlatformNetFaults, BlackholeHoldsTheCallUntilItsDeadline) {
  ASSERT_EQ(send_buf(client_.get(), "abcd", 4), 4);
  struct pollfd arrived = {sock_os_fd(server_.get(), 0), POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1);
  ASSERT_EQ(sock_fault_set("*", "*", SOCK_FAULT_CONNECT, SOCK_FAULT_BLACKHOLE), 0);
  ASSERT_EQ(sock_fault_set("*", "*", SOCK_FAULT_SEND, SOCK_FAULT_BLACKHOLE), 0);
  ASSERT_EQ(sock_fault_set("*", "*", SOCK_FAULT_RECV, SOCK_FAULT_BLACKHOLE), 0);
  char buf[8] = {};
  size_t moved = 99;
  struct kvec rv = {buf, 4};
  EXPECT_EQ(kernel_recvmsg_deadline(server_.get(), nullptr, &rv, 1, 4, 0, soon(), &moved), -ETIME);
  EXPECT_EQ(moved, 0u);
  struct kvec sv = {const_cast<char *>("xy"), 2};
  EXPECT_EQ(kernel_sendmsg_deadline(client_.get(), nullptr, &sv, 1, 2, soon(), &moved), -ETIME);
  EXPECT_EQ(moved, 0u);
  Sock c = client_from("127.0.0.2");
  Addr a = ip("127.0.0.1", port_);
  EXPECT_EQ(kernel_connect_deadline(c.get(), a.sa(), a.len, soon()), -ETIME);
  EXPECT_EQ(kernel_connect(c.get(), a.sa(), a.len, O_NONBLOCK), -EINPROGRESS);
  EXPECT_EQ(recv_buf(server_.get(), buf, 4, MSG_DONTWAIT), -EAGAIN);
  sock_fault_clear();
  EXPECT_EQ(recv_buf(server_.get(), buf, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd") << "the bytes held back were not lost";
}

// A receive that waits when its pair goes black stays blocked although data
// arrives, ends on a signal, and goes on with the data once the fault is
// cleared.
TEST_F(PlatformNetFaults, ABlockedReceiveStaysHeldAndGoesOnWhenCleared) {
  char got[8] = {};
  BlockedCall held([] {}, [&] { return recv_buf(server_.get(), got, 4, MSG_WAITALL); });
  BlockedCall ended([] { allow_signal(SIGTERM); },
                    [&] {
                      char b[4];
                      return recv_buf(client_.get(), b, 4, MSG_WAITALL);
                    });
  OnExit unblock{[&] {
    sock_fault_clear();
    kernel_sock_shutdown(server_.get(), SHUT_RDWR);
    kernel_sock_shutdown(client_.get(), SHUT_RDWR);
  }};
  ASSERT_TRUE(held.wait_blocked());
  ASSERT_TRUE(ended.wait_blocked());
  ASSERT_EQ(sock_fault_set("*", "*", SOCK_FAULT_RECV, SOCK_FAULT_BLACKHOLE), 0);
  ASSERT_EQ(send_buf(client_.get(), "wxyz", 4), 4);
  ASSERT_EQ(send_buf(server_.get(), "1234", 4), 4);
  EXPECT_FALSE(held.finish(300)) << "the held receive took the data";
  send_sig(SIGTERM, ended.task(), 1);
  ASSERT_TRUE(ended.finish(5000)) << "SIGTERM did not end a held receive";
  EXPECT_EQ(ended.result(), -ERESTARTSYS);
  sock_fault_clear();
  ASSERT_TRUE(held.finish(5000)) << "the receive did not go on once cleared";
  EXPECT_EQ(held.result(), 4);
  EXPECT_EQ(std::string(got, 4), "wxyz");
}

// An echo between a faulted pair does not leave (blackhole) or fails, and
// nothing the raw socket receives from the remote address gets through,
// neither the answer nor the remote's own echo requests.
TEST_F(PlatformNetFaults, EchoFaultsSilenceIcmpBetweenThePair) {
  if (geteuid() != 0) GTEST_SKIP() << "raw ICMP sockets need root (CAP_NET_RAW)";
  auto raw = [](const char *self, const char *peer) {
    Sock s = make_sock(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    Addr a = ip(self, 0), b = ip(peer, 0);
    EXPECT_EQ(kernel_bind(s.get(), a.sa(), a.len), 0);
    EXPECT_EQ(kernel_connect(s.get(), b.sa(), b.len, 0), 0);
    return s;
  };
  Sock here = raw("127.0.0.1", "127.0.0.2"), there = raw("127.0.0.2", "127.0.0.1");
  ASSERT_TRUE(here && there);
  u16 id = (u16)(0x5e00 ^ (getpid() & 0xff));
  auto echo = [&](struct socket *s, u8 seq) {
    unsigned char req[64] = {};
    req[0] = 8;
    memcpy(req + 4, &id, 2);
    req[7] = seq;
    u16 ck = internet_checksum(req, sizeof(req));
    memcpy(req + 2, &ck, 2);
    struct kvec v = {req, sizeof(req)};
    return kernel_sendmsg(s, nullptr, &v, 1, sizeof(req));
  };
  // What `here` receives from 127.0.0.2 with our id until nothing more comes
  // for a while: the ICMP types seen.
  auto heard = [&] {
    std::vector<int> types;
    for (int i = 0; i < 200; i++) {
      unsigned char pkt[512];
      Addr from;
      struct kvec rv = {pkt, sizeof(pkt)};
      struct kmsghdr rm = {&from.ss, (int)sizeof(from.ss), 0};
      int n = kernel_recvmsg_deadline(here.get(), &rm, &rv, 1, sizeof(pkt), 0,
                                      jiffies_now() + HZ / 2, nullptr);
      if (n == -ETIME) break;
      EXPECT_GT(n, 0);
      if (n <= 0) break;
      size_t off = (pkt[0] & 0x0f) * 4u;
      u16 got_id;
      memcpy(&got_id, pkt + off + 4, 2);
      if (host_of(text_of(from.ss)) == "127.0.0.2" && got_id == id) types.push_back(pkt[off]);
    }
    return types;
  };
  ASSERT_EQ(sock_fault_set("127.0.0.1", "127.0.0.2", SOCK_FAULT_ECHO, SOCK_FAULT_FAIL), 0);
  EXPECT_EQ(echo(here.get(), 1), -ENETUNREACH);
  ASSERT_EQ(sock_fault_set("127.0.0.1", "127.0.0.2", SOCK_FAULT_ECHO, SOCK_FAULT_BLACKHOLE), 0);
  EXPECT_EQ(echo(here.get(), 2), 64) << "a dropped echo counts as sent";
  EXPECT_EQ(echo(there.get(), 3), 64) << "the pair 127.0.0.2 - 127.0.0.1 has no fault";
  EXPECT_EQ(heard(), std::vector<int>{}) << "neither an answer nor the remote's request came in";
  sock_fault_clear();
  EXPECT_EQ(echo(here.get(), 4), 64);
  EXPECT_EQ(echo(there.get(), 5), 64);
  std::vector<int> types = heard();
  EXPECT_NE(std::find(types.begin(), types.end(), 0), types.end()) << "the answer";
  EXPECT_NE(std::find(types.begin(), types.end(), 8), types.end()) << "the remote's request";
}

}  // namespace
