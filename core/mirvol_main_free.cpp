// The request path: every block I/O on a mirror disk enters here, is copied,
// recorded in the in-flight write table, mirrored or marked for the bitmap,
// and submitted to the data partition; each request then gathers its
// completion bits until it finishes.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_port.h"
#include "include/mirvol_trans.h"

// The I/O-port hints are logged once per load.
static atomic_t g_disp_ioport_msg = ATOMIC_INIT(1);

void mirvol_request_path_reset(void) { atomic_set(&g_disp_ioport_msg, 1); }

// --- bio helpers ---

static void mirvol_end_bio(struct bio *bio, int error) {
  bio->bi_status = errno_to_blk_status(error);
  bio_endio(bio);
}

void mirvol_set_bio_noidle(struct bio *bio) { bio->bi_opf |= REQ_SYNC | REQ_NOIDLE; }

void *mirvol_get_1st_bio_data(struct bio *bio) {
  if (!bio->bi_vcnt) return nullptr;
  return static_cast<char *>(page_address(bio->bi_io_vec[0].bv_page)) + bio->bi_io_vec[0].bv_offset;
}

// --- signal masks ---

sigset_k enable_mirvol_sig(void) { return set_current_blocked(~sigmask_k(SIGXCPU)); }
void restore_signal_block(sigset_k mask) { set_current_blocked(mask); }

// --- in-flight request counter ---

static void mirvol_dec_make_request_cnt(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&g_max_lock, flags);
  if (g_make_request_cnt) g_make_request_cnt--;
  spin_unlock_irqrestore(&g_max_lock, flags);
  mirvol_perf_cnt_write_request_count(nmp, 0);
}

// A writer waits while the module-wide in-flight limit is reached; nobody
// wakes it, it looks again every 2 seconds.
static void mirvol_throttle(struct nmp_info *nmp) {
  unsigned long flags;
  wait_queue_head_t wq;
  init_waitqueue_head(&wq, "throttle");
  spin_lock_irqsave(&g_max_lock, flags);
  while (g_make_request_max_cnt && g_make_request_cnt >= g_make_request_max_cnt) {
    spin_unlock_irqrestore(&g_max_lock, flags);
    flush_scheduled_work();
    interruptible_sleep_on_timeout(&wq, 2 * HZ);
    spin_lock_irqsave(&g_max_lock, flags);
  }
  g_make_request_cnt++;
  if (g_make_request_cnt > g_make_request_peak) g_make_request_peak = g_make_request_cnt;
  spin_unlock_irqrestore(&g_max_lock, flags);
  mirvol_perf_cnt_write_request_count(nmp, 1);
}

// --- request allocation ---

// Up to 5 tries with a pause of `seconds` between them (with the message);
// null after the fifth failure.
template <typename Alloc>
static auto mirvol_retry_alloc(Alloc alloc, long seconds, const char *retry_fmt, int minor)
    -> decltype(alloc()) {
  for (int i = 0; i < 5; i++) {
    auto p = alloc();
    if (p) return p;
    if (i == 4) break;
    flush_scheduled_work();
    msleep((unsigned int)(seconds * 1000));
    if (minor >= 0)
      mirvol_printk(retry_fmt, 146, minor);
    else
      mirvol_printk(retry_fmt, 146);
  }
  return nullptr;
}

static void *mirvol_request_part(size_t len, const char *retry_fmt) {
  return mirvol_retry_alloc([len] { return kzalloc(len, GFP_NOIO); }, 1, retry_fmt, -1);
}

