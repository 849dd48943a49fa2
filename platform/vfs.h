// File access from kernel context on real paths: open, read, write, seek,
// sync, status, path lookup, mkdir, rmdir and unlink.
//
// Every call may sleep. Failures are negative errno values; filp_open()
// returns an error pointer (errptr.h) instead of a file.
//
// Open flags, seek origins and file-type bits have their Linux values. A
// platform unit that also includes the C library's <fcntl.h>, <stdio.h> or
// <sys/stat.h> sees the library's definitions: the plain values are spelled
// as the library spells them, and the ones the library defines through
// internal names are guarded. The library's O_LARGEFILE is 0 on x86-64, ours
// is the kernel's 0100000; the OS accepts either in an open.
#pragma once

#include "errptr.h"
#include "kerrno.h"
#include "types.h"
#include "uaccess.h"  // fget(), fput()

typedef s64 loff_t;  // the C library's loff_t on x86-64
typedef unsigned short umode_t;
typedef void *fl_owner_t;

#define O_ACCMODE 0003
#define O_RDONLY 00
#define O_WRONLY 01
#define O_RDWR 02
#define O_CREAT 0100
#define O_EXCL 0200
#define O_NOCTTY 0400
#define O_TRUNC 01000
#define O_APPEND 02000
#define O_NONBLOCK 04000
#define O_SYNC 04010000
#ifndef O_DSYNC
#define O_DSYNC 010000
#endif
#ifndef O_DIRECT
#define O_DIRECT 040000
#endif
#ifndef O_LARGEFILE
#define O_LARGEFILE 0100000
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0200000
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0400000
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 02000000
#endif

#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

#ifndef S_IFMT
#define S_IFMT 00170000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0140000
#endif
#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_IFREG
#define S_IFREG 0100000
#endif
#ifndef S_IFBLK
#define S_IFBLK 0060000
#endif
#ifndef S_IFDIR
#define S_IFDIR 0040000
#endif
#ifndef S_IFCHR
#define S_IFCHR 0020000
#endif
#ifndef S_IFIFO
#define S_IFIFO 0010000
#endif
#ifndef S_ISREG
#define S_ISREG(m) (((m) & S_IFMT) == S_IFREG)
#endif
#ifndef S_ISDIR
#define S_ISDIR(m) (((m) & S_IFMT) == S_IFDIR)
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) (((m) & S_IFMT) == S_IFBLK)
#endif
#ifndef S_IRUSR
#define S_IRUSR 00400
#endif
#ifndef S_IWUSR
#define S_IWUSR 00200
#endif
#ifndef S_IXUSR
#define S_IXUSR 00100
#endif
#ifndef S_IRGRP
#define S_IRGRP 00040
#endif
#ifndef S_IWGRP
#define S_IWGRP 00020
#endif
#ifndef S_IXGRP
#define S_IXGRP 00010
#endif
#ifndef S_IROTH
#define S_IROTH 00004
#endif
#ifndef S_IWOTH
#define S_IWOTH 00002
#endif
#ifndef S_IXOTH
#define S_IXOTH 00001
#endif
#define S_IRWXUGO 00777
#define S_IALLUGO 07777
#define S_IRUGO 00444
#define S_IWUGO 00222
#define S_IXUGO 00111

// An open file: one made by filp_open(), or a caller's passed descriptor
// found by fget(). Both are dropped with fput(); filp_close() also drops a
// filp_open() file. f_pos is the file's own position, for callers that pass
// &file->f_pos (or a null position) to kernel_read() and kernel_write().
struct file {
  int f_count;           // references (the platform changes it atomically)
  int f_fd;              // the OS descriptor behind it; platform units only
  unsigned int f_flags;  // the open flags
  loff_t f_pos;
};

// Opens a path as open(2) would, with the flags above and mode for a file it
// creates (the process's umask applies). Returns the file, or ERR_PTR(-errno).
struct file *filp_open(const char *filename, int flags, umode_t mode);
// Drops the caller's reference; the last one closes the OS descriptor.
// Returns 0, or the error the close reported.
int filp_close(struct file *filp, fl_owner_t id);

// Read or write at *pos (the file's f_pos when pos is null) and advance it
// by the bytes moved. One call may move fewer bytes than asked (a read at
// the end of the file moves 0). A file opened with O_APPEND is written at
// its end, and *pos becomes the new end. Return the bytes moved or -errno.
long kernel_read(struct file *file, void *buf, size_t count, loff_t *pos);
long kernel_write(struct file *file, const void *buf, size_t count, loff_t *pos);
// Sets f_pos; returns the new position or -errno.
loff_t vfs_llseek(struct file *file, loff_t offset, int whence);
// Writes the file's data (and, unless datasync, its metadata) to storage.
int vfs_fsync(struct file *file, int datasync);

struct kstat {
  u64 ino;
  umode_t mode;  // type and permission bits
  unsigned int nlink;
  loff_t size;
  u32 blksize;
  u64 blocks;      // 512-byte blocks allocated
  s64 mtime_sec;
};
// Status of a path, following a final symbolic link (vfs_stat) or not.
int vfs_stat(const char *name, struct kstat *stat);
int vfs_lstat(const char *name, struct kstat *stat);

// Path lookup. A found path holds its own copy of the name (with every
// symbolic link resolved when looked up with LOOKUP_FOLLOW); drop it with
// path_put(). With LOOKUP_DIRECTORY a path that is not a directory gives
// -ENOTDIR; a missing one gives -ENOENT.
#define LOOKUP_FOLLOW 0x0001
#define LOOKUP_DIRECTORY 0x0002
struct path {
  char *name;
  umode_t mode;  // type and permission bits at lookup
};
int kern_path(const char *name, unsigned int flags, struct path *path);
void path_put(struct path *path);
// Current status of a looked-up path.
int vfs_getattr(const struct path *path, struct kstat *stat);

// Make a directory with exactly the mode's permission bits (no umask, as
// the kernel's own mkdir); -EEXIST when the name exists, -ENOENT when the
// parent is missing. Remove an empty directory; remove a name that is not a
// directory (-EISDIR for one).
int vfs_mkdir(const char *name, umode_t mode);
int vfs_rmdir(const char *name);
int vfs_unlink(const char *name);

// When the file system holding `path` (or its longest existing prefix) lies
// on a loop device, the type of the file system holding that loop device's
// backing file, as the mount table names it ("ext4", "fuse.NAME", ...);
// otherwise "". 0, or -errno when nothing of the path exists.
int vfs_loop_backing_fs_type(const char *path, char *type, size_t size);

// --- platform units only ---
// Wraps an OS descriptor in a file with one reference; the file owns the
// descriptor. Null (with the descriptor closed) when out of memory.
struct file *file_from_os_fd(int os_fd, unsigned int flags, loff_t pos);
