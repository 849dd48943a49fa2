// Run-time device settings: each command's inputs give the effective values
// and messages, the limits saturate instead of wrapping, and the network
// records are never read or written past the caller's size.

#include <algorithm>

#include "include/mirvol_ext.h"
#include "include/mirvol_param.h"
#include "module_fixture.h"

using testutil::LogCapture;

namespace {

constexpr unsigned long kUaddr = 0x20000;
constexpr u8 kCanary = 0xA5;

typedef void (*Handler)(unsigned int, struct nmp_info *, u8 *);
typedef int (*RawHandler)(struct block_device *, unsigned int, unsigned int, unsigned long);

struct Rec {
  std::vector<u8> b;
  explicit Rec(size_t size) : b(size, 0) {}
  Rec &put32(size_t off, u32 v) {
    memcpy(b.data() + off, &v, 4);
    return *this;
  }
  Rec &put64(size_t off, u64 v) {
    memcpy(b.data() + off, &v, 8);
    return *this;
  }
  u32 u32_at(size_t off) const {
    u32 v;
    memcpy(&v, b.data() + off, 4);
    return v;
  }
  u32 status() const { return u32_at(0); }
};

// Runs a fixed-size handler as the dispatcher does: on a kernel copy, with
// the device of the minor looked up (none for driver-wide commands).
Rec run(Handler fn, unsigned int minor, Rec rec, bool driver_wide = false) {
  struct nmp_info *nmp =
      driver_wide ? nullptr : mirvol_get_nmp_info(MKDEV((u32)g_mirvol_major, minor));
  fn(minor, nmp, rec.b.data());
  return rec;
}

// A caller's buffer of `size` bytes followed by a canary, for the handlers
// that copy their own records.
struct UserCall {
  std::vector<u8> buf;
  int result;
  bool canary_ok;
  UserCall(RawHandler fn, unsigned int minor, size_t size, const Rec &in) {
    buf.assign(size + 64, kCanary);
    std::fill(buf.begin(), buf.begin() + (long)size, 0);
    std::copy(in.b.begin(), in.b.begin() + (long)std::min(size, in.b.size()), buf.begin());
    struct user_context ctx = {buf.data(), (unsigned long)size, kUaddr, nullptr, nullptr, 0};
    set_user_context(&ctx);
    result = fn(nullptr, minor, 0, kUaddr);
    set_user_context(nullptr);
    canary_ok = std::all_of(buf.begin() + (long)size, buf.end(), [](u8 v) { return v == kCanary; });
  }
  u32 u32_at(size_t off) const {
    u32 v;
    memcpy(&v, buf.data() + off, 4);
    return v;
  }
  u32 status() const { return u32_at(0); }
};

class Param : public testutil::DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    saved_min_ = mirvol_min_request_count;
    saved_max_ = mirvol_max_request_count;
    memcpy(saved_actions_, g_disk_error_action, sizeof(saved_actions_));
  }
  void TearDown() override {
    mirvol_min_request_count = saved_min_;
    mirvol_max_request_count = saved_max_;
    memcpy(g_disk_error_action, saved_actions_, sizeof(saved_actions_));
    DeviceTest::TearDown();
  }
  // Two IPv4 networks, both FREE.
  void add_networks() {
    struct network **tail = &nmp()->network_list;
    for (int i = 0; i < 2; i++) {
      auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
      nw->self_addr[15] = (u8)(10 + i);
      nw->opponent_addr[15] = (u8)(20 + i);
      nw->state = NW_FREE;
      *tail = nw;
      tail = &nw->next;
    }
    nmp()->ip_version = 4;
    nmp()->mdc_cnt = 2;
  }
  u32 saved_min_ = 0, saved_max_ = 0;
  int saved_actions_[4] = {};
};

// A parameter record with every value in range.
Rec param_record() {
  Rec r(80);
  const u32 values[] = {10, 2, 8, 10, 30, 30, 3, 1, 5, 100, 100};
  for (size_t i = 0; i < 11; i++) r.put32(4 + 4 * i, values[i]);
  r.put64(48, 1000);
  return r;
}

