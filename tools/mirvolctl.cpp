// mirvolctl: issues one control command on a mirror device through a host's
// control socket and prints the answer.
//
//   mirvolctl [OPTION]... NMPx COMMAND [ARG]...
//   mirvolctl [OPTION]... raw NMPx CMD [--size N] [--in HEX] [--fd NUM=PATH]...
//   mirvolctl help [COMMAND]
//
// The commands, their fields and the exit codes are in ctl_help.cpp, which
// `mirvolctl help` prints. A named command prints the answer as key=value
// lines; a status word other than STATUS_OK is explained on standard error
// with the log lines the driver wrote for the command, and ends with exit 3.
// A set-form reads the value back with its matching get and prints what the
// driver kept. raw prints "ioctl=<result>" and "record=<hex>" and exits 0
// whenever the call was carried.
//
// A SIGINT, SIGTERM or SIGHUP received while the command runs is passed on
// to the command (it sees the signal pending, as a process's ioctl would);
// after the answer is printed, mirvolctl ends by that signal.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "include/mirvol_records.h"
#include "include/mirvol_status.h"
#include "tools/ctl_forms.h"
#include "tools/ctl_help.h"
#include "tools/ctl_lib.h"
#include "tools/ctl_wire.h"

namespace {

using namespace mirvolctl;

constexpr uint32_t BLKGETSIZE64_CMD = 0x80081272u;
constexpr uint32_t CMD_READ_CP_TIME = 12;
constexpr uint32_t CMD_BITMAP_BITS = 33;
constexpr uint32_t CMD_READ_BITMAP = 30;
constexpr uint32_t CMD_DIFF_BITS = 32;
constexpr uint32_t STATUS_OK_WORD = STATUS_OK;
#ifndef MIRVOL_VERSION
#define MIRVOL_VERSION "0.1"
#endif

// What the user typed, for messages: "NMP3 set-size".
std::string g_what = "mirvolctl";

int bad_args(const std::string &msg) {
  fprintf(stderr, "mirvolctl: %s\n", msg.c_str());
  fprintf(stderr, "(mirvolctl help shows the usage)\n");
  return 2;
}

bool valid_device(const std::string &d) {
  if (d.size() < 4 || d.size() >= mirvol_ctl::DEVICE_LEN || d.compare(0, 3, "NMP") != 0)
    return false;
  for (size_t i = 3; i < d.size(); i++)
    if (d[i] < '0' || d[i] > '9') return false;
  return true;
}

int bad_device(const std::string &d) {
  return bad_args("bad device name " + d + " (NMP and its minor, for example NMP3)");
}

// Signals received while the command runs, one byte each, for the call to
// pass on.
int g_signal_pipe[2] = {-1, -1};
int g_signal = 0;  // the last one passed on

void on_signal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  ssize_t w = write(g_signal_pipe[1], &b, 1);
  (void)w;
  errno = saved;
}

void catch_signals() {
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK)) return;
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// Opens PATH for a passed descriptor. -1 after a message.
int open_passed(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0)
    fprintf(stderr, "mirvolctl: %s: cannot open %s: %s\n", g_what.c_str(), path.c_str(),
            strerror(errno));
  return fd;
}

struct session {
  std::string socket;
  bool dump = false;
  std::string device;
};

// One call. False after a message when it was not carried.
bool call(const session &s, uint32_t cmd, const std::vector<uint8_t> &buf,
          const std::vector<passed_fd> &fds, call_result *out) {
  *out = control_call(s.socket, s.device, cmd, buf, fds, g_signal_pipe[0]);
  if (out->signal) g_signal = out->signal;
  if (!out->carried) {
    fprintf(stderr, "mirvolctl: %s: not carried: %s\n", g_what.c_str(), out->message.c_str());
    return false;
  }
  return true;
}

// The driver's log lines of a call, to standard error: all of them, or
// only the warnings and the notes on values it replaced.
void show_log(const call_result &r, bool all) {
  size_t from = 0;
  while (from < r.log.size()) {
    size_t nl = r.log.find('\n', from);
    if (nl == std::string::npos) nl = r.log.size();
    std::string line = r.log.substr(from, nl - from);
    from = nl + 1;
    int level = 6;
    if (line.size() >= 3 && line[0] == '<' && line[2] == '>') {
      level = line[1] - '0';
      line = line.substr(3);
    }
    if (all || level <= 4 || line.find(" will be used instead") != std::string::npos)
      fprintf(stderr, "mirvolctl: driver: %s\n", line.c_str());
  }
}

// The status word of an answer: 0 for STATUS_OK (after the driver's
// warnings), else EXIT_REFUSED after the status's name, its meaning and the
// driver's lines.
int judge(const call_result &r, uint32_t status) {
  if (status == STATUS_OK_WORD) {
    show_log(r, false);
    return 0;
  }
  const char *name = status_name(status);
  fprintf(stderr, "mirvolctl: %s: %s: %s\n", g_what.c_str(),
          name ? name : status_text(status).c_str(), status_meaning(status));
  show_log(r, true);
  return EXIT_REFUSED;
}

