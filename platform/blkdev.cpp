// Block layer: block majors, disks and their block devices, request queues
// and limits, bios, and the dispatch of a submitted bio.

#include "blkdev.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "blk_internal.h"
#include "printk.h"
#include "blkdev_host.h"

namespace {

// A disk and its block device are one allocation, so that alloc_disk() is
// one allocation the fault injection can fail.
struct disk_obj {
  struct gendisk disk;
  struct block_device bdev;
  struct blk_disk_private dpriv;
  struct blk_bdev_private bpriv;
};

struct queue_obj {
  struct request_queue q;
  struct blk_queue_private qpriv;
};

// Registered majors and added disks. Never destroyed, so that an I/O worker
// still running at process exit finds it intact.
struct disk_registry {
  std::mutex mu;
  std::map<unsigned int, std::string> majors;
  std::map<dev_t_k, struct gendisk *> disks;
};

disk_registry &registry() {
  static disk_registry *r = new disk_registry;
  return *r;
}

disk_obj *obj_of(struct gendisk *disk) { return reinterpret_cast<disk_obj *>(disk); }
queue_obj *obj_of(struct request_queue *q) { return reinterpret_cast<queue_obj *>(q); }

void queue_get(struct request_queue *q) { q->private_->refs.fetch_add(1); }

void queue_put(struct request_queue *q) {
  if (q->private_->refs.fetch_sub(1) != 1) return;
  queue_obj *o = obj_of(q);
  o->~queue_obj();
  kfree(o);
}

dev_t_k disk_devt(const struct gendisk *disk) {
  return MKDEV((dev_t_k)disk->major, (dev_t_k)disk->first_minor);
}

unsigned int min_not_zero(unsigned int a, unsigned int b) {
  if (!a) return b;
  if (!b) return a;
  return a < b ? a : b;
}

}  // namespace

// --- block status ---

namespace {
struct status_errno {
  blk_status_t status;
  int err;
};
const status_errno status_table[] = {
    {BLK_STS_OK, 0},
    {BLK_STS_NOTSUPP, -EOPNOTSUPP},
    {BLK_STS_TIMEOUT, -ETIMEDOUT},
    {BLK_STS_NOSPC, -ENOSPC},
    {BLK_STS_TRANSPORT, -ENOLINK},
    {BLK_STS_TARGET, -EREMOTEIO},
    {BLK_STS_NEXUS, -EBADE},
    {BLK_STS_MEDIUM, -ENODATA},
    {BLK_STS_PROTECTION, -EILSEQ},
    {BLK_STS_RESOURCE, -ENOMEM},
    {BLK_STS_IOERR, -EIO},
    {BLK_STS_DM_REQUEUE, -EREMCHG},
    {BLK_STS_AGAIN, -EAGAIN},
};
}  // namespace

blk_status_t errno_to_blk_status(int errno_neg) {
  for (const auto &e : status_table)
    if (e.err == errno_neg) return e.status;
  return BLK_STS_IOERR;
}

int blk_status_to_errno(blk_status_t status) {
  for (const auto &e : status_table)
    if (e.status == status) return e.err;
  return -EIO;
}

// --- bios ---

struct bio_set *fs_bio_set = nullptr;

struct bio *bio_alloc(gfp_t gfp, unsigned int nr_vecs) {
  if (nr_vecs > BIO_MAX_PAGES) return nullptr;
  size_t bytes = sizeof(struct bio) + nr_vecs * sizeof(struct bio_vec);
  auto *bio = static_cast<struct bio *>(kmalloc(bytes, gfp));
  if (!bio) return nullptr;
  memset(bio, 0, bytes);
  bio->bi_io_vec = reinterpret_cast<struct bio_vec *>(bio + 1);
  bio->bi_max_vecs = (unsigned short)nr_vecs;
  bio->__bi_cnt = 1;
  return bio;
}

