/* Tasks and execution contexts. Every host thread that enters the stand-in has a
 * task_struct: agent threads (process context, with an mm), kernel threads made by
 * kernel_thread, other submitting threads, and I/O completion threads, which run with
 * in_interrupt() true. */
#ifndef _VK_LINUX_SCHED_H
#define _VK_LINUX_SCHED_H
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/spinlock.h>
#include <linux/completion.h>
#include <linux/wait.h>
#include <asm/atomic.h>

#define TASK_COMM_LEN 16
#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2

#define CLONE_FS 0x00000200
#define CLONE_FILES 0x00000400
#define CLONE_SIGHAND 0x00000800
#define CLONE_KERNEL (CLONE_FS | CLONE_FILES | CLONE_SIGHAND)
#define SIGCHLD_KT 17

struct mm_struct; /* a process's 32-bit address space (stand-in: machine/process.h) */

struct task_struct {
  volatile long state;
  pid_t pid;
  char comm[TASK_COMM_LEN];
  struct mm_struct *mm;          /* null for kernel threads and interrupt contexts */
  unsigned long allowed_signals; /* bit n-1 (the kernel's sigmask): signal n may be delivered */
  volatile unsigned long pending_signals;
  volatile int wake_seq;         /* futex word for wake_up_process / schedule */
  int preempt_count;             /* spin locks held, >0: atomic context */
  int irq_disabled;              /* interrupts off on this "CPU" */
  int in_irq;                    /* running as interrupt context (I/O completion) */
  int is_kthread;
  int io_submit_depth;           /* inside generic_make_request (nested submissions count) */
  void *host;                    /* the scheduler's private bookkeeping (signals, thread entry) */
};

/* Thread-safety: a task's fields are written by its own thread, except pending_signals,
 * state and wake_seq, which other threads change with atomics (signals, wake-ups).
 * A task is freed when its thread ends, so a pointer to another task is valid only while
 * the caller knows that thread is still alive (e.g. before its exit completion); a pid
 * (kill_proc) is always safe. */

/* The calling thread's task; created on first use for threads the stand-in did not start. */
struct task_struct *get_current(void);
/* `current` is an object rather than the kernel's macro so that host C++ headers, which
 * use the word as a member name, can share a translation unit with kernel headers. */
struct current_task_ref {
  struct task_struct *operator->() const { return get_current(); }
  operator struct task_struct *() const { return get_current(); }
};
inline constexpr current_task_ref current{};

/* Starts fn(arg) in a new kernel thread. Returns its pid (>0), or a negative errno. */
int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags);
/* Detaches the calling kernel thread from user space and names it (also visible to the OS). */
void daemonize(const char *name, ...) __attribute__((format(printf, 1, 2)));
void allow_signal(int sig);
void disallow_signal(int sig);
int signal_pending(struct task_struct *p);
void flush_signals(struct task_struct *p);
/* Delivers sig to the task with that pid if it allows it; wakes it. 0, or -ESRCH. */
int kill_proc(pid_t pid, int sig, int priv);
int send_sig(int sig, struct task_struct *p, int priv);
int wake_up_process(struct task_struct *p);
void set_current_state_fn(long state);
#define set_current_state(s) set_current_state_fn(s)
#define __set_current_state(s) set_current_state_fn(s)
/* Sleeps while current->state is not TASK_RUNNING and no wake_up_process came since the
 * state was set; with TASK_RUNNING it only yields. */
void schedule(void);
signed long schedule_timeout(signed long timeout);
int cond_resched(void);
void yield(void);

/* Context checks, in the manner of CONFIG_DEBUG_ATOMIC_SLEEP: a sleeping primitive called
 * in interrupt context or under a spin lock logs a "BUG: sleeping function called from
 * invalid context" report and counts it (machine::kernel_bug_count). */
void __might_sleep(const char *file, int line);
#define might_sleep() __might_sleep(__FILE__, __LINE__)
int in_interrupt(void);
int in_atomic(void);
int in_irq(void);

#include <linux/jiffies.h>
#define MAX_SCHEDULE_TIMEOUT 0x7fffffffL
#endif
