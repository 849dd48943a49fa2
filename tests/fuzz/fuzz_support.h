// Shared set-up of the fuzz targets: a private network namespace, a fast
// platform clock, a loaded module with a mirror device on NMP3 (data and
// Cluster Partition images), control calls as the host's control worker
// makes them, and loopback connections to the device's receive loops.
//
// Every target is deterministic per input: what an input changes is put
// back before the next one (or the module is loaded anew for each input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "include/mirvol.h"

namespace fuzzsupport {

// Enters a network namespace of its own with only the loopback interface
// up, so that addresses a fuzzed record names are never reached, and sets
// the platform clock 1000 times faster than real time. Aborts when the
// namespace cannot be made (it needs root). With MIRVOL_FUZZ_LOG set in the
// environment the kernel log goes to standard error.
void init_process();

// A target's LLVMFuzzerInitialize: init_process() before the first input.
#define MIRVOL_FUZZ_INITIALIZE()                           \
  extern "C" int LLVMFuzzerInitialize(int *, char ***) { \
    fuzzsupport::init_process();                           \
    return 0;                                              \
  }

// Reports a property of the target that an input broke, and aborts.
[[noreturn]] void fail(const char *target, const char *what);

// A zero-filled image file of `bytes`, already unlinked: path() names it
// through this process's open descriptor. Zeroed again by clear().
class Image {
 public:
  explicit Image(size_t bytes);
  ~Image();
  void clear() const;
  const std::string &path() const { return path_; }
  // A read-write descriptor of its own on the image, for a target's own
  // reads and writes; aborts when it cannot be opened.
  int open_rw() const;

 private:
  size_t bytes_;
  int fd_ = -1;
  std::string path_;
};

// The module loaded with nmp_minor=3,1, the driver-wide settings of
// command 101, and a device on NMP3 over an 8 MiB data partition with a
// 6 MiB Cluster Partition (1 KiB layout), both zeroed before each load.
// A second pair of images, also zeroed before each load, is there for a
// device that a control call creates (spare_cp(), spare_dp()).
class Module {
 public:
  // cp_bytes: the Cluster Partition image (6 MiB unless a test needs room
  // for a history ring after the bitmap).
  explicit Module(size_t cp_bytes = 6 << 20);
  ~Module();
  bool load();
  void unload();
  struct nmp_info *nmp() const { return nmp_; }
  const Image &data_image() const { return dp_; }
  const Image &cp_image() const { return cp_; }
  const Image &spare_cp() const { return spare_cp_; }
  const Image &spare_dp() const { return spare_dp_; }

 private:
  Image dp_, cp_, spare_dp_, spare_cp_;
  bool loaded_ = false;
  struct nmp_info *nmp_ = nullptr;
};

// The module of a target that keeps one for the whole process: loaded on
// the first call, its device then given to `tune` once; aborts when the
// load fails.
Module *loaded_module(void (*tune)(struct nmp_info *nmp) = nullptr);

// One control call on a caller record of exactly `len` bytes, through the
// block layer's ioctl entry as the host makes it. Returns the ioctl result.
int control(u32 minor, unsigned int cmd, u8 *buf, size_t len);
// The same with the caller's descriptors: number nums[i] stands for the
// file at paths[i], opened read-write for the call and closed after it.
int control(u32 minor, unsigned int cmd, u8 *buf, size_t len, const int *nums,
            const std::string *paths, int n);

// The device's side of a loopback TCP connection, accepted by a platform
// listener on 127.0.0.1, whose other end gets `data` written to it and is
// then shut for writing. join() waits for the writer; the device's side is
// the caller's to release.
class Feed {
 public:
  Feed();
  ~Feed();
  bool ok() const { return listener_ != nullptr; }
  // Connects, accepts and starts writing. Null when the connection failed.
  struct socket *open(const uint8_t *data, size_t size);
  void join();

 private:
  struct socket *listener_ = nullptr;
  uint16_t port_ = 0;
  int peer_fd_ = -1;
  std::thread writer_;
};

// A TCP listener on 127.0.0.1 that takes every connection and reads and
// drops whatever it is sent: the peer of the device's outgoing connection.
class Sink {
 public:
  Sink();
  ~Sink();
  uint16_t port() const { return port_; }

 private:
  void run();
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
};

// Removes every wait-ACK2 entry.
void clear_wait_ack2();

}  // namespace fuzzsupport