TEST_F(Param, SetParamChecksEveryValue) {
  struct Case {
    size_t off;
    u32 in;
    u32 nmp_info::*field;
    u32 effective;
    const char *message;  // "" for none
  } cases[] = {
      {40, 0, &nmp_info::ack_timeout, 100,
       "[W] <type: mirvol><event: 180> NMP3 ack_timeout (0) is invalid. The default setting "
       "(100) will be used instead."},
      {8, 0, &nmp_info::hb_recv_timeout, 0,
       "[I] <type: mirvol><event: 183> NMP3 hb_recv_timeout is 0. Heartbeat of mirror disk "
       "connection will be ignored."},
      {8, 101, &nmp_info::hb_recv_timeout, 2, "NMP3 hb_recv_timeout (101) is invalid."},
      {4, 600, &nmp_info::hb_interval, 600, ""},
      {12, 51, &nmp_info::hb_recv_retry, 8, "NMP3 hb_recv_retry (51) is invalid."},
      {28, 0xffffffff, &nmp_info::keepalive_probe, 3,
       "NMP3 keepalive_probe (-1) is invalid. The default setting (3)"},
      {32, 101, &nmp_info::keepalive_interval, 1, "keepalive_interval (101)"},
      {36, 0, &nmp_info::lastupdate_delay, 5, "lastupdate_delay (0)"},
      {44, 601, &nmp_info::receive_normal_timeout, 100, "receive_normal_timeout (601)"},
      {16, 100, &nmp_info::connect_timeout, 100, ""},
      {20, 0, &nmp_info::send_timeout, 30, "send_timeout (0)"},
      {24, 101, &nmp_info::keepalive_time, 30, "keepalive_time (101)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.off);
    LogCapture log;
    Rec out = run(mirvol_set_nmp_param, 3, param_record().put32(c.off, c.in));
    EXPECT_EQ(out.status(), (u32)STATUS_OK);
    EXPECT_EQ(nmp()->*c.field, c.effective);
    if (*c.message)
      EXPECT_TRUE(log.contains(c.message)) << c.message;
    else
      EXPECT_FALSE(log.contains("is invalid"));
  }
}

TEST_F(Param, SetParamSendQueueAndBandLimit) {
  struct Case {
    u32 mode;  // of the device
    u64 queue;
    u32 band_mode, band;
    u64 queue_effective;
    u32 band_effective;
    const char *message;
  } cases[] = {
      {0, 999999, 1, 100, 999999, 100 * 1024, ""},
      {0, 1000000, 0, 100, 65535, 0,
       "[W] <type: mirvol><event: 180> NMP3 send_queue_cnt (1000000) is invalid. The default "
       "setting (65535) will be used instead."},
      {1, 10, 1, 100, 10, 0, ""},  // no limit in sync mode
      {0, 10, 1, 1000000, 10, 0,
       "NMP3 band_limit (1000000) is invalid. The default setting (0) will be used instead."},
      {0, 10, 2, 100, 10, 0,
       "NMP3 band_limit_mode (2) is invalid. The default setting (0) will be used instead."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.queue);
    nmp()->mode = c.mode;
    LogCapture log;
    run(mirvol_set_nmp_param, 3,
        param_record().put64(48, c.queue).put32(56, c.band_mode).put32(60, c.band));
    EXPECT_EQ(nmp()->send_queue_cnt, c.queue_effective);
    EXPECT_EQ(nmp()->band_limit, c.band_effective);
    if (*c.message) EXPECT_TRUE(log.contains(c.message)) << c.message;
    else EXPECT_FALSE(log.contains("is invalid"));
  }
}

TEST_F(Param, RatioScalesTheCreationValuesAndSaturates) {
  struct nmp_info *n = nmp();
  auto set_bases = [n](u32 hb, u32 ack, u32 conn, u32 send, u32 ka, u32 rn) {
    n->base_hb_recv_timeout = hb;
    n->base_ack_timeout = ack;
    n->base_connect_timeout = conn;
    n->base_send_timeout = send;
    n->base_keepalive_time = ka;
    n->base_receive_normal_timeout = rn;
  };
  struct Case {
    s32 ratio;
    u32 bases[6];     // hb_recv, ack, connect, send, keepalive, receive_normal
    u32 expected[6];  // the same order
    std::vector<const char *> messages;
  } cases[] = {
      {1, {2, 100, 10, 30, 30, 100}, {2, 100, 10, 30, 30, 100}, {}},
      {10, {2, 20, 10, 3, 30, 60}, {20, 200, 100, 30, 100, 600},
       {"[I] <type: mirvol><event: 181> NMP3 keepalive_time (300) is invalid. The maximum number "
        "(100) will be used instead."}},
      // 2^30 x 4 is 2^32: in 32 bits it would wrap to 0.
      {0x40000000, {4, 4, 4, 4, 4, 4}, {100, 600, 100, 100, 100, 600},
       {"NMP3 hb_recv_timeout (2147483647) is invalid. The maximum number (100)",
        "NMP3 ack_timeout (2147483647) is invalid. The maximum number (600)",
        "NMP3 receive_normal_timeout (2147483647) is invalid. The maximum number (600)"}},
      {0x7fffffff, {0, 600, 100, 100, 100, 600}, {0, 600, 100, 100, 100, 600},
       {"NMP3 hb_recv_timeout is 0. Heartbeat of mirror disk connection will be ignored.",
        "NMP3 connect_timeout (2147483647) is invalid."}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ratio);
    set_bases(c.bases[0], c.bases[1], c.bases[2], c.bases[3], c.bases[4], c.bases[5]);
    LogCapture log;
    Rec out = run(mirvol_set_ratio, 3, Rec(8).put32(4, (u32)c.ratio));
    EXPECT_EQ(out.status(), (u32)STATUS_OK);
    u32 got[6] = {n->hb_recv_timeout, n->ack_timeout,   n->connect_timeout,
                  n->send_timeout,    n->keepalive_time, n->receive_normal_timeout};
    for (int i = 0; i < 6; i++) EXPECT_EQ(got[i], c.expected[i]) << "value " << i;
    for (const char *m : c.messages) EXPECT_TRUE(log.contains(m)) << m;
    if (c.messages.empty()) {
      EXPECT_TRUE(log.texts().empty());
    }
  }

  // A ratio of 0 or below changes nothing.
  for (s32 ratio : {0, -1}) {
    LogCapture log;
    n->ack_timeout = 123;
    Rec out = run(mirvol_set_ratio, 3, Rec(8).put32(4, (u32)ratio));
    EXPECT_EQ(out.status(), (u32)STATUS_INVALID_PARAMETER);
    EXPECT_EQ(n->ack_timeout, 123u);
    char text[96];
    snprintf(text, sizeof(text),
             "[E] <type: mirvol><event: 182> NMP3 the ratio value (%d) is invalid. "
             "(mirvol_set_ratio)",
             ratio);
    EXPECT_TRUE(log.contains(text)) << text;
  }
}

TEST_F(Param, RatioAfterSetParamScalesTheCreationValue) {
  nmp()->base_ack_timeout = 40;
  run(mirvol_set_nmp_param, 3, param_record().put32(40, 0));
  EXPECT_EQ(nmp()->ack_timeout, 100u);
  run(mirvol_set_ratio, 3, Rec(8).put32(4, 2));
  EXPECT_EQ(nmp()->ack_timeout, 80u) << "twice the creation value, not twice the set value";
}

TEST_F(Param, RequestLimitIsClampedAndRead) {
  struct Case {
    u32 in, effective;
  } cases[] = {{1, 256}, {256, 256}, {300, 300}, {12288, 12288}, {20000, 12288},
               {0xffffffff, 12288}, {0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.in);
    Rec set = run(mirvol_request_count_set, 3, Rec(8).put32(4, c.in), true);
    EXPECT_EQ(set.status(), (u32)STATUS_OK);
    EXPECT_EQ(g_make_request_max_cnt, c.effective);
    Rec get = run(mirvol_request_count_get, 3, Rec(8), true);
    EXPECT_EQ(get.u32_at(4), c.effective);
  }
  // Both want the device, even when the dispatcher looks none up.
  LogCapture log;
  g_make_request_max_cnt = 4096;
  Rec none = run(mirvol_request_count_set, 1, Rec(8).put32(4, 300), true);
  EXPECT_EQ(none.status(), (u32)STATUS_NO_DEVICE);
  EXPECT_EQ(g_make_request_max_cnt, 4096u);
  EXPECT_TRUE(log.contains(
      "[W] <type: mirvol><event: 141> NMP1 device does not exist. "
      "(mirvol_request_count_operation)"));
}

TEST_F(Param, RequestLimitInitStoresClampsAlways) {
  struct Case {
    u32 min, max, cur;
    u32 status;
    u64 limit;
  } cases[] = {
      {10, 20, 30, STATUS_INVALID_PARAMETER, 4096},
      {10, 20, 5, STATUS_INVALID_PARAMETER, 4096},
      {10, 20, 10, STATUS_OK, 10},
      {10, 20, 20, STATUS_OK, 20},
      {10, 20, 0, STATUS_OK, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cur);
    g_make_request_max_cnt = 4096;
    mirvol_min_request_count = mirvol_max_request_count = 1;
    LogCapture log;
    Rec out = run(mirvol_request_count_init, 3, Rec(16).put32(4, c.min).put32(8, c.max).put32(12, c.cur),
                  true);
    EXPECT_EQ(out.status(), c.status);
    EXPECT_EQ(g_make_request_max_cnt, c.limit);
    EXPECT_EQ(mirvol_min_request_count, c.min);
    EXPECT_EQ(mirvol_max_request_count, c.max);
    EXPECT_TRUE(log.texts().empty());
  }
}

TEST_F(Param, SendQueueLimit) {
  struct Case {
    s32 in;
    u64 effective;
  } cases[] = {{-1, 65535}, {0, 0}, {999999, 999999}, {1000000, 65535}, {4096, 4096}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.in);
    Rec set = run(mirvol_send_queue_size_set, 3, Rec(8).put32(4, (u32)c.in));
    EXPECT_EQ(set.status(), (u32)STATUS_OK);
    EXPECT_EQ(nmp()->send_queue_cnt, c.effective);
    Rec get = run(mirvol_send_queue_size_get, 3, Rec(8));
    EXPECT_EQ(get.u32_at(4), (u32)c.effective);
  }
  // A stored value out of range is corrected when it is read.
  nmp()->send_queue_cnt = 5000000;
  EXPECT_EQ(run(mirvol_send_queue_size_get, 3, Rec(8)).u32_at(4), 65535u);
  EXPECT_EQ(nmp()->send_queue_cnt, 65535u);
}

