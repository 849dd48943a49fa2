// Sending writes to the peer: the synchronous send in the request path, the
// asynchronous enqueue with its private copy of the data, and the send-data
// thread that puts queued writes on the wire in queue order.

#include "include/mirvol_perf.h"
#include "include/mirvol_trans.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_compress.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_port.h"
#include "include/mirvol_qos.h"
#include "include/mirvol_sock.h"

// How a write reaches the peer.
//
// Every message on the outgoing DATA connection is sent whole under the
// device's send semaphore (mirvol_down_nmp_send_sem), which owns data_sock:
// the synchronous request path, the send-data thread, the ACK1 and
// stop-sending senders and recovery take turns on it.
//
// Synchronous mode (mirvol_send_data, in the task that submitted the bio):
// under the semaphore, with the N/W port open, the request enters the
// request_queue (mirvol_add_req_queue: its id, and its ACK1 timer started)
// and head, segment sizes, segment offsets and data leave in one gathered
// send. The send state stays 0. A failed send releases the connection and
// takes the request off the queue again: the request path then marks it for
// the bitmap and gives it bit 2. When the request was no longer queued
// (its ACK1 or time-out settled it meanwhile) the result is 1 and the
// request path only submits the local write.
//
// Asynchronous mode (mirvol_send_data2, in the request path, atomic
// allocations only): the data is copied into buff_list, the vector arrays
// are built, the request gets its serial number and state 1, is journalled
// in the Cluster Partition and enters the request_queue; beyond
// send_queue_cnt queued requests its data is spilled to a history file
// first. Its ACK1 timer is set up but not started. The send-data thread
// "mirvol_nmp%02d_08" (mirvol_send_data_thread) then, woken by each local
// completion or every 0.1 s, runs mirvol_send_all_data:
//   - take the send semaphore; a closed N/W port ends the pass
//     (STATUS_PORT_CLOSED while requests wait, logged once until the next
//     other result);
//   - mirvol_take_next_request, under the request-queue lock, walks from the
//     head: states other than 1 are skipped, a state-1 request without its
//     dcq node (ACK1 wait given up) becomes 4 and is skipped for the
//     disconnection thread to finish, and the first other state-1 request
//     becomes 2 only if its local write is done (async_local_done);
//     otherwise nothing is sent, so queue order holds;
//   - state 2: the data is read back from its history file if spilled, the
//     ACK1 timer is started and the enqueue time reset (ACK1 latency counts
//     from the send), and the message goes out (command 16 with compression
//     of sync data, else 14);
//   - sent: buff_list is freed, then the state becomes 3 under the
//     request-queue lock as the thread's last access (from then on ACK1 may
//     finish and free the request); the bandwidth limit may sleep; the
//     semaphore is released and the next request is taken;
//   - failed: the connection is released, the N/W port closed, the
//     semaphore released, the state set to 4, and the request taken off the
//     queue (not found: event 173, someone else settled it); it gets
//     needs_bitmap, bit 2 and its time records, and every other waiting
//     ACK1 of the device is given up.
//   SIGTERM is looked at every 5 s within a pass and between passes.
//
// Re-send rules (replication/mirvol_sock.cpp):
//   - before a message: no connection means a connect (mirvol_sock_connect:
//     network after network in use, each a watched connect and the
//     negotiation message; a failure marks that network ERROR and tries the
//     next). A connection on a network in ERROR is dropped and made anew
//     when the device has two networks or more.
//   - a send that fails before the head has gone out completely drops the
//     connection and sends the whole message again on a new one (event 211
//     "retrying again"), unless it is a recovery sub-header (command 13 or
//     15, whose range the recovery repeats itself), SIGTERM is pending or
//     the module is unloading; a failed reconnect returns its error.
//   - a send that fails after the head is never repeated: the peer would
//     read the next message as the rest of this one, so the connection is
//     released and its network marked ERROR, and the caller's failure path
//     above runs.
//
// Watchdog: every connect and send blocks all signals of the task but 24
// for its duration and is bounded by connect_timeout or send_timeout
// seconds (a deadline the socket call keeps in its own poll; each partial
// send starts a new one). When the time runs out, or signal 24 arrives
// (posted by the send_timeout timer of a watched receive, or by anyone
// else), the call returns -ETIME (-62). SIGTERM stays pending meanwhile: it
// never ends a send or a connect, only the loops between them look at it.

