// mirvolctl: issues one control command on a mirror device through a host's
// control socket and prints the answer.
//
//   mirvolctl [--control SOCKET] [--dump-record] raw NMPx CMD [--size N] [--in HEX]
//             [--fd NUM=PATH]...
//   mirvolctl [--control SOCKET] [--dump-record] NMPx init key=value...
//   mirvolctl [--control SOCKET] [--dump-record] NMPx size
//   mirvolctl [--control SOCKET] [--dump-record] NMPx FORM ARGS...
//
// raw sends a buffer of N bytes (default: the length of HEX) holding the HEX
// bytes and zeros after them; every --fd opens PATH read-write and passes it
// so that the driver sees it as the caller's descriptor NUM. It prints
// "ioctl=<result>" and "record=<buffer after the call, lowercase hex>".
// init builds the device-init record (command 102) from its fields and
// prints the answered record field by field; cp=PATH and dp=PATH are opened
// and passed, their descriptor numbers written at the descriptor fields and,
// unless given, their device numbers (a block device's own, an image file's
// holding device's) at the partition number fields. size is
// BLKGETSIZE64 and prints the size in bytes. The forms of ctl_forms.h (port,
// set-size, get-granule, set-param, netstatus, drive-info, the request
// limit, send queue, ratio, sync flags, mode and disk-error actions) each
// build their small record and print "status=<name>" and the answer's fields
// as key=value lines. --dump-record prints the record
// that would be sent ("record=<hex>") and sends nothing.
//
// The socket is SOCKET, else $MIRVOL_CONTROL, else /run/mirvol/control.sock.
// A SIGINT, SIGTERM or SIGHUP received while the command runs is passed on
// to the command (it sees the signal pending, as a process's ioctl would);
// after the answer is printed, mirvolctl ends by that signal.
//
// Exit: 0 when the call was carried, whatever its status word says; 1 when
// it could not be (no host, unknown device, a file that does not open); 2 for
// bad arguments.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/ctl_forms.h"
#include "tools/ctl_lib.h"
#include "tools/ctl_wire.h"

namespace {

using namespace mirvolctl;

constexpr uint32_t BLKGETSIZE64_CMD = 0x80081272u;

void usage(FILE *to) {
  fprintf(to,
          "usage: mirvolctl [--control SOCKET] [--dump-record] raw NMPx CMD [--size N] [--in HEX]\n"
          "                 [--fd NUM=PATH]...\n"
          "       mirvolctl [--control SOCKET] [--dump-record] NMPx init key=value...\n"
          "       mirvolctl [--control SOCKET] [--dump-record] NMPx size\n"
          "       mirvolctl [--control SOCKET] NMPx set-compress [flags=N] [value=N]\n"
          "       mirvolctl [--control SOCKET] NMPx get-compress\n"
          "%s"
          "init keys (default in parentheses; others 0 or empty):\n%s",
          forms_help().c_str(), init_keys_help().c_str());
}

int bad_args(const std::string &msg) {
  fprintf(stderr, "mirvolctl: %s\n", msg.c_str());
  fprintf(stderr, "(mirvolctl --help shows the usage)\n");
  return 2;
}

int bad_device(const std::string &d) {
  return bad_args("bad device name " + d + " (NMP and its minor)");
}

bool valid_device(const std::string &d) {
  if (d.size() < 4 || d.size() >= mirvol_ctl::DEVICE_LEN || d.compare(0, 3, "NMP") != 0)
    return false;
  for (size_t i = 3; i < d.size(); i++)
    if (d[i] < '0' || d[i] > '9') return false;
  return true;
}

// Signals received while the command runs, one byte each, for the call to
// pass on.
int g_signal_pipe[2] = {-1, -1};

void on_signal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char)sig;
  ssize_t w = write(g_signal_pipe[1], &b, 1);
  (void)w;
  errno = saved;
}

void catch_signals() {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK)) return;
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// Opens PATH for a passed descriptor. -1 after a message.
int open_passed(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) fprintf(stderr, "mirvolctl: cannot open %s: %s\n", path.c_str(), strerror(errno));
  return fd;
}

struct job {
  std::string socket;
  bool dump = false;
  std::string device;
  uint32_t cmd = 0;
  std::vector<uint8_t> buf;
  std::vector<passed_fd> fds;
  enum { RAW, INIT, SIZE, COMPRESS, FORM } form = RAW;
  std::string form_name;  // FORM: its name and arguments
  std::vector<std::string> form_args;
};

