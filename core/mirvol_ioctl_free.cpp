// Cluster Partition records.

#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"

// Writes the time records a request makes due. The records themselves come
// with the Cluster Partition layout; until then no record write is ever
// due, so each requested step is complete at once.
int mirvol_write_cptime(struct nmp_info *nmp, struct io_request *req, u32 flags) {
  (void)nmp;
  u64 bits = flags & (REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  if (req && bits) mirvol_end_req(req, bits);
  return 0;
}

// Reads the Cluster Partition's time records into the device. The record
// layout comes with the Cluster Partition unit; until then a new device
// starts with every time unset and no disk error.
int mirvol_read_all_cptime(struct nmp_info *nmp) {
  nmp->disconnect_time = nmp->last_update_time = nmp->mirror_break_time = 0;
  nmp->disk_error_flag = 0;
  nmp->is_hisinfo_used = 0;
  return 0;
}
