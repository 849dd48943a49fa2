// The heartbeat of a device: the ICMP echo check of each mirror network,
// and the TCP heartbeat over the HB connection, whose client
// ("mirvol_nmp%02d_03") and server ("mirvol_nmp%02d_02") threads report
// their successes to the connection flag.
//
// The ICMP check runs in the thread that calls it (the heartbeat client, or
// a port command); each try has a raw socket of its own, so concurrent
// checks never take each other's replies for their own identifier. The
// one-shot latches of a network are read and written atomically: two checks
// of one device may run at once.

#include "include/mirvol_hb.h"

#include "include/mirvol_ext.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_port.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

#define ICMP_ECHOREPLY_T 0
#define ICMP_DEST_UNREACH_T 3
#define ICMP_ECHO_T 8
#define ICMPV6_DEST_UNREACH_T 1
#define ICMPV6_ECHO_REQUEST_T 128
#define ICMPV6_ECHO_REPLY_T 129

static u32 latch_get(const u32 *latch) { return READ_ONCE(*latch); }
static void latch_set(u32 *latch, u32 v) { WRITE_ONCE(*latch, v); }

// --- the echo request ---

u16 cal_chksum(const void *data, int len) {
  const u8 *p = static_cast<const u8 *>(data);
  u32 sum = 0;
  while (len > 1) {
    u16 w;
    memcpy(&w, p, 2);
    sum += w;
    p += 2;
    len -= 2;
  }
  if (len == 1) sum += *p;
  sum = (sum >> 16) + (sum & 0xffff);
  sum += sum >> 16;
  return (u16)~sum;
}

void mirvol_build_echo(u8 *packet, u32 ip_version, u16 id, u32 state) {
  memset(packet, 0, MIRVOL_ECHO_SIZE);
  packet[0] = ip_version == 4 ? ICMP_ECHO_T : ICMPV6_ECHO_REQUEST_T;
  packet[1] = 0;
  memcpy(packet + 4, &id, 2);
  u16 seq = cpu_to_be16((u16)state);
  memcpy(packet + 6, &seq, 2);
  u16 sum = cal_chksum(packet, MIRVOL_ECHO_SIZE);
  memcpy(packet + 2, &sum, 2);
}

static u16 mirvol_echo_id(void) { return (u16)task_pid_nr(get_current()); }

// One attempt of send_packet; the first binds the socket, a retry finds it
// bound already and goes on.
static int mirvol_send_echo(struct socket *sock, u32 ip_version, const u8 *self,
                            const u8 *opponent, u32 state, bool retry) {
  if (ip_version != 4 && ip_version != 6) return 0;
  struct ksockaddr_storage local, peer;
  int llen = mirvol_make_peer_addr(ip_version, self, 0, &local);
  int plen = mirvol_make_peer_addr(ip_version, opponent, 0, &peer);
  int r = kernel_bind(sock, reinterpret_cast<struct ksockaddr *>(&local), llen);
  if (r < 0 && !(retry && r == -EINVAL)) return r;
  r = kernel_connect(sock, reinterpret_cast<struct ksockaddr *>(&peer), plen, 0);
  if (r < 0) return r;
  u8 packet[MIRVOL_ECHO_SIZE];
  mirvol_build_echo(packet, ip_version, mirvol_echo_id(), state);
  return mirvol_sys_sendto(packet, sizeof(packet), 0, reinterpret_cast<struct ksockaddr *>(&peer),
                           plen, sock);
}

int send_packet(struct socket *sock, struct network *network, u32 ip_version) {
  return mirvol_send_echo(sock, ip_version, network->self_addr, network->opponent_addr,
                          network->state, false);
}

// --- classification ---

static const char *mirvol_unreach_name(u32 ip_version, int code) {
  if (ip_version == 4) {
    switch (code) {
      case 0:
        return "Network Unreachable";
      case 1:
        return "Host Unreachable";
      case 2:
        return "Protocol Unreachable";
      case 4:
        return "Fragmentation Needed/DF set";
      default:
        return nullptr;
    }
  }
  switch (code) {
    case 3:
      return "Address Unreachable";
    case 4:
      return "Port Unreachable";
    default:
      return nullptr;
  }
}

