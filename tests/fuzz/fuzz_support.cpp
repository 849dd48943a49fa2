// System headers first: the platform defines the socket constants only
// where they are missing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_main.h"
#include "include/mirvol_open.h"
#include "platform/kernel.h"
#include "platform/uaccess.h"
#include "platform/host_side.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/device_fixture.h"

namespace fuzzsupport {

namespace {

constexpr unsigned long kUaddr = 0x10000;

void die(const char *what) {
  fprintf(stderr, "fuzz set-up: %s: %s\n", what, strerror(errno));
  abort();
}

void loopback_up() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) die("socket");
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFFLAGS, &ifr) < 0) die("SIOCGIFFLAGS lo");
  ifr.ifr_flags = (short)(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(s, SIOCSIFFLAGS, &ifr) < 0) die("SIOCSIFFLAGS lo");
  close(s);
}

}  // namespace

void init_process() {
  static bool done = false;
  if (done) return;
  done = true;
  // Records name any address; only this namespace's loopback exists.
  if (unshare(CLONE_NEWNET) < 0) die("unshare(CLONE_NEWNET) (run as root)");
  loopback_up();
  clock_set_time_scale(1000);
  // The kernel log on standard error, to follow a reproducer.
  if (getenv("MIRVOL_FUZZ_LOG")) klog_set_stderr(true);
}

// --- images ---

Image::Image(size_t bytes) : bytes_(bytes) {
  // On a tmpfs where there is one: commands that write the whole bitmap
  // would spend each input on the disk otherwise.
  char path[64];
  snprintf(path, sizeof(path), "%s/mirvol-fuzz-img-XXXXXX",
           access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  fd_ = mkostemp(path, O_CLOEXEC);
  if (fd_ < 0) die("mkstemp");
  // Unlinked at once and reached through the open descriptor, so that no
  // image is left behind however the fuzzer ends.
  unlink(path);
  path_ = "/proc/self/fd/" + std::to_string(fd_);
  clear();
}

Image::~Image() { close(fd_); }

void Image::clear() const {
  // Cut to nothing and grown again: zero bytes without writing them.
  if (ftruncate(fd_, 0) < 0 || ftruncate(fd_, (off_t)bytes_) < 0) die("truncate image");
}

// --- the module ---

Module::Module(size_t cp_bytes) : dp_(8 << 20), cp_(cp_bytes), spare_dp_(8 << 20), spare_cp_(6 << 20) {}

Module::~Module() { unload(); }

bool Module::load() {
  unload();
  dp_.clear();
  cp_.clear();
  spare_dp_.clear();
  spare_cp_.clear();
  module_params_reset();
  const char *argv[] = {"nmp_minor=3,1"};
  if (module_params_parse(1, argv) || init_module()) {
    module_params_reset();
    return false;
  }
  loaded_ = true;
  mirvol_printk_init();
  // Command 101: refresh interval 1 s, a cache of 16 blocks, queue limits
  // stacked by method 1, two deletions per pass.
  u8 rec[44] = {};
  memcpy(rec + 4, "qdx", 4);
  u32 interval = 1, cache = 16, method = 1;
  s32 delnum = 2;
  memcpy(rec + 8, &interval, 4);
  memcpy(rec + 12, &cache, 4);
  memcpy(rec + 32, &method, 4);
  memcpy(rec + 40, &delnum, 4);
  control(3, 101, rec, sizeof(rec));
  nmp_ = testsupport_make_device(3, dp_.path().c_str(), 1);
  if (!nmp_) return false;
  struct block_device *cp = blkdev_get_by_path(cp_.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR(cp)) return false;
  nmp_->cp_bdev = cp;  // unload releases it with the device
  nmp_->len = 512;
  nmp_->lastupdate_delay = 0;
  return true;
}

void Module::unload() {
  if (!loaded_) return;
  cleanup_module();
  module_params_reset();
  if (nmp_) my_disk[3] = 0;
  nmp_ = nullptr;
  loaded_ = false;
}

void fail(const char *target, const char *what) {
  fprintf(stderr, "%s: %s\n", target, what);
  abort();
}

int Image::open_rw() const {
  int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) die("open image");
  return fd;
}

Module *loaded_module(void (*tune)(struct nmp_info *nmp)) {
  static Module *module = [tune] {
    auto *m = new Module();
    if (!m->load()) abort();
    if (tune) tune(m->nmp());
    return m;
  }();
  return module;
}

int control(u32 minor, unsigned int cmd, u8 *buf, size_t len) {
  return control(minor, cmd, buf, len, nullptr, nullptr, 0);
}

int control(u32 minor, unsigned int cmd, u8 *buf, size_t len, const int *nums,
            const std::string *paths, int n) {
  static u8 no_bytes[1];
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    int fd = open(paths[i].c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) die("open image");
    fds.push_back(fd);
  }
  struct user_context ctx = {len ? buf : no_bytes, (unsigned long)len, kUaddr, nums, fds.data(), n};
  set_user_context(&ctx);
  struct block_device *b = bdget(MKDEV((u32)g_mirvol_major, minor));
  int r = b ? blkdev_ioctl(b, FMODE_READ | FMODE_WRITE, cmd, kUaddr) : -ENODEV;
  if (b) bdput(b);
  set_user_context(nullptr);
  for (int fd : fds) close(fd);
  return r;
}

