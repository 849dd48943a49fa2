// Module load and unload: the module parameters, the status files, the block
// major, one mirror disk per configured minor, and the module-wide tables.

#include "include/mirvol.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_history.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_perf.h"
#include "include/mirvol_qos.h"
#include "include/mirvol_recv.h"
#include "platform/moduleparam.h"

// --- module parameters ---

int nmp_minor[MIRVOL_MAX_NMP];
unsigned int minor_num;
module_param_array(nmp_minor, int, &minor_num, 0600);
MODULE_PARM_DESC(nmp_minor, "minors of the mirror disks, comma-separated (required)");
int g_nmp_count;
module_param(g_nmp_count, int, 0);
MODULE_PARM_DESC(g_nmp_count, "set at load to the number of minors given in nmp_minor");
int g_mirvol_major = 218;
module_param(g_mirvol_major, int, 0);
MODULE_PARM_DESC(g_mirvol_major, "block major of the mirror disks (default 218)");

// --- module-wide values ---

struct mirvol_disk_entry mirvol_disk[MIRVOL_MAX_NMP];
u64 my_disk[MIRVOL_MAX_MINOR + 1];
int g_max_minor;
int g_unloading;
u64 g_make_request_cnt, g_make_request_peak, g_make_request_max_cnt;
u32 mirvol_min_request_count = 256, mirvol_max_request_count = 12288;
spinlock_t g_max_lock;
int g_disk_error_action[4] = {0, 1, 0, 0};
atomic_t g_disp_udev_msg = ATOMIC_INIT(1);
int g_history_cache_delnum = 2;
struct nmp_list g_nmp_list;
struct dcq_head g_dcq_head;
struct wait_ack2_queue_head g_wait_ack2_queue_head;
struct trans_table g_trans_table[MIRVOL_TRANS_TABLE_NUM];
struct table_control g_table_control;
struct wrbmp g_wrbmp;
struct semaphore *g_cache_sem;
struct cache_table *g_cachetable;
int g_cachenum;
int g_max_cachenum;
struct semaphore g_proc_sem;
wait_queue_head_t g_remote_wrbmp_wq, g_disk_error_wq;
struct nmp_thread_info g_disconnection_thread, g_local_bitmap_thread, g_disk_error_thread,
    g_remote_bitmap_thread;
int g_mirvol_shutdown;

// --- module-wide tables ---

// Frees the tables of mirvol_init_module_variable that exist, newest first.
static void mirvol_free_module_variable(void) {
  // Nodes still queued: the writer threads drain their queues before they
  // stop, so these are only what came when no writer ran.
  while (g_wrbmp.head) {
    struct wbq *next = g_wrbmp.head->next;
    kfree(g_wrbmp.head);
    g_wrbmp.head = next;
  }
  g_wrbmp.tail = nullptr;
  while (g_dcq_head.head) {
    struct dcq *next = g_dcq_head.head->next;
    kfree(g_dcq_head.head);
    g_dcq_head.head = next;
  }
  g_dcq_head.tail = nullptr;
  while (g_wait_ack2_queue_head.head) {
    struct wait_ack2_queue *next = g_wait_ack2_queue_head.head->next;
    kfree(g_wait_ack2_queue_head.head);
    g_wait_ack2_queue_head.head = next;
  }
  g_wait_ack2_queue_head.tail = g_wait_ack2_queue_head.cursor = nullptr;
  while (g_cachetable) {
    struct cache_table *next = g_cachetable->next;
    mirvol_kfree(&g_cachetable->sig_sem);
    kfree(g_cachetable);
    g_cachetable = next;
  }
  g_cachenum = 0;
  mirvol_kfree(&g_cache_sem);
  mirvol_kfree(&g_wrbmp.cnt);
  mirvol_kfree(&g_wrbmp.sys_var);
  mirvol_kfree(&g_table_control.table_lock);
  mirvol_kfree(&g_wait_ack2_queue_head.lock);
  mirvol_kfree(&g_dcq_head.sys);
  mirvol_kfree(&g_nmp_list.nmp_list_lock);
}

