// The Cluster Partition's time records and disk-error flag on real images in
// both layouts: where each record lands, reading them back, commands 12 and
// 13, and the completion bits request-bound time writes give.

#include "include/mirvol_bitmap.h"
#include "include/mirvol_main.h"
#include "module_fixture.h"

namespace {

using testutil::eventually;
using testutil::FakeDevice;
using testutil::ImageFile;
using testutil::KThread;
using testutil::LogCapture;
using testutil::ModuleLoad;
using testutil::TestBio;

constexpr size_t kCpBytes = 6 << 20;
constexpr char kCanary = (char)0x5A;

// Where a record lives: its block's first sector and length, and the
// value's byte within it. An independent model of both layouts.
struct Record {
  u64 sector;
  u32 bytes;
};
Record disk_error(u32 len) { return {8, len}; }
Record disconnect(u32 len) { return {16, len}; }
Record last_update(u32 len) { return {len == 4096 ? 24u : 17u, len}; }
Record mirror_break(u32 len) { return {len == 4096 ? 32u : 18u, len}; }

class CpRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    mirvol_printk_init();
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    clock_set_wall_seconds(kNow);
  }
  void TearDown() override {
    clock_set_wall_seconds(0);
    dev_.reset();
    load_.reset();
    cp_.reset();
  }
  struct nmp_info *attach(u32 len) {
    dev_ = std::make_unique<FakeDevice>(3, 1 << 20);
    cp_ = std::make_unique<ImageFile>(kCpBytes);
    cp_->write(0, std::vector<char>(kCpBytes, kCanary));
    struct block_device *b =
        blkdev_get_by_path(cp_->path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    EXPECT_FALSE(IS_ERR(b));
    if (len == 4096) blk_queue_logical_block_size(bdev_get_queue(b), 4096);
    nmp()->cp_bdev = b;  // unload puts it
    nmp()->len = len;
    nmp()->lastupdate_delay = 5;
    return nmp();
  }
  struct nmp_info *nmp() {
    return dev_->nmp();
  }
  u64 u64_at(u64 sector) {
    std::vector<char> v = cp_->read((off_t)(sector * 512), 8);
    u64 x;
    memcpy(&x, v.data(), 8);
    return x;
  }
  // The record's block holds `value` at `at` (`n` bytes) and zeros elsewhere.
  void expect_record(Record r, u64 value, unsigned at = 0, unsigned n = 8) {
    std::vector<char> blk = cp_->read((off_t)(r.sector * 512), r.bytes);
    std::vector<char> want(r.bytes, 0);
    memcpy(want.data() + at, &value, n);
    EXPECT_EQ(blk, want) << "record at sector " << r.sector;
  }
  static constexpr s64 kNow = 0x123456789;
  std::unique_ptr<ModuleLoad> load_;
  std::unique_ptr<FakeDevice> dev_;
  std::unique_ptr<ImageFile> cp_;
};

TEST_F(CpRecordTest, RecordsLandInTheirBlocksInBothLayoutsAndReadBack) {
  for (u32 len : {512u, 4096u}) {
    SCOPED_TRACE("len " + std::to_string(len));
    TearDown();
    SetUp();
    attach(len);
    mirvol_write_cptime(nmp(), nullptr, 8);
    mirvol_write_lastupdatetime(nmp());
    mirvol_write_cptime(nmp(), nullptr, 16);
    mirvol_write_diskerror(nmp());
    expect_record(disconnect(len), (u64)kNow);
    expect_record(last_update(len), (u64)kNow);
    expect_record(mirror_break(len), (u64)kNow);
    expect_record(disk_error(len), 1, 20, 1);
    EXPECT_EQ(nmp()->disk_error_flag, 1u) << "memory follows the flag written to the disk";
    EXPECT_EQ(nmp()->sync_switch_flags & 8, 8u);
    // Every other sector up to the bitmap, and the history area, keep the
    // canary.
    std::vector<Record> recs = {disk_error(len), disconnect(len), last_update(len),
                                mirror_break(len)};
    std::vector<char> img = cp_->read(0, kCpBytes);
    for (u64 s = 0; s < kCpBytes / 512; s++) {
      bool in_record = false;
      for (const Record &r : recs) in_record |= s >= r.sector && s < r.sector + r.bytes / 512;
      if (in_record) continue;
      for (int i = 0; i < 512; i++)
        if (img[s * 512 + i] != kCanary) {
          ADD_FAILURE() << "sector " << s << " was written";
          i = 512;
          s = kCpBytes;
        }
    }
    // Reading back at creation: the times, the flag and the in-use word
    // from sector 10832 (the canary).
    nmp()->disconnect_time = nmp()->last_update_time = nmp()->mirror_break_time = 0;
    ASSERT_EQ(mirvol_read_all_cptime(nmp()), 0);
    EXPECT_EQ(nmp()->disconnect_time, (u64)kNow);
    EXPECT_EQ(nmp()->last_update_time, (u64)kNow);
    EXPECT_EQ(nmp()->mirror_break_time, (u64)kNow);
    EXPECT_EQ(nmp()->disk_error_flag, 1u);
    EXPECT_EQ(nmp()->is_hisinfo_used, 0x5A5A5A5Au);
  }
}

