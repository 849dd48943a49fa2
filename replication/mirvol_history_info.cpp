// The history journal in the Cluster Partition: one 32-byte record for
// every asynchronous write the peer has not yet acknowledged with ACK1, in
// a ring from byte 0x54D000, and the in-use flag at sector 10832.
//
// Record writes run on the device's history thread through the main page
// cache; deletes run in the ACK1 receiver through a small round-robin set
// of delete caches. Command 84 clears the ring and command 85 turns it into
// difference-bitmap bits first. Every page change is written through at
// once, so no cache is ever dirty.
//
// Lock order: g_cache_sem (conversion only), the main cache semaphore, the
// delete cache semaphores in chain order, then the in-use flag mutex.
// Releases go the other way.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_history.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_nmp_stop.h"
#include "include/mirvol_param.h"
#include "include/mirvol_records.h"
#include "include/mirvol_trans.h"


// --- small helpers ---

static void his_cp_error(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->cp_error = 1;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  wake_up(&g_disk_error_wq);
}

u32 mirvol_hisinfo_used(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 v = nmp->is_hisinfo_used;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return v;
}

static void his_set_used_mem(struct nmp_info *nmp, u32 v) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->is_hisinfo_used = v;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
}

u32 mirvol_history_count(struct history_info *h) {
  unsigned long flags;
  spin_lock_irqsave(&h->ring_lock, flags);
  u32 n = h->count;
  spin_unlock_irqrestore(&h->ring_lock, flags);
  return n;
}

static void his_count_add(struct history_info *h, int d) {
  unsigned long flags;
  spin_lock_irqsave(&h->ring_lock, flags);
  if (d > 0)
    h->count++;
  else if (h->count)
    h->count--;
  spin_unlock_irqrestore(&h->ring_lock, flags);
}

static void his_end_io(struct bio *bio) {
  complete(&static_cast<struct mirvol_bio_wait *>(bio->bi_private)->done);
}

// One synchronous I/O of `size` bytes at `sector` over `pages` (in order,
// 4096 bytes each) with the bio given; returns the errno of its status.
static int his_sync_io(struct nmp_info *nmp, struct bio *bio, struct mirvol_bio_wait *wait,
                       struct page **pages, u32 size, u64 sector, int rw) {
  bio->bi_vcnt = 0;
  bio->bi_iter.bi_size = 0;
  bio->bi_iter.bi_idx = 0;
  for (u32 done = 0, i = 0; done < size; i++) {
    u32 n = size - done < 4096 ? size - done : 4096;
    bio_add_page(bio, pages[i], n, 0);
    done += n;
  }
  bio->bi_iter.bi_sector = sector;
  bio->bi_status = BLK_STS_OK;
  bio_set_op_attrs(bio, rw ? REQ_OP_WRITE : REQ_OP_READ, 0);
  mirvol_set_bio_noidle(bio);
  bio_set_dev(bio, nmp->cp_bdev);
  init_completion(&wait->done);
  bio->bi_private = wait;
  bio->bi_end_io = his_end_io;
  submit_bio(bio);
  wait_for_completion(&wait->done);
  return blk_status_to_errno(bio->bi_status);
}

static int his_cache_io(struct nmp_info *nmp, struct hisinfo_cache *c, u64 sector, int rw) {
  return his_sync_io(nmp, c->bio, c->wait, &c->page, MIRVOL_HISINFO_PAGE, sector, rw);
}

static u8 *cache_data(struct hisinfo_cache *c) { return static_cast<u8 *>(page_address(c->page)); }

static u64 page_sector_of(u64 pos) {
  return (((pos - MIRVOL_HISINFO_RING_BYTE) & ~(u64)(MIRVOL_HISINFO_PAGE - 1)) +
          MIRVOL_HISINFO_RING_BYTE) /
         512;
}

static u64 next_pos(struct history_info *h, u64 pos) {
  u64 n = pos + MIRVOL_HISINFO_RECORD_SIZE;
  if (n / 512 > h->last_sector) return MIRVOL_HISINFO_RING_BYTE;
  return n;
}

static struct history_info_record *slot_of(struct hisinfo_cache *c, u64 pos) {
  return reinterpret_cast<struct history_info_record *>(cache_data(c) + (pos % MIRVOL_HISINFO_PAGE));
}

template <typename T>
static void his_swap(T &a, T &b) {
  T t = a;
  a = b;
  b = t;
}

static bool cache_ok(const struct hisinfo_cache *c) { return c && c->bio && c->page && c->wait; }

