// The difference bitmap: bit addressing, the synchronous read and write of
// one bitmap block, the module-wide cache of bitmap blocks through which
// single bits are set, the range updates, and control commands 3 and 68.
//
// Every change of a bitmap block goes through the cache coherently: a block
// that is cached is changed in its entry (under the entry's sig_sem) and
// written through; a block that is not cached is read, changed and written
// while g_cache_sem is held, so that no entry for it can appear meanwhile.
// Lock order: g_cache_sem, then an entry's sig_sem.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_param.h"
#include "include/mirvol_records.h"

int g_malloc_cache_table_isError;

static u64 bmp_last_index(const struct nmp_info *nmp) {
  return mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_LAST_INDEX_4K : MIRVOL_BMP_LAST_INDEX_1K;
}

// --- block I/O ---

int mirvol_bitmap_readwrite(u8 *buffer, u64 block_index, struct nmp_info *nmp, int rw) {
  u32 bs = mirvol_bmp_block_size(nmp);
  u64 first = mirvol_bmp_first_index(nmp), last = bmp_last_index(nmp);
  // Nothing before the bitmap, and nothing at or past the history in-use
  // flag, is ever read or written as a bitmap block.
  if (block_index < first || block_index > last) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to read/write bitmap. Invalid offset %d (<%d).\n", 168,
                  nmp->minor, (int)block_index, (int)(block_index < first ? first : last + 1));
    dump_stack();
    return -1;
  }
  if (rw != 0 && rw != 1) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to read/write bitmap from/to Cluster Partition.\n", 161,
                  nmp->minor);
    return -1;
  }
  if (!nmp->cp_bdev) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to %s bitmap %s Cluster Partition.\n", 161, nmp->minor,
                  rw ? "write" : "read", rw ? "to" : "from");
    return -1;
  }
  u64 sector = block_index * (mirvol_cp_is_4k(nmp) ? 8 : 2);
  struct bio *bio = loop_malloc_buffer_head(nmp, sector, rw);
  bio->bi_io_vec[0].bv_len = bs;
  bio->bi_iter.bi_size = bs;
  mirvol_cp_private(bio)->owner = nmp;
  bio->bi_end_io = __cp_data_end_io_4_3_0;
  u8 *data = static_cast<u8 *>(page_address(bio->bi_io_vec[0].bv_page));
  if (rw) memcpy(data, buffer, bs);
  down(&nmp->nmp_variable->cp_sem);
  submit_bio(bio);
  up(&nmp->nmp_variable->cp_sem);
  wait_for_bio(bio);
  int ok = bio->bi_status == BLK_STS_OK;
  if (ok && !rw) memcpy(buffer, data, bs);
  loop_free_buffer_head(bio);
  if (!ok) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to %s bitmap %s Cluster Partition.\n", 161, nmp->minor,
                  rw ? "write" : "read", rw ? "to" : "from");
    return -1;
  }
  return 0;
}

// --- positions ---

void mirvol_calc_offset_from_bit(u64 bit, struct nmp_info *nmp, struct bitmap_offset *offset) {
  u32 bs = mirvol_bmp_block_size(nmp);
  offset->byte_index = bit / 8;
  offset->block_index = offset->byte_index / bs + mirvol_bmp_first_index(nmp);
  offset->byte_in_block = offset->byte_index % bs;
  offset->bit_in_byte = (s32)(bit % 8);
}

int mirvol_calc_offset(u64 sector, struct nmp_info *nmp, struct bitmap_offset *offset) {
  mirvol_calc_offset_from_bit(sector / (u64)READ_ONCE(nmp->bmp_size_in_sec), nmp, offset);
  return 1;
}

struct bitmap_offset *mirvol_malloc_bitmap_offset(void) {
  for (int i = 0; i < 5; i++) {
    auto *p =
        static_cast<struct bitmap_offset *>(kzalloc(sizeof(struct bitmap_offset), GFP_ATOMIC));
    if (p) return p;
    msleep(1000);
    mirvol_printk(MIRVOL_INFO "Failed to allocate bitmap_offset, retrying.\n", 146);
  }
  return nullptr;
}

