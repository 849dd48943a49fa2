// Backing block devices (real block devices and image files) and the pool of
// I/O workers that does their bios' I/O and runs the completions.
//
// A submitted bio is checked, counted in flight and, unless an earlier write
// it overlaps has not reached the device yet, put on the global ready list.
// A worker takes it, applies any fault rule it was given, does the I/O with
// preadv/pwritev, releases the writes that were waiting for it, and calls
// the completion in atomic context. The pool grows whenever more bios are
// ready than workers are waiting, so a completion that takes long only holds
// its own worker. A bio wakes at most one worker, and none when all are busy.

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "blk_internal.h"
#include "blkdev.h"
#include "printk.h"
#include "task.h"
#include "uaccess.h"
#include "blkdev_host.h"

namespace {

// bio->plat_flags_
constexpr unsigned int F_BACKING = 0x1;  // submitted to a backing device (holds a reference)
constexpr unsigned int F_PRESET = 0x2;   // completes with plat_status_, no I/O
constexpr unsigned int F_ORDERED = 0x4;  // a write on its device's write list
constexpr unsigned int F_BLOCKED = 0x8;  // waits for an earlier overlapping write
constexpr unsigned int F_FAIL = 0x10;    // a fault rule fails it

struct fault_rule {
  struct blk_fault r;
  int id;
  long hits;
};

}  // namespace

struct blk_backing {
  struct block_device bdev;
  struct gendisk disk;
  struct request_queue queue;
  struct blk_disk_private dpriv;
  struct blk_queue_private qpriv;
  struct blk_bdev_private bpriv;

  std::atomic<long> refs{1};
  int direct_fd = -1;  // O_DIRECT, or -1 where the device refuses it
  int buffered_fd = -1;
  bool read_only = false;
  std::pair<u64, u64> key;

  std::mutex mu;
  std::condition_variable idle_cv;
  long inflight = 0;  // guarded by mu
  int idle_waiters = 0;  // callers waiting on idle_cv (guarded by mu)
  // Writes submitted and not yet on the device, in submission order
  // (linked through plat_prev_/plat_next_; guarded by mu).
  struct bio *wr_head = nullptr, *wr_tail = nullptr;
  std::vector<fault_rule> faults;  // guarded by mu
  std::vector<struct bio *> held;  // bios held by a rule (guarded by mu)
  std::condition_variable hold_cv;  // signalled when held bios are released
  int next_fault_id = 0;
};

