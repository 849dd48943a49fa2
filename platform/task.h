// Tasks, signals, kernel threads and atomic context.
//
// Every OS thread that runs driver code is a task: threads made by
// kthread_run(), the timer thread, block-I/O completion workers, and any
// outside thread (a test's main thread, a FUSE worker) the first time it calls
// get_current(). Signals are platform state, not POSIX signals; only their
// effect on the platform's sleeps and socket calls matters.
#pragma once

#include "types.h"

#define TASK_COMM_LEN 16

#define SIGKILL 9
#define SIGTERM 15
#define SIGXCPU 24  // the driver's watchdog signal: "signal 24"
#define KSIG_MAX 64

typedef u64 sigset_k;  // bit (sig - 1) per signal
static inline sigset_k sigmask_k(int sig) { return 1ULL << (sig - 1); }

struct task_struct;
// A counted reference to a task that keeps it valid after it has exited (the
// kernel's struct pid); get with find_get_pid(), drop with put_pid().
struct pid;

struct task_struct *get_current(void);
pid_t_k task_pid_nr(struct task_struct *t);
const char *task_comm(struct task_struct *t);  // at most 15 characters
// Renames the task and its OS thread; longer names are cut to 15 characters.
void set_task_comm(struct task_struct *t, const char *name);

void get_task_struct(struct task_struct *t);
void put_task_struct(struct task_struct *t);

struct pid *find_get_pid(pid_t_k nr);  // null when no task has that pid
struct pid *get_task_pid(struct task_struct *t);
void put_pid(struct pid *p);
struct task_struct *pid_task(struct pid *p);  // null once the task has exited

// Posting a signal: it becomes pending; unless the task blocks it, the task
// is woken out of an interruptible sleep or a blocking socket call.
int send_sig(int sig, struct task_struct *t, int priv);
int kill_pid(struct pid *p, int sig, int priv);  // -ESRCH if exited

int signal_pending(struct task_struct *t);  // an unblocked signal is pending
int sigismember_pending(struct task_struct *t, int sig);
void clear_pending_signal(struct task_struct *t, int sig);
void flush_signals(struct task_struct *t);
sigset_k task_blocked(struct task_struct *t);
// Sets the current task's blocked mask; returns the old one. A signal that
// becomes unblocked while pending wakes the task as if posted now.
sigset_k set_current_blocked(sigset_k blocked);
// The kernel's allow_signal(): kernel threads start with every signal
// blocked and allow the ones they handle.
void allow_signal(int sig);

// Kernel threads. The new task starts with every signal blocked, like a
// kernel thread. kthread_run() returns only after the thread runs and can be
// signalled, or null when it cannot be created. The platform keeps the OS
// thread's handle and joins it after the thread function has returned.
typedef int (*kthread_fn)(void *data);
struct task_struct *kthread_run(kthread_fn fn, void *data, const char *name);
// Creates the thread but holds it before `fn` until wake_up_process(): its
// pid and pid handle can be recorded, and signals posted to it, before it
// runs a line of the driver. Null when it cannot be created.
struct task_struct *kthread_create(kthread_fn fn, void *data, const char *name);
// Waits until the task's thread function has returned and its OS thread has
// been joined. Returns its result. Must not be called by the task itself.
int kthread_join(struct task_struct *t);
// The same through a pid handle; 0 at once for a task that is no kernel
// thread.
int kthread_join_pid(struct pid *p);

// Atomic context: a spinlock held, a timer callback, a bio completion. A
// sleeping call made in atomic context aborts in debug builds.
void atomic_context_enter(void);
void atomic_context_exit(void);
int in_atomic(void);
void might_sleep_check(const char *what);

// Gives up the CPU (no sleep semantics).
void cond_resched(void);

// The system workqueue. Nothing in this platform queues work on it, so a
// flush has nothing to wait for and returns at once.
void flush_scheduled_work(void);
