// The ext2/ext3/ext4 reader behind control commands 77 and 78.
//
// Command 77 replaces the device's difference bitmap by the blocks the file
// system on the data partition uses, so that a full copy sends only those;
// command 78 estimates the file system's data blocks. Only what can be read
// safely is used: a superblock or descriptor with values out of range, a
// layout the reader does not follow (meta block groups, 64-bit block
// numbers), or a file system whose bitmaps may be newer in its journal is
// refused, and the full copy then proceeds with the bits as they are.
//
// Every call has its own pages, so concurrent calls on one device share
// nothing. All on-disk values are little-endian.

#include "include/mirvol_extfs.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_open.h"
#include "include/mirvol_param.h"
#include "include/mirvol_records.h"

// --- on-disk format ---

#define EXT_SB_OFFSET 1024
#define EXT_MAGIC 0xEF53

// Superblock fields (byte offsets within the superblock).
#define SB_BLOCKS_COUNT 4
#define SB_FREE_BLOCKS 12
#define SB_FIRST_DATA_BLOCK 20
#define SB_LOG_BLOCK_SIZE 24
#define SB_BLOCKS_PER_GROUP 32
#define SB_INODES_PER_GROUP 40
#define SB_MAGIC 56
#define SB_STATE 58
#define SB_INODE_SIZE 88
#define SB_FEATURE_COMPAT 92
#define SB_FEATURE_INCOMPAT 96
#define SB_FEATURE_RO_COMPAT 100
#define SB_RESERVED_GDT 206
#define SB_DESC_SIZE 254
#define SB_FIRST_META_BG 260
#define SB_BLOCKS_COUNT_HI 336
#define SB_BACKUP_BGS 588

#define COMPAT_HAS_JOURNAL 0x4u
#define COMPAT_SPARSE_SUPER2 0x200u
#define INCOMPAT_RECOVER 0x4u
#define INCOMPAT_META_BG 0x10u
#define INCOMPAT_64BIT 0x80u
#define RO_COMPAT_SPARSE_SUPER 0x1u
#define RO_COMPAT_GDT_CSUM 0x10u
#define RO_COMPAT_METADATA_CSUM 0x400u
#define STATE_VALID 0x1u

// Group descriptor (32 bytes).
#define EXT_DESC_SIZE 32
#define BG_BLOCK_BITMAP 0
#define BG_INODE_BITMAP 4
#define BG_INODE_TABLE 8
#define BG_FLAGS 18
#define BG_BLOCK_UNINIT 0x2u

static u16 le16(const u8 *p) { return (u16)(p[0] | (p[1] << 8)); }
static u32 le32(const u8 *p) {
  return (u32)p[0] | ((u32)p[1] << 8) | ((u32)p[2] << 16) | ((u32)p[3] << 24);
}

// --- pages and synchronous reads ---

struct mirvol_sync_read {
  struct completion done;
};

static void __mirvol_bi_complete(struct bio *bio, int error) {
  (void)error;
  complete(&static_cast<struct mirvol_sync_read *>(bio->bi_private)->done);
}
static void __mirvol_bi_complete_4_3_0(struct bio *bio) {
  __mirvol_bi_complete(bio, blk_status_to_errno(bio->bi_status));
}

// Reads `len` bytes (at most a page) at `sector` of `bdev` into `page`
// and waits: 1 on success, 0 on failure.
static int mirvol_page_io_with_sync(struct block_device *bdev, u64 sector, u32 len,
                                    struct page *page) {
  struct bio *bio = bio_alloc(GFP_NOIO, 1);
  if (!bio) return 0;
  struct mirvol_sync_read w;
  init_completion(&w.done);
  bio_set_dev(bio, bdev);
  bio->bi_iter.bi_sector = sector;
  bio_set_op_attrs(bio, REQ_OP_READ, REQ_SYNC);
  if (bio_add_page(bio, page, len, 0) != (int)len) {
    bio_put(bio);
    return 0;
  }
  bio->bi_private = &w;
  bio->bi_end_io = __mirvol_bi_complete_4_3_0;
  submit_bio(bio);
  wait_for_completion(&w.done);
  int ok = bio->bi_status == BLK_STS_OK;
  bio_put(bio);
  return ok;
}