int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset) {
  if (!page || len == 0 || offset >= PAGE_SIZE || len > PAGE_SIZE - offset) return 0;
  if (bio->bi_vcnt >= bio->bi_max_vecs) return 0;
  struct bio_vec *bv = &bio->bi_io_vec[bio->bi_vcnt++];
  bv->bv_page = page;
  bv->bv_len = len;
  bv->bv_offset = offset;
  bio->bi_iter.bi_size += len;
  return (int)len;
}

void bio_get(struct bio *bio) { __atomic_add_fetch(&bio->__bi_cnt, 1, __ATOMIC_RELAXED); }

void bio_put(struct bio *bio) {
  if (!bio) return;
  if (__atomic_sub_fetch(&bio->__bi_cnt, 1, __ATOMIC_ACQ_REL) != 0) return;
  kfree(bio);
}

struct bio *bio_clone_bioset(struct bio *bio, gfp_t gfp, struct bio_set *bs) {
  (void)bs;
  unsigned int first = bio->bi_iter.bi_idx;
  unsigned int n = first < bio->bi_vcnt ? bio->bi_vcnt - first : 0;
  struct bio *c = bio_alloc(gfp, n);
  if (!c) return nullptr;
  c->bi_bdev = bio->bi_bdev;
  c->bi_opf = bio->bi_opf;
  c->bi_iter.bi_sector = bio->bi_iter.bi_sector;
  c->bi_iter.bi_size = bio->bi_iter.bi_size;
  c->bi_iter.bi_idx = 0;
  if (n) memcpy(c->bi_io_vec, bio->bi_io_vec + first, n * sizeof(struct bio_vec));
  c->bi_vcnt = (unsigned short)n;
  return c;
}

struct bio *bio_clone(struct bio *bio, gfp_t gfp) { return bio_clone_bioset(bio, gfp, nullptr); }

void bio_endio(struct bio *bio) {
  if (bio->bi_end_io) bio->bi_end_io(bio);
}

void *bio_data(struct bio *bio) {
  if (bio->bi_iter.bi_idx >= bio->bi_vcnt) return nullptr;
  const struct bio_vec *bv = &bio->bi_io_vec[bio->bi_iter.bi_idx];
  return static_cast<char *>(page_address(bv->bv_page)) + bv->bv_offset;
}

void submit_bio(struct bio *bio) {
  struct block_device *bdev = bio->bi_bdev;
  if (!bdev) {
    plat_blk::complete_later(bio, BLK_STS_IOERR);
    return;
  }
  if (bdev->private_->backing) {
    plat_blk::backing_submit(bio);
    return;
  }
  struct gendisk *disk = bdev->bd_disk;
  struct request_queue *q = disk->queue;
  if (disk->private_->deleted.load() || !q || q->private_->dead.load() || !q->make_request_fn) {
    plat_blk::complete_later(bio, BLK_STS_IOERR);
    return;
  }
  q->make_request_fn(q, bio);
}

void generic_make_request(struct bio *bio) { submit_bio(bio); }

// --- request queues and limits ---

void blk_set_default_limits(struct queue_limits *lim) {
  lim->logical_block_size = SECTOR_SIZE;
  lim->physical_block_size = SECTOR_SIZE;
  lim->max_sectors = BLK_DEF_MAX_SECTORS;
  lim->max_hw_sectors = BLK_DEF_MAX_SECTORS;
  lim->max_segment_size = BLK_MAX_SEGMENT_SIZE;
  lim->max_segments = BLK_MAX_SEGMENTS;
  lim->max_discard_sectors = 0;
}

void blk_set_stacking_limits(struct queue_limits *lim) {
  lim->logical_block_size = SECTOR_SIZE;
  lim->physical_block_size = SECTOR_SIZE;
  lim->max_sectors = UINT_MAX;
  lim->max_hw_sectors = UINT_MAX;
  lim->max_segment_size = UINT_MAX;
  lim->max_segments = USHRT_MAX;
  lim->max_discard_sectors = 0;
}

