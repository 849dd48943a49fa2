// The FUSE file system of mirvold:
//
//   DIR/NMP3, DIR/NMP1 ...   one regular file per mirror disk, sized by the
//                            disk's capacity; reads and writes become bios
//   DIR/proc/...             the platform's /proc entries, each read made
//                            on demand by the entry's show routine
//
// Requests are served by libfuse's multithreaded loop; every worker thread
// becomes a platform task the first time it runs driver code.

#define FUSE_USE_VERSION 312

#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "platform/printk.h"
#include "platform/procfs.h"
#include "platform/printk_host.h"
#include "platform/procfs_host.h"

extern char **environ;

namespace mirvold {
namespace {

constexpr const char kProcDir[] = "/proc";

// How long a stop request waits for the releases of files that were just
// closed (the kernel sends them after close() has returned).
constexpr auto kReleaseGrace = std::chrono::seconds(2);
// How long an unmount waits for the workers before the connection is cut.
constexpr auto kUnmountWait = std::chrono::seconds(5);

// One open mirror file.
struct open_mirror {
  mirror_file *file;
  std::atomic<bool> written{false};  // a write since the last flush to stable storage
};

struct fs_state {
  std::string dir;
  std::vector<mirror_file> files;
  struct fuse *fuse = nullptr;
  std::thread loop;
  dev_t dev = 0;  // st_dev of the mount, to find its connection
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec started {};

  std::mutex mu;
  std::condition_variable cv;
  int open_mirrors = 0;               // guarded by mu
  // Operations running now, counted without the lock: an operation counts
  // itself before it reads `stopping`, and a stop sets `stopping` before it
  // reads the count (both sequentially consistent), so either the operation
  // sees the stop or the stop waits for it. The last one to leave after a
  // stop notifies cv under mu.
  std::atomic<int> active_ops{0};
  std::atomic<int> most_ops{0};       // the most active_ops seen so far
  std::atomic<bool> stopping{false};  // set under mu
  bool loop_done = false;             // guarded by mu
};

fs_state *g_fs = nullptr;

bool is_stopping() { return g_fs->stopping.load(); }

// The mirror file of the path; none once the host is stopping (the disks go
// away with the module).
mirror_file *find_mirror(const char *path) {
  if (path[0] != '/' || is_stopping()) return nullptr;
  for (auto &f : g_fs->files)
    if (f.name == path + 1) return &f;
  return nullptr;
}

// "/proc" -> "", "/proc/mirvolperf/NMP3" -> "mirvolperf/NMP3"; null when the
// path is not below DIR/proc.
const char *proc_path(const char *path) {
  size_t n = sizeof(kProcDir) - 1;
  if (strncmp(path, kProcDir, n) != 0) return nullptr;
  if (path[n] == 0) return path + n;
  if (path[n] == '/') return path + n + 1;
  return nullptr;
}

void fill_times(struct stat *st) {
  st->st_atim = g_fs->started;
  st->st_mtim = g_fs->started;
  st->st_ctim = g_fs->started;
}

int op_getattr(const char *path, struct stat *st, struct fuse_file_info *) {
  memset(st, 0, sizeof(*st));
  fill_times(st);
  st->st_uid = g_fs->uid;
  st->st_gid = g_fs->gid;
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 3;
    return 0;
  }
  if (mirror_file *f = find_mirror(path)) {
    st->st_mode = S_IFREG | 0660;
    st->st_nlink = 1;
    st->st_size = (off_t)mirror_size(f->disk);
    st->st_blksize = 4096;
    st->st_blocks = st->st_size / 512;
    return 0;
  }
  if (const char *p = proc_path(path)) {
    if (is_stopping()) return -ENOENT;
    umode_t mode = 0;
    int r = proc_getattr(p, &mode);
    if (r) return r;
    st->st_mode = mode;
    st->st_nlink = S_ISDIR(mode) ? 2 : 1;
    st->st_uid = 0;
    st->st_gid = 0;
    return 0;
  }
  return -ENOENT;
}

struct list_ctx {
  void *buf;
  fuse_fill_dir_t fill;
};

void list_one(void *arg, const char *name, umode_t mode) {
  auto *c = static_cast<list_ctx *>(arg);
  struct stat st;
  memset(&st, 0, sizeof(st));
  st.st_mode = mode;
  c->fill(c->buf, name, &st, 0, (enum fuse_fill_dir_flags)0);
}

int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
  if (strcmp(path, "/") == 0) {
    fill(buf, ".", nullptr, 0, (enum fuse_fill_dir_flags)0);
    fill(buf, "..", nullptr, 0, (enum fuse_fill_dir_flags)0);
    for (auto &f : g_fs->files) fill(buf, f.name.c_str(), nullptr, 0, (enum fuse_fill_dir_flags)0);
    fill(buf, kProcDir + 1, nullptr, 0, (enum fuse_fill_dir_flags)0);
    return 0;
  }
  const char *p = proc_path(path);
  if (!p) return find_mirror(path) ? -ENOTDIR : -ENOENT;
  if (is_stopping()) return -ENOENT;
  fill(buf, ".", nullptr, 0, (enum fuse_fill_dir_flags)0);
  fill(buf, "..", nullptr, 0, (enum fuse_fill_dir_flags)0);
  list_ctx c{buf, fill};
  return proc_list(p, list_one, &c);
}

