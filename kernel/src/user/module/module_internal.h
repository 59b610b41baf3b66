// Shared between the reference functions and the load/unload path.
#pragma once
#include "src/core/lib/raw_lock.h"

namespace vk {
// Orders try_module_get against unload's "no references, mark going" step.
extern RawLock module_ref_lock;
}
