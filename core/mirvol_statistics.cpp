// Per-device statistics: the counting routines on the I/O and replication
// paths, the statistics commands 81 (subscribe, unsubscribe, clear, control
// word) and 82 (read), the "mirvolperf" files and the dump at unload.

#include "include/mirvol_perf.h"

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_port.h"

// --- the area ---

struct perf_area *mirvol_perf_init_nmp(void) {
  struct perf_area *a = static_cast<struct perf_area *>(kzalloc(sizeof(struct perf_area), GFP_ATOMIC));
  if (!a) return nullptr;
  spin_lock_init(&a->lock);
  a->control = 0x7fffffff;
  return a;
}

void mirvol_perf_free_nmp(struct perf_area *area) {
  if (!area) return;
  unsigned long flags;
  spin_lock_irqsave(&area->lock, flags);
  struct perf_subscriber *s = area->subscribers;
  area->subscribers = nullptr;
  while (s) {
    struct perf_subscriber *next = s->next;
    kfree(s);
    s = next;
  }
  spin_unlock_irqrestore(&area->lock, flags);
  kfree(area);
}

// A u64 total never exceeds 2^50: past it, it goes on from the excess.
static inline void perf_add(u64 *v, u64 n) {
  *v += n;
  if (*v > PERF_MAX_TOTAL) *v -= PERF_MAX_TOTAL;
}

template <typename T>
static inline void perf_peak(T *peak, T v) {
  if (v > *peak) *peak = v;
}

// Live gauges go down by one at most to zero: a decrement that finds 0
// (its increment came before a clear that kept an older value, or never
// happened) must not wrap.
static inline void perf_dec(u32 *v) {
  if (*v) (*v)--;
}

// Elapsed milliseconds from `start` to now; false when start lies ahead.
static bool perf_ms_since(u64 start, u32 *ms) {
  u64 now = get_jiffies_64();
  if (start > now) return false;
  *ms = (u32)((now - start) * 1000 / HZ);
  return true;
}

static u64 bio_data_bytes(const struct bio *bio) {
  u64 n = 0;
  if (!bio) return 0;
  for (unsigned short i = 0; i < bio->bi_vcnt; i++) n += bio->bi_io_vec[i].bv_len;
  return n;
}

// The bytes of a request as the send queue sees them: the big-endian
// segment sizes of an asynchronous write, else its bio's segments.
static u64 req_queue_bytes(struct nmp_info *nmp, struct io_request *req) {
  if (nmp->mode == 0 && req->write && req->segment_sizes) {
    u64 n = 0;
    for (u16 i = 0; i < req->segment_count; i++) n += be32_to_cpu((u32)req->segment_sizes[i]);
    return n;
  }
  return bio_data_bytes(req->upper_bio);
}

#define PERF_LOCK(nmp)                         \
  struct perf_area *a = (nmp)->perf_area;      \
  if (!a) return;                              \
  unsigned long pflags;                        \
  spin_lock_irqsave(&a->lock, pflags)
#define PERF_UNLOCK() spin_unlock_irqrestore(&a->lock, pflags)

#define EACH_SUBSCRIBER(s) for (struct perf_subscriber *s = a->subscribers; s; s = s->next)

// --- counting routines ---

