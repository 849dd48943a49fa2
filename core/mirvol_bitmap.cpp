// The queues that feed the difference bitmap and the module-wide threads
// that serve them: the local bitmap writer, the remote bitmap writer (the
// received writes whose ACK2 did not come), and the disconnection thread
// (ACK1 time-outs). Also the recovery preparation (command 60), which
// drains them all.
//
// Nothing in the request path sets bits itself: it queues a range or an
// id, and these threads mark the bitmap through its cache, so a slow
// Cluster Partition never holds up I/O.

#include "include/mirvol_perf.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_history.h"
#include "include/mirvol_main.h"
#include "include/mirvol_port.h"

// Ranges whose marking failed, kept for the next drain of the local
// writer. Guarded by g_wrbmp's lock; a kept range still counts as pending
// in g_wrbmp.cnt until it is marked.
static struct wbq *g_wrbmp_retry_head, *g_wrbmp_retry_tail;
// Event 133 is logged once per load.
static int g_wait_disconnection_logged;
// Woken each time a range of the local queue has been marked, for those
// who wait until a device has no range pending (an fsync).
static wait_queue_head_t g_wrbmp_marked_wq;

void mirvol_bitmap_writer_init(void) {
  g_bmp_chk_interval = 0;
  g_wait_disconnection_logged = 0;
  g_wrbmp_retry_head = g_wrbmp_retry_tail = nullptr;
  init_waitqueue_head(&g_wrbmp_marked_wq, "g_wrbmp_marked_wq");
  mirvol_wait_ack2_walk_init();
  mirvol_perf_proc_dir_init();
}

static void mirvol_set_prep_changed(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  if (nmp->recovery_prep_state == 1) nmp->recovery_prep_state = 2;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);
}

// --- the local bitmap queue ---

// Caller holds g_wrbmp's lock.
static void mirvol_wrbmp_count(struct nmp_info *nmp, int delta) {
  int index = mirvol_get_index_from_minor((int)nmp->minor);
  if (index >= 0) g_wrbmp.cnt[index] += delta;
}

static int mirvol_wrbmp_pending(struct nmp_info *nmp) {
  int index = mirvol_get_index_from_minor((int)nmp->minor);
  if (index < 0) return 0;
  unsigned long flags;
  spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
  int n = g_wrbmp.cnt[index];
  spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
  return n;
}

static void mirvol_add_write_bitmap_queue_main(struct wbq *node) {
  unsigned long flags;
  spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
  mirvol_fifo_append(&g_wrbmp.head, &g_wrbmp.tail, node);
  mirvol_wrbmp_count(node->nmp, 1);
  spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
  wake_up(&g_wrbmp.sys_var->wq);
}

int add_write_bitmap_queue2(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  u64 first = req->start_sector;
  u64 last = first + req->sector_count - 1;

  mirvol_set_prep_changed(nmp);

  spin_lock_irqsave(&req->wbq_lock, flags);
  struct wbq *node = req->wbq;
  req->wbq = nullptr;
  spin_unlock_irqrestore(&req->wbq_lock, flags);
  if (!node) {
    mirvol_printk(MIRVOL_INFO "NMP%d request_queue->wbq is null. (add_write_bitmap_queue2)\n", 166,
                  nmp->minor);
    return -ENOMEM;
  }
  memset(node, 0, sizeof(*node));
  node->first_sector = first;
  node->last_sector = last;
  node->nmp = nmp;
  mirvol_add_write_bitmap_queue_main(node);
  return 1;
}

