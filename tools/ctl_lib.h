// mirvolctl's library: hex text, status words, the device-init record of
// command 102 built from key=value fields and printed back, and one control
// call over mirvold's control socket (wire format: ctl_wire.h).
// POSIX and the C++ standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "include/mirvol_records.h"

namespace mirvolctl {

// --- hex ---

// Lowercase, no separators.
std::string to_hex(const std::vector<uint8_t> &bytes);
// Pairs of hex digits (either case); false for anything else.
bool from_hex(const std::string &text, std::vector<uint8_t> *out);

// A number in decimal, or hex after "0x"; -1 style negatives allowed when
// `allow_negative`. False when the text is no number or out of [lo, hi].
bool parse_int(const std::string &text, long long lo, long long hi, long long *out);

// Little-endian fields of a record: `width` bytes at `off`.
void put(std::vector<uint8_t> *r, size_t off, uint64_t v, size_t width);
uint64_t get(const std::vector<uint8_t> &r, size_t off, size_t width);

// --- status words ---

// The name of a status word ("STATUS_OK"), or null when it has none.
const char *status_name(uint32_t status);
// What a status word means, in words.
const char *status_meaning(uint32_t status);
// "STATUS_OK (0x800000)", or "0x..." for a value without a name.
std::string status_text(uint32_t status);

// --- the device-init record (command 102) ---

constexpr uint32_t CMD_NMP_INIT = 102;
constexpr size_t INIT_RECORD_SIZE = sizeof(mirvol_rec::nmp_init_record);  // holds the first network
constexpr size_t NET_ENTRY_SIZE = sizeof(mirvol_rec::net_entry);
constexpr size_t NET_ENTRY_OFFSET = offsetof(mirvol_rec::nmp_init_record, nets);
constexpr int MAX_NETS = 2;

// The fields as given on the command line.
struct init_args {
  std::vector<std::pair<std::string, std::string>> fields;  // key, value, in order
  std::vector<std::string> nets;                            // net=SELF,PEER[,STATE]
  std::string cp_path, dp_path;                             // cp=PATH, dp=PATH
  bool cp_fd_given = false, dp_fd_given = false;            // cp_fd=N, dp_fd=N
  int cp_fd = -1, dp_fd = -1;
};

// Sorts key=value arguments into `out`, checking keys and values. False with
// a message for an unknown key, a bad value, a repeated key or too many
// networks.
bool parse_init_args(const std::vector<std::string> &args, init_args *out, std::string *err);

// What the driver takes without a word but cannot use: no network, a peer
// address for a device that is not active=1 (the driver drops it and starts
// no threads), an active device without a peer. False with a message.
bool check_init_networks(const init_args &a, std::string *err);

// Builds the record: every field at its offset, defaults for those not
// given, the networks from 2196 (36 bytes each; the record grows by 36 per
// network beyond the first), cp_fd/dp_fd at 1048/1052. False with a message
// when a value does not fit its field.
bool build_init_record(const init_args &a, std::vector<uint8_t> *record, std::string *err);

// The fields of an answered record, one "key=value" per line, in record
// order (the networks the record holds as net=SELF,PEER,STATE).
std::vector<std::string> describe_init_record(const std::vector<uint8_t> &record);

// The names of the keys `init` takes, with their defaults, for the usage text.
std::string init_keys_help(void);

// --- the control call ---

struct passed_fd {
  int caller_num;  // the number the driver sees
  int fd;          // our descriptor
};

struct call_result {
  bool carried = false;  // false: `message` says why
  int error = 0;         // -errno why not carried
  std::string message;
  int32_t result = 0;  // the ioctl's result
  std::vector<uint8_t> buf;
  int signal = 0;  // the last signal forwarded while the call ran (0: none)
  std::string log;  // carried: the log lines the command wrote, "<L>text\n" each
};

// Issues one control command on DEVICE through the host's socket at SOCKET.
// While waiting for the answer, every signal number that becomes readable on
// `signal_fd` (one byte each; -1: none) is forwarded to the host, which posts
// it to the command.
call_result control_call(const std::string &socket, const std::string &device, uint32_t cmd,
                         const std::vector<uint8_t> &buf, const std::vector<passed_fd> &fds,
                         int signal_fd);

// The socket to use: $MIRVOL_CONTROL when set, else mirvold's default socket.
std::string default_socket(void);

}  // namespace mirvolctl