TEST_F(CpRecordTest, SetTimesAreNotRewrittenAndLastUpdateWaitsForItsDelay) {
  attach(512);
  mirvol_write_cptime(nmp(), nullptr, 8 | 16);
  clock_set_wall_seconds(kNow + 3);
  LogCapture log;
  mirvol_write_cptime(nmp(), nullptr, 8 | 16);
  EXPECT_FALSE(log.contains("mirror break, writing")) << "a set mirror-break time writes nothing";
  EXPECT_EQ(u64_at(16), (u64)kNow);
  EXPECT_EQ(u64_at(18), (u64)kNow);
  nmp()->last_update_time = (u64)kNow;
  mirvol_write_cptime(nmp(), nullptr, 4);  // within the delay
  EXPECT_EQ(u64_at(17), 0x5A5A5A5A5A5A5A5Aull);
  clock_set_wall_seconds(kNow + 5);
  mirvol_write_cptime(nmp(), nullptr, 4);
  EXPECT_EQ(u64_at(17), (u64)kNow + 5);
  nmp()->disk_error_flag = 1;
  clock_set_wall_seconds(kNow + 50);
  mirvol_write_cptime(nmp(), nullptr, 4);
  EXPECT_EQ(u64_at(17), (u64)kNow + 5) << "no last-update write while the disk-error flag is set";
}

TEST_F(CpRecordTest, CommandTwelveAnswersTheLowHalvesAndNeverWritesPastItsRecord) {
  attach(512);
  u64 dc = 0x1111111122222222ull, lu = 0x3333333344444444ull, mb = 0x5555555566666666ull;
  auto put = [&](u64 sector, u64 v) {
    std::vector<char> b(8);
    memcpy(b.data(), &v, 8);
    cp_->write((off_t)(sector * 512), b);
  };
  put(16, dc);
  put(17, lu);
  put(18, mb);
  struct Case {
    u64 fail_sector;  // 0: none
    u32 status;
    u32 at8, at12, at16;
  } cases[] = {
      {0, 0x800000, 0x22222222, 0x44444444, 0x66666666},
      {17, 0x800001, 0x22222222, 0x11111111, 0xEEEEEEEE},
      {16, 0x800001, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE},
  };
  for (const Case &c : cases) {
    bdev_fault_clear(nmp()->cp_bdev);
    if (c.fail_sector) {
      struct blk_fault f = {BLK_FAULT_READ, c.fail_sector, 1, 1, 0, 1};
      ASSERT_GE(bdev_fault_add(nmp()->cp_bdev, &f), 0);
    }
    u8 rec[24];
    memset(rec, 0xEE, sizeof(rec));
    mirvol_read_cp_time(3, nmp(), rec);
    u32 v[5];
    memcpy(v, rec, 20);
    EXPECT_EQ(v[0], c.status) << c.fail_sector;
    EXPECT_EQ(v[2], c.at8) << c.fail_sector;
    EXPECT_EQ(v[3], c.at12) << c.fail_sector;
    EXPECT_EQ(v[4], c.at16) << c.fail_sector;
    for (int i = 20; i < 24; i++) EXPECT_EQ(rec[i], 0xEE) << "byte " << i << " written";
  }
  bdev_fault_clear(nmp()->cp_bdev);
}