// A call whose ioctl result is not 0: the driver refused the command itself.
int refused_call(const call_result &r) {
  fprintf(stderr, "mirvolctl: %s: the driver refused the call: %s\n", g_what.c_str(),
          strerror(r.result < 0 ? -r.result : r.result));
  show_log(r, true);
  return EXIT_REFUSED;
}

uint32_t status_of(const call_result &r) {
  return r.buf.size() >= 4 ? (uint32_t)get(r.buf, 0, 4) : 0;
}

// --- raw ---

int run_raw(const session &s, int argc, char **argv) {
  // argv[0] is "raw".
  static const struct option longs[] = {{"size", required_argument, nullptr, 's'},
                                        {"in", required_argument, nullptr, 'i'},
                                        {"fd", required_argument, nullptr, 'f'},
                                        {nullptr, 0, nullptr, 0}};
  long long size = -1;
  std::vector<uint8_t> in;
  std::vector<std::pair<int, std::string>> fd_paths;
  optind = 0;  // 0: glibc starts afresh (the main options stopped at "+")
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", longs, nullptr)) != -1) {
    std::string v = optarg ? optarg : "";
    switch (c) {
      case 's':
        if (!parse_int(v, 0, mirvol_ctl::MAX_LEN, &size)) return bad_args("raw: bad --size " + v);
        break;
      case 'i':
        if (!from_hex(v, &in)) return bad_args("raw: --in takes pairs of hex digits, not " + v);
        break;
      case 'f': {
        size_t eq = v.find('=');
        long long num;
        if (eq == std::string::npos || eq + 1 == v.size() ||
            !parse_int(v.substr(0, eq), 0, INT32_MAX, &num))
          return bad_args("raw: --fd takes NUM=PATH, not " + v);
        for (auto &fp : fd_paths)
          if (fp.first == num) return bad_args("raw: --fd " + std::to_string(num) + " given twice");
        fd_paths.emplace_back((int)num, v.substr(eq + 1));
        break;
      }
      case ':':
        return bad_args(std::string("raw: ") + argv[optind - 1] + " needs a value");
      default:
        return bad_args(std::string("raw: unknown raw option ") + argv[optind - 1]);
    }
  }
  std::vector<std::string> pos(argv + optind, argv + argc);
  if (pos.size() < 2) return bad_args("raw needs a device and a command number");
  if (pos.size() > 2) return bad_args("raw: unexpected argument " + pos[2]);
  session rs = s;
  rs.device = pos[0];
  if (!valid_device(rs.device)) return bad_device(rs.device);
  long long cmd;
  if (!parse_int(pos[1], 0, UINT32_MAX, &cmd)) return bad_args("raw: bad command number " + pos[1]);
  g_what = "raw " + rs.device + " " + pos[1];
  if (size < 0) size = (long long)in.size();
  if ((long long)in.size() > size) return bad_args("raw: --in holds more bytes than --size");
  if (fd_paths.size() > mirvol_ctl::MAX_FDS) return bad_args("raw: too many --fd");
  std::vector<uint8_t> buf = in;
  buf.resize((size_t)size, 0);
  std::vector<passed_fd> fds;
  for (auto &fp : fd_paths) {
    int fd = open_passed(fp.second);
    if (fd < 0) {
      for (auto &f : fds) close(f.fd);
      return 1;
    }
    fds.push_back({fp.first, fd});
  }
  if (rs.dump) {
    for (auto &f : fds) close(f.fd);
    printf("record=%s\n", to_hex(buf).c_str());
    return 0;
  }
  call_result r;
  bool ok = call(rs, (uint32_t)cmd, buf, fds, &r);
  for (auto &f : fds) close(f.fd);
  if (!ok) return 1;
  printf("ioctl=%d\n", r.result);
  printf("record=%s\n", to_hex(r.buf).c_str());
  return 0;
}

// --- init ---

// A partition file as opened: what it is and which device it names.
struct part_file {
  int fd = -1;
  struct stat st = {};
};