static u8 bit_mask(s32 bit_in_byte) { return (u8)(0x80u >> bit_in_byte); }

// --- the cache ---

static bool entry_free(const struct cache_table *e) {
  return e->block_offset == -1 && e->owner_minor == -1;
}

static u64 entry_last_use(struct cache_table *e) {
  return READ_ONCE(e->last_use);
}
static void entry_touch(struct cache_table *e) {
  WRITE_ONCE(e->last_use, mirvol_jiffies());
}

static struct nmp_info *bmp_device(s32 minor) {
  return mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, (u32)minor));
}

// The bitmap block index of an entry's block, in its owner's layout.
static u64 entry_block_index(const struct cache_table *e, struct nmp_info *owner) {
  return (u64)e->block_offset / mirvol_bmp_block_size(owner) + mirvol_bmp_first_index(owner);
}

// The byte index of the first byte of block `index`.
static s64 block_byte_offset(u64 index, struct nmp_info *nmp) {
  return (s64)((index - mirvol_bmp_first_index(nmp)) * mirvol_bmp_block_size(nmp));
}

// Appends a new free entry (g_cache_sem held); null when it cannot be had,
// which sets the latch.
static struct cache_table *cache_grow(struct nmp_info *nmp) {
  auto *e = static_cast<struct cache_table *>(mirvol_kmalloc(sizeof(struct cache_table)));
  if (!e) {
    g_malloc_cache_table_isError = 1;
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate cache_table, cachenum(%d).\n", 145,
                  nmp->minor, g_cachenum);
    return nullptr;
  }
  memset(e, 0, sizeof(*e));
  e->sig_sem = mirvol_semaphore_malloc();
  if (!e->sig_sem) {
    kfree(e);
    g_malloc_cache_table_isError = 1;
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate cache_table->sig_sem, cachenum(%d).\n", 145,
                  nmp->minor, g_cachenum);
    return nullptr;
  }
  e->block_offset = -1;
  e->owner_minor = -1;
  e->last_use = mirvol_jiffies();
  struct cache_table **tail = &g_cachetable;
  while (*tail) tail = &(*tail)->next;
  *tail = e;
  g_cachenum++;
  return e;
}

int mirvol_search_bit_in_cache(struct bitmap_offset *offset, struct cache_table **entry,
                               struct nmp_info *nmp) {
  struct cache_table *head = g_cachetable;
  *entry = head;
  if (!head) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d cache_table is not initialized. (mirvol_search_bit_in_cache)\n",
                  143, nmp->minor);
    return 0;
  }
  if (g_cachenum == 1 && entry_free(head)) return 0;
  s64 bs = mirvol_bmp_block_size(nmp);
  s64 byte = (s64)offset->byte_index;
  // An entry's data, dirty count and last use change only while its in-use
  // count is above 0; they are read here only when it is 0.
  u64 best = entry_last_use(head);
  for (struct cache_table *e = head; e; e = e->next) {
    if (entry_free(e)) {
      *entry = e;
      return 0;
    }
    if (e->owner_minor == (s32)nmp->minor && e->block_offset <= byte &&
        byte < e->block_offset + bs) {
      *entry = e;
      return 1;
    }
    if (e != head && e->in_use == 0 && e->dirty == 0 && entry_last_use(e) < best) {
      *entry = e;
      best = entry_last_use(e);
    }
  }
  if (g_malloc_cache_table_isError) return 0;
  if (g_cachenum < g_max_cachenum) {
    struct cache_table *e = cache_grow(nmp);
    if (e) *entry = e;
  }
  return 0;
}

