/* Wait queues: a futex word that waiters sleep on and wakers bump. */
#ifndef _VK_LINUX_WAIT_H
#define _VK_LINUX_WAIT_H
#include <linux/spinlock.h>

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
/* Sleep until the condition is true (re-checked after every wake_up). May sleep. */
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
#endif
