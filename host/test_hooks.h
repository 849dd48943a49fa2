// Hooks a test's own build of mirvold may define, for what only code inside
// the host's process can set up (the platform's block fault rules, for
// one). The real mirvold defines none: each is a weak reference, null
// unless a test host's unit defines it. Host and test code only; the
// driver never includes this header.
#pragma once

namespace mirvold {

// Called once the module has loaded, before the control socket and the
// mount are served. A non-zero return (-errno) makes the host unload the
// module and exit 1, as for a failed load.
int test_after_load(void) __attribute__((weak));

}  // namespace mirvold
