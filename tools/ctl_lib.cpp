// mirvolctl's library: hex, status words, the device-init record and the
// control call.

#include "tools/ctl_lib.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include "include/mirvol_records.h"
#include "include/mirvol_status.h"
#include "tools/ctl_wire.h"

namespace mirvolctl {

void put(std::vector<uint8_t> *r, size_t off, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; i++) (*r)[off + i] = (uint8_t)(v >> (8 * i));
}

uint64_t get(const std::vector<uint8_t> &r, size_t off, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; i++) v |= (uint64_t)r[off + i] << (8 * i);
  return v;
}

// --- hex ---

std::string to_hex(const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool from_hex(const std::string &text, std::vector<uint8_t> *out) {
  if (text.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back((uint8_t)(hi << 4 | lo));
  }
  return true;
}

bool parse_int(const std::string &text, long long lo, long long hi, long long *out) {
  const char *s = text.c_str();
  bool neg = *s == '-';
  if (neg) s++;
  int base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  }
  if (!*s || !(base == 16 ? isxdigit((unsigned char)*s) : isdigit((unsigned char)*s))) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(s, &end, base);
  if (errno || *end) return false;
  if (neg) {
    if (v > (unsigned long long)LLONG_MAX + 1) return false;
    long long n = v == (unsigned long long)LLONG_MAX + 1 ? LLONG_MIN : -(long long)v;
    if (n < lo || n > hi) return false;
    *out = n;
    return true;
  }
  if (v > (unsigned long long)LLONG_MAX || (long long)v < lo || (long long)v > hi) return false;
  *out = (long long)v;
  return true;
}

// --- status words ---

namespace {

struct status_entry {
  uint32_t value;
  const char *name;
  const char *meaning;
};

// The names come from the driver's own header; the meanings are the
// operator's reading of each.
#define STATUS_ENTRY(name, meaning) {name, #name, meaning}
const status_entry kStatus[] = {
    STATUS_ENTRY(STATUS_OK, "success"),
    STATUS_ENTRY(STATUS_FAILED,
                 "the driver failed (a thread not started, a Cluster Partition read or write, "
                 "a bad descriptor, or not initialised)"),
    STATUS_ENTRY(STATUS_NO_MEMORY, "the driver could not allocate memory"),
    STATUS_ENTRY(STATUS_NO_DEVICE, "no mirror device was created on this minor (see init)"),
    STATUS_ENTRY(STATUS_INVALID_INIT_VALUE, "the bitmap fill value is not 0 or 1"),
    STATUS_ENTRY(STATUS_NW_NOT_INITIALIZED, "the device has no networks"),
    STATUS_ENTRY(STATUS_INVALID_PARAMETER, "the driver refused a value of the record"),
    STATUS_ENTRY(STATUS_PORT_CLOSED, "the N/W port is closed"),
    STATUS_ENTRY(STATUS_SEND_FAILED, "recovery data could not be sent"),
    STATUS_ENTRY(STATUS_READ_FAILED, "recovery data could not be read locally"),
    STATUS_ENTRY(STATUS_CANCELLED, "the recovery was cancelled"),
    STATUS_ENTRY(STATUS_REMOTE_FAILED, "the peer failed to write or receive recovery data"),
    STATUS_ENTRY(STATUS_RECOVERY_PORT_CLOSED, "recovery refused: the N/W port is closed"),
    STATUS_ENTRY(STATUS_NO_BITMAP_SIZE, "the device has no size yet (see set-size)"),
    STATUS_ENTRY(STATUS_NOT_SUBSCRIBED, "statistics are not started for this caller"),
    STATUS_ENTRY(STATUS_TIMEOUT, "time-out while waiting for the bitmap queues"),
    STATUS_ENTRY(STATUS_NW_ERROR, "the requested network is in error"),
    STATUS_ENTRY(STATUS_ALL_NW_ERROR, "all (other) networks are in error"),
    STATUS_ENTRY(STATUS_ALREADY_SWITCHED, "the requested network is already in use"),
    STATUS_ENTRY(STATUS_INVALID_HISTORY, "invalid history information was found"),
};
#undef STATUS_ENTRY

}  // namespace

