// Cluster Partition records: the one-block I/O every Cluster Partition
// access uses, the three time records (disconnect, last update, mirror
// break), the disk-error flag, the reading of all records at device
// creation, and control commands 12 (read the times) and 13 (clear them).

#include "include/mirvol_perf.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_param.h"
#include "include/mirvol_port.h"
#include "include/mirvol_record.h"
#include "include/mirvol_records.h"

// One lock per minor serialises every change of a device's time records and
// disk-error flag: a setter's test, state change and submission, and a
// clear's test, zero write, wait and in-memory clear. Without it a time set
// by a new event while a clear is writing its zero block would be erased by
// that clear, and disk and memory would both say "never broken".
static struct semaphore g_cp_time_sem[MIRVOL_MAX_MINOR + 1];

void mirvol_cp_module_init(void) {
  for (auto &sem : g_cp_time_sem) sema_init(&sem, 1);
  g_malloc_cache_table_isError = 0;
}

static struct semaphore *cp_time_sem(struct nmp_info *nmp) {
  return &g_cp_time_sem[nmp->minor % (MIRVOL_MAX_MINOR + 1)];
}

// --- one-block I/O ---

// The I/O length of a record block: the Cluster Partition's logical block
// size, 512 when it reports none usable.
static u32 cp_record_len(const struct nmp_info *nmp) {
  if (nmp->len == 4096) return 4096;
  return (nmp->len && nmp->len <= 4096) ? nmp->len : 512;
}

struct bio *loop_malloc_buffer_head(struct nmp_info *nmp, u64 sector, int rw) {
  struct bio *bio;
  while (!(bio = bio_alloc(GFP_ATOMIC, 1))) {
    flush_scheduled_work();
    msleep(1000);
  }
  struct page *pg;
  while (!(pg = alloc_page(GFP_ATOMIC))) {
    flush_scheduled_work();
    msleep(1000);
  }
  struct mirvol_cp_bio *priv;
  while (!(priv = static_cast<struct mirvol_cp_bio *>(kzalloc(sizeof(*priv), GFP_ATOMIC)))) {
    flush_scheduled_work();
    msleep(1000);
  }
  init_completion(&priv->wait.done);
  u32 len = cp_record_len(nmp);
  memset(page_address(pg), 0, PAGE_SIZE);
  bio_add_page(bio, pg, len, 0);
  bio->bi_iter.bi_sector = sector;
  bio_set_op_attrs(bio, rw ? REQ_OP_WRITE : REQ_OP_READ, 0);
  bio_set_dev(bio, nmp->cp_bdev);
  bio->bi_private = priv;
  return bio;
}

void wake_up_bio(struct bio *bio) { complete(&mirvol_cp_private(bio)->wait.done); }

static int bio_error(struct bio *bio) { return blk_status_to_errno(bio->bi_status); }

// A failed Cluster Partition write or read raises the device's Cluster
// Partition error flag for the disk-error thread.
static void cp_raise_error(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->cp_error = 1;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  wake_up(&g_disk_error_wq);
}

void __cp_data_end_io(struct bio *bio, int error) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(mirvol_cp_private(bio)->owner);
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_rw=%d, bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__cp_data_end_io)\n",
                  160, nmp->minor, error, (int)bio->bi_opf, (unsigned int)bio->bi_flags,
                  (unsigned long long)bio->bi_iter.bi_sector, (int)bio->bi_iter.bi_size);
    dump_stack();
    cp_raise_error(nmp);
  }
  wake_up_bio(bio);
}
void __cp_data_end_io_4_3_0(struct bio *bio) { __cp_data_end_io(bio, bio_error(bio)); }
void __cp_data_end_io_2_6_24(struct bio *bio, int error) { __cp_data_end_io(bio, error); }

