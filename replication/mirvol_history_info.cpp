// The history journal of asynchronous writes. The journal itself comes
// with asynchronous mirroring; until then a device's history object holds
// nothing, and no write is ever journalled.

#include "include/mirvol_nmp_init.h"

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
