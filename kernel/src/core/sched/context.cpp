// Execution contexts: the preempt count that spin locks raise, the interrupt-disabled
// flag of the irqsave forms, interrupt context for I/O completions, and might_sleep(),
// which reports a sleeping call from any of them as CONFIG_DEBUG_ATOMIC_SLEEP does (it
// counts a kernel bug and goes on).
//
// Thread-safety: every field used here belongs to the calling thread's own task.
#include <linux/sched.h>
#include <linux/spinlock.h>

#include "machine/kernel.h"

int in_interrupt(void) { return get_current()->in_irq > 0; }
int in_irq(void) { return get_current()->in_irq > 0; }
int in_atomic(void) {
  task_struct* t = get_current();
  return t->preempt_count > 0 || t->in_irq > 0;
}
int irqs_disabled(void) { return get_current()->irq_disabled != 0; }

unsigned long local_irq_save_flags(void) {
  task_struct* t = get_current();
  unsigned long old = t->irq_disabled;
  t->irq_disabled = 1;
  return old;
}
void local_irq_restore_flags(unsigned long flags) { get_current()->irq_disabled = flags ? 1 : 0; }

void __might_sleep(const char* file, int line) {
  task_struct* t = get_current();
  if (!(t->preempt_count > 0 || t->in_irq > 0 || t->irq_disabled)) return;
  printk("<3>BUG: sleeping function called from invalid context at %s:%d\n", file, line);
  printk("<3>in_atomic():%d, irqs_disabled():%d, pid: %d, name: %s\n", in_atomic(), irqs_disabled(),
         t->pid, t->comm);
  machine::kernel_bug_add();
}

namespace machine {
void run_in_interrupt(const std::function<void()>& fn) {
  task_struct* t = get_current();
  ++t->in_irq;
  struct Leave {
    task_struct* t;
    ~Leave() { --t->in_irq; }
  } leave{t};
  fn();
}
}  // namespace machine
