// A device-init record (command 102) as a cluster service builds it, and
// the command run on it, for the tests that create devices.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "include/mirvol_main.h"
#include "include/mirvol_records.h"
#include "test_util.h"

namespace nmptest {

constexpr unsigned long kUaddr = 0x10000;

// Byte offsets of the device-init record's fields, and of field `f` of
// network entry `i`.
#define INIT_AT(f) offsetof(mirvol_rec::nmp_init_record, f)
inline constexpr size_t net_entry_at(u32 i) {
  return offsetof(mirvol_rec::nmp_init_record, nets) + sizeof(mirvol_rec::net_entry) * i;
}
#define net_at(i, f) (nmptest::net_entry_at(i) + offsetof(mirvol_rec::net_entry, f))

// A device-init record as a cluster service builds it.
struct InitRecord {
  std::vector<u8> b;
  explicit InitRecord(u32 networks = 1)
      : b(sizeof(mirvol_rec::nmp_init_record) + sizeof(mirvol_rec::net_entry) * (networks - 1), 0) {
    memcpy(&b[INIT_AT(magic)], "qdx", 4);
    set32(INIT_AT(bmp_size_in_sec), 8);
    // Valid time-outs and heartbeat settings.
    const std::pair<size_t, u32> settings[] = {
        {INIT_AT(hb_interval), 10},      {INIT_AT(hb_recv_timeout), 2},
        {INIT_AT(hb_recv_retry), 8},     {INIT_AT(connect_timeout), 10},
        {INIT_AT(send_timeout), 30},     {INIT_AT(keepalive_time), 30},
        {INIT_AT(keepalive_probe), 3},   {INIT_AT(keepalive_interval), 1},
        {INIT_AT(lastupdate_delay), 5},  {INIT_AT(ack_timeout), 100},
        {INIT_AT(receive_normal_timeout), 100}};
    for (auto &kv : settings) set32(kv.first, kv.second);
    set32(INIT_AT(cp_fd), 10);  // the caller's numbers
    set32(INIT_AT(dp_fd), 11);
    set32(INIT_AT(mode), 1);  // sync
    set32(INIT_AT(ip_version), 4);
    set32(INIT_AT(mdc_cnt), networks);
    set32(INIT_AT(compress), 0xffffffff);
    set32(INIT_AT(compress2), 0xffffffff);
    const char name[] = "mirror-of-data";
    memcpy(&b[INIT_AT(name)], name, sizeof(name));
    // 192.0.2.(1+i) to ...(101+i), IPv4 in the last four bytes.
    for (u32 i = 0; i < networks; i++) {
      const u8 self[4] = {192, 0, 2, (u8)(1 + i)};
      memcpy(&b[net_at(i, self) + 12], self, 4);
      b[net_at(i, peer) + 15] = (u8)(101 + i);
    }
  }
  void set32(size_t off, u32 v) { memcpy(&b[off], &v, 4); }
  void set16(size_t off, u16 v) { memcpy(&b[off], &v, 2); }
  u32 get32(size_t off) const {
    u32 v;
    memcpy(&v, &b[off], 4);
    return v;
  }
};

// The names of this process's threads that start with `prefix`.
inline std::set<std::string> thread_names(const std::string &prefix = "") {
  std::set<std::string> names;
  for (const std::string &t : testutil::thread_names())
    if (t.rfind(prefix, 0) == 0) names.insert(t);
  return names;
}

// Runs command 102 on NMP<minor> with the descriptors given as
// caller-number -> path.
struct Create {
  int result;
  u32 status;
  InitRecord rec;
  Create(int minor, InitRecord r, std::vector<std::pair<int, std::string>> fds) : rec(std::move(r)) {
    std::vector<int> nums, os;
    for (auto &f : fds) {
      nums.push_back(f.first);
      os.push_back(open(f.second.c_str(), O_RDWR | O_CLOEXEC));
    }
    struct user_context ctx = {rec.b.data(), rec.b.size(), kUaddr, nums.data(), os.data(),
                               (int)nums.size()};
    set_user_context(&ctx);
    struct block_device *b = bdget(MKDEV((u32)g_mirvol_major, (u32)minor));
    result = mirvol_ioctl(b, FMODE_READ | FMODE_WRITE, 102, kUaddr);
    bdput(b);
    set_user_context(nullptr);
    for (int fd : os)
      if (fd >= 0) close(fd);
    status = rec.get32(0);
  }
};

}  // namespace nmptest
