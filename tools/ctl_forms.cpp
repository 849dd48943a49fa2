// mirvolctl's named forms for the device-port and run-time commands.

#include "tools/ctl_forms.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <set>

#include "include/mirvol_records.h"
#include "tools/ctl_lib.h"

namespace mirvolctl {

namespace {

enum kind { U32, I32, U64, TEXT16 };  // TEXT16: answer only, zero-padded text

struct field_def {
  const char *name;
  size_t offset;
  kind k;
  const char *def;  // key fields: the default; positional fields: null
};

enum layout { PLAIN, PORT, NETSTATUS };

struct form {
  const char *name;
  uint32_t cmd;  // PORT: the command of "open"; see port_cmd()
  size_t size;
  layout sp;
  std::vector<field_def> pos;   // positional arguments, in order, all required
  std::vector<field_def> keys;  // key=value arguments, with defaults
  std::vector<field_def> out;   // the answer's fields
  bool magic = false;           // the record carries "qdx" and a zero byte at offset 4
};

// The driver-wide settings, with the driver's defaults.
const std::vector<field_def> kSettings = {
    {"interval", offsetof(mirvol_rec::network_init_record, interval), U32, "100"},
    {"max_cachenum", offsetof(mirvol_rec::network_init_record, max_cachenum), U32, "256"},
    {"mirvolperf", offsetof(mirvol_rec::network_init_record, mirvolperf), U32, "0"},
    {"printkperf", offsetof(mirvol_rec::network_init_record, printkperf), U32, "0"},
    {"barrier_check_method", offsetof(mirvol_rec::network_init_record, barrier_check_method), U32,
     "0"},
    {"barrier_log_level", offsetof(mirvol_rec::network_init_record, barrier_log_level), U32, "0"},
    {"queue_limits_method", offsetof(mirvol_rec::network_init_record, queue_limits_method), U32,
     "1"},
    {"limits_log_flag", offsetof(mirvol_rec::network_init_record, limits_log_flag), U32, "0"},
    {"history_cache_delnum", offsetof(mirvol_rec::network_init_record, history_cache_delnum), I32,
     "2"},
    {"status", offsetof(mirvol_rec::network_init_record, status), U32, "0"},
};
// The settings as answered (the status word is shown on its own).
const std::vector<field_def> kSettingsOut(kSettings.begin(), kSettings.end() - 1);

const std::vector<field_def> kParams = {
    {"hb_interval", offsetof(mirvol_rec::nmp_param_record, hb_interval), U32, "10"},
    {"hb_recv_timeout", offsetof(mirvol_rec::nmp_param_record, hb_recv_timeout), U32, "2"},
    {"hb_recv_retry", offsetof(mirvol_rec::nmp_param_record, hb_recv_retry), U32, "8"},
    {"connect_timeout", offsetof(mirvol_rec::nmp_param_record, connect_timeout), U32, "10"},
    {"send_timeout", offsetof(mirvol_rec::nmp_param_record, send_timeout), U32, "30"},
    {"keepalive_time", offsetof(mirvol_rec::nmp_param_record, keepalive_time), U32, "30"},
    {"keepalive_probe", offsetof(mirvol_rec::nmp_param_record, keepalive_probe), U32, "3"},
    {"keepalive_interval", offsetof(mirvol_rec::nmp_param_record, keepalive_interval), U32, "1"},
    {"lastupdate_delay", offsetof(mirvol_rec::nmp_param_record, lastupdate_delay), U32, "5"},
    {"ack_timeout", offsetof(mirvol_rec::nmp_param_record, ack_timeout), U32, "100"},
    {"receive_normal_timeout", offsetof(mirvol_rec::nmp_param_record, receive_normal_timeout), U32,
     "100"},
    {"send_queue_cnt", offsetof(mirvol_rec::nmp_param_record, send_queue_cnt), U64, "65535"},
    {"band_limit_mode", offsetof(mirvol_rec::nmp_param_record, band_limit_mode), U32, "0"},
    {"band_limit", offsetof(mirvol_rec::nmp_param_record, band_limit), U32, "0"},
};

// The single value of the small records.
constexpr size_t V = offsetof(mirvol_rec::value_record, value);
const std::vector<field_def> kLimits = {
    {"min", offsetof(mirvol_rec::request_limit_record, min), U32, nullptr},
    {"max", offsetof(mirvol_rec::request_limit_record, max), U32, nullptr},
    {"current", offsetof(mirvol_rec::request_limit_record, current), U32, nullptr}};
const std::vector<field_def> kActions = {
    {"action_flag", offsetof(mirvol_rec::disk_error_action_record, action_flag), U32, nullptr},
    {"cp_action", offsetof(mirvol_rec::disk_error_action_record, cp_action), U32, nullptr},
    {"dp_action", offsetof(mirvol_rec::disk_error_action_record, dp_action), U32, nullptr}};

const std::vector<field_def> kRecoveryRange = {
    {"startbit", offsetof(mirvol_rec::recovery_record, startbit), I32, nullptr},
    {"endbit", offsetof(mirvol_rec::recovery_record, endbit), I32, nullptr}};
const field_def kBlockSize = {"block_size", offsetof(mirvol_rec::block_size_record, block_size),
                              I32, nullptr};
const field_def kPriority = {"priority", offsetof(mirvol_rec::mdc_switch_record, mdc_priority), I32,
                             nullptr};

// Command 81: subscribe (start=1) or unsubscribe (start=0) PID to the
// device's statistics; clear=1 zeroes them; control is the device's control
// word (bit 30 clear: make /proc/mirvolperf).
const std::vector<field_def> kPerfSubscriber = {
    {"pid", offsetof(mirvol_rec::perf_set_record, pid), U32, nullptr}};
const std::vector<field_def> kPerfSet = {
    {"start", offsetof(mirvol_rec::perf_set_record, start), U32, "1"},
    {"clear", offsetof(mirvol_rec::perf_set_record, clear), U32, "0"},
    {"control", offsetof(mirvol_rec::perf_set_record, control), U32, "0x7fffffff"},
    {"interval", offsetof(mirvol_rec::perf_set_record, interval), U32, "10"},
};
// Command 82: the counters by name, at the offsets and widths of the
// driver's image; my_ are the reader's own peaks since its last read.
#define PERF_FIELD(name, field)                                                              \
  {name, offsetof(mirvol_rec::perf_get_record, image) + offsetof(mirvol_rec::perf_image, field), \
   sizeof(mirvol_rec::perf_image::field) == 8 ? U64 : U32, nullptr}
const std::vector<field_def> kPerfCounters = {
    PERF_FIELD("write_bytes", nmp_write_bytes),
    PERF_FIELD("read_bytes", nmp_read_bytes),
    PERF_FIELD("dp_write_bytes", active_write_bytes),
    PERF_FIELD("dp_read_bytes", active_read_bytes),
    PERF_FIELD("standby_write_bytes", standby_write_bytes),
    PERF_FIELD("standby_read_bytes", standby_read_bytes),
    PERF_FIELD("recovery_write_bytes", recovery_write_bytes),
    PERF_FIELD("recovery_read_bytes", recovery_read_bytes),
    PERF_FIELD("writes_in_flight", write_req_now),
    PERF_FIELD("writes_in_flight_peak", write_req_peak),
    PERF_FIELD("tcp_bytes", tcp_send_bytes),
    PERF_FIELD("echo_bytes", echo_send_bytes),
    PERF_FIELD("sync_data_bytes", sync_data_bytes),
    PERF_FIELD("sync_sent_bytes", sync_send_bytes),
    PERF_FIELD("recovery_data_bytes", recovery_data_bytes),
    PERF_FIELD("recovery_sent_bytes", recovery_send_bytes),
    PERF_FIELD("waiting_bytes", waiting_sync_bytes),
    PERF_FIELD("my_waiting_bytes_peak", sub_waiting_peak),
    PERF_FIELD("send_queue", send_q_now),
    PERF_FIELD("send_queue_peak", send_q_peak),
    PERF_FIELD("ack1_count", ack1_count),
    PERF_FIELD("ack1_total_ms", ack1_total_ms),
    PERF_FIELD("my_ack1_peak_ms", sub_ack1_peak),
    PERF_FIELD("ack_latest_ms", ack_latest),
    PERF_FIELD("ack_peak_ms", ack_peak),
    PERF_FIELD("ack1_latest_ms", ack1_latest),
    PERF_FIELD("ack1_peak_ms", ack1_peak),
    PERF_FIELD("ack2_latest_ms", ack2_latest),
    PERF_FIELD("ack2_peak_ms", ack2_peak),
    PERF_FIELD("ack1_timeout_queue", dcpq_now),
    PERF_FIELD("ack1_timeout_queue_peak", dcpq_peak),
    PERF_FIELD("echo_latest_ms", echo_latest),
    PERF_FIELD("echo_peak_ms", echo_peak),
    PERF_FIELD("write_wait_recovery_ms", sync_wait_recovery_ms),
    PERF_FIELD("recovery_wait_write_ms", recovery_wait_sync_ms),
    PERF_FIELD("unmirrored_writes", unmirrored_count),
    PERF_FIELD("unmirrored_bytes", unmirrored_bytes),
    PERF_FIELD("ack2_count", ack2_count),
    PERF_FIELD("my_ack_peak_ms", sub_ack_peak),
    PERF_FIELD("my_send_queue_peak", sub_send_q_peak),
    PERF_FIELD("my_writes_in_flight_peak", sub_write_req_peak),
    PERF_FIELD("echo_peak_since_read_ms", echo_peak_since_read),
};
#undef PERF_FIELD

const form kForms[] = {
    {"port", 5, sizeof(mirvol_rec::port_record), PORT, {}, {}, {}},
    {"set-size",
     16,
     sizeof(mirvol_rec::size_record),
     PLAIN,
     {{"size_kib", offsetof(mirvol_rec::size_record, size_kib), U64, nullptr}},
     {{"granule", offsetof(mirvol_rec::size_record, granule), U32, "128"}},
     {{"size_kib", offsetof(mirvol_rec::size_record, size_kib), U64, nullptr},
      {"granule", offsetof(mirvol_rec::size_record, granule), U32, nullptr}}},
    {"get-granule",
     17,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {},
     {},
     {{"granule", V, U32, nullptr}}},
    {"set-param", 8, sizeof(mirvol_rec::nmp_param_record), PLAIN, {}, kParams, kParams},
    {"netstatus",
     9,
     sizeof(mirvol_rec::netstatus_record),
     NETSTATUS,
     {},
     {{"networks", offsetof(mirvol_rec::netstatus_record, mdc_cnt), U32, "1"}},
     {}},
    {"drive-info",
     40,
     sizeof(mirvol_rec::drive_info_record),
     PLAIN,
     {},
     {},
     {{"nw", offsetof(mirvol_rec::drive_info_record, nw), U32, nullptr},
      {"io", offsetof(mirvol_rec::drive_info_record, io), U32, nullptr},
      {"mount", offsetof(mirvol_rec::drive_info_record, mount), U32, nullptr},
      {"disk_error", offsetof(mirvol_rec::drive_info_record, disk_error), U32, nullptr}}},
    {"get-request-limit",
     50,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {},
     {},
     {{"limit", V, U32, nullptr}}},
    {"set-request-limit",
     51,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {{"limit", V, U32, nullptr}},
     {},
     {{"limit", V, U32, nullptr}}},
    {"init-request-limit",
     52,
     sizeof(mirvol_rec::request_limit_record),
     PLAIN,
     kLimits,
     {},
     kLimits},
    {"get-send-queue",
     54,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {},
     {},
     {{"size", V, I32, nullptr}}},
    {"set-send-queue",
     55,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {{"size", V, I32, nullptr}},
     {},
     {{"size", V, I32, nullptr}}},
    {"set-ratio",
     61,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {{"ratio", V, I32, nullptr}},
     {},
     {{"ratio", V, I32, nullptr}}},
    {"get-sync-flags",
     66,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {},
     {},
     {{"flags", V, U32, nullptr}}},
    {"set-sync-flags",
     67,
     sizeof(mirvol_rec::value_record),
     PLAIN,
     {{"flags", V, U32, nullptr}},
     {},
     {{"flags", V, U32, nullptr}}},
    {"get-mode", 70, sizeof(mirvol_rec::value_record), PLAIN, {}, {}, {{"mode", V, U32, nullptr}}},
    {"network-init",
     101,
     sizeof(mirvol_rec::network_init_record),
     PLAIN,
     {},
     kSettings,
     kSettingsOut,
     true},
    {"set-bitmap-from-fs",
     77,
     sizeof(mirvol_rec::fs_bitmap_record),
     PLAIN,
     {},
     {},
     {{"fs_type", offsetof(mirvol_rec::fs_bitmap_record, fs_type), TEXT16, nullptr},
      {"log_block_size", offsetof(mirvol_rec::fs_bitmap_record, log_block_size), U32, nullptr},
      {"blocks", offsetof(mirvol_rec::fs_bitmap_record, blocks), U64, nullptr},
      {"used", offsetof(mirvol_rec::fs_bitmap_record, used), U64, nullptr},
      {"bits_set", offsetof(mirvol_rec::fs_bitmap_record, bits_set), U32, nullptr}}},
    {"get-fs-block-count",
     78,
     sizeof(mirvol_rec::fs_count_record),
     PLAIN,
     {},
     {},
     {{"estimate", offsetof(mirvol_rec::fs_count_record, estimate), U64, nullptr},
      {"used", offsetof(mirvol_rec::fs_count_record, used), U64, nullptr}}},
    {"prepare-recovery", 60, 4, PLAIN, {}, {}, {}},
    {"set-disk-error-action",
     21,
     sizeof(mirvol_rec::disk_error_action_record),
     PLAIN,
     kActions,
     {},
     kActions},
    // The recovery of a range of bitmap bits; mirvolctl's recover form also
    // walks the bitmap in chunks through it.
    {"recover",
     10,
     sizeof(mirvol_rec::recovery_record),
     PLAIN,
     kRecoveryRange,
     {},
     kRecoveryRange},
    {"get-block-size",
     14,
     sizeof(mirvol_rec::block_size_record),
     PLAIN,
     {},
     {},
     {kBlockSize}},
    {"set-block-size",
     15,
     sizeof(mirvol_rec::block_size_record),
     PLAIN,
     {kBlockSize},
     {},
     {kBlockSize}},
    {"diff-size", 32, sizeof(mirvol_rec::value_record), PLAIN, {}, {}, {{"bits", V, U32, nullptr}}},
    {"switch-network",
     79,
     sizeof(mirvol_rec::mdc_switch_record),
     PLAIN,
     {kPriority},
     {},
     {kPriority}},
    {"cancel-recovery", 80, 4, PLAIN, {}, {}, {}},
    {"clear-history", 84, 4, PLAIN, {}, {}, {}},
    {"convert-history", 85, 4, PLAIN, {}, {}, {}},
    {"set-perf", 81, sizeof(mirvol_rec::perf_set_record), PLAIN, kPerfSubscriber, kPerfSet, {}},
    {"get-perf", 82, sizeof(mirvol_rec::perf_get_record), PLAIN,
     {{"pid", offsetof(mirvol_rec::perf_get_record, pid), U32, nullptr}}, {}, kPerfCounters},
    {"stop", 72, 4, PLAIN, {}, {}, {}},
    {"start", 74, 4, PLAIN, {}, {}, {}},
    {"wait-send-queue", 53, 4, PLAIN, {}, {}, {}},
    {"wait-drain", 86, 4, PLAIN, {}, {}, {}},
};

// The ports: their flag bits and where the answer of "get" holds them.
struct port_def {
  const char *name;
  uint32_t bit;
  size_t answer_offset;
};
const port_def kPorts[] = {{"io", 1, offsetof(mirvol_rec::port_record, io)},
                           {"nw", 2, offsetof(mirvol_rec::port_record, nw)},
                           {"mount", 4, offsetof(mirvol_rec::port_record, mount)}};
const char *const kPortActions[] = {"open", "close", "get"};  // commands 5, 6, 7

constexpr int MAX_STATUS_NETS = 16;
constexpr size_t NET_STATUS_ENTRY = sizeof(mirvol_rec::net_entry);
constexpr size_t NET_STATUS_FIRST = offsetof(mirvol_rec::netstatus_record, nets);
const char *const kNetStates[] = {"FREE", "USING", "ERROR"};

const form *find_form(const std::string &name) {
  for (const auto &f : kForms)
    if (name == f.name) return &f;
  return nullptr;
}

size_t width_of(kind k) { return k == TEXT16 ? 16 : k == U64 ? 8 : 4; }

// 32-bit fields take negative values too (two's complement), for records
// that test the driver, as init's fields do.
bool field_value(const field_def &f, const std::string &text, long long *v) {
  if (f.k == U64) return parse_int(text, LLONG_MIN, LLONG_MAX, v);
  return parse_int(text, INT32_MIN, UINT32_MAX, v);
}

std::string field_text(const field_def &f, const std::vector<uint8_t> &r) {
  if (f.k == TEXT16) {
    std::string t(reinterpret_cast<const char *>(&r[f.offset]), 16);
    t.resize(strnlen(t.c_str(), 16));
    return t.empty() ? "-" : t;
  }
  uint64_t v = get(r, f.offset, width_of(f.k));
  if (f.k == I32) return std::to_string((int32_t)v);
  return std::to_string(v);
}

// PORT: the action and the ports asked; false with a message.
bool parse_ports(const std::vector<std::string> &args, int *action, uint32_t *flags,
                 std::string *err) {
  *action = -1;
  *flags = 0;
  if (!args.empty())
    for (int i = 0; i < 3; i++)
      if (args[0] == kPortActions[i]) *action = i;
  if (*action < 0) {
    *err = "port takes open, close or get, then io, nw or mount";
    return false;
  }
  if (args.size() < 2) {
    *err = "port " + args[0] + " needs one or more of io, nw, mount";
    return false;
  }
  for (size_t i = 1; i < args.size(); i++) {
    const port_def *p = nullptr;
    for (const auto &pd : kPorts)
      if (args[i] == pd.name) p = &pd;
    if (!p) {
      *err = "port: unknown port " + args[i] + " (io, nw or mount)";
      return false;
    }
    if (*flags & p->bit) {
      *err = "port: " + args[i] + " given twice";
      return false;
    }
    *flags |= p->bit;
  }
  return true;
}

std::string net_address(const uint8_t *a, bool v4) {
  char buf[INET6_ADDRSTRLEN];
  if (!inet_ntop(v4 ? AF_INET : AF_INET6, v4 ? a + 12 : a, buf, sizeof(buf))) return "?";
  return buf;
}

}  // namespace

bool is_record_form(const std::string &name) { return find_form(name) != nullptr; }

bool build_form_record(const std::string &name, const std::vector<std::string> &args, uint32_t *cmd,
                       std::vector<uint8_t> *record, std::string *err) {
  const form *f = find_form(name);
  if (!f) {
    *err = "unknown command " + name;
    return false;
  }
  if (f->sp == PORT) {
    int action;
    uint32_t flags;
    if (!parse_ports(args, &action, &flags, err)) return false;
    *cmd = f->cmd + (uint32_t)action;
    record->assign(f->size, 0);
    put(record, offsetof(mirvol_rec::port_record, flags), flags, 4);
    return true;
  }
  std::vector<const std::string *> keyed(f->keys.size(), nullptr);
  size_t npos = 0;
  std::vector<std::pair<const field_def *, std::string>> values;
  for (const auto &arg : args) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      if (npos == f->pos.size()) {
        *err = name + ": unexpected argument " + arg;
        return false;
      }
      values.emplace_back(&f->pos[npos++], arg);
      continue;
    }
    std::string key = arg.substr(0, eq);
    size_t k = 0;
    while (k < f->keys.size() && key != f->keys[k].name) k++;
    if (k == f->keys.size()) {
      *err = name + ": unknown key " + key;
      return false;
    }
    if (keyed[k]) {
      *err = name + ": " + key + " given twice";
      return false;
    }
    keyed[k] = &arg;
    values.emplace_back(&f->keys[k], arg.substr(eq + 1));
  }
  if (npos < f->pos.size()) {
    std::string need;
    for (const auto &p : f->pos) need += std::string(" ") + p.name;
    *err = name + " needs" + need;
    return false;
  }
  for (size_t k = 0; k < f->keys.size(); k++)
    if (!keyed[k]) values.emplace_back(&f->keys[k], f->keys[k].def);

  size_t size = f->size;
  if (f->sp == NETSTATUS) {
    long long n = 0;
    for (const auto &v : values)
      if (!parse_int(v.second, 1, MAX_STATUS_NETS, &n)) {
        *err =
            name + ": networks takes 1 to " + std::to_string(MAX_STATUS_NETS) + ", not " + v.second;
        return false;
      }
    size += NET_STATUS_ENTRY * (size_t)(n - 1);
  }
  record->assign(size, 0);
  if (f->magic) memcpy(record->data() + offsetof(mirvol_rec::network_init_record, magic), "qdx", 4);
  for (const auto &v : values) {
    long long n;
    if (!field_value(*v.first, v.second, &n)) {
      *err = name + ": bad value for " + v.first->name + ": " + v.second;
      return false;
    }
    put(record, v.first->offset, (uint64_t)n, width_of(v.first->k));
  }
  *cmd = f->cmd;
  return true;
}