// The rules shared by both families, on the bare ICMP message.
static int mirvol_classify(const u8 *icmp, int icmp_len, bool from_opponent, u32 ip_version,
                           struct network *network) {
  if (icmp_len < 8) {
    mirvol_printk(MIRVOL_WARN "Received ICMP. Length of received ICMP is less than 8.\n", 250);
    return MIRVOL_ECHO_NONE;
  }
  int type = icmp[0], code = icmp[1];
  u16 id;
  memcpy(&id, icmp + 4, 2);
  bool echo = ip_version == 4 ? (type == ICMP_ECHOREPLY_T || type == ICMP_ECHO_T)
                              : (type == ICMPV6_ECHO_REQUEST_T || type == ICMPV6_ECHO_REPLY_T);
  int unreach = ip_version == 4 ? ICMP_DEST_UNREACH_T : ICMPV6_DEST_UNREACH_T;
  if ((s64)id != (s64)task_pid_nr(get_current())) {
    latch_set(&network->report_latch, 1);
    return echo && from_opponent ? MIRVOL_ECHO_OTHER : MIRVOL_ECHO_NONE;
  }
  if (echo) {
    latch_set(&network->report_latch, 1);
    return from_opponent ? MIRVOL_ECHO_OWN : MIRVOL_ECHO_NONE;
  }
  if (latch_get(&network->report_latch) == 1) {
    if (type == unreach) {
      const char *name = mirvol_unreach_name(ip_version, code);
      if (name)
        mirvol_printk(MIRVOL_INFO
                      "Received ICMP. Type=(%d: Destination Unreachable) Code=(%d: %s)\n",
                      251, type, code, name);
      else
        mirvol_printk(MIRVOL_INFO "Received ICMP. Type=(%d: Destination Unreachable) Code=(%d)\n",
                      251, type, code);
    } else {
      mirvol_printk(MIRVOL_INFO "Received ICMP. Type=(%d) Code=(%d). Ignored.\n", 252, type, code);
    }
  }
  latch_set(&network->report_latch, 0);
  return MIRVOL_ECHO_NONE;
}

int mirvol_unpack(const u8 *packet, int len, const u8 *src, const u8 *expect,
                  struct network *network) {
  // The header length comes from the packet: a packet too short for the
  // header it announces, or announcing less than the minimum header, has
  // no ICMP message to read.
  int ihl = len >= 1 ? (int)(packet[0] & 0x0f) * 4 : 0;
  if (ihl < 20 || len - ihl < 8) {
    mirvol_printk(MIRVOL_WARN "Received ICMP. Length of received ICMP is less than 8.\n", 250);
    return MIRVOL_ECHO_NONE;
  }
  bool from_opponent = memcmp(src + 12, expect + 12, 4) == 0;
  return mirvol_classify(packet + ihl, len - ihl, from_opponent, 4, network);
}

int mirvol_unpack_ipv6(const u8 *packet, int len, const u8 *src, const u8 *expect,
                       struct network *network) {
  bool from_opponent = memcmp(src, expect, MIRVOL_IPADDR_LEN) == 0;
  return mirvol_classify(packet, len, from_opponent, 6, network);
}

// --- receiving replies ---

static void mirvol_sockaddr_to_net(const struct ksockaddr_storage *ss, u8 *out) {
  memset(out, 0, MIRVOL_IPADDR_LEN);
  if (ss->ss_family == AF_INET) {
    const struct ksockaddr_in *sin = reinterpret_cast<const struct ksockaddr_in *>(ss);
    memcpy(out + 12, &sin->sin_addr, 4);
  } else if (ss->ss_family == AF_INET6) {
    const struct ksockaddr_in6 *sin6 = reinterpret_cast<const struct ksockaddr_in6 *>(ss);
    memcpy(out, sin6->sin6_addr.s6_addr, MIRVOL_IPADDR_LEN);
  }
}

static int mirvol_recv_echo(struct socket *sock, struct network *network, u32 ip_version,
                            const u8 *opponent, u32 seconds) {
  struct timer_list timer;
  init_timer(&timer);
  sigset_k old = mirvol_watchdog_start(&timer, seconds);
  int result = 0;
  u8 buf[MIRVOL_ECHO_RECV_MAX];
  for (;;) {
    struct ksockaddr_storage from;
    memset(&from, 0, sizeof(from));
    struct kmsghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    struct kvec vec = {buf, sizeof(buf)};
    int r = kernel_recvmsg(sock, &msg, &vec, 1, sizeof(buf), 0);
    if (r <= 0) {
      latch_set(&network->recv_latch, 0);
      break;
    }
    u8 src[MIRVOL_IPADDR_LEN];
    mirvol_sockaddr_to_net(&from, src);
    int c = ip_version == 4 ? mirvol_unpack(buf, r, src, opponent, network)
                            : mirvol_unpack_ipv6(buf, r, src, opponent, network);
    if (c > 0) {
      latch_set(&network->recv_latch, 1);
      result = c;
      break;
    }
    // Signal 24 ends this pause and the receive after it.
    schedule_timeout_interruptible(10);
  }
  mirvol_watchdog_stop(&timer, old);
  return result;
}

