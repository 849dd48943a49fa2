// Driver-wide settings (command 101): the values every device shares, the
// statistics directory, the four module-wide threads and the size of the
// bitmap block cache.

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_records.h"

int g_bmp_chk_interval;

// Serialises command 101: two at once would both find a thread's record
// empty and start it twice, and unload knows only the one in the record.
static struct mutex g_network_init_mutex;
static struct network_init_mutex_setup {
  network_init_mutex_setup() { mutex_init(&g_network_init_mutex); }
} g_network_init_mutex_setup;

#define MIRVOL_NETWORK_INIT_SIZE 44

// One checked value of the record: where it lies, its range (compared
// unsigned, so 0 and negative values fall outside a range that starts at
// 1) and the value used instead.
struct mirvol_setting_check {
  uint32_t mirvol_rec::network_init_record::*field;
  u32 lo, hi, def;
  const char *invalid;
};

// In the order the values are checked and their messages logged.
enum {
  SET_INTERVAL,
  SET_MAX_CACHENUM,
  SET_BARRIER_CHECK,
  SET_QUEUE_LIMITS,
  SET_MIRVOLPERF,
  SET_PRINTKPERF,
  SET_NUM
};

static const struct mirvol_setting_check mirvol_setting_checks[SET_NUM] = {
    {&mirvol_rec::network_init_record::interval, 1, 600, 100,
     MIRVOL_WARN
     "Bitmap refresh interval (%d) is invalid. The default setting (%d) will be used instead.\n"},
    {&mirvol_rec::network_init_record::max_cachenum, 1, 512, 256,
     MIRVOL_WARN "max_cachenum (%d) is invalid. The default setting (%d) will be used instead.\n"},
    {&mirvol_rec::network_init_record::barrier_check_method, 0, 1, 0,
     MIRVOL_WARN
     "barrier_check_method (%d) is invalid. The default setting (%d) will be used instead.\n"},
    {&mirvol_rec::network_init_record::queue_limits_method, 0, 3, 1,
     MIRVOL_WARN
     "queue_limits_method (%d) is invalid. The default setting (%d) will be used instead.\n"},
    {&mirvol_rec::network_init_record::mirvolperf, 0, 1, 0,
     MIRVOL_WARN "mirvolperf (%d) is invalid. The default setting (%d) will be used instead.\n"},
    {&mirvol_rec::network_init_record::printkperf, 0, 1, 0,
     MIRVOL_WARN "printkperf (%d) is invalid. The default setting (%d) will be used instead.\n"},
};

#define MIRVOL_HISTORY_DELNUM_DEFAULT 2

static u32 mirvol_checked_setting(const mirvol_rec::network_init_record &rec, int which) {
  const struct mirvol_setting_check *c = &mirvol_setting_checks[which];
  u32 v = rec.*c->field;
  if (v >= c->lo && v <= c->hi) return v;
  mirvol_printk(c->invalid, 180, (int)v, (int)c->def);
  return c->def;
}

// One module-wide thread, in start order.
struct mirvol_common_thread {
  const char *name;
  int (*fn)(void *);
  struct nmp_thread_info *info;
  const char *started;
  const char *failed;
};

static const struct mirvol_common_thread mirvol_common_threads[] = {
    {"mirvol_common_1", timer_disconnection_thread, &g_disconnection_thread,
     MIRVOL_INFO "New thread: timer_disconnection_thread        (PID=%d)\n",
     MIRVOL_ERR "Failed to fork thread: timer_disconnection_thread        (err=%d)\n"},
    {"mirvol_common_2", mirvol_local_bitmap_write_thread, &g_local_bitmap_thread,
     MIRVOL_INFO "New thread: mirvol_local_bitmap_write_thread  (PID=%d)\n",
     MIRVOL_ERR "Failed to fork thread: mirvol_local_bitmap_write_thread  (err=%d)\n"},
    {"mirvol_common_4", mirvol_remote_bitmap_write_thread, &g_remote_bitmap_thread,
     MIRVOL_INFO "New thread: mirvol_remote_bitmap_write_thread (PID=%d)\n",
     MIRVOL_ERR "Failed to fork thread: mirvol_remote_bitmap_write_thread (err=%d)\n"},
    {"mirvol_common_3", mirvol_disk_error_operate_thread, &g_disk_error_thread,
     MIRVOL_INFO "New thread: mirvol_disk_error_operate_thread  (PID=%d)\n",
     MIRVOL_ERR "Failed to fork thread: mirvol_disk_error_operate_thread  (err=%d)\n"},
};

