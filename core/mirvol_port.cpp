// The device ports and the connection flag.
//
// Every port flag and heartbeat flag is read-modified-written under the
// device spinlock, and the open and close messages are logged while it is
// held. The N/W port doubles as the connection flag: the driver closes it
// when the peer cannot be reached, the heartbeat opens it again once both
// heartbeat directions have succeeded, and the cluster service may open or
// close it at any time with the port command.

#include "include/mirvol_records.h"
#include "include/mirvol_port.h"

#include "include/mirvol.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_hb.h"


// One port of the port command, with the name its messages give it.
struct mirvol_port_desc {
  u32 bit;
  uint32_t mirvol_rec::port_record::*state;  // where command 7 answers it
  int open_event, close_event;
  const char *name;
};

// The order in which one command handles its ports.
static const struct mirvol_port_desc mirvol_ports[] = {
    {MIRVOL_PORT_NW, &mirvol_rec::port_record::nw, 196, 197, "N/W"},
    {MIRVOL_PORT_IO, &mirvol_rec::port_record::io, 192, 193, "I/O  "},
    {MIRVOL_PORT_MOUNT, &mirvol_rec::port_record::mount, 194, 195, "mount"},
};

static u32 *mirvol_port_flag(struct nmp_info *nmp, u32 bit) {
  switch (bit) {
    case MIRVOL_PORT_NW:
      return &nmp->nw_port;
    case MIRVOL_PORT_IO:
      return &nmp->io_port;
    default:
      return &nmp->mount_port;
  }
}

// Applies one command to one port under its own hold of the device lock, so
// another thread may see one port of a command changed before the next.
static void mirvol_port_one(unsigned int cmd, struct nmp_info *nmp, mirvol_rec::port_record *rec,
                            const struct mirvol_port_desc *p) {
  u32 *port = mirvol_port_flag(nmp, p->bit);
  unsigned long flags;
  mirvol_spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, &flags);
  switch (cmd) {
    case MIRVOL_PORT_OPEN_CMD:
      if (*port == 0) {
        *port = 1;
        mirvol_printk(MIRVOL_INFO "NMP%d open %s port OK.\n", p->open_event, (int)nmp->minor,
                      p->name);
      }
      break;
    case MIRVOL_PORT_CLOSE_CMD:
      if (*port == 1) {
        if (p->bit == MIRVOL_PORT_MOUNT) mirvol_perf_cnt_clear_last_update_pcount(nmp);
        *port = 0;
        mirvol_printk(MIRVOL_INFO "NMP%d close %s port OK.\n", p->close_event, (int)nmp->minor,
                      p->name);
      }
      break;
    case MIRVOL_PORT_GET_CMD:
      rec->*p->state = *port;
      break;
    default:
      break;
  }
  mirvol_spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, &flags);
}

void mirvol_port_operate(unsigned int cmd, struct nmp_info *nmp, u8 *bytes) {
  auto rec = mirvol_rec::rec_load<mirvol_rec::port_record>(bytes);
  u32 ports = rec.flags;
  if (ports & ~(u32)MIRVOL_PORT_ALL) {
    mirvol_printk(MIRVOL_ERR "NMP%d the port flag (%#x) is invalid. (mirvol_port_operate)\n", 182,
                  (int)nmp->minor, ports);
    mirvol_rec::rec_put_status(bytes, STATUS_INVALID_PARAMETER);
    return;
  }

  for (const struct mirvol_port_desc &p : mirvol_ports)
    if (ports & p.bit) mirvol_port_one(cmd, nmp, &rec, &p);

  // A mount-port command checks the networks at once: the heartbeat client
  // runs now when one answers, and the connection flag closes when none does.
  if (ports & MIRVOL_PORT_MOUNT) {
    if (mirvol_check_network(nmp))
      mirvol_wake_up(&nmp->nmp_variable->heartbeat_wq);
    else
      mirvol_close_com_port(nmp);
  }

  rec.status = STATUS_OK;
  mirvol_rec::rec_store(bytes, rec);
}

void mirvol_open_com_port(struct nmp_info *nmp, int kind) {
  unsigned long flags;
  mirvol_spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, &flags);
  if (kind == MIRVOL_HB_CLIENT)
    nmp->hb_client_up = 1;
  else if (kind == MIRVOL_HB_SERVER)
    nmp->hb_server_up = 1;
  if (nmp->nw_port == 0 && nmp->hb_client_up == 1 && nmp->hb_server_up == 1) {
    nmp->nw_port = 1;
    mirvol_printk(MIRVOL_INFO "NMP%d N/W port opened.\n", 154, (int)nmp->minor);
  }
  mirvol_spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, &flags);
}

// After a close the flag opens again only when the heartbeat client has had
// a new HB response, or by the port command. The heartbeat server's success
// is kept: it ends only with that server's connection.
void mirvol_close_com_port(struct nmp_info *nmp) {
  unsigned long flags;
  mirvol_spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, &flags);
  if (nmp->nw_port == 1) {
    nmp->nw_port = 0;
    nmp->hb_client_up = 0;
    mirvol_printk(MIRVOL_INFO "NMP%d N/W port closed.\n", 155, (int)nmp->minor);
  }
  mirvol_spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, &flags);
}

int mirvol_check_network(struct nmp_info *nmp) {
  int usable = mirvol_exec_heartbeat(nmp);
  if (usable)
    mirvol_clear_cp_time_main(nmp, 1);  // the disconnect time
  else
    mirvol_write_cptime(nmp, nullptr, 8);  // the net-down time
  return usable;
}

int mirvol_isMirrorbreak(struct nmp_info *nmp) {
  int broken = 0;
  unsigned long flags;
  mirvol_spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, &flags);
  if (nmp->recovery_prep_state == 2) {
    nmp->recovery_prep_state = 0;
    broken = 1;
  }
  mirvol_spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, &flags);
  return broken;
}

u32 mirvol_nw_port(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 port = nmp->nw_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return port;
}

u32 mirvol_mount_port(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 port = nmp->mount_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return port;
}
