// Acknowledgements between the device and the test peer as the standby:
// ACK1 statuses, the ACK1 time-out, stop-sending, duplicate and stray
// answers, the ACK2 connection, the recovery statuses, and the standby's
// own ACK1 and stop-sending heads.

#include "mirror_fixture.h"

namespace {

using namespace mirrortest;
using testpeer::Bytes;
using testutil::eventually;
using testutil::LogCapture;

class Ack : public MirrorTest {
 protected:
  // Submits a synchronous write and returns its id once the peer has it.
  u64 write_and_id(UpperWrite &w) {
    submit(w);
    auto c = data_conn();
    size_t want = consumed_ + 56 + 8u * w.layout().size() + w.bytes();
    EXPECT_TRUE(c->wait_bytes(want, kWaitMs));
    Bytes b = c->received();
    testpeer::Head h;
    EXPECT_TRUE(testpeer::decode(b.data() + consumed_, b.size() - consumed_, &h));
    consumed_ = want;
    EXPECT_EQ(h.start_sector, w.sector());
    return h.request_id;
  }
  size_t consumed_ = 8;  // the negotiation
};

TEST_F(Ack, Ack1StatusDecidesBetweenAck2AndTheBitmap) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  UpperWrite good(4000, Segs{{2048, 512}}, mirrortest::pattern);
  u64 good_id = write_and_id(good);
  answer(CMD_ACK1, good_id, 0, good.sector());
  ASSERT_TRUE(good.wait());
  EXPECT_EQ(good.status(), 0);
  EXPECT_EQ(ack2_ids(1), std::vector<u64>{good_id});
  EXPECT_EQ(mirror_break_time(), 0u);

  UpperWrite bad(40, Segs{{4096, 0}}, mirrortest::pattern);
  u64 bad_id = write_and_id(bad);
  answer(CMD_ACK1, bad_id, 1, bad.sector());
  ASSERT_TRUE(bad.wait());
  EXPECT_EQ(bad.status(), 0) << "the local write succeeded";
  EXPECT_TRUE(bitmap_is({{40, 4096}}));
  EXPECT_NE(mirror_break_time(), 0u);
  EXPECT_EQ(nw_port(), 1u) << "a failed ACK1 breaks this write's mirror only";
  EXPECT_EQ(queued(), 0u);
  // No ACK2 for the failed write: the failed request was given id 0, so
  // its end queues none.
  EXPECT_EQ(ack2_ids(1), std::vector<u64>{good_id});
}

TEST_F(Ack, ASecondAck1ForTheSameIdChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  LogCapture log;
  UpperWrite w(8, Segs{{4096, 0}}, mirrortest::pattern);
  u64 id = write_and_id(w);
  answer(CMD_ACK1, id, 0, w.sector());
  ASSERT_TRUE(w.wait());
  answer(CMD_ACK1, id, 1, w.sector());
  EXPECT_TRUE(log.wait_for("NMP3 received ACK1, but its ID was not found in request_queue.", kWaitMs));
  // The listener still serves: the next write is acknowledged as usual.
  UpperWrite next(16, Segs{{4096, 0}}, mirrortest::pattern);
  u64 next_id = write_and_id(next);
  answer(CMD_ACK1, next_id, 0, next.sector());
  ASSERT_TRUE(next.wait());
  EXPECT_EQ(ack2_ids(2), (std::vector<u64>{id, next_id}));
  EXPECT_TRUE(bitmap_is({}));
  EXPECT_NE(nw_port(), 0u);
}

TEST_F(Ack, AnUnansweredWriteEndsInTheBitmapAtItsAckTimeout) {
  ASSERT_NO_FATAL_FAILURE(start(1, false, 2));
  LogCapture log;
  UpperWrite w(800, Segs{{1024, 1024}, {4096, 0}}, mirrortest::pattern);
  write_and_id(w);
  ASSERT_TRUE(w.wait());
  EXPECT_EQ(w.status(), 0);
  EXPECT_TRUE(log.contains("NMP3 ACK1 timeout."));
  EXPECT_TRUE(bitmap_is({{800, 5120}}));
  EXPECT_NE(mirror_break_time(), 0u);
  EXPECT_EQ(queued(), 0u);
  EXPECT_TRUE(ack2_ids(0).empty());
}

