// The driver's own record sizes and offsets agree with the shared record
// descriptions that the control client builds its records from: a record
// changed on one side only fails the build here.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_param.h"
#include "include/mirvol_port.h"
#include "include/mirvol_records.h"

namespace {

using namespace mirvol_rec;

static_assert(MIRVOL_NMP_INIT_SIZE == sizeof(nmp_init_record));
static_assert(MIRVOL_NET_ENTRIES_OFFSET == offsetof(nmp_init_record, nets));
static_assert(MIRVOL_NET_ENTRY_SIZE == sizeof(net_entry));
static_assert(MIRVOL_NET_DETAIL_SIZE == sizeof(net_entry));
static_assert(MIRVOL_NETSTATUS_MIN == sizeof(netstatus_record));
static_assert(MIRVOL_CP_TIME_REC_SIZE == sizeof(cp_time_record));
static_assert(MIRVOL_PORT_REC_SIZE == sizeof(port_record));
static_assert(MIRVOL_PORT_REC_STATUS == offsetof(port_record, status));
static_assert(MIRVOL_PORT_REC_FLAGS == offsetof(port_record, flags));
static_assert(MIRVOL_PORT_REC_IO == offsetof(port_record, io));
static_assert(MIRVOL_PORT_REC_NW == offsetof(port_record, nw));
static_assert(MIRVOL_PORT_REC_MOUNT == offsetof(port_record, mount));

}  // namespace
