// Stopping and restarting a device's threads (commands 72 and 74), and the
// drains that move everything still in flight into the difference bitmap:
// the send queue, the received writes not yet written or answered, the
// wait-ACK2 entries and the bitmap write queues (commands 72, 53 and 86).

#include "include/mirvol_perf.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_nmp_stop.h"
#include "include/mirvol_port.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"

// Serialises commands 72 and 74 (of every device): both read and rewrite
// the thread records, and a start while a stop still waits for a thread
// would give the record a second owner.
static struct mutex g_nmp_stop_mutex;
static struct nmp_stop_mutex_setup {
  nmp_stop_mutex_setup() { mutex_init(&g_nmp_stop_mutex); }
} g_nmp_stop_mutex_setup;

// The stop loop naps 0.1 s, sends SIGTERM again every 10th nap, and gives
// up after two minutes: a thread that ignores SIGTERM must not hold the
// command (and the cluster service's failover) for ever.
#define MIRVOL_STOP_NAP (HZ / 10)
#define MIRVOL_STOP_PASS_NAPS 10
#define MIRVOL_STOP_MAX_NAPS 1200
// The wait for asynchronous writes on their way to the send queue: one
// tick at a time, at most 60 seconds.
#define MIRVOL_SUBMIT_MAX_NAPS (60 * HZ)

// The order of a kill pass: the DATA listener first, so that no new write
// is received while the others stop.
static const int mirvol_stop_order[] = {
    NMP_THREAD_ACCEPT,   NMP_THREAD_REMOTE_WRITE, NMP_THREAD_SEND_ACK1,
    NMP_THREAD_SEND_ACK2, NMP_THREAD_ACK2_SVR,    NMP_THREAD_HB_CLIENT,
    NMP_THREAD_HB_SVR,   NMP_THREAD_SEND_DATA,    NMP_THREAD_HISTORY,
};

static bool mirvol_thread_running(const struct nmp_thread_info *t) {
  return smp_load_acquire(&t->running) != 0;
}

bool mirvol_nmp_threads_running(struct nmp_info *nmp) {
  for (const struct nmp_thread_info &t : nmp->thread)
    if (mirvol_thread_running(&t)) return true;
  return false;
}

// Joins a thread that has left and forgets its handle; a thread that
// still runs keeps its record.
static void mirvol_reap_thread(struct nmp_thread_info *t) {
  if (mirvol_thread_running(t) || !t->pid_handle) return;
  kthread_join_pid(t->pid_handle);
  put_pid(t->pid_handle);
  t->pid_handle = nullptr;
  t->pid = 0;
}

// One kill pass; false when no thread of the device runs.
static bool mirvol_kill_pass(struct nmp_info *nmp) {
  bool any = false;
  for (int idx : mirvol_stop_order) {
    struct nmp_thread_info *t = &nmp->thread[idx];
    if (!mirvol_thread_running(t)) continue;
    any = true;
    mirvol_kill_proc_info(t);
  }
  return any;
}

// Sends SIGTERM until every thread of the device has ended; false when
// some still runs at the limit.
static bool mirvol_stop_nmp_threads(struct nmp_info *nmp) {
  int naps = 0;
  bool any = mirvol_kill_pass(nmp);
  while (any) {
    if (naps >= MIRVOL_STOP_MAX_NAPS) break;
    schedule_timeout_uninterruptible(MIRVOL_STOP_NAP);
    naps++;
    if (!mirvol_nmp_threads_running(nmp)) {
      any = false;
      break;
    }
    if (naps % MIRVOL_STOP_PASS_NAPS == 0) any = mirvol_kill_pass(nmp);
  }
  for (struct nmp_thread_info &t : nmp->thread) mirvol_reap_thread(&t);
  if (any)
    mirvol_printk(MIRVOL_ERR "NMP%d killing thread, but threads are still running after %d seconds.\n",
                  138, nmp->minor, MIRVOL_STOP_MAX_NAPS / 10);
  return !any;
}

// --- drains ---

void mirvol_wait_local_write_queue_empty(struct nmp_info *nmp) {
  // Received writes never submitted, and writes done here whose ACK1 was
  // never sent, go to the wait-ACK2 queue; the bitmap drain that follows
  // marks them in this server's bitmap.
  mirvol_recv_drain(nmp);
}

