// changeMapOverReports: see stress_change_oracle.h.
#include "stress_change_oracle.h"

#include <mutex>
#include <sstream>

namespace velloc_stress {

ChangeOracleFigures g_changeOracle;

std::string ChangeOracleFigures::line() const {
  std::ostringstream o;
  o << "change_maps_checked=" << maps << " changed_blocks_checked=" << blocksSet
    << " writes_checked_against_maps=" << writesInInterval;
  return o.str();
}

std::string changeMapOverReports(FsPart& p, uint32_t e0, uint32_t e1, const std::vector<char>& changed) {
  std::vector<char> mayBeSet(p.blocks, 0);
  uint64_t writes = 0, set = 0;
  {
    std::lock_guard<std::mutex> g(p.mu);
    auto mayHaveSet = [&](const WriteRec& w) {
      if (w.e1 < e0 || w.e0 >= e1) return;
      writes++;
      for (uint32_t b = w.first; b <= w.last && b < p.blocks; b++) mayBeSet[b] = 1;
    };
    for (const auto* log : {&p.log, &p.failedLog})
      for (const WriteRec& w : *log) mayHaveSet(w);
    for (const auto& [id, w] : p.inFlight) mayHaveSet(w);
  }
  for (uint32_t b = 0; b < p.blocks && b < changed.size(); b++) {
    if (!changed[b]) continue;
    set++;
    if (!mayBeSet[b])
      return "block " + std::to_string(b) + " is in the change map between freezes " + std::to_string(e0) + " and " +
             std::to_string(e1) + " but no write touched it then\n" + p.writesOf(b);
  }
  g_changeOracle.maps++;
  g_changeOracle.blocksSet += set;
  g_changeOracle.writesInInterval += writes;
  return "";
}

}  // namespace velloc_stress
