// Recovery copy: command 10 copies a range of difference-bitmap bits from
// this server's data partition to the peer under the recovery lock window,
// part by part (raw or LZSS-compressed), and clears the bits on the peer's
// recovery ACK. Also the transfer table, the lock window, the in-flight
// write wait, and commands 14, 15, 30, 31 and 32.

#include "include/mirvol_perf.h"
#include "include/mirvol_recovery.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_compress.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_param.h"
#include "include/mirvol_port.h"
#include "include/mirvol_qos.h"
#include "include/mirvol_records.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

static void put_status(u8 *rec, u32 status) { mirvol_rec::rec_put_status(rec, status); }

static bool sigterm_pending(void) { return sigismember_pending(get_current(), SIGTERM) != 0; }

// --- the transfer table ---

u64 mirvol_add_new_trans_table(wait_queue_head_t *wq, struct nmp_info *nmp) {
  u64 id = 0;
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  for (int i = 0; i < MIRVOL_TRANS_TABLE_NUM; i++) {
    struct trans_table *e = &g_trans_table[i];
    if (e->in_use) continue;
    // 0 reads as "table full" to the copy: the counter skips it.
    if ((g_table_control.next_id & 0x7fffffff) == 0) g_table_control.next_id++;
    id = g_table_control.next_id & 0x7fffffff;
    g_table_control.next_id++;
    e->request_id = id;
    e->in_use = 1;
    e->ack_received = 0;
    e->wq = wq;
    e->status = 1;
    e->nmp = nmp;
    break;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return id;
}

static struct trans_table *find_locked(u64 request_id) {
  for (int i = 0; i < MIRVOL_TRANS_TABLE_NUM; i++) {
    struct trans_table *e = &g_trans_table[i];
    if (e->in_use == 1 && e->request_id == request_id) return e;
  }
  return nullptr;
}

struct trans_table *mirvol_find_trans_table(u64 request_id) {
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  struct trans_table *e = find_locked(request_id);
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return e;
}

void mirvol_del_trans_table(u64 request_id) {
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  struct trans_table *e = find_locked(request_id);
  if (e) {
    e->in_use = 0;
    e->ack_received = 0;
    e->wq = nullptr;
    e->nmp = nullptr;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  if (!e)
    mirvol_printk(MIRVOL_WARN
                  "request_id(%#lx) of ACK is not found in trans_table. (mirvol_del_trans_table)\n",
                  178, (unsigned long)request_id);
}

int mirvol_trans_table_status(u64 request_id) {
  int status = -1;
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  struct trans_table *e = find_locked(request_id);
  if (e && e->ack_received) status = (int)(e->status > 0x7fffffff ? 0x7fffffff : e->status);
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return status;
}

// The entry's status and whether it was cancelled (device cleared).
static bool entry_answer(u64 request_id, u32 *status, bool *cancelled, bool *gone) {
  bool answered = false;
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  struct trans_table *e = find_locked(request_id);
  *gone = !e;
  if (e && e->ack_received) {
    answered = true;
    *status = e->status;
    *cancelled = e->nmp == nullptr;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return answered;
}

// Stores status 5 unless a status has come meanwhile.
static void entry_shutdown(u64 request_id) {
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  struct trans_table *e = find_locked(request_id);
  if (e && !e->ack_received) {
    e->status = TRANS_STATUS_SHUTDOWN;
    e->ack_received = 1;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
}

// --- transfer records ---

u32 mirvol_recovery_io_sectors(struct nmp_info *nmp) {
  u32 kib = nmp->iosize;
  if (kib == 0 || kib >= 64) return 128;  // no unit given, or more than a part: one bio per part
  kib -= kib % 4;
  if (kib == 0) kib = 4;
  return kib * 2;
}

struct trans_request *mirvol_trans_request_allocate(struct nmp_info *nmp, u64 sectors, u64 first) {
  struct trans_request *req =
      static_cast<struct trans_request *>(mirvol_loop_kmalloc(sizeof(struct trans_request)));
  if (!req) return nullptr;
  memset(req, 0, sizeof(*req));
  u32 b = mirvol_recovery_io_sectors(nmp);
  req->expected = (sectors + b - 1) / b;
  req->first_sector = first;
  req->nmp = nmp;
  return req;
}

void mirvol_trans_request_free(struct trans_request *req) {
  if (!req) return;
  mirvol_kfree(&req->var);
  kfree(req);
}

void mirvol_set_buffer_error(struct trans_request *req, struct sys_var *var) {
  unsigned long flags;
  spin_lock_irqsave(&var->lock, flags);
  req->done++;
  req->error = 1;
  spin_unlock_irqrestore(&var->lock, flags);
}

// One finished bio of a transfer. The wake-up happens under the lock: the
// waiter frees the record as soon as it sees done = expected, which it can
// only see once this lock is released.
static void trans_request_bio_done(struct trans_request *req, bool failed) {
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  if (failed) req->error = 1;
  req->done++;
  if (req->done == req->expected) wake_up_interruptible(&req->var->wq);
  spin_unlock_irqrestore(&req->var->lock, flags);
}

static bool trans_request_finished(struct trans_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  bool finished = req->done >= req->expected;
  spin_unlock_irqrestore(&req->var->lock, flags);
  return finished;
}

void mirvol_trans_request_wait(struct trans_request *req, const char *what) {
  while (!trans_request_finished(req)) {
    if (sigterm_pending()) {
      unsigned long flags;
      spin_lock_irqsave(&req->var->lock, flags);
      unsigned long done = (unsigned long)req->done, expected = (unsigned long)req->expected;
      spin_unlock_irqrestore(&req->var->lock, flags);
      mirvol_printk(MIRVOL_INFO "NMP%d waiting for recovery data to be %s. (%lu/%lu)\n", 209,
                    (int)req->nmp->minor, what, done, expected);
      msleep(500);
    } else {
      interruptible_sleep_on_timeout(&req->var->wq, HZ);
    }
  }
}

// --- the lock window ---

int mirvol_build_lock_sec(struct nmp_info *nmp, u64 first, u64 last) {
  struct nmp_sys_variable *v = nmp->nmp_variable;
  int result;
  unsigned long wflags, rflags;
  spin_lock_irqsave(&v->wrt_queue_lock, wflags);
  // From here on the write-table search sees only the writes in flight now.
  for (int i = 0; i < MIRVOL_WRT_QUEUE_NUM; i++) nmp->wrt_queue[i].cursor = nmp->wrt_queue[i].tail;
  spin_lock_irqsave(&v->recovery_lock, rflags);
  if (nmp->recovery_lock_flag) {
    result = -1;
  } else {
    nmp->recovery_first_sector = first;
    nmp->recovery_last_sector = last;
    nmp->recovery_lock_flag = 1;
    result = 1;
  }
  spin_unlock_irqrestore(&v->recovery_lock, rflags);
  spin_unlock_irqrestore(&v->wrt_queue_lock, wflags);
  if (result < 0)
    mirvol_printk(MIRVOL_WARN "NMP%d current NMP has been already locked.\n", 206, (int)nmp->minor);
  return result;
}

void mirvol_build_unlock_sec(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->recovery_lock, flags);
  u32 was = nmp->recovery_lock_flag;
  nmp->recovery_lock_flag = 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->recovery_lock, flags);
  if (!was)
    mirvol_printk(MIRVOL_WARN "NMP%d current NMP has not been locked.\n", 207, (int)nmp->minor);
}

// Runs once for the whole window, right after it was locked and before the
// send semaphore is taken: a synchronous write in flight may itself be
// waiting for the send semaphore before its local write is submitted.
int wait_writetodisk(u64 first, u64 last, struct nmp_info *nmp) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq, "wait_writetodisk");
  for (int sleeps = 0;; sleeps++) {
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->wrt_queue_lock, flags);
    struct wrt_queue *node = search_wrt_queue_range(nmp, first, last);
    u64 sector = node ? node->bio->bi_iter.bi_sector : 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->wrt_queue_lock, flags);
    if (!node) {
      if (sleeps) mirvol_perf_cnt_recovery_wait_sync(nmp, (u32)sleeps * 100);
      return 0;
    }
    if (sleeps == MIRVOL_WRITETODISK_SLEEPS) {
      mirvol_perf_cnt_recovery_wait_sync(nmp, (u32)sleeps * 100);
      mirvol_printk(MIRVOL_WARN
                    "NMP%d waited for sync data (sector=%llu) written to disk completely, but "
                    "timeout.\n",
                    208, (int)nmp->minor, (unsigned long long)sector);
      return -1;
    }
    interruptible_sleep_on_timeout(&wq, HZ / 10);
  }
}