static int mirvol_alloc_disk_page(struct page **page) {
  if (*page) return 0;
  for (int i = 0; i < 5; i++) {
    *page = alloc_page(GFP_NOIO);
    if (*page) return 0;
    if (i == 4) break;
    flush_scheduled_work();
    msleep(1000);
    mirvol_printk(MIRVOL_INFO "Failed to allocate page for disk I/O to superblock, retrying.\n",
                  146);
  }
  mirvol_printk(MIRVOL_ERR "Failed to allocate page for disk I/O to superblock.\n", 145);
  return -ENOMEM;
}

static void mirvol_free_disk_page(struct page **page) {
  if (*page) __free_page(*page);
  *page = nullptr;
}

// Reads `len` bytes at byte `offset` of the data partition (a range that
// lies within one aligned page) into `page`; returns where they start in it,
// or null. A partition of 4 KiB logical blocks is read a whole block.
static const u8 *dp_read(struct nmp_info *nmp, struct page *page, u64 offset, u32 len) {
  u32 lbs = bdev_logical_block_size(nmp->dp_bdev);
  if (lbs < 512 || lbs > PAGE_SIZE) lbs = 512;
  u64 start = offset / lbs * lbs;
  u64 end = (offset + len + lbs - 1) / lbs * lbs;
  if (end - start > PAGE_SIZE) return nullptr;
  if (!mirvol_page_io_with_sync(nmp->dp_bdev, start / 512, (u32)(end - start), page))
    return nullptr;
  return static_cast<const u8 *>(page_address(page)) + (offset - start);
}

// --- superblock ---

static void refuse(struct nmp_info *nmp, const char *type, const char *what, u64 value) {
  mirvol_printk(MIRVOL_INFO
                "NMP%d this FS type (%s, %s %llu) is not supported for high speed full copy.\n",
                270, nmp->minor, type, what, (unsigned long long)value);
}

static void parse_sb(const u8 *s, struct mirvol_ext_sb *sb) {
  sb->blocks_count = le32(s + SB_BLOCKS_COUNT);
  sb->free_blocks_count = le32(s + SB_FREE_BLOCKS);
  sb->first_data_block = le32(s + SB_FIRST_DATA_BLOCK);
  sb->log_block_size = le32(s + SB_LOG_BLOCK_SIZE);
  sb->blocks_per_group = le32(s + SB_BLOCKS_PER_GROUP);
  sb->inodes_per_group = le32(s + SB_INODES_PER_GROUP);
  sb->state = le16(s + SB_STATE);
  sb->inode_size = le16(s + SB_INODE_SIZE);
  sb->feature_compat = le32(s + SB_FEATURE_COMPAT);
  sb->feature_incompat = le32(s + SB_FEATURE_INCOMPAT);
  sb->feature_ro_compat = le32(s + SB_FEATURE_RO_COMPAT);
  sb->reserved_gdt_blocks = le16(s + SB_RESERVED_GDT);
  sb->first_meta_bg = le32(s + SB_FIRST_META_BG);
}

