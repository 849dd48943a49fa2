// Spinlocks, semaphores and mutexes.
//
// Every lock is plain storage set up by its init call, so it can live inside
// records that driver code allocates with kmalloc() and frees with kfree();
// none needs a destroy call.
//
// A spinlock is a short lock during which nothing may sleep: holding one puts
// the task in atomic context, and a sleeping call made then aborts in debug
// builds. Interrupts do not exist here; the irqsave forms keep their shape.
#pragma once

#include "types.h"

// Storage for an OS mutex (the platform places one in it on init).
struct raw_lock_t {
  alignas(8) unsigned char storage_[40];
};
void raw_lock_init(raw_lock_t *l);
void raw_lock(raw_lock_t *l);
void raw_unlock(raw_lock_t *l);

typedef struct spinlock {
  raw_lock_t raw;
} spinlock_t;

void spin_lock_init(spinlock_t *l);
void spin_lock(spinlock_t *l);
void spin_unlock(spinlock_t *l);
#define spin_lock_irqsave(l, flags) \
  do {                              \
    (flags) = 0;                    \
    spin_lock(l);                   \
  } while (0)
#define spin_unlock_irqrestore(l, flags) \
  do {                                   \
    (void)(flags);                       \
    spin_unlock(l);                      \
  } while (0)

// Counting semaphore; down() sleeps uninterruptibly.
struct semaphore {
  raw_lock_t lock;  // guards count and the sleeper list
  int count;
  struct wait_queue_entry *waiters;
};
void sema_init(struct semaphore *s, int count);
void down(struct semaphore *s);
int down_interruptible(struct semaphore *s);  // 0, or -EINTR on a signal
int down_trylock(struct semaphore *s);        // 0 when taken, 1 when not
// Returns 0 when taken, -ETIME when the ticks passed.
int down_timeout(struct semaphore *s, long ticks);
void up(struct semaphore *s);

// A sleeping lock with an owner.
struct mutex {
  struct semaphore sem;
  struct task_struct *owner;
};
void mutex_init(struct mutex *m);
void mutex_lock(struct mutex *m);
void mutex_unlock(struct mutex *m);
