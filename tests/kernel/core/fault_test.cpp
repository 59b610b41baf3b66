// Fault injection: fail-nth per kind and of any kind (with threads racing), always,
// seeded random runs that replay, the thread filter, and the breakpoint's log line.
#include <atomic>
#include <thread>
#include <vector>

#include "core_fixture.h"

#include <linux/mm.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>

using core_test::CoreTest;
using machine::Fault;

namespace {

class FaultInjection : public CoreTest {};

TEST_F(FaultInjection, FailNthFailsExactlyThatCall) {
  machine::fault_fail_nth(Fault::kmalloc, 3);
  void* p[5];
  for (auto& x : p) x = kmalloc(8, GFP_KERNEL);
  EXPECT_NE(p[0], nullptr);
  EXPECT_NE(p[1], nullptr);
  EXPECT_EQ(p[2], nullptr);
  EXPECT_NE(p[3], nullptr);
  EXPECT_NE(p[4], nullptr);
  for (auto& x : p) kfree(x);
  EXPECT_EQ(machine::fault_calls(Fault::kmalloc), 5u);
  EXPECT_EQ(machine::fault_injected_count(), 1u);
  EXPECT_EQ(logged("FAULT_INJECTION: failing kmalloc call #3"), 1);
  // n counts from the moment of arming.
  machine::fault_fail_nth(Fault::kmalloc, 1);
  EXPECT_EQ(kmalloc(8, GFP_KERNEL), nullptr);
  EXPECT_EQ(logged("failing kmalloc call #6"), 1);
}

// A persistent fault: from the n-th call on, every call of the kind fails until disarmed.
TEST_F(FaultInjection, FailFromFailsThatCallAndEveryLaterOne) {
  machine::fault_fail_from(Fault::kmalloc, 2);
  void* p[4];
  for (auto& x : p) x = kmalloc(8, GFP_KERNEL);
  EXPECT_NE(p[0], nullptr);
  EXPECT_EQ(p[1], nullptr);
  EXPECT_EQ(p[2], nullptr);
  EXPECT_EQ(p[3], nullptr);
  EXPECT_EQ(machine::fault_injected_count(), 3u);
  machine::fault_fail_from(Fault::kmalloc, 0);
  void* q = kmalloc(8, GFP_KERNEL);
  EXPECT_NE(q, nullptr);
  for (auto& x : p) kfree(x);
  kfree(q);
}

TEST_F(FaultInjection, FailNthAnyFailsOneCallAmongRacingThreads) {
  // A sweep's single counter over every kind: with four threads allocating at once,
  // exactly one call fails and it is the armed one.
  for (uint64_t n : {1u, 17u, 150u}) {
    machine::fault_reset();
    machine::fault_fail_nth_any(n);
    std::atomic<int> failures{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          if (t % 2) {
            void* p = kmalloc(32, GFP_KERNEL);
            if (!p) failures++;
            kfree(p);
          } else {
            struct page* pg = alloc_page(GFP_KERNEL);
            if (!pg) failures++;
            else __free_page(pg);
          }
        }
      });
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures, 1) << "n=" << n;
    EXPECT_EQ(machine::fault_calls_any(), 200u);
    EXPECT_EQ(machine::fault_injected_count(), 1u);
  }
}

TEST_F(FaultInjection, ArmingWhileThreadsAllocateFailsExactlyOneCall) {
  // Calls made while nothing is armed are counted without the lock; arming the any-kind
  // counter in the middle of their run still fails exactly one call, and every call is
  // counted once.
  std::atomic<bool> stop{false};
  std::atomic<long> made{0}, failures{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      while (!stop.load()) {
        void* p = kmalloc(16, GFP_KERNEL);
        made++;
        if (!p) failures++;
        kfree(p);
      }
    });
  while (made.load() < 2000) std::this_thread::yield();
  machine::fault_fail_nth_any(500);
  while (machine::fault_injected_count() == 0) std::this_thread::yield();
  long at_injection = made.load();
  while (made.load() < at_injection + 2000) std::this_thread::yield();
  stop = true;
  for (auto& t : ts) t.join();
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(machine::fault_injected_count(), 1u);
  EXPECT_EQ(machine::fault_calls(Fault::kmalloc), uint64_t(made.load()));
  EXPECT_EQ(machine::fault_calls_any(), uint64_t(made.load()));
}