u32 clear_cmd(struct nmp_info *nmp, u32 flags) {
  u8 rec[20] = {};
  memcpy(rec + 4, &flags, 4);
  mirvol_clear_cp_time(nmp->minor, nmp, rec);
  u32 s;
  memcpy(&s, rec, 4);
  return s;
}

TEST_F(CpRecordTest, CommandThirteenClearsDiskThenMemoryFlagByFlag) {
  attach(4096);
  mirvol_write_cptime(nmp(), nullptr, 8 | 16);
  mirvol_write_lastupdatetime(nmp());
  EXPECT_EQ(clear_cmd(nmp(), 16), 0x800007u);
  EXPECT_EQ(clear_cmd(nmp(), 0), 0x800000u);
  EXPECT_EQ(nmp()->disconnect_time, (u64)kNow);

  struct Case {
    u32 flag;
    Record rec;
    u64 *time;
  } cases[] = {{1, disconnect(4096), &nmp()->disconnect_time},
               {2, last_update(4096), &nmp()->last_update_time},
               {4, mirror_break(4096), &nmp()->mirror_break_time}};
  for (const Case &c : cases) {
    // A failed clear keeps the time set in memory.
    struct blk_fault f = {BLK_FAULT_WRITE, c.rec.sector, 1, 1, 0, 1};
    ASSERT_GE(bdev_fault_add(nmp()->cp_bdev, &f), 0);
    EXPECT_EQ(clear_cmd(nmp(), c.flag), 0x800001u) << c.flag;
    EXPECT_EQ(*c.time, (u64)kNow) << c.flag;
    EXPECT_EQ(clear_cmd(nmp(), c.flag), 0x800000u) << c.flag;
    EXPECT_EQ(*c.time, 0u) << c.flag;
    expect_record(c.rec, 0);
  }

  // A difference that arose since the recovery was prepared keeps the
  // mirror-break time once.
  mirvol_write_cptime(nmp(), nullptr, 16);
  nmp()->recovery_prep_state = 2;
  LogCapture log;
  EXPECT_EQ(clear_cmd(nmp(), 4), 0x800001u);
  EXPECT_TRUE(log.contains("mirror break has occurred during recovery"));
  EXPECT_EQ(nmp()->recovery_prep_state, 0u);
  EXPECT_EQ(nmp()->mirror_break_time, (u64)kNow);
  EXPECT_EQ(clear_cmd(nmp(), 4), 0x800000u);
  EXPECT_EQ(nmp()->mirror_break_time, 0u);

  // Flag 8 clears a disk-error flag written in this run (the copy read at
  // creation was 0), in memory and on disk, and the error state.
  mirvol_write_diskerror(nmp());
  EXPECT_EQ(nmp()->disk_error_flag, 1u);
  nmp()->cp_error = nmp()->dp_error = nmp()->reset_request = 1;
  EXPECT_EQ(clear_cmd(nmp(), 8), 0x800000u);
  expect_record(disk_error(4096), 0, 20, 1);
  EXPECT_EQ(nmp()->cp_error | nmp()->dp_error | nmp()->reset_request, 0);
  EXPECT_EQ(nmp()->disk_error_flag, 0u);
}

TEST_F(CpRecordTest, ADifferenceArrivingWhileTheMirrorBreakTimeIsClearedIsKept) {
  attach(512);
  mirvol_write_cptime(nmp(), nullptr, 16);
  struct blk_fault slow = {BLK_FAULT_WRITE, 18, 1, 1, 300, 0};
  int id = bdev_fault_add(nmp()->cp_bdev, &slow);
  ASSERT_GE(id, 0);
  KThread clear([this] { return clear_cmd(nmp(), 4) == 0x800000u ? 0 : 1; }, "test_clear");
  ASSERT_TRUE(eventually([&] { return bdev_fault_hits(nmp()->cp_bdev, id) == 1; }, 5000));
  clock_set_wall_seconds(kNow + 10);
  KThread set([this] { return mirvol_write_cptime(nmp(), nullptr, 16); }, "test_set");
  ASSERT_TRUE(clear.wait_done(5000));
  ASSERT_TRUE(set.wait_done(5000));
  EXPECT_EQ(clear.result(), 0);
  EXPECT_EQ(nmp()->mirror_break_time, (u64)kNow + 10);
  EXPECT_EQ(u64_at(18), (u64)kNow + 10) << "the new difference's time is on disk";
}

