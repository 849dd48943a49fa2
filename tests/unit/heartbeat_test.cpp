// The heartbeat: the Internet checksum, the echo request, the classifiers
// of received ICMP and ICMPv6 messages with their report latch, the ICMP
// check over raw sockets on loopback, and the HB client and server threads
// of a device talking to each other over loopback.

#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "include/mirvol_hb.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_param.h"
#include "include/mirvol_record.h"
#include "include/mirvol_port.h"
#include "module_fixture.h"

using testutil::eventually;
using testutil::LogCapture;

namespace {

using Bytes = std::vector<u8>;

TEST(Checksum, Vectors) {
  struct Row {
    Bytes data;
    u8 lo, hi;  // the checksum as it lies in the packet
  } rows[] = {
      {{}, 0xff, 0xff},
      {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x22, 0x0d},  // even length
      {{0x00, 0x01, 0xf2}, 0x0d, 0xfe},                                // odd: last byte is the high one on the wire
      {{0xff, 0xff, 0xff, 0xff}, 0x00, 0x00},                          // a carry folded back
      {{0xff, 0xff, 0x01, 0x00}, 0xfe, 0xff},                          // a carry that makes a second one
      {{0x45}, 0xba, 0xff},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.data.size());
    u16 sum = cal_chksum(r.data.data(), (int)r.data.size());
    u8 wire[2];
    memcpy(wire, &sum, 2);
    EXPECT_EQ(wire[0], r.lo);
    EXPECT_EQ(wire[1], r.hi);
  }
}

TEST(EchoRequest, LayoutAndChecksum) {
  for (u32 ipv : {4u, 6u}) {
    SCOPED_TRACE(ipv);
    u8 p[MIRVOL_ECHO_SIZE];
    memset(p, 0xee, sizeof(p));
    mirvol_build_echo(p, ipv, 0x1234, 0x10002);
    EXPECT_EQ(p[0], ipv == 4 ? 8 : 128);
    EXPECT_EQ(p[1], 0);
    u16 id;
    memcpy(&id, p + 4, 2);
    EXPECT_EQ(id, 0x1234) << "identifier in host order";
    EXPECT_EQ(p[6], 0x00);
    EXPECT_EQ(p[7], 0x02) << "sequence: the state's low 16 bits, big-endian";
    for (int i = 8; i < MIRVOL_ECHO_SIZE; i++) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(cal_chksum(p, MIRVOL_ECHO_SIZE), 0) << "the checksum covers all 64 bytes";
  }
}

// --- classifiers ---

constexpr u8 kOpp4[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 2};
constexpr u8 kOther4[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 9};
constexpr u8 kOpp6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr u8 kOther6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};

u16 own_id() { return (u16)task_pid_nr(get_current()); }
bool own_id_possible() { return task_pid_nr(get_current()) <= 0xffff; }

// An ICMP message of `type`/`code` with `id`, after an IPv4 header of
// `ihl` words when ihl > 0; the options of a long header hold bytes that
// read as an unreachable message if taken for the ICMP start.
Bytes packet(int ihl, u8 type, u8 code, u16 id) {
  Bytes b;
  if (ihl > 0) {
    b.assign((size_t)ihl * 4, 0);
    b[0] = (u8)(0x40 | ihl);
    for (size_t i = 20; i < b.size(); i++) b[i] = 3;
  }
  Bytes icmp(16, 0);
  icmp[0] = type;
  icmp[1] = code;
  memcpy(icmp.data() + 4, &id, 2);
  b.insert(b.end(), icmp.begin(), icmp.end());
  return b;
}

struct ClassRow {
  const char *what;
  int ihl;  // 0: ICMPv6
  u8 type, code;
  bool own;        // our identifier
  bool opponent;   // sent by the opponent
  int cut;         // bytes taken off the end (-1: the whole packet is 0 bytes)
  int want;
  const char *log; // expected line, or null for none
};

