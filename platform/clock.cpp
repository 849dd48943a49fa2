// The platform clock: jiffies, the time scale, the manual test clock, the
// wall clock, and the sleeps that take no wait queue.

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <type_traits>

#include "internal.h"
#include "jiffies.h"
#include "timer.h"
#include "jiffies_host.h"

namespace {

using steady = std::chrono::steady_clock;

// jiffies = base_jiffies + (now - base_time) * HZ * scale. Changing the scale
// rebases, so jiffies never jump or go back.
//
// Writers (the scale, the manual clock) hold clock_mu and publish through a
// sequence count that is odd while they change the fields; readers take no
// lock: they read the fields between two reads of an even, unchanged count
// and retry otherwise. Jiffies are read several times on every request, by
// every thread, so a global mutex there would be one of the most contended
// locks of the system.
std::mutex clock_mu;
std::atomic<u64> clock_seq{0};
std::atomic<s64> base_time_ns{steady::now().time_since_epoch().count()};
// Start well above zero so that "now - earlier" arithmetic of callers that
// treat 0 as "never" behaves as on a booted kernel.
std::atomic<u64> base_jiffies{300ULL * HZ};
std::atomic<unsigned int> scale{1};
std::atomic<bool> manual{false};
std::atomic<u64> manual_jiffies{0};
std::atomic<s64> wall_override{0};

static_assert(std::is_same<steady::duration, std::chrono::nanoseconds>::value,
              "the clock's base is kept in nanoseconds");

struct clock_state {
  s64 base_ns;
  u64 base_jiffies;
  unsigned int scale;
  bool manual;
  u64 manual_jiffies;
};

s64 now_ns() { return steady::now().time_since_epoch().count(); }

// The fields as they stand: consistent only under clock_mu or inside an
// unchanged even sequence count. Acquire loads, so that the sequence count
// read after them is read after them.
clock_state load_fields() {
  return {base_time_ns.load(std::memory_order_acquire), base_jiffies.load(std::memory_order_acquire),
          scale.load(std::memory_order_acquire), manual.load(std::memory_order_acquire),
          manual_jiffies.load(std::memory_order_acquire)};
}

// The fields, and (when `now` is given) the steady time read inside the same
// unchanged sequence count: a "now" taken after a rebase is never combined
// with the base from before it, so jiffies never go back for any reader.
// A field stored after the count turned odd is stored with release order,
// so a reader that loads it also sees the odd (or a later) count.
clock_state read_state(s64 *now = nullptr) {
  for (;;) {
    u64 seq = clock_seq.load(std::memory_order_acquire);
    if (seq & 1) {
      std::this_thread::yield();
      continue;
    }
    clock_state c = load_fields();
    if (now) *now = now_ns();
    if (clock_seq.load(std::memory_order_relaxed) == seq) return c;
  }
}

// Changes the fields under clock_mu, inside an odd sequence count; `change`
// stores every field with release order.
template <typename F>
void write_state(F change) {
  std::lock_guard<std::mutex> g(clock_mu);
  clock_seq.fetch_add(1, std::memory_order_relaxed);
  change();
  clock_seq.fetch_add(1, std::memory_order_release);
}

u64 jiffies_of(const clock_state &c, s64 now_ns) {
  if (c.manual) return c.manual_jiffies;
  s64 ns = now_ns - c.base_ns;
  if (ns < 0) ns = 0;
  return c.base_jiffies + (u64)((unsigned __int128)ns * HZ * c.scale / 1000000000ULL);
}

}  // namespace

u64 get_jiffies_64(void) {
  s64 now;
  clock_state c = read_state(&now);
  return jiffies_of(c, now);
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
  write_state([s] {
    s64 now = now_ns();
    base_jiffies.store(jiffies_of(load_fields(), now), std::memory_order_release);
    base_time_ns.store(now, std::memory_order_release);
    scale.store(s, std::memory_order_release);
  });
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

unsigned int clock_time_scale(void) { return read_state().scale; }

void clock_set_manual(u64 start) {
  write_state([start] {
    manual.store(true, std::memory_order_release);
    manual_jiffies.store(start, std::memory_order_release);
  });
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_advance(u64 ticks) {
  write_state([ticks] {
    manual_jiffies.store(manual_jiffies.load(std::memory_order_relaxed) + ticks,
                         std::memory_order_release);
  });
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_set_automatic(void) {
  write_state([] {
    if (manual.load(std::memory_order_relaxed)) {
      base_jiffies.store(manual_jiffies.load(std::memory_order_relaxed), std::memory_order_release);
      base_time_ns.store(now_ns(), std::memory_order_release);
      manual.store(false, std::memory_order_release);
    }
  });
  plat::kick_all_tasks();
  plat::timers_clock_changed();
}

void clock_set_wall_seconds(s64 seconds) { wall_override.store(seconds); }

// The real duration that `ticks` take under the time scale, in nanoseconds.
static u64 clock_ticks_to_real_ns(u64 ticks) {
  clock_state c = read_state();
  if (c.manual) return ~0ULL;
  unsigned __int128 ns = (unsigned __int128)ticks * 1000000000ULL / ((u64)HZ * c.scale);
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
