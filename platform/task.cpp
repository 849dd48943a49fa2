// Tasks, signals, kernel threads and atomic context.

#include "task.h"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>

#include "internal.h"
#include "printk.h"
#include "task_host.h"

namespace {

// Every live task by pid (for find_get_pid) and every kernel thread not yet
// joined. Guarded by registry_mu. The registry holds no reference of its
// own in `by_pid`; a task leaves it before its last reference is dropped.
// Never destroyed: threads of the platform (I/O workers, the timer thread)
// may still become tasks while the process exits.
std::mutex &registry_mu = *new std::mutex;
std::map<pid_t_k, struct task_struct *> &by_pid = *new std::map<pid_t_k, struct task_struct *>;
std::list<struct task_struct *> &kthreads = *new std::list<struct task_struct *>;  // each holds one reference

thread_local struct task_struct *tls_current = nullptr;
thread_local int tls_atomic_depth = 0;

void registry_add(struct task_struct *t) {
  std::lock_guard<std::mutex> g(registry_mu);
  by_pid[t->pid] = t;
}

void registry_remove(struct task_struct *t) {
  std::lock_guard<std::mutex> g(registry_mu);
  auto it = by_pid.find(t->pid);
  if (it != by_pid.end() && it->second == t) by_pid.erase(it);
}

pid_t_k os_tid() { return (pid_t_k)syscall(SYS_gettid); }

void apply_os_name(struct task_struct *t) {
  // The OS thread name shows in /proc/PID/task/TID/comm.
  pthread_setname_np(pthread_self(), t->comm);
}

// Outside threads get a task on first use; it is dropped when they end,
// by the destructor of a thread-specific key. Not by a thread_local object
// with a destructor: that destructor is entered in a list on the heap, and a
// thread that first becomes a task while it already ends (from another
// destructor) has its entry never run and never freed. A key's value lives
// in the thread itself, and the key's destructor runs again for a value set
// while the thread's destructors run.
pthread_key_t adopted_key;
pthread_once_t adopted_key_once = PTHREAD_ONCE_INIT;

void drop_adopted_task(void *p) {
  auto *t = static_cast<struct task_struct *>(p);
  registry_remove(t);
  if (tls_current == t) tls_current = nullptr;
  put_task_struct(t);
}

void make_adopted_key() {
  if (pthread_key_create(&adopted_key, drop_adopted_task) != 0) {
    fprintf(stderr, "task: cannot create the key of adopted tasks\n");
    abort();
  }
}

}  // namespace

struct task_struct *get_current(void) {
  if (tls_current) return tls_current;
  auto *t = new task_struct();
  t->pid = os_tid();
  char name[TASK_COMM_LEN] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  memcpy(t->comm, name, sizeof(name));
  t->comm[TASK_COMM_LEN - 1] = 0;
  tls_current = t;
  registry_add(t);
  pthread_once(&adopted_key_once, make_adopted_key);
  if (pthread_setspecific(adopted_key, t) != 0) {
    fprintf(stderr, "task: cannot keep the task of an outside thread\n");
    abort();
  }
  return t;
}

pid_t_k task_pid_nr(struct task_struct *t) { return t->pid; }
const char *task_comm(struct task_struct *t) { return t->comm; }

void set_task_comm(struct task_struct *t, const char *name) {
  snprintf(t->comm, sizeof(t->comm), "%s", name);
  if (t == tls_current) apply_os_name(t);
}

void get_task_struct(struct task_struct *t) { t->refs.fetch_add(1, std::memory_order_relaxed); }

void put_task_struct(struct task_struct *t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (t->wake_fd >= 0) close(t->wake_fd);
  delete t;
}

// struct pid is a counted reference to the task itself.
struct pid *find_get_pid(pid_t_k nr) {
  std::lock_guard<std::mutex> g(registry_mu);
  auto it = by_pid.find(nr);
  if (it == by_pid.end()) return nullptr;
  get_task_struct(it->second);
  return reinterpret_cast<struct pid *>(it->second);
}

struct pid *get_task_pid(struct task_struct *t) {
  get_task_struct(t);
  return reinterpret_cast<struct pid *>(t);
}

void put_pid(struct pid *p) {
  if (p) put_task_struct(reinterpret_cast<struct task_struct *>(p));
}

struct task_struct *pid_task(struct pid *p) {
  if (!p) return nullptr;
  auto *t = reinterpret_cast<struct task_struct *>(p);
  std::lock_guard<std::mutex> g(t->kt_mu);
  return (t->is_kthread && t->exited) ? nullptr : t;
}