// --- the local read ---

void __mirvol_receive_io_read_end(struct bio *bio) {
  struct trans_read_para *para = static_cast<struct trans_read_para *>(bio->bi_private);
  struct trans_request *req = para->req;
  int error = blk_status_to_errno(bio->bi_status);
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__mirvol_receive_io_read_end)\n",
                  160, (int)req->nmp->minor, error, (unsigned int)bio->bi_flags,
                  (unsigned long long)para->sector, (int)para->bytes);
    dump_stack();
  } else {
    // The part's bytes sit at their own offset of the recovery block.
    u8 *dst = static_cast<u8 *>(req->page) + (para->sector - req->first_sector) * 512;
    u64 left = para->bytes;
    for (unsigned int i = 0; i < bio->bi_vcnt && left; i++) {
      u64 n = left < PAGE_SIZE ? left : PAGE_SIZE;
      memcpy(dst, page_address(bio->bi_io_vec[i].bv_page), n);
      dst += n;
      left -= n;
    }
    mirvol_perf_cnt_recovery_read_io(req->nmp, para->bytes);
  }
  kfree(para);
  free_recv_bio(bio);
  trans_request_bio_done(req, error != 0);
}

void __mirvol_receive_io_read_end_4_3_0(struct bio *bio) { __mirvol_receive_io_read_end(bio); }