// A request-bound time write settles exactly the completion bit it carries;
// the request's time-write flags change only under the request's lock, so
// two such writes completing together each give their own bit.
void __mirvol_write_cptime_end_io(struct bio *bio, int error) {
  struct mirvol_cp_bio *priv = mirvol_cp_private(bio);
  struct io_request *req = static_cast<struct io_request *>(priv->owner);
  struct nmp_info *nmp = req->nmp;
  u32 bit = priv->settles;
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__mirvol_write_cptime_end_io)\n",
                  160, nmp->minor, error, (unsigned int)bio->bi_flags,
                  (unsigned long long)bio->bi_iter.bi_sector, (int)bio->bi_iter.bi_size);
    dump_stack();
    cp_raise_error(nmp);
  }
  unsigned long flags;
  spin_lock_irqsave(&req->sys_var->lock, flags);
  bool pending = (req->time_write_flags & bit) != 0;
  req->time_write_flags &= ~bit;
  spin_unlock_irqrestore(&req->sys_var->lock, flags);
  // The request may finish and free this bio here; nothing touches it after.
  if (pending) mirvol_end_req(req, bit);
  // The last touch of the device: unload may free it once this is 0.
  atomic_dec_return(&nmp->cp_time_writes);
}
void __mirvol_write_cptime_end_io_4_3_0(struct bio *bio) {
  __mirvol_write_cptime_end_io(bio, bio_error(bio));
}
void __mirvol_write_cptime_end_io_2_6_24(struct bio *bio, int error) {
  __mirvol_write_cptime_end_io(bio, error);
}

void __dc_end_io_req_null(struct bio *bio, int error) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(mirvol_cp_private(bio)->owner);
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__dc_end_io_req_null)\n",
                  160, nmp->minor, error, (unsigned int)bio->bi_flags,
                  (unsigned long long)bio->bi_iter.bi_sector, (int)bio->bi_iter.bi_size);
    dump_stack();
    cp_raise_error(nmp);
  }
  wake_up_bio(bio);
}
void __dc_end_io_req_null_4_3_0(struct bio *bio) { __dc_end_io_req_null(bio, bio_error(bio)); }
void __dc_end_io_req_null_2_6_24(struct bio *bio, int error) { __dc_end_io_req_null(bio, error); }

void __disk_error_end_io(struct bio *bio, int error) {
  (void)error;
  wake_up_bio(bio);
}
void __disk_error_end_io_4_3_0(struct bio *bio) { __disk_error_end_io(bio, bio_error(bio)); }
void __disk_error_end_io_2_6_24(struct bio *bio, int error) { __disk_error_end_io(bio, error); }

// Submits under the Cluster Partition semaphore, which covers the
// submission only.
static void cp_submit(struct nmp_info *nmp, struct bio *bio) {
  down(&nmp->nmp_variable->cp_sem);
  submit_bio(bio);
  up(&nmp->nmp_variable->cp_sem);
}

// Submits a device-owned I/O, waits for it and frees it; 0 or the error.
// For a read, the first `n` bytes of the block are copied to `out`.
static int cp_sync_io(struct nmp_info *nmp, struct bio *bio, bio_end_io_t *end_io, bool take_sem,
                      void *out = nullptr, size_t n = 0) {
  mirvol_cp_private(bio)->owner = nmp;
  bio->bi_end_io = end_io;
  if (take_sem)
    cp_submit(nmp, bio);
  else
    submit_bio(bio);
  wait_for_bio(bio);
  int error = bio_error(bio);
  if (!error && out) memcpy(out, page_address(bio->bi_io_vec[0].bv_page), n);
  loop_free_buffer_head(bio);
  return error;
}

// A time block holding `value`.
static struct bio *cp_time_block(struct nmp_info *nmp, u64 sector, u64 value) {
  struct bio *bio = loop_malloc_buffer_head(nmp, sector, 1);
  mirvol_rec::rec_store(page_address(bio->bi_io_vec[0].bv_page),
                        mirvol_rec::cp_time_block_data{value});
  return bio;
}

// Reads the record block at `sector` into its structure.
template <class B>
static int cp_read_record(struct nmp_info *nmp, u64 sector, B *out) {
  u8 block[sizeof(B)];
  memset(block, 0, sizeof(block));
  int error = cp_sync_io(nmp, loop_malloc_buffer_head(nmp, sector, 0), __cp_data_end_io_4_3_0, true,
                         block, sizeof(block));
  if (!error) *out = mirvol_rec::rec_load<B>(block);
  return error;
}

