// Sending writes to the test peer as the standby: the synchronous message
// with its head, segment tables and data; the asynchronous copy sent in
// queue order by the send-data thread, compressed or raw; the send-queue
// limit; and the hand-over of a request between the sender and the
// acknowledgement paths.

#include <algorithm>
#include <atomic>
#include <thread>

#include "mirror_fixture.h"

#include "include/mirvol_compress.h"

namespace {

using namespace mirrortest;
using testpeer::Bytes;
using testutil::eventually;
using testutil::LogCapture;

class Sender : public MirrorTest {};

void expect_message(const WriteMsg &m, const UpperWrite &w, u32 cmd) {
  EXPECT_EQ(m.head.magic, testpeer::kMagic);
  EXPECT_EQ(m.head.cmd, cmd);
  EXPECT_EQ(m.head.start_sector, w.sector());
  EXPECT_EQ(m.head.end_sector, w.sector() + w.bytes() / 512 - 1);
  EXPECT_EQ(m.head.length, w.bytes());
  EXPECT_EQ(m.head.vec_count, w.layout().size());
  EXPECT_EQ(m.head.vec_index, 0);
  EXPECT_EQ(m.head.status, 0u);
  for (size_t i = 0; i < w.layout().size() && i < m.sizes.size(); i++) {
    EXPECT_EQ(m.sizes[i], w.layout()[i].len);
    EXPECT_EQ(m.offsets[i], w.layout()[i].off);
  }
  if (cmd == CMD_WRITE_SYNC_DATA) {
    ASSERT_EQ(m.pieces.size(), w.layout().size());
    for (size_t i = 0; i < m.pieces.size(); i++) EXPECT_EQ(m.pieces[i], w.seg(i)) << "segment " << i;
  }
}

// Parses `n` write messages after the negotiation of the peer's stream.
std::vector<WriteMsg> messages(testpeer::Connection &c, size_t n, size_t min_bytes) {
  std::vector<WriteMsg> out;
  c.wait_bytes(8 + min_bytes, kWaitMs);
  eventually(
      [&] {
        Bytes b = c.received();
        testpeer::Cursor cur(b);
        u32 magic, cmd;
        if (!cur.short_msg(&magic, &cmd) || cmd != CMD_NEGOTIATE) return false;
        out.clear();
        WriteMsg m;
        while (out.size() < n && mirrortest::next_write(cur, &m)) {
          out.push_back(m);
          m = WriteMsg();
        }
        return out.size() == n;
      },
      kWaitMs);
  return out;
}

TEST_F(Sender, SyncWritesArriveByteForByteAndFinishOnlyWithTheirAck1) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  const struct {
    u64 sector;
    Segs segs;
  } cases[] = {
      {8, {{4096, 0}}},
      {100, {{1024, 512}, {2048, 1024}, {512, 3584}}},
      {16000, {{512, 1536}, {4096, 0}}},
  };
  // The second write's local write is held back, so that it may still be
  // running when its ACK1 comes.
  struct blk_fault slow = {BLK_FAULT_WRITE, 100, 8, 1, 500, 0};
  ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &slow), 0);
  std::vector<std::unique_ptr<UpperWrite>> writes;
  size_t total = 0;
  for (auto &c : cases) {
    writes.push_back(std::make_unique<UpperWrite>(c.sector, c.segs, mirrortest::pattern));
    submit(*writes.back());
    total += 56 + writes.back()->bytes();
  }
  auto msgs = messages(*data_conn(), writes.size(), total);
  ASSERT_EQ(msgs.size(), writes.size());
  std::vector<u64> ids;
  for (size_t i = 0; i < msgs.size(); i++) {
    SCOPED_TRACE(i);
    expect_message(msgs[i], *writes[i], CMD_WRITE_SYNC_DATA);
    EXPECT_EQ(msgs[i].head.request_id >> 24, 3u);
    if (i) {
      EXPECT_EQ(msgs[i].head.request_id, msgs[i - 1].head.request_id + 1);
    }
    ids.push_back(msgs[i].head.request_id);
    // Synchronous: the local write is done, but the peer has not answered.
    EXPECT_FALSE(writes[i]->done());
  }
  for (size_t i = 0; i < ids.size(); i++) answer(CMD_ACK1, ids[i], 0, writes[i]->sector());
  for (auto &w : writes) {
    ASSERT_TRUE(w->wait());
    EXPECT_EQ(w->status(), 0);
  }
  // Each write's ACK2 goes out when the write is finished, that is at the
  // later of its ACK1 and its local write; the local writes complete in any
  // order, so the ACK2s may leave in another order than the ACK1s came.
  std::vector<u64> acked = ack2_ids(ids.size());
  std::sort(acked.begin(), acked.end());
  EXPECT_EQ(acked, ids);
  EXPECT_TRUE(bitmap_is({}));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(Sender, AFailedSyncSendEndsInTheBitmapAndDropsAConnectionLeftMidMessage) {
  const struct {
    const char *name;
    bool after_head;  // the head goes out on a working connection, then the send fails
    const char *log;
  } cases[] = {
      {"no peer", false, "NMP3 failed to send sync head part (secnr=64)"},
      {"network failed after the head", true, "NMP3 failed to send sync vec_size part (secnr=64)"},
  };
  bool first = true;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (!first) {
      reload();
      ASSERT_EQ(writertest::network_init(1, 16), (u32)STATUS_OK);
    }
    first = false;
    ASSERT_NO_FATAL_FAILURE(start(1));
    LogCapture log;
    std::shared_ptr<testpeer::Connection> conn;
    if (c.after_head) {
      // One good write opens the connection; then the network fails.
      UpperWrite w(8, Segs{{4096, 0}}, mirrortest::pattern);
      submit(w);
      auto msgs = messages(*data_conn(), 1, 56 + 4096);
      ASSERT_EQ(msgs.size(), 1u);
      answer(CMD_ACK1, msgs[0].head.request_id, 0, 8);
      ASSERT_TRUE(w.wait());
      // Its ACK2 goes out first: an ACK2 sent on the failed network would
      // close the N/W port before the next write is tried.
      ASSERT_EQ(ack2_ids(1).size(), 1u);
      conn = data_conn();
      unsigned long flags;
      spin_lock_irqsave(nmp_->network_list_lock, flags);
      nmp_->network_list->state = NW_ERROR;
      spin_unlock_irqrestore(nmp_->network_list_lock, flags);
    } else {
      data_peer_.reset();  // nobody listens
    }
    UpperWrite w(64, Segs{{2048, 0}, {2048, 2048}}, mirrortest::pattern);
    submit(w);
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.status(), 0) << "the local write is done all the same";
    EXPECT_TRUE(log.contains(c.log)) << log.dump();
    EXPECT_EQ(nw_port(), 0u);
    EXPECT_TRUE(bitmap_is({{64, 4096}}));
    EXPECT_EQ(queued(), 0u);
    if (conn) {
      // The peer must not take a later message for the rest of this one.
      EXPECT_TRUE(conn->wait_closed(kWaitMs));
      EXPECT_EQ(conn->received().size(), 8u + 56 + 8 + 4096 + 56) << "only the head went out";
    }
  }
}