class Classify : public testing::Test {
 protected:
  void SetUp() override { mirvol_printk_init(); }
  int run(const ClassRow &r, struct network *nw) {
    u16 id = r.own ? own_id() : (u16)(own_id() + 1);
    Bytes p = packet(r.ihl, r.type, r.code, id);
    int len = r.cut < 0 ? 0 : (int)p.size() - r.cut;
    if (r.ihl == 0)
      return mirvol_unpack_ipv6(p.data(), len, r.opponent ? kOpp6 : kOther6, kOpp6, nw);
    return mirvol_unpack(p.data(), len, r.opponent ? kOpp4 : kOther4, kOpp4, nw);
  }
  void table(const std::vector<ClassRow> &rows) {
    for (auto &r : rows) {
      SCOPED_TRACE(r.what);
      if (r.own && !own_id_possible()) continue;  // a pid above 65535 has no own identifier
      struct network nw = {};
      nw.report_latch = 1;
      mirvol_printk_init();
      LogCapture log;
      EXPECT_EQ(run(r, &nw), r.want);
      if (r.log)
        EXPECT_TRUE(log.contains(r.log)) << log.dump();
      else
        EXPECT_EQ(log.texts().size(), 0u) << log.dump();
    }
  }
};

const char *kShort = "[W] <type: mirvol><event: 250> Received ICMP. Length of received ICMP is less than 8.";

TEST_F(Classify, Ipv4Table) {
  table({
      {"echo reply, ours, from the opponent", 5, 0, 0, true, true, 0, 1, nullptr},
      {"echo request, ours, from the opponent", 5, 8, 0, true, true, 0, 1, nullptr},
      {"echo reply, ours, from elsewhere", 5, 0, 0, true, false, 0, 0, nullptr},
      {"echo reply, another id, from the opponent", 5, 0, 0, false, true, 0, 2, nullptr},
      {"echo request, another id, from the opponent", 5, 8, 0, false, true, 0, 2, nullptr},
      {"echo reply, another id, from elsewhere", 5, 0, 0, false, false, 0, 0, nullptr},
      {"unreachable, another id", 5, 3, 1, false, true, 0, 0, nullptr},
      {"long header: the ICMP message after the options", 6, 0, 0, true, true, 0, 1, nullptr},
      {"long header, another id", 6, 8, 0, false, true, 0, 2, nullptr},
      {"network unreachable", 5, 3, 0, true, true, 0, 0,
       "[I] <type: mirvol><event: 251> Received ICMP. Type=(3: Destination Unreachable) Code=(0: Network Unreachable)"},
      {"host unreachable", 5, 3, 1, true, true, 0, 0,
       "Type=(3: Destination Unreachable) Code=(1: Host Unreachable)"},
      {"protocol unreachable", 5, 3, 2, true, true, 0, 0,
       "Type=(3: Destination Unreachable) Code=(2: Protocol Unreachable)"},
      {"fragmentation needed", 5, 3, 4, true, true, 0, 0,
       "Type=(3: Destination Unreachable) Code=(4: Fragmentation Needed/DF set)"},
      {"unreachable with an unnamed code", 5, 3, 3, true, true, 0, 0,
       "Received ICMP. Type=(3: Destination Unreachable) Code=(3)"},
      {"another type", 5, 11, 0, true, true, 0, 0,
       "[I] <type: mirvol><event: 252> Received ICMP. Type=(11) Code=(0). Ignored."},
      {"7 ICMP bytes", 5, 0, 0, true, true, 9, 0, kShort},
      {"long header, 7 ICMP bytes after it", 6, 0, 0, true, true, 9, 0, kShort},
      {"header shorter than its minimum", 4, 0, 0, true, true, 0, 0, kShort},
      {"empty packet", 5, 0, 0, true, true, -1, 0, kShort},
  });
}

