// mirvol_peer: the test peer as a program, for scripts that play the other
// server of a mirror device.
//
//   mirvol_peer head CMD [FIELD=VALUE]...
//       Prints the 56-byte head as hex. Fields: magic start end id status
//       length vec_count vec_index (decimal or 0x hex).
//   mirvol_peer listen [--addr A] [--port P] [--silent] --dir DIR
//       Listens (port 0: any), prints "port=P", and keeps DIR/conn-N holding
//       every byte connection N has sent so far (DIR/conn-N.closed once it
//       has closed). --silent accepts and never reads. Runs until SIGTERM or
//       SIGINT.
//   mirvol_peer send [--addr A] --port P [--negotiate] [--hex HEX]...
//                    [--read N] [--wait-ms MS]
//       Connects, sends the negotiation message when asked, then each HEX
//       string; with --read waits up to MS (default 5000) for N bytes and
//       prints them as hex. Exits 0 when everything went and N bytes came.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/test_peer.h"

namespace {

using testpeer::Bytes;

int usage() {
  fprintf(stderr,
          "usage: mirvol_peer head CMD [FIELD=VALUE]...\n"
          "       mirvol_peer listen [--addr A] [--port P] [--silent] --dir DIR\n"
          "       mirvol_peer send [--addr A] --port P [--negotiate] [--hex HEX]... "
          "[--read N] [--wait-ms MS]\n");
  return 2;
}

bool parse_u64(const char *s, uint64_t *out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 0);
  if (errno || *end) return false;
  *out = v;
  return true;
}

std::string to_hex(const Bytes &b) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

bool from_hex(const std::string &s, Bytes *out) {
  if (s.size() % 2) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    char pair[3] = {s[i], s[i + 1], 0};
    char *end = nullptr;
    long v = strtol(pair, &end, 16);
    if (*end) return false;
    out->push_back((uint8_t)v);
  }
  return true;
}

int cmd_head(int argc, char **argv) {
  uint64_t cmd;
  if (argc < 1 || !parse_u64(argv[0], &cmd)) return usage();
  testpeer::Head h;
  h.cmd = (uint32_t)cmd;
  for (int i = 1; i < argc; i++) {
    const char *eq = strchr(argv[i], '=');
    uint64_t v;
    if (!eq || !parse_u64(eq + 1, &v)) return usage();
    std::string name(argv[i], (size_t)(eq - argv[i]));
    if (name == "magic") h.magic = (uint32_t)v;
    else if (name == "start") h.start_sector = v;
    else if (name == "end") h.end_sector = v;
    else if (name == "id") h.request_id = v;
    else if (name == "status") h.status = (uint32_t)v;
    else if (name == "length") h.length = (uint32_t)v;
    else if (name == "vec_count") h.vec_count = (uint16_t)v;
    else if (name == "vec_index") h.vec_index = (uint16_t)v;
    else return usage();
  }
  printf("%s\n", to_hex(testpeer::encode(h)).c_str());
  return 0;
}

bool write_file(const std::string &path, const Bytes &b) {
  std::string tmp = path + ".tmp";
  FILE *f = fopen(tmp.c_str(), "wb");
  if (!f) return false;
  // An empty buffer has no data pointer: write nothing then.
  bool ok = b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size();
  ok = fclose(f) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

int cmd_listen(int argc, char **argv) {
  std::string addr = "127.0.0.1", dir;
  uint64_t port = 0;
  bool silent = false;
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--addr" && i + 1 < argc) addr = argv[++i];
    else if (a == "--port" && i + 1 < argc) {
      if (!parse_u64(argv[++i], &port) || port > 65535) return usage();
    } else if (a == "--silent") silent = true;
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else return usage();
  }
  if (dir.empty()) return usage();

  // Signals are taken by sigtimedwait below, in this thread only.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  testpeer::Listener listener([silent](size_t) { return !silent; }, addr, (uint16_t)port);
  if (!listener.ok()) {
    fprintf(stderr, "mirvol_peer: cannot listen on %s:%llu\n", addr.c_str(),
            (unsigned long long)port);
    return 1;
  }
  printf("port=%u\n", listener.port());
  fflush(stdout);

  std::vector<size_t> written;
  std::vector<bool> closed_marked;
  for (;;) {
    for (size_t i = 0; i < listener.count(); i++) {
      auto c = listener.conn(i);
      if (!c) break;
      if (written.size() <= i) {
        written.push_back((size_t)-1);
        closed_marked.push_back(false);
      }
      bool closed = c->closed();  // before the bytes: all of them are in
      Bytes b = c->received();
      std::string path = dir + "/conn-" + std::to_string(i);
      if (b.size() != written[i] && write_file(path, b)) written[i] = b.size();
      if (closed && !closed_marked[i] && written[i] == b.size() &&
          write_file(path + ".closed", Bytes()))
        closed_marked[i] = true;
    }
    struct timespec tick = {0, 50 * 1000 * 1000};
    if (sigtimedwait(&stop, nullptr, &tick) > 0) return 0;
  }
}

int cmd_send(int argc, char **argv) {
  std::string addr = "127.0.0.1";
  uint64_t port = 0, want = 0, wait_ms = 5000;
  bool negotiate = false;
  std::vector<Bytes> chunks;
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--addr" && i + 1 < argc) addr = argv[++i];
    else if (a == "--port" && i + 1 < argc) {
      if (!parse_u64(argv[++i], &port) || port == 0 || port > 65535) return usage();
    } else if (a == "--negotiate") negotiate = true;
    else if (a == "--hex" && i + 1 < argc) {
      Bytes b;
      if (!from_hex(argv[++i], &b)) return usage();
      chunks.push_back(b);
    } else if (a == "--read" && i + 1 < argc) {
      if (!parse_u64(argv[++i], &want)) return usage();
    } else if (a == "--wait-ms" && i + 1 < argc) {
      if (!parse_u64(argv[++i], &wait_ms)) return usage();
    } else return usage();
  }
  if (!port) return usage();
  auto c = testpeer::connect_to(addr, (uint16_t)port, (int)wait_ms);
  if (!c) {
    fprintf(stderr, "mirvol_peer: cannot connect to %s:%llu\n", addr.c_str(),
            (unsigned long long)port);
    return 1;
  }
  if (negotiate && !c->send(testpeer::short_msg(8))) return 1;
  for (auto &p : chunks)
    if (!c->send(p)) return 1;
  if (!want) return 0;
  bool got = c->wait_bytes((size_t)want, (int)wait_ms);
  printf("%s\n", to_hex(c->received()).c_str());
  return got ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "head") return cmd_head(argc - 2, argv + 2);
  if (cmd == "listen") return cmd_listen(argc - 2, argv + 2);
  if (cmd == "send") return cmd_send(argc - 2, argv + 2);
  return usage();
}
