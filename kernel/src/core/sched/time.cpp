// Time: jiffies from the host's tick-updated monotonic clock (HZ 1000), the wall clock,
// and delays.
//
// Thread-safety: stateless apart from the fixed boot moment.
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/time.h>

#include "host/block_host.h"
#include "host/host.h"
#include "src/core/sched/task_internal.h"

namespace {
int64_t boot_ns() {
  static const int64_t t0 = host::coarse_ns();
  return t0;
}
[[maybe_unused]] const int64_t g_boot_init = boot_ns();
}  // namespace

// The coarse clock moves in steps of the host's tick, as the kernel's jiffies do, and
// costs a read from memory instead of a full clock read at every wait's timeout check.
unsigned long get_jiffies(void) {
  return INITIAL_JIFFIES + (unsigned long)((host::coarse_ns() - boot_ns()) / (1000000000 / HZ));
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

// Sleeps at least msecs milliseconds and until jiffies have moved by msecs (they follow
// the host's tick, so they may lag the sleep by up to one tick), uninterruptibly. May sleep.
void msleep(unsigned int msecs) {
  might_sleep();
  unsigned long end = get_jiffies() + msecs;
  blkhost::wq_leave_plugs();
  host::sleep_ns(int64_t(msecs) * 1000000);
  while (time_before(get_jiffies(), end)) host::sleep_ns(1000000);
  vk::slice_restarted();
}

// Busy-waits usecs microseconds; any context.
void udelay(unsigned long usecs) {
  int64_t end = host::monotonic_ns() + int64_t(usecs) * 1000;
  while (host::monotonic_ns() < end) __builtin_ia32_pause();
}
