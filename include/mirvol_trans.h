// Sending mirrored writes to the peer, the acknowledgements of both sides,
// the ACK2 sender, the DATA listener of a device, and the recovery transfer
// table as the acknowledgements reach it.
//
// Ownership of an asynchronous request while it is sent. The send-data
// thread moves a request from state 1 to 2 under the request-queue lock and
// from then on is the only one that touches its data buffers. It leaves
// state 2 by one store under that lock, 3 when every byte went out, 4 when
// it gave the message up, and touches the request no more after that store:
// an ACK1, a stop-sending message or a time-out that removed the request
// meanwhile waits (mirvol_end_req) until the state has left 2, and then
// finishes and frees it.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_protocol.h"

// --- sending writes ---

// Synchronous send of the clone of `req` under the send semaphore: enters
// the request in the request_queue (its id, its ACK1 timer) and sends head,
// segment sizes, segment offsets and data. > 0 sent, or 1 when the send
// failed after the request had been taken off the queue by another path;
// 0 or less: not sent, and the request is off the queue again.
int mirvol_send_data(struct nmp_info *nmp, struct bio *clone, struct io_request *req);
// Asynchronous enqueue: copies the data into the request, journals it and
// queues it for the send-data thread (spilling the data to a history file
// when the queue is full). 1 queued, -1 failed (nothing of the copy is kept).
int mirvol_send_data2(struct nmp_info *nmp, struct bio *clone, struct io_request *req);

// The two halves of the asynchronous enqueue around the journal.
// mirvol_copy_data_to_req builds the segment arrays and the buff_list copy
// of the clone's data, fills the request's send fields (state 1) and gives it
// its serial number; 0, or -1 with nothing kept. mirvol_queue_async_req
// enters a copied and journalled request in the request_queue, spilling its
// data when the queue holds send_queue_cnt requests or more; 1, or -1 with
// the arrays and buffers freed.
int mirvol_copy_data_to_req(struct nmp_info *nmp, struct bio *clone, struct io_request *req);
int mirvol_queue_async_req(struct nmp_info *nmp, struct io_request *req);

// Body of "mirvol_nmp%02d_08".
int mirvol_send_data_thread(void *nmp);
// Sends every sendable queued request: 2 when SIGTERM is pending,
// STATUS_PORT_CLOSED when the N/W port is closed with requests waiting, a
// positive value when nothing more can be sent, or the error (0 or less)
// that ended it.
int mirvol_send_all_data(struct nmp_info *nmp);
// The next request to send (now in state 2), or null.
struct io_request *mirvol_get_data_from_queue(struct nmp_info *nmp);
// A bio without pages whose vectors are the request's segments, or null.
struct bio *mirvol_malloc_wrk_bio(struct io_request *req);
// One empty buffer per segment from the segment index on, in buff_list;
// the list stays empty when an allocation fails.
void mirvol_kmalloc_buff_list_to_req(struct io_request *req);
// Brings spilled data back into buff_list: 1, or 0 on failure.
int mirvol_read_history_file_to_req(struct io_request *req);
// Frees every buffer and node of the list and leaves it empty.
void mirvol_kfree_buff_list(struct buff_list **list);

// --- acknowledgements ---

// ACK1 with `status` (0 or 1) for a received head (wire bytes).
int mirvol_send_Ack1(const u8 *head, struct nmp_info *nmp, u32 status);
// Handlers of the DATA receive loop; each returns 1 (the connection stays).
int mirvol_recv_Ack1(struct nmp_info *nmp, struct head_part head);
int mirvol_recv_port_problem(struct nmp_info *nmp, struct head_part head);
int mirvol_recv_build_ack(struct nmp_info *nmp, struct head_part head);
// Stop sending (command 7) with status 0 (write refused) or 3 (recovery
// refused) for a received head (wire bytes).
int mirvol_send_port_problem(struct nmp_info *nmp, const u8 *head, u32 status);

// Body of "mirvol_nmp%02d_07".
int mirvol_send_ack2_thread(void *nmp);
void mirvol_send_all_ack2(struct nmp_info *nmp);
// > 0 sent, -ETIME, -ENODATA or a connect error.
int mirvol_send_Ack2(u64 request_id, struct nmp_info *nmp);

// Stores `status` in the in-use transfer entry of `request_id`, marks its
// ACK received and wakes its recovery; the entry, or null when none.
struct trans_table *mirvol_trans_table_set_error(u64 request_id, u32 status);

// --- the DATA listener ---

// Body of "mirvol_nmp%02d_05".
int mirvol_accept_thread(void *nmp);
// Receive loop on the accepted DATA connection; 0 when it has closed.
int mirvol_recv_data_main(struct nmp_info *nmp);

// --- giving up ACK1 waits ---

int mirvol_cancel_waiting_ack1_asap(struct nmp_info *nmp);
int mirvol_cancel_waiting_ack(struct nmp_info *nmp);
void mirvol_do_all_request_ack1_timeout(struct nmp_info *nmp);

// --- the history journal and files, as the senders use them ---

int mirvol_write_history_info(struct io_request *req);
int mirvol_set_hisinfo_used_flag(struct nmp_info *nmp, struct io_request *req, int flag);
int mirvol_write_history_file(struct io_request *req);
int mirvol_read_history_file(struct io_request *req);
int mirvol_delete_history_info(struct io_request *req);
