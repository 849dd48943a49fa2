// Per-device statistics. The statistics area of a device comes with the
// statistics commands; until then no device has one, so there is nothing
// to count into.

#include "include/mirvol_ext.h"

void mirvol_perf_cnt_write_request_count(struct nmp_info *nmp, int up) {
  (void)nmp;
  (void)up;
}
void mirvol_perf_cnt_active_io(struct io_request *req, u64 bits) {
  (void)req;
  (void)bits;
}
void mirvol_perf_cnt_nmp_io(struct io_request *req) { (void)req; }
void mirvol_perf_cnt_sync_wait_recovery(struct nmp_info *nmp, u32 ms) {
  (void)nmp;
  (void)ms;
}
void mirvol_perf_cnt_send_req_cnt(struct nmp_info *nmp) { (void)nmp; }
void mirvol_perf_cnt_send_req_byte(struct nmp_info *nmp, struct io_request *req, int add) {
  (void)nmp;
  (void)req;
  (void)add;
}
