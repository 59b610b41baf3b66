// Figures 2, 3 and 6b: four threads writing random 4 KiB blocks through the file system
// of a memory-disk partition, in four kinds of phase that alternate in one run:
//   B  no interception (the disk's own request function),
//   T  change tracking only (velAMRF, left in the queue by a closed session),
//   F  during a backup, first writes: every block's old contents are captured first,
//   W  during the same backup, re-writes of those captured blocks (passed straight on).
// Every phase writes the same number of blocks from the same set, so the host's caches
// see the same working set. The time of each write gives the held-write latency (F)
// against writes that were not held (W, B); the heap grown over F gives the cache's
// bytes per cached block.
#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>

#include "bench_internal.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

namespace {

// The phases of one kind: the rate of each (in order) and every write's latency.
struct Phases {
  std::vector<double> rates;
  uint64_t writes = 0;
  std::vector<double> lat;
  void add(const WriteRun& r) {
    if (r.errors) throw AgentError(std::to_string(r.errors) + " benchmark writes failed");
    rates.push_back(r.perSecond());
    writes += r.writes;
    lat.insert(lat.end(), r.latencies.begin(), r.latencies.end());
  }
};

std::string us(double s) {
  char b[32];
  snprintf(b, sizeof b, "%.1f", s * 1e6);
  return b;
}

}  // namespace

void figureWriters(const Options& o, std::vector<Row>& rows) {
  const unsigned kThreads = 4;
  const uint64_t partBytes = 512 * kMiB;
  // Many short phases rather than a few long ones: on a shared machine a phase now and
  // then loses the processor for tens of milliseconds, and the stand-in's engine either
  // runs a bio on the submitting thread or hands it to its own thread, which halves or
  // doubles a phase's rate. The median of the phase-by-phase ratios is moved by neither.
  const uint32_t perThread = o.quick ? 300 : 600;
  const int reps = o.quick ? 2 : 15;

  auto host = memoryHost(partBytes);
  machine::Mount* m = host->mount(1, kBlock);
  AgentProcess proc;
  Target t = describeTarget(proc, host->major(1), host->minor(1), host->devName(1));
  std::mt19937_64 rng(2);
  std::vector<uint32_t> order(t.totalBlocks);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), rng);

  Phases B, T, F, W;
  double heapPerBlock = 0;
  int64_t cachedSeen = 0;
  size_t used = 0;
  std::vector<std::vector<uint32_t>> lastSets;
  // Each thread writes `perThread` blocks: of its own set, at random (B, T, W), or each
  // block of it once (F).
  auto randomFrom = [&](const std::vector<std::vector<uint32_t>>& sets) {
    std::vector<std::vector<uint32_t>> per(sets.size());
    for (size_t i = 0; i < sets.size(); ++i)
      for (uint32_t k = 0; k < perThread; ++k) per[i].push_back(sets[i][rng() % sets[i].size()]);
    return per;
  };
  for (int r = 0; r < reps; ++r) {
    progress(o, "figures 2, 3: repetition " + std::to_string(r + 1) + " of " + std::to_string(reps));
    std::vector<std::vector<uint32_t>> sets(kThreads);
    for (unsigned i = 0; i < kThreads; ++i, used += perThread)
      sets[i].assign(order.begin() + long(used), order.begin() + long(used + perThread));

    B.add(runWriters(m, randomFrom(sets)));
    // A session with change tracking, closed at once, leaves velAMRF in the queue.
    openSnapshot(proc, t, 16, true).reset();
    T.add(runWriters(m, randomFrom(sets)));
    {
      // No change tracking: the tracking session goes, and at close the queue gets its
      // own function back, so the next B is uninterrupted again.
      auto dev = openSnapshot(proc, t, kThreads * perThread + 64, false);
      uint64_t heap0 = heapInUse();
      F.add(runWriters(m, sets));
      uint64_t heap1 = heapInUse();
      W.add(runWriters(m, randomFrom(sets)));
      uint64_t seq = logSeq();
      dev.reset();
      SessionStats st = lastSessionStats(seq);
      int64_t cached = st.num("peak cached blocks");
      cachedSeen = cached;
      if (cached != int64_t(kThreads) * perThread)
        throw AgentError("the cache held " + std::to_string(cached) + " blocks, not the " +
                         std::to_string(kThreads * perThread) + " first-written ones");
      heapPerBlock = std::max(heapPerBlock, double(int64_t(heap1) - int64_t(heap0)) / double(cached));
    }
    lastSets = sets;
  }
  // One more baseline after the last backup, so each kind of phase has one on both sides.
  B.add(runWriters(m, randomFrom(lastSets)));

  // Each protected or tracked phase against the mean of the baselines on either side.
  auto ratioRow = [&](const char* id, const std::string& what, const Phases& x, double goal) {
    std::vector<double> ratios;
    for (size_t r = 0; r < x.rates.size(); ++r) ratios.push_back(x.rates[r] / ((B.rates[r] + B.rates[r + 1]) / 2));
    Row row;
    row.id = id;
    row.measure = what + " vs no interception (4 threads, random 4 KiB fs writes)";
    row.unit = "writes/s";
    row.value = quantile(x.rates, 0.5);
    row.baseline = quantile(B.rates, 0.5);
    row.ratio = quantile(ratios, 0.5);
    row.goalOp = ">=";
    row.goal = goal;
    char b[200];
    snprintf(b, sizeof b, "median of %zu phase-by-phase ratios of %u writes (quartiles %.2f-%.2f); p50 %s us vs %s us",
             ratios.size(), kThreads * perThread, quantile(ratios, 0.25), quantile(ratios, 0.75),
             us(quantile(x.lat, 0.5)).c_str(), us(quantile(B.lat, 0.5)).c_str());
    row.note = b;
    rows.push_back(row);
  };
  ratioRow("2a", "writer throughput with change tracking only (velAMRF)", T, 0.95);
  ratioRow("2b", "writer throughput during a backup, first writes", F, 0.33);
  ratioRow("2c", "writer throughput during a backup, re-writes of captured blocks", W, 0.90);

  std::vector<double> notHeld = W.lat;
  for (const char* q : {"p50", "p99"}) {
    double qq = q[1] == '5' ? 0.5 : 0.99;
    Row row;
    row.id = std::string("3-") + q;
    row.measure = std::string("held-write latency ") + q + " (submission to completion) vs writes not held";
    row.unit = "us";
    row.value = quantile(F.lat, qq) * 1e6;
    row.baseline = quantile(notHeld, qq) * 1e6;
    row.ratio = row.value / row.baseline;
    row.note = "held: the " + std::to_string(F.lat.size()) + " first writes; not held: " +
               std::to_string(notHeld.size()) + " re-writes in the same sessions; no interception " + q + " " +
               us(quantile(B.lat, qq)) + " us";
    rows.push_back(row);
  }

  Row c;
  c.id = "6b";
  c.measure = "heap bytes per cached block vs the block size";
  c.unit = "B";
  c.value = heapPerBlock;
  c.baseline = kBlock;
  c.ratio = heapPerBlock / kBlock;
  c.goalOp = "<=";
  c.goal = 1.10;
  c.note = "process heap grown while " + std::to_string(cachedSeen) +
           " blocks were captured (module records and data, and the stand-in slab's own bookkeeping)";
  rows.push_back(c);
}

}  // namespace velloc::bench
