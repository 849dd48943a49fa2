// The block layer: block majors and disks by device number, request queues
// with a make-request entry and queue limits, bios of page segments, and
// block devices opened from descriptors, whose I/O runs on a pool of workers.
//
// Two kinds of block device exist:
//  - the block device of a disk a driver added (add_disk(), bdget()). A bio
//    submitted to it goes straight to the disk queue's make-request entry, in
//    the submitter's context, as a kernel make-request driver sees it;
//  - a backing block device opened from a descriptor or a path: a real block
//    device (a loop device, a partition) or an image file. A bio submitted to
//    it is queued for I/O; a worker does the I/O with preadv/pwritev and then
//    calls the bio's completion, in completion (atomic) context.
//
// Sectors are always 512 bytes, whatever a device's logical block size.
#pragma once

#include "errptr.h"
#include "kerrno.h"
#include "slab.h"
#include "sync.h"
#include "types.h"

struct file;
struct module;
struct page;
struct gendisk;
struct request_queue;
struct block_device;
struct blk_disk_private;
struct blk_queue_private;
struct blk_bdev_private;

#define SECTOR_SHIFT 9
#define SECTOR_SIZE 512

// Open modes of a block device.
#ifndef FMODE_READ
typedef unsigned int fmode_t;
#define FMODE_READ 0x1u
#define FMODE_WRITE 0x2u
#define FMODE_EXCL 0x80u
#endif

// --- block status ---
// The result a bio completes with (bi_status). Kernel code converts to and
// from negative errno values with the two calls below; every status that has
// no errno of its own is -EIO.
typedef u8 blk_status_t;
#define BLK_STS_OK ((blk_status_t)0)
#define BLK_STS_NOTSUPP ((blk_status_t)1)     // -EOPNOTSUPP
#define BLK_STS_TIMEOUT ((blk_status_t)2)     // -ETIMEDOUT
#define BLK_STS_NOSPC ((blk_status_t)3)       // -ENOSPC
#define BLK_STS_TRANSPORT ((blk_status_t)4)   // -ENOLINK
#define BLK_STS_TARGET ((blk_status_t)5)      // -EREMOTEIO
#define BLK_STS_NEXUS ((blk_status_t)6)       // -EBADE
#define BLK_STS_MEDIUM ((blk_status_t)7)      // -ENODATA
#define BLK_STS_PROTECTION ((blk_status_t)8)  // -EILSEQ
#define BLK_STS_RESOURCE ((blk_status_t)9)    // -ENOMEM
#define BLK_STS_IOERR ((blk_status_t)10)      // -EIO
#define BLK_STS_DM_REQUEUE ((blk_status_t)11) // -EREMCHG
#define BLK_STS_AGAIN ((blk_status_t)12)      // -EAGAIN
// 0 -> OK; each errno above -> its status; any other value -> BLK_STS_IOERR.
blk_status_t errno_to_blk_status(int errno_neg);
// The errno of a status (0 for OK); an unknown status gives -EIO.
int blk_status_to_errno(blk_status_t status);

// --- bios ---

// Operation (low 8 bits of bi_opf) and flags (the bits above).
#define REQ_OP_BITS 8
#define REQ_OP_MASK ((1u << REQ_OP_BITS) - 1)
#define REQ_OP_READ 0u
#define REQ_OP_WRITE 1u
#define REQ_OP_FLUSH 2u    // no data: make completed writes durable
#define REQ_OP_DISCARD 3u  // backing devices answer BLK_STS_NOTSUPP
#define REQ_SYNC (1u << 11)      // hint only
#define REQ_META (1u << 12)      // hint only
#define REQ_NOIDLE (1u << 13)    // hint only
#define REQ_FUA (1u << 17)       // the write is durable when it completes
#define REQ_PREFLUSH (1u << 18)  // completed writes are made durable first

// Data direction, as bio_data_dir() reports it.
#define READ 0
#define WRITE 1

// One segment: len bytes at offset within a 4096-byte page.
struct bio_vec {
  struct page *bv_page;
  unsigned int bv_len;
  unsigned int bv_offset;
};

// Where a bio is: its first sector, its remaining bytes and the segment it
// starts in. The platform does not advance it: at completion it still holds
// what was submitted.
struct bvec_iter {
  sector_t bi_sector;
  unsigned int bi_size;
  unsigned int bi_idx;
};

struct bio;
typedef void(bio_end_io_t)(struct bio *bio);

