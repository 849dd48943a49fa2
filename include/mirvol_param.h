// Run-time device settings: the small control commands that read and change
// a device's parameters, limits, flags, size and networks after creation.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

// Record sizes.
#define MIRVOL_NETSTATUS_HEAD offsetof(mirvol_rec::netstatus_record, nets)
#define MIRVOL_NETSTATUS_MIN sizeof(mirvol_rec::netstatus_record)  // the record for one network
#define MIRVOL_NET_DETAIL_SIZE sizeof(mirvol_rec::net_entry)

// Fixed-size handlers on the dispatcher's kernel copy of the record. The
// device handlers are given the device the dispatcher found; given none,
// they look it up themselves and answer STATUS_NO_DEVICE when it is missing.
void mirvol_set_nmp_param(unsigned int minor, struct nmp_info *nmp, u8 *rec);            // 8
void mirvol_set_nmp_size(unsigned int minor, struct nmp_info *nmp, u8 *rec);             // 16
void mirvol_get_bmp_blksize(unsigned int minor, struct nmp_info *nmp, u8 *rec);          // 17
void mirvol_set_disk_error_action(unsigned int minor, struct nmp_info *nmp, u8 *rec);    // 21
void mirvol_get_bitmap_valid_num(unsigned int minor, struct nmp_info *nmp, u8 *rec);     // 33
void mirvol_get_drive_info(unsigned int minor, struct nmp_info *nmp, u8 *rec);           // 40
// Commands 50 (read) and 51 (set) of the in-flight request limit; the two
// table-shaped entries below call it with their command number.
void mirvol_request_count_operation(unsigned int cmd, unsigned int minor, struct nmp_info *nmp,
                                    u8 *rec);
void mirvol_request_count_get(unsigned int minor, struct nmp_info *nmp, u8 *rec);        // 50
void mirvol_request_count_set(unsigned int minor, struct nmp_info *nmp, u8 *rec);        // 51
void mirvol_request_count_init(unsigned int minor, struct nmp_info *nmp, u8 *rec);       // 52
// Commands 54 (read) and 55 (set) of the send queue limit.
void mirvol_send_queue_size_operation(unsigned int cmd, unsigned int minor, struct nmp_info *nmp,
                                      u8 *rec);
void mirvol_send_queue_size_get(unsigned int minor, struct nmp_info *nmp, u8 *rec);      // 54
void mirvol_send_queue_size_set(unsigned int minor, struct nmp_info *nmp, u8 *rec);      // 55
void mirvol_set_ratio(unsigned int minor, struct nmp_info *nmp, u8 *rec);                // 61
void mirvol_get_nmp_sync_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec);        // 66
void mirvol_set_nmp_sync_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec);        // 67
void mirvol_get_nmp_sync_mode_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec);   // 70

// Handlers that copy their own records of varying size from the user
// address `arg`; 0, or -EFAULT when the record cannot be copied.
int mirvol_get_nmp_netstatus(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                             unsigned long arg);  // 9
int mirvol_nmp_mdc_update(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                          unsigned long arg);  // 73

// The number of bits of the device's difference bitmap: the mirror disk's
// sectors over the granule, rounded up; negative when it cannot be told
// (no granule, or more bits than a signed 32-bit count holds).
int mirvol_get_bitmap_valid_num_main(struct nmp_info *nmp);
// The number of bits the difference bitmap has room for in the device's
// Cluster Partition layout: from its first block up to the history in-use
// flag at sector 10832.
u64 mirvol_bitmap_room_bits(const struct nmp_info *nmp);

// The value checks that device creation and command 8 share: each value out
// of range is replaced by its default with a message.
void mirvol_check_params(struct nmp_info *nmp, const u8 *rec, bool init_record);
u64 mirvol_check_send_queue_cnt(struct nmp_info *nmp, u64 queue);
// The band limit in KB/s for a mode and a limit; 0 for none.
u32 mirvol_check_band_limit(struct nmp_info *nmp, u32 mode, u32 limit);
int mirvol_nmp_check_holders(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                             unsigned long arg);  // 83
