// The lock-order checker with real threads: an order that can deadlock is reported the
// first time it is seen, from threads that never actually deadlock (they run one after
// the other), with the stacks of both orders; consistent orders, read recursion,
// trylocks and hand-over semaphores are not reported.
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

#include <asm/semaphore.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "machine/kernel.h"

using core_test::CoreTest;

// Separate functions with external linkage, so that each order's stack names where it
// was taken (report stacks name only exported symbols).
__attribute__((noinline)) void lock_order_test_forward(struct mutex* first, struct mutex* second) {
  mutex_lock(first);
  mutex_lock(second);
  mutex_unlock(second);
  mutex_unlock(first);
}

__attribute__((noinline)) void lock_order_test_reverse(struct mutex* first, struct mutex* second) {
  mutex_lock(second);
  mutex_lock(first);
  mutex_unlock(first);
  mutex_unlock(second);
}

namespace {

class LockOrder : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    if (!machine::lock_check_stats().enabled) GTEST_SKIP() << "lock-order checker off (built without VELLOC_LOCK_CHECK, or VELLOC_LOCK_CHECK=0)";
    before_ = machine::lock_check_stats();
  }
  int new_reports() { return machine::lock_check_stats().reports - before_.reports; }
  int new_dependencies() { return machine::lock_check_stats().dependencies - before_.dependencies; }
  static bool known(const char* from, const char* to) {
    auto deps = machine::lock_check_dependencies();
    return std::find(deps.begin(), deps.end(), std::string(from) + " -> " + to) != deps.end();
  }
  // Runs fn on a fresh thread bound to a task called `name`, and waits for it.
  static void on_thread(const char* name, const std::function<void()>& fn) {
    std::thread([&] {
      machine::adopt_thread(name);
      fn();
    }).join();
  }

  machine::LockCheckStats before_;
};

TEST_F(LockOrder, InversionFromTwoThreadsIsReportedOnceWithBothStacks) {
  struct mutex outer, inner;
  mutex_init(&outer);
  mutex_init(&inner);
  spinlock_t unrelated;
  spin_lock_init(&unrelated);

  on_thread("lo-forward", [&] {
    lock_order_test_forward(&outer, &inner);
    mutex_lock(&outer);
    spin_lock(&unrelated);
    spin_unlock(&unrelated);
    mutex_unlock(&outer);
  });
  EXPECT_EQ(new_reports(), 0);
  EXPECT_TRUE(known(outer.dep_class, inner.dep_class));

  // The other order, later and on another thread: nothing can hang, but it could.
  on_thread("lo-reverse", [&] { lock_order_test_reverse(&outer, &inner); });
  EXPECT_EQ(new_reports(), 1);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("possible circular locking dependency"), 1);
  EXPECT_EQ(logged("lo-reverse/"), 1) << machine::log_dmesg(log_start_);
  EXPECT_EQ(logged("first by lo-forward/"), 1) << machine::log_dmesg(log_start_);
  EXPECT_GE(logged(outer.dep_class), 2);
  EXPECT_GE(logged(inner.dep_class), 2);
  EXPECT_EQ(logged(unrelated.dep_class), 0);
  // Both stacks: where the reverse order was taken now, and where the first order was.
  EXPECT_EQ(logged("lock_order_test_reverse"), 1) << machine::log_dmesg(log_start_);
  EXPECT_EQ(logged("lock_order_test_forward"), 1) << machine::log_dmesg(log_start_);
  // The refused order is neither recorded nor reported again.
  EXPECT_FALSE(known(inner.dep_class, outer.dep_class));
  on_thread("lo-reverse", [&] { lock_order_test_reverse(&outer, &inner); });
  EXPECT_EQ(new_reports(), 1);
  machine::kernel_bug_reset();
}

TEST_F(LockOrder, ThreeLockCycleIsReportedWithTheWholeChain) {
  struct semaphore a, b, c;
  init_MUTEX(&a);
  init_MUTEX(&b);
  init_MUTEX(&c);
  auto nest = [](struct semaphore* x, struct semaphore* y) {
    down(x);
    down(y);
    up(y);
    up(x);
  };
  on_thread("lo-ab", [&] { nest(&a, &b); });
  on_thread("lo-bc", [&] { nest(&b, &c); });
  EXPECT_EQ(new_reports(), 0);
  on_thread("lo-ca", [&] { nest(&c, &a); });
  EXPECT_EQ(new_reports(), 1);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("possible circular locking dependency"), 1);
  EXPECT_EQ(logged("first by lo-ab/"), 1) << machine::log_dmesg(log_start_);
  EXPECT_EQ(logged("first by lo-bc/"), 1);
  EXPECT_EQ(logged("lo-ca/"), 1);
  EXPECT_FALSE(known(c.dep_class, a.dep_class));
  machine::kernel_bug_reset();
}