int mirvol_init_module_variable(void) {
  g_nmp_list.head = nullptr;
  g_nmp_list.nmp_list_lock = spinlock_t_malloc();
  if (!g_nmp_list.nmp_list_lock) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_nmp_list.nmp_list_lock.\n", 145);
    goto fail;
  }
  g_dcq_head.head = g_dcq_head.tail = nullptr;
  g_dcq_head.sys = mirvol_queue_head_spinlock_malloc();
  if (!g_dcq_head.sys) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_dcq_head.sys.\n", 145);
    goto fail;
  }
  g_wait_ack2_queue_head.head = g_wait_ack2_queue_head.tail = nullptr;
  g_wait_ack2_queue_head.cursor = nullptr;
  g_wait_ack2_queue_head.lock = spinlock_t_malloc();
  if (!g_wait_ack2_queue_head.lock) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_wait_ack2_queue_head.lock.\n", 145);
    goto fail;
  }
  memset(g_trans_table, 0, sizeof(g_trans_table));
  g_table_control.next_id = 1;
  g_table_control.table_lock = spinlock_t_malloc();
  if (!g_table_control.table_lock) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_table_control.table_lock.\n", 145);
    goto fail;
  }
  g_wrbmp.head = g_wrbmp.tail = nullptr;
  g_wrbmp.sys_var = mirvol_queue_head_spinlock_malloc();
  if (!g_wrbmp.sys_var) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_wrbmp.sys_var.\n", 145);
    goto fail;
  }
  g_wrbmp.cnt = static_cast<int *>(mirvol_kmalloc(sizeof(int) * (size_t)g_nmp_count));
  if (!g_wrbmp.cnt) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_wrbmp.cnt.\n", 145);
    goto fail;
  }
  memset(g_wrbmp.cnt, 0, sizeof(int) * (size_t)g_nmp_count);
  g_cache_sem = mirvol_semaphore_malloc();
  if (!g_cache_sem) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate g_cache_sem.\n", 145);
    goto fail;
  }

  // The first cache entry is optional: without it the cache starts empty.
  g_cachetable = static_cast<struct cache_table *>(mirvol_kmalloc(sizeof(struct cache_table)));
  g_cachenum = 0;
  if (g_cachetable) {
    memset(g_cachetable, 0, sizeof(*g_cachetable));
    g_cachetable->block_offset = -1;
    g_cachetable->owner_minor = -1;
    g_cachetable->last_use = mirvol_jiffies();
    g_cachetable->sig_sem = mirvol_semaphore_malloc();
    if (!g_cachetable->sig_sem) {
      mirvol_printk(MIRVOL_ERR "Failed to allocate g_cachetable->sig_sem.\n", 145);
      mirvol_kfree(&g_cachetable);
    } else {
      g_cachenum = 1;
    }
  }

  mirvol_cp_module_init();
  mirvol_initialize_fileio_buffers();

  g_make_request_cnt = 0;
  g_make_request_max_cnt = 4096;
  return 0;

fail:
  mirvol_free_module_variable();
  return -STATUS_NO_MEMORY;
}

int mirvol_get_index_from_minor(int minor) {
  for (int i = 0; i < g_nmp_count; i++)
    if (nmp_minor[i] == minor) return i;
  mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, minor,
                "mirvol_get_index_from_minor");
  return -1;
}

// --- thread stop ---

// The flags and times a status file prints, taken together under the
// device spinlock that their writers hold.
struct nmp_flags {
  u32 io_port, nw_port, mount_port, disk_error_flag;
  s32 reset_request;
  u64 disconnect_time, last_update_time, mirror_break_time;
  u64 send_queue_cnt, request_queue_cnt;
};

static struct nmp_flags mirvol_snapshot_flags(struct nmp_info *nmp) {
  struct nmp_flags f;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  f.io_port = nmp->io_port;
  f.nw_port = nmp->nw_port;
  f.mount_port = nmp->mount_port;
  f.disk_error_flag = nmp->disk_error_flag;
  f.reset_request = nmp->reset_request;
  f.disconnect_time = nmp->disconnect_time;
  f.last_update_time = nmp->last_update_time;
  f.mirror_break_time = nmp->mirror_break_time;
  f.send_queue_cnt = READ_ONCE(nmp->send_queue_cnt);
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  f.request_queue_cnt = nmp->request_queue_cnt;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return f;
}

// Sends SIGTERM to every running thread of the list, once a second, until
// none runs; then joins each, so nothing a thread uses is freed under it.
static void mirvol_stop_threads(struct nmp_thread_info *const *threads, int n) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  for (;;) {
    bool any = false;
    for (int i = 0; i < n; i++) {
      // Polled without a lock; the thread clears its flag as it leaves.
      if (!smp_load_acquire(&threads[i]->running)) continue;
      any = true;
      mirvol_kill_proc_info(threads[i]);
    }
    if (!any) break;
    mirvol_interruptible_sleep_on_timeout(&wq, HZ);
  }
  for (int i = 0; i < n; i++) {
    if (!threads[i]->pid_handle) continue;
    kthread_join_pid(threads[i]->pid_handle);
    put_pid(threads[i]->pid_handle);
    threads[i]->pid_handle = nullptr;
  }
}