// --- loopback connections ---

namespace {

// A blocking connect that a signal interrupted (libFuzzer's alarm for its
// -timeout option comes every minute) goes on in the background: waits for
// it to end. True when it connected; otherwise errno tells why not.
bool connect_finished(int fd) {
  if (errno != EINTR) return false;
  struct pollfd p = {fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, 10000);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    if (r == 0) errno = ETIMEDOUT;
    return false;
  }
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return false;
  errno = err;
  return err == 0;
}

}  // namespace

Feed::Feed() {
  struct socket *l = nullptr;
  if (sock_create_kern(AF_INET, SOCK_STREAM, IPPROTO_TCP, &l) < 0) return;
  struct ksockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr = htonl(INADDR_LOOPBACK);
  if (kernel_bind(l, reinterpret_cast<struct ksockaddr *>(&a), sizeof(a)) < 0 ||
      kernel_listen(l, 4) < 0 || kernel_getsockname(l, reinterpret_cast<struct ksockaddr *>(&a)) < 0) {
    sock_release(l);
    return;
  }
  port_ = ntohs(a.sin_port);
  listener_ = l;
}

Feed::~Feed() {
  join();
  if (listener_) sock_release(listener_);
}

struct socket *Feed::open(const uint8_t *data, size_t size) {
  join();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Closed with a reset, not into TIME_WAIT (nor is the device's side): a
  // connection per input would use up the local ports in a minute.
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) < 0 && !connect_finished(fd)) {
    fprintf(stderr, "fuzz set-up: connect to the listener: %s\n", strerror(errno));
    close(fd);
    return nullptr;
  }
  struct socket *s = nullptr;
  if (kernel_accept(listener_, &s, 0) < 0 || !s) {
    fprintf(stderr, "fuzz set-up: accept failed\n");
    close(fd);
    return nullptr;
  }
  // As the device's listeners set it: the device's close resets the
  // connection, which leaves neither side in TIME_WAIT.
  struct klinger klg = {1, 0};
  kernel_setsockopt(s, SOL_SOCKET, SO_LINGER, &klg, sizeof(klg));
  peer_fd_ = fd;
  std::vector<uint8_t> copy(data, data + size);
  writer_ = std::thread([fd, copy = std::move(copy)] {
    size_t off = 0;
    while (off < copy.size()) {
      ssize_t n = send(fd, copy.data() + off, copy.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the device closed the connection
      off += (size_t)n;
    }
    shutdown(fd, SHUT_WR);
  });
  return s;
}

void Feed::join() {
  if (writer_.joinable()) writer_.join();
  if (peer_fd_ >= 0) close(peer_fd_);
  peer_fd_ = -1;
}

Sink::Sink() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || pipe2(stop_, O_CLOEXEC) < 0) die("sink socket");
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd_, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) < 0 || listen(fd_, 16) < 0 ||
      getsockname(fd_, reinterpret_cast<struct sockaddr *>(&a), &len) < 0)
    die("sink listen");
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

Sink::~Sink() {
  char c = 0;
  if (write(stop_[1], &c, 1) < 0) perror("sink stop");
  thread_.join();
  close(fd_);
  close(stop_[0]);
  close(stop_[1]);
}

void Sink::run() {
  std::vector<int> conns;
  char buf[65536];
  for (;;) {
    std::vector<struct pollfd> p = {{stop_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
    for (int c : conns) p.push_back({c, POLLIN, 0});
    if (poll(p.data(), p.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents) break;
    if (p[1].revents & POLLIN) {
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) conns.push_back(c);
    }
    std::vector<int> keep;
    for (size_t i = 2; i < p.size(); i++) {
      int c = p[i].fd;
      if (p[i].revents) {
        ssize_t n = recv(c, buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          close(c);
          continue;
        }
      }
      keep.push_back(c);
    }
    conns.swap(keep);
  }
  for (int c : conns) close(c);
}

void clear_wait_ack2() {
  for (;;) {
    u64 id = 0;
    bool found = false;
    unsigned long flags;
    spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
    if (g_wait_ack2_queue_head.head) {
      id = g_wait_ack2_queue_head.head->request_id;
      found = true;
    }
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
    if (!found || mirvol_del_wait_ack2_queue(id) != 0) return;
  }
}

}  // namespace fuzzsupport

// The C library's record of a thread's thread_local destructors, allocated
// by __cxa_thread_atexit_impl, is freed when that thread exits. Threads of
// the platform and of a module kept loaded are still running when the fuzzer
// exits, so their records are still there at the leak check: no leak.
extern "C" const char *__lsan_default_suppressions() {
  return "leak:__cxa_thread_atexit_impl\n";
}
