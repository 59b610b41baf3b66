// Figure 7: scale. On sparse partitions of 1 GiB, 64 GiB and 1 TiB:
//   - tracked writes (velAMRF sets one bit of a paged bitmap per write) against the same
//     writes with no interception, on a pool of blocks spread over the whole partition,
//     as processor time per write on the writers' own threads;
//   - backup reads of a fixed 128 MiB sample spread over the whole partition against
//     preadv of the same ranges;
//   - the session's fixed costs (start, snapshot, map load, close), which do grow with
//     the bitmaps they allocate and clear.
// The per-operation costs must not grow with the size: the growth rows set the largest
// size against 1 GiB. Then the largest partition the 32-bit block numbers allow is
// started, snapshotted, written and read at its last block (a whole-disk sparse image).
// The bitmaps count their bytes in 32 bits, (blocks + 7) / 8, so the largest map is
// 2^32 - 8 blocks; one block more must be refused.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "bench_internal.h"
#include "fileutil.h"
#include "machine/kernel.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

namespace {

constexpr uint32_t kSampleRuns = 128;  // runs of the read sample, evenly spread
constexpr uint32_t kRunBlocks = 256;   // 1 MiB each
constexpr uint32_t kPoolBlocks = 4096; // blocks the writers pick from

struct SizeResult {
  std::string name;
  double trackedRatio = 0, readRatio = 0;
  double tracked = 0, untracked = 0;      // writes per second (median phase)
  double trackedCpu = 0, untrackedCpu = 0;  // writer-thread processor seconds per write
  double readMiBps = 0, preadMiBps = 0;
  double setupSeconds = 0, loadSeconds = 0;
};

std::string sizeName(uint64_t bytes) {
  return bytes >= 1024 * kGiB ? std::to_string(bytes / (1024 * kGiB)) + " TiB" : std::to_string(bytes / kGiB) + " GiB";
}

// Picks from `pool` at random for each thread.
std::vector<std::vector<uint32_t>> randomBlocks(const std::vector<uint32_t>& pool, unsigned threads, uint32_t each,
                                                uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<uint32_t>> per(threads);
  for (auto& p : per)
    for (uint32_t i = 0; i < each; ++i) p.push_back(pool[rng() % pool.size()]);
  return per;
}

// The figures of one size, on a Host of its own (made and torn down here). Throws
// AgentError when a command is refused or a write fails.
SizeResult measureSize(const Options& o, uint64_t bytes, uint32_t writesPerThread, int reps) {
  SizeResult s;
  s.name = sizeName(bytes);
  std::string image = sparseImage(o, "scale.img", bytes);
  Host host(image);
  machine::Mount* m = host.mount(1, kBlock);
  AgentProcess proc;
  Target t = describeTarget(proc, host.major(1), host.minor(1), host.devName(1));

  // The fixed costs, on the idle partition: start (cache map), snapshot (a new
  // change-tracking session), close. It leaves velAMRF in the queue.
  auto t0 = Clock::now();
  openSnapshot(proc, t, 64, true).reset();
  s.setupSeconds = secondsSince(t0);

  // The writes go to a pool of blocks spread over the whole partition and written once
  // beforehand, so the image has them (no hole is filled inside a timed phase) while the
  // bitmap pages they touch span the whole map.
  std::vector<uint32_t> pool;
  {
    std::mt19937_64 rng(bytes);
    std::vector<uint8_t> data(kBlock, 0x3c);
    for (uint32_t i = 0; i < kPoolBlocks; ++i) {
      pool.push_back(uint32_t(rng() % t.totalBlocks));
      machine::disk_pwrite(host.disk(), kPartStart * 512 + uint64_t(pool.back()) * kBlock, data.data(), kBlock);
    }
  }

  Bitmap map(t.totalBlocks);
  std::vector<uint32_t> firsts;
  uint64_t stride = (uint64_t(t.totalBlocks) - kRunBlocks) / kSampleRuns;
  for (uint32_t i = 0; i < kSampleRuns; ++i) {
    uint32_t f = uint32_t(i * stride);
    firsts.push_back(f);
    for (uint32_t k = 0; k < kRunBlocks; ++k) map.set(f + k);
  }
  fs::Fd fd(fs::openOrThrow(image, O_RDONLY | O_CLOEXEC, "open"));
  std::vector<uint8_t> buf(kRunBlocks * kBlock);
  std::vector<double> tracked, untracked, trackedCpu, untrackedCpu, cpuRatio, readRate, preadRate;
  s.loadSeconds = 1e30;
  const double sample = double(kSampleRuns) * kRunBlocks * kBlock / double(kMiB);
  auto preadSample = [&] {
    auto p0 = Clock::now();
    for (uint32_t f : firsts) {
      struct iovec iov{buf.data(), buf.size()};
      if (::preadv(fd.get(), &iov, 1, off_t(kPartStart * 512 + uint64_t(f) * kBlock)) != ssize_t(buf.size()))
        throw AgentError("preadv of " + image + " failed");
    }
    return secondsSince(p0);
  };
  preadSample();  // neither side finds the host's caches colder than the other
  for (int r = 0; r < reps; ++r) {
    WriteRun a = runWriters(m, randomBlocks(pool, 4, writesPerThread, 10 + r));
    openSnapshot(proc, t, 64, false).reset();  // tracking off: the disk's own function again
    WriteRun b = runWriters(m, randomBlocks(pool, 4, writesPerThread, 20 + r));
    if (a.errors || b.errors) throw AgentError("writes failed on the " + s.name + " partition");
    tracked.push_back(a.perSecond());
    untracked.push_back(b.perSecond());
    trackedCpu.push_back(a.cpuSeconds / double(a.writes));
    untrackedCpu.push_back(b.cpuSeconds / double(b.writes));
    cpuRatio.push_back(untrackedCpu.back() / trackedCpu.back());

    // The read sample, through a session with the sample as its block map; tracking on
    // again, so the next repetition's first phase is tracked.
    double readSeconds = 0;
    {
      auto dev = openSnapshot(proc, t, 64, true);
      State st{};
      dev->getState(&st);
      if (dev->mapBuffers(1, uint32_t(st.mmapSize)) != 0) throw AgentError("cannot map the transfer buffer");
      auto l0 = Clock::now();
      int rc = dev->loadBlockMap(map);
      s.loadSeconds = std::min(s.loadSeconds, secondsSince(l0));
      if (rc != 0) throw AgentError(resultMessage("doLoadBlockMap", rc, t.name), rc);
      uint32_t per = std::min<uint32_t>(kRunBlocks, uint32_t(st.mmapSize) / t.blockSize);
      auto r0 = Clock::now();
      for (uint32_t f : firsts)
        for (uint32_t k = 0; k < kRunBlocks; k += per)
          if ((rc = dev->readBlocks(f + k, per, 0)) != 0)
            throw AgentError(resultMessage("doReadBlocks", rc, t.name), rc);
      readSeconds = secondsSince(r0);
    }
    double preadSeconds = preadSample();
    readRate.push_back(sample / readSeconds);
    preadRate.push_back(sample / preadSeconds);
  }
  s.tracked = quantile(tracked, 0.5);
  s.untracked = quantile(untracked, 0.5);
  // Processor time per write on the writers' own threads, where velAMRF runs: on a shared
  // machine a phase that waits for a processor moves the elapsed rates far more than one
  // bit of the bitmap does, but not the time the writer itself spends. The median of the
  // repetitions' ratios counts (the engine sometimes runs a bio on the writer's thread,
  // which moves one repetition's time both ways). Reads count their best repetition.
  s.trackedCpu = quantile(trackedCpu, 0.5);
  s.untrackedCpu = quantile(untrackedCpu, 0.5);
  s.trackedRatio = quantile(cpuRatio, 0.5);
  s.readMiBps = *std::max_element(readRate.begin(), readRate.end());
  s.preadMiBps = *std::max_element(preadRate.begin(), preadRate.end());
  s.readRatio = s.readMiBps / s.preadMiBps;
  return s;
}

// The largest partition the block numbers allow: 2^32 - 8 blocks (the bitmaps' byte
// count, (blocks + 7) / 8, is 32-bit too). The device reports partition sizes in KiB in
// 32 bits, so the agent is told the block count here.
Row largest(const Options& o) {
  Row r;
  r.id = "7e";
  r.measure = "largest partition: 2^32-8 blocks of 4096 bytes, started, snapshotted, written, read";
  r.unit = "TiB";
  const uint64_t blocks = 0xfffffff8ull;
  r.value = double(blocks * kBlock) / double(1024 * kGiB);
  std::string path = o.scratch + "/largest.img";
  int rc = machine::image_create(path, blocks * kBlock, {});
  if (rc != 0) {
    r.failed = true;
    r.note = "cannot create a sparse image of " + std::to_string(blocks * kBlock) + " bytes: " + fs::errnoText(-rc);
    return r;
  }
  std::string what;
  auto t0 = Clock::now();
  {
    Host host(path);
    machine::Mount* m = machine::fs_mount(host.dev(0), kBlock);
    if (!m) throw AgentError("cannot mount the whole-disk image");
    // Unmounted before the Host goes, also when a step below throws.
    std::unique_ptr<machine::Mount, int (*)(machine::Mount*)> mounted(m, machine::fs_unmount);
    AgentProcess proc;
    {
      Device dev(proc);
      BlockSize bs{};
      dev.getBlockSize(host.major(0), host.minor(0), &bs);
      char b[160];
      snprintf(b, sizeof b, "device reports %u KiB (32 bits; true size %llu KiB); ", bs.partitionSizeKB,
               (unsigned long long)(blocks * kBlock / 1024));
      what = b;
    }
    Target t;
    t.major = host.major(0);
    t.minor = host.minor(0);
    t.blockSize = kBlock;
    t.totalBlocks = uint32_t(blocks);
    t.name = host.devName(0);
    {
      Device dev(proc);
      if ((rc = dev.startBackup(t.major, t.minor, uint32_t(blocks + 1), 64)) != 2)
        throw AgentError("doStartBackup of 2^32-7 blocks answered " + std::to_string(rc) + ", not 2");
    }
    {
      auto dev = openSnapshot(proc, t, 64, true);
      State st{};
      dev->getState(&st);
      if (dev->mapBuffers(1, uint32_t(st.mmapSize)) != 0) throw AgentError("cannot map the transfer buffer");
      const uint32_t last = uint32_t(blocks - 1);
      std::vector<uint8_t> data(kBlock, 0xa5), back(kBlock, 1);
      std::thread w([&] {
        machine::adopt_thread("bench-writer");
        rc = machine::fs_write(m, uint64_t(last) * kBlock, data.data(), kBlock);
      });
      w.join();
      if (rc != 0) throw AgentError("the write of the last block failed");
      if ((rc = dev->readBlocks(last, 1, 0)) != 0) throw AgentError(resultMessage("doReadBlocks", rc, t.name), rc);
      dev->bufferRead(0, 0, back.data(), kBlock);
      bool old = std::all_of(back.begin(), back.end(), [](uint8_t c) { return c == 0; });
      if (!old) throw AgentError("the last block did not read back as it was at the snapshot");
    }
    SessionStats st = lastSessionStats();
    char b[200];
    snprintf(b, sizeof b,
             "works: the last block was captured and read as at the snapshot; one block more is refused (2); "
             "%lld pages allocated; %.1f s",
             (long long)st.num("total pages allocated"), secondsSince(t0));
    what += b;
  }
  ::unlink(path.c_str());
  r.note = what;
  return r;
}

}  // namespace

