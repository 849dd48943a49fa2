// A loaded module with a mirror device on NMP3 that has a Cluster
// Partition (1 KiB layout), for tests of the bitmap writers: helpers to run
// control commands, to build requests and wait-ACK2 heads, and to read the
// difference bitmap straight off the Cluster Partition image.
#pragma once

#include <atomic>
#include <memory>
#include <set>

#include "include/mirvol_bitmap.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_records.h"
#include "module_fixture.h"

namespace writertest {

constexpr unsigned long kUaddr = 0x10000;

// One control command on a record, as the host's control worker runs it.
struct Call {
  std::vector<u8> buf;
  int result;
  Call(u32 minor, unsigned int cmd, std::vector<u8> in) : buf(std::move(in)) {
    result = testutil::control_call(minor, cmd, buf.data(), buf.size(), kUaddr);
  }
  u32 status() const { return testutil::rec_at<u32>(buf, 0); }
};

// A control command on a 4-byte record (every byte `fill`) run on a kernel
// thread, so that a test can see whether it answers while the manual clock
// stands still, and move the clock on until it does.
class ClockedCommand {
 public:
  explicit ClockedCommand(unsigned int cmd, u8 fill = 0xff)
      : thread_(
            [this, cmd, fill] {
              status_ = Call(3, cmd, std::vector<u8>(4, fill)).status();
              done_ = true;
              return 0;
            },
            "test_cmd") {}
  ~ClockedCommand() { finish(); }
  ClockedCommand(const ClockedCommand &) = delete;
  ClockedCommand &operator=(const ClockedCommand &) = delete;
  // Answered with the clock standing still (bounded real-time wait).
  bool answered_at_once(int ms = 10000) {
    return testutil::eventually([this] { return done_.load(); }, ms);
  }
  // Advances the clock a second at a time until the command answers.
  bool finish(int ms = 30000) {
    return testutil::eventually(
        [this] {
          if (done_) return true;
          clock_advance(HZ);
          return done_.load();
        },
        ms);
  }
  bool done() const { return done_; }
  u32 status() const { return status_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<u32> status_{0};
  testutil::KThread thread_;
};

// Command 101 with a refresh interval of `interval` seconds and a cache of
// `cache` blocks.
inline u32 network_init(u32 interval, u32 cache) {
  mirvol_rec::network_init_record r = {};
  memcpy(r.magic, "qdx", 4);
  r.interval = interval;
  r.max_cachenum = cache;
  r.queue_limits_method = 1;
  r.history_cache_delnum = 2;
  std::vector<u8> rec(sizeof(r));
  mirvol_rec::rec_store(rec.data(), r);
  return Call(3, 101, rec).status();
}

// One mirror network to a peer on this machine: the device is 127.0.0.2,
// the peer 127.0.0.1 (the address test connections come from), over IPv4,
// with the keepalive knobs of a real device. The network is freed with the
// device. False when it could not be allocated.
inline bool loopback_peer_network(struct nmp_info *nmp) {
  auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
  if (!nw) return false;
  // IPv4 addresses sit in the last four bytes, in network order.
  const u8 self[4] = {127, 0, 0, 2}, peer[4] = {127, 0, 0, 1};
  memcpy(nw->self_addr + 12, self, 4);
  memcpy(nw->opponent_addr + 12, peer, 4);
  nw->state = NW_FREE;
  nmp->network_list = nw;
  nmp->mdc_cnt = 1;
  nmp->ip_version = 4;
  nmp->keepalive_time = 30;
  nmp->keepalive_probe = 3;
  nmp->keepalive_interval = 5;
  return true;
}

// The 56-byte head of a received write, big-endian.
inline std::vector<u8> wire_head(u64 first, u64 last, u64 id) {
  std::vector<u8> h(56, 0);
  u64 v = cpu_to_be64(first);
  memcpy(h.data() + 8, &v, 8);
  v = cpu_to_be64(last);
  memcpy(h.data() + 16, &v, 8);
  v = cpu_to_be64(id);
  memcpy(h.data() + 24, &v, 8);
  return h;
}

// The bits a correct writer sets: one per granule touched.
struct BitModel {
  std::vector<u8> bytes;
  explicit BitModel(size_t n) : bytes(n, 0) {}
  void mark(u64 first, u64 last, u64 granule, u64 device_sectors) {
    if (last > device_sectors - 1) last = device_sectors - 1;
    for (u64 s = first; s <= last; s++) {
      u64 bit = s / granule;
      bytes.at(bit / 8) |= (u8)(0x80 >> (bit % 8));
    }
  }
};

// A write request of `nmp` for sectors first..first+count-1, not queued
// anywhere.
inline struct io_request *device_request(struct nmp_info *nmp, u64 first, u32 count) {
  struct io_request *req = mirvol_allocate_request();
  EXPECT_NE(req, nullptr);
  req->nmp = nmp;
  req->write = 1;
  req->start_sector = first;
  req->sector_count = count;
  req->bytes = count * 512;
  return req;
}

// The request ids in the wait-ACK2 queue, in queue order.
inline std::vector<u64> wait_ack2_ids() {
  std::vector<u64> out;
  unsigned long flags;
  spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
  for (struct wait_ack2_queue *e = g_wait_ack2_queue_head.head; e; e = e->next)
    out.push_back(e->request_id);
  spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
  return out;
}

constexpr off_t kBitmapOffset = 10 * 1024;  // block index 10 of the 1 KiB layout

class WriterTest : public testing::Test {
 protected:
  // DP of 8 MiB (16384 sectors: two bitmap blocks at granule 1); CP of
  // 6 MiB, past the history flag.
  static constexpr u64 kDeviceSectors = 16384;

