// Mirror networks and their switching: as far as the senders need it, the
// giving up of every waiting ACK1 and recovery ACK of a device.

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_trans.h"

static bool mirvol_request_queue_busy(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  bool busy = nmp->request_queue_head != nullptr;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return busy;
}

int mirvol_cancel_waiting_ack1_asap(struct nmp_info *nmp) {
  if (__atomic_load_n(&g_mirvol_shutdown, __ATOMIC_ACQUIRE)) {
    mirvol_wait_request_queue_empty(nmp);
    return 0;
  }
  // The nodes are taken under the request-queue lock, so an ACK1 timer that
  // fires meanwhile finds its request without one and queues nothing (its
  // timer is not deleted here: deleting waits for a running callback, which
  // waits for this lock). They are queued after the lock is released.
  struct dcq *taken = nullptr, **tail = &taken;
  int n = 0;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (struct io_request *req = nmp->request_queue_head; req; req = req->next) {
    if (!req->dcq) continue;
    struct dcq *node = req->dcq;
    req->dcq = nullptr;
    node->request_id = req->request_id;
    node->next = nullptr;
    *tail = node;
    tail = &node->next;
    n++;
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  if (!n) return 0;
  while (taken) {
    struct dcq *next = taken->next;
    mirvol_add_dcp_queue(taken, 0);
    mirvol_perf_cnt_dcpq(nmp, 1);
    taken = next;
  }
  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  if (nmp->recovery_prep_state == 1) nmp->recovery_prep_state = 2;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);
  wake_up(&g_dcq_head.sys->wq);
  return 1;
}

int mirvol_cancel_waiting_ack(struct nmp_info *nmp) {
  int cancelled = 0;
  if (!g_table_control.table_lock) return 0;
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  for (int i = 0; i < MIRVOL_TRANS_TABLE_NUM; i++) {
    struct trans_table *e = &g_trans_table[i];
    if (e->in_use != 1 || e->ack_received || e->nmp != nmp) continue;
    e->nmp = nullptr;
    e->status = 3;
    e->ack_received = 1;
    if (e->wq) wake_up(e->wq);
    cancelled = 1;
  }
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  return cancelled;
}

void mirvol_do_all_request_ack1_timeout_asap(struct nmp_info *nmp) {
  if (mirvol_request_queue_busy(nmp) && mirvol_cancel_waiting_ack1_asap(nmp))
    mirvol_printk(MIRVOL_INFO "NMP%d gave up ACK1 before ACK1 timeout.\n", 236, (int)nmp->minor);
}

void mirvol_do_all_request_ack1_timeout(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 nw_port = nmp->nw_port, io_port = nmp->io_port, mount_port = nmp->mount_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  if (nw_port) return;
  if (io_port && mount_port && mirvol_request_queue_busy(nmp) &&
      mirvol_cancel_waiting_ack1_asap(nmp))
    mirvol_printk(MIRVOL_INFO "NMP%d gave up ACK1 before ACK1 timeout.\n", 236, (int)nmp->minor);
  if (mirvol_cancel_waiting_ack(nmp))
    mirvol_printk(MIRVOL_INFO "NMP%d gave up ACK before ACK timeout.\n", 235, (int)nmp->minor);
}
