// The device ports (I/O, N/W, mount) and the connection flag: the port
// command, the opening and closing of the connection flag by the heartbeat
// and the driver, the network check after a mount-port change, and the
// mirror-break test of a recovery.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_records.h"

// The port record of commands 5, 6 and 7 (mirvol_rec::port_record).
#define MIRVOL_PORT_REC_SIZE sizeof(mirvol_rec::port_record)
#define MIRVOL_PORT_REC_STATUS offsetof(mirvol_rec::port_record, status)
#define MIRVOL_PORT_REC_FLAGS offsetof(mirvol_rec::port_record, flags)
#define MIRVOL_PORT_REC_IO offsetof(mirvol_rec::port_record, io)
#define MIRVOL_PORT_REC_NW offsetof(mirvol_rec::port_record, nw)
#define MIRVOL_PORT_REC_MOUNT offsetof(mirvol_rec::port_record, mount)

#define MIRVOL_PORT_IO 0x1
#define MIRVOL_PORT_NW 0x2
#define MIRVOL_PORT_MOUNT 0x4
#define MIRVOL_PORT_ALL (MIRVOL_PORT_IO | MIRVOL_PORT_NW | MIRVOL_PORT_MOUNT)

#define MIRVOL_PORT_OPEN_CMD 5
#define MIRVOL_PORT_CLOSE_CMD 6
#define MIRVOL_PORT_GET_CMD 7

// Who opens the connection flag.
#define MIRVOL_HB_CLIENT 0  // the heartbeat client had an HB response
#define MIRVOL_HB_SERVER 1  // the heartbeat server answered an HB request

// Commands 5 (open), 6 (close) and 7 (get) on the kernel copy of the port
// record of an existing device; the answer is the status word.
void mirvol_port_operate(unsigned int cmd, struct nmp_info *nmp, u8 *rec);

// Records a heartbeat success of `kind` and opens the connection flag once
// both directions have succeeded.
void mirvol_open_com_port(struct nmp_info *nmp, int kind);

// Closes the connection flag (and forgets the heartbeat client's success).
void mirvol_close_com_port(struct nmp_info *nmp);

// The N/W and mount port flags, each read under the device spinlock.
u32 mirvol_nw_port(struct nmp_info *nmp);
u32 mirvol_mount_port(struct nmp_info *nmp);

// Runs the ICMP check; nonzero when a network can be used. Records the
// outcome in the Cluster Partition. May sleep.
int mirvol_check_network(struct nmp_info *nmp);

// 1 (once) when a new difference was recorded while a recovery was being
// prepared, else 0.
int mirvol_isMirrorbreak(struct nmp_info *nmp);

// Zeroes the statistics of writes left unmirrored while the mount port was
// closed (the statistics unit).
void mirvol_perf_cnt_clear_last_update_pcount(struct nmp_info *nmp);
