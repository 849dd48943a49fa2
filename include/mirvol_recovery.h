// Recovery: the copy of difference-bitmap ranges to the peer (control
// command 10), the transfer table that finds a waiting copy again when its
// recovery ACK comes in, the recovery lock window of the request path, the
// small bitmap and block-size commands (14, 15, 30, 31, 32), and the peer's
// half, the recovery receiver on the DATA connection.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_protocol.h"

// Sectors of one recovery part, and the bytes they hold.
#define MIRVOL_RECOVERY_PART_SECTORS 128
#define MIRVOL_RECOVERY_PART_BYTES (MIRVOL_RECOVERY_PART_SECTORS * 512)
// Sleeps of 0.1 second that wait_writetodisk gives one in-flight write.
#define MIRVOL_WRITETODISK_SLEEPS 3001

// Statuses a transfer table entry can hold besides the peer's ACK status.
#define TRANS_STATUS_CANCELLED 3
#define TRANS_STATUS_SHUTDOWN 5

// The accounting of one recovery transfer: the bios of one part of the
// copy, or of one received recovery message.
struct trans_request {
  u64 done;      // bios finished, failed submissions included; under var->lock
  u64 expected;  // bios waited for; under var->lock
  u64 first_sector;
  struct nmp_info *nmp;
  struct sys_var *var;  // lock and wait queue of the counters
  void *page;           // the device's recovery block (copy only)
  u8 error;             // 0 none, 1 failure, 4 receive time-out; under var->lock
};

// One read bio of the copy.
struct trans_read_para {
  struct trans_request *req;
  u64 sector;
  u64 bytes;
  u32 pages;
};

// --- the transfer table (all under g_table_control.table_lock) ---

// Takes the first free entry for a copy waiting on `wq`: its request id
// (never 0), or 0 when all 64 are in use.
u64 mirvol_add_new_trans_table(wait_queue_head_t *wq, struct nmp_info *nmp);
struct trans_table *mirvol_find_trans_table(u64 request_id);
void mirvol_del_trans_table(u64 request_id);
// The stored status of an answered entry, or -1 while none has come (or
// the entry is gone).
int mirvol_trans_table_status(u64 request_id);

// --- transfer records ---

// The bio size of recovery I/O in sectors: the device's I/O unit `iosize`
// (KiB) clamped to a positive multiple of 4 KiB of at most 64 KiB, so that
// every bio starts on a page of the 64 KiB block.
u32 mirvol_recovery_io_sectors(struct nmp_info *nmp);
// A record for `sectors` sectors from `first` with its var; null when an
// allocation fails.
struct trans_request *mirvol_trans_request_allocate(struct nmp_info *nmp, u64 sectors, u64 first);
void mirvol_trans_request_free(struct trans_request *req);
// done + 1 and error 1 under the var lock (a bio that was never submitted).
void mirvol_set_buffer_error(struct trans_request *req, struct sys_var *var);
// Waits until done = expected. `what` names the I/O in the message logged
// while a SIGTERM is pending.
void mirvol_trans_request_wait(struct trans_request *req, const char *what);

// --- the lock window and the local read ---

// 1, or -1 when the device's window is already active (event 206).
int mirvol_build_lock_sec(struct nmp_info *nmp, u64 first, u64 last);
void mirvol_build_unlock_sec(struct nmp_info *nmp);
// Waits for every write in flight when the window was locked whose range
// overlaps [first, last]. 0, or -1 when one was still in flight after its
// time (event 208).
int wait_writetodisk(u64 first, u64 last, struct nmp_info *nmp);
// Submits the read bios of [s, e] into the record's page block.
void mirvol_sec_trans_read(u64 s, u64 e, struct trans_request *req, struct nmp_info *nmp);
void __mirvol_receive_io_read_end(struct bio *bio);
void __mirvol_receive_io_read_end_4_3_0(struct bio *bio);

// --- control commands, on the kernel copy of their records ---

#define MIRVOL_BLOCK_TRANS_REC_SIZE 12
#define MIRVOL_BLOCK_SIZE_REC_SIZE 8
#define MIRVOL_BITMAP_OPERATE_REC_SIZE 1036
#define MIRVOL_DIFF_SIZE_REC_SIZE 8

// Command 10. Called without a device for arguments it refuses.
void mirvol_block_trans(unsigned int minor, struct nmp_info *nmp, u8 *rec);
bool mirvol_block_trans_args_ok(const u8 *rec);
// Commands 14 and 15.
void mirvol_block_size_operate(unsigned int cmd, struct nmp_info *nmp, u8 *rec);
// Commands 30 and 31. Called without a device for values it refuses.
void mirvol_bitmap_operate(unsigned int cmd, unsigned int minor, struct nmp_info *nmp, u8 *rec);
bool mirvol_bitmap_operate_args_ok(const u8 *rec);
// Command 32.
void mirvol_bitmap_get_diff_size(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// --- the recovery receiver (handlers of the DATA receive loop) ---

// Command 12 with its parts; 1 when every part was written and the bits
// cleared, else 0 (the connection is closed).
int mirvol_write_build_data2(struct nmp_info *nmp, struct head_part head);
// Command 3; 1 once its ACK has been sent.
int mirvol_write_build_data(struct nmp_info *nmp, struct head_part head);
// The recovery ACK of `req` for `head`, carrying `request_id`.
int mirvol_send_build_ack(struct trans_request *req, const struct head_part *head, u64 request_id);
void __mirvol_receive_io_end_write(struct bio *bio);
void __mirvol_receive_io_end_write_4_3_0(struct bio *bio);
