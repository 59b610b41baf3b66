// The schedule shaker: its setting reads back as it prints (the line a failing run repeats
// from), a seed repeats its decisions, locks and atomics are points it acts at, and under
// PCT the thread of lower priority gives way to the one above it.
#include <atomic>
#include <thread>

#include "core_fixture.h"

#include <asm/atomic.h>
#include <linux/spinlock.h>

namespace {

struct ShakeOff {
  ~ShakeOff() { machine::shake_set({}); }
};

TEST(Shake, SettingReadsBackAsItPrints) {
  machine::ShakeConfig c;
  ASSERT_TRUE(machine::shake_parse("pct:77:9", &c));
  EXPECT_EQ(c.mode, machine::ShakeMode::pct);
  EXPECT_EQ(machine::shake_describe(c), "pct:77:9");
  ASSERT_TRUE(machine::shake_parse("random:5", &c));
  EXPECT_EQ(machine::shake_describe(c), "random:5:2");
  ASSERT_TRUE(machine::shake_parse("off", &c));
  EXPECT_EQ(c.mode, machine::ShakeMode::off);
  for (const char* bad : {"", "pct:", "pct:x", "random:1:101", "random:1:2:3", "fast:1", "off:1"})
    EXPECT_FALSE(machine::shake_parse(bad, &c)) << bad;
}

// One thread taking a lock and bumping an atomic: three points per lock round (before the
// wait, once held, before letting go) and one per atomic_inc.
uint64_t shakenActions(const machine::ShakeConfig& c, uint64_t* points) {
  uint64_t actions = 0;
  std::thread t([&] {
    machine::adopt_thread("shaken");
    spinlock_t lock;
    spin_lock_init(&lock);
    atomic_t n = ATOMIC_INIT(0);
    machine::shake_set(c);
    for (int i = 0; i < 2000; i++) {
      spin_lock(&lock);
      atomic_inc(&n);
      spin_unlock(&lock);
    }
    actions = machine::shake_actions();
    *points = machine::shake_points();
    machine::shake_set({});
  });
  t.join();
  return actions;
}

TEST(Shake, ASeedRepeatsItsDecisionsAtLocksAndAtomics) {
  ShakeOff off;
  uint64_t points = 0, again = 0;
  uint64_t a = shakenActions({machine::ShakeMode::random, 11, 10}, &points);
  EXPECT_EQ(points, 2000u * 4);
  EXPECT_GT(a, 400u);
  EXPECT_LT(a, 1200u);
  EXPECT_EQ(shakenActions({machine::ShakeMode::random, 11, 10}, &again), a);
  EXPECT_NE(shakenActions({machine::ShakeMode::random, 12, 10}, &again), a);
  EXPECT_EQ(shakenActions({machine::ShakeMode::random, 11, 0}, &again), 0u);
  EXPECT_EQ(shakenActions({}, &again), 0u);
  EXPECT_EQ(again, 0u) << "off, no point reaches the shaker";
}

TEST(Shake, UnderPctTheLowerPriorityThreadGivesWay) {
  ShakeOff off;
  machine::shake_set({machine::ShakeMode::pct, 3, 100});
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0};
  std::atomic<uint64_t> rounds[2] = {0, 0};
  auto spin = [&](int k) {
    machine::adopt_thread(k ? "second" : "first");
    atomic_t n = ATOMIC_INIT(0);
    atomic_inc(&n);  // both have a priority and were seen before either counts
    ready++;
    while (ready.load() < 2) std::this_thread::yield();
    while (!stop.load() && rounds[k].load() < 20000) {
      atomic_inc(&n);
      rounds[k]++;
    }
    stop = true;
  };
  std::thread a(spin, 0), b(spin, 1);
  a.join();
  b.join();
  uint64_t actions = machine::shake_actions(), points = machine::shake_points();
  machine::shake_set({});
  uint64_t hi = std::max(rounds[0].load(), rounds[1].load()), lo = std::min(rounds[0].load(), rounds[1].load());
  EXPECT_EQ(hi, 20000u);
  EXPECT_LT(lo * 2, hi) << "the lower thread ran " << lo << " rounds; actions " << actions << " points " << points;
}

}  // namespace
