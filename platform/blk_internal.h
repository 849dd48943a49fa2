// Block layer internals shared between blkdev.cpp (disks, queues, bios) and
// blk_io.cpp (backing devices and their I/O workers). Not for driver code.
#pragma once

#include <atomic>

#include "blkdev.h"

struct blk_disk_private {
  std::atomic<long> refs{1};
  std::atomic<u64> capacity{0};
  bool backing = false;  // the disk of a backing device (never in the registry)
  bool added = false;    // guarded by the disk registry lock
  std::atomic<bool> deleted{false};
};

struct blk_queue_private {
  std::atomic<long> refs{1};
  std::atomic<bool> dead{false};
};

struct blk_backing;
struct blk_bdev_private {
  struct blk_backing *backing;  // null for the block device of an added disk
};

namespace plat_blk {

// blk_io.cpp
void backing_submit(struct bio *bio);
// Completes the bio with `status` on an I/O worker (a bio that never reaches
// a backing device: no block device, a dead queue).
void complete_later(struct bio *bio, blk_status_t status);
void backing_get(struct blk_backing *b);
void backing_put(struct blk_backing *b);
struct block_device *backing_lookup(dev_t_k dev);  // with a reference, or null

// blkdev.cpp
void disk_get(struct gendisk *disk);
void disk_put(struct gendisk *disk);
unsigned int initial_block_size(u64 bytes, unsigned int logical_block_size);

}  // namespace plat_blk
