// The standby receiver with the protocol test peer as the active server:
// crafted write messages go to the device's DATA listener, and the tests
// look at the replies on the device's own outgoing DATA connection, at
// whether the listener kept the connection, and at the bytes that reached
// the data partition image.

#include "mirror_fixture.h"

#include <atomic>
#include <optional>
#include <thread>

#include "include/mirvol_param.h"
#include "include/mirvol_recv.h"

namespace {

using mirrortest::kWaitMs;
using testpeer::Bytes;
using testpeer::Head;
using testutil::eventually;

constexpr u64 kLast = 16383;  // the device's last sector

// An LZSS stream that decodes to n bytes of v: one literal, then matches
// of the ring position that literal was written to.
Bytes lzss_run(u8 v, u32 n) {
  std::vector<u32> items;  // 0: literal, else match length
  items.push_back(0);
  for (u32 left = n - 1; left;) {
    u32 l = left >= 3 ? std::min<u32>(18, left) : 0;
    items.push_back(l);
    left -= l ? l : 1;
  }
  Bytes out;
  for (size_t g = 0; g < items.size(); g += 8) {
    u8 flags = 0;
    for (size_t k = 0; k < 8 && g + k < items.size(); k++)
      if (items[g + k] == 0) flags |= (u8)(1u << k);
    out.push_back(flags);
    for (size_t k = 0; k < 8 && g + k < items.size(); k++) {
      if (items[g + k] == 0) {
        out.push_back(v);
      } else {
        out.push_back(0xee);  // position 4078, the first write of the ring
        out.push_back((u8)(0xf0 | (items[g + k] - 3)));
      }
    }
  }
  return out;
}

Bytes fill(u32 n, u8 seed) {
  Bytes b(n);
  for (u32 i = 0; i < n; i++) b[i] = (u8)(seed + i * 13 + (i >> 9));
  return b;
}

// A write message: head, the segment tables and what follows them.
struct Msg {
  Head head;
  std::vector<u32> sizes, offsets;
  Bytes payload;
  Bytes wire() const {
    Bytes b = testpeer::encode(head);
    for (u32 s : sizes) testpeer::put_be32(b, s);
    for (u32 o : offsets) testpeer::put_be32(b, o);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
  }
};

Head write_head(u32 cmd, u64 sector, u32 length, u64 id) {
  Head h;
  h.cmd = cmd;
  h.start_sector = sector;
  h.end_sector = sector + length / 512 - 1;
  h.length = length;
  h.request_id = id;
  return h;
}

// A well-formed uncompressed vectored write of one page segment per 4 KiB.
Msg plain(u64 sector, const Bytes &data, u64 id, u32 cmd = CMD_WRITE_SYNC_DATA) {
  Msg m;
  m.head = write_head(cmd, sector, (u32)data.size(), id);
  for (u32 done = 0; done < data.size(); done += 4096) {
    m.sizes.push_back(std::min<u32>(4096, (u32)data.size() - done));
    m.offsets.push_back(0);
  }
  m.head.vec_count = (u16)m.sizes.size();
  m.payload = data;
  return m;
}

class Receiver : public mirrortest::MirrorTest {
 protected:
  void set_up_device() override {
    ASSERT_NE(nmp_->remote_write_head.sys_var, nullptr);
    ASSERT_NE(nmp_->send_ack1_head.sys_var, nullptr);
  }
  // The device as the standby: its receiver threads and listener run; the
  // fixture's first connection to the listener is closed again.
  void start_standby(u32 ack_timeout = 3000, bool remote_writer = true) {
    if (remote_writer) {
      ASSERT_NO_FATAL_FAILURE(
          start_thread(mirvol_remote_write_thread, NMP_THREAD_REMOTE_WRITE, "04"));
    }
    ASSERT_NO_FATAL_FAILURE(start_thread(mirvol_send_ack1_thread, NMP_THREAD_SEND_ACK1, "06"));
    ASSERT_NO_FATAL_FAILURE(start(1, false, ack_timeout));
    standby_->close();
    standby_.reset();
  }

  // A new connection of the active to the device's listener.
  std::shared_ptr<testpeer::Connection> connect(bool negotiate = true) {
    auto c = testpeer::connect_to("127.0.0.2", nmp_->data_port, kWaitMs);
    EXPECT_NE(c, nullptr);
    if (c && negotiate) {
      EXPECT_TRUE(c->send(testpeer::short_msg(CMD_NEGOTIATE)));
    }
    return c;
  }

