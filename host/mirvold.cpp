// mirvold: the host process that plays the running kernel for one server.
//
//   mirvold [--mount DIR] [--control SOCKET] [--log FILE] [--addresses A,B]
//           [--time-scale N] [--net-faults FILE]
//           nmp_minor=3,1,7 [g_mirvol_major=218] [g_nmp_count=N]
//
// Without --control it serves the control socket mirvolctl uses by default
// ($MIRVOL_CONTROL, else /run/mirvol/control.sock); --help lists the options
// and their defaults.
//
// It sets up the platform (kernel log, clock, host addresses), hands the
// module parameters to the module as the module loader would and runs the
// module's init. Once the module is loaded it serves the control socket,
// mounts DIR with a file per mirror disk and the /proc files, and runs in the
// foreground until SIGTERM or SIGINT; a stop request is refused while a
// control command runs or a mirror file is open.
//
// --net-faults FILE (tests): the platform's network fault table is loaded
// from FILE at the start and again on each SIGHUP, replacing the table. A
// line is "LOCAL REMOTE OP KIND": two addresses ("*" for any), OP one of
// connect, send, recv, echo or all, KIND fail or blackhole; blank lines and
// lines starting with "#" are skipped. Each load logs "mirvold: network
// faults: N from FILE" (or why the file was refused, keeping the table).

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/test_hooks.h"
#include "include/mirvol_main.h"
#include "platform/kernel.h"
#include "platform/host_side.h"
#include "tools/ctl_wire.h"

namespace {

struct options {
  std::string mount;
  std::string control;
  bool control_given = false;
  std::string log;
  std::string addresses;
  unsigned time_scale = 1;
  std::string net_faults;
  std::vector<std::string> params;  // name=value, as insmod takes them
};

// The control socket when --control is not given: the one mirvolctl uses
// by default, so that both find each other without being told.
std::string default_control() {
  const char *env = getenv(mirvol_ctl::CONTROL_ENV);
  return env && *env ? env : mirvol_ctl::DEFAULT_SOCKET;
}

void usage(FILE *to) {
  fprintf(to,
          "usage: mirvold [OPTION]... nmp_minor=M[,M...] [g_mirvol_major=N] [g_nmp_count=N]\n"
          "Loads the mirvol driver into this process and serves its mirror devices.\n"
          "\n"
          "  -m, --mount DIR        mount a FUSE file system at DIR with one file per mirror\n"
          "                         device (DIR/NMP3, ...) and the status files under\n"
          "                         DIR/proc (default: none; the devices are then reachable\n"
          "                         by control commands only)\n"
          "  -c, --control SOCKET   serve control commands on the Unix socket SOCKET\n"
          "                         (default: $%s, else %s)\n"
          "  -l, --log FILE         append the kernel log to FILE (default: standard error)\n"
          "  -a, --addresses A,B    the host's own addresses: a bind to the wildcard\n"
          "                         address listens on exactly these (default: none, a\n"
          "                         real wildcard bind)\n"
          "  -t, --time-scale N     run the driver's clock N times faster, 1..1000\n"
          "                         (default: 1)\n"
          "  -f, --net-faults FILE  (tests) load the network fault table from FILE, and\n"
          "                         again on each SIGHUP (default: none)\n"
          "  -h, --help             show this text and exit\n"
          "\n"
          "Module parameters (NAME=VALUE, as the module loader takes them):\n",
          mirvol_ctl::CONTROL_ENV, mirvol_ctl::DEFAULT_SOCKET);
  // The descriptions are the ones the driver declares beside its parameters.
  module_params_for_each(
      [](const struct kernel_param *p, const char *desc, void *ctx) {
        fprintf(static_cast<FILE *>(ctx), "  %-22s %s\n", p->name, desc ? desc : "");
      },
      to);
  fprintf(to,
          "\n"
          "SIGTERM or SIGINT stops mirvold, unless a mirror file is open or a control\n"
          "command runs. Exit status: 0 after a stop, 1 when the driver or a service\n"
          "could not be started, 2 for a bad command line.\n");
}

// Loads the network fault table from the file (see the head of this file).
void load_net_faults(const std::string &path) {
  struct entry {
    std::string local, remote;
    int op, kind;  // op -1: every operation
  };
  std::vector<entry> entries;
  std::ifstream in(path);
  if (!in) {
    printk(KERN_ERR "mirvold: network faults: cannot read %s\n", path.c_str());
    return;
  }
  std::string line;
  for (int n = 1; std::getline(in, line); n++) {
    std::istringstream words(line);
    std::string local, remote, op, kind, extra;
    if (!(words >> local) || local[0] == '#') continue;
    words >> remote >> op >> kind;
    entry e = {local, remote, -2, -1};
    const char *ops[] = {"connect", "send", "recv", "echo"};
    for (int i = 0; i < SOCK_FAULT_OPS; i++)
      if (op == ops[i]) e.op = i;
    if (op == "all") e.op = -1;
    if (kind == "fail") e.kind = SOCK_FAULT_FAIL;
    if (kind == "blackhole") e.kind = SOCK_FAULT_BLACKHOLE;
    if (e.op == -2 || e.kind < 0 || (words >> extra)) {
      printk(KERN_ERR "mirvold: network faults: %s line %d refused: %s\n", path.c_str(), n,
             line.c_str());
      return;
    }
    entries.push_back(e);
  }
  sock_fault_clear();
  for (auto &e : entries)
    for (int i = 0; i < SOCK_FAULT_OPS; i++)
      if (e.op < 0 || e.op == i)
        if (sock_fault_set(e.local.c_str(), e.remote.c_str(), i, e.kind)) {
          sock_fault_clear();
          printk(KERN_ERR "mirvold: network faults: %s: bad address in %s %s\n", path.c_str(),
                 e.local.c_str(), e.remote.c_str());
          return;
        }
  printk(KERN_INFO "mirvold: network faults: %zu from %s\n", entries.size(), path.c_str());
}

// False after a message on standard error.
bool parse(int argc, char **argv, options *o) {
  static const struct option longs[] = {
      {"mount", required_argument, nullptr, 'm'},
      {"control", required_argument, nullptr, 'c'},
      {"log", required_argument, nullptr, 'l'},
      {"addresses", required_argument, nullptr, 'a'},
      {"time-scale", required_argument, nullptr, 't'},
      {"net-faults", required_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":m:c:l:a:t:f:h", longs, nullptr)) != -1) {
    switch (c) {
      case 'm':
        o->mount = optarg;
        break;
      case 'c':
        o->control = optarg;
        o->control_given = true;
        break;
      case 'l':
        o->log = optarg;
        break;
      case 'a':
        o->addresses = optarg;
        break;
      case 'f':
        o->net_faults = optarg;
        break;
      case 't': {
        char *end = nullptr;
        unsigned long n = strtoul(optarg, &end, 10);
        if (!*optarg || !end || *end || n == 0 || n > 1000) {
          fprintf(stderr, "mirvold: --time-scale takes 1 to 1000, not %s\n", optarg);
          return false;
        }
        o->time_scale = (unsigned)n;
        break;
      }
      case 'h':
        usage(stdout);
        exit(0);
      case ':':
        fprintf(stderr, "mirvold: %s needs a value\n", argv[optind - 1]);
        return false;
      default:
        fprintf(stderr, "mirvold: unknown option %s\n", argv[optind - 1]);
        return false;
    }
  }
  for (int i = optind; i < argc; i++) {
    std::string a = argv[i];
    if (a.find('=') == std::string::npos || a[0] == '=') {
      fprintf(stderr, "mirvold: %s is no module parameter (name=value)\n", argv[i]);
      return false;
    }
    o->params.push_back(a);
  }
  if (!o->control_given) o->control = default_control();
  return true;
}

