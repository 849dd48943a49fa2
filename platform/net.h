// Kernel sockets: TCP over IPv4 and IPv6, and raw ICMP / ICMPv6 sockets.
//
// A struct socket stands on one real OS socket (several for a listener bound
// to the wildcard address of a host that has its own address list, below).
// Every call returns the kernel's result: a count or 0, or a negative errno
// (platform/kerrno.h numbers, equal to Linux's).
//
// Blocking. accept, connect, send and receive block unless asked not to
// (O_NONBLOCK in the accept/connect flags, MSG_DONTWAIT in the message
// flags). A blocking call first tries the operation; when it would have to
// wait and an unblocked signal is pending for the calling task, it returns
// -ERESTARTSYS; otherwise it waits until the socket is ready or an unblocked
// signal is posted to the task, which also ends it with -ERESTARTSYS. A send
// or receive that had already moved some bytes returns that count instead,
// as the kernel does. A blocked signal stays pending and does not end the
// call (a task that blocks every signal but 24 is ended only by signal 24).
// An interrupted connect goes on in the background, as in the kernel; a
// later blocking connect on the socket waits for it again. sock_create_kern,
// sock_release, kernel_bind, kernel_listen and the blocking forms of accept,
// connect, send and receive are sleeping calls: made in atomic context they
// abort in debug builds.
//
// Sends never raise SIGPIPE: a send on a connection the peer has closed
// returns -EPIPE (or -ECONNRESET).
//
// Host addresses. A host may be given its own address list
// (sock_set_host_addresses). Then
//  - a TCP socket bound to the wildcard address (0.0.0.0 or ::) is bound to
//    exactly the host's addresses of that family instead, all on the same
//    port, and listens and accepts on all of them;
//  - connect on a socket that was not bound binds it first to the host's
//    first address of that family (port chosen by the connect), so the peer
//    sees that source address.
// Without a list a wildcard bind is a real wildcard bind.
//
// Every TCP socket is made address-reusable (SO_REUSEADDR) before it binds,
// so that a listener's port can be bound again at once after it closes.
//
// Every TCP socket, made or accepted, sends without Nagle's delay
// (TCP_NODELAY on): a message handed over in one call leaves at once. A send
// hands the OS at most 1024 vectors per system call.
//
// Raw sockets (SOCK_RAW with IPPROTO_ICMP or IPPROTO_ICMPV6) need the
// CAP_NET_RAW capability; without it sock_create_kern returns -EPERM. An
// IPv4 raw receive returns the IP header before the ICMP message; an ICMPv6
// one returns the ICMPv6 message alone, whose checksum the system fills in
// on send.
//
// Calls on one socket may run on several tasks at once, as in the kernel
// (kernel_sock_shutdown from one task ends another task's blocked receive);
// sock_release must not race with any other call on the same socket.
//
// The constants have Linux's values. A platform or host unit that includes
// the C library's socket headers (<sys/socket.h>, <netinet/in.h>,
// <netinet/tcp.h>) as well must include them before this header: several of
// these names are enumerators there.
#pragma once

#include "types.h"

// --- families, types, protocols ---
#define PF_INET 2
#define PF_INET6 10
#define AF_INET PF_INET
#define AF_INET6 PF_INET6

#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef SOCK_DGRAM
#define SOCK_DGRAM 2
#endif
#ifndef SOCK_RAW
#define SOCK_RAW 3
#endif

#ifndef IPPROTO_ICMP
#define IPPROTO_ICMP 1
#endif
#ifndef IPPROTO_TCP
#define IPPROTO_TCP 6
#endif
#ifndef IPPROTO_ICMPV6
#define IPPROTO_ICMPV6 58
#endif

// --- socket options (kernel_setsockopt) ---
#define SOL_SOCKET 1
#define SO_REUSEADDR 2
#define SO_KEEPALIVE 9
#define SO_LINGER 13  // optval: struct klinger

#define SOL_TCP 6
#define TCP_NODELAY 1
#define TCP_KEEPIDLE 4   // seconds idle before the first keepalive probe
#define TCP_KEEPINTVL 5  // seconds between probes
#define TCP_KEEPCNT 6    // probes before the connection is dropped

// --- message flags ---
#ifndef MSG_DONTWAIT
#define MSG_DONTWAIT 0x40
#endif
#ifndef MSG_WAITALL
#define MSG_WAITALL 0x100  // receive: wait for the whole length
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0x4000  // accepted; every send behaves so anyway
#endif

// accept / connect flags
#ifndef O_NONBLOCK
#define O_NONBLOCK 04000
#endif

// kernel_sock_shutdown
#ifndef SHUT_RD
#define SHUT_RD 0
#endif
#ifndef SHUT_WR
#define SHUT_WR 1
#endif
#ifndef SHUT_RDWR
#define SHUT_RDWR 2
#endif

// --- addresses: layout-identical to Linux's; ports and addresses in network order ---
struct ksockaddr {
  u16 sa_family;
  char sa_data[14];
};

struct ksockaddr_in {
  u16 sin_family;  // AF_INET
  u16 sin_port;
  u32 sin_addr;
  u8 sin_zero[8];
};

// s6_addr names the 16 bytes, as in the C library (whose spelling this
// shares, so that a unit that sees both headers reads either struct).
struct kin6_addr {
  union {
    u8 __u6_addr8[16];
    u16 __u6_addr16[8];
    u32 __u6_addr32[4];
  } __in6_u;
};
#ifndef s6_addr
#define s6_addr __in6_u.__u6_addr8
#endif

struct ksockaddr_in6 {
  u16 sin6_family;  // AF_INET6
  u16 sin6_port;
  u32 sin6_flowinfo;
  struct kin6_addr sin6_addr;
  u32 sin6_scope_id;
};

