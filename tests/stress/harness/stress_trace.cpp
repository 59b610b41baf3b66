// Trace marks: see stress_trace.h. The only harness file that includes a kernel header.
#include "stress_trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "machine/kernel.h"

#include <linux/kernel.h>

namespace velloc_stress {

bool traceOn() {
  static const bool on = [] {
    const char* v = std::getenv("VELLOC_STRESS_VERBOSE");
    return v && *v && *v != '0';
  }();
  return on;
}

void trace(const char* fmt, ...) {
  if (!traceOn()) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  printk("<6>stress: %s\n", buf);
}

}  // namespace velloc_stress