TEST_F(FaultInjection, CountsOfEndedThreadsSurviveAndResetFromThere) {
  // Unarmed calls and live objects are counted per thread; threads that end give their
  // counters to the next ones. Allocated on short-lived threads, freed on others, racing:
  // every call is counted once and nothing is left live.
  machine::fault_calls(Fault::kmalloc);
  machine::fault_reset();
  int64_t live_before = machine::live(machine::Obj::kmalloc);
  constexpr int kRounds = 20, kThreads = 4, kEach = 300;
  for (int r = 0; r < kRounds; ++r) {
    std::vector<void*> made(kThreads * kEach);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) made[t * kEach + i] = kmalloc(24, GFP_KERNEL);
      });
    for (auto& t : ts) t.join();
    EXPECT_EQ(machine::live(machine::Obj::kmalloc), live_before + kThreads * kEach);
    ts.clear();
    for (int t = 0; t < kThreads; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) kfree(made[((t + 1) % kThreads) * kEach + i]);
      });
    for (auto& t : ts) t.join();
  }
  EXPECT_EQ(machine::live(machine::Obj::kmalloc), live_before);
  EXPECT_EQ(machine::fault_calls(Fault::kmalloc), uint64_t(kRounds * kThreads * kEach));
  EXPECT_EQ(machine::fault_calls_any(), uint64_t(kRounds * kThreads * kEach));
  machine::fault_reset();
  EXPECT_EQ(machine::fault_calls_any(), 0u);
  machine::fault_fail_nth(Fault::kmalloc, 2);
  std::thread([] {
    void* a = kmalloc(8, GFP_KERNEL);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(kmalloc(8, GFP_KERNEL), nullptr);
    kfree(a);
  }).join();
  EXPECT_EQ(logged("failing kmalloc call #2"), 1);
}

TEST_F(FaultInjection, AlwaysRandomAndReset) {
  machine::fault_fail_always(Fault::vmalloc, true);
  EXPECT_EQ(vmalloc(100), nullptr);
  EXPECT_EQ(vmalloc(100), nullptr);
  void* k = kmalloc(10, GFP_KERNEL);  // other kinds unaffected
  EXPECT_NE(k, nullptr);
  kfree(k);
  machine::fault_fail_always(Fault::vmalloc, false);
  void* v = vmalloc(100);
  EXPECT_NE(v, nullptr);
  vfree(v);

  auto run = [](uint64_t seed) {
    machine::fault_reset();
    machine::fault_fail_random(Fault::slab, 0.3, seed);
    std::vector<bool> pattern;
    kmem_cache_t* c = nullptr;
    while (!c) c = kmem_cache_create("fault_test_cache", 32, 0, 0, nullptr, nullptr);
    for (int i = 0; i < 64; ++i) {
      void* o = kmem_cache_alloc(c, GFP_KERNEL);
      pattern.push_back(o == nullptr);
      if (o) kmem_cache_free(c, o);
    }
    kmem_cache_destroy(c);
    return pattern;
  };
  auto a = run(42), b = run(42), c = run(43);
  EXPECT_EQ(a, b) << "a seed replays its run";
  EXPECT_NE(a, c);
  int fails = 0;
  for (bool f : a) fails += f;
  EXPECT_GT(fails, 5);
  EXPECT_LT(fails, 40);
  machine::fault_reset();
  EXPECT_EQ(machine::fault_injected_count(), 0u);
  EXPECT_EQ(machine::fault_calls_any(), 0u);
}

TEST_F(FaultInjection, FilterLimitsFaultsToChosenThreads) {
  static thread_local bool in_scenario = false;
  machine::fault_set_filter([] { return in_scenario; });
  machine::fault_fail_always(Fault::kmalloc, true);
  std::atomic<int> scenario_fails{0}, harness_fails{0};
  std::thread scenario([&] {
    in_scenario = true;
    for (int i = 0; i < 100; ++i)
      if (!kmalloc(8, GFP_KERNEL)) scenario_fails++;
  });
  std::thread harness([&] {
    for (int i = 0; i < 100; ++i) {
      void* p = kmalloc(8, GFP_KERNEL);
      if (!p) harness_fails++;
      kfree(p);
    }
  });
  scenario.join();
  harness.join();
  EXPECT_EQ(scenario_fails, 100);
  EXPECT_EQ(harness_fails, 0);
  EXPECT_EQ(machine::fault_calls(Fault::kmalloc), 100u) << "filtered calls are not counted";
  EXPECT_STREQ(machine::fault_name(Fault::copy_to_user), "copy_to_user");
}

}  // namespace