// --- small helpers ---

// Stores a send state under the request-queue lock, with release ordering:
// for the send-data thread the store that leaves state 2 is its last access
// to the request.
static void mirvol_set_send_state(struct nmp_info *nmp, struct io_request *req, u32 state) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  smp_store_release(&req->send_state, state);
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
}

static u32 be32_entry(const s32 *array, unsigned int i) {
  return be32_to_cpu((u32)array[i]);
}

// The big-endian size and page-offset arrays of every vector of the bio.
// 0, or -1 with nothing allocated (the failure logged).
static int mirvol_build_vec_arrays(struct nmp_info *nmp, struct bio *bio, gfp_t gfp,
                                   s32 **sizes, s32 **offsets) {
  size_t len = (size_t)bio->bi_vcnt * sizeof(s32);
  *sizes = static_cast<s32 *>(kmalloc(len ? len : 1, gfp));
  if (!*sizes) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate vec_size.\n", 145, (int)nmp->minor);
    return -1;
  }
  *offsets = static_cast<s32 *>(kmalloc(len ? len : 1, gfp));
  if (!*offsets) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate vec_offset.\n", 145, (int)nmp->minor);
    mirvol_kfree(sizes);
    return -1;
  }
  for (unsigned int i = 0; i < bio->bi_vcnt; i++) {
    (*sizes)[i] = (s32)cpu_to_be32(bio->bi_io_vec[i].bv_len);
    (*offsets)[i] = (s32)cpu_to_be32(bio->bi_io_vec[i].bv_offset);
  }
  return 0;
}

static void mirvol_free_vec_arrays(struct io_request *req) {
  mirvol_kfree(&req->segment_sizes);
  mirvol_kfree(&req->segment_offsets);
}

void mirvol_kfree_buff_list(struct buff_list **list) {
  while (*list) {
    struct buff_list *next = (*list)->next;
    if ((*list)->page) __free_page((*list)->page);
    kfree(*list);
    *list = next;
  }
}

// Appends a node holding `page` (`len` bytes) at the tail of the list.
static bool mirvol_buff_list_append(struct buff_list **list, struct page *page, u32 len,
                                    gfp_t gfp) {
  struct buff_list *node = static_cast<struct buff_list *>(kmalloc(sizeof(*node), gfp));
  if (!node) return false;
  node->next = nullptr;
  node->page = page;
  node->len = len;
  while (*list) list = &(*list)->next;
  *list = node;
  return true;
}

// The head of a write message, in host order.
static struct head_part mirvol_write_head(u32 cmd, struct io_request *req, u64 id, u32 bytes,
                                          u16 count, u16 index) {
  struct head_part h;
  mirvol_head_init(&h, cmd);
  h.start_sector = req->start_sector;
  h.end_sector = req->start_sector + req->sector_count - 1;
  h.request_id = id;
  h.length = bytes;
  h.vec_count = count;
  h.vec_index = index;
  return h;
}

// Logs a failed step of a send (event 212): `failed` is the step's message,
// taking the minor, the sector and the error; empty when the step logged
// it itself.
static void mirvol_log_send_failure(struct nmp_info *nmp, struct io_request *req,
                                    const char *failed, int r) {
  if (!*failed) return;
  char fmt[160];
  mirvol_sprintf(fmt, sizeof(fmt), "%s%s", MIRVOL_WARN, failed);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  mirvol_printk(fmt, 212, (int)nmp->minor, (unsigned long long)req->start_sector, r,
                mirvol_err(r));
#pragma GCC diagnostic pop
}

// Which piece of a message (head, payload vectors) a send that ended after
// `sent` bytes failed in: 0 the head, 1 the segment sizes, 2 the segment
// offsets, 3 the data. A piece counts as sent once its last byte went out.
static unsigned int mirvol_failed_piece(const struct kvec *payload, size_t num, size_t sent) {
  if (sent < MIRVOL_HEAD_PART_SIZE) return 0;
  sent -= MIRVOL_HEAD_PART_SIZE;
  for (size_t i = 0; i < num && i < 2; i++) {
    if (sent < payload[i].iov_len) return (unsigned int)i + 1;
    sent -= payload[i].iov_len;
  }
  return 3;
}