TEST_F(Sender, AsyncWritesEndAtTheLocalWriteAndReachThePeerInQueueOrder) {
  ASSERT_NO_FATAL_FAILURE(start(0));
  // The first write's local write is held back: the later ones complete
  // first, yet none may be sent before it.
  struct blk_fault slow = {BLK_FAULT_WRITE, 200, 8, 1, 500, 0};
  ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &slow), 0);
  std::vector<std::unique_ptr<UpperWrite>> writes;
  writes.push_back(std::make_unique<UpperWrite>(200, Segs{{4096, 0}}, mirrortest::pattern));
  writes.push_back(std::make_unique<UpperWrite>(
      300, Segs{{2048, 2048}, {1024, 0}}, [](size_t s, size_t b) { return (u8)(b + s + 1); }));
  writes.push_back(std::make_unique<UpperWrite>(
      8000, Segs{{512, 512}}, [](size_t, size_t b) { return (u8)(b * 3); }));
  size_t total = 0;
  for (auto &w : writes) {
    ASSERT_EQ(submit_async(*w), 1);
    total += 56 + w->bytes();
  }
  // Every upper write ends with its local write, without any ACK1.
  for (auto &w : writes) {
    ASSERT_TRUE(w->wait());
    EXPECT_EQ(w->status(), 0);
  }
  auto msgs = messages(*data_conn(), writes.size(), total);
  ASSERT_EQ(msgs.size(), writes.size());
  std::vector<u64> ids;
  for (size_t i = 0; i < msgs.size(); i++) {
    SCOPED_TRACE(i);
    expect_message(msgs[i], *writes[i], CMD_WRITE_SYNC_DATA);
    ids.push_back(msgs[i].head.request_id);
  }
  for (size_t i = 0; i < ids.size(); i++) answer(CMD_ACK1, ids[i], 0, writes[i]->sector());
  EXPECT_EQ(ack2_ids(ids.size()), ids);
  EXPECT_TRUE(eventually([&] { return queued() == 0; }, kWaitMs));
  EXPECT_TRUE(bitmap_is({}));
}