void mirvol_sec_trans_read(u64 s, u64 e, struct trans_request *req, struct nmp_info *nmp) {
  u32 b = mirvol_recovery_io_sectors(nmp);
  for (u64 x = s; x <= e; x += b) {
    u64 n = e - x + 1 < b ? e - x + 1 : b;
    struct trans_read_para *para =
        static_cast<struct trans_read_para *>(mirvol_loop_kmalloc(sizeof(*para)));
    if (!para) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bio buffer head.\n", 145, (int)nmp->minor);
      mirvol_set_buffer_error(req, req->var);
      continue;
    }
    para->req = req;
    para->sector = x;
    para->bytes = n * 512;
    para->pages = (u32)((para->bytes + PAGE_SIZE - 1) / PAGE_SIZE);
    struct bio *bio = malloc_recv_bh(nmp, x, (u32)para->bytes, __mirvol_receive_io_read_end_4_3_0,
                                     para, READ);
    if (!bio) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bio_request.\n", 145, (int)nmp->minor);
      mirvol_set_buffer_error(req, req->var);
      kfree(para);
      continue;
    }
    if (x + n - 1 >= e) bio->bi_opf |= REQ_SYNC;
    generic_make_request(bio);
  }
}

// --- the copy (command 10) ---

bool mirvol_block_trans_args_ok(const u8 *rec) {
  auto r = mirvol_rec::rec_load<mirvol_rec::recovery_record>(rec);
  s32 start = r.startbit, end = r.endbit;
  return start >= 0 && end >= 0 && start <= end;
}

// Takes the send semaphore, drops the outgoing DATA connection, gives it
// back: the next message connects anew.
static void drop_connection(struct nmp_info *nmp) {
  mirvol_down_nmp_send_sem(nmp);
  mirvol_release_nmp_sock(nmp);
  mirvol_up_nmp_send_sem(nmp);
}

static bool listener_running(struct nmp_info *nmp) {
  return smp_load_acquire(&nmp->thread[NMP_THREAD_ACCEPT].running) != 0;
}

// How one attempt ended.
enum attempt_end {
  ATTEMPT_DONE,   // the copy is over; the status word is set
  ATTEMPT_RETRY,  // retryable failure: the entry has been freed
};