// Starts each module-wide thread whose record shows none; false at the
// first that cannot be (the later ones are not tried). Called under
// g_network_init_mutex.
static bool mirvol_start_common_threads(void) {
  for (const struct mirvol_common_thread &t : mirvol_common_threads) {
    if (t.info->pid != 0 || smp_load_acquire(&t.info->running)) continue;
    int pid = mirvol_kernel_thread_info(t.fn, nullptr, t.name, t.info);
    if (pid < 0) {
      mirvol_printk(t.failed, 131, pid);
      return false;
    }
    mirvol_printk(t.started, 130, pid);
  }
  return true;
}

static void mirvol_network_init_locked(u8 *rec);

void mirvol_network_init(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  (void)nmp;
  mutex_lock(&g_network_init_mutex);
  mirvol_network_init_locked(rec);
  mutex_unlock(&g_network_init_mutex);
}

static void mirvol_network_init_locked(u8 *bytes) {
  const auto rec = mirvol_rec::rec_load<mirvol_rec::network_init_record>(bytes);
  if (rec.status != 0 || memcmp(rec.magic, "qdx", 4) != 0) {
    mirvol_printk(MIRVOL_INFO "ioctl (cmd=%d, pid=%d) is invalid. ignored. (mirvol_network_init)\n",
                  185, 101, task_pid_nr(get_current()));
    mirvol_rec::rec_put_status(bytes, STATUS_INVALID_PARAMETER);
    return;
  }
  mirvol_rec::rec_put_status(bytes, STATUS_OK);

  // Every value is checked before any is stored, so readers of the
  // settings never see one that is out of range.
  u32 interval = mirvol_checked_setting(rec, SET_INTERVAL);
  u32 max_cachenum = mirvol_checked_setting(rec, SET_MAX_CACHENUM);
  s32 delnum = rec.history_cache_delnum;
  if (delnum <= 0) {
    // The history of a device needs at least one delete cache.
    mirvol_printk(MIRVOL_WARN
                  "history_cache_delnum (%d) is invalid. The default setting (%d) will be used "
                  "instead.\n",
                  180, delnum, MIRVOL_HISTORY_DELNUM_DEFAULT);
    delnum = MIRVOL_HISTORY_DELNUM_DEFAULT;
  }
  u32 barrier_check = mirvol_checked_setting(rec, SET_BARRIER_CHECK);
  u32 queue_limits = mirvol_checked_setting(rec, SET_QUEUE_LIMITS);
  u32 mirvolperf = mirvol_checked_setting(rec, SET_MIRVOLPERF);
  u32 printkperf = mirvol_checked_setting(rec, SET_PRINTKPERF);

  // Other threads read these while they run: plain words, stored whole.
  WRITE_ONCE(g_bmp_chk_interval, (int)interval);
  WRITE_ONCE(g_history_cache_delnum, delnum);
  WRITE_ONCE(g_driver_adj.mirvolperf, mirvolperf);
  WRITE_ONCE(g_driver_adj.printkperf, printkperf);
  WRITE_ONCE(g_driver_adj.barrier_check_method, barrier_check);
  WRITE_ONCE(g_driver_adj.barrier_log_level, rec.barrier_log_level);
  WRITE_ONCE(g_driver_adj.queue_limits_method, queue_limits);
  WRITE_ONCE(g_driver_adj.limits_log_flag, rec.limits_log_flag);
  // The cache's limit is read under g_cache_sem.
  mirvol_down(g_cache_sem);
  g_max_cachenum = (int)max_cachenum;
  mirvol_up(g_cache_sem);

  if (mirvolperf == 1) mirvol_perf_create_proc_dir("mirvolperf", nullptr, nmp_minor);

  if (!mirvol_start_common_threads()) {
    mirvol_rec::rec_put_status(bytes, STATUS_FAILED);
    return;
  }
  malloc_bitmap_cache();
}

void malloc_bitmap_cache(void) {
  // Writers of the bitmap may be walking the list: it grows under the
  // semaphore that guards it.
  mirvol_down(g_cache_sem);
  struct cache_table *tail = g_cachetable;
  while (tail && tail->next) tail = tail->next;
  while (g_cachenum < g_max_cachenum) {
    struct cache_table *entry =
        static_cast<struct cache_table *>(mirvol_kmalloc(sizeof(struct cache_table)));
    if (!entry) break;
    memset(entry, 0, sizeof(*entry));
    entry->sig_sem = mirvol_semaphore_malloc();
    if (!entry->sig_sem) {
      mirvol_printk(MIRVOL_ERR "Failed to allocate cache_table->sig_sem, cachenum(%d).\n", 145,
                    g_cachenum);
      kfree(entry);
      break;
    }
    entry->block_offset = -1;
    entry->owner_minor = -1;
    entry->in_use = 0;
    entry->dirty = 0;
    entry->last_use = mirvol_jiffies();
    entry->next = nullptr;
    if (tail)
      tail->next = entry;
    else
      g_cachetable = entry;
    tail = entry;
    g_cachenum++;
  }
  mirvol_up(g_cache_sem);
}
