// The schedule shaker for one seeded run. VELLOC_SHAKE=MODE[:SEED[:INTENSITY]] (MODE random
// or pct) shakes every run of a program; without a seed each run shakes with its own stress
// seed. A test may ask for a mode itself; the environment wins so a printed failure repeats
// exactly. The run's setting goes into its replay line.
#pragma once

#include <cstdint>
#include <string>

#include "machine/kernel.h"

namespace velloc_stress {

// The setting for the run of `seed`: VELLOC_SHAKE if set, else `asked` (its seed 0: the
// stress seed). Exits the program on an unreadable VELLOC_SHAKE.
machine::ShakeConfig shakeFor(uint64_t seed, const machine::ShakeConfig& asked);

// Shakes from construction (before the disk is attached, so its engine completes out of
// order too) to destruction.
class ShakenRun {
 public:
  explicit ShakenRun(const machine::ShakeConfig& c) : c_(c) { machine::shake_set(c); }
  ~ShakenRun() { machine::shake_set({}); }
  bool on() const { return c_.mode != machine::ShakeMode::off; }
  // " VELLOC_SHAKE=pct:7:2" while on, "" otherwise: appended to the replay line.
  std::string replay() const { return on() ? " VELLOC_SHAKE=" + machine::shake_describe(c_) : ""; }

 private:
  machine::ShakeConfig c_;
};

}  // namespace velloc_stress
