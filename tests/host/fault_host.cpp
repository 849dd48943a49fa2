// mirvold with the real driver and a write fault on an image, for the
// disk-error tests: the real host has no way to make a partition's writes
// fail, and the platform's fault rules can only be added in its process.
//
// MIRVOL_FIXTURE_WRITE_FAULT=PATH,FIRST,COUNT makes every write that touches
// sectors FIRST..FIRST+COUNT-1 of the image PATH fail, for the life of the
// process: the image is opened here at load and held, so the device that is
// later created over it (by the device-creation command) gets the same
// block device, with the rule.
//
// The rule is added by the host's after-load hook (host/test_hooks.h).

#include <cstdio>
#include <cstdlib>

#include "host/test_hooks.h"
#include "platform/blkdev.h"
#include "platform/host_side.h"

// Held until the process ends, so the rule stays with the image.
static struct block_device *g_faulty_image;

static bool add_write_fault(const char *text) {
  char path[4096];
  unsigned long long first = 0, count = 0;
  if (sscanf(text, "%4095[^,],%llu,%llu", path, &first, &count) != 3) return false;
  struct block_device *b = blkdev_get_by_path(path, FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR(b)) return false;
  struct blk_fault rule = {BLK_FAULT_WRITE, (sector_t)first, (sector_t)count, -1, 0, 1};
  if (bdev_fault_add(b, &rule) < 0) {
    blkdev_put(b, FMODE_READ | FMODE_WRITE);
    return false;
  }
  g_faulty_image = b;
  return true;
}

int mirvold::test_after_load(void) {
  const char *fault = getenv("MIRVOL_FIXTURE_WRITE_FAULT");
  if (fault && !add_write_fault(fault)) {
    fprintf(stderr, "fault host: cannot add the write fault %s\n", fault);
    return -EIO;
  }
  return 0;
}