int recv_packet(struct socket *sock, struct network *network, u32 ip_version, u32 seconds) {
  return mirvol_recv_echo(sock, network, ip_version, network->opponent_addr, seconds);
}

// --- the ICMP check ---

static void mirvol_mark_network(struct nmp_info *nmp, struct network *nw, u32 state) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  nw->state = state;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

// A usable echo: ERROR becomes FREE, and the response time is kept.
static void mirvol_echo_answered(struct nmp_info *nmp, struct network *nw, u64 send_time) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  if (nw->state == NW_ERROR) nw->state = NW_FREE;
  if ((s64)(nw->last_echo_time - send_time) >= 0) {
    s32 ms = (s32)((nw->last_echo_time - send_time) * 1000 / HZ);
    nw->last_response = ms;
    if (ms > nw->max_response) nw->max_response = ms;
    if (ms > nw->peak_response) nw->peak_response = ms;
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

// One network's tries; true when one of them was answered.
static bool mirvol_check_one(struct nmp_info *nmp, struct network *nw, bool *stop) {
  u32 timeout = mirvol_timeout(&nmp->hb_recv_timeout);
  u32 tries = mirvol_timeout(&nmp->hb_recv_retry);
  u8 self[MIRVOL_IPADDR_LEN], opponent[MIRVOL_IPADDR_LEN];
  u32 state;
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  memcpy(self, nw->self_addr, MIRVOL_IPADDR_LEN);
  memcpy(opponent, nw->opponent_addr, MIRVOL_IPADDR_LEN);
  state = nw->state;
  u64 send_time = get_jiffies_64();
  nw->send_time = send_time;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);

  int family = nmp->ip_version == 4 ? AF_INET : AF_INET6;
  int proto = nmp->ip_version == 4 ? IPPROTO_ICMP : IPPROTO_ICMPV6;
  for (u32 i = 0; i < tries; i++) {
    if (sigismember_pending(get_current(), SIGTERM)) {
      *stop = true;
      return false;
    }
    struct socket *sock = nullptr;
    int r = mirvol_sock_create(family, SOCK_RAW, proto, &sock);
    if (r < 0 || !sock) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to create ICMP socket.\n", 220, (int)nmp->minor);
      return false;
    }
    r = mirvol_send_echo(sock, nmp->ip_version, self, opponent, state, false);
    if (r <= 0) r = mirvol_send_echo(sock, nmp->ip_version, self, opponent, state, true);
    if (r <= 0) {
      if (latch_get(&nw->send_latch) == 1)
        mirvol_printk(MIRVOL_WARN "NMP%d failed to send ICMP (err=%d%s).\n", 212, (int)nmp->minor,
                      r, mirvol_err(r));
      latch_set(&nw->send_latch, 0);
      sock_release(sock);
      return false;
    }
    mirvol_perf_cnt_echo_send(nmp, (u32)r);
    latch_set(&nw->send_latch, 1);
    int got = mirvol_recv_echo(sock, nw, nmp->ip_version, opponent, timeout);
    sock_release(sock);
    u32 result = mirvol_share_echo_reply(nmp, nw, i, (u32)got);
    if (result == MIRVOL_ECHO_OWN || result == MIRVOL_ECHO_OTHER) {
      mirvol_echo_answered(nmp, nw, send_time);
      return true;
    }
  }
  return false;
}

int mirvol_exec_heartbeat(struct nmp_info *nmp) {
  if (!nmp->network_list_lock) return 0;
  int result = 0;
  // The list keeps its length and links from device creation on; command
  // 73 rewrites its entries in place under the lock.
  for (struct network *nw = nmp->network_list; nw; nw = nw->next) {
    if (mirvol_timeout(&nmp->hb_recv_timeout) == 0) {
      mirvol_mark_network(nmp, nw, NW_ERROR);
      continue;
    }
    bool stop = false;
    if (mirvol_check_one(nmp, nw, &stop)) {
      result = 1;
      continue;
    }
    if (stop) return result;
    mirvol_mark_network(nmp, nw, NW_ERROR);
  }
  return result;
}

// --- the heartbeat client ---

