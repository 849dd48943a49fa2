// A loaded module with NMP3 on a data partition image and a Cluster
// Partition image large enough for a history ring, and the device's history
// object built from a device-init record: for tests of the history journal,
// the history files and the history thread.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_history.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_trans.h"
#include "module_fixture.h"
#include "writer_fixture.h"

namespace historytest {

using testutil::eventually;
constexpr u64 kRingByte = 0x54D000;

// A temporary directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/mirvol-hist-XXXXXX";
    path_ = mkdtemp(t);
  }
  ~TempDir() { remove_all(path_); }
  const std::string &path() const { return path_; }
  static void remove_all(const std::string &p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      if (DIR *d = opendir(p.c_str())) {
        while (struct dirent *e = readdir(d)) {
          std::string n = e->d_name;
          if (n != "." && n != "..") remove_all(p + "/" + n);
        }
        closedir(d);
      }
      rmdir(p.c_str());
    } else {
      unlink(p.c_str());
    }
  }

 private:
  std::string path_;
};

// The device-init record fields the history object is built from.
inline std::vector<u8> init_record(s32 ring_mib, s32 limit_mib, const std::string &dir) {
  mirvol_rec::nmp_init_record r = {};
  r.history_size = ring_mib;
  r.history_file_size = limit_mib;
  memcpy(r.history_dir, dir.data(), std::min<size_t>(dir.size(), sizeof(r.history_dir) - 1));
  std::vector<u8> rec(MIRVOL_NMP_INIT_SIZE, 0);
  mirvol_rec::rec_store(rec.data(), r);
  return rec;
}

class HistoryTest : public testing::Test {
 protected:
  // dp_bytes: the data partition; cp: ring of 2 MiB fits.
  void load(size_t dp_bytes, u32 len, s32 ring_mib = 2, s32 limit_mib = 0, bool with_dir = true) {
    clock_set_time_scale(50);
    dp_ = std::make_unique<testutil::ImageFile>(dp_bytes);
    cp_ = std::make_unique<testutil::ImageFile>(kRingByte + (4u << 20));
    load_ = std::make_unique<testutil::ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    mirvol_printk_init();
    nmp_ = testsupport_make_device(3, dp_->path().c_str(), 0);
    ASSERT_NE(nmp_, nullptr);
    struct block_device *cp =
        blkdev_get_by_path(cp_->path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    ASSERT_FALSE(IS_ERR(cp));
    nmp_->cp_bdev = cp;
    nmp_->len = len;
    nmp_->bmp_size_in_sec = 1;
    nmp_->mode = 0;
    // The device comes with its history queue.
    ASSERT_NE(nmp_->history_head.sys_var, nullptr);
    auto rec = init_record(ring_mib, limit_mib, with_dir ? dir_.path() : std::string());
    nmp_->history = mirvol_history_init(rec.data(), nmp_);
    ASSERT_NE(nmp_->history, nullptr);
  }
  void TearDown() override {
    reqs_.clear();
    clock_set_automatic();
    clock_set_time_scale(50);
    if (nmp_ && nmp_->cp_bdev) bdev_fault_clear(nmp_->cp_bdev);
    alloc_fault_clear();
    load_.reset();
    if (nmp_) my_disk[3] = 0;
    clock_set_time_scale(1);
  }
  struct history_info *h() const { return nmp_->history; }

  // A request of the device with a serial number; freed by the fixture.
  struct io_request *request(u64 serial, u64 first, u32 count) {
    struct io_request *req = writertest::device_request(nmp_, first, count);
    req->async_serial = serial;
    reqs_.emplace_back(req, &mirvol_free_request);
    return req;
  }

  std::vector<u8> cp_bytes(u64 off, size_t n) const {
    auto v = cp_->read((off_t)off, n);
    return std::vector<u8>(v.begin(), v.end());
  }
  void cp_put(u64 off, const std::vector<u8> &b) const {
    cp_->write((off_t)off, std::vector<char>(b.begin(), b.end()));
  }
  static std::vector<u8> record_bytes(u64 serial, u64 first, u64 count, u64 used = 1) {
    std::vector<u8> r(32);
    memcpy(&r[0], &serial, 8);
    memcpy(&r[8], &first, 8);
    memcpy(&r[16], &count, 8);
    memcpy(&r[24], &used, 8);
    return r;
  }
  u32 flag_on_disk() const {
    auto b = cp_bytes(10832ull * 512, 4);
    u32 v;
    memcpy(&v, b.data(), 4);
    return v;
  }
  int add_fault(u64 sector, u64 sectors, unsigned ops, int count = -1) {
    struct blk_fault f = {ops, sector, sectors, count, 0, 1};
    return bdev_fault_add(nmp_->cp_bdev, &f);
  }
  u32 cmd(unsigned int c) { return writertest::Call(3, c, std::vector<u8>(4, 0)).status(); }

  TempDir dir_;
  std::unique_ptr<testutil::ImageFile> dp_, cp_;
  std::unique_ptr<testutil::ModuleLoad> load_;
  struct nmp_info *nmp_ = nullptr;
  std::vector<std::unique_ptr<struct io_request, void (*)(struct io_request *)>> reqs_;
};

}  // namespace historytest
