// The block layer: bios on image files and loop devices, write ordering,
// completion context, fault injection, clones, make-request disks, queue
// limits and allocation failures.

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host_side.h"
#include "platform/kernel.h"

namespace {

constexpr int kWaitMs = 10000;  // limit of every wait for a completion

// What a completion saw; bi_private of the bios below.
struct Done {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  blk_status_t status = 0xff;
  struct task_struct *task = nullptr;
  bool atomic = false;
  int calls = 0;

  bool wait(int ms = kWaitMs) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return done; });
  }
  bool is_done() {
    std::lock_guard<std::mutex> g(mu);
    return done;
  }
};

void record_end_io(struct bio *bio) {
  auto *d = static_cast<Done *>(bio->bi_private);
  std::lock_guard<std::mutex> g(d->mu);
  d->status = bio->bi_status;
  d->task = get_current();
  d->atomic = in_atomic() != 0;
  d->calls++;
  d->done = true;
  d->cv.notify_all();
}

// Set when a test gave up waiting for a bio: from then on its memory is
// left allocated, so that a late completion cannot write into freed memory.
std::atomic<bool> g_abandoned{false};

// Pages owned by a test, freed with it.
struct Pages {
  std::vector<struct page *> p;
  explicit Pages(size_t n) {
    for (size_t i = 0; i < n; i++) p.push_back(alloc_page(GFP_KERNEL | __GFP_ZERO));
  }
  ~Pages() {
    if (g_abandoned) return;
    for (auto *pg : p) __free_page(pg);
  }
  unsigned char *at(size_t i) { return static_cast<unsigned char *>(page_address(p[i])); }
};

struct Seg {
  unsigned int page, offset, len;
};

// A bio on bdev with the given segments, completing into d.
struct bio *make_bio(struct block_device *bdev, unsigned int opf, sector_t sector, Pages &pages,
                     const std::vector<Seg> &segs, Done *d) {
  struct bio *bio = bio_alloc(GFP_KERNEL, (unsigned int)segs.size());
  if (!bio) return nullptr;
  bio_set_dev(bio, bdev);
  bio->bi_opf = opf;
  bio->bi_iter.bi_sector = sector;
  for (const Seg &s : segs) EXPECT_EQ((int)s.len, bio_add_page(bio, pages.p[s.page], s.len, s.offset));
  bio->bi_end_io = record_end_io;
  bio->bi_private = d;
  return bio;
}

// One bio and what its completion saw. A bio still in flight when the Io
// goes away is abandoned with its memory rather than freed under the worker.
struct Io {
  Done *d = new Done;
  struct bio *bio = nullptr;
  bool submitted = false;
  Io(struct block_device *bdev, unsigned int opf, sector_t sector, Pages &pages, const std::vector<Seg> &segs)
      : bio(make_bio(bdev, opf, sector, pages, segs, d)) {}
  ~Io() {
    if (submitted && !d->is_done()) {
      g_abandoned = true;
      return;
    }
    if (bio) bio_put(bio);
    delete d;
  }
  Io(const Io &) = delete;
  Io &operator=(const Io &) = delete;
  void submit() {
    submitted = true;
    submit_bio(bio);
  }
  bool wait() { return d->wait(); }
  bool done() { return d->is_done(); }
  blk_status_t status() { return d->status; }
};

struct BioPut {
  void operator()(struct bio *b) const { bio_put(b); }
};
using BioRef = std::unique_ptr<struct bio, BioPut>;

// Submits and waits; returns the status (0xff when it did not complete).
blk_status_t run_io(struct block_device *bdev, unsigned int opf, sector_t sector, Pages &pages,
                    const std::vector<Seg> &segs) {
  Io io(bdev, opf, sector, pages, segs);
  if (!io.bio) return 0xff;
  io.submit();
  if (!io.wait()) {
    ADD_FAILURE() << "bio did not complete";
    return 0xff;
  }
  return io.status();
}

void fill(unsigned char *p, size_t n, unsigned int seed) {
  for (size_t i = 0; i < n; i++) p[i] = (unsigned char)(seed * 131 + i * 7 + (i >> 9));
}

