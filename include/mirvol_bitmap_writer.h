// Driver-wide settings (command 101), the module-wide threads, the queues
// that feed the difference bitmap (local ranges, ACK1 time-outs, received
// writes waiting for ACK2) and the recovery preparation (command 60).
#pragma once

#include "include/mirvol.h"

// Bitmap refresh interval of the remote bitmap writer, in seconds; 0 until
// command 101. Read and written atomically.
extern int g_bmp_chk_interval;

// Sets up the module-wide locks and values of these units; called at load
// before anything else of them runs.
void mirvol_bitmap_writer_init(void);

// Command 101.
void mirvol_network_init(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// Adds free entries to the bitmap block cache up to g_max_cachenum.
void malloc_bitmap_cache(void);

// The module-wide threads.
int timer_disconnection_thread(void *arg);
int mirvol_local_bitmap_write_thread(void *arg);
int mirvol_remote_bitmap_write_thread(void *arg);
int mirvol_disk_error_operate_thread(void *arg);

// Disk-error actions. mirvol_set_cp_error raises the device's Cluster
// Partition error flag and wakes the disk-error thread (callable in atomic
// context); the two actions run in that thread; mirvol_panic formats its
// text and panics.
void mirvol_set_cp_error(struct nmp_info *nmp);
void mirvol_disk_error_action_cp(struct nmp_info *nmp);
void mirvol_disk_error_action_dp(struct nmp_info *nmp);
[[noreturn]] void mirvol_panic(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Queues an ACK1 time-out for the disconnection thread.
void mirvol_add_dcp_queue(struct dcq *node, int wake);
// Marks every queued local range (and every range kept for a retry);
// returns the result of the final flush of the bitmap cache.
int mirvol_write_local_bitmap_main(struct sys_var *var);
// For an fsync of the mirror disk: returns once every range of the device
// queued for the local bitmap (and every one kept for a retry) is marked,
// the device's cached bitmap blocks are written and its Cluster Partition
// is flushed. 0, or -EIO when that failed or did not happen within
// `timeout` ticks. May sleep; not for atomic context.
int mirvol_sync_bitmap(struct nmp_info *nmp, long timeout);
// The same for the mirror disk of device number `dev`, the host's entry
// for an fsync; 0 when no device record exists for it (nothing pending).
int mirvol_sync_bitmap_of_disk(u32 dev, long timeout);
// Marks the wait-ACK2 entries whose time-out has passed / every entry.
void mirvol_remote_bitmap_write_normal(void);
void mirvol_remote_bitmap_write_reboot(void);
// Empties the device's send queue into the bitmap.
void mirvol_wait_request_queue_empty(struct nmp_info *nmp);
// Unload: stops the ACK1 timers of the device's queued requests and hands
// their ranges to the bitmap.
void mirvol_unload_request_queue(struct nmp_info *nmp);
// Command 60.
void mirvol_wait_bitmap_queue(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// Waits, bounded, until the device's ranges are marked and the send and
// ACK1 time-out queues are empty; STATUS_OK, STATUS_TIMEOUT or
// STATUS_NO_DEVICE.
u32 mirvol_wait_bitmap_queue_empty(struct nmp_info *nmp);

// Unload: after every thread has stopped, moves what is still queued for the
// bitmap into it and flushes the cache once more.
void mirvol_bitmap_writer_final_drain(void);

// The wait-ACK2 queue of received writes.
int mirvol_add_wait_ack2_queue(const u8 *head, struct nmp_info *nmp);
int mirvol_del_wait_ack2_queue(u64 request_id);
// Serialises the walkers of the wait-ACK2 queue: each walker holds it for its
// whole walk, so the one cursor of the queue serves one walk at a time.
void mirvol_wait_ack2_walk_init(void);
void mirvol_wait_ack2_walk_lock(void);
void mirvol_wait_ack2_walk_unlock(void);

// The statistics directory.
struct proc_dir_entry *mirvol_perf_create_proc_dir(const char *name, struct proc_dir_entry *parent,
                                                   int *minors);
void mirvol_perf_remove_proc_dir(void);
void mirvol_perf_proc_dir_init(void);
void mirvol_perf_cnt_dcpq(struct nmp_info *nmp, int up);
