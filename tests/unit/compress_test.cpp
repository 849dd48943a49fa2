// LZSS streams: the encoder's slices and workers, the decoder's bound and
// produced count, the stream format on hand-made streams, failure paths.

#include <dirent.h>

#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "include/mirvol_compress.h"
#include "include/mirvol_open.h"
#include "test_util.h"

using testutil::eventually;
using testutil::KThread;
using testutil::LogCapture;

namespace {

using Bytes = std::vector<u8>;

Bytes random_bytes(size_t n, u64 seed) {
  Bytes b(n);
  u64 x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (auto &c : b) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = (u8)(x >> 24);
  }
  return b;
}

// Words of a small vocabulary, spaces and line ends: repeats at every
// distance a real text has.
Bytes text_bytes(size_t n, u64 seed) {
  static const char *words[] = {"mirror", "volume", "sector", "bitmap", "the", "a", "of",
                                "write", "recovery", "server", "cluster", "partition", "data",
                                "sync", "is", "and", "to", "in", "segment", "standby"};
  Bytes r = random_bytes(n, seed), b;
  b.reserve(n);
  for (size_t i = 0; b.size() < n; i++) {
    const char *w = words[r[i % n] % ARRAY_SIZE(words)];
    for (const char *p = w; *p && b.size() < n; p++) b.push_back((u8)*p);
    if (b.size() < n) b.push_back(r[(i * 7) % n] % 11 == 0 ? '\n' : ' ');
  }
  return b;
}

Bytes runs_bytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (u8)((i / 37) % 5 == 0 ? i : (i / 300));
  return b;
}

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Fills freed heap chunks of the sizes the coder allocates, so that a coder
// relying on leftover memory would see it. Also done on a thread that then
// exits: the allocator hands its arena to the next new thread, a worker.
void dirty_heap_here(u8 fill) {
  std::vector<void *> chunks;
  for (size_t size : {sizeof(struct compress_workspace), (size_t)MIRVOL_LZSS_RING_SIZE,
                      sizeof(struct compress_instance) * 8}) {
    for (int i = 0; i < 4; i++) {
      void *p = kmalloc(size, GFP_KERNEL);
      if (!p) continue;
      memset(p, fill, size);
      chunks.push_back(p);
    }
  }
  for (void *p : chunks) kfree(p);
}

void dirty_heap(u8 fill) {
  dirty_heap_here(fill);
  std::thread([fill] { dirty_heap_here(fill); }).join();
}

struct Compressed {
  int rc = -1;
  u64 total = ~0ULL;
  u32 all = ~0U;
  Bytes out;
  std::vector<compress_result> results;
};

Compressed compress(const Bytes &in, u32 slices) {
  Compressed c;
  c.out.assign(in.size(), 0xCC);
  c.results.assign(MIRVOL_COMPRESS_MAX_SLICES, compress_result{});
  c.rc = mirvol_compress(in.data(), in.size(), c.out.data(), &c.total, &c.all, c.results.data(),
                         slices);
  return c;
}

constexpr size_t kGuard = 64;
constexpr u8 kCanary = 0x5A;

struct Decoded {
  int rc = -1;
  u64 produced = ~0ULL;
  Bytes out;  // the first `produced` bytes
  bool guard_intact = false;
};

// Decodes into a buffer of exactly `capacity` bytes followed by a canary.
Decoded decode(const u8 *stream, size_t len, u64 capacity) {
  Decoded d;
  Bytes buf(capacity + kGuard, kCanary);
  d.rc = mirvol_uncompress(buf.data(), capacity, stream, len, &d.produced);
  d.guard_intact = true;
  for (size_t i = capacity; i < buf.size(); i++)
    if (buf[i] != kCanary) d.guard_intact = false;
  if (d.produced <= capacity) d.out.assign(buf.begin(), buf.begin() + (long)d.produced);
  return d;
}

Decoded decode(const Bytes &stream, u64 capacity) {
  return decode(stream.data(), stream.size(), capacity);
}

