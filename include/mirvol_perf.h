// Per-device statistics: the counter image that command 82 returns, the
// subscribers that poll it, the counting routines, and the "mirvolperf"
// files with the dump at unload.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

// The counters, in the byte order of bytes 8 to 279 of the command-82
// record (field comments give the record offset).
struct perf_counters {
  u64 nmp_write_bytes;         // 8
  u64 nmp_read_bytes;          // 16
  u64 active_write_bytes;      // 24
  u64 active_read_bytes;       // 32
  u64 standby_write_bytes;     // 40
  u64 standby_read_bytes;      // 48, never counted
  u64 recovery_write_bytes;    // 56
  u64 recovery_read_bytes;     // 64
  u32 write_req_now;           // 72, gauge
  u32 write_req_peak;          // 76
  u64 tcp_send_bytes;          // 80
  u64 echo_send_bytes;         // 88
  u64 sync_data_bytes;         // 96, mirror data before sending
  u64 sync_send_bytes;         // 104, mirror data as sent
  u64 recovery_data_bytes;     // 112, recovery data before compression
  u64 recovery_send_bytes;     // 120, recovery data as sent
  u64 waiting_sync_bytes;      // 128, gauge
  u64 sub_waiting_peak;        // 136, the reader's own peak
  u32 send_q_now;              // 144, at the read
  u32 send_q_peak;             // 148, at the read
  u64 ack1_count;              // 152
  u64 ack1_total_ms;           // 160
  u32 sub_ack1_peak;           // 168, the reader's own peak
  u32 ack_latest;              // 172, recovery ACK
  u32 ack_peak;                // 176
  u32 ack1_latest;             // 180
  u32 ack1_peak;               // 184
  u32 ack2_latest;             // 188
  u32 ack2_peak;               // 192
  u32 dcpq_now;                // 196, gauge
  u32 dcpq_peak;               // 200
  u32 echo_latest;             // 204, at the read
  u32 echo_peak;               // 208, at the read
  u32 reserved1;               // 212
  u64 sync_wait_recovery_ms;   // 216
  u64 recovery_wait_sync_ms;   // 224
  u64 unmirrored_count;        // 232
  u64 unmirrored_bytes;        // 240
  u64 ack2_count;              // 248
  u64 reserved2;               // 256
  u32 sub_ack_peak;            // 264, the reader's own peak
  u32 sub_send_q_peak;         // 268, the reader's own peak
  u32 sub_write_req_peak;      // 272, the reader's own peak
  u32 echo_peak_since_read;    // 276
};
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
