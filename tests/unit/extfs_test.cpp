// Commands 77 and 78 on ext2/ext3/ext4 images: small file systems built
// here byte by byte (the mapping of used blocks to bits, refusals of
// corrupt superblocks, the estimate), the block cache after the rewrite,
// and a table of images made by mke2fs checked against dumpe2fs.

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <atomic>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_extfs.h"
#include "include/mirvol_main.h"
#include "include/mirvol_record.h"
#include "module_fixture.h"

namespace {

using testutil::FakeDevice;
using testutil::ImageFile;
using testutil::LogCapture;
using testutil::ModuleLoad;

constexpr size_t kCpBytes = 6 << 20;
constexpr u64 kBitmapByte = 20 * 512;  // the 1 KiB layout's first bitmap byte
constexpr u64 kRoomBytes = (10832 - 20) * 512;

void put16(std::vector<char> &b, size_t off, u16 v) { memcpy(b.data() + off, &v, 2); }
void put32(std::vector<char> &b, size_t off, u32 v) { memcpy(b.data() + off, &v, 4); }

// A file system image built field by field: groups without superblock
// copies but group 0's, one descriptor block, each group's block bitmap at
// its own first block (group 0: after the descriptor block).
struct TinyFs {
  u32 log_bs = 0;
  u32 blocks = 8192;
  u32 bpg = 8192;
  u32 compat = 0, incompat = 0, ro_compat = 0;
  u16 state = 1, inode_size = 128;
  u32 ipg = 2048;
  u32 free_blocks = 100;
  std::set<u64> used;
  u32 bsize() const { return 1024u << log_bs; }
  u32 fdb() const { return log_bs == 0 ? 1 : 0; }
  u64 groups() const { return (blocks - fdb() + bpg - 1) / bpg; }
  u64 bitmap_block(u64 g) const { return g == 0 ? fdb() + 2 : fdb() + g * bpg; }
  std::vector<char> image(size_t bytes) const {
    std::vector<char> img(bytes, 0);
    size_t B = bsize();
    size_t sb = 1024;
    put32(img, sb + 4, blocks);
    put32(img, sb + 12, free_blocks);
    put32(img, sb + 20, fdb());
    put32(img, sb + 24, log_bs);
    put32(img, sb + 32, bpg);
    put32(img, sb + 40, ipg);
    put16(img, sb + 56, 0xEF53);
    put16(img, sb + 58, state);
    put16(img, sb + 88, inode_size);
    put32(img, sb + 92, compat);
    put32(img, sb + 96, incompat);
    put32(img, sb + 100, ro_compat);
    put16(img, sb + 254, 32);
    size_t desc = (fdb() + 1) * B;
    for (u64 g = 0; g < groups(); g++) put32(img, desc + g * 32, (u32)bitmap_block(g));
    for (u64 b : used) {
      u64 g = (b - fdb()) / bpg, J = (b - fdb()) % bpg;
      img[bitmap_block(g) * B + J / 8] = (char)(img[bitmap_block(g) * B + J / 8] | (1 << (J % 8)));
    }
    return img;
  }
};

// The bits a used-block set must give, worked out by overlap of sector
// ranges: bit i is set when a used block (or a block before the first
// group) shares a sector with granule i.
std::vector<bool> expected_bits(const std::set<u64> &used, u32 bsize, u32 first_data_block,
                                u64 fs_blocks, u32 granule) {
  u64 q = bsize / 512;
  u64 nbits = (fs_blocks * q + granule - 1) / granule;
  std::vector<bool> want(nbits, false);
  std::set<u64> all = used;
  for (u64 b = 0; b < first_data_block; b++) all.insert(b);
  // Only granules near the block can overlap it; the test itself is the
  // plain overlap of the two sector ranges.
  for (u64 b : all) {
    u64 lo = b * q / granule, hi = (b * q + q) / granule + 1;
    for (u64 i = lo ? lo - 1 : 0; i <= hi && i < nbits; i++)
      if (b * q <= i * granule + granule - 1 && b * q + q - 1 >= i * granule) want[i] = true;
  }
  return want;
}

struct Rec77 {
  u8 b[48] = {};
  u32 status() const { return rec_u32(b, 0); }
  u32 bits() const { return rec_u32(b, 40); }
  u64 blocks() const { return rec_u64(b, 24); }
  u64 used() const { return rec_u64(b, 32); }
  std::string type() const { return std::string(reinterpret_cast<const char *>(b + 4), 16); }
};
struct Rec78 {
  u8 b[24] = {};
  u32 status() const { return rec_u32(b, 0); }
  u64 estimate() const { return rec_u64(b, 8); }
  u64 used() const { return rec_u64(b, 16); }
};

class ExtFsTest : public testutil::LoadedModuleTest {
 protected:
  ExtFsTest() : LoadedModuleTest({"nmp_minor=3"}) {}
  void release_devices() override { dev_.reset(); }
  void release_images() override { cp_.reset(); }
  // A device over a data partition of `dp_bytes`, whose Cluster Partition
  // bitmap room is filled with `fill`.
  struct nmp_info *attach(size_t dp_bytes, u32 granule, u8 fill) {
    dev_ = std::make_unique<FakeDevice>(3, dp_bytes);
    cp_ = std::make_unique<ImageFile>(kCpBytes);
    std::vector<char> room(kRoomBytes, (char)fill);
    cp_->write((off_t)kBitmapByte, room);
    struct nmp_info *nmp = dev_->nmp();
    testutil::attach_cp(nmp, *cp_, 512, granule);
    return nmp;
  }
  void write_dp(const std::vector<char> &img) { dev_->image().write(0, img); }
  std::vector<char> room() const { return cp_->read((off_t)kBitmapByte, kRoomBytes); }
  static bool bit(const std::vector<char> &room, u64 i) {
    return (u8)room[i / 8] & (0x80 >> (i % 8));
  }
  Rec77 run77(struct nmp_info *nmp) {
    Rec77 r;
    mirvol_nmp_set_bitmap_from_fs(3, nmp, r.b);
    return r;
  }
  Rec78 run78(struct nmp_info *nmp) {
    Rec78 r;
    mirvol_nmp_get_fs_block_count(3, nmp, r.b);
    return r;
  }
  // Compares the room with the expected bits; the rest of the last block
  // written is 0 and the blocks after it are as filled.
  void expect_room(const std::vector<bool> &want, u8 fill) {
    std::vector<char> r = room();
    u64 mismatches = 0;
    for (u64 i = 0; i < want.size(); i++)
      if (bit(r, i) != want[i] && mismatches++ < 5)
        ADD_FAILURE() << "bit " << i << " is " << bit(r, i) << ", want " << want[i];
    u64 end_block = (want.size() + 8191) / 8192;
    for (u64 i = want.size(); i < end_block * 8192; i++)
      if (bit(r, i) && mismatches++ < 5) ADD_FAILURE() << "bit " << i << " past the fs is set";
    for (u64 i = end_block * 1024; i < end_block * 1024 + 2048 && i < r.size(); i++)
      if ((u8)r[i] != fill && mismatches++ < 5)
        ADD_FAILURE() << "byte " << i << " after the last block was touched";
    EXPECT_EQ(mismatches, 0u);
  }
  static u32 count(const std::vector<bool> &v) {
    u32 n = 0;
    for (bool b : v) n += b;
    return n;
  }
  std::unique_ptr<FakeDevice> dev_;
  std::unique_ptr<ImageFile> cp_;
};

// The spans follow absolute sectors: with 1 KiB blocks (first data block
// 1) the boot block counts, no used block before a free run is given to
// the previous bit, and granules below a block or not a multiple of it
// work.
TEST_F(ExtFsTest, UsedBlocksMapToTheBitsOfTheirSectorsForEveryGranule) {
  struct Case {
    u32 log_bs, blocks, bpg;
    std::set<u64> used;
  } cases[] = {
      {0, 8192 * 2 + 77, 8192, {1, 2, 3, 100, 101, 1023, 1024, 4095, 8192, 8193, 16383, 16460}},
      {0, 8192, 8192, {5, 63, 64, 8191}},
      {2, 32768 + 40, 32768, {0, 1, 2, 7, 8, 1000, 32767, 32768, 32807}},
  };
  for (const Case &c : cases)
    for (u32 granule : {2u, 8u, 16u, 24u, 128u}) {
      SCOPED_TRACE("block size " + std::to_string(1024 << c.log_bs) + " granule " +
                   std::to_string(granule));
      TearDown();
      SetUp();
      TinyFs fs;
      fs.log_bs = c.log_bs;
      fs.blocks = c.blocks;
      fs.bpg = c.bpg;
      fs.used = c.used;
      size_t bytes = (size_t)fs.blocks * fs.bsize();
      struct nmp_info *nmp = attach(bytes, granule, 0xff);
      write_dp(fs.image(bytes));
      Rec77 r = run77(nmp);
      ASSERT_EQ(r.status(), (u32)STATUS_OK);
      std::vector<bool> want = expected_bits(c.used, fs.bsize(), fs.fdb(), fs.blocks, granule);
      expect_room(want, 0xff);
      EXPECT_EQ(r.bits(), count(want));
      EXPECT_EQ(r.blocks(), fs.blocks);
      EXPECT_EQ(r.used(), (u64)(fs.blocks - fs.free_blocks));
      EXPECT_EQ(r.type().substr(0, 5), std::string("EXT2\0", 5));
    }
}

// Every field the reader relies on, out of range: refused with no write,
// no crash.
TEST_F(ExtFsTest, CorruptOrUnsupportedSuperblocksAreRefusedWithoutAWrite) {
  struct Case {
    const char *name;
    void (*mutate)(TinyFs &fs, std::vector<char> &img);
    bool cmd77, cmd78;  // refused by
  } cases[] = {
      {"magic", [](TinyFs &, std::vector<char> &i) { put16(i, 1024 + 56, 0xEF54); }, true, true},
      {"block size 8 KiB", [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 24, 3); }, true,
       true},
      {"block size shift 40", [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 24, 40); },
       true, true},
      {"0 blocks per group", [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 32, 0); }, true,
       true},
      {"blocks per group above 8 x block size",
       [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 32, 8193); }, true, true},
      {"blocks count 0", [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 4, 0); }, true,
       true},
      {"blocks count = first data block",
       [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 4, 1); }, true, true},
      {"block bitmap beyond the fs",
       [](TinyFs &fs, std::vector<char> &i) { put32(i, 2 * 1024, fs.blocks); }, true, false},
      {"block bitmap far beyond the fs",
       [](TinyFs &, std::vector<char> &i) { put32(i, 2 * 1024, 0xffffffffu); }, true, false},
      {"meta_bg", [](TinyFs &, std::vector<char> &i) { put32(i, 1024 + 96, 0x10); }, true, false},
      {"64-bit, 64-byte descriptors",
       [](TinyFs &, std::vector<char> &i) {
         put32(i, 1024 + 92, 0x4);
         put32(i, 1024 + 100, 0x400);
         put32(i, 1024 + 96, 0x80);
         put16(i, 1024 + 254, 64);
       },
       true, true},
      {"journaled, needs recovery",
       [](TinyFs &, std::vector<char> &i) {
         put32(i, 1024 + 92, 0x4);
         put32(i, 1024 + 96, 0x4);
       },
       true, false},
      {"not cleanly unmounted", [](TinyFs &, std::vector<char> &i) { put16(i, 1024 + 58, 0); },
       true, false},
      {"inode size 0", [](TinyFs &, std::vector<char> &i) { put16(i, 1024 + 88, 0); }, false,
       true},
      {"inode size above the block size",
       [](TinyFs &, std::vector<char> &i) { put16(i, 1024 + 88, 2048); }, false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    TinyFs fs;
    fs.used = {1, 2, 3};
    size_t bytes = (size_t)fs.blocks * 1024;
    struct nmp_info *nmp = attach(bytes, 8, 0x5a);
    std::vector<char> img = fs.image(bytes);
    c.mutate(fs, img);
    write_dp(img);
    std::vector<char> before = room();
    LogCapture log;
    Rec77 r77 = run77(nmp);
    EXPECT_EQ(r77.status(), c.cmd77 ? (u32)STATUS_FAILED : (u32)STATUS_OK);
    if (c.cmd77) {
      EXPECT_TRUE(room() == before) << "the bitmap was written";
      EXPECT_EQ(r77.bits(), 0u);
      EXPECT_TRUE(log.contains("is not supported for high speed full copy.")) << log.dump();
    }
    Rec78 r78 = run78(nmp);
    EXPECT_EQ(r78.status(), c.cmd78 ? (u32)STATUS_FAILED : (u32)STATUS_OK);
    if (c.cmd78) {
      EXPECT_EQ(r78.estimate(), 0u);
    }
  }
}