TEST_F(Ack, StopSendingClosesTheNwPortAndPutsTheWriteInTheBitmap) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  LogCapture log;
  UpperWrite w(96, Segs{{4096, 0}}, mirrortest::pattern);
  u64 id = write_and_id(w);
  answer(CMD_STOP_SENDING_DATA, id, 0);
  ASSERT_TRUE(w.wait());
  EXPECT_EQ(nw_port(), 0u);
  EXPECT_TRUE(log.contains("NMP3 received request to stop sending data from remote server."));
  EXPECT_TRUE(bitmap_is({{96, 4096}}));
  EXPECT_NE(mirror_break_time(), 0u);
  // One for a write that is no longer waiting is only logged.
  answer(CMD_STOP_SENDING_DATA, id, 0);
  EXPECT_TRUE(log.wait_for(
      "NMP3 received request to stop sending data, but its ID was not found in request_queue.",
      kWaitMs));
}

// A recovery transfer waiting for its ACK, as the recovery copy enters it.
struct Transfer {
  int index;
  wait_queue_head_t wq;
  Transfer(int i, u64 id, struct nmp_info *nmp) : index(i) {
    init_waitqueue_head(&wq);
    unsigned long flags;
    spin_lock_irqsave(g_table_control.table_lock, flags);
    g_trans_table[i] = {id, 1, 0, &wq, 1, nmp};
    spin_unlock_irqrestore(g_table_control.table_lock, flags);
  }
  ~Transfer() {
    unsigned long flags;
    spin_lock_irqsave(g_table_control.table_lock, flags);
    memset(&g_trans_table[index], 0, sizeof(g_trans_table[index]));
    spin_unlock_irqrestore(g_table_control.table_lock, flags);
  }
  std::pair<u32, u32> state() const {
    unsigned long flags;
    spin_lock_irqsave(g_table_control.table_lock, flags);
    auto s = std::make_pair(g_trans_table[index].ack_received, g_trans_table[index].status);
    spin_unlock_irqrestore(g_table_control.table_lock, flags);
    return s;
  }
};

TEST_F(Ack, RecoveryStatusesReachTheirTransferThroughTheTable) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  LogCapture log;
  const struct {
    u32 cmd, status;
    u32 stored;
  } cases[] = {
      {CMD_RECOVERY_ACK, 0, 0},
      {CMD_RECOVERY_ACK, 4, 4},
      {CMD_RECOVERY_ACK, 1, 1},
      // A failure whose low byte is 0 must not read as a success.
      {CMD_RECOVERY_ACK, 0x100, 0x100},
      {CMD_RECOVERY_ACK, 0x80000004u, 0x80000004u},
      {CMD_STOP_SENDING_DATA, 3, 1},
  };
  int i = 0;
  for (auto &c : cases) {
    SCOPED_TRACE(i);
    u64 id = 0x100 + (u64)i;
    Transfer t(5, id, nmp_);
    Transfer other(6, id + 0x1000, nmp_);
    answer(c.cmd, id, c.status);
    ASSERT_TRUE(eventually([&] { return t.state().first == 1; }, kWaitMs));
    EXPECT_EQ(t.state().second, c.stored);
    EXPECT_EQ(other.state(), std::make_pair(0u, 1u)) << "another transfer is untouched";
    i++;
  }
  // The status is stored before the line is written.
  EXPECT_TRUE(log.wait_for(
      "NMP3 failed to recover, because N/W port of remote server has been closed.", kWaitMs));
  EXPECT_EQ(nw_port(), 1u) << "a refused recovery leaves the N/W port open";
}

TEST_F(Ack, TheAck2ConnectionIsMadeAgainAfterItBroke) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  UpperWrite a(8, Segs{{4096, 0}}, mirrortest::pattern);
  u64 id_a = write_and_id(a);
  answer(CMD_ACK1, id_a, 0, a.sector());
  ASSERT_TRUE(a.wait());
  ASSERT_EQ(ack2_ids(1), std::vector<u64>{id_a});
  ack2_peer_->conn(0)->close(true);
  // The first ACK2 after the break may be lost on the old connection; the
  // one after it goes on a new connection.
  std::vector<u64> later;
  for (int i = 0; i < 2; i++) {
    UpperWrite w(16 + 8 * (u64)i, Segs{{4096, 0}}, mirrortest::pattern);
    u64 id = write_and_id(w);
    answer(CMD_ACK1, id, 0, w.sector());
    ASSERT_TRUE(w.wait());
    later.push_back(id);
  }
  ASSERT_TRUE(ack2_peer_->wait_connections(2, kWaitMs));
  auto c = ack2_peer_->conn(1);
  ASSERT_TRUE(c->wait_bytes(56, kWaitMs));
  Bytes b = c->received();
  testpeer::Head h;
  ASSERT_TRUE(testpeer::decode(b.data(), b.size(), &h));
  EXPECT_EQ(h.cmd, (u32)CMD_ACK2);
  EXPECT_TRUE(h.request_id == later[0] || h.request_id == later[1]);
  EXPECT_EQ(h.start_sector, 0u);
  EXPECT_EQ(h.status, 0u);
  EXPECT_EQ(h.length, 0u);
}