const u8 *mirvol_analyze_sb(struct nmp_info *nmp, struct page *page, struct mirvol_ext_sb *sb) {
  memset(sb, 0, sizeof(*sb));
  if (!page || !nmp->dp_bdev) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d this FS type (UNKNOWN) is not supported for high speed full copy.\n",
                  270, nmp->minor);
    return nullptr;
  }
  if (!mirvol_page_io_with_sync(nmp->dp_bdev, 0, PAGE_SIZE, page)) {
    mirvol_printk(MIRVOL_WARN "NMP%d could not read superblock of FS.\n", 272, nmp->minor);
    mirvol_printk(MIRVOL_INFO
                  "NMP%d this FS type (UNKNOWN) is not supported for high speed full copy.\n",
                  270, nmp->minor);
    return nullptr;
  }
  const u8 *s = static_cast<const u8 *>(page_address(page)) + EXT_SB_OFFSET;
  parse_sb(s, sb);
  u16 magic = le16(s + SB_MAGIC);
  if (magic != EXT_MAGIC) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d this FS type (magic:%#x, feature:%#x) is not supported for high speed "
                  "full copy.\n",
                  270, nmp->minor, magic, sb->feature_ro_compat);
    return nullptr;
  }
  bool is64 = false;
  if (!(sb->feature_compat & COMPAT_HAS_JOURNAL)) {
    strcpy(sb->type, "EXT2");
  } else if (sb->feature_ro_compat <= 7) {
    strcpy(sb->type, "EXT3");
  } else {
    strcpy(sb->type, "EXT4");
    if (sb->feature_incompat & INCOMPAT_64BIT) {
      is64 = true;
      u16 desc_size = le16(s + SB_DESC_SIZE);
      mirvol_printk(MIRVOL_INFO "NMP%d FS type is %s (64bit=ON, desc_size=%d).\n", 271,
                    nmp->minor, sb->type, desc_size);
      if (desc_size != EXT_DESC_SIZE || le32(s + SB_BLOCKS_COUNT_HI) != 0) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d this FS type (%s with 64bit option) is not supported for high "
                      "speed full copy.\n",
                      270, nmp->minor, sb->type);
        return nullptr;
      }
    }
  }
  // Values every later step divides by, shifts by or bounds a loop with.
  if (sb->log_block_size > 2) {
    refuse(nmp, sb->type, "log block size", sb->log_block_size);
    return nullptr;
  }
  sb->block_size = 1024u << sb->log_block_size;
  if (sb->blocks_per_group == 0 || sb->blocks_per_group > 8 * sb->block_size) {
    refuse(nmp, sb->type, "blocks per group", sb->blocks_per_group);
    return nullptr;
  }
  if (sb->blocks_count <= sb->first_data_block) {
    refuse(nmp, sb->type, "blocks count", sb->blocks_count);
    return nullptr;
  }
  sb->groups = ((u64)sb->blocks_count - sb->first_data_block + sb->blocks_per_group - 1) /
               sb->blocks_per_group;
  if (!is64) mirvol_printk(MIRVOL_INFO "NMP%d FS type is %s.\n", 271, nmp->minor, sb->type);
  return s;
}

// --- group layout ---

