// Restore (a full image plus the incrementals after it, into one image) and verify
// (two images block by block). Neither needs the device.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace velloc::agent {

struct RestoreResult {
  std::vector<int> chain;         // rounds applied, the full one first
  uint64_t blocksApplied = 0;     // blocks written from incrementals
  uint64_t bytes = 0;             // size of the image
};

// Rebuilds the partition as it was at round `round` of backup directory `dir` into
// `out` (written as a temporary file, renamed when complete; an existing `out` is
// refused). Every file of the chain is checked against the manifest first. Throws
// AgentError naming the problem: missing round, broken chain, other partition, corrupt file.
RestoreResult restoreImage(const std::string& dir, int round, const std::string& out);

struct VerifyResult {
  bool same = false;
  uint64_t sizeA = 0, sizeB = 0;
  uint32_t blockSize = 0;
  uint64_t differing = 0;         // blocks that differ (within the common size)
  std::vector<uint64_t> first;    // the first differing block numbers
};

// Compares two image files block by block. Throws AgentError when one cannot be read.
VerifyResult verifyImages(const std::string& a, const std::string& b, uint32_t blockSize, size_t maxList = 10);
// Compares an image file with bytes in memory (the point-in-time truth).
VerifyResult verifyAgainst(const std::string& a, const uint8_t* truth, uint64_t bytes, uint32_t blockSize,
                           size_t maxList = 10);

}  // namespace velloc::agent

namespace velloc::agent {
// Checks the blocks stored in incremental round `round` of `dir` against `truth` (the
// whole partition at that snapshot): each changed block must equal the truth's.
VerifyResult verifyIncrement(const std::string& dir, int round, const uint8_t* truth, uint64_t bytes,
                             size_t maxList = 10);
}  // namespace velloc::agent
