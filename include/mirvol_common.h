// Records shared by every unit of the driver: queue heads, thread records.
#pragma once

#include "platform/kernel.h"

#define MIRVOL_MODULE_NAME "mirvol"

// A queue head's lock and wait queue: producers append under `lock` and wake
// `wq`; the serving thread sleeps on `wq` with a time-out.
struct sys_var {
  spinlock_t lock;
  wait_queue_head_t wq;
};

// One kernel thread of the driver. The thread sets the record when it starts
// and clears `running` when it ends; stoppers send SIGTERM and poll `running`.
struct nmp_thread_info {
  u32 running;  // read and written atomically: stoppers poll it without a lock
  s32 pid;
  struct pid *pid_handle;
};

// The driver's queues are doubly linked FIFOs of nodes with next and prev
// links, appended at the tail. Some keep a cursor that their users step
// through; when the node it points at leaves, it steps back to that node's
// predecessor. Callers hold the queue's lock.
template <typename T>
static inline void mirvol_fifo_append(T **head, T **tail, T *node) {
  node->next = nullptr;
  node->prev = *tail;
  if (*tail)
    (*tail)->next = node;
  else
    *head = node;
  *tail = node;
}

template <typename T>
static inline void mirvol_fifo_unlink(T **head, T **tail, T **cursor, T *node) {
  if (cursor && *cursor == node) *cursor = node->prev;
  if (node->prev)
    node->prev->next = node->next;
  else
    *head = node->next;
  if (node->next)
    node->next->prev = node->prev;
  else
    *tail = node->prev;
  node->next = node->prev = nullptr;
}

// Log levels at the start of every message format, and the class tags.
#define MIRVOL_ERR KERN_ERR "[E] <type: mirvol><event: %03d> "
#define MIRVOL_WARN KERN_INFO "[W] <type: mirvol><event: %03d> "
#define MIRVOL_INFO KERN_INFO "[I] <type: mirvol><event: %03d> "