// Marks the bit of every granule of first..last. The range is cut at the
// device's last sector (a range from the peer is not otherwise checked).
// False when a bit could not be set; *first is then the sector from which
// the range is still to be marked.
static bool mirvol_mark_range(struct nmp_info *nmp, u64 *first, u64 last) {
  s32 g = (s32)READ_ONCE(nmp->bmp_size_in_sec);
  if (g <= 0) {
    // Logs the granule as invalid and marks nothing; a retry would not help.
    mirvol_write_bitmap_from_secnr(*first, nmp);
    return true;
  }
  u64 sectors = nmp->dp_bdev ? mirvol_get_blk_size(nmp->dp_bdev) : 0;
  if (sectors && last > sectors - 1) last = sectors - 1;
  if (last < *first) return true;
  u64 step = (u64)g;
  for (u64 s = *first - *first % step;; s += step) {
    if (mirvol_write_bitmap_from_secnr(s, nmp) < 0) {
      *first = s;
      return false;
    }
    if (last - s < step) break;
  }
  return true;
}

// Caller holds g_wrbmp's lock.
static void mirvol_keep_for_retry(struct wbq *node) {
  node->next = nullptr;
  node->prev = g_wrbmp_retry_tail;
  if (g_wrbmp_retry_tail)
    g_wrbmp_retry_tail->next = node;
  else
    g_wrbmp_retry_head = node;
  g_wrbmp_retry_tail = node;
}

// Marks one queued range; a range that could not be marked whole is kept
// (from where it failed) for the next drain and stays pending.
static void mirvol_mark_node(struct sys_var *var, struct wbq *node) {
  u64 first = node->first_sector;
  bool done = mirvol_mark_range(node->nmp, &first, node->last_sector);
  unsigned long flags;
  spin_lock_irqsave(&var->lock, flags);
  if (done) {
    mirvol_wrbmp_count(node->nmp, -1);
  } else {
    node->first_sector = first;
    mirvol_keep_for_retry(node);
  }
  spin_unlock_irqrestore(&var->lock, flags);
  if (done) {
    kfree(node);
    wake_up(&g_wrbmp_marked_wq);
  }
}

// Marks every queued range and every range kept for a retry; no flush.
static void mirvol_drain_local_queue(struct sys_var *var) {
  unsigned long flags;
  // The ranges kept by an earlier drain are tried first, once each.
  spin_lock_irqsave(&var->lock, flags);
  struct wbq *retry = g_wrbmp_retry_head;
  g_wrbmp_retry_head = g_wrbmp_retry_tail = nullptr;
  spin_unlock_irqrestore(&var->lock, flags);
  while (retry) {
    struct wbq *next = retry->next;
    mirvol_mark_node(var, retry);
    retry = next;
  }
  for (;;) {
    cond_resched();
    spin_lock_irqsave(&var->lock, flags);
    struct wbq *node = g_wrbmp.head;
    if (!node) {
      spin_unlock_irqrestore(&var->lock, flags);
      break;
    }
    g_wrbmp.head = node->next;
    if (g_wrbmp.head)
      g_wrbmp.head->prev = nullptr;
    else
      g_wrbmp.tail = nullptr;
    spin_unlock_irqrestore(&var->lock, flags);
    mirvol_mark_node(var, node);
  }
}

int mirvol_write_local_bitmap_main(struct sys_var *var) {
  mirvol_drain_local_queue(var);
  return flush_bitmap_cache();
}

int mirvol_sync_bitmap(struct nmp_info *nmp, long timeout) {
  if (!g_wrbmp.sys_var) return -EIO;
  // A device record without a Cluster Partition keeps no bitmap that an
  // fsync could make durable.
  if (!nmp->cp_bdev) return 0;
  u64 deadline = mirvol_jiffies() + (u64)(timeout > 0 ? timeout : 0);
  // The caller marks what is queued itself (the writer thread may be
  // asleep, or not started); ranges the writer has taken are waited for.
  for (;;) {
    mirvol_drain_local_queue(g_wrbmp.sys_var);
    if (mirvol_wrbmp_pending(nmp) <= 0) break;
    u64 now = mirvol_jiffies();
    if (now >= deadline) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to write pending bitmap ranges in time.\n", 161,
                    nmp->minor);
      return -EIO;
    }
    long left = (long)(deadline - now);
    wait_event_timeout(g_wrbmp_marked_wq, mirvol_wrbmp_pending(nmp) <= 0, left < HZ ? left : HZ);
  }
  if (flush_bitmap_cache_of(nmp)) return -EIO;
  int r = blkdev_issue_flush(nmp->cp_bdev);
  return r == -EOPNOTSUPP ? 0 : r;
}