struct copy_state {
  struct nmp_info *nmp;
  wait_queue_head_t *wq;
  u64 first, last, sectors, capacity;
  u32 parts;
  u64 last_s, last_e;  // the last part sent
};

// The part [s, e] into the recovery block; false when the read failed.
// *result is the status word on failure.
static bool read_part(struct copy_state *st, u64 s, u64 e, u32 *result) {
  struct nmp_info *nmp = st->nmp;
  struct trans_request *req = mirvol_trans_request_allocate(nmp, e - s + 1, s);
  if (!req) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate trans_request, recovery failed.\n", 145,
                  (int)nmp->minor);
    *result = STATUS_NO_MEMORY;
    return false;
  }
  req->var = mirvol_queue_head_spinlock_malloc();
  if (!req->var) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate trans_request->var, recovery failed.\n",
                  145, (int)nmp->minor);
    mirvol_trans_request_free(req);
    *result = STATUS_NO_MEMORY;
    return false;
  }
  req->page = nmp->recover_buff;
  memset(nmp->recover_buff, 0, MIRVOL_RECOVER_BUFF_SIZE);
  mirvol_sec_trans_read(s, e, req, nmp);
  mirvol_trans_request_wait(req, "read");
  bool ok = req->error == 0;
  mirvol_trans_request_free(req);
  if (!ok) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to read recovery data.\n", 213, (int)nmp->minor);
    *result = STATUS_READ_FAILED;
  }
  return ok;
}

static int send_counted(struct nmp_info *nmp, u32 len, void *buf) {
  return mirvol_send_data_part(nmp, len, buf);
}

// Sends one part already read: its sub-header and its data, compressed
// when the device asks for it and the result is smaller. 1, or <= 0 when
// a send failed (the DATA socket has been released).
static int send_part(struct nmp_info *nmp, u64 s, u64 e, u64 request_id) {
  u32 bytes = (u32)((e - s + 1) * 512);
  struct head_part sub;
  mirvol_head_init(&sub, CMD_RECOVERY_SUB_HEADER);
  sub.start_sector = s;
  sub.end_sector = e;
  sub.request_id = request_id;
  sub.length = bytes;

  u8 *out = nullptr;
  struct compress_result results[MIRVOL_COMPRESS_MAX_SLICES];
  u32 slices = nmp->recovery_slice_cnt ? nmp->recovery_slice_cnt : 1;
  if (READ_ONCE(nmp->compress_flags) & 2) {
    out = static_cast<u8 *>(mirvol_loop_kmalloc(bytes));
    if (!out) {
      mirvol_printk(MIRVOL_ERR
                    "NMP%d failed to allocate buffer to compress data. Uncompressed data will be "
                    "sent instead.\n",
                    145, (int)nmp->minor);
    } else {
      u64 total = 0;
      u32 all = 0;
      int r = mirvol_compress(nmp->recover_buff, bytes, out, &total, &all, results, slices);
      if (r == 0 && all && total < bytes) {
        sub.cmd = CMD_COMPRESSED_RECOVERY_SUB_HEADER;
        sub.vec_count = (u16)slices;
      } else {
        mirvol_kfree(&out);
      }
    }
  }

  u8 wire[MIRVOL_HEAD_PART_SIZE];
  mirvol_head_encode(&sub, wire);
  int r = send_counted(nmp, sizeof(wire), wire);
  if (r > 0) {
    if (out) {
      for (u32 i = 0; i < slices && r > 0; i++) {
        u32 len_be = cpu_to_be32((u32)results[i].result_len);
        r = send_counted(nmp, sizeof(len_be), &len_be);
        if (r > 0) mirvol_perf_cnt_compress_recovery(nmp, sizeof(len_be));
        if (r > 0 && results[i].result_len) {
          r = send_counted(nmp, (u32)results[i].result_len, results[i].result_data);
          if (r > 0) mirvol_perf_cnt_compress_recovery(nmp, results[i].result_len);
        }
      }
    } else {
      r = send_counted(nmp, bytes, nmp->recover_buff);
      if (r > 0) mirvol_perf_cnt_compress_recovery(nmp, bytes);
    }
    if (r > 0) mirvol_perf_cnt_original_recovery(nmp, bytes);
  }
  mirvol_kfree(&out);
  return r > 0 ? 1 : (r == 0 ? 0 : r);
}

