// The device ports and the connection flag: the port command on each port
// and on combinations, the network check of a mount-port command, the
// heartbeat's opening and the driver's closing of the connection flag, and
// the mirror-break test.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "include/mirvol_port.h"
#include "module_fixture.h"

using testutil::KThread;
using testutil::LogCapture;

namespace {

constexpr u32 kUntouched = 0xdeadbeef;  // what the caller left in an output field

struct Ports {
  u32 io, nw, mount;
  bool operator==(const Ports &) const = default;
};

// A log line as level and text.
using Line = std::pair<int, std::string>;

std::vector<Line> lines_of(const LogCapture &log) {
  std::vector<Line> out;
  for (auto &l : log.lines()) out.emplace_back(l.level, l.text);
  return out;
}

Line info(int event, const std::string &text) {
  char head[64];
  snprintf(head, sizeof(head), "[I] <type: mirvol><event: %03d> ", event);
  return {6, head + text};
}

class PortTest : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    // The network check sends ICMP echoes on loopback over raw sockets.
    struct socket *raw = nullptr;
    if (sock_create_kern(AF_INET, SOCK_RAW, IPPROTO_ICMP, &raw) < 0)
      GTEST_SKIP() << "raw ICMP sockets need CAP_NET_RAW";
    sock_release(raw);
    DeviceTest::SetUp();
    usable_network();
    mirvol_printk_init();  // no suppression of repeats left over from earlier messages
  }
  // One network on loopback, which answers every echo.
  void usable_network() {
    auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
    nw->self_addr[12] = nw->opponent_addr[12] = 127;
    nw->self_addr[15] = nw->opponent_addr[15] = 1;
    nw->state = NW_USING;
    nw->recv_latch = nw->report_latch = nw->send_latch = 1;
    nmp()->network_list = nw;  // unload frees it
    nmp()->mdc_cnt = 1;
    nmp()->ip_version = 4;
    nmp()->hb_recv_timeout = 2;
    nmp()->hb_recv_retry = 2;
  }
  void set_ports(Ports p) {
    nmp()->io_port = p.io;
    nmp()->nw_port = p.nw;
    nmp()->mount_port = p.mount;
  }
  Ports ports() { return {nmp()->io_port, nmp()->nw_port, nmp()->mount_port}; }
  // Every network of the device has failed: the network check finds none
  // (with no ICMP time-out it marks each one ERROR without trying).
  void fail_networks() {
    nmp()->network_list->state = NW_ERROR;
    nmp()->hb_recv_timeout = 0;
  }
};

// The port record as the caller sends it: the flags, and every output field
// holding the caller's own value.
struct Record {
  u8 b[MIRVOL_PORT_REC_SIZE];
  explicit Record(u32 flags) {
    put(MIRVOL_PORT_REC_STATUS, 0);
    put(MIRVOL_PORT_REC_FLAGS, flags);
    put(MIRVOL_PORT_REC_IO, kUntouched);
    put(MIRVOL_PORT_REC_NW, kUntouched);
    put(MIRVOL_PORT_REC_MOUNT, kUntouched);
  }
  void put(unsigned int off, u32 v) { memcpy(b + off, &v, 4); }
  u32 at(unsigned int off) const {
    u32 v;
    memcpy(&v, b + off, 4);
    return v;
  }
};

struct PortCase {
  const char *name;
  unsigned int cmd;
  u32 flags;
  Ports before, after;
  Ports out;  // the record's I/O, N/W and mount fields after the call
  u32 status;
  std::vector<Line> log;
};

const Line kOpenNw = info(196, "NMP3 open N/W port OK.");
const Line kOpenIo = info(192, "NMP3 open I/O   port OK.");
const Line kOpenMount = info(194, "NMP3 open mount port OK.");
const Line kCloseNw = info(197, "NMP3 close N/W port OK.");
const Line kCloseIo = info(193, "NMP3 close I/O   port OK.");
const Line kCloseMount = info(195, "NMP3 close mount port OK.");
constexpr Ports kNoOut = {kUntouched, kUntouched, kUntouched};

