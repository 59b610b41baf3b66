// Signals, as a kernel thread sees them: a task takes only the signals it allows; a
// delivered signal is pending until flushed, makes interruptible sleeps return at once,
// and wakes the task from any interruptible sleep it is in.
//
// Thread-safety: allowed_signals and pending_signals are changed with atomics; senders
// reach a task either by pointer (the caller keeps it alive) or by pid under the task
// table's lock.
#include <linux/sched.h>

#include <climits>

#include "host/host.h"
#include "src/core/sched/task_internal.h"

namespace {
constexpr int kMaxSig = 64;

unsigned long sigbit(int sig) { return 1ul << (sig - 1); }

// Wakes t from whatever interruptible sleep it is in: the word it sleeps on (every
// sleeper of that word re-checks), and schedule() if it sleeps interruptibly there.
void signal_wake(task_struct* t) {
  long st = TASK_INTERRUPTIBLE;
  if (__atomic_compare_exchange_n(&t->state, &st, long(TASK_RUNNING), false, __ATOMIC_SEQ_CST,
                                  __ATOMIC_SEQ_CST)) {
    __atomic_add_fetch(&t->wake_seq, 1, __ATOMIC_SEQ_CST);
    host::futex_wake(&t->wake_seq, INT_MAX);
  }
  volatile int* w = __atomic_load_n(&vk::task_private(t)->waiting_on, __ATOMIC_SEQ_CST);
  if (w) host::futex_wake(w, INT_MAX);
}

struct SendArgs {
  int sig;
  int rc;
};
void send_by_pid(task_struct* t, void* a) {
  auto* s = static_cast<SendArgs*>(a);
  s->rc = send_sig(s->sig, t, 1);
}
}  // namespace

void allow_signal(int sig) {
  if (sig < 1 || sig > kMaxSig) return;
  __atomic_or_fetch(&get_current()->allowed_signals, sigbit(sig), __ATOMIC_SEQ_CST);
}

void disallow_signal(int sig) {
  if (sig < 1 || sig > kMaxSig) return;
  task_struct* t = get_current();
  __atomic_and_fetch(&t->allowed_signals, ~sigbit(sig), __ATOMIC_SEQ_CST);
  __atomic_and_fetch(&t->pending_signals, ~sigbit(sig), __ATOMIC_SEQ_CST);
}

int signal_pending(struct task_struct* p) {
  return __atomic_load_n(&p->pending_signals, __ATOMIC_SEQ_CST) != 0;
}

void flush_signals(struct task_struct* p) { __atomic_store_n(&p->pending_signals, 0ul, __ATOMIC_SEQ_CST); }

// Returns 0 (also when the task ignores sig), or -EINVAL for a bad number. Any context.
int send_sig(int sig, struct task_struct* p, int priv) {
  if (sig < 0 || sig > kMaxSig) return -EINVAL;
  if (sig == 0) return 0;
  if (!(__atomic_load_n(&p->allowed_signals, __ATOMIC_SEQ_CST) & sigbit(sig))) return 0;
  __atomic_or_fetch(&p->pending_signals, sigbit(sig), __ATOMIC_SEQ_CST);
  signal_wake(p);
  return 0;
}

// 0 when a task with that pid exists (the signal is delivered if allowed), else -ESRCH.
int kill_proc(pid_t pid, int sig, int priv) {
  if (sig < 0 || sig > kMaxSig) return -EINVAL;
  SendArgs a{sig, 0};
  if (!vk::with_task(pid, send_by_pid, &a)) return -ESRCH;
  return a.rc;
}
