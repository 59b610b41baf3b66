// Figure 6c: the peak of the copy-on-write cache during a full backup under a heavy
// writer, with the agent fetching dirty blocks between its runs against without. The
// two kinds of round alternate on the same partition with the same writers.
#include <algorithm>
#include <cstdio>
#include <numeric>

#include "bench_internal.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

void figureCacheDrain(const Options& o, std::vector<Row>& rows) {
  const uint64_t partBytes = o.quick ? 64 * kMiB : 256 * kMiB;
  const int reps = 1;
  auto host = memoryHost(partBytes);
  machine::Mount* m = host->mount(1, kBlock);
  AgentProcess proc;
  Target t = describeTarget(proc, host->major(1), host->minor(1), host->devName(1));
  std::vector<uint32_t> blocks(t.totalBlocks);
  std::iota(blocks.begin(), blocks.end(), 0u);

  int64_t peakOn = 0, peakOff = 0;
  uint64_t drained = 0, writesOn = 0, writesOff = 0;
  for (int r = 0; r < reps; ++r)
    for (bool drain : {false, true}) {
      progress(o, std::string("figure 6c: backup under a heavy writer, draining ") + (drain ? "on" : "off"));
      BackgroundWriters w(m, blocks, 4, 0, uint64_t(r * 2 + drain));
      BackupOptions bo;
      bo.drain = drain;
      bo.cacheBlocks = t.totalBlocks;  // the cache never runs out: the peak is the demand
      NullSink null;
      uint64_t seq = logSeq();
      w.start();
      RoundResult res = fullRound(proc, t, bo, &null);
      w.stop();
      if (w.errors()) throw AgentError(std::to_string(w.errors()) + " writes failed during the backup");
      SessionStats st = lastSessionStats(seq);
      int64_t peak = st.num("peak cached blocks");
      (drain ? peakOn : peakOff) = std::max(drain ? peakOn : peakOff, peak);
      (drain ? writesOn : writesOff) += w.writes();
      if (drain) drained += res.drainedBlocks;
    }

  Row r;
  r.id = "6c";
  r.measure = "peak cached blocks under a heavy writer (4 threads), with dirty-block draining vs without";
  r.unit = "blocks";
  r.value = double(peakOn);
  r.baseline = double(peakOff);
  r.ratio = peakOff > 0 ? double(peakOn) / double(peakOff) : 0;
  char b[200];
  snprintf(b, sizeof b, "%u-block partition; %llu blocks drained; writes %llu with vs %llu without; %.1f vs %.1f MiB",
           t.totalBlocks, (unsigned long long)drained, (unsigned long long)writesOn, (unsigned long long)writesOff,
           double(peakOn) * kBlock / double(kMiB), double(peakOff) * kBlock / double(kMiB));
  r.note = b;
  rows.push_back(r);
}

}  // namespace velloc::bench