// --- synchronous send ---

int mirvol_send_data(struct nmp_info *nmp, struct bio *bio, struct io_request *req) {
  s32 *sizes, *offsets;
  if (mirvol_build_vec_arrays(nmp, bio, GFP_NOIO, &sizes, &offsets)) return -1;
  u32 array_len = (u32)bio->bi_vcnt * 4;

  mirvol_down_nmp_send_sem(nmp);
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to send sync data (secnr=%llu), because N/W port has been "
                  "closed.\n",
                  156, (int)nmp->minor, (unsigned long long)req->start_sector);
    mirvol_up_nmp_send_sem(nmp);
    kfree(sizes);
    kfree(offsets);
    return -1;
  }

  u64 id = mirvol_add_req_queue(nmp, req);
  struct head_part head = mirvol_write_head(CMD_WRITE_SYNC_DATA, req, id, bio->bi_iter.bi_size,
                                            bio->bi_vcnt, (u16)bio->bi_iter.bi_idx);
  // The whole message leaves in one gathered send: head, segment sizes,
  // segment offsets and the data of each segment.
  struct kvec payload[2 + BIO_MAX_PAGES];
  size_t num = 0;
  payload[num++] = {sizes, array_len};
  payload[num++] = {offsets, array_len};
  u32 left = bio->bi_iter.bi_size;
  for (unsigned int i = bio->bi_iter.bi_idx; i < bio->bi_vcnt && left; i++) {
    struct bio_vec *bv = &bio->bi_io_vec[i];
    u32 n = bv->bv_len < left ? bv->bv_len : left;
    payload[num++] = {static_cast<u8 *>(page_address(bv->bv_page)) + bv->bv_offset, n};
    left -= n;
  }
  size_t sent = 0;
  int r = mirvol_send_message(nmp, head, payload, num, &sent);
  const char *failed = nullptr;
  if (r <= 0) {
    static const char *const part_failed[] = {
        "NMP%d failed to send sync head part (secnr=%llu) (err=%d%s).\n",
        "NMP%d failed to send sync vec_size part (secnr=%llu) (err=%d%s).\n",
        "NMP%d failed to send sync vec_offset part (secnr=%llu) (err=%d%s).\n",
        "NMP%d failed to send sync data part (secnr=%llu) (err=%d%s).\n",
    };
    failed = part_failed[mirvol_failed_piece(payload, num, sent)];
  }

  if (!failed) {
    mirvol_perf_cnt_cmp_and_org_sync(nmp, bio->bi_iter.bi_size - left, bio->bi_iter.bi_size - left);
    mirvol_qos_sleep_nmp(nmp);
    mirvol_up_nmp_send_sem(nmp);
    kfree(sizes);
    kfree(offsets);
    return r;
  }

  mirvol_log_send_failure(nmp, req, failed, r);
  // A message given up after its head must not leave the connection open:
  // the peer would read the next message as the rest of this one.
  mirvol_release_nmp_sock(nmp);
  mirvol_up_nmp_send_sem(nmp);
  if (!mirvol_del_req_queue(nmp, id)) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to send, but its ID was not found in request_queue. "
                  "(mirvol_send_data)\n",
                  173, (int)nmp->minor);
    r = 1;
  }
  kfree(sizes);
  kfree(offsets);
  return r;
}

// --- asynchronous enqueue ---