// --- signals ---

namespace plat {

void task_kick(struct task_struct *t) {
  int fd;
  {
    std::lock_guard<std::mutex> g(t->park_mu);
    fd = t->wake_fd;
  }
  t->park_cv.notify_all();
  if (fd >= 0) {
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof(one));
    (void)r;
  }
}

void kick_all_tasks(void) {
  std::lock_guard<std::mutex> g(registry_mu);
  for (auto &kv : by_pid) {
    // Taking the park lock orders the notify after a sleeper's check.
    { std::lock_guard<std::mutex> pg(kv.second->park_mu); }
    kv.second->park_cv.notify_all();
  }
}

int task_wake_fd(struct task_struct *t) {
  std::lock_guard<std::mutex> g(t->park_mu);
  if (t->wake_fd < 0) t->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return t->wake_fd;
}

void task_drain_wake_fd(struct task_struct *t) {
  int fd;
  {
    std::lock_guard<std::mutex> g(t->park_mu);
    fd = t->wake_fd;
  }
  if (fd < 0) return;
  uint64_t v;
  while (read(fd, &v, sizeof(v)) == (ssize_t)sizeof(v)) {
  }
}

int atomic_depth(void) { return tls_atomic_depth; }

}  // namespace plat

static bool valid_sig(int sig) { return sig >= 1 && sig <= KSIG_MAX; }

static std::atomic<void (*)(pid_t_k, int)> g_signal_observer{nullptr};

void task_set_signal_observer(void (*observer)(pid_t_k pid, int sig)) {
  g_signal_observer.store(observer);
}

int send_sig(int sig, struct task_struct *t, int priv) {
  (void)priv;
  if (!t || !valid_sig(sig)) return -EINVAL;
  if (void (*observer)(pid_t_k, int) = g_signal_observer.load()) observer(task_pid_nr(t), sig);
  t->pending.fetch_or(sigmask_k(sig));
  if (!(t->blocked.load() & sigmask_k(sig))) plat::task_kick(t);
  return 0;
}

int kill_pid(struct pid *p, int sig, int priv) {
  struct task_struct *t = pid_task(p);
  if (!t) return -ESRCH;
  return send_sig(sig, t, priv);
}

int signal_pending(struct task_struct *t) {
  return (t->pending.load() & ~t->blocked.load()) != 0;
}

int sigismember_pending(struct task_struct *t, int sig) {
  return valid_sig(sig) && (t->pending.load() & sigmask_k(sig)) != 0;
}

void clear_pending_signal(struct task_struct *t, int sig) {
  if (valid_sig(sig)) t->pending.fetch_and(~sigmask_k(sig));
}

void flush_signals(struct task_struct *t) { t->pending.store(0); }

sigset_k task_blocked(struct task_struct *t) { return t->blocked.load(); }

sigset_k set_current_blocked(sigset_k blocked) {
  struct task_struct *t = get_current();
  sigset_k old = t->blocked.exchange(blocked);
  // A pending signal that is now unblocked must take effect as if just posted.
  if (t->pending.load() & old & ~blocked) plat::task_kick(t);
  return old;
}

void allow_signal(int sig) {
  if (valid_sig(sig)) set_current_blocked(task_blocked(get_current()) & ~sigmask_k(sig));
}

// --- kernel threads ---

// Thread-creation failures chosen by tests, guarded by kfault_mu.
static std::mutex kfault_mu;
static long kfault_skip, kfault_count;

void kthread_fault_inject(long skip, long count) {
  std::lock_guard<std::mutex> g(kfault_mu);
  kfault_skip = skip;
  kfault_count = count;
}

static bool kthread_should_fail() {
  std::lock_guard<std::mutex> g(kfault_mu);
  if (kfault_count == 0) return false;
  if (kfault_skip > 0) {
    kfault_skip--;
    return false;
  }
  if (kfault_count > 0) kfault_count--;
  return true;
}

static void kthread_trampoline(struct task_struct *t) {
  tls_current = t;
  t->pid = os_tid();
  apply_os_name(t);
  registry_add(t);
  {
    std::unique_lock<std::mutex> lk(t->kt_mu);
    t->started = true;
    t->kt_cv.notify_all();
    t->kt_cv.wait(lk, [t] { return t->go; });
  }

  int r = t->fn(t->data);

  registry_remove(t);
  tls_current = nullptr;
  {
    std::lock_guard<std::mutex> g(t->kt_mu);
    t->result = r;
    t->exited = true;
  }
  t->kt_cv.notify_all();
}

