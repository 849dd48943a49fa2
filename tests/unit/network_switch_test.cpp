// Mirror networks: the pick of the network in use, the marking of a failed
// one, the network log line, command 79 (switch by priority) and command
// 80 (cancel waiting recovery ACKs), and the text of the sync switch flags.

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_sock.h"
#include "include/mirvol_trans.h"
#include "module_fixture.h"
#include "writer_fixture.h"

using testutil::LogCapture;

namespace {

const char *kS[] = {"F", "U", "E"};

class Networks : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    mirvol_printk_init();
    nmp()->ip_version = 4;
    nmp()->data_port = 7001;
    nmp()->hb_port = 7003;
    nmp()->ack2_port = 7002;
    sema_init(&nmp()->hb_client.sem, 1);
    sema_init(&nmp()->ack2_client.sem, 1);
  }
  void networks(std::vector<u32> states) {
    struct network **tail = &nmp()->network_list;
    int i = 1;
    for (u32 s : states) {
      auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
      std::string self = "192.0.2." + std::to_string(i), opp = "198.51.100." + std::to_string(i);
      inet_pton(AF_INET, self.c_str(), nw->self_addr + 12);
      inet_pton(AF_INET, opp.c_str(), nw->opponent_addr + 12);
      nw->state = s;
      nw->peak_response = 50;
      *tail = nw;
      tail = &nw->next;
      nmp()->mdc_cnt++;
      i++;
    }
  }
  struct network *net(int i) {
    struct network *nw = nmp()->network_list;
    while (i-- > 0) nw = nw->next;
    return nw;
  }
  std::string states() {
    std::string out;
    unsigned long flags;
    spin_lock_irqsave(nmp()->network_list_lock, flags);
    for (struct network *nw = nmp()->network_list; nw; nw = nw->next) out += kS[nw->state];
    spin_unlock_irqrestore(nmp()->network_list_lock, flags);
    return out;
  }
  u32 nw_port() {
    unsigned long flags;
    spin_lock_irqsave(&nmp()->nmp_variable->nmp_lock, flags);
    u32 v = nmp()->nw_port;
    spin_unlock_irqrestore(&nmp()->nmp_variable->nmp_lock, flags);
    return v;
  }
};

TEST_F(Networks, PickOfTheNetworkInUse) {
  struct Row {
    std::vector<u32> in;
    int picked;  // 0-based, -1 none
    const char *after;
  } rows[] = {
      {{NW_USING, NW_FREE}, 0, "UF"},  {{NW_FREE, NW_USING}, 1, "FU"},
      {{NW_FREE, NW_FREE}, 0, "UF"},   {{NW_ERROR, NW_FREE}, 1, "EU"},
      {{NW_ERROR, NW_USING}, 1, "EU"}, {{NW_ERROR, NW_ERROR}, -1, "EE"},
      {{NW_FREE}, 0, "U"},             {{}, -1, ""},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.in));
    while (nmp()->network_list) {
      struct network *n = nmp()->network_list->next;
      kfree(nmp()->network_list);
      nmp()->network_list = n;
    }
    nmp()->mdc_cnt = 0;
    networks(r.in);
    nmp()->nw_port = 1;
    struct network *got = mirvol_get_using_network(nmp());
    EXPECT_EQ(got, r.picked < 0 ? nullptr : net(r.picked));
    EXPECT_EQ(states(), r.after);
    EXPECT_EQ(nw_port(), r.picked < 0 ? 0u : 1u) << "no network closes the N/W port";
  }
}

TEST_F(Networks, FailedCurrentNetworkTurnsErrorAndTheLastOneClosesThePort) {
  networks({NW_USING, NW_FREE});
  nmp()->current_network = net(0);
  LogCapture log;
  EXPECT_EQ(mirvol_set_mdc_error(nmp()), 0);
  EXPECT_EQ(states(), "EF");
  EXPECT_EQ(nw_port(), 1u);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 243> NMP3 N/W is ERROR 192.0.2.1 - 198.51.100.1 :7001(DATA)"))
      << log.dump();
  EXPECT_EQ(mirvol_get_using_network(nmp()), net(1));
  nmp()->current_network = net(1);
  EXPECT_EQ(mirvol_set_mdc_error(nmp()), 1);
  EXPECT_EQ(states(), "EE");
  EXPECT_EQ(nw_port(), 0u);
}