int mirvol_copy_data_to_req(struct nmp_info *nmp, struct bio *bio, struct io_request *req) {
  s32 *sizes, *offsets;
  if (mirvol_build_vec_arrays(nmp, bio, GFP_ATOMIC, &sizes, &offsets)) return -1;

  struct buff_list *list = nullptr;
  u32 left = bio->bi_iter.bi_size;
  for (unsigned int i = bio->bi_iter.bi_idx; i < bio->bi_vcnt && left; i++) {
    struct bio_vec *bv = &bio->bi_io_vec[i];
    u32 n = bv->bv_len < left ? bv->bv_len : left;
    struct page *pg = alloc_page(GFP_ATOMIC);
    const char *failed = nullptr;
    if (!pg) {
      failed = MIRVOL_ERR "NMP%d failed to allocate data buffer to send.\n";
    } else {
      memcpy(page_address(pg), static_cast<u8 *>(page_address(bv->bv_page)) + bv->bv_offset, n);
      if (!mirvol_buff_list_append(&list, pg, n, GFP_ATOMIC)) {
        __free_page(pg);
        failed = MIRVOL_ERR "NMP%d failed to allocate buffer_list node.\n";
      }
    }
    if (failed) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      mirvol_printk(failed, 145, (int)nmp->minor);
#pragma GCC diagnostic pop
      mirvol_kfree_buff_list(&list);
      kfree(sizes);
      kfree(offsets);
      return -1;
    }
    left -= n;
  }

  req->segment_sizes = sizes;
  req->segment_offsets = offsets;
  req->buff_list = list;
  req->bytes = bio->bi_iter.bi_size;
  req->segment_index = (u16)bio->bi_iter.bi_idx;
  req->segment_count = bio->bi_vcnt;
  WRITE_ONCE(req->send_state, SEND_STATE_QUEUED);

  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->serial_lock, flags);
  req->async_serial = nmp->async_serial++;
  spin_unlock_irqrestore(&nmp->nmp_variable->serial_lock, flags);
  WRITE_ONCE(req->async_local_done, 0);
  return 0;
}

// A failed enqueue leaves the request without its copy and unqueued.
static int mirvol_drop_async_copy(struct io_request *req) {
  mirvol_free_vec_arrays(req);
  mirvol_kfree_buff_list(&req->buff_list);
  WRITE_ONCE(req->send_state, SEND_STATE_NONE);
  return -1;
}

int mirvol_queue_async_req(struct nmp_info *nmp, struct io_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  u64 queued = nmp->request_queue_cnt;
  u64 limit = READ_ONCE(nmp->send_queue_cnt);
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);

  if (limit == 0 || queued < limit) {
    mirvol_add_req_queue(nmp, req);
    return 1;
  }
  // The queue is full: the data waits in a history file instead of memory.
  if (mirvol_write_history_file(req) != 0) return mirvol_drop_async_copy(req);
  mirvol_kfree_buff_list(&req->buff_list);
  req->history_file = 1;
  mirvol_add_req_queue(nmp, req);
  return 1;
}

static int mirvol_send_data2_counted(struct nmp_info *nmp, struct bio *bio,
                                     struct io_request *req) {
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to send async data (secnr=%llu), because N/W port has been "
                  "closed.\n",
                  156, (int)nmp->minor, (unsigned long long)req->start_sector);
    return -1;
  }
  if (mirvol_copy_data_to_req(nmp, bio, req)) return -1;
  if (mirvol_write_history_info(req) != 0 || mirvol_set_hisinfo_used_flag(nmp, req, 1) != 0)
    return mirvol_drop_async_copy(req);
  return mirvol_queue_async_req(nmp, req);
}

int mirvol_send_data2(struct nmp_info *nmp, struct bio *bio, struct io_request *req) {
  // Counted before the port is looked at (under the device spinlock, which
  // the close takes too): a stop that closes the port and then sees the
  // count at 0 knows that every write which found the port open is already
  // in the send queue, where its drain finds it.
  atomic_inc_return(&nmp->async_submitting);
  int r = mirvol_send_data2_counted(nmp, bio, req);
  atomic_dec_return(&nmp->async_submitting);
  return r;
}

// --- work bio and spilled data ---

struct bio *mirvol_malloc_wrk_bio(struct io_request *req) {
  if (!req) return nullptr;
  struct bio *bio = nullptr;
  for (int i = 0; i < 5 && !bio; i++) {
    bio = bio_alloc(GFP_NOIO, req->segment_count);
    if (bio || i == 4) break;
    flush_scheduled_work();
    msleep(1000);
    mirvol_printk(MIRVOL_INFO "NMP%d failed to allocate a bio, retrying.\n", 146,
                  req->nmp ? (int)req->nmp->minor : -1);
  }
  if (!bio) return nullptr;
  bio->bi_end_io = nullptr;
  bio->bi_private = nullptr;
  bio->bi_opf = req->write ? REQ_OP_WRITE : REQ_OP_READ;
  bio->bi_iter.bi_sector = req->start_sector;
  bio->bi_iter.bi_size = req->bytes;
  bio->bi_iter.bi_idx = req->segment_index;
  for (unsigned int i = 0; i < req->segment_count && i < bio->bi_max_vecs; i++) {
    bio->bi_io_vec[i].bv_page = nullptr;
    bio->bi_io_vec[i].bv_len = be32_entry(req->segment_sizes, i);
    bio->bi_io_vec[i].bv_offset = be32_entry(req->segment_offsets, i);
    bio->bi_vcnt = (unsigned short)(i + 1);
  }
  return bio;
}