// Reads, changes and writes one block that is not cached; g_cache_sem is
// held. A change without a read (`fill`) writes the block whole.
static int bmp_rmw_uncached(struct nmp_info *nmp, u64 index, bmp_change_fn change, void *arg,
                            bool read_first) {
  u8 *buf = static_cast<u8 *>(mirvol_loop_kmalloc(mirvol_bmp_block_size(nmp)));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145,
                  nmp->minor);
    return -1;
  }
  memset(buf, 0, mirvol_bmp_block_size(nmp));
  int r = read_first ? mirvol_bitmap_readwrite(buf, index, nmp, 0) : 0;
  if (r == 0) {
    change(buf, arg);
    r = mirvol_bitmap_readwrite(buf, index, nmp, 1);
  }
  kfree(buf);
  return r;
}

// The uncached set (g_cache_sem held): a bit already set is not written.
static int bmp_set_uncached(struct bitmap_offset *offset, struct nmp_info *nmp) {
  u8 *buf = static_cast<u8 *>(mirvol_loop_kmalloc(mirvol_bmp_block_size(nmp)));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145,
                  nmp->minor);
    return -1;
  }
  int r = mirvol_bitmap_readwrite(buf, offset->block_index, nmp, 0);
  u8 mask = bit_mask(offset->bit_in_byte);
  if (r == 0 && !(buf[offset->byte_in_block] & mask)) {
    buf[offset->byte_in_block] |= mask;
    r = mirvol_bitmap_readwrite(buf, offset->block_index, nmp, 1);
  }
  kfree(buf);
  return r;
}

static void cache_put(struct cache_table *e) {
  down(g_cache_sem);
  e->in_use--;
  up(g_cache_sem);
}

// Moves idle entry `e` (claimed, sig_sem held, g_cache_sem held) to the
// block of `offset` and sets the bit in it. The old block is written back
// first when dirty; the identity changes only once the new block is in, so
// a failure leaves the entry naming the block its data belong to.
static int cache_evict_and_set(struct cache_table *e, struct bitmap_offset *offset,
                               struct nmp_info *nmp) {
  if (e->dirty && !entry_free(e)) {
    struct nmp_info *old_owner = bmp_device(e->owner_minor);
    if (!old_owner) {
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, e->owner_minor,
                    "mirvol_write_cache_bitmap");
      return -1;
    }
    if (mirvol_bitmap_readwrite(e->data, entry_block_index(e, old_owner), old_owner, 1)) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to write bitmap to Cluster Partition.\n", 161,
                    e->owner_minor);
      return -1;  // still the old block's, still dirty
    }
    e->dirty = 0;
    entry_touch(e);
  }
  if (mirvol_bitmap_readwrite(e->data, offset->block_index, nmp, 0)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to write bitmap to Cluster Partition.\n", 161,
                  nmp->minor);
    return -1;  // the data are still the old block's, now clean
  }
  e->block_offset = (s64)(offset->byte_index - offset->byte_in_block);
  e->owner_minor = (s32)nmp->minor;
  e->data[offset->byte_in_block] |= bit_mask(offset->bit_in_byte);
  e->dirty++;
  entry_touch(e);
  return 0;
}

int mirvol_write_cache_bitmap(struct bitmap_offset *offset, struct nmp_info *nmp) {
  for (;;) {
    down(g_cache_sem);
    if (!g_cachetable) {
      int r = bmp_set_uncached(offset, nmp);
      up(g_cache_sem);
      return r;
    }
    struct cache_table *e;
    int hit = mirvol_search_bit_in_cache(offset, &e, nmp);
    if (hit) {
      e->in_use++;
      down(e->sig_sem);
      up(g_cache_sem);
      e->data[offset->byte_in_block] |= bit_mask(offset->bit_in_byte);
      e->dirty++;
      entry_touch(e);
      up(e->sig_sem);
      cache_put(e);
      return 1;
    }
    if (e->in_use == 0) {
      // g_cache_sem stays held across the write-back and the refill, so no
      // one looks up or refills the old or the new block meanwhile.
      e->in_use = 1;
      down(e->sig_sem);
      int r = cache_evict_and_set(e, offset, nmp);
      up(e->sig_sem);
      e->in_use--;
      if (r) {
        // The entry could not take the block: the bit goes straight to the
        // Cluster Partition (the block is not cached) rather than be lost.
        bmp_set_uncached(offset, nmp);
      }
      up(g_cache_sem);
      return r;
    }
    up(g_cache_sem);
    flush_bitmap_cache();
  }
}

