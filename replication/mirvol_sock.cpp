// A device's connections to its peer: the outgoing DATA connection with its
// connect, negotiation and re-send rules, the ACK2 and HB client sockets,
// the send and receive loops, the watchdog of blocking calls, and the releases.

#include "include/mirvol_perf.h"
#include "include/mirvol_sock.h"

#include "include/mirvol_nmp_init.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_port.h"
#include "include/mirvol_qos.h"

// --- semaphores and releases ---

void mirvol_down_nmp_send_sem(struct nmp_info *nmp) { mirvol_down(&nmp->nmp_variable->send_sem); }
void mirvol_up_nmp_send_sem(struct nmp_info *nmp) { mirvol_up(&nmp->nmp_variable->send_sem); }
void mirvol_down_nmp_ack2_sem(struct nmp_info *nmp) { mirvol_down(&nmp->ack2_client.sem); }
void mirvol_up_nmp_ack2_sem(struct nmp_info *nmp) { mirvol_up(&nmp->ack2_client.sem); }
void mirvol_down_nmp_hb_sem(struct nmp_info *nmp) { mirvol_down(&nmp->hb_client.sem); }
void mirvol_up_nmp_hb_sem(struct nmp_info *nmp) { mirvol_up(&nmp->hb_client.sem); }

static void mirvol_drop_client_sock(struct socket **slot) {
  if (!*slot) return;
  mirvol_tcp_delete_keepalive_timer(*slot);
  sock_release(*slot);
  *slot = nullptr;
}

void mirvol_release_nmp_sock(struct nmp_info *nmp) { mirvol_drop_client_sock(&nmp->data_sock); }
void mirvol_release_nmp_ack2_sock(struct nmp_info *nmp) {
  mirvol_drop_client_sock(&nmp->ack2_client.sock);
}
void mirvol_release_nmp_hb_sock(struct nmp_info *nmp) {
  mirvol_drop_client_sock(&nmp->hb_client.sock);
}

void mirvol_nmp_recv_sock_tcp_delete_keepalive_timer(struct nmp_info *nmp) {
  if (!nmp->recv_sock) {
    mirvol_printk(MIRVOL_INFO "NMP%d recv_sock is NULL, can not delete keepalive timer.\n", 230,
                  (int)nmp->minor);
    return;
  }
  mirvol_tcp_delete_keepalive_timer(nmp->recv_sock);
}

void mirvol_nmp_recv_sock_release(struct nmp_info *nmp) {
  if (!nmp->recv_sock) return;
  sock_release(nmp->recv_sock);
  nmp->recv_sock = nullptr;
}

// --- watchdog ---

void send_timeout(unsigned long data) {
  send_sig(SIGXCPU, reinterpret_cast<struct task_struct *>(data), 1);
}

// Clears signal 24 of the current task; returns whether it was pending.
static bool mirvol_take_signal24(void) {
  struct task_struct *self = get_current();
  if (!sigismember_pending(self, SIGXCPU)) return false;
  clear_pending_signal(self, SIGXCPU);
  return true;
}

sigset_k mirvol_watchdog_start(struct timer_list *timer, u32 seconds) {
  // The watchdog signals the calling task, which must be one that sleeps in
  // the call: never a bio completion or a timer callback.
  might_sleep_check("mirvol_watchdog_start");
  sigset_k old = set_current_blocked(~sigmask_k(SIGXCPU));
  // A signal 24 left from elsewhere would end this call at once.
  mirvol_take_signal24();
  setup_timer(timer, send_timeout, reinterpret_cast<unsigned long>(get_current()));
  timer->expires = jiffies_now() + (unsigned long)seconds * HZ;
  add_timer(timer);
  return old;
}

int mirvol_watchdog_stop(struct timer_list *timer, sigset_k old_mask) {
  // Waits for a callback already running, so the test below sees its signal
  // and no signal comes after it.
  del_timer_sync(timer);
  bool fired = mirvol_take_signal24();
  set_current_blocked(old_mask);
  return fired ? -ETIME : 0;
}

