/* Completions as plain data: zero is "not completed". Thread-safety: both fields change
 * only with atomics; waiters sleep on `done`; complete*() are safe in any context. */
#ifndef _VK_LINUX_COMPLETION_H
#define _VK_LINUX_COMPLETION_H
#include <linux/kernel.h>

struct completion {
  volatile unsigned int done; /* completions not yet consumed */
  volatile int waiters;
};
#define COMPLETION_INITIALIZER(work) { 0, 0 }
#define DECLARE_COMPLETION(work) struct completion work = {0, 0}
void init_completion(struct completion *x);
#define INIT_COMPLETION(x) ((x).done = 0)
void wait_for_completion(struct completion *x); /* may sleep */
/* May sleep; returns the jiffies left (>0) or 0 on timeout. */
unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout);
int wait_for_completion_interruptible(struct completion *x);
void complete(struct completion *x);     /* any context: wakes one waiter */
void complete_all(struct completion *x); /* any context: wakes every waiter, now and later */
/* Completes `comp` and ends the calling kernel thread with `code`. */
[[noreturn]] void complete_and_exit(struct completion *comp, long code);
#endif
