// Device threads, stop and drains: commands 72, 74, 53 and 86.
#pragma once

#include "include/mirvol.h"

// Command 72: stops the device's threads and drains what is in flight into
// the bitmap; command 74 starts the threads that do not run.
void mirvol_set_nmp_to_reserve(unsigned int minor, struct nmp_info *nmp, u8 *rec);
void mirvol_nmp_thread_init(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// Command 53: waits for the send queue, at most ack_timeout seconds.
void mirvol_wait_send_queue_empty(unsigned int minor, struct nmp_info *nmp, u8 *rec);
// Command 86: closes the N/W port, writes both time records, drains.
void mirvol_set_time_and_wait_queue(unsigned int minor, struct nmp_info *nmp, u8 *rec);

// True while any of the device's threads runs.
bool mirvol_nmp_threads_running(struct nmp_info *nmp);
// Discards the received writes not yet written; their ranges (and those of
// writes whose ACK1 was never sent) join the wait-ACK2 queue.
void mirvol_wait_local_write_queue_empty(struct nmp_info *nmp);