// The data of a bio are the bi_size bytes taken, in order, from the segments
// starting at bi_io_vec[bi_iter.bi_idx]; a segment longer than what remains is
// used only in part. bi_status is written by the platform just before
// bi_end_io is called (a driver ending a bio itself sets it first).
struct bio {
  struct bio *bi_next;  // free for the owner's own lists; the platform never uses it
  struct block_device *bi_bdev;
  unsigned int bi_opf;     // operation | flags
  unsigned short bi_flags; // free for the owner; the platform keeps it at 0
  blk_status_t bi_status;
  struct bvec_iter bi_iter;
  unsigned short bi_vcnt;      // segments in use
  unsigned short bi_max_vecs;  // segments allocated
  int __bi_cnt;                // references; change with bio_get()/bio_put()
  struct bio_vec *bi_io_vec;
  bio_end_io_t *bi_end_io;
  void *bi_private;

  // Platform state while the bio is in a backing device's I/O.
  struct bio *plat_qnext_;
  struct bio *plat_prev_, *plat_next_;
  unsigned int plat_flags_;
  unsigned int plat_delay_ms_;
  blk_status_t plat_status_;
};

#define BIO_MAX_PAGES 256

static inline unsigned int bio_op(const struct bio *bio) { return bio->bi_opf & REQ_OP_MASK; }
static inline bool op_is_write(unsigned int op) { return (op & 1) != 0; }
static inline int bio_data_dir(const struct bio *bio) { return op_is_write(bio_op(bio)) ? WRITE : READ; }
static inline void bio_set_op_attrs(struct bio *bio, unsigned int op, unsigned int flags) {
  bio->bi_opf = op | flags;
}
static inline void bio_set_dev(struct bio *bio, struct block_device *bdev) { bio->bi_bdev = bdev; }
static inline bool bio_has_data(const struct bio *bio) { return bio->bi_iter.bi_size != 0 && bio_op(bio) != REQ_OP_DISCARD; }
// The address of the first segment's data (its page plus offset).
void *bio_data(struct bio *bio);

// Every segment in use, from the first: for (i, bvl) over bi_io_vec[0 .. bi_vcnt).
#define bio_for_each_segment_all(bvl, bio, i) \
  for ((i) = 0, (bvl) = (bio)->bi_io_vec; (i) < (bio)->bi_vcnt; (i)++, (bvl)++)

// A bio with room for nr_vecs segments (0 .. BIO_MAX_PAGES), all fields zero,
// one reference. Null when the allocation fails: a bio is allocated through
// kmalloc() with gfp, so alloc_fault_inject() fails it too. The bio_set
// argument of the bioset form is accepted and ignored.
struct bio_set;
extern struct bio_set *fs_bio_set;
struct bio *bio_alloc(gfp_t gfp, unsigned int nr_vecs);
// Appends one segment (no merging with the previous one) and adds len to
// bi_size. Returns len, or 0 when the bio has no free segment, len is 0, or
// the segment would not lie within the page.
int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset);
void bio_get(struct bio *bio);
// Drops a reference; the last one frees the bio and its segment array but
// never the pages.
void bio_put(struct bio *bio);
// A new bio with its own segment array that shares the pages of the
// original's remaining segments (bi_io_vec[bi_idx .. bi_vcnt) become
// [0 .. n)), with the same device, bi_opf, sector and size. Completion,
// private pointer and status are not copied; the clone completes on its own.
// Null when the allocation fails (fault injection applies).
struct bio *bio_clone_bioset(struct bio *bio, gfp_t gfp, struct bio_set *bs);
struct bio *bio_clone(struct bio *bio, gfp_t gfp);
// Calls bi_end_io (when set) with the bio's bi_status; nothing else. The
// callback owns the bio from then on (it usually bio_put()s it).
void bio_endio(struct bio *bio);
static inline void bio_io_error(struct bio *bio) {
  bio->bi_status = BLK_STS_IOERR;
  bio_endio(bio);
}

// Submitting. To the block device of an added disk: the bio is passed to the
// make-request entry of the disk's queue, in the caller's context; a deleted
// disk or a cleaned-up queue ends it with BLK_STS_IOERR instead. To a backing
// device: the bio is queued and the call returns at once; never sleeps, so
// it may be called in atomic context. Its completion always runs later on an
// I/O worker, never inside submit_bio(). A backing device ends with
// BLK_STS_IOERR a bio that reaches past its capacity, is not aligned to its
// logical block size, has fewer segment bytes than bi_size, or writes a
// read-only device; a discard gets BLK_STS_NOTSUPP. Writes whose ranges
// overlap reach the device in the order they were submitted. REQ_PREFLUSH
// (or an empty REQ_OP_FLUSH bio) runs fdatasync() before the data; REQ_FUA
// makes the write itself synchronous. The caller must hold the block device
// (a reference) until the bio has completed.
void submit_bio(struct bio *bio);
void generic_make_request(struct bio *bio);

// --- request queues and limits ---

