// Wait queues and completions.
//
// A wait queue has sleep-on semantics: a wake-up wakes every sleeper queued on
// it at that moment (a wake-up with no sleeper is lost), and every sleep has a
// time-out in ticks. Callers re-check their condition in a loop.
#pragma once

#include "kerrno.h"
#include "sync.h"
#include "types.h"

struct wait_queue_entry;

// Plain storage like the kernel's: no allocation, nothing to destroy. The
// entries are the sleepers' own, on their stacks.
struct wait_queue_head {
  raw_lock_t lock;                // guards the sleeper list
  struct wait_queue_entry *head;  // sleepers queued now
  const char *name;
};
typedef struct wait_queue_head wait_queue_head_t;

void init_waitqueue_head(wait_queue_head_t *wq, const char *name = nullptr);

void wake_up(wait_queue_head_t *wq);                // every sleeper
void wake_up_interruptible(wait_queue_head_t *wq);  // every interruptible sleeper
int waitqueue_active(wait_queue_head_t *wq);

// Sleep on the queue until a wake-up, the ticks pass, or (interruptible) an
// unblocked signal arrives. Return the ticks left, 0 when the time ran out.
// The interruptible form returns -ERESTARTSYS at once when a signal is
// already pending.
long interruptible_sleep_on_timeout(wait_queue_head_t *wq, long ticks);
long sleep_on_timeout(wait_queue_head_t *wq, long ticks);

// Condition waits: the condition is re-checked after every wake-up, so no
// wake-up between the check and the sleep is lost. Return the ticks left (at
// least 1) when the condition held, 0 on time-out, -ERESTARTSYS on a signal
// (interruptible forms only).
typedef bool (*wait_cond_fn)(void *arg);
long wait_cond_timeout(wait_queue_head_t *wq, wait_cond_fn cond, void *arg, long ticks,
                       bool interruptible);

#define MAX_SCHEDULE_TIMEOUT ((long)(~0UL >> 1))

template <typename Cond>
static inline long wait_event_timeout_fn(wait_queue_head_t *wq, Cond cond, long ticks,
                                         bool interruptible) {
  return wait_cond_timeout(
      wq, [](void *a) -> bool { return (*static_cast<Cond *>(a))(); }, &cond, ticks,
      interruptible);
}
#define wait_event_timeout(wq, cond, ticks) \
  wait_event_timeout_fn(&(wq), [&]() -> bool { return (cond); }, (ticks), false)
#define wait_event_interruptible_timeout(wq, cond, ticks) \
  wait_event_timeout_fn(&(wq), [&]() -> bool { return (cond); }, (ticks), true)
#define wait_event_interruptible(wq, cond)                                              \
  ((int)(wait_event_timeout_fn(&(wq), [&]() -> bool { return (cond); }, MAX_SCHEDULE_TIMEOUT, \
                               true) < 0                                               \
             ? -ERESTARTSYS                                                            \
             : 0))

struct completion {
  unsigned int done;
  wait_queue_head_t wait;
};

void init_completion(struct completion *c);
void complete(struct completion *c);
void complete_all(struct completion *c);
void wait_for_completion(struct completion *c);
// Returns ticks left (>= 1) when completed, 0 on time-out.
unsigned long wait_for_completion_timeout(struct completion *c, unsigned long ticks);
bool completion_done(struct completion *c);