// A file system larger than the mirror, or a mirror of no capacity, is
// refused before anything is written.
TEST_F(ExtFsTest, AFileSystemLargerThanTheMirrorIsRefused) {
  for (u64 capacity : {0ull, 8191ull * 2}) {
    SCOPED_TRACE(capacity);
    TearDown();
    SetUp();
    TinyFs fs;
    fs.used = {1, 2, 3};
    size_t bytes = (size_t)fs.blocks * 1024;
    struct nmp_info *nmp = attach(bytes, 8, 0x5a);
    write_dp(fs.image(bytes));
    set_capacity(nmp->own_bdev->bd_disk, capacity);
    std::vector<char> before = room();
    EXPECT_EQ(run77(nmp).status(), (u32)STATUS_FAILED);
    EXPECT_TRUE(room() == before);
  }
}

TEST_F(ExtFsTest, EstimateAndUsedCountOfCommand78) {
  struct Case {
    const char *name;
    u32 blocks, ro_compat, incompat, free_blocks;
    u64 estimate, used;
  } cases[] = {
      // 3 groups of 8192 1 KiB blocks, 2048 inodes of 128 bytes: 258
      // blocks of bitmaps and inode table a group, the first data block,
      // a superblock copy and a descriptor block in groups 0 and 1.
      {"sparse", 3 * 8192 + 1, 0x1, 0, 1000, 3 * 8192 + 1 - 774 - 5, 3 * 8192 + 1 - 1000},
      {"every group a copy", 3 * 8192 + 1, 0, 0, 1000, 3 * 8192 + 1 - 774 - 7,
       3 * 8192 + 1 - 1000},
      // Meta block groups from group 0: descriptor blocks in groups 0, 1
      // and 31 of each 32 (0, 1, 31, 32, 33); superblock copies in 0, 1, 3,
      // 5, 7, 9, 25 and 27.
      {"meta_bg", 40 * 8192 + 1, 0x1, 0x10, 0, 40 * 8192 + 1 - 40 * 258 - (1 + 8 + 5),
       40 * 8192 + 1},
      // The used count is the 32-bit difference.
      {"free above blocks", 8193, 0x1, 0, 8194, 8193 - 258 - 3, 0xffffffffull},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    TinyFs fs;
    fs.blocks = c.blocks;
    fs.ro_compat = c.ro_compat;
    fs.incompat = c.incompat;
    fs.free_blocks = c.free_blocks;
    size_t bytes = 64 * 1024;
    struct nmp_info *nmp = attach(bytes, 8, 0);
    write_dp(fs.image(bytes));
    Rec78 r = run78(nmp);
    ASSERT_EQ(r.status(), (u32)STATUS_OK);
    EXPECT_EQ(r.estimate(), c.estimate);
    EXPECT_EQ(r.used(), c.used);
  }
}

