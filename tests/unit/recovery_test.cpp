// Recovery: the bitmap commands against a model on both Cluster Partition
// layouts, the copy of command 10 with the protocol test peer as the
// standby (what it sends, the statuses it acts on, the lock window), and the
// recovery receiver with the test peer as the active (crafted streams).

#include "mirror_fixture.h"

#include <random>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_compress.h"
#include "include/mirvol_recovery.h"
#include "include/mirvol_recv.h"

namespace {

using mirrortest::kWaitMs;
using testpeer::Bytes;
using testpeer::Head;
using testutil::eventually;

Bytes random_bytes(size_t n, u32 seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto &v : b) v = (u8)rng();
  return b;
}

std::vector<u8> rec_of(std::initializer_list<s32> words, size_t size) {
  std::vector<u8> r(size, 0);
  size_t off = 0;
  for (s32 w : words) {
    memcpy(r.data() + off, &w, 4);
    off += 4;
  }
  return r;
}

s32 word(const std::vector<u8> &rec, size_t off) {
  s32 v;
  memcpy(&v, rec.data() + off, 4);
  return v;
}

// --- commands 30, 31 and 32 ---

class BitmapCommands : public writertest::WriterTest {
 protected:
  // The bitmap's first byte in the image for the layout.
  off_t bitmap_offset(u32 len) const { return len == 4096 ? 5 * 4096 : 10 * 1024; }
};

TEST_F(BitmapCommands, ReadAndCountFollowTheImageOnBothLayouts) {
  for (u32 len : {512u, 4096u}) {
    SCOPED_TRACE(len);
    nmp_->len = len;
    // 12 KiB of random bitmap bytes, and more beyond the counted bits.
    Bytes bits = random_bytes(12 * 1024, len);
    cp_.write(bitmap_offset(len), std::vector<char>(bits.begin(), bits.end()));
    for (s32 kb : {0, 1, 3, 4, 5, 11}) {
      writertest::Call c(3, 30, rec_of({0, kb, 1}, 1036));
      ASSERT_EQ(c.status(), (u32)STATUS_OK) << kb;
      EXPECT_TRUE(std::equal(c.buf.begin() + 12, c.buf.end(), bits.begin() + kb * 1024)) << kb;
    }
    // Counting stops after the device's last bit, within a byte too.
    for (u32 g : {8u, 1u, 1261u, 2048u, 16384u}) {
      nmp_->bmp_size_in_sec = g;
      u64 n = (kDeviceSectors + g - 1) / g;
      u32 model = 0;
      for (u64 b = 0; b < n; b++) model += (bits[b / 8] >> (7 - b % 8)) & 1;
      writertest::Call c(3, 32, rec_of({0}, 8));
      ASSERT_EQ(c.status(), (u32)STATUS_OK) << g;
      EXPECT_EQ((u32)word(c.buf, 4), model) << "granule " << g << ", " << n << " bits";
    }
    nmp_->bmp_size_in_sec = 8;
    cp_.write(bitmap_offset(len), std::vector<char>(12 * 1024, 0));
  }
}

TEST_F(BitmapCommands, RefusalsAndTheEchoOfCommand31) {
  for (u32 len : {512u, 4096u}) {
    SCOPED_TRACE(len);
    nmp_->len = len;
    // The last KiB of the bitmap's room reads; the next one is refused.
    s32 room_kb = len == 4096 ? (MIRVOL_BMP_LAST_INDEX_4K - 5 + 1) * 4 : MIRVOL_BMP_LAST_INDEX_1K - 10 + 1;
    struct Case {
      s32 start, number;
      u32 status;
    } cases[] = {
        {room_kb - 1, 1, STATUS_OK}, {room_kb, 1, STATUS_INVALID_PARAMETER},
        {0x7fffffff, 1, STATUS_INVALID_PARAMETER}, {-1, 1, STATUS_INVALID_PARAMETER},
        {0, 0, STATUS_INVALID_PARAMETER}, {0, 2, STATUS_INVALID_PARAMETER},
    };
    for (const Case &k : cases) {
      writertest::Call c(3, 30, rec_of({0, k.start, k.number}, 1036));
      EXPECT_EQ(c.status(), k.status) << k.start << "/" << k.number;
    }
  }
  std::vector<u8> in = rec_of({0x1234, 7, 1}, 1036);
  in[500] = 0x5a;
  writertest::Call echo(3, 31, in);
  EXPECT_EQ(echo.buf, in);
  EXPECT_EQ(writertest::Call(1, 32, rec_of({0}, 8)).status(), (u32)STATUS_NO_DEVICE);
}