// The client's one-shot log latches in hb_client.state_flags, and the mark
// that the HB network's failure was handled in hb_client.value.
#define HB_SOME_NETWORK 0  // event 242
#define HB_SOCKET_MADE 1   // event 220
#define HB_REQUEST_SENT 2  // event 212

u32 mirvol_hb_response_timeout(struct nmp_info *nmp) {
  u32 send = mirvol_timeout(&nmp->send_timeout);
  u32 keep = mirvol_timeout(&nmp->keepalive_interval) * mirvol_timeout(&nmp->keepalive_probe) +
             mirvol_timeout(&nmp->keepalive_time) + mirvol_timeout(&nmp->hb_interval);
  return send > keep ? send : keep;
}

static void mirvol_hb_pause(struct nmp_info *nmp, u32 seconds) {
  mirvol_interruptible_sleep_on_timeout(&nmp->nmp_variable->heartbeat_wq, (long)seconds * HZ);
}

static u32 mirvol_net_state(struct nmp_info *nmp, struct network *nw) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  u32 s = nw->state;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return s;
}

static void mirvol_hb_log_network(struct nmp_info *nmp, struct network *nw, int kind) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  mirvol_disp_current_mdc(nmp, nw, kind);
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

static void mirvol_release_data_and_ack2(struct nmp_info *nmp) {
  mirvol_down_nmp_send_sem(nmp);
  mirvol_release_nmp_sock(nmp);
  mirvol_up_nmp_send_sem(nmp);
  mirvol_down_nmp_ack2_sem(nmp);
  mirvol_release_nmp_ack2_sock(nmp);
  mirvol_up_nmp_ack2_sem(nmp);
}

// The peer cannot be reached: the connection flag closes and the waits for
// the peer's answers are given up.
static void mirvol_hb_lost(struct nmp_info *nmp) {
  mirvol_close_com_port(nmp);
  mirvol_do_all_request_ack1_timeout(nmp);
}

// What the cycle does next.
enum hb_next { HB_NEXT_INTERVAL, HB_NEXT_NOW, HB_NEXT_RETRY };

// Steps 5b to 5e of a cycle in which some network answered.
static enum hb_next mirvol_hb_exchange(struct nmp_info *nmp) {
  struct client_block *cb = &nmp->hb_client;
  int minor = (int)nmp->minor;
  mirvol_down_nmp_hb_sem(nmp);
  if (!cb->sock) {
    struct network *nw = mirvol_get_using_network(nmp);
    if (!nw) {
      mirvol_up_nmp_hb_sem(nmp);
      mirvol_printk(MIRVOL_WARN "NMP%d can not find a N/W to use. (HB)\n", 241, minor);
      mirvol_hb_lost(nmp);
      return HB_NEXT_RETRY;
    }
    int err = 0;
    struct socket *sock = mirvol_creat_client_socket(nullptr, nw, nmp->hb_port, &cb->timer1, nmp, &err);
    if (!sock) {
      bool logged = false;
      if (cb->state_flags[HB_SOCKET_MADE] == 1) {
        mirvol_printk(MIRVOL_WARN "NMP%d failed to create HB client socket. (err=%d%s)\n", 220,
                      minor, err, mirvol_err(err));
        logged = true;
      }
      cb->state_flags[HB_SOCKET_MADE] = 0;
      unsigned long flags;
      spin_lock_irqsave(nmp->network_list_lock, flags);
      if (nw->state == NW_USING) nw->state = NW_FREE;
      spin_unlock_irqrestore(nmp->network_list_lock, flags);
      mirvol_up_nmp_hb_sem(nmp);
      mirvol_hb_lost(nmp);
      if (logged) mirvol_release_data_and_ack2(nmp);
      return HB_NEXT_RETRY;
    }
    cb->state_flags[HB_SOCKET_MADE] = 1;
    cb->sock = sock;
    cb->network = nw;
    mirvol_hb_log_network(nmp, nw, 2);
  }

  u8 msg[MIRVOL_SHORT_MSG_SIZE];
  mirvol_short_msg_encode(CMD_HB_REQUEST, msg);
  int r = mirvol_send2(cb->sock, &cb->timer1, msg, sizeof(msg), mirvol_timeout(&nmp->send_timeout),
                       nmp);
  if (r <= 0) {
    if (r == 0) r = -EPIPE;
    if (cb->state_flags[HB_REQUEST_SENT] == 1)
      mirvol_printk(MIRVOL_WARN "NMP%d failed to send HB request. (err=%d%s)\n", 212, minor, r,
                    mirvol_err(r));
    cb->state_flags[HB_REQUEST_SENT] = 0;
    mirvol_release_nmp_hb_sock(nmp);
    mirvol_up_nmp_hb_sem(nmp);
    return HB_NEXT_NOW;
  }
  cb->state_flags[HB_REQUEST_SENT] = 1;