int run_init(const session &s, const std::vector<std::string> &args) {
  init_args ia;
  std::string err;
  // The messages name the device as typed ("NMP3 init: ...").
  auto bad_args = [&s](const std::string &e) { return ::bad_args(s.device + " " + e); };
  if (!parse_init_args(args, &ia, &err)) return bad_args(err);
  if (!s.dump) {
    if (!check_init_networks(ia, &err)) return bad_args(err);
    if (ia.cp_path.empty() || ia.dp_path.empty())
      return bad_args("init: cp=PATH and dp=PATH name the Cluster and the Data Partition");
  }
  std::vector<passed_fd> fds;
  auto close_fds = [&fds] {
    for (auto &f : fds) close(f.fd);
  };
  struct {
    const std::string &path;
    bool given;
    int *num;
    const char *major_key, *minor_key, *what;
    part_file file;
  } parts[] = {{ia.cp_path, ia.cp_fd_given, &ia.cp_fd, "cp_major", "cp_minor", "cp", {}},
               {ia.dp_path, ia.dp_fd_given, &ia.dp_fd, "dp_major", "dp_minor", "dp", {}}};
  for (auto &p : parts) {
    if (p.path.empty()) continue;
    int fd = open_passed(p.path);
    if (fd < 0) {
      close_fds();
      return 1;
    }
    // A path given is passed under our own number for it unless cp_fd/dp_fd
    // names another.
    if (!p.given) *p.num = fd;
    fds.push_back({*p.num, fd});
    p.file.fd = fd;
    if (fstat(fd, &p.file.st) != 0) continue;
    if (!s.dump && !S_ISBLK(p.file.st.st_mode) && !S_ISREG(p.file.st.st_mode)) {
      close_fds();
      return bad_args("init: " + std::string(p.what) + "=" + p.path +
                      " is neither a block device nor a regular file");
    }
    // The partition numbers not given are those of the files opened: a
    // block device's own number, or for an image file the number of the
    // device that holds it (the record's fields are 16 bits wide).
    dev_t dev = S_ISBLK(p.file.st.st_mode) ? p.file.st.st_rdev : p.file.st.st_dev;
    auto given = [&ia](const char *key) {
      for (const auto &kv : ia.fields)
        if (kv.first == key) return true;
      return false;
    };
    if (!given(p.major_key))
      ia.fields.emplace_back(p.major_key, std::to_string(major(dev) & 0xffff));
    if (!given(p.minor_key))
      ia.fields.emplace_back(p.minor_key, std::to_string(minor(dev) & 0xffff));
  }
  if (!s.dump && parts[0].file.fd >= 0 && parts[1].file.fd >= 0) {
    const struct stat &a = parts[0].file.st, &b = parts[1].file.st;
    bool same = S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)
                    ? a.st_rdev == b.st_rdev
                    : a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    if (same) {
      close_fds();
      return bad_args("init: cp=" + ia.cp_path + " and dp=" + ia.dp_path +
                      " are the same file; the Cluster and the Data Partition must differ");
    }
  }
  if (fds.size() == 2 && fds[0].caller_num == fds[1].caller_num) {
    close_fds();
    return bad_args("init: cp and dp cannot be passed under one number");
  }
  std::vector<uint8_t> buf;
  if (!build_init_record(ia, &buf, &err)) {
    close_fds();
    return bad_args(err);
  }
  if (s.dump) {
    close_fds();
    printf("record=%s\n", to_hex(buf).c_str());
    return 0;
  }
  call_result r;
  bool ok = call(s, CMD_NMP_INIT, buf, fds, &r);
  close_fds();
  if (!ok) return 1;
  if (r.result) return refused_call(r);
  for (const auto &line : describe_init_record(r.buf)) printf("%s\n", line.c_str());
  int rc = judge(r, status_of(r));
  if (!rc)
    fprintf(stderr,
            "mirvolctl: %s: created; its size is 0 until set-size (mirvolctl help set-size)\n",
            g_what.c_str());
  return rc;
}

// --- the small record forms ---

// One form call: its record built from ARGS, carried, judged. The answer in
// *r; -1 when it was STATUS_OK, else the exit code.
int form_call(const session &s, const std::string &name, const std::vector<std::string> &args,
              call_result *r, bool quiet) {
  uint32_t cmd;
  std::vector<uint8_t> buf;
  std::string err;
  if (!build_form_record(name, args, &cmd, &buf, &err)) return bad_args(err);
  if (!call(s, cmd, buf, {}, r)) return 1;
  if (r->result) return refused_call(*r);
  if (quiet && status_of(*r) == STATUS_OK_WORD) return -1;
  int rc = judge(*r, status_of(*r));
  return rc ? rc : -1;
}

std::string port_word(uint64_t v) { return v ? "open" : "close"; }

// The three ports as the driver reports them, on one line. They are read
// with drive-info: a port command that names the mount port also runs the
// driver's network check, which a read must not.
int print_ports(const session &s) {
  call_result r;
  int rc = form_call(s, "drive-info", {}, &r, true);
  if (rc >= 0) return rc;
  using D = mirvol_rec::drive_info_record;
  if (r.buf.size() < sizeof(D)) return refused_call(r);
  printf("io=%s nw=%s mount=%s\n", port_word(get(r.buf, offsetof(D, io), 4)).c_str(),
         port_word(get(r.buf, offsetof(D, nw), 4)).c_str(),
         port_word(get(r.buf, offsetof(D, mount), 4)).c_str());
  return 0;
}

// The value of key KEY in a form's answer lines.
std::string answer_value(const std::vector<std::string> &lines, const std::string &key) {
  for (const auto &l : lines)
    if (l.compare(0, key.size() + 1, key + "=") == 0) return l.substr(key.size() + 1);
  return "";
}

void note_clamp(const std::string &key, const std::string &asked, const std::string &kept) {
  long long a, k;
  if (parse_int(asked, INT64_MIN, INT64_MAX, &a) && parse_int(kept, INT64_MIN, INT64_MAX, &k) &&
      a != k)
    fprintf(stderr, "mirvolctl: %s: %s %s was not kept: the driver keeps %s\n", g_what.c_str(),
            key.c_str(), asked.c_str(), kept.c_str());
}

// The value the driver used instead of KEY's, from its log lines of the
// call; empty when it replaced none.
std::string replaced_value(const std::string &log, const std::string &key) {
  std::string kept;
  for (const char *with : {"The default setting (", "The maximum number ("}) {
    size_t at = 0;
    while ((at = log.find(key + " (", at)) != std::string::npos) {
      bool whole = at == 0 || log[at - 1] == ' ' || log[at - 1] == '>';
      size_t end = log.find('\n', at);
      std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
      size_t w = line.find(with);
      at += key.size();
      if (!whole || w == std::string::npos) continue;
      size_t from = w + strlen(with);
      kept = line.substr(from, line.find(')', from) - from);
    }
  }
  return kept;
}

