// The control command dispatcher: every number routes to its handler or to
// the standard block ioctls, records are copied whole or refused, nothing is
// written past a record, and a missing device answers in the status word.

#include <algorithm>
#include <map>
#include <set>

#include "module_fixture.h"

using testutil::FakeDevice;
using testutil::LogCapture;
using testutil::ModuleLoad;

namespace {

constexpr unsigned long kUaddr = 0x10000;
constexpr u8 kCanary = 0xA5;

// Runs one control call on a caller buffer of `size` bytes followed by a
// canary region, as the host's control worker does.
struct Call {
  std::vector<u8> buf;
  int result;
  Call(u32 minor, unsigned int cmd, size_t size, const std::vector<u8> &in = {}) {
    buf.assign(size + 64, kCanary);
    std::fill(buf.begin(), buf.begin() + (long)size, 0);
    std::copy(in.begin(), in.end(), buf.begin());
    result = testutil::control_call(minor, cmd, buf.data(), size, kUaddr);
    canary_ok = std::all_of(buf.begin() + (long)size, buf.end(), [](u8 v) { return v == kCanary; });
  }
  bool canary_ok;
  u32 status() const { return testutil::rec_at<u32>(buf, 0); }
  s32 s32_at(size_t off) const { return testutil::rec_at<s32>(buf, off); }
  u64 u64_at(size_t off) const { return testutil::rec_at<u64>(buf, off); }
};

// Record sizes of the commands that have a handler (in, out).
const std::map<unsigned int, std::pair<size_t, size_t>> kRecords = {
    {3, {8, 8}},     {5, {20, 20}},   {6, {20, 20}},   {7, {20, 20}},   {8, {80, 80}},
    {9, {48, 48}},   {10, {12, 12}},  {12, {20, 20}},  {13, {20, 20}},  {14, {8, 8}},
    {15, {8, 8}},    {16, {24, 24}},  {17, {0, 8}},    {21, {16, 16}},  {30, {1036, 1036}},
    {31, {1036, 1036}}, {32, {8, 8}}, {33, {8, 8}},    {40, {20, 20}},  {50, {8, 8}},
    {51, {8, 8}},    {52, {16, 16}},  {53, {4, 4}},    {54, {8, 8}},    {55, {8, 8}},
    {60, {4, 4}},    {61, {8, 8}},    {66, {0, 8}},    {67, {8, 8}},    {68, {8, 8}},
    {70, {0, 8}},    {72, {4, 4}},    {73, {48, 48}},  {74, {4, 4}},    {75, {12, 12}},
    {76, {12, 12}},  {77, {48, 48}},  {78, {24, 24}},  {79, {8, 8}},    {80, {4, 4}},
    {81, {24, 24}},  {82, {280, 280}}, {83, {48, 48}}, {84, {4, 4}},    {85, {4, 4}},
    {86, {4, 4}},    {101, {44, 44}}, {102, {2232, 2232}},
};
// Answered without a device record: driver-wide commands, creation, and the
// holder count, which is the mirror disk's own.
const std::set<unsigned int> kDriverWide = {21, 50, 51, 52, 83, 101, 102};

class Dispatcher : public testutil::DeviceTest {};

TEST_F(Dispatcher, EveryNumberOnADeviceAndOnAMinorWithoutOne) {
  for (unsigned int cmd = 0; cmd <= 110; cmd++) {
    SCOPED_TRACE(cmd);
    auto rec = kRecords.find(cmd);
    if (rec == kRecords.end()) {
      // No handler: a standard block ioctl number or nothing.
      Call on_dev(3, cmd, 16);
      EXPECT_EQ(on_dev.result, -EINVAL);
      EXPECT_TRUE(on_dev.canary_ok);
      mirvol_printk_init();
      LogCapture log;
      Call none(1, cmd, 16);
      EXPECT_EQ(none.result, -EINVAL);
      char text[96];
      snprintf(text, sizeof(text), "NMP1 device does not exist. (mirvol_other_ioctl %#x)", cmd);
      EXPECT_TRUE(log.contains(text)) << text;
      continue;
    }
    size_t size = rec->second.second;
    // The bitmap read refuses a zero KBnumber before it looks the device up.
    std::vector<u8> in;
    if (cmd == 30 || cmd == 31) in = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    // The device here is a bare record with no queues of its own: command
    // 74 must not start real threads on it, so their creation fails.
    if (cmd == 74) kthread_fault_inject(0, -1);
    Call on_dev(3, cmd, size, in);
    if (cmd == 74) kthread_fault_inject(0, 0);
    EXPECT_EQ(on_dev.result, 0);
    EXPECT_TRUE(on_dev.canary_ok) << "written past the record";
    // Command 31 hands the record back as it came, status word included.
    if (cmd != 31) {
      EXPECT_NE(on_dev.status(), 0u) << "a status word is always answered";
    }
    if (!kDriverWide.count(cmd)) {
      mirvol_printk_init();  // several commands share a handler and its message
      LogCapture log;
      Call none(1, cmd, size, in);
      EXPECT_EQ(none.result, 0);
      EXPECT_TRUE(none.canary_ok);
      EXPECT_EQ(none.status(), (u32)STATUS_NO_DEVICE);
      EXPECT_TRUE(log.contains("NMP1 device does not exist. ("));
    }
  }
}

// A value the command refuses is answered as refused whether or not the
// minor has a device: the value is checked before the lookup.
TEST_F(Dispatcher, ABadValueIsRefusedBeforeTheDeviceIsLookedUp) {
  struct BadValue {
    unsigned int cmd;
    size_t size;
    u32 value;
    u32 status;
    const char *message;
  };
  const BadValue cases[] = {
      {3, 8, 2, STATUS_INVALID_INIT_VALUE, "NMP1 init_value (2) is invalid. (mirvol_bitmap_clear)"},
      {13, 20, 16, STATUS_INVALID_PARAMETER, "flag (0x10) is invalid. (mirvol_clear_cp_time)"},
      {67, 8, 0x80000000u, STATUS_INVALID_PARAMETER,
       "NMP1 sync switch flag (0x80000000) is invalid. (mirvol_set_nmp_sync_flag)"},
      {68, 8, 2, STATUS_INVALID_PARAMETER, "NMP1 init_value (2) is invalid. (mirvol_set_bitmap)"},
      {30, 1036, 3, STATUS_INVALID_PARAMETER,
       "NMP1 startKB (3) or KBnumber (0) is invalid. (mirvol_bitmap_operate)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cmd);
    std::vector<u8> in(8, 0);
    memcpy(in.data() + 4, &c.value, 4);
    mirvol_printk_init();
    LogCapture log;
    Call none(1, c.cmd, c.size, in);
    EXPECT_EQ(none.result, 0);
    EXPECT_TRUE(none.canary_ok);
    EXPECT_EQ(none.status(), c.status);
    EXPECT_TRUE(log.contains(c.message)) << log.dump();
    EXPECT_FALSE(log.contains("device does not exist")) << log.dump();
    // On a device the answer is the same.
    std::string on_dev_message(c.message);
    if (on_dev_message.rfind("NMP1", 0) == 0) on_dev_message.replace(0, 4, "NMP3");
    mirvol_printk_init();
    LogCapture dev_log;
    Call on_dev(3, c.cmd, c.size, in);
    EXPECT_EQ(on_dev.status(), c.status);
    EXPECT_TRUE(dev_log.contains(on_dev_message)) << dev_log.dump();
  }
}

TEST_F(Dispatcher, AShortRecordIsRefusedWithoutRunningTheHandler) {
  nmp_info *nmp = dev_->nmp();
  nmp->compress_flags = 0;
  std::vector<u8> in(8, 0);  // the caller's record is 4 bytes short
  s32 flags = 3;
  memcpy(in.data() + 4, &flags, 4);
  Call shorter(3, 75, 8, in);
  EXPECT_EQ(shorter.result, -EFAULT);
  EXPECT_EQ(nmp->compress_flags, 0u) << "acted on a record it could not read";
  EXPECT_TRUE(shorter.canary_ok);
  // An answer that cannot be copied back whole is a fault too.
  Call answer(3, 17, 4);
  EXPECT_EQ(answer.result, -EFAULT);
}

TEST_F(Dispatcher, CompressionFlagsAreSetAndRead) {
  nmp_info *nmp = dev_->nmp();
  auto set = [](s32 flags, s32 value) {
    std::vector<u8> in(12, 0);
    memcpy(in.data() + 4, &flags, 4);
    memcpy(in.data() + 8, &value, 4);
    return Call(3, 75, 12, in);
  };
  LogCapture log;
  Call a = set(2, 5);
  EXPECT_EQ(a.status(), (u32)STATUS_OK);
  EXPECT_EQ(nmp->compress_flags, 2u);
  EXPECT_EQ(nmp->compress_value2, 5u);
  EXPECT_TRUE(log.contains(
      "[I] <type: mirvol><event: 280> NMP3 requested to change compress flag. (Sync data : OFF) "
      "(Recovery data : ON)"));
  Call keep = set(-1, -1);
  EXPECT_EQ(keep.status(), (u32)STATUS_OK);
  EXPECT_EQ(nmp->compress_flags, 2u) << "-1 leaves the flags";
  EXPECT_EQ(nmp->compress_value2, 5u) << "-1 leaves the value";
  set(3, -1);
  Call get(3, 76, 12);
  EXPECT_EQ(get.status(), (u32)STATUS_OK);
  EXPECT_EQ(get.s32_at(4), 3);
  EXPECT_EQ(get.s32_at(8), 5);
  EXPECT_TRUE(log.contains("(Sync data : ON) (Recovery data : ON)"));
}

TEST_F(Dispatcher, StandardBlockIoctls) {
  set_capacity(dev_->nmp()->own_bdev->bd_disk, 2048);
  Call size64(3, BLKGETSIZE64, 8);
  EXPECT_EQ(size64.result, 0);
  EXPECT_EQ(size64.u64_at(0), 2048u * 512);
  Call size(3, BLKGETSIZE, 8);
  EXPECT_EQ(size.u64_at(0), 2048u);
  // Block sizes are ints: exactly 4 bytes are written.
  Call ssz(3, BLKSSZGET, 4);
  EXPECT_EQ(ssz.result, 0);
  EXPECT_EQ(ssz.s32_at(0), 512);
  EXPECT_TRUE(ssz.canary_ok);
  Call pbsz(3, BLKPBSZGET, 4);
  EXPECT_EQ(pbsz.s32_at(0), 512);
  EXPECT_TRUE(pbsz.canary_ok);
  for (unsigned int cmd : {BLKROSET, BLKROGET, BLKFLSBUF}) {
    Call c(3, cmd, 8);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.u64_at(0), 0u) << "nothing is written";
  }
  EXPECT_EQ(Call(3, 103, 8).result, -EINVAL);
  EXPECT_EQ(Call(3, BLKBSZGET, 8).result, -EINVAL);
}

TEST_F(Dispatcher, NoBlockDeviceIsRefused) {
  LogCapture log;
  EXPECT_EQ(mirvol_ioctl(nullptr, 0, 75, kUaddr), -EINVAL);
  EXPECT_TRUE(log.contains("[W] <type: mirvol><event: 170> ioctl() got block_device with NULL, exit."));
}

}  // namespace
