// Allocation with failure injection and accounting.

#include "slab.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "slab_host.h"

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

void kfree(const void *p) {
  if (!p) return;
  outstanding--;
  free(const_cast<void *>(p));
}

struct page {
  void *addr;
  struct page *next;  // on a free list (pool) while free
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PAGE_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PAGE_POOL 0
#endif
#endif
#ifndef PAGE_POOL
#define PAGE_POOL 1
#endif

namespace {

#if PAGE_POOL
// The page pool. A fresh heap page faults on first touch, which costs more
// than the I/O it carries, so pages come from slabs that are faulted in when
// they are made and are never given back. Each thread keeps a small cache of
// free pages; batches move between the caches and the shared list, so that
// a page allocated on one thread and freed on another (a write's pages are
// freed by its completion) finds its way back.
constexpr size_t SLAB_PAGES = 512;  // 2 MiB per slab
constexpr size_t CACHE_MAX = 128;   // a thread cache holding more gives a batch back
constexpr size_t BATCH = 64;        // pages moved at once between a cache and the shared list

struct shared_pool {
  std::mutex mu;  // guards free_list, free_count and reserved
  struct page *free_list = nullptr;
  size_t free_count = 0;
  long reserved = 0;  // pages in all slabs made so far
};

// Never destroyed: threads may free pages while the process exits.
shared_pool &shared() {
  static shared_pool *p = new shared_pool;
  return *p;
}

// Plain thread-local storage, usable until the thread is gone; the flusher
// below gives it back to the shared list when the thread ends.
struct thread_cache {
  struct page *head;
  size_t count;
  bool flusher_set;
  bool gone;  // the thread is ending: frees go straight to the shared list
};
thread_local thread_cache tcache = {nullptr, 0, false, false};

// Moves up to n pages from *list (a chain of *count pages) onto the shared list.
void give_back(struct page **list, size_t *count, size_t n) {
  if (!n || !*list) return;
  struct page *first = *list, *last = first;
  size_t moved = 1;
  while (moved < n && last->next) {
    last = last->next;
    moved++;
  }
  *list = last->next;
  *count -= moved;
  shared_pool &sp = shared();
  std::lock_guard<std::mutex> g(sp.mu);
  last->next = sp.free_list;
  sp.free_list = first;
  sp.free_count += moved;
}

struct cache_flusher {
  bool armed = false;
  ~cache_flusher() {
    tcache.gone = true;
    give_back(&tcache.head, &tcache.count, tcache.count);
  }
};
thread_local cache_flusher flusher;

// A new slab, faulted in, as a chain of free pages; null when out of memory.
struct page *make_slab(struct page **last) {
  void *mem = mmap(nullptr, SLAB_PAGES * PAGE_SIZE, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (mem == MAP_FAILED) return nullptr;
  auto *pages = static_cast<struct page *>(malloc(SLAB_PAGES * sizeof(struct page)));
  if (!pages) {
    munmap(mem, SLAB_PAGES * PAGE_SIZE);
    return nullptr;
  }
  for (size_t i = 0; i < SLAB_PAGES; i++) {
    pages[i].addr = static_cast<char *>(mem) + i * PAGE_SIZE;
    pages[i].next = i + 1 < SLAB_PAGES ? &pages[i + 1] : nullptr;
  }
  *last = &pages[SLAB_PAGES - 1];
  return pages;
}

// Refills the empty thread cache with a batch from the shared list, making a
// slab when the list is empty. False when no page could be had.
bool refill(thread_cache &tc) {
  shared_pool &sp = shared();
  std::unique_lock<std::mutex> lk(sp.mu);
  if (!sp.free_list) {
    lk.unlock();
    struct page *last;
    struct page *slab = make_slab(&last);
    if (!slab) {
      lk.lock();
      if (!sp.free_list) return false;  // another thread may have freed meanwhile
    } else {
      lk.lock();
      last->next = sp.free_list;
      sp.free_list = slab;
      sp.free_count += SLAB_PAGES;
      sp.reserved += (long)SLAB_PAGES;
    }
  }
  struct page *first = sp.free_list, *last = first;
  size_t n = 1;
  while (n < BATCH && last->next) {
    last = last->next;
    n++;
  }
  sp.free_list = last->next;
  sp.free_count -= n;
  lk.unlock();
  last->next = tc.head;
  tc.head = first;
  tc.count += n;
  return true;
}

// The first use of the cache on a thread registers its flush at thread exit.
void flusher_arm(thread_cache &tc) {
  if (tc.flusher_set || tc.gone) return;
  tc.flusher_set = true;
  flusher.armed = true;
}

struct page *pool_get() {
  thread_cache &tc = tcache;
  if (!tc.head) {
    flusher_arm(tc);
    if (!refill(tc)) return nullptr;
  }
  struct page *pg = tc.head;
  tc.head = pg->next;
  tc.count--;
  pg->next = nullptr;
  return pg;
}

void pool_put(struct page *pg) {
  thread_cache &tc = tcache;
  flusher_arm(tc);
  pg->next = tc.head;
  tc.head = pg;
  tc.count++;
  if (tc.gone)
    give_back(&tc.head, &tc.count, tc.count);
  else if (tc.count > CACHE_MAX)
    give_back(&tc.head, &tc.count, BATCH);
}
#endif

}  // namespace

struct page *alloc_page(gfp_t flags) {
  if (flags & GFP_KERNEL) might_sleep_check("alloc_page(GFP_KERNEL)");
  if (should_fail()) return nullptr;
#if PAGE_POOL
  struct page *pg = pool_get();
  if (!pg) return nullptr;
#else
  // Under the sanitizers every page is its own heap block, so that a use
  // after __free_page() is caught.
  auto *pg = static_cast<struct page *>(malloc(sizeof(struct page)));
  if (!pg) return nullptr;
  pg->next = nullptr;
  pg->addr = aligned_alloc(PAGE_SIZE, PAGE_SIZE);
  if (!pg->addr) {
    free(pg);
    return nullptr;
  }
#endif
  if (flags & __GFP_ZERO) memset(pg->addr, 0, PAGE_SIZE);
  outstanding++;
  return pg;
}

void __free_page(struct page *pg) {
  if (!pg) return;
  outstanding--;
#if PAGE_POOL
  pool_put(pg);
#else
  free(pg->addr);
  free(pg);
#endif
}

void *page_address(struct page *pg) { return pg->addr; }

bool page_pool_enabled(void) { return PAGE_POOL != 0; }

long page_pool_reserved(void) {
#if PAGE_POOL
  shared_pool &sp = shared();
  std::lock_guard<std::mutex> g(sp.mu);
  return sp.reserved;
#else
  return 0;
#endif
}

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
