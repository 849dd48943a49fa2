// Sending writes to the peer, and the ACK2 send queue.

#include "include/mirvol_ext.h"

// No DATA connection exists before the connection code lands: nothing can
// be sent, and the request has not entered the send queue.
int mirvol_send_data(struct nmp_info *nmp, struct bio *clone, struct io_request *req) {
  (void)nmp;
  (void)clone;
  (void)req;
  return -ENODATA;
}

// Asynchronous sending needs the history journal, which is not there yet:
// the write takes the failure path.
int mirvol_send_data2(struct nmp_info *nmp, struct bio *clone, struct io_request *req) {
  (void)nmp;
  (void)clone;
  (void)req;
  return -1;
}

// Queues the request's id for the ACK2 sender of its device.
void mirvol_add_send_ack2_queue(u8 *head, struct io_request *req) {
  (void)head;
  struct nmp_info *nmp = req->nmp;
  unsigned long flags;
  spin_lock_irqsave(&req->a2q_lock, flags);
  struct a2q *node = req->a2q;
  req->a2q = nullptr;
  spin_unlock_irqrestore(&req->a2q_lock, flags);
  if (!node || !nmp->send_ack2_queue.sys_var) {
    kfree(node);
    return;
  }
  node->request_id = req->request_id;
  struct sys_var *sv = nmp->send_ack2_queue.sys_var;
  spin_lock_irqsave(&sv->lock, flags);
  struct a2q *first = static_cast<struct a2q *>(nmp->send_ack2_queue.head);
  struct a2q *last = static_cast<struct a2q *>(nmp->send_ack2_queue.tail);
  mirvol_fifo_append(&first, &last, node);
  nmp->send_ack2_queue.head = first;
  nmp->send_ack2_queue.tail = last;
  spin_unlock_irqrestore(&sv->lock, flags);
  wake_up(&sv->wq);
}