int mirvol_sync_bitmap_of_disk(u32 dev, long timeout) {
  struct nmp_info *nmp = mirvol_get_nmp_info(dev);
  return nmp ? mirvol_sync_bitmap(nmp, timeout) : 0;
}

// A range of the remote writer that could not be marked joins the local
// writer's retries.
static void mirvol_mark_remote_range(struct nmp_info *nmp, u64 first, u64 last) {
  if (mirvol_mark_range(nmp, &first, last)) return;
  struct wbq *node = static_cast<struct wbq *>(mirvol_kmalloc(sizeof(struct wbq)));
  if (!node) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate wbq, sectors %llu to %llu not marked.\n",
                  145, nmp->minor, (unsigned long long)first, (unsigned long long)last);
    return;
  }
  memset(node, 0, sizeof(*node));
  node->first_sector = first;
  node->last_sector = last;
  node->nmp = nmp;
  unsigned long flags;
  spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
  mirvol_keep_for_retry(node);
  mirvol_wrbmp_count(nmp, 1);
  spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
}

// --- the wait-ACK2 walks ---

static u64 mirvol_request_id_bound(void) { return (u64)(((u32)g_max_minor + 1) << 24); }

// Marks and removes the entries that have expired (or, with `all`, every
// entry). The queue's lock is dropped while an entry is marked; the removal
// by id decides whether it is marked, so an ACK2 that takes the entry away
// meanwhile wins, and the cursor (kept right by the removal) says where the
// walk goes on. The walk mutex keeps other walkers off the cursor.
static void mirvol_wait_ack2_walk(bool all) {
  mirvol_wait_ack2_walk_lock();
  unsigned long flags;
  spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
  struct wait_ack2_queue *e = g_wait_ack2_queue_head.head;
  for (;;) {
    u64 now = mirvol_jiffies();
    while (e && !all && !((now - e->queued) / HZ > (u64)e->ack_timeout)) e = e->next;
    if (!e) break;
    g_wait_ack2_queue_head.cursor = e->next;
    u64 id = e->request_id, first = e->first_sector, last = e->last_sector;
    s32 minor = e->minor;
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);

    if (!all && id > mirvol_request_id_bound())
      mirvol_printk(MIRVOL_WARN
                    "request_id(%#lx) is too big. (mirvol_remote_bitmap_write_normal)\n",
                    172, (unsigned long)id);
    if (mirvol_del_wait_ack2_queue(id) == 0) {
      struct nmp_info *nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, (u32)minor));
      if (nmp) mirvol_mark_remote_range(nmp, first, last);
    }
    cond_resched();
    spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
    e = g_wait_ack2_queue_head.cursor;
  }
  g_wait_ack2_queue_head.cursor = nullptr;
  spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
  mirvol_wait_ack2_walk_unlock();
}

void mirvol_remote_bitmap_write_normal(void) { mirvol_wait_ack2_walk(false); }
void mirvol_remote_bitmap_write_reboot(void) { mirvol_wait_ack2_walk(true); }

// --- ACK1 time-outs ---

void mirvol_add_dcp_queue(struct dcq *node, int wake) {
  unsigned long flags;
  node->next = nullptr;
  spin_lock_irqsave(&g_dcq_head.sys->lock, flags);
  if (g_dcq_head.tail)
    g_dcq_head.tail->next = node;
  else
    g_dcq_head.head = node;
  g_dcq_head.tail = node;
  spin_unlock_irqrestore(&g_dcq_head.sys->lock, flags);
  if (wake) wake_up(&g_dcq_head.sys->wq);
}

