// Execution contexts: might_sleep reports sleeping under a spin lock, with interrupts
// disabled and in interrupt context, without stopping; BUG() and lock recursion are oopses.
#include <signal.h>

#include <thread>

#include "core_fixture.h"

#include <asm/semaphore.h>
#include <linux/delay.h>
#include <linux/highmem.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>

using core_test::CoreTest;

namespace {

class MightSleep : public CoreTest {};

TEST_F(MightSleep, CatchesASleepUnderASpinLock) {
  DEFINE_SPINLOCK(lock);
  DECLARE_MUTEX(sem);
  spin_lock(&lock);
  down(&sem);  // would sleep if the semaphore were taken: reported even when free
  spin_unlock(&lock);
  up(&sem);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("BUG: sleeping function called from invalid context at "), 1);
  EXPECT_EQ(logged("in_atomic():1, irqs_disabled():0"), 1);
  auto recs = machine::log_records(log_start_);
  ASSERT_FALSE(recs.empty());
  EXPECT_EQ(recs.front().level, 3);
  EXPECT_NE(recs.front().text.find("semaphore.cpp:"), std::string::npos) << recs.front().text;

  // The same calls in process context are fine, and so are atomic allocations.
  down(&sem);
  up(&sem);
  spin_lock(&lock);
  void* p = kmalloc(32, GFP_ATOMIC);
  spin_unlock(&lock);
  kfree(p);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
}

TEST_F(MightSleep, CatchesSleepsWithInterruptsOffAndInInterruptContext) {
  unsigned long flags;
  local_irq_save(flags);
  msleep(0);
  local_irq_restore(flags);
  EXPECT_EQ(logged("in_atomic():0, irqs_disabled():1"), 1);

  struct mutex m;
  mutex_init(&m);
  machine::run_in_interrupt([&] {
    EXPECT_TRUE(in_interrupt());
    EXPECT_TRUE(in_atomic());
    void* ok = kmalloc(64, GFP_ATOMIC);  // fine
    void* bad = kmalloc(64, GFP_KERNEL); // reported
    kfree(ok);
    kfree(bad);
    mutex_lock(&m);  // reported
    mutex_unlock(&m);
  });
  EXPECT_FALSE(in_interrupt());
  EXPECT_EQ(machine::kernel_bug_count(), 3);

  // kmap_atomic is atomic context until its unmap.
  struct page* pg = alloc_page(GFP_KERNEL);
  ASSERT_NE(pg, nullptr);
  void* v = kmap_atomic(pg, KM_USER0);
  EXPECT_TRUE(in_atomic());
  kunmap_atomic(v, KM_USER0);
  EXPECT_FALSE(in_atomic());
  __free_page(pg);
  EXPECT_EQ(machine::kernel_bug_count(), 3);
}

TEST_F(MightSleep, ContextsArePerThread) {
  // One thread's spin lock puts only that thread in atomic context.
  DEFINE_SPINLOCK(lock);
  std::atomic<int> stage{0};
  std::thread holder([&] {
    spin_lock(&lock);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    spin_unlock(&lock);
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_FALSE(in_atomic());
  msleep(1);
  stage = 2;
  holder.join();
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(MightSleep, UnlockingAFreeSpinLockIsReported) {
  DEFINE_SPINLOCK(lock);
  spin_lock(&lock);
  spin_unlock(&lock);
  ++current->preempt_count;  // keep the count balanced for the bad unlock below
  spin_unlock(&lock);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("BUG: spinlock already unlocked"), 1);
}

using Oops = CoreTest;

void take_twice() {
  DEFINE_SPINLOCK(lock);
  spin_lock(&lock);
  spin_lock(&lock);
}

TEST_F(Oops, BugLogsAnOopsAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(BUG(), "kernel BUG at .*context_test.cpp:[0-9]+!\n(.*\n)*invalid opcode: 0000(.*\n)*EIP is at .*");
  EXPECT_DEATH(BUG_ON(1 + 1 == 2), "Oops: kernel BUG");
}

TEST_F(Oops, SpinLockRecursionStopsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(take_twice(), "kernel BUG at");
}

TEST_F(Oops, WarnOnCountsAndGoesOn) {
  int x = 3;
  EXPECT_EQ(WARN_ON(x == 3), 1);
  EXPECT_EQ(WARN_ON(x == 4), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("BUG: warning at "), 1);
}

}  // namespace