struct io_request *mirvol_allocate_request(void) {
  struct io_request *req = static_cast<struct io_request *>(
      mirvol_request_part(sizeof(*req), MIRVOL_WARN "Failed to allocate request, retrying.\n"));
  if (!req) return nullptr;
  req->sys_var = static_cast<struct req_sys_var *>(mirvol_request_part(
      sizeof(*req->sys_var), MIRVOL_WARN "Failed to allocate request->sys_var, retrying.\n"));
  if (req->sys_var) {
    spin_lock_init(&req->sys_var->lock);
    init_timer(&req->sys_var->timer);
    req->dcq = static_cast<struct dcq *>(mirvol_request_part(
        sizeof(*req->dcq), MIRVOL_WARN "Failed to allocate request->dcq, retrying.\n"));
  }
  if (req->dcq)
    req->wbq = static_cast<struct wbq *>(mirvol_request_part(
        sizeof(*req->wbq), MIRVOL_WARN "Failed to allocate request->wbq, retrying.\n"));
  if (req->wbq)
    req->a2q = static_cast<struct a2q *>(mirvol_request_part(
        sizeof(*req->a2q), MIRVOL_WARN "Failed to allocate request->a2q, retrying.\n"));
  if (!req->a2q) {
    kfree(req->wbq);
    kfree(req->dcq);
    kfree(req->sys_var);
    kfree(req);
    return nullptr;
  }
  spin_lock_init(&req->wbq_lock);
  spin_lock_init(&req->a2q_lock);
  return req;
}

// --- the clone ---

static void mirvol_drop_clone(struct io_request *req) {
  if (!req->clone) return;
  if (req->write)
    mirvol_put_bio(req->clone);
  else
    bio_put(req->clone);
  req->clone = nullptr;
}

struct bio *mirvol_clone_bio(struct nmp_info *nmp, struct bio *bio) {
  struct bio *clone = mirvol_retry_alloc(
      [bio] { return bio_clone(bio, GFP_NOIO); }, 4,
      MIRVOL_WARN "NMP%d failed to allocate bio for I/O, retrying.\n", (int)nmp->minor);
  if (!clone) return nullptr;
  clone->bi_end_io = __mirvol_end_make_request_4_3_0;
  bio_set_dev(clone, nmp->dp_bdev);
  if (bio_data_dir(bio) != WRITE || !bio->bi_vcnt) return clone;

  // A write gets private pages: the upper I/O may end (asynchronous mode)
  // while this copy still waits to be sent.
  for (unsigned int i = 0; i < clone->bi_vcnt; i++) {
    struct page *pg = mirvol_retry_alloc(
        [] { return alloc_page(GFP_NOIO); }, 4,
        MIRVOL_WARN "NMP%d failed to allocate bv_page for I/O, retrying.\n", (int)nmp->minor);
    if (!pg) {
      clone->bi_vcnt = (unsigned short)i;  // only the pages it has are its own
      mirvol_put_bio(clone);
      return nullptr;
    }
    memcpy(page_address(pg), page_address(clone->bi_io_vec[i].bv_page), PAGE_SIZE);
    clone->bi_io_vec[i].bv_page = pg;
  }
  return clone;
}

// --- in-flight local write table (under the write-table spinlock) ---

static struct wrt_queue_head *wrt_bucket(struct nmp_info *nmp, sector_t sector) {
  return &nmp->wrt_queue[sector % MIRVOL_WRT_QUEUE_NUM];
}

static void wrt_unlink(struct wrt_queue_head *h, struct wrt_queue *node) {
  mirvol_fifo_unlink(&h->head, &h->tail, &h->cursor, node);
}

static void wrt_append(struct wrt_queue_head *h, struct wrt_queue *node) {
  mirvol_fifo_append(&h->head, &h->tail, node);
}

int add_wrt_queue2(struct nmp_info *nmp, struct bio *bio, sector_t sector) {
  struct wrt_queue *node = mirvol_retry_alloc(
      [] { return static_cast<struct wrt_queue *>(kzalloc(sizeof(struct wrt_queue), GFP_NOIO)); },
      1, MIRVOL_WARN "NMP%d failed to allocate local_wrt_queue, retrying.\n", (int)nmp->minor);
  if (!node) return -1;
  node->bio = bio;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->wrt_queue_lock, flags);
  wrt_append(wrt_bucket(nmp, sector), node);
  spin_unlock_irqrestore(&nmp->nmp_variable->wrt_queue_lock, flags);
  return 0;
}

