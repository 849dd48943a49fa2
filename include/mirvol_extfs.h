// The ext2/ext3/ext4 reader: control command 77 rebuilds the difference
// bitmap from the block bitmaps of the file system on the data partition,
// command 78 estimates its data blocks and reports its used blocks.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

// The records of commands 77 and 78: mirvol_rec::fs_bitmap_record and
// mirvol_rec::fs_count_record.
#define MIRVOL_FS_REC77_SIZE sizeof(mirvol_rec::fs_bitmap_record)
#define MIRVOL_FS_REC78_SIZE sizeof(mirvol_rec::fs_count_record)
#define MIRVOL_FS77_TYPE offsetof(mirvol_rec::fs_bitmap_record, fs_type)
#define MIRVOL_FS77_LOG_BSIZE offsetof(mirvol_rec::fs_bitmap_record, log_block_size)
#define MIRVOL_FS77_BLOCKS offsetof(mirvol_rec::fs_bitmap_record, blocks)
#define MIRVOL_FS77_USED offsetof(mirvol_rec::fs_bitmap_record, used)
#define MIRVOL_FS77_BITS offsetof(mirvol_rec::fs_bitmap_record, bits_set)
#define MIRVOL_FS78_ESTIMATE offsetof(mirvol_rec::fs_count_record, estimate)
#define MIRVOL_FS78_USED offsetof(mirvol_rec::fs_count_record, used)

// The fields of an accepted superblock, as both commands use them.
struct mirvol_ext_sb {
  char type[8];  // "EXT2", "EXT3" or "EXT4"
  u32 blocks_count, free_blocks_count, first_data_block, log_block_size;
  u32 blocks_per_group, inodes_per_group;
  u16 inode_size, state, reserved_gdt_blocks;
  u32 feature_compat, feature_incompat, feature_ro_compat;
  u32 first_meta_bg;
  u32 block_size;  // 1024 << log_block_size
  u64 groups;      // block groups
};

// Control commands 77 and 78 on the kernel copy of their records.
void mirvol_nmp_set_bitmap_from_fs(unsigned int minor, struct nmp_info *nmp, u8 *rec);
void mirvol_nmp_get_fs_block_count(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// Reads the first 4096 bytes of the device's data partition into `page`
// and checks the superblock in them; fills `sb` and returns the superblock's bytes (at
// byte 1024 of the page), or null when the file system is not usable.
struct page;
const u8 *mirvol_analyze_sb(struct nmp_info *nmp, struct page *page, struct mirvol_ext_sb *sb);
// Rewrites the device's difference bitmap from the file system's block
// bitmaps; g_cache_sem is held. 0 or a negative result; *count gets the
// number of bits set.
int mirvol_set_bitmap_from_fs(struct nmp_info *nmp, u32 *count, const struct mirvol_ext_sb *sb);

// 1 when group `group` holds a superblock copy under sparse superblocks.
int mirvol_ext_group_sparse(u64 group);
// The group-descriptor blocks that group `group` holds.
u64 mirvol_ext_bg_num_gdb(const struct mirvol_ext_sb *sb, u64 group);

// Bitmap bits of file system block `block` (block size `bsize` bytes) under
// a granule of `granule` sectors: bits *first .. *last.
void mirvol_ext_block_bits(u64 block, u32 bsize, u32 granule, u64 *first, u64 *last);