const std::vector<PortCase> kPortCases = {
    {"open N/W", 5, 2, {1, 0, 0}, {1, 1, 0}, kNoOut, STATUS_OK, {kOpenNw}},
    {"open I/O", 5, 1, {0, 1, 0}, {1, 1, 0}, kNoOut, STATUS_OK, {kOpenIo}},
    {"open mount", 5, 4, {1, 1, 0}, {1, 1, 1}, kNoOut, STATUS_OK, {kOpenMount}},
    {"open all, N/W first", 5, 7, {0, 0, 0}, {1, 1, 1}, kNoOut, STATUS_OK,
     {kOpenNw, kOpenIo, kOpenMount}},
    {"open only the closed ones", 5, 7, {1, 0, 1}, {1, 1, 1}, kNoOut, STATUS_OK, {kOpenNw}},
    {"open what is open", 5, 7, {1, 1, 1}, {1, 1, 1}, kNoOut, STATUS_OK, {}},
    {"close N/W", 6, 2, {1, 1, 1}, {1, 0, 1}, kNoOut, STATUS_OK, {kCloseNw}},
    {"close I/O", 6, 1, {1, 1, 1}, {0, 1, 1}, kNoOut, STATUS_OK, {kCloseIo}},
    {"close mount", 6, 4, {1, 1, 1}, {1, 1, 0}, kNoOut, STATUS_OK, {kCloseMount}},
    {"close all, N/W first", 6, 7, {1, 1, 1}, {0, 0, 0}, kNoOut, STATUS_OK,
     {kCloseNw, kCloseIo, kCloseMount}},
    {"close I/O and mount", 6, 5, {1, 1, 1}, {0, 1, 0}, kNoOut, STATUS_OK,
     {kCloseIo, kCloseMount}},
    {"close what is closed", 6, 7, {0, 0, 0}, {0, 0, 0}, kNoOut, STATUS_OK, {}},
    {"get all", 7, 7, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}, STATUS_OK, {}},
    {"get I/O and N/W", 7, 3, {0, 1, 1}, {0, 1, 1}, {0, 1, kUntouched}, STATUS_OK, {}},
    {"get mount", 7, 4, {1, 1, 0}, {1, 1, 0}, {kUntouched, kUntouched, 0}, STATUS_OK, {}},
    {"no port", 5, 0, {0, 0, 0}, {0, 0, 0}, kNoOut, STATUS_OK, {}},
    {"invalid bit 3", 5, 0xf, {0, 0, 0}, {0, 0, 0}, kNoOut, STATUS_INVALID_PARAMETER,
     {{3, "[E] <type: mirvol><event: 182> NMP3 the port flag (0xf) is invalid. "
          "(mirvol_port_operate)"}}},
    {"invalid high bit", 6, 0x80000003, {1, 1, 1}, {1, 1, 1}, kNoOut, STATUS_INVALID_PARAMETER,
     {{3, "[E] <type: mirvol><event: 182> NMP3 the port flag (0x80000003) is invalid. "
          "(mirvol_port_operate)"}}},
    {"invalid get", 7, 0x10, {1, 0, 1}, {1, 0, 1}, kNoOut, STATUS_INVALID_PARAMETER,
     {{3, "[E] <type: mirvol><event: 182> NMP3 the port flag (0x10) is invalid. "
          "(mirvol_port_operate)"}}},
};

TEST_F(PortTest, PortCommandTable) {
  for (const PortCase &c : kPortCases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    set_ports(c.before);
    nmp()->hb_client_up = 1;
    nmp()->hb_server_up = 1;
    Record rec(c.flags);
    LogCapture log;
    mirvol_port_operate(c.cmd, nmp(), rec.b);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_STATUS), c.status);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_FLAGS), c.flags);
    EXPECT_TRUE(ports() == c.after);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_IO), c.out.io);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_NW), c.out.nw);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_MOUNT), c.out.mount);
    EXPECT_EQ(lines_of(log), c.log);
    // The port command never touches the heartbeat flags.
    EXPECT_EQ(nmp()->hb_client_up, 1u);
    EXPECT_EQ(nmp()->hb_server_up, 1u);
  }
}

// With a usable network, every command on the mount port wakes the
// heartbeat client at once.
TEST_F(PortTest, MountPortCommandWakesTheHeartbeatClient) {
  for (unsigned int cmd : {5u, 6u, 7u}) {
    SCOPED_TRACE(cmd);
    wait_queue_head_t *wq = &nmp()->nmp_variable->heartbeat_wq;
    long left = -1;
    KThread sleeper([&] {
      left = mirvol_interruptible_sleep_on_timeout(wq, 60 * HZ);
      return 0;
    });
    ASSERT_TRUE(testutil::eventually([&] { return waitqueue_active(wq) != 0; }, 5000));
    Record rec(MIRVOL_PORT_MOUNT);
    mirvol_port_operate(cmd, nmp(), rec.b);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_STATUS), (u32)STATUS_OK);
    ASSERT_TRUE(sleeper.wait_done(5000)) << "the heartbeat wait queue was not woken";
    EXPECT_GT(left, 0);
    EXPECT_EQ(nmp()->nw_port, 1u);
  }
}

// With no usable network, a command on the mount port closes the connection
// flag; a command without the mount port runs no check.
TEST_F(PortTest, MountPortCommandWithoutANetworkClosesTheConnection) {
  struct Case {
    unsigned int cmd;
    u32 flags;
    bool closes;
  };
  const Line closed = info(155, "NMP3 N/W port closed.");
  for (const Case &c : std::vector<Case>{{5, 4, true}, {6, 4, true}, {7, 4, true},
                                         {7, 7, true}, {7, 3, false}, {6, 3, false}}) {
    SCOPED_TRACE(testing::Message() << "cmd " << c.cmd << " flags " << c.flags);
    mirvol_printk_init();
    fail_networks();
    set_ports({1, 1, 1});
    nmp()->hb_client_up = nmp()->hb_server_up = 1;
    Record rec(c.flags);
    LogCapture log;
    mirvol_port_operate(c.cmd, nmp(), rec.b);
    EXPECT_EQ(rec.at(MIRVOL_PORT_REC_STATUS), (u32)STATUS_OK);
    auto lines = lines_of(log);
    bool logged = std::find(lines.begin(), lines.end(), closed) != lines.end();
    EXPECT_EQ(logged, c.closes);
    if (c.closes) {
      EXPECT_EQ(lines.empty() ? Line{} : lines.back(), closed);  // after the port messages
      EXPECT_EQ(nmp()->nw_port, 0u);
      EXPECT_EQ(nmp()->hb_client_up, 0u);
    } else if (c.cmd == 7) {
      EXPECT_EQ(nmp()->nw_port, 1u);
    }
    EXPECT_EQ(nmp()->hb_server_up, 1u);
  }
}

