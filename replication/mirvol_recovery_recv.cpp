// The recovery receiver: the standby's half of a recovery copy. A
// command-12 head on the accepted DATA connection is followed by its parts,
// each a sub-header (13 raw, 15 compressed) and its bytes; they are written
// to the data partition, the recovery ACK goes back on this server's own
// outgoing DATA connection, and on success this server's bits of the range
// are cleared. The older single-message command 3 is received too.
//
// Everything the peer sends is checked before it is used: a part holds at
// most 128 sectors of this device, its sub-header names this transfer, and
// its compressed segments decode to exactly its size. Any violation fails
// the transfer: reading stops, the bios already submitted are waited for,
// the ACK carries status 1 and the connection is closed.

#include "include/mirvol_perf.h"
#include "include/mirvol_recovery.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_compress.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_port.h"
#include "include/mirvol_recv.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

// The data-partition action of command 21 that breaks the mirror.
#define RECOVERY_DP_ACTION_MIRROR_BREAK 2

static bool sigterm_pending(void) { return sigismember_pending(get_current(), SIGTERM) != 0; }

// The error byte of a failed receive: 4 for a time-out, else 1.
static u8 recv_error(int r) { return (r == -ETIMEDOUT || r == -ETIME) ? 4 : 1; }

static void set_error(struct trans_request *req, u8 error) {
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  if (!req->error) req->error = error;
  spin_unlock_irqrestore(&req->var->lock, flags);
}

static u8 get_error(struct trans_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  u8 e = req->error;
  spin_unlock_irqrestore(&req->var->lock, flags);
  return e;
}

static void add_expected(struct trans_request *req) {
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  req->expected++;
  spin_unlock_irqrestore(&req->var->lock, flags);
}

void __mirvol_receive_io_end_write(struct bio *bio) {
  struct trans_request *req = static_cast<struct trans_request *>(bio->bi_private);
  struct nmp_info *nmp = req->nmp;
  int error = blk_status_to_errno(bio->bi_status);
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__mirvol_receive_io_end_write)\n",
                  160, (int)nmp->minor, error, (unsigned int)bio->bi_flags,
                  (unsigned long long)bio->bi_iter.bi_sector, (int)bio->bi_iter.bi_size);
    dump_stack();
    if (READ_ONCE(g_disk_error_action[3]) != RECOVERY_DP_ACTION_MIRROR_BREAK) {
      unsigned long flags;
      spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
      nmp->dp_error = 1;
      spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
      wake_up(&g_disk_error_wq);
    }
  } else {
    mirvol_perf_cnt_recovery_write_io(nmp, (u64)bio->bi_vcnt * 4096);
  }
  free_recv_bio(bio);
  // The wake-up stays under the lock: the handler frees the record once it
  // sees done = expected.
  unsigned long flags;
  spin_lock_irqsave(&req->var->lock, flags);
  if (error) req->error = 1;
  req->done++;
  if (req->done == req->expected) wake_up_interruptible(&req->var->wq);
  spin_unlock_irqrestore(&req->var->lock, flags);
}

void __mirvol_receive_io_end_write_4_3_0(struct bio *bio) { __mirvol_receive_io_end_write(bio); }

int mirvol_send_build_ack(struct trans_request *req, const struct head_part *given, u64 request_id) {
  struct nmp_info *nmp = req->nmp;
  struct head_part ack = *given;
  ack.magic = MIRVOL_MAGIC;
  ack.cmd = CMD_RECOVERY_ACK;
  ack.request_id = request_id;
  ack.status = (u32)(s32)(s8)get_error(req);
  mirvol_down_nmp_send_sem(nmp);
  int r = mirvol_send_head_part(nmp, ack);
  if (r <= 0) {
    mirvol_printk(MIRVOL_INFO "NMP%d failed to send ACK of recovery data (err=%d%s), retrying again.\n",
                  211, (int)nmp->minor, r, mirvol_err(r));
    mirvol_release_nmp_sock(nmp);
    r = mirvol_send_head_part(nmp, ack);
    if (r <= 0)
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to send ACK of recovery data (err=%d%s), recovery failed.\n",
                    212, (int)nmp->minor, r, mirvol_err(r));
  }
  mirvol_up_nmp_send_sem(nmp);
  return r;
}

