/* Sleeping mutexes as plain data: zero is unlocked (mutex_init is still the proper start).
 * Thread-safety: state and owner_pid change only with atomics, reentered only by the owner;
 * waiters sleep on `state`. Taking a mutex twice is an oops, except from I/O the owner
 * submitted while holding it, a counted bug (see mutex.cpp); unlocking one the caller
 * does not hold is a counted bug. */
#ifndef _VK_LINUX_MUTEX_H
#define _VK_LINUX_MUTEX_H
#include <linux/kernel.h>
#include <linux/lockdep.h>

struct mutex {
  volatile int state; /* 0 unlocked, 1 locked, 2 locked with waiters */
  int owner_pid;
  int reentered; /* flagged re-entries by the owner from its own I/O, still to be unlocked */
  const char *dep_class; /* lock-order class (linux/lockdep.h); null: not checked */
};
#define DEFINE_MUTEX(m) struct mutex m = {0, 0, 0, __LOCK_CLASS(#m)}
void __mutex_init(struct mutex *lock, const char *dep_class);
#define mutex_init(lock) __mutex_init((lock), __LOCK_CLASS(#lock))
void mutex_lock(struct mutex *lock); /* may sleep */
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock); /* 1 when taken */
void mutex_unlock(struct mutex *lock);
int mutex_is_locked(struct mutex *lock);
#endif
