// Kernel sockets over the OS's sockets.
//
// Every OS socket is non-blocking; a blocking call tries the operation and,
// when it would block, waits in poll() on the socket and on the calling
// task's wake-up eventfd, which a posted signal writes.

// The C library's socket headers come before net.h (see there).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

// clang-format off
#include "net.h"
// clang-format on

#include "internal.h"
#include "kerrno.h"
#include "slab.h"
#include "task.h"
#include "net_host.h"

static_assert(sizeof(struct ksockaddr) == sizeof(struct sockaddr));
static_assert(sizeof(struct ksockaddr_in) == sizeof(struct sockaddr_in));
static_assert(offsetof(struct ksockaddr_in, sin_port) == offsetof(struct sockaddr_in, sin_port));
static_assert(offsetof(struct ksockaddr_in, sin_addr) == offsetof(struct sockaddr_in, sin_addr));
static_assert(sizeof(struct ksockaddr_in6) == sizeof(struct sockaddr_in6));
static_assert(offsetof(struct ksockaddr_in6, sin6_flowinfo) ==
              offsetof(struct sockaddr_in6, sin6_flowinfo));
static_assert(offsetof(struct ksockaddr_in6, sin6_addr) ==
              offsetof(struct sockaddr_in6, sin6_addr));
static_assert(offsetof(struct ksockaddr_in6, sin6_scope_id) ==
              offsetof(struct sockaddr_in6, sin6_scope_id));
static_assert(sizeof(struct ksockaddr_storage) == sizeof(struct sockaddr_storage));
static_assert(alignof(struct ksockaddr_storage) == alignof(struct sockaddr_storage));
static_assert(sizeof(struct klinger) == sizeof(struct linger));
static_assert(AF_INET == 2 && AF_INET6 == 10 && SOCK_STREAM == 1 && SOCK_RAW == 3);
static_assert(IPPROTO_TCP == 6 && IPPROTO_ICMP == 1 && IPPROTO_ICMPV6 == 58);
static_assert(MSG_DONTWAIT == 0x40 && MSG_WAITALL == 0x100 && MSG_NOSIGNAL == 0x4000);
static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2);

namespace {

struct sockopt_rec {
  int level, name;
  std::vector<unsigned char> val;
};

// A host address, port 0.
struct host_addr {
  int family;
  struct sockaddr_storage ss;
  socklen_t len;
};

std::mutex host_mu;
// Guarded by host_mu; never destroyed, as sockets may outlive main().
std::vector<host_addr> &host_addrs = *new std::vector<host_addr>;

std::vector<host_addr> host_addrs_of(int family) {
  std::lock_guard<std::mutex> g(host_mu);
  std::vector<host_addr> out;
  for (auto &a : host_addrs)
    if (a.family == family) out.push_back(a);
  return out;
}

bool parse_host_addr(const char *text, host_addr *out) {
  std::string s(text ? text : "");
  std::string scope;
  size_t pct = s.find('%');
  if (pct != std::string::npos) {
    scope = s.substr(pct + 1);
    s.resize(pct);
  }
  memset(out, 0, sizeof(*out));
  auto *in = reinterpret_cast<struct sockaddr_in *>(&out->ss);
  auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&out->ss);
  if (scope.empty() && inet_pton(AF_INET, s.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    out->family = AF_INET;
    out->len = sizeof(*in);
    return true;
  }
  if (inet_pton(AF_INET6, s.c_str(), &in6->sin6_addr) != 1) return false;
  in6->sin6_family = AF_INET6;
  if (!scope.empty()) {
    unsigned idx = if_nametoindex(scope.c_str());
    if (idx == 0) {
      char *end = nullptr;
      unsigned long v = strtoul(scope.c_str(), &end, 10);
      if (!end || *end || v == 0) return false;
      idx = (unsigned)v;
    }
    in6->sin6_scope_id = idx;
  }
  out->family = AF_INET6;
  out->len = sizeof(*in6);
  return true;
}

void set_port(struct sockaddr_storage *ss, u16 port_be) {
  if (ss->ss_family == AF_INET)
    reinterpret_cast<struct sockaddr_in *>(ss)->sin_port = port_be;
  else
    reinterpret_cast<struct sockaddr_in6 *>(ss)->sin6_port = port_be;
}

u16 port_of(const struct sockaddr_storage *ss) {
  if (ss->ss_family == AF_INET) return reinterpret_cast<const struct sockaddr_in *>(ss)->sin_port;
  return reinterpret_cast<const struct sockaddr_in6 *>(ss)->sin6_port;
}

}  // namespace

