// Wait queues: seq is the futex word; every wake_up bumps it and wakes every sleeper,
// which re-checks its condition (the wait_event macros loop).
//
// Thread-safety: seq and waiters change only with atomics. The waiter reads seq before
// checking its condition, and the waker changes the condition before bumping seq, so a
// wake-up between the check and the sleep makes the sleep return at once.
#include <linux/sched.h>
#include <linux/wait.h>

#include <climits>

#include "host/host.h"
#include "src/core/sched/task_internal.h"
#include "src/core/sched/sched_point.h"

void init_waitqueue_head(wait_queue_head_t* q) {
  spin_lock_init(&q->lock);
  __atomic_store_n(&q->seq, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&q->waiters, 0, __ATOMIC_SEQ_CST);
}

void wake_up(wait_queue_head_t* q) {
  vk::point(machine::Point::wake_up, "wake_up", q);
  __atomic_add_fetch(&q->seq, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&q->waiters, __ATOMIC_SEQ_CST) > 0) host::futex_wake(&q->seq, INT_MAX);
}

void wake_up_all(wait_queue_head_t* q) { wake_up(q); }

int __wait_event_seq(wait_queue_head_t* q, int seen_seq, int interruptible, long timeout_jiffies) {
  might_sleep();
  __atomic_add_fetch(&q->waiters, 1, __ATOMIC_SEQ_CST);
  int rc = vk::sleep_on_word(&q->seq, seen_seq, interruptible != 0, vk::deadline_after_jiffies(timeout_jiffies));
  __atomic_sub_fetch(&q->waiters, 1, __ATOMIC_SEQ_CST);
  if (rc == -EINTR) return -ERESTARTSYS;
  return rc == -ETIMEDOUT ? -ETIMEDOUT : 0;
}
