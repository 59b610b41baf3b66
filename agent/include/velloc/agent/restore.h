// Restore (a full image plus the incrementals after it, into one image) and verify
// (two images block by block). Neither needs the device.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "velloc/agent/bitmap.h"

namespace velloc::agent {

struct RestoreResult {
  std::vector<int> chain;         // rounds applied, the full one first
  uint64_t blocksApplied = 0;     // blocks the incrementals of the chain hold
  uint64_t bytes = 0;             // size of the image
  uint64_t written = 0;           // bytes written (a file leaves blocks of zeros as holes)
};

// Rebuilds the partition as it was at round `round` of backup directory `dir` into
// `out`. A file is written under a partial name and renamed when complete, with blocks
// of zeros left as holes; an existing file is refused. A block device is written in
// place, refused when mounted or in use or smaller than the partition. Every file of
// the chain is checked against the manifest first. Throws AgentError naming the
// problem: missing round, broken chain, other partition, corrupt file.
RestoreResult restoreImage(const std::string& dir, int round, const std::string& out);
// The same image written to `out` in order (standard output).
RestoreResult restoreToStream(const std::string& dir, int round, std::ostream& out);

// True when the whole block is zero.
bool isZeroBlock(const uint8_t* p, size_t len);
// True when the block device `dev` is mounted (in this process's mount namespace).
bool blockDeviceMounted(uint64_t dev);

struct VerifyResult {
  bool same = false;
  uint64_t sizeA = 0, sizeB = 0;
  uint32_t blockSize = 0;
  uint64_t differing = 0;         // blocks that differ (within the common size)
  std::vector<uint64_t> first;    // the first differing block numbers
};

// Compares two image files block by block. Throws AgentError when one cannot be read.
VerifyResult verifyImages(const std::string& a, const std::string& b, uint32_t blockSize, size_t maxList = 10);
// Compares an image file with bytes in memory (the point-in-time truth): every block, or
// only those set in `only` (the blocks a round copied; the others are holes).
VerifyResult verifyAgainst(const std::string& a, const uint8_t* truth, uint64_t bytes, uint32_t blockSize,
                           size_t maxList = 10, const Bitmap* only = nullptr);

}  // namespace velloc::agent

namespace velloc::agent {
// Checks the blocks stored in incremental round `round` of `dir` against `truth` (the
// whole partition at that snapshot): each changed block must equal the truth's.
VerifyResult verifyIncrement(const std::string& dir, int round, const uint8_t* truth, uint64_t bytes,
                             size_t maxList = 10);
}  // namespace velloc::agent
