// Write throughput under copy-on-write: runs of 256 one-block (4 KiB) write bios to random
// blocks of a memory-disk partition whose backup session is in stateSnapshotComplete
// (started and snapshotted through the control device, as an agent does), against the same
// runs with the disk's own function in the queue (no interception). Two kinds of protected
// run: first writes (every block's old contents are read and kept before the write goes on)
// and re-writes of blocks already captured (passed straight on). Each protected run is
// paired with a baseline run in the same iteration, so drift hits both alike.
// Counters: `first_ratio` = first-write throughput / baseline (goal: at least 0.33),
// `rewrite_ratio` = re-write throughput / baseline (goal: at least 0.90).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <machine/disk.h>
#include <machine/kernel.h>
#include <machine/modules.h>
#include <machine/process.h>

#include "bench_support.h"
#include "vellib.h"

namespace {

using bench_support::kBlock;
using bench_support::kRun;
using bench_support::RunWriter;
using bench_support::setQueueFunction;
constexpr uint64_t kPartSectors = 128ull << 11;  // 128 MiB partition
constexpr uint64_t kBlocks = kPartSectors / (kBlock / 512);
constexpr int kIterations = 48;                  // 48 x 256 first writes: 48 MiB of cache

void BM_CopyOnWriteRatio(benchmark::State& state) {
  if (machine::module_load() != 0) {
    state.SkipWithError("module load failed");
    return;
  }
  std::string err;
  machine::DiskOptions o;
  machine::Disk* d =
      machine::disk_attach_memory_partitioned((kPartSectors + 4096) * 512, {{2048, kPartSectors}}, o, &err);
  if (!d) {
    state.SkipWithError(err.c_str());
    machine::module_unload();
    return;
  }
  uint32_t dev = machine::partition_dev(d, 1);
  // Every block holds data, as on a disk in use: no run pays for the first touch of a block.
  {
    std::vector<uint8_t> chunk(1 << 20, 0x5A);
    for (uint64_t off = 0; off < kPartSectors * 512; off += chunk.size())
      machine::disk_pwrite(d, machine::partition_start(d, 1) * 512 + off, chunk.data(), chunk.size());
  }
  machine::Mount* m = machine::fs_mount(dev, kBlock, &err);
  bench_support::Agent agent("cow_bench");

  StartBackup start{dev >> 20, dev & 0xFFFFF, (uint32_t)kBlocks, (uint32_t)kBlocks};
  AMSessionKey key{};
  SnapShot snap{0, sizeof(key)};
  snap.amsKey = machine::user_alloc(agent.proc, sizeof(key));
  machine::user_write(agent.proc, snap.amsKey, &key, sizeof(key));
  Backup* b = nullptr;
  if (!m || agent.fd < 0 || agent.ioctl(doNoStartAutoMap, nullptr, 0) != 0 ||
      agent.ioctl(doStartBackup, &start, sizeof(start)) != 0 || agent.ioctl(doSnapShot, &snap, sizeof(snap)) != 0) {
    state.SkipWithError("session not started");
  } else {
    b = activeSession;
    if (!b || b->state != stateSnapshotComplete) {
      state.SkipWithError("session not protecting");
      b = nullptr;
    }
  }

  double tBase = 0, tFirst = 0, tRewrite = 0;
  uint64_t runs = 0;
  if (b) {
    request_queue_t* q = getRequestQueue(&b->diskInfo);
    make_request_fn* own = b->diskInfo.realMRF;
    // First writes take fresh blocks in a random order, re-writes random blocks among those
    // already captured, the baseline random blocks of the whole partition.
    std::mt19937 rng(42);
    std::vector<uint32_t> order(kBlocks);
    for (uint32_t i = 0; i < kBlocks; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    size_t used = 0;
    std::vector<uint32_t> pick(kRun), base(kRun);
    auto pickCaptured = [&] {
      for (unsigned i = 0; i < kRun; i++) pick[i] = order[rng() % used];
    };
    auto pickAny = [&] {
      for (unsigned i = 0; i < kRun; i++) base[i] = (uint32_t)(rng() % kBlocks);
    };
    struct block_device* bdev = bdget(dev);
    {
      RunWriter writer(bdev);
      for (auto _ : state) {
        if (used + kRun > kBlocks) {
          state.SkipWithError("partition used up");
          break;
        }
        // Which of a pair goes first alternates, so that drift hits both alike.
        bool baseFirst = runs % 2 == 0;
        double t[4] = {0, 0, 0, 0};
        pickAny();
        for (int k = 0; k < 2; k++) {
          if ((k == 0) == baseFirst) {
            setQueueFunction(q, own);
            t[0] = writer.run(base.data());
          } else {
            setQueueFunction(q, &velMRF);
            t[1] = writer.run(order.data() + used);
            while (atomic_read(&b->mrInQueue) != 0) std::this_thread::yield();
          }
        }
        used += kRun;
        pickAny();
        pickCaptured();
        for (int k = 0; k < 2; k++) {
          if ((k == 0) == baseFirst) {
            setQueueFunction(q, own);
            t[2] = writer.run(base.data());
          } else {
            setQueueFunction(q, &velMRF);
            t[3] = writer.run(pick.data());
          }
        }
        if (t[0] < 0 || t[1] < 0 || t[2] < 0 || t[3] < 0) {
          state.SkipWithError("write failed");
          break;
        }
        tBase += t[0] + t[2];
        tFirst += t[1];
        tRewrite += t[3];
        runs++;
      }
    }
    bdput(bdev);
    if (b->state != stateSnapshotComplete || atomic_read(&b->curAllocCPs) != (int)used)
      state.SkipWithError("the cache does not hold every first-written block once");
  }
  agent.close();
  if (m) machine::fs_unmount(m);
  machine::disk_detach(d);
  machine::module_unload();
  if (runs == 0 || tBase <= 0 || tFirst <= 0 || tRewrite <= 0) return;
  double bytes = (double)runs * kRun * kBlock;
  state.counters["base_MiBps"] = 2 * bytes / tBase / (1 << 20);
  state.counters["first_MiBps"] = bytes / tFirst / (1 << 20);
  state.counters["rewrite_MiBps"] = bytes / tRewrite / (1 << 20);
  state.counters["first_ratio"] = (tBase / 2) / tFirst;
  state.counters["rewrite_ratio"] = (tBase / 2) / tRewrite;
}
BENCHMARK(BM_CopyOnWriteRatio)->Unit(benchmark::kMillisecond)->Iterations(kIterations);

}  // namespace

BENCHMARK_MAIN();
