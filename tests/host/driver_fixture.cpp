// mirvold with the real driver and, after the module has loaded, one mirror
// device made by hand over the image named by MIRVOL_FIXTURE_DP (minor
// MIRVOL_FIXTURE_MINOR, default the first configured), with its N/W port
// closed: every write is local and marked for the difference bitmap. It
// stands in for device creation in tests of the data path through the host.
// Linked with --wrap so that the host's call of init_module comes here.

#include <cstdio>
#include <cstdlib>

#include "include/mirvol_main.h"
#include "tests/support/device_fixture.h"

int real_init_module(void) __asm__("__real__Z11init_modulev");
int fixture_init_module(void) __asm__("__wrap__Z11init_modulev");

int fixture_init_module(void) {
  int r = real_init_module();
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