// The object and every cache it needs are there.
static bool history_ok(struct history_info *h) {
  if (!h || !cache_ok(h->main_cache)) return false;
  int n = 0;
  for (struct hisinfo_cache *c = h->del_caches; c && n < h->del_cnt; c = c->next, n++)
    if (!cache_ok(c)) return false;
  return n > 0;
}

// Delete caches in chain order (at most del_cnt of them).
static int del_caches(struct history_info *h, struct hisinfo_cache **out) {
  int n = 0;
  for (struct hisinfo_cache *c = h->del_caches; c && n < h->del_cnt; c = c->next) out[n++] = c;
  return n;
}

#define HIS_MAX_DEL 64

static void down_dels(struct hisinfo_cache **d, int n) {
  for (int i = 0; i < n; i++) down(&d[i]->sem);
}
static void up_dels(struct hisinfo_cache **d, int n, struct hisinfo_cache *keep) {
  for (int i = n - 1; i >= 0; i--)
    if (d[i] != keep) up(&d[i]->sem);
}

// --- the in-use flag ---

// Writes the flag block at sector 10832 and waits; 0 or -1. The write has a
// bio of its own and never settles anything of a request.
static int his_write_flag_block(struct nmp_info *nmp, u32 value) {
  struct bio *bio = bio_alloc(GFP_NOIO, 1);
  struct page *pg = bio ? alloc_page(GFP_NOIO) : nullptr;
  auto *priv = pg ? static_cast<struct mirvol_cp_bio *>(kzalloc(sizeof(struct mirvol_cp_bio), GFP_NOIO))
                  : nullptr;
  if (!priv) {
    if (pg) __free_page(pg);
    if (bio) bio_put(bio);
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate hisinfo_used_flag bio.\n", 145,
                  (int)nmp->minor);
    return -1;
  }
  u32 len = nmp->len == 4096 ? 4096 : 512;
  memset(page_address(pg), 0, PAGE_SIZE);
  mirvol_rec::rec_store(page_address(pg), mirvol_rec::cp_hisinfo_block_data{value});
  bio_add_page(bio, pg, len, 0);
  bio->bi_iter.bi_sector = MIRVOL_CP_HISINFO_SECTOR;
  bio_set_op_attrs(bio, REQ_OP_WRITE, 0);
  mirvol_set_bio_noidle(bio);
  bio_set_dev(bio, nmp->cp_bdev);
  init_completion(&priv->wait.done);
  priv->owner = nmp;
  bio->bi_private = priv;
  bio->bi_end_io = __cp_data_end_io_4_3_0;
  down(&nmp->nmp_variable->cp_sem);
  submit_bio(bio);
  up(&nmp->nmp_variable->cp_sem);
  wait_for_bio(bio);
  int ok = bio->bi_status == BLK_STS_OK;
  loop_free_buffer_head(bio);
  return ok ? 0 : -1;
}

// Makes the flag `value` on the Cluster Partition, then in memory; the
// caller holds flag_mutex.
static int his_set_flag_locked(struct nmp_info *nmp, u32 value) {
  if (mirvol_hisinfo_used(nmp) == value) return 0;
  if (his_write_flag_block(nmp, value)) return -1;
  his_set_used_mem(nmp, value);
  return 0;
}

int mirvol_set_hisinfo_used_flag(struct nmp_info *nmp, struct io_request *req, int flag) {
  (void)req;  // the flag is written synchronously, never through a request
  if (!nmp || !nmp->history) return -1;
  if (mirvol_hisinfo_used(nmp) == (u32)flag) return 0;
  mutex_lock(&nmp->history->flag_mutex);
  int r = his_set_flag_locked(nmp, (u32)flag);
  mutex_unlock(&nmp->history->flag_mutex);
  return r;
}

// --- init and free ---

static void his_free_cache(struct hisinfo_cache *c) {
  if (!c) return;
  if (c->bio) bio_put(c->bio);
  if (c->page) __free_page(c->page);
  kfree(c->wait);
  kfree(c);
}

static struct hisinfo_cache *his_alloc_cache(void) {
  auto *c = static_cast<struct hisinfo_cache *>(mirvol_kmalloc(sizeof(struct hisinfo_cache)));
  if (!c) return nullptr;
  memset(c, 0, sizeof(*c));
  c->bio = bio_alloc(GFP_KERNEL, 1);
  c->page = alloc_page(GFP_KERNEL);
  c->wait = static_cast<struct mirvol_bio_wait *>(kzalloc(sizeof(struct mirvol_bio_wait), GFP_KERNEL));
  if (!c->bio || !c->page || !c->wait) {
    his_free_cache(c);
    return nullptr;
  }
  sema_init(&c->sem, 1);
  memset(page_address(c->page), 0, PAGE_SIZE);
  return c;
}

