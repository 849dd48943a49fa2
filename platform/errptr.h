// Error values carried in pointers, as the kernel's calls that return an
// object or an error do: the top MAX_ERRNO addresses stand for -1 .. -4095.
#pragma once

#include "types.h"

#define MAX_ERRNO 4095

static inline bool IS_ERR_VALUE(unsigned long x) { return x >= (unsigned long)-MAX_ERRNO; }

static inline void *ERR_PTR(long error) { return (void *)error; }
static inline long PTR_ERR(const void *ptr) { return (long)ptr; }
static inline bool IS_ERR(const void *ptr) { return IS_ERR_VALUE((unsigned long)ptr); }
static inline bool IS_ERR_OR_NULL(const void *ptr) { return !ptr || IS_ERR(ptr); }
