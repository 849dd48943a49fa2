// Mirror device creation (command 102): the device-init record is checked,
// the Cluster and Data Partitions are opened from the caller's descriptors,
// the device record is built with its networks, locks, queues and
// sub-objects, and an active device's threads are started.

#include "include/mirvol_records.h"
#include "include/mirvol_ack2_recv.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_hb.h"
#include "include/mirvol_history.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_param.h"
#include "include/mirvol_port.h"
#include "include/mirvol_qos.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_trans.h"

// Serialises device creation: the duplicate checks and the append to
// g_nmp_list must be one step, and creation sleeps in between.
static struct mutex g_nmp_init_mutex;
static struct nmp_init_mutex_setup {
  nmp_init_mutex_setup() { mutex_init(&g_nmp_init_mutex); }
} g_nmp_init_mutex_setup;

const char *mirvol_init_nmp_clients(struct nmp_info *nmp) {
  nmp->send_ack2_queue.sys_var = mirvol_queue_head_spinlock_malloc();
  if (!nmp->send_ack2_queue.sys_var) return "send_ack2_queue.sys_var";
  nmp->network_list_lock = spinlock_t_malloc();
  if (!nmp->network_list_lock) return "network_list.network_list_lock";
  struct client_block *clients[] = {&nmp->ack2_client, &nmp->hb_client};
  for (struct client_block *cb : clients) {
    sema_init(&cb->sem, 1);
    init_timer(&cb->timer1);
    init_timer(&cb->timer2);
    cb->state_flags[0] = cb->state_flags[1] = cb->state_flags[2] = 1;
  }
  return nullptr;
}

void mirvol_add_nmp_list(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
  struct nmp_info **p = &g_nmp_list.head;
  while (*p) p = &(*p)->next;
  nmp->next = nullptr;
  // Published whole: the status files walk the list without the lock.
  smp_store_release(p, nmp);
  spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
}

// --- networks ---

struct network *mirvol_get_using_network(struct nmp_info *nmp) {
  unsigned long flags;
  struct network *found = nullptr;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  for (struct network *nw = nmp->network_list; nw; nw = nw->next)
    if (nw->state == NW_USING) {
      found = nw;
      break;
    }
  if (!found)
    for (struct network *nw = nmp->network_list; nw; nw = nw->next)
      if (nw->state == NW_FREE) {
        nw->state = NW_USING;
        found = nw;
        break;
      }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  if (!found) mirvol_close_com_port(nmp);
  return found;
}

// Builds the network list from the record's entries. An active record gives
// the states too: a state above ERROR is taken as ERROR, and only the first
// network in use stays in use.
static int mirvol_build_networks(struct nmp_info *nmp, const u8 *entries, u32 count, u32 active) {
  struct network **tail = &nmp->network_list;
  bool using_seen = false;
  for (u32 i = 0; i < count; i++) {
    const auto e = mirvol_rec::rec_load<mirvol_rec::net_entry>(entries + i * MIRVOL_NET_ENTRY_SIZE);
    struct network *nw = static_cast<struct network *>(mirvol_kmalloc(sizeof(struct network)));
    if (!nw) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate network_list.network.\n", 145, nmp->minor);
      return -ENOMEM;
    }
    memset(nw, 0, sizeof(*nw));
    mirvol_put_ipaddress(nw->self_addr, e.self);
    nw->recv_latch = nw->report_latch = nw->send_latch = 1;
    if (active == 1) {
      mirvol_put_ipaddress(nw->opponent_addr, e.peer);
      u32 state = e.state;
      if (state > NW_ERROR) state = NW_ERROR;
      if (state == NW_USING) {
        if (using_seen) state = NW_FREE;
        using_seen = true;
      }
      nw->state = state;
    } else {
      nw->state = NW_ERROR;
    }
    *tail = nw;
    tail = &nw->next;
  }
  return 0;
}

// --- sub-objects of later units ---