TEST_F(CpRecordTest, EachTimeWriteOfARequestGivesExactlyItsOwnBit) {
  attach(512);
  TestBio upper(3, REQ_OP_WRITE, 0, 4096);
  struct io_request *req = mirvol_allocate_request();
  ASSERT_NE(req, nullptr);
  req->nmp = nmp();
  req->upper_bio = upper.bio();
  // Held back from finishing by the missing remote bit.
  mirvol_end_req(req, REQ_LOCAL_DONE);
  // The last-update write is slow; the mirror-break write completes first
  // and must give bit 16, not bit 4.
  struct blk_fault slow = {BLK_FAULT_WRITE, 17, 1, 1, 400, 0};
  ASSERT_GE(bdev_fault_add(nmp()->cp_bdev, &slow), 0);
  mirvol_write_cptime(nmp(), req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  // A second call for the request while its write is in flight writes
  // nothing new and must not settle bit 4 early either.
  mirvol_write_cptime(nmp(), req, REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE);
  auto completion = [&] {
    unsigned long flags;
    spin_lock_irqsave(&req->sys_var->lock, flags);
    u64 c = req->completion;
    spin_unlock_irqrestore(&req->sys_var->lock, flags);
    return c;
  };
  const u64 both = REQ_LOCAL_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE;
  ASSERT_TRUE(eventually(
      [&] {
        u64 c = completion();
        // Bit 4 only once its own record is on disk.
        if (c & REQ_LASTUPDATE_DONE) {
          EXPECT_EQ(u64_at(17), (u64)kNow) << "bit 4 came before its write";
        }
        return c == both;
      },
      5000));
  EXPECT_EQ(u64_at(18), (u64)kNow);
  EXPECT_EQ(req->time_write_flags, 0u);
  mirvol_end_req(req, REQ_REMOTE_DONE);  // finishes and frees it
  ASSERT_TRUE(upper.wait(5000));
  EXPECT_EQ(upper.status(), 0);
  EXPECT_EQ(u64_at(17), (u64)kNow);
}

}  // namespace

namespace {

// The commands through the mirror disk's ioctl, as the host's control
// worker issues them: the device's commands answer, a minor without a
// device answers "no device".
TEST_F(CpRecordTest, TheCommandsAnswerThroughTheIoctl) {
  attach(512);
  mirvol_write_cptime(nmp(), nullptr, 8);
  struct Case {
    u32 minor;
    unsigned int cmd;
    size_t size;
    u32 value, status;
  } cases[] = {
      {3, 12, 20, 0, 0x800000}, {3, 13, 20, 1, 0x800000}, {3, 13, 20, 16, 0x800007},
      {3, 3, 8, 0, 0x800000},   {3, 68, 8, 1, 0x800000},  {1, 12, 20, 0, 0x800003},
      {1, 13, 20, 1, 0x800003}, {1, 3, 8, 0, 0x800003},   {1, 68, 8, 0, 0x800003},
  };
  const unsigned long uaddr = 0x10000;
  for (const Case &c : cases) {
    std::vector<u8> buf(c.size, 0);
    memcpy(buf.data() + 4, &c.value, 4);
    struct user_context ctx = {buf.data(), (unsigned long)buf.size(), uaddr, nullptr, nullptr, 0};
    set_user_context(&ctx);
    struct block_device *b = bdget(MKDEV((u32)g_mirvol_major, c.minor));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(mirvol_ioctl(b, FMODE_READ | FMODE_WRITE, c.cmd, uaddr), 0);
    bdput(b);
    set_user_context(nullptr);
    u32 status;
    memcpy(&status, buf.data(), 4);
    EXPECT_EQ(status, c.status) << "command " << c.cmd << " on minor " << c.minor;
    if (c.cmd == 12 && c.minor == 3) {
      u32 dc;
      memcpy(&dc, buf.data() + 8, 4);
      EXPECT_EQ(dc, (u32)kNow);
    }
  }
  EXPECT_EQ(nmp()->disconnect_time, 0u) << "command 13 with flag 1 cleared it";
}

}  // namespace