std::vector<std::string> describe_form_answer(const std::string &name,
                                              const std::vector<std::string> &args,
                                              const std::vector<uint8_t> &r) {
  std::vector<std::string> lines;
  const form *f = find_form(name);
  if (!f || r.size() < f->size) {
    lines.push_back("record=" + to_hex(r));
    return lines;
  }
  lines.push_back("status=" + status_text((uint32_t)get(r, 0, 4)));
  switch (f->sp) {
    case PLAIN:
      for (const auto &o : f->out) lines.push_back(std::string(o.name) + "=" + field_text(o, r));
      break;
    case PORT: {
      int action;
      uint32_t flags;
      std::string err;
      if (!parse_ports(args, &action, &flags, &err)) break;
      if (kPortActions[action] != std::string("get")) {
        lines.push_back("flags=" + std::to_string(get(r, 4, 4)));
        break;
      }
      for (const auto &p : kPorts)
        if (flags & p.bit)
          lines.push_back(std::string(p.name) + "=" + std::to_string(get(r, p.answer_offset, 4)));
      break;
    }
    case NETSTATUS: {
      uint32_t ipv = (uint32_t)get(r, 8, 4);
      lines.push_back("mdc_cnt=" + std::to_string(get(r, 4, 4)));
      lines.push_back("ip_version=" + std::to_string(ipv));
      int n = 1;
      for (size_t off = NET_STATUS_FIRST; off + NET_STATUS_ENTRY <= r.size();
           off += NET_STATUS_ENTRY, n++) {
        std::string net = "net" + std::to_string(n) + "_";
        uint32_t st = (uint32_t)get(r, off + 32, 4);
        lines.push_back(net + "self=" + net_address(&r[off], ipv == 4));
        lines.push_back(net + "peer=" + net_address(&r[off + 16], ipv == 4));
        lines.push_back(net + "state=" + (st < 3 ? kNetStates[st] : std::to_string(st)));
      }
      break;
    }
  }
  return lines;
}

std::string forms_help(void) {
  std::string s;
  for (const auto &f : kForms) {
    std::string line = "       mirvolctl [--control SOCKET] [--dump-record] NMPx ";
    line += f.name;
    if (f.sp == PORT) line += " open|close|get io|nw|mount...";
    for (const auto &p : f.pos) {
      std::string up = p.name;
      for (auto &c : up) c = (char)toupper((unsigned char)c);
      line += " " + up;
    }
    if (f.keys.size() == 1) line += std::string(" [") + f.keys[0].name + "=N]";
    if (f.keys.size() > 1) line += " [key=N]...";
    s += line + "\n";
  }
  auto keys = [&s](const char *form, const std::vector<field_def> &list) {
    s += std::string(form) + " keys (default in parentheses):\n ";
    size_t col = 1;
    for (const auto &k : list) {
      std::string item = std::string(" ") + k.name + "(" + k.def + ")";
      if (col + item.size() > 76) {
        s += "\n ";
        col = 1;
      }
      s += item;
      col += item.size();
    }
    s += "\n";
  };
  keys("set-param", kParams);
  keys("network-init", kSettings);
  return s;
}

}  // namespace mirvolctl
