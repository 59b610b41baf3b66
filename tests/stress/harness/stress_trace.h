// Marks in the kernel log, so a failing run's log shows what the harness was doing between
// the module's own lines. Off unless VELLOC_STRESS_VERBOSE is set: the log is bounded and
// a busy writer would push the module's lines out.
#pragma once

#include <cstdint>

namespace velloc_stress {

bool traceOn();
// printk("<6>stress: ...") when tracing.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velloc_stress