// Each completing write removes its own node: two writes to one start
// sector may complete in either order, and a node left behind would point
// at an upper bio that has ended.
int del_write_request_queue(struct nmp_info *nmp, sector_t sector, struct bio *bio) {
  unsigned long flags;
  struct wrt_queue_head *h = wrt_bucket(nmp, sector);
  struct wrt_queue *node;
  spin_lock_irqsave(&nmp->nmp_variable->wrt_queue_lock, flags);
  for (node = h->head; node; node = node->next)
    if (node->bio == bio) break;
  if (node) wrt_unlink(h, node);
  spin_unlock_irqrestore(&nmp->nmp_variable->wrt_queue_lock, flags);
  if (!node) {
    mirvol_printk(MIRVOL_WARN "NMP%d sector %llu not found. (del_write_request_queue)\n", 164,
                  nmp->minor, (unsigned long long)sector);
    return 0;
  }
  kfree(node);
  return 0;
}

// Only writes that were in the table when a recovery set the cursor are
// found: the walk goes from the cursor towards the head. Called under the
// write-table spinlock.
struct wrt_queue *search_wrt_queue(struct nmp_info *nmp, sector_t sector) {
  for (struct wrt_queue *node = wrt_bucket(nmp, sector)->cursor; node; node = node->prev)
    if (node->bio->bi_iter.bi_sector == sector) return node;
  return nullptr;
}

// The first write that was in the table when a recovery set the cursors
// and whose range overlaps [first, last], wherever it starts. Called under
// the write-table spinlock.
struct wrt_queue *search_wrt_queue_range(struct nmp_info *nmp, sector_t first, sector_t last) {
  for (int i = 0; i < MIRVOL_WRT_QUEUE_NUM; i++)
    for (struct wrt_queue *node = nmp->wrt_queue[i].cursor; node; node = node->prev) {
      u64 start = node->bio->bi_iter.bi_sector;
      u64 sectors = node->bio->bi_iter.bi_size / 512;
      if (sectors && start <= last && start + sectors - 1 >= first) return node;
    }
  return nullptr;
}

// A write that waits for a recovery window takes its own node out of the
// range the recovery waits on, so the recovery does not wait for it. It
// acts on its own node only: another write to the same sector may still be
// in flight, and the recovery must go on waiting for that one.
struct wrt_queue *del_wrt_queue(struct nmp_info *nmp, struct bio *bio) {
  unsigned long flags;
  struct wrt_queue_head *h = wrt_bucket(nmp, bio->bi_iter.bi_sector);
  struct wrt_queue *found = nullptr;
  spin_lock_irqsave(&nmp->nmp_variable->wrt_queue_lock, flags);
  if (h->cursor && h->cursor->bio == bio) {
    found = h->cursor;
    h->cursor = found->prev;
  } else {
    for (struct wrt_queue *node = h->cursor; node; node = node->prev)
      if (node->bio == bio) {
        found = node;
        wrt_unlink(h, node);
        wrt_append(h, node);
        break;
      }
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->wrt_queue_lock, flags);
  return found;
}

// --- the request queue (under the request-queue spinlock) ---

static void req_unlink(struct nmp_info *nmp, struct io_request *req) {
  mirvol_fifo_unlink(&nmp->request_queue_head, &nmp->request_queue_tail,
                     &nmp->request_queue_cursor, req);
  nmp->request_queue_cnt--;
}