// The watched calls of this unit are bounded by a deadline that the socket
// call keeps in its own poll, which ends it with -ETIME just as the timer's
// signal 24 would, without a timer and a wake-up of the timer thread per
// call. Around the call every signal but 24 stays blocked, so SIGTERM does
// not end it, and a signal 24 posted by anyone else still ends it with
// -ETIME.
static sigset_k mirvol_watch_begin(void) {
  might_sleep_check("mirvol_watch_begin");
  sigset_k old = set_current_blocked(~sigmask_k(SIGXCPU));
  // A signal 24 left from elsewhere would end this call at once.
  mirvol_take_signal24();
  return old;
}

static unsigned long mirvol_deadline_after(u32 seconds) {
  return jiffies_now() + (unsigned long)seconds * HZ;
}

// The call's result as the watchdog reports it: -ETIME when its time ran
// out or signal 24 came, whatever the call returned.
static int mirvol_watch_end(sigset_k old_mask, int r) {
  bool sig24 = mirvol_take_signal24();
  set_current_blocked(old_mask);
  return r == -ETIME || sig24 ? -ETIME : r;
}

// --- sending and receiving ---

int mirvol_send2v(struct socket *sock, const struct kvec *vec, size_t num, u32 seconds,
                  struct nmp_info *nmp, size_t *sent) {
  if (sent) *sent = 0;
  if (!sock) return -ENOTCONN;
  size_t length = 0;
  for (size_t i = 0; i < num; i++) length += vec[i].iov_len;
  if (length == 0) return 0;
  if (length > 0x7fffffff) return -EMSGSIZE;
  // The first call sends from the caller's vectors; only a call that stops
  // part-way needs a copy to step over what went out.
  struct kvec *rest = const_cast<struct kvec *>(vec);
  struct kvec *copy = nullptr;
  size_t first = 0, total = 0;
  int result = 0;
  while (total < length) {
    sock->sk->sk_allocation = GFP_ATOMIC;
    struct kmsghdr msg = {nullptr, 0, MSG_NOSIGNAL};
    size_t moved = 0;
    sigset_k old = mirvol_watch_begin();
    int r = kernel_sendmsg_deadline(sock, &msg, rest + first, num - first, length - total,
                                    mirvol_deadline_after(seconds), &moved);
    r = mirvol_watch_end(old, r);
    if (r == -ETIME) total += moved;
    if (r < 0) {
      result = r;
      break;
    }
    if (r == 0) {  // nothing moved although bytes remain: the connection is unusable
      result = -EPIPE;
      break;
    }
    total += (size_t)r;
    if (total >= length) break;
    if (!copy) {
      copy = static_cast<struct kvec *>(kmalloc(num * sizeof(*copy), GFP_ATOMIC));
      if (!copy) {
        result = -ENOMEM;
        break;
      }
      memcpy(copy, vec, num * sizeof(*copy));
      rest = copy;
    }
    // Step over what went out; a new deadline for the next call.
    size_t n = (size_t)r;
    while (n > 0 && first < num) {
      if (n < rest[first].iov_len) {
        rest[first].iov_base = static_cast<u8 *>(rest[first].iov_base) + n;
        rest[first].iov_len -= n;
        n = 0;
      } else {
        n -= rest[first].iov_len;
        first++;
      }
    }
  }
  kfree(copy);
  if (sent) *sent = total;
  if (result < 0) return result;
  if (nmp) mirvol_perf_cnt_tcp_send(nmp, total);
  return (int)total;
}

int mirvol_send2(struct socket *sock, struct timer_list *timer, void *buffer, u32 length,
                 u32 seconds, struct nmp_info *nmp) {
  (void)timer;  // the deadline is kept by the socket call itself
  struct kvec vec = {buffer, (size_t)length};
  return mirvol_send2v(sock, &vec, 1, seconds, nmp, nullptr);
}

int mirvol_recvmsg(struct socket *sock, void *buffer, u32 length, int flags) {
  u8 *p = static_cast<u8 *>(buffer);
  u32 got = 0;
  while (got < length) {
    struct kvec vec = {p + got, (size_t)(length - got)};
    struct kmsghdr msg = {nullptr, 0, MSG_NOSIGNAL};
    int r = kernel_recvmsg(sock, &msg, &vec, 1, vec.iov_len, flags);
    if (mirvol_take_signal24()) return -ETIME;
    if (r <= 0) return r;
    got += (u32)r;
  }
  return (int)length;
}