std::string sync_flags_text(uint32_t f) {
  std::string s =
      (f == 0 || f >= 256) ? "mirroring ON" : "mirroring OFF (writes only mark the bitmap)";
  if (f & 8) s += ", last-update time recorded (bit 3)";
  if (f & 2) s += ", bit 1 set";
  return s;
}

// A get form run for its answer lines (after a set): the lines, or an exit
// code in *rc.
bool read_back(const session &s, const std::string &name, std::vector<std::string> *lines,
               int *rc) {
  call_result r;
  int c = form_call(s, name, {}, &r, true);
  if (c >= 0) {
    *rc = c;
    return false;
  }
  *lines = describe_form_answer(name, {}, r.buf);
  return true;
}

int run_size(const session &s, uint64_t *bytes, bool print) {
  call_result r;
  if (!call(s, BLKGETSIZE64_CMD, std::vector<uint8_t>(8, 0), {}, &r)) return 1;
  if (r.result) return refused_call(r);
  uint64_t size = 0;
  if (r.buf.size() == sizeof(size)) memcpy(&size, r.buf.data(), sizeof(size));
  if (bytes) *bytes = size;
  if (print) printf("size=%llu\n", (unsigned long long)size);
  return 0;
}

// A read form's one value, as a number: 0, or the exit code after a
// message.
int read_number(const session &s, const std::string &form, const std::string &key,
                uint64_t *v) {
  std::vector<std::string> lines;
  int rc;
  if (!read_back(s, form, &lines, &rc)) return rc;
  long long n = 0;
  parse_int(answer_value(lines, key), 0, UINT32_MAX, &n);
  *v = (uint64_t)n;
  return 0;
}

int read_granule(const session &s, uint64_t *granule) {
  return read_number(s, "get-granule", "granule", granule);
}

// The bits set in the difference bitmap and the bytes they cover.
int read_diff(const session &s, uint64_t *bits, uint64_t *bytes) {
  uint64_t granule = 0;
  int rc;
  if ((rc = read_number(s, "diff-size", "bits", bits)) || (rc = read_granule(s, &granule)))
    return rc;
  *bytes = *bits * granule * 512;
  return 0;
}

// The number of bits of the difference bitmap (command 33).
int read_bitmap_bits(const session &s, uint64_t *bits) {
  std::vector<uint8_t> q(sizeof(mirvol_rec::value_record), 0);
  call_result r;
  if (!call(s, CMD_BITMAP_BITS, q, {}, &r)) return 1;
  if (r.result) return refused_call(r);
  if (int rc = judge(r, status_of(r))) return rc;
  *bits = get(r.buf, offsetof(mirvol_rec::value_record, value), 4);
  return 0;
}

// One KiB of the difference bitmap from KiB START_KB (command 30): the
// record as answered in *r; 0 when it was STATUS_OK, else the exit code
// after a message.
int read_bitmap_kb(const session &s, long long start_kb, call_result *r) {
  using B = mirvol_rec::bitmap_read_record;
  std::vector<uint8_t> q(sizeof(B), 0);
  put(&q, offsetof(B, start_kb), (uint64_t)start_kb, 4);
  put(&q, offsetof(B, kb_number), 1, 4);
  if (!call(s, CMD_READ_BITMAP, q, {}, r)) return 1;
  if (r->result) return refused_call(*r);
  if (r->buf.size() < sizeof(B)) return refused_call(*r);
  return judge(*r, status_of(*r));
}

bool bit_set(const std::vector<uint8_t> &kib, uint64_t i) {
  return kib[offsetof(mirvol_rec::bitmap_read_record, bitmap) + i / 8] & (0x80u >> (i % 8));
}

// Bit numbers as ranges: "0-15,300".
std::string bit_ranges(const std::vector<uint64_t> &bits) {
  std::string s;
  for (size_t i = 0; i < bits.size();) {
    size_t j = i;
    while (j + 1 < bits.size() && bits[j + 1] == bits[j] + 1) j++;
    if (!s.empty()) s += ",";
    s += std::to_string(bits[i]);
    if (j > i) {
      s += '-';
      s += std::to_string(bits[j]);
    }
    i = j + 1;
  }
  return s.empty() ? "none" : s;
}

constexpr uint64_t BITS_PER_KIB = 8192;