  // Every head the device has sent on its outgoing DATA connections.
  std::vector<Head> replies() const {
    std::vector<Head> out;
    for (size_t i = 0; i < data_peer_->count(); i++) {
      auto c = data_peer_->conn(i);
      if (!c) continue;
      Bytes b = c->received();
      testpeer::Cursor cur(b);
      u32 magic, cmd;
      if (!cur.short_msg(&magic, &cmd)) continue;
      Head h;
      while (cur.head(&h)) out.push_back(h);
    }
    return out;
  }
  std::optional<Head> reply_for(u64 id, int ms = kWaitMs) const {
    std::optional<Head> found;
    eventually(
        [&] {
          for (auto &h : replies())
            if (h.request_id == id) found = h;
          return found.has_value();
        },
        ms);
    return found;
  }
  bool has_reply(u64 id) const {
    for (auto &h : replies())
      if (h.request_id == id) return true;
    return false;
  }
  bool wait_ack2_has(u64 id) const {
    unsigned long flags;
    bool found = false;
    spin_lock_irqsave(g_wait_ack2_queue_head.lock, flags);
    for (struct wait_ack2_queue *e = g_wait_ack2_queue_head.head; e; e = e->next)
      if (e->request_id == id) found = true;
    spin_unlock_irqrestore(g_wait_ack2_queue_head.lock, flags);
    return found;
  }
  Bytes image(u64 sector, size_t n) const {
    std::vector<char> raw = dp_.read((off_t)(sector * 512), n);
    return Bytes(raw.begin(), raw.end());
  }
  void set_mount_port(u32 v) {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->nmp_lock, flags);
    nmp_->mount_port = v;
    spin_unlock_irqrestore(&nmp_->nmp_variable->nmp_lock, flags);
  }
  s32 dp_error() const {
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->nmp_lock, flags);
    s32 v = nmp_->dp_error;
    spin_unlock_irqrestore(&nmp_->nmp_variable->nmp_lock, flags);
    return v;
  }
  // A good write on `c` is answered with ACK1 status 0: the listener still
  // reads that connection.
  void expect_still_served(testpeer::Connection &c, u64 id) {
    Bytes data = fill(512, (u8)id);
    ASSERT_TRUE(c.send(plain(15000, data, id).wire()));
    auto r = reply_for(id);
    ASSERT_TRUE(r.has_value()) << "the connection is no longer served";
    EXPECT_EQ(r->cmd, (u32)CMD_ACK1);
    EXPECT_EQ(r->status, 0u);
    EXPECT_EQ(image(15000, 512), data);
  }
};

enum class Reply { kAck1Ok, kAck1Failed, kStopSending, kNone };

