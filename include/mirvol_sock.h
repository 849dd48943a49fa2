// A device's connections to its peer and the socket primitives every sender
// and receiver uses.
//
// The outgoing DATA connection (nmp->data_sock) is owned by the holder of the
// send semaphore, one whole message at a time; ACK2 and HB client
// connections by the holders of their own semaphores. The accepted DATA
// connection (nmp->recv_sock) belongs to the DATA listener thread.
//
// Watchdog. Every connect and send, and a receive whose caller wants one, is
// bounded by a deadline of the given seconds that the socket call keeps in
// its own poll; when it passes, the call ends with -ETIME (-62), whatever it
// had moved. During the call every signal but 24 is blocked, so SIGTERM does
// not end a send or a connect; a signal 24 that arrives during the call ends
// it with -ETIME as well, and is cleared, so none is left pending; a stray
// one is cleared before the call too. The timer arguments name the timers
// that the connections own for their watched calls (the DATA timers of
// nmp_sys_variable belong to the send semaphore's holder, the ACK2 and HB
// timers to those semaphores' holders); the calls keep their deadline
// without them. mirvol_watchdog_start/stop are the timer form of the same
// bound, for a blocking call that has no deadline of its own.
//
// A watched call needs a calling task that sleeps in it: none of these
// sends may run from a bio completion or a timer callback. A completion that
// wants something sent hands it to the thread that owns that send.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_protocol.h"

// --- semaphores and releases ---

void mirvol_down_nmp_send_sem(struct nmp_info *nmp);
void mirvol_up_nmp_send_sem(struct nmp_info *nmp);
void mirvol_down_nmp_ack2_sem(struct nmp_info *nmp);
void mirvol_up_nmp_ack2_sem(struct nmp_info *nmp);
void mirvol_down_nmp_hb_sem(struct nmp_info *nmp);
void mirvol_up_nmp_hb_sem(struct nmp_info *nmp);

// Stops the keepalive timer of the client socket, releases it and clears
// the pointer; nothing when there is none. Callers hold the connection's
// semaphore.
void mirvol_release_nmp_sock(struct nmp_info *nmp);
void mirvol_release_nmp_ack2_sock(struct nmp_info *nmp);
void mirvol_release_nmp_hb_sock(struct nmp_info *nmp);
void mirvol_nmp_recv_sock_tcp_delete_keepalive_timer(struct nmp_info *nmp);
void mirvol_nmp_recv_sock_release(struct nmp_info *nmp);

// --- watchdog ---

// The timer callback: posts signal 24 to the task in `data`.
void send_timeout(unsigned long data);

// Around a blocking socket call of the current task: start blocks every
// signal but 24 (returning the old mask), clears a stray signal 24 and arms
// `timer` for `seconds`; stop deletes the timer (waiting for a running
// callback), restores the mask, and returns -ETIME when the watchdog fired
// (clearing signal 24), else 0.
sigset_k mirvol_watchdog_start(struct timer_list *timer, u32 seconds);
int mirvol_watchdog_stop(struct timer_list *timer, sigset_k old_mask);

// --- sending and receiving ---

// Sends the head on the DATA connection by mirvol_send. The caller holds the
// send semaphore.
int mirvol_send_head_part(struct nmp_info *nmp, struct head_part head);
// Sends a payload part after a head on the existing DATA connection. The
// caller holds the send semaphore. Returns the bytes sent, or 0 or less;
// on every failure the DATA socket has been released, so the peer never
// takes a later message for the rest of this one.
int mirvol_send_data_part(struct nmp_info *nmp, u32 length, void *buffer);
// Sends one whole message on the connection in *slot, connecting first when
// there is none, and re-sending over a new connection after a failure
// (recovery sub-headers excepted). Returns the bytes sent or a negative
// error. The caller holds the send semaphore.
int mirvol_send(struct socket **slot, struct nmp_info *nmp, void *buffer, u32 length);
// Sends a DATA message, the head and then the payload vectors, in one
// gathered send under the send semaphore, which the caller holds. The head
// keeps mirvol_send's rules (connect on demand; a send that fails before the
// whole head went out is made again whole on a new connection); a failure
// after the head is a failed payload piece: the DATA socket is released and
// the network marked ERROR, with no retry. When the current network is
// ERROR the head goes out alone and the payload is refused (-1), as for a
// head followed by mirvol_send_data_part. Returns the bytes sent (head
// included) or 0 or less; *sent holds how many bytes of the message went
// out on the last connection (below the head's size: the head failed).
int mirvol_send_message(struct nmp_info *nmp, struct head_part head, const struct kvec *payload,
                        size_t num, size_t *sent);
