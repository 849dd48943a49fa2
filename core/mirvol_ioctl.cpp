// Control commands: the device lookups and the ports' connection flag.

#include "include/mirvol.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"

// Set by command 101; queue limits are stacked by method 1 until then.
struct driver_adj g_driver_adj = {0, 0, 0, 0, 1, 0};

struct nmp_info *mirvol_get_nmp_info(u32 dev) {
  if (!g_nmp_list.nmp_list_lock) return nullptr;
  u32 minor = dev & 0xfffff;
  struct nmp_info *found = nullptr;
  unsigned long flags;
  spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
  for (struct nmp_info *nmp = g_nmp_list.head; nmp; nmp = nmp->next)
    if (nmp->minor == minor) {
      found = nmp;
      break;
    }
  spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
  return found;
}

struct nmp_info *mirvol_get_nmp_info_by_cpdp(u32 dev) {
  if (!g_nmp_list.nmp_list_lock) return nullptr;
  struct nmp_info *found = nullptr;
  unsigned long flags;
  spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
  for (struct nmp_info *nmp = g_nmp_list.head; nmp; nmp = nmp->next)
    if (mirvol_MKDEV(nmp->cp_major, nmp->cp_minor) == dev ||
        mirvol_MKDEV(nmp->dp_major, nmp->dp_minor) == dev) {
      found = nmp;
      break;
    }
  spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
  return found;
}

// The state of every network, in list order; when none is in use, the
// first free one is taken into use. 1 when a network is (now) in use.
int mirvol_get_nmp_netstatus_for_proc(struct nmp_info *nmp, int *states) {
  if (!nmp->network_list_lock) return 0;
  unsigned long flags;
  int i = 0, using_found = 0;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  if (!nmp->network_list) {
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
    return 0;
  }
  for (struct network *nw = nmp->network_list; nw; nw = nw->next, i++) {
    states[i] = (int)nw->state;
    if (nw->state == NW_USING) using_found = 1;
  }
  if (!using_found) {
    i = 0;
    for (struct network *nw = nmp->network_list; nw; nw = nw->next, i++)
      if (nw->state == NW_FREE) {
        nw->state = NW_USING;
        states[i] = NW_USING;
        using_found = 1;
        break;
      }
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return using_found;
}

// Closes the connection flag; it opens again only through the heartbeat or
// the port command.
void mirvol_close_com_port(struct nmp_info *nmp) {
  unsigned long flags;
  bool closed = false;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  if (nmp->nw_port == 1) {
    nmp->nw_port = 0;
    nmp->hb_client_up = 0;
    closed = true;
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  if (closed) mirvol_printk(MIRVOL_INFO "NMP%d N/W port closed.\n", 155, nmp->minor);
}

// The block-device ioctl of every mirror disk. The command table arrives
// with the control-command interface; until then every number is one this
// driver does not know.
int mirvol_ioctl(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg) {
  (void)mode;
  (void)cmd;
  (void)arg;
  if (!bdev) {
    mirvol_printk(MIRVOL_WARN "ioctl() got block_device with NULL, exit.\n", 170);
    return -EINVAL;
  }
  return -EINVAL;
}