namespace {

// Open backing devices by identity: (block device number | top bit, 0) or
// (file system device, inode). Never destroyed (workers may outlive main).
struct backing_registry {
  std::mutex mu;
  std::map<std::pair<u64, u64>, blk_backing *> by_key;
  u32 next_image_minor = 0;
};

backing_registry &backings() {
  static backing_registry *r = new backing_registry;
  return *r;
}

blk_backing *backing_of(struct block_device *bdev) { return bdev ? bdev->private_->backing : nullptr; }

// --- the worker pool ---

constexpr int MIN_WORKERS = 2;
constexpr int MAX_WORKERS = 256;
constexpr auto IDLE_RETIRE = std::chrono::seconds(30);

// An idle worker waits on its own slot; a submitter hands a bio straight to
// the most recently idle worker (its cache is warm) and wakes only it, so a
// bio wakes at most one thread and none when every worker is busy: a busy
// worker takes the ready list when it is done.
// The submitter notifies after it has released the pool's lock, so that the
// worker does not wake only to wait for that lock; `kicks` counts such
// notifies still to come, and a worker leaves the pool only when it is 0,
// so the slot on its stack outlives every notify aimed at it.
struct idle_slot {
  std::condition_variable cv;
  struct bio *bio = nullptr;  // handed over by a submitter
  idle_slot *next = nullptr;  // on the idle stack
  std::atomic<int> kicks{0};  // notifies announced under the lock, not yet done
};

struct engine {
  std::mutex mu;  // guards everything below and the idle slots on the stack
  struct bio *head = nullptr, *tail = nullptr;  // ready, through plat_qnext_
  idle_slot *idle = nullptr;  // workers waiting for a bio, latest first
  int total = 0;
  int next_id = 0;
};

engine &eng() {
  static engine *e = new engine;
  return *e;
}

void run_bio(struct bio *bio);

// Takes an idle worker's slot off the stack; under e.mu.
void idle_remove(engine &e, idle_slot *slot) {
  for (idle_slot **pp = &e.idle; *pp; pp = &(*pp)->next)
    if (*pp == slot) {
      *pp = slot->next;
      return;
    }
}

void worker_main(int id) {
  char name[16];
  snprintf(name, sizeof(name), "blk_io_%d", id);
  pthread_setname_np(pthread_self(), name);
  set_task_comm(get_current(), name);
  engine &e = eng();
  idle_slot slot;
  std::unique_lock<std::mutex> lk(e.mu);
  for (;;) {
    struct bio *bio = e.head;
    if (bio) {
      e.head = bio->plat_qnext_;
      if (!e.head) e.tail = nullptr;
    } else {
      slot.bio = nullptr;
      slot.next = e.idle;
      e.idle = &slot;
      if (!slot.cv.wait_for(lk, IDLE_RETIRE, [&] { return slot.bio != nullptr; })) {
        idle_remove(e, &slot);
        if (e.total > MIN_WORKERS) {
          e.total--;
          lk.unlock();
          // A notify for an earlier hand-over may still be on its way.
          while (slot.kicks.load(std::memory_order_acquire)) std::this_thread::yield();
          return;
        }
        continue;
      }
      bio = slot.bio;  // the submitter took the slot off the stack
    }
    lk.unlock();
    run_bio(bio);
    lk.lock();
  }
}

void enqueue(struct bio *bio) {
  engine &e = eng();
  std::unique_lock<std::mutex> g(e.mu);
  bio->plat_qnext_ = nullptr;
  if (idle_slot *w = e.idle) {
    e.idle = w->next;
    w->bio = bio;
    w->kicks.fetch_add(1, std::memory_order_relaxed);
    g.unlock();
    w->cv.notify_one();
    w->kicks.fetch_sub(1, std::memory_order_release);
    return;
  }
  if (e.tail)
    e.tail->plat_qnext_ = bio;
  else
    e.head = bio;
  e.tail = bio;
  // No worker waits: a new one takes this bio, so that a completion that
  // takes long holds only its own worker.
  if (e.total < MAX_WORKERS) {
    try {
      std::thread(worker_main, e.next_id++).detach();
      e.total++;
    } catch (...) {
      // The bio waits for a worker that exists already.
      if (e.total == 0) {
        fprintf(stderr, "blk: cannot start an I/O worker\n");
        abort();
      }
    }
  }
}

// --- write ordering ---

bool ranges_overlap(const struct bio *a, const struct bio *b) {
  sector_t a0 = a->bi_iter.bi_sector, a1 = a0 + (a->bi_iter.bi_size >> SECTOR_SHIFT);
  sector_t b0 = b->bi_iter.bi_sector, b1 = b0 + (b->bi_iter.bi_size >> SECTOR_SHIFT);
  return a0 < b1 && b0 < a1;
}

// True when a write before `w` on the list overlaps it. Under b->mu.
bool overlaps_earlier(blk_backing *b, struct bio *w) {
  for (struct bio *e = b->wr_head; e && e != w; e = e->plat_next_)
    if (ranges_overlap(e, w)) return true;
  return false;
}

// Takes a write that has reached the device off the list and releases the
// waiting writes that no earlier write holds back any more. Under b->mu.
void write_done(blk_backing *b, struct bio *w) {
  if (w->plat_prev_)
    w->plat_prev_->plat_next_ = w->plat_next_;
  else
    b->wr_head = w->plat_next_;
  if (w->plat_next_)
    w->plat_next_->plat_prev_ = w->plat_prev_;
  else
    b->wr_tail = w->plat_prev_;
  w->plat_prev_ = w->plat_next_ = nullptr;
  for (struct bio *x = b->wr_head; x; x = x->plat_next_) {
    if (!(x->plat_flags_ & F_BLOCKED) || overlaps_earlier(b, x)) continue;
    x->plat_flags_ &= ~F_BLOCKED;
    enqueue(x);
  }
}

// --- I/O ---

// Moves all of iov at off; a read past the end of a file reads zeros.
// Returns 0 or an errno.
int transfer(int fd, bool write, std::vector<struct iovec> iov, off_t off, int rwf) {
  size_t i = 0;
  bool sync_after = false;
  while (i < iov.size()) {
    int cnt = (int)std::min<size_t>(iov.size() - i, IOV_MAX);
    ssize_t r = write ? pwritev2(fd, &iov[i], cnt, off, rwf) : preadv(fd, &iov[i], cnt, off);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (write && rwf && (errno == EOPNOTSUPP || errno == ENOSYS)) {
        rwf = 0;
        sync_after = true;
        continue;
      }
      return errno;
    }
    if (r == 0) {
      if (write) return EIO;
      for (; i < iov.size(); i++) memset(iov[i].iov_base, 0, iov[i].iov_len);
      break;
    }
    off += r;
    size_t left = (size_t)r;
    while (i < iov.size() && left >= iov[i].iov_len) left -= iov[i++].iov_len;
    if (left) {
      iov[i].iov_base = static_cast<char *>(iov[i].iov_base) + left;
      iov[i].iov_len -= left;
    }
  }
  if (sync_after && fdatasync(fd) != 0) return errno;
  return 0;
}