TEST_F(BitmapCommands, BlockSizeGetAndSet) {
  writertest::Call get(3, 14, rec_of({0}, 8));
  ASSERT_EQ(get.status(), (u32)STATUS_OK);
  s32 before = word(get.buf, 4);
  EXPECT_GT(before, 0);
  struct Case {
    s32 size;
    u32 status;
  } cases[] = {{0, STATUS_INVALID_PARAMETER}, {-4096, STATUS_INVALID_PARAMETER},
               {1000, STATUS_INVALID_PARAMETER}, {4096, STATUS_OK}, {1024, STATUS_OK}};
  for (const Case &k : cases) {
    writertest::Call set(3, 15, rec_of({0, k.size}, 8));
    EXPECT_EQ(set.status(), k.status) << k.size;
    if (k.status == STATUS_OK) {
      EXPECT_EQ(word(writertest::Call(3, 14, rec_of({0}, 8)).buf, 4), k.size);
      EXPECT_EQ(mirvol_get_blksize_size(nmp_->dp_bdev), k.size);
    }
  }
}

// --- the copy ---

// One recovery message as the standby received it.
struct RecoveryMsg {
  Head head;
  std::vector<Head> subs;
  std::vector<Bytes> data;  // each part decoded
};

// Every recovery message the peer received, over all its connections.
std::vector<RecoveryMsg> recovery_msgs(testpeer::Listener &peer) {
  std::vector<RecoveryMsg> out;
  for (size_t i = 0; i < peer.count(); i++) {
    auto c = peer.conn(i);
    if (!c) continue;
    Bytes b = c->received();
    testpeer::Cursor cur(b);
    u32 magic, cmd;
    if (!cur.short_msg(&magic, &cmd)) continue;
    for (;;) {
      Head h;
      testpeer::Cursor probe = cur;
      if (!probe.head(&h)) break;
      if (h.cmd != CMD_WRITE_RECOVERY_DATA) {
        // A mirrored write: step over it whole.
        mirrortest::WriteMsg w;
        if (!mirrortest::next_write(cur, &w)) break;
        continue;
      }
      cur.head(&h);
      RecoveryMsg m;
      m.head = h;
      bool whole = true;
      for (u32 p = 0; p < h.length && whole; p++) {
        Head s;
        if (!cur.head(&s)) {
          whole = false;
          break;
        }
        Bytes part;
        if (s.cmd == CMD_COMPRESSED_RECOVERY_SUB_HEADER) {
          part.assign(s.length, 0);
          u64 filled = 0;
          for (u32 k = 0; k < s.vec_count; k++) {
            Bytes w, seg;
            if (!cur.take(4, &w) || !cur.take(testpeer::get_be32(w.data()), &seg)) {
              whole = false;
              break;
            }
            u64 got = 0;
            EXPECT_EQ(mirvol_uncompress(part.data() + filled, s.length - filled, seg.data(),
                                        seg.size(), &got),
                      0);
            filled += got;
          }
          // (a message still arriving is read again later)
          if (whole) {
            EXPECT_EQ(filled, s.length);
          }
        } else if (!cur.take(s.length, &part)) {
          whole = false;
        }
        m.subs.push_back(s);
        m.data.push_back(part);
      }
      if (whole) out.push_back(m);
    }
  }
  return out;
}

class Copy : public mirrortest::MirrorTest {
 protected:
  void set_up_device() override {
    nmp_->iosize = 16;
    nmp_->recover_buff = mirvol_kmalloc(MIRVOL_RECOVER_BUFF_SIZE);  // unload frees it
    nmp_->recovery_slice_cnt = 2;
  }
  // Command 10 on a kernel thread; the status word once it has returned.
  struct Running {
    std::unique_ptr<testutil::KThread> t;
    std::atomic<u32> status{0};
    bool wait() { return t->wait_done(kWaitMs * 3); }
  };
  std::unique_ptr<Running> copy(s32 startbit, s32 endbit) {
    auto r = std::make_unique<Running>();
    Running *p = r.get();
    r->t = std::make_unique<testutil::KThread>([p, startbit, endbit] {
      writertest::Call c(3, 10, rec_of({0, startbit, endbit}, 12));
      p->status = c.status();
      return 0;
    });
    return r;
  }
  u32 copy_now(s32 startbit, s32 endbit) {
    auto r = copy(startbit, endbit);
    EXPECT_TRUE(r->wait());
    return r->status;
  }
  // Waits for the n-th recovery message and answers it.
  std::optional<RecoveryMsg> message(size_t n) {
    std::optional<RecoveryMsg> m;
    eventually(
        [&] {
          auto all = recovery_msgs(*data_peer_);
          if (all.size() >= n) m = all[n - 1];
          return m.has_value();
        },
        kWaitMs);
    return m;
  }
  void ack(const RecoveryMsg &m, u32 status) {
    answer(CMD_RECOVERY_ACK, m.head.request_id, status, m.head.start_sector);
  }
  Bytes image(u64 sector, size_t n) const {
    std::vector<char> raw = dp_.read((off_t)(sector * 512), n);
    return Bytes(raw.begin(), raw.end());
  }
  void set_bits(u64 first, u64 last) { ASSERT_EQ(mirvol_bitmap_clear1(first, last, nmp_, 1), 0); }
  u32 count() { return (u32)word(writertest::Call(3, 32, rec_of({0}, 8)).buf, 4); }
};

