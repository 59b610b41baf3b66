// Sequential reads of a 1 GiB image through generic_make_request, in runs of 256
// one-block (4 KiB) bios waited for with buffer heads as the module waits for its reads,
// against plain preadv of the same file, with a warm page cache, in the same run.
// Counters:
//   ratio            block-layer throughput / one vectored preadv per run of 256 blocks
//                    into the same pages (the goal: at least 0.85)
//   ratio_per_block  block-layer throughput / one preadv per 4 KiB block
// The baselines read half the image away from the block layer's run, so no side finds
// the other's bytes in the CPU caches.
//
// The image is kept at $VELLOC_BENCH_IMAGE (default /tmp/velloc-bench-1g.img) and reused
// while it has the right size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <machine/disk.h>
#include <machine/kernel.h>

#include "bench_support.h"

namespace {

using bench_support::kBlock;
using bench_support::kRun;

constexpr uint64_t kImageBytes = 1ull << 30;

void bh_done(struct buffer_head* bh, int uptodate) {
  if (uptodate) set_buffer_uptodate(bh);
  unlock_buffer(bh);
  put_bh(bh);
}

int bio_done(struct bio* bio, unsigned int bytes_done, int err) {
  if (bio->bi_size) return 1;
  auto* bh = static_cast<struct buffer_head*>(bio->bi_private);
  bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE) ? 1 : 0);
  bio_put(bio);
  return 0;
}

struct BlockReader {
  struct block_device* bdev;
  std::vector<struct page*> pages;
  std::vector<struct buffer_head*> bhs;
  std::vector<struct bio*> bios;

  explicit BlockReader(struct block_device* b) : bdev(b), pages(kRun), bhs(kRun), bios(kRun) {
    for (unsigned i = 0; i < kRun; i++) {
      pages[i] = alloc_page(GFP_KERNEL);
      bhs[i] = alloc_buffer_head(GFP_NOIO);
    }
  }
  ~BlockReader() {
    for (unsigned i = 0; i < kRun; i++) {
      free_buffer_head(bhs[i]);
      __free_page(pages[i]);
    }
  }
  // One run: 256 one-block bios sent together, then each waited for. False on an error.
  bool run(uint64_t first_block) {
    for (unsigned i = 0; i < kRun; i++) {
      struct buffer_head* bh = bhs[i];
      bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
      bh->b_bdev = bdev;
      bh->b_blocknr = first_block + i;
      bh->b_size = kBlock;
      set_bh_page(bh, pages[i], 0);
      bh->b_end_io = bh_done;
      get_bh(bh);
      struct bio* bio = bio_alloc(GFP_NOIO, 1);
      bio->bi_bdev = bdev;
      bio->bi_sector = (first_block + i) * (kBlock / 512);
      bio->bi_io_vec[0] = {pages[i], kBlock, 0};
      bio->bi_vcnt = 1;
      bio->bi_size = kBlock;
      bio->bi_end_io = bio_done;
      bio->bi_private = bh;
      bio_get(bio);
      bios[i] = bio;
      generic_make_request(bio);
    }
    bool ok = true;
    for (unsigned i = 0; i < kRun; i++) {
      wait_on_buffer(bhs[i]);
      ok = ok && buffer_uptodate(bhs[i]);
      bio_put(bios[i]);
    }
    return ok;
  }
};

void BM_SequentialReadRatio(benchmark::State& state) {
  std::string path = bench_support::envPath("VELLOC_BENCH_IMAGE", "/tmp/velloc-bench-1g.img");
  if (!bench_support::prepareImage(path, kImageBytes, 0, 0, [](uint64_t off) { return off; })) {
    state.SkipWithError("cannot make the 1 GiB image");
    return;
  }
  machine::DiskOptions o;
  std::string err;
  machine::Disk* d = machine::disk_attach_image(path, o, &err);
  if (!d) {
    state.SkipWithError(err.c_str());
    return;
  }
  struct block_device* bdev = bdget(machine::disk_dev(d));
  int fd = open(path.c_str(), O_RDONLY);
  double t_blk = 0, t_pread = 0, t_small = 0;
  uint64_t runs = 0, block = 0;
  const uint64_t blocks = kImageBytes / kBlock;
  {
    BlockReader reader(bdev);
    // The baseline reads into the same pages, so only the path differs.
    std::vector<struct iovec> iov(kRun);
    for (unsigned i = 0; i < kRun; i++) iov[i] = {page_address(reader.pages[i]), kBlock};
    for (auto _ : state) {
      auto t0 = std::chrono::steady_clock::now();
      if (!reader.run(block)) {
        state.SkipWithError("block read failed");
        break;
      }
      auto t1 = std::chrono::steady_clock::now();
      // Half the image away: neither side finds the other's bytes in the CPU caches.
      uint64_t other = (block + blocks / 2) % blocks;
      if (preadv(fd, iov.data(), (int)kRun, (off_t)(other * kBlock)) != (ssize_t)kRun * kBlock) {
        state.SkipWithError("preadv failed");
        break;
      }
      auto t2 = std::chrono::steady_clock::now();
      uint64_t third = (block + blocks / 4) % blocks;
      for (unsigned i = 0; i < kRun; i++)
        if (preadv(fd, &iov[i], 1, (off_t)((third + i) * kBlock)) != (ssize_t)kBlock) {
          state.SkipWithError("preadv failed");
          break;
        }
      auto t3 = std::chrono::steady_clock::now();
      t_blk += std::chrono::duration<double>(t1 - t0).count();
      t_pread += std::chrono::duration<double>(t2 - t1).count();
      t_small += std::chrono::duration<double>(t3 - t2).count();
      runs++;
      block = (block + kRun) % blocks;
    }
  }
  close(fd);
  bdput(bdev);
  machine::disk_detach(d);
  if (runs == 0 || t_blk <= 0 || t_pread <= 0) return;
  double bytes = (double)runs * kRun * kBlock;
  state.counters["block_MiBps"] = bytes / t_blk / (1 << 20);
  state.counters["preadv_MiBps"] = bytes / t_pread / (1 << 20);
  state.counters["ratio"] = t_pread / t_blk;
  state.counters["ratio_per_block"] = t_small / t_blk;
  state.SetBytesProcessed((int64_t)bytes);
}
BENCHMARK(BM_SequentialReadRatio)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
