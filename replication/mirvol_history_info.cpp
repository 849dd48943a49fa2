// The history journal of asynchronous writes. The journal itself, in the
// Cluster Partition, and the history files come with their own unit; until
// then a device's history object holds nothing, and the journal and file
// operations the senders call report failure, so that an asynchronous write
// takes its failure path (its range goes to the difference bitmap).

#include "include/mirvol_nmp_init.h"
#include "include/mirvol_trans.h"

struct history_info {
  u32 unused;
};

struct history_info *mirvol_history_init(const u8 *record, struct nmp_info *nmp) {
  (void)record;
  (void)nmp;
  struct history_info *h = static_cast<struct history_info *>(mirvol_kmalloc(sizeof(*h)));
  if (h) h->unused = 0;
  return h;
}

void mirvol_history_free(struct history_info *history) { kfree(history); }

// No journal: the record is never written.
int mirvol_write_history_info(struct io_request *req) {
  (void)req;
  return -1;
}

// No journal: the history area is never marked in use.
int mirvol_set_hisinfo_used_flag(struct nmp_info *nmp, struct io_request *req, int flag) {
  (void)nmp;
  (void)req;
  (void)flag;
  return -1;
}

// No history files: spilled data cannot be written or read back.
int mirvol_write_history_file(struct io_request *req) {
  (void)req;
  return -1;
}

int mirvol_read_history_file(struct io_request *req) {
  (void)req;
  return -1;
}

// No journal record exists to be deleted.
int mirvol_delete_history_info(struct io_request *req) {
  (void)req;
  return 0;
}