void mirvol_history_free(struct history_info *h) {
  if (!h) return;
  his_free_cache(h->main_cache);
  struct hisinfo_cache *c = h->del_caches;
  for (int i = 0; c && i < h->del_cnt; i++) {
    struct hisinfo_cache *n = c->next;
    his_free_cache(c);
    c = n;
  }
  for (auto &block : h->blocks)
    for (auto *&pg : block)
      if (pg) __free_page(pg);
  kfree(h);
}

struct history_info *mirvol_history_init(const u8 *rec, struct nmp_info *nmp) {
  int minor = (int)nmp->minor;
  const auto init = mirvol_rec::rec_load<mirvol_rec::nmp_init_record>(rec);
  s32 size = init.history_size;
  // The ring must lie within the Cluster Partition (an empty one always does).
  u64 cp_bytes = nmp->cp_bdev ? (u64)bdev_nr_sectors(nmp->cp_bdev) * 512 : 0;
  if (size < 0 || (size > 0 && MIRVOL_HISINFO_RING_BYTE + ((u64)size << 20) > cp_bytes)) {
    mirvol_printk(MIRVOL_ERR "NMP%d history_size (%d) is invalid. (mirvol_nmp_init)\n", 182, minor,
                  (int)size);
    return nullptr;
  }
  auto *h = static_cast<struct history_info *>(mirvol_kmalloc(sizeof(struct history_info)));
  if (!h) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate history.\n", 145, minor);
    return nullptr;
  }
  memset(h, 0, sizeof(*h));
  h->nmp = nmp;
  s32 delnum = READ_ONCE(g_history_cache_delnum);
  if (delnum < 1) delnum = 2;
  if (delnum > HIS_MAX_DEL) delnum = HIS_MAX_DEL;
  h->del_cnt = delnum;

  h->main_cache = his_alloc_cache();
  bool failed = !h->main_cache;
  struct hisinfo_cache **tail = &h->del_caches;
  for (int i = 0; i < delnum && !failed; i++) {
    *tail = his_alloc_cache();
    if (!*tail) failed = true;
    else tail = &(*tail)->next;
  }
  if (failed) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate history info cache. (error=%d)\n", 145, minor,
                  1);
    mirvol_history_free(h);
    return nullptr;
  }

  spin_lock_init(&h->file_lock);
  spin_lock_init(&h->ring_lock);
  mutex_init(&h->flag_mutex);
  s32 limit = init.history_file_size;
  h->file_limit = limit > 0 ? (u64)limit << 20 : 0;
  h->file_bytes = 0;
  h->del_next = 0;
  h->capacity = (u32)size * 32768u;
  h->last_sector = (MIRVOL_HISINFO_RING_BYTE + ((u64)size << 20)) / 512 - 1;
  h->write_pos = MIRVOL_HISINFO_RING_BYTE;
  h->count = 0;
  h->overflow_report = 1;

  for (auto &block : h->blocks)
    for (auto *&pg : block)
      if (!(pg = alloc_page(GFP_KERNEL))) failed = true;
  if (failed) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate io buffers.\n", 145, minor);
    mirvol_history_free(h);
    return nullptr;
  }

  char configured[MIRVOL_NAME_LEN];
  static_assert(sizeof(configured) == sizeof(init.history_dir));
  memcpy(configured, init.history_dir, sizeof(configured));
  configured[sizeof(configured) - 1] = 0;
  // A device without a configured directory has no history files: its
  // spills fail to open.
  if (configured[0] && mirvol_history_dir_init(nmp, h->dir, configured) != 0) {
    mirvol_history_free(h);
    return nullptr;
  }
  return h;
}

// --- record write (history thread) ---