// A cached copy of a bitmap block from before the rewrite must not come
// back with a later write-back; bits set after the rewrite stay.
TEST_F(ExtFsTest, CachedBlocksAreReloadedAfterTheRewrite) {
  TinyFs fs;
  fs.used = {1, 2, 3, 4000};
  size_t bytes = (size_t)fs.blocks * 1024;
  struct nmp_info *nmp = attach(bytes, 2, 0);
  write_dp(fs.image(bytes));
  // Every bit set through the cache: the block is cached holding ones.
  u8 rec68[8] = {};
  rec_put_u32(rec68, 4, 1);
  mirvol_set_bitmap(3, nmp, rec68);
  ASSERT_EQ(rec_u32(rec68, 0), (u32)STATUS_OK);
  ASSERT_GE(mirvol_write_bitmap_from_secnr(6000, nmp), 0);
  ASSERT_EQ(mirvol_write_bitmap_from_secnr(6002, nmp), 1) << "the block should be cached";
  ASSERT_EQ(run77(nmp).status(), (u32)STATUS_OK);
  // A write after the rewrite dirties the cached block; its write-back
  // must carry the rewritten bits, not the ones from before.
  ASSERT_GE(mirvol_write_bitmap_from_secnr(10000, nmp), 0);
  ASSERT_EQ(flush_bitmap_cache(), 0);
  std::vector<bool> want = expected_bits(fs.used, 1024, 1, fs.blocks, 2);
  want[10000 / 2] = true;
  expect_room(want, 0);  // the device's bits end with the first block
}

