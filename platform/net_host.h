// Sockets: the host's own addresses, the OS socket behind a kernel socket,
// and fault injection between address pairs.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "net.h"

// Sets the host's own addresses ("127.0.0.2", "2001:db8::1", "fe80::1%eth0");
// n 0 clears the list. Applies to binds and connects made afterwards. Returns
// 0, or -EINVAL (and keeps the old list) when an address cannot be parsed.
int sock_set_host_addresses(const char *const *addrs, int n);

// The i-th OS descriptor of the socket (0 first), or -1. For platform units
// and tests that inspect the OS socket.
int sock_os_fd(struct socket *sock, int i);

// --- fault injection (tests) ---
//
// Hosts on loopback cannot have a network cut between them (and there the
// kernel answers every echo), so the platform keeps a table of faults per
// pair of addresses of this process's sockets: the local address (the
// socket's own) and the remote one (the peer, the connect or send
// destination, or a received datagram's source); ports do not count, and
// "*" stands for any address. For each pair, each operation may
//  - fail: connect returns -ENETUNREACH, a TCP send or receive -ECONNRESET,
//    an echo (a send on a raw socket) -ENETUNREACH;
//  - blackhole: connect, TCP send and receive make no progress, as with a
//    peer that never answers: a blocking call waits until its deadline
//    (-ETIME), an unblocked signal (-ERESTARTSYS) or the fault is cleared
//    (then it goes on; the bytes were not lost), a non-blocking one returns
//    -EAGAIN (connect -EINPROGRESS). An echo is dropped: the send reports
//    every byte sent, and nothing leaves.
// A fault on echo also drops what a raw socket receives from the remote
// address (the peer's echo requests and replies), as a cut network would.
// A TCP call already waiting for its socket checks the table again when the
// socket becomes ready.
#define SOCK_FAULT_CONNECT 0
#define SOCK_FAULT_SEND 1
#define SOCK_FAULT_RECV 2
#define SOCK_FAULT_ECHO 3
#define SOCK_FAULT_OPS 4

#define SOCK_FAULT_NONE 0
#define SOCK_FAULT_FAIL 1
#define SOCK_FAULT_BLACKHOLE 2

// Sets the fault of one operation for a pair (SOCK_FAULT_NONE removes it).
// Returns 0, or -EINVAL for an address that cannot be parsed, an unknown
// operation or kind.
int sock_fault_set(const char *local, const char *remote, int op, int kind);
// Removes every fault.
void sock_fault_clear(void);