static bool is_power_of(u64 n, u64 base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

int mirvol_ext_group_sparse(u64 group) {
  if (group <= 1) return 1;
  if (!(group & 1)) return 0;
  return is_power_of(group, 3) || is_power_of(group, 5) || is_power_of(group, 7);
}

static u64 descs_per_block(const struct mirvol_ext_sb *sb) { return sb->block_size / EXT_DESC_SIZE; }

static int group_has_super(const struct mirvol_ext_sb *sb, u64 group) {
  if (!(sb->feature_ro_compat & RO_COMPAT_SPARSE_SUPER)) return 1;
  return mirvol_ext_group_sparse(group);
}

u64 mirvol_ext_bg_num_gdb(const struct mirvol_ext_sb *sb, u64 group) {
  u64 d = descs_per_block(sb);
  if ((sb->feature_incompat & INCOMPAT_META_BG) && group / d >= sb->first_meta_bg) {
    u64 r = group % d;
    return (r == 0 || r == 1 || r == d - 1) ? 1 : 0;
  }
  if (!group_has_super(sb, group)) return 0;
  return (sb->groups + d - 1) / d;
}

// Groups below n that hold a superblock copy.
static u64 count_super_groups(const struct mirvol_ext_sb *sb, u64 n) {
  if (!(sb->feature_ro_compat & RO_COMPAT_SPARSE_SUPER)) return n;
  u64 c = n < 2 ? n : 2;
  static const u64 bases[] = {3, 5, 7};
  for (u64 base : bases)
    for (u64 p = base; p < n; p *= base) c++;
  return c;
}

// Groups in [a, n) whose index modulo d is r.
static u64 count_residue(u64 a, u64 n, u64 d, u64 r) {
  auto upto = [d, r](u64 x) { return x > r ? (x - r - 1) / d + 1 : 0; };  // in [0, x)
  return upto(n) - upto(a);
}

// --- the bitmap rewrite ---

void mirvol_ext_block_bits(u64 block, u32 bsize, u32 granule, u64 *first, u64 *last) {
  u64 q = bsize / 512;
  *first = block * q / granule;
  *last = (block * q + q - 1) / granule;
}

// The output: bitmap blocks filled bit by bit in rising order and written
// as they are left behind.
struct bmp_out {
  struct nmp_info *nmp;
  u8 *buf;
  u32 bs;
  u64 bits_per_block;
  u64 first_index;  // of the bitmap's first block
  u64 block;        // block being filled, counted from the bitmap's first
  u32 count;        // bits set in the blocks written
  int error;
};

static int out_write(struct bmp_out *o) {
  for (u32 i = 0; i < o->bs; i++) o->count += (u32)__builtin_popcount(o->buf[i]);
  int r = mirvol_bitmap_readwrite(o->buf, o->first_index + o->block, o->nmp, 1);
  if (r) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to write bitmap to Cluster Partition.\n", 161,
                  o->nmp->minor);
    o->error = r;
    return r;
  }
  memset(o->buf, 0, o->bs);
  o->block++;
  return 0;
}

// Moves the output on to the block of `bit`, writing those before it.
static int out_seek(struct bmp_out *o, u64 bit) {
  u64 blk = bit / o->bits_per_block;
  while (!o->error && o->block < blk) out_write(o);
  return o->error;
}

static int out_set(struct bmp_out *o, u64 bit) {
  if (out_seek(o, bit)) return o->error;
  u64 in = bit % o->bits_per_block;
  o->buf[in / 8] |= (u8)(0x80u >> (in % 8));
  return 0;
}

// Marks file system blocks first..last (inclusive) used.
static int out_mark(struct bmp_out *o, const struct mirvol_ext_sb *sb, u64 first, u64 last) {
  u64 b0, b1, e0, e1;
  u32 granule = READ_ONCE(o->nmp->bmp_size_in_sec);
  mirvol_ext_block_bits(first, sb->block_size, granule, &b0, &b1);
  mirvol_ext_block_bits(last, sb->block_size, granule, &e0, &e1);
  for (u64 bit = b0; bit <= e1; bit++)
    if (out_set(o, bit)) return o->error;
  return 0;
}

// Marks the blocks a group flagged BLOCK_UNINIT uses: it has no block
// bitmap on disk, only its superblock copy, descriptors, reserved
// descriptors and its own bitmaps and inode table can be in use.
static int mark_uninit_group(struct bmp_out *o, const struct mirvol_ext_sb *sb, const u8 *desc,
                             u64 group, u64 start, u64 end) {
  u32 isz = sb->inode_size;
  if ((sb->feature_compat & COMPAT_SPARSE_SUPER2) || isz == 0 || isz > sb->block_size)
    return out_mark(o, sb, start, end - 1);  // a layout not worked out here: all of it
  if (group_has_super(sb, group)) {
    u64 n = 1 + mirvol_ext_bg_num_gdb(sb, group) + sb->reserved_gdt_blocks;
    u64 last = start + n - 1 < end - 1 ? start + n - 1 : end - 1;
    if (out_mark(o, sb, start, last)) return o->error;
  }
  u64 bb = le32(desc + BG_BLOCK_BITMAP), ib = le32(desc + BG_INODE_BITMAP);
  u64 it = le32(desc + BG_INODE_TABLE);
  u64 it_blocks = ((u64)sb->inodes_per_group * isz + sb->block_size - 1) / sb->block_size;
  // In rising order, as the output needs.
  u64 a[3][2] = {{bb, bb}, {ib, ib}, {it, it + (it_blocks ? it_blocks - 1 : 0)}};
  for (int i = 0; i < 3; i++)
    for (int j = i + 1; j < 3; j++)
      if (a[j][0] < a[i][0]) {
        u64 t0 = a[i][0], t1 = a[i][1];
        a[i][0] = a[j][0], a[i][1] = a[j][1];
        a[j][0] = t0, a[j][1] = t1;
      }
  for (auto &r : a) {
    if (r[0] < start || r[0] >= end) continue;
    u64 last = r[1] < end - 1 ? r[1] : end - 1;
    if (out_mark(o, sb, r[0], last)) return o->error;
  }
  return 0;
}