// A time write whose request collects its completion bit later. The bio is
// kept in the request (freed with it) before it is submitted, since its
// completion may finish and free the request at once.
// Returns the bit when it is already settled and the caller is to give it.
static u64 cp_submit_for_request(struct nmp_info *nmp, struct io_request *req, struct bio *bio,
                                 u32 bit) {
  struct mirvol_cp_bio *priv = mirvol_cp_private(bio);
  priv->owner = req;
  priv->settles = bit;
  bio->bi_end_io = __mirvol_write_cptime_end_io_4_3_0;
  down(&nmp->nmp_variable->cp_sem);
  unsigned long flags;
  int slot = -1;
  spin_lock_irqsave(&req->sys_var->lock, flags);
  for (int i = 0; i < 3 && slot < 0; i++)
    if (!req->cp_bio[i]) slot = i;
  if (slot >= 0) {
    req->cp_bio[slot] = bio;
    req->time_write_flags |= bit;
  }
  spin_unlock_irqrestore(&req->sys_var->lock, flags);
  if (slot < 0) {
    // No room to keep it: write it as a device write and settle the bit
    // once it is on disk.
    up(&nmp->nmp_variable->cp_sem);
    cp_sync_io(nmp, bio, __dc_end_io_req_null_4_3_0, true);
    return bit;
  }
  atomic_inc_return(&nmp->cp_time_writes);
  submit_bio(bio);
  up(&nmp->nmp_variable->cp_sem);
  return 0;
}

// Value 8 of the sync switch flags follows a last-update time that was just
// set (or cleared); logged when mirroring is then off.
static void cp_update_sync_switch(struct nmp_info *nmp, bool log_when_nonzero) {
  u32 v = mirvol_refresh_sync_switch(nmp);
  if (v <= 255 && (!log_when_nonzero || v)) {
    char text[8];
    mirvol_printk(MIRVOL_INFO "NMP%d sync switch flag is set to OFF. %s\n", 191, nmp->minor,
                  mirvol_disp_sync_flag(v, text, sizeof(text)));
  }
}

// --- time writes ---

int mirvol_write_cptime(struct nmp_info *nmp, struct io_request *req, u32 flags) {
  u64 now = (u64)mirvol_current_time();
  unsigned long irq;
  bool has_cp = nmp->cp_bdev != nullptr;
  // Bits due at once are given after the time-record lock is released:
  // finishing a request must not wait on that lock's holders.
  u64 give = 0;

  down(cp_time_sem(nmp));
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  u64 last_update_on_entry = nmp->last_update_time;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);

  if (flags & 4) {
    if (req) mirvol_perf_cnt_last_update_after_umount(nmp, req);
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    bool due = !(now - nmp->last_update_time < (u64)READ_ONCE(nmp->lastupdate_delay) || nmp->disk_error_flag);
    if (due) nmp->last_update_time = now;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
    if (!due || !has_cp) {
      give |= REQ_LASTUPDATE_DONE;
    } else {
      struct bio *bio = cp_time_block(nmp, mirvol_cp_lastupdate_sector(nmp), now);
      if (req)
        give |= cp_submit_for_request(nmp, req, bio, REQ_LASTUPDATE_DONE);
      else
        cp_sync_io(nmp, bio, __dc_end_io_req_null_4_3_0, true);
    }
  }

  if (flags & 8) {
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    bool due = nmp->disconnect_time == 0;
    if (due) nmp->disconnect_time = now;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
    if (due && has_cp)
      cp_sync_io(nmp, cp_time_block(nmp, MIRVOL_CP_DISCONNECT_SECTOR, now),
                 __dc_end_io_req_null_4_3_0, true);
  }

  if (flags & 16) {
    spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, irq);
    if (nmp->recovery_prep_state == 1) nmp->recovery_prep_state = 2;
    spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, irq);

    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    bool due = nmp->mirror_break_time == 0;
    if (due) nmp->mirror_break_time = now;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
    // Given outside the device spinlock: finishing a request may take other
    // locks. The time-record lock keeps a clear from coming in between.
    if (!due || !has_cp) {
      give |= REQ_MIRRORBREAK_DONE;
    } else {
      {
        struct bio *bio = cp_time_block(nmp, mirvol_cp_mirrorbreak_sector(nmp), now);
        if (req) {
          give |= cp_submit_for_request(nmp, req, bio, REQ_MIRRORBREAK_DONE);
        } else {
          mirvol_cp_private(bio)->owner = nmp;
          bio->bi_end_io = __dc_end_io_req_null_4_3_0;
          cp_submit(nmp, bio);
        }
        mirvol_printk(MIRVOL_INFO
                      "NMP%d mirror break, writing mirror_break_time to Cluster Partition.\n",
                      150, nmp->minor);
        if (!req) {
          wait_for_bio(bio);
          loop_free_buffer_head(bio);
        }
      }
    }
  }

  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  bool became_set = last_update_on_entry == 0 && nmp->last_update_time != 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  up(cp_time_sem(nmp));
  if (became_set) cp_update_sync_switch(nmp, false);
  if (req && give) {
    // A bit whose write is still in flight (from an earlier call for the
    // same request) is left to that write's completion: giving it now could
    // finish and free the request under the bio.
    spin_lock_irqsave(&req->sys_var->lock, irq);
    give &= ~(u64)req->time_write_flags;
    spin_unlock_irqrestore(&req->sys_var->lock, irq);
    // The request may finish here; it is not touched afterwards.
    if (give) mirvol_end_req(req, give);
  }
  return 0;
}

