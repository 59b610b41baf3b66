// Helpers for the block layer's tests: memory disks, bios over test pages, bounded waits,
// and a check that every test leaves no bio, buffer head, block device or super block
// reference behind.
#pragma once
#include <gtest/gtest.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/mm.h>
#include <linux/sched.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <machine/disk.h>
#include <machine/kernel.h>

namespace blktest {

// Polls pred until it holds or ms pass; true when it held.
inline bool wait_for(const std::function<bool()>& pred, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// What a test bio saw when it completed.
struct BioResult {
  std::atomic<int> done{0};
  std::atomic<int> err{0};
  std::atomic<int> uptodate{0};
  std::atomic<int> in_irq{0};
  std::atomic<unsigned> size_left{~0u};
  std::atomic<long> order{-1};  // completion rank, when a counter is given
  std::atomic<long>* counter = nullptr;
};

inline int result_end_io(struct bio* bio, unsigned int bytes_done, int err) {
  if (bio->bi_size) return 1;
  auto* r = static_cast<BioResult*>(bio->bi_private);
  r->err = err;
  r->uptodate = bio_flagged(bio, BIO_UPTODATE) ? 1 : 0;
  r->in_irq = in_interrupt();
  r->size_left = bio->bi_size;
  if (r->counter) r->order = r->counter->fetch_add(1);
  bio_put(bio);
  r->done.store(1);
  return 0;
}

// Pages owned by a test, freed on destruction.
struct Pages {
  std::vector<struct page*> p;
  explicit Pages(size_t n) {
    for (size_t i = 0; i < n; i++) p.push_back(alloc_page(GFP_KERNEL));
  }
  ~Pages() {
    for (auto* pg : p)
      if (pg) __free_page(pg);
  }
  unsigned char* data(size_t i) { return static_cast<unsigned char*>(page_address(p[i])); }
};

// A bio over whole pages [first, first+n) of pg, ending into r.
inline struct bio* make_bio(struct block_device* bdev, int rw, sector_t sector, Pages& pg, size_t first, size_t n,
                            BioResult* r) {
  struct bio* bio = bio_alloc(GFP_NOIO, (int)n);
  if (!bio) return nullptr;
  bio->bi_bdev = bdev;
  bio->bi_sector = sector;
  bio->bi_rw = (unsigned long)rw;
  for (size_t i = 0; i < n; i++) bio_add_page(bio, pg.p[first + i], PAGE_SIZE, 0);
  bio->bi_end_io = result_end_io;
  bio->bi_private = r;
  return bio;
}

// Submits one bio and waits (bounded) for it; returns its error, or -ETIMEDOUT.
inline int submit_wait(struct bio* bio, BioResult* r) {
  generic_make_request(bio);
  if (!wait_for([&] { return r->done.load() != 0; })) return -ETIMEDOUT;
  return r->err.load();
}

inline void fill_pattern(unsigned char* p, size_t len, uint64_t seed) {
  for (size_t i = 0; i < len; i++) p[i] = (unsigned char)((seed * 131 + i * 7 + (i >> 9)) & 0xff);
}

// Base fixture: nothing the block layer counts may be left when a test ends, and no
// kernel bug may have been reported.
class BlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::fault_reset();
    bugs_ = machine::kernel_bug_count();
    bios_ = machine::live(machine::Obj::bio);
    bhs_ = machine::live(machine::Obj::buffer_head);
    bdevs_ = machine::live(machine::Obj::block_device);
    supers_ = machine::live(machine::Obj::super_ref);
    pages_ = machine::live(machine::Obj::page);
  }
  void TearDown() override {
    machine::fault_reset();
    EXPECT_EQ(machine::kernel_bug_count(), bugs_) << machine::log_dmesg();
    EXPECT_EQ(machine::live(machine::Obj::bio), bios_);
    EXPECT_EQ(machine::live(machine::Obj::buffer_head), bhs_);
    EXPECT_EQ(machine::live(machine::Obj::block_device), bdevs_);
    EXPECT_EQ(machine::live(machine::Obj::super_ref), supers_);
    EXPECT_EQ(machine::live(machine::Obj::page), pages_);
  }
  int bugs_ = 0;
  int64_t bios_ = 0, bhs_ = 0, bdevs_ = 0, supers_ = 0, pages_ = 0;
};

// An 8 MiB memory disk with one partition (sectors 2048..10239) mounted with 4096-byte
// blocks: the stage for the freeze and thaw tests.
class MountedPartitionTest : public BlockTest {
 protected:
  void SetUp() override {
    BlockTest::SetUp();
    machine::DiskOptions o;
    d_ = machine::disk_attach_memory_partitioned(8 << 20, {{2048, 8192}}, o);
    ASSERT_NE(d_, nullptr);
    dev_ = machine::partition_dev(d_, 1);
    std::string err;
    m_ = machine::fs_mount(dev_, 4096, &err);
    ASSERT_NE(m_, nullptr) << err;
  }
  void TearDown() override {
    if (m_) {
      EXPECT_EQ(machine::fs_unmount(m_), 0);
    }
    machine::disk_detach(d_);
    BlockTest::TearDown();
  }
  machine::Disk* d_ = nullptr;
  dev_t dev_ = 0;
  machine::Mount* m_ = nullptr;
};

// A block device reference that is given back at scope end.
struct Bdev {
  struct block_device* b;
  explicit Bdev(dev_t dev) : b(bdget(dev)) {}
  ~Bdev() { bdput(b); }
  struct block_device* operator->() const { return b; }
  operator struct block_device*() const { return b; }
};

}  // namespace blktest
