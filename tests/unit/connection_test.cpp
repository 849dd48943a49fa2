// A device's connections against the test peer: connect and negotiation,
// moving between networks, the watchdog of connects, sends and
// watched receives, the re-send of heads, the release of a connection that
// a message was abandoned on, and the receive helpers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "include/mirvol_sock.h"
#include "test_util.h"
#include "tests/support/test_peer.h"

namespace {

using testpeer::Bytes;
using testutil::KThread;
using testutil::LogCapture;

constexpr int kMinor = 5;
constexpr int kWaitMs = 20000;
// Far more than a silent peer's receive buffer and our send buffer hold
// together, so a send to it can only end by its watchdog.
constexpr size_t kBigMessage = 16u << 20;

// A device record with just what the connection code uses: locks, timers,
// settings and a network list, one network per opponent address (the self
// address is the loopback one).
class ConnDevice {
 public:
  ConnDevice(const std::vector<std::string> &opponents, u16 data_port, u32 ip_version = 4) {
    nmp_ = new nmp_info();
    nmp_->minor = kMinor;
    var_ = new nmp_sys_variable();
    mirvol_init_nmp_sys_variable(var_);
    nmp_->nmp_variable = var_;
    list_lock_ = new spinlock_t;
    spin_lock_init(list_lock_);
    nmp_->network_list_lock = list_lock_;
    sema_init(&nmp_->ack2_client.sem, 1);
    sema_init(&nmp_->hb_client.sem, 1);
    init_timer(&nmp_->ack2_client.timer1);
    init_timer(&nmp_->ack2_client.timer2);
    nmp_->ip_version = ip_version;
    nmp_->data_port = data_port;
    nmp_->connect_timeout = 1;
    nmp_->send_timeout = 1;
    nmp_->keepalive_time = 30;
    nmp_->keepalive_probe = 3;
    nmp_->keepalive_interval = 5;
    nmp_->connect_state = 1;
    nmp_->nw_port = 1;
    struct network **tail = &nmp_->network_list;
    for (auto &o : opponents) {
      auto *nw = new network();
      if (ip_version == 4) {
        inet_pton(AF_INET, "127.0.0.1", nw->self_addr + 12);
        inet_pton(AF_INET, o.c_str(), nw->opponent_addr + 12);
      } else {
        inet_pton(AF_INET6, "::1", nw->self_addr);
        inet_pton(AF_INET6, o.c_str(), nw->opponent_addr);
      }
      nw->state = NW_FREE;
      *tail = nw;
      tail = &nw->next;
      nmp_->mdc_cnt++;
    }
  }
  ~ConnDevice() {
    if (nmp_->data_sock) sock_release(nmp_->data_sock);
    if (nmp_->recv_sock) sock_release(nmp_->recv_sock);
    del_timer_sync(&var_->connect_timer);
    del_timer_sync(&var_->send_timer);
    while (nmp_->network_list) {
      struct network *next = nmp_->network_list->next;
      delete nmp_->network_list;
      nmp_->network_list = next;
    }
    delete list_lock_;
    delete var_;
    delete nmp_;
  }
  struct nmp_info *nmp() const { return nmp_; }
  struct network *net(int i) const {
    struct network *nw = nmp_->network_list;
    while (i-- > 0) nw = nw->next;
    return nw;
  }
  u32 state(int i) const {
    unsigned long flags;
    spin_lock_irqsave(list_lock_, flags);
    u32 s = net(i)->state;
    spin_unlock_irqrestore(list_lock_, flags);
    return s;
  }
  void set_state(int i, u32 s) {
    unsigned long flags;
    spin_lock_irqsave(list_lock_, flags);
    net(i)->state = s;
    spin_unlock_irqrestore(list_lock_, flags);
  }

 private:
  struct nmp_info *nmp_;
  struct nmp_sys_variable *var_;
  spinlock_t *list_lock_;
};

class Connections : public ::testing::Test {
 protected:
  void SetUp() override {
    mirvol_printk_init();
    sock_set_host_addresses(nullptr, 0);
    // A module unload earlier in this process leaves the flag set, and a
    // set flag stops the re-send of heads.
    unloading_ = __atomic_exchange_n(&g_unloading, 0, __ATOMIC_ACQ_REL);
  }
  void TearDown() override { __atomic_store_n(&g_unloading, unloading_, __ATOMIC_RELEASE); }

