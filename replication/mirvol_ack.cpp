// Acknowledgements: ACK1 and stop-sending, sent by the standby on its own
// DATA connection and received by the active server's DATA listener; the
// active server's ACK2 queue, its sender thread and ACK2 connection; and the
// recovery ACK statuses stored in the transfer table.

#include "include/mirvol_perf.h"
#include "include/mirvol_trans.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_port.h"
#include "include/mirvol_sock.h"

static u64 be64_at(const u8 *p) {
  u64 v;
  memcpy(&v, p, sizeof(v));
  return be64_to_cpu(v);
}

// Ids carry the minor in their top bits; one above the largest configured
// minor names no device.
static bool mirvol_id_too_big(u64 id) { return id > ((u64)(u32)g_max_minor + 1) << 24; }

// --- ACK1 and stop sending ---

int mirvol_send_Ack1(const u8 *head, struct nmp_info *nmp, u32 status) {
  struct head_part h;
  mirvol_head_init(&h, CMD_ACK1);
  h.start_sector = be64_at(head + 8);
  h.request_id = be64_at(head + 24);
  h.status = status;
  mirvol_down_nmp_send_sem(nmp);
  int r = mirvol_send_head_part(nmp, h);
  if (r <= 0) {
    if (nmp->ack1_send_state == 1)
      mirvol_printk(MIRVOL_WARN "NMP%d failed to send ACK1 of sync data. (err=%d%s)\n", 212,
                    (int)nmp->minor, r, mirvol_err(r));
    nmp->ack1_send_state = 0;
  } else {
    nmp->ack1_send_state = 1;
  }
  mirvol_up_nmp_send_sem(nmp);
  return r;
}

int mirvol_send_port_problem(struct nmp_info *nmp, const u8 *head, u32 status) {
  struct head_part h;
  mirvol_head_init(&h, CMD_STOP_SENDING_DATA);
  h.request_id = be64_at(head + 24);
  h.status = status;
  mirvol_down_nmp_send_sem(nmp);
  int r = mirvol_send_head_part(nmp, h);
  if (r <= 0)
    mirvol_printk(MIRVOL_WARN "NMP%d failed to send N/W port close request. (err=%d%s)\n", 212,
                  (int)nmp->minor, r, mirvol_err(r));
  mirvol_up_nmp_send_sem(nmp);
  return r;
}

// A request whose mirror is given up by an answer of the peer: its range to
// the bitmap, no ACK2 for it, the remote bit, and the last-update and
// mirror-break times.
static void mirvol_break_request(struct nmp_info *nmp, struct io_request *req) {
  add_write_bitmap_queue2(nmp, req);
  req->request_id = 0;
  mirvol_end_req(req, REQ_REMOTE_DONE);
  mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
}

int mirvol_recv_Ack1(struct nmp_info *nmp, struct head_part head) {
  u64 id = head.request_id;
  // Whoever takes the request off the queue handles it: an ACK1, its
  // time-out and a failed send never handle one request twice.
  struct io_request *req = mirvol_del_req_queue(nmp, id);
  if (mirvol_id_too_big(id))
    mirvol_printk(MIRVOL_WARN "NMP%d request_id(%#lx) is too big. (mirvol_recv_Ack1)\n", 172,
                  (int)nmp->minor, (unsigned long)id);
  if (!req) {
    mirvol_printk(MIRVOL_INFO "NMP%d received ACK1, but its ID was not found in request_queue.\n",
                  176, (int)nmp->minor);
    return 1;
  }
  mirvol_perf_cnt_ack1_time(nmp, req);
  if (head.status != 0) {
    mirvol_break_request(nmp, req);
    return 1;
  }
  if (nmp->mode == 0) mirvol_delete_history_info(req);
  mirvol_end_req(req, REQ_REMOTE_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  return 1;
}

int mirvol_recv_port_problem(struct nmp_info *nmp, struct head_part head) {
  if (head.status != 0) {
    mirvol_trans_table_set_error(head.request_id, 1);
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to recover, because N/W port of remote server has been closed.\n",
                  157, (int)nmp->minor);
    return 1;
  }
  mirvol_printk(MIRVOL_INFO "NMP%d received request to stop sending data from remote server.\n",
                159, (int)nmp->minor);
  struct io_request *req = mirvol_del_req_queue(nmp, head.request_id);
  if (!req) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d received request to stop sending data, but its ID was not found in "
                  "request_queue.\n",
                  179, (int)nmp->minor);
    return 1;
  }
  mirvol_perf_cnt_ack1_time(nmp, req);
  mirvol_close_com_port(nmp);
  mirvol_break_request(nmp, req);
  mirvol_do_all_request_ack1_timeout(nmp);
  return 1;
}

