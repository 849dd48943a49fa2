// Kernel timers on one timer thread.

#include "timer.h"

#include <map>

#include "internal.h"

namespace {

// The timer base. `queue` orders pending timers by (expiry, arming order);
// `running` is the timer whose callback runs now (compared, never
// dereferenced, once its callback has started). All guarded by base_mu.
//
// The timer thread is woken only when it must act sooner than it planned:
// `sleep_until` is the expiry it sleeps towards (NO_SLEEP while it is awake
// and will look at the queue again before it sleeps, ~0 while the queue is
// empty). Arming a timer that expires before it notifies; any other change
// of the queue needs no wake-up, since the thread re-reads the queue when it
// wakes. Deleters waiting for a running callback are counted, so that a
// finished callback notifies only when someone waits.
std::mutex base_mu;
std::condition_variable base_cv;     // the timer thread waits here
std::condition_variable running_cv;  // deleters wait here for `running`
constexpr u64 NO_SLEEP = 0;
constexpr u64 SLEEP_FOREVER = ~0ULL;
u64 sleep_until = NO_SLEEP;
int deleters_waiting = 0;
std::map<std::pair<unsigned long, u64>, struct timer_list *> queue;
u64 next_seq = 1;
struct timer_list *running = nullptr;
struct task_struct *timer_task = nullptr;
std::thread timer_thread;
bool started = false;
bool stopping = false;

void timer_loop() {
  struct task_struct *self = get_current();
  set_task_comm(self, "ktimer");
  std::unique_lock<std::mutex> lk(base_mu);
  timer_task = self;
  while (!stopping) {
    if (queue.empty()) {
      sleep_until = SLEEP_FOREVER;
      base_cv.wait(lk);
      sleep_until = NO_SLEEP;
      continue;
    }
    auto it = queue.begin();
    u64 now = get_jiffies_64();
    unsigned long exp = it->first.first;
    if (time_after((unsigned long)exp, (unsigned long)now)) {
      // In jiffies of the 64-bit clock, as armers compare them.
      sleep_until = now + ((unsigned long)exp - (unsigned long)now);
      base_cv.wait_for(lk, plat::real_wait_for_ticks((unsigned long)exp - (unsigned long)now));
      sleep_until = NO_SLEEP;
      continue;
    }
    struct timer_list *t = it->second;
    queue.erase(it);
    t->pending_ = 0;
    running = t;
    void (*fn)(struct timer_list *) = t->function;
    void (*legacy)(unsigned long) = t->legacy_function;
    unsigned long data = t->data;
    lk.unlock();
    // From here on the record belongs to the callback.
    atomic_context_enter();
    if (fn)
      fn(t);
    else if (legacy)
      legacy(data);
    atomic_context_exit();
    lk.lock();
    running = nullptr;
    if (deleters_waiting) running_cv.notify_all();
  }
}

void ensure_started_locked() {
  if (started) return;
  started = true;
  timer_thread = std::thread(timer_loop);
}

void enqueue_locked(struct timer_list *t, unsigned long expires) {
  if (t->pending_) queue.erase({t->queued_expires_, t->seq_});
  t->expires = expires;
  t->queued_expires_ = expires;
  t->seq_ = next_seq++;
  t->pending_ = 1;
  queue[{expires, t->seq_}] = t;
  ensure_started_locked();
  // Only a timer that expires before the thread means to wake needs it now.
  if (sleep_until != NO_SLEEP) {
    u64 now = get_jiffies_64();
    u64 at = time_after(expires, (unsigned long)now) ? now + (expires - (unsigned long)now) : now;
    if (at < sleep_until) base_cv.notify_all();
  }
}

int dequeue_locked(struct timer_list *t) {
  if (!t->pending_) return 0;
  queue.erase({t->queued_expires_, t->seq_});
  t->pending_ = 0;
  return 1;
}

}  // namespace

void timers_shutdown(void);

namespace {
// Declared after the base's statics, so it runs before they are destroyed.
struct stop_timer_thread_at_exit {
  ~stop_timer_thread_at_exit() { timers_shutdown(); }
} stop_at_exit;
}  // namespace

void init_timer(struct timer_list *t) {
  t->expires = 0;
  t->function = nullptr;
  t->legacy_function = nullptr;
  t->data = 0;
  t->queued_expires_ = 0;
  t->seq_ = 0;
  t->pending_ = 0;
}

void setup_timer(struct timer_list *t, void (*fn)(unsigned long), unsigned long data) {
  init_timer(t);
  t->legacy_function = fn;
  t->data = data;
}

void timer_setup(struct timer_list *t, void (*fn)(struct timer_list *), unsigned int flags) {
  (void)flags;
  init_timer(t);
  t->function = fn;
}

void add_timer(struct timer_list *t) {
  std::lock_guard<std::mutex> g(base_mu);
  enqueue_locked(t, t->expires);
}

int mod_timer(struct timer_list *t, unsigned long expires) {
  std::lock_guard<std::mutex> g(base_mu);
  int was = t->pending_;
  // Re-arming a pending timer at the expiry it has changes nothing.
  if (was && t->queued_expires_ == expires) return 1;
  enqueue_locked(t, expires);
  return was;
}

int del_timer_sync(struct timer_list *t) {
  std::unique_lock<std::mutex> lk(base_mu);
  int was = dequeue_locked(t);
  // Wait for a callback of this timer that already runs, unless we are it.
  if (get_current() != timer_task && running == t) {
    deleters_waiting++;
    running_cv.wait(lk, [t] { return running != t; });
    deleters_waiting--;
  }
  return was;
}

int del_timer(struct timer_list *t) { return del_timer_sync(t); }

int timer_pending(const struct timer_list *t) {
  std::lock_guard<std::mutex> g(base_mu);
  return t->pending_;
}

void timers_shutdown(void) {
  {
    std::lock_guard<std::mutex> g(base_mu);
    if (!started) return;
    stopping = true;
    base_cv.notify_all();
  }
  timer_thread.join();
  std::lock_guard<std::mutex> g(base_mu);
  started = false;
  stopping = false;
  timer_task = nullptr;
}

namespace plat {
void timers_clock_changed(void) {
  std::lock_guard<std::mutex> g(base_mu);
  base_cv.notify_all();
}
}  // namespace plat
