// Time: jiffies from the host's monotonic clock (HZ 1000), the wall clock, and delays.
//
// Thread-safety: stateless apart from the fixed boot moment.
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/time.h>

#include "host/host.h"

namespace {
int64_t boot_ns() {
  static const int64_t t0 = host::monotonic_ns();
  return t0;
}
[[maybe_unused]] const int64_t g_boot_init = boot_ns();
}  // namespace

unsigned long get_jiffies(void) {
  return INITIAL_JIFFIES + (unsigned long)((host::monotonic_ns() - boot_ns()) / (1000000000 / HZ));
}

struct timespec current_kernel_time(void) {
  int64_t sec;
  long nsec;
  host::realtime(&sec, &nsec);
  struct timespec ts;
  ts.tv_sec = time_t(sec);
  ts.tv_nsec = nsec;
  return ts;
}

// Sleeps at least msecs milliseconds, uninterruptibly. May sleep.
void msleep(unsigned int msecs) {
  might_sleep();
  host::sleep_ns(int64_t(msecs) * 1000000);
}

// Busy-waits usecs microseconds; any context.
void udelay(unsigned long usecs) {
  int64_t end = host::monotonic_ns() + int64_t(usecs) * 1000;
  while (host::monotonic_ns() < end) __builtin_ia32_pause();
}