void mirvol_kill_all_thread(void) {
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    u32 mounted = 0;
    u64 requests = 0;
    if (nmp->nmp_variable) {
      struct nmp_flags f = mirvol_snapshot_flags(nmp);
      mounted = f.mount_port;
      requests = f.request_queue_cnt;
    }
    if (mounted)
      mirvol_printk(MIRVOL_ERR "NMP%d killing thread, but mount port is still opened.\n", 136,
                    nmp->minor);
    if (requests)
      mirvol_printk(MIRVOL_ERR "NMP%d killing thread, but %lu I/O request still exist.\n", 137,
                    nmp->minor, (unsigned long)requests);
    struct nmp_thread_info *const order[] = {
        &nmp->thread[NMP_THREAD_ACCEPT],    &nmp->thread[NMP_THREAD_REMOTE_WRITE],
        &nmp->thread[NMP_THREAD_SEND_ACK1], &nmp->thread[NMP_THREAD_SEND_DATA],
        &nmp->thread[NMP_THREAD_SEND_ACK2], &nmp->thread[NMP_THREAD_ACK2_SVR],
        &nmp->thread[NMP_THREAD_HB_CLIENT], &nmp->thread[NMP_THREAD_HB_SVR],
        &nmp->thread[NMP_THREAD_HISTORY],
    };
    mirvol_stop_threads(order, (int)ARRAY_SIZE(order));
  }
  // No sender runs now: the ranges still in the send queues go to the
  // bitmap, and their ACK1 timers are stopped before the module-wide
  // threads that serve them end.
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    // Received writes still queued or on the disk end here, their ranges
    // on the wait-ACK2 queue that the final drain puts into the bitmap.
    mirvol_recv_drain(nmp);
    if (nmp->nmp_variable) mirvol_unload_request_queue(nmp);
  }
  struct nmp_thread_info *const common[] = {
      &g_disconnection_thread,
      &g_remote_bitmap_thread,
      &g_local_bitmap_thread,
      &g_disk_error_thread,
  };
  mirvol_stop_threads(common, (int)ARRAY_SIZE(common));
}

// --- status files ---

static struct proc_dir_entry *mirvol_proc, *mirvol_inner_proc;

static const char *port_text(u32 flag) { return flag ? "open" : "close"; }

static const char *net_state_text(int state) {
  switch (state) {
    case NW_USING:
      return "status: using";
    case NW_FREE:
      return "status: free";
    default:
      return "status: error";
  }
}

static bool mirvol_is_unloading(void) { return smp_load_acquire(&g_unloading); }

// Takes g_proc_sem for a read; false (with the text written) when the read
// must not go on. Unload takes the semaphore and then removes the files,
// which waits for the reads running on them: a read that waited for the
// semaphore without end would never let unload finish. So the read tests
// g_unloading before it waits, and waits in short steps that test it again.
static bool mirvol_proc_enter(struct seq_file *m) {
  for (;;) {
    if (mirvol_is_unloading()) {
      seq_printf(m, "Driver is being unloaded.\n");
      return false;
    }
    if (signal_pending(get_current())) {
      seq_printf(m, "Process was interrupted.\n");
      return false;
    }
    if (down_timeout(&g_proc_sem, HZ / 10 ? HZ / 10 : 1) == 0) break;
  }
  if (mirvol_is_unloading()) {
    seq_printf(m, "Driver is being unloaded.\n");
    up(&g_proc_sem);
    return false;
  }
  return true;
}

// Eight 16-bit groups of a network-order IPv6 address, each big-endian.
// big_to_little swaps in place, so it works on a copy of the address.
static void ipv6_groups(const u8 *addr, unsigned int *g) {
  u32 words[4];
  memcpy(words, addr, sizeof(words));
  big_to_little(words, 4);
  for (int i = 0; i < 4; i++) {
    g[2 * i] = words[i] & 0xffff;
    g[2 * i + 1] = words[i] >> 16;
  }
}

// A network as the status files print it.
struct nw_copy {
  u8 self_addr[MIRVOL_IPADDR_LEN];
  u8 opponent_addr[MIRVOL_IPADDR_LEN];
  int state;
};