int mirvol_write_bitmap_from_secnr(u64 sector, struct nmp_info *nmp) {
  s32 granule = (s32)READ_ONCE(nmp->bmp_size_in_sec);
  if (granule <= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d bmp_size_in_sec (%d) is invalid.\n", 200, nmp->minor, granule);
    return -1;
  }
  struct bitmap_offset offset;
  mirvol_calc_offset(sector, nmp, &offset);
  return mirvol_write_cache_bitmap(&offset, nmp);
}

// Writes back the dirty entries (of the device of minor `only`, or of all
// when it is -1); g_cache_sem held on entry and on return.
static int flush_entries(s32 only) {
  for (struct cache_table *e = g_cachetable; e && !entry_free(e); e = e->next) {
    if (only >= 0 && e->owner_minor != only) continue;
    e->in_use++;
    down(e->sig_sem);
    up(g_cache_sem);
    if (e->dirty) {
      struct nmp_info *owner = bmp_device(e->owner_minor);
      if (!owner) {
        mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, e->owner_minor,
                      "flush_bitmap_cache");
      } else {
        s64 d = e->dirty;
        if (mirvol_bitmap_readwrite(e->data, entry_block_index(e, owner), owner, 1)) {
          mirvol_printk(MIRVOL_ERR "NMP%d failed to flush bitmap to Cluster Partition.\n", 161,
                        e->owner_minor);
          up(e->sig_sem);
          down(g_cache_sem);
          e->in_use--;
          return -1;
        }
        e->dirty -= d;
        entry_touch(e);
      }
    }
    up(e->sig_sem);
    down(g_cache_sem);
    e->in_use--;
  }
  return 0;
}

int _flush_bitmap_cache(void) { return flush_entries(-1); }

int flush_bitmap_cache(void) {
  down(g_cache_sem);
  int r = _flush_bitmap_cache();
  up(g_cache_sem);
  return r;
}

int flush_bitmap_cache_of(struct nmp_info *nmp) {
  if (!g_cache_sem) return -1;
  down(g_cache_sem);
  int r = flush_entries((s32)nmp->minor);
  up(g_cache_sem);
  return r;
}

int mirvol_bitmap_block_update(struct nmp_info *nmp, u64 index, bmp_change_fn change, void *arg,
                               bool read_first) {
  if (index < mirvol_bmp_first_index(nmp) || index > bmp_last_index(nmp))
    return mirvol_bitmap_readwrite(nullptr, index, nmp, 1);  // refused and logged
  down(g_cache_sem);
  s64 start = block_byte_offset(index, nmp);
  struct cache_table *e = g_cachetable;
  for (; e && !entry_free(e); e = e->next)
    if (e->owner_minor == (s32)nmp->minor && e->block_offset == start) break;
  if (!e || entry_free(e)) {
    int r = bmp_rmw_uncached(nmp, index, change, arg, read_first);
    up(g_cache_sem);
    return r;
  }
  e->in_use++;
  down(e->sig_sem);
  up(g_cache_sem);
  change(e->data, arg);
  // The write carries every setting the entry holds, so it is clean after;
  // on failure the change stays in memory for a later flush.
  int r = mirvol_bitmap_readwrite(e->data, index, nmp, 1);
  if (r == 0)
    e->dirty = 0;
  else
    e->dirty++;
  entry_touch(e);
  up(e->sig_sem);
  cache_put(e);
  return r;
}

