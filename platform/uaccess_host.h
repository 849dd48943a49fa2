// User memory and passed descriptors: the context a control command runs in.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "uaccess.h"

// Set up by whoever runs a control command (the host's control worker, tests).
struct user_context {
  unsigned char *buf;  // the caller's record
  unsigned long len;
  unsigned long uaddr;  // the user address at which buf appears
  const int *fd_nums;   // caller's descriptor numbers ...
  const int *os_fds;    // ... and the OS descriptors that stand for them
  int nfds;
};
// Makes ctx the current task's user context (null clears it).
void set_user_context(const struct user_context *ctx);
