// Completions: done counts completions not yet consumed and is the futex word.
// complete() wakes one sleeper, complete_all() adds enough for every present and future
// waiter and wakes all. A sleeper that leaves without consuming (timeout, signal) passes
// its wake-up on.
//
// Thread-safety: done and waiters change only with atomics; complete*() are safe in any
// context.
#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/sched.h>

#include <climits>

#include "host/host.h"
#include "src/core/sched/task_internal.h"
#include "src/core/sched/sched_point.h"

namespace {
constexpr unsigned kAll = UINT_MAX / 2;

volatile int* word(struct completion* x) { return reinterpret_cast<volatile int*>(&x->done); }

bool consume(struct completion* x) {
  unsigned d = __atomic_load_n(&x->done, __ATOMIC_SEQ_CST);
  while (d > 0)
    if (__atomic_compare_exchange_n(&x->done, &d, d - 1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return true;
  return false;
}

// 0 when consumed, -ETIMEDOUT or -EINTR.
int wait_common(struct completion* x, bool interruptible, int64_t deadline_ns) {
  for (;;) {
    if (consume(x)) return 0;
    if (interruptible && signal_pending(current)) return -EINTR;
    __atomic_add_fetch(&x->waiters, 1, __ATOMIC_SEQ_CST);
    unsigned d = __atomic_load_n(&x->done, __ATOMIC_SEQ_CST);
    int rc = d > 0 ? 0 : vk::sleep_on_word(word(x), int(d), interruptible, deadline_ns);
    __atomic_sub_fetch(&x->waiters, 1, __ATOMIC_SEQ_CST);
    if (rc != 0) {
      if (consume(x)) return 0;  // completed at the last moment: take it rather than lose it
      if (__atomic_load_n(&x->done, __ATOMIC_SEQ_CST) > 0) host::futex_wake(word(x), 1);
      return rc;
    }
  }
}
}  // namespace

void init_completion(struct completion* x) {
  __atomic_store_n(&x->done, 0u, __ATOMIC_SEQ_CST);
  __atomic_store_n(&x->waiters, 0, __ATOMIC_SEQ_CST);
}

void wait_for_completion(struct completion* x) {
  might_sleep();
  wait_common(x, false, -1);
}

unsigned long wait_for_completion_timeout(struct completion* x, unsigned long timeout) {
  might_sleep();
  int64_t deadline = vk::deadline_after_jiffies(long(timeout));
  if (wait_common(x, false, deadline) != 0) return 0;
  long left = vk::jiffies_until(deadline);
  return left > 0 ? (unsigned long)left : 1;
}

int wait_for_completion_interruptible(struct completion* x) {
  might_sleep();
  return wait_common(x, true, -1) == -EINTR ? -ERESTARTSYS : 0;
}

void complete(struct completion* x) {
  vk::point(machine::Point::complete, "complete", x);
  __atomic_add_fetch(&x->done, 1u, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&x->waiters, __ATOMIC_SEQ_CST) > 0) host::futex_wake(word(x), 1);
}

void complete_all(struct completion* x) {
  vk::point(machine::Point::complete, "complete_all", x);
  __atomic_add_fetch(&x->done, kAll, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&x->waiters, __ATOMIC_SEQ_CST) > 0) host::futex_wake(word(x), INT_MAX);
}