void mirvol_write_lastupdatetime(struct nmp_info *nmp) {
  u64 now = (u64)mirvol_current_time();
  unsigned long irq;
  down(cp_time_sem(nmp));
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  u64 old = nmp->last_update_time;
  nmp->last_update_time = now;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  if (nmp->cp_bdev)
    cp_sync_io(nmp, cp_time_block(nmp, mirvol_cp_lastupdate_sector(nmp), now),
               __dc_end_io_req_null_4_3_0, true);
  up(cp_time_sem(nmp));
  if (old == 0) cp_update_sync_switch(nmp, true);
}

void mirvol_write_diskerror(struct nmp_info *nmp) {
  if (!nmp->cp_bdev) return;
  down(cp_time_sem(nmp));
  struct bio *bio = loop_malloc_buffer_head(nmp, MIRVOL_CP_DISK_ERROR_SECTOR, 1);
  mirvol_rec::cp_disk_error_block_data rec = {};
  rec.disk_error_flag = 1;
  mirvol_rec::rec_store(page_address(bio->bi_io_vec[0].bv_page), rec);
  if (cp_sync_io(nmp, bio, __disk_error_end_io_4_3_0, false)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to write disk_error_flag to Cluster Partition.\n", 161,
                  nmp->minor);
  } else {
    // Memory follows the disk, so that the status files show the flag and
    // command 13 with flag 8 clears it on disk.
    unsigned long irq;
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    nmp->disk_error_flag = 1;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  }
  up(cp_time_sem(nmp));
}

// --- reading the records ---

int mirvol_read_all_cptime(struct nmp_info *nmp) {
  enum { MIRROR_BREAK, LAST_UPDATE, DISCONNECT, DISK_ERROR, HISINFO };
  struct {
    u64 sector;
    const char *name;
  } const recs[] = {
      {mirvol_cp_mirrorbreak_sector(nmp), "mirror_break_time"},
      {mirvol_cp_lastupdate_sector(nmp), "last_update_time"},
      {MIRVOL_CP_DISCONNECT_SECTOR, "disconnect_time"},
      {MIRVOL_CP_DISK_ERROR_SECTOR, "disk_error_flag"},
      {MIRVOL_CP_HISINFO_SECTOR, "is_hisinfo_used flag"},
  };
  for (unsigned int i = 0; i < sizeof(recs) / sizeof(recs[0]); i++) {
    mirvol_rec::cp_time_block_data t = {};
    mirvol_rec::cp_disk_error_block_data e = {};
    mirvol_rec::cp_hisinfo_block_data h = {};
    int error = -1;
    if (nmp->cp_bdev) {
      if (i == DISK_ERROR)
        error = cp_read_record(nmp, recs[i].sector, &e);
      else if (i == HISINFO)
        error = cp_read_record(nmp, recs[i].sector, &h);
      else
        error = cp_read_record(nmp, recs[i].sector, &t);
    }
    if (error) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to read %s from Cluster Partition.\n", 161, nmp->minor,
                    recs[i].name);
      return -1;
    }
    unsigned long irq;
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    switch (i) {
      case MIRROR_BREAK:
        nmp->mirror_break_time = t.time;
        break;
      case LAST_UPDATE:
        nmp->last_update_time = t.time;
        break;
      case DISCONNECT:
        nmp->disconnect_time = t.time;
        break;
      case DISK_ERROR:
        nmp->disk_error_flag = (u32)(s32)e.disk_error_flag;
        break;
      default:
        nmp->is_hisinfo_used = h.is_hisinfo_used;
        break;
    }
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  }
  return 0;
}