int mirvol_recvmsgv(struct socket *sock, struct kvec *vec, size_t num, int flags, size_t *got) {
  if (got) *got = 0;
  size_t length = 0;
  for (size_t i = 0; i < num; i++) length += vec[i].iov_len;
  if (length > 0x7fffffff) return -EMSGSIZE;
  size_t first = 0, total = 0;
  int result = (int)length;
  while (total < length) {
    struct kmsghdr msg = {nullptr, 0, MSG_NOSIGNAL};
    int r = kernel_recvmsg(sock, &msg, vec + first, num - first, length - total, flags);
    if (mirvol_take_signal24()) r = -ETIME;
    if (r <= 0) {
      result = r;
      break;
    }
    total += (size_t)r;
    // Step over what came in, in the caller's vectors: no allocation on
    // the receive path.
    size_t n = (size_t)r;
    while (n > 0 && first < num) {
      if (n < vec[first].iov_len) {
        vec[first].iov_base = static_cast<u8 *>(vec[first].iov_base) + n;
        vec[first].iov_len -= n;
        n = 0;
      } else {
        n -= vec[first].iov_len;
        first++;
      }
    }
  }
  if (got) *got = total;
  return result;
}

int mirvol_recvmsg_timeout(struct socket *sock, struct timer_list *timer, void *buffer,
                           u32 length, u32 seconds) {
  (void)timer;  // the deadline is kept by the socket calls themselves
  sigset_k old = mirvol_watch_begin();
  unsigned long deadline = mirvol_deadline_after(seconds);
  u8 *p = static_cast<u8 *>(buffer);
  u32 got = 0;
  int r = (int)length;
  while (got < length) {
    struct kvec vec = {p + got, (size_t)(length - got)};
    struct kmsghdr msg = {nullptr, 0, MSG_NOSIGNAL};
    r = kernel_recvmsg_deadline(sock, &msg, &vec, 1, vec.iov_len, 0, deadline, nullptr);
    if (r <= 0 || sigismember_pending(get_current(), SIGXCPU)) break;
    got += (u32)r;
    r = (int)length;
  }
  return mirvol_watch_end(old, r);
}

int mirvol_recvmsg_from_nmp_recv_sock(struct nmp_info *nmp, void *buffer, u32 length) {
  if (!nmp->recv_sock) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to receive data, because recv_sock is NULL.\n", 229,
                  (int)nmp->minor);
    return -1;
  }
  return mirvol_recvmsg(nmp->recv_sock, buffer, length, 0);
}

int mirvol_recvmsgv_from_nmp_recv_sock(struct nmp_info *nmp, struct kvec *vec, size_t num,
                                       size_t *got) {
  if (got) *got = 0;
  if (!nmp->recv_sock) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to receive data, because recv_sock is NULL.\n", 229,
                  (int)nmp->minor);
    return -1;
  }
  return mirvol_recvmsgv(nmp->recv_sock, vec, num, 0, got);
}

// --- networks ---

static const char *mirvol_nw_state_name(u32 state) {
  switch (state) {
    case NW_FREE:
      return "FREE ";
    case NW_USING:
      return "USING";
    case NW_ERROR:
      return "ERROR";
    default:
      return "";
  }
}

// The addresses of one of the device's networks, copied under
// network_list_lock: command 73 rewrites them in place while senders and
// listeners run.
static void mirvol_copy_network_addrs(struct nmp_info *nmp, struct network *nw, u8 *self,
                                      u8 *opponent) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  memcpy(self, nw->self_addr, MIRVOL_IPADDR_LEN);
  memcpy(opponent, nw->opponent_addr, MIRVOL_IPADDR_LEN);
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

