// The disk-error thread "mirvol_common_3" and its actions: what a raised
// Cluster Partition or data-partition error flag leads to under each
// setting of command 21, on a device with a real Cluster Partition image.
//
// A second device (NMP1, no Cluster Partition) serves as a sentinel: once
// the thread has acted on an error raised on it, the thread has walked the
// whole list after everything raised before, so "nothing more happened on
// NMP3" can be checked without waiting for a time.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"
#include "writer_fixture.h"

namespace {

using testutil::eventually;
using testutil::LogCapture;
using writertest::Call;

constexpr s64 kNow = 0x65000000;
constexpr int kWaitMs = 30000;

class DiskError : public writertest::WriterTest {
 protected:
  void SetUp() override {
    clock_set_wall_seconds(kNow);
    WriterTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(start());
  }
  void TearDown() override {
    WriterTest::TearDown();
    clock_set_wall_seconds(0);
  }
  void start() {
    sentinel_ = testsupport_make_device(1, sentinel_dp_.path().c_str(), 0);
    ASSERT_NE(sentinel_, nullptr);
    ASSERT_EQ(writertest::network_init(100, 8), 0x800000u);
    ASSERT_TRUE(eventually([] { return __atomic_load_n(&g_disk_error_thread.running,
                                                       __ATOMIC_ACQUIRE) != 0; }));
  }
  // A fresh module over Cluster Partition records that are all clear.
  void restart() {
    WriterTest::TearDown();
    cp_.write(0, std::vector<char>(64 * 512, 0));
    clock_set_wall_seconds(kNow);
    load();
    ASSERT_NO_FATAL_FAILURE(start());
  }
  void set_actions(int cp, int dp) {
    __atomic_store_n(&g_disk_error_action[2], cp, __ATOMIC_RELAXED);
    __atomic_store_n(&g_disk_error_action[3], dp, __ATOMIC_RELAXED);
  }
  // Raises the flags as the failing completions do.
  static void raise(struct nmp_info *n, bool cp, bool dp) {
    unsigned long flags;
    spin_lock_irqsave(&n->nmp_variable->nmp_lock, flags);
    if (cp) n->cp_error = 1;
    if (dp) n->dp_error = 1;
    spin_unlock_irqrestore(&n->nmp_variable->nmp_lock, flags);
    wake_up(&g_disk_error_wq);
  }
  struct State {
    s32 handling, cp_error, dp_error, reset;
    u32 disk_error_flag;
  };
  static State state(struct nmp_info *n) {
    unsigned long flags;
    spin_lock_irqsave(&n->nmp_variable->nmp_lock, flags);
    State s = {n->disk_error_handling, n->cp_error, n->dp_error, n->reset_request,
               n->disk_error_flag};
    spin_unlock_irqrestore(&n->nmp_variable->nmp_lock, flags);
    return s;
  }
  // Waits until the thread has walked the list after this call: it acts on
  // a data-partition error raised on the sentinel, which is then cleared.
  // A panic setting is lifted for the sentinel; it only runs once the
  // actions on NMP3 under test are over.
  void sync_with_thread() {
    int dp = __atomic_load_n(&g_disk_error_action[3], __ATOMIC_RELAXED);
    if (dp == 1) __atomic_store_n(&g_disk_error_action[3], 0, __ATOMIC_RELAXED);
    raise(sentinel_, false, true);
    // The action is over once the sentinel shows its outcome: a reset
    // request, or the flag cleared by a mirror break. (Its log line may be
    // held back as a repeat.)
    ASSERT_TRUE(eventually([&] {
      State s = state(sentinel_);
      return s.reset == 1 || (s.handling == 0 && s.dp_error == 0);
    }, kWaitMs));
    ASSERT_EQ(mirvol_clear_cp_time_main(sentinel_, 8), 0);
    __atomic_store_n(&g_disk_error_action[3], dp, __ATOMIC_RELAXED);
  }
  u8 disk_error_byte() const { return (u8)cp_.read(8 * 512 + 20, 1)[0]; }
  u64 record(u64 sector) const {
    std::vector<char> v = cp_.read((off_t)(sector * 512), 8);
    u64 x;
    memcpy(&x, v.data(), 8);
    return x;
  }
  static int count(const LogCapture &log, const std::string &needle) {
    int n = 0;
    for (const std::string &t : log.texts()) n += t.find(needle) != std::string::npos;
    return n;
  }
  static u32 clear_disk_error_state() {
    std::vector<u8> rec(20, 0);
    rec[4] = 8;
    return Call(3, 13, rec).status();
  }

