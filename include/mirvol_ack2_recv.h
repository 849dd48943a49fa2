// The ACK2 listener of a device: the peer's ACK2 messages for writes this
// server received and wrote take their entries off the wait-ACK2 queue.
#pragma once

#include "include/mirvol.h"

// Thread body of "mirvol_nmp%02d_01": 0, -ENOMEM when the listening socket
// cannot be made, or the bind or listen error.
int mirvol_ack2_svr_thread(void *nmp);
// Serves one accepted ACK2 connection until it ends; releases the socket.
// Returns the last receive result (or the command of a wrong head).
int mirvol_recv_ack2_main(struct socket *sock, struct nmp_info *nmp);