// A temporary directory with image files, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const char *base = nullptr) {
    std::string tmpl = std::string(base ? base : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp")) +
                       "/mirvol_blk_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    for (auto &f : files_) unlink(f.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  bool ok() const { return !path_.empty(); }
  // Creates an image of `bytes` zero bytes.
  std::string image(const char *name, off_t bytes) {
    std::string p = path_ + "/" + name;
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return "";
    int r = ftruncate(fd, bytes);
    close(fd);
    if (r != 0) return "";
    files_.push_back(p);
    return p;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

struct BdevPut {
  void operator()(struct block_device *b) const { blkdev_put(b, FMODE_READ | FMODE_WRITE); }
};
using BdevRef = std::unique_ptr<struct block_device, BdevPut>;

BdevRef open_bdev(const std::string &path) {
  struct block_device *b = blkdev_get_by_path(path.c_str(), FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR_OR_NULL(b)) {
    ADD_FAILURE() << "cannot open " << path << ": " << PTR_ERR(b);
    return BdevRef();
  }
  return BdevRef(b);
}

std::vector<unsigned char> read_file(const std::string &path, off_t off, size_t n) {
  std::vector<unsigned char> out(n);
  int fd = open(path.c_str(), O_RDONLY);
  ssize_t r = fd >= 0 ? pread(fd, out.data(), n, off) : -1;
  if (fd >= 0) close(fd);
  if (r != (ssize_t)n) out.clear();
  return out;
}

// --- image files ---

struct RoundTripCase {
  const char *name;
  sector_t sector;
  std::vector<Seg> write_segs;
  std::vector<Seg> read_segs;  // the same bytes, split differently
};

// Where an image may live: a disk file system (direct I/O) and tmpfs
// (buffered I/O), when the machine has one.
std::vector<std::string> image_bases() {
  std::vector<std::string> v{getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp"};
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) v.push_back("/dev/shm");
  return v;
}

std::vector<unsigned char> gather(Pages &p, const std::vector<Seg> &segs) {
  std::vector<unsigned char> out;
  for (const Seg &s : segs) out.insert(out.end(), p.at(s.page) + s.offset, p.at(s.page) + s.offset + s.len);
  return out;
}

TEST(PlatformBlkImage, WriteThenReadBackWithSeveralSegments) {
  const RoundTripCase cases[] = {
      {"four full pages",
       8,
       {{0, 0, 4096}, {1, 0, 4096}, {2, 0, 4096}, {3, 0, 4096}},
       {{0, 1024, 3072}, {1, 0, 4096}, {2, 0, 4096}, {3, 0, 4096}, {0, 0, 1024}}},
      {"partial segments at offsets", 3, {{0, 512, 1024}, {1, 3584, 512}, {2, 0, 2560}}, {{0, 0, 4096}}},
      // Memory direct I/O refuses: the I/O falls back to buffered.
      {"segments at unaligned addresses", 40, {{0, 100, 1000}, {1, 0, 3096}}, {{0, 3, 2000}, {1, 1000, 2096}}},
      {"last sectors of the image", 2048 - 16, {{0, 0, 4096}, {1, 0, 4096}}, {{0, 512, 3584}, {1, 0, 4096}, {0, 0, 512}}},
  };
  for (const std::string &base : image_bases()) {
    TempDir dir(base.c_str());
    ASSERT_TRUE(dir.ok()) << base;
    std::string img = dir.image("rt.img", 1 << 20);
    ASSERT_FALSE(img.empty());
    BdevRef bdev = open_bdev(img);
    ASSERT_TRUE(bdev);
    for (const auto &c : cases) {
      SCOPED_TRACE(base + ": " + c.name);
      Pages wp(4);
      unsigned int seed = 1;
      for (const Seg &s : c.write_segs) fill(wp.at(s.page) + s.offset, s.len, seed++);
      std::vector<unsigned char> expect = gather(wp, c.write_segs);
      ASSERT_EQ(BLK_STS_OK, run_io(bdev.get(), REQ_OP_WRITE, c.sector, wp, c.write_segs));

      // On the file, at the bio's sector.
      EXPECT_EQ(expect, read_file(img, (off_t)c.sector * 512, expect.size()));

      // Back through a bio split another way.
      Pages rp(4);
      EXPECT_EQ(BLK_STS_OK, run_io(bdev.get(), REQ_OP_READ, c.sector, rp, c.read_segs));
      EXPECT_EQ(expect, gather(rp, c.read_segs));

      // bi_size decides how much of the segments is used.
      Pages part(1);
      memset(part.at(0), 0xee, PAGE_SIZE);
      Io io(bdev.get(), REQ_OP_READ, c.sector, part, {{0, 0, 4096}});
      io.bio->bi_iter.bi_size = 512;
      io.submit();
      ASSERT_TRUE(io.wait());
      EXPECT_EQ(BLK_STS_OK, io.status());
      EXPECT_EQ(0, memcmp(part.at(0), expect.data(), 512));
      EXPECT_EQ(std::vector<unsigned char>(PAGE_SIZE - 512, 0xee),
                std::vector<unsigned char>(part.at(0) + 512, part.at(0) + PAGE_SIZE));
    }
    // A flush on its own and a write with a preceding flush and FUA.
    Pages fp(1);
    EXPECT_EQ(BLK_STS_OK, run_io(bdev.get(), REQ_OP_FLUSH | REQ_PREFLUSH, 0, fp, {}));
    fill(fp.at(0), PAGE_SIZE, 9);
    EXPECT_EQ(BLK_STS_OK, run_io(bdev.get(), REQ_OP_WRITE | REQ_PREFLUSH | REQ_FUA, 64, fp, {{0, 0, 4096}}));
    EXPECT_EQ(std::vector<unsigned char>(fp.at(0), fp.at(0) + PAGE_SIZE), read_file(img, 64 * 512, PAGE_SIZE));
    EXPECT_EQ(0, blkdev_issue_flush(bdev.get()));
  }
}

TEST(PlatformBlkImage, BadBiosFailWithoutTouchingTheImage) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string img = dir.image("bad.img", 64 * 512);
  BdevRef bdev = open_bdev(img);
  ASSERT_TRUE(bdev);
  Pages p(2);
  fill(p.at(0), PAGE_SIZE, 3);
  struct Case {
    const char *name;
    unsigned int opf;
    sector_t sector;
    std::vector<Seg> segs;
    blk_status_t want;
  };
  const Case cases[] = {
      {"last sector", REQ_OP_WRITE, 63, {{0, 0, 512}}, BLK_STS_OK},
      {"one sector past the end", REQ_OP_WRITE, 63, {{0, 0, 1024}}, BLK_STS_IOERR},
      {"starts past the end", REQ_OP_READ, 64, {{0, 0, 512}}, BLK_STS_IOERR},
      {"not whole sectors", REQ_OP_WRITE, 0, {{0, 0, 100}}, BLK_STS_IOERR},
      {"discard", REQ_OP_DISCARD, 0, {{0, 0, 512}}, BLK_STS_NOTSUPP},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, run_io(bdev.get(), c.opf, c.sector, p, c.segs));
  }
  // Only the good write changed the image.
  std::vector<unsigned char> img_bytes = read_file(img, 0, 64 * 512);
  ASSERT_EQ(64u * 512, img_bytes.size());
  EXPECT_EQ(std::vector<unsigned char>(p.at(0), p.at(0) + 512),
            std::vector<unsigned char>(img_bytes.begin() + 63 * 512, img_bytes.end()));
  EXPECT_EQ(std::vector<unsigned char>(63 * 512, 0),
            std::vector<unsigned char>(img_bytes.begin(), img_bytes.begin() + 63 * 512));

  // A bio whose segments hold fewer bytes than bi_size.
  Io io(bdev.get(), REQ_OP_WRITE, 0, p, {{0, 0, 512}});
  io.bio->bi_iter.bi_size = 1024;
  io.submit();
  ASSERT_TRUE(io.wait());
  EXPECT_EQ(BLK_STS_IOERR, io.status());
}