// --- recovery ACKs ---

struct trans_table *mirvol_trans_table_set_error(u64 request_id, u32 status) {
  struct trans_table *found = nullptr;
  if (!g_table_control.table_lock) return nullptr;
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  for (int i = 0; i < MIRVOL_TRANS_TABLE_NUM && !found; i++) {
    struct trans_table *e = &g_trans_table[i];
    if (e->in_use != 1 || e->request_id != request_id) continue;
    e->status = status;
    e->ack_received = 1;
    if (e->wq) wake_up(e->wq);
    found = e;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return found;
}

int mirvol_recv_build_ack(struct nmp_info *nmp, struct head_part head) {
  (void)nmp;
  // The whole 32-bit status: any value but 0 is a failure at the peer.
  mirvol_trans_table_set_error(head.request_id, head.status);
  return 1;
}

// --- the ACK2 queue ---

int mirvol_add_send_ack2_queue(u8 *head, struct io_request *req) {
  struct nmp_info *nmp = req->nmp;
  unsigned long flags;
  spin_lock_irqsave(&req->a2q_lock, flags);
  struct a2q *node = req->a2q;
  req->a2q = nullptr;
  spin_unlock_irqrestore(&req->a2q_lock, flags);
  if (!node) {
    mirvol_printk(MIRVOL_INFO "NMP%d request_queue->a2q is null. (mirvol_add_send_ack2_queue)\n",
                  167, (int)nmp->minor);
    return -ENOMEM;
  }
  struct sys_var *sv = nmp->send_ack2_queue.sys_var;
  if (!sv) {
    kfree(node);
    return -ENOMEM;
  }
  memset(node, 0, sizeof(*node));
  node->request_id = be64_at(head + 24);
  spin_lock_irqsave(&sv->lock, flags);
  struct a2q *first = static_cast<struct a2q *>(nmp->send_ack2_queue.head);
  struct a2q *last = static_cast<struct a2q *>(nmp->send_ack2_queue.tail);
  mirvol_fifo_append(&first, &last, node);
  nmp->send_ack2_queue.head = first;
  nmp->send_ack2_queue.tail = last;
  spin_unlock_irqrestore(&sv->lock, flags);
  wake_up(&sv->wq);
  return 0;
}

static bool mirvol_ack2_queue_empty(struct nmp_info *nmp) {
  unsigned long flags;
  struct sys_var *sv = nmp->send_ack2_queue.sys_var;
  spin_lock_irqsave(&sv->lock, flags);
  bool empty = nmp->send_ack2_queue.head == nullptr;
  spin_unlock_irqrestore(&sv->lock, flags);
  return empty;
}

// The ACK2 client's once-per-change flags.
#define ACK2_NETWORK_FOUND 0
#define ACK2_SOCKET_CREATED 1
#define ACK2_SENT 2

// Logs a network's line with its state as it is now.
static void mirvol_disp_network(struct nmp_info *nmp, struct network *nw) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  mirvol_disp_current_mdc(nmp, nw, 3);
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

static u32 mirvol_network_state(struct nmp_info *nmp, struct network *nw) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  u32 state = nw->state;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return state;
}

