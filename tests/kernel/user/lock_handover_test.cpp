// A semaphore unit a driver keeps when its system call returns is handed over (a worker
// or a later call gives it back), not a lock around the caller's next calls: the lock-order
// checker stops counting it as held there.
#include <asm/semaphore.h>
#include <linux/mutex.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_driver.h"

using namespace machine;

namespace {

bool known(const char* from, const char* to) {
  auto deps = lock_check_dependencies();
  return std::find(deps.begin(), deps.end(), std::string(from) + " -> " + to) != deps.end();
}

TEST_F(DevTest, SemaphoreKeptPastTheSystemCallOrdersNothingAfterIt) {
  if (!lock_check_stats().enabled) GTEST_SKIP() << "lock-order checker off (built without VELLOC_LOCK_CHECK, or VELLOC_LOCK_CHECK=0)";
  struct semaphore inside_token, kept_token;
  init_MUTEX(&inside_token);
  init_MUTEX(&kept_token);
  struct mutex inside_lock, later_lock;
  mutex_init(&inside_lock);
  mutex_init(&later_lock);
  int fd = open_dev();
  ASSERT_GE(fd, 0);
  int bugs = kernel_bug_count();

  // Within one call a held unit orders what follows, as any lock does.
  tdrv::st->on_call = [&](unsigned long) {
    down(&inside_token);
    mutex_lock(&inside_lock);
    mutex_unlock(&inside_lock);
    return 0L;
  };
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kCall, 0), 0);
  EXPECT_TRUE(known(inside_token.dep_class, inside_lock.dep_class));

  // Kept past the return, it does not order the next call's locks.
  tdrv::st->on_call = [&](unsigned long) {
    down(&kept_token);
    return 0L;
  };
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kCall, 0), 0);
  tdrv::st->on_call = [&](unsigned long) {
    mutex_lock(&later_lock);
    mutex_unlock(&later_lock);
    return 0L;
  };
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kCall, 0), 0);
  EXPECT_FALSE(known(kept_token.dep_class, later_lock.dep_class));

  // So the opposite order elsewhere is no inversion.
  std::thread([&] {
    mutex_lock(&later_lock);
    up(&kept_token);
    down(&kept_token);
    mutex_unlock(&later_lock);
  }).join();
  EXPECT_EQ(kernel_bug_count(), bugs);
  up(&kept_token);
  up(&inside_token);
  tdrv::st->on_call = nullptr;
  EXPECT_EQ(sys_close(p, fd), 0);
}

}  // namespace
