// One seeded run from boot to shutdown, and the settings the stress programs read from the
// environment.
//
//   VELLOC_STRESS_SEED=N     run only seed N (replays a failing run exactly as far as the
//                            scheduling allows: layout, plans and data follow from the seed)
//   VELLOC_STRESS_RUNS=N     number of seeded runs of the CI suite (default 200)
//   VELLOC_STRESS_BASE=N     first seed of the CI suite (default 1)
//   VELLOC_SOAK_SECONDS=N    the soak test runs fresh seeds until N seconds have passed
//   VELLOC_SHAKE=MODE[:SEED[:INTENSITY]]  shakes the schedule of every run (stress_shake.h)
#pragma once

#include <cstdint>
#include <string>

#include "machine/kernel.h"
#include "stress_env.h"

namespace velloc_stress {

struct RunResult {
  bool ok = true;
  std::string report;  // what failed, with the seed and how to replay it
};

// Boots the stand-in, builds the world of `seed`, runs its sessions, checks the shadows,
// shuts everything down and checks that nothing is left. Aborts the process (printing the
// seed) if the run does not end within `watchdogSeconds`. `shake`: the schedule shaker's
// setting for the run (its seed 0: the stress seed), unless VELLOC_SHAKE says otherwise.
RunResult runSeed(uint64_t seed, Figures& figures, unsigned watchdogSeconds = 120,
                  const machine::ShakeConfig& shake = {});

uint64_t envU64(const char* name, uint64_t fallback);

}  // namespace velloc_stress