int parse_raw(const std::vector<std::string> &a, size_t i, job *j) {
  if (i + 2 > a.size()) return bad_args("raw needs a device and a command number");
  j->device = a[i++];
  if (!valid_device(j->device)) return bad_device(j->device);
  long long cmd;
  if (!parse_int(a[i], 0, UINT32_MAX, &cmd)) return bad_args("bad command number " + a[i]);
  j->cmd = (uint32_t)cmd;
  i++;
  long long size = -1;
  std::vector<uint8_t> in;
  std::vector<std::pair<int, std::string>> fd_paths;
  for (; i < a.size(); i++) {
    const std::string &opt = a[i];
    if (opt != "--size" && opt != "--in" && opt != "--fd")
      return bad_args("unknown raw option " + opt);
    if (i + 1 >= a.size()) return bad_args(opt + " needs a value");
    const std::string &v = a[++i];
    if (opt == "--size") {
      if (!parse_int(v, 0, mirvol_ctl::MAX_LEN, &size)) return bad_args("bad --size " + v);
    } else if (opt == "--in") {
      if (!from_hex(v, &in)) return bad_args("--in takes pairs of hex digits, not " + v);
    } else if (opt == "--fd") {
      size_t eq = v.find('=');
      long long num;
      if (eq == std::string::npos || eq + 1 == v.size() ||
          !parse_int(v.substr(0, eq), 0, INT32_MAX, &num))
        return bad_args("--fd takes NUM=PATH, not " + v);
      for (auto &fp : fd_paths)
        if (fp.first == num) return bad_args("--fd " + std::to_string(num) + " given twice");
      fd_paths.emplace_back((int)num, v.substr(eq + 1));
    }
  }
  if (size < 0) size = (long long)in.size();
  if ((long long)in.size() > size) return bad_args("--in holds more bytes than --size");
  if (fd_paths.size() > mirvol_ctl::MAX_FDS) return bad_args("too many --fd");
  j->buf = in;
  j->buf.resize((size_t)size, 0);
  for (auto &fp : fd_paths) {
    int fd = open_passed(fp.second);
    if (fd < 0) return 1;
    j->fds.push_back({fp.first, fd});
  }
  return 0;
}

int parse_init(const std::vector<std::string> &a, size_t i, job *j) {
  init_args ia;
  std::string err;
  if (!parse_init_args(std::vector<std::string>(a.begin() + (long)i, a.end()), &ia, &err))
    return bad_args(err);
  // A path given is passed under our own number for it unless cp_fd/dp_fd
  // names another.
  // The partition numbers not given are those of the files opened: a block
  // device's own number, or for an image file the number of the device
  // that holds it.
  struct {
    const std::string &path;
    bool given;
    int *num;
    const char *major_key, *minor_key;
  } parts[] = {{ia.cp_path, ia.cp_fd_given, &ia.cp_fd, "cp_major", "cp_minor"},
               {ia.dp_path, ia.dp_fd_given, &ia.dp_fd, "dp_major", "dp_minor"}};
  for (auto &p : parts) {
    if (p.path.empty()) continue;
    int fd = open_passed(p.path);
    if (fd < 0) return 1;
    if (!p.given) *p.num = fd;
    j->fds.push_back({*p.num, fd});
    struct stat st;
    if (fstat(fd, &st) != 0) continue;
    dev_t dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
    auto given = [&ia](const char *key) {
      for (const auto &kv : ia.fields)
        if (kv.first == key) return true;
      return false;
    };
    // The record's fields are 16 bits wide.
    if (!given(p.major_key)) ia.fields.emplace_back(p.major_key, std::to_string(major(dev) & 0xffff));
    if (!given(p.minor_key)) ia.fields.emplace_back(p.minor_key, std::to_string(minor(dev) & 0xffff));
  }
  if (j->fds.size() == 2 && j->fds[0].caller_num == j->fds[1].caller_num)
    return bad_args("cp and dp cannot be passed under one number");
  if (!build_init_record(ia, &j->buf, &err)) return bad_args(err);
  j->cmd = CMD_NMP_INIT;
  j->form = job::INIT;
  return 0;
}

