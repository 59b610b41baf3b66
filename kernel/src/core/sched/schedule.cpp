// Sleeping and waking. A task sleeps in schedule() on its own futex word wake_seq;
// wake_up_process sets it running and bumps the word, so a wake-up between setting the
// state and calling schedule() is never lost. Every blocking primitive sleeps through
// sleep_on_word, which lets a signal interrupt an interruptible sleep.
//
// Thread-safety: state and wake_seq are changed with atomics by the task and its wakers;
// waiting_on is published before the task checks for signals, so either the sleeper sees
// the signal or the sender sees the word to wake.
#include <linux/sched.h>

#include <climits>

#include "host/block_host.h"
#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/sched/task_internal.h"
#include "src/core/sched/sched_point.h"

namespace vk {
namespace {
// Interruptible sleeps also wake on this period: a signal sent between the sleeper's
// last check and its entry into the host wait would otherwise be noticed only at the
// next wake-up of the word.
constexpr int64_t kSignalRecheckNs = 20 * 1000000;
constexpr int64_t kNsPerJiffy = 1000000000 / HZ;
// The time slice after which cond_resched gives up the processor. A kernel's
// cond_resched yields only when the scheduler has flagged a reschedule (the running
// task's slice is used up); yielding on every call would make a loop that calls it per
// block pay a system call per block. The slice is measured on the host's tick-updated
// clock, as a kernel's tick is what flags the reschedule: a precise clock read per call
// cost more than the check saves.
constexpr int64_t kTimeSliceNs = 4 * 1000000;

// When the calling thread last gave up the processor (yielded or slept); 0: never.
thread_local int64_t t_slice_start;

void check_schedule_context() {
  if (in_atomic() || irqs_disabled()) {
    task_struct* t = get_current();
    printk("<3>BUG: scheduling while atomic: %s/0x%08x/%d\n", t->comm, t->preempt_count, t->pid);
    machine::kernel_bug_add();
  }
}
}  // namespace

void slice_restarted() { t_slice_start = host::coarse_ns(); }

int64_t deadline_after_jiffies(long timeout) {
  if (timeout < 0) return -1;
  return host::monotonic_ns() + int64_t(timeout) * kNsPerJiffy;
}

long jiffies_until(int64_t deadline_ns) {
  int64_t left = deadline_ns - host::monotonic_ns();
  if (left <= 0) return 0;
  return long((left + kNsPerJiffy - 1) / kNsPerJiffy);
}

int sleep_on_word(volatile int* word, int expected, bool interruptible, int64_t deadline_ns) {
  blkhost::wq_leave_plugs();  // as a kernel flushes a task's plug when it schedules
  int64_t timeout = -1;
  if (deadline_ns >= 0) {
    timeout = deadline_ns - host::monotonic_ns();
    if (timeout <= 0) return -ETIMEDOUT;
  }
  if (!interruptible) {
    int rc = host::futex_wait(word, expected, timeout);
    slice_restarted();
    return rc == -ETIMEDOUT && host::monotonic_ns() >= deadline_ns ? -ETIMEDOUT : 0;
  }
  task_struct* t = get_current();
  TaskPrivate* p = task_private(t);
  __atomic_store_n(&p->waiting_on, word, __ATOMIC_SEQ_CST);
  int rc = 0;
  if (signal_pending(t)) {
    rc = -EINTR;
  } else {
    int64_t chunk = timeout < 0 || timeout > kSignalRecheckNs ? kSignalRecheckNs : timeout;
    host::futex_wait(word, expected, chunk);
    slice_restarted();
    if (signal_pending(t))
      rc = -EINTR;
    else if (deadline_ns >= 0 && host::monotonic_ns() >= deadline_ns)
      rc = -ETIMEDOUT;
  }
  __atomic_store_n(&p->waiting_on, static_cast<volatile int*>(nullptr), __ATOMIC_SEQ_CST);
  return rc;
}

// Sleeps until woken or the deadline; returns the jiffies left (0 on timeout).
static long schedule_until(int64_t deadline_ns) {
  check_schedule_context();
  task_struct* t = get_current();
  for (;;) {
    int seq = __atomic_load_n(&t->wake_seq, __ATOMIC_SEQ_CST);
    long st = __atomic_load_n(&t->state, __ATOMIC_SEQ_CST);
    if (st == TASK_RUNNING) break;
    if (st == TASK_INTERRUPTIBLE && signal_pending(t)) break;
    int64_t timeout = -1;
    if (deadline_ns >= 0) {
      timeout = deadline_ns - host::monotonic_ns();
      if (timeout <= 0) break;
    }
    blkhost::wq_leave_plugs();
    host::futex_wait(&t->wake_seq, seq, timeout);
    slice_restarted();
  }
  __atomic_store_n(&t->state, long(TASK_RUNNING), __ATOMIC_SEQ_CST);
  return deadline_ns < 0 ? MAX_SCHEDULE_TIMEOUT : jiffies_until(deadline_ns);
}

}  // namespace vk

void set_current_state_fn(long state) { __atomic_store_n(&get_current()->state, state, __ATOMIC_SEQ_CST); }

// Returns 1 when p was asleep (not running), 0 otherwise. Any context.
int wake_up_process(struct task_struct* p) {
  vk::point(machine::Point::wake_up, "wake_up_process", p);
  long old = __atomic_exchange_n(&p->state, long(TASK_RUNNING), __ATOMIC_SEQ_CST);
  if (old == TASK_RUNNING) return 0;
  __atomic_add_fetch(&p->wake_seq, 1, __ATOMIC_SEQ_CST);
  host::futex_wake(&p->wake_seq, INT_MAX);
  return 1;
}

// Sleeps while the state set before is not TASK_RUNNING (see linux/sched.h).
void schedule(void) {
  vk::point(machine::Point::schedule, "schedule", nullptr);
  vk::schedule_until(-1);
}

// Returns the jiffies left when woken early, 0 on timeout, timeout itself for
// MAX_SCHEDULE_TIMEOUT. May sleep.
signed long schedule_timeout(signed long timeout) {
  if (timeout == MAX_SCHEDULE_TIMEOUT) {
    schedule();
    return timeout;
  }
  if (timeout < 0) {
    printk("<3>schedule_timeout: wrong timeout value %lx\n", (unsigned long)timeout);
    set_current_state(TASK_RUNNING);
    return 0;
  }
  return vk::schedule_until(vk::deadline_after_jiffies(timeout));
}

// Gives up the CPU when the calling thread has run for a time slice since it last
// yielded or slept; the caller must be allowed to sleep. Returns 1 when it yielded, else 0.
int cond_resched(void) {
  might_sleep();
  vk::point(machine::Point::schedule, "cond_resched", nullptr);
  if (host::coarse_ns() - vk::t_slice_start < vk::kTimeSliceNs) return 0;
  host::thread_yield();
  vk::slice_restarted();
  return 1;
}

void yield(void) {
  vk::point(machine::Point::schedule, "yield", nullptr);
  set_current_state(TASK_RUNNING);
  host::thread_yield();
  vk::slice_restarted();
}
