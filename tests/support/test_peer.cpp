// The test peer: plain POSIX sockets and threads.

#include "tests/support/test_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace testpeer {

namespace {

void put_be(Bytes &b, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; i--) b.push_back((uint8_t)(v >> (8 * i)));
}

uint64_t get_be(const uint8_t *p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; i++) v = (v << 8) | p[i];
  return v;
}

// An IPv4 or IPv6 socket address for text and port; false when unparsable.
bool make_addr(const std::string &text, uint16_t port, sockaddr_storage *ss, socklen_t *len) {
  memset(ss, 0, sizeof(*ss));
  auto *in4 = reinterpret_cast<sockaddr_in *>(ss);
  if (inet_pton(AF_INET, text.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    *len = sizeof(*in4);
    return true;
  }
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
  if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    *len = sizeof(*in6);
    return true;
  }
  return false;
}

uint16_t local_port(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

void set_small_rcvbuf(int fd) {
  int size = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

}  // namespace

// --- encoding ---

Bytes encode(const Head &h) {
  Bytes b;
  put_be(b, h.magic, 4);
  put_be(b, h.cmd, 4);
  put_be(b, h.start_sector, 8);
  put_be(b, h.end_sector, 8);
  put_be(b, h.request_id, 8);
  put_be(b, h.status, 4);
  put_be(b, h.length, 4);
  put_be(b, h.vec_count, 2);
  put_be(b, h.vec_index, 2);
  b.insert(b.end(), h.reserved, h.reserved + 12);
  return b;
}

bool decode(const uint8_t *p, size_t n, Head *h) {
  if (n < kHeadSize) return false;
  h->magic = (uint32_t)get_be(p, 4);
  h->cmd = (uint32_t)get_be(p + 4, 4);
  h->start_sector = get_be(p + 8, 8);
  h->end_sector = get_be(p + 16, 8);
  h->request_id = get_be(p + 24, 8);
  h->status = (uint32_t)get_be(p + 32, 4);
  h->length = (uint32_t)get_be(p + 36, 4);
  h->vec_count = (uint16_t)get_be(p + 40, 2);
  h->vec_index = (uint16_t)get_be(p + 42, 2);
  memcpy(h->reserved, p + 44, 12);
  return true;
}

Bytes short_msg(uint32_t cmd, uint32_t magic) {
  Bytes b;
  put_be(b, magic, 4);
  put_be(b, cmd, 4);
  return b;
}

void put_be32(Bytes &b, uint32_t v) { put_be(b, v, 4); }
uint32_t get_be32(const uint8_t *p) { return (uint32_t)get_be(p, 4); }

bool Cursor::short_msg(uint32_t *magic, uint32_t *cmd) {
  if (left() < kShortSize) return false;
  *magic = get_be32(b_.data() + off_);
  *cmd = get_be32(b_.data() + off_ + 4);
  off_ += kShortSize;
  return true;
}

bool Cursor::head(Head *h) {
  if (!decode(b_.data() + off_, left(), h)) return false;
  off_ += kHeadSize;
  return true;
}

bool Cursor::take(size_t n, Bytes *out) {
  if (left() < n) return false;
  out->assign(b_.begin() + (long)off_, b_.begin() + (long)(off_ + n));
  off_ += n;
  return true;
}

// --- connections ---

Connection::Connection(int fd, bool reading) : fd_(fd), reading_(reading) {
  if (reading_) thread_ = std::thread(&Connection::reader, this);
}

Connection::~Connection() { close(); }

void Connection::reader() {
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> g(mu_);
    if (n <= 0) {
      closed_ = true;
      cv_.notify_all();
      return;
    }
    data_.insert(data_.end(), buf, buf + n);
    cv_.notify_all();
  }
}

bool Connection::send(const void *p, size_t n) {
  const uint8_t *q = static_cast<const uint8_t *>(p);
  while (n) {
    ssize_t r = ::send(fd_, q, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    q += r;
    n -= (size_t)r;
  }
  return true;
}

Bytes Connection::received() const {
  std::lock_guard<std::mutex> g(mu_);
  return data_;
}

bool Connection::wait_bytes(size_t n, int ms) const {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return data_.size() >= n; });
}

