// The machine a seeded run works on: one memory disk with mounted partitions (backed up in
// turn, written through the file system all the time) and raw partitions (written and read
// with plain bios through the same request queue), the writer and reader threads, and the
// truths the oracle compares against.
//
// Truth: the freeze hook copies a mounted partition's bytes while the snapshot holds the
// file system frozen (no write in flight), numbering the freezes of that partition 1, 2, ...
// (its epoch). Each write records the epoch before it started and after it ended, so the
// writes made between two snapshots are known exactly. A shadow copy of every partition,
// updated by the owning writer after each successful write, must equal the disk at the end:
// no write got lost or reordered by the interception.
//
// Thread-safety: each writer owns disjoint chunks of its partition's shadow; the truth list
// and the write log have their own mutex; counters are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"
#include "stress_env.h"

namespace velloc_stress {

constexpr uint32_t kChunkBlocks = 8;  // writers own chunks of this many blocks

struct WorldSpec {
  struct FsSpec {
    uint32_t blockSize = 4096;
    uint64_t sectors = 4096;
    unsigned writers = 2;
    bool rawBios = false;  // its last writer writes and reads with bios of every kind
  };
  struct RawSpec {
    uint64_t sectors = 2048;
    unsigned writers = 1;
    unsigned readers = 1;
  };
  std::vector<FsSpec> fs;
  std::vector<RawSpec> raw;
  std::vector<int> order;        // partition slot i holds fs (k >= 0) or raw (-1 - k) part
  machine::DiskOptions disk;
  unsigned writerPauseUs = 100;  // writers sleep 0..this between writes
  unsigned readBackPercent = 10; // fs writes read back through the file system
  uint64_t seed = 1;

  // A random layout for seed (small partitions so many runs fit in little time).
  static WorldSpec random(uint64_t seed, Rng& rng);
  std::string describe() const;
};

struct WriteRec {
  uint32_t first, last;  // blocks
  uint32_t e0, e1;       // freeze epoch before / after
  uint64_t seq0, seq1;   // last kernel log record before / after
};

struct FsPart {
  int index = 0, partno = 0;
  uint32_t dev = 0, bs = 0, blocks = 0;
  uint64_t startByte = 0;
  machine::Mount* mnt = nullptr;
  machine::Disk* disk = nullptr;
  unsigned writers = 0;
  Bytes shadow;  // bytes as the writers left them
  std::vector<char> unknown;  // blocks whose last write failed (fault runs only)
  // The writer that bypasses the file system with bios of every request kind (-1: none).
  // A freeze does not hold its writes, so the freeze takes rawGate exclusively from before
  // the truth is copied until the thaw, and each of its bios holds it shared.
  int rawWriter = -1;
  std::shared_mutex rawGate;

  std::mutex mu;               // guards truths and log
  std::vector<Bytes> truths;   // truths[e-1]: bytes at freeze e
  std::vector<WriteRec> log;   // successful writes
  std::vector<WriteRec> failedLog;  // failed writes (fault runs): they may have been tracked
  // Writes submitted and not yet logged, by number: a freeze waits for a write in flight,
  // which is then tracked and on the disk before its writer can log it. e1 is kInFlight.
  std::map<uint64_t, WriteRec> inFlight;
  uint64_t writesStarted = 0;
  static constexpr uint32_t kInFlight = UINT32_MAX;
  std::atomic<uint32_t> epoch{0};

  uint64_t bytes() const { return uint64_t(blocks) * bs; }
  Bytes truth(uint32_t e);     // copy of truth e (1-based)
  // Blocks some write recorded entirely between freeze e0 and freeze e1.
  std::set<uint32_t> writtenBetween(uint32_t e0, uint32_t e1);
  // The recorded writes of block b, one line each (for failure reports).
  std::string writesOf(uint32_t b);
};

struct RawPart {
  int index = 0, partno = 0;
  uint32_t dev = 0;
  uint64_t startByte = 0, bytes = 0;
  uint64_t staticBytes = 0;  // [0, staticBytes) never written after set-up: readers check it
  unsigned writers = 0, readers = 0;
  Bytes shadow;
};

class World {
 public:
  World(const WorldSpec& spec, Failures& failures, Figures& figures);
  ~World();  // stops threads, unmounts, detaches

  // Attaches the disk, stamps every partition, mounts and installs the freeze hooks.
  bool setUp();
  void startThreads();
  void stopThreads();
  // Fault runs: each mounted partition's writers make `writes` writes each and stop
  // (joinBurst waits for them). A failed write is then allowed: its blocks become unknown
  // until a later write of the same writer succeeds.
  void startBurst(unsigned writes);
  void joinBurst();
  void tolerateWriteErrors(bool on) { tolerate_ = on; }
  // After stopThreads: every partition equals its shadow (and raw static parts their
  // stamp). Records failures.
  void checkShadows();
  // Unmounts and detaches (idempotent).
  void tearDown();

  std::vector<std::unique_ptr<FsPart>>& fs() { return fs_; }
  std::vector<std::unique_ptr<RawPart>>& raw() { return raw_; }
  machine::Disk* disk() const { return disk_; }
  const WorldSpec& spec() const { return spec_; }

 private:
  static void freezeHook(void* ctx);
  static int holdRawBios(void* ctx);
  static void releaseRawBios(void* ctx);
  // One write of the raw-bio writer (plain or with the read-ahead bit) or, with `back`, a
  // read (plain or read-ahead). 0 or -errno.
  int rawBio(FsPart* p, Rng& rng, uint64_t off, Bytes& buf, bool back);
  void fsWriter(FsPart* p, unsigned t, uint64_t seed, unsigned limit);
  void rawWriter(RawPart* p, unsigned t, uint64_t seed);
  void rawReader(RawPart* p, uint64_t seed);

  WorldSpec spec_;
  Failures& failures_;
  Figures& figures_;
  machine::Disk* disk_ = nullptr;
  std::vector<std::unique_ptr<FsPart>> fs_;
  std::vector<std::unique_ptr<RawPart>> raw_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> tolerate_{false};
  std::vector<std::thread> threads_;
  std::vector<std::thread> burst_;
  unsigned bursts_ = 0;
};

// Fills `out` with the stamp of partition `tag`: distinct bytes per 512-byte sector.
void stamp(Bytes& out, uint64_t tag);

}  // namespace velloc_stress
