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

