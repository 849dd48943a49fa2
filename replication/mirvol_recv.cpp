// The standby receiver: the write handlers of the DATA receive loop, the
// receive bios, the remote-write thread "mirvol_nmp%02d_04", the completion
// of a received write, and the ACK1 sender thread "mirvol_nmp%02d_06".
//
// Every head is checked before anything sized from it is allocated or
// read: a head that breaks a limit of the bio it describes is refused with
// ACK1 status 1 and the connection is closed, since what follows it on the
// stream can no longer be trusted.

#include "include/mirvol_perf.h"
#include "include/mirvol_recv.h"

#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_compress.h"
#include "include/mirvol_main.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"

#define MIRVOL_RECV_ALLOC_TRIES 5
#define MIRVOL_DP_ACTION_MIRROR_BREAK 2

// --- small helpers ---

static void mirvol_recv_ports(struct nmp_info *nmp, u32 *nw_port, u32 *mount_port) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  *nw_port = nmp->nw_port;
  *mount_port = nmp->mount_port;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
}

static bool mirvol_recv_active(struct nmp_info *nmp) {
  return READ_ONCE(nmp->active) == 1;
}

// A reply that did not reach the peer leaves the write's range to this
// server's bitmap, through a wait-ACK2 entry that no ACK2 will remove.
static void mirvol_recv_reply_failed(struct nmp_info *nmp, const u8 *wire, int reply) {
  if (reply <= 0) mirvol_add_wait_ack2_queue(wire, nmp);
}

// Step 1 of both handlers: a closed N/W port or an open mount port answers
// the write with stop-sending. False when the write is refused so.
static bool mirvol_recv_ports_allow(struct nmp_info *nmp, const u8 *wire) {
  u32 nw_port, mount_port;
  mirvol_recv_ports(nmp, &nw_port, &mount_port);
  if (nw_port && !mount_port) return true;
  if (!nw_port)
    mirvol_printk(MIRVOL_INFO
                  "NMP%d failed to receive sync data, because N/W port has been closed.\n",
                  156, (int)nmp->minor);
  else
    mirvol_printk(MIRVOL_WARN
                  "NMP%d received sync data, but mount port has been opened, sync failed.\n",
                  158, (int)nmp->minor);
  mirvol_recv_reply_failed(nmp, wire, mirvol_send_port_problem(nmp, wire, 0));
  return false;
}

static void mirvol_recv_bad_head(struct nmp_info *nmp, const struct head_part *h,
                                 const char *fname) {
  mirvol_printk(MIRVOL_WARN
                "NMP%d received wrong write head. (start_sector=%llu, end_sector=%llu, length=%u, "
                "vec_count=%u, vec_index=%u) (%s)\n",
                225, (int)nmp->minor, (unsigned long long)h->start_sector,
                (unsigned long long)h->end_sector, h->length, h->vec_count, h->vec_index, fname);
}

// The limits of the head itself: a length of whole sectors, an id this
// server can map to a device (else its wait-ACK2 entry could never be
// removed), a range aligned to the data partition's logical blocks (else
// the disk write fails), an end sector that matches the length where the
// command carries one, and for vectored writes a vector count the block
// layer takes for one bio, a start index within it and a length the
// vectors from that index can hold.
static bool mirvol_recv_head_shape_ok(struct nmp_info *nmp, const struct head_part *h,
                                      bool vectored) {
  if (h->length == 0 || h->length % SECTOR_SIZE) return false;
  if (!mirvol_request_id_mappable(h->request_id)) return false;
  u32 block_sectors = bdev_logical_block_size(nmp->dp_bdev) / SECTOR_SIZE;
  if (block_sectors > 1 &&
      (h->start_sector % block_sectors || (h->length / SECTOR_SIZE) % block_sectors))
    return false;
  // Command 0 has no end sector on the wire (it is sent as zero).
  if (!vectored) return h->length <= PAGE_SIZE;
  if (h->end_sector != h->start_sector + h->length / SECTOR_SIZE - 1) return false;
  if (h->vec_count == 0 || h->vec_count > BIO_MAX_PAGES) return false;
  if (h->vec_index >= h->vec_count) return false;
  return (u64)h->length <= (u64)(h->vec_count - h->vec_index) * PAGE_SIZE;
}