// The device's networks (at most two): their states as
// mirvol_get_nmp_netstatus_for_proc reads them (which may select the
// current network), and copies of their addresses taken under
// network_list_lock, which command 73 rewrites them under. The text is made
// from the copies only. Returns the number of networks.
static int mirvol_copy_networks(struct nmp_info *nmp, struct nw_copy *out) {
  int states[2] = {NW_ERROR, NW_ERROR};
  mirvol_get_nmp_netstatus_for_proc(nmp, states);
  if (!nmp->network_list_lock) return 0;
  unsigned long flags;
  int n = 0;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  for (struct network *nw = nmp->network_list; nw && n < 2; nw = nw->next, n++) {
    memcpy(out[n].self_addr, nw->self_addr, MIRVOL_IPADDR_LEN);
    memcpy(out[n].opponent_addr, nw->opponent_addr, MIRVOL_IPADDR_LEN);
    out[n].state = states[n];
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return n;
}

static int mirvol_proc_read(struct seq_file *m, void *v) {
  (void)v;
  if (!mirvol_proc_enter(m)) return 0;
  seq_printf(m, "%s\n", "Tessalorium-4.1.0-1");
  seq_printf(m, "The compilation date:  %s  %s\n", __DATE__, __TIME__);
  unsigned long irq;
  spin_lock_irqsave(&g_max_lock, irq);
  u64 cnt = g_make_request_cnt, peak = g_make_request_peak, max = g_make_request_max_cnt;
  spin_unlock_irqrestore(&g_max_lock, irq);
  seq_printf(m, "current request count:%lu  peak request count:%lu  max request count:%lu\n",
             (unsigned long)cnt, (unsigned long)peak, (unsigned long)max);
  seq_printf(m, "\n");
  seq_printf(m, "NMPs' detail:\n");
  seq_printf(m, "\n");
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    int blksize = nmp->dp_bdev ? mirvol_get_blksize_size(nmp->dp_bdev) : 0;
    seq_printf(m, "%-21smajor:%-10dminor:%-10dblksize:%d\n", nmp->name, (int)nmp->major,
               (int)nmp->minor, blksize);
    seq_printf(m, "%-21smajor:%-10dminor:%-10dblksize:%d\n", "data partition:", (int)nmp->dp_major,
               (int)nmp->dp_minor, blksize);
    seq_printf(m, "%-21smajor:%-10dminor:%d\n", "cluster partition:", (int)nmp->cp_major,
               (int)nmp->cp_minor);
    struct nmp_flags f = mirvol_snapshot_flags(nmp);
    seq_printf(m, "driver port:%-9d", nmp->data_port);
    seq_printf(m, "I/O port:");
    seq_printf(m, "%-7s", port_text(f.io_port));
    seq_printf(m, "com port:");
    seq_printf(m, "%-7s", port_text(f.nw_port));
    seq_printf(m, "mount port:");
    seq_printf(m, "%-7s", port_text(f.mount_port));
    if (nmp->mode == 0)
      seq_printf(m, "\n%-21smax:%-12lucurrent:%-9lu", "send request count:",
                 (unsigned long)f.send_queue_cnt,
                 (unsigned long)f.request_queue_cnt);
    seq_printf(m, "\n");
    struct nw_copy nws[2];
    int n = mirvol_copy_networks(nmp, nws);
    for (int i = 0; i < n; i++) {
      const struct nw_copy *nw = &nws[i];
      if (nmp->ip_version == 4) {
        const u8 *s = nw->self_addr + 12, *o = nw->opponent_addr + 12;
        seq_printf(m, "self IP: %u.%u.%u.%u opponent IP: %u.%u.%u.%u ", s[0], s[1], s[2], s[3], o[0],
                   o[1], o[2], o[3]);
      } else {
        unsigned int s[8], o[8];
        ipv6_groups(nw->self_addr, s);
        ipv6_groups(nw->opponent_addr, o);
        seq_printf(m, "self IP: %x:%x:%x:%x:%x:%x:%x:%x opponent IP: %x:%x:%x:%x:%x:%x:%x:%x ", s[0],
                   s[1], s[2], s[3], s[4], s[5], s[6], s[7], o[0], o[1], o[2], o[3], o[4], o[5], o[6],
                   o[7]);
      }
      seq_printf(m, "%-16s\n", net_state_text(nw->state));
    }
    seq_printf(m, "\n");
  }
  up(&g_proc_sem);
  return 0;
}

// A stored address as four 32-bit words, each read little-endian.
static void addr_words(const u8 *addr, unsigned int *w) {
  for (int i = 0; i < 4; i++)
    w[i] = (u32)addr[4 * i] | (u32)addr[4 * i + 1] << 8 | (u32)addr[4 * i + 2] << 16 |
           (u32)addr[4 * i + 3] << 24;
}

static int mirvol_inner_proc_read(struct seq_file *m, void *v) {
  (void)v;
  if (!mirvol_proc_enter(m)) return 0;
  // The cluster service reads by position: the count and the blocks after
  // it are of one snapshot of the list. Devices are only appended, so the
  // first `count` devices from this head are the ones counted, whatever is
  // appended meanwhile.
  struct nmp_info *first = mirvol_nmp_first();
  int count = 0;
  for (struct nmp_info *nmp = first; nmp; nmp = mirvol_nmp_next(nmp)) count++;
  seq_printf(m, "%d\n", count);
  struct nmp_info *nmp = first;
  for (int d = 0; d < count; d++, nmp = mirvol_nmp_next(nmp)) {
    seq_printf(m, "%s\n", nmp->name);
    seq_printf(m, "%d\n", (int)nmp->mdc_cnt);
    struct nw_copy nws[2];
    int n = mirvol_copy_networks(nmp, nws);
    for (int i = 0; i < n; i++) {
      const struct nw_copy *nw = &nws[i];
      unsigned int s[4], o[4];
      addr_words(nw->self_addr, s);
      addr_words(nw->opponent_addr, o);
      seq_printf(m, "%d %d ", nw->state, (int)nmp->ip_version);
      seq_printf(m, "%u %u %u %u %u %u %u %u\n", s[0], s[1], s[2], s[3], o[0], o[1], o[2], o[3]);
    }
    struct nmp_flags f = mirvol_snapshot_flags(nmp);
    seq_printf(m, "%d %d %d %d %d %d %d %d\n", (s32)(u32)f.disconnect_time,
               (s32)(u32)f.last_update_time, (s32)(u32)f.mirror_break_time, (int)f.nw_port,
               (int)f.io_port, (int)f.mount_port, (int)f.disk_error_flag, (int)f.reset_request);
  }
  up(&g_proc_sem);
  return 0;
}