int run_read_bitmap(const session &s, const std::vector<std::string> &args) {
  long long start_kb = 0;
  bool as_bits = false;
  size_t npos = 0;
  for (const auto &a : args) {
    if (a == "format=bits" || a == "format=hex") {
      as_bits = a == "format=bits";
    } else if (npos++ == 0 && parse_int(a, INT32_MIN, INT32_MAX, &start_kb)) {
    } else {
      return bad_args("read-bitmap: unexpected argument " + a +
                      " (START_KB, then format=hex or format=bits)");
    }
  }
  using B = mirvol_rec::bitmap_read_record;
  if (s.dump) {
    std::vector<uint8_t> q(sizeof(B), 0);
    put(&q, offsetof(B, start_kb), (uint64_t)start_kb, 4);
    put(&q, offsetof(B, kb_number), 1, 4);
    printf("record=%s\n", to_hex(q).c_str());
    return 0;
  }
  call_result r;
  int rc = read_bitmap_kb(s, start_kb, &r);
  if (rc == 1 || rc == 2) return rc;
  printf("status=%s\n", status_text(status_of(r)).c_str());
  if (rc) return rc;
  printf("start_kb=%lld\n", start_kb);
  if (!as_bits) {
    std::vector<uint8_t> data(r.buf.begin() + offsetof(B, bitmap), r.buf.begin() + sizeof(B));
    printf("bitmap=%s\n", to_hex(data).c_str());
    return 0;
  }
  // Bit numbers count from the bitmap's start; what lies past its last bit
  // is not bitmap and is not shown.
  uint64_t total = 0;
  if ((rc = read_bitmap_bits(s, &total))) return rc;
  std::vector<uint64_t> set;
  uint64_t first = (uint64_t)start_kb * BITS_PER_KIB;
  for (uint64_t i = 0; i < BITS_PER_KIB && first + i < total; i++)
    if (bit_set(r.buf, i)) set.push_back(first + i);
  printf("set_bits=%s\n", bit_ranges(set).c_str());
  return 0;
}

// recover FIRST LAST: one copy of that range of bits (command 10).
// recover [FIRST LAST] --chunk BITS, or without a range: the bitmap (or the
// range) walked in chunks of BITS; a chunk with no bit set is skipped, the
// others are copied from their first to their last set bit, each followed
// by a progress line with the bits left.
int run_recover(const session &s, int argc, char **argv) {
  // argv[0] is "recover".
  static const struct option longs[] = {{"chunk", required_argument, nullptr, 'k'},
                                        {nullptr, 0, nullptr, 0}};
  long long chunk = 0;
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", longs, nullptr)) != -1) {
    std::string v = optarg ? optarg : "";
    switch (c) {
      case 'k':
        if (!parse_int(v, 1, INT32_MAX, &chunk))
          return bad_args("recover: --chunk takes 1 to " + std::to_string(INT32_MAX) + " bits, not " +
                          v);
        break;
      case ':':
        return bad_args(std::string("recover: ") + argv[optind - 1] + " needs a value");
      default:
        return bad_args(std::string("recover: unknown option ") + argv[optind - 1]);
    }
  }
  std::vector<std::string> pos(argv + optind, argv + argc);
  if (pos.size() != 0 && pos.size() != 2)
    return bad_args("recover takes FIRST LAST (bit numbers) or no range");
  if (pos.size() == 2 && !chunk) {
    call_result r;
    int rc = form_call(s, "recover", pos, &r, false);
    std::vector<std::string> lines = describe_form_answer("recover", pos, r.buf);
    if (rc == 1 || rc == 2) return rc;
    for (const auto &l : lines) printf("%s\n", l.c_str());
    if (rc >= 0) return rc;
    uint64_t bits = 0, bytes = 0;
    if ((rc = read_diff(s, &bits, &bytes))) return rc;
    printf("bits_left=%llu\nbytes_left=%llu\n", (unsigned long long)bits,
           (unsigned long long)bytes);
    return 0;
  }
  if (s.dump) return bad_args("recover in chunks sends several records; --dump-record shows one");
  long long first = 0, last = 0;
  for (size_t i = 0; i < pos.size(); i++)
    if (!parse_int(pos[i], 0, INT32_MAX, i ? &last : &first))
      return bad_args("recover: bad bit number " + pos[i]);
  if (pos.size() == 2 && first > last) return bad_args("recover: FIRST is above LAST");
  if (!chunk) chunk = 1024;
  uint64_t total = 0;
  int rc;
  if ((rc = read_bitmap_bits(s, &total))) return rc;
  if (pos.empty()) last = (long long)total - 1;
  if (last >= (long long)total) last = (long long)total - 1;
  long long cached_kb = -1;
  call_result kib;
  auto is_set = [&](long long bit, int *err) {
    long long kb = bit / (long long)BITS_PER_KIB;
    if (kb != cached_kb) {
      if ((*err = read_bitmap_kb(s, kb, &kib))) return false;
      cached_kb = kb;
    }
    return bit_set(kib.buf, (uint64_t)(bit % (long long)BITS_PER_KIB));
  };
  uint32_t status = STATUS_OK_WORD;
  for (long long from = first; from <= last && status == STATUS_OK_WORD; from += chunk) {
    long long to = std::min(last, from + chunk - 1);
    long long a = -1, b = -1;
    int err = 0;
    for (long long bit = from; bit <= to; bit++) {
      if (is_set(bit, &err)) {
        if (a < 0) a = bit;
        b = bit;
      }
      if (err) return err;
    }
    if (a < 0) continue;
    call_result r;
    std::vector<std::string> range = {std::to_string(a), std::to_string(b)};
    rc = form_call(s, "recover", range, &r, false);
    if (rc == 1 || rc == 2) return rc;
    status = status_of(r);
    uint64_t bits = 0, bytes = 0;
    if (int e = read_diff(s, &bits, &bytes)) return e;
    printf("recovered=%lld-%lld status=%s bits_left=%llu\n", a, b, status_text(status).c_str(),
           (unsigned long long)bits);
    fflush(stdout);
    cached_kb = -1;  // the copy cleared bits
  }
  uint64_t bits = 0, bytes = 0;
  if ((rc = read_diff(s, &bits, &bytes))) return rc;
  printf("status=%s\n", status_text(status).c_str());
  printf("bits_left=%llu\nbytes_left=%llu\n", (unsigned long long)bits, (unsigned long long)bytes);
  return status == STATUS_OK_WORD ? 0 : EXIT_REFUSED;
}