void mirvol_kmalloc_buff_list_to_req(struct io_request *req) {
  struct bio *wrk = mirvol_malloc_wrk_bio(req);
  if (!wrk) {
    mirvol_kfree_buff_list(&req->buff_list);
    return;
  }
  u32 left = wrk->bi_iter.bi_size;
  for (unsigned int i = wrk->bi_iter.bi_idx; i < wrk->bi_vcnt && left; i++) {
    u32 n = wrk->bi_io_vec[i].bv_len < left ? wrk->bi_io_vec[i].bv_len : left;
    struct page *pg = n <= PAGE_SIZE ? alloc_page(GFP_NOIO) : nullptr;
    if (!pg || !mirvol_buff_list_append(&req->buff_list, pg, n, GFP_NOIO)) {
      if (pg) __free_page(pg);
      mirvol_kfree_buff_list(&req->buff_list);
      break;
    }
    left -= n;
  }
  bio_put(wrk);
}

int mirvol_read_history_file_to_req(struct io_request *req) {
  if (!req) {
    mirvol_printk(MIRVOL_ERR "Internal error. (req is NULL.)\n", 330);
    return 0;
  }
  struct nmp_info *nmp = req->nmp;
  if (!nmp) {
    mirvol_printk(MIRVOL_ERR "Internal error. (nmp is NULL.)\n", 330);
    return 0;
  }
  if (!req->history_file) return 1;
  if (req->buff_list) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (req->buff_list exists. serial_no=0x%016llX)\n",
                  330, (int)nmp->minor, (unsigned long long)req->async_serial);
    dump_stack();
    return 0;
  }
  mirvol_kmalloc_buff_list_to_req(req);
  if (!req->buff_list) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate req->buff_list. serial_no=0x%016llX)\n", 145,
                  (int)nmp->minor, (unsigned long long)req->async_serial);
    return 0;
  }
  int r = mirvol_read_history_file(req);
  if (r == 0 || r == 14) {
    req->history_file = 0;
    return 1;
  }
  mirvol_kfree_buff_list(&req->buff_list);
  return 0;
}

// --- the send-data thread ---