u64 mirvol_add_req_queue(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  // Id 0 means "never queued" to the completion (no ACK2 would be sent):
  // on minor 0 the sequence value 0 is skipped.
  u64 id = ((u64)nmp->minor << 24) | (nmp->request_seq & 0xffffff);
  if (id == 0) {
    nmp->request_seq++;
    id = ((u64)nmp->minor << 24) | (nmp->request_seq & 0xffffff);
  }
  nmp->request_seq++;
  req->request_id = id;
  req->enqueue_time = mirvol_jiffies();
  mirvol_fifo_append(&nmp->request_queue_head, &nmp->request_queue_tail, req);
  nmp->request_queue_cnt++;
  // Counted once here and subtracted as stored, whatever the sender
  // later sets in the request.
  req->queued_bytes = req->sector_count * 512;
  mirvol_perf_cnt_send_req_cnt(nmp);
  mirvol_perf_cnt_send_req_byte(nmp, req, 1);
  setup_timer(&req->sys_var->timer, ack_timeout, (unsigned long)id);
  req->sys_var->timer.expires = (unsigned long)(mirvol_jiffies() + (u64)READ_ONCE(nmp->ack_timeout) * HZ);
  if (nmp->mode == 1) add_timer(&req->sys_var->timer);
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return id;
}

struct io_request *mirvol_del_req_queue(struct nmp_info *nmp, u64 request_id) {
  unsigned long flags;
  struct io_request *req;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (req = nmp->request_queue_head; req; req = req->next)
    if (req->request_id == request_id) break;
  if (req) {
    req_unlink(nmp, req);
    mirvol_perf_cnt_send_req_byte(nmp, req, 0);
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  // The ACK1 timer's function takes the request-queue lock: the timer is
  // stopped after the lock is released (the request is off the queue, so a
  // time-out that fires meanwhile finds nothing).
  if (req) {
    if (req->sys_var)
      del_timer_sync(&req->sys_var->timer);
    else
      mirvol_printk(MIRVOL_INFO "NMP%d request_queue->sys_var is null. (mirvol_del_req_queue)\n",
                    163, nmp->minor);
  }
  return req;
}

// --- freeing a request ---

static bool req_on_request_queue(struct nmp_info *nmp, struct io_request *req) {
  return req->next || req->prev || nmp->request_queue_head == req;
}

void mirvol_free_request(struct io_request *req) {
  struct nmp_info *nmp = req->nmp;
  // A finished request must be off the send queue with its ACK1 timer
  // stopped: its timer would fire on freed memory, the queue would point
  // into it.
  if (nmp && nmp->nmp_variable) {
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    if (req_on_request_queue(nmp, req)) {
      req_unlink(nmp, req);
      spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
      mirvol_printk(MIRVOL_WARN "NMP%d request %#llx freed while queued. (mirvol_free_request)\n",
                    163, nmp->minor, (unsigned long long)req->request_id);
    } else {
      spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    }
  }
  if (req->sys_var) del_timer_sync(&req->sys_var->timer);

  mirvol_kfree(&req->segment_sizes);
  mirvol_kfree(&req->segment_offsets);
  while (req->buff_list) {
    struct buff_list *next = req->buff_list->next;
    if (req->buff_list->page) __free_page(req->buff_list->page);
    kfree(req->buff_list);
    req->buff_list = next;
  }
  mirvol_drop_clone(req);
  mirvol_kfree(&req->dcq);
  mirvol_kfree(&req->wbq);
  mirvol_kfree(&req->a2q);
  mirvol_kfree(&req->buffer1);
  mirvol_kfree(&req->buffer2);
  for (int i = 0; i < 3; i++) loop_free_buffer_head(req->cp_bio[i]);
  mirvol_kfree(&req->sys_var);
  kfree(req);
}

// --- completion ---

void __mirvol_end_make_request(struct bio *clone, unsigned int bytes, int error) {
  struct io_request *req = static_cast<struct io_request *>(clone->bi_private);
  struct nmp_info *nmp = req->nmp;
  if (req->write) del_write_request_queue(nmp, req->start_sector, req->upper_bio);
  if (error != 0 && error != -EOPNOTSUPP && error != -EAGAIN) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_rw=%d, bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__mirvol_end_make_request)\n",
                  160, nmp->minor, error, (int)clone->bi_opf, (unsigned int)clone->bi_flags,
                  (unsigned long long)clone->bi_iter.bi_sector, (int)clone->bi_iter.bi_size);
    dump_stack();
    if (req->write) {
      unsigned long flags;
      spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
      nmp->dp_error = 1;
      spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
      wake_up(&g_disk_error_wq);
    }
  }
  req->completed_bytes = bytes;
  // Read atomically by the statistics of a request given up while its
  // local write may still be running.
  WRITE_ONCE(req->error, error);
  mirvol_end_req(req, REQ_LOCAL_DONE);
}