// Brings the page of `pos` into the main cache (main sem held): 0, or 3.
static int his_load_main(struct nmp_info *nmp, struct history_info *h, u64 pos, u64 serial) {
  struct hisinfo_cache *m = h->main_cache;
  u64 sector = page_sector_of(pos);
  if (m->valid && m->sector == sector) return 0;
  struct hisinfo_cache *d[HIS_MAX_DEL];
  int n = del_caches(h, d);
  down_dels(d, n);
  bool swapped = false;
  for (int i = 0; i < n; i++) {
    if (d[i]->valid && d[i]->sector == sector) {
      his_swap(m->valid, d[i]->valid);
      his_swap(m->bio, d[i]->bio);
      his_swap(m->wait, d[i]->wait);
      his_swap(m->page, d[i]->page);
      his_swap(m->sector, d[i]->sector);
      swapped = true;
      break;
    }
  }
  up_dels(d, n, nullptr);
  if (swapped) return 0;
  int err = his_cache_io(nmp, m, sector, 0);
  if (err) {
    m->valid = 0;  // the page no longer holds what its sector names
    mirvol_printk(MIRVOL_ERR
                  "NMP%d failed to read history information. (sn=0x%016llX, error=%d, bi_flags=%x, "
                  "bi_sector=%llu, bi_size=%u, mirvol_write_history_info)\n",
                  311, (int)nmp->minor, (unsigned long long)serial, err,
                  (unsigned int)m->bio->bi_flags, (unsigned long long)sector,
                  (unsigned int)m->bio->bi_iter.bi_size);
    dump_stack();
    his_cp_error(nmp);
    return HIS_READ_FAILED;
  }
  m->sector = sector;
  m->valid = 1;
  return 0;
}

int mirvol_write_history_info_main(struct io_request *req) {
  struct nmp_info *nmp = req ? req->nmp : nullptr;
  struct history_info *h = nmp ? nmp->history : nullptr;
  if (!history_ok(h)) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (error=%d, mirvol_write_history_info)\n", 330,
                  nmp ? (int)nmp->minor : 0, 2);
    return HIS_INTERNAL;
  }
  struct hisinfo_cache *m = h->main_cache;
  down(&m->sem);
  int result = HIS_INTERNAL;
  if (mirvol_history_count(h) >= h->capacity) {
    if (h->overflow_report == 1) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to write history information. (overflow)\n", 313,
                    (int)nmp->minor);
      h->overflow_report = 0;
    }
    up(&m->sem);
    return HIS_RING_FULL;
  }
  h->overflow_report = 1;

  // The first record of an epoch: the in-use flag is on the Cluster
  // Partition before the record, so a crash never leaves records that the
  // flag says are not there.
  mutex_lock(&h->flag_mutex);
  int fr = his_set_flag_locked(nmp, 1);
  mutex_unlock(&h->flag_mutex);
  if (fr) {
    up(&m->sem);
    return HIS_WRITE_FAILED;
  }

  bool found = false;
  for (u32 i = 0; i < h->capacity; i++) {
    u64 pos = h->write_pos;
    int r = his_load_main(nmp, h, pos, req->async_serial);
    if (r) {
      up(&m->sem);
      return r;
    }
    struct history_info_record *slot = slot_of(m, pos);
    if (slot->used != 0) {
      h->write_pos = next_pos(h, pos);
      continue;
    }
    struct history_info_record old = *slot;
    slot->serial = req->async_serial;
    slot->first_sector = req->start_sector;
    slot->sector_count = (u64)req->sector_count;
    slot->used = 1;
    int err = his_cache_io(nmp, m, m->sector, 1);
    if (err) {
      *slot = old;  // the cache keeps what the Cluster Partition holds
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to write history information. (sn=0x%016llX, error=%d, "
                    "bi_flags=%x, bi_sector=%llu, bi_size=%u, mirvol_write_history_info)\n",
                    312, (int)nmp->minor, (unsigned long long)req->async_serial, err,
                    (unsigned int)m->bio->bi_flags, (unsigned long long)m->sector,
                    (unsigned int)m->bio->bi_iter.bi_size);
      dump_stack();
      his_cp_error(nmp);
      up(&m->sem);
      return HIS_WRITE_FAILED;
    }
    req->history_position = pos;
    h->write_pos = next_pos(h, pos);
    his_count_add(h, 1);
    found = true;
    result = HIS_OK;
    break;
  }
  if (!found)
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (cnt=%u, mirvol_write_history_info)\n", 330,
                  (int)nmp->minor, mirvol_history_count(h));
  up(&m->sem);
  return result;
}

// --- record delete (ACK1 receiver) ---