int blk_stack_limits(struct queue_limits *t, const struct queue_limits *b, sector_t offset) {
  (void)offset;
  if (b->logical_block_size > t->logical_block_size) t->logical_block_size = b->logical_block_size;
  if (b->physical_block_size > t->physical_block_size) t->physical_block_size = b->physical_block_size;
  if (t->physical_block_size < t->logical_block_size) t->physical_block_size = t->logical_block_size;
  t->max_sectors = min_not_zero(t->max_sectors, b->max_sectors);
  t->max_hw_sectors = min_not_zero(t->max_hw_sectors, b->max_hw_sectors);
  t->max_segment_size = min_not_zero(t->max_segment_size, b->max_segment_size);
  t->max_segments = min_not_zero(t->max_segments, b->max_segments);
  t->max_discard_sectors = min_not_zero(t->max_discard_sectors, b->max_discard_sectors);
  return 0;
}

void blk_queue_stack_limits(struct request_queue *t, struct request_queue *b) {
  blk_stack_limits(&t->limits, &b->limits, 0);
}

struct request_queue *blk_alloc_queue(gfp_t gfp) {
  void *mem = kmalloc(sizeof(queue_obj), gfp);
  if (!mem) return nullptr;
  auto *o = new (mem) queue_obj();
  struct request_queue *q = &o->q;
  blk_set_default_limits(&q->limits);
  spin_lock_init(&q->__queue_lock);
  q->queue_lock = &q->__queue_lock;
  q->private_ = &o->qpriv;
  return q;
}

void blk_queue_make_request(struct request_queue *q, make_request_fn_t *fn) { q->make_request_fn = fn; }

void blk_cleanup_queue(struct request_queue *q) {
  if (!q) return;
  q->private_->dead.store(true);
  queue_put(q);
}

void blk_queue_logical_block_size(struct request_queue *q, unsigned int size) {
  q->limits.logical_block_size = size;
  if (q->limits.physical_block_size < size) q->limits.physical_block_size = size;
}

void blk_queue_physical_block_size(struct request_queue *q, unsigned int size) {
  q->limits.physical_block_size = size;
  if (q->limits.physical_block_size < q->limits.logical_block_size)
    q->limits.physical_block_size = q->limits.logical_block_size;
}

void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int sectors) {
  if (sectors < (PAGE_SIZE >> SECTOR_SHIFT)) sectors = PAGE_SIZE >> SECTOR_SHIFT;
  q->limits.max_hw_sectors = sectors;
  q->limits.max_sectors = sectors;
}

void blk_queue_max_segments(struct request_queue *q, unsigned int n) {
  q->limits.max_segments = n ? n : 1;
}

void blk_queue_max_segment_size(struct request_queue *q, unsigned int size) {
  q->limits.max_segment_size = size < PAGE_SIZE ? (unsigned int)PAGE_SIZE : size;
}

void blk_queue_flag_set(unsigned int flag, struct request_queue *q) {
  __atomic_fetch_or(&q->queue_flags, 1UL << flag, __ATOMIC_RELAXED);
}

void blk_queue_flag_clear(unsigned int flag, struct request_queue *q) {
  __atomic_fetch_and(&q->queue_flags, ~(1UL << flag), __ATOMIC_RELAXED);
}

bool blk_queue_flag_test(unsigned int flag, const struct request_queue *q) {
  return (__atomic_load_n(&q->queue_flags, __ATOMIC_RELAXED) >> flag) & 1UL;
}

unsigned int queue_logical_block_size(const struct request_queue *q) {
  return (q && q->limits.logical_block_size) ? q->limits.logical_block_size : SECTOR_SIZE;
}
unsigned int queue_physical_block_size(const struct request_queue *q) {
  return q ? q->limits.physical_block_size : SECTOR_SIZE;
}
unsigned int queue_max_sectors(const struct request_queue *q) { return q ? q->limits.max_sectors : 0; }
unsigned int queue_max_hw_sectors(const struct request_queue *q) { return q ? q->limits.max_hw_sectors : 0; }
unsigned int queue_max_segments(const struct request_queue *q) { return q ? q->limits.max_segments : 0; }
unsigned int queue_max_segment_size(const struct request_queue *q) {
  return q ? q->limits.max_segment_size : 0;
}

