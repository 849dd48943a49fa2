// The standby's DATA receive loop and its write handlers over any stream of
// heads and payloads from the active server, on a loopback connection, with
// the remote-write thread submitting what is received to the data
// partition. Replies go to a sink that reads and drops them. After each
// input the received writes are waited for, the replies and wait-ACK2
// entries they left are removed, the reply connection is dropped, the
// network is usable again and the data partition is zeroed, so the next
// input starts from the same state. The module and its device are set up
// once.
//
// Input: byte 0 sets the device's state for this input (bit 0: N/W port
// closed, bit 1: mount port open, bit 2: not the current server); the rest
// is what follows the negotiation on the connection.

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_open.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Standby {
  fuzzsupport::Module module;
  fuzzsupport::Sink sink;
  fuzzsupport::Feed feed;

  void start() {
    if (!module.load() || !feed.ok()) abort();
    struct nmp_info *nmp = module.nmp();
    // The device has its receive and ACK1 queues already.
    auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
    if (!nmp->remote_write_head.sys_var || !nmp->send_ack1_head.sys_var || !nw) abort();
    inet_pton(AF_INET, "127.0.0.1", nw->self_addr + 12);
    inet_pton(AF_INET, "127.0.0.1", nw->opponent_addr + 12);
    nw->state = NW_FREE;
    nmp->network_list = nw;
    nmp->mdc_cnt = 1;
    nmp->ip_version = 4;
    nmp->data_port = sink.port();
    nmp->connect_timeout = 100;
    nmp->send_timeout = 100;
    nmp->ack_timeout = 100000;  // no wait-ACK2 entry expires during an input
    nmp->receive_normal_timeout = 100;
    nmp->keepalive_time = 30;
    nmp->keepalive_probe = 3;
    nmp->keepalive_interval = 5;
    nmp->ack1_send_state = nmp->connect_state = 1;
    nmp->mode = 1;
    if (mirvol_kernel_thread_info(mirvol_remote_write_thread, nmp, "mirvol_nmp03_04",
                                  &nmp->thread[NMP_THREAD_REMOTE_WRITE]) < 0)
      abort();
  }

  void set_state(uint8_t b) {
    struct nmp_info *nmp = module.nmp();
    unsigned long flags;
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
    nmp->nw_port = (b & 1) ? 0 : 1;
    nmp->mount_port = (b & 2) ? 1 : 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
    __atomic_store_n(&nmp->active, (b & 4) ? 0u : 1u, __ATOMIC_RELAXED);
  }

  // What an input may have changed besides the ports and the active flag:
  // a failed reply drops the reply connection and marks the network
  // unusable; the received writes are on the data partition.
  void reset() {
    struct nmp_info *nmp = module.nmp();
    mirvol_down_nmp_send_sem(nmp);
    mirvol_release_nmp_sock(nmp);
    nmp->ack1_send_state = 1;
    mirvol_up_nmp_send_sem(nmp);
    unsigned long flags;
    spin_lock_irqsave(nmp->network_list_lock, flags);
    for (struct network *nw = nmp->network_list; nw; nw = nw->next) nw->state = NW_FREE;
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
    spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
    nmp->hb_client_up = nmp->hb_server_up = 0;
    nmp->dp_error = 0;
    spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
    module.data_image().clear();
  }
};

bool queue_empty(struct queue_head *qh) {
  unsigned long flags;
  spin_lock_irqsave(&qh->sys_var->lock, flags);
  bool empty = qh->head == nullptr;
  spin_unlock_irqrestore(&qh->sys_var->lock, flags);
  return empty;
}

}  // namespace

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Standby *standby = [] {
    auto *s = new Standby();
    s->start();
    return s;
  }();
  if (size < 1) return 0;
  struct nmp_info *nmp = standby->module.nmp();
  standby->set_state(data[0]);
  struct socket *sock = standby->feed.open(data + 1, size - 1);
  if (!sock) abort();
  mirvol_recv_sock_lock();
  nmp->recv_sock = sock;
  mirvol_recv_sock_unlock();
  mirvol_recv_data_main(nmp);  // releases the socket
  standby->feed.join();
  // The remote-write thread takes what was queued (woken by each queueing).
  for (int i = 0; i < 100000 && !queue_empty(&nmp->remote_write_head); i++) usleep(100);
  // The writes it queued reach the disk; their replies become wait-ACK2
  // entries, which go too.
  mirvol_recv_drain(nmp);
  fuzzsupport::clear_wait_ack2();
  standby->reset();
  return 0;
}
