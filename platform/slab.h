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
void kfree(const void *p);

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
