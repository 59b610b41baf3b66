// Schedule points: a hook sees each lock, wake-up and completion point with the lock's
// class and the task, and a hook that parks a thread at a point opens the window between
// two steps for another thread, the way tests widen a race.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

#include <asm/semaphore.h>
#include <linux/completion.h>
#include <linux/sched.h>
#include <linux/spinlock.h>

using core_test::eventually;

namespace {

struct PointHookOff {
  ~PointHookOff() { machine::set_point_hook(nullptr); }
};

TEST(SchedPoint, HookSeesLocksWakeUpsAndCompletionsWithTheirClassAndTask) {
  PointHookOff off;
  std::mutex m;
  std::vector<std::string> seen;
  struct semaphore sem;
  spinlock_t lock;
  struct completion done;
  sema_init(&sem, 1);
  spin_lock_init(&lock);
  init_completion(&done);
  machine::set_point_hook([&](const machine::PointEvent& e) {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(std::string(machine::point_name(e.kind)) + " " + (e.what ? e.what : "-"));
  });
  std::thread t([&] {
    machine::adopt_thread("pointer");
    down(&sem);
    up(&sem);
    unsigned long flags;
    spin_lock_irqsave(&lock, flags);
    spin_unlock_irqrestore(&lock, flags);
    complete(&done);
  });
  t.join();
  machine::set_point_hook(nullptr);
  auto has = [&](const std::string& prefix) {
    for (auto& s : seen)
      if (s.rfind(prefix, 0) == 0) return true;
    return false;
  };
  EXPECT_TRUE(has("lock_acquire &sem at sched_point_test.cpp"));
  EXPECT_TRUE(has("lock_release &sem at"));
  EXPECT_TRUE(has("lock_acquire &lock at"));
  EXPECT_TRUE(has("lock_release &lock at"));
  EXPECT_TRUE(has("complete complete"));
}

// A thread parked before it takes a lock leaves the lock free for as long as the test
// wants: the other thread gets in first every time, not by luck.
TEST(SchedPoint, ParkingAThreadAtAPointOrdersTheRace) {
  PointHookOff off;
  struct semaphore sem;
  sema_init(&sem, 1);
  std::atomic<bool> release_first{false};
  std::atomic<int> order{0}, first_was{0};
  machine::set_point_hook([&](const machine::PointEvent& e) {
    if (e.kind == machine::Point::lock_acquire && std::strcmp(e.task, "first") == 0)
      while (!release_first.load()) std::this_thread::yield();
  });
  auto taker = [&](const char* name, int id) {
    machine::adopt_thread(name);
    down(&sem);
    int expected = 0;
    if (order.compare_exchange_strong(expected, id)) first_was = id;
    up(&sem);
  };
  std::thread a(taker, "first", 1);
  std::thread b(taker, "second", 2);
  ASSERT_TRUE(eventually([&] { return order.load() != 0; }));
  release_first = true;
  a.join();
  b.join();
  EXPECT_EQ(first_was.load(), 2);
}

}  // namespace
