// Write throughput with change tracking between backups: runs of 256 one-block (4 KiB)
// write bios to a tracked partition go through velAMRF (the automap records every block,
// then the disk's own function takes the bio), against the same runs with the disk's own
// function in the queue. The two kinds alternate run by run over the same blocks, in one
// process; Arg 0 is a memory disk, Arg 1 an image file (kept at $VELLOC_BENCH_WRITE_IMAGE,
// default /tmp/velloc-bench-amrf.img).
//
// Counters: `ratio` = median over run pairs of own time / tracked time (throughput of
// tracked writes relative to untracked ones; goal at least 0.95); `ratio_total` the same
// from the summed times; `*_MiBps` throughput; `*_submit_ns` CPU time per bio spent by the
// submitting thread (generic_make_request and the queue's function), which isolates what
// tracking adds from the engine's own work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <machine/disk.h>
#include <machine/kernel.h>
#include <machine/modules.h>

#include "bench_support.h"
#include "vellib.h"

namespace {

using bench_support::kBlock;
using bench_support::kRun;
using bench_support::RunWriter;
using bench_support::setQueueFunction;
constexpr uint64_t kPartSectors = 256ull << 11;  // 256 MiB partition
constexpr uint64_t kBlocks = kPartSectors / (kBlock / 512);

void BM_TrackedWriteRatio(benchmark::State& state) {
  if (machine::module_load() != 0) {
    state.SkipWithError("module load failed");
    return;
  }
  std::string err;
  machine::DiskOptions o;
  machine::Disk* d = nullptr;
  uint64_t diskBytes = (kPartSectors + 4096) * 512;
  std::string image = bench_support::envPath("VELLOC_BENCH_WRITE_IMAGE", "/tmp/velloc-bench-amrf.img");
  if (state.range(0) == 0) {
    d = machine::disk_attach_memory_partitioned(diskBytes, {{2048, kPartSectors}}, o, &err);
  } else if (machine::image_create(image, diskBytes, {{2048, kPartSectors}}) == 0) {
    d = machine::disk_attach_image(image, o, &err);
  }
  if (!d) {
    state.SkipWithError(err.empty() ? "no disk" : err.c_str());
    machine::module_unload();
    return;
  }
  uint32_t dev = machine::partition_dev(d, 1);
  machine::Mount* m = machine::fs_mount(dev, kBlock, &err);

  // A session record as the start leaves it, and its automap as a close with change
  // tracking leaves it: in sync, with velAMRF in the queue.
  Backup* b = static_cast<Backup*>(calloc(1, sizeof(Backup)));
  AutoMapSession* ams = nullptr;
  request_queue_t* q = nullptr;
  make_request_fn* own = nullptr;
  if (!m || getDiskInfo(&b->diskInfo, dev) != 0) {
    state.SkipWithError("no file system on the partition");
  } else {
    b->diskInfo.numBlocks = kBlocks;
    q = getRequestQueue(&b->diskInfo);
    own = q->make_request_fn;
    if (newAMS(b, &ams) != 0 || setMRF(b, velAMRF) != 0) state.SkipWithError("automap not created");
    else setAMSState(ams, amsInSync);
  }

  double tTracked = 0, tOwn = 0, cTracked = 0, cOwn = 0;
  std::vector<double> pairRatios;
  uint64_t runs = 0, block = 0;
  if (ams) {
    struct block_device* bdev = bdget(dev);
    {
      RunWriter writer(bdev);
      writer.runFrom(0);  // first touch of the blocks, for neither side
      for (auto _ : state) {
        double t[2] = {0, 0};
        // Alternate which kind goes first so that drift in the engine hits both alike.
        for (int k = 0; k < 2; ++k) {
          bool tracked = (k == 0) == (runs % 2 == 0);
          setQueueFunction(q, tracked ? &velAMRF : own);
          auto t0 = std::chrono::steady_clock::now();
          if (writer.runFrom(block) < 0) state.SkipWithError("write failed");
          t[tracked] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
          (tracked ? cTracked : cOwn) += writer.submitCPU;
        }
        tTracked += t[1];
        tOwn += t[0];
        pairRatios.push_back(t[0] / t[1]);
        runs++;
        block = (block + kRun) % kBlocks;
      }
    }
    bdput(bdev);
    setQueueFunction(q, &velAMRF);
    if (getAMSState(ams) != amsInSync || !blockInMap(&ams->map, kRun)) state.SkipWithError("writes were not tracked");
    closeAMS(b);
  }
  closeDiskInfo(&b->diskInfo);
  free(b);
  if (m) machine::fs_unmount(m);
  machine::disk_detach(d);
  machine::module_unload();
  if (runs == 0 || tTracked <= 0 || tOwn <= 0) return;
  std::nth_element(pairRatios.begin(), pairRatios.begin() + pairRatios.size() / 2, pairRatios.end());
  double bytes = (double)runs * kRun * kBlock, bios = (double)runs * kRun;
  state.counters["tracked_MiBps"] = bytes / tTracked / (1 << 20);
  state.counters["own_MiBps"] = bytes / tOwn / (1 << 20);
  state.counters["tracked_submit_ns"] = cTracked / bios * 1e9;
  state.counters["own_submit_ns"] = cOwn / bios * 1e9;
  state.counters["ratio"] = pairRatios[pairRatios.size() / 2];
  state.counters["ratio_total"] = tOwn / tTracked;
  state.SetBytesProcessed((int64_t)(bytes * 2));
}
BENCHMARK(BM_TrackedWriteRatio)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(3000);

}  // namespace

BENCHMARK_MAIN();