// One attempt: head, parts, ACK wait. Sets *result when it ends the copy.
static enum attempt_end copy_attempt(struct copy_state *st, int attempt, u32 *result) {
  struct nmp_info *nmp = st->nmp;
  int minor = (int)nmp->minor;
  if (sigterm_pending() || !listener_running(nmp)) {
    mirvol_printk(MIRVOL_INFO "NMP%d failed to recover because of shutdown or rmmod.\n", 215, minor);
    *result = STATUS_FAILED;
    return ATTEMPT_DONE;
  }
  u64 id = mirvol_add_new_trans_table(st->wq, nmp);
  if (!id) {
    mirvol_printk(MIRVOL_WARN "NMP%d no trans_table available, recovery failed.\n", 204, minor);
    *result = STATUS_FAILED;
    return ATTEMPT_DONE;
  }

  mirvol_down_nmp_send_sem(nmp);
  struct head_part head;
  mirvol_head_init(&head, CMD_WRITE_RECOVERY_DATA);
  head.start_sector = st->first;
  head.end_sector = st->last;
  head.request_id = id;
  head.length = st->parts;
  int r = mirvol_send_head_part(nmp, head);
  u64 send_time = get_jiffies_64();  // the start of the ACK latency
  if (r <= 0) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to send recovery head part (err=%d%s), start(%llu) end(%llu) "
                  "loopnum(%d), recovery failed.\n",
                  212, minor, r, mirvol_err(r), (unsigned long long)st->first,
                  (unsigned long long)st->last, (int)st->parts);
    mirvol_up_nmp_send_sem(nmp);
    mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
    mirvol_del_trans_table(id);
    *result = STATUS_SEND_FAILED;
    return ATTEMPT_DONE;
  }

  for (u32 i = 0; i < st->parts; i++) {
    u64 s = st->first + (u64)MIRVOL_RECOVERY_PART_SECTORS * i;
    u64 e = s + MIRVOL_RECOVERY_PART_SECTORS - 1 < st->last ? s + MIRVOL_RECOVERY_PART_SECTORS - 1
                                                            : st->last;
    if (s > st->capacity - 1) {
      u64 lbs = nmp->own_bdev ? mirvol_get_logical_block_size(nmp->own_bdev) / 512 : 1;
      s = st->capacity - (lbs ? lbs : 1);
    }
    if (e > st->capacity - 1) e = st->capacity - 1;
    if (!read_part(st, s, e, result)) {
      // The common abort: no mirror-break time.
      mirvol_release_nmp_sock(nmp);
      mirvol_up_nmp_send_sem(nmp);
      mirvol_del_trans_table(id);
      return ATTEMPT_DONE;
    }
    st->last_s = s;
    st->last_e = e;
    int pr = send_part(nmp, s, e, id);
    if (pr <= 0) {
      mirvol_del_trans_table(id);
      mirvol_up_nmp_send_sem(nmp);
      if (attempt == 0) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d failed to send recovery data part (err=%d%s), start(%llu) end(%llu), "
                      "retrying again.\n",
                      211, minor, pr, mirvol_err(pr), (unsigned long long)s, (unsigned long long)e);
        return ATTEMPT_RETRY;
      }
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to send recovery data part again (err=%d%s), start(%llu) "
                    "end(%llu), recovery failed.\n",
                    212, minor, pr, mirvol_err(pr), (unsigned long long)s, (unsigned long long)e);
      mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
      *result = STATUS_SEND_FAILED;
      return ATTEMPT_DONE;
    }
    mirvol_qos_sleep_nmp(nmp);
  }
  mirvol_up_nmp_send_sem(nmp);

  if (!mirvol_find_trans_table(id)) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d request_id(%#lx) of ACK is not found in trans_table. (mirvol_block_trans)\n",
                  178, minor, (unsigned long)id);
    *result = STATUS_FAILED;
    return ATTEMPT_DONE;
  }

  u32 status = 0;
  bool cancelled = false, gone = false, answered = false;
  u64 polls = (u64)mirvol_timeout(&nmp->ack_timeout) * 10;
  for (u64 p = 0; p < polls && !answered; p++) {
    answered = entry_answer(id, &status, &cancelled, &gone);
    if (answered || gone) break;
    sleep_on_timeout(st->wq, HZ / 10);
    if (sigterm_pending() || !listener_running(nmp)) entry_shutdown(id);
    answered = entry_answer(id, &status, &cancelled, &gone);
  }
  if (!answered) {
    drop_connection(nmp);
    mirvol_del_trans_table(id);
    if (attempt == 0) {
      mirvol_printk(MIRVOL_INFO "NMP%d ACK timeout, start(%llu) end(%llu), retrying again.\n", 216,
                    minor, (unsigned long long)st->last_s, (unsigned long long)st->last_e);
      return ATTEMPT_RETRY;
    }
    mirvol_printk(MIRVOL_WARN "NMP%d ACK timeout, start(%llu) end(%llu), recovery failed.\n", 217,
                  minor, (unsigned long long)st->last_s, (unsigned long long)st->last_e);
    mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
    *result = STATUS_CANCELLED;
    return ATTEMPT_DONE;
  }

  mirvol_del_trans_table(id);
  bool mirror_break = true;
  switch (status) {
    case 0:
      mirvol_perf_cnt_ack_time(nmp, send_time);
      *result = STATUS_OK;
      return ATTEMPT_DONE;  // the caller clears the bits
    case 1:
      mirvol_printk(MIRVOL_WARN "NMP%d failed to write recovery data at remote server.\n", 214,
                    minor);
      *result = STATUS_REMOTE_FAILED;
      break;
    case TRANS_STATUS_CANCELLED:
      if (cancelled) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d failed to recover because of HB error detected or recovery "
                      "cancelled.\n",
                      215, minor);
        *result = STATUS_CANCELLED;
      } else {
        mirvol_printk(MIRVOL_WARN "NMP%d failed to write recovery data.\n", 214, minor);
        *result = STATUS_REMOTE_FAILED;
        mirror_break = false;
      }
      break;
    case 4:
      drop_connection(nmp);
      if (attempt == 0) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d failed to receive recovery data at remote server, retrying again.\n",
                      233, minor);
        return ATTEMPT_RETRY;
      }
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to receive recovery data at remote server, recovery failed.\n",
                    234, minor);
      mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
      *result = STATUS_REMOTE_FAILED;
      return ATTEMPT_DONE;
    case TRANS_STATUS_SHUTDOWN:
      mirvol_printk(MIRVOL_INFO "NMP%d failed to recover because of shutdown or rmmod.\n", 215,
                    minor);
      *result = STATUS_CANCELLED;
      break;
    default:
      mirvol_printk(MIRVOL_WARN "NMP%d failed to write recovery data.\n", 214, minor);
      *result = STATUS_REMOTE_FAILED;
      mirror_break = false;
      break;
  }
  drop_connection(nmp);
  if (mirror_break) mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
  return ATTEMPT_DONE;
}

