// Tasks: the signal observer, kernel thread accounting and creation
// failures.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "task.h"

// Tests: called with the target's pid and the signal each time a signal is
// posted, in the order they are posted (null: none).
void task_set_signal_observer(void (*observer)(pid_t_k pid, int sig));

// Joins every kernel thread that has left; returns how many are still running.
int kthread_reap(void);
int kthread_count_running(void);

// Tests: after `skip` more creations, fail the next `count` (count < 0: all;
// 0 clears).
void kthread_fault_inject(long skip, long count);
