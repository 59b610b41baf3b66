// Fault injection: every fallible service of the stand-in asks should_fail(kind) first.
// A test arms a kind (fail the n-th call, every call, or at random from a seed) or the
// single any-kind counter a fail-nth sweep uses; each injected failure is logged as
// "FAULT_INJECTION: failing <kind> call #n" and passes fault_breakpoint.
//
// Thread-safety: the arming state is guarded by g_lock, a raw lock that any context may
// take; the thread filter is called outside it. g_armed says whether anything (a kind,
// the any-kind counter, a filter) is armed: while nothing is, should_fail only counts the
// call in its thread's own counters, without the lock or a shared cache line, because it
// sits on every allocation and every disk request of the stand-in. Armed calls are
// counted under the lock, in g_locked.
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

#include "machine/kernel.h"
#include "src/core/lib/raw_lock.h"
#include "src/core/lib/thread_counters.h"

#include <linux/kernel.h>

namespace machine {

namespace {
constexpr int kKinds = int(Fault::count);

struct KindState {
  uint64_t nth_at = 0;    // fail when calls reaches this (0: disarmed)
  uint64_t from_at = 0;   // fail this call and every later one (0: disarmed)
  bool always = false;
  double probability = 0; // random failures when > 0
  uint64_t rng = 0;       // splitmix64 state, from the seed
};

struct FaultState {
  KindState kind[kKinds];
  uint64_t nth_any_at = 0;
  uint64_t injected = 0;
  std::shared_ptr<std::function<bool()>> filter;  // null: every thread counts
};

constexpr size_t kAny = kKinds;  // the any-kind slot of the counters

vk::RawLock g_lock;
FaultState g_state;
// Calls per kind and of any kind: unarmed ones in per-thread counters, armed ones in
// g_locked; what was counted at the last reset is g_base.
struct CallsTag;
using UnarmedCalls = vk::ThreadCounters<CallsTag, kKinds + 1>;
std::atomic<uint64_t> g_locked[kKinds + 1];
std::atomic<uint64_t> g_base[kKinds + 1];
std::atomic<bool> g_armed;  // g_state arms anything; written under g_lock

uint64_t counted(size_t i) { return uint64_t(UnarmedCalls::sum(i)) + g_locked[i].load(); }
uint64_t calls_since_reset(size_t i) { return counted(i) - g_base[i].load(); }

// Needs g_lock. Called after every change of the arming state.
void update_armed() {
  bool armed = g_state.nth_any_at != 0 || g_state.filter != nullptr;
  for (const KindState& s : g_state.kind) armed = armed || s.nth_at != 0 || s.from_at != 0 || s.always || s.probability > 0;
  g_armed.store(armed, std::memory_order_release);
}

uint64_t splitmix64(uint64_t* s) {
  uint64_t z = (*s += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

bool valid(Fault k) { return int(k) >= 0 && int(k) < kKinds; }
}  // namespace

const char* fault_name(Fault k) {
  static const char* const names[] = {"kmalloc",   "vmalloc",    "alloc_pages",   "slab",
                                      "bio",       "buffer_head", "kernel_thread", "disk_read",
                                      "disk_write", "copy_from_user", "copy_to_user",
                                      "register_chrdev"};
  static_assert(sizeof names / sizeof names[0] == size_t(Fault::count));
  return valid(k) ? names[int(k)] : "?";
}

void fault_fail_nth(Fault k, uint64_t n) {
  if (!valid(k)) return;
  vk::RawGuard g(&g_lock);
  KindState& s = g_state.kind[int(k)];
  s.nth_at = n ? calls_since_reset(size_t(k)) + n : 0;
  update_armed();
}

void fault_fail_from(Fault k, uint64_t n) {
  if (!valid(k)) return;
  vk::RawGuard g(&g_lock);
  g_state.kind[int(k)].from_at = n ? calls_since_reset(size_t(k)) + n : 0;
  update_armed();
}

void fault_fail_nth_any(uint64_t n) {
  vk::RawGuard g(&g_lock);
  g_state.nth_any_at = n ? calls_since_reset(kAny) + n : 0;
  update_armed();
}

void fault_fail_always(Fault k, bool on) {
  if (!valid(k)) return;
  vk::RawGuard g(&g_lock);
  g_state.kind[int(k)].always = on;
  update_armed();
}

void fault_fail_random(Fault k, double probability, uint64_t seed) {
  if (!valid(k)) return;
  vk::RawGuard g(&g_lock);
  KindState& s = g_state.kind[int(k)];
  s.probability = probability;
  s.rng = seed;
  update_armed();
}

uint64_t fault_calls(Fault k) { return valid(k) ? calls_since_reset(size_t(k)) : 0; }

uint64_t fault_calls_any() { return calls_since_reset(kAny); }

uint64_t fault_injected_count() {
  vk::RawGuard g(&g_lock);
  return g_state.injected;
}

void fault_reset() {
  std::shared_ptr<std::function<bool()>> old;
  {
    vk::RawGuard g(&g_lock);
    old = std::move(g_state.filter);
    g_state = FaultState{};
    for (size_t i = 0; i <= kAny; i++) g_base[i].store(counted(i));
    update_armed();
  }
  // `old` is destroyed here, outside the lock: the filter may own arbitrary state.
}

void fault_set_filter(std::function<bool()> filter) {
  auto f = filter ? std::make_shared<std::function<bool()>>(std::move(filter)) : nullptr;
  vk::RawGuard g(&g_lock);
  g_state.filter.swap(f);
  update_armed();
}

// Deliberately out of line and with a side effect the optimiser keeps: the one place
// every injected fault passes.
__attribute__((noinline)) void fault_breakpoint(Fault k, uint64_t call) {
  asm volatile("" : : "r"(int(k)), "r"(call) : "memory");
}

bool should_fail(Fault k) {
  if (!valid(k)) return false;
  if (__builtin_expect(!g_armed.load(std::memory_order_acquire), 1)) {
    UnarmedCalls::add(size_t(k), 1);
    UnarmedCalls::add(kAny, 1);
    return false;
  }
  std::shared_ptr<std::function<bool()>> filter;
  {
    vk::RawGuard g(&g_lock);
    filter = g_state.filter;
  }
  if (filter && !(*filter)()) return false;

  bool fail = false;
  uint64_t call;
  {
    vk::RawGuard g(&g_lock);
    KindState& s = g_state.kind[int(k)];
    g_locked[int(k)].fetch_add(1);
    g_locked[kAny].fetch_add(1);
    call = calls_since_reset(size_t(k));
    uint64_t call_any = calls_since_reset(kAny);
    // ">=": a call that raced with the arming on the unlocked path may have taken the
    // armed number; the next call fails in its place rather than none.
    if (s.nth_at && call >= s.nth_at) {
      fail = true;
      s.nth_at = 0;
    }
    if (g_state.nth_any_at && call_any >= g_state.nth_any_at) {
      fail = true;
      g_state.nth_any_at = 0;
    }
    if (s.always || (s.from_at && call >= s.from_at)) fail = true;
    if (s.probability > 0) {
      double r = double(splitmix64(&s.rng) >> 11) * 0x1.0p-53;
      if (r < s.probability) fail = true;
    }
    if (fail) {
      ++g_state.injected;
      update_armed();
    }
  }
  if (fail) {
    printk("<5>FAULT_INJECTION: failing %s call #%llu\n", fault_name(k), (unsigned long long)call);
    fault_breakpoint(k, call);
  }
  return fail;
}

}  // namespace machine
