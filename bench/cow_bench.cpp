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

#include "vellib.h"

namespace {

constexpr unsigned kRun = 256;                   // bios per run
constexpr unsigned kBlock = 4096;                // bytes per bio and per file-system block
constexpr uint64_t kPartSectors = 128ull << 11;  // 128 MiB partition
constexpr uint64_t kBlocks = kPartSectors / (kBlock / 512);
constexpr int kIterations = 48;                  // 48 x 256 first writes: 48 MiB of cache

struct RunWriter {
  struct block_device* bdev;
  std::vector<struct page*> pages;
  std::atomic<int> pending{0};
  std::atomic<int> errors{0};
  struct completion done;

  explicit RunWriter(struct block_device* b) : bdev(b), pages(kRun) {
    for (unsigned i = 0; i < kRun; i++) {
      pages[i] = alloc_page(GFP_KERNEL);
      memset(page_address(pages[i]), (int)i, kBlock);
    }
    init_completion(&done);
  }
  ~RunWriter() {
    for (struct page* p : pages) __free_page(p);
  }

  static int endIO(struct bio* bio, unsigned int, int) {
    if (bio->bi_size) return 1;
    auto* w = static_cast<RunWriter*>(bio->bi_private);
    if (!bio_flagged(bio, BIO_UPTODATE)) w->errors++;
    bio_put(bio);
    if (--w->pending == 0) complete(&w->done);
    return 0;
  }

  // One run: a bio for each block, sent one after the other, then all waited for.
  // Returns the seconds taken, or a negative value on an I/O error.
  double run(const uint32_t* blocks) {
    auto t0 = std::chrono::steady_clock::now();
    pending = kRun;
    for (unsigned i = 0; i < kRun; i++) {
      struct bio* bio = bio_alloc(GFP_NOIO, 1);
      bio->bi_bdev = bdev;
      bio->bi_sector = (uint64_t)blocks[i] * (kBlock / 512);
      bio->bi_rw = WRITE;
      bio->bi_io_vec[0] = {pages[i], kBlock, 0};
      bio->bi_vcnt = 1;
      bio->bi_size = kBlock;
      bio->bi_end_io = endIO;
      bio->bi_private = this;
      generic_make_request(bio);
    }
    wait_for_completion(&done);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return errors.load() == 0 ? t : -1.0;
  }
};

void setQueueFunction(request_queue_t* q, make_request_fn* fn) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  q->make_request_fn = fn;
  spin_unlock_irqrestore(q->queue_lock, flags);
}

// The agent's side: one process with one handle of the control device.
struct Agent {
  machine::Process* proc = nullptr;
  int fd = -1;
  long ioctl(unsigned cmd, const void* rec, size_t len) {
    uint32_t a = machine::user_alloc(proc, len ? len : 1);
    if (len) machine::user_write(proc, a, rec, len);
    return machine::sys_ioctl(proc, fd, cmd, a);
  }
};

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
  machine::mknod_char("/dev/velloc", VEL_MAJOR, 0);
  Agent agent;
  agent.proc = machine::process_create("cow_bench");
  machine::process_enter(agent.proc);
  agent.fd = machine::sys_open(agent.proc, "/dev/velloc");

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
        double t[4];
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
  machine::sys_close(agent.proc, agent.fd);
  machine::process_leave();
  machine::process_destroy(agent.proc);
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
