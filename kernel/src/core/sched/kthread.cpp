// Kernel threads: kernel_thread starts fn(arg) on a real host thread with its own task;
// the thread's end (return from fn, or complete_and_exit) frees the task.
//
// Thread-safety: the new task is fully built before its thread starts; afterwards only
// the thread itself touches its private part.
#include <linux/completion.h>
#include <linux/sched.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/sched/task_internal.h"

namespace {
void uncount(task_struct* t) {
  vk::TaskPrivate* p = vk::task_private(t);
  if (p->kthread_counted) {
    p->kthread_counted = false;
    machine::live_add(machine::Obj::kthread, -1);
  }
}

// Runs on the new host thread: binds the task, runs the thread function, and frees the
// task when it ends either way.
void kthread_trampoline(void* arg) {
  auto* t = static_cast<task_struct*>(arg);
  vk::set_current_task(t);
  host::thread_set_name(t->comm);
  vk::TaskPrivate* p = vk::task_private(t);
  try {
    p->fn(p->arg);
  } catch (const vk::ThreadExit&) {
  }
  uncount(t);
  vk::set_current_task(nullptr);
  vk::task_delete(t);
}
}  // namespace

// Returns the new thread's pid (>0), or -ENOMEM (fault kind kernel_thread) or the host's
// negative errno. The child starts with the parent's name until it calls daemonize.
// Does not sleep.
int kernel_thread(int (*fn)(void*), void* arg, unsigned long flags) {
  if (machine::should_fail(machine::Fault::kernel_thread)) return -ENOMEM;
  task_struct* t = vk::task_new(get_current()->comm, true);
  vk::TaskPrivate* p = vk::task_private(t);
  p->fn = fn;
  p->arg = arg;
  p->kthread_counted = true;
  pid_t pid = t->pid;
  machine::live_add(machine::Obj::kthread, 1);
  int rc = host::thread_start(kthread_trampoline, t);
  if (rc < 0) {
    uncount(t);
    vk::task_delete(t);
    return rc == -EAGAIN ? -EAGAIN : -ENOMEM;
  }
  return pid;
}

// Names the calling thread (comm and the OS thread name) and cuts it off from user
// space: no mm, every signal ignored until allow_signal.
void daemonize(const char* name, ...) {
  task_struct* t = get_current();
  char buf[TASK_COMM_LEN];
  va_list ap;
  va_start(ap, name);
  vsnprintf(buf, sizeof buf, name, ap);
  va_end(ap);
  memcpy(t->comm, buf, sizeof buf);
  t->mm = nullptr;
  __atomic_store_n(&t->allowed_signals, 0ul, __ATOMIC_SEQ_CST);
  flush_signals(t);
  host::thread_set_name(buf);
}

// Completes comp (if any) and ends the calling kernel thread. From a thread that
// kernel_thread did not start it is a kernel bug (oops).
void complete_and_exit(struct completion* comp, long code) {
  task_struct* t = get_current();
  if (!t->is_kthread) {
    printk("<0>complete_and_exit called outside a kernel thread\n");
    BUG();
  }
  // The thread counts as gone before its waiter can run, so a waiter that checks the
  // live objects right after the completion sees none.
  uncount(t);
  if (comp) complete(comp);
  throw vk::ThreadExit{code};
}

namespace machine {
bool kthreads_wait_idle(unsigned timeout_ms) {
  int64_t end = host::monotonic_ns() + int64_t(timeout_ms) * 1000000;
  while (live(Obj::kthread) > 0) {
    if (host::monotonic_ns() >= end) return false;
    host::sleep_ns(1000000);
  }
  return true;
}
}  // namespace machine