TEST_F(Copy, ArgumentRefusals) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  const s32 bits = (s32)(kDeviceSectors / 8);
  struct Case {
    s32 start, end;
    u32 status;
  } cases[] = {
      {-1, 0, STATUS_INVALID_PARAMETER}, {0, -1, STATUS_INVALID_PARAMETER},
      {5, 4, STATUS_INVALID_PARAMETER},  {0, bits, STATUS_INVALID_PARAMETER},
      {bits, bits, STATUS_INVALID_PARAMETER}, {0x7ffffff0, 0x7fffffff, STATUS_INVALID_PARAMETER},
  };
  for (const Case &k : cases) EXPECT_EQ(copy_now(k.start, k.end), k.status) << k.start << "," << k.end;
  EXPECT_EQ(writertest::Call(1, 10, rec_of({0, 0, 0}, 12)).status(), (u32)STATUS_NO_DEVICE);
  set_nw_port(0);
  EXPECT_EQ(copy_now(0, 0), (u32)STATUS_RECOVERY_PORT_CLOSED);
  set_nw_port(1);
  // A device of capacity 0 has no bit to copy.
  set_capacity(nmp_->own_bdev->bd_disk, 0);
  EXPECT_EQ(copy_now(0, 0), (u32)STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(recovery_msgs(*data_peer_).empty());
}

TEST_F(Copy, SendsTheRangeInPartsAndClearsTheBitsOnStatusZero) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress);
    nmp_->compress_flags = compress ? 2 : 0;
    // Bits 10..41 at granule 8: 256 sectors from 80; the first 64 KiB are
    // compressible, the rest random.
    Bytes data = random_bytes(256 * 512, compress);
    std::fill(data.begin(), data.begin() + 65536, (u8)0x61);
    dp_.write(80 * 512, std::vector<char>(data.begin(), data.end()));
    set_bits(10, 41);
    set_bits(60, 60);
    auto r = copy(10, 41);
    auto m = message(compress ? 2 : 1);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->head.start_sector, 80u);
    EXPECT_EQ(m->head.end_sector, 335u);
    ASSERT_EQ(m->head.length, 2u);
    ASSERT_EQ(m->subs.size(), 2u);
    Bytes got;
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(m->subs[i].request_id, m->head.request_id);
      EXPECT_EQ(m->subs[i].start_sector, 80 + 128 * i);
      EXPECT_EQ(m->subs[i].end_sector, 80 + 128 * i + 127);
      EXPECT_EQ(m->subs[i].length, 65536u);
      got.insert(got.end(), m->data[i].begin(), m->data[i].end());
    }
    // Only the compressible part goes compressed, in the recovery slices.
    EXPECT_EQ(m->subs[0].cmd, compress ? (u32)CMD_COMPRESSED_RECOVERY_SUB_HEADER
                                       : (u32)CMD_RECOVERY_SUB_HEADER);
    if (compress) {
      EXPECT_EQ(m->subs[0].vec_count, 2u);
    }
    EXPECT_EQ(m->subs[1].cmd, (u32)CMD_RECOVERY_SUB_HEADER);
    EXPECT_EQ(got, data);
    ack(*m, 0);
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->status, (u32)STATUS_OK);
    EXPECT_EQ(count(), 1u);  // bit 60 stays
    EXPECT_EQ(mirror_break_time(), 0u);
    ASSERT_EQ(mirvol_bitmap_clear1(60, 60, nmp_, 0), 0);
  }
}

