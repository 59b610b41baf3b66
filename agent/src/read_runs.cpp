#include "velloc/agent/read_runs.h"

namespace velloc::agent {

ReadRun planRun(const Bitmap& todo, uint32_t from, uint32_t maxRun, uint32_t maxGap) {
  ReadRun r;
  const uint32_t size = todo.size();
  uint32_t first = todo.nextSet(from);
  if (first >= size || maxRun == 0) return r;
  r.first = first;
  uint64_t limit = uint64_t(first) + maxRun;  // one past the last block the run may take
  uint32_t at = first;
  for (;;) {
    uint32_t len = 0;
    while (at + uint64_t(len) < limit && at + len < size && todo.test(at + len)) ++len;
    r.wanted.emplace_back(at - first, len);
    uint32_t end = at + len;
    if (end >= limit || end >= size) break;
    uint32_t next = todo.nextSet(end);
    if (next >= size || next - end > maxGap || next >= limit) break;
    at = next;
  }
  r.count = r.wanted.back().first + r.wanted.back().second;
  return r;
}

}  // namespace velloc::agent
