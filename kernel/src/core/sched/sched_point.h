// Schedule points (machine/kernel.h): each stand-in service that a real kernel could switch
// tasks around calls point() at that place. With no hook set and the shaker off this is a
// relaxed load and a branch predicted not taken.
#pragma once
#include <asm/atomic.h>

#include "machine/kernel.h"

namespace vk {

void point_slow(machine::Point kind, const char* what, const void* object);

inline void point(machine::Point kind, const char* what, const void* object) {
  if (__builtin_expect(__atomic_load_n(&vk_points_on, __ATOMIC_RELAXED), 0)) point_slow(kind, what, object);
}

// Points are on while a hook is set or the shaker runs; each of those calls this when it
// changes.
void points_update();
bool hook_set();

}  // namespace vk