int mirvol_delete_history_info(struct io_request *req) {
  struct nmp_info *nmp = req ? req->nmp : nullptr;
  struct history_info *h = nmp ? nmp->history : nullptr;
  if (!history_ok(h)) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (error=%d, mirvol_delete_history_info)\n", 330,
                  nmp ? (int)nmp->minor : 0, 2);
    return HIS_INTERNAL;
  }
  struct hisinfo_cache *m = h->main_cache;
  down(&m->sem);
  u64 pos = req->history_position;
  u64 sector = page_sector_of(pos);
  struct hisinfo_cache *c = m;
  if (!(m->valid && m->sector == sector)) {
    struct hisinfo_cache *d[HIS_MAX_DEL];
    int n = del_caches(h, d);
    down_dels(d, n);
    c = nullptr;
    for (int i = 0; i < n && !c; i++)
      if (d[i]->valid && d[i]->sector == sector) c = d[i];
    if (!c) {
      for (int i = 0; i < n && !c; i++)
        if (!d[i]->valid) c = d[i];
      if (!c) {
        c = d[h->del_next % n];
        h->del_next = (h->del_next + 1) % n;
      }
      int err = his_cache_io(nmp, c, sector, 0);
      if (err) {
        c->valid = 0;
        mirvol_printk(MIRVOL_ERR
                      "NMP%d failed to read history information. (sn=0x%016llX, error=%d, "
                      "bi_flags=%x, bi_sector=%llu, bi_size=%u, mirvol_delete_history_info)\n",
                      311, (int)nmp->minor, (unsigned long long)req->async_serial, err,
                      (unsigned int)c->bio->bi_flags, (unsigned long long)sector,
                      (unsigned int)c->bio->bi_iter.bi_size);
        dump_stack();
        his_cp_error(nmp);
        up_dels(d, n, nullptr);
        up(&m->sem);
        return HIS_READ_FAILED;
      }
      c->sector = sector;
      c->valid = 1;
    }
    up_dels(d, n, c);
    up(&m->sem);
  }
  struct history_info_record *slot = slot_of(c, pos);
  int result;
  if (slot->used == 0) {
    result = HIS_INVALID;
  } else if (slot->serial != req->async_serial) {
    result = HIS_OTHER_SERIAL;
  } else {
    struct history_info_record old = *slot;
    memset(slot, 0, sizeof(*slot));
    int err = his_cache_io(nmp, c, c->sector, 1);
    if (err) {
      *slot = old;
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to delete history information. (sn=0x%016llX, error=%d, "
                    "bi_flags=%x, bi_sector=%llu, bi_size=%u)\n",
                    310, (int)nmp->minor, (unsigned long long)req->async_serial, err,
                    (unsigned int)c->bio->bi_flags, (unsigned long long)c->sector,
                    (unsigned int)c->bio->bi_iter.bi_size);
      dump_stack();
      his_cp_error(nmp);
      result = HIS_WRITE_FAILED;
    } else {
      his_count_add(h, -1);
      result = HIS_OK;
    }
  }
  up(&c->sem);
  return result;
}

// --- clear and conversion ---

static void his_invalidate_all(struct history_info *h, struct hisinfo_cache **d, int n) {
  struct hisinfo_cache *all[HIS_MAX_DEL + 1];
  all[0] = h->main_cache;
  for (int i = 0; i < n; i++) all[i + 1] = d[i];
  for (int i = 0; i <= n; i++) {
    memset(cache_data(all[i]), 0, MIRVOL_HISINFO_PAGE);
    all[i]->valid = 0;
    all[i]->sector = 0;
  }
}

// Zeroes the ring with 64 KiB writes (every history semaphore held).
static int his_clear_locked(struct nmp_info *nmp, struct history_info *h, struct hisinfo_cache **d,
                            int n) {
  struct bio *bio = bio_alloc(GFP_NOIO, MIRVOL_HISINFO_RUN_PAGES);
  struct mirvol_bio_wait wait;
  if (!bio) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate hisinfo write buffer.\n", 145, (int)nmp->minor);
    return HIS_NOMEM;
  }
  for (auto *pg : h->blocks[1]) memset(page_address(pg), 0, PAGE_SIZE);
  int result = HIS_OK;
  for (u64 s = MIRVOL_HISINFO_RING_SECTOR; s <= h->last_sector; s += MIRVOL_HISINFO_RUN / 512) {
    int err = his_sync_io(nmp, bio, &wait, h->blocks[1], MIRVOL_HISINFO_RUN, s, 1);
    if (err) {
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to write history information. (error=%d, bi_flags=%x, "
                    "bi_sector=%llu, bi_size=%u, mirvol_clear_all_history_info)\n",
                    312, (int)nmp->minor, err, (unsigned int)bio->bi_flags,
                    (unsigned long long)s, (unsigned int)bio->bi_iter.bi_size);
      dump_stack();
      his_cp_error(nmp);
      result = HIS_WRITE_FAILED;
      break;
    }
  }
  bio_put(bio);
  // After a failure the caches cannot be trusted either: the ring is partly
  // zero on the Cluster Partition.
  his_invalidate_all(h, d, n);
  if (result == HIS_OK) {
    h->del_next = 0;
    h->write_pos = MIRVOL_HISINFO_RING_BYTE;
    unsigned long flags;
    spin_lock_irqsave(&h->ring_lock, flags);
    h->count = 0;
    spin_unlock_irqrestore(&h->ring_lock, flags);
    h->overflow_report = 1;
  }
  return result;
}

