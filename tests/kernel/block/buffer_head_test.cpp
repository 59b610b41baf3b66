// Buffer heads: the lock bit and its waiters across threads, and submit_bh.
#include "block_test_util.h"

using namespace blktest;

namespace {

class BufferHeads : public BlockTest {};

TEST_F(BufferHeads, WaitersSleepUntilAnotherThreadUnlocks) {
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  ASSERT_NE(bh, nullptr);
  get_bh(bh);
  lock_buffer(bh);
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; i++)
    waiters.emplace_back([&] {
      wait_on_buffer(bh);
      EXPECT_FALSE(buffer_locked(bh));
      woke++;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(woke.load(), 0);
  std::thread unlocker([&] { machine::run_in_interrupt([&] { unlock_buffer(bh); }); });
  EXPECT_TRUE(wait_for([&] { return woke.load() == 4; }));
  unlocker.join();
  for (auto& t : waiters) t.join();
  // An unlocked buffer does not wait at all.
  wait_on_buffer(bh);
  put_bh(bh);
  free_buffer_head(bh);
}

// lock_buffer excludes: threads take turns, never two inside at once.
TEST_F(BufferHeads, LockBufferIsMutualExclusionAcrossThreads) {
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  ASSERT_NE(bh, nullptr);
  std::atomic<int> inside{0}, overlap{0};
  int counter = 0;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++)
    ts.emplace_back([&] {
      for (int i = 0; i < 2000; i++) {
        lock_buffer(bh);
        if (inside.fetch_add(1) != 0) overlap++;
        counter++;
        inside.fetch_sub(1);
        unlock_buffer(bh);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(overlap.load(), 0);
  EXPECT_EQ(counter, 8000);
  free_buffer_head(bh);
}

void end_bh(struct buffer_head* bh, int uptodate) {
  if (uptodate)
    set_buffer_uptodate(bh);
  else
    clear_buffer_uptodate(bh);
  unlock_buffer(bh);
  put_bh(bh);
}

// A block read the way the module reads: buffer head over part of a page, one-block bio
// straight to the disk's own function, wait_on_buffer until the completion unlocks it.
TEST_F(BufferHeads, SubmitBhReadsIntoThePageAtItsOffsetAndReportsErrors) {
  machine::DiskOptions o;
  o.random_completion = true;
  o.max_delay_us = 500;
  machine::Disk* d = machine::disk_attach_memory_partitioned(4 << 20, {{64, 4096}}, o);
  ASSERT_NE(d, nullptr);
  std::vector<unsigned char> img(1024);
  fill_pattern(img.data(), img.size(), 77);
  ASSERT_EQ(machine::disk_pwrite(d, (64 + 10 * 2) * 512, img.data(), 1024), 0);  // 1 KiB block 10
  Bdev p1(machine::partition_dev(d, 1));
  Pages pg(1);
  memset(pg.data(0), 0xEE, 4096);
  std::vector<std::thread> readers;
  std::atomic<int> ok{0};
  for (int t = 0; t < 3; t++)
    readers.emplace_back([&, t] {
      struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
      bh->b_bdev = p1;
      bh->b_blocknr = 10;
      bh->b_size = 1024;
      set_bh_page(bh, pg.p[0], 1024 * (t + 1));
      bh->b_end_io = end_bh;
      bh->b_state = (1UL << BH_Lock) | (1UL << BH_Req) | (1UL << BH_Mapped);
      get_bh(bh);
      EXPECT_EQ(submit_bh(READ, bh), 0);
      wait_on_buffer(bh);
      if (buffer_uptodate(bh) && memcmp(pg.data(0) + 1024 * (t + 1), img.data(), 1024) == 0) ok++;
      EXPECT_EQ(atomic_read(&bh->b_count), 0);
      free_buffer_head(bh);
    });
  for (auto& t : readers) t.join();
  EXPECT_EQ(ok.load(), 3);
  for (int i = 0; i < 1024; i++) ASSERT_EQ(pg.data(0)[i], 0xEE);  // the first KiB untouched

  machine::disk_inject_error(d, 64 + 20, 2, machine::Dir::read);
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  bh->b_bdev = p1;
  bh->b_blocknr = 10;
  bh->b_size = 1024;
  set_bh_page(bh, pg.p[0], 0);
  bh->b_end_io = end_bh;
  bh->b_state = (1UL << BH_Lock) | (1UL << BH_Mapped) | (1UL << BH_Uptodate);
  get_bh(bh);
  submit_bh(READ, bh);
  wait_on_buffer(bh);
  EXPECT_FALSE(buffer_uptodate(bh));
  free_buffer_head(bh);
  machine::disk_detach(d);
}

// A completion routine that unlocks first and drops its reference afterwards, slowly.
void unlock_then_put(struct buffer_head* bh, int uptodate) {
  if (uptodate) set_buffer_uptodate(bh);
  unlock_buffer(bh);
  std::this_thread::sleep_for(std::chrono::microseconds(300));
  put_bh(bh);
}

// The owner frees the buffer head the moment wait_on_buffer returns; the routine's work
// after its unlock must be over by then (AddressSanitizer sees it otherwise).
TEST_F(BufferHeads, OwnerMayFreeTheBufferAsSoonAsTheWaitReturns) {
  machine::DiskOptions o;
  o.random_completion = true;  // completions on the engine's threads, not the waiter's
  o.max_delay_us = 50;
  machine::Disk* d = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(d, nullptr);
  Bdev whole(machine::disk_dev(d));
  Pages pg(1);
  std::vector<std::thread> ts;
  for (int t = 0; t < 2; t++)
    ts.emplace_back([&, t] {
      for (int i = 0; i < 10; i++) {
        struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
        bh->b_bdev = whole;
        bh->b_blocknr = (sector_t)(t * 10 + i);
        bh->b_size = 1024;
        set_bh_page(bh, pg.p[0], 1024 * t);
        bh->b_end_io = unlock_then_put;
        bh->b_state = (1UL << BH_Lock) | (1UL << BH_Mapped);
        get_bh(bh);
        submit_bh(READ, bh);
        wait_on_buffer(bh);
        EXPECT_TRUE(buffer_uptodate(bh));
        EXPECT_EQ(atomic_read(&bh->b_count), 0);
        free_buffer_head(bh);
      }
    });
  for (auto& t : ts) t.join();
  machine::disk_detach(d);
}

}  // namespace
