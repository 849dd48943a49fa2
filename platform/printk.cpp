// The kernel log: levels, a sink file, an in-memory record, panic.

#include "printk.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "jiffies.h"
#include "printk_host.h"

namespace {

constexpr u64 kKept = 16384;

// The record of lines and the sink, guarded by log_mu. Lines are numbered
// from 0; line i sits at ring[i % kKept] while i >= count - kKept.
std::mutex log_mu;
std::condition_variable log_cv;
// Never destroyed: platform threads may still log while the process exits.
std::vector<klog_line> &ring = *new std::vector<klog_line>(kKept);
u64 count = 0;
int sink_fd = -1;
bool to_stderr = false;
const auto boot = std::chrono::steady_clock::now();
// The calling thread's tap (klog_set_thread_tap); only that thread uses it.
thread_local klog_tap_fn tap_fn = nullptr;
thread_local void *tap_ctx = nullptr;

void emit(int level, const char *text) {
  klog_line line;
  line.level = level;
  snprintf(line.text, sizeof(line.text), "%s", text);
  size_t n = strlen(line.text);
  while (n && line.text[n - 1] == '\n') line.text[--n] = 0;

  double up = std::chrono::duration<double>(std::chrono::steady_clock::now() - boot).count();
  char out[sizeof(line.text) + 40];
  int len = snprintf(out, sizeof(out), "<%d>[%12.6f] %s\n", level, up, line.text);
  if (len < 0) return;
  if ((size_t)len >= sizeof(out)) len = sizeof(out) - 1;
  if (tap_fn) tap_fn(tap_ctx, level, line.text);

  std::lock_guard<std::mutex> g(log_mu);
  ring[count % kKept] = line;
  count++;
  if (sink_fd >= 0) {
    ssize_t w = write(sink_fd, out, (size_t)len);
    (void)w;
  }
  if (to_stderr) {
    ssize_t w = write(2, out, (size_t)len);
    (void)w;
  }
  log_cv.notify_all();
}

}  // namespace

void klog_set_thread_tap(klog_tap_fn tap, void *ctx) {
  tap_fn = tap;
  tap_ctx = ctx;
}

int vprintk(const char *fmt, va_list ap) {
  char buf[1100];
  int n = vsnprintf(buf, sizeof(buf), fmt, ap);
  const char *text = buf;
  int level = LOGLEVEL_DEFAULT;
  if (text[0] == '\001' && text[1] >= '0' && text[1] <= '7') {
    level = text[1] - '0';
    text += 2;
  }
  emit(level, text);
  return n;
}

int printk(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintk(fmt, ap);
  va_end(ap);
  return n;
}

int vsnprintf_k(char *buf, size_t size, const char *fmt, va_list ap) {
  return vsnprintf(buf, size, fmt, ap);
}

int snprintf_k(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

void dump_stack(void) {
  void *frames[32];
  int n = backtrace(frames, 32);
  char **names = backtrace_symbols(frames, n);
  printk(KERN_WARNING "Call Trace:\n");
  for (int i = 1; i < n; i++) printk(KERN_WARNING " %s\n", names ? names[i] : "?");
  free(names);
}

void panic(const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  const char *text = buf;
  if (text[0] == '\001' && text[1] >= '0' && text[1] <= '7') text += 2;
  printk(KERN_ERR "Kernel panic - not syncing: %s", text);
  {
    std::lock_guard<std::mutex> g(log_mu);
    if (sink_fd >= 0) fsync(sink_fd);
  }
  fprintf(stderr, "Kernel panic - not syncing: %s\n", text);
  // Straight to the kernel: not even the sanitizers' exit processing runs
  // (their reports on a process cut short would replace the exit code).
  syscall(SYS_exit_group, PANIC_EXIT_CODE);
  _exit(PANIC_EXIT_CODE);
}

int klog_set_file(const char *path) {
  int fd = -1;
  if (path) {
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -errno;
  }
  std::lock_guard<std::mutex> g(log_mu);
  if (sink_fd >= 0) close(sink_fd);
  sink_fd = fd;
  return 0;
}

void klog_set_stderr(bool on) {
  std::lock_guard<std::mutex> g(log_mu);
  to_stderr = on;
}

u64 klog_count(void) {
  std::lock_guard<std::mutex> g(log_mu);
  return count;
}

bool klog_get(u64 index, struct klog_line *out) {
  std::lock_guard<std::mutex> g(log_mu);
  if (index >= count || count - index > kKept) return false;
  *out = ring[index % kKept];
  return true;
}

long klog_wait_for(u64 from, const char *needle, unsigned int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> lk(log_mu);
  u64 i = from;
  for (;;) {
    if (count > kKept && i < count - kKept) i = count - kKept;
    for (; i < count; i++)
      if (strstr(ring[i % kKept].text, needle)) return (long)i;
    if (log_cv.wait_until(lk, until) == std::cv_status::timeout) {
      for (; i < count; i++)
        if (strstr(ring[i % kKept].text, needle)) return (long)i;
      return -1;
    }
  }
}