// Called with network_list_lock held: command 73 rewrites the addresses in
// place.
void mirvol_disp_current_mdc(struct nmp_info *nmp, struct network *nw, int kind) {
  if (!nw) return;
  char suffix[32] = "";
  if (kind == 1)
    mirvol_sprintf(suffix, sizeof(suffix), " :%d(DATA)", (int)nmp->data_port);
  else if (kind == 2)
    mirvol_sprintf(suffix, sizeof(suffix), " :%d(HB)", (int)nmp->hb_port);
  else if (kind == 3)
    mirvol_sprintf(suffix, sizeof(suffix), " :%d(ACK2)", (int)nmp->ack2_port);
  const u8 *s = nw->self_addr, *o = nw->opponent_addr;
  const char *state = mirvol_nw_state_name(nw->state);
  if (nmp->ip_version == 4) {
    mirvol_printk(MIRVOL_INFO "NMP%d N/W is %s %u.%u.%u.%u - %u.%u.%u.%u%s\n", 243, (int)nmp->minor,
                  state, s[12], s[13], s[14], s[15], o[12], o[13], o[14], o[15], suffix);
    return;
  }
  unsigned g[2][8];
  for (int i = 0; i < 8; i++) {
    g[0][i] = ((unsigned)s[2 * i] << 8) | s[2 * i + 1];
    g[1][i] = ((unsigned)o[2 * i] << 8) | o[2 * i + 1];
  }
  mirvol_printk(MIRVOL_INFO "NMP%d N/W is %s %x:%x:%x:%x:%x:%x:%x:%x - %x:%x:%x:%x:%x:%x:%x:%x%s\n",
                243, (int)nmp->minor, state, g[0][0], g[0][1], g[0][2], g[0][3], g[0][4], g[0][5],
                g[0][6], g[0][7], g[1][0], g[1][1], g[1][2], g[1][3], g[1][4], g[1][5], g[1][6],
                g[1][7], suffix);
}

int mirvol_set_mdc_error(struct nmp_info *nmp) {
  unsigned long flags;
  bool usable = false;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  struct network *cur = nmp->current_network;
  if (cur && cur->state != NW_ERROR) {
    cur->state = NW_ERROR;
    mirvol_disp_current_mdc(nmp, cur, 1);
  }
  for (struct network *nw = nmp->network_list; nw; nw = nw->next)
    if (nw->state != NW_ERROR) usable = true;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  if (!usable) mirvol_close_com_port(nmp);
  wake_up(&nmp->nmp_variable->heartbeat_wq);
  return usable ? 0 : 1;
}

u32 mirvol_current_network_state(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  u32 state = nmp->current_network ? nmp->current_network->state : (u32)NW_FREE;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return state;
}

static void mirvol_set_current_network(struct nmp_info *nmp, struct network *nw) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  nmp->current_network = nw;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

// --- connecting ---

int mirvol_make_peer_addr(u32 ip_version, const u8 *addr, u16 port,
                          struct ksockaddr_storage *out) {
  memset(out, 0, sizeof(*out));
  if (ip_version == 4) {
    struct ksockaddr_in *sin = reinterpret_cast<struct ksockaddr_in *>(out);
    sin->sin_family = AF_INET;
    sin->sin_port = cpu_to_be16(port);
    memcpy(&sin->sin_addr, addr + 12, 4);
    return (int)sizeof(*sin);
  }
  struct ksockaddr_in6 *sin6 = reinterpret_cast<struct ksockaddr_in6 *>(out);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = cpu_to_be16(port);
  memcpy(sin6->sin6_addr.s6_addr, addr, 16);
  return (int)sizeof(*sin6);
}