  u8 ans[MIRVOL_SHORT_MSG_SIZE];
  r = mirvol_recvmsg_timeout(cb->sock, &cb->timer2, ans, sizeof(ans),
                             mirvol_hb_response_timeout(nmp));
  if (r <= 0) {
    if (r == 0) r = -ECONNRESET;
    mirvol_printk(MIRVOL_WARN "NMP%d failed to receive HB response. (err=%d%s)\n", 224, minor, r,
                  mirvol_err(r));
    mirvol_release_nmp_hb_sock(nmp);
    mirvol_up_nmp_hb_sem(nmp);
    return HB_NEXT_NOW;
  }
  u32 magic, cmd;
  mirvol_short_msg_decode(ans, &magic, &cmd);
  if (magic == MIRVOL_MAGIC && cmd == CMD_HB_RESPONSE) {
    mirvol_up_nmp_hb_sem(nmp);
    mirvol_open_com_port(nmp, MIRVOL_HB_CLIENT);
    return HB_NEXT_INTERVAL;
  }
  mirvol_printk(MIRVOL_WARN
                "NMP%d received wrong head part. (magic=%u, cmd=%u%s) (mirvol_hb_client_thread)\n",
                225, minor, magic, cmd, mirvol_cmd(cmd));
  mirvol_release_nmp_hb_sock(nmp);
  mirvol_up_nmp_hb_sem(nmp);
  return HB_NEXT_RETRY;
}

int mirvol_hb_client_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  struct client_block *cb = &nmp->hb_client;
  int minor = (int)nmp->minor;
  allow_signal(SIGTERM);
  bool first = true;
  // The cycle before this one ended in a failed HB send or receive.
  bool failed_before = false;
  for (;;) {
    if (signal_pending(get_current())) break;
    if (READ_ONCE(nmp->active) == 0) {
      mirvol_hb_pause(nmp, mirvol_timeout(&nmp->hb_interval));
      continue;
    }
    int usable = mirvol_check_network(nmp);

    mirvol_down_nmp_hb_sem(nmp);
    if (cb->network) {
      if (mirvol_net_state(nmp, cb->network) != NW_ERROR) {
        cb->value = 0;
      } else if (cb->value == 0) {
        mirvol_hb_log_network(nmp, cb->network, 0);
        mirvol_release_nmp_hb_sock(nmp);
        cb->value = 1;
      }
    }
    mirvol_up_nmp_hb_sem(nmp);

    enum hb_next next = HB_NEXT_RETRY;
    if (usable) {
      cb->state_flags[HB_SOME_NETWORK] = 1;
      if (first) {
        // The peer's listener may still be coming up: the first exchange
        // waits one interval.
        first = false;
        mirvol_hb_pause(nmp, mirvol_timeout(&nmp->hb_interval));
        continue;
      }
      next = mirvol_hb_exchange(nmp);
    } else {
      bool logged = false;
      if (cb->state_flags[HB_SOME_NETWORK] == 1) {
        mirvol_printk(MIRVOL_WARN "NMP%d all of the networks are ERROR.\n", 242, minor);
        logged = true;
      }
      cb->state_flags[HB_SOME_NETWORK] = 0;
      mirvol_close_com_port(nmp);
      if (sigismember_pending(get_current(), SIGTERM)) break;
      mirvol_do_all_request_ack1_timeout(nmp);
      if (logged) {
        mirvol_down_nmp_hb_sem(nmp);
        mirvol_release_nmp_hb_sock(nmp);
        mirvol_up_nmp_hb_sem(nmp);
        mirvol_release_data_and_ack2(nmp);
      }
    }
    // A failed send or receive starts the next cycle at once, so that a
    // lost connection is made again without delay. A peer that takes the
    // connection and drops it at once (its device stopped, or this server
    // not its opponent) would make that a busy loop: a second failure in a
    // row pauses as a missing network does.
    if (next == HB_NEXT_NOW) {
      if (!failed_before) {
        failed_before = true;
        continue;
      }
      next = HB_NEXT_RETRY;
    }
    failed_before = false;
    if (next == HB_NEXT_INTERVAL) {
      mirvol_hb_pause(nmp, mirvol_timeout(&nmp->hb_interval));
      continue;
    }
    // With hb_recv_timeout 0 no network is ever checked: the cycle would
    // close the flag and write the net-down time in a busy loop, so it
    // waits one interval instead.
    u32 pause = mirvol_timeout(&nmp->hb_recv_timeout);
    mirvol_hb_pause(nmp, pause ? pause : mirvol_timeout(&nmp->hb_interval));
  }
  mirvol_down_nmp_hb_sem(nmp);
  mirvol_release_nmp_hb_sock(nmp);
  mirvol_up_nmp_hb_sem(nmp);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_hb_client_thread)\n", 132, minor);
  smp_store_release(&nmp->thread[NMP_THREAD_HB_CLIENT].running, 0);
  return 0;
}