TEST_F(Classify, Ipv6Table) {
  table({
      {"echo reply, ours, from the opponent", 0, 129, 0, true, true, 0, 1, nullptr},
      {"echo request, ours, from the opponent", 0, 128, 0, true, true, 0, 1, nullptr},
      {"echo reply, ours, from elsewhere", 0, 129, 0, true, false, 0, 0, nullptr},
      {"echo request, another id, from the opponent", 0, 128, 0, false, true, 0, 2, nullptr},
      {"echo reply, another id, from elsewhere", 0, 129, 0, false, false, 0, 0, nullptr},
      {"address unreachable", 0, 1, 3, true, true, 0, 0,
       "Received ICMP. Type=(1: Destination Unreachable) Code=(3: Address Unreachable)"},
      {"port unreachable", 0, 1, 4, true, true, 0, 0,
       "Received ICMP. Type=(1: Destination Unreachable) Code=(4: Port Unreachable)"},
      {"unreachable with an unnamed code", 0, 1, 0, true, true, 0, 0,
       "Received ICMP. Type=(1: Destination Unreachable) Code=(0)"},
      {"type 0 is no echo here", 0, 0, 0, true, true, 0, 0, "Received ICMP. Type=(0) Code=(0). Ignored."},
      {"IPv4 echo type 8 is no echo here", 0, 8, 0, true, true, 0, 0,
       "Received ICMP. Type=(8) Code=(0). Ignored."},
      {"7 bytes", 0, 129, 0, true, true, 9, 0, kShort},
  });
}

// An unreachable or ignored message is logged once per run; any echo seen
// (of any identifier, from anywhere) starts a new run.
TEST_F(Classify, ReportLatchSequences) {
  if (!own_id_possible()) GTEST_SKIP() << "this thread's pid cannot be an ICMP identifier";
  struct Step {
    ClassRow row;
    bool logged;
  };
  const ClassRow unreach = {"unreachable", 5, 3, 1, true, true, 0, 0, nullptr};
  const ClassRow other = {"other type", 5, 5, 0, true, true, 0, 0, nullptr};
  const ClassRow echo = {"echo", 5, 0, 0, true, true, 0, 1, nullptr};
  const ClassRow foreign = {"echo of another id", 5, 0, 0, false, true, 0, 2, nullptr};
  const ClassRow stray = {"echo from elsewhere", 5, 0, 0, true, false, 0, 0, nullptr};
  std::vector<Step> seq = {{unreach, true}, {unreach, false}, {other, false}, {echo, false},
                           {other, true},   {unreach, false}, {stray, false}, {unreach, true},
                           {unreach, false}, {foreign, false}, {unreach, true}};
  struct network nw = {};
  nw.report_latch = 1;
  int i = 0;
  for (auto &s : seq) {
    SCOPED_TRACE(std::to_string(i++) + " " + s.row.what);
    mirvol_printk_init();
    LogCapture log;
    EXPECT_EQ(run(s.row, &nw), s.row.want);
    bool any = log.contains("<event: 251>") || log.contains("<event: 252>");
    EXPECT_EQ(any, s.logged) << log.dump();
  }
}

// --- the ICMP check on loopback ---

bool raw_sockets_available() {
  struct socket *s = nullptr;
  int r = sock_create_kern(AF_INET, SOCK_RAW, IPPROTO_ICMP, &s);
  if (s) sock_release(s);
  return r == 0;
}

void add_network(struct nmp_info *nmp, const char *self, const char *opp, u32 state) {
  auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
  inet_pton(AF_INET, self, nw->self_addr + 12);
  inet_pton(AF_INET, opp, nw->opponent_addr + 12);
  nw->state = state;
  nw->recv_latch = nw->report_latch = nw->send_latch = 1;
  struct network **tail = &nmp->network_list;
  while (*tail) tail = &(*tail)->next;
  *tail = nw;
  nmp->mdc_cnt++;
}

u32 state_of(struct nmp_info *nmp, int i) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  struct network *nw = nmp->network_list;
  while (i-- > 0) nw = nw->next;
  u32 s = nw->state;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return s;
}

void set_state(struct nmp_info *nmp, int i, u32 s) {
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  struct network *nw = nmp->network_list;
  while (i-- > 0) nw = nw->next;
  nw->state = s;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
}

class IcmpCheck : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    if (!raw_sockets_available()) GTEST_SKIP() << "raw ICMP sockets need CAP_NET_RAW";
    DeviceTest::SetUp();
    nmp()->ip_version = 4;
    nmp()->hb_recv_timeout = 1;
    nmp()->hb_recv_retry = 2;
  }
  void TearDown() override {
    clock_set_automatic();
    DeviceTest::TearDown();
  }
};

