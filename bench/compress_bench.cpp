// LZSS throughput and ratio: compression through the slice workers, and
// decompression of each slice's stream, on zeros, text-like data and random
// bytes. Arguments: input size, slice count.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "include/mirvol_compress.h"

namespace {

enum Kind { kZeros, kText, kRandom };

std::vector<u8> make_input(Kind kind, size_t n) {
  std::vector<u8> b(n, 0);
  u64 x = 0x243F6A8885A308D3ULL;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  if (kind == kRandom) {
    for (auto &c : b) c = (u8)(next() >> 24);
  } else if (kind == kText) {
    static const char *words[] = {"mirror", "volume", "sector", "bitmap", "the",  "a",
                                  "of",     "write",  "server", "data",   "sync", "and",
                                  "to",     "in",     "segment", "recovery"};
    size_t i = 0;
    while (i < n) {
      const char *w = words[next() % ARRAY_SIZE(words)];
      for (const char *p = w; *p && i < n; p++) b[i++] = (u8)*p;
      if (i < n) b[i++] = next() % 12 == 0 ? '\n' : ' ';
    }
  }
  return b;
}

void BM_Compress(benchmark::State &state, Kind kind) {
  const size_t size = (size_t)state.range(0);
  const u32 slices = (u32)state.range(1);
  std::vector<u8> in = make_input(kind, size), out(size);
  compress_result results[MIRVOL_COMPRESS_MAX_SLICES];
  u64 total = 0;
  u32 all = 0;
  for (auto _ : state) {
    int rc = mirvol_compress(in.data(), size, out.data(), &total, &all, results, slices);
    if (rc != 0) {
      state.SkipWithError("mirvol_compress failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
  // Input bytes per stream byte; 1 when the data would go out uncompressed.
  state.counters["ratio"] = all && total < size ? (double)size / (double)total : 1.0;
  state.counters["all_compressed"] = all;
}

void BM_Uncompress(benchmark::State &state, Kind kind) {
  const size_t size = (size_t)state.range(0);
  const u32 slices = (u32)state.range(1);
  std::vector<u8> in = make_input(kind, size), stream(size), out(size);
  compress_result results[MIRVOL_COMPRESS_MAX_SLICES];
  u64 total = 0;
  u32 all = 0;
  if (mirvol_compress(in.data(), size, stream.data(), &total, &all, results, slices) != 0 || !all) {
    // Random data yields no complete stream; it is sent as it is.
    state.SkipWithError("input does not compress");
    return;
  }
  for (auto _ : state) {
    u64 at = 0;
    for (u32 i = 0; i < slices; i++) {
      u64 produced = 0;
      if (mirvol_uncompress(out.data() + at, results[i].in_len, results[i].result_data,
                            results[i].result_len, &produced) != 0 ||
          produced != results[i].in_len) {
        state.SkipWithError("mirvol_uncompress failed");
        return;
      }
      at += produced;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
  state.counters["ratio"] = (double)size / (double)total;
}

void sizes_and_slices(benchmark::internal::Benchmark *b) {
  b->ArgNames({"bytes", "slices"});
  for (long size : {4L << 10, 64L << 10, 1L << 20})
    for (long slices : {1L, 8L}) b->Args({size, slices});
  b->UseRealTime();  // the work runs on the slice workers
}

BENCHMARK_CAPTURE(BM_Compress, zeros, kZeros)->Apply(sizes_and_slices);
BENCHMARK_CAPTURE(BM_Compress, text, kText)->Apply(sizes_and_slices);
BENCHMARK_CAPTURE(BM_Compress, random, kRandom)->Apply(sizes_and_slices);
BENCHMARK_CAPTURE(BM_Uncompress, zeros, kZeros)->Apply(sizes_and_slices);
BENCHMARK_CAPTURE(BM_Uncompress, text, kText)->Apply(sizes_and_slices);
BENCHMARK_CAPTURE(BM_Uncompress, random, kRandom)->Apply(sizes_and_slices);

}  // namespace