// Speeds up the one-second pauses of the allocation retries and restores the
// clock and the fault injection whatever happens.
class LzssAllocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_scale_ = clock_time_scale();
    clock_set_time_scale(1000);
    mirvol_printk_init();  // no suppression left over from earlier messages
    outstanding_ = alloc_outstanding();
  }
  void TearDown() override {
    alloc_fault_clear();
    clock_set_time_scale(old_scale_);
  }
  long outstanding_ = 0;

 private:
  unsigned old_scale_ = 1;
};

bool has_line(const LogCapture &log, int level, const std::string &text) {
  for (auto &l : log.lines())
    if (l.level == level && std::string(l.text).find(text) != std::string::npos) return true;
  return false;
}

using testutil::thread_names;

int count_named(const std::string &name) {
  int n = 0;
  for (auto &t : thread_names()) n += t == name;
  return n;
}

// --- round trips ---

struct RoundTripCase {
  const char *name;
  Bytes data;
  bool compressible;  // with one slice
};

std::vector<RoundTripCase> round_trip_cases() {
  std::vector<RoundTripCase> cases;
  cases.push_back({"one byte", bytes_of("x"), false});
  cases.push_back({"two bytes", bytes_of("xy"), false});
  cases.push_back({"ten a", bytes_of("aaaaaaaaaa"), true});
  cases.push_back({"short text", bytes_of("abcabcabcabcabcabc-abcabc"), true});
  // Sizes at the look-ahead, group and ring boundaries.
  for (size_t n : {17, 18, 19, 35, 36, 37, 4077, 4078, 4079, 4095, 4096, 4097, 4113, 8191, 8193})
    cases.push_back({"runs", runs_bytes(n), n > 37});  // the first 37 bytes all differ
  cases.push_back({"zeros 64K", Bytes(65536, 0), true});
  {
    // Input byte 34 lands at ring position 16, whose copy at 4112 ends the
    // key of position 4095; later zeros must not match 4095 as 18 zeros.
    Bytes edge(34, 0);
    edge.push_back(1);
    for (u8 c : random_bytes(200, 6)) edge.push_back(c | 0x80);
    edge.insert(edge.end(), 40, 0);
    cases.push_back({"ring mirror edge", edge, true});
  }
  cases.push_back({"0xff 5000", Bytes(5000, 0xff), true});
  cases.push_back({"text 100K", text_bytes(100000, 1), true});
  cases.push_back({"random 4K", random_bytes(4096, 2), false});
  cases.push_back({"random 70001", random_bytes(70001, 3), false});
  // Text, then random, then a repeat of the text more than a ring away.
  Bytes mixed = text_bytes(300000, 4);
  Bytes noise = random_bytes(300000, 5);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.insert(mixed.end(), mixed.begin(), mixed.begin() + 448576);
  cases.push_back({"mixed 1M", mixed, true});
  return cases;
}

TEST(LzssRoundTrip, EverySliceDecodesToItsInputForEverySliceCount) {
  for (const auto &c : round_trip_cases()) {
    for (u32 slices : {1u, 2u, 4u, 8u}) {
      SCOPED_TRACE(std::string(c.name) + " size " + std::to_string(c.data.size()) + " slices " +
                   std::to_string(slices));
      Compressed z = compress(c.data, slices);
      ASSERT_EQ(z.rc, 0);

      u64 slice_size = c.data.size() / slices, sum = 0;
      u32 all = 1;
      for (u32 i = 0; i < slices; i++) {
        const compress_result &r = z.results[i];
        u64 want_len = i == slices - 1 ? c.data.size() - (slices - 1) * slice_size : slice_size;
        ASSERT_EQ(r.in_len, want_len);
        ASSERT_EQ(r.result_data, z.out.data() + i * slice_size);
        ASSERT_LE(r.result_len, r.in_len);
        sum += r.result_len;
        if (!r.compressed) {
          all = 0;
          // It stopped at the first group that no longer fit (at most 17 bytes).
          if (r.in_len > 0) { EXPECT_GT(r.result_len + 17, r.in_len); }
          continue;
        }
        Decoded d = decode(static_cast<const u8 *>(r.result_data), r.result_len, r.in_len);
        ASSERT_EQ(d.rc, 0);
        ASSERT_TRUE(d.guard_intact);
        ASSERT_EQ(d.produced, r.in_len);
        ASSERT_TRUE(std::equal(d.out.begin(), d.out.end(), c.data.begin() + (long)(i * slice_size)));
      }
      EXPECT_EQ(z.all, all);
      EXPECT_EQ(z.total, sum);
      if (slices == 1) { EXPECT_EQ(z.all, c.compressible ? 1u : 0u); }
    }
  }
}

