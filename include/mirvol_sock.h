// A device's connections to its peer and the socket primitives every sender
// and receiver uses.
//
// The outgoing DATA connection (nmp->data_sock) is owned by the holder of the
// send semaphore, one whole message at a time; ACK2 and HB client
// connections by the holders of their own semaphores. The accepted DATA
// connection (nmp->recv_sock) belongs to the DATA listener thread.
//
// Watchdog. Every connect and send, and a receive whose caller wants one, is
// bounded by a kernel timer that posts signal 24 to the calling task when it
// expires; the call then ends with -ETIME (-62). During the call every other
// signal is blocked, so SIGTERM does not end a send or a connect. Each
// watched call uses a timer its caller owns (the DATA timers of
// nmp_sys_variable belong to the send semaphore's holder, the ACK2 and HB
// timers to those semaphores' holders, a listener uses one of its own). The
// timer is deleted synchronously after the call and signal 24 is cleared, so
// none is left pending; a stray one is cleared before the call too.
//
// A watchdog needs a calling task that sleeps in the call: none of these
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
// Sends all `length` bytes, each socket call under the watchdog `timer`
// with `seconds`. Returns the total, -ETIME when a watchdog fired, or the
// socket error.
int mirvol_send2(struct socket *sock, struct timer_list *timer, void *buffer, u32 length,
                 u32 seconds, struct nmp_info *nmp);
// Receives exactly `length` bytes: `length`, 0 when the peer closed,
// -ETIME when the caller's watchdog fired, or the socket error (-512 when a
// signal ended the wait). Arms no watchdog of its own.
int mirvol_recvmsg(struct socket *sock, void *buffer, u32 length, int flags);
// mirvol_recvmsg under the caller's watchdog `timer` with `seconds`.
int mirvol_recvmsg_timeout(struct socket *sock, struct timer_list *timer, void *buffer,
                           u32 length, u32 seconds);
// mirvol_recvmsg on recv_sock; -1 when there is none.
int mirvol_recvmsg_from_nmp_recv_sock(struct nmp_info *nmp, void *buffer, u32 length);

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
