// Loading and unloading the one module linked into the program. __this_module is
// referenced weakly, so programs that link no module still link; for them load and
// unload report -ENOENT. Kept apart from the reference functions so that nothing else
// pulls this object (and its reference to __this_module) into a program.
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <machine/modules.h>

#include "src/user/module/module_internal.h"

#pragma weak __this_module

namespace {
DEFINE_MUTEX(module_mutex);  // serialises load and unload
bool loaded;                 // module_mutex
}  // namespace

namespace machine {

// Runs init with the module COMING (references may be taken already, as in the kernel);
// LIVE afterwards, or GOING when init failed. May sleep (init may).
int module_load() {
  struct module *mod = &__this_module;
  if (!mod) return -ENOENT;
  mutex_lock(&module_mutex);
  if (loaded) {
    mutex_unlock(&module_mutex);
    return -EEXIST;
  }
  __atomic_store_n(&mod->state, MODULE_STATE_COMING, __ATOMIC_RELEASE);
  int rc = mod->init ? mod->init() : 0;
  if (rc != 0) {
    __atomic_store_n(&mod->state, MODULE_STATE_GOING, __ATOMIC_RELEASE);
  } else {
    __atomic_store_n(&mod->state, MODULE_STATE_LIVE, __ATOMIC_RELEASE);
    loaded = true;
  }
  mutex_unlock(&module_mutex);
  return rc;
}

// -EBUSY while references are held; otherwise marks the module GOING (new
// try_module_get calls fail from here on) and runs exit. May sleep (exit may).
int module_unload() {
  struct module *mod = &__this_module;
  if (!mod) return -ENOENT;
  mutex_lock(&module_mutex);
  if (!loaded) {
    mutex_unlock(&module_mutex);
    return -ENOENT;
  }
  bool busy;
  {
    vk::RawGuard g(&vk::module_ref_lock);
    busy = atomic_read(&mod->refcnt) != 0;
    if (!busy) __atomic_store_n(&mod->state, MODULE_STATE_GOING, __ATOMIC_RELEASE);
  }
  if (busy) {
    mutex_unlock(&module_mutex);
    return -EBUSY;
  }
  if (mod->exit) mod->exit();
  loaded = false;
  mutex_unlock(&module_mutex);
  return 0;
}

bool module_loaded() {
  if (!&__this_module) return false;
  mutex_lock(&module_mutex);
  bool l = loaded;
  mutex_unlock(&module_mutex);
  return l;
}

}  // namespace machine