// A record and its var for a received transfer; null (logged) on failure.
static struct trans_request *recv_request(struct nmp_info *nmp, u64 first, u64 last) {
  struct trans_request *req = mirvol_trans_request_allocate(nmp, last + 1 - first, first);
  if (!req) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery trans_request, start(%llu) end(%llu).\n",
                  145, (int)nmp->minor, (unsigned long long)first, (unsigned long long)last);
    return nullptr;
  }
  req->expected = 0;  // counted as the bios are submitted
  req->var = mirvol_queue_head_spinlock_malloc();
  if (!req->var) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery req->var, start(%llu) end(%llu).\n",
                  145, (int)nmp->minor, (unsigned long long)first, (unsigned long long)last);
    mirvol_trans_request_free(req);
    return nullptr;
  }
  return req;
}

// Before the first recovery bio: every received write queued for the
// remote-write thread or on the disk has completed, so that an older
// mirrored write cannot land over the recovery data. The DATA loop adds no
// received write meanwhile (it is running this handler). False when a
// SIGTERM ended the wait.
static bool wait_received_writes(struct nmp_info *nmp) {
  wait_queue_head_t wq;
  init_waitqueue_head(&wq, "recovery_recv_wait");
  while (atomic_read_acquire(&nmp->recv_in_flight)) {
    if (sigterm_pending()) return false;
    interruptible_sleep_on_timeout(&wq, HZ / 50 ? HZ / 50 : 1);
  }
  return true;
}

// Receives n bytes; on failure the record's error is set with event 224.
static bool recv_bytes(struct nmp_info *nmp, struct trans_request *req, void *buf, u32 n,
                       const char *what, u64 s, u64 e) {
  int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, buf, n);
  if (r == (int)n) return true;
  if (r > 0) r = -EIO;
  set_error(req, recv_error(r));
  mirvol_printk(MIRVOL_WARN "NMP%d failed to receive recovery %s (err=%d%s), start(%llu) end(%llu).\n",
                224, (int)nmp->minor, what, r, mirvol_err(r), (unsigned long long)s,
                (unsigned long long)e);
  return false;
}

// A sub-header that breaks a limit of the transfer fails it (event 227).
static void refuse(struct nmp_info *nmp, struct trans_request *req, u64 s, u64 e) {
  set_error(req, 1);
  mirvol_printk(MIRVOL_WARN "NMP%d failed to uncompress recovery data, start(%llu) end(%llu).\n", 227,
                (int)nmp->minor, (unsigned long long)s, (unsigned long long)e);
}

// Reads one command-15 part's segments and decodes them into `buf` (n
// bytes). False when the transfer failed.
static bool recv_compressed(struct nmp_info *nmp, struct trans_request *req,
                            const struct head_part *sub, u8 *buf, u32 n) {
  u64 s = sub->start_sector, e = sub->end_sector;
  u32 k = sub->vec_count;
  if (k < 1 || k > MIRVOL_COMPRESS_MAX_SLICES) {
    refuse(nmp, req, s, e);
    return false;
  }
  u64 filled = 0;
  for (u32 i = 0; i < k; i++) {
    u32 len_be;
    if (!recv_bytes(nmp, req, &len_be, sizeof(len_be), "data", s, e)) return false;
    u32 len = be32_to_cpu(len_be);
    if (len > n) {
      refuse(nmp, req, s, e);
      return false;
    }
    u8 *seg = static_cast<u8 *>(mirvol_loop_kmalloc(len ? len : 1));
    if (!seg) {
      set_error(req, 1);
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery uncompress buffer, len(%lu).\n",
                    145, (int)nmp->minor, (unsigned long)len);
      return false;
    }
    if (len && !recv_bytes(nmp, req, seg, len, "data", s, e)) {
      kfree(seg);
      return false;
    }
    u64 produced = 0;
    int r = mirvol_uncompress(buf + filled, n - filled, seg, len, &produced);
    kfree(seg);
    if (r != 0) {
      set_error(req, 1);
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to uncompress recovery data(%#x), start(%llu) end(%llu).\n",
                    227, (int)nmp->minor, (unsigned int)r, (unsigned long long)s,
                    (unsigned long long)e);
      return false;
    }
    filled += produced;
  }
  if (filled != n) {
    refuse(nmp, req, s, e);
    return false;
  }
  return true;
}