void mirvol_perf_cnt_nmp_io(struct io_request *req) {
  if (req->error) return;
  u64 n = bio_data_bytes(req->upper_bio);
  PERF_LOCK(req->nmp);
  perf_add(req->write ? &a->c.nmp_write_bytes : &a->c.nmp_read_bytes, n);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_active_io(struct io_request *req, u64 bits) {
  if (!(bits & REQ_LOCAL_DONE) || req->error) return;
  u64 n = bio_data_bytes(req->upper_bio);
  PERF_LOCK(req->nmp);
  perf_add(req->write ? &a->c.active_write_bytes : &a->c.active_read_bytes, n);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_standby_io(struct nmp_info *nmp, struct bio *bio, int error) {
  if (error) return;
  u64 n = bio_data_bytes(bio);
  PERF_LOCK(nmp);
  perf_add(&a->c.standby_write_bytes, n);
  PERF_UNLOCK();
}

#define PERF_ADD_ROUTINE(name, field)            \
  void name(struct nmp_info *nmp, u64 bytes) {   \
    PERF_LOCK(nmp);                              \
    perf_add(&a->c.field, bytes);                \
    PERF_UNLOCK();                               \
  }

PERF_ADD_ROUTINE(mirvol_perf_cnt_recovery_write_io, recovery_write_bytes)
PERF_ADD_ROUTINE(mirvol_perf_cnt_recovery_read_io, recovery_read_bytes)
PERF_ADD_ROUTINE(mirvol_perf_cnt_tcp_send, tcp_send_bytes)
PERF_ADD_ROUTINE(mirvol_perf_cnt_compress_recovery, recovery_send_bytes)
PERF_ADD_ROUTINE(mirvol_perf_cnt_original_recovery, recovery_data_bytes)
PERF_ADD_ROUTINE(mirvol_perf_cnt_compress_sync, sync_send_bytes)

void mirvol_perf_cnt_echo_send(struct nmp_info *nmp, u32 bytes) {
  PERF_LOCK(nmp);
  perf_add(&a->c.echo_send_bytes, bytes);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_cmp_and_org_sync(struct nmp_info *nmp, u64 sent, u64 data) {
  PERF_LOCK(nmp);
  perf_add(&a->c.sync_send_bytes, sent);
  perf_add(&a->c.sync_data_bytes, data);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_write_request_count(struct nmp_info *nmp, int up) {
  PERF_LOCK(nmp);
  if (up) {
    a->c.write_req_now++;
    perf_peak(&a->c.write_req_peak, a->c.write_req_now);
  } else {
    perf_dec(&a->c.write_req_now);
  }
  EACH_SUBSCRIBER(s) perf_peak(&s->peak_write_req, a->c.write_req_now);
  PERF_UNLOCK();
}

// The figure is the one stored in the request when it entered the queue,
// so what leaves is exactly what came in.
void mirvol_perf_cnt_send_req_byte(struct nmp_info *nmp, struct io_request *req, int add) {
  u64 n = req->queued_bytes;
  PERF_LOCK(nmp);
  if (add)
    a->c.waiting_sync_bytes += n;
  else
    a->c.waiting_sync_bytes = a->c.waiting_sync_bytes > n ? a->c.waiting_sync_bytes - n : 0;
  EACH_SUBSCRIBER(s) perf_peak(&s->peak_waiting_bytes, a->c.waiting_sync_bytes);
  PERF_UNLOCK();
}

// Called with the request-queue lock held, which guards the count and peak.
void mirvol_perf_cnt_send_req_cnt(struct nmp_info *nmp) {
  perf_peak(&nmp->request_queue_peak, nmp->request_queue_cnt);
  u32 cnt = (u32)nmp->request_queue_cnt;
  PERF_LOCK(nmp);
  EACH_SUBSCRIBER(s) perf_peak(&s->peak_send_q, cnt);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_ack1_time(struct nmp_info *nmp, struct io_request *req) {
  u32 ms;
  if (!perf_ms_since(req->enqueue_time, &ms)) return;
  PERF_LOCK(nmp);
  a->c.ack1_latest = ms;
  perf_peak(&a->c.ack1_peak, ms);
  perf_add(&a->c.ack1_count, 1);
  perf_add(&a->c.ack1_total_ms, ms);
  EACH_SUBSCRIBER(s) perf_peak(&s->peak_ack1, ms);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_ack_time(struct nmp_info *nmp, u64 send_time) {
  u32 ms;
  if (!perf_ms_since(send_time, &ms)) return;
  PERF_LOCK(nmp);
  a->c.ack_latest = ms;
  perf_peak(&a->c.ack_peak, ms);
  EACH_SUBSCRIBER(s) perf_peak(&s->peak_ack, ms);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_ack2_time(struct nmp_info *nmp, u64 request_id) {
  if (!nmp->perf_area || !g_wait_ack2_queue_head.lock) return;
  // The entry's queuing time is copied under the queue lock: once it is
  // released another thread may take the entry off and free it.
  bool found = false;
  u64 queued = 0;
  unsigned long qflags;
  spin_lock_irqsave(g_wait_ack2_queue_head.lock, qflags);
  for (struct wait_ack2_queue *e = g_wait_ack2_queue_head.head; e; e = e->next)
    if (e->request_id == request_id && e->minor == (s32)nmp->minor) {
      queued = e->queued;
      found = true;
      break;
    }
  spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, qflags);
  u32 ms;
  if (!found || !perf_ms_since(queued, &ms)) return;
  PERF_LOCK(nmp);
  perf_add(&a->c.ack2_count, 1);
  a->c.ack2_latest = ms;
  perf_peak(&a->c.ack2_peak, ms);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_dcpq(struct nmp_info *nmp, int up) {
  PERF_LOCK(nmp);
  if (up) {
    a->c.dcpq_now++;
    perf_peak(&a->c.dcpq_peak, a->c.dcpq_now);
  } else {
    perf_dec(&a->c.dcpq_now);
  }
  PERF_UNLOCK();
}

void mirvol_perf_cnt_recovery_wait_sync(struct nmp_info *nmp, u32 ms) {
  PERF_LOCK(nmp);
  perf_add(&a->c.recovery_wait_sync_ms, ms);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_sync_wait_recovery(struct nmp_info *nmp, u32 ms) {
  PERF_LOCK(nmp);
  perf_add(&a->c.sync_wait_recovery_ms, ms);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_last_update_after_umount(struct nmp_info *nmp, struct io_request *req) {
  // A request given up (a time-out, the peer's stop request) may still have
  // its local write running, whose completion sets the error.
  if (!req->write || READ_ONCE(req->error)) return;
  // The flag is read (under the device spinlock) before the area lock is
  // taken: the area lock is the inner one.
  if (mirvol_mount_port(nmp)) return;
  u64 n = req_queue_bytes(nmp, req);
  PERF_LOCK(nmp);
  perf_add(&a->c.unmirrored_count, 1);
  perf_add(&a->c.unmirrored_bytes, n);
  PERF_UNLOCK();
}

void mirvol_perf_cnt_clear_last_update_pcount(struct nmp_info *nmp) {
  PERF_LOCK(nmp);
  a->c.unmirrored_count = 0;
  a->c.unmirrored_bytes = 0;
  PERF_UNLOCK();
}

// --- log lines of the drains ---

void mirvol_perf_printk_nmp_differences(struct nmp_info *nmp) {
  struct perf_area *a = nmp->perf_area;
  if (!a) return;
  unsigned long flags;
  spin_lock_irqsave(&a->lock, flags);
  u64 count = a->c.unmirrored_count, bytes = a->c.unmirrored_bytes;
  spin_unlock_irqrestore(&a->lock, flags);
  if (count)
    mirvol_printk(MIRVOL_INFO
                  "NMP%d %llu I/O requests (%lluB) did not be sent to remote server after unmount.\n",
                  125, (int)nmp->minor, (unsigned long long)count, (unsigned long long)bytes);
}

void mirvol_perf_printk_nmp_req_to_be_freed(struct nmp_info *nmp) {
  struct perf_area *a = nmp->perf_area;
  if (!a) return;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  u64 count = nmp->request_queue_cnt;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  spin_lock_irqsave(&a->lock, flags);
  u64 bytes = a->c.waiting_sync_bytes;
  spin_unlock_irqrestore(&a->lock, flags);
  if (count)
    mirvol_printk(MIRVOL_INFO "NMP%d %lu I/O requests (%lluB) may not be sent to remote server completely.\n",
                  125, (int)nmp->minor, (unsigned long)count, (unsigned long long)bytes);
}

// --- the statistics directory ---
//
// Command 101 creates it, command 81 creates or removes it, unload removes
// it. One mutex serialises the three; each tests the directory again under
// it, so two callers never both create it or both remove it.

static struct mutex g_perf_dir_mutex;
static struct proc_dir_entry *mirvol_perf_proc;

void mirvol_perf_proc_dir_init(void) {
  mutex_init(&g_perf_dir_mutex);
  mirvol_perf_proc = nullptr;
}

struct proc_dir_entry *mirvol_perf_proc_dir(void) {
  mutex_lock(&g_perf_dir_mutex);
  struct proc_dir_entry *d = mirvol_perf_proc;
  mutex_unlock(&g_perf_dir_mutex);
  return d;
}

static int mirvolperf_proc_read_nmp(struct seq_file *m, void *v);

static long mirvolperf_proc_write(void *data, const char *buf, size_t count, loff_t *pos) {
  (void)data;
  (void)buf;
  (void)pos;
  return (long)count;
}

static const struct proc_file_ops mirvolperf_fops = {mirvolperf_proc_read_nmp, mirvolperf_proc_write};

// Makes the directory and one file per configured minor; with the mutex held.
static struct proc_dir_entry *mirvol_perf_make_dir(const char *name, struct proc_dir_entry *parent,
                                                   int *minors) {
  struct proc_dir_entry *dir = proc_mkdir(name, parent);
  if (!dir) {
    mirvol_printk(MIRVOL_ERR "Failed to create a proc file %s.\n", 121, name);
    return nullptr;
  }
  for (int i = 0; i < g_nmp_count; i++) {
    char file[24];
    mirvol_sprintf(file, sizeof(file), "NMP%d", minors[i]);
    if (!proc_create_data(file, S_IFREG | 0644, dir, &mirvolperf_fops, &minors[i])) {
      mirvol_printk(MIRVOL_ERR "Failed to create a proc file /proc/%s/%s.\n", 121, name, file);
      remove_proc_subtree(name, parent);
      return nullptr;
    }
  }
  return dir;
}

struct proc_dir_entry *mirvol_perf_create_proc_dir(const char *name, struct proc_dir_entry *parent,
                                                   int *minors) {
  mutex_lock(&g_perf_dir_mutex);
  if (!mirvol_perf_proc) mirvol_perf_proc = mirvol_perf_make_dir(name, parent, minors);
  struct proc_dir_entry *d = mirvol_perf_proc;
  mutex_unlock(&g_perf_dir_mutex);
  return d;
}

void mirvol_perf_remove_proc_dir(void) {
  mutex_lock(&g_perf_dir_mutex);
  if (mirvol_perf_proc) remove_proc_subtree("mirvolperf", nullptr);
  mirvol_perf_proc = nullptr;
  mutex_unlock(&g_perf_dir_mutex);
}

// --- command 81 ---

static void perf_put_user_status(unsigned long arg, u32 status) {
  mirvol_copy_to_user(reinterpret_cast<void __user *>(arg), &status, sizeof(status));
}

// Zeroes the totals and peaks; the three live gauges keep their values,
// since the events that will take them down are still to come.
static void perf_clear(struct perf_area *a, struct perf_subscriber *s) {
  u32 write_req = a->c.write_req_now, dcpq = a->c.dcpq_now;
  u64 waiting = a->c.waiting_sync_bytes;
  memset(&a->c, 0, sizeof(a->c));
  a->c.write_req_now = write_req;
  a->c.dcpq_now = dcpq;
  a->c.waiting_sync_bytes = waiting;
  s->peak_waiting_bytes = 0;
  s->peak_ack1 = s->peak_ack = s->peak_send_q = s->peak_write_req = 0;
}

// The start both commands share: the record copied in from the caller and
// the device looked up. Null when the command has already answered (no
// memory, or a record shorter than its size, which is not acted on). Else
// *nmp is the device, or null with *status STATUS_NO_DEVICE once event 141
// is logged; `name` is the command's handler as the log lines name it.
static u8 *perf_begin(unsigned int minor, unsigned long arg, size_t size, const char *name,
                      struct nmp_info **nmp, u32 *status) {
  u8 *rec = static_cast<u8 *>(kzalloc(size, GFP_KERNEL));
  if (!rec) {
    perf_put_user_status(arg, STATUS_NO_MEMORY);
    mirvol_printk(MIRVOL_ERR "Failed to allocate ioctl buffer for %s.\n", 145, name);
    return nullptr;
  }
  if (mirvol_copy_from_user(rec, reinterpret_cast<void __user *>(arg), size)) {
    perf_put_user_status(arg, STATUS_INVALID_PARAMETER);
    kfree(rec);
    return nullptr;
  }
  *status = STATUS_OK;
  *nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, minor));
  if (!*nmp || !(*nmp)->perf_area) {
    // A device without its area is named by the handler, one that does
    // not exist by the command's entry.
    if (*nmp)
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, (int)minor, name);
    else
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (mirvol_%s)\n", 141, (int)minor,
                    name);
    *nmp = nullptr;
    *status = STATUS_NO_DEVICE;
  }
  return rec;
}

// The end both commands share: the status into the record, the record back
// to the caller.
static int perf_end(unsigned long arg, u8 *rec, size_t size, u32 status) {
  mirvol_rec::rec_put_status(rec, status);
  mirvol_copy_to_user(reinterpret_cast<void __user *>(arg), rec, size);
  kfree(rec);
  return 0;
}

int mirvol_nmp_set_perf(unsigned int minor, unsigned long arg) {
  struct nmp_info *nmp;
  u32 status;
  u8 *rec = perf_begin(minor, arg, MIRVOL_SET_PERF_SIZE, "nmp_set_perf", &nmp, &status);
  if (!rec) return 0;
  if (nmp) {
    struct perf_area *a = nmp->perf_area;
    const auto in = mirvol_rec::rec_load<mirvol_rec::perf_set_record>(rec);
    u32 start = in.start, clear = in.clear, control = in.control;
    u32 pid = in.pid, interval = in.interval;
    bool apply = false;
    unsigned long flags;
    spin_lock_irqsave(&a->lock, flags);
    struct perf_subscriber **link = &a->subscribers, *s;
    while ((s = *link) && s->pid != pid) link = &s->next;
    if (!start) {
      if (s) {
        *link = s->next;
        spin_unlock_irqrestore(&a->lock, flags);
        kfree(s);
        mirvol_printk(MIRVOL_INFO "NMP%d logging statistics information stopped.  (PID=%d)\n", 291,
                      (int)nmp->minor, (int)pid);
      } else {
        spin_unlock_irqrestore(&a->lock, flags);
        mirvol_printk(MIRVOL_WARN
                      "NMP%d logging statistics information stopped. (PID=%d, already stopped)\n",
                      291, (int)nmp->minor, (int)pid);
        status = STATUS_NOT_SUBSCRIBED;
      }
    } else {
      if (s) {
        mirvol_printk(MIRVOL_INFO
                      "NMP%d logging statistics information started.  (PID=%d, already started)\n",
                      290, (int)nmp->minor, (int)pid);
      } else {
        s = static_cast<struct perf_subscriber *>(kzalloc(sizeof(*s), GFP_ATOMIC));
        if (s) {
          s->pid = pid;
          s->next = a->subscribers;
          a->subscribers = s;
          mirvol_printk(MIRVOL_INFO "NMP%d logging statistics information started.  (PID=%d)\n",
                        290, (int)nmp->minor, (int)pid);
        }
      }
      if (!s) {
        spin_unlock_irqrestore(&a->lock, flags);
        mirvol_printk(MIRVOL_ERR "Failed to allocate perf_area for nmp_set_perf.\n", 145);
        status = STATUS_NO_MEMORY;
      } else {
        if (clear) {
          perf_clear(a, s);
          mirvol_printk(MIRVOL_INFO "NMP%d logging statistics information cleared.\n", 292,
                        (int)nmp->minor);
        }
        s->last_poll = get_jiffies_64();
        s->interval = interval;
        a->control = control;
        spin_unlock_irqrestore(&a->lock, flags);
        apply = true;
      }
    }
    if (apply) {
      mutex_lock(&g_perf_dir_mutex);
      if ((control & PERF_CTL_NO_PROC) && mirvol_perf_proc) {
        remove_proc_subtree("mirvolperf", nullptr);
        mirvol_perf_proc = nullptr;
      } else if (!(control & PERF_CTL_NO_PROC) && !mirvol_perf_proc) {
        mirvol_perf_proc = mirvol_perf_make_dir("mirvolperf", nullptr, nmp_minor);
        if (!mirvol_perf_proc)
          mirvol_printk(MIRVOL_ERR "Failed to create a proc file %s.\n", 121, "mirvolperf");
      }
      mutex_unlock(&g_perf_dir_mutex);
    }
  }
  return perf_end(arg, rec, MIRVOL_SET_PERF_SIZE, status);
}

// --- command 82 ---

// Copies a chosen network's echo times into the image and restarts its
// peak since the last read.
static void perf_take_echo(struct perf_area *a, struct network *nw) {
  a->c.echo_latest = (u32)nw->last_response;
  a->c.echo_peak = (u32)nw->max_response;
  a->c.echo_peak_since_read = (u32)nw->peak_response;
  nw->peak_response = 0;
}

static void perf_choose_network(struct nmp_info *nmp, struct perf_area *a) {
  if (nmp->current_network) {
    perf_take_echo(a, nmp->current_network);
    return;
  }
  struct network *chosen = nullptr;
  for (struct network *nw = nmp->network_list; nw; nw = nw->next) {
    if (nw->state == NW_USING) {
      perf_take_echo(a, nw);
      return;
    }
    if ((nw->state == NW_FREE && (!chosen || chosen->state == NW_ERROR)) ||
        (nw->state == NW_ERROR && !chosen)) {
      chosen = nw;
      perf_take_echo(a, nw);
    }
  }
}

int mirvol_nmp_get_perf(unsigned int minor, unsigned long arg) {
  u64 now = get_jiffies_64();
  struct nmp_info *nmp;
  u32 status;
  u8 *rec = perf_begin(minor, arg, MIRVOL_GET_PERF_SIZE, "nmp_get_perf", &nmp, &status);
  if (!rec) return 0;
  if (nmp) {
    struct perf_area *a = nmp->perf_area;
    u32 pid = mirvol_rec::rec_load<mirvol_rec::perf_get_record>(rec).pid;
    unsigned long flags, nflags, aflags;
    // The queue figures first: the request-queue lock is outside the area
    // lock, as is network_list_lock.
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    u32 q_now = (u32)nmp->request_queue_cnt, q_peak = (u32)nmp->request_queue_peak;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (nmp->network_list_lock) spin_lock_irqsave(nmp->network_list_lock, nflags);
    spin_lock_irqsave(&a->lock, aflags);
    struct perf_subscriber **link = &a->subscribers, *s;
    u32 dropped[16];
    int ndropped = 0, nlost = 0;
    while ((s = *link) && s->pid != pid) {
      u64 limit = s->last_poll + (u32)(s->interval * 3u * HZ);
      if (now > limit && now > s->last_poll) {
        *link = s->next;
        if (ndropped < (int)ARRAY_SIZE(dropped))
          dropped[ndropped++] = s->pid;
        else
          nlost++;
        kfree(s);
        continue;
      }
      link = &s->next;
    }
    if (s) {
      a->c.sub_waiting_peak = s->peak_waiting_bytes;
      a->c.sub_ack1_peak = s->peak_ack1;
      a->c.sub_ack_peak = s->peak_ack;
      a->c.sub_send_q_peak = s->peak_send_q;
      a->c.sub_write_req_peak = s->peak_write_req;
      s->peak_waiting_bytes = 0;
      s->peak_ack1 = s->peak_ack = s->peak_send_q = s->peak_write_req = 0;
      a->c.send_q_now = q_now;
      a->c.send_q_peak = q_peak;
      a->c.echo_latest = a->c.echo_peak = 0;
      perf_choose_network(nmp, a);
      memcpy(rec + offsetof(mirvol_rec::perf_get_record, image), &a->c, sizeof(a->c));
      s->last_poll = now;
    }
    spin_unlock_irqrestore(&a->lock, aflags);
    if (nmp->network_list_lock) spin_unlock_irqrestore(nmp->network_list_lock, nflags);
    for (int i = 0; i < ndropped; i++)
      mirvol_printk(MIRVOL_INFO "NMP%d logging statistics information stopped.  (PID=%d, timeout)\n",
                    291, (int)nmp->minor, (int)dropped[i]);
    (void)nlost;
    if (!s) {
      mirvol_printk(MIRVOL_WARN "NMP%d statistics information not found. (PID=%d)\n", 293,
                    (int)nmp->minor, (int)pid);
      status = STATUS_NOT_SUBSCRIBED;
    }
  }
  return perf_end(arg, rec, MIRVOL_GET_PERF_SIZE, status);
}

// --- the text forms ---

#define PERF_MAX_NETWORKS 8  // networks a device may list

// What the text shows of a device, copied under the locks that guard it.
struct perf_view {
  struct perf_counters c;
  u32 control;
  u32 io_port, nw_port, mount_port, hb_client_up, hb_server_up, disk_error_flag;
  u64 mirror_break_time, last_update_time, disconnect_time;
  u64 q_cnt, q_peak, send_queue_cnt, request_seq;
};

struct perf_net_view {
  u8 self_addr[MIRVOL_IPADDR_LEN], opponent_addr[MIRVOL_IPADDR_LEN];
  u32 state;
  u64 send_time, last_echo_time;
  s32 last_response, max_response;
};

static void perf_snapshot(struct nmp_info *nmp, struct perf_view *v) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->perf_area->lock, flags);
  v->c = nmp->perf_area->c;
  v->control = nmp->perf_area->control;
  spin_unlock_irqrestore(&nmp->perf_area->lock, flags);
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  v->io_port = nmp->io_port;
  v->nw_port = nmp->nw_port;
  v->mount_port = nmp->mount_port;
  v->hb_client_up = nmp->hb_client_up;
  v->hb_server_up = nmp->hb_server_up;
  v->disk_error_flag = nmp->disk_error_flag;
  v->mirror_break_time = nmp->mirror_break_time;
  v->last_update_time = nmp->last_update_time;
  v->disconnect_time = nmp->disconnect_time;
  v->send_queue_cnt = READ_ONCE(nmp->send_queue_cnt);
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  v->q_cnt = nmp->request_queue_cnt;
  v->q_peak = nmp->request_queue_peak;
  v->request_seq = nmp->request_seq;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
}

static int perf_holders(struct block_device *b) { return b ? b->bd_holders : 0; }

typedef void (*perf_line_fn)(void *ctx, const char *line);

#define PERF_LINE(...)                             \
  do {                                             \
    mirvol_sprintf(buf, size, __VA_ARGS__);        \
    out(ctx, buf);                                 \
  } while (0)

// Every line of one device, in order, without line ends; `buf` holds one.
static void perf_lines(struct nmp_info *nmp, char *buf, size_t size, perf_line_fn out, void *ctx) {
  struct perf_view v;
  perf_snapshot(nmp, &v);
  const struct perf_counters *c = &v.c;
  typedef unsigned long long ull;
  unsigned long max_cnt = (unsigned long)READ_ONCE(g_make_request_max_cnt);
  u32 mode = READ_ONCE(nmp->mode);
  PERF_LINE("[Read/Write]:NMP%-2d%7s R/W= %llu / %llu", (int)nmp->minor, mode == 1 ? "(SYNC) " : "(ASYNC)",
            (ull)c->nmp_read_bytes, (ull)c->nmp_write_bytes);
  PERF_LINE("            :DP(Active)   R/W= %llu / %llu", (ull)c->active_read_bytes, (ull)c->active_write_bytes);
  PERF_LINE("            :DP(Standby)  R/W= %llu / %llu", (ull)c->standby_read_bytes, (ull)c->standby_write_bytes);
  PERF_LINE("            :DP(Recovery) R/W= %llu / %llu", (ull)c->recovery_read_bytes, (ull)c->recovery_write_bytes);
  PERF_LINE("[Send Total]:TCP/ECHO= %llu / %llu", (ull)c->tcp_send_bytes, (ull)c->echo_send_bytes);
  PERF_LINE("[  SyncData]:Send/Data= %llu / %llu", (ull)c->sync_send_bytes, (ull)c->sync_data_bytes);
  PERF_LINE("[  Recovery]:Send/Data= %llu / %llu", (ull)c->recovery_send_bytes, (ull)c->recovery_data_bytes);
  PERF_LINE("[Request Q ]:Write Now/Peak/Limit= %u / %u / %lu", c->write_req_now, c->write_req_peak, max_cnt);
  PERF_LINE("            :Send  Now/Peak/Limit= %lu / %lu / %lu", (unsigned long)v.q_cnt, (unsigned long)v.q_peak,
            mode == 1 ? max_cnt : (unsigned long)v.send_queue_cnt);
  PERF_LINE("[Ack1 T.O. ]:DCP Q Now/Peak/Limit= %u / %u / -", c->dcpq_now, c->dcpq_peak);
  PERF_LINE("[Ack1 Wait ]:Waiting Sync Bytes=%llu, RequestCount=%lu", (ull)c->waiting_sync_bytes,
            (unsigned long)v.q_cnt);
  PERF_LINE("[Deactivate]:Did not Sync Bytes=%llu, RequestCount=%llu", (ull)c->unmirrored_bytes,
            (ull)c->unmirrored_count);
  u32 next_recovery = READ_ONCE(g_table_control.next_id) & 0x7fffffff;
  PERF_LINE("[Request ID]:NextRecovery(1-)=%u (%#010x)", next_recovery, next_recovery);
  u32 seq = (u32)(v.request_seq & 0xffffff);
  PERF_LINE("            :NextSyncData(0-)=%u (%#010x)", seq, (nmp->minor << 24) | seq);
  PERF_LINE("[Ack1 Count]:Received=%llu, Total(ms)=%llu", (ull)c->ack1_count, (ull)c->ack1_total_ms);
  PERF_LINE("[Ack2 Count]:Received=%llu", (ull)c->ack2_count);
  int ack_limit = (int)READ_ONCE(nmp->ack_timeout);
  PERF_LINE("[Ack1 Reply]:Latest/Peak/Limit= %d.%03d / %d.%03d / %d", (int)(c->ack1_latest / 1000),
            (int)(c->ack1_latest % 1000), (int)(c->ack1_peak / 1000), (int)(c->ack1_peak % 1000), ack_limit);
  PERF_LINE("[Ack2 Reply]:Latest/Peak/Limit= %d.%03d / %d.%03d / %d", (int)(c->ack2_latest / 1000),
            (int)(c->ack2_latest % 1000), (int)(c->ack2_peak / 1000), (int)(c->ack2_peak % 1000), ack_limit);
  PERF_LINE("[Ack  Reply]:Latest/Peak/Limit= %d.%03d / %d.%03d / %d", (int)(c->ack_latest / 1000),
            (int)(c->ack_latest % 1000), (int)(c->ack_peak / 1000), (int)(c->ack_peak % 1000), ack_limit);
  PERF_LINE("[Recovery  ]:Waiting R/W(ms)= %llu / %llu", (ull)c->sync_wait_recovery_ms,
            (ull)c->recovery_wait_sync_ms);
  PERF_LINE("[Holder    ]:NMP=%d DP=%d CP=%d", perf_holders(nmp->own_bdev), perf_holders(nmp->dp_bdev),
            perf_holders(nmp->cp_bdev));
  u32 sw = READ_ONCE(nmp->sync_switch_flags);
  char sync_text[8] = "";
  mirvol_disp_sync_flag(sw, sync_text, sizeof(sync_text));
  PERF_LINE("[Flags     ]:MNT=%c IO=%c NW=%c<%c%c> SYNC=%c%s", v.mount_port ? 'Y' : '-', v.io_port ? 'Y' : '-',
            v.nw_port ? 'Y' : '-', v.hb_client_up ? 'c' : '-', v.hb_server_up ? 's' : '-',
            (sw == 0 || sw >= 256) ? 'Y' : '-', sync_text);
  PERF_LINE("            :DiskError=%c Rmmod=%c", v.disk_error_flag ? 'Y' : '-',
            READ_ONCE(g_mirvol_shutdown) ? 'Y' : '-');
  PERF_LINE("[Times     ]:MB=%llu LU=%llu DC=%llu", (ull)(u32)v.mirror_break_time, (ull)(u32)v.last_update_time,
            (ull)(u32)v.disconnect_time);
  u64 now = get_jiffies_64();
  PERF_LINE("[Current   ]:TM=%llu JF=%#lx HZ=%u", (ull)(u32)ktime_get_real_seconds(), (unsigned long)now,
            (unsigned)HZ);

  struct perf_net_view nws[PERF_MAX_NETWORKS];
  int n = 0;
  if (nmp->network_list_lock) {
    unsigned long flags;
    spin_lock_irqsave(nmp->network_list_lock, flags);
    for (struct network *nw = nmp->network_list; nw && n < PERF_MAX_NETWORKS; nw = nw->next, n++) {
      memcpy(nws[n].self_addr, nw->self_addr, MIRVOL_IPADDR_LEN);
      memcpy(nws[n].opponent_addr, nw->opponent_addr, MIRVOL_IPADDR_LEN);
      nws[n].state = nw->state;
      nws[n].send_time = nw->send_time;
      nws[n].last_echo_time = nw->last_echo_time;
      nws[n].last_response = nw->last_response;
      nws[n].max_response = nw->max_response;
    }
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
  }
  s32 hb_limit = (s32)(READ_ONCE(nmp->hb_recv_timeout) *
                       READ_ONCE(nmp->hb_recv_retry));
  for (int i = 0; i < n; i++) {
    const struct perf_net_view *nw = &nws[i];
    const char *state = nw->state == NW_FREE ? "FREE " : nw->state == NW_USING ? "USING" : nw->state == NW_ERROR ? "ERROR" : "";
    char addrs[96];
    if (nmp->ip_version == 6) {
      unsigned int s[8], o[8];
      for (int g = 0; g < 8; g++) {
        s[g] = (unsigned)nw->self_addr[2 * g] << 8 | nw->self_addr[2 * g + 1];
        o[g] = (unsigned)nw->opponent_addr[2 * g] << 8 | nw->opponent_addr[2 * g + 1];
      }
      mirvol_sprintf(addrs, sizeof(addrs), "%x:%x:%x:%x:%x:%x:%x:%x - %x:%x:%x:%x:%x:%x:%x:%x", s[0], s[1], s[2],
                     s[3], s[4], s[5], s[6], s[7], o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7]);
    } else {
      const u8 *s = nw->self_addr + 12, *o = nw->opponent_addr + 12;
      mirvol_sprintf(addrs, sizeof(addrs), "%u.%u.%u.%u - %u.%u.%u.%u", s[0], s[1], s[2], s[3], o[0], o[1], o[2],
                     o[3]);
    }
    PERF_LINE("[MDC%-2dECHO ]:%s %s", i + 1, addrs, state);
    PERF_LINE("[     Reply]:Latest/Peak/Limit= %d.%03d / %d.%03d / %d", nw->last_response / 1000,
              nw->last_response % 1000, nw->max_response / 1000, nw->max_response % 1000, (int)hb_limit);
    s32 waiting = 0;
    if (nw->send_time <= now && nw->last_echo_time < nw->send_time) {
      u64 ms = (now - nw->send_time) * 1000 / HZ;
      if (ms <= (u64)(u32)hb_limit * 1000) waiting = (s32)ms;
    }
    PERF_LINE("            :Waiting=%d.%03d", waiting / 1000, waiting % 1000);
  }
}

static void perf_seq_line(void *ctx, const char *line) {
  seq_printf(static_cast<struct seq_file *>(ctx), "%s\n", line);
}

static bool perf_unloading(void) { return smp_load_acquire(&g_unloading); }

// Takes g_proc_sem for a read. Unload takes the semaphore and then removes
// the files, which waits for the reads running on them, so a read tests
// g_unloading before it waits and waits in short steps that test it again.
static int mirvolperf_proc_read_nmp(struct seq_file *m, void *v) {
  (void)v;
  int minor = *static_cast<int *>(m->private_data);
  for (;;) {
    if (perf_unloading()) {
      seq_printf(m, "Mirror driver is being unloaded.\n");
      return 0;
    }
    if (signal_pending(get_current())) {
      seq_printf(m, "Process was interrupted.\n");
      return 0;
    }
    if (down_timeout(&g_proc_sem, HZ / 10 ? HZ / 10 : 1) == 0) break;
  }
  if (perf_unloading()) {
    seq_printf(m, "Mirror driver is being unloaded.\n");
  } else {
    struct nmp_info *nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, (u32)minor));
    if (!nmp) {
      seq_printf(m, "NMP%d is not initialized yet.\n", minor);
    } else if (!nmp->perf_area) {
      seq_printf(m, "NMP%d perf-area is not initialized yet.\n", minor);
    } else {
      char line[256];
      perf_lines(nmp, line, sizeof(line), perf_seq_line, m);
      u32 control;
      unsigned long flags;
      spin_lock_irqsave(&nmp->perf_area->lock, flags);
      control = nmp->perf_area->control;
      spin_unlock_irqrestore(&nmp->perf_area->lock, flags);
      if (!(control & PERF_CTL_NO_SEP) || READ_ONCE(g_driver_adj.mirvolperf) == 1)
        seq_printf(m, "-------------------------------------------\n");
    }
  }
  up(&g_proc_sem);
  return 0;
}

// --- the dump at unload ---

static void perf_log_line(void *ctx, const char *line) {
  (void)ctx;
  if (line[0]) mirvol_printk(MIRVOL_INFO "Perf%s\n", 294, line);
}

void mirvol_perf_printk_all(void) {
  char *buf = static_cast<char *>(kmalloc(4096, GFP_KERNEL));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate statistics buffer.\n", 145);
    return;
  }
  u32 printkperf = READ_ONCE(g_driver_adj.printkperf);
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    struct perf_area *a = nmp->perf_area;
    if (!a) continue;
    unsigned long flags;
    spin_lock_irqsave(&a->lock, flags);
    u32 control = a->control;
    spin_unlock_irqrestore(&a->lock, flags);
    if ((control & PERF_CTL_NO_DUMP) && printkperf != 1) continue;
    mirvol_printk(MIRVOL_INFO "Perf-------------NMP%d-------------\n", 294, (int)nmp->minor);
    perf_lines(nmp, buf, 4096, perf_log_line, nullptr);
    mirvol_printk(MIRVOL_INFO "Perf\n", 294);
  }
  kfree(buf);
}
