// A mirror device record built by hand over a data partition, entered in
// the device list as device creation enters one, for tests that need a
// device before (or without) the device-creation command.
#pragma once

#include "include/mirvol.h"

// The device gets the I/O port open, the N/W port as given, synchronous
// mode, a bitmap granule of 8 sectors, and its size (and the mirror disk's
// capacity) from the data partition. Module unload frees it. Null when the
// partition cannot be opened or the minor has no mirror disk.
struct nmp_info *testsupport_make_device(int minor, const char *dp_path, u32 nw_port);