// Writes [s, e] in bios of the I/O unit, from `buf` when given, else
// straight from the connection. The bio that reaches the transfer's end is
// a synchronous write. False when the transfer failed.
static bool write_part(struct nmp_info *nmp, struct trans_request *req, u64 s, u64 e,
                       const u8 *buf, bool last_part) {
  u32 b = mirvol_recovery_io_sectors(nmp);
  for (u64 x = s; x <= e; x += b) {
    u64 n = e + 1 - x < b ? e + 1 - x : b;
    u32 bytes = (u32)(n * 512);
    struct bio *bio =
        malloc_recv_bh(nmp, x, bytes, __mirvol_receive_io_end_write_4_3_0, req, WRITE);
    if (!bio) {
      set_error(req, 1);
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery bio, start(%llu) end(%llu).\n", 145,
                    (int)nmp->minor, (unsigned long long)s, (unsigned long long)e);
      return false;
    }
    for (unsigned int i = 0; i < bio->bi_vcnt; i++) {
      u32 len = bio->bi_io_vec[i].bv_len;
      void *page = page_address(bio->bi_io_vec[i].bv_page);
      if (buf) {
        memcpy(page, buf + (x - s) * 512 + (u64)i * PAGE_SIZE, len);
      } else if (!recv_bytes(nmp, req, page, len, "data", s, e)) {
        free_recv_bio(bio);
        return false;
      }
    }
    if (last_part && x + n - 1 >= e) bio->bi_opf |= REQ_SYNC;
    add_expected(req);
    submit_bio(bio);
  }
  return true;
}

int mirvol_write_build_data2(struct nmp_info *nmp, struct head_part head) {
  int minor = (int)nmp->minor;
  u64 F = head.start_sector, L = head.end_sector;
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to receive recovery data (start=%llu, end=%llu), because N/W port "
                  "has been closed.\n",
                  156, minor, (unsigned long long)F, (unsigned long long)L);
    u8 wire[MIRVOL_HEAD_PART_SIZE];
    mirvol_head_encode(&head, wire);
    mirvol_send_port_problem(nmp, wire, 3);
    return 0;
  }
  struct trans_request *req = recv_request(nmp, F, L >= F ? L : F);
  if (!req) return 0;

  u64 size = smp_load_acquire(&my_disk[nmp->minor]);
  struct head_part sub = head;  // the ACK echoes the last sub-header received
  bool waited = false;
  if (L < F || L >= size) refuse(nmp, req, F, L);
  for (u32 i = 0; i < head.length && !get_error(req); i++) {
    u8 wire[MIRVOL_HEAD_PART_SIZE];
    if (!recv_bytes(nmp, req, wire, sizeof(wire), "head data", sub.start_sector, sub.end_sector))
      break;
    mirvol_head_decode(wire, &sub);
    u64 s = sub.start_sector, e = sub.end_sector;
    bool compressed = sub.cmd == CMD_COMPRESSED_RECOVERY_SUB_HEADER;
    if (sub.magic != MIRVOL_MAGIC || (sub.cmd != CMD_RECOVERY_SUB_HEADER && !compressed) ||
        sub.request_id != head.request_id || s > e || e - s + 1 > MIRVOL_RECOVERY_PART_SECTORS ||
        e >= size || sub.length != (u32)((e - s + 1) * 512)) {
      refuse(nmp, req, s, e);
      break;
    }
    u32 n = sub.length;
    u8 *buf = nullptr;
    if (compressed) {
      buf = static_cast<u8 *>(mirvol_loop_kmalloc(n));
      if (!buf) {
        set_error(req, 1);
        mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery uncompress buffer, len(%lu).\n",
                      145, minor, (unsigned long)n);
        break;
      }
      if (!recv_compressed(nmp, req, &sub, buf, n)) {
        kfree(buf);
        break;
      }
    }
    if (!waited) {
      waited = true;
      if (!wait_received_writes(nmp)) {
        set_error(req, 1);
        kfree(buf);
        break;
      }
    }
    bool ok = write_part(nmp, req, s, e, buf, i + 1 == head.length);
    kfree(buf);
    if (!ok) break;
  }

  flush_scheduled_work();
  mirvol_trans_request_wait(req, "written");
  mirvol_send_build_ack(req, &sub, head.request_id);
  if (get_error(req)) {
    mirvol_trans_request_free(req);
    return 0;
  }
  u64 g = READ_ONCE(nmp->bmp_size_in_sec);
  if (g && (L + 1) / g > F / g) {
    u64 fb = F / g, lb = (L + 1) / g - 1;
    if (mirvol_bitmap_clear1(fb, lb, nmp, 0) != 0) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to clear the bitmap. (bit,sector)(start,end)=(%lu,%lu),(%llu,%llu) "
                    "(mirvol_write_build_data2)\n",
                    162, minor, (unsigned long)fb, (unsigned long)lb,
                    (unsigned long long)sub.start_sector, (unsigned long long)sub.end_sector);
      mirvol_trans_request_free(req);
      return 0;
    }
  }
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->bitmap_lock, flags);
  nmp->recovery_prep_state = 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->bitmap_lock, flags);
  mirvol_trans_request_free(req);
  return 1;
}