// Kernels from 4.3 hand the completion only the bio; its status is the error.
void __mirvol_end_make_request_4_3_0(struct bio *clone) {
  unsigned int bytes = clone->bi_iter.bi_size;
  __mirvol_end_make_request(clone, bytes, blk_status_to_errno(clone->bi_status));
}

static void mirvol_end_upper(struct io_request *req) {
  mirvol_perf_cnt_nmp_io(req);
  mirvol_end_bio(req->upper_bio, req->error);
}

static bool mirvol_req_being_sent(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  bool sending = smp_load_acquire(&req->send_state) == SEND_STATE_SENDING;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return sending;
}

// The send-data thread owns a request being sent (state 2); a caller about
// to settle it waits until the thread lets go, or the request is given up
// for the bitmap. The state is read under the request-queue lock, under
// which the sender stores it as its last access to the request.
// Yielding here is safe in any context mirvol_end_req runs in (completion,
// receiver or control task): the caller holds no lock while it waits, and
// the sender in state 2 waits for nothing the caller holds, only for its
// socket calls, each bounded by send_timeout, so the wait ends within one
// send. It yields the processor without sleeping, as completion context
// allows.
static void mirvol_wait_sender_release(struct nmp_info *nmp, struct io_request *req) {
  while (mirvol_req_being_sent(nmp, req) && !smp_load_acquire(&req->needs_bitmap))
    cond_resched();
}

// A request's range goes to the bitmap when it was not mirrored or its
// local I/O failed.
static bool mirvol_req_needs_bitmap(struct io_request *req) {
  return smp_load_acquire(&req->needs_bitmap) || req->error;
}

// Hands the range over unless it already was (its wbq node is gone).
static void mirvol_req_to_bitmap(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&req->wbq_lock, flags);
  bool handed = !req->wbq;
  spin_unlock_irqrestore(&req->wbq_lock, flags);
  if (!handed) add_write_bitmap_queue2(nmp, req);
}

// Ends the upper bio. A range that is due for the bitmap is queued first,
// so that whoever sees the write completed (an fsync) finds the range
// pending for the bitmap writer.
static void mirvol_end_upper_io(struct nmp_info *nmp, struct io_request *req) {
  if (mirvol_req_needs_bitmap(req)) mirvol_req_to_bitmap(nmp, req);
  mirvol_end_upper(req);
  if (req->write) mirvol_dec_make_request_cnt(nmp);
}

void mirvol_end_req(struct io_request *req, u64 bits) {
  struct nmp_info *nmp = req->nmp;
  unsigned long flags;

  if ((bits & REQ_LOCAL_DONE) && !req->error) mirvol_perf_cnt_active_io(req, bits);

  if (nmp->mode == 0) {
    if (bits == REQ_LOCAL_DONE) {
      // Asynchronous mode: the upper I/O ends with the local I/O; the copy
      // of the data waits in the send queue.
      mirvol_end_upper_io(nmp, req);
      smp_store_release(&req->async_local_done, 1);
      wake_up(&nmp->nmp_variable->nmp_send_data_wq);
      if (req->write) mirvol_drop_clone(req);
    } else {
      mirvol_wait_sender_release(nmp, req);
    }
  }

  spin_lock_irqsave(&req->sys_var->lock, flags);
  u64 before = req->completion;
  req->completion |= bits;
  u64 now = req->completion;
  spin_unlock_irqrestore(&req->sys_var->lock, flags);
  // Exactly one caller finishes the request: the one that completed it.
  if (now != REQ_FINISHED || before == REQ_FINISHED) return;

  if (!smp_load_acquire(&req->async_local_done)) mirvol_end_upper_io(nmp, req);

  if (mirvol_req_needs_bitmap(req)) {
    mirvol_req_to_bitmap(nmp, req);
  } else if (req->write && req->request_id) {
    // A head-layout record with the start sector and the id, big-endian.
    u8 head[56] = {};
    u64 sector_be = cpu_to_be64(req->start_sector);
    u64 id_be = cpu_to_be64(req->request_id);
    memcpy(head + 8, &sector_be, 8);
    memcpy(head + 24, &id_be, 8);
    mirvol_add_send_ack2_queue(head, req);
  }
  mirvol_free_request(req);
}