TEST_F(Param, DiskErrorAction) {
  struct Case {
    s32 action, cp, dp;
    const char *message;  // "" when accepted
  } cases[] = {
      {0, 1, 2, ""},
      {1, 0, 0, ""},
      {2, 0, 0, "[E] <type: mirvol><event: 182> action_flg(2) is invalid. "
                "(mirvol_set_disk_error_action)"},
      {-1, 5, 5, "action_flg(-1) is invalid."},
      {1, 2, 9, "cp_action(2) is invalid. (mirvol_set_disk_error_action)"},
      {1, 1, 3, "dp_action(3) is invalid. (mirvol_set_disk_error_action)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    int before[4] = {7, 7, 7, 7};
    memcpy(g_disk_error_action, before, sizeof(before));
    LogCapture log;
    Rec out = run(mirvol_set_disk_error_action, 3,
                  Rec(16).put32(4, (u32)c.action).put32(8, (u32)c.cp).put32(12, (u32)c.dp), true);
    if (*c.message) {
      EXPECT_EQ(out.status(), (u32)STATUS_INVALID_PARAMETER);
      EXPECT_TRUE(log.contains(c.message));
      EXPECT_EQ(log.texts().size(), 1u) << "only the first bad value is reported";
      EXPECT_EQ(0, memcmp(g_disk_error_action, before, sizeof(before)));
    } else {
      EXPECT_EQ(out.status(), (u32)STATUS_OK);
      EXPECT_EQ(g_disk_error_action[0], 7) << "the first int is not this command's";
      EXPECT_EQ(g_disk_error_action[1], c.action);
      EXPECT_EQ(g_disk_error_action[2], c.cp);
      EXPECT_EQ(g_disk_error_action[3], c.dp);
    }
  }
}

TEST_F(Param, SyncSwitchFlags) {
  struct Case {
    u64 last_update;
    s32 in;
    u32 stored;
    const char *message;
  } cases[] = {
      {0, 256, 256,
       "[I] <type: mirvol><event: 190> NMP3 sync switch flag is set to ON.  <R---s>"},
      {1700000000, 256, 264, "NMP3 sync switch flag is set to ON.  <Rb--s>"},
      {0, 2, 2, "[I] <type: mirvol><event: 191> NMP3 sync switch flag is set to OFF. <--I-s>"},
      {0, 0x103, 0x103, "set to ON.  <R-i-n>"},
      {0, 0, 0, "set to ON.  <----S>"},
      {0, 8, 0, "set to ON.  <----S>"},  // value 8 is the driver's
      {1700000000, 0, 8, "set to OFF. <-B--s>"},
      {0, 0x17, 0x17, "set to OFF. <--IFN>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    nmp()->last_update_time = c.last_update;
    LogCapture log;
    Rec out = run(mirvol_set_nmp_sync_flag, 3, Rec(8).put32(4, (u32)c.in));
    EXPECT_EQ(out.status(), (u32)STATUS_OK);
    EXPECT_EQ(nmp()->sync_switch_flags, c.stored);
    EXPECT_TRUE(log.contains(c.message)) << c.message;
  }

  // A negative value is refused before the device is looked for.
  LogCapture log;
  nmp()->sync_switch_flags = 2;
  Rec bad = run(mirvol_set_nmp_sync_flag, 1, Rec(8).put32(4, 0x80000001));
  EXPECT_EQ(bad.status(), (u32)STATUS_INVALID_PARAMETER);
  EXPECT_EQ(nmp()->sync_switch_flags, 2u);
  EXPECT_TRUE(log.contains(
      "[E] <type: mirvol><event: 182> NMP1 sync switch flag (0x80000001) is invalid. "
      "(mirvol_set_nmp_sync_flag)"));

  // Reading refreshes value 8 from the last-update time.
  nmp()->last_update_time = 1700000000;
  Rec get = run(mirvol_get_nmp_sync_flag, 3, Rec(8));
  EXPECT_EQ(get.status(), (u32)STATUS_OK);
  EXPECT_EQ(get.u32_at(4), 10u);
  nmp()->last_update_time = 0;
  EXPECT_EQ(run(mirvol_get_nmp_sync_flag, 3, Rec(8)).u32_at(4), 2u);
  EXPECT_EQ(nmp()->sync_switch_flags, 2u);

  for (u32 mode : {0u, 1u}) {
    nmp()->mode = mode;
    Rec m = run(mirvol_get_nmp_sync_mode_flag, 3, Rec(8));
    EXPECT_EQ(m.status(), (u32)STATUS_OK);
    EXPECT_EQ(m.u32_at(4), mode);
  }
}

TEST_F(Param, SizeAndGranule) {
  struct Case {
    u64 kib;
    u32 granule;
    u32 status;
    u64 sectors;
    s32 bits;
  } cases[] = {
      {4096, 0, STATUS_INVALID_PARAMETER, 2048, 256},  // refused: the previous size stays
      {4096, 0x80000000, STATUS_INVALID_PARAMETER, 2048, 256},
      {4096, 16, STATUS_OK, 8192, 512},
      {5, 8, STATUS_OK, 10, 2},  // a partial granule counts as one bit
      {0, 8, STATUS_OK, 0, 0},
  };
  // Start from 1 MiB with a granule of 8.
  ASSERT_EQ(run(mirvol_set_nmp_size, 3, Rec(24).put64(8, 1024).put32(16, 8)).status(),
            (u32)STATUS_OK);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.kib);
    LogCapture log;
    Rec out = run(mirvol_set_nmp_size, 3, Rec(24).put64(8, c.kib).put32(16, c.granule));
    EXPECT_EQ(out.status(), c.status);
    if (c.status != STATUS_OK) {
      EXPECT_TRUE(log.contains("bmp_size_in_sec (" + std::to_string(c.granule) +
                               ") is invalid. (mirvol_set_nmp_size)"));
    }
    EXPECT_EQ(my_disk[3], c.sectors);

    u8 size64[8] = {};
    struct user_context ctx = {size64, sizeof(size64), kUaddr, nullptr, nullptr, 0};
    set_user_context(&ctx);
    EXPECT_EQ(mirvol_other_ioctl(BLKGETSIZE64, 3, kUaddr), 0);
    set_user_context(nullptr);
    u64 bytes;
    memcpy(&bytes, size64, 8);
    EXPECT_EQ(bytes, c.sectors * 512);

    Rec granule = run(mirvol_get_bmp_blksize, 3, Rec(8));
    EXPECT_EQ(granule.u32_at(4), c.status == STATUS_OK ? c.granule : 8u);
    Rec bits = run(mirvol_get_bitmap_valid_num, 3, Rec(8));
    EXPECT_EQ(bits.status(), (u32)STATUS_OK);
    EXPECT_EQ((s32)bits.u32_at(4), c.bits);
  }

  // More bits than a signed count holds.
  nmp()->bmp_size_in_sec = 1;
  set_capacity(nmp()->own_bdev->bd_disk, 0x80000000ull);
  LogCapture log;
  Rec bits = run(mirvol_get_bitmap_valid_num, 3, Rec(8));
  EXPECT_EQ(bits.status(), (u32)STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.contains(
      "[W] <type: mirvol><event: 203> NMP3 failed to get total_bitmap_in_bits (-1). "
      "(mirvol_get_bitmap_valid_num)"));
}