blk_status_t do_io(blk_backing *b, struct bio *bio) {
  unsigned int op = bio_op(bio);
  bool write = op == REQ_OP_WRITE;
  if (op == REQ_OP_FLUSH || (write && (bio->bi_opf & REQ_PREFLUSH))) {
    if (fdatasync(b->buffered_fd) != 0) return BLK_STS_IOERR;
    if (op == REQ_OP_FLUSH) return BLK_STS_OK;
  }
  unsigned int left = bio->bi_iter.bi_size;
  if (!left) return BLK_STS_OK;
  std::vector<struct iovec> iov;
  for (unsigned int i = bio->bi_iter.bi_idx; left && i < bio->bi_vcnt; i++) {
    const struct bio_vec *bv = &bio->bi_io_vec[i];
    unsigned int len = bv->bv_len < left ? bv->bv_len : left;
    iov.push_back({static_cast<char *>(page_address(bv->bv_page)) + bv->bv_offset, len});
    left -= len;
  }
  off_t off = (off_t)(bio->bi_iter.bi_sector << SECTOR_SHIFT);
  if (b->direct_fd >= 0) {
    int err = transfer(b->direct_fd, write, iov, off, (write && (bio->bi_opf & REQ_FUA)) ? RWF_DSYNC : 0);
    if (!err) return BLK_STS_OK;
    if (err != EINVAL) return BLK_STS_IOERR;
    // Direct I/O refused this segment layout: buffered and synchronous.
  }
  return transfer(b->buffered_fd, write, iov, off, write ? RWF_DSYNC : 0) ? BLK_STS_IOERR : BLK_STS_OK;
}

void run_bio(struct bio *bio) {
  blk_backing *b = (bio->plat_flags_ & F_BACKING) ? backing_of(bio->bi_bdev) : nullptr;
  blk_status_t status;
  if (bio->plat_flags_ & F_PRESET) {
    status = bio->plat_status_;
  } else {
    if (bio->plat_delay_ms_ == BLK_FAULT_HOLD) {
      // Held while it is on the device's held list (the delay field does
      // not change after the submit).
      std::unique_lock<std::mutex> g(b->mu);
      b->hold_cv.wait(g, [b, bio] {
        for (struct bio *h : b->held)
          if (h == bio) return false;
        return true;
      });
    } else if (bio->plat_delay_ms_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(bio->plat_delay_ms_));
    }
    status = (bio->plat_flags_ & F_FAIL) ? BLK_STS_IOERR : do_io(b, bio);
    if (bio->plat_flags_ & F_ORDERED) {
      std::lock_guard<std::mutex> g(b->mu);
      write_done(b, bio);
    }
  }
  bio->bi_status = status;
  // The bio belongs to its owner from here on.
  atomic_context_enter();
  bio_endio(bio);
  atomic_context_exit();
  if (b) {
    {
      std::lock_guard<std::mutex> g(b->mu);
      if (--b->inflight == 0 && b->idle_waiters) b->idle_cv.notify_all();
    }
    plat_blk::backing_put(b);
  }
}

