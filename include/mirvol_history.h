// The history of asynchronous writes: the journal of unacknowledged writes
// in the Cluster Partition (the in-use flag and the ring of records), the
// history files that hold spilled write data, the module-wide pool of file
// I/O buffers, and the per-device history thread with its job queue.
#pragma once

#include "include/mirvol.h"

// --- Cluster Partition history area ---

#define MIRVOL_HISINFO_RING_BYTE 0x54D000ull  // the ring's first byte (sector 10856)
#define MIRVOL_HISINFO_RING_SECTOR 10856ull
#define MIRVOL_HISINFO_RECORD_SIZE 32
#define MIRVOL_HISINFO_PAGE 4096
#define MIRVOL_HISINFO_RUN (64 * 1024)  // clear and conversion move 64 KiB per I/O
#define MIRVOL_HISINFO_RUN_PAGES 16
#define MIRVOL_HISINFO_WINDOW_BITS 524288ull  // bits of one 64 KiB bitmap window

// One record of the ring, little-endian on disk.
struct history_info_record {
  u64 serial;
  u64 first_sector;
  u64 sector_count;
  u64 used;  // 1 in use, 0 free
};

// One cached 4096-byte page of the ring. Write-through: never dirty.
struct hisinfo_cache {
  struct hisinfo_cache *next;
  u32 valid;              // 1 when the page holds the ring data of `sector`
  struct semaphore sem;   // owns the page, the bio and every field here
  struct bio *bio;        // one page on the Cluster Partition
  struct mirvol_bio_wait *wait;
  struct page *page;
  u64 sector;             // first Cluster Partition sector of the page
};

struct history_info {
  char dir[MIRVOL_NAME_LEN];  // the device's history-file directory, "" when none
  u64 file_limit;             // bytes, 0 = no limit
  u64 file_bytes;             // bytes of the history files in use
  spinlock_t file_lock;       // guards file_limit and file_bytes
  struct hisinfo_cache *main_cache;  // serves record writes
  struct hisinfo_cache *del_caches;  // chain serving record deletes
  s32 del_cnt;
  s32 del_next;  // round-robin index of the next delete cache to reuse
  u64 last_sector;
  u32 capacity;
  u32 count;            // records in use; guarded by ring_lock
  spinlock_t ring_lock;  // guards count only, never held across I/O
  u64 write_pos;         // byte position of the next slot to try (main cache sem)
  u32 overflow_report;   // 1: the next full ring is logged (main cache sem)
  struct page *blocks[3][MIRVOL_HISINFO_RUN_PAGES];  // ring reads, zero writes, bitmap window
  // Serialises every write of the in-use flag with the change of the
  // in-memory flag it stands for: the 0->1 write before the first record of
  // an epoch, and the reset of commands 84 and 85. Taken after the main
  // cache semaphore.
  struct mutex flag_mutex;
  struct nmp_info *nmp;
};

// Result codes of the journal and the files (one u8 code space).
enum {
  HIS_OK = 0,
  HIS_NOMEM = 1,
  HIS_INTERNAL = 2,
  HIS_READ_FAILED = 3,
  HIS_WRITE_FAILED = 4,
  HIS_RING_FULL = 5,
  HIS_OTHER_SERIAL = 6,
  HIS_INVALID = 7,
  HIS_CLEAR_FAILED = 8,
  HIS_STAT_FAILED = 9,
  HIS_NOT_DIR = 10,
  HIS_LOOKUP_FAILED = 11,
  HIS_DENTRY_FAILED = 12,
  HIS_MKDIR_FAILED = 13,
  HIS_UNLINK_FAILED = 14,
  HIS_OVER_LIMIT = 15,
  HIS_OPEN_FAILED = 16,
  HIS_FILE_READ_FAILED = 17,
  HIS_FILE_WRITE_FAILED = 18,
};

// The journal. A record write is a job of the history thread; the others
// run in their caller.
int mirvol_write_history_info_main(struct io_request *req);
int mirvol_clear_all_history_info_wrap(struct nmp_info *nmp);
int mirvol_convert_history_info(struct nmp_info *nmp);
// Control commands 84 and 85 on the kernel copy of their 4-byte records.
void mirvol_clear_all_history_info_ioctl(unsigned int minor, struct nmp_info *nmp, u8 *rec);
void mirvol_convert_history_info_ioctl(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// The in-memory in-use flag, read under the device spinlock.
u32 mirvol_hisinfo_used(struct nmp_info *nmp);
// Records in use and bytes of history files in use.
u32 mirvol_history_count(struct history_info *h);
u64 mirvol_history_file_bytes(struct history_info *h);

// --- history files ---

#define MIRVOL_FILEIO_NUM 128
#define MIRVOL_FILEIO_ORDER 4
#define MIRVOL_FILEIO_SIZE (4096 << MIRVOL_FILEIO_ORDER)  // 64 KiB
// The longest device directory: its file names ("/%016llX.dat") still fit
// the 1024-byte name buffer.
#define MIRVOL_HISTORY_DIR_MAX 1001
// The file system in which the host shows the mirror disks, as the mount
// table names it.
#define MIRVOL_DISK_FS_TYPE "fuse.mirvol"

void mirvol_initialize_fileio_buffers(void);
void mirvol_destroy_fileio_buffers(void);
int mirvol_create_fileio_buffers(struct nmp_info *nmp, int count);
void *mirvol_get_fileio_buffer(void);
void mirvol_put_fileio_buffer(void *buffer);
// Filled and free slots of the pool.
int mirvol_fileio_buffers_filled(void);
int mirvol_fileio_buffers_free(void);

int mirvol_history_dir_init(struct nmp_info *nmp, char *dir, const char *configured);
int mirvol_history_create_dir(struct nmp_info *nmp, const char *path);
int mirvol_write_history_file_main(struct io_request *req);
int mirvol_delete_history_file(struct io_request *req);
// The name of the request's history file into buf; false when it does not fit.
bool mirvol_history_file_name(struct io_request *req, char *buf, size_t size);

// Queues a job (1 record, 2 file) for the device's history thread and waits
// for its result; 2 at once when the thread does not run.
int mirvol_history_request(struct io_request *req, int type, void **slot);

// The device's history record, made at device creation from the
// device-init record, and freed with the device.
struct history_info *mirvol_history_init(const u8 *record, struct nmp_info *nmp);
void mirvol_history_free(struct history_info *history);
// The device's history thread ("mirvol_nmp%02d_09").
int mirvol_history_thread(void *nmp);