TEST_F(LockOrder, ConsistentOrderAcrossRacingThreadsIsClean) {
  // Session-like nesting: a semaphore, an rw semaphore (read and write), a mutex, then a
  // spin lock with interrupts saved innermost.
  struct semaphore session;
  init_MUTEX(&session);
  struct rw_semaphore users;
  init_rwsem(&users);
  struct mutex table;
  mutex_init(&table);
  spinlock_t list;
  spin_lock_init(&list);
  long counter = 0;
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      for (int n = 0; n < 400; ++n) {
        down(&session);
        if ((n + i) % 3 == 0) down_write(&users); else down_read(&users);
        mutex_lock(&table);
        unsigned long flags;
        spin_lock_irqsave(&list, flags);
        ++counter;
        spin_unlock_irqrestore(&list, flags);
        mutex_unlock(&table);
        if ((n + i) % 3 == 0) up_write(&users); else up_read(&users);
        up(&session);
      }
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, 1600);
  EXPECT_EQ(new_reports(), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
  EXPECT_TRUE(known(session.dep_class, users.name));
  EXPECT_TRUE(known(users.name, table.dep_class));
  EXPECT_TRUE(known(table.dep_class, list.dep_class));
  EXPECT_TRUE(known(session.dep_class, list.dep_class));
  EXPECT_EQ(new_dependencies(), 6);  // every pair of the four, in one direction
  EXPECT_GE(machine::lock_check_stats().max_depth, 4);
}

