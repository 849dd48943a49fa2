// Allocation: fault injection and accounting.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "slab.h"

// After `skip` more successful allocations, fail the next `count` (count < 0:
// all of them). When only_task is set, only allocations made by that task
// count and fail.
void alloc_fault_inject(long skip, long count, struct task_struct *only_task = nullptr);
void alloc_fault_clear(void);
long alloc_fault_failed(void);  // how many allocations the injection failed
// Allocations (kmalloc, pages) not yet freed.
long alloc_outstanding(void);
// Whether pages come from the pool (not under the sanitizers), and how many
// pages the pool holds in all, handed out or free.
bool page_pool_enabled(void);
long page_pool_reserved(void);
