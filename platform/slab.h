// Allocation. Every allocation may fail and returns null then; tests choose
// allocations to fail so that the driver's failure paths run.
#pragma once

#include "types.h"

typedef unsigned int gfp_t;
#define GFP_ATOMIC 0x1u  // never sleeps
#define GFP_KERNEL 0x2u  // may sleep
#define GFP_NOIO 0x4u
#define __GFP_ZERO 0x100u

void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *p);
void *vmalloc(size_t size);
void vfree(const void *p);

#define PAGE_SIZE 4096UL
#define PAGE_SHIFT 12

// A page is a 4096-byte buffer; page_address() gives its bytes. Pages come
// from a pool of pre-faulted pages that are reused and never given back to
// the system; a freed page keeps its old bytes (ask for __GFP_ZERO). Under
// the sanitizers each page is its own heap block instead, so that a use
// after __free_page() is caught.
struct page;
struct page *alloc_page(gfp_t flags);
void __free_page(struct page *p);
void *page_address(struct page *p);

// --- fault injection and accounting (tests) ---
// After `skip` more successful allocations, fail the next `count` (count < 0:
// all of them). When only_task is set, only allocations made by that task
// count and fail.
void alloc_fault_inject(long skip, long count, struct task_struct *only_task = nullptr);
void alloc_fault_clear(void);
long alloc_fault_failed(void);  // how many allocations the injection failed
// Allocations (kmalloc, vmalloc, pages) not yet freed.
long alloc_outstanding(void);
// Whether pages come from the pool (not under the sanitizers), and how many
// pages the pool holds in all, handed out or free.
bool page_pool_enabled(void);
long page_pool_reserved(void);
