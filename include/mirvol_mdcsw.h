// Mirror networks and their switching: command 79 (switch the network in
// use) and command 80 (cancel waiting recovery ACKs), the sharing of echo
// results between devices, the reaction to the sync switch flags, and their
// text form. The giving up of ACK1 waits is declared in mirvol_trans.h.
#pragma once

#include "include/mirvol.h"

// Command 79: offset 0 status word, offset 4 mdc_priority (in: the wanted
// network, 1-based, 0 = the next FREE one; out: the network now in use).
#define MIRVOL_MDC_SWITCH_SIZE 8
void mirvol_nmp_mdc_switch(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// Command 80: offset 0 status word.
void mirvol_nmp_cancel_waiting_ack(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// The echo result to use for `network` after try `tries` gave `result`: a
// result of its own is recorded and returned; otherwise a recent usable
// result of another device's network with the same self address, if any.
u32 mirvol_share_echo_reply(struct nmp_info *nmp, struct network *network, u32 tries, u32 result);

// In asynchronous mode, gives up the ACK1 waits when value 2 is newly set
// in the sync switch flags.
void mirvol_make_async_queue_empty(struct nmp_info *nmp, u32 flags, u32 old_flags);

// The 8-byte text of the sync switch flags into `buffer`; the buffer, or
// null when it is null or `size` is below 8.
char *mirvol_disp_sync_flag(u32 flags, char *buffer, size_t size);