// Platform state of a struct socket.
struct socket_os {
  std::mutex mu;  // guards everything below
  // The OS sockets: one, or one per host address for a listener bound to the
  // wildcard address of a host with an address list.
  std::vector<int> fds;
  bool bound = false;
  bool host_wildcard = false;  // bound through the host address list
  u16 wildcard_port = 0;       // its port, network order
  // Options set so far (last value of each), given to OS sockets made later.
  std::vector<sockopt_rec> opts;
  unsigned accept_next = 0;  // where the next accept starts looking
  // The destination a raw socket was connected to (family 0: none), which
  // the OS does not tell; the fault table looks at it.
  struct sockaddr_storage dgram_peer {};

  // A stream socket's receive buffer: bytes the OS handed over beyond what
  // a receive asked for, [rx_start, rx_end) of rx_buf, given out first by
  // the next receive. Every receive passes the buffer to the OS behind the
  // caller's vectors, so one system call can bring a message's payload and
  // the heads behind it. Guarded by rx_mu (not mu), which a receive holds
  // only while it takes from the buffer or reads without waiting.
  std::mutex rx_mu;
  char *rx_buf = nullptr;  // kRxBufSize bytes once the socket first receives
  size_t rx_start = 0, rx_end = 0;

  ~socket_os() { delete[] rx_buf; }
};

