// Test-only inspectors of the stand-in's internals. Nothing outside tests may use them.
#pragma once
#include <cstdint>

namespace machine::testing {
// Times a sleeper in down()/down_interruptible() came back from its sleep (any
// semaphore, since start). Lets a test see how many sleepers one up() woke.
uint64_t semaphore_wakeups();
}  // namespace machine::testing