// What the copy makes of the standby's answers: the status words, the
// bits, the mirror-break time and the number of messages (attempts).
TEST_F(Copy, StatusTable) {
  ASSERT_NO_FATAL_FAILURE(start(1, false, /*ack_timeout=*/4));
  struct Case {
    const char *name;
    std::vector<int> answers;  // per attempt: a status, -1 none, -2 command 80
    u32 status;
    bool cleared, mirror_break;
  } cases[] = {
      {"ok", {0}, STATUS_OK, true, false},
      {"remote failed", {1}, STATUS_REMOTE_FAILED, false, true},
      {"receive time-out then ok", {4, 0}, STATUS_OK, true, false},
      {"receive time-out twice", {4, 4}, STATUS_REMOTE_FAILED, false, true},
      {"other status", {9}, STATUS_REMOTE_FAILED, false, false},
      {"ACK time-out twice", {-1, -1}, STATUS_CANCELLED, false, true},
      {"ACK time-out, then ok", {-1, 0}, STATUS_OK, true, false},
      {"command 80", {-2}, STATUS_CANCELLED, false, true},
  };
  size_t seen = 0;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    {
      unsigned long flags;
      spin_lock_irqsave(&nmp_->nmp_variable->nmp_lock, flags);
      nmp_->mirror_break_time = 0;
      spin_unlock_irqrestore(&nmp_->nmp_variable->nmp_lock, flags);
    }
    set_bits(3, 3);
    auto r = copy(3, 3);
    std::vector<u64> ids;
    for (int a : k.answers) {
      auto m = message(++seen);
      ASSERT_TRUE(m.has_value());
      ids.push_back(m->head.request_id);
      if (a >= 0) ack(*m, (u32)a);
      if (a == -2) {
        // Once the copy waits for its ACK, cancel it.
        ASSERT_TRUE(eventually([&] { return mirvol_find_trans_table(m->head.request_id) != nullptr; }, kWaitMs));
        EXPECT_EQ(writertest::Call(3, 80, rec_of({0}, 4)).status(), (u32)STATUS_OK);
      }
    }
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->status, k.status);
    EXPECT_EQ(count(), k.cleared ? 0u : 1u);
    EXPECT_EQ(mirror_break_time() != 0, k.mirror_break);
    // A retry runs under a new id, and no id is 0.
    for (size_t i = 0; i < ids.size(); i++) {
      EXPECT_NE(ids[i], 0u);
      if (i) {
        EXPECT_NE(ids[i], ids[i - 1]);
      }
    }
    // No attempt beyond those answered.
    EXPECT_EQ(recovery_msgs(*data_peer_).size(), seen);
    // A late answer for a finished copy changes nothing.
    answer(CMD_RECOVERY_ACK, ids.back(), 0);
    ASSERT_EQ(mirvol_bitmap_clear1(3, 3, nmp_, 0), 0);
  }
  for (int i = 0; i < MIRVOL_TRANS_TABLE_NUM; i++) EXPECT_EQ(g_trans_table[i].in_use, 0u) << i;
}

TEST_F(Copy, ASecondCopyOnTheDeviceIsRefusedAndTheFirstGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  set_bits(0, 1);
  auto first = copy(0, 0);
  auto m = message(1);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(copy_now(1, 1), (u32)STATUS_FAILED);
  EXPECT_EQ(nmp_->recovery_lock_flag, 1u);
  ack(*m, 0);
  ASSERT_TRUE(first->wait());
  EXPECT_EQ(first->status, (u32)STATUS_OK);
  EXPECT_EQ(count(), 1u);
}

TEST_F(Copy, TransferIdsSkipZero) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  wait_queue_head_t wq;
  init_waitqueue_head(&wq, "test");
  unsigned long flags;
  spin_lock_irqsave(g_table_control.table_lock, flags);
  g_table_control.next_id = 0x7fffffff;
  spin_unlock_irqrestore(g_table_control.table_lock, flags);
  u64 a = mirvol_add_new_trans_table(&wq, nmp_);
  u64 b = mirvol_add_new_trans_table(&wq, nmp_);
  EXPECT_EQ(a, 0x7fffffffu);
  EXPECT_EQ(b, 1u);
  mirvol_del_trans_table(a);
  mirvol_del_trans_table(b);
}

// --- the lock window with writes in flight ---

