// Folding the oldest rounds of a backup directory into one full round, from the files
// already there (no read of the partition): `merge --upto N` makes round N a full round
// holding the partition as it was at N and drops the rounds before it; `prune --keep K`
// merges up to the oldest of the newest K rounds.
//
// Crash-safe in three steps: the new full round's file is written and renamed into
// place, the manifest is switched to the new list by one rename, then the files no
// round lists any more are removed. A crash before the switch leaves the old list and
// every old file; after it, the new list and its files; what is left over is removed by
// the next writer. The rounds after N still follow it: the merged round keeps N's key.
#pragma once
#include <cstdint>
#include <string>

namespace velloc::agent {

struct MergeResult {
  bool changed = false;           // false: nothing to fold
  int first = 0, upto = 0;        // the rounds folded
  int roundsDropped = 0;          // rounds no longer listed
  uint64_t bytesRead = 0;         // of the folded rounds' files
  uint64_t bytesBefore = 0, bytesAfter = 0;  // all round files, before and after
  double seconds = 0;
};

// Throws AgentError: no such round, damaged chain, directory locked by another writer.
MergeResult mergeRounds(const std::string& dir, int upto, double lockWaitSeconds = 0);
MergeResult pruneRounds(const std::string& dir, int keep, double lockWaitSeconds = 0);

}  // namespace velloc::agent
