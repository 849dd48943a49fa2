// The wire head, the 8-byte messages and the command and error texts,
// against byte strings written out by hand.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "include/mirvol_protocol.h"
#include "tests/support/test_peer.h"

namespace {

using Bytes = std::vector<u8>;

// Every field at a distinct value, so that a field written to the wrong
// offset, in the wrong order or with the wrong width shows.
struct head_part sample_head() {
  struct head_part h;
  mirvol_head_init(&h, 0x0000000e);
  h.start_sector = 0x0102030405060708ULL;
  h.end_sector = 0x1112131415161718ULL;
  h.request_id = 0x2122232425262728ULL;
  h.status = 0x31323334;
  h.length = 0x41424344;
  h.vec_count = 0x5152;
  h.vec_index = 0x6162;
  return h;
}

const Bytes kSampleWire = {
    0x25, 0x60, 0x95, 0x13,                          // magic
    0x00, 0x00, 0x00, 0x0e,                          // cmd
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // start_sector
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,  // end_sector
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,  // request_id
    0x31, 0x32, 0x33, 0x34,                          // status
    0x41, 0x42, 0x43, 0x44,                          // length
    0x51, 0x52,                                      // vec_count
    0x61, 0x62,                                      // vec_index
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // reserved
};

TEST(WireHead, EncodesEveryFieldBigEndianAtItsOffsetWithZeroReserved) {
  ASSERT_EQ(kSampleWire.size(), (size_t)MIRVOL_HEAD_PART_SIZE);
  Bytes wire(MIRVOL_HEAD_PART_SIZE, 0xee);  // stale bytes must not survive
  struct head_part h = sample_head();
  mirvol_head_encode(&h, wire.data());
  EXPECT_EQ(wire, kSampleWire);
}

TEST(WireHead, DecodesEveryFieldAndIgnoresTheReservedBytes) {
  Bytes wire = kSampleWire;
  for (int i = 44; i < 56; i++) wire[i] = (u8)(0xa0 + i);
  struct head_part h;
  mirvol_head_decode(wire.data(), &h);
  EXPECT_EQ(h.magic, 0x25609513U);
  EXPECT_EQ(h.cmd, 14U);
  EXPECT_EQ(h.start_sector, 0x0102030405060708ULL);
  EXPECT_EQ(h.end_sector, 0x1112131415161718ULL);
  EXPECT_EQ(h.request_id, 0x2122232425262728ULL);
  EXPECT_EQ(h.status, 0x31323334U);
  EXPECT_EQ(h.length, 0x41424344U);
  EXPECT_EQ(h.vec_count, 0x5152);
  EXPECT_EQ(h.vec_index, 0x6162);
  // Decoding and encoding again gives the head with zero reserved bytes.
  Bytes again(MIRVOL_HEAD_PART_SIZE);
  mirvol_head_encode(&h, again.data());
  EXPECT_EQ(again, kSampleWire);
}

TEST(WireHead, AgreesWithThePeersOwnEncoding) {
  testpeer::Head p;
  p.cmd = 1;
  p.start_sector = 7;
  p.request_id = (3ULL << 24) | 0xabcdef;
  p.status = 1;
  Bytes peer = testpeer::encode(p);
  struct head_part h;
  mirvol_head_decode(peer.data(), &h);
  EXPECT_EQ(h.cmd, (u32)CMD_ACK1);
  EXPECT_EQ(h.start_sector, 7U);
  EXPECT_EQ(h.request_id, (3ULL << 24) | 0xabcdef);
  EXPECT_EQ(h.status, 1U);
  Bytes ours(MIRVOL_HEAD_PART_SIZE);
  mirvol_head_encode(&h, ours.data());
  EXPECT_EQ(ours, peer);
}

TEST(WireHead, AFreshHeadCarriesOnlyTheMagicAndTheCommand) {
  struct head_part h;
  memset(&h, 0x5a, sizeof(h));
  mirvol_head_init(&h, CMD_ACK2);
  Bytes wire(MIRVOL_HEAD_PART_SIZE);
  mirvol_head_encode(&h, wire.data());
  Bytes want(MIRVOL_HEAD_PART_SIZE, 0);
  want[0] = 0x25, want[1] = 0x60, want[2] = 0x95, want[3] = 0x13, want[7] = 2;
  EXPECT_EQ(wire, want);
}

TEST(WireShortMessages, NegotiationAndHeartbeatBytes) {
  struct Case {
    u32 cmd;
    Bytes wire;
  } cases[] = {
      {CMD_NEGOTIATE, {0x25, 0x60, 0x95, 0x13, 0x00, 0x00, 0x00, 0x08}},
      {CMD_HB_REQUEST, {0x25, 0x60, 0x95, 0x13, 0x00, 0x00, 0x00, 0xc8}},
      {CMD_HB_RESPONSE, {0x25, 0x60, 0x95, 0x13, 0x00, 0x00, 0x00, 0xc9}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.cmd);
    Bytes wire(MIRVOL_SHORT_MSG_SIZE, 0xee);
    mirvol_short_msg_encode(c.cmd, wire.data());
    EXPECT_EQ(wire, c.wire);
    u32 magic = 0, cmd = 0;
    mirvol_short_msg_decode(c.wire.data(), &magic, &cmd);
    EXPECT_EQ(magic, MIRVOL_MAGIC);
    EXPECT_EQ(cmd, c.cmd);
  }
  u32 magic = 0, cmd = 0;
  Bytes bad = {0x13, 0x95, 0x60, 0x25, 0x08, 0, 0, 0};  // little-endian: not the magic
  mirvol_short_msg_decode(bad.data(), &magic, &cmd);
  EXPECT_NE(magic, MIRVOL_MAGIC);
  EXPECT_EQ(cmd, 0x08000000U);
}

TEST(WireTexts, CommandTexts) {
  struct Case {
    u64 code;
    const char *text;
  } cases[] = {
      {0, ": Write sync data (old version)"},
      {1, ": ACK1 of sync data"},
      {2, ": ACK2 of ACK1"},
      {3, ": Write recovery data (old version)"},
      {4, ": ACK of recovery data"},
      {7, ": Stop sending data"},
      {8, ": Negotiate mirror connection"},
      {12, ": Write recovery data"},
      {13, ": Sub-header of recovery data"},
      {14, ": Write sync data"},
      {15, ": Sub-header of compressed recovery data"},
      {16, ": Write compressed sync data"},
      {17, ": Write sync data (For kernel 3.14 or later)"},
      {18, ": Write compressed sync data (For kernel 3.14 or later)"},
      {200, ": HB request"},
      {201, ": HB response"},
      {250, "Unknown"},
      {5, "Unknown"},
      // A code still in wire order is found too.
      {0x0e000000, ": Write sync data"},
      {0xc8000000, ": HB request"},
      // Low 32 bits zero: row 0.
      {0x100000000ULL, ": Write sync data (old version)"},
  };
  for (auto &c : cases) EXPECT_STREQ(mirvol_cmd(c.code), c.text) << c.code;
}

TEST(WireTexts, ErrorTextsByAbsoluteValue) {
  struct Case {
    s32 err;
    const char *text;
  } cases[] = {
      {0, ": Disconnected normally by remote server"},
      {-62, ": MDC connection timed out"},
      {62, ": MDC connection timed out"},
      {-61, ": No N/W available"},
      {-512, ": Signal received normally"},
      {-104, ": Connection reset by remote server"},
      {-110, ": TCP connection timed out"},
      {-111, ": Connection refused"},
      {-12, ": Out of memory"},
      {-109, ": Too many references: cannot splice"},
      {-4, ""},
      {-1, ""},
      {1, ""},
      {INT_MIN, ""},
      {INT_MAX, ""},
  };
  for (auto &c : cases) EXPECT_STREQ(mirvol_err(c.err), c.text) << c.err;
}

}  // namespace
