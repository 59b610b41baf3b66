// The bitmap under real threads: atomic bit operations on shared bytes, and the users gate
// against bit operations in flight - a party that closes the gate never sees a user inside
// and may swap and free the page array, as the snapshot does.
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

class BlockMapGate : public VellocFixture {
 protected:
  static void initEmpty(BlockMap* bm) { initBlockMap(bm); }
};

TEST_F(BlockMapGate, ThreadsSharingBytesLoseNoBit) {
  constexpr int kThreads = 8;
  const uint32_t size = 32768 + 8000;  // two pages
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, 1, &pages));

  // Thread t owns blocks n with n % 8 == t: all eight share every byte.
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t n = t; n < size; n += kThreads) setBlock(&bm, n);
      for (uint32_t n = t; n < size; n += 2 * kThreads) unSetBlock(&bm, n);
    });
  }
  for (std::thread& th : threads) th.join();
  int wrong = 0;
  for (uint32_t n = 0; n < size; ++n) wrong += (blockInMap(&bm, n) != 0) != ((n / kThreads) % 2 == 1);
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(1, atomic_read(&bm.users));
  EXPECT_EQ(1, bm.sem.count);
  closeBlockMap(&bm, &pages);
}

TEST_F(BlockMapGate, WaiterWaitsForTheUserInside) {
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, newBlockMap(&bm, 64, nullptr, 1, &pages));

  // Park a bit operation inside the gate: it has entered and waits for the page lock.
  down(&bm.sem);
  std::thread user([&] { EXPECT_EQ(0, setBlock(&bm, 5)); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (atomic_read(&bm.users) != 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(2, atomic_read(&bm.users));

  std::atomic<bool> returned{false};
  int usersSeen = -1;
  std::thread waiter([&] {
    unsigned long flags;
    waitForBlockMapUsers(&bm, &flags);
    usersSeen = atomic_read(&bm.users);
    returned = true;
    spin_unlock_irqrestore(&bm.usersLock, flags);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(returned.load());
  up(&bm.sem);
  user.join();
  waiter.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(1, usersSeen);
  EXPECT_NE(0, blockInMap(&bm, 5));
  closeBlockMap(&bm, &pages);
}

TEST_F(BlockMapGate, WaiterNeverSeesAUserInside) {
  constexpr int kUsers = 3;
  constexpr int kSwaps = 100;
  const uint32_t size = 4 * 32768;
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, 1, &pages));

  std::atomic<bool> stop{false};
  std::atomic<long> operations{0};
  std::vector<std::thread> users;
  for (int t = 0; t < kUsers; ++t) {
    users.emplace_back([&, t] {
      std::mt19937 rng(t + 1);
      while (!stop.load(std::memory_order_relaxed)) {
        uint32_t n = rng() % (size + 64);  // some beyond the end
        switch (rng() % 3) {
          case 0: setBlock(&bm, n); break;
          case 1: unSetBlock(&bm, n); break;
          default: blockInMap(&bm, n); break;
        }
        // Bursts with short pauses: the waiter gets its chances, yet often arrives mid-burst.
        if (++operations % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
  }

  // Bounded wait until the users have done `n` more operations.
  auto waitForOperations = [&](long n) {
    long target = operations.load() + n;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (operations.load() < target && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  waitForOperations(1000);

  int sawUserInside = 0;
  int64_t livePages = machine::live(machine::Obj::page);
  for (int i = 0; i < kSwaps; ++i) {
    // The replacement is built before the gate is closed (allocation may sleep).
    BlockMap fresh;
    initEmpty(&fresh);
    unsigned int freshPages = 0;
    ASSERT_EQ(0, newBlockMap(&fresh, size, nullptr, i % 2, &freshPages));

    unsigned long flags;
    waitForBlockMapUsers(&bm, &flags);
    // Hold the gate a little while: nobody may get in meanwhile.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(10);
    do {
      if (atomic_read(&bm.users) != 1) ++sawUserInside;
    } while (std::chrono::steady_clock::now() < until);
    struct page** old = bm.map;
    bm.map = fresh.map;
    fresh.map = old;
    spin_unlock_irqrestore(&bm.usersLock, flags);

    // The old pages are nobody's now: free them while the users go on with the new ones.
    closeBlockMap(&fresh, &freshPages);
    EXPECT_EQ(4u, freshPages);
    waitForOperations(20);  // the users really run between two swaps
  }
  stop = true;
  for (std::thread& th : users) th.join();

  EXPECT_EQ(0, sawUserInside);
  EXPECT_GT(operations.load(), 1000 + 20 * kSwaps - 1);
  EXPECT_EQ(1, atomic_read(&bm.users));
  EXPECT_EQ(livePages, machine::live(machine::Obj::page));
  closeBlockMap(&bm, &pages);
}

}  // namespace
}  // namespace velloc_test