static struct dcq *mirvol_dcq_take(void) {
  unsigned long flags;
  spin_lock_irqsave(&g_dcq_head.sys->lock, flags);
  struct dcq *node = g_dcq_head.head;
  if (node) {
    g_dcq_head.head = node->next;
    if (!g_dcq_head.head) g_dcq_head.tail = nullptr;
    node->next = nullptr;
  }
  spin_unlock_irqrestore(&g_dcq_head.sys->lock, flags);
  return node;
}

static int mirvol_dcq_count(void) {
  unsigned long flags;
  int n = 0;
  spin_lock_irqsave(&g_dcq_head.sys->lock, flags);
  for (struct dcq *d = g_dcq_head.head; d; d = d->next) n++;
  spin_unlock_irqrestore(&g_dcq_head.sys->lock, flags);
  return n;
}

// Caller holds the device's request-queue lock.
static struct io_request *mirvol_find_request(struct nmp_info *nmp, u64 id) {
  for (struct io_request *req = nmp->request_queue_head; req; req = req->next)
    if (req->request_id == id) return req;
  return nullptr;
}

static struct nmp_info *mirvol_nmp_of_request(u64 id) {
  return mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, (u32)(id >> 24)));
}

// Gives a request up: out of the send queue (which stops its ACK1 timer),
// its range to the bitmap, done remotely without ACK2, the last-update and
// mirror-break times written.
static void mirvol_give_up_request(struct nmp_info *nmp, u64 id) {
  struct io_request *req = mirvol_del_req_queue(nmp, id);
  if (!req) return;
  // Off the queue now, so no sender can take it any more; one that holds it
  // already (state 2) reads its file back and deletes it itself.
  if (smp_load_acquire(&req->send_state) != SEND_STATE_SENDING &&
      req->history_file) {
    req->history_file = 0;
    mirvol_delete_history_file(req);
  }
  add_write_bitmap_queue2(nmp, req);
  req->request_id = 0;
  mirvol_end_req(req, REQ_REMOTE_DONE);
  mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
}

void ack_timeout(unsigned long request_id) {
  u64 id = request_id;
  struct nmp_info *nmp = mirvol_nmp_of_request(id);
  if (!nmp) {
    mirvol_printk(MIRVOL_ERR
                  "request_id(%#lx) ACK1 timeout, but its NMP%d not found. (ack_timeout)\n",
                  175, (unsigned long)id, (int)(id >> 24));
    return;
  }
  int shutdown = smp_load_acquire(&g_mirvol_shutdown);
  if (!shutdown) mirvol_set_prep_changed(nmp);

  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  struct io_request *req = mirvol_find_request(nmp, id);
  struct dcq *node = req ? req->dcq : nullptr;
  if (!node) {
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    return;
  }
  req->dcq = nullptr;
  node->request_id = id;
  node->next = nullptr;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);

  mirvol_printk(MIRVOL_INFO "NMP%d ACK1 timeout.\n", 151, nmp->minor);
  mirvol_perf_cnt_dcpq(nmp, 1);
  if (!shutdown) {
    mirvol_add_dcp_queue(node, 1);
  } else {
    // The disconnection thread has stopped, and giving the request up
    // sleeps (the time records are written): the local writer does it, or
    // unload after it.
    mirvol_add_dcp_queue(node, 0);
    wake_up(&g_wrbmp.sys_var->wq);
  }
}