TEST_F(IcmpCheck, AnsweredNetworkLeavesErrorAndKeepsItsResponseTime) {
  add_network(nmp(), "127.0.0.1", "127.0.0.2", NW_ERROR);
  add_network(nmp(), "127.0.0.1", "127.0.0.3", NW_USING);
  EXPECT_EQ(mirvol_exec_heartbeat(nmp()), 1);
  EXPECT_EQ(state_of(nmp(), 0), (u32)NW_FREE) << "ERROR turns FREE";
  EXPECT_EQ(state_of(nmp(), 1), (u32)NW_USING) << "the check never changes USING";
  struct network *nw = nmp()->network_list;
  EXPECT_NE(nw->last_echo_time, 0u);
  EXPECT_EQ(nw->last_result, 1u) << "our own echo came back";
  EXPECT_GE(nw->max_response, nw->last_response);
  EXPECT_GE(nw->last_response, 0);
  EXPECT_EQ(nw->send_latch, 1u);
}

TEST_F(IcmpCheck, ZeroTimeoutMarksEveryNetworkErrorWithoutSending) {
  add_network(nmp(), "127.0.0.1", "127.0.0.2", NW_USING);
  add_network(nmp(), "127.0.0.1", "127.0.0.3", NW_FREE);
  nmp()->hb_recv_timeout = 0;
  EXPECT_EQ(mirvol_exec_heartbeat(nmp()), 0);
  EXPECT_EQ(state_of(nmp(), 0), (u32)NW_ERROR);
  EXPECT_EQ(state_of(nmp(), 1), (u32)NW_ERROR);
  EXPECT_EQ(nmp()->network_list->last_echo_time, 0u) << "nothing was sent";
}

// A network that cannot be reached from its self address is ERROR after
// its tries; the other one still answers.
TEST_F(IcmpCheck, UnansweredNetworkTurnsError) {
  add_network(nmp(), "127.0.0.1", "192.0.2.77", NW_USING);
  add_network(nmp(), "127.0.0.1", "127.0.0.2", NW_FREE);
  EXPECT_EQ(mirvol_exec_heartbeat(nmp()), 1);
  EXPECT_EQ(state_of(nmp(), 0), (u32)NW_ERROR);
  EXPECT_EQ(state_of(nmp(), 1), (u32)NW_FREE);
}

// --- echo results shared between devices ---

TEST_F(IcmpCheck, ARecentResultOfAnotherDeviceOnTheSameSelfAddressIsTaken) {
  testutil::FakeDevice other(1, 1 << 20);
  other.nmp()->ip_version = 4;
  add_network(nmp(), "127.0.0.1", "127.0.0.2", NW_FREE);
  add_network(other.nmp(), "127.0.0.9", "127.0.0.2", NW_FREE);  // another self address first
  add_network(other.nmp(), "127.0.0.1", "127.0.0.5", NW_FREE);
  clock_set_manual(100000);
  struct network *mine = nmp()->network_list;
  struct network *theirs = other.nmp()->network_list->next;
  // Its own result is recorded with the time.
  EXPECT_EQ(mirvol_share_echo_reply(other.nmp(), theirs, 0, 2), 2u);
  EXPECT_EQ(theirs->last_echo_time, 100000u);
  EXPECT_EQ(theirs->last_result, 2u);
  // Within (tries + 1) x hb_recv_timeout: taken.
  clock_advance(2 * HZ - 1);
  EXPECT_EQ(mirvol_share_echo_reply(nmp(), mine, 1, 0), 2u);
  EXPECT_EQ(mine->last_echo_time, 0u) << "a borrowed result is not recorded as ours";
  // Beyond the window: not.
  clock_advance(2);
  EXPECT_EQ(mirvol_share_echo_reply(nmp(), mine, 1, 0), 0u);
  // A wider window (more tries) takes it again.
  EXPECT_EQ(mirvol_share_echo_reply(nmp(), mine, 2, 0), 2u);
  // A result older than our own is not taken.
  EXPECT_EQ(mirvol_share_echo_reply(nmp(), mine, 0, 1), 1u);
  EXPECT_EQ(mirvol_share_echo_reply(nmp(), mine, 5, 0), 0u);
  clock_set_automatic();
}

