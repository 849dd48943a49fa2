// The control socket: control commands of real programs (mirvolctl, the
// cluster service) carried to the module's ioctl.
//
// Wire format (tools/ctl_wire.h has the structures): a Unix stream socket,
// one command per connection.
//   request  ctl_request_head {magic "MVC1", device name[16], cmd, nfds, len},
//            int32 caller descriptor numbers[nfds], buffer[len]; the nfds
//            descriptors ride along as SCM_RIGHTS, in the order of the numbers.
//   signals  ctl_signal {magic "MVS1", sig}, any number while the call runs:
//            posted to the task running the command.
//   reply    ctl_reply_head {magic "MVR1", error, result, len, msg_len},
//            buffer[len] after the call, text[msg_len]: why the call was
//            not carried, or the log lines the command wrote.
// error 0 means the call was carried and result is the ioctl's result;
// otherwise -EPROTO (malformed request), -ENODEV (no such mirror disk) or
// -ESHUTDOWN (the host is stopping).
//
// Every connection is served by a thread of its own, which becomes a task
// ("mirvol_ctl") the first time it touches the platform: it reads the
// request, makes the caller's buffer its user memory at a fixed user address
// and the passed descriptors its caller's open files, and calls the disk's
// ioctl through the block layer. Commands may sleep for minutes and any
// number run at once. While one runs, a watcher thread reads the
// connection: a signal message posts that signal to the task, and a client
// that goes away (killed, or just gone) posts SIGKILL, as a killed process
// would leave its pending fatal signal to its ioctl.
//
// Stopping: a stop request is refused while a command runs (the module is
// in use, as a device held open by an ioctl caller keeps rmmod from going
// on); once it is accepted, new requests are answered -ESHUTDOWN, idle
// connections are closed, the socket is removed and only then is the module
// unloaded.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/host.h"
#include "include/mirvol.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"
#include "platform/uaccess.h"
#include "platform/host_side.h"
#include "tools/ctl_wire.h"

namespace mirvold {

namespace {

using namespace mirvol_ctl;

struct connection {
  int fd = -1;
  std::thread thread;
  std::atomic<bool> done{false};
};

struct control_state {
  std::mutex mu;
  std::condition_variable cv;
  std::string path;
  int listen_fd = -1;
  int stop_fd = -1;  // eventfd: readable once the socket is being closed
  std::thread acceptor;
  std::list<std::unique_ptr<connection>> conns;  // guarded by mu
  bool refusing = false;  // a stop is under way: new commands are refused (mu)
  int running = 0;        // commands between admission and the end of their call (mu)
};

control_state *g_ctl;  // null when the host has no control socket

// --- socket helpers ---

// Waits until fd is readable or the socket is being closed. False for the
// latter (or a poll error).
bool wait_readable(int fd) {
  struct pollfd p[2] = {{fd, POLLIN, 0}, {g_ctl->stop_fd, POLLIN, 0}};
  for (;;) {
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & POLLIN)) return false;
    if (p[0].revents) return true;
  }
}

// Reads exactly len bytes, collecting any descriptors that arrive with them
// into fds. 0, -ECONNRESET when the peer closed or the host is stopping,
// -EPROTO when descriptors were cut off, or -errno.
int read_full(int fd, void *buf, size_t len, std::vector<int> *fds) {
  char *p = static_cast<char *>(buf);
  while (len) {
    if (!wait_readable(fd)) return -ECONNRESET;
    union {
      struct cmsghdr align;
      char space[CMSG_SPACE(sizeof(int) * MAX_FDS)];
    } cbuf;
    struct iovec iov = {p, len};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cbuf.space;
    msg.msg_controllen = sizeof(cbuf.space);
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      const unsigned char *data = CMSG_DATA(c);
      for (size_t i = 0; i < k; i++) {
        int one;
        memcpy(&one, data + i * sizeof(int), sizeof(int));
        fds->push_back(one);
      }
    }
    if (msg.msg_flags & MSG_CTRUNC) return -EPROTO;
    if (n == 0) return -ECONNRESET;
    p += n;
    len -= (size_t)n;
  }
  return 0;
}

// One control command as it was read off the connection.
struct request {
  std::string device;
  uint32_t cmd = 0;
  std::vector<int> nums;  // the caller's numbers ...
  std::vector<int> fds;   // ... and the descriptors received for them
  std::vector<unsigned char> buf;
};

// How long a reply may take to leave. A client that does not read its answer
// (a stuck or hostile one) must not hold its connection's thread, which a
// stop joins, for longer.
constexpr int kReplyWaitMs = 10000;