// The write lies within the mirror device; written so that no sum wraps.
static bool mirvol_recv_in_range(struct nmp_info *nmp, const struct head_part *h) {
  if (nmp->minor > MIRVOL_MAX_MINOR) return false;
  // The size command may change it meanwhile.
  u64 size = smp_load_acquire(&my_disk[nmp->minor]);
  return h->start_sector <= size && h->length / SECTOR_SIZE <= size - h->start_sector;
}

static void mirvol_recv_free(struct bio *bio, struct end_io_para *para) {
  free_recv_bio(bio);
  kfree(para);
}

// --- receive bios ---

static struct bio *mirvol_recv_bio_alloc(struct nmp_info *nmp, unsigned int nvec,
                                         const char *retry_fmt) {
  for (int i = 0;; i++) {
    struct bio *bio = bio_alloc(GFP_NOIO, nvec);
    if (bio) return bio;
    if (i == MIRVOL_RECV_ALLOC_TRIES - 1) return nullptr;
    flush_scheduled_work();
    schedule_timeout_interruptible(HZ);
    mirvol_printk(retry_fmt, 146, (int)nmp->minor);
  }
}

static struct page *mirvol_recv_page_alloc(struct nmp_info *nmp, const char *retry_fmt) {
  for (int i = 0;; i++) {
    struct page *pg = alloc_page(GFP_NOIO);
    if (pg) return pg;
    if (i == MIRVOL_RECV_ALLOC_TRIES - 1) return nullptr;
    flush_scheduled_work();
    schedule_timeout_interruptible(HZ);
    mirvol_printk(retry_fmt, 146, (int)nmp->minor);
  }
}

static void mirvol_recv_bio_setup(struct nmp_info *nmp, struct bio *bio, u64 sector, u32 length,
                                  bio_end_io_t *end_io, void *priv, int dir) {
  bio_set_dev(bio, nmp->dp_bdev);
  bio_set_op_attrs(bio, dir == WRITE ? REQ_OP_WRITE : REQ_OP_READ, 0);
  bio->bi_iter.bi_sector = sector;
  bio->bi_iter.bi_size = length;
  bio->bi_iter.bi_idx = 0;
  bio->bi_end_io = end_io;
  bio->bi_private = priv;
}

// A bio of nvec fresh pages; vector i gets len(i) bytes at offset 0.
template <typename Len>
static struct bio *mirvol_recv_bio_pages(struct nmp_info *nmp, unsigned int nvec, Len len,
                                         const char *bio_fmt, const char *page_fmt) {
  struct bio *bio = mirvol_recv_bio_alloc(nmp, nvec, bio_fmt);
  if (!bio) return nullptr;
  for (unsigned int i = 0; i < nvec; i++) {
    struct page *pg = mirvol_recv_page_alloc(nmp, page_fmt);
    if (!pg) {
      free_recv_bio(bio);
      return nullptr;
    }
    bio->bi_io_vec[i].bv_page = pg;
    bio->bi_io_vec[i].bv_len = len(i);
    bio->bi_io_vec[i].bv_offset = 0;
    bio->bi_vcnt = (unsigned short)(i + 1);
  }
  return bio;
}

struct bio *malloc_recv_bh(struct nmp_info *nmp, u64 sector, u32 length, bio_end_io_t *end_io,
                           void *priv, int dir) {
  unsigned int nvec = (unsigned int)((length + PAGE_SIZE - 1) / PAGE_SIZE);
  if (nvec == 0 || nvec > BIO_MAX_PAGES) return nullptr;
  struct bio *bio = mirvol_recv_bio_pages(
      nmp, nvec,
      [length](unsigned int i) {
        u32 rest = length - i * (u32)PAGE_SIZE;
        return rest < PAGE_SIZE ? rest : (u32)PAGE_SIZE;
      },
      MIRVOL_INFO "NMP%d failed to allocate bio for recovery, retrying.\n",
      MIRVOL_INFO "NMP%d failed to allocate bv_page for recovery, retrying.\n");
  if (bio) mirvol_recv_bio_setup(nmp, bio, sector, length, end_io, priv, dir);
  return bio;
}