// --- the TCP heartbeat, a device answering itself over loopback ---

class HbThreads : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    if (!raw_sockets_available()) GTEST_SKIP() << "raw ICMP sockets need CAP_NET_RAW";
    DeviceTest::SetUp();
    mirvol_printk_init();
    struct nmp_info *n = nmp();
    n->ip_version = 4;
    n->active = 1;
    n->nw_port = 0;
    n->hb_client_up = n->hb_server_up = 0;
    n->mount_port = 1;
    n->hb_interval = 1;
    n->hb_recv_timeout = 1;
    n->hb_recv_retry = 2;
    n->send_timeout = 2;
    n->connect_timeout = 2;
    n->keepalive_time = 2;
    n->keepalive_probe = 2;
    n->keepalive_interval = 1;
    n->hb_port = free_port();
    sema_init(&n->hb_client.sem, 1);
    sema_init(&n->ack2_client.sem, 1);
    init_timer(&n->hb_client.timer1);
    init_timer(&n->hb_client.timer2);
    n->hb_client.state_flags[0] = n->hb_client.state_flags[1] = n->hb_client.state_flags[2] = 1;
    add_network(n, "127.0.0.1", "127.0.0.1", NW_USING);
    clock_set_time_scale(10);
  }
  void TearDown() override {
    clock_set_automatic();
    stop(NMP_THREAD_HB_CLIENT);
    stop(NMP_THREAD_HB_SVR);
    clock_set_time_scale(1);
    DeviceTest::TearDown();
  }
  static u16 free_port() {
    struct socket *s = nullptr;
    sock_create_kern(AF_INET, SOCK_STREAM, IPPROTO_TCP, &s);
    struct ksockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr = htonl(INADDR_LOOPBACK);
    kernel_bind(s, reinterpret_cast<struct ksockaddr *>(&a), sizeof(a));
    kernel_getsockname(s, reinterpret_cast<struct ksockaddr *>(&a));
    sock_release(s);
    return ntohs(a.sin_port);
  }
  void start(int which, int (*fn)(void *), const char *name) {
    ASSERT_GT(mirvol_kernel_thread_info(fn, nmp(), name, &nmp()->thread[which]), 0);
  }
  void stop(int which) {
    struct nmp_thread_info *t = &nmp()->thread[which];
    if (!t->pid_handle) return;
    mirvol_kill_proc_info(t);
    EXPECT_TRUE(eventually([t] { return __atomic_load_n(&t->running, __ATOMIC_ACQUIRE) == 0; },
                           20000));
    kthread_join_pid(t->pid_handle);
    put_pid(t->pid_handle);
    t->pid_handle = nullptr;
  }
  u32 nw_port() {
    unsigned long flags;
    spin_lock_irqsave(&nmp()->nmp_variable->nmp_lock, flags);
    u32 v = nmp()->nw_port;
    spin_unlock_irqrestore(&nmp()->nmp_variable->nmp_lock, flags);
    return v;
  }
};

TEST_F(HbThreads, BothDirectionsOpenTheConnectionFlagAndALostServerClosesIt) {
  LogCapture log;
  start(NMP_THREAD_HB_SVR, mirvol_hb_svr_thread, "mirvol_nmp03_02");
  start(NMP_THREAD_HB_CLIENT, mirvol_hb_client_thread, "mirvol_nmp03_03");
  ASSERT_TRUE(log.wait_for("NMP3 N/W port opened.", 30000)) << log.dump();
  EXPECT_EQ(nw_port(), 1u);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 243> NMP3 N/W is USING 127.0.0.1 - 127.0.0.1 :" +
                           std::to_string(nmp()->hb_port) + "(HB)"))
      << log.dump();
  // The server goes: the client's next exchange fails and the flag closes.
  stop(NMP_THREAD_HB_SVR);
  ASSERT_TRUE(log.wait_for("NMP3 failed to create HB client socket.", 30000)) << log.dump();
  EXPECT_TRUE(eventually([this] { return nw_port() == 0; }, 30000));
  EXPECT_EQ(state_of(nmp(), 0), (u32)NW_FREE) << "the network it could not connect on is FREE again";
}

