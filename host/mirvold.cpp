// mirvold: the host process that plays the running kernel for one server.
//
//   mirvold [--mount DIR] [--control SOCKET] [--log FILE] [--addresses A,B]
//           [--time-scale N] [--net-faults FILE]
//           nmp_minor=3,1,7 [g_mirvol_major=218] [g_nmp_count=N]
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

#include <signal.h>
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
#include "include/mirvol_main.h"
#include "platform/kernel.h"

namespace {

struct options {
  std::string mount;
  std::string control;
  std::string log;
  std::string addresses;
  unsigned time_scale = 1;
  std::string net_faults;
  std::vector<std::string> params;  // name=value, as insmod takes them
};

void usage() {
  fprintf(stderr,
          "usage: mirvold [--mount DIR] [--control SOCKET] [--log FILE] [--addresses A,B]\n"
          "               [--time-scale N] [--net-faults FILE]\n"
          "               nmp_minor=M[,M...] [g_mirvol_major=N] [g_nmp_count=N]\n");
}

bool parse(int argc, char **argv, options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (a == "--mount") {
      if (!value(&o->mount)) return false;
    } else if (a == "--control") {
      if (!value(&o->control)) return false;
    } else if (a == "--log") {
      if (!value(&o->log)) return false;
    } else if (a == "--addresses") {
      if (!value(&o->addresses)) return false;
    } else if (a == "--net-faults") {
      if (!value(&o->net_faults)) return false;
    } else if (a == "--time-scale") {
      std::string v;
      if (!value(&v)) return false;
      char *end = nullptr;
      unsigned long n = strtoul(v.c_str(), &end, 10);
      if (v.empty() || !end || *end || n == 0 || n > 1000) return false;
      o->time_scale = (unsigned)n;
    } else if (a.find('=') != std::string::npos && a[0] != '-') {
      o->params.push_back(a);
    } else {
      return false;
    }
  }
  return true;
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

}  // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    usage();
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
      say(o, "mirvold: bad host address list %s: %d", o.addresses.c_str(), r);
      return 2;
    }
  }

  printk(KERN_INFO "mirvold: host started (pid %d)\n", (int)getpid());
  if (!o.net_faults.empty()) load_net_faults(o.net_faults);

  std::vector<const char *> params;
  for (auto &p : o.params) params.push_back(p.c_str());
  int r = module_params_parse((int)params.size(), params.data(), "mirvol");
  if (r) {
    say(o, "mirvold: module parameters refused: %d", r);
    return 1;
  }
  r = init_module();
  if (r) {
    say(o, "mirvold: init_module failed: %d", r);
    klog_set_file(nullptr);
    return 1;
  }
  printk(KERN_INFO "mirvold: module loaded\n");

  std::vector<mirvold::mirror_file> files = mirvold::find_mirror_disks();
  // The control socket accepts before the mirror files appear, so a host
  // whose files are there is ready.
  if (!o.control.empty()) {
    r = mirvold::control_start(o.control);
    if (r) {
      say(o, "mirvold: cannot serve control socket %s: %d", o.control.c_str(), r);
      mirvold::release_mirror_disks(&files);
      cleanup_module();
      klog_set_file(nullptr);
      return 1;
    }
  }
  if (!o.mount.empty()) {
    r = mirvold::fs_start(o.mount, files);
    if (r) {
      say(o, "mirvold: cannot mount %s: %d", o.mount.c_str(), r);
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
