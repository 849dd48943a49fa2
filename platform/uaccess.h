// User memory and the caller's open files, for control commands.
//
// A control command runs on a worker task whose "user memory" is the caller's
// record buffer, mapped at a user address, and whose "open files" are the
// descriptors the caller passed, under the caller's numbers.
#pragma once

#include "types.h"

#define __user

// Copy within the caller's buffer. Return the bytes not copied; the bytes of
// `to` that could not be copied in are zero-filled.
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);

struct file;
// The caller's passed descriptor of that number, with a reference; null when
// the caller passed none of that number. Drop with fput().
struct file *fget(unsigned int fd);
void fput(struct file *f);
int file_os_fd(struct file *f);  // for platform units only