// The bits of a size must fit before the history flag at sector 10832:
// 44,285,952 bits in the 1 KiB layout, 44,204,032 in the 4 KiB layout.
TEST_F(Param, ASizeWhoseBitsDoNotFitTheBitmapIsRefused) {
  struct Case {
    u32 len;
    u64 kib;
    u32 granule;
    bool fits;
  } cases[] = {
      {512, 44285952 / 2, 1, true},
      {512, 44285952 / 2 + 1, 1, false},
      {4096, 44204032 / 2, 1, true},
      {4096, 44285952 / 2, 1, false},  // fits the 1 KiB layout only
      {512, 44285952ull * 128 / 2, 128, true},
      {512, 44285952ull * 128 / 2 + 1, 128, false},  // one granule more
      {4096, 1ull << 63, 0x7fffffff, false},         // more sectors than 64 bits hold
  };
  u32 len = nmp()->len;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.len) + " " + std::to_string(c.kib));
    ASSERT_EQ(run(mirvol_set_nmp_size, 3, Rec(24).put64(8, 1024).put32(16, 8)).status(),
              (u32)STATUS_OK);
    nmp()->len = c.len;
    LogCapture log;
    Rec out = run(mirvol_set_nmp_size, 3, Rec(24).put64(8, c.kib).put32(16, c.granule));
    nmp()->len = len;
    if (c.fits) {
      EXPECT_EQ(out.status(), (u32)STATUS_OK);
      EXPECT_EQ(my_disk[3], c.kib * 2);
      continue;
    }
    EXPECT_EQ(out.status(), (u32)STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(log.contains("[E] <type: mirvol><event: 182> NMP3 size (" + std::to_string(c.kib) +
                             " KB) is invalid with bmp_size_in_sec (" + std::to_string(c.granule) +
                             "): the bitmap holds " +
                             std::to_string(c.len == 4096 ? 44204032 : 44285952) +
                             " bits. (mirvol_set_nmp_size)"))
        << log.dump();
    EXPECT_EQ(my_disk[3], 2048u) << "a refused size leaves the size as it was";
    EXPECT_EQ(get_capacity(nmp()->own_bdev->bd_disk), 2048u);
    EXPECT_EQ(nmp()->bmp_size_in_sec, 8u) << "and the granule";
  }
}