int mirvol_bind_listener(struct nmp_info *nmp, struct socket *listener, u16 port) {
  struct ksockaddr_storage addr;
  static const u8 wildcard[MIRVOL_IPADDR_LEN] = {};
  int len = mirvol_make_peer_addr(nmp->ip_version, wildcard, port, &addr);
  if (nmp->ip_version == 4) {
    int on = 1;
    kernel_setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  return kernel_bind(listener, reinterpret_cast<struct ksockaddr *>(&addr), len);
}

static int mirvol_family(u32 ip_version) { return ip_version == 4 ? AF_INET : AF_INET6; }

static void mirvol_set_reuse(struct socket *sock) {
  int on = 1;
  kernel_setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

static void mirvol_set_keepalive(struct nmp_info *nmp, struct socket *sock) {
  mirvol_sock_tcp_parameter(sock, (int)mirvol_timeout(&nmp->keepalive_probe),
                            (int)mirvol_timeout(&nmp->keepalive_time),
                            (int)mirvol_timeout(&nmp->keepalive_interval));
}

// A blocking connect to the network's opponent under the watchdog.
static int mirvol_connect_watched(struct nmp_info *nmp, struct socket *sock, struct network *nw,
                                  u16 port, struct timer_list *timer) {
  (void)timer;  // the deadline is kept by the connect itself
  struct ksockaddr_storage addr;
  u8 self[MIRVOL_IPADDR_LEN], opponent[MIRVOL_IPADDR_LEN];
  mirvol_copy_network_addrs(nmp, nw, self, opponent);
  int len = mirvol_make_peer_addr(nmp->ip_version, opponent, port, &addr);
  sigset_k old = mirvol_watch_begin();
  int r = kernel_connect_deadline(sock, reinterpret_cast<struct ksockaddr *>(&addr), len,
                                  mirvol_deadline_after(mirvol_timeout(&nmp->connect_timeout)));
  return mirvol_watch_end(old, r);
}

struct socket *mirvol_sock_connect(struct nmp_info *nmp, int *err) {
  if (!nmp->network_list) {
    mirvol_printk(MIRVOL_WARN "NMP%d N/W is not initialized yet. (mirvol_sock_connect)\n", 142,
                  (int)nmp->minor);
    *err = -ENODATA;
    return nullptr;
  }
  for (;;) {
    struct network *nw = mirvol_get_using_network(nmp);
    if (!nw) {
      if (nmp->connect_state == 1)
        mirvol_printk(MIRVOL_WARN "NMP%d can not find a N/W to use. (DATA)\n", 241,
                      (int)nmp->minor);
      nmp->connect_state = 0;
      *err = -ENODATA;
      return nullptr;
    }
    nmp->connect_state = 1;

    struct socket *sock = nullptr;
    int r = mirvol_sock_create(mirvol_family(nmp->ip_version), SOCK_STREAM, IPPROTO_TCP, &sock);
    if (r < 0 || !sock || !sock->sk) {
      if (sock)
        mirvol_printk(MIRVOL_WARN "NMP%d failed to create data send socket. (sock->sk is NULL)\n",
                      220, (int)nmp->minor);
      else
        mirvol_printk(MIRVOL_WARN "NMP%d failed to create data send socket. (err=%d%s)\n", 220,
                      (int)nmp->minor, r, mirvol_err(r));
      if (sock) sock_release(sock);
      *err = -ENOMEM;
      return nullptr;
    }
    mirvol_set_reuse(sock);
    mirvol_set_current_network(nmp, nw);

    r = mirvol_connect_watched(nmp, sock, nw, nmp->data_port, &nmp->nmp_variable->connect_timer);
    if (r < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to connect to remote server. (err=%d%s)\n", 210,
                    (int)nmp->minor, r, mirvol_err(r));
    } else {
      mirvol_set_keepalive(nmp, sock);
      u8 msg[MIRVOL_SHORT_MSG_SIZE];
      mirvol_short_msg_encode(CMD_NEGOTIATE, msg);
      r = mirvol_send2(sock, &nmp->nmp_variable->send_timer, msg, sizeof(msg),
                       mirvol_timeout(&nmp->send_timeout), nmp);
      if (r > 0) {
        unsigned long flags;
        spin_lock_irqsave(nmp->network_list_lock, flags);
        mirvol_disp_current_mdc(nmp, nw, 1);
        spin_unlock_irqrestore(nmp->network_list_lock, flags);
        *err = 0;
        return sock;
      }
      if (r == 0) r = -EPIPE;
      mirvol_printk(MIRVOL_WARN "NMP%d failed to send connection data. (err=%d%s)\n", 212,
                    (int)nmp->minor, r, mirvol_err(r));
      mirvol_tcp_delete_keepalive_timer(sock);
    }
    sock_release(sock);
    if (mirvol_set_mdc_error(nmp)) {
      *err = r;
      return nullptr;
    }
  }
}

// A stop of the device or of the module is waiting: a message must not be
// re-sent for ever while the peer keeps taking connections and dropping
// them.
static bool mirvol_send_should_give_up(void) {
  return sigismember_pending(get_current(), SIGTERM) ||
         smp_load_acquire(&g_unloading);
}

// Before a message: a connection, and a fresh one when the current network
// is in ERROR and another can be tried. 0, or the connect error.
static int mirvol_send_prepare(struct socket **slot, struct nmp_info *nmp) {
  int err = 0;
  if (!*slot) {
    *slot = mirvol_sock_connect(nmp, &err);
    return *slot ? 0 : err;
  }
  if (mirvol_current_network_state(nmp) == NW_ERROR && nmp->mdc_cnt >= 2) {
    mirvol_drop_client_sock(slot);
    mirvol_printk(MIRVOL_WARN "NMP%d status of current using N/W is ERROR. (mirvol_send_head_part)\n",
                  240, (int)nmp->minor);
    *slot = mirvol_sock_connect(nmp, &err);
    return *slot ? 0 : err;
  }
  return 0;
}

// Sends the vectors (a message that begins with a head) on the connection
// in *slot. A send that fails before `resend_below` bytes went out drops the
// connection and sends the message again whole on a new one (recovery
// sub-headers excepted); one that fails later returns its error with the
// connection still there and *sent telling how far it came.
static int mirvol_send_vectors(struct socket **slot, struct nmp_info *nmp, const struct kvec *vec,
                               size_t num, size_t resend_below, size_t *sent) {
  u32 cmd = 0;
  if (num > 0 && vec[0].iov_len >= MIRVOL_SHORT_MSG_SIZE) {
    u32 magic;
    mirvol_short_msg_decode(static_cast<const u8 *>(vec[0].iov_base), &magic, &cmd);
  }
  int err = 0;
  for (;;) {
    int r = mirvol_send2v(*slot, vec, num, mirvol_timeout(&nmp->send_timeout), nmp, sent);
    if (r > 0) return r;
    if (r == 0) r = -EPIPE;
    if (*sent >= resend_below) return r;
    mirvol_drop_client_sock(slot);
    if (cmd == CMD_RECOVERY_SUB_HEADER || cmd == CMD_COMPRESSED_RECOVERY_SUB_HEADER) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to send head part. (cmd=%lu%s) (err=%d%s)\n", 212,
                    (int)nmp->minor, (unsigned long)cmd, mirvol_cmd(cmd), r, mirvol_err(r));
      return r;
    }
    if (mirvol_send_should_give_up()) return r;
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to send head part (cmd=%lu%s) (err=%d%s), retrying again.\n",
                  211, (int)nmp->minor, (unsigned long)cmd, mirvol_cmd(cmd), r, mirvol_err(r));
    *slot = mirvol_sock_connect(nmp, &err);
    if (!*slot) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to connect to remote server. (err=%d%s)\n", 210,
                    (int)nmp->minor, err, mirvol_err(err));
      *sent = 0;
      return err;
    }
  }
}