struct bio *malloc_recv_bh2(struct nmp_info *nmp, u64 sector, u32 length, bio_end_io_t *end_io,
                            struct end_io_para *para, int dir) {
  struct head_part h;
  mirvol_head_decode(para->head, &h);
  if (h.vec_count == 0 || h.vec_count > BIO_MAX_PAGES) return nullptr;
  struct bio *bio = mirvol_recv_bio_pages(
      nmp, h.vec_count, [](unsigned int) { return 0u; },
      MIRVOL_INFO "NMP%d failed to allocate bio for writing received data, retrying.\n",
      MIRVOL_INFO "NMP%d failed to allocate bv_page for writing received data, retrying.\n");
  if (bio) mirvol_recv_bio_setup(nmp, bio, sector, length, end_io, para, dir);
  return bio;
}

struct bio *malloc_trans_read_bio(struct nmp_info *nmp, u64 sector, u32 length,
                                  bio_end_io_t *end_io, void *priv, int dir,
                                  struct page **first) {
  unsigned int nvec = (unsigned int)((length + PAGE_SIZE - 1) / PAGE_SIZE);
  if (nvec == 0 || nvec > BIO_MAX_PAGES) return nullptr;
  struct bio *bio = mirvol_recv_bio_alloc(
      nmp, nvec, MIRVOL_INFO "NMP%d failed to allocate bio for recovery, retrying.\n");
  if (!bio) return nullptr;
  for (unsigned int i = 0; i < nvec; i++) {
    u32 rest = length - i * (u32)PAGE_SIZE;
    bio->bi_io_vec[i].bv_page = first[i];
    bio->bi_io_vec[i].bv_len = rest < PAGE_SIZE ? rest : (u32)PAGE_SIZE;
    bio->bi_io_vec[i].bv_offset = 0;
  }
  bio->bi_vcnt = (unsigned short)nvec;
  mirvol_recv_bio_setup(nmp, bio, sector, length, end_io, priv, dir);
  return bio;
}

// --- the queues ---

int mirvol_add_remote_write_queue(struct nmp_info *nmp, struct bio *bio) {
  struct remote_write_queue *node =
      static_cast<struct remote_write_queue *>(mirvol_kmalloc(sizeof(*node)));
  if (!node) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate remote_write_queue.\n", 145,
                  (int)nmp->minor);
    return -ENOMEM;
  }
  node->bio = bio;
  atomic_inc_return(&nmp->recv_in_flight);
  struct sys_var *sv = nmp->remote_write_head.sys_var;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  struct remote_write_queue *first = static_cast<struct remote_write_queue *>(nmp->remote_write_head.head);
  struct remote_write_queue *last = static_cast<struct remote_write_queue *>(nmp->remote_write_head.tail);
  mirvol_fifo_append(&first, &last, node);
  nmp->remote_write_head.head = first;
  nmp->remote_write_head.tail = last;
  spin_unlock_irqrestore(&sv->lock, flags);
  wake_up(&sv->wq);
  return 0;
}

int mirvol_add_send_ack1_queue(struct end_io_para *para, u32 status) {
  struct nmp_info *nmp = para->nmp;
  struct send_ack1_queue *node =
      static_cast<struct send_ack1_queue *>(mirvol_kmalloc(sizeof(*node)));
  if (!node) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate send_ack1_queue.\n", 145, (int)nmp->minor);
    return -ENOMEM;
  }
  memset(node, 0, sizeof(*node));
  memcpy(node->head, para->head, sizeof(node->head));
  node->status = status;
  struct sys_var *sv = nmp->send_ack1_head.sys_var;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  struct send_ack1_queue *first = static_cast<struct send_ack1_queue *>(nmp->send_ack1_head.head);
  struct send_ack1_queue *last = static_cast<struct send_ack1_queue *>(nmp->send_ack1_head.tail);
  mirvol_fifo_append(&first, &last, node);
  nmp->send_ack1_head.head = first;
  nmp->send_ack1_head.tail = last;
  spin_unlock_irqrestore(&sv->lock, flags);
  wake_up(&sv->wq);
  return 0;
}

