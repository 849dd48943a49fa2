// The ACK2 listener: the peer's ACK2 for each write received here and
// answered with ACK1 removes that write's wait-ACK2 entry. The connection
// has no negotiation and no active-flag test; one connection is served at
// a time, a second one waits in the backlog.

#include "include/mirvol_perf.h"
#include "include/mirvol_ack2_recv.h"

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"

static void mirvol_ack2_drop(struct socket *sock) {
  mirvol_tcp_delete_keepalive_timer(sock);
  sock_release(sock);
}

int mirvol_recv_ack2_main(struct socket *sock, struct nmp_info *nmp) {
  int minor = (int)nmp->minor;
  int r;
  for (;;) {
    u8 wire[MIRVOL_HEAD_PART_SIZE];
    r = mirvol_recvmsg(sock, wire, sizeof(wire), 0);
    if (r <= 0) {
      mirvol_ack2_drop(sock);
      if (r == -ERESTARTSYS)
        mirvol_printk(MIRVOL_INFO "NMP%d received signal.       (mirvol_recv_ack2_main)\n", 134,
                      minor);
      else if (r == 0)
        mirvol_printk(MIRVOL_INFO "NMP%d disconnected ACK2 N/W. (mirvol_recv_ack2_main)\n", 232,
                      minor);
      else
        mirvol_printk(MIRVOL_WARN "NMP%d failed to receive ACK2. (err=%d%s)\n", 224, minor, r,
                      mirvol_err(r));
      break;
    }
    // The magic is not examined on this connection: only the command.
    struct head_part head;
    mirvol_head_decode(wire, &head);
    if (head.cmd != CMD_ACK2) {
      mirvol_printk(MIRVOL_WARN "NMP%d received wrong command (cmd=%#lx) instead of ACK2.\n", 226,
                    minor, (unsigned long)head.cmd);
      mirvol_ack2_drop(sock);
      break;
    }
    // The latency reads the entry's queued time, so it comes before the
    // entry goes.
    mirvol_perf_cnt_ack2_time(nmp, head.request_id);
    if (mirvol_del_wait_ack2_queue(head.request_id) != 0)
      mirvol_printk(MIRVOL_WARN "NMP%d received ACK2, but its ID was not found in wait_ack2_queue.\n",
                    177, minor);
  }
  mirvol_printk(MIRVOL_INFO "NMP%d exit...OK              (mirvol_recv_ack2_main)\n", 135, minor);
  return r;
}

int mirvol_ack2_svr_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  int minor = (int)nmp->minor;
  allow_signal(SIGTERM);
  int result = 0;
  struct socket *listener = nullptr;
  int r = mirvol_sock_create(nmp->ip_version == 4 ? AF_INET : AF_INET6, SOCK_STREAM, IPPROTO_TCP,
                             &listener);
  if (r < 0 || !listener) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to create ACK2 receive socket. (err=%d%s)\n", 220, minor,
                  r, mirvol_err(r));
    listener = nullptr;
    result = -ENOMEM;
    goto out;
  }
  r = mirvol_bind_listener(nmp, listener, nmp->ack2_port);
  if (r < 0) {
    schedule_timeout_interruptible(4 * HZ);
    r = mirvol_bind_listener(nmp, listener, nmp->ack2_port);
  }
  if (r < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to bind ACK2 receive socket. (err=%d%s)\n", 221, minor,
                  r, mirvol_err(r));
    result = r;
    goto out;
  }
  {
    int on = 1;
    kernel_setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  r = kernel_listen(listener, 8);
  if (r < 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to listen ACK2 receive socket. (err=%d%s)\n", 222, minor,
                  r, mirvol_err(r));
    result = r;
    goto out;
  }

  for (;;) {
    struct socket *sock = nullptr;
    // A signal that ended the last connection ends the thread too.
    r = signal_pending(get_current()) ? -ERESTARTSYS
                                      : mirvol_accept_socket(listener, &sock, nmp->ip_version);
    if (r == -ERESTARTSYS || signal_pending(get_current())) {
      if (sock) sock_release(sock);
      mirvol_printk(MIRVOL_INFO "NMP%d received signal.       (mirvol_ack2_svr_thread)\n", 134, minor);
      break;
    }
    if (r < 0) {
      mirvol_printk(MIRVOL_WARN "NMP%d failed to accept ACK2 receive socket. (err=%d%s)\n", 223,
                    minor, r, mirvol_err(r));
      cond_resched();
      continue;
    }
    // Only the peer server may hold the listener (one connection at a
    // time): any other host is closed at once.
    if (!mirvol_accepted_from_opponent(nmp, sock, "ACK2 receive", "mirvol_ack2_svr_thread")) {
      sock_release(sock);
      continue;
    }
    mirvol_sock_tcp_parameter(sock, (int)mirvol_timeout(&nmp->keepalive_probe),
                              (int)mirvol_timeout(&nmp->keepalive_time),
                              (int)mirvol_timeout(&nmp->keepalive_interval));
    struct klinger linger = {1, 0};
    kernel_setsockopt(sock, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
    mirvol_recv_ack2_main(sock, nmp);
  }

out:
  if (listener) sock_release(listener);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_ack2_svr_thread)\n", 132, minor);
  smp_store_release(&nmp->thread[NMP_THREAD_ACK2_SVR].running, 0);
  return result;
}
