// The kernel log and panic.
//
// A message's format may begin with a level marker, KERN_SOH and a digit, as
// the kernel's does; the platform keeps the level with the line. The log
// goes to a sink file (a host's "dmesg") and to an in-memory record that
// tests read line by line.
#pragma once

#include "types.h"

#define KERN_SOH "\001"
#define KERN_CRIT KERN_SOH "2"
#define KERN_ERR KERN_SOH "3"
#define KERN_WARNING KERN_SOH "4"
#define KERN_NOTICE KERN_SOH "5"
#define KERN_INFO KERN_SOH "6"
#define KERN_DEBUG KERN_SOH "7"
#define LOGLEVEL_DEFAULT 4

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, __builtin_va_list ap);

// Bounded formatting: never writes more than size bytes (terminator included);
// returns the length the full text would have had.
int snprintf_k(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf_k(char *buf, size_t size, const char *fmt, __builtin_va_list ap);
int scnprintf_k(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Logs the calling thread's stack, as the kernel's dump_stack().
void dump_stack(void);

// Writes the message to the log, then ends the process at once with
// PANIC_EXIT_CODE: no exit handlers, no unload, nothing flushed but the log
// (to a peer it is a crashed server). A level marker at the start of the
// message is not part of its text.
[[noreturn]] void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define PANIC_EXIT_CODE 86

// --- sink and capture (host and tests) ---
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