// A write held on the data partition while the copy locks its window: the
// copy must read what that write puts there, whichever sector it starts at.
TEST_F(Copy, WritesInFlightOverlappingTheWindowAreWaitedFor) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  struct Case {
    const char *name;
    u64 sector;
    u32 bytes;
  } cases[] = {
      {"inside the window", 808, 4096},
      {"starting before it", 792, 8192},
      {"covering it", 784, 16384},
  };
  u64 id_seen = 0;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    // Bit 100 at granule 8: sectors 800..807 of the window; zero before.
    dp_.write(784 * 512, std::vector<char>(16384, 0));
    set_bits(100, 101);
    blk_fault rule = {BLK_FAULT_WRITE, k.sector, 1, 1, 1500, 0};
    ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &rule), 0);
    std::vector<mirrortest::UpperWrite::Seg> segs(k.bytes / 4096, {4096, 0});
    mirrortest::UpperWrite w(k.sector, segs, [](size_t p, size_t b) { return (u8)(b % 251 + p + 1); });
    testutil::KThread writer([&] {
      submit_bio(w.bio());
      return 0;
    });
    // The write is in the table and held on the disk; ACK1 it.
    u64 wid = 0;
    ASSERT_TRUE(eventually([&] {
      unsigned long flags;
      spin_lock_irqsave(&nmp_->nmp_variable->request_queue_lock, flags);
      for (struct io_request *q = nmp_->request_queue_head; q; q = q->next)
        if (q->start_sector == k.sector) wid = q->request_id;
      spin_unlock_irqrestore(&nmp_->nmp_variable->request_queue_lock, flags);
      return wid != 0 && wid != id_seen;
    }, kWaitMs));
    id_seen = wid;
    answer(CMD_ACK1, wid, 0, k.sector);
    auto r = copy(100, 101);
    auto m = message(recovery_msgs(*data_peer_).size() + 1);
    ASSERT_TRUE(m.has_value());
    ASSERT_EQ(m->data.size(), 1u);
    ack(*m, 0);
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->status, (u32)STATUS_OK);
    ASSERT_TRUE(w.wait());
    ASSERT_TRUE(writer.wait_done(kWaitMs));
    // Compared once the write is on the disk: a copy that read before it
    // landed sent the zeros that were there.
    EXPECT_EQ(m->data[0], image(800, 16 * 512)) << "the copy read before the held write landed";
    bdev_fault_clear(nmp_->dp_bdev);
  }
}

// A synchronous write outside the window, queued behind the copy, goes
// through while the copy waits for a write inside the window; a write that
// overlaps the window waits until the unlock.
TEST_F(Copy, WritesAroundTheWindowDoNotStallAndWritesIntoItWait) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  set_bits(100, 100);
  auto r = copy(100, 100);
  auto m = message(1);
  ASSERT_TRUE(m.has_value());
  // The copy waits for its ACK with the window locked.
  mirrortest::UpperWrite inside(802, {{1024, 0}}, [](size_t, size_t) { return (u8)7; });
  mirrortest::UpperWrite outside(4000, {{4096, 0}}, [](size_t, size_t) { return (u8)9; });
  testutil::KThread in_thread([&] {
    submit_bio(inside.bio());
    return 0;
  });
  testutil::KThread out_thread([&] {
    submit_bio(outside.bio());
    return 0;
  });
  // The outside write is sent at once and completes on its ACK1.
  u64 out_id = 0;
  ASSERT_TRUE(eventually([&] {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->request_queue_lock, flags);
    for (struct io_request *q = nmp_->request_queue_head; q; q = q->next)
      if (q->start_sector == 4000) out_id = q->request_id;
    spin_unlock_irqrestore(&nmp_->nmp_variable->request_queue_lock, flags);
    return out_id != 0;
  }, kWaitMs));
  answer(CMD_ACK1, out_id, 0, 4000);
  ASSERT_TRUE(outside.wait());
  // The inside write is held by the window: not queued to the peer.
  EXPECT_FALSE(inside.done());
  {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->request_queue_lock, flags);
    for (struct io_request *q = nmp_->request_queue_head; q; q = q->next)
      EXPECT_NE(q->start_sector, 802u);
    spin_unlock_irqrestore(&nmp_->nmp_variable->request_queue_lock, flags);
  }
  ack(*m, 0);
  ASSERT_TRUE(r->wait());
  EXPECT_EQ(r->status, (u32)STATUS_OK);
  // After the unlock it goes on.
  u64 in_id = 0;
  ASSERT_TRUE(eventually([&] {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->request_queue_lock, flags);
    for (struct io_request *q = nmp_->request_queue_head; q; q = q->next)
      if (q->start_sector == 802) in_id = q->request_id;
    spin_unlock_irqrestore(&nmp_->nmp_variable->request_queue_lock, flags);
    return in_id != 0;
  }, kWaitMs));
  answer(CMD_ACK1, in_id, 0, 802);
  ASSERT_TRUE(inside.wait());
  ASSERT_TRUE(in_thread.wait_done(kWaitMs));
  ASSERT_TRUE(out_thread.wait_done(kWaitMs));
}

// Holds the data partition's writes to a range on the disk until it goes
// out of scope (or release()), also when the test fails.
struct DiskHold {
  struct block_device *bdev;
  int id;
  DiskHold(struct block_device *b, u64 sector, u64 sectors) : bdev(b) {
    blk_fault rule = {BLK_FAULT_WRITE, sector, sectors, 1, BLK_FAULT_HOLD, 0};
    id = bdev_fault_add(bdev, &rule);
  }
  bool holding() const { return bdev_fault_hits(bdev, id) > 0; }
  void release() { bdev_fault_clear(bdev); }
  ~DiskHold() { release(); }
};

