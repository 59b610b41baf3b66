// Shared fixture of the stand-in core tests: every test starts with faults disarmed and
// the bug count at zero, and must leave no object of any kind behind.
#pragma once
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "machine/kernel.h"

namespace core_test {

// Polls pred until true or the timeout (tests never hang); returns pred's last value.
inline bool eventually(const std::function<bool()>& pred, int timeout_ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Reads a field that other threads change with atomics (kernel objects are plain data).
template <class T>
inline T ld(const volatile T& v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }

inline long my_tid() { return syscall(SYS_gettid); }

// True while the host thread sleeps in the OS (state S or D), e.g. in a futex wait.
inline bool os_asleep(long tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string s;
  std::getline(f, s);
  auto p = s.rfind(')');
  return p != std::string::npos && p + 2 < s.size() && (s[p + 2] == 'S' || s[p + 2] == 'D');
}

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine::fault_reset();
    machine::kernel_bug_reset();
    for (int i = 0; i < int(machine::Obj::count); ++i) base_[i] = machine::live(machine::Obj(i));
    log_start_ = machine::log_last_seq();
  }
  void TearDown() override {
    machine::fault_reset();
    EXPECT_TRUE(machine::kthreads_wait_idle(5000));
    for (int i = 0; i < int(machine::Obj::count); ++i)
      EXPECT_EQ(machine::live(machine::Obj(i)), base_[i]) << machine::obj_name(machine::Obj(i)) << " leaked";
  }
  // Records logged since the test started whose text contains needle.
  int logged(const std::string& needle) { return machine::log_count(needle, log_start_); }

  int64_t base_[int(machine::Obj::count)];
  uint64_t log_start_ = 0;
};

}  // namespace core_test