void mirvol_block_trans(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  auto r = mirvol_rec::rec_load<mirvol_rec::recovery_record>(rec);
  s32 startbit = r.startbit, endbit = r.endbit;
  if (!mirvol_block_trans_args_ok(rec) || !nmp) {
    mirvol_printk(MIRVOL_ERR "NMP%d startbit (%d) or endbit (%d) is invalid. (mirvol_block_trans)\n",
                  182, (int)minor, startbit, endbit);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  int m = (int)nmp->minor;
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO "NMP%d failed to send recovery data, because N/W port has been closed.\n",
                  156, m);
    put_status(rec, STATUS_RECOVERY_PORT_CLOSED);
    return;
  }
  u64 g = READ_ONCE(nmp->bmp_size_in_sec);
  if (g < 1) {
    mirvol_printk(MIRVOL_WARN "NMP%d bmp_size_in_sec (%d) is invalid.\n", 200, m, (int)g);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  struct copy_state st = {};
  st.nmp = nmp;
  st.capacity = nmp->own_bdev ? get_capacity(nmp->own_bdev->bd_disk) : 0;
  // The range must lie on the device: its last bit is the one holding the
  // device's last sector.
  u64 bits = st.capacity / g + (st.capacity % g ? 1 : 0);
  if ((u64)endbit >= bits) {
    mirvol_printk(MIRVOL_ERR "NMP%d startbit (%d) or endbit (%d) is invalid. (mirvol_block_trans)\n",
                  182, m, startbit, endbit);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  st.first = (u64)startbit * g;
  st.last = ((u64)endbit + 1) * g - 1;
  st.sectors = ((u64)endbit - (u64)startbit + 1) * g;
  st.parts = (u32)((st.sectors + MIRVOL_RECOVERY_PART_SECTORS - 1) / MIRVOL_RECOVERY_PART_SECTORS);

  st.wq = nmp->recover_buff ? mirvol_wait_queue_head_t_malloc() : nullptr;
  if (!st.wq) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery_wait_queue, recovery failed.\n", 145,
                  m);
    put_status(rec, STATUS_NO_MEMORY);
    return;
  }
  mirvol_init_waitqueue_head(st.wq);

  if (mirvol_build_lock_sec(nmp, st.first, st.last) < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to lock disk I/O, recovery failed.\n", 205, m);
    put_status(rec, STATUS_FAILED);
    mirvol_kfree(&st.wq);
    return;
  }

  u32 result = STATUS_OK;
  if (wait_writetodisk(st.first, st.last, nmp) < 0) {
    // A write still in flight could land after the data read: the bits stay.
    result = STATUS_FAILED;
  } else {
    for (int attempt = 0; attempt < 2; attempt++)
      if (copy_attempt(&st, attempt, &result) == ATTEMPT_DONE) break;
    if (result == STATUS_OK && mirvol_bitmap_clear1((u64)startbit, (u64)endbit, nmp, 0) < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to clear the bitmap. bit(start,end)=(%d,%d) "
                                "(mirvol_block_trans)\n",
                    162, m, startbit, endbit);
      result = STATUS_FAILED;
    }
  }
  mirvol_build_unlock_sec(nmp);
  mirvol_kfree(&st.wq);
  put_status(rec, result);
}

