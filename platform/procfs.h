// procfs: files and directories under /proc whose text is made on demand.
//
// A file has a show routine that writes the file's whole text into a
// seq_file; every read of the file (from the host) runs it once, on the
// reading thread, which may sleep in it. Removing an entry waits for the show
// and write routines running on it to return, so the caller may free the
// entry's data as soon as the removal has returned. Must not be called from
// the entry's own show routine.
#pragma once

#include "types.h"
#include "vfs.h"  // umode_t, loff_t, S_IF* bits

struct proc_dir_entry;

// The text of one read. The show routine sees the entry's data as
// m->private_data.
struct seq_file {
  char *buf;
  size_t size;   // bytes the buffer holds
  size_t count;  // bytes written so far
  void *private_data;
  bool overflowed;  // the text outgrew PROC_READ_MAX; the rest was dropped
};

// The most text one read may make; a longer text fails the read (-EFBIG).
#define PROC_READ_MAX (4UL << 20)
// A show routine returning SEQ_SKIP gives an empty text.
#define SEQ_SKIP 1

void seq_printf(struct seq_file *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void seq_vprintf(struct seq_file *m, const char *fmt, __builtin_va_list ap);
void seq_puts(struct seq_file *m, const char *s);
void seq_putc(struct seq_file *m, char c);
int seq_write(struct seq_file *m, const void *data, size_t len);  // 0, or -1 on overflow
int seq_has_overflowed(struct seq_file *m);

typedef int (*proc_show_fn)(struct seq_file *m, void *v);

// What a file does. show makes the text (0, SEQ_SKIP or -errno); write, when
// present, takes bytes written to the file and returns how many it accepted
// or -errno (data is the entry's data). The table must outlive the entry.
struct proc_file_ops {
  int (*show)(struct seq_file *m, void *v);
  long (*write)(void *data, const char *buf, size_t count, loff_t *pos);
};

// parent null means the top of /proc. Names are one path component. Every
// call returns null (with a log line) for a name that exists already, an
// invalid name, or a parent that is not a live directory. A file's mode
// without type bits is a regular file; without permission bits it is
// readable by all (0444). A directory is 0555.
struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent);
struct proc_dir_entry *proc_mkdir_mode(const char *name, umode_t mode,
                                       struct proc_dir_entry *parent);
struct proc_dir_entry *proc_create_data(const char *name, umode_t mode,
                                        struct proc_dir_entry *parent,
                                        const struct proc_file_ops *ops, void *data);
struct proc_dir_entry *proc_create(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                   const struct proc_file_ops *ops);
struct proc_dir_entry *proc_create_single_data(const char *name, umode_t mode,
                                               struct proc_dir_entry *parent, proc_show_fn show,
                                               void *data);

// Removes the named entry of parent. A directory that still has entries is
// removed with them (and a warning is logged). Returns after every show or
// write routine running on a removed entry has returned.
void remove_proc_entry(const char *name, struct proc_dir_entry *parent);
// Removes the named entry and everything below it; 0, or -ENOENT.
int remove_proc_subtree(const char *name, struct proc_dir_entry *parent);
// Removes the entry itself, with everything below it (null is ignored).
void proc_remove(struct proc_dir_entry *de);
