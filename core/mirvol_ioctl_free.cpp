// Cluster Partition records.

#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"

// Writes the time records a request makes due. The records themselves come
// with the Cluster Partition layout; until then no record write is ever
// due, so each requested step is complete at once.
int mirvol_write_cptime(struct nmp_info *nmp, struct io_request *req, u32 flags) {
  (void)nmp;
  u64 bits = flags & (REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  if (req && bits) mirvol_end_req(req, bits);
  return 0;
}