// Serves the ACK1 time-outs queued when the pass begins. With
// `keep_sending` a request that is being sent keeps its node, queued again
// for the next pass, until the send has finished.
static void mirvol_dcq_pass(bool keep_sending) {
  for (int n = mirvol_dcq_count(); n > 0; n--) {
    cond_resched();
    struct dcq *node = mirvol_dcq_take();
    if (!node) break;
    u64 id = node->request_id;
    struct nmp_info *nmp = mirvol_nmp_of_request(id);
    if (!nmp) {
      mirvol_printk(MIRVOL_ERR
                    "request_id(%#lx) ACK1 timeout, but its NMP%d not found. "
                    "(timer_disconnection_thread)\n",
                    175, (unsigned long)id, (int)(id >> 24));
      kfree(node);
      continue;
    }
    mirvol_perf_cnt_dcpq(nmp, 0);
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    struct io_request *req = mirvol_find_request(nmp, id);
    bool sending = req && keep_sending &&
                   smp_load_acquire(&req->send_state) == SEND_STATE_SENDING;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (sending) {
      mirvol_add_dcp_queue(node, 0);
      mirvol_perf_cnt_dcpq(nmp, 1);
      continue;
    }
    kfree(node);
    if (req) mirvol_give_up_request(nmp, id);
  }
}

void mirvol_wait_request_queue_empty(struct nmp_info *nmp) {
  mirvol_perf_printk_nmp_req_to_be_freed(nmp);
  for (;;) {
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    struct io_request *req = nmp->request_queue_head;
    if (!req) {
      spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
      return;
    }
    if (smp_load_acquire(&req->send_state) == SEND_STATE_SENDING) req = req->next;
    if (!req) {
      spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
      schedule_timeout_uninterruptible(5);
      continue;
    }
    mirvol_fifo_unlink(&nmp->request_queue_head, &nmp->request_queue_tail,
                       &nmp->request_queue_cursor, req);
    nmp->request_queue_cnt--;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);

    mirvol_perf_cnt_send_req_byte(nmp, req, 0);
    if (req->history_file) {
      req->history_file = 0;
      mirvol_delete_history_file(req);
    }
    add_write_bitmap_queue2(nmp, req);
    // Out of the queue first, so a time-out that fires now finds nothing;
    // then the timer is stopped, waiting for such a callback.
    if (req->sys_var)
      mirvol_del_timer(&req->sys_var->timer);
    else
      mirvol_printk(MIRVOL_INFO
                    "NMP%d request_queue->sys_var is null. (mirvol_wait_request_queue_empty)\n",
                    163, nmp->minor);
    req->request_id = 0;
    mirvol_end_req(req, REQ_REMOTE_DONE);
    mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  }
}

// Unload: no sender runs any more. Every request still in the send queue
// has its ACK1 timer stopped (waiting for a callback that runs) and its
// range handed to the bitmap, with the mirror-break time written; the
// requests stay queued until their records are freed.
void mirvol_unload_request_queue(struct nmp_info *nmp) {
  bool handed = false;
  for (;;) {
    unsigned long flags, wflags;
    struct io_request *found = nullptr;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    for (struct io_request *req = nmp->request_queue_head; req && !found; req = req->next) {
      spin_lock_irqsave(&req->wbq_lock, wflags);
      if (req->wbq) found = req;
      spin_unlock_irqrestore(&req->wbq_lock, wflags);
    }
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (!found) break;
    if (found->sys_var) mirvol_del_timer(&found->sys_var->timer);
    add_write_bitmap_queue2(nmp, found);
    handed = true;
  }
  if (handed) mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
}

// --- the threads ---

// Something for the local writer now: a queued range, or (once the
// disconnection thread has stopped) an ACK1 time-out to give up. Kept
// ranges wait for the next pass.
static bool mirvol_local_writer_has_work(struct sys_var *var) {
  unsigned long flags;
  spin_lock_irqsave(&var->lock, flags);
  bool queued = g_wrbmp.head != nullptr;
  spin_unlock_irqrestore(&var->lock, flags);
  if (queued) return true;
  return smp_load_acquire(&g_mirvol_shutdown) && mirvol_dcq_count() > 0;
}

