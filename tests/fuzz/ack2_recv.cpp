// The ACK2 listener's receive loop over any byte stream from the peer, on a
// loopback connection: four wait-ACK2 entries of NMP3 are there before each
// input (ids 1..4 of the device's id space), and every entry left is
// removed after it. The module and its device are set up once.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "include/mirvol_ack2_recv.h"
#include "include/mirvol_bitmap_writer.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr u64 kIdBase = 3ull << 24;

void put_be64(u8 *p, u64 v) {
  for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (u8)v;
}

}  // namespace

MIRVOL_FUZZ_INITIALIZE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // No entry expires during an input.
  static fuzzsupport::Module *module =
      fuzzsupport::loaded_module([](struct nmp_info *nmp) { nmp->ack_timeout = 100000; });
  static fuzzsupport::Feed feed;
  if (!feed.ok()) abort();
  struct nmp_info *nmp = module->nmp();
  for (u64 i = 1; i <= 4; i++) {
    u8 head[56] = {};
    put_be64(head + 8, 100 * i);
    put_be64(head + 16, 100 * i + 7);
    put_be64(head + 24, kIdBase + i);
    if (mirvol_add_wait_ack2_queue(head, nmp) != 0) abort();
  }
  struct socket *sock = feed.open(data, size);
  if (!sock) abort();
  mirvol_recv_ack2_main(sock, nmp);  // releases the socket
  feed.join();
  fuzzsupport::clear_wait_ack2();
  return 0;
}