static bool group_uninit(const struct mirvol_ext_sb *sb, const u8 *desc) {
  return (sb->feature_ro_compat & (RO_COMPAT_GDT_CSUM | RO_COMPAT_METADATA_CSUM)) &&
         (le16(desc + BG_FLAGS) & BG_BLOCK_UNINIT);
}

// Checks every descriptor before anything is written: a block bitmap
// outside the file system refuses the whole rewrite.
static int check_descriptors(struct nmp_info *nmp, const struct mirvol_ext_sb *sb,
                             struct page *pg) {
  u64 d = descs_per_block(sb), B = sb->block_size;
  for (u64 k = 0; k * d < sb->groups; k++) {
    const u8 *blk = dp_read(nmp, pg, (sb->first_data_block + 1 + k) * B, (u32)B);
    if (!blk) return -1;
    for (u64 j = k * d; j < sb->groups && j < (k + 1) * d; j++) {
      const u8 *desc = blk + (j - k * d) * EXT_DESC_SIZE;
      if (group_uninit(sb, desc)) continue;
      u32 bb = le32(desc + BG_BLOCK_BITMAP);
      if (bb < sb->first_data_block || bb >= sb->blocks_count) {
        refuse(nmp, sb->type, "block bitmap", bb);
        return -1;
      }
    }
  }
  return 0;
}

int mirvol_set_bitmap_from_fs(struct nmp_info *nmp, u32 *count, const struct mirvol_ext_sb *sb) {
  *count = 0;
  struct page *desc_page = nullptr, *bmp_page = nullptr;
  if (mirvol_alloc_disk_page(&desc_page)) return -1;
  if (mirvol_alloc_disk_page(&bmp_page)) {
    mirvol_free_disk_page(&desc_page);
    return -1;
  }
  struct bmp_out o = {};
  o.nmp = nmp;
  o.bs = mirvol_bmp_block_size(nmp);
  o.bits_per_block = mirvol_bmp_bits_per_block(nmp);
  o.first_index = mirvol_bmp_first_index(nmp);
  int r = -1;
  u64 d = descs_per_block(sb), B = sb->block_size;
  u64 granule = READ_ONCE(nmp->bmp_size_in_sec);
  u64 fs_bits = ((u64)sb->blocks_count * (B / 512) + granule - 1) / granule;
  o.buf = static_cast<u8 *>(mirvol_loop_kmalloc(o.bs));
  if (!o.buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145,
                  nmp->minor);
    goto out;
  }
  memset(o.buf, 0, o.bs);
  if (check_descriptors(nmp, sb, desc_page)) goto out;
  // Blocks before the first group (the boot block of 1 KiB file systems)
  // are counted used.
  if (sb->first_data_block && out_mark(&o, sb, 0, sb->first_data_block - 1)) goto fail;
  for (u64 k = 0; k * d < sb->groups; k++) {
    const u8 *blk = dp_read(nmp, desc_page, (sb->first_data_block + 1 + k) * B, (u32)B);
    if (!blk) goto out;
    for (u64 j = k * d; j < sb->groups && j < (k + 1) * d; j++) {
      const u8 *desc = blk + (j - k * d) * EXT_DESC_SIZE;
      u64 start = sb->first_data_block + j * sb->blocks_per_group;
      u64 end = start + sb->blocks_per_group;
      if (end > sb->blocks_count) end = sb->blocks_count;
      if (group_uninit(sb, desc)) {
        if (mark_uninit_group(&o, sb, desc, j, start, end)) goto fail;
        continue;
      }
      const u8 *map = dp_read(nmp, bmp_page, (u64)le32(desc + BG_BLOCK_BITMAP) * B, (u32)B);
      if (!map) goto out;
      for (u64 J = 0; J < end - start; J++) {
        if (!(J & 7) && map[J / 8] == 0 && J + 8 <= end - start) {
          J += 7;
          continue;
        }
        if (!(map[J / 8] & (1u << (J % 8)))) continue;
        // A run of used blocks is marked at once.
        u64 J2 = J;
        while (J2 + 1 < end - start && (map[(J2 + 1) / 8] & (1u << ((J2 + 1) % 8)))) J2++;
        if (out_mark(&o, sb, start + J, start + J2)) goto fail;
        J = J2;
      }
    }
  }
  // The block of the file system's last bit is written too; bits after it
  // in that block are 0, blocks after it are not touched.
  if (out_seek(&o, fs_bits - 1) || out_write(&o)) goto fail;
  r = 0;
  goto out;
