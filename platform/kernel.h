// Everything the driver may use of its "kernel", in one include.
#pragma once

#include "kerrno.h"
#include "printk.h"
#include "task.h"
#include "slab.h"
#include "sync.h"
#include "jiffies.h"
#include "kstring.h"
#include "timer.h"
#include "types.h"
#include "uaccess.h"
#include "waitq.h"
#include "errptr.h"
#include "vfs.h"
#include "procfs.h"
#include "moduleparam.h"
#include "net.h"