TEST_F(Receiver, CraftedHeadsAreAnsweredAndWrittenOrRefusedUnwritten) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const Bytes page = fill(4096, 1);
  const Bytes sector = fill(512, 2);
  struct Case {
    const char *name;
    std::function<Msg(u64 id)> msg;
    Reply reply;
    bool kept;
    u64 at;          // where the data goes (or must not go)
    Bytes expect;    // what is there afterwards; empty: the write's range stays zero
    u32 untouched;   // bytes from `at` that stay zero when `expect` is empty
  };
  auto shape = [&](std::function<void(Msg &)> change) {
    return [&, change](u64 id) {
      Msg m = plain(200, page, id);
      change(m);
      return m;
    };
  };
  // Three segments with offsets; the head starts at the second one.
  auto vectored = [&](u64 id) {
    Msg m;
    m.head = write_head(CMD_WRITE_SYNC_DATA_3_14, 300, 3072, id);
    m.head.vec_count = 3;
    m.head.vec_index = 1;
    m.sizes = {512, 1024, 2048};
    m.offsets = {0, 512, 2048};
    m.payload = fill(3072, 3);
    return m;
  };
  // Compressed: a 4096-byte segment as a stream, then a 512-byte one raw
  // (its length word equals its size).
  Bytes run(4096, 0x5a);
  auto compressed = [&](u64 id) {
    Msg m;
    m.head = write_head(CMD_WRITE_COMPRESSED_SYNC_DATA, 400, 4608, id);
    m.head.vec_count = 2;
    m.sizes = {4096, 512};
    m.offsets = {0, 1024};
    Bytes s = lzss_run(0x5a, 4096);
    testpeer::put_be32(m.payload, (u32)s.size());
    m.payload.insert(m.payload.end(), s.begin(), s.end());
    testpeer::put_be32(m.payload, 512);
    m.payload.insert(m.payload.end(), sector.begin(), sector.end());
    return m;
  };
  Bytes run_then_sector = run;
  run_then_sector.insert(run_then_sector.end(), sector.begin(), sector.end());
  auto compressed_with = [&](Bytes stream, u32 word) {
    return [stream, word](u64 id) {
      Msg m;
      m.head = write_head(CMD_WRITE_COMPRESSED_SYNC_DATA_3_14, 500, 4096, id);
      m.head.vec_count = 1;
      m.sizes = {4096};
      m.offsets = {0};
      testpeer::put_be32(m.payload, word);
      m.payload.insert(m.payload.end(), stream.begin(), stream.end());
      return m;
    };
  };
  Bytes half = lzss_run(0x77, 2048);
  Bytes too_long = lzss_run(0x77, 4200);
  auto old = [&](u64 sector_no, u32 length) {
    return [=](u64 id) {
      Msg m;
      m.head = write_head(CMD_WRITE_SYNC_DATA_OLD, sector_no, length, id);
      m.head.end_sector = 0;  // command 0 has no end sector: sent as zero
      m.payload = fill(length, 4);
      return m;
    };
  };

  const Case cases[] = {
      {"one page", [&](u64 id) { return plain(100, page, id); }, Reply::kAck1Ok, true, 100, page, 0},
      {"segments from a start index", vectored, Reply::kAck1Ok, true, 300, fill(3072, 3), 0},
      {"compressed and raw segments", compressed, Reply::kAck1Ok, true, 400, run_then_sector, 0},
      {"the last sector", [&](u64 id) { return plain(kLast, sector, id); }, Reply::kAck1Ok, true,
       kLast, sector, 0},
      {"command 0", old(600, 1024), Reply::kAck1Ok, true, 600, fill(1024, 4), 0},
      {"command 0 on the last sector", old(kLast, 512), Reply::kAck1Ok, true, kLast, fill(512, 4), 0},
      {"one sector past the end", [&](u64 id) { return plain(kLast, page, id); },
       Reply::kAck1Failed, false, 16376, {}, 3584},
      {"starting past the end", [&](u64 id) { return plain(kLast + 1, sector, id); },
       Reply::kAck1Failed, false, 16376, {}, 3584},
      {"a range that wraps", shape([](Msg &m) {
         m.head.start_sector = ~0ull - 3;
         m.head.end_sector = m.head.start_sector + 7;
       }),
       Reply::kAck1Failed, false, 0, {}, 4096},
      {"command 0 past the end", old(kLast, 1024), Reply::kAck1Failed, false, 16376, {}, 3584},
      {"command 0 longer than a page", old(700, 8192), Reply::kAck1Failed, false, 700, {}, 8192},
      {"no vectors", shape([](Msg &m) { m.head.vec_count = 0; }), Reply::kAck1Failed, false, 200,
       {}, 4096},
      {"more vectors than a bio holds", shape([](Msg &m) {
         m.head.vec_count = BIO_MAX_PAGES + 1;
         m.sizes.assign(BIO_MAX_PAGES + 1, 16);
         m.offsets.assign(BIO_MAX_PAGES + 1, 0);
       }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"start index past the vectors", shape([](Msg &m) { m.head.vec_index = 1; }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"an empty vector", shape([](Msg &m) {
         m.head.vec_count = 2;
         m.sizes = {4096, 0};
         m.offsets = {0, 0};
       }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"a vector past its page", shape([](Msg &m) { m.offsets = {512}; }), Reply::kAck1Failed,
       false, 200, {}, 4096},
      {"vectors shorter than the length", shape([](Msg &m) { m.sizes = {2048}; }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"vectors longer than the length", shape([](Msg &m) {
         m.head.vec_count = 2;
         m.sizes = {4096, 512};
         m.offsets = {0, 0};
       }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"length zero", shape([](Msg &m) {
         m.head.length = 0;
         m.head.end_sector = m.head.start_sector;
       }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"length not whole sectors", shape([](Msg &m) { m.head.length = 4000; }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"end sector not matching", shape([](Msg &m) { m.head.end_sector += 1; }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"a stream that decodes short", compressed_with(half, (u32)half.size()), Reply::kAck1Failed,
       false, 500, {}, 4096},
      {"a stream that decodes long", compressed_with(too_long, (u32)too_long.size()),
       Reply::kAck1Failed, false, 500, {}, 4096},
      {"a length word above the segment", compressed_with(page, 4097), Reply::kAck1Failed, false,
       500, {}, 4096},
      {"data cut off by the peer", shape([](Msg &m) { m.payload.resize(1000); }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      // Minors 3 and 1: ids up to 4 << 24 name a device of this server.
      {"the largest id a device can have", shape([](Msg &m) { m.head.request_id = 4ull << 24; }),
       Reply::kAck1Ok, true, 200, page, 0},
      {"an id no device can have", shape([](Msg &m) { m.head.request_id = (4ull << 24) + 1; }),
       Reply::kAck1Failed, false, 200, {}, 4096},
      {"command 0 with an id no device can have", [&](u64 id) {
         (void)id;
         Msg m = old(600, 512)(0);
         m.head.request_id = ~0ull;
         return m;
       },
       Reply::kAck1Failed, false, 600, {}, 512},
  };
  u64 id = (3ull << 24) + 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Msg m = c.msg(id++);
    const u64 my_id = m.head.request_id;
    conn->send(m.wire());  // may fail: a refused message is not read to its end
    if (std::string(c.name) == "data cut off by the peer") conn->close();
    auto r = reply_for(my_id);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->cmd, (u32)CMD_ACK1);
    EXPECT_EQ(r->status, c.reply == Reply::kAck1Ok ? 0u : 1u);
    EXPECT_EQ(r->start_sector, m.head.start_sector);
    if (c.reply == Reply::kAck1Ok) {
      EXPECT_TRUE(wait_ack2_has(my_id)) << "ACK1 went out before its wait-ACK2 entry";
      EXPECT_EQ(image(c.at, c.expect.size()), c.expect);
      if (c.kept) dp_.write((off_t)(c.at * 512), std::vector<char>(c.expect.size(), 0));
    } else {
      u32 n = c.untouched ? c.untouched : 4096;
      EXPECT_EQ(image(c.at, n), Bytes(n, 0));
      EXPECT_FALSE(wait_ack2_has(my_id));
    }
    if (c.kept) {
      ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, id++));
      conn->close();
    } else if (!conn->closed()) {
      EXPECT_TRUE(conn->wait_closed(kWaitMs)) << "the connection was kept";
    }
    // The next case is served only once this connection is gone.
  }
}

TEST_F(Receiver, ClosedNwPortOrOpenMountPortAnswersStopSendingAndCloses) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const struct {
    const char *name;
    u32 nw_port, mount_port;
    u32 cmd;
  } cases[] = {
      {"N/W port closed", 0, 0, CMD_WRITE_SYNC_DATA},
      {"mount port open", 1, 1, CMD_WRITE_SYNC_DATA},
      {"N/W port closed, command 0", 0, 0, CMD_WRITE_SYNC_DATA_OLD},
  };
  u64 id = (3ull << 24) + 100;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    set_nw_port(c.nw_port);
    set_mount_port(c.mount_port);
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Msg m = plain(800, fill(512, 9), id);
    m.head.cmd = c.cmd;
    if (c.cmd == CMD_WRITE_SYNC_DATA_OLD) {
      m.head.vec_count = 0;
      m.sizes.clear();
      m.offsets.clear();
    }
    conn->send(m.wire());
    auto r = reply_for(id);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->cmd, (u32)CMD_STOP_SENDING_DATA);
    EXPECT_EQ(r->status, 0u);
    EXPECT_TRUE(conn->wait_closed(kWaitMs));
    EXPECT_EQ(image(800, 512), Bytes(512, 0));
    id++;
  }
  set_nw_port(1);
  set_mount_port(0);
  auto conn = connect();
  ASSERT_NE(conn, nullptr);
  ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, id));
}

