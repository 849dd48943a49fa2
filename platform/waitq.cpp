// Spinlocks, wait queues, completions, semaphores and mutexes.

#include <new>

#include "kerrno.h"
#include "internal.h"
#include "sync.h"
#include "waitq.h"

static_assert(sizeof(std::mutex) <= sizeof(raw_lock_t::storage_), "raw_lock_t too small");
static_assert(alignof(std::mutex) <= 8, "raw_lock_t alignment");

static std::mutex *os_mutex(raw_lock_t *l) { return std::launder(reinterpret_cast<std::mutex *>(l->storage_)); }

void raw_lock_init(raw_lock_t *l) { new (l->storage_) std::mutex(); }
void raw_lock(raw_lock_t *l) { os_mutex(l)->lock(); }
void raw_unlock(raw_lock_t *l) { os_mutex(l)->unlock(); }

// --- spinlocks ---

void spin_lock_init(spinlock_t *l) { raw_lock_init(&l->raw); }

void spin_lock(spinlock_t *l) {
  raw_lock(&l->raw);
  atomic_context_enter();
}

void spin_unlock(spinlock_t *l) {
  atomic_context_exit();
  raw_unlock(&l->raw);
}

// --- sleeper lists (guarded by the owner's raw lock) ---

static void entry_link(struct wait_queue_entry **head, struct wait_queue_entry *e) {
  // Appended at the tail: FIFO order for semaphores.
  e->next = nullptr;
  e->prev = nullptr;
  if (!*head) {
    *head = e;
  } else {
    struct wait_queue_entry *p = *head;
    while (p->next) p = p->next;
    p->next = e;
    e->prev = p;
  }
  e->linked = true;
}

static void entry_unlink(struct wait_queue_entry **head, struct wait_queue_entry *e) {
  if (!e->linked) return;
  if (e->prev)
    e->prev->next = e->next;
  else
    *head = e->next;
  if (e->next) e->next->prev = e->prev;
  e->linked = false;
}

// The tasks that a wake-up marked, kicked after the waker has released the
// queue's lock: a task kicked while the lock is held wakes only to block on
// it again (to unlink its entry), which costs a second switch per wake-up.
// A reference keeps each task alive until its kick; a wake-up that marks
// more tasks than fit kicks the rest at once, as before.
struct wake_batch {
  static constexpr int kMax = 8;
  struct task_struct *tasks[kMax];
  int n = 0;

  // Kicks the collected tasks; call with no lock held.
  void kick() {
    for (int i = 0; i < n; i++) {
      tasks[i]->park_cv.notify_all();
      put_task_struct(tasks[i]);
    }
    n = 0;
  }
};

// Marks the entry woken and kicks its task (or leaves the kick to the
// batch). An entry still marked has not consumed its last wake-up: its task
// checks the mark under the park lock before it parks, so it needs no
// second kick.
static void entry_wake(struct wait_queue_entry *e, wake_batch *batch) {
  struct task_struct *t = e->task;
  {
    std::lock_guard<std::mutex> g(t->park_mu);
    if (e->woken) return;
    e->woken = true;
  }
  // The entry may be gone as soon as the queue's lock is released; its
  // task is not, while the batch holds a reference.
  if (batch && batch->n < wake_batch::kMax) {
    get_task_struct(t);
    batch->tasks[batch->n++] = t;
    return;
  }
  t->park_cv.notify_all();
}

// Marks every (interruptible, if asked) entry woken and kicks its task.
static void entries_wake_all(struct wait_queue_entry *head, bool only_interruptible,
                             wake_batch *batch = nullptr) {
  for (struct wait_queue_entry *e = head; e; e = e->next) {
    if (only_interruptible && !e->interruptible) continue;
    entry_wake(e, batch);
  }
}

static u64 deadline_of(long ticks) {
  u64 now = get_jiffies_64();
  if (ticks < 0) ticks = 0;
  if ((u64)ticks >= (~0ULL >> 2)) return ~0ULL;
  return now + (u64)ticks;
}