TEST(PlatformBlkImage, SizesAndSoftBlockSizes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  struct Case {
    off_t bytes;
    unsigned int soft;  // the largest power of two to 4096 dividing the size
  };
  const Case cases[] = {{1 << 20, 4096}, {(1 << 20) + 2048, 2048}, {(1 << 20) + 512, 512}, {(1 << 20) + 700, 512}};
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string img = dir.image(("s" + std::to_string(n++) + ".img").c_str(), c.bytes);
    BdevRef bdev = open_bdev(img);
    ASSERT_TRUE(bdev);
    EXPECT_EQ((sector_t)(c.bytes / 512), bdev_nr_sectors(bdev.get()));
    EXPECT_EQ((sector_t)(c.bytes / 512), get_capacity(bdev->bd_disk));
    EXPECT_EQ(512u, bdev_logical_block_size(bdev.get()));
    EXPECT_EQ(512u, bdev_physical_block_size(bdev.get()));
    EXPECT_EQ(BLK_IMAGE_MAJOR, MAJOR(bdev->bd_dev));
    EXPECT_EQ(c.soft, block_size(bdev.get()));
  }
  std::string img = dir.image("bs.img", 1 << 20);
  BdevRef bdev = open_bdev(img);
  ASSERT_TRUE(bdev);
  const struct {
    unsigned int size;
    int want;
  } sets[] = {{1024, 0}, {4096, 0}, {512, 0}, {3000, -EINVAL}, {256, -EINVAL}, {8192, -EINVAL}, {0, -EINVAL}};
  for (const auto &s : sets) {
    SCOPED_TRACE(s.size);
    unsigned int before = block_size(bdev.get());
    EXPECT_EQ(s.want, set_blocksize(bdev.get(), s.size));
    EXPECT_EQ(s.want == 0 ? s.size : before, block_size(bdev.get()));
  }

  // The same image opened again is the same block device; it is found by
  // its number while open.
  BdevRef again = open_bdev(img);
  EXPECT_EQ(bdev.get(), again.get());
  struct block_device *found = bdget(bdev->bd_dev);
  EXPECT_EQ(bdev.get(), found);
  bdput(found);

  // Only block devices and regular files open.
  struct block_device *d = blkdev_get_by_path(dir.path().c_str(), FMODE_READ, nullptr);
  ASSERT_TRUE(IS_ERR(d));
  EXPECT_EQ(-ENOTBLK, PTR_ERR(d));
  d = blkdev_get_by_path((dir.path() + "/missing").c_str(), FMODE_READ, nullptr);
  ASSERT_TRUE(IS_ERR(d));
  EXPECT_EQ(-ENOENT, PTR_ERR(d));
}

// --- a loop device with 4096-byte sectors (root only) ---

class PlatformBlkLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
    ASSERT_TRUE(dir_.ok());
    img_ = dir_.image("loop.img", 4 << 20);
    ASSERT_FALSE(img_.empty());
    std::string cmd = "losetup -f --show --sector-size 4096 " + img_ + " 2>/dev/null";
    FILE *f = popen(cmd.c_str(), "r");
    char line[256] = {};
    if (f) {
      if (!fgets(line, sizeof(line), f)) line[0] = 0;
      pclose(f);
    }
    loop_ = line;
    while (!loop_.empty() && (loop_.back() == '\n' || loop_.back() == ' ')) loop_.pop_back();
    if (loop_.empty()) GTEST_SKIP() << "losetup --sector-size 4096 failed (no loop device available?)";
  }
  void TearDown() override {
    bdev_.reset();
    if (!loop_.empty()) {
      std::string cmd = "losetup -d " + loop_;
      EXPECT_EQ(0, system(cmd.c_str())) << cmd;
    }
  }
  TempDir dir_;
  std::string img_, loop_;
  BdevRef bdev_;
};

TEST_F(PlatformBlkLoop, SectorSize4096) {
  bdev_ = open_bdev(loop_);
  ASSERT_TRUE(bdev_);
  struct block_device *b = bdev_.get();
  struct stat st;
  ASSERT_EQ(0, stat(loop_.c_str(), &st));
  EXPECT_EQ(MKDEV(major(st.st_rdev), minor(st.st_rdev)), b->bd_dev);
  EXPECT_EQ(4096u, bdev_logical_block_size(b));
  EXPECT_GE(bdev_physical_block_size(b), 4096u);
  EXPECT_EQ((sector_t)((4 << 20) / 512), bdev_nr_sectors(b));
  EXPECT_EQ(4096u, block_size(b));
  EXPECT_EQ(-EINVAL, set_blocksize(b, 512));
  EXPECT_EQ(-EINVAL, set_blocksize(b, 2048));
  EXPECT_EQ(0, set_blocksize(b, 4096));
  EXPECT_GT(queue_max_segments(bdev_get_queue(b)), 0u);
  EXPECT_GT(queue_max_hw_sectors(bdev_get_queue(b)), 0u);

  // I/O in whole 4096-byte blocks works and reaches the image; anything
  // smaller or unaligned fails.
  Pages p(2);
  fill(p.at(0), PAGE_SIZE, 5);
  fill(p.at(1), PAGE_SIZE, 6);
  EXPECT_EQ(BLK_STS_OK, run_io(b, REQ_OP_WRITE, 16, p, {{0, 0, 4096}, {1, 0, 4096}}));
  EXPECT_EQ(BLK_STS_IOERR, run_io(b, REQ_OP_WRITE, 16, p, {{0, 0, 512}}));
  EXPECT_EQ(BLK_STS_IOERR, run_io(b, REQ_OP_READ, 17, p, {{0, 0, 4096}}));
  // Segments that are not whole blocks, though the bio is: still done.
  Pages r(2);
  EXPECT_EQ(BLK_STS_OK, run_io(b, REQ_OP_READ, 16, r, {{0, 2048, 2048}, {1, 0, 4096}, {0, 0, 2048}}));
  EXPECT_EQ(0, memcmp(r.at(0) + 2048, p.at(0), 2048));
  EXPECT_EQ(0, memcmp(r.at(1), p.at(0) + 2048, 2048));
  EXPECT_EQ(0, memcmp(r.at(1) + 2048, p.at(1), 2048));
  EXPECT_EQ(0, memcmp(r.at(0), p.at(1) + 2048, 2048));
  EXPECT_EQ(0, blkdev_issue_flush(b));
  std::vector<unsigned char> want(p.at(0), p.at(0) + PAGE_SIZE);
  want.insert(want.end(), p.at(1), p.at(1) + PAGE_SIZE);
  EXPECT_EQ(want, read_file(img_, 16 * 512, 2 * PAGE_SIZE));

  // Stacking the loop device under a default queue raises its block sizes.
  struct queue_limits top;
  blk_set_default_limits(&top);
  blk_stack_limits(&top, &bdev_get_queue(b)->limits, 0);
  EXPECT_EQ(4096u, top.logical_block_size);
  EXPECT_GE(top.physical_block_size, 4096u);
}