  testutil::ImageFile sentinel_dp_{1 << 20};
  struct nmp_info *sentinel_ = nullptr;
};

constexpr const char *kReset = "NMP3 disk I/O error. System reset.";
constexpr const char *kMirrorBreak = "NMP3 disk I/O error. Mirrorbreak.";
constexpr const char *kCpInvalid =
    "NMP3 disk I/O error. CP action is invalid parameter. Execute default action(Reset).";
constexpr const char *kDpInvalid =
    "NMP3 disk I/O error. DP action is invalid parameter. Execute default action(Reset).";

TEST_F(DiskError, EachErrorAndActionLeadsToItsOutcome) {
  const struct Case {
    const char *name;
    bool cp, dp;
    int cp_action, dp_action;
    const char *line;
    bool reset;
    bool flag_on_disk;  // byte 20 of sector 8, and the in-memory copy
    bool mirror_break;  // last-update and mirror-break records written
  } cases[] = {
      {"CP, reset", true, false, 0, 0, kReset, true, true, false},
      {"CP, 2 is no CP action", true, false, 2, 2, kCpInvalid, true, true, false},
      {"CP, negative", true, false, -1, 0, kCpInvalid, true, true, false},
      {"DP, reset", false, true, 0, 0, kReset, true, false, false},
      {"DP, mirror break", false, true, 0, 2, kMirrorBreak, false, false, true},
      {"DP, invalid", false, true, 0, 3, kDpInvalid, true, false, false},
      {"both: the CP action, not the DP mirror break", true, true, 0, 2, kReset, true, true, false},
      {"both: the CP action, not the DP panic", true, true, 0, 1, kReset, true, true, false},
      {"both: CP invalid", true, true, 7, 2, kCpInvalid, true, true, false},
  };
  bool first = true;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (!first) {
      ASSERT_NO_FATAL_FAILURE(restart());
    }
    first = false;
    set_actions(c.cp_action, c.dp_action);
    LogCapture log;
    raise(nmp_, c.cp, c.dp);
    ASSERT_TRUE(log.wait_for(c.line, kWaitMs)) << log.dump();
    if (c.reset) {
      ASSERT_TRUE(eventually([&] { return state(nmp_).reset == 1; }, kWaitMs));
    } else {
      ASSERT_TRUE(eventually([&] { return state(nmp_).handling == 0; }, kWaitMs));
    }
    // Raised again: an acted-on device is not acted on twice, a broken
    // mirror is.
    raise(nmp_, c.cp, c.dp);
    ASSERT_NO_FATAL_FAILURE(sync_with_thread());

    State s = state(nmp_);
    EXPECT_EQ(s.reset, c.reset ? 1 : 0);
    EXPECT_EQ(s.handling, c.reset ? 1 : 0);
    EXPECT_EQ(s.cp_error, c.cp ? 1 : 0);
    EXPECT_EQ(s.dp_error, c.dp && c.reset ? 1 : 0) << "only the mirror break clears it";
    EXPECT_EQ(disk_error_byte(), c.flag_on_disk ? 1 : 0);
    EXPECT_EQ(s.disk_error_flag, c.flag_on_disk ? 1u : 0u);
    EXPECT_EQ(record(17), c.mirror_break ? (u64)kNow : 0u) << "last-update record";
    EXPECT_EQ(record(18), c.mirror_break ? (u64)kNow : 0u) << "mirror-break record";
    EXPECT_EQ(count(log, "NMP3 disk I/O error."), c.mirror_break ? 2 : 1) << log.dump();
    EXPECT_FALSE(log.contains("Kernel panic"));
    for (const klog_line &l : log.lines()) {
      if (strstr(l.text, "NMP3 disk I/O error.")) {
        EXPECT_EQ(l.level, 3);
      }
    }
  }
}

