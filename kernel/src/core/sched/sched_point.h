// Schedule points (machine/kernel.h): each stand-in service that a real kernel could switch
// tasks around calls point() at that place. With no hook set this is a relaxed load and a
// branch predicted not taken.
#pragma once
#include "machine/kernel.h"

namespace vk {

extern bool g_points_on;  // a hook is set (relaxed atomics)
void point_slow(machine::Point kind, const char* what, const void* object);

inline void point(machine::Point kind, const char* what, const void* object) {
  if (__builtin_expect(__atomic_load_n(&g_points_on, __ATOMIC_RELAXED), 0)) point_slow(kind, what, object);
}

}  // namespace vk
