// The device's DATA listener with its receive loop, and the recv_sock that
// command 73 shuts down.

#include "include/mirvol_recovery.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

// --- recv_sock and its lock ---

// Guards the recv_sock pointer of every device between the DATA listener
// (publish, clear) and command 73 (shutdown). Set up on first use, so that
// it exists before any device does.
static struct mutex *mirvol_recv_sock_mutex(void) {
  static struct mutex m;
  static const bool ready = (mutex_init(&m), true);
  (void)ready;
  return &m;
}

void mirvol_recv_sock_lock(void) { mutex_lock(mirvol_recv_sock_mutex()); }
void mirvol_recv_sock_unlock(void) { mutex_unlock(mirvol_recv_sock_mutex()); }

static void mirvol_recv_sock_publish(struct nmp_info *nmp, struct socket *sock) {
  mirvol_recv_sock_lock();
  nmp->recv_sock = sock;
  mirvol_recv_sock_unlock();
}

// Clears recv_sock under the lock and only then releases the socket: a
// command 73 that found the pointer has finished its shutdown by then.
static void mirvol_recv_sock_drop(struct nmp_info *nmp) {
  mirvol_recv_sock_lock();
  struct socket *sock = nmp->recv_sock;
  nmp->recv_sock = nullptr;
  mirvol_recv_sock_unlock();
  if (sock) sock_release(sock);
}

// --- the peer of an accepted connection ---

static void mirvol_addr_text(u32 ip_version, const u8 *a, char *buf, size_t size) {
  if (ip_version == 4) {
    snprintf_k(buf, size, "%u.%u.%u.%u", a[12], a[13], a[14], a[15]);
    return;
  }
  snprintf_k(buf, size, "%x:%x:%x:%x:%x:%x:%x:%x", (a[0] << 8) | a[1], (a[2] << 8) | a[3],
             (a[4] << 8) | a[5], (a[6] << 8) | a[7], (a[8] << 8) | a[9], (a[10] << 8) | a[11],
             (a[12] << 8) | a[13], (a[14] << 8) | a[15]);
}

// The peer's address in the layout of a network entry (IPv4 in the last
// four bytes); false when the socket has no peer of the device's family.
static bool mirvol_peer_addr(struct nmp_info *nmp, struct socket *sock, u8 *out) {
  struct ksockaddr_storage ss;
  memset(&ss, 0, sizeof(ss));
  memset(out, 0, MIRVOL_IPADDR_LEN);
  if (kernel_getpeername(sock, reinterpret_cast<struct ksockaddr *>(&ss)) < 0) return false;
  if (nmp->ip_version == 4) {
    if (ss.ss_family != AF_INET) return false;
    const struct ksockaddr_in *sin = reinterpret_cast<const struct ksockaddr_in *>(&ss);
    memcpy(out + 12, &sin->sin_addr, 4);
    return true;
  }
  if (ss.ss_family != AF_INET6) return false;
  const struct ksockaddr_in6 *sin6 = reinterpret_cast<const struct ksockaddr_in6 *>(&ss);
  memcpy(out, sin6->sin6_addr.s6_addr, MIRVOL_IPADDR_LEN);
  return true;
}

bool mirvol_accepted_from_opponent(struct nmp_info *nmp, struct socket *sock, const char *what,
                                   const char *fname) {
  u8 peer[MIRVOL_IPADDR_LEN];
  bool known = mirvol_peer_addr(nmp, sock, peer);
  bool opponent = false;
  if (known && nmp->network_list_lock) {
    unsigned long flags;
    spin_lock_irqsave(nmp->network_list_lock, flags);
    for (struct network *nw = nmp->network_list; nw && !opponent; nw = nw->next)
      opponent = memcmp(nw->opponent_addr, peer, MIRVOL_IPADDR_LEN) == 0;
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
  }
  if (opponent) return true;
  char text[48];
  if (known)
    mirvol_addr_text(nmp->ip_version, peer, text, sizeof(text));
  else
    snprintf_k(text, sizeof(text), "unknown");
  mirvol_printk(MIRVOL_WARN
                "NMP%d accepted %s connection from %s, but it is not an opponent address of "
                "this device. (%s)\n",
                231, (int)nmp->minor, what, text, fname);
  return false;
}

