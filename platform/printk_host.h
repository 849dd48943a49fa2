// The kernel log's sink and its in-memory record.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "printk.h"

struct klog_line {
  int level;
  char text[1100];  // without the level marker and the newline
};
// Opens (appends to) FILE as the log sink; null closes it. Returns 0 or -errno.
int klog_set_file(const char *path);
// Also echo every line to standard error.
void klog_set_stderr(bool on);
// Number of lines logged so far (the record keeps the newest 16384).
u64 klog_count(void);
// Copies line `index` (0 = first ever logged); false when it is no longer or
// not yet kept.
bool klog_get(u64 index, struct klog_line *out);
// Waits (real time, up to ms) until a line containing `needle` has been
// logged at or after line `from`; returns its index or -1.
long klog_wait_for(u64 from, const char *needle, unsigned int ms);
// Lines logged by the calling thread from now on are also handed to
// tap(ctx, level, text) (text without the level marker and the newline);
// a null tap stops it. Per thread: a host uses it to return the lines a
// control command wrote to the caller of that command.
typedef void (*klog_tap_fn)(void *ctx, int level, const char *text);
void klog_set_thread_tap(klog_tap_fn tap, void *ctx);