fail:
  r = o.error;
out:
  *count = o.count;
  kfree(o.buf);
  mirvol_free_disk_page(&desc_page);
  mirvol_free_disk_page(&bmp_page);
  return r;
}

// --- commands ---

// The device checks of both commands; the superblock page and the parsed
// superblock, or null with the status set.
static const u8 *fs_begin(struct nmp_info *nmp, u8 *rec, struct page **sb_page,
                          struct mirvol_ext_sb *sb) {
  if (mirvol_alloc_disk_page(sb_page)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate sb_page.\n", 145, nmp->minor);
    mirvol_rec::rec_put_status(rec, STATUS_NO_MEMORY);
    return nullptr;
  }
  const u8 *s = mirvol_analyze_sb(nmp, *sb_page, sb);
  if (!s) mirvol_rec::rec_put_status(rec, STATUS_FAILED);
  return s;
}

// The device keeps the last answer's figures; calls on one device may run
// at once, so each figure is stored on its own atomically.
// Command 78 leaves the third (bits set) as it is.
static void store_results(struct nmp_info *nmp, u64 a, u64 b, const u64 *c) {
  WRITE_ONCE(nmp->fs_results[0], a);
  WRITE_ONCE(nmp->fs_results[1], b);
  if (c) WRITE_ONCE(nmp->fs_results[2], *c);
}

// Whether the on-disk block bitmaps can be trusted and the file system
// fits the mirror; logs and returns false when not.
static bool fs_rewritable(struct nmp_info *nmp, const struct mirvol_ext_sb *sb) {
  if (sb->feature_incompat & INCOMPAT_META_BG) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d this FS type (%s with meta_bg option) is not supported for high speed "
                  "full copy.\n",
                  270, nmp->minor, sb->type);
    return false;
  }
  // A mounted journaled file system, or one not cleanly unmounted, may
  // have newer bitmaps only in its journal or in memory.
  if ((sb->feature_incompat & INCOMPAT_RECOVER) || !(sb->state & STATE_VALID)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d this FS type (%s, mounted or not cleanly unmounted) is not supported "
                  "for high speed full copy.\n",
                  270, nmp->minor, sb->type);
    return false;
  }
  u64 capacity = nmp->own_bdev ? get_capacity(nmp->own_bdev->bd_disk) : 0;
  u64 fs_sectors = (u64)sb->blocks_count * (sb->block_size / 512);
  if (capacity == 0 || fs_sectors > capacity) {
    refuse(nmp, sb->type, "sectors beyond the mirror capacity", fs_sectors);
    return false;
  }
  if (READ_ONCE(nmp->bmp_size_in_sec) == 0 || mirvol_get_bitmap_valid_num_main(nmp) < 0) {
    refuse(nmp, sb->type, "bitmap granule", READ_ONCE(nmp->bmp_size_in_sec));
    return false;
  }
  return true;
}

