// The standard scenario of the fault sweep: a full backup (start, snapshot under writers,
// load the block map, read with dirty-block draining, close), an incremental one (snapshot
// with the key, fetch the change map, load it, read, close) and the unload command from
// another handle. It runs to the end whatever fails on the way, and checks every answer
// against what the design allows after a failure: the result is one the command can give,
// the session state is one the design names and follows from the result, and every block a
// read delivers with result 0 in a working state equals the frozen partition.
#pragma once

#include <cstdint>
#include <string>

#include "stress_device.h"
#include "stress_env.h"
#include "stress_world.h"

namespace velloc_fault {

using namespace velloc_stress;

struct ScenarioFigures {
  uint64_t blocksVerified = 0;
  uint64_t commands = 0;
  uint64_t failedCommands = 0;  // commands that answered something other than 0
};

// Runs the scenario on the world's first mounted partition. Failures go to `failures`
// (each message names the step).
void runScenario(StressEnv& env, World& world, Failures& failures, ScenarioFigures& figures);

// A fault-free full backup afterwards: start (dropping whatever change tracking is left),
// snapshot under writers, read everything and compare. The module must still serve it.
void runCleanBackup(StressEnv& env, World& world, Failures& failures, Figures& figures);

}  // namespace velloc_fault