// Why a bio cannot go to the device, or BLK_STS_OK.
blk_status_t check_bio(blk_backing *b, struct bio *bio) {
  unsigned int op = bio_op(bio);
  if (op == REQ_OP_FLUSH) return BLK_STS_OK;
  if (op == REQ_OP_DISCARD || (op != REQ_OP_READ && op != REQ_OP_WRITE)) return BLK_STS_NOTSUPP;
  if (op == REQ_OP_WRITE && b->read_only) return BLK_STS_IOERR;
  sector_t sector = bio->bi_iter.bi_sector;
  unsigned int size = bio->bi_iter.bi_size;
  sector_t cap = get_capacity(&b->disk);
  sector_t nr = size >> SECTOR_SHIFT;
  if ((size & (SECTOR_SIZE - 1)) || sector > cap || nr > cap - sector) {
    printk(KERN_INFO "blk: %s: access beyond end of device (op %u, sector %llu, %u bytes, capacity %llu)\n",
           b->disk.disk_name, op, (unsigned long long)sector, size, (unsigned long long)cap);
    return BLK_STS_IOERR;
  }
  unsigned int lbs = queue_logical_block_size(&b->queue);
  if (((sector << SECTOR_SHIFT) % lbs) || (size % lbs)) {
    printk(KERN_INFO "blk: %s: I/O not aligned to %u-byte blocks (sector %llu, %u bytes)\n", b->disk.disk_name,
           lbs, (unsigned long long)sector, size);
    return BLK_STS_IOERR;
  }
  unsigned int left = size;
  for (unsigned int i = bio->bi_iter.bi_idx; left && i < bio->bi_vcnt; i++) {
    const struct bio_vec *bv = &bio->bi_io_vec[i];
    if (!bv->bv_page || bv->bv_offset + (u64)bv->bv_len > PAGE_SIZE) return BLK_STS_IOERR;
    left -= bv->bv_len < left ? bv->bv_len : left;
  }
  return left ? BLK_STS_IOERR : BLK_STS_OK;
}

// Gives the bio the first matching fault rule with hits left. Under b->mu.
void apply_faults(blk_backing *b, struct bio *bio) {
  unsigned int op = bio_op(bio);
  unsigned int kind = op == REQ_OP_READ ? BLK_FAULT_READ : op == REQ_OP_WRITE ? BLK_FAULT_WRITE : 0;
  if (!kind || !bio->bi_iter.bi_size) return;
  sector_t s0 = bio->bi_iter.bi_sector, s1 = s0 + (bio->bi_iter.bi_size >> SECTOR_SHIFT);
  for (auto &f : b->faults) {
    if (!(f.r.ops & kind) || f.r.count == 0) continue;
    if (!(f.r.sector < s1 && s0 < f.r.sector + f.r.nr_sects)) continue;
    if (f.r.count > 0) f.r.count--;
    f.hits++;
    bio->plat_delay_ms_ = f.r.delay_ms;
    if (f.r.delay_ms == BLK_FAULT_HOLD) b->held.push_back(bio);
    if (f.r.fail) bio->plat_flags_ |= F_FAIL;
    return;
  }
}

// --- opening ---

unsigned int read_sysfs_uint(const char *dir, const char *attr, unsigned long long *out) {
  char path[256];
  snprintf(path, sizeof(path), "%s/%s", dir, attr);
  FILE *f = fopen(path, "re");
  if (!f) return 0;
  unsigned long long v = 0;
  int n = fscanf(f, "%llu", &v);
  fclose(f);
  if (n != 1) return 0;
  *out = v;
  return 1;
}

