/* Read-write semaphores as plain data: zero is unlocked. Writers exclude readers and each
 * other; a waiting writer blocks new readers (no writer starvation). A reader that takes
 * the lock twice while a writer waits deadlocks, as in the kernel.
 * Thread-safety: every field is changed only with atomics; waiters sleep on wake_seq. */
#ifndef _VK_LINUX_RWSEM_H
#define _VK_LINUX_RWSEM_H
#include <linux/kernel.h>
#include <linux/lockdep.h>

struct rw_semaphore {
  volatile int activity;        /* 0 free, >0 number of readers, -1 one writer */
  volatile int waiting_writers; /* writers sleeping in down_write */
  volatile int wake_seq;        /* futex word bumped on every release */
  const char *name;             /* lock-debugging name and lock-order class (linux/lockdep.h);
                                 * null: not checked */
  volatile int sleepers;        /* threads asleep on wake_seq (so releases skip the wake) */
};

#define DECLARE_RWSEM(name) struct rw_semaphore name = {0, 0, 0, __LOCK_CLASS(#name), 0}
void __init_rwsem(struct rw_semaphore *sem, const char *name);
#define init_rwsem(sem) __init_rwsem((sem), __LOCK_CLASS(#sem))

void down_read(struct rw_semaphore *sem);   /* may sleep */
int down_read_trylock(struct rw_semaphore *sem); /* 1 when taken */
void up_read(struct rw_semaphore *sem);
void down_write(struct rw_semaphore *sem);  /* may sleep */
int down_write_trylock(struct rw_semaphore *sem); /* 1 when taken */
void up_write(struct rw_semaphore *sem);
void downgrade_write(struct rw_semaphore *sem);
#endif
