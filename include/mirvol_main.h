// Module load and unload, the mirror disks, and the request path.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_ext.h"

struct bio;
struct request_queue;
struct seq_file;

int init_module(void);
void cleanup_module(void);
int mirvol_init_module_variable(void);
int mirvol_disk_init(void);
void mirvol_disk_clean(void);
void mirvol_kill_all_thread(void);
void mirvol_cleanup_module_free(void);
int mirvol_get_index_from_minor(int minor);
int mirvol_set_nmp_queue_stack_limits(struct nmp_info *nmp);
void mirvol_log_nmp_queue_stack_limits(struct request_queue *q);
int mirvol_check_iosize(struct nmp_info *nmp);
void mirvol_unplug_bdev(struct block_device *bdev, int flag);

// The request path.
void mirvol_make_request(struct request_queue *q, struct bio *bio);
struct io_request *mirvol_allocate_request(void);
void mirvol_free_request(struct io_request *req);
struct bio *mirvol_clone_bio(struct nmp_info *nmp, struct bio *bio);
int add_wrt_queue2(struct nmp_info *nmp, struct bio *bio, sector_t sector);
// Removes the node of `bio` (the write's upper bio) from the bucket of
// `sector`; event 164 when it is not there.
int del_write_request_queue(struct nmp_info *nmp, sector_t sector, struct bio *bio);
struct wrt_queue *search_wrt_queue(struct nmp_info *nmp, sector_t sector);
struct wrt_queue *search_wrt_queue_range(struct nmp_info *nmp, sector_t first, sector_t last);
struct wrt_queue *del_wrt_queue(struct nmp_info *nmp, struct bio *bio);
u64 mirvol_add_req_queue(struct nmp_info *nmp, struct io_request *req);
struct io_request *mirvol_del_req_queue(struct nmp_info *nmp, u64 request_id);
void __mirvol_end_make_request(struct bio *clone, unsigned int bytes, int error);
void __mirvol_end_make_request_4_3_0(struct bio *clone);
void mirvol_end_req(struct io_request *req, u64 bits);
// Load: the one-shot hints of the request path are shown again.
void mirvol_request_path_reset(void);
// Sets value 8 of the sync switch flags when a last-update time is set and
// clears it otherwise, under the device spinlock; the flags after it.
u32 mirvol_refresh_sync_switch(struct nmp_info *nmp);

// Signal masks around socket calls bounded by a signal-24 watchdog.
sigset_k enable_mirvol_sig(void);
void restore_signal_block(sigset_k mask);

void mirvol_set_bio_noidle(struct bio *bio);
void *mirvol_get_1st_bio_data(struct bio *bio);

// Status files.
int mirvol_get_nmp_netstatus_for_proc(struct nmp_info *nmp, int *states);