TEST_F(PortTest, CloseComPortClosesOnceAndKeepsTheServerFlag) {
  set_ports({1, 1, 0});
  nmp()->hb_client_up = nmp()->hb_server_up = 1;
  LogCapture log;
  mirvol_close_com_port(nmp());
  mirvol_close_com_port(nmp());
  EXPECT_EQ(nmp()->nw_port, 0u);
  EXPECT_EQ(nmp()->hb_client_up, 0u);
  EXPECT_EQ(nmp()->hb_server_up, 1u);
  EXPECT_EQ(nmp()->io_port, 1u);
  EXPECT_EQ(lines_of(log), std::vector<Line>{info(155, "NMP3 N/W port closed.")});

  // Already closed: a heartbeat client flag set meanwhile stays.
  nmp()->hb_client_up = 1;
  mirvol_close_com_port(nmp());
  EXPECT_EQ(nmp()->hb_client_up, 1u);
  EXPECT_EQ(lines_of(log).size(), 1u);
}

TEST_F(PortTest, OpenComPortNeedsBothHeartbeatDirections) {
  struct Case {
    u32 nw, client, server;
    int kind;
    u32 nw_after, client_after, server_after;
  };
  const std::vector<Case> cases = {
      {0, 0, 1, MIRVOL_HB_SERVER, 0, 0, 1},  // the server alone does not reopen
      {0, 0, 1, MIRVOL_HB_CLIENT, 1, 1, 1},
      {0, 1, 0, MIRVOL_HB_SERVER, 1, 1, 1},
      {0, 0, 0, MIRVOL_HB_CLIENT, 0, 1, 0},
      {0, 0, 0, MIRVOL_HB_SERVER, 0, 0, 1},
      {0, 0, 1, 2, 0, 0, 1},  // another kind sets neither flag
      {0, 1, 1, 2, 1, 1, 1},
      {1, 1, 1, MIRVOL_HB_CLIENT, 1, 1, 1},  // already open: no message
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.nw << c.client << c.server << " kind " << c.kind);
    mirvol_printk_init();
    nmp()->nw_port = c.nw;
    nmp()->hb_client_up = c.client;
    nmp()->hb_server_up = c.server;
    LogCapture log;
    mirvol_open_com_port(nmp(), c.kind);
    EXPECT_EQ(nmp()->nw_port, c.nw_after);
    EXPECT_EQ(nmp()->hb_client_up, c.client_after);
    EXPECT_EQ(nmp()->hb_server_up, c.server_after);
    std::vector<Line> want;
    if (c.nw == 0 && c.nw_after == 1) want.push_back(info(154, "NMP3 N/W port opened."));
    EXPECT_EQ(lines_of(log), want);
  }
}

TEST_F(PortTest, AfterACloseOnlyTheNextClientResponseReopens) {
  nmp()->nw_port = nmp()->hb_client_up = nmp()->hb_server_up = 1;
  mirvol_close_com_port(nmp());
  mirvol_open_com_port(nmp(), MIRVOL_HB_SERVER);
  EXPECT_EQ(nmp()->nw_port, 0u);
  LogCapture log;
  mirvol_open_com_port(nmp(), MIRVOL_HB_CLIENT);
  EXPECT_EQ(nmp()->nw_port, 1u);
  EXPECT_EQ(lines_of(log), std::vector<Line>{info(154, "NMP3 N/W port opened.")});

  // The port command opens the flag whatever the heartbeat flags say.
  mirvol_close_com_port(nmp());
  nmp()->hb_server_up = 0;
  Record rec(MIRVOL_PORT_NW);
  mirvol_port_operate(5, nmp(), rec.b);
  EXPECT_EQ(nmp()->nw_port, 1u);
}

TEST_F(PortTest, MirrorBreakIsReportedOnce) {
  for (u32 state : {0u, 1u, 2u}) {
    SCOPED_TRACE(state);
    nmp()->recovery_prep_state = state;
    EXPECT_EQ(mirvol_isMirrorbreak(nmp()), state == 2 ? 1 : 0);
    EXPECT_EQ(nmp()->recovery_prep_state, state == 2 ? 0u : state);
    EXPECT_EQ(mirvol_isMirrorbreak(nmp()), 0);
  }
}

}  // namespace