// Sends the bytes within kReplyWaitMs. 0, -ETIMEDOUT when the client did not
// take them in time, or -errno when it is gone (nobody to tell either way).
int send_all(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (len) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (spent >= kReplyWaitMs) return -ETIMEDOUT;
      struct pollfd pf = {fd, POLLOUT, 0};
      int k = poll(&pf, 1, (int)(kReplyWaitMs - spent));
      if (k < 0 && errno != EINTR) return -errno;
      continue;
    }
    if (n < 0) return -errno;
    if (n == 0) return -EPIPE;
    p += n;
    len -= (size_t)n;
  }
  return 0;
}

void send_reply(int fd, int error, int result, const std::vector<unsigned char> &buf,
                const std::string &msg, const request *rq = nullptr) {
  ctl_reply_head h = {};
  h.magic = REPLY_MAGIC;
  h.error = error;
  h.result = result;
  h.len = error ? 0 : (uint32_t)buf.size();
  h.msg_len = (uint32_t)msg.size();
  std::vector<unsigned char> out(sizeof(h) + h.len + h.msg_len);
  memcpy(out.data(), &h, sizeof(h));
  if (h.len) memcpy(out.data() + sizeof(h), buf.data(), h.len);
  if (h.msg_len) memcpy(out.data() + sizeof(h) + h.len, msg.data(), h.msg_len);
  if (send_all(fd, out.data(), out.size()) == -ETIMEDOUT && rq)
    printk(KERN_WARNING
           "mirvold: control client of command %u on %s did not take its answer; it is dropped\n",
           rq->cmd, rq->device.c_str());
}

void close_all(std::vector<int> *fds) {
  for (int f : *fds) close(f);
  fds->clear();
}

// --- the command ---

// Reads one request. 0, -ECONNRESET (nothing to answer) or -EPROTO with why.
int read_request(int fd, request *rq, std::string *why) {
  ctl_request_head h;
  int r = read_full(fd, &h, sizeof(h), &rq->fds);
  if (r == -EPROTO) *why = "more descriptors than a request may pass";
  if (r) return r;
  if (h.magic != REQUEST_MAGIC) {
    *why = "not a control request";
    return -EPROTO;
  }
  if (h.nfds > MAX_FDS || h.len > MAX_LEN || !memchr(h.device, 0, sizeof(h.device))) {
    *why = "request out of range (descriptors, buffer size or device name)";
    return -EPROTO;
  }
  rq->device = h.device;
  rq->cmd = h.cmd;
  rq->nums.resize(h.nfds);
  rq->buf.resize(h.len);
  if (h.nfds) r = read_full(fd, rq->nums.data(), h.nfds * sizeof(int), &rq->fds);
  if (!r && h.len) r = read_full(fd, rq->buf.data(), h.len, &rq->fds);
  if (r == -EPROTO) *why = "more descriptors than a request may pass";
  if (r) return r;
  if (rq->fds.size() != h.nfds) {
    *why = "the descriptors passed do not match the numbers announced";
    return -EPROTO;
  }
  return 0;
}

// The block device of the mirror disk of that name, with a reference; null
// when the module registered none.
struct block_device *find_disk(const std::string &name) {
  for (unsigned int i = 0; i < minor_num && i < MIRVOL_MAX_NMP; i++) {
    struct block_device *bdev = bdget(MKDEV((dev_t_k)g_mirvol_major, (dev_t_k)nmp_minor[i]));
    if (!bdev) continue;
    if (bdev->bd_disk && name == bdev->bd_disk->disk_name) return bdev;
    bdput(bdev);
  }
  return nullptr;
}

// Reads the connection while a command runs: signal messages are posted to
// the task, and the client's going away posts SIGKILL. Ends when `done_fd`
// becomes readable.
void watch_client(int fd, int done_fd, struct task_struct *task, const request *rq) {
  unsigned char part[sizeof(ctl_signal)];
  size_t have = 0;
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN | POLLRDHUP, 0}, {done_fd, POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents) return;
    ssize_t k = recv(fd, part + have, sizeof(part) - have, MSG_DONTWAIT);
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (k <= 0) {
      printk(KERN_INFO
             "mirvold: control client of command %u on %s went away; the command is sent SIGKILL\n",
             rq->cmd, rq->device.c_str());
      send_sig(SIGKILL, task, 1);
      return;
    }
    have += (size_t)k;
    if (have < sizeof(part)) continue;
    have = 0;
    ctl_signal s;
    memcpy(&s, part, sizeof(s));
    if (s.magic != SIGNAL_MAGIC || send_sig((int)s.sig, task, 1)) {
      printk(KERN_WARNING
             "mirvold: control client of command %u on %s sent no valid signal message\n",
             rq->cmd, rq->device.c_str());
      continue;
    }
    printk(KERN_INFO "mirvold: control command %u on %s is sent signal %u\n", rq->cmd,
           rq->device.c_str(), s.sig);
  }
}