TEST_F(Receiver, CommandsThatDoNotBelongOnTheConnectionCloseItUnanswered) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const u32 cmds[] = {CMD_ACK2, CMD_NEGOTIATE, CMD_RECOVERY_SUB_HEADER, 19};
  u64 id = (3ull << 24) + 200;
  for (u32 cmd : cmds) {
    SCOPED_TRACE(cmd);
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Head h = write_head(cmd, 900, 512, id);
    conn->send(testpeer::encode(h));
    EXPECT_TRUE(conn->wait_closed(kWaitMs));
    EXPECT_FALSE(has_reply(id));
    id++;
  }
}

TEST_F(Receiver, OverlappingWritesReachTheDiskInArrivalOrder) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  // The first write is held back on its way to the disk: the later ones,
  // which overlap it, must still land after it.
  struct blk_fault hold = {BLK_FAULT_WRITE, 1000, 8, 1, 300, 0};
  ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &hold), 0);
  auto conn = connect();
  ASSERT_NE(conn, nullptr);
  const u64 base = (3ull << 24) + 300;
  const struct {
    u64 sector;
    u32 bytes;
  } writes[] = {{1000, 4096}, {1004, 512}, {1002, 2048}, {1000, 1024}, {1006, 1024}};
  Bytes model(8 * 512, 0);
  for (size_t i = 0; i < std::size(writes); i++) {
    Bytes data = fill(writes[i].bytes, (u8)(40 + i * 17));
    std::copy(data.begin(), data.end(), model.begin() + (writes[i].sector - 1000) * 512);
    ASSERT_TRUE(conn->send(plain(writes[i].sector, data, base + i).wire()));
  }
  for (size_t i = 0; i < std::size(writes); i++) {
    auto r = reply_for(base + i);
    ASSERT_TRUE(r.has_value()) << i;
    EXPECT_EQ(r->status, 0u);
  }
  EXPECT_EQ(image(1000, model.size()), model);
}

TEST_F(Receiver, ASecondConnectionIsServedOnlyAfterTheFirstCloses) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  auto first = connect();
  ASSERT_NE(first, nullptr);
  ASSERT_NO_FATAL_FAILURE(expect_still_served(*first, (3ull << 24) + 400));
  auto second = connect();
  ASSERT_NE(second, nullptr);
  const u64 waiting = (3ull << 24) + 401;
  Bytes data = fill(512, 77);
  ASSERT_TRUE(second->send(plain(1100, data, waiting).wire()));
  // The first connection is still served, the second not yet.
  ASSERT_NO_FATAL_FAILURE(expect_still_served(*first, (3ull << 24) + 402));
  EXPECT_FALSE(has_reply(waiting));
  first->close();
  auto r = reply_for(waiting);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, 0u);
  EXPECT_EQ(image(1100, 512), data);
}

TEST_F(Receiver, APeerThatNeverNegotiatesIsDroppedAndTheNextOneServed) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const struct {
    const char *name;
    std::optional<Bytes> first_bytes;
  } cases[] = {
      {"silent", std::nullopt},
      {"wrong magic", testpeer::short_msg(CMD_NEGOTIATE, 0x12345678)},
      {"wrong command", testpeer::short_msg(CMD_HB_REQUEST)},
  };
  u64 id = (3ull << 24) + 500;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto mute = connect(false);
    ASSERT_NE(mute, nullptr);
    if (c.first_bytes) {
      ASSERT_TRUE(mute->send(*c.first_bytes));
    }
    auto next = connect();
    ASSERT_NE(next, nullptr);
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*next, id++));
    EXPECT_TRUE(mute->wait_closed(kWaitMs));
    next->close();
  }
}

