// I/O on the mirror disks, as the kernel's page cache would do it on their
// block devices: bios of 4096-byte page segments over block-aligned ranges,
// each within the queue's limits, submitted to the disk's block device (so to
// the driver's make-request entry) and waited for.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/host.h"
#include "include/mirvol.h"
#include "include/mirvol_bitmap_writer.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"
#include "platform/host_side.h"

// The mirror module's entry for an fsync (include/mirvol_bitmap_writer.h),
// referenced weakly: the stand-in modules of the host tests keep no
// difference bitmap and have none, and it is then null.
#pragma weak mirvol_sync_bitmap_of_disk

namespace mirvold {

struct mirror_disk {
  struct block_device *bdev;  // the disk's block device, held while the host runs

  std::mutex mu;
  std::condition_variable cv;
  // The writes going on now, with their byte ranges [first, end) and their
  // numbers in arrival order. A write waits for the overlapping ones before
  // it, so a read-modify-write of a partial block never puts back data older
  // than a write that overlaps it; an fsync waits for the ones before it.
  struct write_range {
    uint64_t first, end, seq;
  };
  std::vector<write_range> writing;  // guarded by mu
  uint64_t next_seq = 0;             // guarded by mu
};

namespace {

// The bios of one read or write, waited for together.
struct io_batch {
  std::atomic<int> pending{1};  // the submitter's own count, dropped last
  std::atomic<int> error{0};    // the first failing bio's errno
  struct completion done;
};

void batch_put(io_batch *b) {
  if (b->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) complete(&b->done);
}

// Completion of one bio (in completion context: no sleeping here).
void batch_end_io(struct bio *bio) {
  auto *b = static_cast<io_batch *>(bio->bi_private);
  if (bio->bi_status != BLK_STS_OK) {
    int none = 0;
    b->error.compare_exchange_strong(none, blk_status_to_errno(bio->bi_status));
  }
  bio_put(bio);
  batch_put(b);
}

// The pages of an aligned byte range, freed with the buffer.
struct page_buffer {
  std::vector<struct page *> pages;

