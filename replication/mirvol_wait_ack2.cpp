// The wait-ACK2 queue: one entry per write received from the peer and
// written here, kept until the peer's ACK2 says it has taken note of the
// ACK1. Entries still queued when their time-out passes are put into this
// server's own difference bitmap by the remote bitmap writer.

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_recv.h"

// Held by each walker of the queue for its whole walk (the remote writer's
// passes, and every drain that runs them).
static struct mutex g_wait_ack2_walk_mutex;

void mirvol_wait_ack2_walk_init(void) { mutex_init(&g_wait_ack2_walk_mutex); }
void mirvol_wait_ack2_walk_lock(void) { mutex_lock(&g_wait_ack2_walk_mutex); }
void mirvol_wait_ack2_walk_unlock(void) { mutex_unlock(&g_wait_ack2_walk_mutex); }

static u64 be64_at(const u8 *p) {
  u64 v;
  memcpy(&v, p, sizeof(v));
  return be64_to_cpu(v);
}

int mirvol_add_wait_ack2_queue(const u8 *head, struct nmp_info *nmp) {
  struct wait_ack2_queue *node =
      static_cast<struct wait_ack2_queue *>(mirvol_kmalloc(sizeof(struct wait_ack2_queue)));
  if (!node) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate wait_ack2_queue.\n", 145, nmp->minor);
    return -ENOMEM;
  }
  memset(node, 0, sizeof(*node));
  node->first_sector = be64_at(head + 8);
  node->last_sector = be64_at(head + 16);
  node->request_id = be64_at(head + 24);
  node->minor = (s32)nmp->minor;
  node->ack_timeout = READ_ONCE(nmp->ack_timeout);
  node->queued = mirvol_jiffies();

  unsigned long flags;
  spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
  node->prev = g_wait_ack2_queue_head.tail;
  node->next = nullptr;
  if (g_wait_ack2_queue_head.tail)
    g_wait_ack2_queue_head.tail->next = node;
  else
    g_wait_ack2_queue_head.head = node;
  g_wait_ack2_queue_head.tail = node;
  spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
  return 0;
}

// Ids carry the minor in their top bits; one beyond the largest configured
// minor names no device. The bound is computed in 32 bits.
bool mirvol_request_id_mappable(u64 request_id) {
  u32 bound = ((u32)g_max_minor + 1) << 24;
  return request_id <= (u64)bound;
}

int mirvol_del_wait_ack2_queue(u64 request_id) {
  if (!mirvol_request_id_mappable(request_id)) {
    mirvol_printk(MIRVOL_WARN "request_id(%#lx) is too big. (mirvol_del_wait_ack2_queue)\n", 172,
                  (unsigned long)request_id);
    return -1;
  }
  unsigned long flags;
  spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
  struct wait_ack2_queue *node = g_wait_ack2_queue_head.head;
  while (node && node->request_id != request_id) node = node->next;
  if (!node) {
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
    return -1;
  }
  // A walker that is to visit this entry next goes on with its successor.
  if (g_wait_ack2_queue_head.cursor == node) g_wait_ack2_queue_head.cursor = node->next;
  if (node->prev)
    node->prev->next = node->next;
  else
    g_wait_ack2_queue_head.head = node->next;
  if (node->next)
    node->next->prev = node->prev;
  else
    g_wait_ack2_queue_head.tail = node->prev;
  node->next = node->prev = nullptr;
  kfree(node);
  spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
  return 0;
}
