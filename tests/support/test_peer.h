// A stand-in for the peer server of a mirror device, for tests of the
// connections, senders and receivers: it listens on or connects to a
// device's ports over real TCP, speaks the negotiation, sends crafted heads
// and payloads, and records every byte it receives per connection.
//
// Its wire encoding is written here on its own, byte by byte, so that tests
// check the driver's encoding against an independent one.
//
// Every wait takes its own time limit in milliseconds of real time. The
// destructors close every socket and join every thread, also when a test
// has failed half-way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpeer {

constexpr uint32_t kMagic = 0x25609513;
constexpr size_t kHeadSize = 56;
constexpr size_t kShortSize = 8;

using Bytes = std::vector<uint8_t>;

// A head in host order; `reserved` goes out as given (the driver must
// ignore it), and decode fills it from the wire.
struct Head {
  uint32_t magic = kMagic;
  uint32_t cmd = 0;
  uint64_t start_sector = 0;
  uint64_t end_sector = 0;
  uint64_t request_id = 0;
  uint32_t status = 0;
  uint32_t length = 0;
  uint16_t vec_count = 0;
  uint16_t vec_index = 0;
  uint8_t reserved[12] = {};
};

Bytes encode(const Head &h);
// False when fewer than 56 bytes are there.
bool decode(const uint8_t *p, size_t n, Head *h);
// The 8-byte negotiation (8) and heartbeat (200, 201) messages.
Bytes short_msg(uint32_t cmd, uint32_t magic = kMagic);
// Big-endian fields, for payloads that tests build (segment tables).
void put_be32(Bytes &b, uint32_t v);
uint32_t get_be32(const uint8_t *p);

// Steps through a recorded byte stream.
class Cursor {
 public:
  explicit Cursor(const Bytes &b) : b_(b) {}
  bool short_msg(uint32_t *magic, uint32_t *cmd);
  bool head(Head *h);
  bool take(size_t n, Bytes *out);
  size_t left() const { return b_.size() - off_; }

 private:
  const Bytes &b_;
  size_t off_ = 0;
};

// One TCP connection of the peer. In reading mode a thread records every
// byte until the other side closes; in silent mode nothing is read, so the
// other side's sends back up (the receive buffer is kept small).
class Connection {
 public:
  Connection(int fd, bool reading);
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // Sends every byte (no SIGPIPE); false when the connection failed.
  bool send(const void *p, size_t n);
  bool send(const Bytes &b) { return send(b.data(), b.size()); }
  Bytes received() const;
  // At least n bytes recorded, within ms.
  bool wait_bytes(size_t n, int ms) const;
  // The other side closed (end of stream or an error), within ms. Only for
  // reading connections.
  bool wait_closed(int ms) const;
  bool closed() const;
  // Closes now; with reset the close sends a reset (linger 0).
  void close(bool reset = false);
  int fd() const { return fd_; }

 private:
  void reader();
  int fd_;
  bool reading_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  Bytes data_;
  bool closed_ = false;
  std::thread thread_;
};

// A listener on an address and port (port 0: one is chosen). Each accepted
// connection is reading or silent as the policy says by its index (0 first).
class Listener {
 public:
  using Policy = std::function<bool(size_t index)>;  // true: reading
  explicit Listener(Policy reading = [](size_t) { return true; },
                    const std::string &addr = "127.0.0.1", uint16_t port = 0);
  ~Listener();
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  size_t count() const;
  bool wait_connections(size_t n, int ms) const;
  // The i-th accepted connection (null when there is none yet).
  std::shared_ptr<Connection> conn(size_t i) const;

 private:
  void acceptor();
  Policy reading_;
  int fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::shared_ptr<Connection>> conns_;
  std::thread thread_;
};

// A listener on 127.0.0.1 that never accepts and whose accept queue is
// full: a connect to it gets no answer and waits until its own time-out.
class FullBacklogListener {
 public:
  FullBacklogListener();
  ~FullBacklogListener();
  bool ok() const { return full_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

// A reading connection to addr:port, or null when it cannot be made within ms.
// A non-empty `source` is bound as the connection's own address (for a host
// that is not the device's peer).
std::shared_ptr<Connection> connect_to(const std::string &addr, uint16_t port, int ms,
                                       const std::string &source = "");

// A free TCP port on 127.0.0.1 (bound and closed again; nothing listens).
uint16_t unused_port();

}  // namespace testpeer