void print_answer(const job &j, const call_result &r) {
  printf("ioctl=%d\n", r.result);
  switch (j.form) {
    case job::RAW:
      printf("record=%s\n", to_hex(r.buf).c_str());
      break;
    case job::INIT:
      for (const auto &line : describe_init_record(r.buf)) printf("%s\n", line.c_str());
      break;
    case job::COMPRESS: {
      int32_t v[3] = {0, 0, 0};
      if (r.buf.size() == sizeof(v)) memcpy(v, r.buf.data(), sizeof(v));
      printf("status=%s\n", status_text((uint32_t)v[0]).c_str());
      printf("flags=%d\n", v[1]);
      printf("value=%d\n", v[2]);
      break;
    }
    case job::FORM:
      for (const auto &line : describe_form_answer(j.form_name, j.form_args, r.buf))
        printf("%s\n", line.c_str());
      break;
    case job::SIZE: {
      uint64_t size = 0;
      if (r.buf.size() == sizeof(size)) memcpy(&size, r.buf.data(), sizeof(size));
      printf("size=%llu\n", (unsigned long long)size);
      break;
    }
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  job j;
  j.socket = default_socket();
  size_t i = 0;
  for (; i < a.size() && a[i].compare(0, 2, "--") == 0; i++) {
    if (a[i] == "--help") {
      usage(stdout);
      return 0;
    } else if (a[i] == "--dump-record") {
      j.dump = true;
    } else if (a[i] == "--control" && i + 1 < a.size()) {
      j.socket = a[++i];
    } else {
      return bad_args("unknown or incomplete option " + a[i]);
    }
  }
  if (i >= a.size()) {
    usage(stderr);
    return 2;
  }
  int r;
  if (a[i] == "raw") {
    r = parse_raw(a, i + 1, &j);
  } else {
    j.device = a[i++];
    if (!valid_device(j.device)) return bad_device(j.device);
    if (i >= a.size()) return bad_args("no command for " + j.device);
    const std::string &what = a[i++];
    if (what == "init") {
      r = parse_init(a, i, &j);
    } else if (what == "size") {
      if (i < a.size()) return bad_args("size takes no arguments");
      j.cmd = BLKGETSIZE64_CMD;
      j.buf.assign(8, 0);
      j.form = job::SIZE;
      r = 0;
    } else if (what == "set-compress" || what == "get-compress") {
      // The compression flags (bit 0 sync data, bit 1 recovery data) and the
      // second value; -1, the default, leaves a field as it is.
      int32_t v[3] = {0, -1, -1};
      for (; i < a.size(); i++) {
        const std::string &kv = a[i];
        size_t eq = kv.find('=');
        std::string key = kv.substr(0, eq);
        char *end = nullptr;
        long n = eq == std::string::npos ? 0 : strtol(kv.c_str() + eq + 1, &end, 0);
        if (what == "get-compress" || eq == std::string::npos || !end || *end ||
            (key != "flags" && key != "value"))
          return bad_args("bad argument " + kv + " for " + what);
        v[key == "flags" ? 1 : 2] = (int32_t)n;
      }
      j.cmd = what == "set-compress" ? 75 : 76;
      j.buf.assign(sizeof(v), 0);
      memcpy(j.buf.data(), v, sizeof(v));
      j.form = job::COMPRESS;
      r = 0;
    } else if (is_record_form(what)) {
      j.form_name = what;
      j.form_args.assign(a.begin() + (long)i, a.end());
      std::string err;
      if (!build_form_record(what, j.form_args, &j.cmd, &j.buf, &err)) return bad_args(err);
      j.form = job::FORM;
      r = 0;
    } else {
      return bad_args("unknown command " + what + " (mirvolctl --help lists them)");
    }
  }
  if (r) return r;

  if (j.dump) {
    printf("record=%s\n", to_hex(j.buf).c_str());
    return 0;
  }

  signal(SIGPIPE, SIG_IGN);
  catch_signals();
  call_result res = control_call(j.socket, j.device, j.cmd, j.buf, j.fds, g_signal_pipe[0]);
  for (auto &f : j.fds) close(f.fd);
  if (!res.carried) {
    fprintf(stderr, "mirvolctl: command %u on %s not carried: %s\n", j.cmd, j.device.c_str(),
            res.message.c_str());
    return 1;
  }
  print_answer(j, res);
  if (res.signal) {
    // The command was answered; now the signal does what it came to do.
    signal(res.signal, SIG_DFL);
    raise(res.signal);
  }
  return 0;
}
