// File access from kernel context, over the OS's file calls.

#include "vfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <new>

#include "slab.h"
#include "task.h"

// The driver's flags go to open(2) unchanged, so they must be the OS's.
static_assert(O_WRONLY == 01 && O_RDWR == 02 && O_CREAT == 0100 && O_EXCL == 0200 &&
                  O_TRUNC == 01000 && O_APPEND == 02000 && O_DIRECT == 040000 &&
                  O_DIRECTORY == 0200000 && O_SYNC == 04010000,
              "open flags must have their Linux values");
static_assert(S_IFMT == 00170000 && S_IFDIR == 0040000 && S_IFREG == 0100000,
              "file-type bits must have their Linux values");

namespace {

// The most one read or write moves, as Linux caps it.
constexpr size_t kMaxRw = 0x7ffff000;

void fill_kstat(const struct stat &st, struct kstat *out) {
  out->ino = st.st_ino;
  out->mode = (umode_t)st.st_mode;
  out->nlink = (unsigned int)st.st_nlink;
  out->size = st.st_size;
  out->blksize = (u32)st.st_blksize;
  out->blocks = (u64)st.st_blocks;
  out->mtime_sec = st.st_mtim.tv_sec;
}

// Drops one reference; the last closes the descriptor and returns its result.
int file_put(struct file *f) {
  if (__atomic_fetch_sub(&f->f_count, 1, __ATOMIC_ACQ_REL) != 1) return 0;
  int r = close(f->f_fd);
  int err = r < 0 && errno != EINTR ? -errno : 0;
  delete f;
  return err;
}

}  // namespace

struct file *file_from_os_fd(int os_fd, unsigned int flags, loff_t pos) {
  auto *f = new (std::nothrow) struct file;
  if (!f) {
    close(os_fd);
    return nullptr;
  }
  f->f_count = 1;
  f->f_fd = os_fd;
  f->f_flags = flags;
  f->f_pos = pos;
  return f;
}

void fput(struct file *f) {
  if (f) file_put(f);
}

int file_os_fd(struct file *f) { return f ? f->f_fd : -1; }