namespace {

// TCP sends leave at once: a message is handed over whole, so holding its
// last segment back for the peer's acknowledgement (Nagle) only delays it.
void set_nodelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

int os_socket(const struct socket *sock) {
  int fd = ::socket(sock->family, sock->type | SOCK_NONBLOCK | SOCK_CLOEXEC, sock->protocol);
  if (fd >= 0 && sock->type == SOCK_STREAM) set_nodelay(fd);
  return fd;
}

bool is_stream(const struct socket *sock) { return sock->type == SOCK_STREAM; }

void set_reuse(int fd) {
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
}

void replay_opts(const socket_os *os, int fd) {
  for (auto &o : os->opts) setsockopt(fd, o.level, o.name, o.val.data(), (socklen_t)o.val.size());
}

void record_opt(socket_os *os, int level, int name, const void *val, unsigned len) {
  auto *p = static_cast<const unsigned char *>(val);
  for (auto &o : os->opts)
    if (o.level == level && o.name == name) {
      o.val.assign(p, p + len);
      return;
    }
  os->opts.push_back({level, name, std::vector<unsigned char>(p, p + len)});
}

// Allocates an empty socket (no OS socket yet).
struct socket *alloc_socket(int family, int type, int protocol) {
  struct socket *sock = static_cast<struct socket *>(
      kzalloc(sizeof(struct socket) + sizeof(struct sock), GFP_KERNEL));
  if (!sock) return nullptr;
  sock->os = new (std::nothrow) socket_os();
  if (!sock->os) {
    kfree(sock);
    return nullptr;
  }
  sock->family = (short)family;
  sock->type = (short)type;
  sock->protocol = protocol;
  sock->sk = reinterpret_cast<struct sock *>(sock + 1);
  sock->sk->sk_socket = sock;
  sock->sk->sk_allocation = GFP_KERNEL;
  return sock;
}

void free_socket(struct socket *sock) {
  for (int fd : sock->os->fds) close(fd);
  delete sock->os;
  kfree(sock);
}

std::vector<int> fds_of(struct socket *sock) {
  std::lock_guard<std::mutex> g(sock->os->mu);
  return sock->os->fds;
}

int fd0_of(struct socket *sock) {
  std::lock_guard<std::mutex> g(sock->os->mu);
  return sock->os->fds.empty() ? -1 : sock->os->fds[0];
}

// No deadline: the call waits as long as it takes.
constexpr u64 kNoDeadline = ~0ULL;

// Waits until one of the sockets reports one of `events` (or an error), an
// unblocked signal is pending for the calling task, or the deadline (in
// jiffies, kNoDeadline for none) has passed. Returns 0 when a socket is
// ready, -ERESTARTSYS for a signal, -ETIME at the deadline.
int wait_ready(const std::vector<int> &fds, short events, u64 deadline = kNoDeadline) {
  struct task_struct *t = get_current();
  int wfd = plat::task_wake_fd(t);
  std::vector<struct pollfd> p(fds.size() + 1);
  for (;;) {
    // The eventfd exists before this check, so a signal posted after it
    // writes the eventfd and ends the poll below.
    if (signal_pending(t)) return -ERESTARTSYS;
    struct timespec ts;
    struct timespec *tsp = nullptr;
    if (deadline != kNoDeadline) {
      u64 now = get_jiffies_64();
      if ((s64)(now - deadline) >= 0) return -ETIME;
      // In real time under the clock's scale, capped so that a clock that is
      // changed or driven by hand is looked at again soon.
      auto ns = plat::real_wait_for_ticks(deadline - now).count();
      ts.tv_sec = (time_t)(ns / 1000000000);
      ts.tv_nsec = (long)(ns % 1000000000);
      tsp = &ts;
    } else if (wfd < 0) {
      // Without an eventfd, wake now and then to look at the signals.
      ts = {0, 20000000};
      tsp = &ts;
    }
    for (size_t i = 0; i < fds.size(); i++) p[i] = {fds[i], events, 0};
    p[fds.size()] = {wfd, POLLIN, 0};
    nfds_t n = (nfds_t)fds.size() + (wfd >= 0 ? 1 : 0);
    int r = ::ppoll(p.data(), n, tsp, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (r == 0) continue;  // time to look at the deadline again
    if (wfd >= 0 && p[fds.size()].revents) plat::task_drain_wake_fd(t);
    for (size_t i = 0; i < fds.size(); i++) {
      if (p[i].revents & POLLNVAL) return -EBADF;
      if (p[i].revents) return 0;
    }
  }
}

bool would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// The caller's vectors as the OS takes them, with room for one more (a
// receive's buffer).
std::vector<struct iovec> make_iov(struct kvec *vec, size_t num, size_t len) {
  std::vector<struct iovec> iov;
  iov.reserve(num + 1);
  for (size_t i = 0; i < num && len > 0; i++) {
    size_t l = vec[i].iov_len < len ? vec[i].iov_len : len;
    if (l == 0) continue;
    iov.push_back({vec[i].iov_base, l});
    len -= l;
  }
  return iov;
}

// Drops `n` bytes from the front of the vector list starting at *first.
void advance_iov(std::vector<struct iovec> &iov, size_t *first, size_t n) {
  while (n > 0 && *first < iov.size()) {
    struct iovec &v = iov[*first];
    if (n < v.iov_len) {
      v.iov_base = static_cast<char *>(v.iov_base) + n;
      v.iov_len -= n;
      return;
    }
    n -= v.iov_len;
    (*first)++;
  }
}

bool is_wildcard(const struct ksockaddr *addr, int addrlen, int family) {
  if (!addr || addr->sa_family != family) return false;
  if (family == AF_INET && addrlen >= (int)sizeof(struct ksockaddr_in))
    return reinterpret_cast<const struct ksockaddr_in *>(addr)->sin_addr == 0;
  if (family == AF_INET6 && addrlen >= (int)sizeof(struct ksockaddr_in6)) {
    const u8 *a = reinterpret_cast<const struct ksockaddr_in6 *>(addr)->sin6_addr.s6_addr;
    for (int i = 0; i < 16; i++)
      if (a[i]) return false;
    return true;
  }
  return false;
}

// Binds to every host address of the family on the port: fds[0] takes the
// first, new OS sockets the others. On failure the socket is left unbound
// with a fresh OS socket. Called with os->mu held.
int bind_host_wildcard(struct socket *sock, const std::vector<host_addr> &addrs, u16 port_be) {
  socket_os *os = sock->os;
  std::vector<int> made;
  int err = 0;
  for (size_t i = 0; i < addrs.size() && !err; i++) {
    int fd = os->fds[0];
    if (i > 0) {
      fd = os_socket(sock);
      if (fd < 0) {
        err = -errno;
        break;
      }
      made.push_back(fd);
      replay_opts(os, fd);
    }
    set_reuse(fd);
    struct sockaddr_storage ss = addrs[i].ss;
    set_port(&ss, port_be);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&ss), addrs[i].len) < 0) {
      err = -errno;
      break;
    }
    if (i == 0 && port_be == 0) {
      // Every address takes the port the first one was given.
      socklen_t l = sizeof(ss);
      if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &l) < 0) {
        err = -errno;
        break;
      }
      port_be = port_of(&ss);
    }
  }
  if (err) {
    for (int fd : made) close(fd);
    if (!addrs.empty()) {
      // fds[0] may be bound already; a failed bind leaves the socket unbound.
      int fresh = os_socket(sock);
      if (fresh >= 0) {
        replay_opts(os, fresh);
        close(os->fds[0]);
        os->fds[0] = fresh;
      }
    }
    return err;
  }
  os->fds.insert(os->fds.end(), made.begin(), made.end());
  os->bound = true;
  os->host_wildcard = true;
  os->wildcard_port = port_be;
  return 0;
}

int copy_addr_out(const struct sockaddr_storage *ss, socklen_t len, struct ksockaddr *addr) {
  if (len > sizeof(*ss)) len = sizeof(*ss);
  memcpy(addr, ss, len);
  return (int)len;
}

}  // namespace

// --- fault injection ---

