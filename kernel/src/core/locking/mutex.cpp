// Sleeping mutexes: the classic three-state futex lock (0 free, 1 held, 2 held with
// sleepers). Lock debugging as CONFIG_DEBUG_MUTEXES: taking a mutex twice is an oops (it
// would deadlock), or a counted bug report when the re-entry comes from I/O submitted
// under it; unlocking one the caller does not hold is a counted bug report.
//
// Thread-safety: state and owner_pid change only with atomics.
#include <linux/errno.h>
#include <linux/mutex.h>
#include <linux/sched.h>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/locking/lock_check.h"
#include "src/core/sched/task_internal.h"

namespace {
bool try_take(struct mutex* lock) {
  int c = 0;
  return __atomic_compare_exchange_n(&lock->state, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

// True when the caller already holds the lock. Taking it again deadlocks the task: an
// oops, except when the task re-enters it from I/O it submitted under it (the last close
// of a block device writes back under bd_mutex, and a make-request function that takes
// that mutex hangs it). That case is a counted bug with its log line, and the task goes
// on as if it had the lock again, so a test can see every such path and still finish.
bool check_recursion(struct mutex* lock) {
  task_struct* t = get_current();
  if (__atomic_load_n(&lock->state, __ATOMIC_RELAXED) == 0 ||
      __atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED) != t->pid)
    return false;
  if (t->io_submit_depth > 0) {
    printk("<3>BUG: I/O submitted under mutex %s re-enters it: %s/%d would deadlock\n",
           lock->dep_class ? lock->dep_class : "(unnamed)", t->comm, t->pid);
    machine::kernel_bug_add();
    ++lock->reentered;
    return true;
  }
  printk("<0>BUG: mutex %p taken twice by %s/%d\n", (void*)lock, t->comm, t->pid);
  BUG();
  return false;
}

// Takes the lock, sleeping while it is held. 0, or -EINTR (interruptible, signal).
int lock_common(struct mutex* lock, bool interruptible) {
  if (check_recursion(lock)) return 0;
  vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::exclusive, false);
  if (!try_take(lock)) {
    while (__atomic_exchange_n(&lock->state, 2, __ATOMIC_ACQUIRE) != 0) {
      if (vk::sleep_on_word(&lock->state, 2, interruptible, -1) == -EINTR) {
        // This sleeper may have been the one an unlock woke: hand that wake-up on.
        host::futex_wake(&lock->state, 1);
        vk::lockcheck::release(lock, lock->dep_class);
        return -EINTR;
      }
    }
  }
  __atomic_store_n(&lock->owner_pid, get_current()->pid, __ATOMIC_RELAXED);
  vk::lockcheck::acquired(lock, lock->dep_class);
  return 0;
}
}  // namespace

void __mutex_init(struct mutex* lock, const char* dep_class) {
  __atomic_store_n(&lock->state, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&lock->owner_pid, 0, __ATOMIC_RELAXED);
  lock->reentered = 0;
  lock->dep_class = dep_class;
}

void mutex_lock(struct mutex* lock) {
  might_sleep();
  lock_common(lock, false);
}

int mutex_lock_interruptible(struct mutex* lock) {
  might_sleep();
  return lock_common(lock, true);
}

int mutex_trylock(struct mutex* lock) {
  if (!try_take(lock)) return 0;
  __atomic_store_n(&lock->owner_pid, get_current()->pid, __ATOMIC_RELAXED);
  vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::exclusive, true);
  vk::lockcheck::acquired(lock, lock->dep_class);
  return 1;
}

void mutex_unlock(struct mutex* lock) {
  task_struct* t = get_current();
  if (lock->reentered > 0 && __atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED) == t->pid) {
    --lock->reentered;  // the end of a flagged re-entry: the outer hold goes on
    return;
  }
  if (__atomic_load_n(&lock->state, __ATOMIC_RELAXED) == 0) {
    printk("<3>BUG: mutex_unlock of unlocked mutex %p by %s/%d\n", (void*)lock, t->comm, t->pid);
    machine::kernel_bug_add();
    return;
  }
  if (__atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED) != t->pid) {
    printk("<3>BUG: mutex %p unlocked by %s/%d, not its owner\n", (void*)lock, t->comm, t->pid);
    machine::kernel_bug_add();
  }
  __atomic_store_n(&lock->owner_pid, 0, __ATOMIC_RELAXED);
  vk::lockcheck::release(lock, lock->dep_class);
  if (__atomic_exchange_n(&lock->state, 0, __ATOMIC_RELEASE) == 2) host::futex_wake(&lock->state, 1);
}

int mutex_is_locked(struct mutex* lock) { return __atomic_load_n(&lock->state, __ATOMIC_RELAXED) != 0; }