// The id of the request in the device's request queue that starts at a
// sector, or 0.
static u64 request_at(struct nmp_info *nmp, u64 sector) {
  u64 id = 0;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (struct io_request *q = nmp->request_queue_head; q; q = q->next)
    if (q->start_sector == sector) id = q->request_id;
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return id;
}

static bool window_locked(struct nmp_info *nmp) {
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->recovery_lock, flags);
  bool locked = nmp->recovery_lock_flag != 0;
  spin_unlock_irqrestore(&nmp->nmp_variable->recovery_lock, flags);
  return locked;
}

// A write inside the window is held on the disk. A synchronous write outside
// the window that comes while the copy waits for it is sent and completes:
// the copy does not hold the send semaphore while it waits, and sends
// nothing before the held write has landed. Then it sends what that write
// put there.
TEST_F(Copy, ASynchronousWriteIsNotQueuedBehindTheWindowWait) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  set_bits(100, 100);
  DiskHold hold(nmp_->dp_bdev, 800, 8);
  ASSERT_GE(hold.id, 0);
  mirrortest::UpperWrite inside(800, {{4096, 0}}, [](size_t, size_t b) { return (u8)(b % 253 + 1); });
  testutil::KThread in_thread([&] {
    submit_bio(inside.bio());
    return 0;
  });
  u64 in_id = 0;
  ASSERT_TRUE(eventually([&] { return (in_id = request_at(nmp_, 800)) != 0; }, kWaitMs));
  answer(CMD_ACK1, in_id, 0, 800);
  ASSERT_TRUE(eventually([&] { return hold.holding(); }, kWaitMs));
  auto r = copy(100, 100);
  ASSERT_TRUE(eventually([&] { return window_locked(nmp_); }, kWaitMs));
  mirrortest::UpperWrite outside(4000, {{4096, 0}}, [](size_t, size_t) { return (u8)9; });
  testutil::KThread out_thread([&] {
    submit_bio(outside.bio());
    return 0;
  });
  u64 out_id = 0;
  EXPECT_TRUE(eventually([&] { return (out_id = request_at(nmp_, 4000)) != 0; }, kWaitMs));
  answer(CMD_ACK1, out_id, 0, 4000);
  EXPECT_TRUE(outside.wait()) << "the write outside the window waited behind the copy";
  EXPECT_FALSE(inside.done());
  EXPECT_TRUE(recovery_msgs(*data_peer_).empty()) << "the copy sent before the write in its window landed";
  hold.release();
  ASSERT_TRUE(inside.wait());
  auto m = message(1);
  ASSERT_TRUE(m.has_value());
  ack(*m, 0);
  ASSERT_TRUE(r->wait());
  EXPECT_EQ(r->status, (u32)STATUS_OK);
  ASSERT_EQ(m->data.size(), 1u);
  EXPECT_EQ(m->data[0], image(800, 8 * 512));
  EXPECT_EQ(m->data[0][0], (u8)1);
  EXPECT_EQ(count(), 0u);
  ASSERT_TRUE(in_thread.wait_done(kWaitMs));
  ASSERT_TRUE(out_thread.wait_done(kWaitMs));
}

// A write in the window that stays in flight past the wait's limit (the
// clock runs fast, the disk holds the write) fails the copy with event 208:
// nothing is sent, the bits stay and the window is unlocked.
TEST_F(Copy, AWindowWaitThatTimesOutFailsTheCopyAndKeepsTheBits) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  set_bits(100, 101);
  DiskHold hold(nmp_->dp_bdev, 808, 8);
  ASSERT_GE(hold.id, 0);
  mirrortest::UpperWrite w(808, {{4096, 0}}, [](size_t, size_t) { return (u8)5; });
  testutil::KThread writer([&] {
    submit_bio(w.bio());
    return 0;
  });
  u64 wid = 0;
  ASSERT_TRUE(eventually([&] { return (wid = request_at(nmp_, 808)) != 0; }, kWaitMs));
  answer(CMD_ACK1, wid, 0, 808);
  ASSERT_TRUE(eventually([&] { return hold.holding(); }, kWaitMs));
  struct Scale {
    unsigned int old = clock_time_scale();
    Scale() { clock_set_time_scale(1000); }
    ~Scale() { clock_set_time_scale(old); }
  };
  u64 from = klog_count();
  u32 status;
  {
    Scale fast;
    status = copy_now(100, 101);
  }
  EXPECT_EQ(status, (u32)STATUS_FAILED);
  EXPECT_GE(klog_wait_for(from, "NMP3 waited for sync data (sector=808) written to disk completely, but timeout.", 0), 0);
  EXPECT_TRUE(recovery_msgs(*data_peer_).empty());
  EXPECT_EQ(count(), 2u);
  EXPECT_FALSE(window_locked(nmp_));
  hold.release();
  ASSERT_TRUE(w.wait());
  ASSERT_TRUE(writer.wait_done(kWaitMs));
}