// One pass of the ACK2 connection's rules over the heads in `wire`
// (`count` of them, each MIRVOL_HEAD_PART_SIZE bytes), sent together: on
// the existing connection and, unless that timed out, on a new one. Heads
// handled (sent, or dropped because their send failed) in *handled; a
// failure drops the head that was going out, the ones after it are left
// for the next pass. The caller holds the ACK2 semaphore.
static int mirvol_send_ack2_pass(struct nmp_info *nmp, const u8 *wire, size_t count,
                                 size_t *handled) {
  const size_t hs = MIRVOL_HEAD_PART_SIZE;
  struct client_block *cb = &nmp->ack2_client;
  if (cb->network) {
    if (mirvol_network_state(nmp, cb->network) != NW_ERROR) {
      cb->value = 0;
    } else if (cb->value == 0) {
      mirvol_disp_network(nmp, cb->network);
      mirvol_release_nmp_ack2_sock(nmp);
      cb->value = 1;
    }
  }

  int r;
  size_t base = 0, sent = 0;
  if (cb->sock) {
    cb->value = 0;
    struct kvec vec = {const_cast<u8 *>(wire), count * hs};
    r = mirvol_send2v(cb->sock, &vec, 1, mirvol_timeout(&nmp->send_timeout), nmp, &sent);
    if (r > 0) {
      *handled = count;
      return r;
    }
    mirvol_release_nmp_ack2_sock(nmp);
    if (r == -ETIME) {
      *handled = sent / hs + 1;
      return r;
    }
    // The heads that went out are done; the one that failed goes again.
    base = sent / hs;
  }
  *handled = base + 1;

  struct network *nw = nullptr;
  if (!nmp->network_list) {
    mirvol_printk(MIRVOL_WARN "NMP%d N/W is not initialized yet. (mirvol_send_Ack2)\n", 142,
                  (int)nmp->minor);
    r = -ENODATA;
  } else if (!(nw = mirvol_get_using_network(nmp))) {
    if (cb->state_flags[ACK2_NETWORK_FOUND] == 1)
      mirvol_printk(MIRVOL_WARN "NMP%d can not find a N/W to use. (ACK2)\n", 241, (int)nmp->minor);
    cb->state_flags[ACK2_NETWORK_FOUND] = 0;
    r = -ENODATA;
  } else {
    cb->state_flags[ACK2_NETWORK_FOUND] = 1;
    int err = 0;
    struct socket *sock =
        mirvol_creat_client_socket(nullptr, nw, nmp->ack2_port, &cb->timer1, nmp, &err);
    if (!sock) {
      if (cb->state_flags[ACK2_SOCKET_CREATED] == 1)
        mirvol_printk(MIRVOL_WARN "NMP%d failed to create ACK2 send socket. (err=%d%s)\n", 220,
                      (int)nmp->minor, err, mirvol_err(err));
      cb->state_flags[ACK2_SOCKET_CREATED] = 0;
      r = err;
    } else {
      cb->state_flags[ACK2_SOCKET_CREATED] = 1;
      cb->sock = sock;
      cb->network = nw;
      mirvol_disp_network(nmp, nw);
      struct klinger linger = {1, 0};
      kernel_setsockopt(sock, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger));
      struct kvec vec = {const_cast<u8 *>(wire + base * hs), (count - base) * hs};
      r = mirvol_send2v(sock, &vec, 1, mirvol_timeout(&nmp->send_timeout), nmp, &sent);
      if (r <= 0) {
        if (cb->state_flags[ACK2_SENT] == 1)
          mirvol_printk(MIRVOL_WARN "NMP%d failed to send ACK2. (err=%d%s)\n", 212, (int)nmp->minor,
                        r, mirvol_err(r));
        cb->state_flags[ACK2_SENT] = 0;
        mirvol_release_nmp_ack2_sock(nmp);
        *handled = base + sent / hs + 1;
      } else {
        cb->state_flags[ACK2_SENT] = 1;
        *handled = count;
      }
    }
  }
  return r;
}

// Sends the ACK2 heads in `wire` together, each as mirvol_send_Ack2 would
// send it alone: a failed one is dropped and the rest go on. The last
// pass's result.
static int mirvol_send_ack2_heads(struct nmp_info *nmp, const u8 *wire, size_t count) {
  int r = 0;
  mirvol_down_nmp_ack2_sem(nmp);
  for (size_t done = 0; done < count;) {
    size_t handled = 0;
    r = mirvol_send_ack2_pass(nmp, wire + done * MIRVOL_HEAD_PART_SIZE, count - done, &handled);
    done += handled;
  }
  mirvol_up_nmp_ack2_sem(nmp);
  return r;
}