// With the clock stopped the send-data and ACK2 threads get no periodic
// pass: each write must go out on the wake-up of its own local completion
// and its ACK2 on that of its ACK1, wherever these fall against the
// threads' checks of their queues. A write held on its way to the disk
// keeps the completed one behind it queued, until its own completion sends
// both in order.
TEST_F(Sender, WithTheClockStoppedEachAsyncWriteGoesOutOnItsOwnWakeUps) {
  ASSERT_NO_FATAL_FAILURE(start(0));
  std::shared_ptr<testpeer::Connection> c;
  size_t off = 8;  // past the negotiation
  std::vector<u64> answered;
  // The next message is w's; the standby answers it and its ACK2 comes.
  auto expect_sent = [&](const UpperWrite &w) {
    if (!c) c = data_conn();
    ASSERT_NE(c, nullptr);
    size_t len = 56 + 8 * w.layout().size() + w.bytes();
    ASSERT_TRUE(c->wait_bytes(off + len, kWaitMs)) << "the write was left for a pass";
    Bytes b = c->received();
    testpeer::Head h;
    ASSERT_TRUE(testpeer::decode(b.data() + off, b.size() - off, &h));
    EXPECT_EQ(h.start_sector, w.sector());
    EXPECT_EQ(h.length, w.bytes());
    off += len;
    answer(CMD_ACK1, h.request_id, 0, w.sector());
    answered.push_back(h.request_id);
    EXPECT_EQ(ack2_ids(answered.size()), answered) << "the ACK2 was left for a pass";
  };
  // The connections are made while the clock runs.
  UpperWrite first(8, Segs{{4096, 0}}, mirrortest::pattern);
  ASSERT_EQ(submit_async(first), 1);
  ASSERT_NO_FATAL_FAILURE(expect_sent(first));
  {
    testutil::StoppedClock stopped;
    for (int i = 0; i < 400; i++) {
      SCOPED_TRACE(i);
      UpperWrite w(64 + (u64)(i % 100) * 8, Segs{{4096, 0}}, mirrortest::pattern);
      ASSERT_EQ(submit_async(w), 1);
      ASSERT_NO_FATAL_FAILURE(expect_sent(w));
    }
    struct blk_fault hold = {BLK_FAULT_WRITE, 9000, 8, 1, BLK_FAULT_HOLD, 0};
    ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &hold), 0);
    UpperWrite held(9000, Segs{{4096, 0}}, mirrortest::pattern);
    UpperWrite behind(9100, Segs{{2048, 0}}, mirrortest::pattern);
    ASSERT_EQ(submit_async(held), 1);
    ASSERT_EQ(submit_async(behind), 1);
    ASSERT_TRUE(behind.wait());
    EXPECT_FALSE(c->wait_bytes(off + 1, 100)) << "a write went out before the one ahead of it";
    bdev_fault_release(nmp_->dp_bdev);
    ASSERT_TRUE(held.wait());
    ASSERT_NO_FATAL_FAILURE(expect_sent(held));
    ASSERT_NO_FATAL_FAILURE(expect_sent(behind));
    EXPECT_TRUE(eventually([&] { return queued() == 0; }, kWaitMs));
  }
  EXPECT_TRUE(bitmap_is({}));
}

// The device size may be set (command 16) while the send-data thread checks
// a queued write against it: both sides use atomic accesses, which a
// thread sanitizer run checks.
TEST_F(Sender, AsyncWritesAreSentWhileTheDeviceSizeIsSet) {
  ASSERT_NO_FATAL_FAILURE(start(0));
  u64 size = __atomic_load_n(&my_disk[nmp_->minor], __ATOMIC_ACQUIRE);
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    while (!stop.load()) __atomic_store_n(&my_disk[nmp_->minor], size, __ATOMIC_RELEASE);
  });
  std::vector<std::unique_ptr<UpperWrite>> writes;
  size_t total = 0;
  for (u64 i = 0; i < 8; i++) {
    writes.push_back(
        std::make_unique<UpperWrite>(64 + 8 * i, Segs{{4096, 0}}, mirrortest::pattern));
    EXPECT_EQ(submit_async(*writes.back()), 1);
    total += 56 + 8 + 4096;
  }
  auto msgs = messages(*data_conn(), writes.size(), total);
  stop = true;
  setter.join();
  ASSERT_EQ(msgs.size(), writes.size());
  for (size_t i = 0; i < msgs.size(); i++) {
    SCOPED_TRACE(i);
    expect_message(msgs[i], *writes[i], CMD_WRITE_SYNC_DATA);
    answer(CMD_ACK1, msgs[i].head.request_id, 0, writes[i]->sector());
  }
  for (auto &w : writes) ASSERT_TRUE(w->wait());
  EXPECT_TRUE(eventually([&] { return queued() == 0; }, kWaitMs));
}