// With hb_recv_timeout 0 every cycle finds no network; the client then
// pauses an interval instead of running its cycle again at once. The clock
// stands still, so a client that pauses runs no second cycle until woken.
TEST_F(HbThreads, NoNetworkCheckedMeansPausedCyclesAndOneAllErrorMessage) {
  nmp()->hb_recv_timeout = 0;
  nmp()->nw_port = 1;
  LogCapture log;
  clock_set_manual(5000);
  start(NMP_THREAD_HB_CLIENT, mirvol_hb_client_thread, "mirvol_nmp03_03");
  ASSERT_TRUE(log.wait_for("NMP3 all of the networks are ERROR.", 20000)) << log.dump();
  EXPECT_TRUE(eventually([this] { return nw_port() == 0; }, 20000));
  EXPECT_EQ(state_of(nmp(), 0), (u32)NW_ERROR);
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    set_state(nmp(), 0, NW_FREE);
    // A client in a busy loop would mark it ERROR again within this wait.
    EXPECT_FALSE(eventually([this] { return state_of(nmp(), 0) == NW_ERROR; }, 300));
    wake_up(&nmp()->nmp_variable->heartbeat_wq);
    EXPECT_TRUE(eventually([this] { return state_of(nmp(), 0) == NW_ERROR; }, 20000));
  }
  size_t n = 0;
  for (auto &t : log.texts()) n += t.find("all of the networks are ERROR") != std::string::npos;
  EXPECT_EQ(n, 1u) << "event 242 once per run of failures";
  clock_set_automatic();
}

// Commands 8 and 61 store the time-outs while the heartbeat threads read
// them (TSan reports any store or read that is not atomic). The threads keep
// working across the changes, and the last values stored are the ones kept.
TEST_F(HbThreads, TimingsChangedWhileTheThreadsRun) {
  struct nmp_info *n = nmp();
  n->base_hb_recv_timeout = 1;
  n->base_ack_timeout = 5;
  n->base_connect_timeout = 1;
  n->base_send_timeout = 1;
  n->base_keepalive_time = 1;
  n->base_receive_normal_timeout = 5;
  // Parameter records: hb_interval .. receive_normal_timeout, send_queue_cnt.
  auto param = [](u32 step) {
    std::vector<u8> r(80, 0);
    const u32 v[] = {1, 1 + step, 2, 2, 2 + step, 2, 2, 1, 5, 20 + step, 20};
    for (size_t i = 0; i < 11; i++) memcpy(r.data() + 4 + 4 * i, &v[i], 4);
    u64 q = 100 + step;
    memcpy(r.data() + 48, &q, 8);
    return r;
  };
  LogCapture log;
  start(NMP_THREAD_HB_SVR, mirvol_hb_svr_thread, "mirvol_nmp03_02");
  start(NMP_THREAD_HB_CLIENT, mirvol_hb_client_thread, "mirvol_nmp03_03");
  bool opened = false;
  for (u32 i = 0; i < 4000 && !(opened && i >= 200); i++) {
    std::vector<u8> r = param(i % 2);
    mirvol_set_nmp_param(n->minor, n, r.data());
    ASSERT_EQ(rec_u32(r.data(), 0), STATUS_OK);
    std::vector<u8> ratio(8, 0);
    u32 k = 1 + i % 2;
    memcpy(ratio.data() + 4, &k, 4);
    mirvol_set_ratio(n->minor, n, ratio.data());
    ASSERT_EQ(rec_u32(ratio.data(), 0), STATUS_OK);
    if (!opened) opened = log.contains("NMP3 N/W port opened.");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(opened || log.wait_for("NMP3 N/W port opened.", 30000)) << log.dump();
  std::vector<u8> last = param(1);
  mirvol_set_nmp_param(n->minor, n, last.data());
  EXPECT_EQ(n->hb_recv_timeout, 2u);
  EXPECT_EQ(n->send_timeout, 3u);
  EXPECT_EQ(n->ack_timeout, 21u);
  EXPECT_EQ(n->send_queue_cnt, 101u);
  EXPECT_EQ(nw_port(), 1u) << "the heartbeat still holds the N/W port open";
}

}  // namespace