// Concurrent calls on one device share no buffer.
TEST_F(ExtFsTest, ConcurrentCallsOnOneDevice) {
  TinyFs fs;
  fs.used = {1, 2, 3, 500, 7000};
  size_t bytes = (size_t)fs.blocks * 1024;
  struct nmp_info *nmp = attach(bytes, 8, 0);
  write_dp(fs.image(bytes));
  std::atomic<int> bad{0};
  {
    std::vector<std::unique_ptr<testutil::KThread>> ts;
    for (int t = 0; t < 4; t++)
      ts.push_back(std::make_unique<testutil::KThread>([&, t] {
      for (int i = 0; i < 5; i++) {
        if (t % 2) {
          Rec77 r;
          mirvol_nmp_set_bitmap_from_fs(3, nmp, r.b);
          if (r.status() != (u32)STATUS_OK) bad++;
        } else {
          Rec78 r;
          mirvol_nmp_get_fs_block_count(3, nmp, r.b);
          if (r.status() != (u32)STATUS_OK) bad++;
        }
      }
      return 0;
    }));
    for (auto &t : ts) EXPECT_TRUE(t->wait_done(60000));
  }
  EXPECT_EQ(bad.load(), 0);
  expect_room(expected_bits(fs.used, 1024, 1, fs.blocks, 8), 0);
}

}  // namespace