static void mirvol_ack2_wire(u64 request_id, u8 *wire) {
  struct head_part h;
  mirvol_head_init(&h, CMD_ACK2);
  h.request_id = request_id;
  mirvol_head_encode(&h, wire);
}

int mirvol_send_Ack2(u64 request_id, struct nmp_info *nmp) {
  u8 wire[MIRVOL_HEAD_PART_SIZE];
  mirvol_ack2_wire(request_id, wire);
  return mirvol_send_ack2_heads(nmp, wire, 1);
}

// How many queued ACK2s go out in one send at most.
#define MIRVOL_ACK2_BATCH 64

void mirvol_send_all_ack2(struct nmp_info *nmp) {
  struct sys_var *sv = nmp->send_ack2_queue.sys_var;
  static_assert(MIRVOL_ACK2_BATCH * MIRVOL_HEAD_PART_SIZE <= 4096, "one page of heads");
  u8 wire[MIRVOL_ACK2_BATCH * MIRVOL_HEAD_PART_SIZE];
  for (;;) {
    // Take the queued ids in order, up to one that is too big.
    struct a2q *nodes[MIRVOL_ACK2_BATCH];
    size_t n = 0;
    bool too_big = false;
    u64 big_id = 0;
    unsigned long flags;
    spin_lock_irqsave(&sv->lock, flags);
    struct a2q *first = static_cast<struct a2q *>(nmp->send_ack2_queue.head);
    struct a2q *last = static_cast<struct a2q *>(nmp->send_ack2_queue.tail);
    while (first && n < MIRVOL_ACK2_BATCH && !too_big) {
      struct a2q *node = first;
      mirvol_fifo_unlink(&first, &last, static_cast<struct a2q **>(nullptr), node);
      too_big = mirvol_id_too_big(node->request_id);
      nodes[n++] = node;
    }
    nmp->send_ack2_queue.head = first;
    nmp->send_ack2_queue.tail = last;
    spin_unlock_irqrestore(&sv->lock, flags);
    if (n == 0) return;

    size_t heads = 0;
    for (size_t i = 0; i < n; i++) {
      u64 id = nodes[i]->request_id;
      kfree(nodes[i]);
      if (too_big && i == n - 1)
        big_id = id;
      else
        mirvol_ack2_wire(id, wire + heads++ * MIRVOL_HEAD_PART_SIZE);
    }
    // A failed ACK2 is dropped: the standby's wait-ACK2 entry expires into
    // its own bitmap.
    if (heads) mirvol_send_ack2_heads(nmp, wire, heads);
    if (too_big) {
      // Dropped; the nodes after it wait for the next pass.
      mirvol_printk(MIRVOL_WARN "NMP%d request_id(%#lx) is too big. (mirvol_send_all_ack2)\n", 172,
                    (int)nmp->minor, (unsigned long)big_id);
      return;
    }
  }
}

int mirvol_send_ack2_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  allow_signal(SIGTERM);
  struct sys_var *sv = nmp->send_ack2_queue.sys_var;
  for (;;) {
    // A node queued at any moment before or during the wait ends it: the
    // thread is queued on the wait queue before the emptiness check.
    wait_event_interruptible_timeout(sv->wq, !mirvol_ack2_queue_empty(nmp),
                                     (long)mirvol_timeout(&nmp->send_timeout) * HZ);
    if (signal_pending(get_current())) break;
    mirvol_send_all_ack2(nmp);
  }
  mirvol_down_nmp_ack2_sem(nmp);
  mirvol_release_nmp_ack2_sock(nmp);
  mirvol_up_nmp_ack2_sem(nmp);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_send_ack2_thread)\n", 132,
                (int)nmp->minor);
  smp_store_release(&nmp->thread[NMP_THREAD_SEND_ACK2].running, 0);
  return 0;
}
