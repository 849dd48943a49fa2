// The platform clock: jiffies, the time scale, the manual test clock, the
// wall clock, and the sleeps that take no wait queue.

#include <time.h>

#include <chrono>

#include "internal.h"
#include "jiffies.h"
#include "timer.h"
#include "jiffies_host.h"

namespace {

using steady = std::chrono::steady_clock;

// jiffies = base_jiffies + (now - base_time) * HZ * scale. Changing the scale
// rebases, so jiffies never jump or go back. Guarded by clock_mu.
std::mutex clock_mu;
steady::time_point base_time = steady::now();
// Start well above zero so that "now - earlier" arithmetic of callers that
// treat 0 as "never" behaves as on a booted kernel.
u64 base_jiffies = 300ULL * HZ;
unsigned int scale = 1;
bool manual = false;
u64 manual_jiffies = 0;
std::atomic<s64> wall_override{0};

u64 jiffies_locked(steady::time_point now) {
  if (manual) return manual_jiffies;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - base_time).count();
  return base_jiffies + (u64)((unsigned __int128)ns * HZ * scale / 1000000000ULL);
}

}  // namespace

u64 get_jiffies_64(void) {
  std::lock_guard<std::mutex> g(clock_mu);
  return jiffies_locked(steady::now());
}

unsigned long msecs_to_jiffies(unsigned int ms) { return ((unsigned long)ms * HZ + 999) / 1000; }
unsigned int jiffies_to_msecs(unsigned long j) { return (unsigned int)(j * 1000 / HZ); }

s64 ktime_get_real_seconds(void) {
  s64 o = wall_override.load();
  if (o) return o;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

void clock_set_time_scale(unsigned int s) {
  if (s == 0) s = 1;
  {
    std::lock_guard<std::mutex> g(clock_mu);
    auto now = steady::now();
    base_jiffies = jiffies_locked(now);
    base_time = now;
    scale = s;
  }
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

unsigned int clock_time_scale(void) {
  std::lock_guard<std::mutex> g(clock_mu);
  return scale;
}

void clock_set_manual(u64 start) {
  {
    std::lock_guard<std::mutex> g(clock_mu);
    manual = true;
    manual_jiffies = start;
  }
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_advance(u64 ticks) {
  {
    std::lock_guard<std::mutex> g(clock_mu);
    manual_jiffies += ticks;
  }
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_set_automatic(void) {
  {
    std::lock_guard<std::mutex> g(clock_mu);
    if (manual) {
      base_jiffies = manual_jiffies;
      base_time = steady::now();
      manual = false;
    }
  }
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_set_wall_seconds(s64 seconds) { wall_override.store(seconds); }

// The real duration that `ticks` take under the time scale, in nanoseconds.
static u64 clock_ticks_to_real_ns(u64 ticks) {
  std::lock_guard<std::mutex> g(clock_mu);
  if (manual) return ~0ULL;
  unsigned __int128 ns = (unsigned __int128)ticks * 1000000000ULL / ((u64)HZ * scale);
  return ns > ~0ULL ? ~0ULL : (u64)ns;
}

namespace plat {

std::chrono::nanoseconds real_wait_for_ticks(u64 ticks) {
  // Capped so that a missed clock change costs at most this much; the manual
  // clock kicks every sleeper on each advance anyway.
  const u64 cap = 200000000ULL;
  u64 ns = clock_ticks_to_real_ns(ticks);
  if (ns > cap) ns = cap;
  if (ns == 0) ns = 1;
  return std::chrono::nanoseconds(ns);
}

}  // namespace plat

// --- sleeps without a wait queue ---

static u64 deadline_after(long ticks) {
  u64 now = get_jiffies_64();
  if (ticks < 0) ticks = 0;
  return now + (u64)ticks;
}

static long sleep_ticks(long ticks, bool interruptible) {
  might_sleep_check("schedule_timeout");
  struct task_struct *t = get_current();
  u64 deadline = deadline_after(ticks);
  u64 gen;
  {
    std::lock_guard<std::mutex> g(t->park_mu);
    gen = t->wake_gen;
  }
  // wake_up_process() bumps wake_gen; a signal ends only an interruptible
  // sleep; other kicks (clock changes) only re-check.
  int r = plat::park_until(
      t, [&] { return t->wake_gen != gen; }, deadline, interruptible);
  if (r == 1) return 0;
  u64 now = get_jiffies_64();
  return now >= deadline ? 0 : (long)(deadline - now);
}

long schedule_timeout_interruptible(long ticks) { return sleep_ticks(ticks, true); }
long schedule_timeout_uninterruptible(long ticks) { return sleep_ticks(ticks, false); }

void msleep(unsigned int ms) { sleep_ticks((long)msecs_to_jiffies(ms), false); }

unsigned long msleep_interruptible(unsigned int ms) {
  long left = sleep_ticks((long)msecs_to_jiffies(ms), true);
  return jiffies_to_msecs((unsigned long)left);
}

int wake_up_process(struct task_struct *t) {
  if (plat::kthread_release_if_held(t)) return 1;
  {
    std::lock_guard<std::mutex> g(t->park_mu);
    t->wake_gen++;
  }
  t->park_cv.notify_all();
  return 1;
}
