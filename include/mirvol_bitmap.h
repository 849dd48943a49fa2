// The Cluster Partition: its layout, the one-block I/O every access uses,
// the time records and the disk-error flag; and the difference bitmap kept
// in it, with the module-wide cache of bitmap blocks.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_open.h"

struct bio;

// --- Cluster Partition layout (sectors of 512 bytes) ---
//
// The layout follows the Cluster Partition's logical block size `len`:
// 4096 gives the 4 KiB layout, anything else the 1 KiB layout. Every record
// is one block of `len` bytes starting at its sector, zero but for its
// value (little-endian).
#define MIRVOL_CP_DISK_ERROR_SECTOR 8
#define MIRVOL_CP_DISCONNECT_SECTOR 16
#define MIRVOL_CP_LASTUPDATE_SECTOR_1K 17
#define MIRVOL_CP_LASTUPDATE_SECTOR_4K 24
#define MIRVOL_CP_MIRRORBREAK_SECTOR_1K 18
#define MIRVOL_CP_MIRRORBREAK_SECTOR_4K 32
#define MIRVOL_CP_HISINFO_SECTOR 10832

// Bitmap blocks: block index k starts at sector k * 2 (1 KiB layout) or
// k * 8 (4 KiB layout); the bitmap's first block has index 10 or 5.
#define MIRVOL_BMP_BLOCK_1K 1024
#define MIRVOL_BMP_BLOCK_4K 4096
#define MIRVOL_BMP_FIRST_INDEX_1K 10
#define MIRVOL_BMP_FIRST_INDEX_4K 5
#define MIRVOL_BMP_BITS_PER_BLOCK_1K 8192
#define MIRVOL_BMP_BITS_PER_BLOCK_4K 32768
// The bitmap's room ends where the history in-use flag begins: the last
// block index that may hold bitmap bits.
#define MIRVOL_BMP_LAST_INDEX_1K (MIRVOL_CP_HISINFO_SECTOR / 2 - 1)  // 5415
#define MIRVOL_BMP_LAST_INDEX_4K (MIRVOL_CP_HISINFO_SECTOR / 8 - 1)  // 1353

static inline int mirvol_cp_is_4k(const struct nmp_info *nmp) { return nmp->len == 4096; }
static inline u32 mirvol_bmp_block_size(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_BLOCK_4K : MIRVOL_BMP_BLOCK_1K;
}
static inline u64 mirvol_bmp_first_index(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_FIRST_INDEX_4K : MIRVOL_BMP_FIRST_INDEX_1K;
}
static inline u64 mirvol_bmp_bits_per_block(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_BITS_PER_BLOCK_4K : MIRVOL_BMP_BITS_PER_BLOCK_1K;
}
static inline u64 mirvol_cp_lastupdate_sector(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_CP_LASTUPDATE_SECTOR_4K : MIRVOL_CP_LASTUPDATE_SECTOR_1K;
}
static inline u64 mirvol_cp_mirrorbreak_sector(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_CP_MIRRORBREAK_SECTOR_4K : MIRVOL_CP_MIRRORBREAK_SECTOR_1K;
}

// --- one-block Cluster Partition I/O ---

// The private record of a one-block I/O. It begins with the waiter so that
// wait_for_bio() finds it; `settles` is the request completion bit (4 or
// 16) a request-bound time write gives when it completes.
struct mirvol_cp_bio {
  struct mirvol_bio_wait wait;
  void *owner;  // the device, or the io_request of a request-bound time write
  u32 settles;
};

// A bio of one page on the device's Cluster Partition: `len` bytes at
// `sector`, read (rw 0) or write (rw 1); a write's page is zero. Never
// fails: each allocation is retried every second. Free it with
// loop_free_buffer_head(), wait with wait_for_bio().
struct bio *loop_malloc_buffer_head(struct nmp_info *nmp, u64 sector, int rw);
// Gives the waiter of a one-block I/O its completion.
void wake_up_bio(struct bio *bio);
// The private record of a one-block I/O.
static inline struct mirvol_cp_bio *mirvol_cp_private(struct bio *bio) {
  return static_cast<struct mirvol_cp_bio *>(bio->bi_private);
}

// Completions. Each reports an error (event 160), raises the device's
// Cluster Partition error flag and wakes the disk-error thread; the
// `_4_3_0` form passes the bio's status, the `_2_6_24` form its argument.
void __cp_data_end_io(struct bio *bio, int error);
void __cp_data_end_io_4_3_0(struct bio *bio);
void __cp_data_end_io_2_6_24(struct bio *bio, int error);
void __mirvol_write_cptime_end_io(struct bio *bio, int error);
void __mirvol_write_cptime_end_io_4_3_0(struct bio *bio);
void __mirvol_write_cptime_end_io_2_6_24(struct bio *bio, int error);
void __dc_end_io_req_null(struct bio *bio, int error);
void __dc_end_io_req_null_4_3_0(struct bio *bio);
void __dc_end_io_req_null_2_6_24(struct bio *bio, int error);
// Only completes the waiter (the disk-error flag write).
void __disk_error_end_io(struct bio *bio, int error);
void __disk_error_end_io_4_3_0(struct bio *bio);
void __disk_error_end_io_2_6_24(struct bio *bio, int error);

// --- time records and the disk-error flag ---

// Makes the per-minor time-record locks and resets the cache-growth latch;
// called once at load.
void mirvol_cp_module_init(void);

