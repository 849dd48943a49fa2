// Mirror networks and their switching: the giving up of every waiting
// ACK1 and recovery ACK of a device, command 79 (switch the network in use)
// and command 80, the echo results shared between devices, and the sync
// switch flags' text and the reaction to their change.

#include "include/mirvol_mdcsw.h"

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_records.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

static bool mirvol_request_queue_busy(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  bool busy = nmp->request_queue_head != nullptr;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return busy;
}

int mirvol_cancel_waiting_ack1_asap(struct nmp_info *nmp) {
  if (smp_load_acquire(&g_mirvol_shutdown)) {
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

// --- the sync switch flags ---

void mirvol_make_async_queue_empty(struct nmp_info *nmp, u32 flags, u32 old_flags) {
  if (nmp->mode == 0 && (flags & 0x2) && !(old_flags & 0x2))
    mirvol_do_all_request_ack1_timeout_asap(nmp);
}

char *mirvol_disp_sync_flag(u32 f, char *buf, size_t size) {
  if (!buf || size < 8) return nullptr;
  bool resync = f & 0x100;
  buf[0] = '<';
  buf[1] = resync ? 'R' : '-';
  buf[2] = (f & 0x8) ? (resync ? 'b' : 'B') : '-';
  buf[3] = (f & 0x2) ? (resync ? 'i' : 'I') : '-';
  buf[4] = (f & 0x4) ? (resync ? 'f' : 'F') : '-';
  if (resync)
    buf[5] = (f & 0x1) ? 'n' : 's';
  else
    buf[5] = !(f & 0xf) ? 'S' : (f & 0x1) ? 'N' : 's';
  buf[6] = '>';
  buf[7] = 0;
  return buf;
}

// --- echo results shared between devices ---

static bool mirvol_same_self(const struct nmp_info *a, const struct network *na,
                             const struct nmp_info *b, const struct network *nb) {
  if (a->ip_version == 4 && b->ip_version == 4)
    return memcmp(na->self_addr + 12, nb->self_addr + 12, 4) == 0;
  if (a->ip_version != 4 && b->ip_version != 4)
    return memcmp(na->self_addr, nb->self_addr, MIRVOL_IPADDR_LEN) == 0;
  return false;
}

u32 mirvol_share_echo_reply(struct nmp_info *nmp, struct network *network, u32 tries, u32 result) {
  unsigned long flags;
  u64 now = get_jiffies_64();
  if ((s32)result > 0) {
    spin_lock_irqsave(nmp->network_list_lock, flags);
    network->last_result = result;
    network->last_echo_time = now;
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
    return result;
  }
  u64 window = (u64)(tries + 1) * mirvol_timeout(&nmp->hb_recv_timeout) * HZ;
  if (now <= window) return result;
  u8 self[MIRVOL_IPADDR_LEN];
  spin_lock_irqsave(nmp->network_list_lock, flags);
  u64 earliest = network->last_echo_time;
  memcpy(self, network->self_addr, MIRVOL_IPADDR_LEN);
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  if ((s64)(now - window - earliest) > 0) earliest = now - window;
  struct network mine;
  memcpy(mine.self_addr, self, MIRVOL_IPADDR_LEN);

  u32 taken = result;
  for (struct nmp_info *other = mirvol_nmp_first(); other; other = mirvol_nmp_next(other)) {
    if (other == nmp || !other->network_list_lock) continue;
    spin_lock_irqsave(other->network_list_lock, flags);
    for (struct network *nw = other->network_list; nw; nw = nw->next) {
      if (!mirvol_same_self(nmp, &mine, other, nw)) continue;
      u32 r = nw->last_result;
      u64 t = nw->last_echo_time;
      if ((r == 1 || r == 2 || r == 4 || r == 5) && (s64)(t - earliest) >= 0 &&
          (s64)(now - t) >= 0) {
        taken = r;
        earliest = t;
      }
      break;
    }
    spin_unlock_irqrestore(other->network_list_lock, flags);
  }
  return taken;
}

// --- command 80 ---

void mirvol_nmp_cancel_waiting_ack(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  mirvol_cancel_waiting_ack(nmp);
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

// --- command 79 ---

static const char *const mirvol_switch_refusal[] = {
    "(Specified network has been error)",
    "(All of the networks ERROR)",
    "(All the other network ERROR)",
};

void mirvol_nmp_mdc_switch(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  int m = (int)nmp->minor;
  s32 want = mirvol_rec::rec_load<mirvol_rec::mdc_switch_record>(rec).mdc_priority;
  if (want < 0 || want > (s32)nmp->mdc_cnt) {
    mirvol_printk(MIRVOL_ERR "NMP%d mdc_priority (%d) is invalid. (mirvol_nmp_mdc_switch)\n", 182,
                  m, want);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  if (!nmp->network_list) {
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
    mirvol_printk(MIRVOL_WARN "NMP%d N/W is not initialized yet. (mirvol_nmp_mdc_switch)\n", 142,
                  m);
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return;
  }
  struct network *old = nullptr, *target = nullptr;
  int old_prio = 0, target_prio = 0, count = 0, errors = 0, usings = 0;
  for (struct network *nw = nmp->network_list; nw; nw = nw->next) {
    count++;
    if (nw->state == NW_USING && !old) {
      old = nw;
      old_prio = count;
    }
    if (nw->state == NW_ERROR) errors++;
    if (nw->state == NW_USING) usings++;
  }
  int refusal = -1;
  u32 status = STATUS_OK;
  if (want > 0) {
    target = nmp->network_list;
    for (int i = 1; i < want && target; i++) target = target->next;
    target_prio = want;
    if (!target) {
      refusal = 0;
      status = STATUS_NW_ERROR;
    } else if (target->state == NW_USING) {
      status = STATUS_ALREADY_SWITCHED;
    } else if (target->state == NW_ERROR) {
      refusal = 0;
      status = STATUS_NW_ERROR;
    }
  } else if (errors == count) {
    refusal = 1;
    status = STATUS_ALL_NW_ERROR;
  } else if (usings == 1 && errors == count - 1) {
    refusal = 2;
    status = STATUS_ALL_NW_ERROR;
  } else {
    // The first FREE network after the old one, else the first from the top.
    int prio = 0;
    for (struct network *nw = nmp->network_list; nw; nw = nw->next) {
      prio++;
      if (nw->state != NW_FREE) continue;
      if (prio > old_prio) {
        target = nw;
        target_prio = prio;
        break;
      }
      if (!target) {
        target = nw;
        target_prio = prio;
      }
    }
  }
  if (status == STATUS_OK && target) {
    if (old) {
      old->state = NW_FREE;
      old->peak_response = 0;
    }
    target->state = NW_USING;
    target->peak_response = 0;
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);

  if (status == STATUS_ALREADY_SWITCHED) {
    mirvol_printk(MIRVOL_INFO "NMP%d already switched N/W to (priority:%d).\n", 261, m, want);
    mirvol_rec::rec_put_status(rec, status);
    return;
  }
  if (refusal >= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to switch N/W to (priority:%d). %s\n", 260, m, want,
                  mirvol_switch_refusal[refusal]);
    mirvol_rec::rec_put_status(rec, status);
    return;
  }
  if (!target) {
    mirvol_rec::rec_put_status(rec, STATUS_FAILED);
    return;
  }

  // The connections leave the old network; each holder's semaphore is
  // taken with network_list_lock released (the semaphores come first in
  // the lock order). The DATA connection is made anew by the next message.
  mirvol_down_nmp_send_sem(nmp);
  mirvol_release_nmp_sock(nmp);
  mirvol_up_nmp_send_sem(nmp);
  mirvol_down_nmp_ack2_sem(nmp);
  mirvol_release_nmp_ack2_sock(nmp);
  mirvol_up_nmp_ack2_sem(nmp);
  mirvol_down_nmp_hb_sem(nmp);
  mirvol_release_nmp_hb_sock(nmp);
  mirvol_up_nmp_hb_sem(nmp);
  if (nmp->send_ack2_queue.sys_var) wake_up(&nmp->send_ack2_queue.sys_var->wq);
  wake_up(&nmp->nmp_variable->heartbeat_wq);

  mirvol_rec::rec_store(rec, mirvol_rec::mdc_switch_record{STATUS_OK, target_prio});
  spin_lock_irqsave(nmp->network_list_lock, flags);
  if (old) {
    mirvol_printk(MIRVOL_INFO "NMP%d switched N/W from (priority:%d) to (priority:%d).\n", 263, m,
                  old_prio, target_prio);
    mirvol_disp_current_mdc(nmp, old, 0);
  } else {
    mirvol_printk(MIRVOL_INFO "NMP%d uses N/W (priority:%d).\n", 262, m, target_prio);
  }
  mirvol_disp_current_mdc(nmp, target, 0);
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}
