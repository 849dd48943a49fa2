// /proc as the host reads it.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "procfs.h"

// Paths are relative to the top of /proc, components separated by '/':
// "mirvolstat", "mirvolperf/NMP3"; "" is the top directory.

// Mode (type and permission bits) of the entry; 0 or -ENOENT.
int proc_getattr(const char *path, umode_t *mode);
// Calls fn for every entry of the directory, in creation order, after
// taking a snapshot of the names (fn may read or create entries).
typedef void (*proc_list_fn)(void *arg, const char *name, umode_t mode);
int proc_list(const char *path, proc_list_fn fn, void *arg);  // 0, -ENOENT, -ENOTDIR
// Runs the file's show routine once on the calling thread and hands over
// its text (*data is null for an empty text), to be freed with
// proc_read_free(). Returns 0, -ENOENT (no such file, or removed),
// -EISDIR, -EFBIG, or the show routine's error.
int proc_read(const char *path, char **data, size_t *len);
void proc_read_free(char *data);
// Passes bytes to the file's write routine; its result, or -ENOENT, -EISDIR,
// or -EINVAL when the file takes no writes.
long proc_write(const char *path, const char *buf, size_t len, loff_t pos);