void figureScale(const Options& o, std::vector<Row>& rows) {
  std::vector<uint64_t> sizes = {kGiB, 64 * kGiB, 1024 * kGiB};
  if (o.quick) sizes.pop_back();
  const uint32_t writesPerThread = o.quick ? 300 : 500;
  std::vector<SizeResult> res;
  for (uint64_t bytes : sizes) {
    progress(o, "figure 7: " + sizeName(bytes) + " sparse partition");
    res.push_back(measureSize(o, bytes, writesPerThread, o.quick ? 1 : 7));
  }
  ::unlink((o.scratch + "/scale.img").c_str());
  char b[200];
  for (const SizeResult& s : res) {
    Row r;
    r.id = "7a-" + s.name;
    r.measure = "tracked random writes on " + s.name + " vs no interception (writer cpu per write)";
    r.unit = "us cpu";
    r.value = s.trackedCpu * 1e6;
    r.baseline = s.untrackedCpu * 1e6;
    r.ratio = s.trackedRatio;
    snprintf(b, sizeof b, "%.0f vs %.0f writes/s (median phase); start+snapshot+close %.1f ms, block map load %.1f ms",
             s.tracked, s.untracked, s.setupSeconds * 1e3, s.loadSeconds * 1e3);
    r.note = b;
    rows.push_back(r);
  }
  for (const SizeResult& s : res) {
    Row r;
    r.id = "7b-" + s.name;
    r.measure = "backup reads of 128 MiB spread over " + s.name + " vs preadv of the same ranges";
    r.unit = "MiB/s";
    r.value = s.readMiBps;
    r.baseline = s.preadMiBps;
    r.ratio = s.readRatio;
    rows.push_back(r);
  }
  const SizeResult& a = res.front();
  const SizeResult& z = res.back();
  Row g = ratioRow("7c", "growth: tracked-write ratio at " + z.name + " vs at " + a.name, "ratio", z.trackedRatio,
                   a.trackedRatio, ">=", 0.90);
  rows.push_back(g);
  // Backup reads against backup reads: preadv of holes in a memory file is too fast and
  // too variable to divide by twice.
  Row h = ratioRow("7d", "growth: backup-read throughput at " + z.name + " vs at " + a.name, "MiB/s", z.readMiBps,
                   a.readMiBps, ">=", 0.90);
  rows.push_back(h);
  if (!o.quick) {
    progress(o, "figure 7: the largest partition");
    rows.push_back(largest(o));
  }
}

}  // namespace velloc::bench
