// Disk-error actions: the thread "mirvol_common_3" and what it does for a
// device whose Cluster Partition or data partition failed an I/O.
//
// The failing completions only raise the device's Cluster Partition or
// data-partition error flag under the device spinlock and wake
// g_disk_error_wq; every I/O of an action runs here, in the thread. The
// actions are set module-wide by control command 21 (g_disk_error_action):
// element 2 for the Cluster Partition (0 reset, 1 panic), element 3 for the
// data partition (0 reset, 1 panic, 2 mirror break). A value outside these
// falls back to the reset.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"

#include <cstdarg>

// The text of a panic; only the disk-error thread panics, so one buffer
// serves.
static char g_mirvol_panic_buf[1024];

void mirvol_panic(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf_k(g_mirvol_panic_buf, sizeof(g_mirvol_panic_buf), format, args);
  va_end(args);
  panic("%s", g_mirvol_panic_buf);
}

void mirvol_set_cp_error(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->cp_error = 1;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  wake_up(&g_disk_error_wq);
}

static void set_reset_request(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->reset_request = 1;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
}

static int action_of(int element) {
  return READ_ONCE(g_disk_error_action[element]);
}

void mirvol_disk_error_action_cp(struct nmp_info *nmp) {
  // A failed write is logged there; the action follows in any case.
  mirvol_write_diskerror(nmp);
  switch (action_of(2)) {
    case 0:
      mirvol_printk(MIRVOL_ERR "NMP%d disk I/O error. System reset.\n", 160, nmp->minor);
      set_reset_request(nmp);
      break;
    case 1:
      mirvol_printk(MIRVOL_ERR "NMP%d disk I/O error. Kernel panic.\n", 160, nmp->minor);
      mirvol_panic(KERN_CRIT "mirvol: kernel panic");
    default:
      mirvol_printk(MIRVOL_ERR
                    "NMP%d disk I/O error. CP action is invalid parameter. Execute default "
                    "action(Reset).\n",
                    160, nmp->minor);
      set_reset_request(nmp);
      break;
  }
}

void mirvol_disk_error_action_dp(struct nmp_info *nmp) {
  unsigned long flags;
  switch (action_of(3)) {
    case 0:
      mirvol_printk(MIRVOL_ERR "NMP%d disk I/O error. System reset.\n", 160, nmp->minor);
      set_reset_request(nmp);
      break;
    case 1:
      mirvol_printk(MIRVOL_ERR "NMP%d disk I/O error. Kernel panic.\n", 160, nmp->minor);
      mirvol_panic(KERN_CRIT "mirvol: kernel panic");
    case 2:
      mirvol_printk(MIRVOL_ERR "NMP%d disk I/O error. Mirrorbreak.\n", 160, nmp->minor);
      // The mirror is broken and the device goes on: the records say so,
      // and a later data-partition error is acted on again.
      mirvol_write_lastupdatetime(nmp);
      mirvol_write_cptime(nmp, nullptr, 16);
      spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
      nmp->dp_error = 0;
      nmp->disk_error_handling = 0;
      spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
      break;
    default:
      mirvol_printk(MIRVOL_ERR
                    "NMP%d disk I/O error. DP action is invalid parameter. Execute default "
                    "action(Reset).\n",
                    160, nmp->minor);
      set_reset_request(nmp);
      break;
  }
}

// Takes the device for an action when it has an error flag raised and no
// action taken yet; the handling flag, set here, keeps it from being acted
// on twice. Returns 1 for the Cluster Partition action, 2 for the
// data-partition action, 0 for none.
static int take_device(struct nmp_info *nmp) {
  unsigned long flags;
  int which = 0;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  if (!nmp->disk_error_handling && (nmp->cp_error || nmp->dp_error)) {
    nmp->disk_error_handling = 1;
    which = nmp->cp_error ? 1 : 2;
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  return which;
}

int mirvol_disk_error_operate_thread(void *arg) {
  (void)arg;
  // The running flag and pid were set by mirvol_kernel_thread_info before
  // this thread could run.
  allow_signal(SIGTERM);
  for (;;) {
    mirvol_interruptible_sleep_on_timeout(&g_disk_error_wq, HZ);
    if (signal_pending(get_current())) break;
    // Devices are appended, published whole, while the module is loaded
    // and removed only after this thread has stopped.
    for (struct nmp_info *nmp = mirvol_nmp_first(); nmp; nmp = mirvol_nmp_next(nmp)) {
      if (!nmp->nmp_variable) continue;
      switch (take_device(nmp)) {
        case 1:
          mirvol_disk_error_action_cp(nmp);
          break;
        case 2:
          mirvol_disk_error_action_dp(nmp);
          break;
        default:
          break;
      }
    }
  }
  mirvol_printk(MIRVOL_INFO "killing thread...........OK (mirvol_disk_error_operate_thread)\n",
                132);
  smp_store_release(&g_disk_error_thread.running, 0);
  return 0;
}