// Takes the first node of a queue, or null.
template <typename T>
static T *mirvol_recv_take(struct queue_head *qh) {
  struct sys_var *sv = qh->sys_var;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  T *first = static_cast<T *>(qh->head);
  T *last = static_cast<T *>(qh->tail);
  T *node = first;
  if (node) {
    mirvol_fifo_unlink(&first, &last, static_cast<T **>(nullptr), node);
    qh->head = first;
    qh->tail = last;
  }
  spin_unlock_irqrestore(&sv->lock, flags);
  return node;
}

static bool mirvol_recv_queue_empty(struct queue_head *qh) {
  unsigned long flags;
  spin_lock_irqsave(&qh->sys_var->lock, flags);
  bool empty = qh->head == nullptr;
  spin_unlock_irqrestore(&qh->sys_var->lock, flags);
  return empty;
}

// --- receiving a write, command 0 ---

int mirvol_write_recv_data(struct nmp_info *nmp, struct head_part head) {
  int minor = (int)nmp->minor;
  u8 wire[MIRVOL_HEAD_PART_SIZE];
  // The head is checked before any reply is built from it, the refusal
  // for a closed port included. The payload goes into one page: a longer
  // one is refused unread.
  if (!mirvol_recv_head_shape_ok(nmp, &head, false)) {
    mirvol_head_encode(&head, wire);
    mirvol_recv_bad_head(nmp, &head, "mirvol_write_recv_data");
    mirvol_send_Ack1(wire, nmp, 1);
    return 0;
  }
  // The write's last sector, which this command does not carry, for the
  // wait-ACK2 entries made from the kept head.
  head.end_sector = head.start_sector + head.length / SECTOR_SIZE - 1;
  mirvol_head_encode(&head, wire);
  if (!mirvol_recv_ports_allow(nmp, wire)) return 0;
  struct end_io_para *para = static_cast<struct end_io_para *>(mirvol_kmalloc(sizeof(*para)));
  if (!para) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate end_io_para.\n", 145, minor);
    mirvol_recv_reply_failed(nmp, wire, mirvol_send_Ack1(wire, nmp, 1));
    return 0;
  }
  para->nmp = nmp;
  memcpy(para->head, wire, sizeof(wire));
  struct bio *bio = malloc_recv_bh(nmp, head.start_sector, head.length,
                                   __mirvol_receive_io_end_4_3_0, para, WRITE);
  if (!bio) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bio.\n", 145, minor);
    kfree(para);
    mirvol_recv_reply_failed(nmp, wire, mirvol_send_Ack1(wire, nmp, 1));
    return 0;
  }
  void *page = page_address(bio->bi_io_vec[0].bv_page);
  if (!mirvol_recv_in_range(nmp, &head)) {
    mirvol_printk(MIRVOL_WARN "NMP%d requested sector is out of NMP area. (mirvol_write_recv_data)\n",
                  165, minor);
    // The payload is read and dropped, so the peer's send is not left
    // hanging on a full window before it sees the close.
    int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, page, head.length);
    if (r <= 0)
      mirvol_printk(MIRVOL_WARN "NMP%d failed to receive sync data part. (err=%d%s)\n", 224, minor,
                    r, mirvol_err(r));
    mirvol_send_Ack1(wire, nmp, 1);
    mirvol_recv_free(bio, para);
    return 0;
  }
  int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, page, head.length);
  if (r <= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to receive sync data part. (err=%d%s)\n", 224, minor, r,
                  mirvol_err(r));
    mirvol_send_Ack1(wire, nmp, 1);
    schedule_timeout_interruptible(HZ);
    mirvol_recv_free(bio, para);
    if (r < 0) mirvol_add_wait_ack2_queue(wire, nmp);
    return 0;
  }
  if (mirvol_add_remote_write_queue(nmp, bio) < 0) {
    int reply = mirvol_send_Ack1(wire, nmp, 1);
    mirvol_recv_free(bio, para);
    mirvol_recv_reply_failed(nmp, wire, reply);
  }
  return 1;
}

// --- receiving a write, commands 14, 16, 17 and 18 ---

// What ended a vectored receive before its bio was queued.
enum recv_fail {
  RECV_FAIL_NONE,
  RECV_FAIL_REFUSED,  // the payload breaks a limit: ACK1 status 1, close
  RECV_FAIL_STREAM,   // receive, buffer or decompression failure: ACK1 1, pause, close
};