TEST_F(DiskError, AResetHoldsUntilTheErrorStateIsClearedThenANewErrorActsAgain) {
  set_actions(0, 0);
  LogCapture log;
  raise(nmp_, true, false);
  ASSERT_TRUE(eventually([&] { return state(nmp_).reset == 1; }, kWaitMs));
  for (int i = 0; i < 3; i++) {
    raise(nmp_, true, true);
    ASSERT_NO_FATAL_FAILURE(sync_with_thread());
  }
  EXPECT_EQ(count(log, kReset), 1);
  // While the on-disk flag is set no last-update record is written.
  EXPECT_EQ(disk_error_byte(), 1);

  ASSERT_EQ(clear_disk_error_state(), 0x800000u);
  State s = state(nmp_);
  EXPECT_EQ(s.handling | s.cp_error | s.dp_error | s.reset, 0);
  EXPECT_EQ(s.disk_error_flag, 0u);
  EXPECT_EQ(disk_error_byte(), 0) << "the flag written by the action is cleared on disk";

  raise(nmp_, false, true);
  ASSERT_TRUE(eventually([&] { return state(nmp_).reset == 1; }, kWaitMs));
  EXPECT_EQ(count(log, kReset), 2);
  EXPECT_EQ(disk_error_byte(), 0) << "a data-partition error writes no flag";
}

TEST_F(DiskError, AMirrorBreakActsOnEachErrorButWritesTheMirrorBreakRecordOnce) {
  set_actions(0, 2);
  LogCapture log;
  raise(nmp_, false, true);
  ASSERT_TRUE(log.wait_for(kMirrorBreak, kWaitMs));
  ASSERT_TRUE(eventually([&] { return state(nmp_).handling == 0; }, kWaitMs));
  ASSERT_NO_FATAL_FAILURE(sync_with_thread());
  EXPECT_EQ(record(18), (u64)kNow);

  clock_set_wall_seconds(kNow + 10);
  raise(nmp_, false, true);
  ASSERT_TRUE(eventually([&] { return count(log, kMirrorBreak) == 2; }, kWaitMs)) << log.dump();
  ASSERT_TRUE(eventually([&] { return state(nmp_).handling == 0; }, kWaitMs));
  ASSERT_NO_FATAL_FAILURE(sync_with_thread());
  EXPECT_EQ(record(17), (u64)kNow + 10) << "the last-update record is rewritten";
  EXPECT_EQ(record(18), (u64)kNow) << "the mirror-break record stays the first one";
  EXPECT_EQ(count(log, "NMP3 mirror break, writing mirror_break_time"), 1);
  EXPECT_EQ(state(nmp_).reset, 0);
  EXPECT_EQ(state(nmp_).dp_error, 0);
}

TEST_F(DiskError, AClusterPartitionThatCannotBeWrittenStillGetsItsAction) {
  set_actions(0, 0);
  struct blk_fault all = {BLK_FAULT_WRITE, 0, 1 << 20, -1, 0, 1};
  ASSERT_GE(bdev_fault_add(nmp_->cp_bdev, &all), 0);
  LogCapture log;
  // A real failing Cluster Partition write raises the flag.
  mirvol_write_lastupdatetime(nmp_);
  ASSERT_TRUE(log.wait_for(kReset, kWaitMs)) << log.dump();
  ASSERT_TRUE(eventually([&] { return state(nmp_).reset == 1; }, kWaitMs));
  EXPECT_TRUE(log.contains("<event: 160> NMP3 disk I/O error (-5)."));
  EXPECT_TRUE(log.contains(
      "[E] <type: mirvol><event: 161> NMP3 failed to write disk_error_flag to Cluster Partition."));
  EXPECT_EQ(state(nmp_).disk_error_flag, 0u) << "the flag did not reach the disk";
  EXPECT_EQ(disk_error_byte(), 0);
  bdev_fault_clear(nmp_->cp_bdev);
}

// A panic ends the process with the platform's exit code after the
// action's log line; the text is the critical-level "mirvol: kernel panic".
TEST_F(DiskError, APanicActionEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    const char *name;
    bool cp, dp;
    int cp_action, dp_action;
  } cases[] = {
      {"CP", true, false, 1, 0},
      {"DP", false, true, 0, 1},
      {"both, CP panics", true, true, 1, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          klog_set_stderr(true);
          set_actions(c.cp_action, c.dp_action);
          raise(nmp_, c.cp, c.dp);
          // Bounded: a thread that does not panic ends the child with 0.
          eventually([] { return false; }, kWaitMs);
          _exit(0);
        },
        testing::ExitedWithCode(PANIC_EXIT_CODE),
        "NMP3 disk I/O error\\. Kernel panic\\..*Kernel panic - not syncing: mirvol: kernel panic");
  }
}

TEST(MirvolPanic, CutsItsTextAt1023Characters) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string long_text(2000, 'x');
  EXPECT_EXIT(mirvol_panic("%s<end>", long_text.c_str()), testing::ExitedWithCode(PANIC_EXIT_CODE),
              "not syncing: x{1023}\n");
}

}  // namespace