// Queue limits of a real block device from its (or, for a partition, its
// disk's) queue directory in sysfs; whatever is missing keeps the default.
void read_device_limits(dev_t rdev, struct queue_limits *lim, bool *discard) {
  char dir[128];
  snprintf(dir, sizeof(dir), "/sys/dev/block/%u:%u/queue", major(rdev), minor(rdev));
  if (access(dir, F_OK) != 0)
    snprintf(dir, sizeof(dir), "/sys/dev/block/%u:%u/../queue", major(rdev), minor(rdev));
  unsigned long long v;
  if (read_sysfs_uint(dir, "max_hw_sectors_kb", &v) && v) lim->max_hw_sectors = (unsigned int)(v * 2);
  if (read_sysfs_uint(dir, "max_sectors_kb", &v) && v) lim->max_sectors = (unsigned int)(v * 2);
  if (read_sysfs_uint(dir, "max_segments", &v) && v) lim->max_segments = (unsigned int)v;
  if (read_sysfs_uint(dir, "max_segment_size", &v) && v) lim->max_segment_size = (unsigned int)v;
  if (read_sysfs_uint(dir, "discard_max_bytes", &v) && v) {
    *discard = true;
    lim->max_discard_sectors = (unsigned int)std::min<unsigned long long>(v >> SECTOR_SHIFT, UINT_MAX);
  }
}

void backing_destroy(blk_backing *b) {
  if (b->direct_fd >= 0) close(b->direct_fd);
  if (b->buffered_fd >= 0) close(b->buffered_fd);
  delete b;
}

}  // namespace

namespace plat_blk {

void backing_get(blk_backing *b) { b->refs.fetch_add(1); }

void backing_put(blk_backing *b) {
  long r = b->refs.load();
  while (r > 1)
    if (b->refs.compare_exchange_weak(r, r - 1)) return;
  // Possibly the last: decide under the registry lock so that no lookup
  // takes a new reference meanwhile.
  {
    auto &reg = backings();
    std::lock_guard<std::mutex> g(reg.mu);
    if (b->refs.fetch_sub(1) != 1) return;
    auto it = reg.by_key.find(b->key);
    if (it != reg.by_key.end() && it->second == b) reg.by_key.erase(it);
  }
  backing_destroy(b);
}

struct block_device *backing_lookup(dev_t_k dev) {
  auto &reg = backings();
  std::lock_guard<std::mutex> g(reg.mu);
  for (auto &kv : reg.by_key)
    if (kv.second->bdev.bd_dev == dev) {
      kv.second->refs.fetch_add(1);
      return &kv.second->bdev;
    }
  return nullptr;
}

void complete_later(struct bio *bio, blk_status_t status) {
  bio->plat_flags_ = F_PRESET;
  bio->plat_status_ = status;
  bio->plat_delay_ms_ = 0;
  enqueue(bio);
}

void backing_submit(struct bio *bio) {
  blk_backing *b = backing_of(bio->bi_bdev);
  backing_get(b);  // dropped after the completion
  bio->plat_flags_ = F_BACKING;
  bio->plat_delay_ms_ = 0;
  bio->plat_prev_ = bio->plat_next_ = nullptr;
  blk_status_t status = check_bio(b, bio);
  bool blocked = false;
  {
    std::lock_guard<std::mutex> g(b->mu);
    b->inflight++;
    if (status != BLK_STS_OK) {
      bio->plat_flags_ |= F_PRESET;
      bio->plat_status_ = status;
    } else {
      apply_faults(b, bio);
      if (bio_op(bio) == REQ_OP_WRITE && bio->bi_iter.bi_size) {
        bio->plat_flags_ |= F_ORDERED;
        bio->plat_prev_ = b->wr_tail;
        if (b->wr_tail)
          b->wr_tail->plat_next_ = bio;
        else
          b->wr_head = bio;
        b->wr_tail = bio;
        if (overlaps_earlier(b, bio)) {
          bio->plat_flags_ |= F_BLOCKED;
          blocked = true;
        }
      }
    }
  }
  if (!blocked) enqueue(bio);
}

}  // namespace plat_blk

// --- opening and releasing ---

static struct block_device *blkdev_get_by_fd(int os_fd, fmode_t mode) {
  might_sleep_check("blkdev_get_by_fd");
  struct stat st;
  if (fstat(os_fd, &st) != 0) return (struct block_device *)ERR_PTR(-errno);
  bool is_block = S_ISBLK(st.st_mode);
  if (!is_block && !S_ISREG(st.st_mode)) return (struct block_device *)ERR_PTR(-ENOTBLK);
  std::pair<u64, u64> key = is_block ? std::pair<u64, u64>((u64)st.st_rdev | (1ULL << 63), 0)
                                     : std::pair<u64, u64>((u64)st.st_dev, (u64)st.st_ino);