// --- ordering, completion context, fault injection ---

// Whether a backing device with that number is open.
bool is_open(dev_t_k dev) {
  return blk_for_each_bdev([](struct block_device *b, void *arg) { return b->bd_dev == *static_cast<dev_t_k *>(arg) ? 1 : 0; },
                           &dev) == 1;
}

class PlatformBlkIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    img_ = dir_.image("io.img", 1 << 20);
    bdev_ = open_bdev(img_);
    ASSERT_TRUE(bdev_);
  }
  void TearDown() override {
    if (bdev_) {
      bdev_fault_clear(bdev_.get());
      EXPECT_EQ(0, bdev_wait_idle(bdev_.get(), kWaitMs));
    }
  }
  TempDir dir_;
  std::string img_;
  BdevRef bdev_;
};

TEST_F(PlatformBlkIo, OverlappingWritesLandInSubmissionOrder) {
  // The first write is held back on its worker; a later write overlapping
  // it must still reach the image after it.
  struct blk_fault delay = {BLK_FAULT_WRITE, 0, 8, 1, 300, 0};
  ASSERT_GE(bdev_fault_add(bdev_.get(), &delay), 0);
  Pages a(1), b(1);
  memset(a.at(0), 'A', PAGE_SIZE);
  memset(b.at(0), 'B', PAGE_SIZE);
  Io wa(bdev_.get(), REQ_OP_WRITE, 0, a, {{0, 0, 4096}});  // sectors 0-7
  Io wb(bdev_.get(), REQ_OP_WRITE, 4, b, {{0, 0, 4096}});  // sectors 4-11
  wa.submit();
  wb.submit();
  ASSERT_TRUE(wa.wait());
  ASSERT_TRUE(wb.wait());
  EXPECT_EQ(BLK_STS_OK, wa.status());
  EXPECT_EQ(BLK_STS_OK, wb.status());
  std::vector<unsigned char> got = read_file(img_, 0, 12 * 512);
  std::vector<unsigned char> want(12 * 512, 'B');
  std::fill_n(want.begin(), 4 * 512, 'A');
  EXPECT_EQ(want, got);
}

TEST_F(PlatformBlkIo, CompletionRunsOnAWorkerInAtomicContext) {
  struct task_struct *me = get_current();
  Pages p(1);
  struct Case {
    const char *name;
    unsigned int opf;
    sector_t sector;
    blk_status_t want;
  };
  const Case cases[] = {
      {"read", REQ_OP_READ, 0, BLK_STS_OK},
      {"write", REQ_OP_WRITE, 8, BLK_STS_OK},
      {"refused at submission", REQ_OP_READ, 1 << 20, BLK_STS_IOERR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Io io(bdev_.get(), c.opf, c.sector, p, {{0, 0, 4096}});
    io.submit();
    ASSERT_TRUE(io.wait());
    const Done &d = *io.d;
    EXPECT_EQ(c.want, d.status);
    EXPECT_EQ(1, d.calls);
    EXPECT_NE(me, d.task);
    EXPECT_TRUE(d.atomic);
    EXPECT_EQ(0, strncmp(task_comm(d.task), "blk_io_", 7)) << task_comm(d.task);
  }
  EXPECT_FALSE(in_atomic());
}

TEST_F(PlatformBlkIo, AHeldWriteWaitsForItsReleaseAndHoldsBackOverlappingWrites) {
  // A held write stays off the image, and so does a later write over it;
  // a write elsewhere and a read go on. The release lets both land in order.
  struct blk_fault hold = {BLK_FAULT_WRITE, 0, 8, 1, BLK_FAULT_HOLD, 0};
  int id = bdev_fault_add(bdev_.get(), &hold);
  ASSERT_GE(id, 0);
  Pages a(1), b(1), c(1), r(1);
  memset(a.at(0), 'A', PAGE_SIZE);
  memset(b.at(0), 'B', PAGE_SIZE);
  memset(c.at(0), 'C', PAGE_SIZE);
  Io wa(bdev_.get(), REQ_OP_WRITE, 0, a, {{0, 0, 4096}});   // sectors 0-7, held
  Io wb(bdev_.get(), REQ_OP_WRITE, 4, b, {{0, 0, 4096}});   // sectors 4-11, behind it
  Io wc(bdev_.get(), REQ_OP_WRITE, 64, c, {{0, 0, 4096}});  // elsewhere
  wa.submit();
  wb.submit();
  wc.submit();
  ASSERT_TRUE(wc.wait());
  EXPECT_EQ(BLK_STS_OK, run_io(bdev_.get(), REQ_OP_READ, 0, r, {{0, 0, 4096}}));
  EXPECT_EQ(1, bdev_fault_hits(bdev_.get(), id));
  EXPECT_FALSE(wa.done());
  EXPECT_FALSE(wb.done());
  EXPECT_EQ(std::vector<unsigned char>(12 * 512, 0), read_file(img_, 0, 12 * 512));
  bdev_fault_release(bdev_.get());
  ASSERT_TRUE(wa.wait());
  ASSERT_TRUE(wb.wait());
  EXPECT_EQ(BLK_STS_OK, wa.status());
  std::vector<unsigned char> want(12 * 512, 'B');
  std::fill_n(want.begin(), 4 * 512, 'A');
  EXPECT_EQ(want, read_file(img_, 0, 12 * 512));
  // The rule's hit is used up: the next write goes through.
  EXPECT_EQ(BLK_STS_OK, run_io(bdev_.get(), REQ_OP_WRITE, 0, a, {{0, 0, 4096}}));
}

TEST_F(PlatformBlkIo, ADelayedDeviceDoesNotHoldBackAnother) {
  // Many bios stuck on one device must not use up the workers that another
  // device's bios complete on.
  std::string other = dir_.image("other.img", 1 << 20);
  BdevRef fast = open_bdev(other);
  ASSERT_TRUE(fast);
  struct blk_fault slow = {BLK_FAULT_READ, 0, 2048, -1, 3000, 0};
  ASSERT_GE(bdev_fault_add(bdev_.get(), &slow), 0);
  constexpr int kSlow = 8;
  Pages p(kSlow + 1);
  std::vector<std::unique_ptr<Io>> sd;
  for (int i = 0; i < kSlow; i++) {
    sd.emplace_back(new Io(bdev_.get(), REQ_OP_READ, (sector_t)i * 8, p, {{(unsigned)i, 0, 4096}}));
    sd.back()->submit();
  }
  EXPECT_EQ(kSlow, bdev_inflight(bdev_.get()));
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(BLK_STS_OK, run_io(fast.get(), REQ_OP_READ, 0, p, {{kSlow, 0, 4096}}));
  }
  int slow_done = 0;
  for (auto &io : sd) slow_done += io->done();
  EXPECT_EQ(0, slow_done) << "the other device's reads waited for the delayed ones";
  for (auto &io : sd) {
    ASSERT_TRUE(io->wait());
    EXPECT_EQ(BLK_STS_OK, io->status());
  }
}

