// Every host and test hook of the platform, in one include (see each
// header), without the rest of the platform. Driver code includes
// platform/kernel.h only.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "blkdev_host.h"
#include "jiffies_host.h"
#include "moduleparam_host.h"
#include "net_host.h"
#include "printk_host.h"
#include "procfs_host.h"
#include "slab_host.h"
#include "task_host.h"
#include "uaccess_host.h"