int run_compress(const session &s, const std::string &what, const std::vector<std::string> &args) {
  // The compression flags and the second value; -1, the default, leaves a
  // field as it is.
  mirvol_rec::compress_record v = {0, -1, -1};
  for (const auto &kv : args) {
    size_t eq = kv.find('=');
    std::string key = kv.substr(0, eq);
    long long n = 0;
    if (what == "get-compress" || eq == std::string::npos || (key != "flags" && key != "value") ||
        !parse_int(kv.substr(eq + 1), INT32_MIN, INT32_MAX, &n))
      return bad_args("bad argument " + kv + " for " + what);
    (key == "flags" ? v.flags : v.value) = (int32_t)n;
  }
  std::vector<uint8_t> buf(sizeof(v));
  memcpy(buf.data(), &v, sizeof(v));
  if (s.dump) {
    printf("record=%s\n", to_hex(buf).c_str());
    return 0;
  }
  call_result r;
  if (!call(s, what == "set-compress" ? 75 : 76, buf, {}, &r)) return 1;
  if (r.result) return refused_call(r);
  int rc = judge(r, status_of(r));
  if (rc) {
    printf("status=%s\n", status_text(status_of(r)).c_str());
    return rc;
  }
  if (what == "set-compress") {
    // What the driver kept.
    mirvol_rec::compress_record ask = {0, -1, -1};
    std::vector<uint8_t> q(sizeof(ask));
    memcpy(q.data(), &ask, sizeof(ask));
    if (!call(s, 76, q, {}, &r)) return 1;
    if (r.result) return refused_call(r);
    if ((rc = judge(r, status_of(r)))) return rc;
  }
  mirvol_rec::compress_record a = {0, 0, 0};
  if (r.buf.size() == sizeof(a)) memcpy(&a, r.buf.data(), sizeof(a));
  printf("status=%s\n", status_text(a.status).c_str());
  printf("flags=%d\n", a.flags);
  printf("value=%d\n", a.value);
  if (what == "set-compress") {
    if (v.flags != -1) note_clamp("flags", std::to_string(v.flags), std::to_string(a.flags));
    if (v.value != -1) note_clamp("value", std::to_string(v.value), std::to_string(a.value));
  }
  return 0;
}

int run_form(const session &s, const std::string &name, const std::vector<std::string> &args) {
  if (s.dump) {
    uint32_t cmd;
    std::vector<uint8_t> buf;
    std::string err;
    if (!build_form_record(name, args, &cmd, &buf, &err)) return bad_args(err);
    printf("record=%s\n", to_hex(buf).c_str());
    return 0;
  }
  call_result r;
  int rc = form_call(s, name, args, &r, false);
  std::vector<std::string> lines = describe_form_answer(name, args, r.buf);
  if (rc >= 0) {
    // Refused: the answer as it came, for scripts that read the status.
    if (rc == EXIT_REFUSED && !lines.empty() && lines[0].compare(0, 7, "status=") == 0)
      printf("%s\n", lines[0].c_str());
    return rc;
  }
  printf("%s\n", lines.empty() ? "" : lines[0].c_str());  // status=
  std::vector<std::string> kept;
  if (name == "port") return print_ports(s);
  if (name == "set-size") {
    uint64_t bytes = 0;
    if ((rc = run_size(s, &bytes, false))) return rc;
    if (!read_back(s, "get-granule", &kept, &rc)) return rc;
    printf("size_kib=%llu\n", (unsigned long long)(bytes >> 10));
    printf("granule=%s\n", answer_value(kept, "granule").c_str());
    note_clamp("size_kib", answer_value(lines, "size_kib"), std::to_string(bytes >> 10));
    note_clamp("granule", answer_value(lines, "granule"), answer_value(kept, "granule"));
    return 0;
  }
  struct readback {
    const char *set, *get, *key, *asked;
  };
  static const readback kReadbacks[] = {
      {"set-request-limit", "get-request-limit", "limit", "limit"},
      {"init-request-limit", "get-request-limit", "limit", "current"},
      {"set-send-queue", "get-send-queue", "size", "size"},
      {"set-sync-flags", "get-sync-flags", "flags", "flags"},
      {"set-block-size", "get-block-size", "block_size", "block_size"},
  };
  for (const auto &rb : kReadbacks) {
    if (name != rb.set) continue;
    if (!read_back(s, rb.get, &kept, &rc)) return rc;
    std::string v = answer_value(kept, rb.key);
    printf("%s=%s\n", rb.key, v.c_str());
    if (name == "set-sync-flags") {
      long long f = 0;
      parse_int(v, 0, UINT32_MAX, &f);
      printf("meaning=%s\n", sync_flags_text((uint32_t)f).c_str());
      // Bit 3 is the driver's own: only the other bits are the caller's.
      long long asked = 0;
      if (parse_int(answer_value(lines, "flags"), 0, UINT32_MAX, &asked) &&
          ((uint64_t)asked & ~8ull) != ((uint64_t)f & ~8ull))
        note_clamp("flags", std::to_string(asked), v);
    } else {
      note_clamp(rb.asked, answer_value(lines, rb.asked), v);
    }
    return 0;
  }
  // Forms without a matching get: a value the driver replaced is named in
  // its warning ("KEY (ASKED) is invalid. The default setting (KEPT) ..."),
  // so the lines show what it kept.
  for (size_t i = 1; i < lines.size(); i++) {
    std::string key = lines[i].substr(0, lines[i].find('='));
    std::string kept = replaced_value(r.log, key == "interval" ? "Bitmap refresh interval" : key);
    if (kept.empty()) {
      printf("%s\n", lines[i].c_str());
    } else {
      printf("%s=%s\n", key.c_str(), kept.c_str());
      note_clamp(key, answer_value(lines, key), kept);
    }
  }
  if (name == "get-sync-flags") {
    long long f = 0;
    parse_int(answer_value(lines, "flags"), 0, UINT32_MAX, &f);
    printf("meaning=%s\n", sync_flags_text((uint32_t)f).c_str());
  }
  if (name == "diff-size") {
    long long bits = 0;
    parse_int(answer_value(lines, "bits"), 0, UINT32_MAX, &bits);
    uint64_t granule = 0;
    if ((rc = read_granule(s, &granule))) return rc;
    printf("bytes=%llu\n", (unsigned long long)((uint64_t)bits * granule * 512));
  }
  if (name == "convert-history") {
    // What the journal became: the bits now set.
    uint64_t bits = 0, bytes = 0;
    if ((rc = read_diff(s, &bits, &bytes))) return rc;
    printf("bits=%llu\nbytes=%llu\n", (unsigned long long)bits, (unsigned long long)bytes);
  }
  return 0;
}

