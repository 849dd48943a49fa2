// The disk-error thread "mirvol_common_3".
//
// Stand-in: the disk-error actions (what a failed data or Cluster Partition
// write leads to) are not built yet. The thread only sleeps on
// g_disk_error_wq, where the completions that raise an error flag wake it,
// until it is told to stop.

#include "include/mirvol_bitmap_writer.h"

int mirvol_disk_error_operate_thread(void *arg) {
  (void)arg;
  allow_signal(SIGTERM);
  while (!signal_pending(get_current()))
    mirvol_interruptible_sleep_on_timeout(&g_disk_error_wq, HZ);
  mirvol_printk(MIRVOL_INFO "killing thread...........OK (mirvol_disk_error_operate_thread)\n",
                132);
  __atomic_store_n(&g_disk_error_thread.running, 0, __ATOMIC_RELEASE);
  return 0;
}
