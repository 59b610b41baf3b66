// The schedule shaker's side inside the stand-in (its controls are in machine/kernel.h).
#pragma once
#include "machine/kernel.h"

namespace vk::shake {

// True while the shaker runs (a relaxed load).
bool on();
// Called at every schedule point while on: may yield or sleep the calling thread.
void at_point(machine::Point kind);
// A seeded generator for a shaken run's other randomness (the disk engine's completion
// order): 0 while off, a value that follows from the seed and `salt` otherwise.
uint64_t seed_for(uint64_t salt);

}  // namespace vk::shake
