// Bandwidth limit of what a device sends to its peer.
//
// Every payload piece that goes out on the device's DATA connection is
// counted; after each whole message of write data and after each recovery
// part the sender calls the throttle point, which sleeps when the device's
// band limit (nmp_info.band_limit, bytes per second, 0 = none) was reached
// within the first second of the current window. The count is not cleared
// when a window passes without reaching the limit: bytes accumulate until
// the limit is reached, and only then is the window judged and restarted.
//
// Counting and sleeping run under the device's send semaphore, held by every
// caller, so the area has no lock of its own. A sleep therefore holds back
// every sender of the device.
#pragma once

#include "platform/kernel.h"

struct nmp_info;

// One per device, owned by the device record.
struct qos_area {
  u64 start_jiffies;  // window start; 0 while the area is new
  u64 sent_bytes;     // bytes counted since the window start
  wait_queue_head_t wq;  // the sender sleeps here
};

// A zeroed area with its wait queue set up; null when memory is short.
struct qos_area *mirvol_qos_init_nmp(void);
// Frees an area from mirvol_qos_init_nmp(); nothing for null.
void mirvol_qos_free_nmp(struct qos_area *area);

// Adds `bytes` (a send result; 0 or less adds nothing) to the device's count
// when the device has a band limit. Heads are not counted.
void mirvol_qos_count_nmp(struct nmp_info *nmp, int bytes);

// The throttle point. When the limit is set and the count has reached it:
// if now lies within the first second of the window, sleeps interruptibly
// until one second after the window start; then (slept or not) starts a new
// window at the current time with a count of 0. A signal ends the sleep
// early; the window is restarted all the same. May sleep.
void mirvol_qos_sleep_nmp(struct nmp_info *nmp);