namespace {

struct fault_entry {
  host_addr local, remote;  // family 0: any address
  int kind[SOCK_FAULT_OPS];
};

std::mutex fault_mu;
// Guarded by fault_mu; never destroyed, as sockets may outlive main().
std::vector<fault_entry> &faults = *new std::vector<fault_entry>;
// Whether the table has an entry: without one no call looks addresses up.
std::atomic<bool> faults_set{false};

bool parse_fault_addr(const char *text, host_addr *out) {
  if (text && strcmp(text, "*") == 0) {
    memset(out, 0, sizeof(*out));
    return true;
  }
  return parse_host_addr(text, out);
}

bool same_host(const host_addr &want, const struct sockaddr_storage &a) {
  if (want.family == 0) return true;
  if (want.family != a.ss_family) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const struct sockaddr_in *>(&want.ss)->sin_addr.s_addr ==
           reinterpret_cast<const struct sockaddr_in *>(&a)->sin_addr.s_addr;
  return memcmp(&reinterpret_cast<const struct sockaddr_in6 *>(&want.ss)->sin6_addr,
                &reinterpret_cast<const struct sockaddr_in6 *>(&a)->sin6_addr, 16) == 0;
}

// The fault of `op` between the two addresses (a remote of family 0 is
// unknown and matches only "*").
int fault_between(const struct sockaddr_storage &local, const struct sockaddr_storage &remote,
                  int op) {
  std::lock_guard<std::mutex> g(fault_mu);
  for (auto &f : faults)
    if (f.kind[op] != SOCK_FAULT_NONE && same_host(f.local, local) && same_host(f.remote, remote))
      return f.kind[op];
  return SOCK_FAULT_NONE;
}

// The fault of `op` on the OS socket, towards `to` (null: its peer).
int fault_of(int fd, const void *to, int op) {
  if (!faults_set.load(std::memory_order_acquire)) return SOCK_FAULT_NONE;
  struct sockaddr_storage local, remote;
  memset(&local, 0, sizeof(local));
  memset(&remote, 0, sizeof(remote));
  socklen_t l = sizeof(local);
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &l);
  if (to) {
    const auto *sa = static_cast<const struct sockaddr *>(to);
    memcpy(&remote, to, sa->sa_family == AF_INET ? sizeof(struct sockaddr_in)
                                                 : sizeof(struct sockaddr_in6));
  } else {
    l = sizeof(remote);
    getpeername(fd, reinterpret_cast<struct sockaddr *>(&remote), &l);
  }
  return fault_between(local, remote, op);
}

// A blackholed call: waits while the fault stays, until the deadline, an
// unblocked signal or its clearing (then 0). Polls the table, since
// clearing it wakes no one.
int fault_hold(int fd, const void *to, int op, u64 deadline) {
  struct task_struct *t = get_current();
  int wfd = plat::task_wake_fd(t);
  while (fault_of(fd, to, op) == SOCK_FAULT_BLACKHOLE) {
    if (signal_pending(t)) return -ERESTARTSYS;
    if (deadline != ~0ULL && (s64)(get_jiffies_64() - deadline) >= 0) return -ETIME;
    struct pollfd p = {wfd, POLLIN, 0};
    struct timespec ts = {0, 10000000};
    if (::ppoll(&p, wfd >= 0 ? 1 : 0, &ts, nullptr) > 0) plat::task_drain_wake_fd(t);
  }
  return 0;
}

// The gate of a TCP connect, send or receive, or of an echo sent: 0 to go
// on, 1 for an echo to drop, or the call's result.
int fault_gate(int fd, const void *to, int op, u64 deadline, bool nonblock) {
  int kind = fault_of(fd, to, op);
  if (kind == SOCK_FAULT_NONE) return 0;
  if (kind == SOCK_FAULT_FAIL)
    return op == SOCK_FAULT_SEND || op == SOCK_FAULT_RECV ? -ECONNRESET : -ENETUNREACH;
  if (op == SOCK_FAULT_ECHO) return 1;
  if (nonblock) return op == SOCK_FAULT_CONNECT ? -EINPROGRESS : -EAGAIN;
  return fault_hold(fd, to, op, deadline);
}

}  // namespace

int sock_fault_set(const char *local, const char *remote, int op, int kind) {
  host_addr l, r;
  if (!parse_fault_addr(local, &l) || !parse_fault_addr(remote, &r)) return -EINVAL;
  if (op < 0 || op >= SOCK_FAULT_OPS || kind < SOCK_FAULT_NONE || kind > SOCK_FAULT_BLACKHOLE)
    return -EINVAL;
  std::lock_guard<std::mutex> g(fault_mu);
  fault_entry *e = nullptr;
  for (auto &f : faults)
    if (f.local.family == l.family && f.remote.family == r.family &&
        (l.family == 0 || same_host(f.local, l.ss)) && (r.family == 0 || same_host(f.remote, r.ss)))
      e = &f;
  if (!e) {
    faults.push_back({l, r, {}});
    e = &faults.back();
  }
  e->kind[op] = kind;
  faults_set.store(true, std::memory_order_release);
  return 0;
}

void sock_fault_clear(void) {
  std::lock_guard<std::mutex> g(fault_mu);
  faults.clear();
  faults_set.store(false, std::memory_order_release);
}

// --- host set-up ---

int sock_set_host_addresses(const char *const *addrs, int n) {
  std::vector<host_addr> list;
  for (int i = 0; i < n; i++) {
    host_addr a;
    if (!parse_host_addr(addrs[i], &a)) return -EINVAL;
    list.push_back(a);
  }
  std::lock_guard<std::mutex> g(host_mu);
  host_addrs.swap(list);
  return 0;
}