// Many ACK2s queued at once leave together, in queue order, and a too-big
// id among them drops that id alone.
TEST_F(Ack, QueuedAck2sGoOutInOrderAndOnlyATooBigIdAmongThemIsDropped) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  LogCapture log;
  std::vector<u64> queued_ids, want;
  for (u64 i = 1; i <= 150; i++) {
    // g_max_minor is 3: ids of minor 5 name no device.
    u64 id = i == 70 ? (5ULL << 24) | 70 : (3ULL << 24) | i;
    queued_ids.push_back(id);
    if (i != 70) want.push_back(id);
  }
  std::vector<struct io_request *> reqs;
  for (size_t i = 0; i < queued_ids.size(); i++) {
    struct io_request *req = mirvol_allocate_request();
    ASSERT_NE(req, nullptr);
    req->nmp = nmp_;
    reqs.push_back(req);
  }
  for (size_t i = 0; i < reqs.size(); i++) {
    std::vector<u8> head = writertest::wire_head(0, 0, queued_ids[i]);
    EXPECT_EQ(mirvol_add_send_ack2_queue(head.data(), reqs[i]), 0);
  }
  for (auto *req : reqs) mirvol_free_request(req);
  EXPECT_EQ(ack2_ids(want.size()), want);
  EXPECT_TRUE(
      log.wait_for("NMP3 request_id(0x5000046) is too big. (mirvol_send_all_ack2)", kWaitMs));
  EXPECT_EQ(ack2_peer_->count(), 1u) << "all on one connection";
}

TEST_F(Ack, AnAck2IdThatIsTooBigIsDroppedAndTheQueueGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  LogCapture log;
  // g_max_minor is 3: ids of minor 5 name no device.
  const u64 ids[] = {5ULL << 24, (3ULL << 24) | 9};
  for (u64 id : ids) {
    struct io_request *req = mirvol_allocate_request();
    ASSERT_NE(req, nullptr);
    req->nmp = nmp_;
    std::vector<u8> head = writertest::wire_head(0, 0, id);
    EXPECT_EQ(mirvol_add_send_ack2_queue(head.data(), req), 0);
    EXPECT_EQ(mirvol_add_send_ack2_queue(head.data(), req), -ENOMEM) << "its node is gone";
    mirvol_free_request(req);
  }
  EXPECT_TRUE(log.wait_for("NMP3 request_id(0x5000000) is too big. (mirvol_send_all_ack2)", kWaitMs));
  EXPECT_EQ(ack2_ids(1), std::vector<u64>{ids[1]});
  EXPECT_TRUE(log.contains("NMP3 request_queue->a2q is null. (mirvol_add_send_ack2_queue)"));
}

TEST_F(Ack, TheStandbysAnswersCarryTheEchoedFieldsOnly) {
  ASSERT_NO_FATAL_FAILURE(start(1));
  u8 wire[56];
  struct head_part rh;
  mirvol_head_init(&rh, CMD_WRITE_SYNC_DATA);
  rh.start_sector = 0x1234;
  rh.end_sector = 0x1240;
  rh.request_id = 0x3000007;
  rh.length = 4096;
  rh.vec_count = 1;
  mirvol_head_encode(&rh, wire);
  int r1 = 0, r7 = 0;
  testutil::KThread t([&] {
    r1 = mirvol_send_Ack1(wire, nmp_, 1);
    r7 = mirvol_send_port_problem(nmp_, wire, 3);
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_GT(r1, 0);
  EXPECT_GT(r7, 0);
  auto c = data_conn();
  ASSERT_TRUE(c->wait_bytes(8 + 112, kWaitMs));
  Bytes b = c->received();
  testpeer::Cursor cur(b);
  u32 magic, cmd;
  ASSERT_TRUE(cur.short_msg(&magic, &cmd));
  testpeer::Head a1, s7;
  ASSERT_TRUE(cur.head(&a1));
  ASSERT_TRUE(cur.head(&s7));
  EXPECT_EQ(a1.cmd, (u32)CMD_ACK1);
  EXPECT_EQ(a1.start_sector, 0x1234u);
  EXPECT_EQ(a1.request_id, 0x3000007u);
  EXPECT_EQ(a1.status, 1u);
  EXPECT_EQ(a1.end_sector + a1.length + a1.vec_count + a1.vec_index, 0u);
  EXPECT_EQ(s7.cmd, (u32)CMD_STOP_SENDING_DATA);
  EXPECT_EQ(s7.request_id, 0x3000007u);
  EXPECT_EQ(s7.status, 3u);
  EXPECT_EQ(s7.start_sector + s7.end_sector + s7.length + s7.vec_count, 0u);
}

}  // namespace
