// Access to memory that tasks share without a lock, in the kernel's spellings.
//
// A plain read or write of such memory is a data race: the compiler may tear,
// merge or repeat it. These forms make every access one atomic operation and
// say which ordering it carries; each is built over the compiler's atomic
// builtins, so a field keeps its plain type, size and layout.
#pragma once

#include "types.h"

// One relaxed load of the lvalue x: never torn, merged or re-read, but it
// orders no other access.
#define READ_ONCE(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
// One relaxed store of v to the lvalue x; orders no other access.
#define WRITE_ONCE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)

// Load of *p with acquire ordering: no later access of this task moves
// before it, so whatever the writer did before its smp_store_release() of
// the value read is seen after it.
#define smp_load_acquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
// Store of v to *p with release ordering: no earlier access of this task
// moves after it.
#define smp_store_release(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)

// An int counter changed only by the operations below. Plain storage of the
// size of an int, so it can live in records set up by memset or kzalloc (0).
typedef struct {
  int counter;
} atomic_t;
static_assert(sizeof(atomic_t) == sizeof(int), "atomic_t must stay the size of an int");

#define ATOMIC_INIT(i) {(i)}

// Relaxed write of the counter (like WRITE_ONCE).
static inline void atomic_set(atomic_t *v, int i) { __atomic_store_n(&v->counter, i, __ATOMIC_RELAXED); }
// Read with acquire ordering (like smp_load_acquire).
static inline int atomic_read_acquire(const atomic_t *v) {
  return __atomic_load_n(&v->counter, __ATOMIC_ACQUIRE);
}

// The operations that return a value are fully ordered: every access of
// this task before them is done before, every one after them is done after,
// as if a full barrier stood on each side.
// Adds i and returns the new value (with i 0: a fully ordered read).
static inline int atomic_add_return(int i, atomic_t *v) {
  return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}
// Adds 1 and returns the new value.
static inline int atomic_inc_return(atomic_t *v) { return __atomic_add_fetch(&v->counter, 1, __ATOMIC_SEQ_CST); }
// Subtracts 1 and returns the new value.
static inline int atomic_dec_return(atomic_t *v) { return __atomic_sub_fetch(&v->counter, 1, __ATOMIC_SEQ_CST); }
// Stores i and returns the value it replaced.
static inline int atomic_xchg(atomic_t *v, int i) { return __atomic_exchange_n(&v->counter, i, __ATOMIC_SEQ_CST); }
