// The backup flows of the agent: one round is one session on one partition, full or
// incremental, from opening the device to closing it.
//
//   open -> doStartBackup -> doGetState (buffer size) -> mmap two buffers
//   -> doGetAutoMapState (is the kept key still good?) -> [doNoLoadFromAutoMap]
//   -> doSnapShot (kept key, or none) -> doGetState (taken? a refused key leaves it started)
//   -> doGetAutoMapState (the key for next time) -> [doGetAutoMap: the change map]
//   -> [doReadBlocks of the file system's own records: which blocks it uses]
//   -> doLoadBlockMap (the blocks to copy) -> doReadBlocks in runs, doGetDirtyBlock
//   between runs -> munmap, close.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velloc.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/device.h"

namespace velloc::agent {

// The partition a backup copies, as the device describes it.
struct Target {
  uint32_t major = 0, minor = 0;
  uint32_t blockSize = 0;         // bytes, from doGetBlockSize
  uint32_t totalBlocks = 0;       // partition size / block size
  uint64_t partitionSizeKB = 0;
  std::string name;               // for messages ("sda1")
};

// Asks the device for the partition's block size and size; throws AgentError (no file
// system, unusable block size, ...) naming `name`.
Target describeTarget(AgentProcess& proc, uint32_t major, uint32_t minor, const std::string& name);

// The change-tracking key an agent keeps from one round to the next. Cleared when a
// round fails after its snapshot, because the device has moved on to a key the chain
// never recorded.
struct KeyKeeper {
  bool have = false;
  AMSessionKey key{};
  std::string lost;               // why the key was given up ("" when never had one)
  std::string digest() const;     // hex SHA-256 of the key, "" when none
};

// A run of bytes in host memory: one page of a transfer buffer, which the agent sees
// page by page (the pages behind a device mapping are not contiguous).
struct Piece {
  const uint8_t* data;
  size_t len;
};

// Receives the copied blocks: `count` consecutive blocks from `block`, blockSize each,
// as pieces in order. Called from one thread at a time (the pipeline's writer thread
// when overlapping).
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  virtual void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) = 0;
  // The same from one contiguous buffer.
  void write(uint32_t block, const uint8_t* data, uint32_t count, uint32_t blockSize) {
    write(block, std::vector<Piece>{{data, size_t(count) * blockSize}}, count);
  }
};

// What the snapshot gave: which blocks this round copies and why.
struct RoundPlan {
  bool incremental = false;
  std::string fallbackReason;     // why a full backup was taken; "" for incremental
  Bitmap blocks;                  // the blocks to copy: used (or all), for an incremental also changed
  // Whether only the blocks the file system used at the snapshot are copied, and why
  // every block is when not.
  bool usedOnly = false;
  std::string allBlocksReason;
  Bitmap used;                    // the file system's blocks in use at the snapshot (usedOnly)
  uint64_t changedBlocks = 0;     // incremental: blocks of the device's change map
  std::string presentedKeyDigest; // digest of the key presented ("" when none)
  std::string keyDigest;          // digest of the key to keep for the next round
};

struct BackupOptions {
  uint32_t cacheBlocks = 8192;    // maxCacheBlocks of the session
  // Copy every block, whether the file system uses it or not (a file system that is
  // not trusted, a forensic copy).
  bool allBlocks = false;
  bool wantIncremental = true;    // false: always full
  bool overlap = true;            // two buffers, device and sink on two threads
  bool drain = true;              // ask for dirty blocks between runs
  uint32_t drainBatch = 256;      // dirty blocks (each read with a run after it) between two runs at most
  // Blocks not to be copied that one read may span between two that are (read and
  // dropped), to save a command per scattered piece; 0: every read is one run of wanted
  // blocks.
  uint32_t maxGap = 16;
  // Progress of the copy: blocks done, blocks to do.
  std::function<void(uint64_t, uint64_t)> progress;
  // Called after the snapshot was taken and before the first block is read (tests,
  // and the demo's timing).
  std::function<void()> afterSnapshot;
};

struct RoundResult {
  RoundPlan plan;
  uint64_t blocksCopied = 0;      // blocks read and handed to the sink
  uint64_t drainedBlocks = 0;     // dirty blocks the device named that were read early
  uint64_t reads = 0;             // doReadBlocks commands
  double secondsTotal = 0;        // open to close
  double secondsCopy = 0;         // first read to last block written
  uint32_t blockSize = 0;
  uint32_t bufferBytes = 0;
};

// Runs one round on `target`. `makeSink` is called once the plan is known. Throws
// AgentError with a message for the user on any failure; the device handle is closed
// either way and `keys` is updated only on success.
RoundResult backupRound(AgentProcess& proc, const Target& target, KeyKeeper& keys,
                        const BackupOptions& opt,
                        const std::function<std::unique_ptr<BlockSink>(const RoundPlan&)>& makeSink);

}  // namespace velloc::agent