// Every network back to its state before any check: no opponent, ERROR.
static void mirvol_reset_networks(struct nmp_info *nmp) {
  if (!nmp->network_list_lock) return;
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  for (struct network *nw = nmp->network_list; nw; nw = nw->next) {
    memset(nw->opponent_addr, 0, sizeof(nw->opponent_addr));
    nw->recv_latch = nw->report_latch = nw->send_latch = 1;
    nw->last_echo_time = 0;
    nw->last_result = 0;
    nw->state = NW_ERROR;
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

// The DATA connections: the outgoing one under the send semaphore, so no
// sender uses it meanwhile; the accepted one only once its listener has
// ended, since the listener reads from it without the lock.
static void mirvol_release_data_socks(struct nmp_info *nmp) {
  mirvol_down_nmp_send_sem(nmp);
  mirvol_release_nmp_sock(nmp);
  mirvol_up_nmp_send_sem(nmp);
  if (mirvol_thread_running(&nmp->thread[NMP_THREAD_ACCEPT])) return;
  mirvol_recv_sock_lock();
  mirvol_nmp_recv_sock_release(nmp);
  mirvol_recv_sock_unlock();
}

// Closes the N/W port and waits until every asynchronous write that found
// it still open has reached the send queue, so that the drain after this
// sees it. Bounded: a writer held longer (a history file that cannot be
// written) is logged and left to the disconnection handling.
static void mirvol_close_port_for_drain(struct nmp_info *nmp) {
  mirvol_close_com_port(nmp);
  int naps = 0;
  // Read fully ordered, after the close, as the writers count fully ordered.
  while (atomic_add_return(0, &nmp->async_submitting) && naps < MIRVOL_SUBMIT_MAX_NAPS) {
    schedule_timeout_uninterruptible(1);
    naps++;
  }
  if (atomic_read_acquire(&nmp->async_submitting))
    mirvol_printk(MIRVOL_ERR "NMP%d draining, but asynchronous writes are still being queued.\n",
                  138, nmp->minor);
}

static u64 mirvol_request_queue_count(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  u64 n = nmp->request_queue_cnt;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return n;
}

// --- command 72 ---

void mirvol_set_nmp_to_reserve(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  u32 status = STATUS_OK;
  mutex_lock(&g_nmp_stop_mutex);
  smp_store_release(&nmp->active, 0);
  if (mirvol_mount_port(nmp))
    mirvol_printk(MIRVOL_ERR "NMP%d killing thread, but mount port is still opened.\n", 136,
                  nmp->minor);
  u64 requests = mirvol_request_queue_count(nmp);
  if (requests)
    mirvol_printk(MIRVOL_ERR "NMP%d killing thread, but %lu I/O request still exist.\n", 137,
                  nmp->minor, (unsigned long)requests);

  if (!mirvol_stop_nmp_threads(nmp)) status = STATUS_TIMEOUT;

  // Closed before the drains: a write that arrives now goes to the bitmap
  // itself instead of waiting in the send queue with no thread to send it.
  mirvol_close_port_for_drain(nmp);
  mirvol_wait_request_queue_empty(nmp);
  mirvol_remote_bitmap_write_reboot();
  mirvol_wait_local_write_queue_empty(nmp);
  if (mirvol_wait_bitmap_queue_empty(nmp) != STATUS_OK) status = STATUS_TIMEOUT;

  mirvol_reset_networks(nmp);
  mirvol_release_data_socks(nmp);
  mirvol_close_com_port(nmp);
  mutex_unlock(&g_nmp_stop_mutex);
  memcpy(rec, &status, sizeof(status));
}

// --- command 74 ---

void mirvol_nmp_thread_init(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  mutex_lock(&g_nmp_stop_mutex);
  // A thread still running (after a failed start, or a stop that gave up
  // on it) keeps its record and is not started twice; the others start
  // afresh.
  for (struct nmp_thread_info &t : nmp->thread) {
    if (mirvol_thread_running(&t)) continue;
    mirvol_reap_thread(&t);
    memset(&t, 0, sizeof(t));
  }
  u32 status = mirvol_start_nmp_threads(nmp, true);
  if (status == STATUS_OK) {
    mirvol_read_all_cptime(nmp);
    smp_store_release(&nmp->active, 1);
  }
  mutex_unlock(&g_nmp_stop_mutex);
  memcpy(rec, &status, sizeof(status));
}

// --- command 53 ---

void mirvol_wait_send_queue_empty(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  u32 status = STATUS_OK;
  u32 waited = 2;
  for (;;) {
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    bool queued = nmp->request_queue_head != nullptr;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (!queued) break;
    if (waited > READ_ONCE(nmp->ack_timeout)) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d waited for all I/O requests to be sent completely, but timeout "
                    "occurred. Writing differences to bitmap.\n",
                    124, nmp->minor);
      mirvol_close_port_for_drain(nmp);
      mirvol_wait_request_queue_empty(nmp);
      break;
    }
    schedule_timeout_uninterruptible(2 * HZ);
    waited += 2;
  }
  mirvol_perf_printk_nmp_differences(nmp);
  memcpy(rec, &status, sizeof(status));
}

// --- command 86 ---

void mirvol_set_time_and_wait_queue(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  mirvol_close_port_for_drain(nmp);
  mirvol_write_lastupdatetime(nmp);
  mirvol_write_cptime(nmp, nullptr, REQ_MIRRORBREAK_DONE);
  mirvol_wait_request_queue_empty(nmp);
  u32 status = STATUS_OK;
  memcpy(rec, &status, sizeof(status));
}