TEST_F(Param, DriveInfo) {
  struct nmp_info *n = nmp();
  n->nw_port = 0;
  n->io_port = 1;
  n->mount_port = 1;
  n->disk_error_flag = 1;
  Rec out = run(mirvol_get_drive_info, 3, Rec(20));
  EXPECT_EQ(out.status(), (u32)STATUS_OK);
  EXPECT_EQ(out.u32_at(4), 0u);
  EXPECT_EQ(out.u32_at(8), 1u);
  EXPECT_EQ(out.u32_at(12), 1u);
  EXPECT_EQ(out.u32_at(16), 1u);
}

TEST_F(Param, HandlersWithoutADeviceAnswerNoDevice) {
  const Handler handlers[] = {mirvol_set_nmp_param,        mirvol_set_nmp_size,
                              mirvol_get_bmp_blksize,      mirvol_get_bitmap_valid_num,
                              mirvol_get_drive_info,       mirvol_send_queue_size_get,
                              mirvol_send_queue_size_set,  mirvol_set_ratio,
                              mirvol_get_nmp_sync_flag,    mirvol_set_nmp_sync_flag,
                              mirvol_get_nmp_sync_mode_flag};
  for (Handler h : handlers) {
    LogCapture log;
    Rec out = run(h, 1, Rec(80).put32(4, 1).put32(16, 8));
    EXPECT_EQ(out.status(), (u32)STATUS_NO_DEVICE);
    EXPECT_TRUE(log.contains("NMP1 device does not exist. (mirvol_"));
  }
}