// --- majors ---

int register_blkdev(unsigned int major, const char *name) {
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (major == 0) {
    // A free major from the top of the dynamic range down.
    for (unsigned int m = 254; m > 0; m--)
      if (!r.majors.count(m)) {
        r.majors[m] = name ? name : "";
        return (int)m;
      }
    return -EBUSY;
  }
  if (major >= BLK_IMAGE_MAJOR) return -EINVAL;
  if (r.majors.count(major)) return -EBUSY;
  r.majors[major] = name ? name : "";
  return 0;
}

void unregister_blkdev(unsigned int major, const char *name) {
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  auto it = r.majors.find(major);
  if (it == r.majors.end()) return;
  if (name && it->second != name) {
    printk(KERN_WARNING "unregister_blkdev: major %u is registered as %s, not %s\n", major,
           it->second.c_str(), name);
    return;
  }
  r.majors.erase(it);
}

bool blkdev_major_name(unsigned int major, char *buf, size_t len) {
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  auto it = r.majors.find(major);
  if (it == r.majors.end()) return false;
  if (buf && len) snprintf_k(buf, len, "%s", it->second.c_str());
  return true;
}

// --- disks ---

namespace plat_blk {

void disk_get(struct gendisk *disk) { disk->private_->refs.fetch_add(1); }

void disk_put(struct gendisk *disk) {
  if (disk->private_->refs.fetch_sub(1) != 1) return;
  disk_obj *o = obj_of(disk);
  {
    auto &r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    auto it = r.disks.find(disk_devt(disk));
    if (it != r.disks.end() && it->second == disk) r.disks.erase(it);
  }
  if (disk->private_->added && disk->queue) queue_put(disk->queue);
  o->~disk_obj();
  kfree(o);
}

unsigned int initial_block_size(u64 bytes, unsigned int logical_block_size) {
  unsigned int bsize = logical_block_size ? logical_block_size : SECTOR_SIZE;
  while (bsize < PAGE_SIZE && !(bytes & bsize)) bsize <<= 1;
  return bsize;
}

}  // namespace plat_blk

struct gendisk *alloc_disk(int minors) {
  void *mem = kmalloc(sizeof(disk_obj), GFP_KERNEL);
  if (!mem) return nullptr;
  auto *o = new (mem) disk_obj();
  o->disk.minors = minors;
  o->disk.private_ = &o->dpriv;
  o->bdev.bd_disk = &o->disk;
  o->bdev.bd_block_size = SECTOR_SIZE;
  o->bdev.bd_openers = o->bdev.bd_holders = 0;
  o->bdev.private_ = &o->bpriv;
  o->bpriv.backing = nullptr;
  return &o->disk;
}

void add_disk(struct gendisk *disk) {
  disk_obj *o = obj_of(disk);
  dev_t_k dev = disk_devt(disk);
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (disk->private_->added) return;
  if (r.disks.count(dev)) {
    printk(KERN_ERR "add_disk: %s: device number %u:%u is taken\n", disk->disk_name, MAJOR(dev),
           MINOR(dev));
    return;
  }
  disk->private_->added = true;
  if (disk->queue) queue_get(disk->queue);
  o->bdev.bd_dev = dev;
  o->bdev.bd_queue = disk->queue;
  __atomic_store_n(&o->bdev.bd_block_size,
                   plat_blk::initial_block_size(get_capacity(disk) << SECTOR_SHIFT,
                                                queue_logical_block_size(disk->queue)),
                   __ATOMIC_RELAXED);
  r.disks[dev] = disk;
}

