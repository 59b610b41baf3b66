// Counting semaphores: count is the futex word. up() wakes exactly one sleeper; a
// sleeper that leaves without taking a unit (signal) passes its wake-up on, so no unit is
// ever left beside a sleeping waiter.
//
// Thread-safety: count and waiters change only with atomics. A waiter counts itself in
// `waiters` before it sleeps and up() reads `waiters` after it adds the unit (both
// sequentially consistent), so either up() wakes the sleeper or the sleeper sees the unit.
#include <asm/semaphore.h>
#include <linux/errno.h>
#include <linux/sched.h>

#include "host/host.h"
#include "src/core/locking/lock_check.h"
#include "testing/inspect.h"
#include "src/core/sched/task_internal.h"

namespace {
uint64_t g_wakeups;  // test inspector: sleeps that came back (atomic increments)

// Takes a unit when one is available; never sleeps.
bool take(struct semaphore* sem) {
  int c = __atomic_load_n(&sem->count, __ATOMIC_SEQ_CST);
  while (c > 0)
    if (__atomic_compare_exchange_n(&sem->count, &c, c - 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      return true;
  return false;
}

void pass_wakeup_on(struct semaphore* sem) {
  if (__atomic_load_n(&sem->count, __ATOMIC_SEQ_CST) > 0 && __atomic_load_n(&sem->waiters, __ATOMIC_SEQ_CST) > 0)
    host::futex_wake(&sem->count, 1);
}

int down_common(struct semaphore* sem, bool interruptible) {
  for (;;) {
    if (take(sem)) return 0;
    if (interruptible && signal_pending(current)) return -EINTR;
    __atomic_add_fetch(&sem->waiters, 1, __ATOMIC_SEQ_CST);
    int c = __atomic_load_n(&sem->count, __ATOMIC_SEQ_CST);
    int rc = 0;
    if (c <= 0) {
      rc = vk::sleep_on_word(&sem->count, c, interruptible, -1);
      __atomic_add_fetch(&g_wakeups, 1, __ATOMIC_RELAXED);
    }
    __atomic_sub_fetch(&sem->waiters, 1, __ATOMIC_SEQ_CST);
    if (rc == -EINTR) {
      pass_wakeup_on(sem);
      return -EINTR;
    }
  }
}
}  // namespace

// Only a semaphore of one unit is a lock with an order to check (see the header).
void __sema_init(struct semaphore* sem, int val, const char* dep_class) {
  __atomic_store_n(&sem->count, val, __ATOMIC_SEQ_CST);
  __atomic_store_n(&sem->waiters, 0, __ATOMIC_SEQ_CST);
  sem->dep_class = val == 1 ? dep_class : nullptr;
}

void down(struct semaphore* sem) {
  might_sleep();
  vk::lockcheck::acquire(sem, sem->dep_class, vk::lockcheck::Mode::unit, false);
  down_common(sem, false);
  vk::lockcheck::acquired(sem, sem->dep_class);
}

int down_interruptible(struct semaphore* sem) {
  might_sleep();
  vk::lockcheck::acquire(sem, sem->dep_class, vk::lockcheck::Mode::unit, false);
  int rc = down_common(sem, true);
  if (rc != 0)
    vk::lockcheck::release(sem, sem->dep_class);
  else
    vk::lockcheck::acquired(sem, sem->dep_class);
  return rc;
}

int down_trylock(struct semaphore* sem) {
  if (!take(sem)) return 1;
  vk::lockcheck::acquire(sem, sem->dep_class, vk::lockcheck::Mode::unit, true);
  vk::lockcheck::acquired(sem, sem->dep_class);
  return 0;
}

// The holder may be another thread (a semaphore also hands work over).
void up(struct semaphore* sem) {
  vk::lockcheck::release(sem, sem->dep_class);
  __atomic_add_fetch(&sem->count, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&sem->waiters, __ATOMIC_SEQ_CST) > 0) host::futex_wake(&sem->count, 1);
}

uint64_t machine::testing::semaphore_wakeups() { return __atomic_load_n(&g_wakeups, __ATOMIC_RELAXED); }