TEST_F(PlatformBlkIo, FaultRulesFailExactlyTheBiosTouchingTheirRange) {
  Pages p(1);
  // Bios by first sector (8 sectors each) against a rule on sectors 16-23.
  const sector_t starts[] = {8, 16, 12, 24, 20, 0, 16, 19};
  const bool touches[] = {false, true, true, false, true, false, true, true};
  struct Case {
    const char *name;
    int count;
  };
  const Case cases[] = {{"once", 1}, {"three times", 3}, {"always", -1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    bdev_fault_clear(bdev_.get());
    struct blk_fault rule = {BLK_FAULT_READ | BLK_FAULT_WRITE, 16, 8, c.count, 0, 1};
    int id = bdev_fault_add(bdev_.get(), &rule);
    ASSERT_GE(id, 0);
    int touching_seen = 0;
    long failed = 0;
    for (size_t i = 0; i < ARRAY_SIZE(starts); i++) {
      SCOPED_TRACE(starts[i]);
      unsigned int op = (i % 2) ? REQ_OP_WRITE : REQ_OP_READ;
      blk_status_t st = run_io(bdev_.get(), op, starts[i], p, {{0, 0, 4096}});
      bool expect_fail = touches[i] && (c.count < 0 || touching_seen < c.count);
      if (touches[i]) touching_seen++;
      EXPECT_EQ(expect_fail ? BLK_STS_IOERR : BLK_STS_OK, st);
      failed += st == BLK_STS_IOERR;
    }
    EXPECT_EQ(failed, bdev_fault_hits(bdev_.get(), id));
  }

  // A rule for writes leaves reads alone, and a failed write does not
  // reach the image.
  bdev_fault_clear(bdev_.get());
  struct blk_fault wr = {BLK_FAULT_WRITE, 100, 1, -1, 0, 1};
  ASSERT_GE(bdev_fault_add(bdev_.get(), &wr), 0);
  memset(p.at(0), 'X', PAGE_SIZE);
  EXPECT_EQ(BLK_STS_IOERR, run_io(bdev_.get(), REQ_OP_WRITE, 96, p, {{0, 0, 4096}}));
  EXPECT_EQ(BLK_STS_OK, run_io(bdev_.get(), REQ_OP_READ, 96, p, {{0, 0, 4096}}));
  EXPECT_EQ(std::vector<unsigned char>(4096, 0), read_file(img_, 96 * 512, 4096));
  EXPECT_EQ(-EINVAL, bdev_fault_hits(bdev_.get(), 12345));
  struct blk_fault none = {0, 0, 8, 1, 0, 1};
  EXPECT_EQ(-EINVAL, bdev_fault_add(bdev_.get(), &none));
}

TEST_F(PlatformBlkIo, ReleaseWhileInFlightAndWaitForIdle) {
  struct blk_fault delay = {BLK_FAULT_WRITE, 0, 8, 1, 200, 0};
  ASSERT_GE(bdev_fault_add(bdev_.get(), &delay), 0);
  Pages p(1);
  memset(p.at(0), 'Z', PAGE_SIZE);
  Io io(bdev_.get(), REQ_OP_WRITE, 0, p, {{0, 0, 4096}});
  // A second reference is dropped while the write is held back: the device
  // stays open for it.
  struct block_device *second = blkdev_get_by_path(img_.c_str(), FMODE_READ | FMODE_WRITE, nullptr);
  ASSERT_EQ(bdev_.get(), second);
  io.submit();
  EXPECT_EQ(1, bdev_inflight(bdev_.get()));
  blkdev_put(second, FMODE_READ | FMODE_WRITE);
  EXPECT_EQ(0, bdev_wait_idle(bdev_.get(), kWaitMs));
  EXPECT_TRUE(io.done()) << "idle before the completion had run";
  EXPECT_EQ(BLK_STS_OK, io.status());
  EXPECT_EQ(0, bdev_inflight(bdev_.get()));
  EXPECT_EQ(std::vector<unsigned char>(4096, 'Z'), read_file(img_, 0, 4096));

  // The last reference dropped while a write is in flight: it still lands.
  struct blk_fault delay2 = {BLK_FAULT_WRITE, 8, 8, 1, 200, 0};
  ASSERT_GE(bdev_fault_add(bdev_.get(), &delay2), 0);
  Io io2(bdev_.get(), REQ_OP_WRITE, 8, p, {{0, 0, 4096}});
  dev_t_k dev = bdev_->bd_dev;
  io2.submit();
  bdev_.reset();
  EXPECT_TRUE(is_open(dev)) << "closed with a write in flight";
  ASSERT_TRUE(io2.wait());
  EXPECT_EQ(BLK_STS_OK, io2.status());
  // ... and the device closes once the write is done.
  bool closed = false;
  for (int i = 0; i < kWaitMs / 10 && !closed; i++) {
    closed = !is_open(dev);
    if (!closed) usleep(10000);
  }
  EXPECT_TRUE(closed) << "the device stayed open after its last bio";
  EXPECT_EQ(std::vector<unsigned char>(4096, 'Z'), read_file(img_, 8 * 512, 4096));
}

TEST_F(PlatformBlkIo, ManySubmittersEachBioCompletesOnceWithItsData) {
  // Submitters race each other and the workers going idle and waking: every
  // bio must complete exactly once (a lost hand-off shows as a wait that
  // runs out) and move its own bytes.
  constexpr int kThreads = 4, kRounds = 60, kPagesEach = 64;  // 4 x 256 KiB of the image
  std::atomic<int> lost{0}, bad_status{0}, bad_calls{0}, bad_data{0};
  auto submitter = [&](int k) {
    Pages w(4), r(4);
    for (int round = 0; round < kRounds && !lost; round++) {
      int batch = 1 + round % 4;
      std::vector<std::unique_ptr<Io>> ios;
      for (int i = 0; i < batch; i++) {
        memset(w.at(i), (k * 31 + round * 7 + i) & 0xff, PAGE_SIZE);
        sector_t sector = (sector_t)(k * kPagesEach + (round * 4 + i) % kPagesEach) * 8;
        ios.emplace_back(new Io(bdev_.get(), REQ_OP_WRITE, sector, w, {{(unsigned)i, 0, 4096}}));
      }
      for (auto &io : ios) io->submit();
      auto wait_all = [&](size_t from) {
        for (size_t i = from; i < ios.size(); i++) {
          if (!ios[i]->wait()) return false;
          bad_status += ios[i]->status() != BLK_STS_OK;
        }
        return true;
      };
      if (!wait_all(0)) {
        lost++;
        return;
      }
      for (int i = 0; i < batch; i++) {
        sector_t sector = (sector_t)(k * kPagesEach + (round * 4 + i) % kPagesEach) * 8;
        ios.emplace_back(new Io(bdev_.get(), REQ_OP_READ, sector, r, {{(unsigned)i, 0, 4096}}));
        ios.back()->submit();
      }
      if (!wait_all(batch)) {
        lost++;
        return;
      }
      for (auto &io : ios) bad_calls += io->d->calls != 1;
      for (int i = 0; i < batch; i++) bad_data += memcmp(w.at(i), r.at(i), PAGE_SIZE) != 0;
    }
  };
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; k++) threads.emplace_back(submitter, k);
  for (auto &t : threads) t.join();
  EXPECT_EQ(0, lost.load()) << "a bio never completed";
  EXPECT_EQ(0, bad_status.load());
  EXPECT_EQ(0, bad_calls.load());
  EXPECT_EQ(0, bad_data.load());
}