// --- load and unload ---

static void mirvol_remove_status_files(void) {
  if (mirvol_inner_proc) remove_proc_entry("mirvolinner", nullptr);
  if (mirvol_proc) remove_proc_entry("mirvolstat", nullptr);
  mirvol_inner_proc = mirvol_proc = nullptr;
}

// Refuses minors the request path cannot index (my_disk covers 0 to 64) and
// minors given twice, which would make two disks of one device number.
static int mirvol_check_minors(void) {
  for (int i = 0; i < g_nmp_count; i++) {
    if (nmp_minor[i] < 0 || nmp_minor[i] > MIRVOL_MAX_MINOR) {
      mirvol_printk(MIRVOL_ERR "nmp_minor (%d) passed to %s is out of range (0 to %d).\n", 120,
                    nmp_minor[i], MIRVOL_MODULE_NAME, MIRVOL_MAX_MINOR);
      return -EIO;
    }
    for (int j = 0; j < i; j++)
      if (nmp_minor[j] == nmp_minor[i]) {
        mirvol_printk(MIRVOL_ERR "nmp_minor (%d) is passed to %s twice.\n", 120, nmp_minor[i],
                      MIRVOL_MODULE_NAME);
        return -EIO;
      }
  }
  return 0;
}

// Every module-wide value starts from its load value, as a freshly loaded
// module image would (the host and the tests load the module more than
// once in one process).
static void mirvol_reset_module_values(void) {
  // The request path reads the sizes without a lock.
  for (u64 &size : my_disk) smp_store_release(&size, 0);
  mirvol_request_path_reset();
  g_make_request_cnt = g_make_request_peak = 0;
  mirvol_min_request_count = 256;
  mirvol_max_request_count = 12288;
  const int actions[4] = {0, 1, 0, 0};
  memcpy(g_disk_error_action, actions, sizeof(actions));
  atomic_set(&g_disp_udev_msg, 1);
  g_history_cache_delnum = 2;
  g_mirvol_shutdown = 0;
  g_max_cachenum = 0;
  g_driver_adj = {0, 0, 0, 0, 1, 0};
  memset(&g_disconnection_thread, 0, sizeof(g_disconnection_thread));
  memset(&g_local_bitmap_thread, 0, sizeof(g_local_bitmap_thread));
  memset(&g_disk_error_thread, 0, sizeof(g_disk_error_thread));
  memset(&g_remote_bitmap_thread, 0, sizeof(g_remote_bitmap_thread));
}

int init_module(void) {
  mirvol_reset_module_values();
  mirvol_bitmap_writer_init();
  memset(mirvol_disk, 0, sizeof(mirvol_disk));
  g_nmp_count = (int)minor_num;
  mirvol_printk_init();
  if (g_nmp_count == 0) {
    mirvol_printk(MIRVOL_ERR "insmod did not pass nmp_minor array to %s with module_param_array.\n",
                  120, MIRVOL_MODULE_NAME);
    return -EIO;
  }
  if (mirvol_check_minors()) return -EIO;

  g_max_minor = nmp_minor[0];
  for (int i = 1; i < g_nmp_count; i++)
    if (nmp_minor[i] > g_max_minor) g_max_minor = nmp_minor[i];
  sema_init(&g_proc_sem, 1);
  smp_store_release(&g_unloading, 0);

  mirvol_proc = proc_create_single_data("mirvolstat", 0, nullptr, mirvol_proc_read, nullptr);
  if (!mirvol_proc) {
    mirvol_printk(MIRVOL_ERR "Failed to create a proc file %s.\n", 121, "mirvolstat");
    return -EIO;
  }
  mirvol_inner_proc =
      proc_create_single_data("mirvolinner", 0, nullptr, mirvol_inner_proc_read, nullptr);
  if (!mirvol_inner_proc) {
    mirvol_printk(MIRVOL_ERR "Failed to create a proc file %s.\n", 121, "mirvolinner");
    mirvol_remove_status_files();
    return -EIO;
  }

  if (register_blkdev((unsigned int)g_mirvol_major, MIRVOL_MODULE_NAME) < 0) {
    mirvol_printk(MIRVOL_ERR "Failed to register blkdev with major=%d.\n", 102, g_mirvol_major);
    mirvol_remove_status_files();
    return -EIO;
  }
  mirvol_printk(MIRVOL_INFO "Registered blkdev with major=%d.\n", 101, g_mirvol_major);

  if (mirvol_disk_init()) {
    unregister_blkdev((unsigned int)g_mirvol_major, MIRVOL_MODULE_NAME);
    mirvol_printk(MIRVOL_INFO "Unregistered blkdev with major=%d.\n", 103, g_mirvol_major);
    mirvol_remove_status_files();
    return -EIO;
  }

  int r = mirvol_init_module_variable();
  if (r) {
    mirvol_disk_clean();
    unregister_blkdev((unsigned int)g_mirvol_major, MIRVOL_MODULE_NAME);
    mirvol_printk(MIRVOL_INFO "Unregistered blkdev with major=%d.\n", 103, g_mirvol_major);
    mirvol_remove_status_files();
    return r;
  }

  spin_lock_init(&g_max_lock);
  init_waitqueue_head(&g_remote_wrbmp_wq, "g_remote_wrbmp_wq");
  init_waitqueue_head(&g_disk_error_wq, "g_disk_error_wq");
  return 0;
}

