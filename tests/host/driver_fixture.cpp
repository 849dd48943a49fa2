// mirvold with the real driver and, after the module has loaded, one mirror
// device made by hand over the image named by MIRVOL_FIXTURE_DP (minor
// MIRVOL_FIXTURE_MINOR, default the first configured), with its N/W port
// closed: every write is local and marked for the difference bitmap. It
// stands in for device creation in tests of the data path through the host.
//
// MIRVOL_FIXTURE_WRITE_FAULT=PATH,FIRST,COUNT makes every write that touches
// sectors FIRST..FIRST+COUNT-1 of the image PATH fail, for the life of the
// process: the image is opened here at load and held, so the device that is
// later created over it (by the device-creation command) gets the same
// block device, with the rule.
//
// Linked with --wrap so that the host's call of init_module comes here.

#include <cstdio>
#include <cstdlib>

#include "include/mirvol_main.h"
#include "tests/support/device_fixture.h"

int real_init_module(void) __asm__("__real__Z11init_modulev");
int fixture_init_module(void) __asm__("__wrap__Z11init_modulev");

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

int fixture_init_module(void) {
  int r = real_init_module();
  const char *fault = getenv("MIRVOL_FIXTURE_WRITE_FAULT");
  if (!r && fault && !add_write_fault(fault)) {
    fprintf(stderr, "driver fixture: cannot add the write fault %s\n", fault);
    cleanup_module();
    return -EIO;
  }
  const char *dp = getenv("MIRVOL_FIXTURE_DP");
  if (r || !dp) return r;
  const char *m = getenv("MIRVOL_FIXTURE_MINOR");
  int minor = m ? atoi(m) : nmp_minor[0];
  if (!testsupport_make_device(minor, dp, 0)) {
    fprintf(stderr, "driver fixture: no device over %s\n", dp);
    cleanup_module();
    return -EIO;
  }
  return 0;
}
