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
  int r = mirvol_open_listener(nmp, nmp->ack2_port, 8, "ACK2 receive", &listener);
  if (r < 0) {
    result = r;
    goto out;
  }

  for (;;) {
    struct socket *sock;
    enum mirvol_accept_result got =
        mirvol_accept_opponent(nmp, listener, &sock, "ACK2 receive", "ACK2 receive", "mirvol_ack2_svr_thread");
    if (got == MIRVOL_ACCEPT_STOP) break;
    if (got == MIRVOL_ACCEPT_AGAIN) continue;
    mirvol_listener_keepalive(nmp, sock);
    mirvol_recv_ack2_main(sock, nmp);
  }

out:
  if (listener) sock_release(listener);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_ack2_svr_thread)\n", 132, minor);
  smp_store_release(&nmp->thread[NMP_THREAD_ACK2_SVR].running, 0);
  return result;
}
