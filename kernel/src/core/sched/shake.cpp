// The schedule shaker (machine/kernel.h). Each thread draws its decisions from its own
// generator, seeded from the run's seed and the order in which the thread first reached a
// point, so a seed repeats the same decision streams; which thread gets which stream, and
// where the host preempts on its own, still varies from run to run.
//
// PCT on real threads: nothing here decides which thread runs, so a thread of lower
// priority gives way instead: while a thread of higher priority passed a point within the
// last millisecond (it is runnable), the lower one sleeps at `intensity` percent of its
// points. The running thread drops below every other at `kDepth` points of the run drawn
// from the seed, as the algorithm's priority-change points do.
//
// Thread-safety: the configuration is set between runs (shake_set); everything a point
// touches is the thread's own state or relaxed atomics.
#include "src/core/sched/shake.h"

#include <linux/sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "src/core/sched/sched_point.h"

namespace vk::shake {
namespace {

constexpr int kSlots = 64;             // PCT priorities kept for this many threads
constexpr int kDepth = 3;              // priority drops per run
constexpr uint64_t kPctSpan = 400000;  // drops fall within the first this many points
constexpr int64_t kRecentNs = 1000000; // a thread seen this recently counts as runnable

uint64_t mix(uint64_t x) {  // splitmix64
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Slot {
  std::atomic<int> prio{0};
  std::atomic<int64_t> seen{0};
};

struct Global {
  std::atomic<int> mode{int(machine::ShakeMode::off)};
  std::atomic<uint64_t> seed{1};
  std::atomic<unsigned> intensity{2};
  std::atomic<uint64_t> generation{0};
  std::atomic<uint64_t> threads{0};
  std::atomic<uint64_t> points{0};
  std::atomic<uint64_t> actions{0};
  std::atomic<uint64_t> drop_at[kDepth];
  Slot slots[kSlots];
} g;

struct Mine {
  uint64_t generation = 0;
  uint64_t rng = 0;
  int slot = 0;
};
thread_local Mine t_mine;

uint64_t draw(Mine& m) { return m.rng = mix(m.rng); }

Mine& mine() {
  Mine& m = t_mine;
  uint64_t gen = g.generation.load(std::memory_order_acquire);
  if (m.generation != gen) {
    uint64_t ordinal = g.threads.fetch_add(1, std::memory_order_relaxed);
    m.generation = gen;
    m.rng = mix(g.seed.load(std::memory_order_relaxed) ^ mix(ordinal + 1));
    m.slot = int(ordinal % kSlots);
    // Distinct starting priorities above every dropped one (drops go to 1..kDepth).
    g.slots[m.slot].prio.store(int(kDepth + 1 + draw(m) % 1000000), std::memory_order_relaxed);
  }
  return m;
}

void sleep_us(uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

void random_point(Mine& m, unsigned intensity) {
  uint64_t r = draw(m) % 1000;
  if (r >= intensity * 10) return;
  g.actions.fetch_add(1, std::memory_order_relaxed);
  if (r & 1)
    std::this_thread::yield();
  else
    sleep_us(1 + draw(m) % 20);
}

void pct_point(Mine& m, unsigned intensity, uint64_t n) {
  Slot& me = g.slots[m.slot];
  for (int i = 0; i < kDepth; i++)
    if (g.drop_at[i].load(std::memory_order_relaxed) == n) {
      me.prio.store(kDepth - i, std::memory_order_relaxed);
      g.actions.fetch_add(1, std::memory_order_relaxed);
    }
  int64_t t = now_ns();
  me.seen.store(t, std::memory_order_relaxed);
  if (draw(m) % 100 >= intensity) return;
  int prio = me.prio.load(std::memory_order_relaxed);
  uint64_t used = std::min<uint64_t>(g.threads.load(std::memory_order_relaxed), kSlots);
  for (uint64_t s = 0; s < used; s++) {
    const Slot& o = g.slots[s];
    if (&o != &me && o.prio.load(std::memory_order_relaxed) > prio &&
        t - o.seen.load(std::memory_order_relaxed) < kRecentNs) {
      g.actions.fetch_add(1, std::memory_order_relaxed);
      sleep_us(2 + draw(m) % 50);
      return;
    }
  }
}

}  // namespace

bool on() { return g.mode.load(std::memory_order_relaxed) != int(machine::ShakeMode::off); }

void at_point(machine::Point) {
  auto mode = machine::ShakeMode(g.mode.load(std::memory_order_relaxed));
  if (mode == machine::ShakeMode::off) return;
  Mine& m = mine();
  uint64_t n = g.points.fetch_add(1, std::memory_order_relaxed) + 1;
  unsigned intensity = g.intensity.load(std::memory_order_relaxed);
  if (mode == machine::ShakeMode::random)
    random_point(m, intensity);
  else
    pct_point(m, intensity, n);
}

uint64_t seed_for(uint64_t salt) { return on() ? mix(g.seed.load(std::memory_order_relaxed) ^ mix(salt)) | 1 : 0; }

}  // namespace vk::shake

namespace machine {

void shake_set(const ShakeConfig& c) {
  using namespace vk::shake;
  g.mode.store(int(ShakeMode::off), std::memory_order_relaxed);
  g.seed.store(c.seed, std::memory_order_relaxed);
  g.intensity.store(std::min(c.intensity, 100u), std::memory_order_relaxed);
  g.threads.store(0, std::memory_order_relaxed);
  g.points.store(0, std::memory_order_relaxed);
  g.actions.store(0, std::memory_order_relaxed);
  for (int i = 0; i < kDepth; i++) g.drop_at[i].store(1 + mix(c.seed * 31 + i) % kPctSpan, std::memory_order_relaxed);
  for (Slot& s : g.slots) s.seen.store(0, std::memory_order_relaxed);
  g.generation.fetch_add(1, std::memory_order_release);
  g.mode.store(int(c.mode), std::memory_order_relaxed);
  vk::points_update();
}

ShakeConfig shake_get() {
  using namespace vk::shake;
  return ShakeConfig{ShakeMode(g.mode.load()), g.seed.load(), g.intensity.load()};
}

bool shake_parse(const std::string& text, ShakeConfig* out) {
  ShakeConfig c;
  std::string mode = text.substr(0, text.find(':'));
  if (mode == "off" && text == "off") return *out = c, true;
  if (mode == "random")
    c.mode = ShakeMode::random;
  else if (mode == "pct")
    c.mode = ShakeMode::pct;
  else
    return false;
  const char* p = text.c_str() + mode.size();
  if (*p == ':') {
    char* end = nullptr;
    c.seed = std::strtoull(p + 1, &end, 0);
    if (end == p + 1) return false;
    p = end;
  }
  if (*p == ':') {
    char* end = nullptr;
    unsigned long v = std::strtoul(p + 1, &end, 0);
    if (end == p + 1 || v > 100) return false;
    c.intensity = unsigned(v);
    p = end;
  }
  if (*p != 0) return false;
  *out = c;
  return true;
}

std::string shake_describe(const ShakeConfig& c) {
  if (c.mode == ShakeMode::off) return "off";
  return std::string(c.mode == ShakeMode::pct ? "pct" : "random") + ":" + std::to_string(c.seed) + ":" +
         std::to_string(c.intensity);
}

uint64_t shake_actions() { return vk::shake::g.actions.load(); }
uint64_t shake_points() { return vk::shake::g.points.load(); }

}  // namespace machine