int mirvol_write_build_data(struct nmp_info *nmp, struct head_part head) {
  int minor = (int)nmp->minor;
  u64 F = head.start_sector, L = head.end_sector;
  u32 n = head.length;
  u64 size = smp_load_acquire(&my_disk[nmp->minor]);
  // The message must hold exactly its range, on this device.
  if (L < F || L >= size || (u64)n != (L - F + 1) * 512) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to uncompress recovery data, start(%llu) end(%llu).\n",
                  227, minor, (unsigned long long)F, (unsigned long long)L);
    return 0;
  }
  u8 *discard = static_cast<u8 *>(mirvol_loop_kmalloc(PAGE_SIZE));
  if (!discard) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery tmp_buf, start(%llu) end(%llu).\n",
                  145, minor, (unsigned long long)F, (unsigned long long)L);
    return 0;
  }
  if (!mirvol_nw_port(nmp)) {
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to receive recovery data (start=%llu, end=%llu), because N/W port "
                  "has been closed.\n",
                  156, minor, (unsigned long long)F, (unsigned long long)L);
    for (u32 left = n; left;) {
      u32 c = left < PAGE_SIZE ? left : (u32)PAGE_SIZE;
      if (mirvol_recvmsg_from_nmp_recv_sock(nmp, discard, c) != (int)c) break;
      left -= c;
    }
    u8 wire[MIRVOL_HEAD_PART_SIZE];
    mirvol_head_encode(&head, wire);
    mirvol_send_port_problem(nmp, wire, 3);
    kfree(discard);
    return 0;
  }
  struct trans_request *req = recv_request(nmp, F, L);
  if (!req) {
    kfree(discard);
    return 0;
  }
  bool waited = false, stream_broken = false;
  for (u64 x = F; x <= L; x += 8) {
    u64 c = L + 1 - x < 8 ? L + 1 - x : 8;
    u32 bytes = (u32)(c * 512);
    struct bio *bio = malloc_recv_bh(nmp, x, bytes, __mirvol_receive_io_end_write_4_3_0, req, WRITE);
    if (!bio) {
      add_expected(req);
      mirvol_set_buffer_error(req, req->var);
      mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate recovery buf_head, start(%llu) end(%llu).\n",
                    145, minor, (unsigned long long)F, (unsigned long long)L);
      if (mirvol_recvmsg_from_nmp_recv_sock(nmp, discard, bytes) != (int)bytes) {
        stream_broken = true;
        break;
      }
      continue;
    }
    int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, page_address(bio->bi_io_vec[0].bv_page), bytes);
    if (r != (int)bytes) {
      add_expected(req);
      mirvol_set_buffer_error(req, req->var);
      free_recv_bio(bio);
      mirvol_printk(MIRVOL_WARN
                    "NMP%d failed to receive recovery data (err=%d%s), start(%llu) end(%llu).\n",
                    224, minor, r, mirvol_err(r), (unsigned long long)F, (unsigned long long)L);
      stream_broken = true;  // the rest of the message is lost with the stream
      break;
    }
    if (!waited) {
      waited = true;
      if (!wait_received_writes(nmp)) {
        add_expected(req);
        mirvol_set_buffer_error(req, req->var);
        free_recv_bio(bio);
        break;
      }
    }
    if (x + 7 >= L) bio->bi_opf |= REQ_SYNC;
    add_expected(req);
    submit_bio(bio);
  }
  mirvol_trans_request_wait(req, "written");
  mirvol_send_build_ack(req, &head, head.request_id);
  mirvol_trans_request_free(req);
  kfree(discard);
  // The connection stays whatever the ACK said, unless the stream was cut
  // short and cannot be read on.
  return stream_broken ? 0 : 1;
}