TEST(LzssRoundTrip, EmptyInputGivesEmptyUncompressedSlices) {
  for (u32 slices : {1u, 8u}) {
    Compressed z = compress(Bytes(), slices);
    ASSERT_EQ(z.rc, 0);
    EXPECT_EQ(z.all, 0u);
    EXPECT_EQ(z.total, 0u);
    for (u32 i = 0; i < slices; i++) {
      EXPECT_EQ(z.results[i].in_len, 0u);
      EXPECT_EQ(z.results[i].result_len, 0u);
      EXPECT_EQ(z.results[i].compressed, 0u);
    }
  }
  Decoded d = decode(Bytes(), 16);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.produced, 0u);
}

TEST(LzssRoundTrip, FewerBytesThanSlicesLeavesAllButTheLastEmpty) {
  Compressed z = compress(bytes_of("aaaaaaa"), 8);
  ASSERT_EQ(z.rc, 0);
  for (u32 i = 0; i < 7; i++) EXPECT_EQ(z.results[i].in_len, 0u);
  EXPECT_EQ(z.results[7].in_len, 7u);
  EXPECT_EQ(z.results[7].compressed, 1u);  // 01 61 EE F3: four bytes
  EXPECT_EQ(z.results[7].result_len, 4u);
  EXPECT_EQ(z.all, 0u);  // the empty slices are not compressed
}

// --- the stream format ---

TEST(LzssFormat, EncoderProducesTheseExactStreams) {
  struct Case {
    const char *input;
    Bytes stream;
  };
  const Case cases[] = {
      // A literal, then a match at 4078 of 9 that reads what it writes.
      {"aaaaaaaaaa", {0x01, 0x61, 0xEE, 0xF6}},
      // The third "abc" meets 4078 and then 4082 with three equal bytes
      // each: the node met first keeps the match.
      {"abcXabcYabcZ", {0xAF, 'a', 'b', 'c', 'X', 0xEE, 0xF0, 'Y', 0xEE, 0xF0, 'Z'}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.input);
    Compressed z = compress(bytes_of(c.input), 1);
    ASSERT_EQ(z.rc, 0);
    ASSERT_EQ(z.all, 1u);
    ASSERT_EQ(z.total, c.stream.size());
    EXPECT_EQ(Bytes(z.out.begin(), z.out.begin() + (long)z.total), c.stream);
  }
}

struct StreamCase {
  const char *name;
  Bytes stream;
  Bytes expect;
};