bool Connection::wait_closed(int ms) const {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return closed_; });
}

bool Connection::closed() const {
  std::lock_guard<std::mutex> g(mu_);
  return closed_;
}

void Connection::close(bool reset) {
  if (fd_ < 0) return;
  if (reset) {
    linger l = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }
  // Ends the reader's blocked receive before the descriptor goes.
  shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  fd_ = -1;
}

// --- listeners ---

Listener::Listener(Policy reading, const std::string &addr, uint16_t port)
    : reading_(std::move(reading)) {
  sockaddr_storage ss;
  socklen_t len;
  if (!make_addr(addr, port, &ss, &len)) return;
  int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  // Inherited by accepted sockets: a silent connection backs up quickly.
  set_small_rcvbuf(fd);
  if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, 16) != 0 ||
      pipe(stop_pipe_) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  port_ = local_port(fd);
  thread_ = std::thread(&Listener::acceptor, this);
}

Listener::~Listener() {
  if (thread_.joinable()) {
    char c = 0;
    if (write(stop_pipe_[1], &c, 1) != 1) {
    }
    thread_.join();
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    conns_.clear();
  }
  if (fd_ >= 0) ::close(fd_);
  for (int p : stop_pipe_)
    if (p >= 0) ::close(p);
}

void Listener::acceptor() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::lock_guard<std::mutex> g(mu_);
    conns_.push_back(std::make_shared<Connection>(c, reading_(conns_.size())));
    cv_.notify_all();
  }
}

size_t Listener::count() const {
  std::lock_guard<std::mutex> g(mu_);
  return conns_.size();
}

bool Listener::wait_connections(size_t n, int ms) const {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return conns_.size() >= n; });
}

std::shared_ptr<Connection> Listener::conn(size_t i) const {
  std::lock_guard<std::mutex> g(mu_);
  return i < conns_.size() ? conns_[i] : nullptr;
}

// --- a listener that never answers ---

FullBacklogListener::FullBacklogListener() {
  sockaddr_storage ss;
  socklen_t len = 0;
  make_addr("127.0.0.1", 0, &ss, &len);
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd_, 0) != 0) return;
  port_ = local_port(fd_);
  make_addr("127.0.0.1", port_, &ss, &len);
  // Connect until one gets no answer: the accept queue is then full and
  // further handshakes are dropped.
  for (int i = 0; i < 16 && !full_; i++) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c < 0) return;
    fillers_.push_back(c);
    if (connect(c, reinterpret_cast<sockaddr *>(&ss), len) == 0) continue;
    if (errno != EINPROGRESS) return;
    pollfd p = {c, POLLOUT, 0};
    if (poll(&p, 1, 300) == 0) full_ = true;
  }
}

FullBacklogListener::~FullBacklogListener() {
  for (int c : fillers_) ::close(c);
  if (fd_ >= 0) ::close(fd_);
}

// --- helpers ---

std::shared_ptr<Connection> connect_to(const std::string &addr, uint16_t port, int ms,
                                       const std::string &source) {
  sockaddr_storage ss;
  socklen_t len;
  if (!make_addr(addr, port, &ss, &len)) return nullptr;
  int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (!source.empty()) {
    sockaddr_storage src;
    socklen_t slen;
    if (!make_addr(source, 0, &src, &slen) ||
        bind(fd, reinterpret_cast<sockaddr *>(&src), slen) != 0) {
      ::close(fd);
      return nullptr;
    }
  }
  int r = connect(fd, reinterpret_cast<sockaddr *>(&ss), len);
  if (r != 0) {
    pollfd p = {fd, POLLOUT, 0};
    int err = 0;
    socklen_t elen = sizeof(err);
    if (errno != EINPROGRESS || poll(&p, 1, ms) != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) != 0 || err != 0) {
      ::close(fd);
      return nullptr;
    }
  }
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_shared<Connection>(fd, true);
}

uint16_t unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage ss;
  socklen_t len = 0;
  make_addr("127.0.0.1", 0, &ss, &len);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0) port = local_port(fd);
  ::close(fd);
  return port;
}

}  // namespace testpeer
