// Per-device statistics. The statistics area of a device comes with the
// statistics commands; until then no device has one, so there is nothing
// to count into.

#include "include/mirvol_ext.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_bitmap_writer.h"

void mirvol_perf_cnt_write_request_count(struct nmp_info *nmp, int up) {
  (void)nmp;
  (void)up;
}
void mirvol_perf_cnt_active_io(struct io_request *req, u64 bits) {
  (void)req;
  (void)bits;
}
void mirvol_perf_cnt_nmp_io(struct io_request *req) { (void)req; }
void mirvol_perf_cnt_sync_wait_recovery(struct nmp_info *nmp, u32 ms) {
  (void)nmp;
  (void)ms;
}
void mirvol_perf_cnt_echo_send(struct nmp_info *nmp, u32 bytes) {
  (void)nmp;
  (void)bytes;
}
void mirvol_perf_cnt_send_req_cnt(struct nmp_info *nmp) { (void)nmp; }
void mirvol_perf_cnt_send_req_byte(struct nmp_info *nmp, struct io_request *req, int add) {
  (void)nmp;
  (void)req;
  (void)add;
}

// The statistics area of a device. Its counters come with the statistics
// commands; until then it is an empty area that nothing counts into.
struct perf_area {
  u32 control;
};

struct perf_area *mirvol_perf_init_nmp(void) {
  struct perf_area *a = static_cast<struct perf_area *>(mirvol_kmalloc(sizeof(struct perf_area)));
  if (a) a->control = 0x7fffffff;
  return a;
}

void mirvol_perf_free_nmp(struct perf_area *area) { kfree(area); }

// Requests whose ACK1 time-out waits for the disconnection thread; counted
// with the rest of the statistics area.
void mirvol_perf_cnt_dcpq(struct nmp_info *nmp, int up) {
  (void)nmp;
  (void)up;
}

// --- the statistics directory ---
//
// The directory is made once, when command 101 first asks for it, and
// removed at unload; one mutex orders the two, so a second command 101 finds
// the directory it made before. Its per-device files come with the
// statistics files.

static struct mutex g_perf_dir_mutex;
static struct proc_dir_entry *g_perf_dir;

void mirvol_perf_proc_dir_init(void) {
  mutex_init(&g_perf_dir_mutex);
  g_perf_dir = nullptr;
}

int mirvol_perf_create_proc_dir(const char *name, struct proc_dir_entry *parent,
                                const int *minors) {
  (void)minors;
  int result = 0;
  mutex_lock(&g_perf_dir_mutex);
  if (!g_perf_dir) {
    g_perf_dir = proc_mkdir(name, parent);
    if (!g_perf_dir) result = -1;
  }
  mutex_unlock(&g_perf_dir_mutex);
  return result;
}

void mirvol_perf_remove_proc_dir(void) {
  mutex_lock(&g_perf_dir_mutex);
  if (g_perf_dir) proc_remove(g_perf_dir);
  g_perf_dir = nullptr;
  mutex_unlock(&g_perf_dir_mutex);
}