void mirvol_nmp_set_bitmap_from_fs(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  struct page *sb_page = nullptr;
  struct mirvol_ext_sb sb;
  if (!fs_begin(nmp, rec, &sb_page, &sb)) goto out;
  if (!strcmp(sb.type, "EXT2") || !strcmp(sb.type, "EXT3")) {
    auto r = mirvol_rec::rec_load<mirvol_rec::fs_bitmap_record>(rec);
    memset(r.fs_type, 0, sizeof(r.fs_type));
    memcpy(r.fs_type, sb.type, 4);
    mirvol_rec::rec_store(rec, r);
  }
  if (!fs_rewritable(nmp, &sb) || !g_cache_sem) {
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    goto out;
  }
  {
    u32 count = 0;
    struct bmp_late_bits *late = nullptr;
    down(g_cache_sem);
    _flush_bitmap_cache();
    int r = mirvol_bitmap_cache_keep_late(nmp, &late);
    if (r == 0) {
      r = mirvol_set_bitmap_from_fs(nmp, &count, &sb);
      // Whatever the rewrite reached, the cache takes the blocks as they
      // are now.
      mirvol_bitmap_cache_reload(nmp, late);
    }
    up(g_cache_sem);
    if (r < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to set the bitmap dependent on FS.\n", 273,
                    nmp->minor);
      mirvol_rec::rec_put_status(rec, STATUS_FAILED);
      goto out;
    }
    u64 used = (u32)(sb.blocks_count - sb.free_blocks_count);
    auto rr = mirvol_rec::rec_load<mirvol_rec::fs_bitmap_record>(rec);
    rr.log_block_size = sb.log_block_size;
    rr.blocks = sb.blocks_count;
    rr.used = used;
    rr.bits_set = count;
    u64 bits = count;
    store_results(nmp, sb.blocks_count, used, &bits);
    rr.status = STATUS_OK;
    mirvol_rec::rec_store(rec, rr);
  }
out:
  mirvol_free_disk_page(&sb_page);
}

void mirvol_nmp_get_fs_block_count(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  struct page *sb_page = nullptr;
  struct mirvol_ext_sb sb;
  if (!fs_begin(nmp, rec, &sb_page, &sb)) goto out;
  if (sb.inode_size == 0 || sb.inode_size > sb.block_size) {
    refuse(nmp, sb.type, "inode size", sb.inode_size);
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    goto out;
  }
  {
    u64 G = sb.groups, d = descs_per_block(&sb);
    u64 per_block = sb.block_size / sb.inode_size;
    // Groups from meta_start on follow the meta block group rule.
    u64 meta_start = G;
    if ((sb.feature_incompat & INCOMPAT_META_BG) && (u64)sb.first_meta_bg * d < G)
      meta_start = (u64)sb.first_meta_bg * d;
    u64 overhead = sb.first_data_block + count_super_groups(&sb, G) +
                   count_super_groups(&sb, meta_start) * ((G + d - 1) / d);
    const u64 residues[] = {0, 1, d - 1};
    for (u64 r : residues) overhead += count_residue(meta_start, G, d, r);
    u64 meta = G * (sb.inodes_per_group / per_block + 2) + overhead;
    u64 estimate = sb.blocks_count > meta ? sb.blocks_count - meta : 0;
    u64 used = (u32)(sb.blocks_count - sb.free_blocks_count);
    auto rr = mirvol_rec::rec_load<mirvol_rec::fs_count_record>(rec);
    rr.estimate = estimate;
    rr.used = used;
    store_results(nmp, estimate, used, nullptr);
    rr.status = STATUS_OK;
    mirvol_rec::rec_store(rec, rr);
  }
out:
  mirvol_free_disk_page(&sb_page);
}
