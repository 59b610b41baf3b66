// Paged block bitmap at scale: one setBlock and one blockInMap of random blocks, on maps
// covering partitions of 1 GiB, 64 GiB and 1 TiB in 4096-byte blocks, measured in turns
// within each iteration so that drift hits all three alike. Two kinds of pick:
//   uniform  blocks anywhere in the map (the working set grows with the map: 32 MiB of
//            bitmap pages at 1 TiB, against the CPU's caches and TLB);
//   local    blocks of one 1 GiB window (8 bitmap pages) placed at random in the map:
//            the same work and working set at every size.
// Counters: ns_1g, ns_64g, ns_1t        nanoseconds per set+test pair, uniform picks;
//           ratio                       ns_1g / ns_1t (1: the cost does not grow; goal 0.90)
//           local_ns_1g, local_ns_1t   the same with local picks;
//           local_ratio                 median over iterations of the local 1 GiB / 1 TiB times;
//           pages_1t                    bitmap pages of the 1 TiB map (1/8 byte per block).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include <machine/kernel.h>

#include "vellib.h"

namespace {

constexpr unsigned kOps = 1 << 14;  // pairs per size per iteration

void BM_BitmapScale(benchmark::State& state) {
  machine::adopt_thread("bitmap_bench");
  const uint64_t sizes[3] = {(1ull << 30) / 4096, (64ull << 30) / 4096, (1ull << 40) / 4096};
  BlockMap maps[3] = {};
  unsigned pages[3] = {};
  std::vector<uint32_t> picks[3];
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3; i++) {
    if (newBlockMap(&maps[i], (unsigned)sizes[i], nullptr, 1, &pages[i]) != 0) {
      state.SkipWithError("newBlockMap failed");
      for (int k = 0; k < i; k++) closeBlockMap(&maps[k], &pages[k]);
      return;
    }
    picks[i].resize(kOps * 4);
    for (auto& p : picks[i]) p = uint32_t(rng() % sizes[i]);
  }
  const uint32_t window = uint32_t(sizes[0]);
  std::vector<uint32_t> local(kOps);
  for (auto& p : local) p = uint32_t(rng() % window);
  uint32_t bases[3];
  for (int i = 0; i < 3; i++) bases[i] = uint32_t((rng() % (sizes[i] / window)) * window);
  double t[3] = {0, 0, 0}, tl[3] = {0, 0, 0};
  uint64_t round = 0, hits = 0;
  std::vector<double> localRatios;  // per iteration: a pass that lost the processor moves one
  auto pairs = [&](BlockMap* m, const uint32_t* p, uint32_t base) {
    auto t0 = std::chrono::steady_clock::now();
    for (unsigned n = 0; n < kOps; n++) {
      setBlock(m, base + p[n]);
      hits += blockInMap(m, base + p[(n * 7) % kOps]);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) {
    // The local passes go together, rotated, so none of them always follows the uniform
    // pass over its own map (which leaves the caches cold only for the large maps).
    double one[3];
    for (int k = 0; k < 3; k++) {
      int i = int((k + round) % 3);
      one[i] = pairs(&maps[i], local.data(), bases[i]);
      tl[i] += one[i];
    }
    localRatios.push_back(one[0] / one[2]);
    for (int k = 0; k < 3; k++) {
      int i = int((k + round) % 3);  // rotate which size goes first
      t[i] += pairs(&maps[i], picks[i].data() + (round % 4) * kOps, 0);
    }
    round++;
  }
  benchmark::DoNotOptimize(hits);
  unsigned freed;
  unsigned pages1t = pages[2];
  for (auto& m : maps) closeBlockMap(&m, &freed);
  if (round == 0) return;
  double ops = double(round) * kOps;
  state.counters["ns_1g"] = t[0] / ops * 1e9;
  state.counters["ns_64g"] = t[1] / ops * 1e9;
  state.counters["ns_1t"] = t[2] / ops * 1e9;
  state.counters["ratio"] = t[0] / t[2];
  state.counters["local_ns_1g"] = tl[0] / ops * 1e9;
  state.counters["local_ns_1t"] = tl[2] / ops * 1e9;
  std::nth_element(localRatios.begin(), localRatios.begin() + long(localRatios.size() / 2), localRatios.end());
  state.counters["local_ratio"] = localRatios[localRatios.size() / 2];
  state.counters["pages_1t"] = pages1t;
}
BENCHMARK(BM_BitmapScale)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