// flags: 4 last update (with a request), 8 disconnect (alone, no request),
// 16 mirror break (with or without a request). A request gets completion
// bits 4 and 16 once the records are written (or at once when no write is
// due). May sleep. Returns 0.
int mirvol_write_cptime(struct nmp_info *nmp, struct io_request *req, u32 flags);
// Writes the last-update time now, without the delay rule, and waits.
void mirvol_write_lastupdatetime(struct nmp_info *nmp);
// Writes the on-disk disk-error flag (byte 20 of sector 8 = 1) and waits.
void mirvol_write_diskerror(struct nmp_info *nmp);
// Reads the mirror-break, last-update and disconnect times, the disk-error
// flag and the history in-use flag into the device; 0, or -1 at the first
// failed read.
int mirvol_read_all_cptime(struct nmp_info *nmp);
// Clears the records named by flags (1 disconnect, 2 last update, 4 mirror
// break, 8 disk-error state); 0, or -1 when any step failed.
int mirvol_clear_cp_time_main(struct nmp_info *nmp, u32 flags);

// Control commands 12 (read the times) and 13 (clear), on the kernel copy
// of their 20-byte records.
#define MIRVOL_CP_TIME_REC_SIZE 20
void mirvol_read_cp_time(unsigned int minor, struct nmp_info *nmp, u8 *rec);
void mirvol_clear_cp_time(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// --- the difference bitmap ---

// The position of one bit: bit b of the bitmap is bit (b mod 8) of byte
// b / 8, counted from the most significant bit.
struct bitmap_offset {
  u64 byte_index;     // b / 8
  u64 block_index;    // Cluster Partition block index of that byte
  u64 byte_in_block;  // byte_index modulo the block size
  s32 bit_in_byte;    // b mod 8; 0 is the most significant bit
};

// Synchronous read (rw 0) or write (rw 1) of bitmap block `block_index`
// into or from `buffer` (the layout's block size). An index outside the
// bitmap's room is refused (event 168). 0 or -1.
int mirvol_bitmap_readwrite(u8 *buffer, u64 block_index, struct nmp_info *nmp, int rw);
// Fills the position of the bit of `sector`. Returns 1.
int mirvol_calc_offset(u64 sector, struct nmp_info *nmp, struct bitmap_offset *offset);
// Fills the position of bit `bit`.
void mirvol_calc_offset_from_bit(u64 bit, struct nmp_info *nmp, struct bitmap_offset *offset);
// Allocates a position record (up to 5 tries a second apart); null at last.
struct bitmap_offset *mirvol_malloc_bitmap_offset(void);

// Sets the bit of the granule holding `sector`, through the cache: 1 (the
// block was cached), 0, or -1 (granule not positive, I/O failed).
int mirvol_write_bitmap_from_secnr(u64 sector, struct nmp_info *nmp);
int mirvol_write_cache_bitmap(struct bitmap_offset *offset, struct nmp_info *nmp);
// Lookup; the caller holds g_cache_sem. *entry comes in as the list head
// and goes out as the entry to use. 1 hit, 0 otherwise.
int mirvol_search_bit_in_cache(struct bitmap_offset *offset, struct cache_table **entry,
                               struct nmp_info *nmp);
// Writes back every dirty cache entry: 0, or -1 at the first failed write.
// _flush_bitmap_cache() is called with g_cache_sem held.
int _flush_bitmap_cache(void);
int flush_bitmap_cache(void);
// Writes back the dirty entries of one device only; 0 or -1.
int flush_bitmap_cache_of(struct nmp_info *nmp);

// Changes bitmap block `index` of the device through the one coherent
// path, which every change of a bitmap block outside the single-bit set
// must take: a cached copy is changed under its sig_sem and written
// through; an uncached block is read (when `read_first`), changed and
// written while g_cache_sem is held. `change` gets the block's data (the
// layout's block size). 0 or -1.
typedef void (*bmp_change_fn)(u8 *data, void *arg);
int mirvol_bitmap_block_update(struct nmp_info *nmp, u64 index, bmp_change_fn change, void *arg,
                               bool read_first);

// A rewrite of a device's bitmap blocks straight on the Cluster Partition
// (g_cache_sem held throughout) brackets itself with these two. The first,
// after the flush, waits out every setter still inside an entry of the
// device and keeps, for each entry still dirty, the bits it holds beyond
// the Cluster Partition's copy (bits set after the flush): 0, or -1 when
// they cannot be kept (nothing to release then). The second reloads every
// cached block of the device from the Cluster Partition, so no stale copy
// can undo the rewrite, ORs the kept bits back in and writes those blocks
// through; it releases the kept bits.
struct bmp_late_bits;
int mirvol_bitmap_cache_keep_late(struct nmp_info *nmp, struct bmp_late_bits **late);
void mirvol_bitmap_cache_reload(struct nmp_info *nmp, struct bmp_late_bits *late);

// Sets (value 1) or clears (value 0) bits first..last inclusive; every
// block change goes through the cache coherently. 0 or -1 (also for a
// range whose last bit lies below its first).
int mirvol_bitmap_clear1(u64 first, u64 last, struct nmp_info *nmp, int value);
// The same for `count` bits starting at `first` that lie in one block.
int mirvol_bitmap_clear2(u64 first, s32 count, struct nmp_info *nmp, int value);

// Control commands 3 (fill the whole bitmap) and 68 (set or clear every
// bit), on the kernel copy of their 8-byte records.
void mirvol_bitmap_clear(unsigned int minor, struct nmp_info *nmp, u8 *rec);
void mirvol_set_bitmap(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// Latch: set when a cache entry could not be allocated; the list then
// never grows.
extern int g_malloc_cache_table_isError;
