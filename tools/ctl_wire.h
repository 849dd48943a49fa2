// The wire format of mirvold's control socket, shared by the host and
// mirvolctl. Plain C++ over <cstdint>: the host includes it too.
//
// A Unix stream socket. One connection carries one control command:
//
//   client -> host   request: ctl_request_head, then nfds caller descriptor
//                    numbers (int32 each), then len buffer bytes, sent with
//                    the nfds descriptors as SCM_RIGHTS ancillary data in
//                    the same order as the numbers (the i-th descriptor is
//                    the caller's descriptor of the i-th number).
//   client -> host   while the call runs, any number of ctl_signal messages:
//                    a signal the caller received, posted by the host to the
//                    task that runs the command (so a sleeping command sees
//                    it pending, as a process's ioctl would).
//   host -> client   reply: ctl_reply_head, then len buffer bytes (the
//                    caller's buffer after the call), then msg_len bytes of
//                    text (no terminating 0): why the call was not carried,
//                    or, when it was, the kernel log lines the command wrote
//                    on its own task while it ran, each as "<L>text\n" with
//                    L its log level (0..7; 3 error, 4 warning, 6 info).
//
// The host then closes the connection. A client that goes away while its
// command runs (closes the connection, or only its sending half) is taken as
// a killed caller: the task running the command is sent SIGKILL. Integers are in the machine's byte order (both ends run on one
// machine); the buffer is the driver's record, little-endian by its own rules.
#pragma once

#include <cstdint>

namespace mirvol_ctl {

constexpr uint32_t REQUEST_MAGIC = 0x3143564d;  // "MVC1"
constexpr uint32_t SIGNAL_MAGIC = 0x3153564d;   // "MVS1"
constexpr uint32_t REPLY_MAGIC = 0x3152564d;    // "MVR1"

constexpr uint32_t MAX_FDS = 64;        // descriptors per request
constexpr uint32_t MAX_LEN = 1u << 20;  // buffer bytes per request
constexpr uint32_t DEVICE_LEN = 16;     // "NMP3", zero-padded, 0-terminated

struct ctl_request_head {
  uint32_t magic;           // REQUEST_MAGIC
  char device[DEVICE_LEN];  // the mirror disk's name
  uint32_t cmd;             // the ioctl command number
  uint32_t nfds;            // descriptors passed (0 .. MAX_FDS)
  uint32_t len;             // buffer bytes (0 .. MAX_LEN)
};
static_assert(sizeof(ctl_request_head) == 32);

struct ctl_signal {
  uint32_t magic;  // SIGNAL_MAGIC
  uint32_t sig;    // 1 .. 64
};
static_assert(sizeof(ctl_signal) == 8);

struct ctl_reply_head {
  uint32_t magic;    // REPLY_MAGIC
  int32_t error;     // 0: the call was carried; else -errno why not
  int32_t result;    // the ioctl's result (0 when not carried)
  uint32_t len;      // buffer bytes that follow (the request's len; 0 when not carried)
  uint32_t msg_len;  // text bytes after the buffer
  uint32_t reserved;
};
static_assert(sizeof(ctl_reply_head) == 24);

// Why a call was not carried (ctl_reply_head::error).
//   -EPROTO     the request is malformed (bad magic, sizes out of range,
//               descriptors missing or more than announced)
//   -ENODEV     the host has no mirror disk of that name
//   -ESHUTDOWN  the host is stopping and takes no more commands

// The control socket that mirvold serves and mirvolctl uses when neither is
// told another (by --control or the environment variable CONTROL_ENV).
constexpr const char *DEFAULT_SOCKET = "/run/mirvol/control.sock";
constexpr const char *CONTROL_ENV = "MIRVOL_CONTROL";

// The user address at which the host shows the caller's buffer to the driver.
constexpr unsigned long USER_ADDRESS = 0x10000;

}  // namespace mirvol_ctl