// --- rewrites that bypass the cache ---

struct bmp_late_bits {
  struct bmp_late_bits *next;
  struct cache_table *entry;
  u8 bits[MIRVOL_CACHE_BLOCK];
};

static void late_free(struct bmp_late_bits *late) {
  while (late) {
    struct bmp_late_bits *n = late->next;
    kfree(late);
    late = n;
  }
}

int mirvol_bitmap_cache_keep_late(struct nmp_info *nmp, struct bmp_late_bits **late) {
  *late = nullptr;
  u32 bs = mirvol_bmp_block_size(nmp);
  u8 *disk = static_cast<u8 *>(mirvol_loop_kmalloc(bs));
  if (!disk) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145,
                  nmp->minor);
    return -1;
  }
  int r = 0;
  for (struct cache_table *e = g_cachetable; e && !entry_free(e); e = e->next) {
    if (e->owner_minor != (s32)nmp->minor) continue;
    // A setter that found the entry took its sig_sem before it let
    // g_cache_sem go; once it is ours, no one else changes the entry until
    // g_cache_sem is released.
    down(e->sig_sem);
    up(e->sig_sem);
    if (!e->dirty) continue;
    auto *l = static_cast<struct bmp_late_bits *>(mirvol_loop_kmalloc(sizeof(struct bmp_late_bits)));
    if (!l) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145,
                    nmp->minor);
      r = -1;
      break;
    }
    l->entry = e;
    l->next = *late;
    *late = l;
    // Bits the Cluster Partition's copy lacks; all the entry's bits when
    // that copy cannot be read.
    if (mirvol_bitmap_readwrite(disk, entry_block_index(e, nmp), nmp, 0)) memset(disk, 0, bs);
    for (u32 i = 0; i < bs; i++) l->bits[i] = (u8)(e->data[i] & ~disk[i]);
  }
  kfree(disk);
  if (r) {
    late_free(*late);
    *late = nullptr;
  }
  return r;
}

void mirvol_bitmap_cache_reload(struct nmp_info *nmp, struct bmp_late_bits *late) {
  u32 bs = mirvol_bmp_block_size(nmp);
  for (struct cache_table *e = g_cachetable; e && !entry_free(e); e = e->next) {
    if (e->owner_minor != (s32)nmp->minor) continue;
    down(e->sig_sem);
    u64 index = entry_block_index(e, nmp);
    bool write = false;
    if (mirvol_bitmap_readwrite(e->data, index, nmp, 0)) {
      // The new state is unknown: every bit of the block set is safe, it
      // only copies more.
      memset(e->data, 0xff, bs);
      write = true;
    }
    for (struct bmp_late_bits *l = late; l; l = l->next) {
      if (l->entry != e) continue;
      for (u32 i = 0; i < bs; i++) {
        if (l->bits[i] & ~e->data[i]) write = true;
        e->data[i] |= l->bits[i];
      }
    }
    e->dirty = 0;
    if (write && mirvol_bitmap_readwrite(e->data, index, nmp, 1)) e->dirty = 1;
    entry_touch(e);
    up(e->sig_sem);
  }
  late_free(late);
}

// --- range updates ---

struct range_arg {
  struct nmp_info *nmp;
  u64 first;
  s32 count;
  int value;
  u64 block_first_bit;
};
static void change_range(u8 *data, void *arg) {
  auto *a = static_cast<struct range_arg *>(arg);
  for (s32 i = 0; i < a->count; i++) {
    u64 rel = a->first + (u64)i - a->block_first_bit;
    u8 mask = bit_mask((s32)(rel % 8));
    if (a->value == 0)
      data[rel / 8] &= (u8)~mask;
    else if (a->value == 1)
      data[rel / 8] |= mask;
    else
      mirvol_printk(MIRVOL_ERR "NMP%d bitmap clear flag (%d) is invalid. (mirvol_bitmap_clear2)\n",
                    182, a->nmp->minor, a->value);
  }
}

