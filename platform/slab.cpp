// Allocation with failure injection and accounting.

#include "slab.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"

namespace {

std::atomic<long> outstanding{0};

// Fault injection, guarded by fault_mu; `armed` lets the common path skip it.
std::atomic<bool> armed{false};
std::mutex fault_mu;
long fault_skip = 0;
long fault_count = 0;
struct task_struct *fault_task = nullptr;
std::atomic<long> fault_failed{0};

bool should_fail() {
  if (!armed.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> g(fault_mu);
  if (fault_task && fault_task != get_current()) return false;
  if (fault_skip > 0) {
    fault_skip--;
    return false;
  }
  if (fault_count == 0) return false;
  if (fault_count > 0 && --fault_count == 0) armed.store(false);
  fault_failed++;
  return true;
}

void *raw_alloc(size_t size, bool zero) {
  if (should_fail()) return nullptr;
  void *p = zero ? calloc(1, size ? size : 1) : malloc(size ? size : 1);
  if (p) outstanding++;
  return p;
}

}  // namespace

void *kmalloc(size_t size, gfp_t flags) {
  if (flags & GFP_KERNEL) might_sleep_check("kmalloc(GFP_KERNEL)");
  return raw_alloc(size, (flags & __GFP_ZERO) != 0);
}

void *kzalloc(size_t size, gfp_t flags) { return kmalloc(size, flags | __GFP_ZERO); }

void *kcalloc(size_t n, size_t size, gfp_t flags) {
  if (size && n > (size_t)-1 / size) return nullptr;
  return kzalloc(n * size, flags);
}

void kfree(const void *p) {
  if (!p) return;
  outstanding--;
  free(const_cast<void *>(p));
}

void *vmalloc(size_t size) {
  might_sleep_check("vmalloc");
  return raw_alloc(size, false);
}

void vfree(const void *p) { kfree(p); }

struct page {
  void *addr;
};

struct page *alloc_page(gfp_t flags) {
  if (flags & GFP_KERNEL) might_sleep_check("alloc_page(GFP_KERNEL)");
  if (should_fail()) return nullptr;
  auto *pg = static_cast<struct page *>(malloc(sizeof(struct page)));
  if (!pg) return nullptr;
  pg->addr = aligned_alloc(PAGE_SIZE, PAGE_SIZE);
  if (!pg->addr) {
    free(pg);
    return nullptr;
  }
  if (flags & __GFP_ZERO) memset(pg->addr, 0, PAGE_SIZE);
  outstanding++;
  return pg;
}

void __free_page(struct page *pg) {
  if (!pg) return;
  outstanding--;
  free(pg->addr);
  free(pg);
}

void *page_address(struct page *pg) { return pg->addr; }

void alloc_fault_inject(long skip, long count, struct task_struct *only_task) {
  std::lock_guard<std::mutex> g(fault_mu);
  fault_skip = skip;
  fault_count = count;
  fault_task = only_task;
  fault_failed = 0;
  armed.store(count != 0, std::memory_order_release);
}

void alloc_fault_clear(void) { alloc_fault_inject(0, 0, nullptr); }
long alloc_fault_failed(void) { return fault_failed.load(); }
long alloc_outstanding(void) { return outstanding.load(); }