static int mirvol_recv_fail_receive(struct nmp_info *nmp, const char *what, int r) {
  mirvol_printk(MIRVOL_WARN "NMP%d failed to receive %s. (err=%d%s)\n", 224, (int)nmp->minor, what,
                r, mirvol_err(r));
  return RECV_FAIL_STREAM;
}

// Receives the segment tables into the bio's vectors and checks them: each
// segment lies within its page and is not empty, and the segments from the
// start index hold exactly the head's length.
static int mirvol_recv_vectors(struct nmp_info *nmp, const struct head_part *h, struct bio *bio,
                               u32 *sizes, u32 *offsets) {
  u32 n = h->vec_count;
  // Both tables follow each other on the wire: one receive for the two.
  struct kvec tables[2] = {{sizes, (size_t)n * 4}, {offsets, (size_t)n * 4}};
  size_t got = 0;
  int r = mirvol_recvmsgv_from_nmp_recv_sock(nmp, tables, 2, &got);
  if (r <= 0)
    return mirvol_recv_fail_receive(
        nmp, got < (size_t)n * 4 ? "sync vec_size part" : "sync vec_offset part", r);
  u64 sum = 0;
  for (u32 i = 0; i < n; i++) {
    u32 len = be32_to_cpu(sizes[i]);
    u32 off = be32_to_cpu(offsets[i]);
    if (len == 0 || len > PAGE_SIZE || off > PAGE_SIZE - len) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d received wrong sync vec part. (index=%u, vec_size=%u, vec_offset=%u)\n",
                    225, (int)nmp->minor, i, len, off);
      return RECV_FAIL_REFUSED;
    }
    bio->bi_io_vec[i].bv_len = len;
    bio->bi_io_vec[i].bv_offset = off;
    if (i >= h->vec_index) sum += len;
  }
  if (sum != h->length) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d received wrong sync vec part. (vec_size total=%llu, length=%u)\n", 225,
                  (int)nmp->minor, (unsigned long long)sum, h->length);
    return RECV_FAIL_REFUSED;
  }
  bio->bi_iter.bi_idx = h->vec_index;
  return RECV_FAIL_NONE;
}

// One compressed segment of s bytes into dst: a length word L, then L bytes
// of a stream that must decode to exactly s bytes, or s raw bytes when L
// equals s. A length word above s is a protocol error.
static int mirvol_recv_compressed_segment(struct nmp_info *nmp, u8 *dst, u32 s) {
  int minor = (int)nmp->minor;
  u32 word;
  int r = mirvol_recvmsg_from_nmp_recv_sock(nmp, &word, sizeof(word));
  if (r <= 0) return mirvol_recv_fail_receive(nmp, "compressed sync length part", r);
  u32 l = be32_to_cpu(word);
  if (l > s) {
    mirvol_printk(MIRVOL_WARN "NMP%d received wrong compressed sync length. (length=%u, size=%u)\n",
                  225, minor, l, s);
    return RECV_FAIL_REFUSED;
  }
  if (l == s) {
    r = mirvol_recvmsg_from_nmp_recv_sock(nmp, dst, s);
    return r <= 0 ? mirvol_recv_fail_receive(nmp, "compressed sync data", r) : RECV_FAIL_NONE;
  }
  u8 *buf = static_cast<u8 *>(mirvol_loop_kmalloc(l ? l : 1));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate uncompress buffer.\n", 145, minor);
    return RECV_FAIL_STREAM;
  }
  if (l) {
    r = mirvol_recvmsg_from_nmp_recv_sock(nmp, buf, l);
    if (r <= 0) {
      kfree(buf);
      return mirvol_recv_fail_receive(nmp, "compressed sync data", r);
    }
  }
  u64 produced = 0;
  int rc = mirvol_uncompress(dst, s, buf, l, &produced);
  kfree(buf);
  // A stream cut short still decodes without error: the segment must come
  // out whole, or the rest of the page would go to disk as it is.
  if (rc == 0 && produced != s) rc = STATUS_FAILED;
  if (rc != 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d failed to uncompress compressed sync data. (err=%#x)\n", 227,
                  minor, (unsigned int)rc);
    return RECV_FAIL_STREAM;
  }
  return RECV_FAIL_NONE;
}

