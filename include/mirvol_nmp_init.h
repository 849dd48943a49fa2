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
// Appends a finished device at the tail of g_nmp_list.
void mirvol_add_nmp_list(struct nmp_info *nmp);
struct network *mirvol_get_using_network(struct nmp_info *nmp);
// Starts the device's threads in their order; the status word.
u32 mirvol_start_nmp_threads(struct nmp_info *nmp, bool stop_at_failure);

// Sub-objects, owned by their units.
struct perf_area *mirvol_perf_init_nmp(void);
void mirvol_perf_free_nmp(struct perf_area *area);
struct history_info *mirvol_history_init(const u8 *record, struct nmp_info *nmp);
void mirvol_history_free(struct history_info *history);
int mirvol_read_all_cptime(struct nmp_info *nmp);

// The device threads.
int mirvol_ack2_svr_thread(void *nmp);
int mirvol_send_ack2_thread(void *nmp);
int mirvol_hb_svr_thread(void *nmp);
int mirvol_hb_client_thread(void *nmp);
int mirvol_remote_write_thread(void *nmp);
int mirvol_send_ack1_thread(void *nmp);
int mirvol_accept_thread(void *nmp);
int mirvol_history_thread(void *nmp);
int mirvol_send_data_thread(void *nmp);
