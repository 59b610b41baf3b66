// Data integrity of the I/O engine: many submitting threads, out-of-order completion,
// merging of consecutive bios, memory and image-file disks.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>

#include <linux/completion.h>

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

// A 4 MiB memory disk whose every block holds its own pattern, as *img does; null when
// it cannot be made.
machine::Disk* patterned_disk(std::vector<unsigned char>* img) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory(4 << 20, o);
  if (!d) return nullptr;
  img->assign(4 << 20, 0);
  for (size_t b = 0; b < img->size() / 4096; b++) fill_pattern(&(*img)[b * 4096], 4096, b);
  if (machine::disk_pwrite(d, 0, img->data(), img->size()) == 0) return d;
  machine::disk_detach(d);
  return nullptr;
}

TEST_F(EngineIo, SequentialOneBlockReadsMergeAndLandInTheirOwnPages) {
  std::vector<unsigned char> img;
  machine::Disk* d = patterned_disk(&img);
  ASSERT_NE(d, nullptr);
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

// Bios that end into a count and a completion their submitter sleeps on.
struct Batch {
  std::atomic<int> left{0};
  std::atomic<int> errors{0};
  struct completion done;
  Batch() { init_completion(&done); }
};

int batch_end_io(struct bio* bio, unsigned int, int err) {
  if (bio->bi_size) return 1;
  auto* b = static_cast<Batch*>(bio->bi_private);
  if (err) b->errors++;
  bio_put(bio);
  if (b->left.fetch_sub(1) == 1) complete(&b->done);
  return 0;
}

// Reads blocks [first, first + n) one bio each into pages [0, n) of pg.
void send_reads(struct block_device* bdev, Pages& pg, unsigned first, unsigned n, Batch* b) {
  b->left = (int)n;
  for (unsigned i = 0; i < n; i++) {
    struct bio* bio = make_bio(bdev, READ, 8 * (first + i), pg, i, 1, nullptr);
    bio->bi_end_io = batch_end_io;
    bio->bi_private = b;
    generic_make_request(bio);
  }
}

// The plug timer is armed only for a burst its task leaves plugged: a task that waits
// for its own reads transfers them itself and arms nothing; one that sleeps instead, or a
// host thread that only polls, still gets its bios served, racing the others.
TEST_F(EngineIo, PlugTimerOnlyForBurstsLeftPlugged) {
  std::vector<unsigned char> img;
  machine::Disk* d = patterned_disk(&img);
  ASSERT_NE(d, nullptr);
  dev_t dev = machine::disk_dev(d);
  Bdev bdev(dev);
  auto same = [&](Pages& pg, unsigned first, unsigned n) {
    for (unsigned i = 0; i < n; i++)
      if (memcmp(pg.data(i), &img[(first + i) * 4096], 4096) != 0) return false;
    return true;
  };
  // complete() may still read a completion its waiter has returned from: every batch
  // lives until the disk's engine has stopped.
  std::mutex batches_mu;
  std::vector<std::unique_ptr<Batch>> batches;
  auto batch = [&] {
    std::lock_guard<std::mutex> g(batches_mu);
    return batches.emplace_back(std::make_unique<Batch>()).get();
  };
  Pages pg(8);
  std::vector<unsigned char> buf(64 * 1024);
  uint64_t arms = machine::disk_plug_timer_arms(d);
  for (unsigned r = 0; r < 20; r++) {
    Batch& b = *batch();
    send_reads(bdev, pg, 8 * r, 8, &b);
    generic_unplug_device(bdev_get_queue(bdev));
    wait_for_completion(&b.done);
    ASSERT_TRUE(same(pg, 8 * r, 8));
    ASSERT_EQ(machine::blk_read(dev, 4096 * r, buf.data(), buf.size()), 0);
    ASSERT_EQ(memcmp(buf.data(), &img[4096 * r], buf.size()), 0);
  }
  EXPECT_EQ(machine::disk_plug_timer_arms(d), arms) << "bursts their own task unplugged armed the timer";

  Batch& left = *batch();
  send_reads(bdev, pg, 300, 8, &left);
  wait_for_completion(&left.done);  // sleeps with the burst plugged
  EXPECT_TRUE(same(pg, 300, 8));
  EXPECT_EQ(machine::disk_plug_timer_arms(d), arms + 1);

  std::atomic<int> failures{0};
  std::vector<std::thread> ts;
  for (unsigned t = 0; t < 6; t++)
    ts.emplace_back([&, t] {
      Bdev mine(dev);
      Pages p(4);
      for (unsigned r = 0; r < 40; r++) {
        unsigned first = (t * 40 + r) * 4 % 1000;
        Batch& b = *batch();
        send_reads(mine, p, first, 4, &b);
        if (t % 3 == 0) {
          wait_for_completion(&b.done);
        } else if (t % 3 == 1) {
          generic_unplug_device(bdev_get_queue(mine));
          wait_for_completion(&b.done);
        } else if (!wait_for([&] { return b.left.load() == 0; })) {
          failures++;
          return;
        }
        if (b.errors.load() || !same(p, first, 4)) failures++;
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(failures.load(), 0);
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