// Walks the bio from its start index for the head's length, filling each
// segment from the wire. Uncompressed segments follow each other on the
// wire with nothing between them, so one receive fills them all, straight
// into the bio's pages.
static int mirvol_recv_payload(struct nmp_info *nmp, const struct head_part *h, struct bio *bio) {
  bool compressed =
      h->cmd == CMD_WRITE_COMPRESSED_SYNC_DATA || h->cmd == CMD_WRITE_COMPRESSED_SYNC_DATA_3_14;
  u32 left = h->length;
  if (!compressed) {
    // The head's check bounds the vector count by BIO_MAX_PAGES.
    struct kvec vec[BIO_MAX_PAGES];
    size_t num = 0;
    for (u32 i = h->vec_index; left; i++) {
      struct bio_vec *v = &bio->bi_io_vec[i];
      u32 s = v->bv_len < left ? v->bv_len : left;
      vec[num++] = {static_cast<u8 *>(page_address(v->bv_page)) + v->bv_offset, (size_t)s};
      left -= s;
    }
    int r = mirvol_recvmsgv_from_nmp_recv_sock(nmp, vec, num, nullptr);
    if (r <= 0) return mirvol_recv_fail_receive(nmp, "sync data part", r);
    return RECV_FAIL_NONE;
  }
  for (u32 i = h->vec_index; left; i++) {
    struct bio_vec *v = &bio->bi_io_vec[i];
    u32 s = v->bv_len < left ? v->bv_len : left;
    u8 *dst = static_cast<u8 *>(page_address(v->bv_page)) + v->bv_offset;
    int f = mirvol_recv_compressed_segment(nmp, dst, s);
    if (f != RECV_FAIL_NONE) return f;
    left -= s;
  }
  return RECV_FAIL_NONE;
}

int mirvol_write_recv_data2(struct nmp_info *nmp, struct head_part head) {
  int minor = (int)nmp->minor;
  u8 wire[MIRVOL_HEAD_PART_SIZE];
  mirvol_head_encode(&head, wire);
  // Nothing sized from the head is allocated or read, and no reply is
  // built from it, before it is checked.
  if (!mirvol_recv_head_shape_ok(nmp, &head, true)) {
    mirvol_recv_bad_head(nmp, &head, "mirvol_write_recv_data2");
    mirvol_send_Ack1(wire, nmp, 1);
    return 0;
  }
  if (!mirvol_recv_ports_allow(nmp, wire)) return 0;
  if (!mirvol_recv_in_range(nmp, &head)) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d requested sector is out of NMP area. (mirvol_write_recv_data2)\n",
                  165, minor);
    mirvol_send_Ack1(wire, nmp, 1);
    return 0;
  }

  int result = 0;
  int reply = 1;
  struct bio *bio = nullptr;
  struct end_io_para *para = nullptr;
  u32 *sizes = static_cast<u32 *>(mirvol_kmalloc(head.vec_count * sizeof(u32)));
  u32 *offsets = static_cast<u32 *>(mirvol_kmalloc(head.vec_count * sizeof(u32)));
  if (!sizes || !offsets) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate %s.\n", 145, minor,
                  !sizes ? "vec_size" : "vec_offset");
    reply = mirvol_send_Ack1(wire, nmp, 1);
    goto out;
  }
  para = static_cast<struct end_io_para *>(mirvol_kmalloc(sizeof(*para)));
  if (!para) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate end_io_para.\n", 145, minor);
    reply = mirvol_send_Ack1(wire, nmp, 1);
    goto out;
  }
  para->nmp = nmp;
  memcpy(para->head, wire, sizeof(wire));
  bio = malloc_recv_bh2(nmp, head.start_sector, head.length, __mirvol_receive_io_end_4_3_0, para,
                        WRITE);
  if (!bio) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate bio.\n", 145, minor);
    reply = mirvol_send_Ack1(wire, nmp, 1);
    goto out;
  }

  {
    int f = mirvol_recv_vectors(nmp, &head, bio, sizes, offsets);
    if (f == RECV_FAIL_NONE) f = mirvol_recv_payload(nmp, &head, bio);
    if (f != RECV_FAIL_NONE) {
      reply = mirvol_send_Ack1(wire, nmp, 1);
      if (f == RECV_FAIL_STREAM) schedule_timeout_interruptible(HZ);
      goto out;
    }
  }
  // A server that stopped serving the device during the receive writes
  // nothing and answers nothing.
  if (!mirvol_recv_active(nmp)) goto out;
  if (mirvol_add_remote_write_queue(nmp, bio) < 0) {
    reply = mirvol_send_Ack1(wire, nmp, 1);
  } else {
    bio = nullptr;
    para = nullptr;
  }
  result = 1;