struct alignas(8) ksockaddr_storage {
  u16 ss_family;
  char ss_data[126];
};

struct klinger {
  int l_onoff;   // 1: close waits (with 0 seconds: close resets the connection)
  int l_linger;  // seconds
};

// One buffer of a send or receive.
struct kvec {
  void *iov_base;
  size_t iov_len;
};

// The message of kernel_sendmsg / kernel_recvmsg.
struct kmsghdr {
  // Send: the destination (null: the connected peer). Receive: where the
  // sender's address is stored (null: not wanted); msg_namelen is then set to
  // its length. A receive with msg_namelen 0 takes the buffer for a
  // ksockaddr_storage.
  void *msg_name;
  int msg_namelen;
  // Send: the send flags (MSG_DONTWAIT). Receive: set to the flags of the
  // message received (MSG_TRUNC when a datagram was cut).
  int msg_flags;
};

// --- sockets ---
struct socket;

// The network-layer half of a socket (the kernel's sock->sk); never null.
struct sock {
  struct socket *sk_socket;
  // Where the kernel's socket layer would allocate from while sending. Set
  // by the driver to GFP_ATOMIC on its send path; allocation here never
  // depends on it.
  unsigned int sk_allocation;
};

struct socket {
  short type;  // SOCK_STREAM, SOCK_RAW, ...
  short family;
  int protocol;
  struct sock *sk;
  struct socket_os *os;  // platform state
};

// Creates a socket of the family (AF_INET, AF_INET6; others -EAFNOSUPPORT).
// Returns 0 with *res set, or -errno with *res null (-ENOMEM when the
// socket's memory cannot be allocated, -EPERM for a raw socket without
// CAP_NET_RAW).
int sock_create_kern(int family, int type, int protocol, struct socket **res);
// Closes the socket (with SO_LINGER on and 0 seconds, a connection is reset)
// and frees it. Null is ignored.
void sock_release(struct socket *sock);

int kernel_bind(struct socket *sock, struct ksockaddr *addr, int addrlen);
int kernel_listen(struct socket *sock, int backlog);
// Accepts one connection: 0 with *newsock set (a blocking socket of the
// listener's family and type), or -errno with *newsock null. flags
// O_NONBLOCK: -EAGAIN instead of waiting.
int kernel_accept(struct socket *sock, struct socket **newsock, int flags);
// flags O_NONBLOCK: -EINPROGRESS instead of waiting for the handshake.
int kernel_connect(struct socket *sock, struct ksockaddr *addr, int addrlen, int flags);

// Sends `len` bytes from the vectors (msg may be null: no address, no
// flags). A blocking send on a stream socket returns only when every byte is
// queued, or with the count queued so far when an error or a signal stops it.
// Returns the bytes sent or -errno.
int kernel_sendmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                   size_t len);
// Receives up to `len` bytes into the vectors (msg may be null). Returns the
// bytes received, 0 when the peer has closed the connection (or shut it
// down), or -errno. flags: MSG_DONTWAIT, MSG_WAITALL (a stream receive waits
// for all `len` bytes, or returns what came before the close, error or
// signal that ended it).
int kernel_recvmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t num,
                   size_t len, int flags);

// Blocking connect, send and receive bounded by a deadline (jiffies of the
// platform clock, as jiffies_now()). When the call would still have to wait
// at the deadline it ends with -ETIME (-62), whatever it had moved; *moved
// (may be null) holds the bytes queued or received before the call ended,
// whatever it returns. Otherwise they behave as the forms above: a pending
// unblocked signal ends them with -ERESTARTSYS (or the count moved), a
// blocked one does not. The wait is in the call's own poll: no timer or
// signal is involved.
int kernel_connect_deadline(struct socket *sock, struct ksockaddr *addr, int addrlen,
                            unsigned long deadline);
int kernel_sendmsg_deadline(struct socket *sock, struct kmsghdr *msg, struct kvec *vec,
                            size_t num, size_t len, unsigned long deadline, size_t *moved);
int kernel_recvmsg_deadline(struct socket *sock, struct kmsghdr *msg, struct kvec *vec,
                            size_t num, size_t len, int flags, unsigned long deadline,
                            size_t *moved);

// Sets an option on the socket; level and name as on Linux (SOL_SOCKET:
// SO_REUSEADDR, SO_KEEPALIVE, SO_LINGER; SOL_TCP: TCP_NODELAY, TCP_KEEPIDLE,
// TCP_KEEPINTVL, TCP_KEEPCNT). Values out of Linux's range give -EINVAL.
int kernel_setsockopt(struct socket *sock, int level, int optname, const void *optval,
                      unsigned int optlen);

// Store the local / peer address; return its length or -errno. A listener
// bound to the wildcard address of a host with an address list reports the
// wildcard address and its port.
int kernel_getsockname(struct socket *sock, struct ksockaddr *addr);
int kernel_getpeername(struct socket *sock, struct ksockaddr *addr);

// how: SHUT_RD, SHUT_WR, SHUT_RDWR. A receive blocked on the socket in
// another task then returns 0.
int kernel_sock_shutdown(struct socket *sock, int how);

// The TCP keepalive timer. Stopping it switches keepalive off on the
// connection (SO_KEEPALIVE off); resetting it switches keepalive off and on
// again, which restarts the idle countdown from now with the socket's idle
// time (TCP_KEEPIDLE) and leaves keepalive on. `len` (ticks) is accepted for
// the kernel's signature; the driver always passes the idle time, which is
// what the restart uses.
void inet_csk_reset_keepalive_timer(struct sock *sk, unsigned long len);
void inet_csk_delete_keepalive_timer(struct sock *sk);
