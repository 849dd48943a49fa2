// The standby's half of mirroring: writes received on the accepted DATA
// connection are checked, built into bios on the data partition, filled
// from the wire (decompressing where the peer compressed), and queued for
// the remote-write thread; their completions queue the replies for the
// ACK1 sender thread.
//
// Life of a received write: the listener allocates the bio and its
// end_io_para, fills the bio and hands it to remote_write_head; the
// remote-write thread submits it; the completion frees both and, for a
// reply, appends a send_ack1_queue node. A completion never sends: every
// reply goes out from the ACK1 sender thread, which owns the watchdogs of
// its sends.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_protocol.h"

// The completion context of one received write.
struct end_io_para {
  struct nmp_info *nmp;
  u8 head[MIRVOL_HEAD_PART_SIZE];  // the head as received (wire byte order)
};

struct remote_write_queue {
  struct remote_write_queue *next, *prev;
  struct bio *bio;
};

struct send_ack1_queue {
  struct send_ack1_queue *next, *prev;
  u8 head[MIRVOL_HEAD_PART_SIZE];  // wire byte order
  u32 status;  // 0: written, enter the wait-ACK2 entry first; 1: the write failed
};

// Handlers of the DATA receive loop: nonzero to go on reading, 0 to close.
int mirvol_write_recv_data(struct nmp_info *nmp, struct head_part head);
int mirvol_write_recv_data2(struct nmp_info *nmp, struct head_part head);

// Receive bios on the data partition. malloc_recv_bh: ceil(length / 4096)
// vectors, each a new page at offset 0 of min(remaining, 4096) bytes.
// malloc_recv_bh2: vec_count vectors (from the head inside `para`), each a
// new page with length and offset 0, filled in by the caller. Each
// allocation is tried five times with a pause of one second between; null
// when it still fails (nothing is kept).
struct bio *malloc_recv_bh(struct nmp_info *nmp, u64 sector, u32 length, bio_end_io_t *end_io,
                           void *priv, int dir);
struct bio *malloc_recv_bh2(struct nmp_info *nmp, u64 sector, u32 length, bio_end_io_t *end_io,
                            struct end_io_para *para, int dir);
// A bio over `length` bytes of consecutive pages the caller holds, from
// `first` on; allocates no page. Null when the bio cannot be allocated.
struct bio *malloc_trans_read_bio(struct nmp_info *nmp, u64 sector, u32 length,
                                  bio_end_io_t *end_io, void *priv, int dir,
                                  struct page **first);

// 0, or -ENOMEM (logged) when no node could be allocated.
int mirvol_add_remote_write_queue(struct nmp_info *nmp, struct bio *bio);
// Queues a reply with `status` for the ACK1 sender thread; 0 or -ENOMEM.
int mirvol_add_send_ack1_queue(struct end_io_para *para, u32 status);

// The completion of a received write and its kernel-facing adapters.
void __mirvol_receive_io_end(struct bio *bio, unsigned int bytes, int error);
void __mirvol_receive_io_end_4_3_0(struct bio *bio);
void __mirvol_receive_io_end_2_6_24(struct bio *bio, int error);

// Bodies of "mirvol_nmp%02d_04" and "mirvol_nmp%02d_06".
int mirvol_remote_write_thread(void *nmp);
int mirvol_send_ack1_thread(void *nmp);

// After the device's threads have stopped: received writes still queued
// are dropped, the ones on the disk are waited for, and every write that
// got no ACK1 goes on the wait-ACK2 queue so that its range reaches this
// server's bitmap.
void mirvol_recv_drain(struct nmp_info *nmp);

// The lock of every device's recv_sock: the DATA listener publishes and
// clears the pointer under it, and command 73 shuts the connection down
// under it, so a shutdown never reaches a socket that is being released.
// The listener releases a socket only after clearing the pointer. A
// sleeping lock; taken after the device's send semaphore where both are
// held. The listener's own reads of recv_sock (it is the only writer) do
// not take it.
void mirvol_recv_sock_lock(void);
void mirvol_recv_sock_unlock(void);

// An accepted connection of one of the device's listeners (DATA, ACK2,
// heartbeat) whose peer is the opponent address of one of the device's
// networks: true. Any other peer is logged with `what` (the listener's
// socket name, e.g. "data receive") and false is returned; the caller
// closes the connection at once.
bool mirvol_accepted_from_opponent(struct nmp_info *nmp, struct socket *sock, const char *what,
                                   const char *fname);

// Opens a listener thread's socket: made, bound to `port` (once more after
// 4 s when the bind fails) and listening with `backlog`. `name` is the
// socket as the log lines call it ("data receive", "ACK2 receive", "HB
// server"). 0 with *listenerp set; else the error (events 220, 221, 222)
// with nothing left open.
int mirvol_open_listener(struct nmp_info *nmp, u32 port, int backlog, const char *name,
                         struct socket **listenerp);

// One accept of a listener thread's loop. ACCEPTED with *sockp a connection
// from an opponent address; AGAIN after a failed accept (event 223) or a
// stranger closed (event 231, with `what`); STOP when a signal ends the
// thread (event 134, with the thread's `fname`).
enum mirvol_accept_result { MIRVOL_ACCEPTED, MIRVOL_ACCEPT_AGAIN, MIRVOL_ACCEPT_STOP };
enum mirvol_accept_result mirvol_accept_opponent(struct nmp_info *nmp, struct socket *listener,
                                                 struct socket **sockp, const char *name,
                                                 const char *what, const char *fname);

// The keepalive times of the device and linger 0 on an accepted ACK2 or
// heartbeat connection.
void mirvol_listener_keepalive(struct nmp_info *nmp, struct socket *sock);

// A write id this server can map to a device: not above (largest minor +
// 1) << 24, the bound of the wait-ACK2 queue's removal.
bool mirvol_request_id_mappable(u64 request_id);