// --- bios ---

TEST(PlatformBlkBio, CloneSharesPagesAndCompletesOnItsOwn) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string img = dir.image("clone.img", 1 << 20);
  BdevRef bdev = open_bdev(img);
  ASSERT_TRUE(bdev);
  long base = alloc_outstanding();
  {
    Pages p(3);
    for (int i = 0; i < 3; i++) fill(p.at(i), PAGE_SIZE, 20 + i);
    Done dorig;
    auto dclone = std::make_unique<Done>();  // kept on failure: a late completion writes it
    BioRef orig(make_bio(bdev.get(), REQ_OP_WRITE | REQ_SYNC, 40, p, {{0, 0, 4096}, {1, 512, 1024}, {2, 0, 4096}},
                         &dorig));
    ASSERT_TRUE(orig);
    BioRef clone(bio_clone(orig.get(), GFP_KERNEL));
    ASSERT_TRUE(clone);
    EXPECT_EQ(orig->bi_bdev, clone->bi_bdev);
    EXPECT_EQ(orig->bi_opf, clone->bi_opf);
    EXPECT_EQ(orig->bi_iter.bi_sector, clone->bi_iter.bi_sector);
    EXPECT_EQ(orig->bi_iter.bi_size, clone->bi_iter.bi_size);
    ASSERT_EQ(3, clone->bi_vcnt);
    EXPECT_NE(orig->bi_io_vec, clone->bi_io_vec);
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(orig->bi_io_vec[i].bv_page, clone->bi_io_vec[i].bv_page);
      EXPECT_EQ(orig->bi_io_vec[i].bv_len, clone->bi_io_vec[i].bv_len);
      EXPECT_EQ(orig->bi_io_vec[i].bv_offset, clone->bi_io_vec[i].bv_offset);
    }
    EXPECT_EQ(nullptr, clone->bi_end_io);
    EXPECT_EQ(nullptr, clone->bi_private);

    // The clone's own vector: replacing a page there leaves the original.
    Pages mine(1);
    clone->bi_io_vec[0].bv_page = mine.p[0];
    EXPECT_EQ(p.p[0], orig->bi_io_vec[0].bv_page);
    clone->bi_io_vec[0].bv_page = p.p[0];

    clone->bi_end_io = record_end_io;
    clone->bi_private = dclone.get();
    submit_bio(clone.get());
    if (!dclone->wait()) {
      g_abandoned = true;
      (void)clone.release();
      (void)dclone.release();
      FAIL() << "the clone did not complete";
    }
    EXPECT_EQ(BLK_STS_OK, dclone->status);
    EXPECT_FALSE(dorig.is_done());
    std::vector<unsigned char> want(p.at(0), p.at(0) + 4096);
    want.insert(want.end(), p.at(1) + 512, p.at(1) + 1536);
    want.insert(want.end(), p.at(2), p.at(2) + 4096);
    EXPECT_EQ(want, read_file(img, 40 * 512, want.size()));

    // A clone of a bio that starts in its second segment.
    orig->bi_iter.bi_idx = 1;
    orig->bi_iter.bi_size = 1024 + 4096;
    BioRef tail(bio_clone(orig.get(), GFP_KERNEL));
    ASSERT_TRUE(tail);
    ASSERT_EQ(2, tail->bi_vcnt);
    EXPECT_EQ(0u, tail->bi_iter.bi_idx);
    EXPECT_EQ(p.p[1], tail->bi_io_vec[0].bv_page);
    EXPECT_EQ(static_cast<void *>(p.at(1) + 512), bio_data(tail.get()));

    // References: the bio lives until the last put.
    bio_get(orig.get());
    bio_put(orig.get());
    EXPECT_EQ(1, orig->__bi_cnt);
  }
  EXPECT_EQ(base, alloc_outstanding());
}

