// Data integrity of the I/O engine: many submitting threads, out-of-order completion,
// merging of consecutive bios, memory and image-file disks.
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "block_test_util.h"

using namespace blktest;

namespace {

class EngineIo : public BlockTest {};

// Every thread writes its own region in bios of random sizes, then reads it back through
// bios; the bytes must be exactly those written, whatever order the engine completes in.
void write_then_read_regions(machine::Disk* d, dev_t dev, unsigned threads, unsigned pages_per_thread,
                             std::atomic<long>* counter, std::vector<std::pair<long, long>>* ranks) {
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  std::mutex rank_mu;
  for (unsigned t = 0; t < threads; t++) {
    ts.emplace_back([&, t] {
      Bdev bdev(dev);
      Pages pg(pages_per_thread);
      std::mt19937 rng(t + 1);
      sector_t base = (sector_t)t * pages_per_thread * 8;
      for (unsigned i = 0; i < pages_per_thread; i++) fill_pattern(pg.data(i), PAGE_SIZE, t * 1000 + i);
      // Writes: all in flight together.
      std::vector<std::unique_ptr<BioResult>> rs;
      unsigned i = 0;
      long submitted = 0;
      while (i < pages_per_thread) {
        unsigned n = std::min<unsigned>(1 + rng() % 8, pages_per_thread - i);
        rs.push_back(std::make_unique<BioResult>());
        rs.back()->counter = counter;
        struct bio* bio = make_bio(bdev, WRITE, base + i * 8, pg, i, n, rs.back().get());
        generic_make_request(bio);
        i += n;
      }
      for (auto& r : rs) {
        if (!wait_for([&] { return r->done.load() != 0; }) || r->err || !r->uptodate || r->size_left != 0 ||
            !r->in_irq)
          failures++;
        std::lock_guard<std::mutex> g(rank_mu);
        ranks->push_back({submitted++ + (long)t * 100000, r->order.load()});
      }
      // Read back into cleared pages, one block per bio.
      for (unsigned k = 0; k < pages_per_thread; k++) memset(pg.data(k), 0, PAGE_SIZE);
      std::vector<std::unique_ptr<BioResult>> rr;
      for (unsigned k = 0; k < pages_per_thread; k++) {
        rr.push_back(std::make_unique<BioResult>());
        generic_make_request(make_bio(bdev, READ, base + k * 8, pg, k, 1, rr.back().get()));
      }
      for (auto& r : rr)
        if (!wait_for([&] { return r->done.load() != 0; }) || r->err) failures++;
      std::vector<unsigned char> expect(PAGE_SIZE), raw(PAGE_SIZE);
      for (unsigned k = 0; k < pages_per_thread; k++) {
        fill_pattern(expect.data(), PAGE_SIZE, t * 1000 + k);
        if (memcmp(pg.data(k), expect.data(), PAGE_SIZE) != 0) failures++;
        machine::disk_pread(d, (base + k * 8) * 512, raw.data(), PAGE_SIZE);
        if (memcmp(raw.data(), expect.data(), PAGE_SIZE) != 0) failures++;
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(EngineIo, ManyThreadsOutOfOrderCompletionReturnExactlyTheBytesWritten) {
  machine::DiskOptions o;
  o.random_completion = true;
  o.max_delay_us = 300;
  o.io_threads = 3;
  o.seed = 42;
  machine::Disk* d = machine::disk_attach_memory(16 << 20, o);
  ASSERT_NE(d, nullptr);
  std::atomic<long> counter{0};
  std::vector<std::pair<long, long>> ranks;
  write_then_read_regions(d, machine::disk_dev(d), 8, 48, &counter, &ranks);
  // Completion order differs from submission order somewhere (per thread, bios were
  // submitted in rank order).
  std::sort(ranks.begin(), ranks.end());
  int inversions = 0;
  for (size_t i = 1; i < ranks.size(); i++)
    if (ranks[i].first / 100000 == ranks[i - 1].first / 100000 && ranks[i].second < ranks[i - 1].second) inversions++;
  EXPECT_GT(inversions, 0);
  machine::disk_detach(d);
}

TEST_F(EngineIo, ImageFileDiskWithMergingKeepsEveryThreadsBytes) {
  char path[] = "/tmp/kblock-io-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(machine::image_create(path, 8 << 20, {}), 0);
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_image(path, o);
  ASSERT_NE(d, nullptr);
  std::atomic<long> counter{0};
  std::vector<std::pair<long, long>> ranks;
  write_then_read_regions(d, machine::disk_dev(d), 6, 64, &counter, &ranks);
  EXPECT_GT(machine::disk_merged_bios(d), 0u);  // the one-block reads of each thread merge
  machine::disk_detach(d);
  unlink(path);
}

TEST_F(EngineIo, SequentialOneBlockReadsMergeAndLandInTheirOwnPages) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory(4 << 20, o);
  ASSERT_NE(d, nullptr);
  std::vector<unsigned char> img(4 << 20);
  for (size_t b = 0; b < img.size() / 4096; b++) fill_pattern(&img[b * 4096], 4096, b);
  ASSERT_EQ(machine::disk_pwrite(d, 0, img.data(), img.size()), 0);
  Bdev bdev(machine::disk_dev(d));
  Pages pg(256);
  std::vector<BioResult> rs(256);
  uint64_t before = machine::disk_completed_bios(d);
  for (int i = 0; i < 256; i++) generic_make_request(make_bio(bdev, READ, 8 * (256 + i), pg, i, 1, &rs[i]));
  generic_unplug_device(bdev_get_queue(bdev));
  for (int i = 0; i < 256; i++) {
    ASSERT_TRUE(wait_for([&] { return rs[i].done.load() != 0; }));
    ASSERT_EQ(rs[i].err.load(), 0);
    ASSERT_EQ(memcmp(pg.data(i), &img[(256 + i) * 4096], 4096), 0) << "block " << i;
  }
  EXPECT_EQ(machine::disk_completed_bios(d) - before, 256u);
  EXPECT_GT(machine::disk_merged_bios(d), 0u);
  machine::disk_detach(d);
}

TEST_F(EngineIo, RawHelpersAndDetachWithQueuedBios) {
  machine::DiskOptions o;
  o.random_completion = true;
  o.max_delay_us = 2000;
  machine::Disk* d = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(d, nullptr);
  dev_t dev = machine::disk_dev(d);
  std::vector<unsigned char> w(64 * 1024), r(64 * 1024);
  fill_pattern(w.data(), w.size(), 7);
  EXPECT_EQ(machine::blk_write(dev, 4096, w.data(), w.size()), 0);
  EXPECT_EQ(machine::blk_read(dev, 4096, r.data(), r.size()), 0);
  EXPECT_EQ(w, r);
  EXPECT_EQ(machine::blk_flush(dev), 0);
  EXPECT_EQ(machine::blk_read(dev, 100, r.data(), 512), -EINVAL);
  EXPECT_EQ(machine::blk_read(dev, (1 << 20) - 512, r.data(), 1024), -EIO);  // past the end
  // Bios still queued when the disk goes are completed, not lost.
  Pages pg(16);
  std::vector<BioResult> rs(16);
  {
    Bdev bdev(dev);
    for (int i = 0; i < 16; i++) generic_make_request(make_bio(bdev, READ, 8 * i, pg, i, 1, &rs[i]));
  }
  machine::disk_detach(d);
  for (auto& x : rs) EXPECT_EQ(x.done.load(), 1);
}

}  // namespace