int sock_os_fd(struct socket *sock, int i) {
  if (!sock || i < 0) return -1;
  std::lock_guard<std::mutex> g(sock->os->mu);
  return i < (int)sock->os->fds.size() ? sock->os->fds[i] : -1;
}

// --- life ---

int sock_create_kern(int family, int type, int protocol, struct socket **res) {
  might_sleep_check("sock_create_kern");
  *res = nullptr;
  if (family != AF_INET && family != AF_INET6) return -EAFNOSUPPORT;
  struct socket *sock = alloc_socket(family, type, protocol);
  if (!sock) return -ENOMEM;
  int fd = os_socket(sock);
  if (fd < 0) {
    int e = errno;
    free_socket(sock);
    return -e;
  }
  sock->os->fds.push_back(fd);
  *res = sock;
  return 0;
}

void sock_release(struct socket *sock) {
  if (!sock) return;
  might_sleep_check("sock_release");
  free_socket(sock);
}

// --- addresses and connections ---

int kernel_bind(struct socket *sock, struct ksockaddr *addr, int addrlen) {
  might_sleep_check("kernel_bind");
  if (!addr || addrlen < 0) return -EINVAL;
  socket_os *os = sock->os;
  std::lock_guard<std::mutex> g(os->mu);
  if (os->bound) return -EINVAL;
  if (is_stream(sock) && is_wildcard(addr, addrlen, sock->family)) {
    std::lock_guard<std::mutex> hg(host_mu);
    bool have_list = !host_addrs.empty();
    if (have_list) {
      std::vector<host_addr> mine;
      for (auto &a : host_addrs)
        if (a.family == sock->family) mine.push_back(a);
      if (mine.empty()) return -EADDRNOTAVAIL;
      u16 port = sock->family == AF_INET
                     ? reinterpret_cast<struct ksockaddr_in *>(addr)->sin_port
                     : reinterpret_cast<struct ksockaddr_in6 *>(addr)->sin6_port;
      int r = bind_host_wildcard(sock, mine, port);
      // A port chosen for the first address may be taken on another; with
      // port 0 the caller asked for any port, so choose again.
      for (int tries = 0; r == -EADDRINUSE && port == 0 && mine.size() > 1 && tries < 16; tries++)
        r = bind_host_wildcard(sock, mine, port);
      return r;
    }
  }
  if (is_stream(sock)) set_reuse(os->fds[0]);
  if (::bind(os->fds[0], reinterpret_cast<struct sockaddr *>(addr), (socklen_t)addrlen) < 0)
    return -errno;
  os->bound = true;
  return 0;
}

int kernel_listen(struct socket *sock, int backlog) {
  might_sleep_check("kernel_listen");
  for (int fd : fds_of(sock))
    if (::listen(fd, backlog) < 0) return -errno;
  return 0;
}

int kernel_accept(struct socket *sock, struct socket **newsock, int flags) {
  *newsock = nullptr;
  bool nonblock = (flags & O_NONBLOCK) != 0;
  if (!nonblock) might_sleep_check("kernel_accept");
  struct socket *ns = alloc_socket(sock->family, sock->type, sock->protocol);
  if (!ns) return -ENOMEM;
  std::vector<int> fds = fds_of(sock);
  if (fds.empty()) {
    free_socket(ns);
    return -EINVAL;
  }
  for (;;) {
    unsigned start;
    {
      std::lock_guard<std::mutex> g(sock->os->mu);
      start = sock->os->accept_next++;
    }
    for (size_t k = 0; k < fds.size(); k++) {
      int fd = fds[(start + k) % fds.size()];
      int afd;
      do {
        afd = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      } while (afd < 0 && errno == EINTR);
      if (afd >= 0) {
        if (is_stream(sock)) set_nodelay(afd);
        ns->os->fds.push_back(afd);
        ns->os->bound = true;
        *newsock = ns;
        return 0;
      }
      if (!would_block(errno)) {
        int e = errno;
        free_socket(ns);
        return -e;
      }
    }
    int r = nonblock ? -EAGAIN : wait_ready(fds, POLLIN);
    if (r < 0) {
      free_socket(ns);
      return r;
    }
  }
}