TEST_F(Receiver, AFailedDiskWriteIsAnsweredOnlyUnderMirrorBreak) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const struct {
    const char *name;
    int action;
    bool ack1_failed;  // else no answer at all, and the error flag is raised
  } cases[] = {
      {"mirror break", 2, true},
      {"reset", 0, false},
      {"panic", 1, false},
  };
  u64 id = (3ull << 24) + 600;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    __atomic_store_n(&g_disk_error_action[3], c.action, __ATOMIC_RELAXED);
    unsigned long flags;
    spin_lock_irqsave(&nmp_->nmp_variable->nmp_lock, flags);
    nmp_->dp_error = 0;
    spin_unlock_irqrestore(&nmp_->nmp_variable->nmp_lock, flags);
    struct blk_fault fail = {BLK_FAULT_WRITE, 1200, 8, 1, 0, 1};
    ASSERT_GE(bdev_fault_add(nmp_->dp_bdev, &fail), 0);
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    u64 failed = id++;
    ASSERT_TRUE(conn->send(plain(1200, fill(4096, 5), failed).wire()));
    if (c.ack1_failed) {
      auto r = reply_for(failed);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->cmd, (u32)CMD_ACK1);
      EXPECT_EQ(r->status, 1u);
      EXPECT_EQ(dp_error(), 0);
    } else {
      EXPECT_TRUE(eventually([&] { return dp_error() == 1; }, kWaitMs));
    }
    // The connection goes on; a later write is answered as usual.
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, id++));
    if (!c.ack1_failed) {
      EXPECT_FALSE(has_reply(failed));
    }
    EXPECT_FALSE(wait_ack2_has(failed));
    conn->close();
    bdev_fault_clear(nmp_->dp_bdev);
  }
  __atomic_store_n(&g_disk_error_action[3], 0, __ATOMIC_RELAXED);
  // The disk-error thread is not running here: its actions never fire.
}

TEST_F(Receiver, AnAck1ThatCannotBeSentLeavesTheWriteToThisServersBitmap) {
  // A short ACK2 wait, so that the entry expires in the test.
  ASSERT_NO_FATAL_FAILURE(start_standby(2));
  // The active's listener is gone: the device cannot send its ACK1.
  data_peer_.reset();
  auto conn = connect();
  ASSERT_NE(conn, nullptr);
  const u64 id = (3ull << 24) + 700;
  Bytes data = fill(4096, 11);
  ASSERT_TRUE(conn->send(plain(2048, data, id).wire()));
  EXPECT_TRUE(eventually([&] { return image(2048, 4096) == data; }, kWaitMs));
  EXPECT_TRUE(bitmap_is({{2048, 4096}}));
  EXPECT_TRUE(eventually([&] { return wait_ack2_entries() == 0; }, kWaitMs));
}

TEST_F(Receiver, AFailedAllocationIsAnsweredWithAck1Status1) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  struct task_struct *listener = pid_task(nmp_->thread[NMP_THREAD_ACCEPT].pid_handle);
  ASSERT_NE(listener, nullptr);
  {
    // The device's own DATA connection exists before allocations fail.
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, (3ull << 24) + 800));
    conn->close();
  }
  // Allocations of the listener for a write of two vectors, in order: the
  // two segment tables, the completion context, the bio, its two pages,
  // the remote-write queue node.
  const struct {
    const char *name;
    long skip, count;
    const char *log;
    bool written;  // ACK1 status 0 and the connection kept
    bool kept;
  } cases[] = {
      {"segment sizes", 0, -1, "failed to allocate vec_size.", false, false},
      {"segment offsets", 1, -1, "failed to allocate vec_offset.", false, false},
      {"completion context", 2, -1, "failed to allocate end_io_para.", false, false},
      {"bio", 3, -1, "failed to allocate bio.", false, false},
      {"page", 4, -1, "failed to allocate bio.", false, false},
      {"bio after one retry", 3, 1,
       "failed to allocate bio for writing received data, retrying.", true, true},
      {"page after one retry", 5, 1,
       "failed to allocate bv_page for writing received data, retrying.", true, true},
      {"queue node", 6, -1, "failed to allocate remote_write_queue.", false, true},
  };
  u64 id = (3ull << 24) + 801;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    testutil::LogCapture log;
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    // The listener is waiting for the head once it has read the negotiation.
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, id++));
    Bytes data = fill(8192, (u8)id);
    u64 my_id = id++;
    alloc_fault_inject(c.skip, c.count, listener);
    conn->send(plain(1300, data, my_id).wire());
    auto r = reply_for(my_id);
    alloc_fault_clear();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(log.contains(c.log)) << log.dump();
    EXPECT_EQ(r->cmd, (u32)CMD_ACK1);
    EXPECT_EQ(r->status, c.written ? 0u : 1u);
    EXPECT_EQ(image(1300, data.size()), c.written ? data : Bytes(data.size(), 0));
    if (c.kept) {
      ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, id++));
      conn->close();
    } else {
      EXPECT_TRUE(conn->wait_closed(kWaitMs));
    }
    if (c.written) dp_.write(1300 * 512, std::vector<char>(data.size(), 0));
  }
}

TEST_F(Receiver, WritesNotYetOnTheDiskWhenTheDeviceStopsReachThisServersBitmap) {
  // No remote-write thread: what is received stays queued.
  ASSERT_NO_FATAL_FAILURE(start_standby(3000, false));
  auto conn = connect();
  ASSERT_NE(conn, nullptr);
  const struct {
    u64 sector;
    u32 bytes;
  } writes[] = {{40, 4096}, {9000, 1024}};
  u64 id = (3ull << 24) + 900;
  for (auto &w : writes) ASSERT_TRUE(conn->send(plain(w.sector, fill(w.bytes, 6), id++).wire()));
  ASSERT_TRUE(eventually(
      [&] { return atomic_read_acquire(&nmp_->recv_in_flight) == 2; }, kWaitMs));
  u64 granule = nmp_->bmp_size_in_sec;
  conn->close();
  // Unload, as the fixture's reload does, and read what it left on the images.
  clock_set_automatic();
  load_.reset();
  my_disk[3] = 0;
  nmp_ = nullptr;
  writertest::BitModel model(1024);
  for (auto &w : writes) model.mark(w.sector, w.sector + w.bytes / 512 - 1, granule, kDeviceSectors);
  EXPECT_EQ(disk_bits(1024), model.bytes);
  for (auto &w : writes) EXPECT_EQ(image(w.sector, w.bytes), Bytes(w.bytes, 0));
}

