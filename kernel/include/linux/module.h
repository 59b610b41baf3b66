/* Modules. The one module linked into a program defines __this_module through
 * MODULE_LICENSE and its entry points through module_init/module_exit; the program loads
 * and unloads it with machine::module_load / machine::module_unload. */
#ifndef _VK_LINUX_MODULE_H
#define _VK_LINUX_MODULE_H
#include <linux/kernel.h>
#include <linux/init.h>
#include <asm/atomic.h>

enum module_state { MODULE_STATE_LIVE, MODULE_STATE_COMING, MODULE_STATE_GOING };

struct module {
  const char *name;
  volatile int state;       /* enum module_state */
  atomic_t refcnt;          /* references taken with try_module_get */
  struct task_struct *waiter; /* task waiting in unload for the references to go */
  int (*init)(void);
  void (*exit)(void);
};

/* 1 and a reference taken, or 0 (nothing taken) when the module is being unloaded. */
int try_module_get(struct module *mod);
/* Drops a reference; wakes the unloading task when the module is going. */
void module_put(struct module *mod);
unsigned int module_refcount(struct module *mod);
void __module_get(struct module *mod);

extern "C" struct module __this_module;
#define THIS_MODULE (&__this_module)
#define MODULE_LICENSE(l) \
  extern "C" { struct module __this_module = {KBUILD_MODNAME, MODULE_STATE_COMING, {0}, nullptr, nullptr, nullptr}; }
#define MODULE_DESCRIPTION(d)
#define MODULE_AUTHOR(a)
#define MODULE_VERSION(v)
/* The entry points are recorded in __this_module when the program starts. */
#define module_init(fn) \
  static int __module_init_registrar = ((__this_module.init = (fn)), 0);
#define module_exit(fn) \
  static int __module_exit_registrar = ((__this_module.exit = (fn)), 0);
#ifndef KBUILD_MODNAME
#define KBUILD_MODNAME "module"
#endif
#endif
