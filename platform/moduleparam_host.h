// The module loader's side of module parameters.
//
// Only the host (mirvold) and the tests use these; the platform units and
// those two define MIRVOL_HOST_SIDE, driver code does not.
#pragma once

#ifndef MIRVOL_HOST_SIDE
#error "host and test hooks of the platform: driver code (core/, replication/) must not use them"
#endif

#include "moduleparam.h"

// Sets the registered parameters from argv ("name=value" or "name"), in
// order, as the module loader does; '-' and '_' match each other in names.
// Stops at the first failure, logs it (prefixed with `doing`) and returns
// -ENOENT for an unknown name, -ENOSPC for a string too long for its
// buffer, -EINVAL or -ERANGE for a bad value.
int module_params_parse(int argc, const char *const *argv, const char *doing = "mirvol");
// The same against a table of parameters of the caller's.
int module_params_parse_table(const struct kernel_param *params, unsigned int num, int argc,
                              const char *const *argv, const char *doing);
// Calls fn for every registered parameter in the order of registration,
// with its description (null when it has none).
void module_params_for_each(void (*fn)(const struct kernel_param *p, const char *desc, void *ctx),
                            void *ctx);
// Gives every registered parameter (and array count) the value it had at
// start-up, for a new load in the same process.
void module_params_reset(void);
