// Sleeping locks of the stand-in with real threads racing: semaphores, read-write
// semaphores, mutexes, completions, wait queues and spin locks.
#include <signal.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "testing/inspect.h"

#include <asm/semaphore.h>
#include <linux/completion.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/wait.h>

using core_test::CoreTest;
using core_test::eventually;
using core_test::ld;

namespace {

class Semaphore : public CoreTest {};

TEST_F(Semaphore, UpWakesExactlyOneSleeper) {
  struct semaphore sem;
  sema_init(&sem, 0);
  constexpr int kWaiters = 4;
  std::atomic<int> passed{0};
  std::atomic<long> tids[kWaiters];
  std::vector<std::thread> ts;
  for (int i = 0; i < kWaiters; ++i)
    ts.emplace_back([&, i] {
      tids[i] = core_test::my_tid();
      down(&sem);
      passed++;
    });
  // Every waiter is counted and asleep in the host before the single up().
  ASSERT_TRUE(eventually([&] { return ld(sem.waiters) == kWaiters; }));
  for (int i = 0; i < kWaiters; ++i) ASSERT_TRUE(eventually([&] { return core_test::os_asleep(tids[i]); }));
  uint64_t before = machine::testing::semaphore_wakeups();
  up(&sem);
  ASSERT_TRUE(eventually([&] { return passed == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(machine::testing::semaphore_wakeups() - before, 1u) << "up() woke more than one sleeper";
  for (int i = 1; i < kWaiters; ++i) up(&sem);
  for (auto& t : ts) t.join();
  EXPECT_EQ(passed, kWaiters);
  EXPECT_EQ(sem.count, 0);
  EXPECT_EQ(down_trylock(&sem), 1);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(Semaphore, CountsUnitsExactlyUnderContention) {
  // A semaphore of 2 units: never more than two holders, and no unit is lost.
  struct semaphore sem;
  memset(&sem, 0, sizeof sem);  // zero-filled: count 0, locked
  EXPECT_EQ(down_trylock(&sem), 1);
  sema_init(&sem, 2);
  std::atomic<int> inside{0}, worst{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 6; ++i)
    ts.emplace_back([&] {
      for (int n = 0; n < 300; ++n) {
        down(&sem);
        int now = ++inside;
        int w = worst;
        while (now > w && !worst.compare_exchange_weak(w, now)) {
        }
        if (n % 16 == 0) std::this_thread::yield();
        --inside;
        up(&sem);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_LE(worst, 2);
  EXPECT_EQ(sem.count, 2);
}

TEST_F(Semaphore, DownInterruptibleFailsAtOnceWithSignalPending) {
  struct semaphore sem;
  sema_init(&sem, 0);
  std::thread t([&] {
    send_sig(SIGUSR1, current, 0);
    EXPECT_TRUE(signal_pending(current));
    EXPECT_EQ(down_interruptible(&sem), -EINTR);
    flush_signals(current);
    up(&sem);
    EXPECT_EQ(down_interruptible(&sem), 0);
  });
  t.join();
}

TEST_F(Semaphore, SignalWakesAnInterruptibleSleeperAndTheUnitGoesToAnother) {
  struct semaphore sem;
  sema_init(&sem, 0);
  std::atomic<pid_t> pid{0};
  std::atomic<int> rc_signalled{1}, rc_other{1};
  std::thread a([&] {
    pid = current->pid;
    rc_signalled = down_interruptible(&sem);
  });
  std::thread b([&] { rc_other = down_interruptible(&sem); });
  ASSERT_TRUE(eventually([&] { return pid != 0 && ld(sem.waiters) == 2; }));
  EXPECT_EQ(kill_proc(pid, SIGTERM, 1), 0);
  a.join();  // bounded: the signal wakes it
  EXPECT_EQ(rc_signalled, -EINTR);
  up(&sem);
  b.join();
  EXPECT_EQ(rc_other, 0);
  EXPECT_EQ(kill_proc(999999, SIGTERM, 1), -ESRCH);
}

class RwSem : public CoreTest {};

TEST_F(RwSem, WritersExcludeReadersAndEachOther) {
  struct rw_semaphore sem;
  memset(&sem, 0, sizeof sem);  // zero-filled is a valid unlocked rw-semaphore
  std::atomic<int> readers{0}, writers{0}, violations{0};
  long plain = 0;  // written by writers only under the lock: ThreadSanitizer checks it too
  std::vector<std::thread> ts;
  for (int w = 0; w < 3; ++w)
    ts.emplace_back([&] {
      for (int n = 0; n < 200; ++n) {
        down_write(&sem);
        if (++writers != 1 || readers != 0) violations++;
        plain++;
        --writers;
        up_write(&sem);
      }
    });
  for (int r = 0; r < 4; ++r)
    ts.emplace_back([&] {
      long seen = 0;
      for (int n = 0; n < 400; ++n) {
        down_read(&sem);
        readers++;
        if (writers != 0) violations++;
        if (plain < seen) violations++;
        seen = plain;
        --readers;
        up_read(&sem);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(plain, 600);
  EXPECT_EQ(sem.activity, 0);
  EXPECT_EQ(sem.waiting_writers, 0);
}

TEST_F(RwSem, WaitingWriterHoldsBackNewReaders) {
  DECLARE_RWSEM(sem);
  down_read(&sem);
  std::atomic<int> stage{0};
  std::thread writer([&] {
    down_write(&sem);
    stage = 1;
    up_write(&sem);
  });
  ASSERT_TRUE(eventually([&] { return ld(sem.waiting_writers) == 1; }));
  EXPECT_EQ(down_read_trylock(&sem), 0);
  std::atomic<bool> reader_in{false};
  std::thread reader([&] {
    down_read(&sem);
    reader_in = true;
    EXPECT_EQ(stage, 1) << "a new reader overtook the waiting writer";
    up_read(&sem);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(reader_in);
  up_read(&sem);
  writer.join();
  reader.join();
  EXPECT_TRUE(reader_in);
  EXPECT_EQ(down_write_trylock(&sem), 1);
  downgrade_write(&sem);
  EXPECT_EQ(down_read_trylock(&sem), 1);
  up_read(&sem);
  up_read(&sem);
  EXPECT_EQ(sem.activity, 0);
}

class Mutex : public CoreTest {};

TEST_F(Mutex, ExcludesUnderContentionAndInterruptibleLockStopsOnSignal) {
  struct mutex m;
  memset(&m, 0, sizeof m);
  long counter = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      for (int n = 0; n < 500; ++n) {
        mutex_lock(&m);
        counter++;
        mutex_unlock(&m);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, 2000);

  mutex_lock(&m);
  std::atomic<pid_t> pid{0};
  std::atomic<int> rc{1};
  std::thread t([&] {
    pid = current->pid;
    rc = mutex_lock_interruptible(&m);
  });
  ASSERT_TRUE(eventually([&] { return pid != 0 && ld(m.state) == 2; }));
  kill_proc(pid, SIGINT, 1);
  t.join();
  EXPECT_EQ(rc, -EINTR);
  EXPECT_EQ(mutex_trylock(&m), 0);
  mutex_unlock(&m);
  EXPECT_EQ(mutex_trylock(&m), 1);
  mutex_unlock(&m);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(Mutex, UnlockByNonOwnerIsReported) {
  DEFINE_MUTEX(m);
  mutex_lock(&m);
  std::thread([&] { mutex_unlock(&m); }).join();
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("not its owner"), 1);
  EXPECT_FALSE(mutex_is_locked(&m));
}

class Completion : public CoreTest {};

TEST_F(Completion, CompleteWakesOneAndCompleteAllWakesEveryone) {
  DECLARE_COMPLETION(done);
  std::atomic<int> through{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; ++i)
    ts.emplace_back([&] {
      wait_for_completion(&done);
      through++;
    });
  ASSERT_TRUE(eventually([&] { return ld(done.waiters) == 3; }));
  complete(&done);
  ASSERT_TRUE(eventually([&] { return through == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(through, 1);
  complete_all(&done);
  for (auto& t : ts) t.join();
  EXPECT_EQ(through, 3);
  wait_for_completion(&done);  // complete_all also lets later waiters through
  EXPECT_GT(wait_for_completion_timeout(&done, 10), 0ul);
}

TEST_F(Completion, TimeoutAndSignalEndTheWait) {
  struct completion c;
  init_completion(&c);
  EXPECT_EQ(wait_for_completion_timeout(&c, 5), 0ul);
  std::thread t([&] {
    send_sig(SIGUSR2, current, 0);
    EXPECT_EQ(wait_for_completion_interruptible(&c), -ERESTARTSYS);
  });
  t.join();
  // A completion that arrives while the waiter times out is never lost.
  for (int round = 0; round < 50; ++round) {
    init_completion(&c);
    std::thread late([&] { complete(&c); });
    unsigned long left = wait_for_completion_timeout(&c, 1);
    late.join();
    if (left == 0) wait_for_completion(&c);  // still there to take
    EXPECT_EQ(c.done, 0u);
  }
}

class WaitQueue : public CoreTest {};

TEST_F(WaitQueue, WaitEventSeesEveryWakeUp) {
  DECLARE_WAIT_QUEUE_HEAD(q);
  std::atomic<int> value{0};
  constexpr int kRounds = 500;
  std::thread consumer([&] {
    for (int i = 1; i <= kRounds; ++i) wait_event(q, value.load() >= i);
  });
  for (int i = 1; i <= kRounds; ++i) {
    value = i;
    wake_up(&q);
  }
  consumer.join();
  std::atomic<bool> never{false};
  EXPECT_EQ(wait_event_timeout(q, never.load(), 5), 0);
  std::thread t([&] {
    send_sig(SIGHUP, current, 0);
    EXPECT_EQ(wait_event_interruptible(q, never.load()), -ERESTARTSYS);
  });
  t.join();
}

class SpinLock : public CoreTest {};

TEST_F(SpinLock, ExcludesAndRaisesAtomicContext) {
  DEFINE_SPINLOCK(lock);
  long counter = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      for (int n = 0; n < 2000; ++n) {
        unsigned long flags;
        spin_lock_irqsave(&lock, flags);
        EXPECT_TRUE(in_atomic());
        EXPECT_TRUE(irqs_disabled());
        counter++;
        spin_unlock_irqrestore(&lock, flags);
        EXPECT_FALSE(in_atomic());
        EXPECT_FALSE(irqs_disabled());
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(spin_trylock(&lock), 1);
  EXPECT_EQ(spin_trylock(&lock), 0);
  spin_unlock(&lock);
  EXPECT_FALSE(in_atomic());

  rwlock_t rw = RW_LOCK_UNLOCKED;
  long shared = 0;
  ts.clear();
  for (int i = 0; i < 3; ++i)
    ts.emplace_back([&, i] {
      for (int n = 0; n < 1000; ++n) {
        if (i == 0) {
          write_lock(&rw);
          shared++;
          write_unlock(&rw);
        } else {
          read_lock(&rw);
          EXPECT_GE(shared, 0);
          read_unlock(&rw);
        }
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(shared, 1000);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

class LockMemory : public CoreTest {
 protected:
  // The lock lives in memory that its next holder frees as soon as it has it (the last
  // user of a record frees it): the thread that lets go must not touch the lock after
  // the moment it is free. AddressSanitizer reports any such touch.
  template <class L>
  void freed_by_next_holder(void (*init)(L*), void (*take)(L*), void (*give)(L*)) {
    for (int round = 0; round < 1500; ++round) {
      L* obj = new L;
      init(obj);
      take(obj);
      std::atomic<bool> waiting{false};
      std::thread next([&, obj] {
        waiting = true;
        take(obj);
        give(obj);
        delete obj;
      });
      while (!waiting) std::this_thread::yield();
      give(obj);
      next.join();
    }
    EXPECT_EQ(machine::kernel_bug_count(), 0);
  }
};

TEST_F(LockMemory, SpinLockIsLeftAloneOnceFree) {
  // As in the kernel, only a spin lock's unlock is one store: a sleeping lock's unlock
  // may still wake its waiters through the lock's memory, so those are not freed so.
  freed_by_next_holder<spinlock_t>([](spinlock_t* l) { spin_lock_init(l); }, spin_lock, spin_unlock);
  freed_by_next_holder<rwlock_t>([](rwlock_t* l) { rwlock_init(l); }, write_lock, write_unlock);
}

}  // namespace
