// The ACK2 listener of a device, with the test peer as the active server
// sending ACK2s: entries removed by id, unknown and too-big ids logged with
// the connection kept, a wrong command closing it, one connection served at
// a time, no negotiation on this connection, and SIGTERM ending the thread
// wherever it blocks.

#include "include/mirvol_ack2_recv.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_protocol.h"
#include "tests/support/test_peer.h"
#include "writer_fixture.h"

namespace {

using testpeer::Bytes;
using testutil::eventually;
using testutil::LogCapture;
using writertest::wire_head;

constexpr int kWaitMs = 20000;
constexpr u64 kId = 3ull << 24;  // ids of NMP3

class Ack2Recv : public writertest::WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    if (HasFatalFailure()) return;
    nmp_->ack2_port = testpeer::unused_port();
    nmp_->ack_timeout = 100000;  // no entry expires during a test
    ASSERT_TRUE(writertest::loopback_peer_network(nmp_));
  }
  void TearDown() override {
    conns_.clear();
    WriterTest::TearDown();
  }

  void start() {
    ASSERT_GE(mirvol_kernel_thread_info(mirvol_ack2_svr_thread, nmp_, "mirvol_nmp03_01",
                                        &nmp_->thread[NMP_THREAD_ACK2_SVR]),
              0);
  }
  bool running() const {
    return __atomic_load_n(&nmp_->thread[NMP_THREAD_ACK2_SVR].running, __ATOMIC_ACQUIRE) != 0;
  }
  bool stop() {
    kill_pid(nmp_->thread[NMP_THREAD_ACK2_SVR].pid_handle, SIGTERM, 1);
    return eventually([this] { return !running(); }, kWaitMs);
  }
  // A connection of the active server to the listener.
  std::shared_ptr<testpeer::Connection> connect() {
    std::shared_ptr<testpeer::Connection> c;
    EXPECT_TRUE(eventually(
        [&] { return (c = testpeer::connect_to("127.0.0.1", nmp_->ack2_port, 1000)) != nullptr; },
        kWaitMs));
    if (c) conns_.push_back(c);
    return c;
  }

  void add(u64 id, u64 first = 100) {
    ASSERT_EQ(mirvol_add_wait_ack2_queue(wire_head(first, first + 7, id).data(), nmp_), 0);
  }
  std::vector<u64> ids() const { return writertest::wait_ack2_ids(); }
  bool ids_become(const std::vector<u64> &want) {
    return eventually([&] { return ids() == want; }, kWaitMs);
  }
  static Bytes ack2(u64 id, u32 magic = testpeer::kMagic, u32 cmd = CMD_ACK2) {
    testpeer::Head h;
    h.magic = magic;
    h.cmd = cmd;
    h.request_id = id;
    h.start_sector = 12345;  // not looked at
    return testpeer::encode(h);
  }

  std::vector<std::shared_ptr<testpeer::Connection>> conns_;
};

TEST_F(Ack2Recv, EachAck2RemovesTheEntryWithItsIdAndTheConnectionStays) {
  for (u64 n : {1, 2, 3, 4}) add(kId | n, n * 8);
  add(kId | 2, 800);  // a second entry with a repeated id
  ASSERT_NO_FATAL_FAILURE(start());
  auto c = connect();
  ASSERT_NE(c, nullptr);
  // No negotiation on this connection: ACK2 heads come at once.
  ASSERT_TRUE(c->send(ack2(kId | 3)));
  ASSERT_TRUE(ids_become({kId | 1, kId | 2, kId | 4, kId | 2}));
  ASSERT_TRUE(c->send(ack2(kId | 2)));
  ASSERT_TRUE(ids_become({kId | 1, kId | 4, kId | 2}));
  EXPECT_EQ(g_wait_ack2_queue_head.head->next->next->first_sector, 800u)
      << "the older entry of a repeated id goes first";

  // The magic is not examined; only the command counts.
  ASSERT_TRUE(c->send(ack2(kId | 4, 0xdeadbeef)));
  ASSERT_TRUE(ids_become({kId | 1, kId | 2}));

  // Unknown and too-big ids are logged and change nothing; the connection
  // goes on serving.
  const u64 bound = 4ull << 24;  // (g_max_minor + 1) << 24 with minors 3 and 1
  add(bound);
  struct Case {
    u64 id;
    bool too_big;
  } cases[] = {{kId | 99, false}, {bound + 1, true}, {~0ull, true}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.id);
    mirvol_printk_init();
    LogCapture log;
    ASSERT_TRUE(c->send(ack2(k.id)));
    EXPECT_TRUE(log.wait_for(
        "NMP3 received ACK2, but its ID was not found in wait_ack2_queue.", kWaitMs));
    EXPECT_EQ(log.contains("is too big. (mirvol_del_wait_ack2_queue)"), k.too_big) << log.dump();
    EXPECT_EQ(ids(), (std::vector<u64>{kId | 1, kId | 2, bound}));
  }
  ASSERT_TRUE(c->send(ack2(bound)));  // the bound itself is a good id
  ASSERT_TRUE(ids_become({kId | 1, kId | 2}));
  EXPECT_FALSE(c->closed());
  EXPECT_TRUE(running());
}