// The time writes of requests given up into the bitmap may still be on the
// Cluster Partition after everything else has stopped; their completion
// finishes the request and touches the device, so the records are freed
// only once they have ended (waited for at most 30 seconds per device).
static void mirvol_wait_cp_time_writes(void) {
  for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
    int naps = 0;
    while (atomic_read_acquire(&nmp->cp_time_writes) && naps < 3000) {
      msleep(10);
      naps++;
    }
    u32 left = atomic_read_acquire(&nmp->cp_time_writes);
    if (left)
      mirvol_printk(MIRVOL_ERR
                    "NMP%d unloading, but %u Cluster Partition time writes are still in flight.\n",
                    138, nmp->minor, left);
  }
}

void cleanup_module(void) {
  // Read without a lock by the status files and the socket loops.
  smp_store_release(&g_unloading, 1);

  // Kept for the removal of the statistics files; the allocation is
  // retried until it succeeds.
  wait_queue_head_t *wq;
  while (!(wq = mirvol_wait_queue_head_t_malloc())) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate wq, retrying.\n", 145);
    msleep(1000);
  }
  mirvol_init_waitqueue_head(wq);

  mirvol_perf_printk_all();
  mirvol_kill_all_thread();
  mirvol_destroy_fileio_buffers();
  mirvol_bitmap_writer_final_drain();
  mirvol_wait_cp_time_writes();

  unregister_blkdev((unsigned int)g_mirvol_major, MIRVOL_MODULE_NAME);
  mirvol_printk(MIRVOL_INFO "Unregistered blkdev with major=%d.\n", 103, g_mirvol_major);

  // The removal is never skipped, so the wait is not interruptible.
  down(&g_proc_sem);
  mirvol_perf_remove_proc_dir();
  mirvol_remove_status_files();
  up(&g_proc_sem);

  mirvol_kfree(&wq);
  mirvol_cleanup_module_free();
  mirvol_disk_clean();
}

// --- mirror disks ---

// The mirror disks answer only the control commands.
static const struct block_device_operations mirvol_fops = {nullptr, nullptr, mirvol_ioctl, nullptr};

int mirvol_disk_init(void) {
  for (int i = 0; i < g_nmp_count; i++) {
    struct request_queue *q = blk_alloc_queue(GFP_KERNEL);
    if (!q) {
      mirvol_printk(MIRVOL_ERR "Failed to allocate blk_queue.\n", 145);
      goto fail;
    }
    blk_queue_make_request(q, mirvol_make_request);
    mirvol_disk[i].queue = q;

    struct gendisk *disk = alloc_disk(1);
    if (!disk) {
      mirvol_printk(MIRVOL_ERR "Failed to allocate disk.\n", 145);
      goto fail;
    }
    disk->major = g_mirvol_major;
    disk->first_minor = nmp_minor[i];
    disk->fops = &mirvol_fops;
    disk->private_data = nullptr;
    mirvol_sprintf(disk->disk_name, sizeof(disk->disk_name), "NMP%d", nmp_minor[i]);
    set_capacity(disk, 1024);
    disk->queue = q;
    add_disk(disk);
    mirvol_printk(MIRVOL_INFO "Adding disk NMP%-2d with major=%d minor=%d.\n", 110, nmp_minor[i],
                  g_mirvol_major, nmp_minor[i]);
    mirvol_disk[i].disk = disk;
  }
  return 0;

fail:
  mirvol_disk_clean();
  return -1;
}

