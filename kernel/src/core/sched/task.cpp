// Tasks: every host thread that enters the stand-in has a task_struct. Threads that the
// stand-in did not start (test threads, agent threads, I/O completion threads) get one
// lazily from get_current(), freed when the thread ends; kernel threads get theirs from
// kernel_thread. A table maps pids to tasks for kill_proc.
//
// Thread-safety: g_table is guarded by g_table_lock (a raw lock, so any context may look
// a pid up); a task is removed from the table before it is freed, so a sender holding the
// lock never sees a freed task.
#include <cstring>
#include <new>
#include <unordered_map>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/raw_lock.h"
#include "src/core/sched/task_internal.h"

namespace vk {
namespace {
RawLock g_table_lock;
std::unordered_map<pid_t, task_struct*>* g_table;  // never freed: threads may outlive statics
pid_t g_next_pid = 100;                            // low pids look like the boot's own

thread_local task_struct* tls_task;

// Frees the lazily made task of a thread when the thread ends.
struct LazyOwner {
  task_struct* task = nullptr;
  bool ended = false;
  ~LazyOwner() {
    ended = true;
    if (task) {
      if (tls_task == task) tls_task = nullptr;
      task_delete(task);
    }
  }
};
thread_local LazyOwner tls_lazy;
}  // namespace

task_struct* task_new(const char* comm, bool kthread) {
  auto* t = new task_struct;
  memset(t, 0, sizeof *t);
  auto* p = new TaskPrivate{};
  t->host = p;
  t->state = TASK_RUNNING;
  t->is_kthread = kthread;
  // Process-context tasks take every signal; a kernel thread does until daemonize.
  t->allowed_signals = ~0ul;
  strncpy(t->comm, comm, TASK_COMM_LEN - 1);
  RawGuard g(&g_table_lock);
  if (!g_table) g_table = new std::unordered_map<pid_t, task_struct*>;
  t->pid = g_next_pid++;
  (*g_table)[t->pid] = t;
  return t;
}

void task_delete(task_struct* t) {
  {
    RawGuard g(&g_table_lock);
    if (g_table) g_table->erase(t->pid);
  }
  delete task_private(t);
  delete t;
}

void set_current_task(task_struct* t) { tls_task = t; }

bool with_task(pid_t pid, void (*fn)(task_struct*, void*), void* arg) {
  RawGuard g(&g_table_lock);
  if (!g_table) return false;
  auto it = g_table->find(pid);
  if (it == g_table->end()) return false;
  fn(it->second, arg);
  return true;
}

}  // namespace vk

// The calling thread's task, made on first use for threads the stand-in did not start.
// Never sleeps.
task_struct* get_current(void) {
  if (vk::tls_task) return vk::tls_task;
  char name[TASK_COMM_LEN];
  host::thread_get_name(name, sizeof name);
  task_struct* t = vk::task_new(name, false);
  vk::tls_task = t;
  // A thread in its own teardown cannot register an owner any more; its task is then
  // left to the process's end.
  if (!vk::tls_lazy.ended) vk::tls_lazy.task = t;
  return t;
}

namespace machine {
// Replaces the calling thread's task with a fresh one named `name` (process context,
// no mm). The old task is freed if the stand-in made it lazily.
void adopt_thread(const char* name) {
  task_struct* old = vk::tls_task;
  task_struct* t = vk::task_new(name, false);
  vk::tls_task = t;
  if (old && vk::tls_lazy.task == old) {
    vk::tls_lazy.task = nullptr;
    vk::task_delete(old);
  }
  if (!vk::tls_lazy.ended && !vk::tls_lazy.task) vk::tls_lazy.task = t;
  host::thread_set_name(name);
}
}  // namespace machine
