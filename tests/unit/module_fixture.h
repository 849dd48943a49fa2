// Loading the module with parameters, and a mirror device built by hand on
// an image file, for tests of load, unload and the request path.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "include/mirvol_main.h"
#include "tests/support/device_fixture.h"
#include "test_util.h"

namespace testutil {

// Parses insmod-style parameters and runs init_module; unloads at the end.
class ModuleLoad {
 public:
  explicit ModuleLoad(std::vector<std::string> params) {
    module_params_reset();
    std::vector<const char *> argv;
    for (auto &p : params) argv.push_back(p.c_str());
    parse_result_ = module_params_parse((int)argv.size(), argv.data());
    result_ = parse_result_ ? parse_result_ : init_module();
  }
  ~ModuleLoad() {
    if (result_ == 0) cleanup_module();
    module_params_reset();
  }
  int result() const { return result_; }

 private:
  int parse_result_ = 0;
  int result_ = 0;
};

// A test with the module loaded on `params`: the test's devices are
// released before the unload and its image files after it.
class LoadedModuleTest : public testing::Test {
 protected:
  explicit LoadedModuleTest(std::vector<std::string> params) : params_(std::move(params)) {}
  void SetUp() override {
    mirvol_printk_init();
    load_ = std::make_unique<ModuleLoad>(params_);
    ASSERT_EQ(load_->result(), 0);
  }
  void TearDown() override {
    release_devices();
    load_.reset();
    release_images();
  }
  virtual void release_devices() = 0;
  virtual void release_images() = 0;

  std::vector<std::string> params_;
  std::unique_ptr<ModuleLoad> load_;
};

// A zero-filled image file in /tmp, removed at the end.
class ImageFile {
 public:
  explicit ImageFile(size_t bytes) {
    char path[] = "/tmp/mirvol-img-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, (off_t)bytes), 0);
    close(fd);
    path_ = path;
  }
  ~ImageFile() { unlink(path_.c_str()); }
  const std::string &path() const { return path_; }
  std::vector<char> read(off_t off, size_t len) const {
    std::vector<char> buf(len);
    int fd = open(path_.c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, buf.data(), len, off), (ssize_t)len);
    close(fd);
    return buf;
  }
  void write(off_t off, const std::vector<char> &data) const {
    int fd = open(path_.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), off), (ssize_t)data.size());
    close(fd);
  }

 private:
  std::string path_;
};

// A mirror device record on an image file, entered in g_nmp_list the way
// device creation does, with the I/O and N/W ports open. The module must be
// loaded with the minor configured.
class FakeDevice {
 public:
  FakeDevice(int minor, size_t bytes, u32 mode = 1) : image_(bytes) {
    nmp_ = testsupport_make_device(minor, image_.path().c_str(), 1);
    EXPECT_NE(nmp_, nullptr);
    nmp_->mode = mode;
    // Unload frees the record with everything it owns.
  }
  ~FakeDevice() { my_disk[nmp_->minor] = 0; }
  struct nmp_info *nmp() const { return nmp_; }
  const ImageFile &image() const { return image_; }

 private:
  ImageFile image_;
  struct nmp_info *nmp_;
};

// A bio on a mirror disk with its own pages, waited for in real time.
class TestBio {
 public:
  TestBio(u32 minor, unsigned int op, sector_t sector, unsigned int bytes, char fill = 0) {
    unsigned int pages = (bytes + 4095) / 4096;
    bio_ = bio_alloc(GFP_KERNEL, pages);
    bio_->bi_opf = op;
    bio_->bi_iter.bi_sector = sector;
    for (unsigned int i = 0; i < pages; i++) {
      struct page *pg = alloc_page(GFP_KERNEL);
      memset(page_address(pg), fill, PAGE_SIZE);
      unsigned int len = bytes - i * 4096 < 4096 ? bytes - i * 4096 : 4096;
      bio_add_page(bio_, pg, len, 0);
      pages_.push_back(pg);
    }
    bdev_ = bdget(MKDEV((u32)g_mirvol_major, minor));
    bio_set_dev(bio_, bdev_);
    bio_->bi_private = this;
    bio_->bi_end_io = [](struct bio *b) {
      auto *self = static_cast<TestBio *>(b->bi_private);
      self->status_ = blk_status_to_errno(b->bi_status);
      self->ended_++;
      self->done_ = true;
    };
  }
  ~TestBio() {
    EXPECT_TRUE(eventually([this] { return done_.load(); }, 10000)) << "the upper bio never ended";
    bio_put(bio_);
    for (auto *pg : pages_) __free_page(pg);
    if (bdev_) bdput(bdev_);
  }
  void submit() { submit_bio(bio_); }
  bool wait(int ms = 10000) { return eventually([this] { return done_.load(); }, ms); }
  int status() const { return status_; }
  int ended() const { return ended_; }
  char byte(unsigned int page, unsigned int off) const {
    return static_cast<char *>(page_address(pages_[page]))[off];
  }
  struct bio *bio() const { return bio_; }

 private:
  struct bio *bio_;
  struct block_device *bdev_ = nullptr;
  std::vector<struct page *> pages_;
  std::atomic<bool> done_{false};
  std::atomic<int> ended_{0};
  std::atomic<int> status_{1};
};

// A loaded module with minors 3 and 1 and a device on NMP3 over a 1 MiB image.
class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    dev_ = std::make_unique<FakeDevice>(3, 1 << 20);
  }
  void TearDown() override {
    dev_.reset();
    load_.reset();
  }
  struct nmp_info *nmp() { return dev_->nmp(); }
  std::unique_ptr<ModuleLoad> load_;
  std::unique_ptr<FakeDevice> dev_;
};

// Opens the image `cp` as the device's Cluster Partition (the unload puts
// it) with records of `len` bytes and `granule` sectors per bitmap bit.
inline struct block_device *attach_cp(struct nmp_info *nmp, const ImageFile &cp, u32 len,
                                      u32 granule) {
  struct block_device *b = blkdev_get_by_path(cp.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
  EXPECT_FALSE(IS_ERR(b));
  if (IS_ERR(b)) return b;
  if (len == 4096) blk_queue_logical_block_size(bdev_get_queue(b), 4096);
  nmp->cp_bdev = b;
  nmp->len = len;
  nmp->bmp_size_in_sec = granule;
  return b;
}

// One control command on the caller's record of `size` bytes at `buf`
// (user address `uaddr`), as the host's control worker runs it: the
// ioctl's result, or -999 when NMP<minor> has no block device.
inline int control_call(u32 minor, unsigned int cmd, u8 *buf, size_t size, unsigned long uaddr) {
  struct user_context ctx = {buf, (unsigned long)size, uaddr, nullptr, nullptr, 0};
  set_user_context(&ctx);
  struct block_device *b = bdget(MKDEV((u32)g_mirvol_major, minor));
  int result = b ? mirvol_ioctl(b, FMODE_READ | FMODE_WRITE, cmd, uaddr) : -999;
  if (b) bdput(b);
  set_user_context(nullptr);
  return result;
}

// The value of type T at byte `off` of a record.
template <class T>
inline T rec_at(const std::vector<u8> &buf, size_t off) {
  T v;
  memcpy(&v, buf.data() + off, sizeof(v));
  return v;
}

}  // namespace testutil