static void mirvol_local_writer_pass(struct sys_var *var) {
  // Once the disconnection thread has stopped, the ACK1 time-outs that
  // still come are given up here.
  if (smp_load_acquire(&g_mirvol_shutdown)) mirvol_dcq_pass(false);
  mirvol_write_local_bitmap_main(var);
}

int mirvol_local_bitmap_write_thread(void *arg) {
  (void)arg;
  allow_signal(SIGTERM);
  struct sys_var *var = g_wrbmp.sys_var;
  for (;;) {
    // The queue is looked at before the writer sleeps: a range queued
    // while it was marking is not left waiting for the time-out.
    wait_event_interruptible_timeout(var->wq, mirvol_local_writer_has_work(var), 5 * HZ);
    if (signal_pending(get_current())) break;
    mirvol_local_writer_pass(var);
  }
  mirvol_local_writer_pass(var);
  // The disconnection thread queues the send queues of the devices into
  // the bitmap as it stops: go on marking until it has.
  while (smp_load_acquire(&g_disconnection_thread.running)) {
    if (!g_wait_disconnection_logged) {
      g_wait_disconnection_logged = 1;
      mirvol_printk(MIRVOL_INFO
                    "mirvol_local_bitmap_write_thread is waiting for timer_disconnection_thread "
                    "terminated.\n",
                    133);
    }
    // Not interruptible: the stop signal stays pending.
    wait_event_timeout(var->wq, mirvol_local_writer_has_work(var), HZ);
    mirvol_local_writer_pass(var);
  }
  mirvol_local_writer_pass(var);
  mirvol_printk(MIRVOL_INFO "killing thread...........OK (mirvol_local_bitmap_write_thread)\n",
                132);
  smp_store_release(&g_local_bitmap_thread.running, 0);
  return 0;
}

int mirvol_remote_bitmap_write_thread(void *arg) {
  (void)arg;
  allow_signal(SIGTERM);
  for (;;) {
    int interval = READ_ONCE(g_bmp_chk_interval);
    if (interval <= 0) interval = 100;
    mirvol_interruptible_sleep_on_timeout(&g_remote_wrbmp_wq, (long)interval * HZ);
    if (signal_pending(get_current())) break;
    mirvol_remote_bitmap_write_normal();
    flush_bitmap_cache();
  }
  mirvol_remote_bitmap_write_reboot();
  flush_bitmap_cache();
  mirvol_printk(MIRVOL_INFO "killing thread...........OK (mirvol_remote_bitmap_write_thread)\n",
                132);
  smp_store_release(&g_remote_bitmap_thread.running, 0);
  return 0;
}

int timer_disconnection_thread(void *arg) {
  (void)arg;
  allow_signal(SIGTERM);
  for (;;) {
    mirvol_interruptible_sleep_on_timeout(&g_dcq_head.sys->wq, HZ);
    if (signal_pending(get_current())) break;
    mirvol_dcq_pass(true);
  }
  smp_store_release(&g_mirvol_shutdown, 1);
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    if (!mirvol_mount_port(nmp)) continue;
    mirvol_close_com_port(nmp);
    mirvol_printk(MIRVOL_INFO "NMP%d mirvol will shutdown, N/W port closed.\n", 140, nmp->minor);
    mirvol_wait_request_queue_empty(nmp);
  }
  mirvol_printk(MIRVOL_INFO "killing thread...........OK (timer_disconnection_thread)\n", 132);
  smp_store_release(&g_disconnection_thread.running, 0);
  return 0;
}

// --- recovery preparation (command 60) ---

