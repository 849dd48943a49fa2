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

// Logs the calling thread's stack, as the kernel's dump_stack().
void dump_stack(void);

// Writes the message to the log, then ends the process at once with
// PANIC_EXIT_CODE: no exit handlers, no unload, nothing flushed but the log
// (to a peer it is a crashed server). A level marker at the start of the
// message is not part of its text.
[[noreturn]] void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define PANIC_EXIT_CODE 86