// The next request to send, now in state 2, with its id read under the
// queue lock: a path that takes the request off the queue may clear the id
// in the request while it is being sent.
static struct io_request *mirvol_take_next_request(struct nmp_info *nmp, u64 *id) {
  struct io_request *found = nullptr;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (struct io_request *req = nmp->request_queue_head; req; req = req->next) {
    if (smp_load_acquire(&req->send_state) != SEND_STATE_QUEUED) continue;
    // Its ACK1 wait was given up before it was sent: the disconnection
    // thread finishes it.
    if (!req->dcq) {
      smp_store_release(&req->send_state, SEND_STATE_ABANDONED);
      continue;
    }
    // Queue order: nothing behind a request whose local write is not done.
    if (smp_load_acquire(&req->async_local_done)) {
      smp_store_release(&req->send_state, SEND_STATE_SENDING);
      *id = req->request_id;
      found = req;
    }
    break;
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return found;
}

// Whether a pass would find work: walking the queue as
// mirvol_take_next_request does, a state-1 request that has lost its dcq
// node (to be marked 4) or, first in queue order, one whose local write is
// done. Changes nothing.
static bool mirvol_send_data_ready(struct nmp_info *nmp) {
  bool ready = false;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (struct io_request *req = nmp->request_queue_head; req; req = req->next) {
    if (smp_load_acquire(&req->send_state) != SEND_STATE_QUEUED) continue;
    ready = !req->dcq || smp_load_acquire(&req->async_local_done);
    break;
  }
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return ready;
}

struct io_request *mirvol_get_data_from_queue(struct nmp_info *nmp) {
  u64 id;
  return mirvol_take_next_request(nmp, &id);
}

// Sends one segment of an asynchronous request. With compression of sync
// data the segment goes as a 4-byte length and either its LZSS stream (when
// shorter) or its raw bytes. The failure text in *failed.
static int mirvol_send_async_segment(struct nmp_info *nmp, struct buff_list *buf, bool compress,
                                     const char **failed) {
  u8 *data = static_cast<u8 *>(page_address(buf->page));
  u32 n = buf->len;
  if (!compress) {
    int r = mirvol_send_data_part(nmp, n, data);
    if (r <= 0)
      *failed = "NMP%d failed to send async data part. (sector=%llu) (err=%d%s)\n";
    else
      mirvol_perf_cnt_cmp_and_org_sync(nmp, n, n);
    return r;
  }

  void *out = nullptr;
  for (int i = 0; i < 5 && !out; i++) {
    out = kmalloc(n, GFP_NOIO);
    if (!out && i < 4) schedule_timeout_uninterruptible(HZ);
  }
  if (!out) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate compress buffer, length=%lu.\n", 145,
                  (int)nmp->minor, (unsigned long)n);
    *failed = "";
    return -ENOMEM;
  }
  struct compress_result result[1];
  u64 total = 0;
  u32 all = 0;
  const u8 *piece = data;
  u32 piece_len = n;
  if (mirvol_compress(data, n, out, &total, &all, result, 1) == 0 && all && total < n) {
    piece = static_cast<const u8 *>(out);
    piece_len = (u32)total;
  }
  u32 len_be = cpu_to_be32(piece_len);
  int r = mirvol_send_data_part(nmp, 4, &len_be);
  if (r <= 0) {
    *failed = "NMP%d failed to send compressed async data length. (sector=%llu) (err=%d%s)\n";
  } else {
    mirvol_perf_cnt_compress_sync(nmp, sizeof(len_be));
    r = mirvol_send_data_part(nmp, piece_len, const_cast<u8 *>(piece));
    if (r <= 0)
      *failed = "NMP%d failed to send async data part. (sector=%llu) (err=%d%s)\n";
    else
      mirvol_perf_cnt_cmp_and_org_sync(nmp, piece_len, n);
  }
  kfree(out);
  return r;
}

// The buffers of an asynchronous request match its segments: each holds
// the length of its segment. The invalid segment's index, or -1.
static int mirvol_invalid_buff_list(struct io_request *req, struct bio *wrk) {
  struct buff_list *buf = req->buff_list;
  u32 left = wrk->bi_iter.bi_size;
  for (unsigned int i = wrk->bi_iter.bi_idx; i < wrk->bi_vcnt && left; i++) {
    u32 n = wrk->bi_io_vec[i].bv_len < left ? wrk->bi_io_vec[i].bv_len : left;
    if (!buf || buf->len != n) return (int)i;
    buf = buf->next;
    left -= n;
  }
  return -1;
}

static void mirvol_log_invalid_buff_list(struct nmp_info *nmp, int i, struct bio *wrk) {
  mirvol_printk(MIRVOL_WARN
                "NMP%d failed to send async data part, because buff_list is invalid. "
                "(bi_idx/bi_vcnt: %d/%d)\n",
                212, (int)nmp->minor, i, (int)wrk->bi_vcnt);
}