// --- networks ---

Rec netstatus_record(u32 mdc_cnt) {
  return Rec(MIRVOL_NETSTATUS_HEAD + MIRVOL_NET_DETAIL_SIZE * mdc_cnt).put32(4, mdc_cnt);
}

TEST_F(Param, NetstatusAnswersEveryNetwork) {
  add_networks();
  UserCall call(mirvol_get_nmp_netstatus, 3, 84, netstatus_record(2));
  EXPECT_EQ(call.result, 0);
  EXPECT_TRUE(call.canary_ok);
  EXPECT_EQ(call.status(), (u32)STATUS_OK);
  EXPECT_EQ(call.u32_at(8), 4u);
  for (int i = 0; i < 2; i++) {
    const u8 *e = call.buf.data() + 12 + 36 * i;
    EXPECT_EQ(e[15], 10 + i);
    EXPECT_EQ(e[31], 20 + i);
    EXPECT_EQ(call.u32_at(12 + 36 * i + 32), i == 0 ? (u32)NW_USING : (u32)NW_FREE)
        << "the first free network is taken into use";
  }
  EXPECT_EQ(nmp()->network_list->state, (u32)NW_USING);
}

TEST_F(Param, NetstatusRecordForOneNetworkOnTwo) {
  add_networks();
  Rec in = netstatus_record(1);
  for (size_t i = 12; i < 48; i++) in.b[i] = 0x5A;
  UserCall call(mirvol_get_nmp_netstatus, 3, 48, in);
  EXPECT_EQ(call.result, 0);
  EXPECT_TRUE(call.canary_ok) << "written past the caller's 48 bytes";
  EXPECT_EQ(call.status(), (u32)STATUS_INVALID_PARAMETER);
  for (struct network *nw = nmp()->network_list; nw; nw = nw->next)
    EXPECT_EQ(nw->state, (u32)NW_FREE) << "no state changed";
}

