// The device threads, as far as they exist yet. Each one records itself,
// allows SIGTERM, and waits for it; the connection, heartbeat, sender and
// history units give them their work.

#include "include/mirvol_nmp_init.h"

static int mirvol_idle_device_thread(void *arg, int record, const char *fname) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  struct nmp_thread_info *info = &nmp->thread[record];
  allow_signal(SIGTERM);
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  while (!signal_pending(get_current())) interruptible_sleep_on_timeout(&wq, HZ);
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (%s)\n", 132, nmp->minor, fname);
  __atomic_store_n(&info->running, 0, __ATOMIC_RELEASE);
  return 0;
}

int mirvol_ack2_svr_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_ACK2_SVR, "mirvol_ack2_svr_thread"); }
int mirvol_send_ack2_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_SEND_ACK2, "mirvol_send_ack2_thread"); }
int mirvol_hb_svr_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_HB_SVR, "mirvol_hb_svr_thread"); }
int mirvol_hb_client_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_HB_CLIENT, "mirvol_hb_client_thread"); }
int mirvol_remote_write_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_REMOTE_WRITE, "mirvol_remote_write_thread"); }
int mirvol_send_ack1_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_SEND_ACK1, "mirvol_send_ack1_thread"); }
int mirvol_accept_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_ACCEPT, "mirvol_accept_thread"); }
int mirvol_history_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_HISTORY, "mirvol_history_thread"); }
int mirvol_send_data_thread(void *nmp) { return mirvol_idle_device_thread(nmp, NMP_THREAD_SEND_DATA, "mirvol_send_data_thread"); }