// The kernel log lines a command writes on its own task, for its caller:
// "<level>text" each, one per line, at most kMaxLogText bytes (the lines
// after that are only in the log).
constexpr size_t kMaxLogText = 64 * 1024;

void collect_line(void *ctx, int level, const char *text) {
  std::string *out = static_cast<std::string *>(ctx);
  size_t len = strlen(text);
  if (out->size() + len + 4 > kMaxLogText) return;
  out->push_back('<');
  out->push_back((char)('0' + (level & 7)));
  out->push_back('>');
  out->append(text, len);
  out->push_back('\n');
}

// Runs the command on the current task and returns the ioctl's result; the
// log lines it wrote are appended to *lines.
int run_command(int fd, struct block_device *bdev, request *rq, std::string *lines) {
  struct task_struct *task = get_current();
  set_task_comm(task, "mirvol_ctl");

  // Without a watcher the command still runs; it just hears of no signal.
  int done_fd = eventfd(0, EFD_CLOEXEC);
  std::thread watcher;
  if (done_fd >= 0) {
    try {
      watcher = std::thread(watch_client, fd, done_fd, task, rq);
    } catch (const std::system_error &e) {
      printk(KERN_WARNING "mirvold: no watcher for control command %u: %s\n", rq->cmd, e.what());
    }
  } else {
    printk(KERN_WARNING "mirvold: no watcher for control command %u: %d (%s)\n", rq->cmd, -errno,
           strerror(errno));
  }

  static unsigned char no_bytes[1];
  struct user_context ctx = {};
  ctx.buf = rq->buf.empty() ? no_bytes : rq->buf.data();
  ctx.len = rq->buf.size();
  ctx.uaddr = USER_ADDRESS;
  ctx.fd_nums = rq->nums.data();
  ctx.os_fds = rq->fds.data();
  ctx.nfds = (int)rq->fds.size();
  set_user_context(&ctx);
  klog_set_thread_tap(collect_line, lines);
  int result = blkdev_ioctl(bdev, FMODE_READ | FMODE_WRITE, rq->cmd, USER_ADDRESS);
  klog_set_thread_tap(nullptr, nullptr);
  set_user_context(nullptr);

  if (watcher.joinable()) {
    uint64_t one = 1;
    ssize_t w = write(done_fd, &one, sizeof(one));
    (void)w;
    watcher.join();
  }
  if (done_fd >= 0) close(done_fd);
  return result;
}

void serve(connection *c) {
  int fd = c->fd;
  request rq;
  std::string why;
  int r = read_request(fd, &rq, &why);
  if (r == -EPROTO) {
    printk(KERN_WARNING "mirvold: control request refused: %s\n", why.c_str());
    send_reply(fd, -EPROTO, 0, {}, why);
  }
  if (r) {
    close_all(&rq.fds);
    return;
  }

  bool admitted;
  {
    std::lock_guard<std::mutex> g(g_ctl->mu);
    admitted = !g_ctl->refusing;
    if (admitted) g_ctl->running++;
  }
  if (!admitted) {
    close_all(&rq.fds);
    send_reply(fd, -ESHUTDOWN, 0, {}, "the host is stopping");
    return;
  }
  struct block_device *bdev = find_disk(rq.device);
  int error = 0, result = 0;
  std::string msg;
  if (bdev) {
    result = run_command(fd, bdev, &rq, &msg);
    bdput(bdev);
  } else {
    error = -ENODEV;
    msg = "no mirror device " + rq.device + " on this host";
  }
  close_all(&rq.fds);
  // The command is over before its answer is sent: a client that never reads
  // the answer keeps no stop from going on.
  {
    std::lock_guard<std::mutex> g(g_ctl->mu);
    g_ctl->running--;
    g_ctl->cv.notify_all();
  }
  send_reply(fd, error, result, rq.buf, msg, &rq);
}

void connection_main(connection *c) {
  serve(c);
  // Closed here, not by whoever joins: the client sees the end of the reply now.
  close(c->fd);
  c->fd = -1;
  c->done = true;
}