static int connect_until(struct socket *sock, struct ksockaddr *addr, int addrlen, int flags,
                         u64 deadline) {
  bool nonblock = (flags & O_NONBLOCK) != 0;
  if (!nonblock) might_sleep_check("kernel_connect");
  if (!addr || addrlen < 0) return -EINVAL;
  int fd;
  {
    socket_os *os = sock->os;
    std::lock_guard<std::mutex> g(os->mu);
    fd = os->fds[0];
    if (!os->bound) {
      // The host's first address of the family is the source of an
      // outgoing connection that was not bound.
      std::vector<host_addr> mine = host_addrs_of(sock->family);
      if (!mine.empty()) {
        if (is_stream(sock)) {
          int one = 1;
          // The port is chosen by the connect, as for an unbound socket.
          setsockopt(fd, SOL_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
          set_reuse(fd);
        }
        if (::bind(fd, reinterpret_cast<struct sockaddr *>(&mine[0].ss), mine[0].len) < 0)
          return -errno;
        os->bound = true;
      }
    }
  }
  if (!is_stream(sock)) {
    if (::connect(fd, reinterpret_cast<struct sockaddr *>(addr), (socklen_t)addrlen) < 0)
      return -errno;
    std::lock_guard<std::mutex> g(sock->os->mu);
    memcpy(&sock->os->dgram_peer, addr,
           (size_t)addrlen < sizeof(sock->os->dgram_peer) ? (size_t)addrlen
                                                          : sizeof(sock->os->dgram_peer));
    return 0;
  }
  if (int f = fault_gate(fd, addr, SOCK_FAULT_CONNECT, deadline, nonblock)) return f;
  if (::connect(fd, reinterpret_cast<struct sockaddr *>(addr), (socklen_t)addrlen) == 0) return 0;
  int e = errno;
  if (e != EINPROGRESS && e != EALREADY) return -e;
  if (nonblock) return -e;
  int r = wait_ready({fd}, POLLOUT, deadline);
  if (r < 0) return r;
  // The handshake has ended; its outcome is the socket's error.
  int err = 0;
  socklen_t l = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) < 0) return -errno;
  return -err;
}

int kernel_connect(struct socket *sock, struct ksockaddr *addr, int addrlen, int flags) {
  return connect_until(sock, addr, addrlen, flags, kNoDeadline);
}

int kernel_connect_deadline(struct socket *sock, struct ksockaddr *addr, int addrlen,
                            unsigned long deadline) {
  return connect_until(sock, addr, addrlen, 0, deadline);
}

int kernel_getsockname(struct socket *sock, struct ksockaddr *addr) {
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof(ss));
  socklen_t l = sizeof(ss);
  {
    std::lock_guard<std::mutex> g(sock->os->mu);
    if (sock->os->host_wildcard) {
      // The socket is bound to the wildcard address; its OS sockets stand
      // for the host's addresses.
      ss.ss_family = (sa_family_t)sock->family;
      set_port(&ss, sock->os->wildcard_port);
      l = sock->family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
      return copy_addr_out(&ss, l, addr);
    }
    if (getsockname(sock->os->fds[0], reinterpret_cast<struct sockaddr *>(&ss), &l) < 0)
      return -errno;
  }
  return copy_addr_out(&ss, l, addr);
}

int kernel_getpeername(struct socket *sock, struct ksockaddr *addr) {
  struct sockaddr_storage ss;
  socklen_t l = sizeof(ss);
  if (getpeername(fd0_of(sock), reinterpret_cast<struct sockaddr *>(&ss), &l) < 0) return -errno;
  return copy_addr_out(&ss, l, addr);
}

int kernel_sock_shutdown(struct socket *sock, int how) {
  int err = 0;
  for (int fd : fds_of(sock))
    if (::shutdown(fd, how) < 0 && !err) err = -errno;
  return err;
}

// --- data ---

// The OS takes at most this many vectors in one call.
constexpr size_t kIovMax = 1024;

static int sendmsg_until(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                         size_t len, u64 deadline, size_t *moved) {
  int flags = msg ? msg->msg_flags : 0;
  bool nonblock = (flags & MSG_DONTWAIT) != 0;
  if (!nonblock) might_sleep_check("kernel_sendmsg");
  int fd = fd0_of(sock);
  std::vector<struct iovec> iov = make_iov(vec, num, len);
  size_t first = 0, sent = 0;
  int os_flags = (flags & ~(MSG_DONTWAIT | MSG_WAITALL)) | MSG_DONTWAIT | MSG_NOSIGNAL;
  bool stream = is_stream(sock);
  for (;;) {
    struct msghdr m;
    memset(&m, 0, sizeof(m));
    if (msg && msg->msg_name) {
      m.msg_name = msg->msg_name;
      m.msg_namelen = (socklen_t)msg->msg_namelen;
    }
    m.msg_iov = iov.data() + first;
    m.msg_iovlen = iov.size() - first < kIovMax ? iov.size() - first : kIovMax;
    struct sockaddr_storage dest;
    if (!stream && !m.msg_name) {
      std::lock_guard<std::mutex> g(sock->os->mu);
      dest = sock->os->dgram_peer;
    }
    if (int f = fault_gate(fd, stream ? nullptr : m.msg_name ? m.msg_name : &dest,
                           stream ? SOCK_FAULT_SEND : SOCK_FAULT_ECHO, deadline, nonblock)) {
      if (f > 0) {  // a dropped echo counts as sent whole
        for (size_t i = first; i < iov.size(); i++) sent += iov[i].iov_len;
        return (int)sent;
      }
      return f != -ETIME && sent ? (int)sent : f;
    }
    ssize_t n = ::sendmsg(fd, &m, os_flags);
    if (n >= 0) {
      sent += (size_t)n;
      if (moved) *moved = sent;
      advance_iov(iov, &first, (size_t)n);
      if (!stream || first >= iov.size()) return (int)sent;
      continue;
    }
    int e = errno;
    if (e == EINTR) continue;
    if (!would_block(e)) return sent ? (int)sent : -e;
    int r = nonblock ? -EAGAIN : wait_ready({fd}, POLLOUT, deadline);
    // A deadline ends the call whatever it had moved.
    if (r == -ETIME) return r;
    if (r < 0) return sent ? (int)sent : r;
  }
}