// --- the heartbeat server ---

static void mirvol_hb_server_down(struct nmp_info *nmp) {
  unsigned long flags;
  mirvol_spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, &flags);
  nmp->hb_server_up = 0;
  mirvol_spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, &flags);
}

static void mirvol_hb_drop(struct socket *sock) {
  mirvol_tcp_delete_keepalive_timer(sock);
  sock_release(sock);
}

int mirvol_recv_hb_main(struct socket *sock, struct nmp_info *nmp) {
  int minor = (int)nmp->minor;
  int r;
  for (;;) {
    u8 msg[MIRVOL_SHORT_MSG_SIZE];
    r = mirvol_recvmsg(sock, msg, sizeof(msg), 0);
    if (r <= 0) {
      mirvol_hb_drop(sock);
      if (r == -ERESTARTSYS)
        mirvol_printk(MIRVOL_INFO "NMP%d received signal.       (mirvol_recv_hb_main)\n", 134,
                      minor);
      else if (r == 0)
        mirvol_printk(MIRVOL_INFO "NMP%d disconnected HB N/W.   (mirvol_recv_hb_main)\n", 232,
                      minor);
      else
        mirvol_printk(MIRVOL_WARN "NMP%d failed to receive HB request. (err=%d%s)\n", 224, minor,
                      r, mirvol_err(r));
      break;
    }
    // Only the command is examined on this connection, not the magic.
    u32 magic, cmd;
    mirvol_short_msg_decode(msg, &magic, &cmd);
    if (cmd != CMD_HB_REQUEST) {
      mirvol_printk(MIRVOL_WARN "NMP%d received wrong command (cmd=%#lx) instead of HB.\n", 226,
                    minor, (unsigned long)cmd);
      mirvol_hb_drop(sock);
      break;
    }
    u8 ans[MIRVOL_SHORT_MSG_SIZE];
    mirvol_short_msg_encode(CMD_HB_RESPONSE, ans);
    struct timer_list timer;
    init_timer(&timer);
    r = mirvol_send2(sock, &timer, ans, sizeof(ans), mirvol_timeout(&nmp->send_timeout), nmp);
    if (r <= 0) {
      if (r == 0) r = -EPIPE;
      mirvol_printk(MIRVOL_WARN "NMP%d failed to send HB response. (err=%d%s)\n", 212, minor, r,
                    mirvol_err(r));
      mirvol_hb_drop(sock);
      break;
    }
    mirvol_open_com_port(nmp, MIRVOL_HB_SERVER);
  }
  mirvol_hb_server_down(nmp);
  mirvol_printk(MIRVOL_INFO "NMP%d exit...OK              (mirvol_recv_hb_main)\n", 135, minor);
  return r;
}

int mirvol_hb_svr_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  int minor = (int)nmp->minor;
  allow_signal(SIGTERM);
  int result = 0;
  struct socket *listener = nullptr;
  int r = mirvol_open_listener(nmp, nmp->hb_port, 8, "HB server", &listener);
  if (r < 0) {
    result = r;
    goto out;
  }

  for (;;) {
    struct socket *sock;
    enum mirvol_accept_result got =
        mirvol_accept_opponent(nmp, listener, &sock, "HB server", "HB", "mirvol_hb_svr_thread");
    if (got == MIRVOL_ACCEPT_STOP) break;
    if (got == MIRVOL_ACCEPT_AGAIN) continue;
    mirvol_listener_keepalive(nmp, sock);
    mirvol_recv_hb_main(sock, nmp);
  }

out:
  if (listener) sock_release(listener);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_hb_svr_thread)\n", 132, minor);
  smp_store_release(&nmp->thread[NMP_THREAD_HB_SVR].running, 0);
  return result;
}