void mirvol_wait_bitmap_queue(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  unsigned long flags;
  // Prepared from the start: a difference that arises while the queues
  // drain turns it into 2, so it is not lost.
  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  nmp->recovery_prep_state = 1;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);

  mirvol_remote_bitmap_write_reboot();
  int flushed = flush_bitmap_cache();

  int waits = 0;
  bool quiet_seen = false, drained = false;
  for (int cycle = 0; cycle < 11; cycle++) {
    while (mirvol_wrbmp_pending(nmp) > 0 && waits <= 120) {
      waits++;
      wake_up(&g_wrbmp.sys_var->wq);
      msleep(5000);
    }
    flushed = flush_bitmap_cache();
    if (mirvol_dcq_count() > 0) {
      msleep(2000);
      continue;
    }
    if (quiet_seen) {
      drained = true;
      break;
    }
    quiet_seen = true;
    msleep(2000);
  }

  u32 status;
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to prepare recovery data, because N/W port has been closed.\n",
                  156, nmp->minor);
    status = STATUS_PORT_CLOSED;
  } else if (!drained || waits > 119) {
    status = STATUS_TIMEOUT;
  } else if (flushed != 0) {
    // Bits marked but not on the Cluster Partition: a recovery would miss
    // their ranges.
    status = STATUS_FAILED;
  } else if (mirvol_wrbmp_pending(nmp) > 0) {
    // A range of the device still waits to be marked.
    status = STATUS_TIMEOUT;
  } else {
    status = STATUS_OK;
  }
  if (status != STATUS_OK) {
    spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
    nmp->recovery_prep_state = 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);
  }
  memcpy(rec, &status, sizeof(status));
}

// --- the stop drain (command 72) ---

u32 mirvol_wait_bitmap_queue_empty(struct nmp_info *nmp) {
  mirvol_remote_bitmap_write_reboot();
  flush_bitmap_cache();
  u32 result = STATUS_TIMEOUT;
  int marking_naps = 0, naps = 0;
  bool empty_seen = false;
  for (;;) {
    if (mirvol_get_index_from_minor((int)nmp->minor) < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, nmp->minor,
                    "mirvol_wait_bitmap_queue_empty");
      result = STATUS_NO_DEVICE;
      break;
    }
    // Up to 120 naps of 5 s in all, each ended early once the device's
    // ranges are marked.
    while (mirvol_wrbmp_pending(nmp) > 0 && marking_naps <= 120) {
      marking_naps++;
      wake_up(&g_wrbmp.sys_var->wq);
      wait_event_timeout(g_wrbmp_marked_wq, mirvol_wrbmp_pending(nmp) <= 0, 5 * HZ);
    }
    flush_bitmap_cache();
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    bool sends = nmp->request_queue_tail != nullptr;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (!sends && mirvol_dcq_count() == 0) {
      if (empty_seen) {
        result = STATUS_OK;
        break;
      }
      empty_seen = true;
    }
    if (++naps > 200) break;
    schedule_timeout_uninterruptible(HZ / 10);
  }
  if (marking_naps > 119) return STATUS_TIMEOUT;
  return result;
}

// --- unload ---

void mirvol_bitmap_writer_final_drain(void) {
  if (!g_wrbmp.sys_var || !g_dcq_head.sys || !g_wait_ack2_queue_head.lock) return;
  smp_store_release(&g_mirvol_shutdown, 1);
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp))
    if (nmp->nmp_variable) mirvol_unload_request_queue(nmp);
  mirvol_dcq_pass(false);
  mirvol_remote_bitmap_write_reboot();
  mirvol_write_local_bitmap_main(g_wrbmp.sys_var);
  // What still cannot be marked is lost with the module.
  while (g_wrbmp_retry_head) {
    struct wbq *next = g_wrbmp_retry_head->next;
    mirvol_printk(MIRVOL_ERR "NMP%d failed to write bitmap of sectors %llu to %llu.\n", 161,
                  g_wrbmp_retry_head->nmp->minor,
                  (unsigned long long)g_wrbmp_retry_head->first_sector,
                  (unsigned long long)g_wrbmp_retry_head->last_sector);
    kfree(g_wrbmp_retry_head);
    g_wrbmp_retry_head = next;
  }
  g_wrbmp_retry_tail = nullptr;
}