  ~page_buffer() {
    for (auto *p : pages) __free_page(p);
  }
  bool alloc(uint64_t bytes) {
    size_t n = (size_t)((bytes + PAGE_SIZE - 1) / PAGE_SIZE);
    pages.reserve(n);
    for (size_t i = 0; i < n; i++) {
      struct page *p = alloc_page(GFP_NOIO);
      if (!p) return false;
      pages.push_back(p);
    }
    return true;
  }
  char *at(uint64_t pos) { return static_cast<char *>(page_address(pages[pos / PAGE_SIZE])) + pos % PAGE_SIZE; }
  void copy_in(uint64_t pos, const char *src, size_t len) {
    while (len) {
      size_t n = std::min<size_t>(len, PAGE_SIZE - pos % PAGE_SIZE);
      memcpy(at(pos), src, n);
      pos += n;
      src += n;
      len -= n;
    }
  }
  void copy_out(uint64_t pos, char *dst, size_t len) {
    while (len) {
      size_t n = std::min<size_t>(len, PAGE_SIZE - pos % PAGE_SIZE);
      memcpy(dst, at(pos), n);
      pos += n;
      dst += n;
      len -= n;
    }
  }
};

unsigned int block_bytes(mirror_disk *d) {
  unsigned int lbs = queue_logical_block_size(d->bdev->bd_queue);
  return lbs ? lbs : SECTOR_SIZE;
}

// Bytes of the disk that whole logical blocks cover.
uint64_t usable_bytes(mirror_disk *d) {
  uint64_t bytes = (uint64_t)get_capacity(d->bdev->bd_disk) << SECTOR_SHIFT;
  return bytes / block_bytes(d) * block_bytes(d);
}

// Reads or writes [first, first + len) of the disk from or into buf (whose
// byte 0 is byte `buf_pos` of the range's buffer) with as few bios as the
// queue limits allow. 0 or -errno.
int do_bios(mirror_disk *d, unsigned int op, page_buffer *buf, uint64_t buf_pos, uint64_t first,
            uint64_t len) {
  struct request_queue *q = d->bdev->bd_queue;
  unsigned int lbs = block_bytes(d);
  uint64_t max_bytes = (uint64_t)queue_max_sectors(q) << SECTOR_SHIFT;
  max_bytes = std::max<uint64_t>(max_bytes / lbs * lbs, lbs);
  unsigned int max_segs = std::clamp<unsigned int>(queue_max_segments(q), 1, BIO_MAX_PAGES);
  uint64_t seg_max = std::max<uint64_t>(queue_max_segment_size(q) / lbs * lbs, lbs);

  io_batch batch;
  init_completion(&batch.done);
  int result = 0;
  uint64_t done = 0;
  while (done < len) {
    uint64_t bio_len = std::min(len - done, max_bytes);
    unsigned int nvecs =
        std::min<uint64_t>(max_segs, (bio_len + PAGE_SIZE - 1) / PAGE_SIZE + 1);
    struct bio *bio = bio_alloc(GFP_NOIO, nvecs);
    if (!bio) {
      result = -ENOMEM;
      break;
    }
    bio->bi_bdev = d->bdev;
    bio->bi_opf = op;
    bio->bi_iter.bi_sector = (first + done) >> SECTOR_SHIFT;
    bio->bi_end_io = batch_end_io;
    bio->bi_private = &batch;
    while (done < len && bio->bi_vcnt < max_segs && bio->bi_iter.bi_size < max_bytes) {
      uint64_t pos = buf_pos + done;
      uint64_t seg = std::min({(uint64_t)(PAGE_SIZE - pos % PAGE_SIZE), len - done, seg_max,
                               max_bytes - bio->bi_iter.bi_size});
      if (!bio_add_page(bio, buf->pages[pos / PAGE_SIZE], (unsigned int)seg,
                        (unsigned int)(pos % PAGE_SIZE)))
        break;
      done += seg;
    }
    batch.pending.fetch_add(1, std::memory_order_relaxed);
    submit_bio(bio);
  }
  batch_put(&batch);
  wait_for_completion(&batch.done);
  if (result) return result;
  return batch.error.load();
}

// Enters a write; returns its number.
uint64_t lock_range(mirror_disk *d, uint64_t first, uint64_t end) {
  std::unique_lock<std::mutex> l(d->mu);
  uint64_t seq = d->next_seq++;
  // Entered before it waits, so that a later overlapping write waits behind it.
  d->writing.push_back({first, end, seq});
  d->cv.wait(l, [&] {
    for (auto &r : d->writing)
      if (r.seq < seq && r.first < end && first < r.end) return false;
    return true;
  });
  return seq;
}

void unlock_range(mirror_disk *d, uint64_t seq) {
  std::lock_guard<std::mutex> g(d->mu);
  for (auto it = d->writing.begin(); it != d->writing.end(); ++it) {
    if (it->seq == seq) {
      d->writing.erase(it);
      break;
    }
  }
  d->cv.notify_all();
}

// How long an fsync waits for the device's pending bitmap ranges, in
// platform ticks.
constexpr long kBitmapSyncTimeout = 60 * HZ;

int flush_one(struct block_device *bdev, void *arg) {
  int r = blkdev_issue_flush(bdev);
  if (r && r != -EOPNOTSUPP) {
    printk(KERN_ERR "mirvold: flush of block device %u:%u failed: %d\n", MAJOR(bdev->bd_dev),
           MINOR(bdev->bd_dev), r);
    int *first = static_cast<int *>(arg);
    if (!*first) *first = r;
  }
  return 0;
}

}  // namespace

std::vector<mirror_file> find_mirror_disks(void) {
  std::vector<mirror_file> out;
  for (unsigned int i = 0; i < minor_num && i < MIRVOL_MAX_NMP; i++) {
    dev_t_k dev = MKDEV((dev_t_k)g_mirvol_major, (dev_t_k)nmp_minor[i]);
    struct block_device *bdev = bdget(dev);
    if (!bdev || !bdev->bd_disk || !bdev->bd_queue) {
      printk(KERN_WARNING "mirvold: no disk with major=%d minor=%d\n", g_mirvol_major, nmp_minor[i]);
      if (bdev) bdput(bdev);
      continue;
    }
    auto *d = new mirror_disk();
    d->bdev = bdev;
    out.push_back({bdev->bd_disk->disk_name, d});
  }
  return out;
}

void release_mirror_disks(std::vector<mirror_file> *files) {
  for (auto &f : *files) {
    bdput(f.disk->bdev);
    delete f.disk;
  }
  files->clear();
}

uint64_t mirror_size(mirror_disk *d) { return (uint64_t)get_capacity(d->bdev->bd_disk) << SECTOR_SHIFT; }

long mirror_read(mirror_disk *d, char *buf, size_t size, uint64_t off) {
  uint64_t cap = usable_bytes(d);
  if (off >= cap || size == 0) return 0;
  size = (size_t)std::min<uint64_t>(size, cap - off);
  unsigned int lbs = block_bytes(d);
  uint64_t first = off / lbs * lbs;
  uint64_t end = (off + size + lbs - 1) / lbs * lbs;
  page_buffer pb;
  if (!pb.alloc(end - first)) return -ENOMEM;
  int r = do_bios(d, REQ_OP_READ, &pb, 0, first, end - first);
  if (r) return r;
  pb.copy_out(off - first, buf, size);
  return (long)size;
}

long mirror_write(mirror_disk *d, const char *buf, size_t size, uint64_t off) {
  if (size == 0) return 0;
  uint64_t cap = usable_bytes(d);
  if (off >= cap) return -ENOSPC;
  size = (size_t)std::min<uint64_t>(size, cap - off);
  unsigned int lbs = block_bytes(d);
  uint64_t first = off / lbs * lbs;
  uint64_t end = (off + size + lbs - 1) / lbs * lbs;
  page_buffer pb;
  if (!pb.alloc(end - first)) return -ENOMEM;

  uint64_t seq = lock_range(d, first, end);
  int r = 0;
  // The partial blocks at either end are read first.
  if (off != first) r = do_bios(d, REQ_OP_READ, &pb, 0, first, lbs);
  uint64_t last = end - lbs;
  if (!r && off + size != end && (last != first || off == first))
    r = do_bios(d, REQ_OP_READ, &pb, last - first, last, lbs);
  if (!r) {
    pb.copy_in(off - first, buf, size);
    r = do_bios(d, REQ_OP_WRITE, &pb, 0, first, end - first);
  }
  unlock_range(d, seq);
  return r ? r : (long)size;
}

int mirror_fsync(mirror_disk *d) {
  {
    std::unique_lock<std::mutex> l(d->mu);
    uint64_t mark = d->next_seq;
    d->cv.wait(l, [&] {
      for (auto &r : d->writing)
        if (r.seq < mark) return false;
      return true;
    });
  }
  // The ranges of those writes that were not mirrored must be in the
  // difference bitmap on the Cluster Partition before the fsync returns,
  // or a crash now would leave them out of every later recovery.
  if (mirvol_sync_bitmap_of_disk) {
    int r = mirvol_sync_bitmap_of_disk(d->bdev->bd_dev, kBitmapSyncTimeout);
    if (r) {
      printk(KERN_ERR "mirvold: %s: the difference bitmap could not be written: %d\n",
             d->bdev->bd_disk->disk_name, r);
      return -EIO;
    }
  }
  // The data and Cluster Partitions of every device are among the backing
  // devices the platform has open.
  int first_error = 0;
  blk_for_each_bdev(flush_one, &first_error);
  return first_error;
}

void mirror_opened(mirror_disk *d) { bdev_opened(d->bdev, FMODE_READ | FMODE_WRITE); }
void mirror_closed(mirror_disk *d) { bdev_closed(d->bdev, FMODE_READ | FMODE_WRITE); }

}  // namespace mirvold
