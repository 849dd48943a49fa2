// A mirror device on NMP3 (with a Cluster Partition) whose peer is the
// protocol test peer: the device connects to a peer listener on 127.0.0.1
// for its DATA and ACK2 connections, and listens itself on 127.0.0.2 (the
// host's address) on the same DATA port, where the test, as the standby,
// connects to send ACK1 and stop-sending messages. The clock runs 50 times
// faster than real time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "include/mirvol_nmp_init.h"
#include "include/mirvol_port.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"
#include "tests/support/test_peer.h"
#include "writer_fixture.h"

namespace mirrortest {

using testpeer::Bytes;
using testutil::eventually;
constexpr int kWaitMs = 20000;

// An upper write bio of the mirror disk with the given segments (length and
// page offset each), filled by `fill(segment, byte)`.
class UpperWrite {
 public:
  struct Seg {
    u32 len, off;
  };
  UpperWrite(u64 sector, const std::vector<Seg> &segs, std::function<u8(size_t, size_t)> fill) {
    bio_ = bio_alloc(GFP_KERNEL, (unsigned)segs.size());
    bio_->bi_opf = REQ_OP_WRITE;
    bio_->bi_iter.bi_sector = sector;
    for (size_t i = 0; i < segs.size(); i++) {
      struct page *pg = alloc_page(GFP_KERNEL);
      u8 *p = static_cast<u8 *>(page_address(pg));
      memset(p, 0xee, PAGE_SIZE);
      Bytes seg(segs[i].len);
      for (size_t b = 0; b < seg.size(); b++) seg[b] = fill(i, b);
      memcpy(p + segs[i].off, seg.data(), seg.size());
      data_.insert(data_.end(), seg.begin(), seg.end());
      segs_.push_back(seg);
      bio_add_page(bio_, pg, segs[i].len, segs[i].off);
      pages_.push_back(pg);
    }
    bdev_ = bdget(MKDEV((u32)g_mirvol_major, 3));
    bio_set_dev(bio_, bdev_);
    bio_->bi_private = this;
    bio_->bi_end_io = [](struct bio *b) {
      auto *self = static_cast<UpperWrite *>(b->bi_private);
      self->status_ = blk_status_to_errno(b->bi_status);
      self->done_ = true;
    };
    layout_ = segs;
  }
  ~UpperWrite() {
    EXPECT_TRUE(eventually([this] { return done_.load(); }, kWaitMs)) << "upper bio never ended";
    bio_put(bio_);
    for (auto *pg : pages_) __free_page(pg);
    if (bdev_) bdput(bdev_);
  }
  bool done() const { return done_; }
  bool wait(int ms = kWaitMs) const { return eventually([this] { return done_.load(); }, ms); }
  int status() const { return status_; }
  struct bio *bio() const { return bio_; }
  u64 sector() const { return bio_->bi_iter.bi_sector; }
  u32 bytes() const { return (u32)data_.size(); }
  const Bytes &data() const { return data_; }
  const Bytes &seg(size_t i) const { return segs_[i]; }
  const std::vector<Seg> &layout() const { return layout_; }