TEST(PlatformBlkBio, AddPageStopsAtTheLimits) {
  Pages p(1);
  BioRef bio(bio_alloc(GFP_KERNEL, 2));
  ASSERT_TRUE(bio);
  EXPECT_EQ(0, bio_add_page(bio.get(), p.p[0], 0, 0));
  EXPECT_EQ(0, bio_add_page(bio.get(), p.p[0], 1024, 3584));
  EXPECT_EQ(512, bio_add_page(bio.get(), p.p[0], 512, 3584));
  EXPECT_EQ(4096, bio_add_page(bio.get(), p.p[0], 4096, 0));
  EXPECT_EQ(0, bio_add_page(bio.get(), p.p[0], 512, 0));
  EXPECT_EQ(2, bio->bi_vcnt);
  EXPECT_EQ(4608u, bio->bi_iter.bi_size);
  EXPECT_EQ(nullptr, bio_alloc(GFP_KERNEL, BIO_MAX_PAGES + 1));
}

TEST(PlatformBlkBio, AllocationFaultInjectionFailsTheAllocation) {
  Pages p(1);
  BioRef src(bio_alloc(GFP_KERNEL, 1));
  ASSERT_TRUE(src);
  bio_add_page(src.get(), p.p[0], 4096, 0);
  struct Case {
    const char *name;
    bool (*try_alloc)(struct bio *src);
  };
  const Case cases[] = {
      {"bio_alloc", [](struct bio *) {
         struct bio *b = bio_alloc(GFP_ATOMIC, 4);
         bio_put(b);
         return b != nullptr;
       }},
      {"bio_clone", [](struct bio *s) {
         struct bio *b = bio_clone_bioset(s, GFP_NOIO, fs_bio_set);
         bio_put(b);
         return b != nullptr;
       }},
      {"blk_alloc_queue", [](struct bio *) {
         struct request_queue *q = blk_alloc_queue(GFP_KERNEL);
         blk_cleanup_queue(q);
         return q != nullptr;
       }},
      {"alloc_disk", [](struct bio *) {
         struct gendisk *d = alloc_disk(1);
         put_disk(d);
         return d != nullptr;
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    alloc_fault_inject(0, 1);
    EXPECT_FALSE(c.try_alloc(src.get()));
    EXPECT_EQ(1, alloc_fault_failed());
    EXPECT_TRUE(c.try_alloc(src.get()));
    alloc_fault_clear();
  }
}

TEST(PlatformBlkBio, StatusAndErrnoConvert) {
  const struct {
    int err;
    blk_status_t st;
  } cases[] = {{0, BLK_STS_OK},         {-EOPNOTSUPP, BLK_STS_NOTSUPP}, {-ETIMEDOUT, BLK_STS_TIMEOUT},
               {-ENOSPC, BLK_STS_NOSPC}, {-ENODATA, BLK_STS_MEDIUM},   {-ENOMEM, BLK_STS_RESOURCE},
               {-EAGAIN, BLK_STS_AGAIN}, {-EIO, BLK_STS_IOERR}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(c.st, errno_to_blk_status(c.err));
    EXPECT_EQ(c.err, blk_status_to_errno(c.st));
  }
  EXPECT_EQ(BLK_STS_IOERR, errno_to_blk_status(-EINVAL));
  EXPECT_EQ(-EIO, blk_status_to_errno((blk_status_t)200));
}

// --- make-request disks ---

struct SeenRequest {
  struct request_queue *q = nullptr;
  struct bio *bio = nullptr;
  struct task_struct *task = nullptr;
  int calls = 0;
};
SeenRequest g_seen;

void test_make_request(struct request_queue *q, struct bio *bio) {
  g_seen.q = q;
  g_seen.bio = bio;
  g_seen.task = get_current();
  g_seen.calls++;
  bio->bi_status = BLK_STS_OK;
  bio_endio(bio);
}

int count_disk(struct gendisk *disk, void *arg) {
  if (strcmp(disk->disk_name, "TST5") == 0) ++*static_cast<int *>(arg);
  return 0;
}

TEST(PlatformBlkDisk, SubmitToTheQueueReachesTheMakeRequestEntry) {
  const unsigned int major = 241;
  Pages p(1);
  long base = alloc_outstanding();
  ASSERT_EQ(0, register_blkdev(major, "tstblk"));
  EXPECT_EQ(-EBUSY, register_blkdev(major, "other"));
  char name[16];
  ASSERT_TRUE(blkdev_major_name(major, name, sizeof(name)));
  EXPECT_STREQ("tstblk", name);

  struct request_queue *q = blk_alloc_queue(GFP_KERNEL);
  ASSERT_NE(nullptr, q);
  blk_queue_make_request(q, test_make_request);
  struct gendisk *disk = alloc_disk(1);
  ASSERT_NE(nullptr, disk);
  disk->major = major;
  disk->first_minor = 5;
  snprintf(disk->disk_name, sizeof(disk->disk_name), "TST%d", 5);
  disk->queue = q;
  set_capacity(disk, 1024);
  add_disk(disk);
  EXPECT_EQ(1024u, get_capacity(disk));
  int seen = 0;
  blk_for_each_disk(count_disk, &seen);
  EXPECT_EQ(1, seen);

  struct block_device *bdev = bdget(MKDEV(major, 5));
  ASSERT_NE(nullptr, bdev);
  EXPECT_EQ(disk, bdev->bd_disk);
  EXPECT_EQ(MKDEV(major, 5), bdev->bd_dev);
  EXPECT_EQ(q, bdev_get_queue(bdev));
  EXPECT_EQ(4096u, block_size(bdev));  // from 1024 sectors of 512 bytes
  EXPECT_EQ(nullptr, bdget(MKDEV(major, 6)));
  EXPECT_EQ(0, bdev_inflight(bdev));

  g_seen = SeenRequest();
  auto io = std::make_unique<Io>(bdev, REQ_OP_WRITE, 2, p, std::vector<Seg>{{0, 0, 4096}});
  io->submit();
  EXPECT_EQ(1, g_seen.calls);
  EXPECT_EQ(q, g_seen.q);
  EXPECT_EQ(io->bio, g_seen.bio);
  EXPECT_EQ(get_current(), g_seen.task);
  ASSERT_TRUE(io->done());
  EXPECT_EQ(BLK_STS_OK, io->status());

  // Deleted: no longer found, and a bio to the still-held block device ends
  // with an error on a worker without reaching the entry.
  del_gendisk(disk);
  EXPECT_EQ(nullptr, bdget(MKDEV(major, 5)));
  auto io2 = std::make_unique<Io>(bdev, REQ_OP_READ, 0, p, std::vector<Seg>{{0, 0, 4096}});
  io2->submit();
  ASSERT_TRUE(io2->wait());
  EXPECT_EQ(BLK_STS_IOERR, io2->status());
  EXPECT_NE(get_current(), io2->d->task);
  EXPECT_EQ(1, g_seen.calls);

  put_disk(disk);
  blk_cleanup_queue(q);
  bdput(bdev);  // the last reference frees disk and queue
  unregister_blkdev(major, "tstblk");
  EXPECT_FALSE(blkdev_major_name(major, name, sizeof(name)));
  io.reset();
  io2.reset();
  EXPECT_EQ(base, alloc_outstanding());

  // A dynamic major is handed out when 0 is asked for.
  int dyn = register_blkdev(0, "dyn");
  ASSERT_GT(dyn, 0);
  unregister_blkdev((unsigned int)dyn, "dyn");
}

// --- queue limits ---

TEST(PlatformBlkLimits, StackingTakesTheStricterLimitAndNeverLoosens) {
  struct queue_limits top, bottom;
  struct Case {
    const char *name;
    struct queue_limits t, b, want;  // logical, physical, max_sectors, max_hw, seg size, segs, discard
  };
  const Case cases[] = {
      {"bottom stricter everywhere",
       {512, 512, 1024, 1024, 65536, 128, 0},
       {4096, 4096, 256, 512, 4096, 64, 8},
       {4096, 4096, 256, 512, 4096, 64, 8}},
      {"top stricter everywhere",
       {4096, 4096, 256, 512, 4096, 64, 8},
       {512, 512, 1024, 1024, 65536, 128, 16},
       {4096, 4096, 256, 512, 4096, 64, 8}},
      {"zero maxima take the other side",
       {512, 512, 0, 1024, 0, 128, 0},
       {512, 4096, 256, 0, 8192, 0, 0},
       {512, 4096, 256, 1024, 8192, 128, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    top = c.t;
    bottom = c.b;
    EXPECT_EQ(0, blk_stack_limits(&top, &bottom, 0));
    EXPECT_EQ(0, memcmp(&c.want, &top, sizeof(top)));
  }
  // Stacking limits hold nothing back: the bottom's limits come through.
  blk_set_stacking_limits(&top);
  bottom = {4096, 4096, 2560, 2560, 65536, 128, 0};
  blk_stack_limits(&top, &bottom, 0);
  EXPECT_EQ(0, memcmp(&bottom, &top, sizeof(top)));
}

TEST(PlatformBlkLimits, QueueDefaultsAndSetters) {
  struct request_queue *q = blk_alloc_queue(GFP_KERNEL);
  ASSERT_NE(nullptr, q);
  EXPECT_EQ(512u, queue_logical_block_size(q));
  EXPECT_EQ(512u, queue_physical_block_size(q));
  EXPECT_EQ(BLK_DEF_MAX_SECTORS, queue_max_sectors(q));
  EXPECT_EQ(BLK_DEF_MAX_SECTORS, queue_max_hw_sectors(q));
  EXPECT_EQ(BLK_MAX_SEGMENTS, queue_max_segments(q));
  EXPECT_EQ(BLK_MAX_SEGMENT_SIZE, queue_max_segment_size(q));
  EXPECT_FALSE(blk_queue_discard(q));
  EXPECT_EQ(&q->__queue_lock, q->queue_lock);

  blk_queue_logical_block_size(q, 4096);
  EXPECT_EQ(4096u, queue_physical_block_size(q)) << "physical below logical";
  blk_queue_physical_block_size(q, 512);
  EXPECT_EQ(4096u, queue_physical_block_size(q));
  blk_queue_max_hw_sectors(q, 2);
  EXPECT_EQ(8u, queue_max_hw_sectors(q));
  blk_queue_max_hw_sectors(q, 256);
  EXPECT_EQ(256u, queue_max_hw_sectors(q));
  EXPECT_EQ(256u, queue_max_sectors(q));
  blk_queue_max_segments(q, 0);
  EXPECT_EQ(1u, queue_max_segments(q));
  blk_queue_max_segment_size(q, 100);
  EXPECT_EQ((unsigned int)PAGE_SIZE, queue_max_segment_size(q));
  blk_queue_flag_set(QUEUE_FLAG_DISCARD, q);
  EXPECT_TRUE(blk_queue_discard(q));
  blk_queue_flag_clear(QUEUE_FLAG_DISCARD, q);
  EXPECT_FALSE(blk_queue_discard(q));
  EXPECT_EQ(512u, queue_logical_block_size(nullptr));
  q->limits.logical_block_size = 0;
  EXPECT_EQ(512u, queue_logical_block_size(q));
  blk_cleanup_queue(q);
}

}  // namespace