TEST_F(Networks, LogLineOfANetwork) {
  networks({NW_FREE, NW_USING});
  struct Row {
    int kind;
    const char *suffix;
  } rows[] = {{0, ""}, {1, " :7001(DATA)"}, {2, " :7003(HB)"}, {3, " :7002(ACK2)"}, {9, ""}};
  for (auto &r : rows) {
    SCOPED_TRACE(r.kind);
    mirvol_printk_init();
    LogCapture log;
    mirvol_disp_current_mdc(nmp(), net(0), r.kind);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_EQ(log.texts()[0],
              std::string("[I] <type: mirvol><event: 243> NMP3 N/W is FREE  192.0.2.1 - 198.51.100.1") + r.suffix);
  }
  nmp()->ip_version = 6;
  inet_pton(AF_INET6, "2001:db8::1", net(1)->self_addr);
  inet_pton(AF_INET6, "2001:db8:0:0:0:0:a:2", net(1)->opponent_addr);
  LogCapture log;
  mirvol_disp_current_mdc(nmp(), net(1), 2);
  mirvol_disp_current_mdc(nmp(), nullptr, 2);
  ASSERT_EQ(log.texts().size(), 1u) << "nothing for no network";
  EXPECT_EQ(log.texts()[0], "[I] <type: mirvol><event: 243> NMP3 N/W is USING 2001:db8:0:0:0:0:0:1 - "
                            "2001:db8:0:0:0:0:a:2 :7003(HB)");
}

// --- command 79 ---

struct SwitchCall {
  u32 status;
  s32 priority;
};
SwitchCall mdc_switch(u32 minor, s32 priority) {
  std::vector<u8> rec(8, 0);
  memcpy(rec.data() + 4, &priority, 4);
  writertest::Call c(minor, 79, rec);
  EXPECT_EQ(c.result, 0);
  SwitchCall out;
  memcpy(&out.status, c.buf.data(), 4);
  memcpy(&out.priority, c.buf.data() + 4, 4);
  return out;
}

TEST_F(Networks, SwitchByPriority) {
  struct Row {
    std::vector<u32> in;
    s32 want;
    u32 status;
    s32 answered;  // mdc_priority after the call
    const char *after;
    const char *log;
  } rows[] = {
      {{NW_USING, NW_FREE}, 0, STATUS_OK, 2, "FU",
       "[I] <type: mirvol><event: 263> NMP3 switched N/W from (priority:1) to (priority:2)."},
      {{NW_FREE, NW_USING}, 0, STATUS_OK, 1, "UF", "switched N/W from (priority:2) to (priority:1)."},
      {{NW_USING, NW_FREE}, 2, STATUS_OK, 2, "FU", "switched N/W from (priority:1) to (priority:2)."},
      {{NW_FREE, NW_FREE}, 0, STATUS_OK, 1, "UF", "[I] <type: mirvol><event: 262> NMP3 uses N/W (priority:1)."},
      {{NW_FREE, NW_FREE}, 2, STATUS_OK, 2, "FU", "NMP3 uses N/W (priority:2)."},
      {{NW_ERROR, NW_FREE}, 0, STATUS_OK, 2, "EU", "NMP3 uses N/W (priority:2)."},
      {{NW_USING, NW_ERROR}, 0, STATUS_ALL_NW_ERROR, 0, "UE",
       "[W] <type: mirvol><event: 260> NMP3 failed to switch N/W to (priority:0). (All the other network ERROR)"},
      {{NW_USING, NW_ERROR}, 2, STATUS_NW_ERROR, 2, "UE",
       "NMP3 failed to switch N/W to (priority:2). (Specified network has been error)"},
      {{NW_USING, NW_ERROR}, 1, STATUS_ALREADY_SWITCHED, 1, "UE",
       "[I] <type: mirvol><event: 261> NMP3 already switched N/W to (priority:1)."},
      {{NW_ERROR, NW_ERROR}, 0, STATUS_ALL_NW_ERROR, 0, "EE",
       "NMP3 failed to switch N/W to (priority:0). (All of the networks ERROR)"},
      {{NW_USING, NW_FREE}, 3, STATUS_INVALID_PARAMETER, 3, "UF",
       "[E] <type: mirvol><event: 182> NMP3 mdc_priority (3) is invalid. (mirvol_nmp_mdc_switch)"},
      {{NW_USING, NW_FREE}, -1, STATUS_INVALID_PARAMETER, -1, "UF", "NMP3 mdc_priority (-1) is invalid."},
      {{}, 0, STATUS_FAILED, 0, "",
       "[W] <type: mirvol><event: 142> NMP3 N/W is not initialized yet. (mirvol_nmp_mdc_switch)"},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.in) + " priority " + std::to_string(r.want));
    while (nmp()->network_list) {
      struct network *n = nmp()->network_list->next;
      kfree(nmp()->network_list);
      nmp()->network_list = n;
    }
    nmp()->mdc_cnt = 0;
    networks(r.in);
    if (r.in.empty()) nmp()->mdc_cnt = 2;
    // A DATA connection that a switch must drop.
    struct socket *s = nullptr;
    ASSERT_EQ(sock_create_kern(AF_INET, SOCK_STREAM, IPPROTO_TCP, &s), 0);
    nmp()->data_sock = s;
    nmp()->nw_port = 1;
    mirvol_printk_init();
    LogCapture log;
    SwitchCall c = mdc_switch(3, r.want);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.priority, r.answered);
    EXPECT_EQ(states(), r.after);
    EXPECT_TRUE(log.contains(r.log)) << log.dump();
    EXPECT_EQ(nw_port(), 1u) << "a switch leaves the N/W port as it is";
    if (r.status == STATUS_OK) {
      EXPECT_EQ(nmp()->data_sock, nullptr) << "the DATA connection leaves the old network";
      EXPECT_TRUE(log.contains("N/W is USING")) << "the new network's line";
      int target = r.answered - 1;
      EXPECT_EQ(net(target)->peak_response, 0);
    } else {
      EXPECT_EQ(nmp()->data_sock, s) << "a refused switch changes nothing";
      if (!r.in.empty()) {
        EXPECT_EQ(net(0)->peak_response, 50);
      }
    }
    if (nmp()->data_sock) sock_release(nmp()->data_sock);
    nmp()->data_sock = nullptr;
  }
}

