// What the schedule points cost while the shaker is off: the same loop through the
// stand-in's atomic_t (each read-modify-write passes a point) and through the compiler's
// atomics with no point, measured in turns within each iteration so drift hits both alike;
// and a spin lock round (three points) against the same round with the points switched on
// by a hook that does nothing (the price a test pays for hooking).
// Counters: ns_atomic_point, ns_atomic_raw  nanoseconds per increment
//           ratio                          ns_atomic_point / ns_atomic_raw (goal <= 1.05)
//           ns_lock_off, ns_lock_hooked    nanoseconds per lock/unlock pair
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <asm/atomic.h>
#include <linux/spinlock.h>
#include <machine/kernel.h>

namespace {

constexpr unsigned kOps = 1 << 16;

template <class F>
double seconds(F&& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_PointsOff(benchmark::State& state) {
  machine::adopt_thread("point_bench");
  atomic_t a = ATOMIC_INIT(0);
  volatile int raw = 0;
  spinlock_t lock;
  spin_lock_init(&lock);
  std::vector<double> ratios;
  double tp = 0, tr = 0, tl = 0, th = 0;
  uint64_t round = 0;
  auto withPoint = [&] {
    for (unsigned n = 0; n < kOps; n++) atomic_inc(&a);
  };
  auto noPoint = [&] {
    for (unsigned n = 0; n < kOps; n++) __atomic_add_fetch(&raw, 1, __ATOMIC_SEQ_CST);
  };
  auto lockLoop = [&] {
    for (unsigned n = 0; n < kOps; n++) {
      spin_lock(&lock);
      spin_unlock(&lock);
    }
  };
  for (auto _ : state) {
    double p, r;
    if (round++ % 2) {
      p = seconds(withPoint);
      r = seconds(noPoint);
    } else {
      r = seconds(noPoint);
      p = seconds(withPoint);
    }
    tp += p;
    tr += r;
    ratios.push_back(p / r);
    tl += seconds(lockLoop);
    machine::set_point_hook([](const machine::PointEvent&) {});
    th += seconds(lockLoop);
    machine::set_point_hook(nullptr);
  }
  if (round == 0) return;
  std::sort(ratios.begin(), ratios.end());
  double per = 1e9 / (double(round) * kOps);
  state.counters["ns_atomic_point"] = tp * per;
  state.counters["ns_atomic_raw"] = tr * per;
  state.counters["ratio"] = ratios[ratios.size() / 2];
  state.counters["ns_lock_off"] = tl * per;
  state.counters["ns_lock_hooked"] = th * per;
}
BENCHMARK(BM_PointsOff)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