// Resets the in-use flag after a successful clear (history semaphores
// still held); *flag_failed tells whether that write failed.
static void his_reset_flag(struct nmp_info *nmp, struct history_info *h, bool *flag_failed) {
  mutex_lock(&h->flag_mutex);
  *flag_failed = his_set_flag_locked(nmp, 0) != 0;
  mutex_unlock(&h->flag_mutex);
}

static int his_clear(struct nmp_info *nmp, bool *flag_failed) {
  struct history_info *h = nmp->history;
  if (!history_ok(h)) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (mirvol_clear_all_history_info_wrap)\n", 330,
                  (int)nmp->minor);
    return HIS_INTERNAL;
  }
  struct hisinfo_cache *d[HIS_MAX_DEL];
  int n = del_caches(h, d);
  down(&h->main_cache->sem);
  down_dels(d, n);
  int r = his_clear_locked(nmp, h, d, n);
  if (r == HIS_OK && flag_failed) his_reset_flag(nmp, h, flag_failed);
  up_dels(d, n, nullptr);
  up(&h->main_cache->sem);
  return r;
}

int mirvol_clear_all_history_info_wrap(struct nmp_info *nmp) { return his_clear(nmp, nullptr); }

// The bitmap window being filled by a conversion.
struct his_window {
  s64 index;     // -1 none loaded
  bool changed;
  u64 sector;
  u32 bytes;     // within the bitmap's room
};

static u64 bmp_base_sector(struct nmp_info *nmp) { return mirvol_cp_is_4k(nmp) ? 40 : 20; }

static u64 bmp_room_bits(struct nmp_info *nmp) {
  return (MIRVOL_CP_HISINFO_SECTOR - bmp_base_sector(nmp)) * 512 * 8;
}

static u8 *block_byte(struct history_info *h, int b, u64 off) {
  return static_cast<u8 *>(page_address(h->blocks[b][off / 4096])) + off % 4096;
}

static int window_io(struct nmp_info *nmp, struct history_info *h, struct bio *bio,
                     struct his_window *w, int rw) {
  struct mirvol_bio_wait wait;
  int err = his_sync_io(nmp, bio, &wait, h->blocks[2], w->bytes, w->sector, rw);
  if (err) {
    if (rw)
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to write bitmap to Cluster Partition. (error=%d, bi_flags=%x, "
                    "bi_sector=%llu, bi_size=%u, mirvol_convert_history_info)\n",
                    161, (int)nmp->minor, err, (unsigned int)bio->bi_flags,
                    (unsigned long long)w->sector, w->bytes);
    else
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to read bitmap to Cluster Partition. (error=%d, bi_flags=%x, "
                    "bi_sector=%llu, bi_size=%u, mirvol_convert_history_info)\n",
                    161, (int)nmp->minor, err, (unsigned int)bio->bi_flags,
                    (unsigned long long)w->sector, w->bytes);
    dump_stack();
    his_cp_error(nmp);
    return rw ? HIS_WRITE_FAILED : HIS_READ_FAILED;
  }
  return 0;
}

// After a window is written: every cached bitmap block of the device that
// lies in it gets the window's bits too (g_cache_sem held), so that a later
// write-back of that block cannot turn converted bits off.
static void window_to_cache(struct nmp_info *nmp, struct history_info *h, struct his_window *w) {
  u64 first_byte = (u64)w->index * (MIRVOL_HISINFO_WINDOW_BITS / 8);
  u64 bs = mirvol_bmp_block_size(nmp);
  for (struct cache_table *e = g_cachetable; e; e = e->next) {
    if (e->owner_minor != (s32)nmp->minor || e->block_offset < 0) continue;
    u64 off = (u64)e->block_offset;
    if (off < first_byte || off + bs > first_byte + w->bytes) continue;
    down(e->sig_sem);
    for (u64 i = 0; i < bs; i++) e->data[i] |= *block_byte(h, 2, off - first_byte + i);
    up(e->sig_sem);
  }
}

static int window_flush(struct nmp_info *nmp, struct history_info *h, struct bio *bio,
                        struct his_window *w) {
  if (w->index < 0 || !w->changed) return 0;
  int r = window_io(nmp, h, bio, w, 1);
  if (r == 0) {
    window_to_cache(nmp, h, w);
    w->changed = false;
  }
  return r;
}