// --- the recovery receiver ---

class Receive : public mirrortest::MirrorTest {
 protected:
  void set_up_device() override {
    nmp_->iosize = 4;
    ASSERT_NO_FATAL_FAILURE(start_thread(mirvol_remote_write_thread, NMP_THREAD_REMOTE_WRITE, "04"));
    ASSERT_NO_FATAL_FAILURE(start_thread(mirvol_send_ack1_thread, NMP_THREAD_SEND_ACK1, "06"));
    ASSERT_NO_FATAL_FAILURE(start(1));
    standby_->close();
    standby_.reset();
  }
  std::shared_ptr<testpeer::Connection> connect() {
    auto c = testpeer::connect_to("127.0.0.2", nmp_->data_port, kWaitMs);
    EXPECT_NE(c, nullptr);
    if (c) {
      EXPECT_TRUE(c->send(testpeer::short_msg(CMD_NEGOTIATE)));
    }
    return c;
  }
  std::optional<Head> ack_for(u64 id) {
    std::optional<Head> found;
    eventually(
        [&] {
          for (size_t i = 0; i < data_peer_->count(); i++) {
            auto c = data_peer_->conn(i);
            if (!c) continue;
            Bytes b = c->received();
            testpeer::Cursor cur(b);
            u32 magic, cmd;
            if (!cur.short_msg(&magic, &cmd)) continue;
            Head h;
            while (cur.head(&h))
              if (h.cmd == CMD_RECOVERY_ACK && h.request_id == id) found = h;
          }
          return found.has_value();
        },
        kWaitMs);
    return found;
  }
  Bytes image(u64 sector, size_t n) const {
    std::vector<char> raw = dp_.read((off_t)(sector * 512), n);
    return Bytes(raw.begin(), raw.end());
  }
};

Head rec_head(u32 cmd, u64 s, u64 e, u64 id, u32 length) {
  Head h;
  h.cmd = cmd;
  h.start_sector = s;
  h.end_sector = e;
  h.request_id = id;
  h.length = length;
  return h;
}

// A raw part of [s, e].
Bytes raw_part(u64 s, u64 e, u64 id, const Bytes &data) {
  Bytes b = testpeer::encode(rec_head(CMD_RECOVERY_SUB_HEADER, s, e, id, (u32)data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A compressed part: the given segments, each with its length word.
Bytes packed_part(u64 s, u64 e, u64 id, u32 n, const std::vector<Bytes> &segs, int k = -1) {
  Head h = rec_head(CMD_COMPRESSED_RECOVERY_SUB_HEADER, s, e, id, n);
  h.vec_count = (u16)(k < 0 ? segs.size() : (size_t)k);
  Bytes b = testpeer::encode(h);
  for (const Bytes &seg : segs) {
    testpeer::put_be32(b, (u32)seg.size());
    b.insert(b.end(), seg.begin(), seg.end());
  }
  return b;
}

Bytes compress_all(const Bytes &in) {
  Bytes out(in.size());
  u64 total = 0;
  u32 all = 0;
  struct compress_result res[1];
  EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), &total, &all, res, 1), 0);
  EXPECT_EQ(all, 1u);
  return Bytes(out.begin(), out.begin() + total);
}