struct queue_limits {
  unsigned int logical_block_size;   // bytes
  unsigned int physical_block_size;  // bytes
  unsigned int max_sectors;          // largest I/O the queue is sent, in sectors
  unsigned int max_hw_sectors;       // largest I/O the device takes, in sectors
  unsigned int max_segment_size;     // bytes
  unsigned int max_segments;
  unsigned int max_discard_sectors;  // 0: no discard
};

// A new queue's limits: 512-byte logical and physical blocks, 1024 sectors
// (512 KiB) for both maxima, 128 segments of at most 65536 bytes, no discard.
#define BLK_DEF_MAX_SECTORS 1024u
#define BLK_MAX_SEGMENTS 128u
#define BLK_MAX_SEGMENT_SIZE 65536u

// (The kernel calls the type make_request_fn; C++ does not allow the type and
// the member below one name.)
typedef void(make_request_fn_t)(struct request_queue *q, struct bio *bio);

#define QUEUE_FLAG_DISCARD 14  // the device takes discards

struct request_queue {
  make_request_fn_t *make_request_fn;
  struct queue_limits limits;
  unsigned long queue_flags;  // bit per QUEUE_FLAG_*, changed atomically
  void *queuedata;            // the driver's
  spinlock_t *queue_lock;     // points at __queue_lock when the queue is made
  spinlock_t __queue_lock;
  struct blk_queue_private *private_;
};

// A queue with the default limits, no make-request entry, one reference.
// Null on allocation failure (fault injection applies).
struct request_queue *blk_alloc_queue(gfp_t gfp);
void blk_queue_make_request(struct request_queue *q, make_request_fn_t *fn);
// Marks the queue dead (submits end with BLK_STS_IOERR) and drops the
// creator's reference; a disk added with the queue keeps it in memory until
// the disk is freed.
void blk_cleanup_queue(struct request_queue *q);

// Setters. Logical and physical sizes keep physical >= logical (a smaller
// physical size is raised to the logical one). max_hw_sectors sets both
// maxima (at least 8 sectors); segments at least 1, segment size at least
// PAGE_SIZE.
void blk_queue_logical_block_size(struct request_queue *q, unsigned int size);
void blk_queue_physical_block_size(struct request_queue *q, unsigned int size);
void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int sectors);
void blk_queue_max_segments(struct request_queue *q, unsigned int n);
void blk_queue_max_segment_size(struct request_queue *q, unsigned int size);
void blk_queue_flag_set(unsigned int flag, struct request_queue *q);
void blk_queue_flag_clear(unsigned int flag, struct request_queue *q);
bool blk_queue_flag_test(unsigned int flag, const struct request_queue *q);
#define blk_queue_discard(q) blk_queue_flag_test(QUEUE_FLAG_DISCARD, (q))

// Readers. A null queue, or a logical block size of 0, reads as 512.
unsigned int queue_logical_block_size(const struct request_queue *q);
unsigned int queue_physical_block_size(const struct request_queue *q);
unsigned int queue_max_sectors(const struct request_queue *q);
unsigned int queue_max_hw_sectors(const struct request_queue *q);
unsigned int queue_max_segments(const struct request_queue *q);
unsigned int queue_max_segment_size(const struct request_queue *q);

// The defaults of a new queue.
void blk_set_default_limits(struct queue_limits *lim);
// Limits that stacking onto never restricts: 512-byte blocks, every maximum
// unlimited (UINT_MAX sectors and bytes, 65535 segments), no discard.
void blk_set_stacking_limits(struct queue_limits *lim);
// Stacks the bottom device's limits onto the top's so that an I/O that fits
// the top fits the bottom: block sizes become the larger of the two, each
// maximum the smaller non-zero one (0 on one side takes the other's). A limit
// is never loosened. Always returns 0 (offset is not used).
int blk_stack_limits(struct queue_limits *t, const struct queue_limits *b, sector_t offset);
void blk_queue_stack_limits(struct request_queue *t, struct request_queue *b);

// --- disks and the registry ---

#define DISK_NAME_LEN 32

struct block_device_operations {
  int (*open)(struct block_device *bdev, fmode_t mode);
  void (*release)(struct gendisk *disk, fmode_t mode);
  int (*ioctl)(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg);
  struct module *owner;
};

// Filled in by the driver between alloc_disk() and add_disk().
struct gendisk {
  int major;
  int first_minor;
  int minors;
  char disk_name[DISK_NAME_LEN];
  const struct block_device_operations *fops;
  struct request_queue *queue;
  void *private_data;
  int flags;
  struct blk_disk_private *private_;
};

