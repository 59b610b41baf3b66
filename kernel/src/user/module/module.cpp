// Module references. A reference may only be taken while the module is not going; the
// unload path checks the count and marks the module going under the same lock, so no
// reference can slip in between (the kernel gets the same effect with stop_machine).
#include <linux/module.h>
#include <linux/sched.h>

#include "src/user/module/module_internal.h"

namespace vk {
RawLock module_ref_lock;
}

// 1 with a reference taken, 0 (nothing taken) while the module is going. A null module
// (built-in code) always succeeds. Never sleeps; any context.
int try_module_get(struct module *mod) {
  if (!mod) return 1;
  vk::RawGuard g(&vk::module_ref_lock);
  if (__atomic_load_n(&mod->state, __ATOMIC_ACQUIRE) == MODULE_STATE_GOING) return 0;
  atomic_inc(&mod->refcnt);
  return 1;
}

// Drops a reference; when the module is going, wakes the task waiting for the count to
// fall. Never sleeps; any context.
void module_put(struct module *mod) {
  if (!mod) return;
  atomic_dec(&mod->refcnt);
  if (unlikely(__atomic_load_n(&mod->state, __ATOMIC_ACQUIRE) == MODULE_STATE_GOING)) {
    struct task_struct *waiter = __atomic_load_n(&mod->waiter, __ATOMIC_ACQUIRE);
    if (waiter) wake_up_process(waiter);
  }
}

unsigned int module_refcount(struct module *mod) {
  return mod ? (unsigned int)atomic_read(&mod->refcnt) : 0;
}

// Takes a reference whatever the state; the caller already holds one.
void __module_get(struct module *mod) {
  if (mod) atomic_inc(&mod->refcnt);
}