int mirvol_send(struct socket **slot, struct nmp_info *nmp, void *buffer, u32 length) {
  int err = mirvol_send_prepare(slot, nmp);
  if (err) return err;
  struct kvec vec = {buffer, (size_t)length};
  size_t sent = 0;
  return mirvol_send_vectors(slot, nmp, &vec, 1, ~(size_t)0, &sent);
}

int mirvol_send_head_part(struct nmp_info *nmp, struct head_part head) {
  u8 wire[MIRVOL_HEAD_PART_SIZE];
  mirvol_head_encode(&head, wire);
  return mirvol_send(&nmp->data_sock, nmp, wire, sizeof(wire));
}

// The payload of a message failed after its head went out: the connection
// ends here, or the peer would read the next message as the rest of this
// one.
static void mirvol_payload_failed(struct nmp_info *nmp) {
  mirvol_release_nmp_sock(nmp);
  mirvol_set_mdc_error(nmp);
}

int mirvol_send_data_part(struct nmp_info *nmp, u32 length, void *buffer) {
  if (mirvol_current_network_state(nmp) == NW_ERROR) {
    mirvol_printk(MIRVOL_WARN "NMP%d status of current using N/W is ERROR. (mirvol_send_data_part)\n",
                  240, (int)nmp->minor);
    // The head of this message is already out: the connection must end
    // here, or the peer would read the next message as this one's data.
    mirvol_release_nmp_sock(nmp);
    return -1;
  }
  if (!nmp->data_sock) return -1;
  int r = mirvol_send2(nmp->data_sock, &nmp->nmp_variable->send_timer, buffer, length,
                       mirvol_timeout(&nmp->send_timeout), nmp);
  if (r <= 0) {
    mirvol_payload_failed(nmp);
    return r;
  }
  mirvol_qos_count_nmp(nmp, r);
  return r;
}