// An uncompressed asynchronous request as one gathered send: head, segment
// sizes, segment offsets and its buffers. With a buffer list that does not
// match its segments, what comes before the bad segment goes out and the
// send fails there. > 0 sent, else the error with its text in *failed.
static int mirvol_send_async_whole(struct nmp_info *nmp, struct io_request *req, struct bio *wrk,
                                   struct head_part head, u32 array_len, const char **failed) {
  int bad = mirvol_invalid_buff_list(req, wrk);
  struct kvec payload[2 + BIO_MAX_PAGES];
  size_t num = 0;
  payload[num++] = {req->segment_sizes, array_len};
  payload[num++] = {req->segment_offsets, array_len};
  // Up to the bad segment every buffer holds its segment's length.
  struct buff_list *buf = req->buff_list;
  u32 left = wrk->bi_iter.bi_size;
  for (unsigned int i = wrk->bi_iter.bi_idx; i < wrk->bi_vcnt && left && (int)i != bad; i++) {
    u32 n = wrk->bi_io_vec[i].bv_len < left ? wrk->bi_io_vec[i].bv_len : left;
    payload[num++] = {page_address(buf->page), n};
    buf = buf->next;
    left -= n;
  }
  size_t sent = 0;
  int r = mirvol_send_message(nmp, head, payload, num, &sent);
  if (r <= 0) {
    static const char *const part_failed[] = {
        "NMP%d failed to send async head part. (sector=%llu) (err=%d%s)\n",
        "NMP%d failed to send async vec_size part. (sector=%llu) (err=%d%s)\n",
        "NMP%d failed to send async vec_offset part. (sector=%llu) (err=%d%s)\n",
        "NMP%d failed to send async data part. (sector=%llu) (err=%d%s)\n",
    };
    *failed = part_failed[mirvol_failed_piece(payload, num, sent)];
    return r;
  }
  for (size_t i = 2; i < num; i++)
    mirvol_perf_cnt_cmp_and_org_sync(nmp, payload[i].iov_len, payload[i].iov_len);
  if (bad >= 0) {
    mirvol_log_invalid_buff_list(nmp, bad, wrk);
    *failed = "";
    return -1;
  }
  return r;
}

// Puts one request (state 2) on the wire. 1 sent, else the error (0 or
// less); the failure is logged.
static int mirvol_send_one_async(struct nmp_info *nmp, struct io_request *req, u64 id) {
  if (!mirvol_read_history_file_to_req(req)) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to send async data. (sector=%llu) (serial no=0x%llX)\n",
                  212, (int)nmp->minor, (unsigned long long)req->start_sector,
                  (unsigned long long)req->async_serial);
    return -1;
  }

  // The ACK1 wait starts with the send: latency counts from here.
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  req->enqueue_time = mirvol_jiffies();
  mod_timer(&req->sys_var->timer, (unsigned long)(mirvol_jiffies() + (u64)mirvol_timeout(&nmp->ack_timeout) * HZ));
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);

  struct bio *wrk = mirvol_malloc_wrk_bio(req);
  if (!wrk) return -1;
  // The device size may be changed by command 16 meanwhile.
  if (req->start_sector >= smp_load_acquire(&my_disk[nmp->minor])) {
    mirvol_printk(MIRVOL_WARN "NMP%d requested sector is out of NMP area. (mirvol_send_all_data)\n",
                  165, (int)nmp->minor);
    bio_put(wrk);
    return -1;
  }

  bool compress = (READ_ONCE(nmp->compress_flags) & 1) != 0;
  struct head_part head =
      mirvol_write_head(compress ? CMD_WRITE_COMPRESSED_SYNC_DATA : CMD_WRITE_SYNC_DATA, req, id,
                        req->bytes, req->segment_count, req->segment_index);
  u32 array_len = (u32)req->segment_count * 4;
  const char *failed = nullptr;
  int r;
  if (!compress) {
    r = mirvol_send_async_whole(nmp, req, wrk, head, array_len, &failed);
  } else if ((r = mirvol_send_head_part(nmp, head)) <= 0) {
    failed = "NMP%d failed to send async head part. (sector=%llu) (err=%d%s)\n";
  } else if ((r = mirvol_send_data_part(nmp, array_len, req->segment_sizes)) <= 0) {
    failed = "NMP%d failed to send async vec_size part. (sector=%llu) (err=%d%s)\n";
  } else if ((r = mirvol_send_data_part(nmp, array_len, req->segment_offsets)) <= 0) {
    failed = "NMP%d failed to send async vec_offset part. (sector=%llu) (err=%d%s)\n";
  } else {
    struct buff_list *buf = req->buff_list;
    u32 left = wrk->bi_iter.bi_size;
    for (unsigned int i = wrk->bi_iter.bi_idx; i < wrk->bi_vcnt && left; i++) {
      u32 n = wrk->bi_io_vec[i].bv_len < left ? wrk->bi_io_vec[i].bv_len : left;
      if (!buf || buf->len != n) {
        mirvol_log_invalid_buff_list(nmp, (int)i, wrk);
        failed = "";
        r = -1;
        break;
      }
      r = mirvol_send_async_segment(nmp, buf, compress, &failed);
      if (r <= 0) break;
      buf = buf->next;
      left -= n;
    }
  }
  bio_put(wrk);
  if (failed) {
    mirvol_log_send_failure(nmp, req, failed, r);
    return r > 0 ? -1 : r;
  }
  return 1;
}