TEST(LzssFormat, HandMadeStreamsDecodeToKnownBytes) {
  const StreamCase cases[] = {
      {"a full literal group then a short one",
       {0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0x01, 'I'},
       bytes_of("ABCDEFGHI")},
      {"ten a: the match reads what it writes", {0x01, 0x61, 0xEE, 0xF6}, Bytes(10, 'a')},
      {"two literals, a match of 6 over them", {0x03, 'A', 'B', 0xEE, 0xF3}, bytes_of("ABABABAB")},
      {"match of 18 at position 0 of the initial ring", {0x00, 0x00, 0x0F}, Bytes(18, 0)},
      {"match at 4077, the last zero before the first write", {0x00, 0xED, 0xF2}, Bytes(5, 0)},
      {"match at 4090, not yet written", {0x00, 0xFA, 0xF0}, Bytes(3, 0)},
      {"literal, then a match at an absolute position",
       // 'Q' lands at 4078; after "QRS" the match at 4079 (0xFEF) length 4
       // copies R S R S.
       {0x07, 'Q', 'R', 'S', 0xEF, 0xF1},
       bytes_of("QRSRSRS")},
      {"last group with two items and zero flag bits after", {0x03, 'A', 'B'}, bytes_of("AB")},
      {"mixed group: literal, match, literal", {0x05, 'x', 0xEE, 0xF0, 'y'}, bytes_of("xxxxy")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    dirty_heap(0xA5);
    Decoded d = decode(c.stream, c.expect.size());
    EXPECT_EQ(d.rc, 0);
    EXPECT_TRUE(d.guard_intact);
    EXPECT_EQ(d.out, c.expect);
  }
}

TEST(LzssFormat, StreamsEndingInsideAGroupStopWithSuccess) {
  const StreamCase cases[] = {
      {"after a flag byte", {0x01}, Bytes()},
      {"after a literal, more flag bits set", {0xFF, 'A'}, bytes_of("A")},
      {"one byte of a match", {0x01, 'A', 0xEE}, bytes_of("A")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Decoded d = decode(c.stream, 64);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.out, c.expect);
  }
}

TEST(LzssFormat, EncoderOutputDoesNotDependOnLeftoverMemory) {
  // Short inputs of two letters: leftover bytes beyond the look-ahead that
  // equal the data would lengthen matches and change the positions chosen.
  std::vector<Bytes> inputs;
  Bytes r = random_bytes(40000, 21);
  for (size_t k = 0, at = 0; k < 1000; k++) {
    Bytes in(3 + k % 30);
    for (auto &c : in) c = "ab"[r[at++ % r.size()] & 1];
    inputs.push_back(in);
  }
  inputs.push_back(text_bytes(20000, 9));
  for (const auto &in : inputs) {
    SCOPED_TRACE(std::string(in.begin(), in.begin() + (long)std::min<size_t>(in.size(), 40)));
    dirty_heap(0x00);
    Compressed a = compress(in, 1);
    dirty_heap('a');
    Compressed b = compress(in, 1);
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(a.results[0].result_len, b.results[0].result_len);
    ASSERT_EQ(a.results[0].compressed, b.results[0].compressed);
    ASSERT_EQ(a.out, b.out);
  }
}

// --- the decoder's bound and produced count ---

TEST(LzssBound, ExactCapacitySucceedsAndOneLessStopsBeforeTheItem) {
  struct Case {
    const char *name;
    Bytes stream;
    u64 size;
    u64 before_last;  // bytes written before the last item
  };
  const Case cases[] = {
      {"ends in a match", {0x01, 0x61, 0xEE, 0xF6}, 10, 1},
      {"ends in a literal", {0x03, 'A', 'B'}, 2, 1},
      {"a match longer than the whole capacity", {0x00, 0x00, 0x0F}, 18, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Decoded exact = decode(c.stream, c.size);
    EXPECT_EQ(exact.rc, 0);
    EXPECT_EQ(exact.produced, c.size);
    EXPECT_TRUE(exact.guard_intact);

    Decoded short_by_one = decode(c.stream, c.size - 1);
    EXPECT_EQ(short_by_one.rc, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(short_by_one.produced, c.before_last);
    EXPECT_TRUE(short_by_one.guard_intact);
  }
}

TEST(LzssBound, RealStreamIntoEverySmallerCapacityNeverOverruns) {
  Bytes in = text_bytes(20000, 11);
  Compressed z = compress(in, 1);
  ASSERT_EQ(z.all, 1u);
  Bytes stream(z.out.begin(), z.out.begin() + (long)z.total);
  for (u64 cap : {0ul, 1ul, 17ul, 4096ul, 10001ul, 19983ul, 19999ul}) {
    SCOPED_TRACE("capacity " + std::to_string(cap));
    Decoded d = decode(stream, cap);
    EXPECT_EQ(d.rc, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(d.guard_intact);
    EXPECT_LE(d.produced, cap);
    EXPECT_GT(d.produced + MIRVOL_LZSS_F, cap);  // stopped at the item that did not fit
    EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), in.begin()));
  }
}

TEST(LzssBound, TruncatedStreamSucceedsWithAShortProducedCount) {
  Bytes in = text_bytes(50000, 12);
  Compressed z = compress(in, 1);
  ASSERT_EQ(z.all, 1u);
  for (u64 cut : {1ul, 2ul, 3ul, 1000ul, z.total / 2, z.total - 2, z.total - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    Decoded d = decode(z.out.data(), cut, in.size());
    EXPECT_EQ(d.rc, 0);
    EXPECT_LT(d.produced, in.size());
    EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), in.begin()));
  }
  Decoded whole = decode(z.out.data(), z.total, in.size());
  EXPECT_EQ(whole.produced, in.size());
}

