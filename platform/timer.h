// Kernel timers.
//
// Callbacks run in timer context (atomic) on the platform's timer thread, in
// expiry order. del_timer() and del_timer_sync() both wait for a callback of
// that timer that is already running, unless called from that callback; once
// a callback has started, the timer machinery never touches the timer record
// again, so the callback may free it and the owner may free it right after a
// delete.
#pragma once

#include "types.h"

struct timer_list {
  unsigned long expires;                      // jiffies
  void (*function)(struct timer_list *t);     // the callback
  void (*legacy_function)(unsigned long data);  // old-style callback with data
  unsigned long data;
  // platform state, guarded by the timer base lock
  unsigned long queued_expires_;  // expiry it is queued under
  u64 seq_;                       // queue order among equal expiries
  int pending_;                   // queued and not yet started
};

// Old style: function(data).
void init_timer(struct timer_list *t);
void setup_timer(struct timer_list *t, void (*fn)(unsigned long), unsigned long data);
// New style: fn(timer), with from_timer()/container_of to find the owner.
void timer_setup(struct timer_list *t, void (*fn)(struct timer_list *), unsigned int flags);

void add_timer(struct timer_list *t);            // start at t->expires
int mod_timer(struct timer_list *t, unsigned long expires);  // 1 if it was pending
int del_timer(struct timer_list *t);             // 1 if it was pending
int del_timer_sync(struct timer_list *t);
int timer_pending(const struct timer_list *t);

// The timer thread is a task; stopping it is for process exit only.
void timers_shutdown(void);

#define container_of(ptr, type, member) \
  ((type *)((char *)(ptr) - __builtin_offsetof(type, member)))
#define from_timer(var, timer, field) container_of(timer, __typeof__(*var), field)