// Sends all `length` bytes, each socket call bounded by `seconds`. Returns
// the total, -ETIME when the time ran out, or the socket error. `timer` is
// the connection's send watchdog timer (see above).
int mirvol_send2(struct socket *sock, struct timer_list *timer, void *buffer, u32 length,
                 u32 seconds, struct nmp_info *nmp);
// mirvol_send2 for a list of vectors, sent by one gathered socket call (more
// only when the socket takes part of it). *sent (may be null) holds the
// bytes queued when it ended, also on failure.
int mirvol_send2v(struct socket *sock, const struct kvec *vec, size_t num, u32 seconds,
                  struct nmp_info *nmp, size_t *sent);
// A time-out setting of the device (seconds), read once per call: the
// time-out ratio (command 61) may change it while the senders run.
static inline u32 mirvol_timeout(const u32 *setting) {
  return READ_ONCE(*setting);
}
// Receives exactly `length` bytes: `length`, 0 when the peer closed,
// -ETIME when the caller's watchdog fired, or the socket error (-512 when a
// signal ended the wait). Arms no watchdog of its own.
int mirvol_recvmsg(struct socket *sock, void *buffer, u32 length, int flags);
// mirvol_recvmsg under the caller's watchdog `timer` with `seconds`.
int mirvol_recvmsg_timeout(struct socket *sock, struct timer_list *timer, void *buffer,
                           u32 length, u32 seconds);
// mirvol_recvmsg on recv_sock; -1 when there is none.
int mirvol_recvmsg_from_nmp_recv_sock(struct nmp_info *nmp, void *buffer, u32 length);
// mirvol_recvmsg into several buffers filled in order, by as few socket
// calls as the socket allows: the vectors' total, 0 when the peer closed,
// or the error. *got (may be null) holds the bytes received when it ended.
// The vectors are used up: they are stepped over as bytes come in.
int mirvol_recvmsgv(struct socket *sock, struct kvec *vec, size_t num, int flags, size_t *got);
// mirvol_recvmsgv on recv_sock; -1 when there is none.
int mirvol_recvmsgv_from_nmp_recv_sock(struct nmp_info *nmp, struct kvec *vec, size_t num,
                                       size_t *got);

// --- connecting ---

// Opens the DATA client connection on the network in use, moving to the
// next network when a connect or the negotiation fails. The socket, or null
// with the error in *err (-ENODATA when no network can be used).
struct socket *mirvol_sock_connect(struct nmp_info *nmp, int *err);
// A client socket connected to the network's opponent and `port` within
// connect_timeout seconds under `timer`, with keepalive set. Null with the
// error in *err on failure.
struct socket *mirvol_creat_client_socket(struct socket *old_sock, struct network *network,
                                          u16 port, struct timer_list *timer,
                                          struct nmp_info *nmp, int *err);
// Accepts one connection on the listener (blocking): 0 with *sock set, or
// the error with *sock null (-512 when a signal ended the wait).
int mirvol_accept_socket(struct socket *listener, struct socket **sock, u32 ip_version);

// The peer's address and `port` for a socket of the device's IP version;
// returns the address length.
int mirvol_make_peer_addr(u32 ip_version, const u8 *addr, u16 port,
                          struct ksockaddr_storage *out);

// Binds a device's listener to the wildcard address and `port` (an IPv4
// listener with SO_REUSEADDR first); returns kernel_bind's result.
int mirvol_bind_listener(struct nmp_info *nmp, struct socket *listener, u16 port);

// --- networks ---

// Marks the current network ERROR; returns 1 when every network is now
// ERROR (the N/W port is then closed), else 0. Wakes the heartbeat client.
int mirvol_set_mdc_error(struct nmp_info *nmp);
// Logs one network (event 243); kind 1 DATA, 2 HB, 3 ACK2 adds that
// connection's port, any other kind no suffix. Nothing for null.
void mirvol_disp_current_mdc(struct nmp_info *nmp, struct network *network, int kind);
// The state of the device's current network under network_list_lock;
// NW_FREE when there is none.
u32 mirvol_current_network_state(struct nmp_info *nmp);

// --- block I/O kept with this unit ---

// Frees the page of every vector of the bio, then drops it; nothing for null.
void free_recv_bio(struct bio *bio);
// Stores `error` as the bio's status and ends it; `bytes` is not used.
void mirvol_bio_endio(struct bio *bio, unsigned int bytes, int error);