TEST_F(Receive, CraftedStreamsAreWrittenOrRefused) {
  const u64 kFirst = 1024;  // bits 128..143 at granule 8
  const Bytes part = random_bytes(65536, 5);
  Bytes runs(65536, 0x61);
  const Bytes packed = compress_all(runs);
  struct Case {
    const char *name;
    std::function<Bytes(u64 id)> parts;  // after the head of 1 part over [kFirst, kFirst + 127]
    u32 ack;
    bool written;  // the range holds `expect` (else it stays zero)
    Bytes expect;
  } cases[] = {
      {"raw part", [&](u64 id) { return raw_part(kFirst, kFirst + 127, id, part); }, 0, true, part},
      {"compressed part", [&](u64 id) { return packed_part(kFirst, kFirst + 127, id, 65536, {packed}); }, 0, true, runs},
      {"129 sectors", [&](u64 id) { Bytes d(129 * 512, 1); return raw_part(kFirst, kFirst + 128, id, d); }, 1, false, {}},
      {"length not the sectors'", [&](u64 id) { Bytes b = raw_part(kFirst, kFirst + 127, id, part); b[36 + 2] ^= 1; return b; }, 1, false, {}},
      {"bad sub-header magic", [&](u64 id) { Bytes b = raw_part(kFirst, kFirst + 127, id, part); b[0] ^= 1; return b; }, 1, false, {}},
      {"sub-header command 14", [&](u64 id) { Bytes b = raw_part(kFirst, kFirst + 127, id, part); b[7] = 14; return b; }, 1, false, {}},
      {"other request id", [&](u64 id) { return raw_part(kFirst, kFirst + 127, id + 1, part); }, 1, false, {}},
      {"first above last", [&](u64 id) { return raw_part(kFirst + 127, kFirst, id, Bytes(65536, 1)); }, 1, false, {}},
      {"beyond the device", [&](u64 id) { return raw_part(kDeviceSectors - 64, kDeviceSectors + 63, id, Bytes(65536, 1)); }, 1, false, {}},
      {"no segment", [&](u64 id) { return packed_part(kFirst, kFirst + 127, id, 65536, {}, 0); }, 1, false, {}},
      {"nine segments", [&](u64 id) { return packed_part(kFirst, kFirst + 127, id, 65536, std::vector<Bytes>(9, Bytes{0})); }, 1, false, {}},
      {"segment longer than the part", [&](u64 id) { return packed_part(kFirst, kFirst + 127, id, 65536, {Bytes(65537, 0xff)}); }, 1, false, {}},
      {"decodes short", [&](u64 id) { return packed_part(kFirst, kFirst + 127, id, 65536, {compress_all(Bytes(60000, 0x61))}); }, 1, false, {}},
      {"decodes long", [&](u64 id) { Bytes seg = compress_all(Bytes(65536, 0x61)); return packed_part(kFirst, kFirst + 127, id, 65536, {seg, seg}, 2); }, 1, false, {}},
  };
  u64 id = 100;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    id++;
    dp_.write((off_t)((kFirst - 8) * 512), std::vector<char>(65536 + 8192, 0));
    ASSERT_EQ(mirvol_bitmap_clear1(128, 143, nmp_, 1), 0);
    auto c = connect();
    ASSERT_NE(c, nullptr);
    Bytes msg = testpeer::encode(rec_head(CMD_WRITE_RECOVERY_DATA, kFirst, kFirst + 127, id, 1));
    Bytes p = k.parts(id);
    msg.insert(msg.end(), p.begin(), p.end());
    ASSERT_TRUE(c->send(msg));
    auto ack = ack_for(id);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->status, k.ack);
    EXPECT_EQ(image(kFirst, 65536), k.written ? k.expect : Bytes(65536, 0));
    // Nothing outside the range.
    EXPECT_EQ(image(kFirst - 8, 4096), Bytes(4096, 0));
    EXPECT_EQ(image(kFirst + 128, 4096), Bytes(4096, 0));
    // The bits are cleared just after the ACK went out.
    auto set_bits = [] { return (u32)word(writertest::Call(3, 32, rec_of({0}, 8)).buf, 4); };
    if (k.ack == 0) {
      EXPECT_TRUE(eventually([&] { return set_bits() == 0; }, kWaitMs))
          << set_bits() << " bits still set";
    } else {
      EXPECT_EQ(set_bits(), 16u);
    }
    if (k.ack == 0) {
      // The connection is still read: a command-12 head of no part.
      ASSERT_TRUE(c->send(testpeer::encode(rec_head(CMD_WRITE_RECOVERY_DATA, 0, 7, id + 1000, 0))));
      auto a2 = ack_for(id + 1000);
      ASSERT_TRUE(a2.has_value());
      EXPECT_EQ(a2->status, 0u);
    } else {
      EXPECT_TRUE(c->wait_closed(kWaitMs)) << "a refused transfer keeps its connection";
    }
    c->close();
    ASSERT_EQ(mirvol_bitmap_clear1(0, 2047, nmp_, 0), 0);
  }
}

TEST_F(Receive, OldFormatIsWrittenInBiosOfEightSectors) {
  Bytes data = random_bytes(20 * 512, 9);
  auto c = connect();
  ASSERT_NE(c, nullptr);
  Bytes msg = testpeer::encode(rec_head(CMD_WRITE_RECOVERY_DATA_OLD, 500, 519, 77, (u32)data.size()));
  msg.insert(msg.end(), data.begin(), data.end());
  ASSERT_TRUE(c->send(msg));
  auto ack = ack_for(77);
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(ack->status, 0u);
  EXPECT_EQ(image(500, data.size()), data);
  EXPECT_EQ(image(520, 512), Bytes(512, 0));
}

}  // namespace
