// Clock control: the time scale, the manual test clock and the wall clock.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "jiffies.h"

void clock_set_time_scale(unsigned int scale);  // 1 = real time
unsigned int clock_time_scale(void);
// Manual mode: jiffies stand still until clock_advance(); every sleeper and
// timer is re-evaluated on each advance.
void clock_set_manual(u64 start_jiffies);
void clock_advance(u64 ticks);
void clock_set_automatic(void);
// Wall clock override: seconds reported from now on (0 = the real clock).
void clock_set_wall_seconds(s64 seconds);