// "-5 (Input/output error)" for a -errno result.
std::string err_text(int r) {
  return std::to_string(r) + " (" + strerror(r < 0 ? -r : r) + ")";
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t from = 0;
  while (from <= s.size()) {
    size_t to = s.find(sep, from);
    if (to == std::string::npos) to = s.size();
    if (to > from) out.push_back(s.substr(from, to - from));
    from = to + 1;
  }
  return out;
}

int set_addresses(const std::string &list) {
  std::vector<std::string> addrs = split(list, ',');
  std::vector<const char *> ptrs;
  for (auto &a : addrs) ptrs.push_back(a.c_str());
  return sock_set_host_addresses(ptrs.data(), (int)ptrs.size());
}

// Error output of the host itself: to standard error, and to the log when the
// log is a file.
void say(const options &o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const options &o, const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s\n", text);
  if (!o.log.empty()) printk(KERN_ERR "%s\n", text);
}

// A warning of the host itself: to standard error, and to the log when the
// log is a file.
void warn(const options &o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void warn(const options &o, const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof(text), fmt, ap);
  va_end(ap);
  fprintf(stderr, "%s\n", text);
  if (!o.log.empty()) printk(KERN_WARNING "%s\n", text);
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    fprintf(stderr,
            "usage: mirvold [OPTION]... nmp_minor=M[,M...] [g_mirvol_major=N] [g_nmp_count=N]\n"
            "(mirvold --help shows the options and their defaults)\n");
    return 2;
  }

  // SIGTERM and SIGINT are taken synchronously by the main thread; every
  // thread made from here on inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (!o.net_faults.empty()) sigaddset(&stop, SIGHUP);  // reloads the fault table
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!o.log.empty()) {
    int r = klog_set_file(o.log.c_str());
    if (r) {
      fprintf(stderr, "mirvold: cannot open log %s: %s\n", o.log.c_str(), strerror(-r));
      return 1;
    }
  } else {
    klog_set_stderr(true);
  }
  clock_set_time_scale(o.time_scale);
  if (!o.addresses.empty()) {
    int r = set_addresses(o.addresses);
    if (r) {
      say(o, "mirvold: bad host address list %s: %s", o.addresses.c_str(), err_text(r).c_str());
      return 2;
    }
  }

  printk(KERN_INFO "mirvold: host started (pid %d)\n", (int)getpid());
  if (!o.net_faults.empty()) load_net_faults(o.net_faults);
  if (o.mount.empty())
    warn(o, "mirvold: warning: no --mount: the mirror devices are reachable by control commands "
            "only");
  if (!o.control_given)
    warn(o, "mirvold: warning: no --control: serving control commands on %s", o.control.c_str());

  std::vector<const char *> params;
  for (auto &p : o.params) params.push_back(p.c_str());
  int r = module_params_parse((int)params.size(), params.data(), "mirvol");
  if (r) {
    say(o, "mirvold: module parameters refused: %s", err_text(r).c_str());
    return 1;
  }
  r = init_module();
  if (r) {
    say(o, "mirvold: init_module failed: %s", err_text(r).c_str());
    klog_set_file(nullptr);
    return 1;
  }
  if (mirvold::test_after_load) {
    r = mirvold::test_after_load();
    if (r) {
      say(o, "mirvold: test set-up after load failed: %s", err_text(r).c_str());
      cleanup_module();
      klog_set_file(nullptr);
      return 1;
    }
  }
  printk(KERN_INFO "mirvold: module loaded\n");

  std::vector<mirvold::mirror_file> files = mirvold::find_mirror_disks();
  // The control socket accepts before the mirror files appear, so a host
  // whose files are there is ready.
  if (!o.control.empty()) {
    if (!o.control_given && o.control == mirvol_ctl::DEFAULT_SOCKET) {
      // The default socket's directory is made on first use.
      std::string dir = o.control.substr(0, o.control.rfind('/'));
      if (mkdir(dir.c_str(), 0755) && errno != EEXIST)
        warn(o, "mirvold: cannot make %s: %s", dir.c_str(), strerror(errno));
    }
    r = mirvold::control_start(o.control);
    if (r == -EADDRINUSE && !o.control_given) {
      // The default socket belongs to another running host: this one was
      // not asked for a socket, so it runs without one, as it always could.
      warn(o, "mirvold: warning: %s is served by another host: this host takes no control commands",
           o.control.c_str());
      o.control.clear();
      r = 0;
    }
    if (r) {
      say(o, "mirvold: cannot serve control socket %s: %s%s", o.control.c_str(),
          err_text(r).c_str(), o.control_given ? "" : " (give another with --control)");
      mirvold::release_mirror_disks(&files);
      cleanup_module();
      klog_set_file(nullptr);
      return 1;
    }
  }
  if (!o.mount.empty()) {
    r = mirvold::fs_start(o.mount, files);
    if (r) {
      say(o, "mirvold: cannot mount %s: %s", o.mount.c_str(), err_text(r).c_str());
      mirvold::control_stop();
      mirvold::release_mirror_disks(&files);
      cleanup_module();
      klog_set_file(nullptr);
      return 1;
    }
  }
  printk(KERN_INFO "mirvold: ready\n");

  for (;;) {
    int sig = 0;
    if (sigwait(&stop, &sig) != 0) continue;
    if (sig == SIGHUP) {
      load_net_faults(o.net_faults);
      continue;
    }
    int running = mirvold::control_begin_stop();
    if (running) {
      printk(KERN_WARNING "mirvold: not stopping on signal %d: %d control command%s running\n", sig,
             running, running == 1 ? " is" : "s are");
      continue;
    }
    int open = mirvold::fs_begin_stop();
    if (open == 0) {
      printk(KERN_INFO "mirvold: stopping on signal %d\n", sig);
      break;
    }
    mirvold::control_cancel_stop();
    printk(KERN_WARNING "mirvold: not stopping on signal %d: %d mirror file%s open\n", sig, open,
           open == 1 ? " is" : "s are");
  }

  mirvold::control_stop();
  bool clean = mirvold::fs_stop();
  mirvold::release_mirror_disks(&files);
  cleanup_module();
  printk(KERN_INFO "mirvold: module unloaded\n");
  klog_set_file(nullptr);
  if (!clean) _exit(0);
  return 0;
}