TEST_F(Param, NetstatusRefusals) {
  {
    LogCapture log;
    UserCall call(mirvol_get_nmp_netstatus, 3, 48, netstatus_record(1));
    EXPECT_EQ(call.status(), (u32)STATUS_NW_NOT_INITIALIZED);
    EXPECT_TRUE(log.contains(
        "[W] <type: mirvol><event: 142> NMP3 N/W is not initialized yet. "
        "(mirvol_get_nmp_netstatus)"));
  }
  {
    UserCall call(mirvol_get_nmp_netstatus, 1, 48, netstatus_record(1));
    EXPECT_EQ(call.status(), (u32)STATUS_NO_DEVICE);
    EXPECT_TRUE(call.canary_ok);
  }
  add_networks();
  {
    LogCapture log;
    alloc_fault_inject(0, 1, get_current());
    UserCall call(mirvol_get_nmp_netstatus, 3, 84, netstatus_record(2));
    alloc_fault_clear();
    EXPECT_EQ(call.status(), (u32)STATUS_NO_MEMORY);
    EXPECT_TRUE(log.contains(
        "[E] <type: mirvol><event: 145> NMP3 failed to allocate PG_NMP_NETSTATUS and "
        "PG_NETCARD_DETAIL."));
  }
  // A record too short for its own count is a fault, and nothing is written past it.
  UserCall shorter(mirvol_get_nmp_netstatus, 3, 60, netstatus_record(2));
  EXPECT_EQ(shorter.result, -EFAULT);
  EXPECT_TRUE(shorter.canary_ok);
}

Rec mdc_record(u32 ip_version, u32 mdc_cnt, const std::vector<u32> &states) {
  Rec r(MIRVOL_NETSTATUS_HEAD + MIRVOL_NET_DETAIL_SIZE * mdc_cnt);
  r.put32(4, mdc_cnt).put32(8, ip_version);
  for (u32 i = 0; i < mdc_cnt; i++) {
    r.b[12 + 36 * i + 15] = (u8)(110 + i);
    r.b[12 + 36 * i + 31] = (u8)(120 + i);
    r.put32(12 + 36 * i + 32, states[i]);
  }
  return r;
}