 private:
  struct bio *bio_;
  struct block_device *bdev_ = nullptr;
  std::vector<struct page *> pages_;
  std::vector<Seg> layout_;
  std::vector<Bytes> segs_;
  Bytes data_;
  std::atomic<bool> done_{false};
  std::atomic<int> status_{1};
};

// The segments of an upper write, as the tests spell them.
using Segs = std::vector<UpperWrite::Seg>;

inline u8 pattern(size_t seg, size_t b) { return (u8)(b * 31 + seg * 7 + (b >> 8)); }

// One write message as the peer recorded it.
struct WriteMsg {
  testpeer::Head head;
  std::vector<u32> sizes, offsets;
  std::vector<Bytes> pieces;  // what followed the arrays, per segment (length words removed)
  std::vector<u32> lengths;   // the length word of each segment (compressed messages)
};

// Reads the next write message; false when the stream does not hold one.
inline bool next_write(testpeer::Cursor &c, WriteMsg *m) {
  if (!c.head(&m->head)) return false;
  Bytes a;
  if (!c.take(m->head.vec_count * 4u, &a)) return false;
  for (size_t i = 0; i < m->head.vec_count; i++) m->sizes.push_back(testpeer::get_be32(&a[i * 4]));
  if (!c.take(m->head.vec_count * 4u, &a)) return false;
  for (size_t i = 0; i < m->head.vec_count; i++) m->offsets.push_back(testpeer::get_be32(&a[i * 4]));
  u32 left = m->head.length;
  bool compressed = m->head.cmd == CMD_WRITE_COMPRESSED_SYNC_DATA;
  for (size_t i = m->head.vec_index; i < m->head.vec_count && left; i++) {
    u32 n = std::min(m->sizes[i], left);
    u32 l = n;
    if (compressed) {
      Bytes w;
      if (!c.take(4, &w)) return false;
      l = testpeer::get_be32(w.data());
      m->lengths.push_back(l);
    }
    Bytes piece;
    if (!c.take(l, &piece)) return false;
    m->pieces.push_back(piece);
    left -= n;
  }
  return true;
}

class MirrorTest : public writertest::WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(writertest::network_init(1, 16), (u32)STATUS_OK);
    const char *self[] = {"127.0.0.2"};
    ASSERT_EQ(sock_set_host_addresses(self, 1), 0);
    set_up_device();
  }
  // A test class's own set-up of the device, once the fixture's succeeded.
  virtual void set_up_device() {}
  void TearDown() override {
    WriterTest::TearDown();
    sock_set_host_addresses(nullptr, 0);
    standby_.reset();
    data_peer_.reset();
    ack2_peer_.reset();
  }

  // Networks, ports and time-outs of the device; its DATA listener and
  // ACK2 sender run, and in asynchronous mode the send-data thread. The
  // data peer reads what it is sent unless `silent`. The time-outs are in
  // seconds of the fast clock.
  void start(u32 mode, bool silent = false, u32 ack_timeout = 3000, u32 send_timeout = 100) {
    data_peer_ = std::make_unique<testpeer::Listener>(
        [silent](size_t) { return !silent; }, "127.0.0.1", 0);
    ack2_peer_ = std::make_unique<testpeer::Listener>();
    ASSERT_TRUE(data_peer_->ok());
    ASSERT_TRUE(ack2_peer_->ok());
    struct nmp_info *nmp = nmp_;
    ASSERT_TRUE(writertest::loopback_peer_network(nmp));
    nmp->data_port = data_peer_->port();
    nmp->ack2_port = ack2_peer_->port();
    nmp->connect_timeout = 100;
    nmp->send_timeout = send_timeout;
    nmp->ack_timeout = ack_timeout;
    nmp->receive_normal_timeout = 100;
    nmp->ack1_send_state = nmp->connect_state = 1;
    sema_init(&nmp->ack2_client.sem, 1);
    init_timer(&nmp->ack2_client.timer1);
    init_timer(&nmp->ack2_client.timer2);
    nmp->ack2_client.state_flags[0] = nmp->ack2_client.state_flags[1] =
        nmp->ack2_client.state_flags[2] = 1;
    nmp->mode = mode;
    nmp->active = 1;
    set_nw_port(1);
    start_thread(mirvol_accept_thread, NMP_THREAD_ACCEPT, "05");
    start_thread(mirvol_send_ack2_thread, NMP_THREAD_SEND_ACK2, "07");
    if (mode == 0) start_thread(mirvol_send_data_thread, NMP_THREAD_SEND_DATA, "08");
    // The standby's outgoing DATA connection to the device's listener.
    ASSERT_TRUE(eventually(
        [&] { return (standby_ = testpeer::connect_to("127.0.0.2", nmp->data_port, 1000)) != nullptr; },
        kWaitMs));
    ASSERT_TRUE(standby_->send(testpeer::short_msg(CMD_NEGOTIATE)));
  }
  void start_thread(int (*fn)(void *), int record, const char *suffix) {
    std::string name = std::string("mirvol_nmp03_") + suffix;
    ASSERT_GE(mirvol_kernel_thread_info(fn, nmp_, name.c_str(), &nmp_->thread[record]), 0);
  }

  void set_nw_port(u32 v) {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->nmp_lock, flags);
    nmp_->nw_port = v;
    spin_unlock_irqrestore(&nmp_->nmp_variable->nmp_lock, flags);
  }
  // A field of the device read under the lock that guards it.
  template <typename T>
  static T read_locked(spinlock_t *lock, const T &field) {
    unsigned long flags;
    spin_lock_irqsave(lock, flags);
    T v = field;
    spin_unlock_irqrestore(lock, flags);
    return v;
  }
  u32 nw_port() const { return read_locked(&nmp_->nmp_variable->nmp_lock, nmp_->nw_port); }
  u64 mirror_break_time() const {
    return read_locked(&nmp_->nmp_variable->nmp_lock, nmp_->mirror_break_time);
  }
  u64 queued() const {
    return read_locked(&nmp_->nmp_variable->request_queue_lock, nmp_->request_queue_cnt);
  }

  // Submits a write through the request path from a kernel thread (the
  // synchronous send runs in the submitter, under its watchdogs).
  void submit(UpperWrite &w) {
    testutil::KThread t([&] {
      submit_bio(w.bio());
      return 0;
    });
    ASSERT_TRUE(t.wait_done(kWaitMs));
  }

  // Enters an asynchronous write the way the request path does once its
  // journal record is written (the fixture runs no history thread, so the
  // request path itself would refuse asynchronous writes): private copy,
  // write table, copy of the data, the request_queue (or the spill), the
  // local write. A refused enqueue takes the request path's failure steps.
  int submit_async(UpperWrite &w) {
    int result = 0;
    testutil::KThread t([&] {
      struct io_request *req = mirvol_allocate_request();
      struct bio *clone = mirvol_clone_bio(nmp_, w.bio());
      clone->bi_private = req;
      req->upper_bio = w.bio();
      req->clone = clone;
      req->nmp = nmp_;
      req->write = 1;
      req->start_sector = w.sector();
      req->sector_count = w.bytes() / 512;
      req->segment_count = (u16)clone->bi_vcnt;
      add_wrt_queue2(nmp_, w.bio(), req->start_sector);
      mirvol_set_bio_noidle(clone);
      result = mirvol_copy_data_to_req(nmp_, clone, req);
      if (result == 0) result = mirvol_queue_async_req(nmp_, req);
      if (result <= 0) {
        __atomic_store_n(&req->needs_bitmap, 1, __ATOMIC_RELEASE);
        mirvol_close_com_port(nmp_);
        mirvol_end_req(req, REQ_REMOTE_DONE);
        mirvol_write_cptime(nmp_, req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
        mirvol_do_all_request_ack1_timeout_asap(nmp_);
      }
      submit_bio(clone);
      return 0;
    });
    EXPECT_TRUE(t.wait_done(kWaitMs));
    return result;
  }

  // The standby answers a write.
  void answer(u32 cmd, u64 id, u32 status, u64 sector = 0) {
    testpeer::Head h;
    h.cmd = cmd;
    h.request_id = id;
    h.status = status;
    h.start_sector = sector;
    ASSERT_TRUE(standby_->send(testpeer::encode(h)));
  }

  // The data peer's first connection: its stream after the negotiation.
  std::shared_ptr<testpeer::Connection> data_conn() {
    EXPECT_TRUE(data_peer_->wait_connections(1, kWaitMs));
    return data_peer_->conn(0);
  }
  // The ids of the ACK2 heads received so far, waiting for at least n.
  std::vector<u64> ack2_ids(size_t n) {
    std::vector<u64> ids;
    if (n && !ack2_peer_->wait_connections(1, kWaitMs)) return ids;
    auto c = ack2_peer_->conn(0);
    if (!c) return ids;
    if (n) c->wait_bytes(n * 56, kWaitMs);
    Bytes b = c->received();
    testpeer::Cursor cur(b);
    testpeer::Head h;
    while (cur.head(&h)) {
      EXPECT_EQ(h.cmd, (u32)CMD_ACK2);
      ids.push_back(h.request_id);
    }
    return ids;
  }
  // The on-disk bitmap holds exactly the bits of these ranges.
  bool bitmap_is(const std::vector<std::pair<u64, u32>> &ranges) {
    writertest::BitModel model(1024);
    for (auto &r : ranges)
      model.mark(r.first, r.first + r.second / 512 - 1, nmp_->bmp_size_in_sec, kDeviceSectors);
    return eventually([&] { return pending() == 0 && disk_bits(1024) == model.bytes; }, kWaitMs);
  }

  std::unique_ptr<testpeer::Listener> data_peer_, ack2_peer_;
  std::shared_ptr<testpeer::Connection> standby_;
};

}  // namespace mirrortest