int kernel_sendmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                   size_t len) {
  return sendmsg_until(sock, msg, vec, num, len, kNoDeadline, nullptr);
}

int kernel_sendmsg_deadline(struct socket *sock, struct kmsghdr *msg, struct kvec *vec,
                            size_t num, size_t len, unsigned long deadline, size_t *moved) {
  if (moved) *moved = 0;
  return sendmsg_until(sock, msg, vec, num, len, deadline, moved);
}

// Size of a stream socket's receive buffer: many heads and small messages.
constexpr size_t kRxBufSize = 64 * 1024;

// Moves up to the vectors' bytes from the socket's receive buffer into them
// (stepping over what is filled). Returns the count. Under os->rx_mu.
static size_t rx_take(socket_os *os, std::vector<struct iovec> &iov, size_t *first) {
  size_t took = 0;
  while (os->rx_start < os->rx_end && *first < iov.size()) {
    struct iovec &v = iov[*first];
    size_t n = os->rx_end - os->rx_start;
    if (n > v.iov_len) n = v.iov_len;
    memcpy(v.iov_base, os->rx_buf + os->rx_start, n);
    os->rx_start += n;
    took += n;
    advance_iov(iov, first, n);
  }
  if (os->rx_start == os->rx_end) os->rx_start = os->rx_end = 0;
  return took;
}

// One receive on a stream socket without waiting, the buffer first: what it
// holds, then one system call into the caller's vectors and the buffer
// behind them. Returns the bytes given to the caller (> 0), 0 when the peer
// has closed, or -errno (-EAGAIN: nothing there now).
static ssize_t rx_stream_once(struct socket *sock, int fd, std::vector<struct iovec> &iov,
                              size_t *first, int os_flags) {
  socket_os *os = sock->os;
  std::lock_guard<std::mutex> g(os->rx_mu);
  size_t took = rx_take(os, iov, first);
  if (*first >= iov.size()) return (ssize_t)took;
  if (!os->rx_buf) os->rx_buf = new (std::nothrow) char[kRxBufSize];
  size_t want = 0;
  for (size_t i = *first; i < iov.size(); i++) want += iov[i].iov_len;
  size_t nv = iov.size() - *first;
  bool extra = os->rx_buf && nv < kIovMax;
  if (nv > kIovMax) nv = kIovMax;
  // The buffer is empty here (it was taken out whole before the vectors
  // were full); its vector follows the caller's last one. make_iov leaves
  // room for it, so this does not allocate.
  if (extra) iov.push_back({os->rx_buf, kRxBufSize});
  struct msghdr m;
  memset(&m, 0, sizeof(m));
  m.msg_iov = iov.data() + *first;
  m.msg_iovlen = nv + (extra ? 1 : 0);
  ssize_t n;
  do {
    n = ::recvmsg(fd, &m, os_flags);
  } while (n < 0 && errno == EINTR);
  if (extra) iov.pop_back();
  if (n < 0) return took ? (ssize_t)took : -errno;
  size_t mine = (size_t)n < want ? (size_t)n : want;
  if ((size_t)n > want) os->rx_end = (size_t)n - want;
  advance_iov(iov, first, mine);
  return (ssize_t)(took + mine);
}