const char *status_name(uint32_t status) {
  for (const auto &e : kStatus)
    if (e.value == status) return e.name;
  return nullptr;
}

const char *status_meaning(uint32_t status) {
  for (const auto &e : kStatus)
    if (e.value == status) return e.meaning;
  return "a status word the driver does not define";
}

std::string status_text(uint32_t status) {
  char hex[16];
  snprintf(hex, sizeof(hex), "%#x", status);
  const char *name = status_name(status);
  return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

// --- the device-init record ---

namespace {

enum field_kind { U16, U32, I32, U64, TEXT, MAGIC };

struct field {
  const char *key;
  size_t offset;
  field_kind kind;
  const char *def;  // default as text; null: computed (see build_init_record)
};

constexpr size_t TEXT_LEN = 1024;

// In record order, at the offsets of the shared record description.
using R = mirvol_rec::nmp_init_record;
const field kFields[] = {
    {"status", offsetof(R, status), U32, "0"},
    {"magic", offsetof(R, magic), MAGIC, "qdx"},
    {"dp_major", offsetof(R, dp_major), U16, "0"},
    {"dp_minor", offsetof(R, dp_minor), U16, "0"},
    {"cp_major", offsetof(R, cp_major), U16, "0"},
    {"cp_minor", offsetof(R, cp_minor), U16, "0"},
    {"port", offsetof(R, port), U16, "0"},
    {"minor", offsetof(R, minor), U16, "0"},
    {"bmp_size_in_sec", offsetof(R, bmp_size_in_sec), U32, "128"},
    {"name", offsetof(R, name), TEXT, ""},
    {"cp_fd", offsetof(R, cp_fd), I32, nullptr},
    {"dp_fd", offsetof(R, dp_fd), I32, nullptr},
    {"mode", offsetof(R, mode), U32, "1"},
    {"send_queue_cnt", offsetof(R, send_queue_cnt), U64, "65535"},
    {"hb_interval", offsetof(R, hb_interval), U32, "10"},
    {"hb_recv_timeout", offsetof(R, hb_recv_timeout), U32, "2"},
    {"hb_recv_retry", offsetof(R, hb_recv_retry), U32, "8"},
    {"hb_port", offsetof(R, hb_port), U16, "0"},
    {"ack2_port", offsetof(R, ack2_port), U16, "0"},
    {"connect_timeout", offsetof(R, connect_timeout), U32, "10"},
    {"send_timeout", offsetof(R, send_timeout), U32, "30"},
    {"keepalive_time", offsetof(R, keepalive_time), U32, "30"},
    {"keepalive_probe", offsetof(R, keepalive_probe), U32, "3"},
    {"keepalive_interval", offsetof(R, keepalive_interval), U32, "1"},
    {"lastupdate_delay", offsetof(R, lastupdate_delay), U32, "5"},
    {"ack_timeout", offsetof(R, ack_timeout), U32, "100"},
    {"receive_normal_timeout", offsetof(R, receive_normal_timeout), U32, "100"},
    {"ip_version", offsetof(R, ip_version), U32, nullptr},
    {"mdc_cnt", offsetof(R, mdc_cnt), U32, nullptr},
    {"active", offsetof(R, active), U32, "0"},
    {"compress", offsetof(R, compress), I32, "-1"},
    {"compress2", offsetof(R, compress2), I32, "-1"},
    {"band_limit_mode", offsetof(R, band_limit_mode), U32, "0"},
    {"band_limit", offsetof(R, band_limit), U32, "0"},
    {"unplug_flags", offsetof(R, unplug_flags), U32, "0"},
    {"unplug_flags_high", offsetof(R, unplug_flags_high), U32, "0"},
    {"unplug_switch", offsetof(R, unplug_switch), U32, "0"},
    {"iosize", offsetof(R, iosize), U32, "64"},
    {"history_size", offsetof(R, history_size), I32, "0"},
    {"history_file_size", offsetof(R, history_file_size), I32, "0"},
    {"history_dir", offsetof(R, history_dir), TEXT, ""},
};

const field *find_field(const std::string &key) {
  for (const auto &f : kFields)
    if (key == f.key) return &f;
  return nullptr;
}


// A value in range for the field; 32- and 16-bit fields also take negative
// values (stored in two's complement), for records that test the driver.
bool field_value(const field &f, const std::string &text, long long *v) {
  switch (f.kind) {
    case U16:
      return parse_int(text, -32768, 65535, v);
    case U32:
    case I32:
      return parse_int(text, INT32_MIN, UINT32_MAX, v);
    case U64:
      return parse_int(text, LLONG_MIN, LLONG_MAX, v);
    default:
      return false;
  }
}

size_t width_of(field_kind k) {
  switch (k) {
    case U16:
      return 2;
    case U64:
      return 8;
    default:
      return 4;
  }
}

const char *const kStates[] = {"FREE", "USING", "ERROR"};

// "SELF,PEER[,STATE]" into a 36-byte entry; `v6` is set when an address is
// IPv6. False with a message.
bool parse_net(const std::string &text, uint8_t entry[NET_ENTRY_SIZE], bool *v6, std::string *err) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t comma = text.find(',', from);
    parts.push_back(
        text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  if (parts.size() > 3 || parts[0].empty()) {
    *err = "net=" + text + ": expected SELF[,PEER[,STATE]]";
    return false;
  }
  // An inactive device keeps only its own address: the peer may be left out.
  if (parts.size() == 1) parts.push_back("");
  memset(entry, 0, NET_ENTRY_SIZE);
  for (int i = 0; i < 2; i++) {
    uint8_t *a = entry + 16 * i;
    if (i == 1 && parts[i].empty()) continue;
    if (inet_pton(AF_INET, parts[i].c_str(), a + 12) == 1) continue;
    if (inet_pton(AF_INET6, parts[i].c_str(), a) == 1) {
      *v6 = true;
      continue;
    }
    *err = "net=" + text + ": " + parts[i] + " is no IPv4 or IPv6 address";
    return false;
  }
  uint32_t state = 0;
  if (parts.size() == 3) {
    bool found = false;
    for (uint32_t s = 0; s < 3; s++) {
      if (strcasecmp(parts[2].c_str(), kStates[s]) == 0) {
        state = s;
        found = true;
      }
    }
    long long n;
    if (!found && parse_int(parts[2], 0, UINT32_MAX, &n)) {
      state = (uint32_t)n;
      found = true;
    }
    if (!found) {
      *err = "net=" + text + ": state " + parts[2] + " is not FREE, USING, ERROR or a number";
      return false;
    }
  }
  for (int i = 0; i < 4; i++) entry[32 + i] = (uint8_t)(state >> (8 * i));
  return true;
}

std::string address_text(const uint8_t *a, bool v6) {
  char buf[INET6_ADDRSTRLEN];
  if (!inet_ntop(v6 ? AF_INET6 : AF_INET, v6 ? a : a + 12, buf, sizeof(buf))) return "?";
  return buf;
}

// A text field's bytes up to its first 0, with bytes that are no printable
// ASCII as \xNN.
std::string field_text(const std::vector<uint8_t> &r, size_t off, size_t len) {
  std::string s;
  for (size_t i = 0; i < len && r[off + i]; i++) {
    uint8_t c = r[off + i];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      s.push_back((char)c);
    } else {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\x%02x", c);
      s += esc;
    }
  }
  return s;
}

}  // namespace