static int window_load(struct nmp_info *nmp, struct history_info *h, struct bio *bio,
                       struct his_window *w, u64 index) {
  int r = window_flush(nmp, h, bio, w);
  if (r) return r;
  w->index = -1;
  w->changed = false;
  w->sector = bmp_base_sector(nmp) + 128 * index;
  u64 room = (MIRVOL_CP_HISINFO_SECTOR - w->sector) * 512;
  w->bytes = room < MIRVOL_HISINFO_RUN ? (u32)room : MIRVOL_HISINFO_RUN;
  r = window_io(nmp, h, bio, w, 0);
  if (r) return r;
  w->index = (s64)index;
  return 0;
}

// Sets bits first..last (inclusive) through the windows.
static int convert_bits(struct nmp_info *nmp, struct history_info *h, struct bio *bio,
                        struct his_window *w, u64 first, u64 last) {
  u64 cur = first;
  while (cur <= last) {
    u64 index = cur / MIRVOL_HISINFO_WINDOW_BITS;
    if (w->index != (s64)index) {
      int r = window_load(nmp, h, bio, w, index);
      if (r) return r;
    }
    u64 wend = (index + 1) * MIRVOL_HISINFO_WINDOW_BITS - 1;
    u64 end = last < wend ? last : wend;
    for (u64 b = cur; b <= end; b++) {
      u64 rel = b - index * MIRVOL_HISINFO_WINDOW_BITS;
      u8 *p = block_byte(h, 2, rel / 8);
      u8 mask = (u8)(0x80u >> (rel % 8));
      if (!(*p & mask)) {
        *p |= mask;
        w->changed = true;
      }
    }
    cur = end + 1;
  }
  return 0;
}

static int his_convert(struct nmp_info *nmp, bool *flag_failed);

int mirvol_convert_history_info(struct nmp_info *nmp) { return his_convert(nmp, nullptr); }

// The conversion; with flag_failed, a successful one also resets the
// in-use flag before the history semaphores are released.
static int his_convert(struct nmp_info *nmp, bool *flag_failed) {
  struct history_info *h = nmp->history;
  if (!history_ok(h)) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (mirvol_convert_history_info)\n", 330,
                  (int)nmp->minor);
    return HIS_INTERNAL;
  }
  s32 granule = (s32)READ_ONCE(nmp->bmp_size_in_sec);
  if (granule <= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d bmp_size_in_sec (%d) is invalid.\n", 200, (int)nmp->minor,
                  granule);
    return HIS_INTERNAL;
  }
  // The data partition's real size bounds the records; the bits must lie
  // within the device's bit count and within the bitmap's room.
  u64 dp_sectors = nmp->dp_bdev ? (u64)bdev_nr_sectors(nmp->dp_bdev) : 0;
  u64 dp_last = dp_sectors ? dp_sectors - 1 : 0;
  u64 bit_count = (dp_sectors + (u64)granule - 1) / (u64)granule;
  u64 room = bmp_room_bits(nmp);

  if (g_cache_sem) down(g_cache_sem);
  if (g_cache_sem && g_cachetable && _flush_bitmap_cache() != 0) {
    up(g_cache_sem);
    return HIS_WRITE_FAILED;
  }
  struct hisinfo_cache *d[HIS_MAX_DEL];
  int n = del_caches(h, d);
  down(&h->main_cache->sem);
  down_dels(d, n);

  int result = HIS_OK;
  struct bio *rbio = bio_alloc(GFP_NOIO, MIRVOL_HISINFO_RUN_PAGES);
  struct bio *wbio = rbio ? bio_alloc(GFP_NOIO, MIRVOL_HISINFO_RUN_PAGES) : nullptr;
  if (!wbio) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate hisinfo convert buffer.\n", 145,
                  (int)nmp->minor);
    result = HIS_NOMEM;
    goto out;
  }
  {
    struct his_window w = {-1, false, 0, 0};
    bool invalid = false;
    for (u64 s = MIRVOL_HISINFO_RING_SECTOR; s <= h->last_sector && !invalid && result == HIS_OK;
         s += MIRVOL_HISINFO_RUN / 512) {
      struct mirvol_bio_wait wait;
      int err = his_sync_io(nmp, rbio, &wait, h->blocks[0], MIRVOL_HISINFO_RUN, s, 0);
      if (err) {
        mirvol_printk(MIRVOL_ERR
                      "NMP%d failed to read history information. (error=%d, bi_flags=%x, "
                      "bi_sector=%llu, bi_size=%u, mirvol_convert_history_info)\n",
                      311, (int)nmp->minor, err, (unsigned int)rbio->bi_flags,
                      (unsigned long long)s, (unsigned int)rbio->bi_iter.bi_size);
        dump_stack();
        his_cp_error(nmp);
        result = HIS_READ_FAILED;
        break;
      }
      for (u32 i = 0; i < MIRVOL_HISINFO_RUN / MIRVOL_HISINFO_RECORD_SIZE; i++) {
        struct history_info_record r;
        memcpy(&r, block_byte(h, 0, (u64)i * MIRVOL_HISINFO_RECORD_SIZE), sizeof(r));
        if (r.used == 0 || r.sector_count == 0) continue;
        u64 last = r.first_sector + r.sector_count - 1;
        bool out_of_range = dp_sectors == 0 || r.first_sector >= dp_sectors ||
                            r.sector_count > dp_sectors - r.first_sector;
        u64 first_bit = r.first_sector / (u64)granule, last_bit = 0;
        if (!out_of_range) {
          last_bit = last / (u64)granule;
          out_of_range = last_bit >= bit_count || last_bit >= room;
        }
        if (out_of_range) {
          mirvol_printk(MIRVOL_ERR
                        "NMP%d failed to read history information. (out of range: last sector "
                        "nmp=%llu, info=%llu)\n",
                        311, (int)nmp->minor, (unsigned long long)dp_last,
                        (unsigned long long)(r.first_sector + r.sector_count - 1));
          // What was converted so far is kept.
          window_flush(nmp, h, wbio, &w);
          his_clear_locked(nmp, h, d, n);
          invalid = true;
          result = HIS_INVALID;
          break;
        }
        int cr = convert_bits(nmp, h, wbio, &w, first_bit, last_bit);
        if (cr) {
          result = cr;
          break;
        }
      }
    }
    if (result == HIS_OK) result = window_flush(nmp, h, wbio, &w);
    if (result == HIS_OK) {
      result = his_clear_locked(nmp, h, d, n) == HIS_OK ? HIS_OK : HIS_CLEAR_FAILED;
      if (result == HIS_OK && flag_failed) his_reset_flag(nmp, h, flag_failed);
    }
  }