static void mirvol_free_nmp(struct nmp_info *nmp) {
  while (nmp->network_list) {
    struct network *next = nmp->network_list->next;
    kfree(nmp->network_list);
    nmp->network_list = next;
  }
  mirvol_kfree(&nmp->network_list_lock);
  mirvol_kfree(&nmp->send_ack2_queue.sys_var);
  mirvol_kfree(&nmp->recover_buff);
  mirvol_kfree(&nmp->nmp_variable);
  mirvol_kfree(&nmp->remote_write_head.sys_var);
  mirvol_kfree(&nmp->send_ack1_head.sys_var);
  mirvol_kfree(&nmp->history_head.sys_var);
  mirvol_history_free(nmp->history);
  mirvol_qos_free_nmp(nmp->qos_area);
  mirvol_perf_free_nmp(nmp->perf_area);
  if (nmp->own_bdev) bdput(nmp->own_bdev);
  if (nmp->cp_bdev) blkdev_put(nmp->cp_bdev, FMODE_READ | FMODE_WRITE);
  if (nmp->dp_bdev) blkdev_put(nmp->dp_bdev, FMODE_READ | FMODE_WRITE);
  kfree(nmp);
}

// --- device threads ---

struct mirvol_thread_start {
  const char *suffix;
  int record;
  int (*fn)(void *);
  const char *started;
  const char *failed;
  bool async_only;
};