static long ticks_left(u64 deadline) {
  if (deadline == ~0ULL) return MAX_SCHEDULE_TIMEOUT;
  u64 now = get_jiffies_64();
  return now >= deadline ? 0 : (long)(deadline - now);
}

// --- wait queues ---

void init_waitqueue_head(wait_queue_head_t *wq, const char *name) {
  raw_lock_init(&wq->lock);
  wq->head = nullptr;
  wq->name = name;
}

void wake_up(wait_queue_head_t *wq) {
  wake_batch batch;
  raw_lock(&wq->lock);
  entries_wake_all(wq->head, false, &batch);
  raw_unlock(&wq->lock);
  batch.kick();
}

void wake_up_interruptible(wait_queue_head_t *wq) {
  wake_batch batch;
  raw_lock(&wq->lock);
  entries_wake_all(wq->head, true, &batch);
  raw_unlock(&wq->lock);
  batch.kick();
}

int waitqueue_active(wait_queue_head_t *wq) {
  raw_lock(&wq->lock);
  int r = wq->head != nullptr;
  raw_unlock(&wq->lock);
  return r;
}

static long sleep_on_common(wait_queue_head_t *wq, long ticks, bool interruptible) {
  might_sleep_check("sleep_on_timeout");
  struct task_struct *t = get_current();
  if (interruptible && signal_pending(t)) return -ERESTARTSYS;
  struct wait_queue_entry e = {t, false, interruptible, false, false, nullptr, nullptr};
  u64 deadline = deadline_of(ticks);
  raw_lock(&wq->lock);
  entry_link(&wq->head, &e);
  raw_unlock(&wq->lock);
  plat::park_until(
      t, [&] { return e.woken; }, deadline, interruptible);
  raw_lock(&wq->lock);
  entry_unlink(&wq->head, &e);
  raw_unlock(&wq->lock);
  return ticks_left(deadline);
}

long interruptible_sleep_on_timeout(wait_queue_head_t *wq, long ticks) {
  return sleep_on_common(wq, ticks, true);
}

long sleep_on_timeout(wait_queue_head_t *wq, long ticks) { return sleep_on_common(wq, ticks, false); }

long wait_cond_timeout(wait_queue_head_t *wq, wait_cond_fn cond, void *arg, long ticks,
                       bool interruptible) {
  if (cond(arg)) return ticks > 0 ? ticks : 1;
  might_sleep_check("wait_event");
  struct task_struct *t = get_current();
  u64 deadline = deadline_of(ticks);
  struct wait_queue_entry e = {t, false, interruptible, false, false, nullptr, nullptr};
  long result;
  for (;;) {
    // Queued before the check, so a wake-up after the check is not lost.
    // Only this task links or unlinks its entry, so it may read `linked`.
    if (!e.linked) {
      raw_lock(&wq->lock);
      entry_link(&wq->head, &e);
      raw_unlock(&wq->lock);
    }
    if (cond(arg)) {
      long left = ticks_left(deadline);
      result = left > 0 ? left : 1;
      break;
    }
    int r = plat::park_until(
        t, [&] { return e.woken; }, deadline, interruptible);
    {
      std::lock_guard<std::mutex> g(t->park_mu);
      e.woken = false;
    }
    if (r == 2) {
      result = -ERESTARTSYS;
      break;
    }
    if (r == 1) {
      result = cond(arg) ? 1 : 0;
      break;
    }
  }
  raw_lock(&wq->lock);
  entry_unlink(&wq->head, &e);
  raw_unlock(&wq->lock);
  return result;
}

// --- completions ---

void init_completion(struct completion *c) {
  c->done = 0;
  init_waitqueue_head(&c->wait, "completion");
}

void complete(struct completion *c) {
  wake_batch batch;
  raw_lock(&c->wait.lock);
  if (c->done != ~0U) c->done++;
  entries_wake_all(c->wait.head, false, &batch);
  raw_unlock(&c->wait.lock);
  batch.kick();
}

void complete_all(struct completion *c) {
  wake_batch batch;
  raw_lock(&c->wait.lock);
  c->done = ~0U;
  entries_wake_all(c->wait.head, false, &batch);
  raw_unlock(&c->wait.lock);
  batch.kick();
}

