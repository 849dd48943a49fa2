// The loopback link the mirroring benchmark runs over: its streaming rate and
// its round-trip time, measured between the same two addresses the two hosts
// use, so that a mirrored write can be set against what the link itself can
// do in the same run.
//
//   loopback_tcp [--from ADDR] [--to ADDR] [--seconds S]
//
// Rate: one connection, 1 MiB sends for S seconds, then the receiver answers
// with the byte count it read; the rate is that count over the time until the
// answer arrived. Round trip: a second connection, 64-byte messages echoed
// back one at a time for S seconds; the mean and the 99th percentile of one
// exchange. Both sockets send without Nagle's delay, as the driver's do.
// Prints "rate_mbs=R rtt_mean_us=M rtt_p99_us=P" (MB = 10^6 bytes). Every
// socket call is bounded by a time-out; a failure prints its cause and exits 1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 1 << 20;
constexpr size_t kPing = 64;
// No single socket call of a healthy loopback link waits this long.
constexpr int kCallTimeoutSec = 30;

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "loopback_tcp: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

sockaddr_in address(const std::string &ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) {
    errno = EINVAL;
    die("bad address " + ip);
  }
  return a;
}

void set_options(int fd) {
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) die("TCP_NODELAY");
  timeval tv{kCallTimeoutSec, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) die("SO_RCVTIMEO");
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) die("SO_SNDTIMEO");
}

// A listener on TO with a port of the system's choosing.
int listen_on(const std::string &to, uint16_t *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  sockaddr_in a = address(to, 0);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) die("bind " + to);
  if (listen(fd, 2) < 0) die("listen");
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0) die("getsockname");
  *port = ntohs(a.sin_port);
  timeval tv{kCallTimeoutSec, 0};  // bounds accept()
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) die("SO_RCVTIMEO");
  return fd;
}

int connect_from(const std::string &from, const std::string &to, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  set_options(fd);  // SO_SNDTIMEO also bounds connect()
  sockaddr_in self = address(from, 0);
  if (bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof self) < 0) die("bind " + from);
  sockaddr_in peer = address(to, port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) < 0) die("connect " + to);
  return fd;
}

int accept_one(int lfd) {
  int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) die("accept");
  set_options(fd);
  return fd;
}

void send_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) die("send");
    p += r;
    n -= static_cast<size_t>(r);
  }
}

void recv_all(int fd, char *p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = ECONNRESET;
    if (r <= 0) die("recv");
    p += r;
    n -= static_cast<size_t>(r);
  }
}

// Bytes per second of a stream of 1 MiB sends.
double stream_rate(const std::string &from, const std::string &to, double seconds) {
  uint16_t port = 0;
  int lfd = listen_on(to, &port);
  std::thread receiver([lfd] {
    int fd = accept_one(lfd);
    std::vector<char> buf(kChunk);
    uint64_t total = 0;
    for (;;) {
      ssize_t r = recv(fd, buf.data(), buf.size(), 0);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) die("recv");
      if (r == 0) break;
      total += static_cast<uint64_t>(r);
    }
    send_all(fd, reinterpret_cast<const char *>(&total), sizeof total);
    close(fd);
  });
  int fd = connect_from(from, to, port);
  std::vector<char> buf(kChunk, 'm');
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) send_all(fd, buf.data(), buf.size());
  if (shutdown(fd, SHUT_WR) < 0) die("shutdown");
  uint64_t total = 0;
  recv_all(fd, reinterpret_cast<char *>(&total), sizeof total);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  receiver.join();
  close(lfd);
  return static_cast<double>(total) / elapsed;
}

// Microseconds of each 64-byte exchange, for about the given time.
std::vector<double> round_trips(const std::string &from, const std::string &to, double seconds) {
  uint16_t port = 0;
  int lfd = listen_on(to, &port);
  std::thread echo([lfd] {
    int fd = accept_one(lfd);
    char msg[kPing];
    for (;;) {
      ssize_t r = recv(fd, msg, 1, MSG_PEEK);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) die("recv");
      if (r == 0) break;
      recv_all(fd, msg, sizeof msg);
      send_all(fd, msg, sizeof msg);
    }
    close(fd);
  });
  int fd = connect_from(from, to, port);
  char msg[kPing];
  std::memset(msg, 'r', sizeof msg);
  std::vector<double> us;
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  // The count bound keeps the sample list small on a very fast link.
  while (us.size() < 2000000) {
    auto t0 = Clock::now();
    if (t0 >= end) break;
    send_all(fd, msg, sizeof msg);
    recv_all(fd, msg, sizeof msg);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  if (shutdown(fd, SHUT_WR) < 0) die("shutdown");
  echo.join();
  close(fd);
  close(lfd);
  return us;
}

}  // namespace

int main(int argc, char **argv) {
  std::string from = "127.0.0.1", to = "127.0.0.2";
  double seconds = 2;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 < argc && a == "--from") {
      from = argv[++i];
    } else if (i + 1 < argc && a == "--to") {
      to = argv[++i];
    } else if (i + 1 < argc && a == "--seconds") {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: loopback_tcp [--from ADDR] [--to ADDR] [--seconds S]\n");
      return 2;
    }
  }
  if (!(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "loopback_tcp: --seconds must be above 0 and at most 600\n");
    return 2;
  }
  double rate = stream_rate(from, to, seconds);
  std::vector<double> us = round_trips(from, to, seconds);
  if (us.empty()) {
    std::fprintf(stderr, "loopback_tcp: no round trip completed\n");
    return 1;
  }
  double sum = 0;
  for (double u : us) sum += u;
  size_t k = std::min(us.size() - 1, static_cast<size_t>(static_cast<double>(us.size()) * 0.99));
  std::nth_element(us.begin(), us.begin() + static_cast<long>(k), us.end());
  std::printf("rate_mbs=%.1f rtt_mean_us=%.1f rtt_p99_us=%.1f\n", rate / 1e6,
              sum / static_cast<double>(us.size()), us[k]);
  return 0;
}
