// The kernel log ring, shared by printk, the bug reports and the machine::log_* API.
#pragma once
#include <cstddef>

namespace vk {
// Appends one record (text without "<N>" or newline). Any context; never sleeps.
void log_append(int level, const char* text, size_t len);
// Seconds since the stand-in started (the log's clock).
double log_uptime();
}  // namespace vk