bool parse_init_args(const std::vector<std::string> &args, init_args *out, std::string *err) {
  *out = init_args();
  std::set<std::string> seen;
  for (const auto &arg : args) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      *err = "init: " + arg + " is no key=value";
      return false;
    }
    std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (key == "net") {
      if ((int)out->nets.size() == MAX_NETS) {
        *err = "init: at most " + std::to_string(MAX_NETS) + " networks";
        return false;
      }
      uint8_t entry[NET_ENTRY_SIZE];
      bool v6 = false;
      if (!parse_net(value, entry, &v6, err)) return false;
      out->nets.push_back(value);
      continue;
    }
    if (!seen.insert(key).second) {
      *err = "init: " + key + " given twice";
      return false;
    }
    if (key == "cp" || key == "dp") {
      if (value.empty()) {
        *err = "init: " + key + "= needs a path";
        return false;
      }
      (key == "cp" ? out->cp_path : out->dp_path) = value;
      continue;
    }
    const field *f = find_field(key);
    if (!f) {
      *err = "init: unknown field " + key;
      return false;
    }
    long long v = 0;
    bool ok;
    if (f->kind == TEXT) {
      ok = value.size() < TEXT_LEN && value.find('\0') == std::string::npos;
    } else if (f->kind == MAGIC) {
      ok = value.size() <= 4;
    } else if (key == "mode" && (value == "sync" || value == "async")) {
      ok = true;
      value = value == "sync" ? "1" : "0";
    } else {
      ok = field_value(*f, value, &v);
    }
    if (!ok) {
      *err = "init: bad value for " + key + ": " + value;
      return false;
    }
    if (key == "cp_fd") {
      out->cp_fd_given = true;
      out->cp_fd = (int)v;
    } else if (key == "dp_fd") {
      out->dp_fd_given = true;
      out->dp_fd = (int)v;
    } else {
      out->fields.emplace_back(key, value);
    }
  }
  return true;
}

