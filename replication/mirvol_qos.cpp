// Bandwidth limit: the per-device byte count and the throttle point of the
// senders. See include/mirvol_qos.h for the window rules.

#include "include/mirvol_qos.h"

#include "include/mirvol.h"
#include "include/mirvol_open.h"

struct qos_area *mirvol_qos_init_nmp(void) {
  struct qos_area *area = static_cast<struct qos_area *>(mirvol_kmalloc(sizeof(struct qos_area)));
  if (!area) return nullptr;
  mirvol_memset(area, 0, sizeof(*area));
  mirvol_init_waitqueue_head(&area->wq);
  return area;
}

void mirvol_qos_free_nmp(struct qos_area *area) { mirvol_kfree(&area); }

// The limit is read atomically: command 8 may store a new one meanwhile.
static u32 qos_limit(const struct nmp_info *nmp) {
  return READ_ONCE(nmp->band_limit);
}

void mirvol_qos_count_nmp(struct nmp_info *nmp, int bytes) {
  if (!nmp || !qos_limit(nmp) || bytes <= 0) return;
  struct qos_area *area = nmp->qos_area;
  if (!area) return;
  area->sent_bytes += (u64)bytes;
}

void mirvol_qos_sleep_nmp(struct nmp_info *nmp) {
  u32 limit = nmp ? qos_limit(nmp) : 0;
  if (!limit) return;
  struct qos_area *area = nmp->qos_area;
  if (!area) return;
  if (area->sent_bytes < (u64)limit) return;

  // The limit is reached: hold the sender back only when that happened
  // within the first second of the window.
  u64 now = mirvol_jiffies();
  u64 start = area->start_jiffies;
  if (now >= start && now - start <= (u64)(HZ - 1))
    mirvol_interruptible_sleep_on_timeout(&area->wq, (long)(start + HZ - now));

  area->sent_bytes = 0;
  area->start_jiffies = mirvol_jiffies();
}
