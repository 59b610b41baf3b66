// The hook behind the schedule points. A hook once set is never freed while the process
// runs: a thread that loaded it just before set_point_hook replaced it may still be calling
// it, and the handful of hooks a test run sets are not worth reclaiming.
#include "src/core/sched/sched_point.h"

#include <linux/sched.h>

#include <memory>
#include <mutex>
#include <vector>

#include "src/core/sched/shake.h"

bool vk_points_on;

void vk_point_atomic(const void* v) { vk::point_slow(machine::Point::atomic_rmw, "atomic_t", v); }

namespace vk {

namespace {
using Hook = std::function<void(const machine::PointEvent&)>;
const Hook* g_hook;  // atomics; never freed (see above)

void keep(Hook* h) {
  static std::mutex m;
  static std::vector<std::unique_ptr<Hook>> all;
  std::lock_guard<std::mutex> g(m);
  all.emplace_back(h);
}
}  // namespace

bool hook_set() { return __atomic_load_n(&g_hook, __ATOMIC_ACQUIRE) != nullptr; }

void points_update() { __atomic_store_n(&vk_points_on, hook_set() || shake::on(), __ATOMIC_RELAXED); }

void point_slow(machine::Point kind, const char* what, const void* object) {
  if (const Hook* h = __atomic_load_n(&g_hook, __ATOMIC_ACQUIRE)) {
    task_struct* t = get_current();
    (*h)(machine::PointEvent{kind, what, object, t ? t->comm : ""});
  }
  if (shake::on()) shake::at_point(kind);
}

}  // namespace vk

namespace machine {

const char* point_name(Point k) {
  static const char* const names[] = {"lock_acquire", "lock_release", "lock_acquired", "atomic_rmw",
                                      "wake_up",      "complete",     "schedule",      "bio_submit",
                                      "bio_complete", "user_copy"};
  static_assert(sizeof(names) / sizeof(names[0]) == size_t(Point::count));
  return k < Point::count ? names[int(k)] : "?";
}

void set_point_hook(std::function<void(const PointEvent&)> hook) {
  vk::Hook* h = nullptr;
  if (hook) {
    h = new vk::Hook(std::move(hook));
    vk::keep(h);
  }
  __atomic_store_n(&vk::g_hook, h, __ATOMIC_RELEASE);
  vk::points_update();
}

}  // namespace machine
