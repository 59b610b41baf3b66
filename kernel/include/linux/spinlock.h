/* Spin locks as plain data: zero is unlocked. Holding one puts the thread in atomic context
 * (preempt count), so a sleep under it is reported by might_sleep(). The irqsave forms also
 * mark interrupts disabled for the holder; flags carry the previous state.
 * Thread-safety: the fields change only with atomics. Taking a lock twice is an oops (it
 * would deadlock); unlocking a free lock or another thread's is a counted bug. */
#ifndef _VK_LINUX_SPINLOCK_H
#define _VK_LINUX_SPINLOCK_H
#include <linux/kernel.h>
#include <linux/lockdep.h>

typedef struct {
  volatile int slock; /* 0 unlocked, 1 locked, 2 locked with a sleeping contender: the
                       * stand-in's threads can be descheduled while holding a lock, so
                       * contenders sleep on this word instead of burning the shared CPUs */
  int owner_pid;      /* pid of the holder while locked, for lock debugging */
  const char *dep_class; /* lock-order class (linux/lockdep.h); null: not checked */
} spinlock_t;
typedef struct {
  volatile int lock; /* reader-writer spin lock: >0 readers, -1 writer */
  const char *dep_class;
} rwlock_t;

#define SPIN_LOCK_UNLOCKED ((spinlock_t){0, 0, __LOCK_CLASS("SPIN_LOCK_UNLOCKED")})
#define DEFINE_SPINLOCK(x) spinlock_t x = {0, 0, __LOCK_CLASS(#x)}
#define RW_LOCK_UNLOCKED ((rwlock_t){0, __LOCK_CLASS("RW_LOCK_UNLOCKED")})
#define DEFINE_RWLOCK(x) rwlock_t x = {0, __LOCK_CLASS(#x)}

/* The init calls are macros so that the class is the caller's site. */
void __spin_lock_init(spinlock_t *lock, const char *dep_class);
#define spin_lock_init(lock) __spin_lock_init((lock), __LOCK_CLASS(#lock))
void spin_lock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
int spin_trylock(spinlock_t *lock);
int spin_is_locked(spinlock_t *lock);
void spin_lock_irq(spinlock_t *lock);
void spin_unlock_irq(spinlock_t *lock);
void spin_lock_bh(spinlock_t *lock);
void spin_unlock_bh(spinlock_t *lock);
unsigned long _spin_lock_irqsave(spinlock_t *lock);
void _spin_unlock_irqrestore(spinlock_t *lock, unsigned long flags);
#define spin_lock_irqsave(lock, flags) do { (flags) = _spin_lock_irqsave(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) _spin_unlock_irqrestore(lock, flags)

void __rwlock_init(rwlock_t *lock, const char *dep_class);
#define rwlock_init(lock) __rwlock_init((lock), __LOCK_CLASS(#lock))
void read_lock(rwlock_t *lock);
void read_unlock(rwlock_t *lock);
void write_lock(rwlock_t *lock);
void write_unlock(rwlock_t *lock);

/* Interrupt state of the calling thread (the stand-in's "CPU"). */
unsigned long local_irq_save_flags(void);
void local_irq_restore_flags(unsigned long flags);
#define local_irq_save(flags) do { (flags) = local_irq_save_flags(); } while (0)
#define local_irq_restore(flags) local_irq_restore_flags(flags)
int irqs_disabled(void);
#endif