// --- arguments ---

TEST(LzssArguments, RefusedSliceCountsAndMissingOutPointers) {
  Bytes in = text_bytes(1000, 13), out(1000);
  compress_result results[16] = {};
  for (u32 slices : {0u, 3u, 5u, 6u, 7u, 9u, 16u}) {
    SCOPED_TRACE(slices);
    u64 total = 99;
    u32 all = 7;
    EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), &total, &all, results, slices),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(all, 0u);
  }
  u64 total;
  u32 all;
  EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), nullptr, &all, results, 1),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), &total, nullptr, results, 1),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), &total, &all, nullptr, 1),
            STATUS_INVALID_PARAMETER);
}

TEST(LzssArguments, TwoSlicesOfAnOddLengthGiveTheLastOneByteMore) {
  Compressed z = compress(text_bytes(10001, 14), 2);
  ASSERT_EQ(z.rc, 0);
  EXPECT_EQ(z.results[0].in_len, 5000u);
  EXPECT_EQ(z.results[1].in_len, 5001u);
  EXPECT_EQ(z.results[1].result_data, z.out.data() + 5000);
}

// --- workers ---

// Keeps every workspace allocation failing so the eight workers stay in
// their retry pauses, where their names can be seen together.
TEST(LzssWorkers, EightWorkersRunAtOnceNamedAndNoneOutlivesTheCall) {
  const int running_before = kthread_count_running();
  ASSERT_EQ(count_named(MIRVOL_COMPRESS_THREAD_NAME), 0);
  Bytes in = text_bytes(80000, 15);
  Compressed z;
  z.out.assign(in.size(), 0);
  z.results.assign(8, compress_result{});

  struct FaultOff {
    ~FaultOff() { alloc_fault_clear(); }
  } fault_off;
  alloc_fault_inject(1, -1);  // the instance array, then nothing
  bool seen_all = false;
  {
    KThread caller([&] {
      z.rc = mirvol_compress(in.data(), in.size(), z.out.data(), &z.total, &z.all,
                             z.results.data(), 8);
      return 0;
    });
    ASSERT_NE(caller.task(), nullptr);
    seen_all = eventually([] { return count_named(MIRVOL_COMPRESS_THREAD_NAME) == 8; }, 3000);
    alloc_fault_clear();  // the next retry of every worker succeeds
    EXPECT_TRUE(caller.wait_done(10000));
  }
  EXPECT_TRUE(seen_all);
  EXPECT_EQ(count_named(MIRVOL_COMPRESS_THREAD_NAME), 0);
  EXPECT_EQ(kthread_count_running(), running_before);
  ASSERT_EQ(z.rc, 0);
  if (seen_all) { EXPECT_EQ(z.all, 1u); }
}