out:
  if (bio) free_recv_bio(bio);
  kfree(para);
  kfree(sizes);
  kfree(offsets);
  mirvol_recv_reply_failed(nmp, wire, reply);
  return result;
}

// --- completion ---

void __mirvol_receive_io_end(struct bio *bio, unsigned int bytes, int error) {
  (void)bytes;
  struct end_io_para *para = static_cast<struct end_io_para *>(bio->bi_private);
  struct nmp_info *nmp = para->nmp;
  if (error) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d disk I/O error (%d). (bi_flags=%x, bi_sector=%llu, bi_size=%d, "
                  "__mirvol_receive_io_end)\n",
                  160, (int)nmp->minor, error, (unsigned int)bio->bi_flags,
                  (unsigned long long)bio->bi_iter.bi_sector, (int)bio->bi_iter.bi_size);
    dump_stack();
    if (READ_ONCE(g_disk_error_action[3]) ==
        MIRVOL_DP_ACTION_MIRROR_BREAK) {
      // The ACK1 sender thread sends the status 1: a completion cannot send.
      if (mirvol_add_send_ack1_queue(para, 1) < 0) mirvol_add_wait_ack2_queue(para->head, nmp);
    } else {
      unsigned long flags;
      spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
      nmp->dp_error = 1;
      spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
      wake_up(&g_disk_error_wq);
    }
  } else if (mirvol_recv_active(nmp)) {
    if (mirvol_add_send_ack1_queue(para, 0) < 0) mirvol_add_wait_ack2_queue(para->head, nmp);
  }
  mirvol_perf_cnt_standby_io(nmp, bio, error);
  mirvol_recv_free(bio, para);
  atomic_dec_return(&nmp->recv_in_flight);
}

void __mirvol_receive_io_end_4_3_0(struct bio *bio) {
  __mirvol_receive_io_end(bio, bio->bi_iter.bi_size, blk_status_to_errno(bio->bi_status));
}

void __mirvol_receive_io_end_2_6_24(struct bio *bio, int error) {
  __mirvol_receive_io_end(bio, bio->bi_iter.bi_size, error);
}

// --- the threads ---

int mirvol_remote_write_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  allow_signal(SIGTERM);
  struct queue_head *qh = &nmp->remote_write_head;
  for (;;) {
    // Queued on the wait queue before the check, so a write queued after it
    // still wakes this thread; the tick is the period of the idle pass.
    wait_event_interruptible_timeout(qh->sys_var->wq, !mirvol_recv_queue_empty(qh), 1);
    if (signal_pending(get_current())) break;
    int submitted = 0;
    // Submitted in arrival order: overlapping writes reach the disk so.
    while (struct remote_write_queue *node = mirvol_recv_take<struct remote_write_queue>(qh)) {
      struct bio *bio = node->bio;
      kfree(node);
      generic_make_request(bio);
      submitted++;
    }
    if (submitted) mirvol_unplug_bdev(nmp->dp_bdev, 1);
  }
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_remote_write_thread)\n", 132,
                (int)nmp->minor);
  smp_store_release(&nmp->thread[NMP_THREAD_REMOTE_WRITE].running, 0);
  return 0;
}

// Replies taken from the send-ACK1 queue at a time, sent together.
#define MIRVOL_ACK1_BATCH 64