static const struct mirvol_thread_start mirvol_thread_starts[] = {
    {"01", NMP_THREAD_ACK2_SVR, mirvol_ack2_svr_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_ack2_svr_thread       (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_ack2_svr_thread       (err=%d)\n", false},
    {"07", NMP_THREAD_SEND_ACK2, mirvol_send_ack2_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_send_ack2_thread      (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_send_ack2_thread      (err=%d)\n", false},
    {"02", NMP_THREAD_HB_SVR, mirvol_hb_svr_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_hb_svr_thread         (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_hb_svr_thread         (err=%d)\n", false},
    {"03", NMP_THREAD_HB_CLIENT, mirvol_hb_client_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_hb_client_thread      (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_hb_client_thread      (err=%d)\n", false},
    {"04", NMP_THREAD_REMOTE_WRITE, mirvol_remote_write_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_remote_write_thread   (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_remote_write_thread   (err=%d)\n", false},
    {"06", NMP_THREAD_SEND_ACK1, mirvol_send_ack1_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_send_ack1_thread      (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_send_ack1_thread      (err=%d)\n", false},
    {"05", NMP_THREAD_ACCEPT, mirvol_accept_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_accept_thread         (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_accept_thread         (err=%d)\n", false},
    {"09", NMP_THREAD_HISTORY, mirvol_history_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_history_thread        (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_history_thread        (err=%d)\n", true},
    {"08", NMP_THREAD_SEND_DATA, mirvol_send_data_thread,
     MIRVOL_INFO "NMP%d new thread: mirvol_send_data_thread      (PID=%d)\n",
     MIRVOL_ERR "NMP%d failed to fork thread: mirvol_send_data_thread      (err=%d)\n", true},
};

// Starts the device's threads that do not run, in their order. With
// stop_at_failure the first thread that cannot start ends the run. Returns the status word.
u32 mirvol_start_nmp_threads(struct nmp_info *nmp, bool stop_at_failure) {
  u32 status = STATUS_OK;
  for (const struct mirvol_thread_start &t : mirvol_thread_starts) {
    if (t.async_only && nmp->mode != 0) continue;
    // A thread that still runs keeps its record and is not started twice.
    if (smp_load_acquire(&nmp->thread[t.record].running)) continue;
    char name[TASK_COMM_LEN];
    mirvol_sprintf(name, sizeof(name), "mirvol_nmp%02d_%s", (int)nmp->minor, t.suffix);
    int pid = mirvol_kernel_thread_info(t.fn, nmp, name, &nmp->thread[t.record]);
    if (pid < 0) {
      mirvol_printk(t.failed, 131, nmp->minor, pid);
      status = STATUS_FAILED;
      if (stop_at_failure) break;
      continue;
    }
    mirvol_printk(t.started, 130, nmp->minor, pid);
  }
  return status;
}

// --- creation ---

// Opens one partition from the caller's descriptor; null (with the file
// released) when the descriptor is missing or is neither a block device
// nor an image file.
static struct block_device *mirvol_open_partition(int fd, struct file **filep) {
  struct file *f = fget((unsigned int)fd);
  if (!f) return nullptr;
  struct block_device *bdev = blkdev_get_by_file(f, FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR(bdev)) {
    fput(f);
    return nullptr;
  }
  *filep = f;
  return bdev;
}

static bool mirvol_same_bdev(const struct block_device *a, const struct block_device *b) {
  return a && b && a->bd_dev == b->bd_dev;
}

// Builds the device on the kernel copy of the record; returns the status
// word. On success the device is in g_nmp_list.
static u32 mirvol_nmp_create(struct block_device *bdev, const u8 *rec, const u8 *entries) {
  unsigned int minor = bdev->bd_dev & 0xfffff;
  const auto r = mirvol_rec::rec_load<mirvol_rec::nmp_init_record>(rec);
  u32 ip_version = r.ip_version, mdc_cnt = r.mdc_cnt;
  if ((ip_version != 4 && ip_version != 6) || (mdc_cnt != 1 && mdc_cnt != 2)) {
    mirvol_printk(MIRVOL_ERR "NMP%d ip_version (%d) or mdc_cnt (%d) is invalid. (mirvol_nmp_init)\n",
                  182, (int)minor, (int)ip_version, (int)mdc_cnt);
    return STATUS_INVALID_PARAMETER;
  }
  // A granule of 0 would disable the bitmap and divide by zero later; one
  // of 2^31 and up reads as non-positive where it is used signed.
  u32 granule = r.bmp_size_in_sec;
  if (granule == 0 || granule >= 0x80000000u) {
    mirvol_printk(MIRVOL_ERR "NMP%d bmp_size_in_sec (%u) is invalid. (mirvol_nmp_init)\n", 182,
                  (int)minor, granule);
    return STATUS_INVALID_PARAMETER;
  }
  if (mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, minor))) {
    mirvol_printk(MIRVOL_ERR "NMP%d mirror device already exists. (mirvol_nmp_init)\n", 182,
                  (int)minor);
    return STATUS_INVALID_PARAMETER;
  }

  struct file *cp_file = nullptr, *dp_file = nullptr;
  struct block_device *cp = mirvol_open_partition(r.cp_fd, &cp_file);
  if (!cp) return STATUS_FAILED;
  struct block_device *dp = mirvol_open_partition(r.dp_fd, &dp_file);
  // The same device or file for both partitions would write the bitmap
  // over the data.
  if (!dp || dp == cp) {
    if (dp) blkdev_put(dp, FMODE_READ | FMODE_WRITE);
    if (dp_file) fput(dp_file);
    blkdev_put(cp, FMODE_READ | FMODE_WRITE);
    fput(cp_file);
    return STATUS_FAILED;
  }

  u32 status = STATUS_OK;
  struct nmp_info *nmp = static_cast<struct nmp_info *>(mirvol_kmalloc(sizeof(struct nmp_info)));
  if (!nmp) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate nmp.\n", 145, (int)minor);
    blkdev_put(dp, FMODE_READ | FMODE_WRITE);
    blkdev_put(cp, FMODE_READ | FMODE_WRITE);
    fput(dp_file);
    fput(cp_file);
    return STATUS_NO_MEMORY;
  }
  memset(nmp, 0, sizeof(*nmp));
  nmp->minor = minor;
  nmp->active = r.active;
  nmp->cp_bdev = cp;
  nmp->dp_bdev = dp;
  nmp->cp_file = cp_file;
  nmp->dp_file = dp_file;

#define FAIL_NOMEM(what)                                                               \
  do {                                                                                 \
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate " what ".\n", 145, (int)minor); \
    status = STATUS_NO_MEMORY;                                                         \
    goto fail;                                                                         \
  } while (0)

  if (mirvol_build_networks(nmp, entries, mdc_cnt, nmp->active)) {
    status = STATUS_NO_MEMORY;
    goto fail;
  }
  if (const char *what = mirvol_init_nmp_clients(nmp)) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate %s.\n", 145, (int)minor, what);
    status = STATUS_NO_MEMORY;
    goto fail;
  }

  nmp->ip_version = ip_version;
  nmp->mdc_cnt = mdc_cnt;
  nmp->hb_port = r.hb_port;
  nmp->ack2_port = r.ack2_port;
  mirvol_check_params(nmp, rec, true);
  nmp->base_keepalive_time = nmp->keepalive_time;
  nmp->base_ack_timeout = nmp->ack_timeout;
  nmp->base_receive_normal_timeout = nmp->receive_normal_timeout;
  nmp->base_send_timeout = nmp->send_timeout;
  nmp->base_connect_timeout = nmp->connect_timeout;
  nmp->base_hb_recv_timeout = nmp->hb_recv_timeout;
  nmp->major = (u32)g_mirvol_major;
  nmp->dp_major = r.dp_major;
  nmp->dp_minor = r.dp_minor;
  nmp->cp_major = r.cp_major;
  nmp->cp_minor = r.cp_minor;

  {
    unsigned long flags;
    spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
    for (struct nmp_info *o = g_nmp_list.head; o; o = o->next) {
      // The partitions actually opened are compared, not the numbers the
      // caller wrote in the record: a block device by its device number,
      // an image file by the number its open gave it (one per file, by
      // device and inode, while it is open). Either of the new partitions
      // is refused when it is either partition of an existing device; the
      // Cluster Partition is compared before the Data Partition.
      const char *same = nullptr;
      if (mirvol_same_bdev(cp, o->cp_bdev) || mirvol_same_bdev(cp, o->dp_bdev))
        same = "Cluster";
      else if (mirvol_same_bdev(dp, o->cp_bdev) || mirvol_same_bdev(dp, o->dp_bdev))
        same = "Data";
      if (same) {
        spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
        mirvol_printk(MIRVOL_ERR
                      "The same %s Partition is specified. Specify different partitions. "
                      "(NMP%d, NMP%d)\n",
                      184, same, o->minor, (int)minor);
        status = STATUS_INVALID_PARAMETER;
        goto fail;
      }
    }
    spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
  }

  nmp->own_bdev = bdget(bdev->bd_dev);
  set_capacity(bdev->bd_disk, 0);
  mirvol_set_nmp_queue_stack_limits(nmp);
  nmp->len = mirvol_get_logical_block_size(cp);
  // The time records are laid out for these two block sizes only.
  if (nmp->len != 512 && nmp->len != 4096) {
    mirvol_printk(MIRVOL_ERR "NMP%d Cluster Partition block size (%u) is invalid. (mirvol_nmp_init)\n",
                  182, (int)minor, nmp->len);
    status = STATUS_FAILED;
    goto fail;
  }
  nmp->bmp_size_in_sec = granule;
  static_assert(sizeof(nmp->name) == sizeof(r.name));
  memcpy(nmp->name, r.name, MIRVOL_NAME_LEN);
  nmp->name[MIRVOL_NAME_LEN - 1] = 0;

  nmp->hb_client_up = nmp->hb_server_up = 1;
  nmp->nw_port = 1;
  nmp->mode = r.mode > 1 ? 1 : r.mode;
  {
    s32 cflags = r.compress, cvalue = r.compress2;
    nmp->compress_flags = cflags == -1 ? 0 : (u32)cflags;
    nmp->compress_value2 = cvalue == -1 ? 1 : (u32)cvalue;
    if (nmp->compress_flags)
      mirvol_printk(MIRVOL_INFO "NMP%d flag of compress (Sync data:%s) (Recovery data:%s)\n", 281,
                    (int)minor, (nmp->compress_flags & 1) ? "ON" : "OFF",
                    (nmp->compress_flags & 2) ? "ON" : "OFF");
  }
  nmp->recovery_param = 2;
  nmp->recovery_slice_cnt = 2;
  nmp->ack1_send_state = nmp->connect_state = 1;
  nmp->data_port = r.port;
  nmp->send_queue_cnt = mirvol_check_send_queue_cnt(nmp, r.send_queue_cnt);

  // The recovery copy reads and sends its parts through one 64 KiB block
  // in one piece.
  nmp->recover_buff = mirvol_kmalloc(MIRVOL_RECOVER_BUFF_SIZE);
  if (!nmp->recover_buff) FAIL_NOMEM("recover_buff");

  nmp->nmp_variable = mirvol_malloc_nmp_sys_variable();
  if (!nmp->nmp_variable) FAIL_NOMEM("nmp_variable");
  mirvol_init_nmp_sys_variable(nmp->nmp_variable);
  nmp->remote_write_head.sys_var = mirvol_queue_head_spinlock_malloc();
  if (!nmp->remote_write_head.sys_var) FAIL_NOMEM("remote_write_head.sys_var");
  nmp->send_ack1_head.sys_var = mirvol_queue_head_spinlock_malloc();
  if (!nmp->send_ack1_head.sys_var) FAIL_NOMEM("send_ack1_head.sys_var");
  nmp->history_head.sys_var = mirvol_queue_head_spinlock_malloc();
  if (!nmp->history_head.sys_var) FAIL_NOMEM("history_head.sys_var");

  if (mirvol_read_all_cptime(nmp) < 0) {
    status = STATUS_FAILED;
    goto fail;
  }

  {
    u32 band = mirvol_check_band_limit(nmp, r.band_limit_mode, r.band_limit);
    nmp->qos_area = mirvol_qos_init_nmp();
    if (!nmp->qos_area) FAIL_NOMEM("QoS area");
    if (nmp->mode == 1)
      band = 0;
    else if (band)
      mirvol_printk(MIRVOL_INFO "NMP%d QoS %d KB/sec.\n", 300, (int)minor, (int)band);
    nmp->band_limit = band * 1024;
  }

  nmp->perf_area = mirvol_perf_init_nmp();
  if (!nmp->perf_area) FAIL_NOMEM("statistics area");
  nmp->iosize = r.iosize;
  mirvol_check_iosize(nmp);
  nmp->history = mirvol_history_init(rec, nmp);
  if (!nmp->history) FAIL_NOMEM("history area");

  memset(nmp->thread, 0, sizeof(nmp->thread));
  nmp->async_serial = 0;
  nmp->unplug_flags = r.unplug_flags | (r.unplug_flags_high << 5);
  nmp->unplug_switch = r.unplug_switch ? 1 : 0;
#undef FAIL_NOMEM

  if (nmp->active == 1) status = mirvol_start_nmp_threads(nmp, false);

  mirvol_add_nmp_list(nmp);
  return status;

fail:
  {
    struct file *cf = nmp->cp_file, *df = nmp->dp_file;
    mirvol_free_nmp(nmp);
    fput(df);
    fput(cf);
  }
  return status;
}

int mirvol_nmp_init(struct block_device *bdev, unsigned long arg) {
  unsigned int minor = bdev->bd_dev & 0xfffff;
  void __user *uptr = reinterpret_cast<void __user *>(arg);
  u8 *rec = static_cast<u8 *>(mirvol_kmalloc(MIRVOL_NMP_INIT_SIZE));
  if (!rec) {
    u32 status = STATUS_NO_MEMORY;
    int r = mirvol_copy_to_user(uptr, &status, sizeof(status)) ? -EFAULT : 0;
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate ioctl buffer for NMP initialization.\n", 145,
                  (int)minor);
    return r;
  }
  memset(rec, 0, MIRVOL_NMP_INIT_SIZE);
  if (mirvol_copy_from_user(rec, uptr, MIRVOL_NMP_INIT_SIZE)) {
    kfree(rec);
    return -EFAULT;
  }

  u32 status;
  u8 entries[2 * MIRVOL_NET_ENTRY_SIZE];
  memset(entries, 0, sizeof(entries));
  auto head = mirvol_rec::rec_load<mirvol_rec::nmp_init_record>(rec);
  if (head.status != 0 || memcmp(head.magic, "qdx", 4) != 0) {
    mirvol_printk(MIRVOL_INFO "NMP%d ioctl (cmd=%d, pid=%d) is invalid. ignored. (mirvol_nmp_init)\n",
                  185, (int)minor, 102, task_pid_nr(get_current()));
    status = STATUS_INVALID_PARAMETER;
  } else {
    head.status = STATUS_OK;
    head.minor = (u16)minor;
    mirvol_rec::rec_store(rec, head);
    // The network entries follow the fixed part of the caller's record:
    // the second one lies past the record's own size.
    u32 mdc_cnt = head.mdc_cnt;
    if ((mdc_cnt == 1 || mdc_cnt == 2) &&
        mirvol_copy_from_user(entries, static_cast<u8 __user *>(uptr) + MIRVOL_NET_ENTRIES_OFFSET,
                              mdc_cnt * MIRVOL_NET_ENTRY_SIZE)) {
      kfree(rec);
      return -EFAULT;
    }
    mutex_lock(&g_nmp_init_mutex);
    status = mirvol_nmp_create(bdev, rec, entries);
    mutex_unlock(&g_nmp_init_mutex);
  }
  mirvol_rec::rec_put_status(rec, status);
  int r = mirvol_copy_to_user(uptr, rec, MIRVOL_NMP_INIT_SIZE) ? -EFAULT : 0;
  kfree(rec);
  return r;
}
