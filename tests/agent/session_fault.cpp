// Puts the running backup session into an error state from outside, as the write path
// would: for agent tests that need a session failing at a moment no write can arrange
// (after the last read, when no block is protected any more).
#include <cstdint>

#include "vellib.h"

namespace agent_test {

bool failActiveSession(uint32_t state) {
  Backup* b = activeSession;  // stable while the round runs: only its own close clears it
  return b && velEnterErrorState(b, state);
}

}  // namespace agent_test
