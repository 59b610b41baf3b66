/* Wait queues: a futex word that waiters sleep on and wakers bump. Every wake_up wakes
 * every sleeper (they re-check their conditions). Thread-safety: seq and waiters change
 * only with atomics; any context may wake. */
#ifndef _VK_LINUX_WAIT_H
#define _VK_LINUX_WAIT_H
#include <linux/errno.h>
#include <linux/spinlock.h>
#include <linux/jiffies.h>

typedef struct __wait_queue_head {
  spinlock_t lock;
  volatile int seq;     /* bumped by every wake_up */
  volatile int waiters; /* threads sleeping */
} wait_queue_head_t;

void init_waitqueue_head(wait_queue_head_t *q);
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = {{0, 0}, 0, 0}
void wake_up(wait_queue_head_t *q);
void wake_up_all(wait_queue_head_t *q);
#define wake_up_interruptible(q) wake_up(q)
#define wake_up_interruptible_all(q) wake_up_all(q)
/* Sleeps until q->seq moves past seen_seq, a signal (interruptible) or the timeout
 * (jiffies, <0: none). Returns 0 to re-check the condition, -ERESTARTSYS on a signal,
 * -ETIMEDOUT when the timeout passed. May sleep. wait_event* re-check their condition
 * after every wake_up. */
int __wait_event_seq(wait_queue_head_t *q, int seen_seq, int interruptible, long timeout_jiffies);
#define wait_event(wq, condition)                                   \
  do {                                                              \
    for (;;) {                                                      \
      int __seq = __atomic_load_n(&(wq).seq, __ATOMIC_SEQ_CST);    \
      if (condition) break;                                         \
      __wait_event_seq(&(wq), __seq, 0, -1);                        \
    }                                                               \
  } while (0)
#define wait_event_interruptible(wq, condition)                     \
  ({                                                                \
    int __ret = 0;                                                  \
    for (;;) {                                                      \
      int __seq = __atomic_load_n(&(wq).seq, __ATOMIC_SEQ_CST);    \
      if (condition) break;                                         \
      if (__wait_event_seq(&(wq), __seq, 1, -1)) { __ret = -ERESTARTSYS; break; } \
    }                                                               \
    __ret;                                                          \
  })
/* Returns the jiffies left (>=1) when the condition became true, 0 on timeout. */
#define wait_event_timeout(wq, condition, timeout)                  \
  ({                                                                \
    long __left = (long)(timeout);                                  \
    unsigned long __end = get_jiffies() + __left;                   \
    for (;;) {                                                      \
      int __seq = __atomic_load_n(&(wq).seq, __ATOMIC_SEQ_CST);    \
      if (condition) { __left = (long)(__end - get_jiffies()); if (__left < 1) __left = 1; break; } \
      __left = (long)(__end - get_jiffies());                       \
      if (__left <= 0) { __left = (condition) ? 1 : 0; break; }     \
      __wait_event_seq(&(wq), __seq, 0, __left);                    \
    }                                                               \
    __left;                                                         \
  })
#endif
