// Platform internals shared between platform units. Not for driver code.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "task.h"
#include "jiffies.h"
#include "uaccess.h"

struct wait_queue_entry {
  struct task_struct *task;
  bool woken;         // set by a waker under the task's park lock
  bool interruptible;
  bool linked;        // on its queue's list (guarded by that queue's lock)
  bool granted;       // semaphores: up() gave this sleeper its unit (guarded by
                      // the semaphore's lock)
  struct wait_queue_entry *next, *prev;
};

struct task_struct {
  std::atomic<int> refs{1};
  pid_t_k pid = 0;
  char comm[TASK_COMM_LEN] = {};
  std::atomic<sigset_k> pending{0};
  std::atomic<sigset_k> blocked{0};

  // Parking: every sleep of this task waits on park_cv under park_mu; a
  // waker changes state under park_mu and notifies.
  std::mutex park_mu;
  std::condition_variable park_cv;
  u64 wake_gen = 0;  // bumped by wake_up_process()

  // Eventfd that a socket call polls beside its socket, written when a signal
  // is posted; created on first use (guarded by park_mu).
  int wake_fd = -1;

  // Kernel thread state (guarded by kt_mu).
  bool is_kthread = false;
  kthread_fn fn = nullptr;
  void *data = nullptr;
  std::mutex kt_mu;
  std::condition_variable kt_cv;
  bool go = false;       // released by wake_up_process (kthread_create)
  bool started = false;
  bool exited = false;
  bool joined = false;
  int result = 0;
  std::thread os_thread;

  // Only the task itself touches these.
  const struct user_context *uctx = nullptr;
};

namespace plat {

// Parks the current task until `done()` holds (checked under park_mu), the
// deadline in jiffies passes, or (interruptible) an unblocked signal is
// pending. Returns 0 done, 1 time-out, 2 signal.
template <typename Done>
int park_until(struct task_struct *t, Done done, u64 deadline, bool interruptible);

// Wakes the task's current park or socket poll so that it re-checks its
// state (a signal posted, an entry woken); the state is changed before.
void task_kick(struct task_struct *t);

// Wakes every task (manual clock advance).
void kick_all_tasks(void);

// Eventfd of the task for polls; created on demand. -1 if unavailable.
int task_wake_fd(struct task_struct *t);
// Drains the eventfd (after a poll woke on it).
void task_drain_wake_fd(struct task_struct *t);

// Real time to wait for `ticks`, capped so that clock changes are noticed.
std::chrono::nanoseconds real_wait_for_ticks(u64 ticks);

// Timer thread wake-up on clock change.
void timers_clock_changed(void);

int atomic_depth(void);

// Starts a thread held by kthread_create(); false when it was not held.
bool kthread_release_if_held(struct task_struct *t);

}  // namespace plat

template <typename Done>
int plat::park_until(struct task_struct *t, Done done, u64 deadline, bool interruptible) {
  std::unique_lock<std::mutex> lk(t->park_mu);
  for (;;) {
    if (done()) return 0;
    if (interruptible && signal_pending(t)) return 2;
    u64 now = get_jiffies_64();
    if (now >= deadline) return 1;
    t->park_cv.wait_for(lk, real_wait_for_ticks(deadline - now));
  }
}