TEST_F(Receiver, AWriteNotAlignedToTheDataPartitionsBlocksIsRefusedUnwritten) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  struct request_queue *q = bdev_get_queue(nmp_->dp_bdev);
  blk_queue_logical_block_size(q, 4096);
  // Not written as a disk error (which would raise the error flag and send
  // no ACK1 under the reset action) but refused as a malformed head.
  __atomic_store_n(&g_disk_error_action[3], 0, __ATOMIC_RELAXED);
  const struct {
    const char *name;
    u64 sector;
    u32 bytes;
    u32 cmd;
    bool refused;
  } cases[] = {
      {"start inside a block", 2049, 4096, CMD_WRITE_SYNC_DATA, true},
      {"length of part of a block", 2056, 2048, CMD_WRITE_SYNC_DATA, true},
      {"command 0 inside a block", 2065, 512, CMD_WRITE_SYNC_DATA_OLD, true},
      {"whole blocks", 2072, 4096, CMD_WRITE_SYNC_DATA, false},
  };
  u64 id = (3ull << 24) + 1000;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Bytes data = fill(c.bytes, (u8)id);
    Msg m = plain(c.sector, data, id);
    if (c.cmd == CMD_WRITE_SYNC_DATA_OLD) {
      m.head.cmd = c.cmd;
      m.head.end_sector = 0;
      m.head.vec_count = 0;
      m.sizes.clear();
      m.offsets.clear();
    }
    conn->send(m.wire());
    auto r = reply_for(id);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->cmd, (u32)CMD_ACK1);
    EXPECT_EQ(r->status, c.refused ? 1u : 0u);
    EXPECT_EQ(dp_error(), 0);
    EXPECT_EQ(image(c.sector, c.bytes), c.refused ? Bytes(c.bytes, 0) : data);
    EXPECT_EQ(wait_ack2_has(id), !c.refused);
    if (c.refused) {
      EXPECT_TRUE(conn->wait_closed(kWaitMs)) << "the connection was kept";
    }
    conn->close();
    id++;
  }
  blk_queue_logical_block_size(q, 512);
}

TEST_F(Receiver, AMalformedHeadOnAClosedPortIsRefusedAndLeavesNoWaitAck2Entry) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  // The replies cannot be sent: a stop-sending that fails would leave the
  // head on the wait-ACK2 queue.
  data_peer_.reset();
  set_nw_port(0);
  const struct {
    const char *name;
    std::function<void(Msg &)> change;
  } cases[] = {
      {"an id no device can have", [](Msg &m) { m.head.request_id = ~0ull - 7; }},
      {"an end sector before the start", [](Msg &m) { m.head.end_sector = 0; }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    testutil::LogCapture log;
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Msg m = plain(800, fill(512, 9), (3ull << 24) + 1100);
    c.change(m);
    conn->send(m.wire());
    EXPECT_TRUE(conn->wait_closed(kWaitMs));
    EXPECT_TRUE(log.wait_for("received wrong write head.", kWaitMs)) << log.dump();
    EXPECT_FALSE(log.contains("N/W port has been closed")) << log.dump();
    EXPECT_EQ(wait_ack2_entries(), 0u);
  }
}

TEST_F(Receiver, AHostThatIsNotThePeerIsClosedUnreadAndDoesNotHoldTheListener) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  const struct {
    const char *name;
    bool writes;  // negotiates and sends a good write; else stays silent
  } cases[] = {{"a writing stranger", true}, {"a silent stranger", false}};
  u64 id = (3ull << 24) + 1200;
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    mirvol_printk_init();
    testutil::LogCapture log;
    auto stranger = testpeer::connect_to("127.0.0.2", nmp_->data_port, kWaitMs, "127.0.0.3");
    ASSERT_NE(stranger, nullptr);
    const u64 stranger_id = id++;
    Bytes data = fill(4096, 21);
    if (c.writes) {
      Bytes b = testpeer::short_msg(CMD_NEGOTIATE);
      Bytes w = plain(1400, data, stranger_id).wire();
      b.insert(b.end(), w.begin(), w.end());
      stranger->send(b);  // may fail: the listener closes it unread
    }
    EXPECT_TRUE(stranger->wait_closed(kWaitMs)) << "the stranger's connection was kept";
    EXPECT_TRUE(log.wait_for("NMP3 accepted data receive connection from 127.0.0.3, but it is not "
                             "an opponent address of this device. (mirvol_accept_thread)",
                             kWaitMs))
        << log.dump();
    // The peer is served at once.
    auto peer = connect();
    ASSERT_NE(peer, nullptr);
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*peer, id++));
    EXPECT_FALSE(has_reply(stranger_id));
    EXPECT_EQ(image(1400, data.size()), Bytes(data.size(), 0));
    peer->close();
  }
}

