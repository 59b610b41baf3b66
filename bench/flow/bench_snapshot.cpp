// Figure 4: the snapshot while writers run. Each of the sessions starts, takes an
// incremental snapshot (the key kept from the one before, so the bitmaps are exchanged)
// and closes; its statistics give the time to freeze (the file system's drain and flush)
// and the time frozen. The switch is what the module adds inside the freeze: time frozen
// minus time to freeze. The baseline, interleaved with the sessions, is a bare
// freeze_bdev / thaw_bdev of the same file system under the same writers.
#include <linux/fs.h>

#include <cstdio>
#include <numeric>

#include "bench_internal.h"
#include "machine/kernel.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

namespace {

struct Cycle {
  double toFreeze = 0, frozen = 0;
};

// One bare freeze and thaw, timed at the points the snapshot times them. Runs on a
// thread of its own, which the stand-in knows as a kernel task.
Cycle bareCycle(uint32_t dev) {
  Cycle c;
  bool ok = true;
  std::thread th([&] {
    machine::adopt_thread("bench-freeze");
    struct block_device* bdev = bdget(dev);
    auto t0 = Clock::now();
    struct super_block* sb = freeze_bdev(bdev);
    auto t1 = Clock::now();
    thaw_bdev(bdev, sb);
    auto t2 = Clock::now();
    bdput(bdev);
    ok = sb != nullptr;
    c.toFreeze = std::chrono::duration<double>(t1 - t0).count();
    c.frozen = std::chrono::duration<double>(t2 - t0).count();
  });
  th.join();
  if (!ok) throw AgentError("the file system could not be frozen");
  return c;
}

std::string usq(const std::vector<double>& v) {
  char b[96];
  snprintf(b, sizeof b, "p50 %.1f us, p99 %.1f us", quantile(v, 0.5) * 1e6, quantile(v, 0.99) * 1e6);
  return b;
}

}  // namespace

void figureSnapshot(const Options& o, std::vector<Row>& rows) {
  const int n = o.quick ? 20 : 100;
  auto host = memoryHost(256 * kMiB);
  machine::Mount* m = host->mount(1, kBlock);
  AgentProcess proc;
  Target t = describeTarget(proc, host->major(1), host->minor(1), host->devName(1));
  std::vector<uint32_t> blocks(t.totalBlocks);
  std::iota(blocks.begin(), blocks.end(), 0u);

  struct Series {
    std::vector<double> snapFreeze, snapFrozen, snapSwitch, bareFreeze, bareFrozen, bareSwitch;
    uint64_t writes = 0;
  };
  bool haveKey = false;
  AMSessionKey key{};
  // n snapshots, each after a bare freeze and thaw, while 4 writers pausing `pause` us
  // between writes run.
  auto series = [&](unsigned pause) {
    Series x;
    BackgroundWriters writers(m, blocks, 4, pause, 4 + pause);
    writers.start();
    for (int i = 0; i < n; ++i) {
      Cycle c = bareCycle(host->dev(1));
      x.bareFreeze.push_back(c.toFreeze);
      x.bareFrozen.push_back(c.frozen);
      x.bareSwitch.push_back(c.frozen - c.toFreeze);

      uint64_t seq = logSeq();
      {
        auto dev = openSnapshot(proc, t, 1u << 16, true, haveKey ? &key : nullptr);
        AutoMapState ams{};
        if (dev->getAutoMapState(&ams) == 0) key = ams.amsKey, haveKey = true;
      }
      SessionStats st = lastSessionStats(seq);
      if (!st.found) throw AgentError("no statistics logged at the close of snapshot " + std::to_string(i));
      double f = st.seconds("time to freeze in seconds"), z = st.seconds("time frozen in seconds");
      x.snapFreeze.push_back(f);
      x.snapFrozen.push_back(z);
      x.snapSwitch.push_back(z - f);
    }
    writers.stop();
    x.writes = writers.writes();
    return x;
  };
  progress(o, "figure 4: " + std::to_string(n) + " snapshots while 4 writers run");
  Series paced = series(200);
  progress(o, "figure 4: " + std::to_string(n) + " snapshots while 4 writers keep both processors busy");
  Series busy = series(0);

  auto row = [&](const std::string& id, const std::string& what, const std::vector<double>& v,
                 const std::vector<double>& base) {
    Row r;
    r.id = id;
    r.measure = what;
    r.unit = "us p99";
    r.value = quantile(v, 0.99) * 1e6;
    r.baseline = quantile(base, 0.99) * 1e6;
    r.ratio = r.baseline > 0 ? r.value / r.baseline : 0;
    r.note = "snapshot " + usq(v) + "; bare " + usq(base);
    return r;
  };
  const std::string under = ", 4 writers pausing 200 us";
  rows.push_back(row("4a", "time to freeze, " + std::to_string(n) + " snapshots vs bare freeze_bdev" + under,
                     paced.snapFreeze, paced.bareFreeze));
  rows.push_back(row("4b", "time frozen vs bare freeze_bdev..thaw_bdev" + under, paced.snapFrozen, paced.bareFrozen));
  Row s = row("4c", "the switch (frozen minus time to freeze) vs a bare thaw" + under, paced.snapSwitch,
              paced.bareSwitch);
  s.goalOp = "<=";
  s.goal = 1000;
  s.goalOnValue = true;
  s.note += "; " + std::to_string(paced.writes) + " writes during the run";
  rows.push_back(s);
  Row z = row("4d", "the switch vs a bare thaw, 4 writers that never pause (more threads than processors)",
              busy.snapSwitch, busy.bareSwitch);
  z.goalOp = "<=";
  z.goal = 1000;
  z.goalOnValue = true;
  z.note += "; time frozen " + usq(busy.snapFrozen) + "; " + std::to_string(busy.writes) + " writes during the run";
  rows.push_back(z);
}

}  // namespace velloc::bench