TEST_F(Networks, SwitchTwiceGoesThereAndBack) {
  networks({NW_USING, NW_FREE});
  EXPECT_EQ(mdc_switch(3, 0).priority, 2);
  EXPECT_EQ(states(), "FU");
  EXPECT_EQ(mdc_switch(3, 0).priority, 1);
  EXPECT_EQ(states(), "UF");
}

TEST_F(Networks, SwitchAndCancelOnAMinorWithoutDevice) {
  LogCapture log;
  SwitchCall c = mdc_switch(1, 1);
  EXPECT_EQ(c.status, (u32)STATUS_NO_DEVICE);
  EXPECT_TRUE(log.contains("[W] <type: mirvol><event: 141> NMP1 device does not exist. (mirvol_nmp_mdc_switch)"));
  writertest::Call c80(1, 80, std::vector<u8>(4, 0));
  EXPECT_EQ(c80.status(), (u32)STATUS_NO_DEVICE);
  EXPECT_TRUE(log.contains("NMP1 device does not exist. (mirvol_nmp_cancel_waiting_ack)"));
}

// --- command 80 ---

TEST_F(Networks, CancelFailsOnlyThisDevicesWaitingRecoveries) {
  testutil::FakeDevice other(1, 1 << 20);
  wait_queue_head_t wq;
  init_waitqueue_head(&wq);
  struct trans_table saved[3];
  memcpy(saved, g_trans_table, sizeof(saved));
  g_trans_table[0] = {11, 1, 0, &wq, 0, nmp()};          // waiting: cancelled
  g_trans_table[1] = {12, 1, 1, &wq, 0, nmp()};          // ACK already in: kept
  g_trans_table[2] = {13, 1, 0, &wq, 0, other.nmp()};    // another device: kept
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    writertest::Call c(3, 80, std::vector<u8>(4, 0));
    EXPECT_EQ(c.status(), (u32)STATUS_OK) << "OK whether or not one was waiting";
    EXPECT_EQ(g_trans_table[0].status, 3u);
    EXPECT_EQ(g_trans_table[0].ack_received, 1u);
    EXPECT_EQ(g_trans_table[0].nmp, nullptr);
    EXPECT_EQ(g_trans_table[1].status, 0u);
    EXPECT_EQ(g_trans_table[1].nmp, nmp());
    EXPECT_EQ(g_trans_table[2].ack_received, 0u);
    EXPECT_EQ(g_trans_table[2].nmp, other.nmp());
  }
  memcpy(g_trans_table, saved, sizeof(saved));
}

// --- the sync switch flags ---

TEST(SyncFlagText, Table) {
  struct Row {
    u32 flags;
    const char *text;
  } rows[] = {
      {0, "<----S>"},     {0x103, "<R-i-n>"}, {0x2, "<--I-s>"},   {0x1, "<----N>"},
      {0x8, "<-B--s>"},   {0x4, "<---Fs>"},   {0xf, "<-BIFN>"},    {0x100, "<R---s>"},
      {0x10f, "<Rbifn>"}, {0x10, "<----S>"},  {0x109, "<Rb--n>"},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.flags);
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(mirvol_disp_sync_flag(r.flags, buf, sizeof(buf)), buf);
    EXPECT_STREQ(buf, r.text);
  }
  char small[7] = "xxxxxx";
  EXPECT_EQ(mirvol_disp_sync_flag(0, small, sizeof(small)), nullptr);
  EXPECT_STREQ(small, "xxxxxx") << "nothing written into a short buffer";
  EXPECT_EQ(mirvol_disp_sync_flag(0, nullptr, 8), nullptr);
}

}  // namespace