void mirvol_disk_clean(void) {
  for (int i = 0; i < g_nmp_count; i++) {
    if (mirvol_disk[i].disk) {
      mirvol_printk(MIRVOL_INFO "Deleting disk NMP%-2d with major=%d minor=%d.\n", 111,
                    nmp_minor[i], g_mirvol_major, nmp_minor[i]);
      del_gendisk(mirvol_disk[i].disk);
      put_disk(mirvol_disk[i].disk);
    }
    if (mirvol_disk[i].queue) {
      mirvol_printk(MIRVOL_INFO "Cleaning up   NMP%-2d queue.\n", 112, nmp_minor[i]);
      blk_cleanup_queue(mirvol_disk[i].queue);
    }
  }
}

// --- queue limits of a mirror disk ---

void mirvol_log_nmp_queue_stack_limits(struct request_queue *q) {
  unsigned int lbs = queue_logical_block_size(q);
  mirvol_printk(MIRVOL_INFO "Perf[Block     ]:Siz(L/P)=%d/%d Sec(S/H)=%d/%d\n", 294,
                lbs ? (int)lbs : 512, (int)queue_physical_block_size(q), (int)queue_max_sectors(q),
                (int)queue_max_hw_sectors(q));
  mirvol_printk(MIRVOL_INFO "Perf[Segment   ]:Siz=%d Seg=%d \n", 294, (int)queue_max_segment_size(q),
                (int)queue_max_segments(q));
  mirvol_printk(MIRVOL_INFO "Perf[discard   ]:DiscardFlag=%s\n", 294,
                blk_queue_discard(q) ? "ON" : "OFF");
}

// Method 1: take each limit of the data partition where it is stricter;
// nothing is ever loosened.
static void mirvol_stack_limits_strict(struct request_queue *q, struct request_queue *d) {
  struct queue_limits *ql = &q->limits;
  const struct queue_limits *dl = &d->limits;
  unsigned int dlbs = dl->logical_block_size ? dl->logical_block_size : 512;
  if (dlbs > ql->logical_block_size) ql->logical_block_size = dlbs;
  if (dl->physical_block_size > ql->physical_block_size)
    ql->physical_block_size = dl->physical_block_size;
  if (ql->physical_block_size < ql->logical_block_size)
    ql->physical_block_size = ql->logical_block_size;
  if (dl->max_hw_sectors && dl->max_hw_sectors < ql->max_hw_sectors)
    ql->max_hw_sectors = dl->max_hw_sectors;
  if (dl->max_sectors && dl->max_sectors < ql->max_sectors) ql->max_sectors = dl->max_sectors;
  if (dl->max_segment_size && dl->max_segment_size < ql->max_segment_size)
    ql->max_segment_size = dl->max_segment_size;
  if (dl->max_segments && dl->max_segments < ql->max_segments) ql->max_segments = dl->max_segments;
}

int mirvol_set_nmp_queue_stack_limits(struct nmp_info *nmp) {
  struct request_queue *q = nmp->own_bdev ? bdev_get_queue(nmp->own_bdev) : nullptr;
  struct request_queue *d = nmp->dp_bdev ? bdev_get_queue(nmp->dp_bdev) : nullptr;
  if (!q || !d) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d queue pointer of NMP (%p) or DP (%p) is invalid. "
                  "(mirvol_set_nmp_queue_stack_limits)\n",
                  182, nmp->minor, (void *)q, (void *)d);
    return 0;
  }
  int result = 1;
  int log = g_driver_adj.limits_log_flag != 0;
  switch (g_driver_adj.queue_limits_method) {
    case 0: {
      unsigned int lbs = mirvol_get_logical_block_size(nmp->dp_bdev);
      q->limits.logical_block_size = lbs;
      q->limits.physical_block_size = lbs;
      if (queue_max_sectors(d) < queue_max_sectors(q))
        blk_queue_max_hw_sectors(q, queue_max_sectors(d));
      if (log)
        mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d setting sectors and size.\n", 294,
                      nmp->minor);
      break;
    }
    case 1:
      mirvol_stack_limits_strict(q, d);
      if (log)
        mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d setting sectors, segments and size.\n", 294,
                      nmp->minor);
      break;
    case 3:
      blk_set_stacking_limits(&q->limits);
      if (log)
        mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d using blk_set_stacking_limits()\n", 294,
                      nmp->minor);
      [[fallthrough]];
    case 2:
      if (!q->queue_lock) {
        q->queue_lock = &q->__queue_lock;
        if (log)
          mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d queue_lock set.\n", 294, nmp->minor);
      }
      blk_queue_stack_limits(q, d);
      if (log)
        mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d using blk_queue_stack_limits()\n", 294,
                      nmp->minor);
      break;
    default:
      mirvol_printk(MIRVOL_ERR
                    "NMP%d queue_limits_method (%d) is invalid. "
                    "(mirvol_set_nmp_queue_stack_limits)\n",
                    182, nmp->minor, (int)g_driver_adj.queue_limits_method);
      result = 0;
      break;
  }
  if (log) {
    mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:NMP%d\n", 294, nmp->minor);
    mirvol_log_nmp_queue_stack_limits(q);
    mirvol_printk(MIRVOL_INFO "Perf[SET LIMITS]:DP\n", 294);
    mirvol_log_nmp_queue_stack_limits(d);
  }
  return result;
}