// --- the make-request entry ---

static bool overlaps_recovery_window(struct nmp_info *nmp, u64 start, u64 end) {
  if (!nmp->recovery_lock_flag) return false;
  u64 first = nmp->recovery_first_sector, last = nmp->recovery_last_sector;
  return (start >= first && start <= last) || (end >= first && end <= last) ||
         (start <= first && end >= last);
}

// Waits while a running recovery holds a lock on sectors of this write.
static void mirvol_wait_recovery_window(struct nmp_info *nmp, struct bio *bio, u64 start,
                                        u32 sectors) {
  unsigned long flags;
  u64 end = start + sectors - 1;
  spin_lock_irqsave(&nmp->nmp_variable->recovery_lock, flags);
  while (overlaps_recovery_window(nmp, start, end)) {
    spin_unlock_irqrestore(&nmp->nmp_variable->recovery_lock, flags);
    del_wrt_queue(nmp, bio);
    sleep_on_timeout(&nmp->nmp_variable->nmp_wq, HZ);
    spin_lock_irqsave(&nmp->nmp_variable->recovery_lock, flags);
    mirvol_perf_cnt_sync_wait_recovery(nmp, 1000);
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->recovery_lock, flags);
}

// Value 8 of the sync switch flags follows the last-update time. Set and
// cleared under the device spinlock, which the sync-switch command takes
// too, so neither undoes the other.
u32 mirvol_refresh_sync_switch(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  if (nmp->last_update_time)
    nmp->sync_switch_flags |= 8;
  else
    nmp->sync_switch_flags &= ~8u;
  u32 v = nmp->sync_switch_flags;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return v;
}

// Ends an upper bio refused before it became a request.
static void mirvol_refuse(struct nmp_info *nmp, struct io_request *req, struct bio *bio, int write,
                          int error) {
  if (req) mirvol_free_request(req);
  if (write) mirvol_dec_make_request_cnt(nmp);
  mirvol_end_bio(bio, error);
}