out:
  up_dels(d, n, nullptr);
  up(&h->main_cache->sem);
  if (g_cache_sem) up(g_cache_sem);
  if (rbio) bio_put(rbio);
  if (wbio) bio_put(wbio);
  return result;
}

// --- commands 84 and 85 ---

// What both commands answer before touching the journal: FAILED while the
// history and send-data threads run (they write the records), OK when the
// journal is not in use. False when the command goes on.
static bool his_ioctl_answered(struct nmp_info *nmp, u8 *rec) {
  if (mirvol_nmp_threads_running(nmp)) {
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return true;
  }
  if (!mirvol_hisinfo_used(nmp)) {
    mirvol_rec::rec_put_status(rec, STATUS_OK);
    return true;
  }
  return false;
}

void mirvol_clear_all_history_info_ioctl(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  if (his_ioctl_answered(nmp, rec)) return;
  mirvol_printk(MIRVOL_INFO "NMP%d clearing history info.\n", 317, (int)minor);
  bool flag_failed = false;
  int r = his_clear(nmp, &flag_failed);
  if (r != HIS_OK) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to clear history info. (err=%d)\n", 319, (int)minor, r);
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return;
  }
  mirvol_printk(MIRVOL_INFO "NMP%d history info has been cleared.\n", 318, (int)minor);
  mirvol_rec::rec_put_status(rec, flag_failed ? STATUS_FAILED : STATUS_OK);
}

void mirvol_convert_history_info_ioctl(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  if (his_ioctl_answered(nmp, rec)) return;
  mirvol_printk(MIRVOL_INFO "NMP%d converting history info.\n", 314, (int)minor);
  bool flag_failed = false;
  int r = his_convert(nmp, &flag_failed);
  if (r == HIS_INVALID) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to convert history info. (invalid info found)\n", 316,
                  (int)minor);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_HISTORY);
    return;
  }
  if (r != HIS_OK) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to convert history info. (err=%d)\n", 316, (int)minor, r);
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return;
  }
  mirvol_printk(MIRVOL_INFO "NMP%d history info has been converted.\n", 315, (int)minor);
  mirvol_rec::rec_put_status(rec, flag_failed ? STATUS_FAILED : STATUS_OK);
}

// --- the senders' entry points ---

int mirvol_write_history_info(struct io_request *req) {
  return mirvol_history_request(req, 1, &req->buffer1);
}

int mirvol_write_history_file(struct io_request *req) {
  return mirvol_history_request(req, 2, &req->buffer2);
}
