// The heartbeat server's loop over one connection: any stream from the
// peer, on a loopback connection, answered on that connection. Whatever the
// stream, the server's flag is down when the loop has left, and the N/W
// port is open only when it was open before or the client's flag was up and
// at least one request was answered. The flags are put back after each
// input; the module and its device are set up once.
//
// Input: byte 0 sets the device's flags for this input (bit 0: N/W port
// open, bit 1: heartbeat client's flag up); the rest is the stream.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "include/mirvol_hb.h"
#include "include/mirvol_protocol.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void set_flags(struct nmp_info *nmp, u32 nw_port, u32 client, u32 server) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  nmp->nw_port = nw_port;
  nmp->hb_client_up = client;
  nmp->hb_server_up = server;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
}

// Whether the stream holds a request the server answers: the connection
// ends at the first message whose command is not a request.
bool has_request(const uint8_t *p, size_t n) {
  if (n < MIRVOL_SHORT_MSG_SIZE) return false;
  u32 cmd = (u32)p[4] << 24 | (u32)p[5] << 16 | (u32)p[6] << 8 | p[7];
  return cmd == CMD_HB_REQUEST;
}

}  // namespace

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzzsupport::Module *module =
      fuzzsupport::loaded_module([](struct nmp_info *nmp) { nmp->send_timeout = 100; });
  static fuzzsupport::Feed feed;
  if (!feed.ok()) abort();
  if (size < 1) return 0;
  struct nmp_info *nmp = module->nmp();
  u32 port_before = data[0] & 1, client = (data[0] >> 1) & 1;
  set_flags(nmp, port_before, client, 0);
  struct socket *sock = feed.open(data + 1, size - 1);
  if (!sock) abort();
  mirvol_recv_hb_main(sock, nmp);  // releases the socket
  feed.join();
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 server = nmp->hb_server_up, port = nmp->nw_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  if (server != 0) {
    fprintf(stderr, "hb_recv: the server's flag is still up after its connection ended\n");
    abort();
  }
  // A response the peer never read may fail to go; the port may stay shut
  // then, but it never opens without a request and the client's flag.
  if (port && !port_before && !(client && has_request(data + 1, size - 1))) {
    fprintf(stderr, "hb_recv: the N/W port opened without a request and the client's flag\n");
    abort();
  }
  set_flags(nmp, 0, 0, 0);
  return 0;
}