int mirvol_send_message(struct nmp_info *nmp, struct head_part head, const struct kvec *payload,
                        size_t num, size_t *sent) {
  *sent = 0;
  size_t payload_len = 0;
  for (size_t i = 0; i < num; i++) payload_len += payload[i].iov_len;
  u8 wire[MIRVOL_HEAD_PART_SIZE];
  mirvol_head_encode(&head, wire);
  int err = mirvol_send_prepare(&nmp->data_sock, nmp);
  if (err) return err;

  if (payload_len > 0 && mirvol_current_network_state(nmp) == NW_ERROR) {
    // As a head followed by its payload piece: the head goes out on the
    // connection there is, the payload is refused and ends the connection.
    int r = mirvol_send(&nmp->data_sock, nmp, wire, sizeof(wire));
    if (r <= 0) return r;
    *sent = sizeof(wire);
    return mirvol_send_data_part(nmp, (u32)payload[0].iov_len, payload[0].iov_base);
  }

  // Head and payload in one gathered send.
  struct kvec stack_vec[1 + 3 + BIO_MAX_PAGES];
  struct kvec *vec = stack_vec;
  if (num + 1 > sizeof(stack_vec) / sizeof(stack_vec[0])) {
    vec = static_cast<struct kvec *>(kmalloc((num + 1) * sizeof(*vec), GFP_NOIO));
    if (!vec) return -ENOMEM;
  }
  vec[0] = {wire, sizeof(wire)};
  if (num) memcpy(vec + 1, payload, num * sizeof(*vec));
  int r = mirvol_send_vectors(&nmp->data_sock, nmp, vec, num + 1, sizeof(wire), sent);
  if (vec != stack_vec) kfree(vec);
  if (r <= 0) {
    if (*sent >= sizeof(wire)) mirvol_payload_failed(nmp);
    return r;
  }
  mirvol_qos_count_nmp(nmp, r - (int)sizeof(wire));
  return r;
}

struct socket *mirvol_creat_client_socket(struct socket *old_sock, struct network *network,
                                          u16 port, struct timer_list *timer,
                                          struct nmp_info *nmp, int *err) {
  struct socket *sock = nullptr;
  int r = mirvol_sock_create(mirvol_family(nmp->ip_version), SOCK_STREAM, IPPROTO_TCP, &sock);
  if (r < 0 || !sock) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to create socket. (err=%d%s)\n", 220, (int)nmp->minor,
                  r, mirvol_err(r));
    *err = -ENOMEM;
    return old_sock;
  }
  mirvol_set_reuse(sock);
  r = mirvol_connect_watched(nmp, sock, network, port, timer);
  if (r < 0) {
    sock_release(sock);
    *err = r;
    return nullptr;
  }
  mirvol_set_keepalive(nmp, sock);
  *err = 0;
  return sock;
}

int mirvol_accept_socket(struct socket *listener, struct socket **sock, u32 ip_version) {
  (void)ip_version;  // the accepted socket takes the listener's family and type
  *sock = nullptr;
  int r = kernel_accept(listener, sock, 0);
  if (r < 0) *sock = nullptr;
  return r < 0 ? r : 0;
}

// --- block I/O kept with this unit ---

void free_recv_bio(struct bio *bio) {
  if (!bio) return;
  for (unsigned int i = 0; i < bio->bi_vcnt; i++)
    if (bio->bi_io_vec[i].bv_page) __free_page(bio->bi_io_vec[i].bv_page);
  bio_put(bio);
}

void mirvol_bio_endio(struct bio *bio, unsigned int bytes, int error) {
  (void)bytes;
  bio->bi_status = errno_to_blk_status(error);
  bio_endio(bio);
}
