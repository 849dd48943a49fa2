// mirvold: the host process that plays the running kernel for one server.
//
//   mirvold [--mount DIR] [--control SOCKET] [--log FILE] [--addresses A,B]
//           [--time-scale N] nmp_minor=3,1,7 [g_mirvol_major=218] [g_nmp_count=N]
//
// It sets up the platform (kernel log file, clock), takes the module
// parameters as the module loader would, and runs in the foreground until
// SIGTERM or SIGINT.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace {

struct options {
  std::string mount;
  std::string control;
  std::string log;
  std::string addresses;
  unsigned time_scale = 1;
  std::vector<std::string> params;  // name=value, as insmod takes them
};

void usage() {
  fprintf(stderr,
          "usage: mirvold [--mount DIR] [--control SOCKET] [--log FILE] [--addresses A,B]\n"
          "               [--time-scale N] nmp_minor=M[,M...] [g_mirvol_major=N] [g_nmp_count=N]\n");
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
    } else if (a == "--time-scale") {
      std::string v;
      if (!value(&v)) return false;
      char *end = nullptr;
      unsigned long n = strtoul(v.c_str(), &end, 10);
      if (!end || *end || n == 0 || n > 1000) return false;
      o->time_scale = (unsigned)n;
    } else if (a.find('=') != std::string::npos && a[0] != '-') {
      o->params.push_back(a);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    usage();
    return 2;
  }
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

  // SIGTERM and SIGINT are taken synchronously by the main thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  printk(KERN_INFO "mirvold: host started (pid %d)\n", (int)getpid());
  int sig = 0;
  while (sigwait(&stop, &sig) != 0) {
  }
  printk(KERN_INFO "mirvold: stopping on signal %d\n", sig);
  klog_set_file(nullptr);
  return 0;
}