TEST_F(Sender, WithCompressionCompressibleSegmentsTravelCompressedAndOthersRaw) {
  ASSERT_NO_FATAL_FAILURE(start(0));
  __atomic_store_n(&nmp_->compress_flags, 1u, __ATOMIC_RELAXED);
  u32 seed = 12345;
  UpperWrite w(64, Segs{{4096, 0}, {2048, 1024}, {1024, 0}}, [&seed](size_t s, size_t b) {
    if (s == 1) {  // noise: no LZSS stream is shorter
      seed = seed * 1103515245u + 12345u;
      return (u8)(seed >> 16);
    }
    return (u8)("mirror"[b % 6]);
  });
  ASSERT_EQ(submit_async(w), 1);
  ASSERT_TRUE(w.wait());
  auto msgs = messages(*data_conn(), 1, 56);
  ASSERT_EQ(msgs.size(), 1u);
  const WriteMsg &m = msgs[0];
  expect_message(m, w, CMD_WRITE_COMPRESSED_SYNC_DATA);
  ASSERT_EQ(m.lengths.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    const Bytes &seg = w.seg(i);
    if (i == 1) {
      EXPECT_EQ(m.lengths[i], seg.size());
      EXPECT_EQ(m.pieces[i], seg);
      continue;
    }
    EXPECT_LT(m.lengths[i], seg.size());
    Bytes out(seg.size());
    u64 produced = 0;
    ASSERT_EQ(mirvol_uncompress(out.data(), out.size(), m.pieces[i].data(), m.pieces[i].size(),
                                &produced),
              0);
    EXPECT_EQ(produced, seg.size());
    EXPECT_EQ(out, seg);
  }
  answer(CMD_ACK1, m.head.request_id, 0, w.sector());
  EXPECT_EQ(ack2_ids(1), std::vector<u64>{m.head.request_id});
}

TEST_F(Sender, AFullSendQueueSpillsTheNextWriteAndWithoutHistoryFilesItGoesToTheBitmap) {
  const struct {
    u64 limit;
    bool fourth_queued;
  } cases[] = {{3, false}, {0, true}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.limit);
    if (c.limit == 0) {
      reload();
      ASSERT_EQ(writertest::network_init(1, 16), (u32)STATUS_OK);
    }
    ASSERT_NO_FATAL_FAILURE(start(0));
    nmp_->send_queue_cnt = c.limit;
    LogCapture log;
    // Nothing is sent while the first local write is held back, so the
    // queue fills.
    struct blk_fault slow = {BLK_FAULT_WRITE, 0, 8, 1, 700, 0};
    ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &slow), 0);
    std::vector<std::unique_ptr<UpperWrite>> writes;
    std::vector<std::pair<u64, u32>> ranges;
    for (int i = 0; i < 4; i++) {
      writes.push_back(std::make_unique<UpperWrite>(i * 1000, Segs{{4096, 0}}, mirrortest::pattern));
      ranges.push_back({(u64)i * 1000, 4096});
      int r = submit_async(*writes.back());
      EXPECT_EQ(r, i < 3 || c.fourth_queued ? 1 : -1) << "write " << i;
    }
    for (auto &w : writes) ASSERT_TRUE(w->wait());
    if (c.fourth_queued) {
      auto msgs = messages(*data_conn(), 4, 4 * (56 + 4096));
      ASSERT_EQ(msgs.size(), 4u);
      for (auto &m : msgs) answer(CMD_ACK1, m.head.request_id, 0, m.head.start_sector);
      EXPECT_EQ(ack2_ids(4).size(), 4u);
      EXPECT_TRUE(bitmap_is({}));
    } else {
      // The refused write broke the mirror: the port closes and the ACK1
      // waits of the queued writes are given up into the bitmap too.
      EXPECT_EQ(nw_port(), 0u);
      EXPECT_TRUE(bitmap_is(ranges));
      EXPECT_TRUE(eventually([&] { return queued() == 0; }, kWaitMs));
      EXPECT_EQ(data_peer_->count(), 0u) << "nothing may be sent";
    }
    writes.clear();
  }
}