// A device that is not the current server of its mirror takes no data: the
// peer's connection is closed before a byte of it is read, nothing reaches
// the disk, and the listener serves the peer again once the device is.
TEST_F(Receiver, AConnectionToADeviceThatIsNotCurrentIsClosedUnread) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  mirvol_printk_init();
  testutil::LogCapture log;
  __atomic_store_n(&nmp_->active, 0, __ATOMIC_RELAXED);
  const u64 refused_id = (3ull << 24) + 1300;
  Bytes data = fill(4096, 23);
  {
    auto peer = connect();
    ASSERT_NE(peer, nullptr);
    peer->send(plain(1500, data, refused_id).wire());  // may fail: closed unread
    EXPECT_TRUE(peer->wait_closed(kWaitMs)) << "the connection was kept";
  }
  EXPECT_TRUE(log.wait_for("<event: 231> NMP3 accepted receive data, but this server is not "
                           "current server of hybrid disk.",
                           kWaitMs))
      << log.dump();
  EXPECT_FALSE(has_reply(refused_id));
  EXPECT_EQ(image(1500, data.size()), Bytes(data.size(), 0));

  __atomic_store_n(&nmp_->active, 1, __ATOMIC_RELAXED);
  auto peer = connect();
  ASSERT_NE(peer, nullptr);
  ASSERT_NO_FATAL_FAILURE(expect_still_served(*peer, refused_id + 1));
  peer->close();
}

// Command 73 shuts the accepted connection down while the listener takes
// and drops connections: the shutdown and the listener's release of the
// socket never overlap (a sanitizer build sees a use of a freed socket or
// a race on the pointer otherwise).
TEST_F(Receiver, AddressUpdateShutsTheAcceptedConnectionWhileTheListenerDropsIt) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  std::atomic<bool> done{false};
  std::atomic<int> served{0};
  std::thread churn([&] {
    for (int i = 0; i < 200; i++) {
      auto c = testpeer::connect_to("127.0.0.2", nmp_->data_port, kWaitMs);
      if (!c) continue;
      c->send(testpeer::short_msg(CMD_NEGOTIATE));
      // Half close at once, half after the listener may have read a head.
      if (i % 2) c->send(plain(1500, fill(512, 3), (3ull << 24) + 1300 + (u64)i).wire());
      c->close(i % 4 == 1);
      served++;
    }
    done = true;
  });
  // The record: one network with the addresses it has, state FREE.
  std::vector<u8> rec(MIRVOL_NETSTATUS_HEAD + MIRVOL_NET_DETAIL_SIZE, 0);
  u32 count = 1, version = 4;
  memcpy(rec.data() + 4, &count, 4);
  memcpy(rec.data() + 8, &version, 4);
  memcpy(rec.data() + 12, nmp_->network_list->self_addr, 16);
  memcpy(rec.data() + 28, nmp_->network_list->opponent_addr, 16);
  constexpr unsigned long kUaddr = 0x20000;
  int calls = 0;
  for (; calls < 100000 && !done; calls++) {
    std::vector<u8> buf = rec;
    struct user_context ctx = {buf.data(), (unsigned long)buf.size(), kUaddr, nullptr, nullptr, 0};
    set_user_context(&ctx);
    int r = mirvol_nmp_mdc_update(nullptr, 3, 73, kUaddr);
    set_user_context(nullptr);
    ASSERT_EQ(r, 0);
    u32 status;
    memcpy(&status, buf.data(), 4);
    ASSERT_EQ(status, (u32)STATUS_OK);
  }
  churn.join();
  EXPECT_EQ(served.load(), 200);
  // The listener still takes the peer's writes.
  Bytes data = fill(512, 99);
  EXPECT_TRUE(eventually(
      [&] {
        auto c = connect();
        if (!c) return false;
        c->send(plain(1600, data, (3ull << 24) + 1600).wire());
        bool ok = eventually([&] { return image(1600, 512) == data; }, 2000);
        c->close();
        return ok;
      },
      kWaitMs));
}

// Segments of several sizes and offsets, from a start index, arriving in
// small pieces that cross the table and segment boundaries: the tables and
// the payload are each read in one receive that resumes where a piece
// ended, and every byte lands at its segment's place.
TEST_F(Receiver, APayloadArrivingInPiecesFillsEverySegmentInPlace) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  Msg m;
  m.sizes = {512, 1024, 3584, 4096, 512};
  m.offsets = {0, 3072, 512, 0, 3584};
  m.head = write_head(CMD_WRITE_SYNC_DATA, 900, 1024 + 3584 + 4096 + 512, (3ull << 24) + 950);
  m.head.vec_count = 5;
  m.head.vec_index = 1;
  m.payload = fill(m.head.length, 21);
  for (size_t piece : {size_t(7), size_t(1000)}) {
    SCOPED_TRACE(piece);
    m.head.request_id++;
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Bytes w = m.wire();
    for (size_t at = 0; at < w.size(); at += piece) {
      ASSERT_TRUE(conn->send(w.data() + at, std::min(piece, w.size() - at)));
      // Lets the receiver see a piece alone now and then.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto r = reply_for(m.head.request_id);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 0u);
    EXPECT_EQ(image(900, m.payload.size()), m.payload);
    dp_.write(900 * 512, std::vector<char>(m.payload.size(), 0));
    ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, m.head.request_id + 100));
    conn->close();
  }
}

