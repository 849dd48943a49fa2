// Mirror device creation (command 102) and the device's threads.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

#define MIRVOL_NMP_INIT_SIZE sizeof(mirvol_rec::nmp_init_record)
#define MIRVOL_NET_ENTRIES_OFFSET offsetof(mirvol_rec::nmp_init_record, nets)
#define MIRVOL_NET_ENTRY_SIZE sizeof(mirvol_rec::net_entry)
// The device's recovery block: 16 pages in one piece.
#define MIRVOL_RECOVER_BUFF_SIZE (16 * 4096)

int mirvol_nmp_init(struct block_device *bdev, unsigned long arg);
// The device's ACK2 send queue, its network-list lock and its two client
// blocks (ACK2 and HB, idle, their timers ready), as every device has them
// before its threads start. Null, or the name of the allocation that failed
// for the log line; what was allocated is freed with the device.
const char *mirvol_init_nmp_clients(struct nmp_info *nmp);
// Appends a finished device at the tail of g_nmp_list.
void mirvol_add_nmp_list(struct nmp_info *nmp);
struct network *mirvol_get_using_network(struct nmp_info *nmp);
// Starts the device's threads in their order; the status word.
u32 mirvol_start_nmp_threads(struct nmp_info *nmp, bool stop_at_failure);

// Sub-objects, owned by their units.
struct perf_area *mirvol_perf_init_nmp(void);
void mirvol_perf_free_nmp(struct perf_area *area);
// The device threads, the history record and the Cluster Partition times
// are declared in the headers of their units: mirvol_trans.h,
// mirvol_recv.h, mirvol_ack2_recv.h, mirvol_hb.h, mirvol_history.h,
// mirvol_bitmap.h.
