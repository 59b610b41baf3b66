// The scheduler's private side of a task and the one sleep every blocking primitive of
// the stand-in uses, so that signals can interrupt any interruptible sleep.
#pragma once
#include <linux/sched.h>

#include <cstdint>

namespace vk {

// Behind task_struct.host. Thread-safety: waiting_on is read by signal senders and
// written by the task (atomics); the rest is written once before the thread runs.
struct TaskPrivate {
  volatile int* waiting_on;  // futex word of the task's current interruptible sleep
  int (*fn)(void*);          // kernel thread entry, null for adopted threads
  void* arg;
  bool kthread_counted;      // still counted in live(kthread)
};

inline TaskPrivate* task_private(task_struct* t) { return static_cast<TaskPrivate*>(t->host); }

// Sleeps on a futex word while it holds `expected`, until a wake-up, a signal (when
// interruptible) or the deadline (host monotonic ns, <0: none). Returns 0 (woken or
// spurious: the caller re-checks its condition), -EINTR when a signal is pending for an
// interruptible sleep, -ETIMEDOUT past the deadline. The caller did might_sleep().
int sleep_on_word(volatile int* word, int expected, bool interruptible, int64_t deadline_ns);

// The calling thread has just slept or yielded: cond_resched counts its time slice from now.
void slice_restarted();

// Deadline in host ns for a timeout in jiffies (<0: none).
int64_t deadline_after_jiffies(long timeout);
// Jiffies left until the deadline, at least 0.
long jiffies_until(int64_t deadline_ns);

// Task table (pid -> task) operations used by kernel_thread and signals.
task_struct* task_new(const char* comm, bool kthread);
void task_delete(task_struct* t);
// Makes t the calling thread's task (null: none).
void set_current_task(task_struct* t);
// Calls fn(t) with the task of that pid while it cannot go away; false when none.
bool with_task(pid_t pid, void (*fn)(task_struct*, void*), void* arg);

// The exception complete_and_exit throws to unwind a kernel thread to its trampoline.
struct ThreadExit {
  long code;
};

}  // namespace vk
