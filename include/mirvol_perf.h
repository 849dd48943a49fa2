// Per-device statistics: the counter image that command 82 returns, the
// subscribers that poll it, the counting routines, and the "mirvolperf"
// files with the dump at unload.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

// The counters: the command-82 image (mirvol_records.h), counted in place
// and copied into the record whole.
struct perf_counters : mirvol_rec::perf_image {};
static_assert(sizeof(struct perf_counters) == sizeof(mirvol_rec::perf_get_record::image),
              "the command-82 image is 272 bytes");

// One polling process.
struct perf_subscriber {
  struct perf_subscriber *next;
  u32 pid;
  u32 interval;  // seconds
  u64 last_poll;  // jiffies
  u64 peak_waiting_bytes;
  u32 peak_ack1;
  u32 peak_ack;
  u32 peak_send_q;
  u32 peak_write_req;
};

struct perf_area {
  struct perf_counters c;
  struct perf_subscriber *subscribers;  // newest first
  // Guards every field of the area and the subscriber list. Innermost: it
  // is taken inside the device spinlock, the request-queue lock and
  // network_list_lock, and nothing else is taken while it is held.
  spinlock_t lock;
  u32 control;
};

#define PERF_CTL_NO_PROC 0x40000000   // command 81 removes "mirvolperf"
#define PERF_CTL_NO_DUMP 0x20000000   // left out of the unload dump unless printkperf
#define PERF_CTL_NO_SEP 0x10000000    // no separator line unless mirvolperf

#define PERF_MAX_TOTAL (1ULL << 50)

#define MIRVOL_SET_PERF_SIZE sizeof(struct mirvol_rec::perf_set_record)
#define MIRVOL_GET_PERF_SIZE sizeof(struct mirvol_rec::perf_get_record)

// Commands 81 and 82, each on its own copy of the caller's record.
int mirvol_nmp_set_perf(unsigned int minor, unsigned long arg);
int mirvol_nmp_get_perf(unsigned int minor, unsigned long arg);

// Counting routines not declared with their callers.
void mirvol_perf_cnt_standby_io(struct nmp_info *nmp, struct bio *bio, int error);
void mirvol_perf_cnt_recovery_write_io(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_recovery_read_io(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_tcp_send(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_compress_recovery(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_original_recovery(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_compress_sync(struct nmp_info *nmp, u64 bytes);
void mirvol_perf_cnt_cmp_and_org_sync(struct nmp_info *nmp, u64 sent, u64 data);
void mirvol_perf_cnt_ack1_time(struct nmp_info *nmp, struct io_request *req);
void mirvol_perf_cnt_ack_time(struct nmp_info *nmp, u64 send_time);
void mirvol_perf_cnt_ack2_time(struct nmp_info *nmp, u64 request_id);
void mirvol_perf_cnt_recovery_wait_sync(struct nmp_info *nmp, u32 ms);
void mirvol_perf_cnt_last_update_after_umount(struct nmp_info *nmp, struct io_request *req);

// Log lines of the drains (event 125).
void mirvol_perf_printk_nmp_differences(struct nmp_info *nmp);
void mirvol_perf_printk_nmp_req_to_be_freed(struct nmp_info *nmp);

// The dump of every device at unload.
void mirvol_perf_printk_all(void);

// Non-null while "mirvolperf" exists.
struct proc_dir_entry *mirvol_perf_proc_dir(void);