// A worker that cannot be created fails the call; the workers already
// started finish and are joined, so none outlives it, whichever one fails.
TEST(LzssWorkers, AWorkerThatCannotBeCreatedFailsTheCallAndLeavesNoneRunning) {
  const int running_before = kthread_count_running();
  Bytes in = text_bytes(80000, 17);
  for (long failing : {0L, 1L, 4L, 7L}) {
    SCOPED_TRACE("worker " + std::to_string(failing) + " of 8 not created");
    Compressed z;
    z.out.assign(in.size(), 0);
    z.results.assign(8, compress_result{});
    struct FaultOff {
      ~FaultOff() { kthread_fault_inject(0, 0); }
    } fault_off;
    {
      KThread caller([&] {
        kthread_fault_inject(failing, 1);
        z.rc = mirvol_compress(in.data(), in.size(), z.out.data(), &z.total, &z.all,
                               z.results.data(), 8);
        kthread_fault_inject(0, 0);
        return 0;
      });
      ASSERT_NE(caller.task(), nullptr);
      EXPECT_TRUE(caller.wait_done(10000));
    }
    EXPECT_EQ(z.rc, (int)STATUS_FAILED);
    EXPECT_TRUE(eventually([&] { return kthread_count_running() == running_before; }, 5000));
    EXPECT_EQ(count_named(MIRVOL_COMPRESS_THREAD_NAME), 0);
  }
}

// --- allocation failures ---

TEST_F(LzssAllocTest, InstanceArrayNotAllocatedGivesNoMemory) {
  Bytes in = text_bytes(4096, 16), out(4096);
  compress_result results[8];
  u64 total = 5;
  u32 all = 5;
  alloc_fault_inject(0, 1, get_current());
  EXPECT_EQ(mirvol_compress(in.data(), in.size(), out.data(), &total, &all, results, 8),
            STATUS_NO_MEMORY);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(all, 0u);
  EXPECT_EQ(alloc_outstanding(), outstanding_);
  EXPECT_EQ(count_named(MIRVOL_COMPRESS_THREAD_NAME), 0);
}

TEST_F(LzssAllocTest, WorkspaceRetriedFiveTimesThenTheSliceIsNotCompressed) {
  Bytes in = text_bytes(4096, 17);
  struct Case {
    long failures;
    bool compressed;
  };
  for (Case c : {Case{4, true}, Case{5, false}}) {
    SCOPED_TRACE(c.failures);
    LogCapture log;
    alloc_fault_inject(1, c.failures);  // after the instance array
    Compressed z = compress(in, 1);
    alloc_fault_clear();
    ASSERT_EQ(z.rc, 0);
    EXPECT_EQ(z.all, c.compressed ? 1u : 0u);
    EXPECT_EQ(z.results[0].compressed, c.compressed ? 1u : 0u);
    EXPECT_EQ(z.results[0].in_len, in.size());
    if (!c.compressed) { EXPECT_EQ(z.results[0].result_len, 0u); }
    EXPECT_EQ(has_line(log, 3, "[E] <type: mirvol><event: 145> Failed to allocate structure to compress."),
              !c.compressed);
    EXPECT_EQ(alloc_outstanding(), outstanding_);
  }
}

TEST_F(LzssAllocTest, DecoderRingRetriedFiveTimesThenNoMemoryWithNothingProduced) {
  const Bytes stream{0x01, 0x61, 0xEE, 0xF6};
  struct Case {
    long failures;
    int rc;
    u64 produced;
  };
  for (Case c : {Case{4, 0, 10}, Case{5, STATUS_NO_MEMORY, 0}}) {
    SCOPED_TRACE(c.failures);
    LogCapture log;
    alloc_fault_inject(0, c.failures, get_current());
    Decoded d = decode(stream, 10);
    alloc_fault_clear();
    EXPECT_EQ(d.rc, c.rc);
    EXPECT_EQ(d.produced, c.produced);
    EXPECT_EQ(has_line(log, 3,
                       "[E] <type: mirvol><event: 145> Failed to allocate text buffer to uncompress."),
              c.rc != 0);
    EXPECT_EQ(alloc_outstanding(), outstanding_);
  }
}

}  // namespace
