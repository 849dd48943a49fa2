// The platform clock: jiffies at HZ, sleeps in ticks, wall-clock seconds.
//
// jiffies advance with the monotonic clock multiplied by a time scale (a host
// run with --time-scale N sees every one-second loop go N times faster).
// Tests may instead drive the clock by hand. Wall-clock seconds, the unit of
// every time written to disk, come from their own source.
#pragma once

#include "types.h"

#define HZ 250

u64 get_jiffies_64(void);
static inline unsigned long jiffies_now(void) { return (unsigned long)get_jiffies_64(); }

#define time_after(a, b) ((long)((b) - (a)) < 0)

unsigned long msecs_to_jiffies(unsigned int ms);
unsigned int jiffies_to_msecs(unsigned long j);

// Wall-clock seconds since the epoch.
s64 ktime_get_real_seconds(void);

// Sleeps (not interruptibly) / interruptibly. The interruptible one returns
// the remaining milliseconds when a signal ends it early.
void msleep(unsigned int ms);
unsigned long msleep_interruptible(unsigned int ms);
// Sleeps for the ticks; returns the ticks left when woken early (by a signal
// or wake_up_process()), else 0.
long schedule_timeout_interruptible(long ticks);
long schedule_timeout_uninterruptible(long ticks);
// Ends the task's current schedule_timeout sleep early; starts a thread
// that kthread_create() holds.
int wake_up_process(struct task_struct *t);
