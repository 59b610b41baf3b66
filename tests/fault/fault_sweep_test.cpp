// The fault sweep: the standard scenario (fault_scenario.h) runs once counting every call
// that can fail (allocators, thread creation, disk reads and writes, user copies), then
// again and again with the 1st, 2nd, ... such call failing, until a run injects nothing.
// After every run: no hang (a watchdog ends the process), answers and states among those
// the design gives, every write a writer was told succeeded is on the disk, a clean backup
// still works, and after close and unload nothing is left live and no kernel bug was seen.
//
// CI sweeps each kind of call on its own (the n-th kmalloc, the n-th bio, ...); `make soak`
// sweeps the single any-kind counter over every call.
//
//   VELLOC_FAULT_FULL=1     the any-kind sweep over every call (VELLOC_FAULT_STRIDE=N: every N-th)
//   VELLOC_FAULT_CALL=N     run the scenario once failing any-kind call N (replays one run)
//   VELLOC_FAULT_KIND=kmalloc VELLOC_FAULT_CALL=N   the same for the N-th call of one kind
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>

#include "fault_scenario.h"
#include "machine/kernel.h"
#include "stress_run.h"

namespace velloc_fault {
namespace {

struct SweepRun {
  bool ok = true;
  uint64_t calls = 0;     // fallible calls the scenario made
  uint64_t injected = 0;  // failures injected
  std::string byKind;     // calls of each kind
  uint64_t perKind[int(machine::Fault::count)] = {};
  std::string report;
};

// One run: boot, set up (no faults), the scenario with the fault `arm` sets (none if empty),
// then faults off, a clean backup, shutdown and the leak check.
SweepRun runOnce(const std::function<void()>& arm, const std::string& what, Figures& figures,
                 ScenarioFigures& sfig) {
  Watchdog dog("failing " + what, 60);
  SweepRun out;
  Failures failures;
  WorldSpec spec;
  spec.seed = 7;
  spec.fs.push_back({4096, 256, 2});  // 128 KiB, 32 blocks of 4 KiB, two writers
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
    if (arm) arm();
    runScenario(env, world, failures, sfig);
    world.joinBurst();
    out.calls = machine::fault_calls_any();
    for (int k = 0; k < int(machine::Fault::count); k++) out.perKind[k] = machine::fault_calls(machine::Fault(k));
    for (int k = 0; k < int(machine::Fault::count); k++) out.byKind += std::string(" ") + machine::fault_name(machine::Fault(k)) + "=" + std::to_string(machine::fault_calls(machine::Fault(k)));
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
    out.report = "failing " + what + ", " + std::to_string(out.injected) + " injected:\n" + failures.text();
    std::string path = "/tmp/velloc-fault-" + std::to_string(getpid()) + ".log";
    if (FILE* f = std::fopen(path.c_str(), "w")) {
      std::fputs(dmesg.c_str(), f);
      std::fclose(f);
      out.report += "  kernel log: " + path + "\n";
    }
  }
  return out;
}

struct Tally {
  uint64_t runs = 0, injected = 0, failed = 0;
};

// Fails the n-th call counted by `arm` for n = first, first+stride, ... until a run injects
// nothing (the scenario no longer reaches that call) or five runs have failed.
void sweep(const std::function<void(uint64_t)>& arm, uint64_t first, uint64_t stride, const std::string& what,
           Figures& figures, ScenarioFigures& sfig, Tally& t) {
  for (uint64_t n = first;; n += stride) {
    SweepRun r = runOnce([&] { arm(n); }, what + " #" + std::to_string(n) + " (replay: VELLOC_FAULT_KIND=" + what +
                         " VELLOC_FAULT_CALL=" + std::to_string(n) + ")", figures, sfig);
    t.runs++;
    t.injected += r.injected;
    if (!r.ok) {
      ADD_FAILURE() << r.report;
      if (++t.failed >= 5) return;
    }
    if (r.injected == 0) return;
  }
}

void printTally(const char* mode, uint64_t calls, const Tally& t, const ScenarioFigures& sfig) {
  std::printf("[fault] figures: mode=%s calls=%llu runs=%llu injected=%llu failed_runs=%llu blocks_verified=%llu "
              "commands=%llu refused=%llu\n",
              mode, (unsigned long long)calls, (unsigned long long)t.runs, (unsigned long long)t.injected,
              (unsigned long long)t.failed, (unsigned long long)sfig.blocksVerified,
              (unsigned long long)sfig.commands, (unsigned long long)sfig.failedCommands);
}

// CI: every call of each kind in turn (fail the n-th call of that kind); a kind with more
// than 1000 calls (the slab objects of the 4096-bucket cache table) is swept through its
// first 32 calls and then with a stride that keeps it to about 128 runs.
TEST(FaultSweep, EveryCallOfEachKindFailsInTurn) {
  if (envU64("VELLOC_FAULT_CALL", 0) || envU64("VELLOC_FAULT_FULL", 0)) GTEST_SKIP() << "replay / full sweep";
  // Under the sanitizers each run is several times slower: every kind gets a stride that
  // keeps it to about 40 runs, 8 under TSan (VELLOC_FAULT_PER_KIND overrides the limit).
  const uint64_t kAllUpTo = envU64("VELLOC_FAULT_PER_KIND", kThreadSanitized ? 8 : kSanitized ? 40 : 1000);
  Figures figures;
  ScenarioFigures sfig;
  SweepRun base = runOnce({}, "no fault", figures, sfig);
  ASSERT_TRUE(base.ok) << "the scenario fails without any fault:\n" << base.report;
  std::printf("[fault] the scenario makes %llu fallible calls:%s\n", (unsigned long long)base.calls,
              base.byKind.c_str());
  Tally t;
  for (int k = 0; k < int(machine::Fault::count) && t.failed < 5; k++) {
    const auto kind = machine::Fault(k);
    const uint64_t calls = base.perKind[k];
    if (calls == 0) continue;
    auto arm = [kind](uint64_t n) { machine::fault_fail_nth(kind, n); };
    if (calls <= kAllUpTo) {
      sweep(arm, 1, 1, machine::fault_name(kind), figures, sfig, t);
    } else if (!kSanitized) {
      for (uint64_t n = 1; n <= 32 && t.failed < 5; n++)
        sweep(arm, n, calls, machine::fault_name(kind), figures, sfig, t);  // one run each
      sweep(arm, 33, std::max<uint64_t>(1, calls / 128), machine::fault_name(kind), figures, sfig, t);
    } else {
      sweep(arm, 1, std::max<uint64_t>(1, calls / kAllUpTo), machine::fault_name(kind), figures, sfig, t);
    }
  }
  printTally("per-kind", base.calls, t, sfig);
}

// Soak (`make soak`): the any-kind sweep over every call, VELLOC_FAULT_FULL=1.
TEST(FaultSweep, EveryFallibleCallOfTheScenarioFailsInTurn) {
  Figures figures;
  ScenarioFigures sfig;
  if (uint64_t only = envU64("VELLOC_FAULT_CALL", 0)) {
    const char* kindName = std::getenv("VELLOC_FAULT_KIND");
    int kind = -1;
    for (int k = 0; kindName && k < int(machine::Fault::count); k++)
      if (std::string(kindName) == machine::fault_name(machine::Fault(k))) kind = k;
    SweepRun r = runOnce(
        [only, kind] {
          if (kind >= 0)
            machine::fault_fail_nth(machine::Fault(kind), only);
          else
            machine::fault_fail_nth_any(only);
        },
        std::string(kind >= 0 ? kindName : "call") + " #" + std::to_string(only), figures, sfig);
    EXPECT_TRUE(r.ok) << r.report;
    std::printf("[fault] call %llu: %llu injected\n", (unsigned long long)only, (unsigned long long)r.injected);
    return;
  }
  if (!envU64("VELLOC_FAULT_FULL", 0)) GTEST_SKIP() << "set VELLOC_FAULT_FULL=1 (make soak)";
  SweepRun base = runOnce({}, "no fault", figures, sfig);
  ASSERT_TRUE(base.ok) << "the scenario fails without any fault:\n" << base.report;
  uint64_t stride = std::max<uint64_t>(1, envU64("VELLOC_FAULT_STRIDE", 1));
  std::printf("[fault] the scenario makes %llu fallible calls:%s; failing every %llu-th\n",
              (unsigned long long)base.calls, base.byKind.c_str(), (unsigned long long)stride);
  Tally t;
  sweep([](uint64_t n) { machine::fault_fail_nth_any(n); }, 1, stride, "call", figures, sfig, t);
  printTally("any-kind", base.calls, t, sfig);
}

}  // namespace
}  // namespace velloc_fault