int mirvol_send_all_data(struct nmp_info *nmp) {
  int last = 1;
  u64 checked = mirvol_jiffies();
  for (;;) {
    if (mirvol_jiffies() - checked >= 5 * HZ) {
      checked = mirvol_jiffies();
      if (sigismember_pending(get_current(), SIGTERM)) return 2;
    }
    mirvol_down_nmp_send_sem(nmp);
    if (!mirvol_nw_port(nmp)) {
      mirvol_up_nmp_send_sem(nmp);
      unsigned long flags;
      spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
      bool waiting = nmp->request_queue_head != nullptr;
      spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
      return waiting ? (int)STATUS_PORT_CLOSED : last;
    }
    u64 id = 0;
    struct io_request *req = mirvol_take_next_request(nmp, &id);
    if (!req) {
      mirvol_up_nmp_send_sem(nmp);
      return last;
    }

    int r = mirvol_send_one_async(nmp, req, id);
    // The data buffers go first: once the state leaves 2 the request may be
    // finished and freed by its ACK1 at any moment.
    struct buff_list *list = req->buff_list;
    req->buff_list = nullptr;
    mirvol_kfree_buff_list(&list);

    if (r > 0) {
      mirvol_set_send_state(nmp, req, SEND_STATE_WAIT_ACK1);  // last access to req
      mirvol_qos_sleep_nmp(nmp);
      mirvol_up_nmp_send_sem(nmp);
      last = 1;
      continue;
    }

    mirvol_release_nmp_sock(nmp);
    mirvol_close_com_port(nmp);
    mirvol_up_nmp_send_sem(nmp);
    // Given up: from this store on the request belongs to whoever takes it
    // off the queue, this thread only when it finds it there itself.
    mirvol_set_send_state(nmp, req, SEND_STATE_ABANDONED);
    req = mirvol_del_req_queue(nmp, id);
    if (!req) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to send, but its ID was not found in request_queue. "
                    "(mirvol_send_all_data)\n",
                    173, (int)nmp->minor);
      return -1;
    }
    smp_store_release(&req->needs_bitmap, 1);
    mirvol_end_req(req, REQ_REMOTE_DONE);
    mirvol_write_cptime(nmp, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
    mirvol_do_all_request_ack1_timeout_asap(nmp);
    return r;
  }
}

int mirvol_send_data_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  allow_signal(SIGTERM);
  bool port_logged = false;
  // Whether the last pass ended with nothing left to take (result 1).
  bool drained = true;
  for (;;) {
    wait_queue_head_t *wq = &nmp->nmp_variable->nmp_send_data_wq;
    if (drained) {
      // The next pass starts as soon as a local completion makes a request
      // sendable, also one that came while the last pass was ending: the
      // thread is queued on the wait queue before the check. Without one it
      // starts after 0.1 s.
      wait_event_interruptible_timeout(*wq, mirvol_send_data_ready(nmp), HZ / 10);
    } else {
      // The last pass stopped with requests it could not send (N/W port
      // closed or a failed send): the check may hold at once, so the thread
      // sleeps the period or until a wake-up rather than retrying at once.
      mirvol_interruptible_sleep_on_timeout(wq, HZ / 10);
    }
    if (signal_pending(get_current())) break;
    int r = mirvol_send_all_data(nmp);
    if (r == 2) break;
    drained = r == 1;
    if (r == (int)STATUS_PORT_CLOSED) {
      if (!port_logged)
        mirvol_printk(MIRVOL_INFO "NMP%d can not send async data, because N/W port has been closed.\n",
                      219, (int)nmp->minor);
      port_logged = true;
    } else {
      port_logged = false;
    }
  }
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_send_data_thread)\n", 132,
                (int)nmp->minor);
  smp_store_release(&nmp->thread[NMP_THREAD_SEND_DATA].running, 0);
  return 0;
}
