// The fault sweep: the standard scenario (fault_scenario.h) runs once counting every call
// that can fail (allocators, thread creation, disk reads and writes, user copies), then
// again and again with the 1st, 2nd, ... such call failing, until a run injects nothing.
// After every run: no hang (a watchdog ends the process), answers and states among those
// the design gives, every write a writer was told succeeded is on the disk, a clean backup
// still works, and after close and unload nothing is left live and no kernel bug was seen.
//
//   VELLOC_FAULT_STRIDE=N   fail every N-th call only (CI picks a stride that keeps the
//                           sweep to VELLOC_FAULT_MAX_RUNS runs, default 300); 1 = all
//   VELLOC_FAULT_CALL=N     run the scenario once failing call N (replays one run)
#include <gtest/gtest.h>

#include <cstdio>

#include "fault_scenario.h"
#include "machine/kernel.h"
#include "stress_run.h"

namespace velloc_fault {
namespace {

struct SweepRun {
  bool ok = true;
  uint64_t calls = 0;     // fallible calls the scenario made
  uint64_t injected = 0;  // failures injected
  std::string report;
};

// One run: boot, set up (no faults), the scenario with call `failAt` failing (0: none),
// then faults off, a clean backup, shutdown and the leak check.
SweepRun runOnce(uint64_t failAt, Figures& figures, ScenarioFigures& sfig) {
  Watchdog dog("failing call " + std::to_string(failAt) + " (replay: VELLOC_FAULT_CALL=" + std::to_string(failAt) + ")",
               60);
  SweepRun out;
  Failures failures;
  WorldSpec spec;
  spec.seed = 7;
  spec.fs.push_back({4096, 512, 2});  // 256 KiB, 64 blocks of 4 KiB, two writers
  spec.order = {0};
  spec.disk.io_threads = 2;
  spec.writerPauseUs = 50;
  spec.readBackPercent = 10;
  StressEnv env;
  env.boot();
  World world(spec, failures, figures);
  world.tolerateWriteErrors(true);
  if (world.setUp()) {
    machine::fault_reset();
    if (failAt) machine::fault_fail_nth_any(failAt);
    runScenario(env, world, failures, sfig);
    world.joinBurst();
    out.calls = machine::fault_calls_any();
    out.injected = machine::fault_injected_count();
    machine::fault_reset();
    if (!failures.any()) runCleanBackup(env, world, failures, figures);
    if (!failures.any()) world.checkShadows();
  }
  std::string dmesg;
  env.shutdown(failures, [&] {
    if (failures.any()) dmesg = machine::log_dmesg();
    world.tearDown();
  });
  out.ok = !failures.any();
  if (!out.ok) {
    out.report = "failing call " + std::to_string(failAt) + " (replay: VELLOC_FAULT_CALL=" + std::to_string(failAt) +
                 "), " + std::to_string(out.injected) + " injected:\n" + failures.text();
    std::string path = "/tmp/velloc-fault-call-" + std::to_string(failAt) + ".log";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
      std::fputs(dmesg.c_str(), f);
      std::fclose(f);
      out.report += "  kernel log: " + path + "\n";
    }
  }
  return out;
}

TEST(FaultSweep, EveryFallibleCallOfTheScenarioFailsInTurn) {
  Figures figures;
  ScenarioFigures sfig;
  if (uint64_t only = envU64("VELLOC_FAULT_CALL", 0)) {
    SweepRun r = runOnce(only, figures, sfig);
    EXPECT_TRUE(r.ok) << r.report;
    std::printf("[fault] call %llu: %llu injected\n", (unsigned long long)only, (unsigned long long)r.injected);
    return;
  }
  SweepRun base = runOnce(0, figures, sfig);
  ASSERT_TRUE(base.ok) << "the scenario fails without any fault:\n" << base.report;
  ASSERT_GT(base.calls, 0u);
  const uint64_t maxRuns = envU64("VELLOC_FAULT_MAX_RUNS", 300);
  uint64_t stride = envU64("VELLOC_FAULT_STRIDE", 0);
  if (stride == 0) stride = std::max<uint64_t>(1, (base.calls + maxRuns - 1) / maxRuns);
  std::printf("[fault] the scenario makes %llu fallible calls; failing every %llu-th\n",
              (unsigned long long)base.calls, (unsigned long long)stride);

  uint64_t runs = 0, injected = 0, failed = 0;
  for (uint64_t n = 1;; n += stride) {
    SweepRun r = runOnce(n, figures, sfig);
    runs++;
    injected += r.injected;
    if (!r.ok) {
      failed++;
      ADD_FAILURE() << r.report;
      if (failed >= 5) break;
    }
    if (r.injected == 0) break;  // the scenario no longer reaches call n
  }
  std::printf("[fault] figures: calls=%llu stride=%llu runs=%llu injected=%llu failed_runs=%llu "
              "blocks_verified=%llu commands=%llu refused=%llu\n",
              (unsigned long long)base.calls, (unsigned long long)stride, (unsigned long long)runs,
              (unsigned long long)injected, (unsigned long long)failed, (unsigned long long)sfig.blocksVerified,
              (unsigned long long)sfig.commands, (unsigned long long)sfig.failedCommands);
}

}  // namespace
}  // namespace velloc_fault