int op_open(const char *path, struct fuse_file_info *fi) {
  if (mirror_file *f = find_mirror(path)) {
    {
      std::lock_guard<std::mutex> g(g_fs->mu);
      if (g_fs->stopping) return -ENODEV;
      g_fs->open_mirrors++;
    }
    mirror_opened(f->disk);
    fi->fh = reinterpret_cast<uint64_t>(new open_mirror{f});
    fi->keep_cache = 0;
    return 0;
  }
  const char *p = proc_path(path);
  if (!p) return -ENOENT;
  if (is_stopping()) return -ENOENT;
  umode_t mode = 0;
  int r = proc_getattr(p, &mode);
  if (r) return r;
  if (S_ISDIR(mode)) return -EISDIR;
  // The text is made anew by every read, so its size is unknown up front.
  fi->direct_io = 1;
  fi->nonseekable = 0;
  fi->fh = 0;
  return 0;
}

open_mirror *handle(struct fuse_file_info *fi) {
  return fi ? reinterpret_cast<open_mirror *>(fi->fh) : nullptr;
}

int op_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  if (off < 0) return -EINVAL;
  if (open_mirror *h = handle(fi)) return (int)mirror_read(h->file->disk, buf, size, (uint64_t)off);
  const char *p = proc_path(path);
  if (!p) return -ENOENT;
  if (is_stopping()) return -ENOENT;
  char *text = nullptr;
  size_t len = 0;
  int r = proc_read(p, &text, &len);
  if (r) return r;
  size_t n = 0;
  if ((uint64_t)off < len) {
    n = len - (size_t)off;
    if (n > size) n = size;
    memcpy(buf, text + off, n);
  }
  proc_read_free(text);
  return (int)n;
}

int op_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  if (off < 0) return -EINVAL;
  if (open_mirror *h = handle(fi)) {
    long r = mirror_write(h->file->disk, buf, size, (uint64_t)off);
    if (r > 0) h->written.store(true);
    return (int)r;
  }
  const char *p = proc_path(path);
  if (!p) return -ENOENT;
  if (is_stopping()) return -ENOENT;
  return (int)proc_write(p, buf, size, off);
}

// Brings the handle's writes to stable storage.
int sync_handle(open_mirror *h) {
  h->written.store(false);
  int r = mirror_fsync(h->file->disk);
  if (r) h->written.store(true);
  return r;
}

int op_fsync(const char *, int, struct fuse_file_info *fi) {
  if (open_mirror *h = handle(fi)) return sync_handle(h);
  return 0;
}

// Every close() of a descriptor: a handle that was written to is flushed.
int op_flush(const char *, struct fuse_file_info *fi) {
  open_mirror *h = handle(fi);
  if (!h) return 0;
  return h->written.load() ? sync_handle(h) : 0;
}

int op_release(const char *, struct fuse_file_info *fi) {
  open_mirror *h = handle(fi);
  if (!h) return 0;
  mirror_closed(h->file->disk);
  delete h;
  std::lock_guard<std::mutex> g(g_fs->mu);
  g_fs->open_mirrors--;
  g_fs->cv.notify_all();
  return 0;
}

// A mirror file is a disk: its size is its capacity, whatever an O_TRUNC or a
// truncate asks; owners, modes and times are not kept.
int op_truncate(const char *path, off_t, struct fuse_file_info *) {
  if (find_mirror(path)) return 0;
  if (proc_path(path)) return 0;  // "echo x > DIR/proc/file" truncates first
  return -ENOENT;
}

int op_chmod(const char *path, mode_t, struct fuse_file_info *) {
  return find_mirror(path) ? 0 : -EPERM;
}

int op_chown(const char *path, uid_t, gid_t, struct fuse_file_info *) {
  return find_mirror(path) ? 0 : -EPERM;
}

int op_utimens(const char *path, const struct timespec *, struct fuse_file_info *) {
  return find_mirror(path) || proc_path(path) ? 0 : -ENOENT;
}