// The first request found in the given send state, with its id.
bool find_state(struct nmp_info *nmp, u32 state, u64 *id) {
  unsigned long flags;
  bool found = false;
  spin_lock_irqsave(&nmp->nmp_variable->request_queue_lock, flags);
  for (struct io_request *r = nmp->request_queue_head; r && !found; r = r->next)
    if (__atomic_load_n(&r->send_state, __ATOMIC_ACQUIRE) == state) {
      *id = r->request_id;
      found = true;
    }
  spin_unlock_irqrestore(&nmp->nmp_variable->request_queue_lock, flags);
  return found;
}

Segs pages(int n) { return Segs((size_t)n, UpperWrite::Seg{4096, 0}); }

TEST_F(Sender, AStopSendingForTheWriteBeingSentWaitsForTheSenderAndHangsNothing) {
  // The peer reads nothing, so a large write stays in the middle of its send.
  ASSERT_NO_FATAL_FAILURE(start(0, /*silent=*/true, 3000, 3000));
  LogCapture log;
  std::vector<std::unique_ptr<UpperWrite>> writes;
  u64 id = 0;
  for (int i = 0; i < 40; i++) {
    writes.push_back(std::make_unique<UpperWrite>((u64)(i % 30) * 512, pages(64), mirrortest::pattern));
    ASSERT_EQ(submit_async(*writes.back()), 1);
  }
  for (auto &w : writes) ASSERT_TRUE(w->wait());
  // Far more than the connection holds: one write stays in state 2.
  int same = 0;
  u64 last = 0;
  ASSERT_TRUE(eventually(
      [&] {
        if (!find_state(nmp_, SEND_STATE_SENDING, &id)) return (same = 0), false;
        same = id == last ? same + 1 : 0;
        last = id;
        return same >= 250;
      },
      kWaitMs));
  answer(CMD_STOP_SENDING_DATA, id, 0);
  ASSERT_TRUE(log.wait_for("NMP3 received request to stop sending data from remote server.", kWaitMs));
  // The peer drops the connection: the send fails and lets the request go.
  data_conn()->close(true);
  ASSERT_TRUE(log.wait_for("NMP3 failed to send, but its ID was not found in request_queue. "
                           "(mirvol_send_all_data)",
                           kWaitMs))
      << log.dump();
  EXPECT_EQ(nw_port(), 0u);
  // The listener goes on reading: a stray ACK1 is seen.
  answer(CMD_ACK1, 0x3ffffff, 0);
  EXPECT_TRUE(log.wait_for("NMP3 received ACK1, but its ID was not found in request_queue.", kWaitMs));
  for (auto &w : writes) EXPECT_TRUE(w->wait());
}

TEST_F(Sender, AnAck1ThatComesBeforeTheSenderHasFinishedFreesTheRequestOnlyAfterIt) {
  ASSERT_NO_FATAL_FAILURE(start(0, false, 3000, 3000));
  std::vector<std::unique_ptr<UpperWrite>> writes;
  for (int i = 0; i < 12; i++) {
    writes.push_back(std::make_unique<UpperWrite>((u64)i * 1024, pages(128), mirrortest::pattern));
    ASSERT_EQ(submit_async(*writes.back()), 1);
  }
  // The standby answers each write as soon as its head is in.
  auto c = data_conn();
  size_t off = 8;
  std::vector<u64> ids;
  for (size_t i = 0; i < writes.size(); i++) {
    ASSERT_TRUE(c->wait_bytes(off + 56, kWaitMs));
    Bytes b = c->received();
    testpeer::Head h;
    ASSERT_TRUE(testpeer::decode(b.data() + off, b.size() - off, &h));
    answer(CMD_ACK1, h.request_id, 0, h.start_sector);
    ids.push_back(h.request_id);
    off += 56 + 8u * h.vec_count + h.length;
  }
  ASSERT_TRUE(c->wait_bytes(off, kWaitMs));
  EXPECT_EQ(c->received().size(), off);
  EXPECT_EQ(ack2_ids(ids.size()), ids);
  EXPECT_TRUE(eventually([&] { return queued() == 0; }, kWaitMs));
  EXPECT_TRUE(bitmap_is({}));
}

}  // namespace