// Sends the ACK1 of each node, with the node's status, and stores each
// one's result as mirvol_send_Ack1 returns it. While this server's DATA
// connection is there and its network is not in ERROR, the heads go out in
// one gathered send, the same bytes as one send each. Every head that send
// did not carry whole goes out on its own with mirvol_send_Ack1, which
// reconnects, retries and logs as for a single reply; a head cut part-way
// first ends the connection, or the peer would read the next message as
// its rest.
static void mirvol_recv_send_ack1s(struct nmp_info *nmp, struct send_ack1_queue **nodes, size_t n,
                                   int *results) {
  size_t done = 0;
  if (n > 1) {
    u8 wire[MIRVOL_ACK1_BATCH][MIRVOL_HEAD_PART_SIZE];
    struct kvec vec[MIRVOL_ACK1_BATCH];
    for (size_t i = 0; i < n; i++) {
      struct head_part got, ack;
      mirvol_head_decode(nodes[i]->head, &got);
      mirvol_head_init(&ack, CMD_ACK1);
      ack.start_sector = got.start_sector;
      ack.request_id = got.request_id;
      ack.status = nodes[i]->status;
      mirvol_head_encode(&ack, wire[i]);
      vec[i] = {wire[i], sizeof(wire[i])};
    }
    mirvol_down_nmp_send_sem(nmp);
    if (nmp->data_sock && mirvol_current_network_state(nmp) != NW_ERROR) {
      size_t sent = 0;
      int r = mirvol_send2v(nmp->data_sock, vec, n, mirvol_timeout(&nmp->send_timeout), nmp, &sent);
      done = r > 0 ? n : sent / MIRVOL_HEAD_PART_SIZE;
      if (r <= 0 && sent % MIRVOL_HEAD_PART_SIZE) mirvol_release_nmp_sock(nmp);
      if (done) nmp->ack1_send_state = 1;
    }
    mirvol_up_nmp_send_sem(nmp);
  }
  for (size_t i = 0; i < done; i++) results[i] = MIRVOL_HEAD_PART_SIZE;
  for (size_t i = done; i < n; i++)
    results[i] = mirvol_send_Ack1(nodes[i]->head, nmp, nodes[i]->status);
}

int mirvol_send_ack1_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  allow_signal(SIGTERM);
  struct queue_head *qh = &nmp->send_ack1_head;
  for (;;) {
    // As in the remote-write thread: a reply queued after the check is not
    // missed.
    wait_event_interruptible_timeout(qh->sys_var->wq, !mirvol_recv_queue_empty(qh), 1);
    if (signal_pending(get_current())) break;
    struct send_ack1_queue *nodes[MIRVOL_ACK1_BATCH];
    int results[MIRVOL_ACK1_BATCH];
    for (;;) {
      size_t n = 0;
      while (n < MIRVOL_ACK1_BATCH) {
        struct send_ack1_queue *node = mirvol_recv_take<struct send_ack1_queue>(qh);
        if (!node) break;
        nodes[n++] = node;
      }
      if (!n) break;
      // The entries exist before the peer can answer the ACK1s with ACK2.
      for (size_t i = 0; i < n; i++)
        if (nodes[i]->status == 0) mirvol_add_wait_ack2_queue(nodes[i]->head, nmp);
      mirvol_recv_send_ack1s(nmp, nodes, n, results);
      for (size_t i = 0; i < n; i++) {
        if (nodes[i]->status != 0) mirvol_recv_reply_failed(nmp, nodes[i]->head, results[i]);
        kfree(nodes[i]);
      }
    }
  }
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_send_ack1_thread)\n", 132,
                (int)nmp->minor);
  smp_store_release(&nmp->thread[NMP_THREAD_SEND_ACK1].running, 0);
  return 0;
}

void mirvol_recv_drain(struct nmp_info *nmp) {
  if (!nmp->remote_write_head.sys_var || !nmp->send_ack1_head.sys_var) return;
  // Never submitted: nothing of these writes is on the disk.
  while (struct remote_write_queue *node =
             mirvol_recv_take<struct remote_write_queue>(&nmp->remote_write_head)) {
    struct end_io_para *para = static_cast<struct end_io_para *>(node->bio->bi_private);
    mirvol_add_wait_ack2_queue(para->head, nmp);
    mirvol_recv_free(node->bio, para);
    kfree(node);
    atomic_dec_return(&nmp->recv_in_flight);
  }
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  while (atomic_read_acquire(&nmp->recv_in_flight))
    mirvol_sleep_on_timeout(&wq, 1);
  // Written or failed, but never answered.
  while (struct send_ack1_queue *node =
             mirvol_recv_take<struct send_ack1_queue>(&nmp->send_ack1_head)) {
    mirvol_add_wait_ack2_queue(node->head, nmp);
    kfree(node);
  }
}
