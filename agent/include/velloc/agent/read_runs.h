// Which blocks one read command covers. A read names a run of adjacent blocks; when the
// blocks still to copy lie scattered, one command may span short gaps of blocks that are
// not wanted (already copied, or not part of this backup): the device reads those too and
// the agent drops them, which costs less than a command of its own per piece. What a
// spanned block holds does not matter, since it is never written out: the device gives
// the point-in-time contents only for the blocks of the loaded map that are not copied
// yet, and a run's wanted blocks are exactly those.
#pragma once
#include <cstdint>
#include <vector>

#include "velloc/agent/bitmap.h"

namespace velloc::agent {

struct ReadRun {
  uint32_t first = 0;  // first block of the command (a wanted one)
  uint32_t count = 0;  // blocks of the command; 0 when nothing is left
  // The wanted pieces, as (offset from first, length), in ascending order; they begin
  // at offset 0 and end at count.
  std::vector<std::pair<uint32_t, uint32_t>> wanted;
};

// The run starting at the first block of `todo` at or after `from`: at most maxRun
// blocks, taking in each following wanted piece whose gap to the previous one is at most
// maxGap blocks.
ReadRun planRun(const Bitmap& todo, uint32_t from, uint32_t maxRun, uint32_t maxGap);

}  // namespace velloc::agent