int mirvol_bitmap_clear2(u64 first, s32 count, struct nmp_info *nmp, int value) {
  struct bitmap_offset offset;
  mirvol_calc_offset_from_bit(first, nmp, &offset);
  u64 per = mirvol_bmp_bits_per_block(nmp);
  struct range_arg a = {nmp, first, count, value, first - first % per};
  return mirvol_bitmap_block_update(nmp, offset.block_index, change_range, &a, true);
}

int mirvol_bitmap_clear1(u64 first, u64 last, struct nmp_info *nmp, int value) {
  u64 per = mirvol_bmp_bits_per_block(nmp);
  s32 remaining = (s32)(last - first + 1);
  if (remaining <= 0) return -1;
  u64 s = first;
  int r = 0;
  while (remaining > 0) {
    s32 chunk = remaining < (s32)per ? remaining : (s32)per;
    u64 end = s + (u64)chunk - 1;
    if (s / per == end / per) {
      r = mirvol_bitmap_clear2(s, chunk, nmp, value);
    } else {
      u64 boundary = (s / per + 1) * per;
      r = mirvol_bitmap_clear2(s, (s32)(boundary - s), nmp, value);
      if (r == 0) r = mirvol_bitmap_clear2(boundary, (s32)(end - boundary + 1), nmp, value);
    }
    if (r) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to clear bitmap to Cluster Partition.\n", 161,
                    nmp->minor);
      return r;
    }
    s += (u64)chunk;
    remaining -= chunk;
  }
  return r;
}

// --- commands 3 and 68 ---

struct fill_arg {
  u32 size;
  u8 value;
};
static void fill_block(u8 *data, void *arg) {
  auto *a = static_cast<struct fill_arg *>(arg);
  memset(data, a->value, a->size);
}

void mirvol_bitmap_clear(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  u32 init_value = mirvol_rec::rec_load<mirvol_rec::value_record>(rec).value;
  if (init_value > 1) {
    mirvol_printk(MIRVOL_ERR "NMP%d init_value (%d) is invalid. (mirvol_bitmap_clear)\n", 182,
                  (int)minor, (int)init_value);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_INIT_VALUE);
    return;
  }
  int bits = mirvol_get_bitmap_valid_num_main(nmp);
  if (bits < 0) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to get total_bitmap_in_bits (%d). (mirvol_bitmap_clear)\n",
                  203, nmp->minor, bits);
    mirvol_rec::rec_put_status(rec, STATUS_NO_BITMAP_SIZE);
    return;
  }
  u32 bs = mirvol_bmp_block_size(nmp);
  u64 bytes = ((u64)bits + 7) / 8;
  u64 blocks = (bytes + bs - 1) / bs;
  struct fill_arg a = {bs, (u8)(init_value ? 0xff : 0x00)};
  u64 first = mirvol_bmp_first_index(nmp);
  for (u64 i = 0; i < blocks; i++) {
    if (mirvol_bitmap_block_update(nmp, first + i, fill_block, &a, false)) {
      mirvol_rec::rec_put_status(rec, STATUS_FAILED);
      return;
    }
  }
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  nmp->recovery_prep_state = 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

void mirvol_set_bitmap(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  u32 value = mirvol_rec::rec_load<mirvol_rec::value_record>(rec).value;
  if (value > 1) {
    mirvol_printk(MIRVOL_ERR "NMP%d init_value (%d) is invalid. (mirvol_set_bitmap)\n", 182,
                  (int)minor, (int)value);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  u64 last = (u64)(s64)mirvol_get_bitmap_valid_num_main(nmp) - 1;
  if (mirvol_bitmap_clear1(0, last, nmp, (int)value)) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to set the bitmap. bit(start,end,value)=(%lu,%lu,%d) "
                  "(mirvol_set_bitmap)\n",
                  162, nmp->minor, 0ul, (unsigned long)last, (int)value);
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return;
  }
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}
