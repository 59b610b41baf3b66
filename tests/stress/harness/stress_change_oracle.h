// The change map is exact: an incremental snapshot hands over a map in which every set
// block was written while the map could have seen it, that is by a write that had not
// ended before the earlier freeze and had started before the later one (a failed write
// counts: it may have been tracked before it failed). A map with every bit set passes the
// "nothing missed" checks; it does not pass this one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "stress_world.h"

namespace velloc_stress {

struct ChangeOracleFigures {
  std::atomic<uint64_t> maps{0}, blocksSet{0}, writesInInterval{0};
  std::string line() const;
};
extern ChangeOracleFigures g_changeOracle;

// "" when every block set in `changed` was written between freeze e0 and freeze e1 of `p`;
// otherwise what was over-reported, with the block's recorded writes.
std::string changeMapOverReports(FsPart& p, uint32_t e0, uint32_t e1, const std::vector<char>& changed);

}  // namespace velloc_stress