struct file *filp_open(const char *filename, int flags, umode_t mode) {
  might_sleep_check("filp_open");
  if (!filename) return (struct file *)ERR_PTR(-EFAULT);
  int fd;
  do {
    fd = open(filename, flags | O_CLOEXEC, (mode_t)mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return (struct file *)ERR_PTR(-errno);
  struct file *f = file_from_os_fd(fd, (unsigned int)flags, 0);
  if (!f) return (struct file *)ERR_PTR(-ENOMEM);
  return f;
}

int filp_close(struct file *filp, fl_owner_t id) {
  (void)id;
  if (IS_ERR_OR_NULL(filp)) return -EBADF;
  return file_put(filp);
}

enum rw_dir { RW_READ, RW_WRITE };

// One read or one write at the file's position (or *pos), retried on EINTR.
// A descriptor without a position (a pipe or socket passed by a caller) is
// read or written as a stream and keeps no position. After a write with
// O_APPEND the OS wrote at the end whatever the position given, so the
// position becomes the file's size.
static long kernel_rw(struct file *file, void *buf, size_t count, loff_t *pos, enum rw_dir dir) {
  might_sleep_check(dir == RW_READ ? "kernel_read" : "kernel_write");
  if (IS_ERR_OR_NULL(file)) return -EBADF;
  loff_t *p = pos ? pos : &file->f_pos;
  if (*p < 0) return -EINVAL;
  if (count > kMaxRw) count = kMaxRw;
  ssize_t n;
  do {
    n = dir == RW_READ ? pread(file->f_fd, buf, count, *p) : pwrite(file->f_fd, buf, count, *p);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == ESPIPE) {
    do {
      n = dir == RW_READ ? read(file->f_fd, buf, count) : write(file->f_fd, buf, count);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : n;
  }
  if (n < 0) return -errno;
  if (dir == RW_WRITE && (file->f_flags & O_APPEND)) {
    struct stat st;
    if (fstat(file->f_fd, &st) == 0) *p = st.st_size;
  } else {
    *p += n;
  }
  return n;
}

long kernel_read(struct file *file, void *buf, size_t count, loff_t *pos) {
  return kernel_rw(file, buf, count, pos, RW_READ);
}

long kernel_write(struct file *file, const void *buf, size_t count, loff_t *pos) {
  // The buffer is only read from on this direction.
  return kernel_rw(file, const_cast<void *>(buf), count, pos, RW_WRITE);
}

loff_t vfs_llseek(struct file *file, loff_t offset, int whence) {
  might_sleep_check("vfs_llseek");
  if (IS_ERR_OR_NULL(file)) return -EBADF;
  if (whence == SEEK_CUR) {
    if (__builtin_add_overflow(file->f_pos, offset, &offset)) return -EOVERFLOW;
    whence = SEEK_SET;
  }
  off_t r = lseek(file->f_fd, offset, whence);
  if (r < 0) return -errno;
  file->f_pos = r;
  return r;
}

int vfs_fsync(struct file *file, int datasync) {
  might_sleep_check("vfs_fsync");
  if (IS_ERR_OR_NULL(file)) return -EBADF;
  int r;
  do {
    r = datasync ? fdatasync(file->f_fd) : fsync(file->f_fd);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? -errno : 0;
}

int vfs_stat(const char *name, struct kstat *stat) {
  might_sleep_check("vfs_stat");
  if (!name || !stat) return -EFAULT;
  struct stat st;
  if (::stat(name, &st) < 0) return -errno;
  fill_kstat(st, stat);
  return 0;
}

int vfs_lstat(const char *name, struct kstat *stat) {
  might_sleep_check("vfs_lstat");
  if (!name || !stat) return -EFAULT;
  struct stat st;
  if (::lstat(name, &st) < 0) return -errno;
  fill_kstat(st, stat);
  return 0;
}

int kern_path(const char *name, unsigned int flags, struct path *path) {
  might_sleep_check("kern_path");
  if (!name || !path) return -EFAULT;
  path->name = nullptr;
  path->mode = 0;
  if (!*name) return -ENOENT;
  // A lookup as a directory follows a final link, as a trailing '/' does.
  bool follow = (flags & (LOOKUP_FOLLOW | LOOKUP_DIRECTORY)) != 0;
  struct stat st;
  if ((follow ? ::stat(name, &st) : ::lstat(name, &st)) < 0) return -errno;
  if ((flags & LOOKUP_DIRECTORY) && !S_ISDIR(st.st_mode)) return -ENOTDIR;

  char *resolved = nullptr;
  const char *keep = name;
  if (follow) {
    resolved = realpath(name, nullptr);
    if (!resolved) return -errno;
    keep = resolved;
  }
  size_t len = strlen(keep);
  auto *copy = static_cast<char *>(kmalloc(len + 1, GFP_KERNEL));
  if (copy) memcpy(copy, keep, len + 1);
  free(resolved);
  if (!copy) return -ENOMEM;
  path->name = copy;
  path->mode = (umode_t)st.st_mode;
  return 0;
}

void path_put(struct path *path) {
  if (!path) return;
  kfree(path->name);
  path->name = nullptr;
}

int vfs_getattr(const struct path *path, struct kstat *stat) {
  might_sleep_check("vfs_getattr");
  if (!path || !path->name || !stat) return -EFAULT;
  // A followed path holds the resolved name, so its final part is no link.
  struct stat st;
  if (::lstat(path->name, &st) < 0) return -errno;
  fill_kstat(st, stat);
  return 0;
}

int vfs_mkdir(const char *name, umode_t mode) {
  might_sleep_check("vfs_mkdir");
  if (!name) return -EFAULT;
  if (mkdir(name, mode & S_IALLUGO) < 0) return -errno;
  // mkdir(2) applies the process's umask; the kernel's own call does not.
  (void)chmod(name, mode & S_IALLUGO);
  return 0;
}

int vfs_rmdir(const char *name) {
  might_sleep_check("vfs_rmdir");
  if (!name) return -EFAULT;
  return rmdir(name) < 0 ? -errno : 0;
}

int vfs_unlink(const char *name) {
  might_sleep_check("vfs_unlink");
  if (!name) return -EFAULT;
  return unlink(name) < 0 ? -errno : 0;
}

// --- what a path lies on ---

static bool loop_backing_file(dev_t dev, std::string *out) {
  std::ifstream f("/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                  std::to_string(minor(dev)) + "/loop/backing_file");
  if (!f || !std::getline(f, *out)) return false;
  const std::string deleted = " (deleted)";
  if (out->size() > deleted.size() &&
      out->compare(out->size() - deleted.size(), deleted.size(), deleted) == 0)
    out->resize(out->size() - deleted.size());
  return !out->empty();
}

// The type of the mounted file system whose device is `dev`.
static std::string fs_type_of(dev_t dev) {
  std::ifstream f("/proc/self/mountinfo");
  std::string line, want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, parent, devno;
    in >> id >> parent >> devno;
    if (devno != want) continue;
    size_t sep = line.find(" - ");
    if (sep == std::string::npos) continue;
    std::istringstream rest(line.substr(sep + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return std::string();
}

int vfs_loop_backing_fs_type(const char *path, char *type, size_t size) {
  if (size) type[0] = 0;
  std::string p = path ? path : "";
  struct stat st;
  while (stat(p.c_str(), &st) != 0) {
    size_t cut = p.find_last_of('/');
    if (p.empty() || cut == std::string::npos) return -ENOENT;
    p = cut == 0 ? std::string("/") : p.substr(0, cut);
    if (p == "/" && stat("/", &st) != 0) return -errno;
  }
  // Loop devices have the block major 7.
  std::string backing;
  if (major(st.st_dev) != 7 || !loop_backing_file(st.st_dev, &backing)) return 0;
  struct stat bst;
  if (stat(backing.c_str(), &bst) != 0) return 0;
  std::string t = fs_type_of(bst.st_dev);
  if (size) snprintf(type, size, "%s", t.c_str());
  return 0;
}
