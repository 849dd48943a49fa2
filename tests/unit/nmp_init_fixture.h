// A device-init record (command 102) as a cluster service builds it, and
// the command run on it, for the tests that create devices.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "include/mirvol_main.h"
#include "test_util.h"

namespace nmptest {

constexpr unsigned long kUaddr = 0x10000;

// A device-init record as a cluster service builds it.
struct InitRecord {
  std::vector<u8> b;
  explicit InitRecord(u32 networks = 1) : b(2232 + 36 * (networks - 1), 0) {
    memcpy(&b[4], "qdx", 4);
    set32(20, 8);           // bmp_size_in_sec
    // Valid time-outs and heartbeat settings.
    const u32 settings[][2] = {{1072, 10}, {1076, 2},  {1080, 8}, {1088, 10}, {1092, 30}, {1096, 30},
                               {1100, 3},  {1104, 1},  {1108, 5}, {1112, 100}, {1116, 100}};
    for (auto &kv : settings) set32(kv[0], kv[1]);
    set32(1048, 10);        // cp fd (caller's number)
    set32(1052, 11);        // dp fd
    set32(1056, 1);         // sync
    set32(1120, 4);         // ip_version
    set32(1124, networks);  // mdc_cnt
    set32(1132, 0xffffffff);
    set32(1136, 0xffffffff);
    const char name[] = "mirror-of-data";
    memcpy(&b[24], name, sizeof(name));
    for (u32 i = 0; i < networks; i++) {
      b[2196 + 36 * i + 12] = 192;
      b[2196 + 36 * i + 13] = 0;
      b[2196 + 36 * i + 14] = 2;
      b[2196 + 36 * i + 15] = (u8)(1 + i);
      b[2196 + 36 * i + 16 + 15] = (u8)(101 + i);
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