// A block major under a name. major 0 asks for a free one, which is
// returned; otherwise 0, or -EBUSY when the major is registered, -EINVAL for
// a major above 4094.
int register_blkdev(unsigned int major, const char *name);
void unregister_blkdev(unsigned int major, const char *name);
// Copies the name a major is registered under; false when it is not.
bool blkdev_major_name(unsigned int major, char *buf, size_t len);

// A disk with one reference and capacity 0, or null on allocation failure
// (fault injection applies). Its block device exists with it.
struct gendisk *alloc_disk(int minors);
// Enters the disk in the registry under MKDEV(major, first_minor) (its
// queue must be set; the disk keeps a reference on it). The block device's
// soft block size is set from the capacity and logical block size now.
void add_disk(struct gendisk *disk);
// Takes the disk out of the registry: bdget() no longer finds it and
// submits to its block device end with BLK_STS_IOERR.
void del_gendisk(struct gendisk *disk);
// Drops a reference; the last one frees the disk (and its queue reference).
void put_disk(struct gendisk *disk);
void set_capacity(struct gendisk *disk, sector_t sectors);
sector_t get_capacity(struct gendisk *disk);

// --- block devices ---

// Filled in by the platform.
struct block_device {
  dev_t_k bd_dev;
  struct gendisk *bd_disk;
  struct request_queue *bd_queue;  // bd_disk->queue
  unsigned int bd_block_size;      // soft block size; read with block_size()
  int bd_openers;                  // opens of the device now; change with bdev_opened/closed
  int bd_holders;                  // of those, the exclusive ones (FMODE_EXCL)
  struct blk_bdev_private *private_;
};


// Opens of the device now, and of those the exclusive ones (FMODE_EXCL);
// the host counts them as processes open and close its mirror file.
void bdev_open_counts(struct block_device *bdev, int *openers, int *holders);

// The block device of an added disk (or of an open backing device) with that
// number, with a reference; null when none has it. Drop with bdput().
struct block_device *bdget(dev_t_k dev);
void bdput(struct block_device *bdev);

// Opening backing devices. The same device (block device number, or the
// same file) opened twice is the same block_device, counted twice. A real
// block device has its own number and block sizes (BLKSSZGET, BLKPBSZGET),
// capacity (BLKGETSIZE64) and queue limits; an image file is a disk of
// 512-byte blocks whose capacity is its size at the first open (rounded down
// to whole sectors), numbered under major BLK_IMAGE_MAJOR. I/O is direct
// (O_DIRECT) where the device allows it, so a completed write is on the
// device; where it does not (tmpfs), or for a segment layout direct I/O
// refuses, writes are buffered and synchronous (RWF_DSYNC). The descriptor
// is not kept: the device opens the file anew. FMODE_WRITE fails with
// -EROFS when the device can only be read. Results are ERR_PTR(-errno) on
// failure; a descriptor that is neither a block device nor a regular file
// gives -ENOTBLK (15). The holder is not used.
#define BLK_IMAGE_MAJOR 4095u
struct block_device *blkdev_get_by_file(struct file *file, fmode_t mode, void *holder);
struct block_device *blkdev_get_by_path(const char *path, fmode_t mode, void *holder);
// Drops a reference (either kind). Never waits: a backing device stays open
// while bios are in flight on it and closes after the last one completes.
void blkdev_put(struct block_device *bdev, fmode_t mode);

// Sizes.
struct request_queue *bdev_get_queue(struct block_device *bdev);
unsigned int bdev_logical_block_size(struct block_device *bdev);
unsigned int bdev_physical_block_size(struct block_device *bdev);
sector_t bdev_nr_sectors(struct block_device *bdev);  // capacity of bd_disk
// The soft block size: at open, the largest power of two from the logical
// block size up to PAGE_SIZE that divides the device size.
unsigned int block_size(struct block_device *bdev);
// Sets it: a power of two from 512 to PAGE_SIZE and not below the logical
// block size, else -EINVAL. Returns 0.
int set_blocksize(struct block_device *bdev, unsigned int size);

// Calls the disk's ioctl operation; -ENOTTY when it has none.
int blkdev_ioctl(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg);

// The block ioctl numbers (Linux's values, as a caller's ioctl carries them).
#define BLKROSET 0x125dU
#define BLKROGET 0x125eU
#define BLKGETSIZE 0x1260U
#define BLKFLSBUF 0x1261U
#define BLKSSZGET 0x1268U
#define BLKPG 0x1269U
#define BLKBSZGET 0x80081270U
#define BLKBSZSET 0x40081271U
#define BLKGETSIZE64 0x80081272U
#define BLKPBSZGET 0x127bU

// fdatasync() of a backing device now, in the caller (may sleep): 0 or -EIO;
// -EOPNOTSUPP for the block device of a disk.
int blkdev_issue_flush(struct block_device *bdev);
