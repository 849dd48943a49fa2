// User copies and the caller's passed descriptors.

#include "uaccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "internal.h"
#include "vfs.h"
#include "uaccess_host.h"

void set_user_context(const struct user_context *ctx) { get_current()->uctx = ctx; }

// The part of [addr, addr + n) that lies in the caller's buffer: offset into
// it and length (0 when none does).
static unsigned long user_span(const struct user_context *c, unsigned long addr, unsigned long n,
                               unsigned long *off) {
  if (!c || !c->buf || addr < c->uaddr || addr - c->uaddr >= c->len) return 0;
  *off = addr - c->uaddr;
  unsigned long avail = c->len - *off;
  return n < avail ? n : avail;
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
  const struct user_context *c = get_current()->uctx;
  unsigned long off = 0;
  unsigned long k = user_span(c, (unsigned long)from, n, &off);
  if (k) memcpy(to, c->buf + off, k);
  if (k < n) memset(static_cast<char *>(to) + k, 0, n - k);
  return n - k;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
  const struct user_context *c = get_current()->uctx;
  unsigned long off = 0;
  unsigned long k = user_span(c, (unsigned long)to, n, &off);
  if (k) memcpy(c->buf + off, from, k);
  return n - k;
}

struct file *fget(unsigned int fd) {
  const struct user_context *c = get_current()->uctx;
  if (!c) return nullptr;
  for (int i = 0; i < c->nfds; i++) {
    if (c->fd_nums[i] != (int)fd) continue;
    // Our own duplicate of the caller's descriptor, the same kind of file
    // as filp_open() gives; fput() (vfs.cpp) closes it.
    int dup_fd = fcntl(c->os_fds[i], F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0) return nullptr;
    int fl = fcntl(dup_fd, F_GETFL);
    off_t pos = lseek(dup_fd, 0, SEEK_CUR);
    return file_from_os_fd(dup_fd, fl < 0 ? 0 : (unsigned int)fl, pos < 0 ? 0 : pos);
  }
  return nullptr;
}