  void load(bool fast_clock = true) {
    if (fast_clock) clock_set_time_scale(50);
    load_ = std::make_unique<testutil::ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1"});
    ASSERT_EQ(load_->result(), 0);
    mirvol_printk_init();
    nmp_ = testsupport_make_device(3, dp_.path().c_str(), 0);
    ASSERT_NE(nmp_, nullptr);
    struct block_device *cp =
        blkdev_get_by_path(cp_.path().c_str(), FMODE_READ | FMODE_WRITE, nullptr);
    ASSERT_FALSE(IS_ERR(cp));
    nmp_->cp_bdev = cp;  // unload releases it with the device
    nmp_->len = 512;
    nmp_->lastupdate_delay = 0;
  }
  void SetUp() override { load(); }
  // Waits for the bios still on the device's partitions: a request given up
  // into the bitmap may still be writing its Cluster Partition times after
  // its upper write ended, and its completion needs the device.
  void quiesce() {
    if (!nmp_) return;
    for (struct block_device *b : {nmp_->cp_bdev, nmp_->dp_bdev}) {
      if (b) {
        EXPECT_EQ(bdev_wait_idle(b, 30000), 0) << "bios still in flight";
      }
    }
  }
  // Unloads and loads again on clear images.
  void reload() {
    clock_set_automatic();
    quiesce();
    load_.reset();
    my_disk[3] = 0;
    nmp_ = nullptr;
    cp_.write(kBitmapOffset, std::vector<char>(4096, 0));
    load();
  }
  void TearDown() override {
    // Unload waits on the clock: it must run again first.
    clock_set_automatic();
    clock_set_time_scale(50);
    if (nmp_ && nmp_->cp_bdev) bdev_fault_clear(nmp_->cp_bdev);
    quiesce();
    load_.reset();
    if (nmp_) my_disk[3] = 0;
    alloc_fault_clear();
    clock_set_time_scale(1);
  }

  std::vector<u8> disk_bits(size_t n) const {
    std::vector<char> raw = cp_.read(kBitmapOffset, n);
    return std::vector<u8>(raw.begin(), raw.end());
  }
  int pending() const {
    unsigned long flags;
    spin_lock_irqsave(&g_wrbmp.sys_var->lock, flags);
    int n = g_wrbmp.cnt[0];  // NMP3 is nmp_minor[0]
    spin_unlock_irqrestore(&g_wrbmp.sys_var->lock, flags);
    return n;
  }
  u32 prep_state() const {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->bitmap_lock, flags);
    u32 s = nmp_->recovery_prep_state;
    spin_unlock_irqrestore(&nmp_->nmp_variable->bitmap_lock, flags);
    return s;
  }
  void set_prep_state(u32 s) {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->bitmap_lock, flags);
    nmp_->recovery_prep_state = s;
    spin_unlock_irqrestore(&nmp_->nmp_variable->bitmap_lock, flags);
  }
  // A write request of the device for sectors first..first+count-1, not
  // queued anywhere.
  struct io_request *request(u64 first, u32 count) { return device_request(nmp_, first, count); }
  size_t wait_ack2_entries() const { return wait_ack2_ids().size(); }

  testutil::ImageFile dp_{8 << 20}, cp_{6 << 20};
  std::unique_ptr<testutil::ModuleLoad> load_;
  struct nmp_info *nmp_ = nullptr;
};

}  // namespace writertest
