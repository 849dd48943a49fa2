// Functions of the units that own ports, Cluster Partition records, the
// bitmap queues, senders and statistics, as the request path and module
// load and unload call them.
#pragma once

#include "include/mirvol.h"

struct bio;

// The mirror disks' ioctl.
int mirvol_ioctl(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg);
int mirvol_ioctl_cmd_dispatch(struct block_device *bdev, unsigned int cmd, unsigned long arg);
int mirvol_other_ioctl(unsigned int cmd, unsigned int minor, unsigned long arg);

// Device lookup.
struct nmp_info *mirvol_get_nmp_info(u32 dev);
struct nmp_info *mirvol_get_nmp_info_by_cpdp(u32 dev);

// Difference bitmap queues and the ACK1 time-out.
// 1, or -ENOMEM when the range was handed over already.
int add_write_bitmap_queue2(struct nmp_info *nmp, struct io_request *req);
void ack_timeout(unsigned long request_id);

// Senders and acknowledgements.
// 0, or -ENOMEM when the request has no a2q node.
int mirvol_add_send_ack2_queue(u8 *head, struct io_request *req);
void mirvol_do_all_request_ack1_timeout_asap(struct nmp_info *nmp);

// Statistics.
void mirvol_perf_cnt_write_request_count(struct nmp_info *nmp, int up);
void mirvol_perf_cnt_active_io(struct io_request *req, u64 bits);
void mirvol_perf_cnt_nmp_io(struct io_request *req);
void mirvol_perf_cnt_sync_wait_recovery(struct nmp_info *nmp, u32 ms);
void mirvol_perf_cnt_echo_send(struct nmp_info *nmp, u32 bytes);
void mirvol_perf_cnt_send_req_cnt(struct nmp_info *nmp);
void mirvol_perf_cnt_send_req_byte(struct nmp_info *nmp, struct io_request *req, int add);
