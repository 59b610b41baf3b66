// The partition as it was at one round, read from that round's chain (the last full
// round at or before it and every incremental after it) without building the image
// first: block by block in ascending order, each from the newest round that holds it.
// Restore writes it to a file, a device or a pipe; merge writes it as a new full round.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"

namespace velloc::agent {

std::unique_ptr<RoundData> openRoundData(const Manifest& m, const std::string& dir, const RoundEntry& e);

class ChainImage {
 public:
  // Checks every file of the chain against the manifest first (present, checksum, same
  // partition, key chain); throws AgentError naming the first problem.
  ChainImage(const std::string& dir, int round);
  ~ChainImage();

  const Manifest& manifest() const { return m_; }
  std::vector<int> chain() const;
  uint64_t bytes() const { return uint64_t(m_.source.totalBlocks) * m_.source.blockSize; }
  // Blocks the incrementals of the chain hold (counted once per round).
  uint64_t incrementalBlocks() const;

  // Calls fn(first, count, data) for consecutive runs covering the whole partition in
  // order, at most maxRun blocks each; `data` holds count blocks.
  void forEachRun(uint32_t maxRun, const std::function<void(uint32_t, uint32_t, const uint8_t*)>& fn);

 private:
  std::string dir_;
  Manifest m_;
  std::vector<const RoundEntry*> chain_;
  std::vector<Bitmap> maps_;                  // per chain entry (empty for the full one)
  std::vector<std::unique_ptr<RoundData>> data_;
};

}  // namespace velloc::agent