static int recvmsg_until(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                         size_t len, int flags, u64 deadline, size_t *moved) {
  bool nonblock = (flags & MSG_DONTWAIT) != 0;
  if (!nonblock) might_sleep_check("kernel_recvmsg");
  bool stream = is_stream(sock);
  bool waitall = stream && (flags & MSG_WAITALL);
  int fd = fd0_of(sock);
  std::vector<struct iovec> iov = make_iov(vec, num, len);
  size_t first = 0, got = 0;
  int os_flags = (flags & ~(MSG_DONTWAIT | MSG_WAITALL | MSG_NOSIGNAL)) | MSG_DONTWAIT;
  // A plain stream receive goes through the socket's buffer; one that asks
  // for the sender's address or passes other flags reads from the OS
  // directly, after what the buffer holds.
  bool buffered = stream && !(msg && msg->msg_name) && os_flags == MSG_DONTWAIT && !iov.empty();
  if (stream && !buffered && !iov.empty()) {
    // What an earlier receive buffered comes first, whatever this one asks.
    std::lock_guard<std::mutex> g(sock->os->rx_mu);
    got = rx_take(sock->os, iov, &first);
    if (moved) *moved = got;
    if (got && (!waitall || first >= iov.size())) {
      if (msg) msg->msg_flags = 0;
      return (int)got;
    }
  }
  struct sockaddr_storage from;
  for (;;) {
    if (buffered) {
      if (int f = fault_gate(fd, nullptr, SOCK_FAULT_RECV, deadline, nonblock))
        return f != -ETIME && got ? (int)got : f;
      ssize_t n = rx_stream_once(sock, fd, iov, &first, os_flags);
      if (n >= 0) {
        if (msg) msg->msg_flags = 0;
        got += (size_t)n;
        if (moved) *moved = got;
        if (!waitall || n == 0 || first >= iov.size()) return (int)got;
        continue;
      }
      int e = (int)-n;
      if (!would_block(e)) return got ? (int)got : -e;
      if (!waitall && got) return (int)got;
      int r = nonblock ? -EAGAIN : wait_ready({fd}, POLLIN, deadline);
      if (r == -ETIME) return r;
      if (r < 0) return got ? (int)got : r;
      continue;
    }
    struct msghdr m;
    memset(&m, 0, sizeof(m));
    if (msg && msg->msg_name) {
      m.msg_name = &from;
      m.msg_namelen = sizeof(from);
    }
    m.msg_iov = iov.data() + first;
    m.msg_iovlen = iov.size() - first < kIovMax ? iov.size() - first : kIovMax;
    if (stream) {
      if (int f = fault_gate(fd, nullptr, SOCK_FAULT_RECV, deadline, nonblock))
        return f != -ETIME && got ? (int)got : f;
    } else if (!m.msg_name) {
      m.msg_name = &from;  // the source decides whether a fault drops it
      m.msg_namelen = sizeof(from);
    }
    ssize_t n = ::recvmsg(fd, &m, os_flags);
    if (n >= 0 && !stream && fault_of(fd, &from, SOCK_FAULT_ECHO) != SOCK_FAULT_NONE) continue;
    if (n >= 0) {
      if (msg) {
        msg->msg_flags = m.msg_flags;
        if (msg->msg_name) {
          size_t cap =
              msg->msg_namelen > 0 ? (size_t)msg->msg_namelen : sizeof(struct ksockaddr_storage);
          memcpy(msg->msg_name, &from, m.msg_namelen < cap ? m.msg_namelen : cap);
          msg->msg_namelen = (int)m.msg_namelen;
        }
      }
      got += (size_t)n;
      if (moved) *moved = got;
      advance_iov(iov, &first, (size_t)n);
      // 0 is the peer's close on a stream (or an empty datagram). A stream
      // receive with MSG_WAITALL goes on until the length is full or the
      // peer has closed.
      if (!waitall || n == 0 || first >= iov.size()) return (int)got;
      continue;
    }
    int e = errno;
    if (e == EINTR) continue;
    if (!would_block(e)) return got ? (int)got : -e;
    int r = nonblock ? -EAGAIN : wait_ready({fd}, POLLIN, deadline);
    if (r == -ETIME) return r;
    if (r < 0) return got ? (int)got : r;
  }
}

int kernel_recvmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                   size_t len, int flags) {
  return recvmsg_until(sock, msg, vec, num, len, flags, kNoDeadline, nullptr);
}

int kernel_recvmsg_deadline(struct socket *sock, struct kmsghdr *msg, struct kvec *vec,
                            size_t num, size_t len, int flags, unsigned long deadline,
                            size_t *moved) {
  if (moved) *moved = 0;
  return recvmsg_until(sock, msg, vec, num, len, flags, deadline, moved);
}

// --- options ---

int kernel_setsockopt(struct socket *sock, int level, int optname, const void *optval,
                      unsigned int optlen) {
  if (!optval && optlen) return -EFAULT;
  socket_os *os = sock->os;
  std::lock_guard<std::mutex> g(os->mu);
  for (int fd : os->fds)
    if (setsockopt(fd, level, optname, optval, (socklen_t)optlen) < 0) return -errno;
  record_opt(os, level, optname, optval, optlen);
  return 0;
}

static void set_keepalive(struct socket *sock, int on) {
  kernel_setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

void inet_csk_delete_keepalive_timer(struct sock *sk) { set_keepalive(sk->sk_socket, 0); }

void inet_csk_reset_keepalive_timer(struct sock *sk, unsigned long len) {
  (void)len;
  // Switching keepalive on while it is off starts the timer anew with the
  // idle time.
  set_keepalive(sk->sk_socket, 0);
  set_keepalive(sk->sk_socket, 1);
}