void del_gendisk(struct gendisk *disk) {
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  disk->private_->deleted.store(true);
  auto it = r.disks.find(disk_devt(disk));
  if (it != r.disks.end() && it->second == disk) r.disks.erase(it);
}

void put_disk(struct gendisk *disk) {
  if (disk) plat_blk::disk_put(disk);
}

void set_capacity(struct gendisk *disk, sector_t sectors) { disk->private_->capacity.store(sectors); }
sector_t get_capacity(struct gendisk *disk) { return disk->private_->capacity.load(); }

int blk_for_each_disk(int (*fn)(struct gendisk *disk, void *arg), void *arg) {
  std::vector<struct gendisk *> held;
  {
    auto &r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &kv : r.disks) {
      plat_blk::disk_get(kv.second);
      held.push_back(kv.second);
    }
  }
  int result = 0;
  for (auto *d : held) {
    if (!result) result = fn(d, arg);
    plat_blk::disk_put(d);
  }
  return result;
}

// --- block devices ---

struct block_device *bdget(dev_t_k dev) {
  {
    auto &r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    auto it = r.disks.find(dev);
    if (it != r.disks.end()) {
      plat_blk::disk_get(it->second);
      return &obj_of(it->second)->bdev;
    }
  }
  return plat_blk::backing_lookup(dev);
}

void bdput(struct block_device *bdev) { blkdev_put(bdev, 0); }

void blkdev_put(struct block_device *bdev, fmode_t mode) {
  (void)mode;
  if (!bdev) return;
  if (bdev->private_->backing)
    plat_blk::backing_put(bdev->private_->backing);
  else
    plat_blk::disk_put(bdev->bd_disk);
}

struct request_queue *bdev_get_queue(struct block_device *bdev) {
  return bdev && bdev->bd_disk ? bdev->bd_disk->queue : nullptr;
}

unsigned int bdev_logical_block_size(struct block_device *bdev) {
  return queue_logical_block_size(bdev_get_queue(bdev));
}

unsigned int bdev_physical_block_size(struct block_device *bdev) {
  return queue_physical_block_size(bdev_get_queue(bdev));
}

sector_t bdev_nr_sectors(struct block_device *bdev) { return get_capacity(bdev->bd_disk); }

unsigned int block_size(struct block_device *bdev) {
  return __atomic_load_n(&bdev->bd_block_size, __ATOMIC_RELAXED);
}

int set_blocksize(struct block_device *bdev, unsigned int size) {
  if (size < SECTOR_SIZE || size > PAGE_SIZE || (size & (size - 1))) return -EINVAL;
  if (size < bdev_logical_block_size(bdev)) return -EINVAL;
  __atomic_store_n(&bdev->bd_block_size, size, __ATOMIC_RELAXED);
  return 0;
}

int blkdev_ioctl(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg) {
  struct gendisk *disk = bdev->bd_disk;
  if (!disk || !disk->fops || !disk->fops->ioctl) return -ENOTTY;
  return disk->fops->ioctl(bdev, mode, cmd, arg);
}

void bdev_opened(struct block_device *bdev, fmode_t mode) {
  __atomic_add_fetch(&bdev->bd_openers, 1, __ATOMIC_RELAXED);
  if (mode & FMODE_EXCL) __atomic_add_fetch(&bdev->bd_holders, 1, __ATOMIC_RELAXED);
}

void bdev_closed(struct block_device *bdev, fmode_t mode) {
  __atomic_sub_fetch(&bdev->bd_openers, 1, __ATOMIC_RELAXED);
  if (mode & FMODE_EXCL) __atomic_sub_fetch(&bdev->bd_holders, 1, __ATOMIC_RELAXED);
}

void bdev_open_counts(struct block_device *bdev, int *openers, int *holders) {
  *openers = __atomic_load_n(&bdev->bd_openers, __ATOMIC_RELAXED);
  *holders = __atomic_load_n(&bdev->bd_holders, __ATOMIC_RELAXED);
}
