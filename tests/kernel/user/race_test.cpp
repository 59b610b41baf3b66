// Many agent threads on one process at once: descriptors, commands, mappings and faults.
#include <linux/errno.h>
#include <sys/mman.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_driver.h"

using namespace machine;

namespace {

constexpr int kThreads = 4;

TEST_F(DevTest, ManyThreadsOpenCommandAndClose) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      process_enter(p);  // half the threads bound, half not: both must work
      if (t % 2) process_leave();
      uint32_t rec = user_alloc(p, sizeof(tdrv::Rec));
      for (int i = 0; i < 200; ++i) {
        int fd = sys_open(p, tdrv::kNode);
        if (fd < 0) {
          failures++;
          continue;
        }
        tdrv::Rec r{uint32_t(i), 0, 0, 0};
        user_write(p, rec, &r, sizeof r);
        if (sys_ioctl(p, fd, tdrv::kBump, rec) != 0) failures++;
        user_read(p, rec, &r, sizeof r);
        if (r.a != uint32_t(i) + 1) failures++;
        int fd2 = sys_dup(p, fd);
        if (sys_ioctl(p, fd2, tdrv::kEcho, 3) != 3) failures++;
        sys_close(p, fd);
        if (sys_poll(p, fd2, POLLIN) != POLLIN) failures++;
        sys_close(p, fd2);
      }
      user_free(p, rec);
      process_leave();
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(tdrv::st->opens, kThreads * 200);
  EXPECT_EQ(tdrv::st->releases, kThreads * 200);
}

// A command still running when another thread closes the descriptor keeps the file:
// release comes only after the command returns.
TEST_F(DevTest, CloseDuringACommandDefersRelease) {
  for (int round = 0; round < 20; ++round) {
    int fd = open_dev();
    std::atomic<long> result{0};
    std::thread t([&] { result = sys_ioctl(p, fd, tdrv::kSlowEcho, 11); });
    sys_close(p, fd);
    t.join();
    long r = result.load();
    EXPECT_TRUE(r == 11 || r == -EBADF) << r;
  }
  EXPECT_EQ(tdrv::st->releases, 20);
}

// Threads touch the same fresh pages at once: however many nopage calls race, each page
// ends up mapped once with exactly one reference for the mapping.
TEST_F(DevTest, RacingFaultsKeepOneReferencePerPage) {
  int fd = open_dev();
  constexpr size_t kLen = tdrv::kPages * PAGE_SIZE;
  for (int round = 0; round < 20; ++round) {
    int64_t a = sys_mmap(p, kLen, PROT_READ, true, fd, 0);
    ASSERT_GT(a, 0);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int k = 0; k < tdrv::kPages; ++k) {
          int page = (k + t) % tdrv::kPages;
          char c;
          if (user_read(p, uint32_t(a) + page * PAGE_SIZE + t, &c, 1) != 0 || c != 'A' + page) bad++;
        }
      });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad, 0);
    for (int k = 0; k < tdrv::kPages; ++k) EXPECT_EQ(page_count(tdrv::st->pages[k]), 2);
    EXPECT_EQ(sys_munmap(p, uint32_t(a), kLen), 0);
    for (int k = 0; k < tdrv::kPages; ++k) EXPECT_EQ(page_count(tdrv::st->pages[k]), 1);
  }
  EXPECT_GE(tdrv::st->nopages, 20 * tdrv::kPages);
  sys_close(p, fd);
}

// Mapping and unmapping while other threads copy through their own memory and read the
// mappings: copies never see a torn area, and everything is released at the end.
TEST_F(DevTest, MappingChurnDuringCopies) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      int fd = sys_open(p, tdrv::kNode);
      for (int i = 0; i < 100; ++i) {
        int64_t a = sys_mmap(p, 2 * PAGE_SIZE, PROT_READ, false, fd, 0);
        if (a <= 0) {
          bad++;
          continue;
        }
        char c;
        if (user_read(p, uint32_t(a) + PAGE_SIZE, &c, 1) != 0 || c != 'B') bad++;
        if (sys_munmap(p, uint32_t(a), 2 * PAGE_SIZE) != 0) bad++;
      }
      sys_close(p, fd);
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      int fd = sys_open(p, tdrv::kNode);
      uint32_t rec = user_alloc(p, PAGE_SIZE);
      while (!stop.load()) {
        if (sys_ioctl(p, fd, tdrv::kBump, rec) != 0) bad++;
      }
      sys_close(p, fd);
    });
  }
  for (int t = 0; t < 2; ++t) threads[t].join();
  stop = true;
  for (size_t t = 2; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(tdrv::st->vm_closes, 200);
  EXPECT_EQ(tdrv::st->releases, 4);
}

}  // namespace