// Command 12: the three times as the Cluster Partition holds them, each as
// the low 32 bits of its value. The record is 20 bytes: nothing is written
// past offset 19.
void mirvol_read_cp_time(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  using mirvol_rec::cp_time_record;
  struct {
    u64 sector;
    uint32_t cp_time_record::*field;
    uint32_t cp_time_record::*next;  // the field after it, or none
    const char *name;
  } const times[] = {
      {MIRVOL_CP_DISCONNECT_SECTOR, &cp_time_record::disconnect_time,
       &cp_time_record::last_update_time, "disconnect_time_bio"},
      {mirvol_cp_lastupdate_sector(nmp), &cp_time_record::last_update_time,
       &cp_time_record::mirror_break_time, "last_update_time"},
      {mirvol_cp_mirrorbreak_sector(nmp), &cp_time_record::mirror_break_time, nullptr,
       "mirror_break_time"},
  };
  auto r = mirvol_rec::rec_load<cp_time_record>(rec);
  for (const auto &t : times) {
    mirvol_rec::cp_time_block_data block = {};
    if (!nmp->cp_bdev || cp_read_record(nmp, t.sector, &block)) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to read %s from Cluster Partition.\n", 161, nmp->minor,
                    t.name);
      r.status = STATUS_FAILED;
      mirvol_rec::rec_store(rec, r);
      return;
    }
    // Each time is stored whole where it fits, so a field left unread
    // afterwards holds the high half of the one before it.
    r.*t.field = (u32)block.time;
    if (t.next) r.*t.next = (u32)(block.time >> 32);
  }
  r.status = STATUS_OK;
  mirvol_rec::rec_store(rec, r);
}

// --- clearing ---

// Writes the zero block of a record and waits: 0 or the error.
static int cp_zero_record(struct nmp_info *nmp, u64 sector, bool take_sem) {
  return cp_sync_io(nmp, loop_malloc_buffer_head(nmp, sector, 1), __cp_data_end_io_4_3_0, take_sem);
}

// Clears one time record, disk first, then memory. -1 when the write failed.
static int cp_clear_time(struct nmp_info *nmp, u64 sector, u64 *time, const char *name) {
  unsigned long irq;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  bool set = *time != 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  if (!set) return 0;
  if (!nmp->cp_bdev || cp_zero_record(nmp, sector, true)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to clear %s to Cluster Partition.\n", 161, nmp->minor,
                  name);
    return -1;
  }
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  *time = 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  return 0;
}

int mirvol_clear_cp_time_main(struct nmp_info *nmp, u32 flags) {
  int result = 0;
  unsigned long irq;
  down(cp_time_sem(nmp));
  if ((flags & 1) &&
      cp_clear_time(nmp, MIRVOL_CP_DISCONNECT_SECTOR, &nmp->disconnect_time, "disconnet_time"))
    result = -1;
  if ((flags & 2) && cp_clear_time(nmp, mirvol_cp_lastupdate_sector(nmp), &nmp->last_update_time,
                                   "last_update_time"))
    result = -1;
  if (flags & 4) {
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    bool set = nmp->mirror_break_time != 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
    if (set) {
      spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, irq);
      bool arose = nmp->recovery_prep_state == 2;
      if (arose) nmp->recovery_prep_state = 0;
      spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, irq);
      if (arose) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d mirror break has occurred during recovery, recovery failed.\n",
                      152, nmp->minor);
        result = -1;
      } else if (cp_clear_time(nmp, mirvol_cp_mirrorbreak_sector(nmp), &nmp->mirror_break_time,
                               "mirror_break_time")) {
        result = -1;
      } else {
        spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, irq);
        nmp->recovery_prep_state = 0;
        spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, irq);
      }
    }
  }
  if (flags & 8) {
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
    nmp->disk_error_handling = 0;
    nmp->cp_error = 0;
    nmp->dp_error = 0;
    nmp->reset_request = 0;
    bool set = nmp->disk_error_flag != 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
    if (set) {
      if (!nmp->cp_bdev || cp_zero_record(nmp, MIRVOL_CP_DISK_ERROR_SECTOR, false)) {
        mirvol_printk(MIRVOL_ERR "NMP%d failed to clear disk_error_flag to Cluster Partition.\n",
                      161, nmp->minor);
        result = -1;
      } else {
        spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
        nmp->disk_error_flag = 0;
        spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
      }
    }
  }
  up(cp_time_sem(nmp));
  return result;
}

// Command 13.
void mirvol_clear_cp_time(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  u32 flags = mirvol_rec::rec_load<mirvol_rec::cp_time_clear_record>(rec).flags;
  if (flags >= 16) {
    mirvol_printk(MIRVOL_ERR "flag (%#x) is invalid. (mirvol_clear_cp_time)\n", 182, flags);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  mirvol_rec::rec_put_status(rec, mirvol_clear_cp_time_main(nmp, flags) ? STATUS_FAILED : STATUS_OK);
}