  auto &reg = backings();
  std::lock_guard<std::mutex> g(reg.mu);
  auto it = reg.by_key.find(key);
  if (it != reg.by_key.end()) {
    if ((mode & FMODE_WRITE) && it->second->read_only) return (struct block_device *)ERR_PTR(-EROFS);
    it->second->refs.fetch_add(1);
    return &it->second->bdev;
  }

  // Open the device anew through the descriptor, so that its own access
  // mode and flags do not matter.
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/fd/%d", os_fd);
  bool read_only = false;
  int buffered = open(path, O_RDWR | O_CLOEXEC);
  if (buffered < 0 && (errno == EACCES || errno == EROFS || errno == EPERM) && !(mode & FMODE_WRITE)) {
    buffered = open(path, O_RDONLY | O_CLOEXEC);
    read_only = true;
  }
  if (buffered < 0) {
    int err = errno;
    if ((mode & FMODE_WRITE) && (err == EACCES || err == EPERM)) err = EROFS;
    return (struct block_device *)ERR_PTR(-err);
  }
  int direct = open(path, (read_only ? O_RDONLY : O_RDWR) | O_DIRECT | O_CLOEXEC);

  u64 bytes = 0;
  unsigned int lbs = SECTOR_SIZE, pbs = SECTOR_SIZE;
  if (is_block) {
    int l = 0;
    unsigned int p = 0;
    if (ioctl(buffered, BLKGETSIZE64, &bytes) != 0 || ioctl(buffered, BLKSSZGET, &l) != 0 ||
        ioctl(buffered, BLKPBSZGET, &p) != 0) {
      int err = errno;
      close(buffered);
      if (direct >= 0) close(direct);
      return (struct block_device *)ERR_PTR(-err);
    }
    lbs = l > 0 ? (unsigned int)l : SECTOR_SIZE;
    pbs = p >= lbs ? p : lbs;
  } else {
    bytes = (u64)st.st_size;
  }

  auto *b = new (std::nothrow) blk_backing;
  if (!b) {
    close(buffered);
    if (direct >= 0) close(direct);
    return (struct block_device *)ERR_PTR(-ENOMEM);
  }
  b->direct_fd = direct;
  b->buffered_fd = buffered;
  b->read_only = read_only;
  b->key = key;

  struct request_queue *q = &b->queue;
  blk_set_default_limits(&q->limits);
  q->limits.logical_block_size = lbs;
  q->limits.physical_block_size = pbs;
  if (is_block) {
    bool discard = false;
    read_device_limits(st.st_rdev, &q->limits, &discard);
    if (discard) blk_queue_flag_set(QUEUE_FLAG_DISCARD, q);
  }
  spin_lock_init(&q->__queue_lock);
  q->queue_lock = &q->__queue_lock;
  q->private_ = &b->qpriv;

  struct gendisk *disk = &b->disk;
  if (is_block) {
    disk->major = (int)major(st.st_rdev);
    disk->first_minor = (int)minor(st.st_rdev);
  } else {
    disk->major = (int)BLK_IMAGE_MAJOR;
    disk->first_minor = (int)(reg.next_image_minor++ & MINORMASK);
  }
  disk->minors = 1;
  char target[PATH_MAX];
  ssize_t n = readlink(path, target, sizeof(target) - 1);
  target[n > 0 ? n : 0] = 0;
  const char *base = strrchr(target, '/');
  const char *name = base ? base + 1 : target;
  size_t name_len = strnlen(name, sizeof(disk->disk_name) - 1);
  memcpy(disk->disk_name, name, name_len);
  disk->disk_name[name_len] = 0;
  disk->queue = q;
  disk->private_ = &b->dpriv;
  b->dpriv.backing = true;
  b->dpriv.capacity.store(bytes >> SECTOR_SHIFT);