TEST_F(Ack2Recv, OneConnectionIsServedAtATimeAndAWrongCommandEndsIt) {
  add(kId | 1);
  add(kId | 2);
  add(kId | 3);
  ASSERT_NO_FATAL_FAILURE(start());
  auto first = connect();
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(first->send(ack2(kId | 1)));
  ASSERT_TRUE(ids_become({kId | 2, kId | 3}));
  // The second connection waits in the backlog while the first is served.
  auto second = connect();
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(second->send(ack2(kId | 2)));
  ASSERT_TRUE(first->send(ack2(kId | 3)));
  ASSERT_TRUE(ids_become({kId | 2})) << "the waiting connection was served";

  LogCapture log;
  ASSERT_TRUE(first->send(ack2(kId | 2, testpeer::kMagic, CMD_ACK1)));
  EXPECT_TRUE(log.wait_for("NMP3 received wrong command (cmd=0x1) instead of ACK2.", kWaitMs));
  EXPECT_TRUE(first->wait_closed(kWaitMs));
  EXPECT_TRUE(log.wait_for("NMP3 exit...OK              (mirvol_recv_ack2_main)", kWaitMs));
  // Then the waiting one is taken and its ACK2 served.
  EXPECT_TRUE(ids_become({}));

  // A head cut short by the peer's close ends the connection, nothing more.
  add(kId | 5);
  LogCapture closed;
  Bytes part = ack2(kId | 5);
  part.resize(30);
  ASSERT_TRUE(second->send(part));
  second->close();
  EXPECT_TRUE(closed.wait_for("NMP3 disconnected ACK2 N/W. (mirvol_recv_ack2_main)", kWaitMs));
  EXPECT_EQ(ids(), std::vector<u64>{kId | 5});
  // And the listener takes new connections after it.
  auto third = connect();
  ASSERT_NE(third, nullptr);
  ASSERT_TRUE(third->send(ack2(kId | 5)));
  EXPECT_TRUE(ids_become({}));
}

TEST_F(Ack2Recv, SigtermEndsTheThreadWhereverItBlocks) {
  struct Case {
    const char *where;
    bool connected;  // blocked in a receive from a peer that sends nothing
  } cases[] = {{"accept", false}, {"receive", true}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.where);
    mirvol_printk_init();
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(start());
    if (k.connected) {
      add(kId | 7);
      auto c = connect();
      ASSERT_NE(c, nullptr);
      // Served: the thread is in its receive, not in accept.
      ASSERT_TRUE(c->send(ack2(kId | 7)));
      ASSERT_TRUE(ids_become({}));
    } else {
      // Listening: a connection is accepted (it may stay in the backlog).
      ASSERT_NE(connect(), nullptr);
      conns_.clear();
      ASSERT_TRUE(log.wait_for("NMP3 exit...OK              (mirvol_recv_ack2_main)", kWaitMs));
    }
    ASSERT_TRUE(stop());
    EXPECT_TRUE(log.wait_for("NMP3 received signal.       (mirvol_ack2_svr_thread)", kWaitMs))
        << log.dump();
    EXPECT_TRUE(log.contains("NMP3 killing thread......OK (mirvol_ack2_svr_thread)")) << log.dump();
    EXPECT_EQ(log.contains("NMP3 received signal.       (mirvol_recv_ack2_main)"), k.connected)
        << log.dump();
    conns_.clear();
  }
}

TEST_F(Ack2Recv, APortInUseIsTriedTwiceAndThenTheThreadEnds) {
  testpeer::Listener taken;
  ASSERT_TRUE(taken.ok());
  nmp_->ack2_port = taken.port();
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_TRUE(log.wait_for("NMP3 failed to bind ACK2 receive socket. (err=-98", kWaitMs)) << log.dump();
  EXPECT_TRUE(eventually([this] { return !running(); }, kWaitMs));
  EXPECT_TRUE(log.contains("NMP3 killing thread......OK (mirvol_ack2_svr_thread)"));
}

TEST_F(Ack2Recv, AHostThatIsNotThePeerIsClosedUnreadAndDoesNotHoldTheListener) {
  add(kId | 1);
  add(kId | 2);
  ASSERT_NO_FATAL_FAILURE(start());
  const struct {
    const char *name;
    bool sends;  // sends an ACK2 for an entry; else stays silent
  } cases[] = {{"a stranger sending ACK2", true}, {"a silent stranger", false}};
  u64 next = 1;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    LogCapture log;
    std::shared_ptr<testpeer::Connection> stranger;
    ASSERT_TRUE(eventually(
        [&] {
          return (stranger = testpeer::connect_to("127.0.0.1", nmp_->ack2_port, 1000,
                                                  "127.0.0.3")) != nullptr;
        },
        kWaitMs));
    conns_.push_back(stranger);
    if (c.sends) stranger->send(ack2(kId | 1));  // may fail: closed unread
    EXPECT_TRUE(stranger->wait_closed(kWaitMs)) << "the stranger's connection was kept";
    EXPECT_TRUE(log.wait_for("NMP3 accepted ACK2 receive connection from 127.0.0.3, but it is not "
                             "an opponent address of this device. (mirvol_ack2_svr_thread)",
                             kWaitMs))
        << log.dump();
    EXPECT_EQ(ids().size(), 3 - next) << "a stranger's ACK2 removed an entry";
    // The peer is served.
    auto peer = connect();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->send(ack2(kId | next)));
    next++;
    ASSERT_TRUE(eventually([&] { return ids().size() == 3 - next; }, kWaitMs));
    peer->close();
  }
  EXPECT_TRUE(ids().empty());
}

}  // namespace