bool net_has_peer(const std::string &net) {
  size_t comma = net.find(',');
  return comma != std::string::npos && comma + 1 < net.size() && net[comma + 1] != ',';
}

bool check_init_networks(const init_args &a, std::string *err) {
  bool active = false;
  for (const auto &kv : a.fields) {
    long long v;
    if (kv.first == "active") active = parse_int(kv.second, INT32_MIN, UINT32_MAX, &v) && v == 1;
  }
  if (a.nets.empty()) {
    *err = "init: no net=SELF,PEER: a device needs the addresses of its mirror network";
    return false;
  }
  for (const auto &n : a.nets) {
    if (net_has_peer(n) && !active) {
      *err = "init: net=" + n +
             " gives a peer, but without active=1 the driver drops the peer's address and "
             "starts no threads; give active=1 (or net=SELF for an inactive device)";
      return false;
    }
    if (!net_has_peer(n) && active) {
      *err = "init: net=" + n + " gives no peer address, which an active device needs";
      return false;
    }
  }
  return true;
}

bool build_init_record(const init_args &a, std::vector<uint8_t> *record, std::string *err) {
  auto given = [&](const char *key) -> const std::string * {
    for (const auto &kv : a.fields)
      if (kv.first == key) return &kv.second;
    return nullptr;
  };

  std::vector<uint8_t> entries;
  bool v6 = false;
  for (const auto &n : a.nets) {
    uint8_t entry[NET_ENTRY_SIZE];
    if (!parse_net(n, entry, &v6, err)) return false;
    entries.insert(entries.end(), entry, entry + NET_ENTRY_SIZE);
  }
  long long mdc = a.nets.empty() ? 1 : (long long)a.nets.size();
  if (const std::string *m = given("mdc_cnt")) parse_int(*m, INT32_MIN, UINT32_MAX, &mdc);
  // Room for every network the record announces (the driver reads mdc_cnt
  // entries), at least the first, at most what a valid record holds.
  size_t slots = std::max<size_t>(1, a.nets.size());
  if (mdc > (long long)slots && mdc <= MAX_NETS) slots = (size_t)mdc;

  record->assign(INIT_RECORD_SIZE + NET_ENTRY_SIZE * (slots - 1), 0);
  for (const auto &f : kFields) {
    const std::string *value = given(f.key);
    std::string computed;
    if (!value) {
      if (f.def) {
        computed = f.def;
      } else if (!strcmp(f.key, "cp_fd")) {
        computed = std::to_string(a.cp_fd);
      } else if (!strcmp(f.key, "dp_fd")) {
        computed = std::to_string(a.dp_fd);
      } else if (!strcmp(f.key, "ip_version")) {
        computed = v6 ? "6" : "4";
      } else {  // mdc_cnt
        computed = std::to_string(mdc);
      }
      value = &computed;
    }
    if (f.kind == TEXT || f.kind == MAGIC) {
      size_t room = f.kind == TEXT ? TEXT_LEN - 1 : 4;
      if (value->size() > room) {
        *err = std::string("init: ") + f.key + " is too long";
        return false;
      }
      memcpy(record->data() + f.offset, value->data(), value->size());
      continue;
    }
    long long v;
    if (!field_value(f, *value, &v)) {
      *err = std::string("init: bad value for ") + f.key + ": " + *value;
      return false;
    }
    put(record, f.offset, (uint64_t)v, width_of(f.kind));
  }
  if (!entries.empty()) memcpy(record->data() + NET_ENTRY_OFFSET, entries.data(), entries.size());
  return true;
}