// --- images made by mke2fs, checked against dumpe2fs ---

namespace {

bool have_program(const char *name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

std::string run_output(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A directory of files to populate the images with, removed at the end.
class PopulatedDir {
 public:
  PopulatedDir() {
    char tmpl[] = "/tmp/mirvol-extdir-XXXXXX";
    path_ = mkdtemp(tmpl);
    write_file("small.txt", 100, 1);
    write_file("medium.bin", 300 * 1024, 2);
    write_file("large.bin", 3 * 1024 * 1024 + 123, 3);
    mkdir((path_ + "/sub").c_str(), 0755);
    for (int i = 0; i < 20; i++) write_file("sub/f" + std::to_string(i), 5000 * (i + 1), 10 + i);
  }
  ~PopulatedDir() { system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string &path() const { return path_; }

 private:
  void write_file(const std::string &name, size_t bytes, u32 seed) {
    std::ofstream f(path_ + "/" + name, std::ios::binary);
    u32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes; i++) {
      x = x * 1103515245u + 12345u;
      f.put((char)(x >> 16));
    }
  }
  std::string path_;
};

// What dumpe2fs says of an image: its block count, its free count and
// every block no group lists free.
struct DumpedFs {
  u64 blocks = 0, free_blocks = 0, block_size = 0, first_block = 0;
  std::set<u64> used;
  bool ok = false;
};

u64 header_value(const std::string &dump, const std::string &key) {
  size_t p = dump.find("\n" + key);
  if (p == std::string::npos) return ~0ull;
  return std::stoull(dump.substr(p + 1 + key.size()));
}

DumpedFs dump_fs(const std::string &image) {
  DumpedFs d;
  std::string out = run_output("dumpe2fs '" + image + "' 2>/dev/null");
  out = "\n" + out;
  d.blocks = header_value(out, "Block count:");
  d.free_blocks = header_value(out, "Free blocks:");
  d.block_size = header_value(out, "Block size:");
  d.first_block = header_value(out, "First block:");
  if (d.blocks == ~0ull || d.free_blocks == ~0ull) return d;
  std::vector<bool> is_free(d.blocks, false);
  std::istringstream in(out);
  std::string line;
  int lists = 0;
  while (std::getline(in, line)) {
    const std::string key = "  Free blocks: ";
    if (line.compare(0, key.size(), key) != 0) continue;
    lists++;
    std::istringstream r(line.substr(key.size()));
    std::string item;
    while (std::getline(r, item, ',')) {
      if (item.find_first_of("0123456789") == std::string::npos) continue;
      u64 a = std::stoull(item), b = a;
      size_t dash = item.find('-');
      if (dash != std::string::npos) b = std::stoull(item.substr(dash + 1));
      for (u64 x = a; x <= b && x < d.blocks; x++) is_free[x] = true;
    }
  }
  for (u64 b = 0; b < d.blocks; b++)
    if (!is_free[b]) d.used.insert(b);
  d.ok = lists > 0;
  return d;
}

}  // namespace

TEST_F(ExtFsTest, ImagesMadeByMke2fsGiveEveryUsedBlockItsBit) {
  if (!have_program("mke2fs") || !have_program("dumpe2fs"))
    GTEST_SKIP() << "mke2fs or dumpe2fs is not installed (e2fsprogs); the image table is skipped";
  PopulatedDir dir;
  struct Case {
    const char *name;
    const char *options;
    bool accepted;
  } cases[] = {
      {"ext2, 1 KiB blocks", "-t ext2 -b 1024", true},
      {"ext3, 1 KiB blocks", "-t ext3 -b 1024", true},
      {"ext4 without 64bit, 1 KiB blocks", "-t ext4 -b 1024 -O ^64bit", true},
      {"ext4 without 64bit, 4 KiB blocks", "-t ext4 -b 4096 -O ^64bit", true},
      {"ext4 with uninit_bg and no flex_bg",
       "-t ext4 -b 1024 -O ^64bit,^flex_bg,^metadata_csum,uninit_bg", true},
      {"ext4 default (64bit)", "-t ext4 -b 4096", false},
      {"ext4 with meta_bg", "-t ext4 -b 1024 -O ^64bit,^resize_inode,meta_bg", false},
  };
  constexpr size_t kBytes = 64 << 20;
  for (const Case &c : cases)
    for (u8 fill : {(u8)0x00, (u8)0xAA}) {
      SCOPED_TRACE(std::string(c.name) + (fill ? ", 0xAA-filled" : ", zero-filled"));
      TearDown();
      SetUp();
      struct nmp_info *nmp = attach(kBytes, 8, 0x5a);
      const std::string &img = dev_->image().path();
      if (fill) write_dp(std::vector<char>(kBytes, (char)fill));
      std::string cmd = std::string("mke2fs -F -q -E nodiscard ") + c.options + " -d '" +
                        dir.path() + "' '" + img + "' >/dev/null 2>&1";
      ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
      DumpedFs fs = dump_fs(img);
      ASSERT_TRUE(fs.ok) << "dumpe2fs gave no group list";
      if (!c.accepted) {
        std::vector<char> before = room();
        LogCapture log;
        EXPECT_EQ(run77(nmp).status(), (u32)STATUS_FAILED);
        EXPECT_TRUE(room() == before) << "the bitmap was written";
        EXPECT_TRUE(log.contains("is not supported for high speed full copy.")) << log.dump();
        continue;
      }
      for (u32 granule : {2u, 8u, 16u, 24u, 128u}) {
        SCOPED_TRACE("granule " + std::to_string(granule));
        nmp->bmp_size_in_sec = granule;
        Rec77 r = run77(nmp);
        ASSERT_EQ(r.status(), (u32)STATUS_OK);
        EXPECT_EQ(r.blocks(), fs.blocks);
        EXPECT_EQ(r.used(), fs.blocks - fs.free_blocks);
        std::vector<bool> want =
            expected_bits(fs.used, (u32)fs.block_size, (u32)fs.first_block, fs.blocks, granule);
        std::vector<char> got = room();
        u64 missing = 0, extra = 0, set = 0;
        for (u64 i = 0; i < want.size(); i++) {
          bool g = bit(got, i);
          set += g;
          if (want[i] && !g && missing++ < 5) ADD_FAILURE() << "used granule " << i << " has no bit";
          if (!want[i] && g) extra++;
        }
        EXPECT_EQ(missing, 0u);
        EXPECT_EQ(extra, 0u) << "bits set for free granules";
        EXPECT_EQ(r.bits(), set);
      }
      Rec78 r78 = run78(nmp);
      EXPECT_EQ(r78.status(), (u32)STATUS_OK);
      EXPECT_EQ(r78.used(), fs.blocks - fs.free_blocks);
      EXPECT_GT(r78.estimate(), 0u);
      EXPECT_LE(r78.estimate(), fs.blocks);
    }
}
