// Block layer: the host's opens of a mirror disk, the disks and backing
// devices in use, and fault injection on backing devices.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "blkdev.h"

// A process opened or closed the device (the host's open of a mirror file);
// FMODE_EXCL counts as a holder too. Read the counts with bdev_open_counts.
void bdev_opened(struct block_device *bdev, fmode_t mode);
void bdev_closed(struct block_device *bdev, fmode_t mode);

// Calls fn for every added disk, in device-number order, until fn returns
// non-zero (that value is returned; 0 when all were visited). The disk is
// held for the call; fn must not add or delete disks.
int blk_for_each_disk(int (*fn)(struct gendisk *disk, void *arg), void *arg);

// --- backing devices in use ---

// Bios submitted to a backing device whose completion has not returned yet
// (0 for the block device of a disk: its bios belong to the driver).
long bdev_inflight(struct block_device *bdev);
// Waits (real time, may sleep) until bdev_inflight() is 0: 0, or -ETIMEDOUT.
int bdev_wait_idle(struct block_device *bdev, unsigned int timeout_ms);
// Calls fn for every open backing device (held for the call) until fn
// returns non-zero, which is returned.
int blk_for_each_bdev(int (*fn)(struct block_device *bdev, void *arg), void *arg);

// Fault injection on a backing device. A rule hits a read or write bio (as
// ops selects) whose range overlaps [sector, sector + nr_sects); flushes are
// never hit. Rules are tried in the order added and a bio is hit by the
// first that matches and has hits left (count > 0 is used up one per bio;
// count < 0 never). A hit bio waits delay_ms (real time) on its worker and
// then, with fail set, completes with BLK_STS_IOERR without touching the
// device; without fail it goes on to the device. A delayed write still holds
// back later writes that overlap it. A delay of BLK_FAULT_HOLD holds each
// bio hit on its worker until bdev_fault_release or bdev_fault_clear.
#define BLK_FAULT_HOLD 0xffffffffu
#define BLK_FAULT_READ 0x1u
#define BLK_FAULT_WRITE 0x2u
struct blk_fault {
  unsigned int ops;
  sector_t sector;
  sector_t nr_sects;
  int count;
  unsigned int delay_ms;
  int fail;
};
// Returns the rule's id (>= 0), or -EINVAL for a disk's block device or a
// rule that hits nothing (no ops, no sectors or count 0).
int bdev_fault_add(struct block_device *bdev, const struct blk_fault *rule);
// Bios the rule has hit so far; -EINVAL for an unknown id.
long bdev_fault_hits(struct block_device *bdev, int id);
// Lets every held bio of the device go on (to the device, or failed).
void bdev_fault_release(struct block_device *bdev);
// Removes the rules and releases the held bios.
void bdev_fault_clear(struct block_device *bdev);