static bool completion_take(struct completion *c) {
  raw_lock(&c->wait.lock);
  bool ok = c->done > 0;
  if (ok && c->done != ~0U) c->done--;
  raw_unlock(&c->wait.lock);
  return ok;
}

static long completion_wait(struct completion *c, long ticks, bool interruptible) {
  return wait_event_timeout_fn(
      &c->wait, [c] { return completion_take(c); }, ticks, interruptible);
}

void wait_for_completion(struct completion *c) { completion_wait(c, MAX_SCHEDULE_TIMEOUT, false); }

unsigned long wait_for_completion_timeout(struct completion *c, unsigned long ticks) {
  long r = completion_wait(c, (long)ticks, false);
  return r > 0 ? (unsigned long)r : 0;
}

bool completion_done(struct completion *c) {
  raw_lock(&c->wait.lock);
  bool r = c->done > 0;
  raw_unlock(&c->wait.lock);
  return r;
}

// --- semaphores ---

void sema_init(struct semaphore *s, int count) {
  raw_lock_init(&s->lock);
  s->count = count;
  s->waiters = nullptr;
}

// 0 taken, -EINTR signal, -ETIME time-out.
//
// up() hands its unit straight to the first sleeper (unlinked and marked
// granted under the semaphore's lock) and counts it only when nobody sleeps.
// So a counted unit means an empty sleeper list: a caller that finds one
// passes over nobody, and a caller that finds none queues behind the
// sleepers already there.
static int down_common(struct semaphore *s, long ticks, bool interruptible) {
  might_sleep_check("down");
  raw_lock(&s->lock);
  if (s->count > 0) {
    s->count--;
    raw_unlock(&s->lock);
    return 0;
  }
  struct task_struct *t = get_current();
  struct wait_queue_entry e = {t, false, interruptible, false, false, nullptr, nullptr};
  u64 deadline = deadline_of(ticks);
  entry_link(&s->waiters, &e);
  int result;
  for (;;) {
    raw_unlock(&s->lock);
    int r = plat::park_until(
        t, [&] { return e.woken; }, deadline, interruptible);
    raw_lock(&s->lock);
    {
      std::lock_guard<std::mutex> g(t->park_mu);
      e.woken = false;
    }
    // A grant wins over a time-out or a signal that came with it: the unit
    // is already ours and up() has unlinked us.
    if (e.granted) {
      result = 0;
      break;
    }
    if (r == 2 || r == 1) {
      result = r == 2 ? -EINTR : -ETIME;
      entry_unlink(&s->waiters, &e);
      break;
    }
  }
  raw_unlock(&s->lock);
  return result;
}

void down(struct semaphore *s) { down_common(s, MAX_SCHEDULE_TIMEOUT, false); }
int down_interruptible(struct semaphore *s) { return down_common(s, MAX_SCHEDULE_TIMEOUT, true); }
int down_timeout(struct semaphore *s, long ticks) { return down_common(s, ticks, false); }

int down_trylock(struct semaphore *s) {
  raw_lock(&s->lock);
  int r = 1;
  if (s->count > 0) {
    s->count--;
    r = 0;
  }
  raw_unlock(&s->lock);
  return r;
}

void up(struct semaphore *s) {
  wake_batch batch;
  raw_lock(&s->lock);
  struct wait_queue_entry *e = s->waiters;
  if (e) {
    // The first sleeper in FIFO order gets the unit and is the only one
    // woken; the count stays as it is.
    entry_unlink(&s->waiters, e);
    e->granted = true;
    entry_wake(e, &batch);
  } else {
    s->count++;
  }
  raw_unlock(&s->lock);
  batch.kick();
}

// --- mutexes ---

void mutex_init(struct mutex *m) {
  sema_init(&m->sem, 1);
  m->owner = nullptr;
}

void mutex_lock(struct mutex *m) {
  down(&m->sem);
  m->owner = get_current();
}

void mutex_unlock(struct mutex *m) {
  m->owner = nullptr;
  up(&m->sem);
}