int mirvol_open_listener(struct nmp_info *nmp, u32 port, int backlog, const char *name,
                         struct socket **listenerp) {
  int minor = (int)nmp->minor;
  struct socket *listener = nullptr;
  *listenerp = nullptr;
  int r = mirvol_sock_create(nmp->ip_version == 4 ? AF_INET : AF_INET6, SOCK_STREAM, IPPROTO_TCP,
                             &listener);
  if (r < 0 || !listener) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to create %s socket. (err=%d%s)\n", 220, minor, name, r,
                  mirvol_err(r));
    return -ENOMEM;
  }
  r = mirvol_bind_listener(nmp, listener, port);
  if (r < 0) {
    // The thread before this one may still hold the port for a moment.
    schedule_timeout_interruptible(4 * HZ);
    r = mirvol_bind_listener(nmp, listener, port);
  }
  if (r < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to bind %s socket. (err=%d%s)\n", 221, minor, name, r,
                  mirvol_err(r));
    sock_release(listener);
    return r;
  }
  int on = 1;
  kernel_setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  r = kernel_listen(listener, backlog);
  if (r < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to listen %s socket. (err=%d%s)\n", 222, minor, name, r,
                  mirvol_err(r));
    sock_release(listener);
    return r;
  }
  *listenerp = listener;
  return 0;
}

enum mirvol_accept_result mirvol_accept_opponent(struct nmp_info *nmp, struct socket *listener,
                                                 struct socket **sockp, const char *name,
                                                 const char *what, const char *fname) {
  int minor = (int)nmp->minor;
  struct socket *sock = nullptr;
  *sockp = nullptr;
  // A signal that ended the last connection ends the thread too.
  int r = signal_pending(get_current()) ? -ERESTARTSYS
                                        : mirvol_accept_socket(listener, &sock, nmp->ip_version);
  if (r == -ERESTARTSYS || signal_pending(get_current())) {
    if (sock) sock_release(sock);
    mirvol_printk(MIRVOL_INFO "NMP%d received signal.       (%s)\n", 134, minor, fname);
    return MIRVOL_ACCEPT_STOP;
  }
  if (r < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to accept %s socket. (err=%d%s)\n", 223, minor, name, r,
                  mirvol_err(r));
    cond_resched();
    return MIRVOL_ACCEPT_AGAIN;
  }
  // Only the peer server may hold a listener (one connection at a time):
  // any other host is closed before a byte of it is read.
  if (!mirvol_accepted_from_opponent(nmp, sock, what, fname)) {
    sock_release(sock);
    return MIRVOL_ACCEPT_AGAIN;
  }
  *sockp = sock;
  return MIRVOL_ACCEPTED;
}

void mirvol_listener_keepalive(struct nmp_info *nmp, struct socket *sock) {
  mirvol_sock_tcp_parameter(sock, (int)mirvol_timeout(&nmp->keepalive_probe),
                            (int)mirvol_timeout(&nmp->keepalive_time),
                            (int)mirvol_timeout(&nmp->keepalive_interval));
  struct klinger linger = {1, 0};
  kernel_setsockopt(sock, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
}

// --- the DATA receive loop ---

typedef int (*mirvol_recv_handler)(struct nmp_info *nmp, struct head_part head);

// The handler of a command of the DATA connection, or null for a command
// that does not belong on it.
static mirvol_recv_handler mirvol_data_handler(u32 cmd) {
  switch (cmd) {
    case CMD_ACK1:
      return mirvol_recv_Ack1;
    case CMD_RECOVERY_ACK:
      return mirvol_recv_build_ack;
    case CMD_STOP_SENDING_DATA:
      return mirvol_recv_port_problem;
    case CMD_WRITE_SYNC_DATA_OLD:
      return mirvol_write_recv_data;
    case CMD_WRITE_SYNC_DATA:
    case CMD_WRITE_COMPRESSED_SYNC_DATA:
    case CMD_WRITE_SYNC_DATA_3_14:
    case CMD_WRITE_COMPRESSED_SYNC_DATA_3_14:
      return mirvol_write_recv_data2;
    case CMD_WRITE_RECOVERY_DATA_OLD:
      return mirvol_write_build_data;
    case CMD_WRITE_RECOVERY_DATA:
      return mirvol_write_build_data2;
    default:
      return nullptr;
  }
}

int mirvol_recv_data_main(struct nmp_info *nmp) {
  int minor = (int)nmp->minor;
  for (;;) {
    u8 wire[MIRVOL_HEAD_PART_SIZE];
    int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, wire, sizeof(wire));
    if (r == -ERESTARTSYS) {
      mirvol_printk(MIRVOL_INFO "NMP%d received signal.       (mirvol_recv_data_main)\n", 134, minor);
      break;
    }
    if (r == 0) {
      mirvol_printk(MIRVOL_INFO "NMP%d disconnected DATA N/W. (mirvol_recv_data_main)\n", 232, minor);
      break;
    }
    if (r < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to receive head part. (err=%d%s)\n", 224, minor, r,
                    mirvol_err(r));
      break;
    }
    struct head_part head;
    mirvol_head_decode(wire, &head);
    if (head.magic != MIRVOL_MAGIC) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d received wrong head part. (magic=%#lx, cmd=%#lx) (mirvol_recv_data_main)\n",
                    225, minor, (unsigned long)head.magic, (unsigned long)head.cmd);
      break;
    }
    mirvol_recv_handler handler = mirvol_data_handler(head.cmd);
    if (!handler) {
      mirvol_printk(MIRVOL_WARN "NMP%d received wrong command (cmd=%lu).\n", 226, minor,
                    (unsigned long)head.cmd);
      mirvol_printk(MIRVOL_WARN "NMP%d failed to execute received command. (cmd=%lu%s, err=%d)\n",
                    228, minor, (unsigned long)head.cmd, mirvol_cmd(head.cmd), 0);
      break;
    }
    if (handler(nmp, head) == 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to execute received command. (cmd=%lu%s, err=%d)\n",
                    228, minor, (unsigned long)head.cmd, mirvol_cmd(head.cmd), 0);
      break;
    }
  }
  mirvol_nmp_recv_sock_tcp_delete_keepalive_timer(nmp);
  mirvol_recv_sock_drop(nmp);
  mirvol_printk(MIRVOL_INFO "NMP%d exit...OK              (mirvol_recv_data_main)\n", 135, minor);
  return 0;
}