int op_create(const char *, mode_t, struct fuse_file_info *) { return -EACCES; }

// Requests the kernel lets run at once in the background (asynchronous and
// direct I/O, read-ahead, write-back), and from how many on it holds back
// new ones. Its defaults (12 and 9) would cap an application's queue depth
// far below the 64 a disk is expected to serve.
constexpr unsigned kMaxBackground = 128;
constexpr unsigned kCongestionThreshold = 96;
// Workers of the loop: one per request that is being served at once. Idle
// workers are kept up to the same number: a loop that ends a worker as soon
// as more than a few are idle starts a new thread for nearly every request
// when the queue depth swings around that number.
constexpr int kMaxWorkers = 128;
constexpr int kMaxIdleWorkers = kMaxWorkers;

void *op_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  conn->max_background = kMaxBackground;
  conn->congestion_threshold = kCongestionThreshold;
  // Sizes change with the disks' capacities and /proc entries come and go:
  // nothing is cached about names or attributes.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->use_ino = 0;
  cfg->nullpath_ok = 0;
  return nullptr;
}

// Every operation runs counted, and none starts once the host is stopping,
// so that after fs_begin_stop() no operation touches the disks or /proc
// while the module goes away (the workers of a detached mount that is still
// held may live on).
struct op_guard {
  bool ok;
  op_guard() {
    int now = g_fs->active_ops.fetch_add(1) + 1;
    ok = !g_fs->stopping.load();
    if (!ok) {
      leave();
      return;
    }
    int most = g_fs->most_ops.load(std::memory_order_relaxed);
    while (now > most && !g_fs->most_ops.compare_exchange_weak(most, now)) {
    }
    // How deep the kernel's queue to the host gets, for whoever tunes it.
    if (now > most) printk(KERN_DEBUG "mirvold: %d file system operations at once\n", now);
  }
  ~op_guard() {
    if (ok) leave();
  }
  static void leave() {
    if (g_fs->active_ops.fetch_sub(1) == 1 && g_fs->stopping.load()) {
      std::lock_guard<std::mutex> g(g_fs->mu);
      g_fs->cv.notify_all();
    }
  }
};

template <typename F, F Fn>
struct guarded_op;
template <typename... A, int (*Fn)(A...)>
struct guarded_op<int (*)(A...), Fn> {
  static int call(A... a) {
    op_guard g;
    if (!g.ok) return -ENOENT;
    return Fn(a...);
  }
};
#define GUARDED(fn) guarded_op<decltype(&fn), &fn>::call

struct fuse_operations make_ops() {
  struct fuse_operations ops;
  memset(&ops, 0, sizeof(ops));
  ops.getattr = GUARDED(op_getattr);
  ops.readdir = GUARDED(op_readdir);
  ops.open = GUARDED(op_open);
  ops.read = GUARDED(op_read);
  ops.write = GUARDED(op_write);
  ops.fsync = GUARDED(op_fsync);
  ops.flush = GUARDED(op_flush);
  ops.release = GUARDED(op_release);
  ops.truncate = GUARDED(op_truncate);
  ops.chmod = GUARDED(op_chmod);
  ops.chown = GUARDED(op_chown);
  ops.utimens = GUARDED(op_utimens);
  ops.create = GUARDED(op_create);
  ops.init = op_init;
  return ops;
}

void run_loop() {
  struct fuse_loop_config *cfg = fuse_loop_cfg_create();
  fuse_loop_cfg_set_clone_fd(cfg, 0);
  fuse_loop_cfg_set_max_threads(cfg, kMaxWorkers);
  fuse_loop_cfg_set_idle_threads(cfg, kMaxIdleWorkers);
  int r = fuse_loop_mt(g_fs->fuse, cfg);
  fuse_loop_cfg_destroy(cfg);
  if (r) printk(KERN_WARNING "mirvold: file system loop ended with %d\n", r);
  std::lock_guard<std::mutex> g(g_fs->mu);
  g_fs->loop_done = true;
  g_fs->cv.notify_all();
}

bool wait_loop_done(std::chrono::steady_clock::duration d) {
  std::unique_lock<std::mutex> l(g_fs->mu);
  return g_fs->cv.wait_for(l, d, [] { return g_fs->loop_done; });
}