// Joins the connections that have ended. Called with mu held.
void reap_locked() {
  for (auto it = g_ctl->conns.begin(); it != g_ctl->conns.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      it = g_ctl->conns.erase(it);
    } else {
      ++it;
    }
  }
}

void accept_loop() {
  for (;;) {
    if (!wait_readable(g_ctl->listen_fd)) return;
    int fd = accept4(g_ctl->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
        printk(KERN_WARNING "mirvold: control socket accept failed: %d (%s)\n", -errno,
               strerror(errno));
      continue;
    }
    std::lock_guard<std::mutex> g(g_ctl->mu);
    reap_locked();
    auto c = std::make_unique<connection>();
    c->fd = fd;
    connection *raw = c.get();
    try {
      c->thread = std::thread(connection_main, raw);
    } catch (const std::system_error &e) {
      printk(KERN_WARNING "mirvold: no thread for a control connection: %s\n", e.what());
      close(fd);
      continue;
    }
    g_ctl->conns.push_back(std::move(c));
  }
}

}  // namespace

int control_start(const std::string &path) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    printk(KERN_ERR "mirvold: control socket path %s is empty or too long\n", path.c_str());
    return -ENAMETOOLONG;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());

  // A socket left by a host that did not get to remove it is taken over;
  // anything else at the path is not ours to remove.
  struct stat st;
  int fd;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      printk(KERN_ERR "mirvold: %s exists and is no socket\n", path.c_str());
      return -EEXIST;
    }
    // A socket that still accepts belongs to a running host: not ours.
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    bool live = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (live) {
      printk(KERN_ERR "mirvold: control socket %s is served by another running host\n",
             path.c_str());
      return -EADDRINUSE;
    }
    unlink(path.c_str());
  }
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  // Only the owner may issue control commands, as only root opens the
  // mirror devices of a kernel.
  mode_t old_mask = umask(077);
  int r = bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
  int bind_errno = errno;
  umask(old_mask);
  if (r || listen(fd, 64)) {
    int e = r ? bind_errno : errno;
    printk(KERN_ERR "mirvold: cannot listen on control socket %s: %d (%s)\n", path.c_str(), -e,
           strerror(e));
    close(fd);
    if (!r) unlink(path.c_str());
    return -e;
  }
  int stop_fd = eventfd(0, EFD_CLOEXEC);
  if (stop_fd < 0) {
    int e = errno;
    close(fd);
    unlink(path.c_str());
    return -e;
  }
  g_ctl = new control_state();
  g_ctl->path = path;
  g_ctl->listen_fd = fd;
  g_ctl->stop_fd = stop_fd;
  g_ctl->acceptor = std::thread(accept_loop);
  printk(KERN_INFO "mirvold: control socket %s\n", path.c_str());
  return 0;
}

int control_begin_stop(void) {
  if (!g_ctl) return 0;
  std::lock_guard<std::mutex> g(g_ctl->mu);
  if (g_ctl->running) return g_ctl->running;
  g_ctl->refusing = true;
  return 0;
}

void control_cancel_stop(void) {
  if (!g_ctl) return;
  std::lock_guard<std::mutex> g(g_ctl->mu);
  g_ctl->refusing = false;
}

void control_stop(void) {
  if (!g_ctl) return;
  {
    std::lock_guard<std::mutex> g(g_ctl->mu);
    g_ctl->refusing = true;
  }
  // Wakes the acceptor and every connection still waiting for its request.
  uint64_t one = 1;
  ssize_t w = write(g_ctl->stop_fd, &one, sizeof(one));
  (void)w;
  g_ctl->acceptor.join();
  close(g_ctl->listen_fd);
  unlink(g_ctl->path.c_str());
  {
    // Normally none runs (the stop was refused while one did); a command
    // admitted before is waited for, whatever it takes.
    std::unique_lock<std::mutex> l(g_ctl->mu);
    g_ctl->cv.wait(l, [] { return g_ctl->running == 0; });
  }
  std::list<std::unique_ptr<connection>> conns;
  {
    std::lock_guard<std::mutex> g(g_ctl->mu);
    conns.swap(g_ctl->conns);
  }
  for (auto &c : conns) c->thread.join();
  close(g_ctl->stop_fd);
  printk(KERN_INFO "mirvold: control socket %s closed\n", g_ctl->path.c_str());
  delete g_ctl;
  g_ctl = nullptr;
}

}  // namespace mirvold