void mirvol_make_request(struct request_queue *q, struct bio *bio) {
  (void)q;
  u32 dev = bio->bi_bdev->bd_dev;
  u32 minor = dev & 0xfffff;
  struct nmp_info *nmp = mirvol_get_nmp_info(dev);
  if (!nmp) {
    // One-shot: concurrent requests for a missing device log the hints once.
    if (atomic_xchg(&g_disp_udev_msg, 0) == 1) {
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, (int)minor,
                    "mirvol_make_request");
      mirvol_printk(MIRVOL_INFO
                    "- This message can be recorded on udev environment when mirvol is "
                    "initializing NMPx.\n",
                    141);
      mirvol_printk(MIRVOL_INFO
                    "- Ignore this and following messages 'Buffer I/O error on device NMPx' on "
                    "udev environment.\n",
                    141);
    }
    mirvol_end_bio(bio, -EIO);
    return;
  }
  atomic_set(&g_disp_udev_msg, 1);

  unsigned long port_flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, port_flags);
  u32 io_port = nmp->io_port, mount_port = nmp->mount_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, port_flags);
  if (!io_port) {
    mirvol_printk(MIRVOL_WARN "NMP%d I/O port has been closed, mount(%d), io(%d). (PID=%d)\n", 144,
                  nmp->minor, (int)mount_port, 0, task_pid_nr(get_current()));
    if (atomic_xchg(&g_disp_ioport_msg, 0)) {
      mirvol_printk(MIRVOL_INFO
                    "- This message can be recorded on hotplug service starting when NMPx is not "
                    "active.\n",
                    144);
      mirvol_printk(MIRVOL_INFO
                    "- This message can be recorded by fsck command when NMPx becomes active.\n",
                    144);
      mirvol_printk(MIRVOL_INFO
                    "- Ignore this and following messages 'Buffer I/O error on device NMPx' on "
                    "such environment.\n",
                    144);
    }
    mirvol_end_bio(bio, -EIO);
    return;
  }

  u64 size = smp_load_acquire(&my_disk[minor]);  // set-size may change it meanwhile
  u64 n = bio->bi_iter.bi_size / 512;
  if (n > size || bio->bi_iter.bi_sector > size - n) {
    mirvol_printk(MIRVOL_WARN "NMP%d requested sector is out of NMP area. (mirvol_make_request)\n",
                  165, nmp->minor);
    mirvol_end_bio(bio, -EIO);
    return;
  }

  int write = bio_data_dir(bio) == WRITE;
  if (write) mirvol_throttle(nmp);

  struct io_request *req = mirvol_allocate_request();
  if (!req) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate I/O request.\n", 145, nmp->minor);
    mirvol_refuse(nmp, nullptr, bio, write, -EIO);
    return;
  }
  if (write && !bio->bi_vcnt) {
    if (g_driver_adj.barrier_log_level > 1)
      mirvol_printk(MIRVOL_INFO "Perf[BARRIER   ]:NMP%d received bio with no data.\n", 294,
                    nmp->minor);
    mirvol_refuse(nmp, req, bio, write, -EOPNOTSUPP);
    return;
  }
  struct bio *clone = mirvol_clone_bio(nmp, bio);
  if (!clone) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate local_bio.\n", 145, nmp->minor);
    mirvol_refuse(nmp, req, bio, write, -EIO);
    return;
  }

  clone->bi_private = req;
  req->upper_bio = bio;
  req->clone = clone;
  req->nmp = nmp;
  req->write = (u32)write;
  req->start_sector = bio->bi_iter.bi_sector;
  req->sector_count = (u32)n;
  req->segment_count = (u16)clone->bi_vcnt;

  if (!write) {
    mirvol_end_req(req, REQ_READ_START);
    submit_bio(clone);
    return;
  }

  if (add_wrt_queue2(nmp, bio, req->start_sector)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate wrt_queue.\n", 145, nmp->minor);
    mirvol_refuse(nmp, req, bio, write, -EIO);
    return;
  }
  mirvol_wait_recovery_window(nmp, bio, req->start_sector, req->sector_count);
  if (g_mirvol_shutdown) {
    del_write_request_queue(nmp, req->start_sector, bio);
    mirvol_refuse(nmp, req, bio, write, -EIO);
    return;
  }

  u32 sync_switch = mirvol_refresh_sync_switch(nmp);
  if ((sync_switch >= 1 && sync_switch <= 255) || !mirvol_nw_port(nmp)) {
    smp_store_release(&req->needs_bitmap, 1);
    mirvol_end_req(req, REQ_REMOTE_DONE);
    mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
    submit_bio(clone);
    return;
  }

  int sent;
  if (nmp->mode == 1) {
    sent = mirvol_send_data(nmp, clone, req);
  } else {
    mirvol_set_bio_noidle(clone);
    sent = mirvol_send_data2(nmp, clone, req);
  }
  if (sent <= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to send %s data (sector=%llu length=%u).\n", 212,
                  nmp->minor, nmp->mode == 1 ? "sync" : "async",
                  (unsigned long long)req->start_sector, (unsigned int)clone->bi_iter.bi_size);
    smp_store_release(&req->needs_bitmap, 1);
    mirvol_close_com_port(nmp);
    mirvol_end_req(req, REQ_REMOTE_DONE);
    mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
    mirvol_do_all_request_ack1_timeout_asap(nmp);
  }
  submit_bio(clone);
}