struct task_struct *kthread_create(kthread_fn fn, void *data, const char *name) {
  might_sleep_check("kthread_create");
  kthread_reap();
  if (kthread_should_fail()) return nullptr;
  auto *t = new (std::nothrow) task_struct();
  if (!t) return nullptr;
  t->is_kthread = true;
  t->pid = 0;
  t->fn = fn;
  t->data = data;
  snprintf(t->comm, sizeof(t->comm), "%s", name ? name : "kthread");
  t->blocked.store(~0ULL);  // kernel threads start with every signal ignored
  get_task_struct(t);       // the reference the kthread list holds
  try {
    t->os_thread = std::thread(kthread_trampoline, t);
  } catch (...) {
    delete t;
    return nullptr;
  }
  {
    // The thread has its pid once it runs; it then waits for the go.
    std::unique_lock<std::mutex> lk(t->kt_mu);
    t->kt_cv.wait(lk, [t] { return t->started; });
  }
  {
    std::lock_guard<std::mutex> g(registry_mu);
    kthreads.push_back(t);
  }
  put_task_struct(t);  // the creator's; the list's reference remains
  return t;
}

// Releases a thread made by kthread_create; true when it was held.
static bool kthread_release(struct task_struct *t) {
  std::lock_guard<std::mutex> g(t->kt_mu);
  if (!t->is_kthread || t->go) return false;
  t->go = true;
  t->kt_cv.notify_all();
  return true;
}

bool plat::kthread_release_if_held(struct task_struct *t) { return kthread_release(t); }

struct task_struct *kthread_run(kthread_fn fn, void *data, const char *name) {
  struct task_struct *t = kthread_create(fn, data, name);
  if (t) kthread_release(t);
  return t;
}

// Joins the OS thread once; true when this call did the join.
static bool join_once(struct task_struct *t) {
  std::unique_lock<std::mutex> lk(t->kt_mu);
  t->kt_cv.wait(lk, [t] { return t->exited; });
  if (t->joined) return false;
  t->joined = true;
  lk.unlock();
  t->os_thread.join();
  return true;
}

int kthread_join(struct task_struct *t) {
  get_task_struct(t);
  join_once(t);
  int r = t->result;
  bool dropped = false;
  {
    std::lock_guard<std::mutex> g(registry_mu);
    for (auto it = kthreads.begin(); it != kthreads.end(); ++it)
      if (*it == t) {
        kthreads.erase(it);
        dropped = true;
        break;
      }
  }
  if (dropped) put_task_struct(t);
  put_task_struct(t);
  return r;
}

int kthread_join_pid(struct pid *p) {
  auto *t = reinterpret_cast<struct task_struct *>(p);
  if (!t || !t->is_kthread) return 0;
  kthread_release(t);  // a thread never woken could not leave otherwise
  return kthread_join(t);
}

int kthread_reap(void) {
  std::list<struct task_struct *> done;
  int running = 0;
  {
    std::lock_guard<std::mutex> g(registry_mu);
    for (auto it = kthreads.begin(); it != kthreads.end();) {
      struct task_struct *t = *it;
      bool exited;
      {
        std::lock_guard<std::mutex> kg(t->kt_mu);
        exited = t->exited;
      }
      if (exited) {
        done.push_back(t);
        it = kthreads.erase(it);
      } else {
        running++;
        ++it;
      }
    }
  }
  for (auto *t : done) {
    join_once(t);
    put_task_struct(t);
  }
  return running;
}

int kthread_count_running(void) {
  std::lock_guard<std::mutex> g(registry_mu);
  int n = 0;
  for (auto *t : kthreads) {
    std::lock_guard<std::mutex> kg(t->kt_mu);
    if (!t->exited) n++;
  }
  return n;
}

// --- atomic context ---

void atomic_context_enter(void) { tls_atomic_depth++; }
void atomic_context_exit(void) { tls_atomic_depth--; }
int in_atomic(void) { return tls_atomic_depth > 0; }

void might_sleep_check(const char *what) {
#ifdef MIRVOL_ATOMIC_CHECKS
  if (tls_atomic_depth > 0) {
    fprintf(stderr, "BUG: sleeping function called from atomic context: %s (task %s)\n", what,
            tls_current ? tls_current->comm : "?");
    abort();
  }
#else
  (void)what;
#endif
}

void cond_resched(void) { sched_yield(); }

void flush_scheduled_work(void) { might_sleep_check("flush_scheduled_work"); }
