// runSeed: see stress_run.h.
#include "stress_run.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "machine/kernel.h"
#include "stress_agent.h"
#include "stress_world.h"

namespace velloc_stress {

uint64_t envU64(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

namespace {
// Every thread's stack on stderr, when gdb is at hand: what a hang was waiting for.
void dumpThreads() {
  std::string cmd = "command -v gdb >/dev/null && gdb -p " + std::to_string(getpid()) +
                    " -batch -ex 'thread apply all bt 30' 1>&2 2>/dev/null";
  int rc = std::system(cmd.c_str());
  (void)rc;
}

// Ends the process with the seed on the screen when a run hangs: a hang cannot be
// recovered from inside the process, and the seed is what replays it.
class Watchdog {
 public:
  Watchdog(uint64_t seed, unsigned seconds) {
    t_ = std::thread([this, seed, seconds] {
      std::unique_lock<std::mutex> l(mu_);
      if (!cv_.wait_for(l, std::chrono::seconds(seconds), [this] { return done_; })) {
        std::fprintf(stderr, "\n[stress] seed %llu HUNG for %u s; replay with VELLOC_STRESS_SEED=%llu\n%s\n",
                     (unsigned long long)seed, seconds, (unsigned long long)seed, machine::log_dmesg().c_str());
        dumpThreads();
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(mu_);
      done_ = true;
    }
    cv_.notify_all();
    t_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread t_;
};
}  // namespace

RunResult runSeed(uint64_t seed, Figures& figures, unsigned watchdogSeconds) {
  static const bool lineBuffered = [] { return setvbuf(stdout, nullptr, _IOLBF, 0) == 0; }();
  (void)lineBuffered;
  Watchdog dog(seed, watchdogSeconds);
  std::printf("[stress] seed %llu (replay: VELLOC_STRESS_SEED=%llu)\n", (unsigned long long)seed,
              (unsigned long long)seed);
  std::fflush(stdout);
  Failures failures;
  Rng rng(seed);
  WorldSpec spec = WorldSpec::random(seed, rng);
  StressEnv env;
  env.boot();
  World world(spec, failures, figures);
  std::string plans;
  if (world.setUp()) {
    world.startThreads();
    StressAgent agent(env, world, failures, figures, rng.next());
    int sessions = int(rng.range(2, 4));
    for (int i = 0; i < sessions && !failures.any(); i++) {
      std::this_thread::sleep_for(std::chrono::microseconds(rng.range(0, 5000)));
      agent.runSession(SessionPlan::random(rng, world));
    }
    world.stopThreads();
    if (!failures.any()) world.checkShadows();
  }
  std::string dmesg;
  env.shutdown(failures, [&] {
    dmesg = machine::log_dmesg();
    world.tearDown();
  });
  figures.runs++;
  RunResult r;
  r.ok = !failures.any();
  if (!r.ok) {
    r.report = "seed " + std::to_string(seed) + " failed (replay: VELLOC_STRESS_SEED=" + std::to_string(seed) +
               ")\n  world: " + spec.describe() + "\n" + failures.text();
    std::string path = "/tmp/velloc-stress-seed-" + std::to_string(seed) + ".log";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
      std::fputs(dmesg.c_str(), f);
      std::fclose(f);
      r.report += "  kernel log: " + path + "\n";
    }
  }
  return r;
}

}  // namespace velloc_stress
