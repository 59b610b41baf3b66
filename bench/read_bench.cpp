// A full backup of an idle 1 GiB partition through the control device, as an agent reads
// it: start, map one 256-page transfer buffer, snapshot, then doReadBlocks of 256 blocks
// (4 KiB each) into the mapped buffer until every block is read. The baseline is plain
// preadv of the same partition from the image file, 256 blocks per call, in the same run
// (warm page cache for both). Each iteration is one whole pass of each.
// Counters:
//   ratio          device throughput / preadv throughput (the goal: at least 0.80)
//   device_MiBps, preadv_MiBps
//   freeze_ms, frozen_ms   the snapshot's time to freeze and time frozen, as logged in the
//                  statistics block at close
//
// The image is kept at $VELLOC_BENCH_PART_IMAGE (default /tmp/velloc-bench-part-1g.img) and
// reused while it has the right size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <machine/disk.h>
#include <machine/kernel.h>
#include <machine/modules.h>
#include <machine/process.h>

#include "bench_support.h"
#include "velloc.h"

namespace {

constexpr uint64_t kPartStart = 2048;                   // sectors
constexpr uint64_t kPartBytes = 1ull << 30;
constexpr uint64_t kImageBytes = kPartStart * 512 + kPartBytes;
using bench_support::kBlock;
using bench_support::kRun;
constexpr uint32_t kBlocks = kPartBytes / kBlock;

// Seconds.nanoseconds of a statistics line logged after `mark`, in milliseconds; -1 if absent.
double loggedMs(const char* label, uint64_t mark) {
  for (const machine::LogRecord& r : machine::log_records(mark)) {
    size_t at = r.text.find(label);
    if (at == std::string::npos) continue;
    long s = 0, ns = 0;
    if (sscanf(r.text.c_str() + at + strlen(label), "%ld.%ld", &s, &ns) == 2) return s * 1e3 + ns / 1e6;
  }
  return -1;
}

void BM_FullBackupReadRatio(benchmark::State& state) {
  std::string path = bench_support::envPath("VELLOC_BENCH_PART_IMAGE", "/tmp/velloc-bench-part-1g.img");
  if (!bench_support::prepareImage(path, kImageBytes, kPartStart, kPartStart * 512,
                                   [](uint64_t off) { return off * 0x9E3779B97F4A7C15ull; })) {
    state.SkipWithError("cannot make the partitioned 1 GiB image");
    return;
  }
  if (machine::module_load() != 0) {
    state.SkipWithError("module load failed");
    return;
  }
  std::string err;
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_image(path, o, &err);
  if (!d) {
    state.SkipWithError(err.c_str());
    machine::module_unload();
    return;
  }
  uint32_t dev = machine::partition_dev(d, 1);
  machine::Mount* m = machine::fs_mount(dev, kBlock, &err);
  bench_support::Agent agent("read_bench");
  uint32_t keyAddr = machine::user_alloc(agent.proc, sizeof(AMSessionKey));
  AMSessionKey key{};
  machine::user_write(agent.proc, keyAddr, &key, sizeof key);

  StartBackup start{dev >> 20, dev & 0xFFFFF, kBlocks, 1024};
  SnapShot snap{keyAddr, sizeof key};
  int64_t buf = -1;
  bool ok = m && agent.fd >= 0 && agent.ioctl(doStartBackup, &start, sizeof start) == 0;
  if (ok) buf = machine::sys_mmap(agent.proc, kRun * kBlock, PROT_READ, false, agent.fd, 0);
  ok = ok && buf > 0 && agent.ioctl(doSnapShot, &snap, sizeof snap) == 0;
  if (!ok) state.SkipWithError("backup session not set up");

  int fd = open(path.c_str(), O_RDONLY);
  std::vector<unsigned char> host(kRun * kBlock);
  std::vector<struct iovec> iov(kRun);
  for (unsigned i = 0; i < kRun; i++) iov[i] = {host.data() + i * kBlock, kBlock};
  double tDev = 0, tPread = 0;
  uint64_t passes = 0;
  if (ok) {
    // Once, outside the timing: the device gives the bytes preadv gives.
    ReadBlocks rb{kBlocks / 2, kRun, uint32_t(buf)};
    ok = agent.ioctl(doReadBlocks, &rb, sizeof rb) == 0 &&
         preadv(fd, iov.data(), (int)kRun, (off_t)(kPartStart * 512 + uint64_t(kBlocks / 2) * kBlock)) ==
             (ssize_t)(kRun * kBlock);
    for (unsigned i = 0; ok && i < kRun; i++) {  // the mapping's pages are not contiguous
      const uint8_t* view = machine::user_map_view(agent.proc, uint32_t(buf) + i * kBlock, kBlock);
      ok = view && memcmp(view, host.data() + i * kBlock, kBlock) == 0;
    }
    if (!ok) state.SkipWithError("device and preadv disagree");
  }
  for (auto _ : state) {
    if (!ok) break;
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t b = 0; b < kBlocks && ok; b += kRun) {
      ReadBlocks rb{b, kRun, uint32_t(buf)};
      ok = agent.ioctl(doReadBlocks, &rb, sizeof rb) == 0;
    }
    auto t1 = std::chrono::steady_clock::now();
    for (uint32_t b = 0; b < kBlocks && ok; b += kRun)
      ok = preadv(fd, iov.data(), (int)kRun, (off_t)(kPartStart * 512 + uint64_t(b) * kBlock)) ==
           (ssize_t)(kRun * kBlock);
    auto t2 = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError("read failed");
      break;
    }
    tDev += std::chrono::duration<double>(t1 - t0).count();
    tPread += std::chrono::duration<double>(t2 - t1).count();
    passes++;
  }
  close(fd);

  uint64_t mark = machine::log_last_seq();
  if (buf > 0) machine::sys_munmap(agent.proc, uint32_t(buf), kRun * kBlock);
  agent.close();  // closes the handle: statistics and "backup finished"
  double freezeMs = loggedMs("time to freeze in seconds: ", mark);
  double frozenMs = loggedMs("time frozen in seconds: ", mark);
  machine::module_unload();
  if (m) machine::fs_unmount(m);
  machine::disk_detach(d);
  if (passes == 0 || tDev <= 0 || tPread <= 0) return;
  double bytes = (double)passes * kPartBytes;
  state.counters["device_MiBps"] = bytes / tDev / (1 << 20);
  state.counters["preadv_MiBps"] = bytes / tPread / (1 << 20);
  state.counters["ratio"] = tPread / tDev;
  state.counters["freeze_ms"] = freezeMs;
  state.counters["frozen_ms"] = frozenMs;
  state.SetBytesProcessed((int64_t)bytes);
}
BENCHMARK(BM_FullBackupReadRatio)->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace

BENCHMARK_MAIN();
