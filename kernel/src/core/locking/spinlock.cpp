// Spin locks and reader-writer spin locks. Taking one raises the holder's preempt count
// (atomic context: might_sleep reports a sleep under it); the irqsave/irq forms also
// mark interrupts disabled. Contenders spin briefly, then sleep on the lock word: the
// stand-in's threads share two CPUs and a holder may be descheduled.
//
// Thread-safety: slock and owner_pid are changed only with atomics. Lock debugging as
// CONFIG_DEBUG_SPINLOCK: recursion is an oops (it would deadlock), unlocking a free lock
// or another thread's lock is a counted bug report.
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/locking/lock_check.h"

namespace {
void spin_bug(spinlock_t* lock, const char* msg) {
  task_struct* t = get_current();
  printk("<0>BUG: spinlock %s on CPU#0, %s/%d, lock %p, owner pid %d\n", msg, t->comm, t->pid,
         (void*)lock, __atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED));
}

void raw_spin_lock(spinlock_t* lock) {
  pid_t me = get_current()->pid;
  if (__atomic_load_n(&lock->slock, __ATOMIC_RELAXED) != 0 &&
      __atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED) == me) {
    spin_bug(lock, "recursion");
    BUG();
  }
  int c = 0;
  if (!__atomic_compare_exchange_n(&lock->slock, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    bool got = false;
    for (int spin = 0; spin < 100 && !got; ++spin) {
      __builtin_ia32_pause();
      c = 0;
      got = __atomic_load_n(&lock->slock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(&lock->slock, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
    }
    if (!got)
      while (__atomic_exchange_n(&lock->slock, 2, __ATOMIC_ACQUIRE) != 0) host::futex_wait(&lock->slock, 2, -1);
  }
  __atomic_store_n(&lock->owner_pid, me, __ATOMIC_RELAXED);
}

void raw_spin_unlock(spinlock_t* lock) {
  int state = __atomic_load_n(&lock->slock, __ATOMIC_RELAXED);
  if (state == 0) {
    spin_bug(lock, "already unlocked");
    machine::kernel_bug_add();
    return;
  }
  if (__atomic_load_n(&lock->owner_pid, __ATOMIC_RELAXED) != get_current()->pid) {
    spin_bug(lock, "wrong owner");
    machine::kernel_bug_add();
  }
  __atomic_store_n(&lock->owner_pid, 0, __ATOMIC_RELAXED);
  if (__atomic_exchange_n(&lock->slock, 0, __ATOMIC_RELEASE) == 2) host::futex_wake(&lock->slock, 1);
}

void preempt_disable() { ++get_current()->preempt_count; }
void preempt_enable() {
  task_struct* t = get_current();
  if (--t->preempt_count < 0) {
    printk("<3>BUG: preempt count underflow in %s/%d\n", t->comm, t->pid);
    machine::kernel_bug_add();
    t->preempt_count = 0;
  }
}
}  // namespace

void __spin_lock_init(spinlock_t* lock, const char* dep_class) {
  __atomic_store_n(&lock->slock, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&lock->owner_pid, 0, __ATOMIC_RELAXED);
  lock->dep_class = dep_class;
}

void spin_lock(spinlock_t* lock) {
  preempt_disable();
  vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::exclusive, false);
  raw_spin_lock(lock);
  vk::lockcheck::acquired(lock, lock->dep_class);
}

// The checker lets go first: once the lock is free its memory may be freed by the next holder.
void spin_unlock(spinlock_t* lock) {
  vk::lockcheck::release(lock, lock->dep_class);
  raw_spin_unlock(lock);
  preempt_enable();
}

// 1 when taken, 0 when held by someone (never waits).
int spin_trylock(spinlock_t* lock) {
  preempt_disable();
  int c = 0;
  if (__atomic_compare_exchange_n(&lock->slock, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    __atomic_store_n(&lock->owner_pid, get_current()->pid, __ATOMIC_RELAXED);
    vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::exclusive, true);
    vk::lockcheck::acquired(lock, lock->dep_class);
    return 1;
  }
  preempt_enable();
  return 0;
}

int spin_is_locked(spinlock_t* lock) { return __atomic_load_n(&lock->slock, __ATOMIC_RELAXED) != 0; }

void spin_lock_irq(spinlock_t* lock) {
  get_current()->irq_disabled = 1;
  spin_lock(lock);
}

void spin_unlock_irq(spinlock_t* lock) {
  spin_unlock(lock);
  get_current()->irq_disabled = 0;
}

void spin_lock_bh(spinlock_t* lock) { spin_lock(lock); }
void spin_unlock_bh(spinlock_t* lock) { spin_unlock(lock); }

// Returns the previous interrupt state for the matching restore.
unsigned long _spin_lock_irqsave(spinlock_t* lock) {
  unsigned long flags = local_irq_save_flags();
  spin_lock(lock);
  return flags;
}

void _spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags) {
  spin_unlock(lock);
  local_irq_restore_flags(flags);
}

// ---- reader-writer spin locks: lock > 0 readers, -1 one writer -----------------------
void __rwlock_init(rwlock_t* lock, const char* dep_class) {
  __atomic_store_n(&lock->lock, 0, __ATOMIC_RELAXED);
  lock->dep_class = dep_class;
}

// Readers never wait for readers (only for a writer that holds the lock), so a reader may
// take the lock again while holding it.
void read_lock(rwlock_t* lock) {
  preempt_disable();
  vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::recursive_read, false);
  for (int spins = 0;; ++spins) {
    int v = __atomic_load_n(&lock->lock, __ATOMIC_RELAXED);
    if (v >= 0 && __atomic_compare_exchange_n(&lock->lock, &v, v + 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return vk::lockcheck::acquired(lock, lock->dep_class);
    if (spins > 100) host::thread_yield(); else __builtin_ia32_pause();
  }
}

void read_unlock(rwlock_t* lock) {
  vk::lockcheck::release(lock, lock->dep_class);
  __atomic_sub_fetch(&lock->lock, 1, __ATOMIC_RELEASE);
  preempt_enable();
}

void write_lock(rwlock_t* lock) {
  preempt_disable();
  vk::lockcheck::acquire(lock, lock->dep_class, vk::lockcheck::Mode::exclusive, false);
  for (int spins = 0;; ++spins) {
    int v = 0;
    if (__atomic_compare_exchange_n(&lock->lock, &v, -1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return vk::lockcheck::acquired(lock, lock->dep_class);
    if (spins > 100) host::thread_yield(); else __builtin_ia32_pause();
  }
}

void write_unlock(rwlock_t* lock) {
  vk::lockcheck::release(lock, lock->dep_class);
  __atomic_store_n(&lock->lock, 0, __ATOMIC_RELEASE);
  preempt_enable();
}
