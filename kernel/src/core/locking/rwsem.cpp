// Read-write semaphores: activity counts readers (>0) or marks one writer (-1). A writer
// announces itself in waiting_writers first, which stops new readers, then waits for the
// activity to drain. Sleepers wait on wake_seq, which every release bumps.
//
// Thread-safety: all fields change only with atomics. A sleeper reads wake_seq before it
// re-checks the lock, and a releaser changes the lock before it bumps wake_seq, so a
// release between the check and the sleep makes the sleep return at once.
#include <linux/rwsem.h>
#include <linux/sched.h>

#include <climits>

#include "host/block_host.h"
#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/locking/lock_check.h"

namespace {
int ld(volatile int* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }

void release_wake(struct rw_semaphore* sem) {
  __atomic_add_fetch(&sem->wake_seq, 1, __ATOMIC_SEQ_CST);
  if (ld(&sem->sleepers) > 0) host::futex_wake(&sem->wake_seq, INT_MAX);
}

void sleep_until_changed(struct rw_semaphore* sem, int seq) {
  blkhost::wq_leave_plugs();
  __atomic_add_fetch(&sem->sleepers, 1, __ATOMIC_SEQ_CST);
  host::futex_wait(&sem->wake_seq, seq, -1);
  __atomic_sub_fetch(&sem->sleepers, 1, __ATOMIC_SEQ_CST);
}

bool read_blocked(struct rw_semaphore* sem) { return ld(&sem->activity) < 0 || ld(&sem->waiting_writers) > 0; }

bool try_read(struct rw_semaphore* sem) {
  int a = ld(&sem->activity);
  while (a >= 0 && ld(&sem->waiting_writers) == 0)
    if (__atomic_compare_exchange_n(&sem->activity, &a, a + 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      return true;
  return false;
}

bool try_write(struct rw_semaphore* sem) {
  int z = 0;
  return __atomic_compare_exchange_n(&sem->activity, &z, -1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}
}  // namespace

void __init_rwsem(struct rw_semaphore* sem, const char* name) {
  __atomic_store_n(&sem->activity, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&sem->waiting_writers, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&sem->wake_seq, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&sem->sleepers, 0, __ATOMIC_SEQ_CST);
  sem->name = name;
}

int down_read_trylock(struct rw_semaphore* sem) {
  if (!try_read(sem)) return 0;
  vk::lockcheck::acquire(sem, sem->name, vk::lockcheck::Mode::read, true);
  vk::lockcheck::acquired(sem, sem->name);
  return 1;
}

void down_read(struct rw_semaphore* sem) {
  might_sleep();
  vk::lockcheck::acquire(sem, sem->name, vk::lockcheck::Mode::read, false);
  for (;;) {
    if (try_read(sem)) return vk::lockcheck::acquired(sem, sem->name);
    int seq = ld(&sem->wake_seq);
    if (read_blocked(sem)) sleep_until_changed(sem, seq);
  }
}

void up_read(struct rw_semaphore* sem) {
  vk::lockcheck::release(sem, sem->name);
  int left = __atomic_sub_fetch(&sem->activity, 1, __ATOMIC_SEQ_CST);
  if (left < 0) {
    printk("<3>BUG: up_read on rw_semaphore %s not held for reading\n", sem->name ? sem->name : "?");
    __atomic_add_fetch(&sem->activity, 1, __ATOMIC_SEQ_CST);
    machine::kernel_bug_add();
    return;
  }
  if (left == 0) release_wake(sem);  // a writer may be waiting for the last reader
}

int down_write_trylock(struct rw_semaphore* sem) {
  if (!try_write(sem)) return 0;
  vk::lockcheck::acquire(sem, sem->name, vk::lockcheck::Mode::exclusive, true);
  vk::lockcheck::acquired(sem, sem->name);
  return 1;
}

void down_write(struct rw_semaphore* sem) {
  might_sleep();
  vk::lockcheck::acquire(sem, sem->name, vk::lockcheck::Mode::exclusive, false);
  __atomic_add_fetch(&sem->waiting_writers, 1, __ATOMIC_SEQ_CST);
  for (;;) {
    if (try_write(sem)) break;
    int seq = ld(&sem->wake_seq);
    if (ld(&sem->activity) != 0) sleep_until_changed(sem, seq);
  }
  // Readers held back only by this writer's announcement now wait on the lock itself,
  // which up_write releases with a wake-up.
  __atomic_sub_fetch(&sem->waiting_writers, 1, __ATOMIC_SEQ_CST);
  vk::lockcheck::acquired(sem, sem->name);
}

void up_write(struct rw_semaphore* sem) {
  vk::lockcheck::release(sem, sem->name);
  int was = __atomic_exchange_n(&sem->activity, 0, __ATOMIC_SEQ_CST);
  if (was != -1) {
    printk("<3>BUG: up_write on rw_semaphore %s not held for writing\n", sem->name ? sem->name : "?");
    machine::kernel_bug_add();
  }
  release_wake(sem);
}

void downgrade_write(struct rw_semaphore* sem) {
  __atomic_store_n(&sem->activity, 1, __ATOMIC_SEQ_CST);
  release_wake(sem);
}