std::vector<std::string> describe_init_record(const std::vector<uint8_t> &r) {
  std::vector<std::string> lines;
  if (r.size() < INIT_RECORD_SIZE) {
    lines.push_back("record=" + to_hex(r));
    return lines;
  }
  for (const auto &f : kFields) {
    std::string v;
    switch (f.kind) {
      case U16:
      case U32:
      case U64:
        v = std::to_string(get(r, f.offset, width_of(f.kind)));
        break;
      case I32:
        v = std::to_string((int32_t)get(r, f.offset, 4));
        break;
      case TEXT:
        v = field_text(r, f.offset, TEXT_LEN);
        break;
      case MAGIC:
        v = field_text(r, f.offset, 4);
        break;
    }
    if (!strcmp(f.key, "status")) v = status_text((uint32_t)get(r, 0, 4));
    lines.push_back(std::string(f.key) + "=" + v);
  }
  bool v6 = get(r, offsetof(R, ip_version), 4) == 6;
  for (size_t off = NET_ENTRY_OFFSET; off + NET_ENTRY_SIZE <= r.size(); off += NET_ENTRY_SIZE) {
    uint32_t state = (uint32_t)get(r, off + 32, 4);
    std::string st = state < 3 ? kStates[state] : std::to_string(state);
    lines.push_back("net=" + address_text(&r[off], v6) + "," + address_text(&r[off + 16], v6) +
                    "," + st);
  }
  return lines;
}

std::string init_keys_help(void) {
  std::string s;
  size_t col = 0;
  auto add = [&](const std::string &item) {
    if (col + item.size() + 1 > 76) {
      s += "\n";
      col = 0;
    }
    s += "  " + item;
    col += item.size() + 2;
  };
  add("cp=PATH");
  add("dp=PATH");
  add("net=SELF,PEER[,FREE|USING|ERROR]");
  for (const auto &f : kFields) {
    std::string item = f.key;
    if (!strcmp(f.key, "mode")) item += "=sync|async|N";
    if (f.def && *f.def && strcmp(f.def, "0")) {
      item += '(';
      item += f.def;
      item += ')';
    }
    add(item);
  }
  return s +
         "\n  ip_version is 6 when a network address is IPv6, else 4; mdc_cnt is the number of\n"
         "  networks; cp_fd and dp_fd are the numbers cp= and dp= are passed under (-1 without).\n";
}

// --- the control call ---

std::string default_socket(void) {
  const char *env = getenv(mirvol_ctl::CONTROL_ENV);
  return env && *env ? env : mirvol_ctl::DEFAULT_SOCKET;
}