// Detaches the mount at dir now; it goes once nobody uses it any more.
void detach_mount(const char *dir) {
  if (geteuid() == 0) {
    if (umount2(dir, MNT_DETACH) != 0)
      printk(KERN_WARNING "mirvold: detach of %s: %s\n", dir, strerror(errno));
    return;
  }
  const char *argv[] = {"fusermount3", "-u", "-z", "-q", dir, nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
    printk(KERN_WARNING "mirvold: cannot run fusermount3 to unmount %s\n", dir);
    return;
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Unmounts DIR; the kernel then ends the connection and the workers leave.
// A mount still in use (a /proc file open, a working directory inside) is
// detached instead.
void unmount_dir() {
  const char *dir = g_fs->dir.c_str();
  if (geteuid() == 0) {
    if (umount2(dir, 0) == 0) return;
    int e = errno;
    printk(KERN_WARNING "mirvold: unmount of %s: %s; detaching it\n", dir, strerror(e));
  }
  detach_mount(dir);
}

// A host that was killed together with its unmount helper leaves its mount
// behind with nobody serving it: every access to it fails with ENOTCONN, so
// nothing can be mounted there. Such a mount is detached before mounting.
void clear_dead_mount(const char *dir) {
  struct stat st;
  if (stat(dir, &st) == 0 || errno != ENOTCONN) return;
  printk(KERN_WARNING
         "mirvold: %s is a dead file system mount (its server is gone); unmounting it lazily\n",
         dir);
  detach_mount(dir);
}

// Cuts the connection through the FUSE control file system, for a detached
// mount that is still held by someone. False when that is not possible.
bool abort_connection() {
  char path[96];
  snprintf(path, sizeof(path), "/sys/fs/fuse/connections/%u/abort", minor(g_fs->dev));
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    printk(KERN_WARNING "mirvold: cannot cut the file system connection (%s): %s\n", path,
           strerror(errno));
    return false;
  }
  bool ok = write(fd, "1", 1) == 1;
  close(fd);
  return ok;
}

}  // namespace

int fs_start(const std::string &dir, std::vector<mirror_file> files) {
  auto *s = new fs_state();
  s->dir = dir;
  s->files = std::move(files);
  s->uid = getuid();
  s->gid = getgid();
  clock_gettime(CLOCK_REALTIME, &s->started);
  g_fs = s;

  clear_dead_mount(dir.c_str());

  struct fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  fuse_opt_add_arg(&args, "mirvold");
  fuse_opt_add_arg(&args, "-o");
  std::string opts = "fsname=mirvol,subtype=mirvol,auto_unmount";
  if (geteuid() == 0) opts += ",allow_other,default_permissions";
  fuse_opt_add_arg(&args, opts.c_str());
  struct fuse_operations ops = make_ops();
  s->fuse = fuse_new(&args, &ops, sizeof(ops), nullptr);
  fuse_opt_free_args(&args);
  if (!s->fuse) {
    printk(KERN_ERR "mirvold: cannot set up the file system\n");
    g_fs = nullptr;
    delete s;
    return -EINVAL;
  }
  if (fuse_mount(s->fuse, dir.c_str()) != 0) {
    printk(KERN_ERR "mirvold: cannot mount %s\n", dir.c_str());
    fuse_destroy(s->fuse);
    g_fs = nullptr;
    delete s;
    return -EIO;
  }
  s->loop = std::thread(run_loop);
  // Served by the loop from now on.
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) s->dev = st.st_dev;
  std::string names;
  for (auto &f : s->files) names += " " + f.name;
  printk(KERN_INFO "mirvold: mounted %s:%s proc\n", dir.c_str(), names.c_str());
  return 0;
}

int fs_begin_stop(void) {
  if (!g_fs) return 0;
  std::unique_lock<std::mutex> l(g_fs->mu);
  g_fs->cv.wait_for(l, kReleaseGrace, [] { return g_fs->open_mirrors == 0; });
  if (g_fs->open_mirrors > 0) return g_fs->open_mirrors;
  g_fs->stopping = true;
  // Operations already running finish before the module may go.
  g_fs->cv.wait(l, [] { return g_fs->active_ops.load() == 0; });
  return 0;
}

bool fs_stop(void) {
  if (!g_fs) return true;
  unmount_dir();
  if (!wait_loop_done(kUnmountWait) && !(abort_connection() && wait_loop_done(kUnmountWait))) {
    // Someone still holds a file of the detached mount; the workers are left
    // to the end of the process.
    printk(KERN_WARNING "mirvold: file system workers did not stop\n");
    g_fs->loop.detach();
    return false;
  }
  g_fs->loop.join();
  fuse_unmount(g_fs->fuse);
  fuse_destroy(g_fs->fuse);
  printk(KERN_INFO "mirvold: unmounted %s\n", g_fs->dir.c_str());
  delete g_fs;
  g_fs = nullptr;
  return true;
}

}  // namespace mirvold
