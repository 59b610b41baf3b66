/* Counting semaphores as plain data. A zero-filled semaphore has count 0 (locked);
 * sema_init / init_MUTEX set the count. Waiters sleep on a futex of `count`.
 * Thread-safety: both fields change only with atomics; up() is safe in any context. */
#ifndef _VK_ASM_SEMAPHORE_H
#define _VK_ASM_SEMAPHORE_H
#include <linux/kernel.h>
#include <linux/lockdep.h>

struct semaphore {
  volatile int count;   /* available units */
  volatile int waiters; /* threads sleeping in down*() */
  const char *dep_class; /* lock-order class (linux/lockdep.h); null: not checked */
};

/* Only a semaphore that starts with one unit is a lock and gets a lock-order class; any
 * other count makes it a counter of events, which has no order to check. */
#define __SEMAPHORE_INITIALIZER(name, n) { (n), 0, (n) == 1 ? __LOCK_CLASS(#name) : 0 }
#define DECLARE_MUTEX(name) struct semaphore name = {1, 0, __LOCK_CLASS(#name)}
void __sema_init(struct semaphore *sem, int val, const char *dep_class);
#define sema_init(sem, val) __sema_init((sem), (val), __LOCK_CLASS(#sem))
#define init_MUTEX(sem) sema_init(sem, 1)
#define init_MUTEX_LOCKED(sem) sema_init(sem, 0)

/* May sleep. */
void down(struct semaphore *sem);
/* May sleep. 0 when taken, -EINTR when a signal is pending for the caller (at once or while waiting). */
int down_interruptible(struct semaphore *sem);
/* Never sleeps: 0 when taken, 1 when not available. */
int down_trylock(struct semaphore *sem);
/* Any context. Wakes exactly one waiter when there is one. */
void up(struct semaphore *sem);
#endif