// --- commands 14 and 15 ---

void mirvol_block_size_operate(unsigned int cmd, struct nmp_info *nmp, u8 *rec) {
  if (cmd == 14) {
    mirvol_rec::rec_store(rec, mirvol_rec::block_size_record{
                                   STATUS_OK, nmp->own_bdev ? mirvol_own_device_get_blksize(nmp->own_bdev) : 0});
    return;
  }
  s32 size = mirvol_rec::rec_load<mirvol_rec::block_size_record>(rec).block_size;
  if (size <= 0 || !nmp->own_bdev || !nmp->dp_bdev) {
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  if (size == mirvol_get_blksize_size(nmp->dp_bdev)) {
    put_status(rec, STATUS_OK);
    return;
  }
  // A size the mirror device cannot take leaves both devices as they were.
  if (mirvol_set_blocksize(nmp->own_bdev, size) != 0) {
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  mirvol_adjust_block_size(nmp);
  put_status(rec, mirvol_get_blksize_size(nmp->dp_bdev) == size ? STATUS_OK
                                                                 : STATUS_INVALID_PARAMETER);
}

// --- commands 30 and 31 ---

bool mirvol_bitmap_operate_args_ok(const u8 *rec) {
  auto r = mirvol_rec::rec_load<mirvol_rec::bitmap_read_record>(rec);
  return r.start_kb >= 0 && r.kb_number == 1;
}

void mirvol_bitmap_operate(unsigned int cmd, unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  auto r = mirvol_rec::rec_load<mirvol_rec::bitmap_read_record>(rec);
  s32 start_kb = r.start_kb, kb_number = r.kb_number;
  int m = (int)minor;
  if (kb_number <= 0 || start_kb < 0) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d startKB (%d) or KBnumber (%d) is invalid. (mirvol_bitmap_operate)\n",
                  182, m, start_kb, kb_number);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  if (kb_number != 1) {
    mirvol_printk(MIRVOL_ERR "NMP%d KBnumber (%d) is invalid. (mirvol_bitmap_operate)\n", 182, m,
                  kb_number);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  if (cmd == 31 || !nmp) return;  // 31 hands the record back as it came
  u32 bs = mirvol_bmp_block_size(nmp);
  u64 k = bs / 1024;
  u64 first = mirvol_bmp_first_index(nmp) + (u64)start_kb / k;
  u64 last = mirvol_bmp_first_index(nmp) + ((u64)start_kb + kb_number - 1) / k;
  u64 room = mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_LAST_INDEX_4K : MIRVOL_BMP_LAST_INDEX_1K;
  if (last > room) {
    // Past the bitmap lies the history area: a read there is no bitmap.
    mirvol_printk(MIRVOL_ERR
                  "NMP%d startKB (%d) or KBnumber (%d) is invalid. (mirvol_bitmap_operate)\n",
                  182, m, start_kb, kb_number);
    put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  u64 blocks = last - first + 1;
  u8 *buf = static_cast<u8 *>(mirvol_loop_kmalloc(blocks * bs));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_read_buffer.\n", 145, m);
    put_status(rec, STATUS_NO_MEMORY);
    return;
  }
  for (u64 i = 0; i < blocks; i++)
    if (mirvol_bitmap_readwrite(buf + i * bs, first + i, nmp, 0) < 0) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to read bitmap from Cluster Partition.\n", 161, m);
      kfree(buf);
      put_status(rec, STATUS_FAILED);
      return;
    }
  memcpy(r.bitmap, buf + ((u64)start_kb % k) * 1024, sizeof(r.bitmap));
  kfree(buf);
  r.status = STATUS_OK;
  mirvol_rec::rec_store(rec, r);
}

// --- command 32 ---

// Set bits of each byte value.
static const u32 g_mirvol_diff_size[256] = {
#define B2(n) n, n + 1, n + 1, n + 2
#define B4(n) B2(n), B2(n + 1), B2(n + 1), B2(n + 2)
#define B6(n) B4(n), B4(n + 1), B4(n + 1), B4(n + 2)
    B6(0), B6(1), B6(1), B6(2)
#undef B6
#undef B4
#undef B2
};

void mirvol_bitmap_get_diff_size(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  int m = (int)nmp->minor;
  int n = mirvol_get_bitmap_valid_num_main(nmp);
  if (n < 0) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to get total_bitmap_in_bits (%d). (mirvol_bitmap_get_diff_size)\n",
                  203, m, n);
    put_status(rec, STATUS_FAILED);
    return;
  }
  u32 bs = mirvol_bmp_block_size(nmp);
  u8 *buf = static_cast<u8 *>(mirvol_loop_kmalloc(bs));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bitmap_readwrite_buffer.\n", 145, m);
    put_status(rec, STATUS_NO_MEMORY);
    return;
  }
  u64 count = 0, left = (u64)n;
  u64 bytes = (left + 7) / 8;
  u64 blocks = (bytes + bs - 1) / bs;
  for (u64 b = 0; b < blocks && left; b++) {
    if (mirvol_bitmap_readwrite(buf, mirvol_bmp_first_index(nmp) + b, nmp, 0) < 0) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to read bitmap from Cluster Partition.\n", 161, m);
      kfree(buf);
      put_status(rec, STATUS_FAILED);
      return;
    }
    for (u32 i = 0; i < bs && left; i++) {
      u8 v = buf[i];
      if (left < 8) {
        v &= (u8)(0xff00 >> left);
        left = 0;
      } else {
        left -= 8;
      }
      count += g_mirvol_diff_size[v];
    }
  }
  kfree(buf);
  mirvol_rec::rec_store(rec, mirvol_rec::value_record{STATUS_OK, (u32)count});
}
