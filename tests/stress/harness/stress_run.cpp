// runSeed: see stress_run.h.
#include "stress_run.h"

#include <cstdio>
#include <cstdlib>

#include "machine/kernel.h"
#include "stress_agent.h"
#include "stress_shake.h"
#include "stress_world.h"

namespace velloc_stress {

uint64_t envU64(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}


RunResult runSeed(uint64_t seed, Figures& figures, unsigned watchdogSeconds, const machine::ShakeConfig& shake) {
  static const bool lineBuffered = [] { return setvbuf(stdout, nullptr, _IOLBF, 0) == 0; }();
  (void)lineBuffered;
  ShakenRun shaken(shakeFor(seed, shake));
  const std::string replay = "VELLOC_STRESS_SEED=" + std::to_string(seed) + shaken.replay();
  Watchdog dog("seed " + std::to_string(seed) + " (replay: " + replay + ")", watchdogSeconds);
  std::printf("[stress] seed %llu (replay: %s)\n", (unsigned long long)seed, replay.c_str());
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
    Rng extra(seed ^ 0x6661696c757265ull);
    int sessions = int(rng.range(2, 4));
    for (int i = 0; i < sessions && !failures.any(); i++) {
      std::this_thread::sleep_for(std::chrono::microseconds(rng.range(0, 5000)));
      SessionPlan plan = SessionPlan::random(rng, world);
      plan.addFailureScenarios(extra);
      agent.runSession(plan);
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
    r.report = "seed " + std::to_string(seed) + " failed (replay: " + replay + ")\n  world: " + spec.describe() + "\n" + failures.text();
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