// --- the DATA listener ---

static void mirvol_drop_accepted(struct socket *sock) {
  mirvol_tcp_delete_keepalive_timer(sock);
  sock_release(sock);
}

// Takes one accepted connection: keepalive, linger 0, and the negotiation
// message within receive_normal_timeout. True when the connection is good.
static bool mirvol_take_connection(struct nmp_info *nmp, struct socket *sock,
                                   struct timer_list *timer) {
  int minor = (int)nmp->minor;
  mirvol_sock_tcp_parameter(sock, (int)mirvol_timeout(&nmp->keepalive_probe),
                            (int)mirvol_timeout(&nmp->keepalive_time),
                            (int)mirvol_timeout(&nmp->keepalive_interval));
  struct klinger linger = {1, 0};
  kernel_setsockopt(sock, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
  u8 msg[MIRVOL_SHORT_MSG_SIZE];
  int r = mirvol_recvmsg_timeout(sock, timer, msg, sizeof(msg), mirvol_timeout(&nmp->receive_normal_timeout));
  if (r <= 0) {
    mirvol_drop_accepted(sock);
    mirvol_printk(MIRVOL_WARN "NMP%d failed to receive connection data. (err=%d%s)\n", 224, minor, r,
                  mirvol_err(r));
    return false;
  }
  u32 magic, cmd;
  mirvol_short_msg_decode(msg, &magic, &cmd);
  if (magic != MIRVOL_MAGIC) {
    mirvol_drop_accepted(sock);
    mirvol_printk(MIRVOL_WARN
                  "NMP%d received wrong head part. (magic=%#lx, cmd=%#lx) (mirvol_accept_thread)\n",
                  225, minor, (unsigned long)magic, (unsigned long)cmd);
    return false;
  }
  if (cmd != CMD_NEGOTIATE) {
    mirvol_drop_accepted(sock);
    mirvol_printk(MIRVOL_WARN "NMP%d received wrong command. (cmd=%#lx)\n", 226, minor,
                  (unsigned long)cmd);
    return false;
  }
  return true;
}

int mirvol_accept_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  int minor = (int)nmp->minor;
  allow_signal(SIGTERM);
  struct timer_list timer;
  init_timer(&timer);
  int result = 0;
  struct socket *listener = nullptr;
  int r = mirvol_open_listener(nmp, nmp->data_port, 48, "data receive", &listener);
  if (r < 0) {
    result = r;
    goto out;
  }

  for (;;) {
    struct socket *sock;
    enum mirvol_accept_result got =
        mirvol_accept_opponent(nmp, listener, &sock, "data receive", "data receive",
                               "mirvol_accept_thread");
    if (got == MIRVOL_ACCEPT_STOP) break;
    if (got == MIRVOL_ACCEPT_AGAIN) continue;
    if (READ_ONCE(nmp->active) != 1) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d accepted receive data, but this server is not current server of hybrid "
                    "disk.\n",
                    231, minor);
      sock_release(sock);
      continue;
    }
    if (!mirvol_take_connection(nmp, sock, &timer)) continue;
    mirvol_recv_sock_publish(nmp, sock);
    mirvol_recv_data_main(nmp);
  }

out:
  del_timer_sync(&timer);
  mirvol_recv_sock_drop(nmp);
  if (listener) sock_release(listener);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_accept_thread)\n", 132, minor);
  smp_store_release(&nmp->thread[NMP_THREAD_ACCEPT].running, 0);
  return result;
}
