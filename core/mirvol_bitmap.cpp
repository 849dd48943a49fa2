// The difference bitmap queues: handing a request's range over to the
// local bitmap writer, and the ACK1 time-out.

#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"

static void mirvol_add_write_bitmap_queue_main(struct wbq *node) {
  unsigned long flags;
  int index = mirvol_get_index_from_minor((int)node->nmp->minor);
  spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
  mirvol_fifo_append(&g_wrbmp.head, &g_wrbmp.tail, node);
  if (index >= 0) g_wrbmp.cnt[index]++;
  spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
  wake_up(&g_wrbmp.sys_var->wq);
}

void add_write_bitmap_queue2(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  u64 first = req->start_sector;
  u64 last = first + req->sector_count - 1;

  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  if (nmp->recovery_prep_state == 1) nmp->recovery_prep_state = 2;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);

  spin_lock_irqsave(&req->wbq_lock, flags);
  struct wbq *node = req->wbq;
  req->wbq = nullptr;
  spin_unlock_irqrestore(&req->wbq_lock, flags);
  if (!node) {
    mirvol_printk(MIRVOL_INFO "NMP%d request_queue->wbq is null. (add_write_bitmap_queue2)\n", 166,
                  nmp->minor);
    return;
  }
  memset(node, 0, sizeof(*node));
  node->first_sector = first;
  node->last_sector = last;
  node->nmp = nmp;
  mirvol_add_write_bitmap_queue_main(node);
}

// The ACK1 timer's function. The disconnection thread that serves these
// time-outs comes with the driver-wide settings; until then a request's
// timer is never started (no request is ever sent), so this does nothing.
void ack_timeout(unsigned long request_id) { (void)request_id; }