// A peer that closes inside the tables or the payload: the failure names
// the part that was cut, is answered with ACK1 status 1, and writes nothing.
TEST_F(Receiver, APeerThatClosesInsideTheTablesOrThePayloadIsNamedAndRefused) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  Msg m = plain(1100, fill(8192, 31), 0);
  const size_t head = MIRVOL_HEAD_PART_SIZE;
  const struct {
    size_t cut;  // bytes of the message sent before the close
    const char *log;
  } cases[] = {
      {head, "failed to receive sync vec_size part."},
      {head + 6, "failed to receive sync vec_size part."},
      {head + 8, "failed to receive sync vec_offset part."},
      {head + 13, "failed to receive sync vec_offset part."},
      {head + 16, "failed to receive sync data part."},
      {head + 16 + 5000, "failed to receive sync data part."},
  };
  u64 id = (3ull << 24) + 1000;
  for (auto &c : cases) {
    SCOPED_TRACE(c.cut);
    mirvol_printk_init();
    testutil::LogCapture log;
    m.head.request_id = id++;
    auto conn = connect();
    ASSERT_NE(conn, nullptr);
    Bytes w = m.wire();
    ASSERT_TRUE(conn->send(w.data(), c.cut));
    conn->close();
    auto r = reply_for(m.head.request_id);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 1u);
    EXPECT_TRUE(log.contains(c.log)) << log.dump();
    EXPECT_EQ(image(1100, 8192), Bytes(8192, 0));
  }
}

// With the clock stopped the remote-write and ACK1 threads get no periodic
// pass: every write must reach the disk and be answered on the wake-ups of
// its own queueing, wherever these fall against the threads' checks of
// their queues.
TEST_F(Receiver, WithTheClockStoppedEveryWriteIsWrittenAndAnsweredOnItsOwnWakeUps) {
  ASSERT_NO_FATAL_FAILURE(start_standby());
  auto conn = connect();
  ASSERT_NE(conn, nullptr);
  const u64 base = (3ull << 24) + 2000;
  // The device's own DATA connection is made while the clock runs.
  ASSERT_NO_FATAL_FAILURE(expect_still_served(*conn, base));
  testutil::StoppedClock stopped;
  for (u64 i = 1; i <= 400; i++) {
    SCOPED_TRACE(i);
    const u64 sector = 2000 + (i % 64) * 8;
    Bytes data = fill(512 * (1 + i % 8), (u8)i);
    ASSERT_TRUE(conn->send(plain(sector, data, base + i).wire()));
    auto r = reply_for(base + i);
    ASSERT_TRUE(r.has_value()) << "the write was left for a pass";
    EXPECT_EQ(r->status, 0u);
    EXPECT_EQ(image(sector, data.size()), data);
  }
}

// Replies queued together go out together: each with its own status and
// the write's sector and id, in queue order, and each written one's
// wait-ACK2 entry made; a failed write's reply that went out leaves none.
TEST_F(Receiver, Ack1sQueuedTogetherEachReachThePeerWithTheirOwnStatus) {
  // The ACK1 sender starts only once every reply is queued.
  ASSERT_NO_FATAL_FAILURE(start(1, false, 3000));
  standby_->close();
  standby_.reset();
  const u32 statuses[] = {0, 1, 0, 0, 1, 0, 0, 0};
  const u64 base = (3ull << 24) + 1200;
  {
    // A first reply opens the device's DATA connection.
    Head h = write_head(CMD_WRITE_SYNC_DATA, 8, 4096, base - 1);
    Bytes wire = testpeer::encode(h);
    ASSERT_GT(mirvol_send_Ack1(wire.data(), nmp_, 0), 0);
  }
  for (u32 i = 0; i < sizeof(statuses) / sizeof(statuses[0]); i++) {
    Head h = write_head(CMD_WRITE_SYNC_DATA, 64 + 8 * i, 4096, base + i);
    h.vec_count = 1;
    Bytes wire = testpeer::encode(h);
    struct end_io_para para;
    para.nmp = nmp_;
    memcpy(para.head, wire.data(), sizeof(para.head));
    ASSERT_EQ(mirvol_add_send_ack1_queue(&para, statuses[i]), 0);
  }
  ASSERT_NO_FATAL_FAILURE(start_thread(mirvol_send_ack1_thread, NMP_THREAD_SEND_ACK1, "06"));
  const size_t n = sizeof(statuses) / sizeof(statuses[0]);
  std::vector<Head> got;
  ASSERT_TRUE(eventually(
      [&] {
        got = replies();
        return got.size() >= n + 1;
      },
      kWaitMs));
  ASSERT_EQ(got.size(), n + 1);
  got.erase(got.begin());
  for (size_t i = 0; i < n; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].cmd, (u32)CMD_ACK1);
    EXPECT_EQ(got[i].request_id, base + i);
    EXPECT_EQ(got[i].start_sector, 64 + 8 * i);
    EXPECT_EQ(got[i].status, statuses[i]);
    EXPECT_EQ(wait_ack2_has(base + i), statuses[i] == 0);
  }
}

}  // namespace