 private:
  int unloading_ = 0;
};

bool signal24_pending() { return sigismember_pending(get_current(), SIGXCPU) != 0; }

struct head_part write_head(u64 sector, u32 length, u64 id) {
  struct head_part h;
  mirvol_head_init(&h, CMD_WRITE_SYNC_DATA);
  h.start_sector = sector;
  h.end_sector = sector + length / 512 - 1;
  h.request_id = id;
  h.length = length;
  h.vec_count = 1;
  return h;
}

Bytes wire_of(const struct head_part &h) {
  Bytes b(MIRVOL_HEAD_PART_SIZE);
  mirvol_head_encode(&h, b.data());
  return b;
}

// A message buffer that starts with a head of the command.
Bytes big_message(u32 cmd) {
  Bytes b(kBigMessage);
  for (size_t i = 0; i < b.size(); i++) b[i] = (u8)(i * 7 + 3);
  struct head_part h;
  mirvol_head_init(&h, cmd);
  mirvol_head_encode(&h, b.data());
  return b;
}

size_t count_lines(const LogCapture &log, const std::string &needle) {
  size_t n = 0;
  for (auto &t : log.texts())
    if (t.find(needle) != std::string::npos) n++;
  return n;
}

const Bytes kNegotiation = testpeer::short_msg(CMD_NEGOTIATE);

TEST_F(Connections, FirstMessageConnectsNegotiatesAndCarriesHeadAndPayload) {
  testpeer::Listener peer;
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1"}, peer.port());
  LogCapture log;
  Bytes payload(4096);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (u8)(i ^ 0x5a);
  struct head_part h = write_head(800, 4096, (5ULL << 24) | 1);
  int head_r = 0, data_r = 0, keepalive = -1;
  bool sig24 = true;
  KThread t([&] {
    struct nmp_info *nmp = dev.nmp();
    mirvol_down_nmp_send_sem(nmp);
    head_r = mirvol_send_head_part(nmp, h);
    data_r = mirvol_send_data_part(nmp, (u32)payload.size(), payload.data());
    if (nmp->data_sock) {
      socklen_t len = sizeof(keepalive);
      getsockopt(sock_os_fd(nmp->data_sock, 0), SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len);
    }
    mirvol_up_nmp_send_sem(nmp);
    sig24 = signal24_pending();
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(head_r, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(data_r, 4096);
  EXPECT_EQ(keepalive, 1);
  EXPECT_FALSE(sig24);
  EXPECT_NE(dev.nmp()->data_sock, nullptr);
  EXPECT_EQ(dev.state(0), (u32)NW_USING);

  ASSERT_TRUE(peer.wait_connections(1, kWaitMs));
  auto c = peer.conn(0);
  Bytes want = kNegotiation;
  Bytes head = wire_of(h);
  want.insert(want.end(), head.begin(), head.end());
  want.insert(want.end(), payload.begin(), payload.end());
  ASSERT_TRUE(c->wait_bytes(want.size(), kWaitMs));
  EXPECT_EQ(c->received(), want);
  EXPECT_TRUE(log.contains("NMP5 N/W is USING 127.0.0.1 - 127.0.0.1 :" +
                           std::to_string(peer.port()) + "(DATA)"));

  // The release ends the connection.
  mirvol_down_nmp_send_sem(dev.nmp());
  mirvol_release_nmp_sock(dev.nmp());
  mirvol_up_nmp_send_sem(dev.nmp());
  EXPECT_EQ(dev.nmp()->data_sock, nullptr);
  EXPECT_TRUE(c->wait_closed(kWaitMs));
}



// One head sent on a device that has no connection yet: the listener the
// peer runs, the networks tried in order, and what the call, the networks,
// the log and the peer show of it.
struct FirstHeadCase {
  const char *name;
  const char *listen;  // the peer's address
  std::vector<std::string> opponents;
  u32 ip_version;
  bool stray_signal24;  // a signal 24 is pending when the send starts
  std::vector<u32> states;   // each network's state afterwards (empty: not checked)
  int current = -1;          // the network in use afterwards (-1: not checked)
  const char *log = nullptr; // a line logged (PORT: the peer's port)
};

class FirstHead : public Connections, public ::testing::WithParamInterface<FirstHeadCase> {};

TEST_P(FirstHead, ConnectsOnTheFirstUsableNetworkAndSendsTheHead) {
  const FirstHeadCase &c = GetParam();
  testpeer::Listener peer([](size_t) { return true; }, c.listen);
  if (!peer.ok() && c.ip_version == 6) GTEST_SKIP() << "IPv6 loopback (::1) is not available here";
  ASSERT_TRUE(peer.ok());
  ConnDevice dev(c.opponents, peer.port(), c.ip_version);
  LogCapture log;
  int r = 0;
  bool sig24 = true;
  KThread t([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    if (c.stray_signal24) send_sig(SIGXCPU, get_current(), 1);
    r = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    mirvol_up_nmp_send_sem(dev.nmp());
    sig24 = signal24_pending();
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(r, MIRVOL_HEAD_PART_SIZE);
  if (c.stray_signal24) {
    EXPECT_FALSE(sig24) << "the stray signal ended the watched send";
  }
  for (size_t i = 0; i < c.states.size(); i++) EXPECT_EQ(dev.state((int)i), c.states[i]) << i;
  if (c.current >= 0) {
    EXPECT_EQ(dev.nmp()->current_network, dev.net(c.current));
  }
  if (c.log) {
    std::string line = c.log;
    size_t at = line.find("PORT");
    if (at != std::string::npos) line.replace(at, 4, std::to_string(peer.port()));
    EXPECT_TRUE(log.contains(line)) << line;
  }
  ASSERT_TRUE(peer.wait_connections(1, kWaitMs));
  EXPECT_TRUE(peer.conn(0)->wait_bytes(8 + 56, kWaitMs));
}

INSTANTIATE_TEST_SUITE_P(
    Connections, FirstHead,
    ::testing::Values(
        // All sixteen address bytes are used over IPv6.
        FirstHeadCase{"OverIPv6", "::1", {"::1"}, 6, false, {}, -1,
                      "NMP5 N/W is USING 0:0:0:0:0:0:0:1 - 0:0:0:0:0:0:0:1 :PORT(DATA)"},
        // A failed connect marks its network ERROR, and the same call uses
        // the next (the peer listens on 127.0.0.1 only: 127.0.0.2 refuses).
        FirstHeadCase{"AfterAFailedConnectTheNextNetwork", "127.0.0.1",
                      {"127.0.0.2", "127.0.0.1"}, 4, false, {NW_ERROR, NW_USING}, 1,
                      "NMP5 failed to connect to remote server. (err=-111: Connection refused)"},
        // A stray signal 24 does not end the next watched send.
        FirstHeadCase{"WithAStraySignal24", "127.0.0.1", {"127.0.0.1"}, 4, true, {}, -1, nullptr}),
    [](const ::testing::TestParamInfo<FirstHeadCase> &i) { return std::string(i.param.name); });

TEST_F(Connections, NoUsableNetworkGivesTheConnectErrorThenMinus61LoggedOnce) {
  ConnDevice dev({"127.0.0.1", "127.0.0.2"}, testpeer::unused_port());
  LogCapture log;
  int r[3] = {};
  KThread t([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    for (int &x : r) x = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    mirvol_up_nmp_send_sem(dev.nmp());
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  // Both networks fail in the first call, which returns the connect error.
  EXPECT_EQ(r[0], -ECONNREFUSED);
  EXPECT_EQ(r[1], -ENODATA);
  EXPECT_EQ(r[2], -ENODATA);
  EXPECT_EQ(dev.state(0), (u32)NW_ERROR);
  EXPECT_EQ(dev.state(1), (u32)NW_ERROR);
  EXPECT_EQ(count_lines(log, "NMP5 can not find a N/W to use. (DATA)"), 1U);
  EXPECT_EQ(dev.nmp()->nw_port, 0U);
  EXPECT_EQ(dev.nmp()->data_sock, nullptr);

  // Once a network is found again, a later failure to find one is logged again.
  testpeer::Listener peer;
  ASSERT_TRUE(peer.ok());
  dev.nmp()->data_port = peer.port();
  dev.set_state(0, NW_FREE);
  int ok = 0, again = 0;
  KThread t2([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    ok = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    mirvol_release_nmp_sock(dev.nmp());
    dev.set_state(0, NW_ERROR);
    again = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 2));
    mirvol_up_nmp_send_sem(dev.nmp());
    return 0;
  });
  ASSERT_TRUE(t2.wait_done(kWaitMs));
  EXPECT_EQ(ok, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(again, -ENODATA);
  EXPECT_EQ(count_lines(log, "NMP5 can not find a N/W to use. (DATA)"), 2U);
}

TEST_F(Connections, WithoutANetworkListNothingIsTried) {
  ConnDevice dev({}, testpeer::unused_port());
  LogCapture log;
  int r = 0, err = 0;
  struct socket *s = nullptr;
  KThread t([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    r = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    s = mirvol_sock_connect(dev.nmp(), &err);
    mirvol_up_nmp_send_sem(dev.nmp());
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(r, -ENODATA);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(err, -ENODATA);
  EXPECT_TRUE(log.contains("NMP5 N/W is not initialized yet. (mirvol_sock_connect)"));
}

TEST_F(Connections, AConnectThatGetsNoAnswerEndsByItsWatchdog) {
  testpeer::FullBacklogListener silent;
  if (!silent.ok()) GTEST_SKIP() << "could not fill a listener's accept queue here";
  ConnDevice dev({"127.0.0.1"}, silent.port());
  LogCapture log;
  int client_err = 0, data_r = 0;
  struct socket *client = reinterpret_cast<struct socket *>(1);
  bool sig24_after_client = true, sig24_after_data = true;
  KThread t([&] {
    struct timer_list timer;
    init_timer(&timer);
    client = mirvol_creat_client_socket(nullptr, dev.net(0), silent.port(), &timer, dev.nmp(),
                                        &client_err);
    sig24_after_client = signal24_pending();
    mirvol_down_nmp_send_sem(dev.nmp());
    data_r = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    mirvol_up_nmp_send_sem(dev.nmp());
    sig24_after_data = signal24_pending();
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(client_err, -ETIME);
  EXPECT_FALSE(sig24_after_client);
  EXPECT_EQ(data_r, -ETIME);
  EXPECT_FALSE(sig24_after_data);
  EXPECT_EQ(dev.state(0), (u32)NW_ERROR);
  EXPECT_TRUE(log.contains("NMP5 failed to connect to remote server. (err=-62: MDC connection timed out)"));
}

TEST_F(Connections, ClientSocketConnectsWithKeepaliveOrReturnsTheConnectError) {
  testpeer::Listener peer;
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1"}, 0);
  int ok_err = 1, bad_err = 0, keepalive = -1;
  struct socket *bad = reinterpret_cast<struct socket *>(1);
  KThread t([&] {
    struct timer_list timer;
    init_timer(&timer);
    struct socket *s = mirvol_creat_client_socket(nullptr, dev.net(0), peer.port(), &timer,
                                                  dev.nmp(), &ok_err);
    if (s) {
      socklen_t len = sizeof(keepalive);
      getsockopt(sock_os_fd(s, 0), SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len);
      sock_release(s);
    }
    bad = mirvol_creat_client_socket(nullptr, dev.net(0), testpeer::unused_port(), &timer,
                                     dev.nmp(), &bad_err);
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(ok_err, 0);
  EXPECT_EQ(keepalive, 1);
  EXPECT_EQ(bad, nullptr);
  EXPECT_EQ(bad_err, -ECONNREFUSED);
  EXPECT_TRUE(peer.wait_connections(1, kWaitMs));
}

TEST_F(Connections, APayloadThePeerNeverReadsEndsWith62AndDropsTheSocketDespiteSigterm) {
  testpeer::Listener peer([](size_t) { return false; });
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1"}, peer.port());
  Bytes payload(kBigMessage, 0x11);
  int head_r = 0, data_r = 0;
  bool sig24 = true, sigterm_kept = false;
  KThread t([&] {
    allow_signal(SIGTERM);
    mirvol_down_nmp_send_sem(dev.nmp());
    head_r = mirvol_send_head_part(dev.nmp(), write_head(0, (u32)payload.size(), 1));
    // SIGTERM does not end a send: only its watchdog does.
    send_sig(SIGTERM, get_current(), 1);
    data_r = mirvol_send_data_part(dev.nmp(), (u32)payload.size(), payload.data());
    mirvol_up_nmp_send_sem(dev.nmp());
    sig24 = signal24_pending();
    sigterm_kept = sigismember_pending(get_current(), SIGTERM);
    flush_signals(get_current());
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(head_r, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(data_r, -ETIME);
  EXPECT_FALSE(sig24);
  EXPECT_TRUE(sigterm_kept);
  EXPECT_EQ(dev.nmp()->data_sock, nullptr);
  EXPECT_EQ(dev.state(0), (u32)NW_ERROR);
}

TEST_F(Connections, AHeadThatTimesOutIsSentAgainOnANewConnectionAfterANewNegotiation) {
  // The first connection never reads; the next ones do.
  testpeer::Listener peer([](size_t i) { return i > 0; });
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1"}, peer.port());
  LogCapture log;
  Bytes msg = big_message(CMD_WRITE_SYNC_DATA);
  int r = 0;
  KThread t([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    r = mirvol_send(&dev.nmp()->data_sock, dev.nmp(), msg.data(), (u32)msg.size());
    mirvol_up_nmp_send_sem(dev.nmp());
    return 0;
  });
  // The silent connection must end by its 1 s limit; the re-send carries
  // the whole message and, on a loaded machine, may need far longer than
  // that. Once the message's bytes reach the silent connection its send has
  // its limit, and the time-out is raised for the sends after it.
  ASSERT_TRUE(peer.wait_connections(1, kWaitMs));
  ASSERT_TRUE(testutil::eventually(
      [&] {
        int queued = 0;
        return ioctl(peer.conn(0)->fd(), FIONREAD, &queued) == 0 && queued > 8;
      },
      kWaitMs))
      << "the message never reached the silent connection";
  __atomic_store_n(&dev.nmp()->send_timeout, 60u, __ATOMIC_RELAXED);
  ASSERT_TRUE(t.wait_done(90000));
  EXPECT_EQ(r, (int)msg.size());
  ASSERT_TRUE(peer.wait_connections(2, kWaitMs));
  auto c = peer.conn(1);
  ASSERT_TRUE(c->wait_bytes(8 + msg.size(), kWaitMs));
  Bytes got = c->received();
  EXPECT_TRUE(std::equal(kNegotiation.begin(), kNegotiation.end(), got.begin()));
  EXPECT_TRUE(std::equal(msg.begin(), msg.end(), got.begin() + 8));
  EXPECT_EQ(got.size(), 8 + msg.size());
  EXPECT_EQ(peer.count(), 2U);
  // A failed send alone does not move to another network.
  EXPECT_EQ(dev.state(0), (u32)NW_USING);
  EXPECT_TRUE(log.contains(
      "NMP5 failed to send head part (cmd=14: Write sync data) (err=-62: MDC connection timed "
      "out), retrying again."));
}

TEST_F(Connections, FailedSendsThatAreNotRetried) {
  struct Case {
    const char *name;
    u32 cmd;
    bool sigterm_first;  // a stop is waiting when the send begins
    const char *log_line;
  } cases[] = {
      {"recovery sub-header", CMD_RECOVERY_SUB_HEADER, false,
       "NMP5 failed to send head part. (cmd=13: Sub-header of recovery data) (err=-62: MDC "
       "connection timed out)"},
      {"compressed recovery sub-header", CMD_COMPRESSED_RECOVERY_SUB_HEADER, false,
       "NMP5 failed to send head part. (cmd=15: Sub-header of compressed recovery data)"},
      {"write head with SIGTERM pending", CMD_WRITE_SYNC_DATA, true, nullptr},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    testpeer::Listener peer([](size_t) { return false; });
    ASSERT_TRUE(peer.ok());
    ConnDevice dev({"127.0.0.1"}, peer.port());
    LogCapture log;
    Bytes msg = big_message(c.cmd);
    int r = 0;
    KThread t([&] {
      if (c.sigterm_first) send_sig(SIGTERM, get_current(), 1);
      mirvol_down_nmp_send_sem(dev.nmp());
      r = mirvol_send(&dev.nmp()->data_sock, dev.nmp(), msg.data(), (u32)msg.size());
      mirvol_up_nmp_send_sem(dev.nmp());
      flush_signals(get_current());
      return 0;
    });
    ASSERT_TRUE(t.wait_done(kWaitMs));
    EXPECT_EQ(r, -ETIME);
    EXPECT_EQ(dev.nmp()->data_sock, nullptr);
    // The retry would have connected again before the call returned.
    EXPECT_EQ(peer.count(), 1U);
    EXPECT_FALSE(log.contains("retrying again."));
    if (c.log_line) {
      EXPECT_TRUE(log.contains(c.log_line));
    }
  }
}

// A write whose network goes into ERROR between its head and its payload is
// abandoned; when the network comes back, the peer must see that message end
// with its connection, and the next message whole on a new one.
TEST_F(Connections, AMessageAbandonedAfterItsHeadEndsItsConnection) {
  testpeer::Listener peer;
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1"}, peer.port());
  LogCapture log;
  Bytes data1(4096, 0xaa), data2(4096);
  for (size_t i = 0; i < data2.size(); i++) data2[i] = (u8)i;
  struct head_part h1 = write_head(8, 4096, 1), h2 = write_head(16, 4096, 2);
  int r_head1 = 0, r_data1 = 0, r_while_error = 0, r_head2 = 0, r_data2 = 0;
  bool sock_after_abandon = true;
  KThread t([&] {
    struct nmp_info *nmp = dev.nmp();
    mirvol_down_nmp_send_sem(nmp);
    r_head1 = mirvol_send_head_part(nmp, h1);
    dev.set_state(0, NW_ERROR);
    r_data1 = mirvol_send_data_part(nmp, (u32)data1.size(), data1.data());
    sock_after_abandon = nmp->data_sock != nullptr;
    mirvol_up_nmp_send_sem(nmp);

    // With its only network in ERROR nothing can be sent.
    mirvol_down_nmp_send_sem(nmp);
    r_while_error = mirvol_send_head_part(nmp, h2);
    mirvol_up_nmp_send_sem(nmp);

    dev.set_state(0, NW_FREE);
    mirvol_down_nmp_send_sem(nmp);
    r_head2 = mirvol_send_head_part(nmp, h2);
    r_data2 = mirvol_send_data_part(nmp, (u32)data2.size(), data2.data());
    mirvol_up_nmp_send_sem(nmp);
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(r_head1, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(r_data1, -1);
  EXPECT_FALSE(sock_after_abandon);
  EXPECT_EQ(r_while_error, -ENODATA);
  EXPECT_EQ(r_head2, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(r_data2, 4096);
  EXPECT_TRUE(log.contains("NMP5 status of current using N/W is ERROR. (mirvol_send_data_part)"));

  ASSERT_TRUE(peer.wait_connections(2, kWaitMs));
  auto first = peer.conn(0), second = peer.conn(1);
  ASSERT_TRUE(first->wait_closed(kWaitMs));
  Bytes want1 = kNegotiation, w1 = wire_of(h1);
  want1.insert(want1.end(), w1.begin(), w1.end());
  EXPECT_EQ(first->received(), want1);  // the head alone, then end of stream

  Bytes want2 = kNegotiation, w2 = wire_of(h2);
  want2.insert(want2.end(), w2.begin(), w2.end());
  want2.insert(want2.end(), data2.begin(), data2.end());
  ASSERT_TRUE(second->wait_bytes(want2.size(), kWaitMs));
  EXPECT_EQ(second->received(), want2);
}

TEST_F(Connections, WithTwoNetworksAHeadAfterAnErrorGoesOnAFreshConnection) {
  testpeer::Listener peer;
  ASSERT_TRUE(peer.ok());
  ConnDevice dev({"127.0.0.1", "127.0.0.1"}, peer.port());
  LogCapture log;
  int r1 = 0, r2 = 0;
  KThread t([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    r1 = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 1));
    dev.set_state(0, NW_ERROR);
    r2 = mirvol_send_head_part(dev.nmp(), write_head(0, 512, 2));
    mirvol_up_nmp_send_sem(dev.nmp());
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(r1, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(r2, MIRVOL_HEAD_PART_SIZE);
  EXPECT_EQ(dev.nmp()->current_network, dev.net(1));
  EXPECT_TRUE(log.contains("NMP5 status of current using N/W is ERROR. (mirvol_send_head_part)"));
  ASSERT_TRUE(peer.wait_connections(2, kWaitMs));
  EXPECT_TRUE(peer.conn(0)->wait_closed(kWaitMs));
  EXPECT_TRUE(peer.conn(1)->wait_bytes(8 + 56, kWaitMs));
}

// --- the receiving side ---

// A kernel listener on 127.0.0.1 with a chosen port.
struct KernelListener {
  struct socket *sock = nullptr;
  u16 port = 0;
  KernelListener() {
    if (sock_create_kern(AF_INET, SOCK_STREAM, IPPROTO_TCP, &sock) != 0) return;
    struct ksockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr = htonl(INADDR_LOOPBACK);
    if (kernel_bind(sock, reinterpret_cast<struct ksockaddr *>(&a), sizeof(a)) != 0 ||
        kernel_listen(sock, 8) != 0)
      return;
    struct ksockaddr_storage got;
    kernel_getsockname(sock, reinterpret_cast<struct ksockaddr *>(&got));
    port = ntohs(reinterpret_cast<struct ksockaddr_in *>(&got)->sin_port);
  }
  ~KernelListener() { sock_release(sock); }
};

TEST_F(Connections, WatchedNegotiationReceiveTimesOutOrTakesTheMessage) {
  KernelListener l;
  ASSERT_NE(l.port, 0);
  auto silent = testpeer::connect_to("127.0.0.1", l.port, kWaitMs);
  auto talking = testpeer::connect_to("127.0.0.1", l.port, kWaitMs);
  ASSERT_TRUE(silent && talking);
  ASSERT_TRUE(talking->send(kNegotiation));
  int r_silent = 0, r_talking = 0;
  u8 got[8] = {};
  bool sig24 = true;
  KThread t([&] {
    struct timer_list timer;  // the listener's own watchdog
    init_timer(&timer);
    struct socket *a = nullptr, *b = nullptr;
    if (mirvol_accept_socket(l.sock, &a, 4) == 0) {
      u8 buf[8];
      r_silent = mirvol_recvmsg_timeout(a, &timer, buf, 8, 1);
      sock_release(a);
    }
    if (mirvol_accept_socket(l.sock, &b, 4) == 0) {
      r_talking = mirvol_recvmsg_timeout(b, &timer, got, 8, 1);
      sock_release(b);
    }
    sig24 = signal24_pending();
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(r_silent, -ETIME);
  EXPECT_EQ(r_talking, 8);
  EXPECT_EQ(Bytes(got, got + 8), kNegotiation);
  EXPECT_FALSE(sig24);
}

TEST_F(Connections, ReceiveOnRecvSockReturnsZeroWhenThePeerClosesMidMessage) {
  KernelListener l;
  ASSERT_NE(l.port, 0);
  ConnDevice dev({"127.0.0.1"}, 0);
  auto peer = testpeer::connect_to("127.0.0.1", l.port, kWaitMs);
  ASSERT_TRUE(peer);
  Bytes head = testpeer::encode(testpeer::Head{});
  ASSERT_TRUE(peer->send(head.data(), 20));
  peer->close();
  int r = 1;
  KThread t([&] {
    if (mirvol_accept_socket(l.sock, &dev.nmp()->recv_sock, 4) != 0) return -1;
    u8 buf[56];
    r = mirvol_recvmsg_from_nmp_recv_sock(dev.nmp(), buf, sizeof(buf));
    mirvol_nmp_recv_sock_release(dev.nmp());
    return 0;
  });
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(t.result(), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(dev.nmp()->recv_sock, nullptr);
}

TEST_F(Connections, SigtermEndsABlockedAcceptAndABlockedReceiveWithMinus512) {
  KernelListener l;
  ASSERT_NE(l.port, 0);
  ConnDevice dev({"127.0.0.1"}, 0);
  int r_accept = 0, r_recv = 0;
  struct socket *accepted = reinterpret_cast<struct socket *>(1);
  bool sig24 = true;
  struct completion accept_done, recv_ready;
  init_completion(&accept_done);
  init_completion(&recv_ready);
  KThread t([&] {
    allow_signal(SIGTERM);
    r_accept = mirvol_accept_socket(l.sock, &accepted, 4);
    flush_signals(get_current());
    complete(&accept_done);
    // The next one comes from the test peer below.
    int r = mirvol_accept_socket(l.sock, &dev.nmp()->recv_sock, 4);
    complete(&recv_ready);
    if (r != 0) return -1;
    u8 buf[56];
    r_recv = mirvol_recvmsg_from_nmp_recv_sock(dev.nmp(), buf, sizeof(buf));
    sig24 = signal24_pending();
    mirvol_nmp_recv_sock_release(dev.nmp());
    return 0;
  });
  ASSERT_NE(t.task(), nullptr);
  send_sig(SIGTERM, t.task(), 1);
  ASSERT_TRUE(testutil::eventually([&] { return completion_done(&accept_done); }, kWaitMs));
  EXPECT_EQ(r_accept, -ERESTARTSYS);
  EXPECT_EQ(accepted, nullptr);

  auto peer = testpeer::connect_to("127.0.0.1", l.port, kWaitMs);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->send(kNegotiation));  // less than the 56 bytes awaited
  ASSERT_TRUE(testutil::eventually([&] { return completion_done(&recv_ready); }, kWaitMs));
  send_sig(SIGTERM, t.task(), 1);
  ASSERT_TRUE(t.wait_done(kWaitMs));
  EXPECT_EQ(t.result(), 0);
  EXPECT_EQ(r_recv, -ERESTARTSYS);
  EXPECT_FALSE(sig24);
}

TEST_F(Connections, EachWatchedCallHasItsOwnTimer) {
  // Task A's send watchdog fires while task B waits in a watched receive
  // with a long limit of its own: only A's call ends.
  testpeer::Listener silent([](size_t) { return false; });
  ASSERT_TRUE(silent.ok());
  KernelListener l;
  ASSERT_NE(l.port, 0);
  ConnDevice dev({"127.0.0.1"}, silent.port());
  auto peer = testpeer::connect_to("127.0.0.1", l.port, kWaitMs);
  ASSERT_TRUE(peer);
  Bytes payload(kBigMessage, 0x22);
  int r_send = 0, r_recv = 0;
  bool a_sig24 = true, b_sig24 = true;
  struct completion b_ready;
  init_completion(&b_ready);
  KThread b([&] {
    struct socket *s = nullptr;
    if (mirvol_accept_socket(l.sock, &s, 4) != 0) return -1;
    complete(&b_ready);
    struct timer_list timer;
    init_timer(&timer);
    u8 buf[8];
    r_recv = mirvol_recvmsg_timeout(s, &timer, buf, 8, 60);
    b_sig24 = signal24_pending();
    sock_release(s);
    return 0;
  });
  ASSERT_TRUE(testutil::eventually([&] { return completion_done(&b_ready); }, kWaitMs));
  KThread a([&] {
    mirvol_down_nmp_send_sem(dev.nmp());
    mirvol_send_head_part(dev.nmp(), write_head(0, (u32)payload.size(), 1));
    r_send = mirvol_send_data_part(dev.nmp(), (u32)payload.size(), payload.data());
    mirvol_up_nmp_send_sem(dev.nmp());
    a_sig24 = signal24_pending();
    return 0;
  });
  ASSERT_TRUE(a.wait_done(kWaitMs));
  EXPECT_EQ(r_send, -ETIME);
  EXPECT_FALSE(b.wait_done(0));  // still waiting for its 8 bytes
  ASSERT_TRUE(peer->send(kNegotiation));
  ASSERT_TRUE(b.wait_done(kWaitMs));
  EXPECT_EQ(r_recv, 8);
  EXPECT_FALSE(a_sig24);
  EXPECT_FALSE(b_sig24);
}


TEST_F(Connections, RecvSockHelpersWithoutASocket) {
  ConnDevice dev({"127.0.0.1"}, 0);
  LogCapture log;
  u8 buf[8];
  EXPECT_EQ(mirvol_recvmsg_from_nmp_recv_sock(dev.nmp(), buf, sizeof(buf)), -1);
  mirvol_nmp_recv_sock_tcp_delete_keepalive_timer(dev.nmp());
  mirvol_nmp_recv_sock_release(dev.nmp());
  EXPECT_TRUE(log.contains("[W] <type: mirvol><event: 229> NMP5 failed to receive data, because "
                           "recv_sock is NULL."));
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 230> NMP5 recv_sock is NULL, can not "
                           "delete keepalive timer."));
}

}  // namespace
