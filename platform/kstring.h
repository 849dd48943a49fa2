// String and memory helpers, as the kernel's library offers them.
#pragma once

#include <cstring>

#include "types.h"

using std::memchr;
using std::memcmp;
using std::memcpy;
using std::memmove;
using std::memset;
using std::strchr;
using std::strcmp;
using std::strlen;
using std::strncmp;
using ::strnlen;
using std::strstr;

// Copies at most size - 1 characters and always terminates (size > 0).
// Returns the length copied, or -E2BIG when src was cut.
static inline long strscpy(char *dest, const char *src, size_t size) {
  if (size == 0) return -7;
  size_t n = strnlen(src, size);
  if (n == size) {
    memcpy(dest, src, size - 1);
    dest[size - 1] = 0;
    return -7;
  }
  memcpy(dest, src, n + 1);
  return (long)n;
}