TEST_F(Param, MdcUpdateReplacesAddressesAndStates) {
  add_networks();
  for (struct network *nw = nmp()->network_list; nw; nw = nw->next) {
    nw->recv_latch = nw->report_latch = nw->send_latch = 0;
    nw->last_echo_time = 99;
    nw->last_result = 3;
  }
  struct Case {
    std::vector<u32> in, states;
  } cases[] = {
      {{NW_FREE, NW_USING}, {NW_FREE, NW_USING}},
      {{NW_USING, NW_USING}, {NW_USING, NW_FREE}},  // one network in use at most
      {{7, NW_ERROR}, {NW_ERROR, NW_ERROR}},
  };
  for (const Case &c : cases) {
    UserCall call(mirvol_nmp_mdc_update, 3, 84, mdc_record(4, 2, c.in));
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.status(), (u32)STATUS_OK);
    EXPECT_TRUE(call.canary_ok);
    int i = 0;
    for (struct network *nw = nmp()->network_list; nw; nw = nw->next, i++) {
      EXPECT_EQ(nw->self_addr[15], 110 + i);
      EXPECT_EQ(nw->opponent_addr[15], 120 + i);
      EXPECT_EQ(nw->state, c.states[i]);
      EXPECT_EQ(nw->recv_latch + nw->report_latch + nw->send_latch, 3u);
      EXPECT_EQ(nw->last_echo_time, 0u);
      EXPECT_EQ(nw->last_result, 0u);
    }
  }
}

TEST_F(Param, MdcUpdateRefusesAnotherShape) {
  add_networks();
  struct Case {
    u32 ip_version, mdc_cnt;
  } cases[] = {{6, 2}, {4, 1}, {4, 3}};
  for (const Case &c : cases) {
    LogCapture log;
    UserCall call(mirvol_nmp_mdc_update, 3, 48, mdc_record(c.ip_version, 1, {NW_USING}).put32(4, c.mdc_cnt));
    EXPECT_EQ(call.result, 0);
    EXPECT_TRUE(call.canary_ok);
    EXPECT_EQ(call.status(), (u32)STATUS_INVALID_PARAMETER);
    char text[128];
    snprintf(text, sizeof(text),
             "[E] <type: mirvol><event: 182> NMP3 ip_version (%u) or mdc_cnt (%u) is invalid. "
             "(mirvol_nmp_mdc_update)",
             c.ip_version, c.mdc_cnt);
    EXPECT_TRUE(log.contains(text)) << text;
    EXPECT_EQ(nmp()->network_list->self_addr[15], 10) << "nothing changed";
  }
}

}  // namespace

namespace {

class Holders : public testutil::DeviceTest {};

TEST_F(Holders, CountsOpensAndLogsTheHolderFigure) {
  struct block_device *b = nmp()->own_bdev;
  bdev_opened(b, FMODE_READ);
  for (int i = 0; i < 3; i++) bdev_opened(b, FMODE_READ | FMODE_EXCL);
  std::vector<u8> rec(48 + 16, 0xA5);
  std::fill(rec.begin(), rec.begin() + 48, 0);
  u32 flag = 1;
  memcpy(&rec[12], &flag, 4);
  memcpy(&rec[16], "after umount", 13);
  struct user_context ctx = {rec.data(), 48, 0x10000, nullptr, nullptr, 0};
  set_user_context(&ctx);
  testutil::LogCapture log;
  int r = mirvol_ioctl(b, FMODE_READ, 83, 0x10000);
  set_user_context(nullptr);
  EXPECT_EQ(r, 0);
  u32 status, openers, holders;
  memcpy(&status, &rec[0], 4);
  memcpy(&openers, &rec[4], 4);
  memcpy(&holders, &rec[8], 4);
  EXPECT_EQ(status, (u32)STATUS_OK);
  EXPECT_EQ(openers, 4u);
  EXPECT_EQ(holders, 3u);
  EXPECT_TRUE(log.contains("[I] <type: mirvol><event: 148> NMP3 holder 1.5(after umount)"));
  EXPECT_EQ(rec[48], 0xA5) << "nothing past the record";
  for (int i = 0; i < 3; i++) bdev_closed(b, FMODE_READ | FMODE_EXCL);
  bdev_closed(b, FMODE_READ);
}

}  // namespace