namespace {

bool send_all(int fd, const uint8_t *p, size_t len) {
  while (len) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

// Sends the request: the descriptors travel with its first bytes.
bool send_request(int fd, const std::vector<uint8_t> &msg, const std::vector<passed_fd> &fds) {
  size_t done = 0;
  if (!fds.empty()) {
    std::vector<char> cbuf(CMSG_SPACE(sizeof(int) * fds.size()), 0);
    struct iovec iov = {const_cast<uint8_t *>(msg.data()), msg.size()};
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = cbuf.data();
    mh.msg_controllen = cbuf.size();
    struct cmsghdr *c = CMSG_FIRSTHDR(&mh);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    for (size_t i = 0; i < fds.size(); i++)
      memcpy(CMSG_DATA(c) + i * sizeof(int), &fds[i].fd, sizeof(int));
    ssize_t n;
    do {
      n = sendmsg(fd, &mh, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    done = (size_t)n;
  }
  return send_all(fd, msg.data() + done, msg.size() - done);
}

}  // namespace

call_result control_call(const std::string &socket_path, const std::string &device, uint32_t cmd,
                         const std::vector<uint8_t> &buf, const std::vector<passed_fd> &fds,
                         int signal_fd) {
  using namespace mirvol_ctl;
  call_result res;
  auto fail = [&](int e, const std::string &msg) {
    res.error = e;
    res.message = msg;
    return res;
  };
  if (device.size() >= DEVICE_LEN) return fail(-EINVAL, "device name " + device + " is too long");
  if (fds.size() > MAX_FDS)
    return fail(-EINVAL, "more than " + std::to_string(MAX_FDS) + " descriptors");
  if (buf.size() > MAX_LEN)
    return fail(-EINVAL, "buffer larger than " + std::to_string(MAX_LEN) + " bytes");

  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof(addr.sun_path))
    return fail(-EINVAL, "control socket path " + socket_path + " is empty or too long");
  memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(-errno, std::string("no socket: ") + strerror(errno));
  int r;
  do {
    r = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    int e = errno;
    close(fd);
    return fail(-e, "cannot connect to the control socket " + socket_path + ": " + strerror(e) +
                        " (is mirvold running, and on this socket?)");
  }

  ctl_request_head h = {};
  h.magic = REQUEST_MAGIC;
  memcpy(h.device, device.data(), device.size());
  h.cmd = cmd;
  h.nfds = (uint32_t)fds.size();
  h.len = (uint32_t)buf.size();
  std::vector<uint8_t> msg(sizeof(h) + fds.size() * sizeof(int32_t) + buf.size());
  memcpy(msg.data(), &h, sizeof(h));
  for (size_t i = 0; i < fds.size(); i++) {
    int32_t num = fds[i].caller_num;
    memcpy(msg.data() + sizeof(h) + i * sizeof(num), &num, sizeof(num));
  }
  if (!buf.empty())
    memcpy(msg.data() + sizeof(h) + fds.size() * sizeof(int32_t), buf.data(), buf.size());
  if (!send_request(fd, msg, fds)) {
    int e = errno;
    close(fd);
    return fail(-e, std::string("cannot send the request: ") + strerror(e));
  }

  // The host closes the connection after its reply; meanwhile signals we
  // receive are passed on.
  std::vector<uint8_t> in;
  for (;;) {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
    int n = poll(p, signal_fd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      return fail(-e, std::string("poll: ") + strerror(e));
    }
    if (signal_fd >= 0 && (p[1].revents & POLLIN)) {
      uint8_t sigs[16];
      ssize_t k = read(signal_fd, sigs, sizeof(sigs));
      for (ssize_t i = 0; i < k; i++) {
        ctl_signal s = {SIGNAL_MAGIC, sigs[i]};
        send_all(fd, reinterpret_cast<const uint8_t *>(&s), sizeof(s));
        res.signal = sigs[i];
      }
    }
    if (!p[0].revents) continue;
    uint8_t chunk[65536];
    ssize_t k = recv(fd, chunk, sizeof(chunk), 0);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) {
      int e = errno;
      close(fd);
      return fail(-e, std::string("cannot read the answer: ") + strerror(e));
    }
    if (k == 0) break;
    in.insert(in.end(), chunk, chunk + k);
  }
  close(fd);

  ctl_reply_head rh;
  if (in.size() < sizeof(rh))
    return fail(-ECONNRESET, "the host closed the connection without an answer");
  memcpy(&rh, in.data(), sizeof(rh));
  if (rh.magic != REPLY_MAGIC || in.size() != sizeof(rh) + (size_t)rh.len + rh.msg_len)
    return fail(-EPROTO, "the host's answer is malformed");
  std::string text(in.begin() + sizeof(rh) + rh.len, in.end());
  if (rh.error) return fail(rh.error, text.empty() ? strerror(-rh.error) : text);
  res.carried = true;
  res.log = text;
  res.result = rh.result;
  res.buf.assign(in.begin() + sizeof(rh), in.begin() + sizeof(rh) + rh.len);
  return res;
}

}  // namespace mirvolctl