// --- status ---

std::string time_text(uint32_t t) {
  if (!t) return "-";
  time_t tt = (time_t)t;
  struct tm tm;
  char buf[64];
  if (!localtime_r(&tt, &tm) || !strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %Z", &tm))
    return std::to_string(t);
  return buf;
}

int run_status(const session &s) {
  call_result r;
  std::vector<std::string> lines;
  int rc;
  // The ports first: a minor without a device ends here.
  if ((rc = form_call(s, "drive-info", {}, &r, true)) >= 0) return rc;
  lines = describe_form_answer("drive-info", {}, r.buf);
  bool nw_open = answer_value(lines, "nw") == "1";
  printf("%s:\n", s.device.c_str());
  printf("  ports:       io=%s nw=%s mount=%s\n",
         port_word(answer_value(lines, "io") == "1").c_str(), port_word(nw_open).c_str(),
         port_word(answer_value(lines, "mount") == "1").c_str());
  printf("  disk error:  %s\n", answer_value(lines, "disk_error") == "1" ? "yes" : "no");
  bool disk_error = answer_value(lines, "disk_error") == "1";

  uint64_t bytes = 0;
  if ((rc = run_size(s, &bytes, false))) return rc;
  std::vector<std::string> g, m, f;
  if (!read_back(s, "get-granule", &g, &rc) || !read_back(s, "get-mode", &m, &rc) ||
      !read_back(s, "get-sync-flags", &f, &rc))
    return rc;
  long long granule = 0, flags = 0;
  parse_int(answer_value(g, "granule"), 0, UINT32_MAX, &granule);
  parse_int(answer_value(f, "flags"), 0, UINT32_MAX, &flags);
  printf("  size:        %llu KiB\n", (unsigned long long)(bytes >> 10));
  printf("  mode:        %s\n", answer_value(m, "mode") == "1" ? "sync" : "async");
  printf("  sync flags:  %lld (%s)\n", flags, sync_flags_text((uint32_t)flags).c_str());
  // The bitmap: its number of bits and the bytes each covers.
  std::vector<uint8_t> q(sizeof(mirvol_rec::value_record), 0);
  if (!call(s, CMD_BITMAP_BITS, q, {}, &r)) return 1;
  if (!r.result && status_of(r) == STATUS_OK_WORD && r.buf.size() == q.size())
    printf("  bitmap:      %llu bits of %lld bytes each\n",
           (unsigned long long)get(r.buf, offsetof(mirvol_rec::value_record, value), 4),
           granule * 512);
  else
    printf("  bitmap:      no bits yet (the device has no size)\n");
  // The bits set: what a recovery would copy.
  if (!call(s, CMD_DIFF_BITS, q, {}, &r)) return 1;
  if (!r.result && status_of(r) == STATUS_OK_WORD && r.buf.size() == q.size()) {
    long long set = (long long)get(r.buf, offsetof(mirvol_rec::value_record, value), 4);
    printf("  bits set:    %lld, covering %lld bytes\n", set, set * granule * 512);
  } else {
    printf("  bits set:    not readable (%s)\n", status_text(status_of(r)).c_str());
  }

  // The networks: the device has one or two, and command 9 must be told
  // which.
  bool shown = false;
  for (int n = 1; n <= MAX_NETS && !shown; n++) {
    uint32_t cmd;
    std::vector<uint8_t> buf;
    std::string err;
    build_form_record("netstatus", {"networks=" + std::to_string(n)}, &cmd, &buf, &err);
    if (!call(s, cmd, buf, {}, &r)) return 1;
    if (r.result || status_of(r) != STATUS_OK_WORD) continue;
    lines = describe_form_answer("netstatus", {}, r.buf);
    for (int i = 1; i <= n; i++) {
      std::string p = "net" + std::to_string(i) + "_";
      printf("  network %d:   %s -> %s %s\n", i, answer_value(lines, p + "self").c_str(),
             answer_value(lines, p + "peer").c_str(), answer_value(lines, p + "state").c_str());
    }
    shown = true;
  }
  if (!shown) printf("  networks:    none\n");

  using T = mirvol_rec::cp_time_record;
  std::vector<uint8_t> t(sizeof(T), 0);
  if (!call(s, CMD_READ_CP_TIME, t, {}, &r)) return 1;
  if (!r.result && status_of(r) == STATUS_OK_WORD && r.buf.size() == sizeof(T)) {
    printf("  disconnect:  %s\n",
           time_text((uint32_t)get(r.buf, offsetof(T, disconnect_time), 4)).c_str());
    printf("  last update: %s\n",
           time_text((uint32_t)get(r.buf, offsetof(T, last_update_time), 4)).c_str());
    printf("  mirror break: %s\n",
           time_text((uint32_t)get(r.buf, offsetof(T, mirror_break_time), 4)).c_str());
  } else {
    printf("  times:       not readable (%s)\n", status_text(status_of(r)).c_str());
  }
  bool off = flags >= 1 && flags <= 255;
  std::string state = "mirroring";
  if (!nw_open)
    state = "broken (the N/W port is closed: writes only mark the bitmap)";
  else if (off)
    state = "broken (the sync flags switch mirroring OFF)";
  if (disk_error) state += "; a disk error was seen";
  printf("  mirror:      %s\n", state.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  session s;
  s.socket = default_socket();
  static const struct option longs[] = {{"control", required_argument, nullptr, 'c'},
                                        {"dump-record", no_argument, nullptr, 'd'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'V'},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  // "+": the options end at the first word that is none (the device, raw or
  // help), so that a command's own arguments are left to it.
  while ((c = getopt_long(argc, argv, "+:c:hV", longs, nullptr)) != -1) {
    switch (c) {
      case 'c':
        s.socket = optarg;
        break;
      case 'd':
        s.dump = true;
        break;
      case 'h':
        fputs(general_help().c_str(), stdout);
        return 0;
      case 'V':
        printf("mirvolctl %s\n", MIRVOL_VERSION);
        return 0;
      case ':':
        return bad_args(std::string(argv[optind - 1]) + " needs a value");
      default:
        return bad_args(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  std::vector<std::string> a(argv + optind, argv + argc);
  if (a.empty()) {
    fputs(general_help().c_str(), stderr);
    return 2;
  }
  if (a[0] == "help") {
    if (a.size() == 1) {
      fputs(general_help().c_str(), stdout);
      return 0;
    }
    const command_doc *d = find_command_doc(a[1]);
    if (!d || a.size() > 2)
      return bad_args("help: no command " + a[1] + " (mirvolctl help lists them)");
    fputs(command_help(*d).c_str(), stdout);
    return 0;
  }
  catch_signals();
  int rc;
  if (a[0] == "raw") {
    rc = run_raw(s, argc - optind, argv + optind);
  } else {
    s.device = a[0];
    if (!valid_device(s.device)) return bad_device(s.device);
    if (a.size() < 2)
      return bad_args("no command for " + s.device + " (mirvolctl help lists them)");
    const std::string what = a[1];
    std::vector<std::string> args(a.begin() + 2, a.end());
    g_what = s.device + " " + what;
    if (what == "help" || what == "raw" || !find_command_doc(what))
      return bad_args("unknown command " + what + " (mirvolctl help lists them)");
    if (what == "init") {
      rc = run_init(s, args);
    } else if (what == "size") {
      if (!args.empty()) return bad_args("size takes no arguments");
      if (s.dump) {
        printf("record=%s\n", to_hex(std::vector<uint8_t>(8, 0)).c_str());
        return 0;
      }
      rc = run_size(s, nullptr, true);
    } else if (what == "status") {
      if (!args.empty()) return bad_args("status takes no arguments");
      if (s.dump) return bad_args("status sends several records; --dump-record shows one");
      rc = run_status(s);
    } else if (what == "recover") {
      rc = run_recover(s, argc - optind - 1, argv + optind + 1);
    } else if (what == "read-bitmap") {
      rc = run_read_bitmap(s, args);
    } else if (what == "switch-network" && args.empty()) {
      rc = run_form(s, what, {"0"});
    } else if (what == "set-compress" || what == "get-compress") {
      rc = run_compress(s, what, args);
    } else {
      rc = run_form(s, what, args);
    }
  }
  fflush(stdout);
  if (g_signal) {
    // The command was answered; now the signal does what it came to do.
    signal(g_signal, SIG_DFL);
    raise(g_signal);
  }
  return rc;
}