TEST_F(LockOrder, ReadRecursionIsNotReported) {
  rwlock_t table;
  rwlock_init(&table);
  struct rw_semaphore sem;
  init_rwsem(&sem);
  spinlock_t entry;
  spin_lock_init(&entry);
  // A reader takes its read lock again (rwlock_t readers never wait for readers; an
  // rw semaphore's do only for a waiting writer, and there is none).
  on_thread("lo-reader", [&] {
    read_lock(&table);
    read_lock(&table);
    spin_lock(&entry);
    spin_unlock(&entry);
    read_unlock(&table);
    read_unlock(&table);
    down_read(&sem);
    down_read(&sem);
    up_read(&sem);
    up_read(&sem);
  });
  // The entry lock, then the table for reading: a reader cannot wait for the first
  // thread's read hold, so this order cannot deadlock.
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  for (int i = 0; i < 2; ++i)
    ts.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      for (int n = 0; n < 300; ++n) {
        if (i == 0) {
          read_lock(&table);
          spin_lock(&entry);
          spin_unlock(&entry);
          read_unlock(&table);
        } else {
          spin_lock(&entry);
          read_lock(&table);
          read_unlock(&table);
          spin_unlock(&entry);
        }
      }
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(new_reports(), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
  EXPECT_TRUE(known(table.dep_class, entry.dep_class));
  EXPECT_FALSE(known(entry.dep_class, table.dep_class));
  // The write side waits for readers: taking it under the entry lock is an inversion.
  on_thread("lo-writer", [&] {
    spin_lock(&entry);
    write_lock(&table);
    write_unlock(&table);
    spin_unlock(&entry);
  });
  EXPECT_EQ(new_reports(), 1);
  machine::kernel_bug_reset();
}

TEST_F(LockOrder, TrylockIsHeldButNeverWaits) {
  struct mutex first, second, third;
  mutex_init(&first);
  mutex_init(&second);
  mutex_init(&third);
  on_thread("lo-try", [&] {
    mutex_lock(&first);
    ASSERT_EQ(mutex_trylock(&second), 1);  // cannot wait, so nothing is ordered before it
    mutex_lock(&third);                    // but while held it orders what follows
    mutex_unlock(&third);
    mutex_unlock(&second);
    mutex_unlock(&first);
  });
  EXPECT_FALSE(known(first.dep_class, second.dep_class));
  EXPECT_TRUE(known(second.dep_class, third.dep_class));
  EXPECT_TRUE(known(first.dep_class, third.dep_class));
  on_thread("lo-block", [&] {
    mutex_lock(&second);
    mutex_lock(&first);
    mutex_unlock(&first);
    mutex_unlock(&second);
  });
  EXPECT_EQ(new_reports(), 0);
  // The same holds for the other trylocks: each is taken here after a lock that the
  // other thread takes under it.
  struct semaphore sem;
  init_MUTEX(&sem);
  struct rw_semaphore rw;
  init_rwsem(&rw);
  spinlock_t s1, s2;
  spin_lock_init(&s1);
  spin_lock_init(&s2);
  on_thread("lo-try2", [&] {
    down(&sem);
    ASSERT_EQ(down_read_trylock(&rw), 1);
    up_read(&rw);
    ASSERT_EQ(down_write_trylock(&rw), 1);
    up_write(&rw);
    up(&sem);
    spin_lock(&s1);
    ASSERT_EQ(spin_trylock(&s2), 1);
    spin_unlock(&s2);
    spin_unlock(&s1);
    mutex_lock(&third);
    ASSERT_EQ(down_trylock(&sem), 0);
    up(&sem);
    mutex_unlock(&third);
  });
  on_thread("lo-block2", [&] {
    down_write(&rw);
    down(&sem);
    mutex_lock(&third);
    mutex_unlock(&third);
    up(&sem);
    up_write(&rw);
    spin_lock(&s2);
    spin_lock(&s1);
    spin_unlock(&s1);
    spin_unlock(&s2);
  });
  EXPECT_EQ(new_reports(), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(LockOrder, SemaphoreUppedByAnotherThreadIsNoLongerHeld) {
  // A one-unit semaphore handed over: one thread takes it, another gives it back. Had the
  // taker kept it on its held stack, its next locks would be ordered after the semaphore,
  // and taking the semaphore under them an inversion.
  struct semaphore token;
  init_MUTEX(&token);
  struct mutex work;
  mutex_init(&work);
  std::atomic<int> turn{0};
  constexpr int kRounds = 300;
  std::thread taker([&] {
    machine::adopt_thread("lo-taker");
    for (int n = 0; n < kRounds; ++n) {
      down(&token);
      turn = 2 * n + 1;  // the giver ups it from now on
      while (turn != 2 * n + 2) std::this_thread::yield();
      mutex_lock(&work);
      mutex_unlock(&work);
    }
  });
  std::thread giver([&] {
    machine::adopt_thread("lo-giver");
    for (int n = 0; n < kRounds; ++n) {
      while (turn != 2 * n + 1) std::this_thread::yield();
      up(&token);
      // And the order the taker would have falsified: the semaphore under the mutex.
      mutex_lock(&work);
      down(&token);
      up(&token);
      mutex_unlock(&work);
      turn = 2 * n + 2;
    }
  });
  taker.join();
  giver.join();
  EXPECT_EQ(new_reports(), 0) << machine::log_dmesg(log_start_);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
  EXPECT_TRUE(known(work.dep_class, token.dep_class));
  EXPECT_FALSE(known(token.dep_class, work.dep_class));
  EXPECT_EQ(token.count, 1);
}

TEST_F(LockOrder, SemaphoreCountingEventsIsNotALock) {
  struct semaphore events;
  sema_init(&events, 0);
  EXPECT_EQ(events.dep_class, nullptr);
  struct mutex m;
  mutex_init(&m);
  std::thread consumer([&] {
    for (int n = 0; n < 100; ++n) {
      down(&events);  // holds no lock afterwards: the unit is consumed, not owned
      mutex_lock(&m);
      mutex_unlock(&m);
    }
  });
  for (int n = 0; n < 100; ++n) {
    mutex_lock(&m);
    up(&events);
    mutex_unlock(&m);
  }
  consumer.join();
  EXPECT_EQ(new_reports(), 0);
}

TEST_F(LockOrder, ManyInstancesOfOneInitSiteAreOneClass) {
  // A table of bucket semaphores, all initialised at one line: one class. Threads take
  // one bucket at a time between an outer and an inner lock, as a cache does.
  constexpr int kBuckets = 512;
  int classes = machine::lock_check_stats().classes;
  std::vector<struct semaphore> buckets(kBuckets);
  for (auto& b : buckets) sema_init(&b, 1);
  struct rw_semaphore users;
  init_rwsem(&users);
  spinlock_t bits;
  spin_lock_init(&bits);
  std::atomic<bool> go{false};
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; ++i)
    ts.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      for (int n = 0; n < 1000; ++n) {
        struct semaphore* b = &buckets[(n * 7 + i * 131) % kBuckets];
        down_read(&users);
        down(b);
        spin_lock(&bits);
        spin_unlock(&bits);
        up(b);
        up_read(&users);
        down(b);  // a bucket alone, too
        up(b);
      }
    });
  go = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(machine::lock_check_stats().classes, classes + 3);
  EXPECT_EQ(new_dependencies(), 3);
  EXPECT_EQ(new_reports(), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(LockOrder, InterruptContextStartsItsOwnChain) {
  // An I/O completion runs as interrupt context on whatever thread ends the bio: the locks
  // it takes are not ordered after the locks the interrupted code holds.
  struct mutex process_lock;
  mutex_init(&process_lock);
  spinlock_t queue;
  spin_lock_init(&queue);
  on_thread("lo-irq", [&] {
    mutex_lock(&process_lock);
    machine::run_in_interrupt([&] {
      unsigned long flags;
      spin_lock_irqsave(&queue, flags);
      spin_unlock_irqrestore(&queue, flags);
    });
    mutex_unlock(&process_lock);
  });
  EXPECT_FALSE(known(process_lock.dep_class, queue.dep_class));
  EXPECT_EQ(new_reports(), 0);
}

}  // namespace