int mirvol_check_iosize(struct nmp_info *nmp) {
  struct request_queue *d = nmp->dp_bdev ? bdev_get_queue(nmp->dp_bdev) : nullptr;
  struct request_queue *c = nmp->cp_bdev ? bdev_get_queue(nmp->cp_bdev) : nullptr;
  if (!d || !c) return 0;
  unsigned int dmax = queue_max_segments(d), cmax = queue_max_segments(c);
  if (!dmax || !cmax) return 0;
  unsigned int need = (nmp->iosize + 3) / 4;
  if (dmax < need) {
    mirvol_printk(MIRVOL_INFO "NMP%d iosize (%d) is invalid. (DP max=%d)\n", 186, nmp->minor,
                  (int)nmp->iosize, (int)(dmax * 4));
    return 0;
  }
  if (cmax < need) {
    mirvol_printk(MIRVOL_INFO "NMP%d iosize (%d) is invalid. (CP max=%d)\n", 186, nmp->minor,
                  (int)nmp->iosize, (int)(cmax * 4));
    return 0;
  }
  return 1;
}

// This platform has no queue plugging: submitted I/O is already on its way.
void mirvol_unplug_bdev(struct block_device *bdev, int flag) {
  (void)bdev;
  (void)flag;
}

// --- freeing the device records ---

static void mirvol_free_queue_nodes(struct queue_head *qh) {
  // Every node kind begins with its next pointer.
  struct node {
    struct node *next;
  };
  struct node *n = static_cast<struct node *>(qh->head);
  while (n) {
    struct node *next = n->next;
    kfree(n);
    n = next;
  }
  qh->head = qh->tail = nullptr;
  mirvol_kfree(&qh->sys_var);
}

// Requests still in the send queue once every thread has stopped: each
// one's ACK1 timer is stopped before it is freed, and an upper I/O not yet
// ended is ended with an error, so nothing waits on it for ever.
static void mirvol_free_leftover_requests(struct nmp_info *nmp) {
  for (;;) {
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
    struct io_request *req = nmp->request_queue_head;
    spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
    if (!req) return;
    mirvol_del_req_queue(nmp, req->request_id);
    if (!req->async_local_done && req->upper_bio) {
      req->upper_bio->bi_status = BLK_STS_IOERR;
      bio_endio(req->upper_bio);
    }
    mirvol_free_request(req);
  }
}

void mirvol_cleanup_module_free(void) {
  struct nmp_info *nmp = g_nmp_list.head;
  while (nmp) {
    struct nmp_info *next = nmp->next;
    if (nmp->own_bdev) bdput(nmp->own_bdev);
    if (nmp->cp_bdev) blkdev_put(nmp->cp_bdev, FMODE_READ | FMODE_WRITE);
    if (nmp->dp_bdev) blkdev_put(nmp->dp_bdev, FMODE_READ | FMODE_WRITE);
    if (nmp->cp_file) fput(nmp->cp_file);
    if (nmp->dp_file) fput(nmp->dp_file);
    while (nmp->network_list) {
      struct network *nw = nmp->network_list->next;
      kfree(nmp->network_list);
      nmp->network_list = nw;
    }
    mirvol_kfree(&nmp->network_list_lock);
    mirvol_free_queue_nodes(&nmp->send_ack2_queue);
    mirvol_kfree(&nmp->recover_buff);
    if (nmp->data_sock) {
      mirvol_tcp_delete_keepalive_timer(nmp->data_sock);
      sock_release(nmp->data_sock);
    }
    if (nmp->nmp_variable) {
      mirvol_free_leftover_requests(nmp);
      del_timer_sync(&nmp->nmp_variable->connect_timer);
      del_timer_sync(&nmp->nmp_variable->send_timer);
    }
    mirvol_kfree(&nmp->nmp_variable);
    mirvol_free_queue_nodes(&nmp->remote_write_head);
    mirvol_free_queue_nodes(&nmp->send_ack1_head);
    mirvol_free_queue_nodes(&nmp->history_head);
    mirvol_qos_free_nmp(nmp->qos_area);
    mirvol_perf_free_nmp(nmp->perf_area);
    mirvol_history_free(nmp->history);
    kfree(nmp);
    nmp = next;
  }
  g_nmp_list.head = nullptr;
  mirvol_free_module_variable();
}