  b->bpriv.backing = b;
  b->bdev.bd_dev = MKDEV((dev_t_k)disk->major, (dev_t_k)disk->first_minor);
  b->bdev.bd_disk = disk;
  b->bdev.bd_queue = q;
  b->bdev.bd_block_size = plat_blk::initial_block_size(bytes, lbs);
  b->bdev.bd_openers = b->bdev.bd_holders = 0;
  b->bdev.private_ = &b->bpriv;

  reg.by_key[key] = b;
  return &b->bdev;
}

struct block_device *blkdev_get_by_file(struct file *file, fmode_t mode, void *holder) {
  (void)holder;
  int fd = file_os_fd(file);
  if (fd < 0) return (struct block_device *)ERR_PTR(-EBADF);
  return blkdev_get_by_fd(fd, mode);
}

struct block_device *blkdev_get_by_path(const char *path, fmode_t mode, void *holder) {
  (void)holder;
  might_sleep_check("blkdev_get_by_path");
  if (!path) return (struct block_device *)ERR_PTR(-EFAULT);
  int fd = open(path, ((mode & FMODE_WRITE) ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return (struct block_device *)ERR_PTR(-errno);
  struct block_device *bdev = blkdev_get_by_fd(fd, mode);
  close(fd);
  return bdev;
}

// --- host and tests ---

long bdev_inflight(struct block_device *bdev) {
  blk_backing *b = backing_of(bdev);
  if (!b) return 0;
  std::lock_guard<std::mutex> g(b->mu);
  return b->inflight;
}

int bdev_wait_idle(struct block_device *bdev, unsigned int timeout_ms) {
  might_sleep_check("bdev_wait_idle");
  blk_backing *b = backing_of(bdev);
  if (!b) return 0;
  std::unique_lock<std::mutex> lk(b->mu);
  b->idle_waiters++;
  bool idle = b->idle_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [b] { return b->inflight == 0; });
  b->idle_waiters--;
  return idle ? 0 : -ETIMEDOUT;
}

int blkdev_issue_flush(struct block_device *bdev) {
  might_sleep_check("blkdev_issue_flush");
  blk_backing *b = backing_of(bdev);
  if (!b) return -EOPNOTSUPP;
  return fdatasync(b->buffered_fd) == 0 ? 0 : -EIO;
}

int blk_for_each_bdev(int (*fn)(struct block_device *bdev, void *arg), void *arg) {
  std::vector<blk_backing *> held;
  {
    auto &reg = backings();
    std::lock_guard<std::mutex> g(reg.mu);
    for (auto &kv : reg.by_key) {
      kv.second->refs.fetch_add(1);
      held.push_back(kv.second);
    }
  }
  int result = 0;
  for (auto *b : held) {
    if (!result) result = fn(&b->bdev, arg);
    plat_blk::backing_put(b);
  }
  return result;
}

int bdev_fault_add(struct block_device *bdev, const struct blk_fault *rule) {
  blk_backing *b = backing_of(bdev);
  if (!b || !rule || !(rule->ops & (BLK_FAULT_READ | BLK_FAULT_WRITE)) || !rule->nr_sects || !rule->count)
    return -EINVAL;
  std::lock_guard<std::mutex> g(b->mu);
  fault_rule f;
  f.r = *rule;
  f.id = b->next_fault_id++;
  f.hits = 0;
  b->faults.push_back(f);
  return f.id;
}

long bdev_fault_hits(struct block_device *bdev, int id) {
  blk_backing *b = backing_of(bdev);
  if (!b) return -EINVAL;
  std::lock_guard<std::mutex> g(b->mu);
  for (auto &f : b->faults)
    if (f.id == id) return f.hits;
  return -EINVAL;
}

namespace {
// Under b->mu.
void release_held(blk_backing *b) {
  b->held.clear();
  b->hold_cv.notify_all();
}
}  // namespace

void bdev_fault_release(struct block_device *bdev) {
  blk_backing *b = backing_of(bdev);
  if (!b) return;
  std::lock_guard<std::mutex> g(b->mu);
  release_held(b);
}

void bdev_fault_clear(struct block_device *bdev) {
  blk_backing *b = backing_of(bdev);
  if (!b) return;
  std::lock_guard<std::mutex> g(b->mu);
  b->faults.clear();
  release_held(b);
}
