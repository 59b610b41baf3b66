// The agent side of a seeded run: backup sessions driven through the control device as a
// real agent drives them, each one checked against the truth the freeze hook took.
//
// The oracle, per session:
//  - every block a read delivers with result 0 equals the partition as it was while frozen
//    for this snapshot, whatever happened during the read (a session that fails while a
//    read is in flight must fail that read); with a block map loaded, this holds for the
//    first read of each block of the map, later reads come from the disk as it is then;
//  - an incremental change map holds every block whose bytes differ between the two
//    snapshots and every block a write touched entirely between them;
//  - a snapshot is incremental exactly when the partition's change tracking is in sync and
//    the agent presents its key; the key changes at every snapshot;
//  - results and states are among those the design gives for what the run did; a session
//    may die only in an error state the run could cause (the cache limit), never deliver
//    wrong data with success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stress_device.h"
#include "stress_env.h"
#include "stress_world.h"

namespace velloc_stress {

struct SessionPlan {
  enum class Mode { NoMap, MapAll, MapChanged, MapSubset };
  enum class Order { Sequential, Reverse, Shuffled };
  int part = 0;                 // index into World::fs()
  uint32_t cacheLimit = 0;
  bool noStartAutoMap = false;
  bool noLoadFromAutoMap = false;
  bool wrongKeyFirst = false;
  Mode mode = Mode::NoMap;
  bool drain = false;
  Order order = Order::Sequential;
  uint32_t maxRun = 1;          // blocks per read at most
  unsigned gap = 0;             // unwanted blocks a run may span
  unsigned mapPercent = 100;    // buffer pages mapped, percent of what the session allows
  bool twoMappings = false;
  int unloadAtRead = -1;        // another handle sends the unload command after this read
  int raceHandles = 0;          // more handles racing this one to start
  bool closeBeforeUnmap = false;
  bool syncMid = false;
  bool reread = false;          // NoMap: read some blocks a second time
  bool toggleCompletion = false;
  // Drawn by addFailureScenarios only (hand-made plans leave them off):
  bool failFreezeFirst = false;  // the first snapshot cannot freeze; then retried,
  bool retryWithKey = false;     // presenting the key the device holds now, or not
  bool failMidRead = false;      // a cache so small that the session dies while reading
  bool secondStart = false;      // a start sent again on the running handle

  static SessionPlan random(Rng& rng, World& world);
  // From a generator of its own, so that the plans drawn by `random` stay as they were.
  void addFailureScenarios(Rng& extra);
  std::string describe() const;
};

class StressAgent {
 public:
  StressAgent(StressEnv& env, World& world, Failures& failures, Figures& figures, uint64_t seed);
  // One session from open to close. Stops early (recording why) on a failure.
  void runSession(const SessionPlan& plan);

 private:
  struct Tracking {               // the agent's knowledge of one partition's change tracking
    AMSessionKey key{};           // key read back after the last snapshot
    uint32_t lastEpoch = 0;       // freeze of the last snapshot (0: none)
    bool expectInSync = false;    // nothing happened that may have dropped the tracking
  };
  struct Mapping {
    uint32_t addr = 0;
    size_t bytes = 0;
    uint32_t blocks = 0;          // blocks one read may put in it
  };

  void fail(const std::string& what);
  bool readAndCheck(Dev& h, FsPart& p, const Mapping& m, uint32_t start, uint32_t n, const Bytes& truth,
                    std::vector<char>& pending, bool verifyAll, bool& dead);

  StressEnv& env_;
  World& world_;
  Failures& failures_;
  Figures& figures_;
  Rng rng_;
  std::vector<Tracking> track_;
  int sessionNo_ = 0;
  std::string where_;             // prefix of failure messages: session and plan
  bool limitedCache_ = false;
};

}  // namespace velloc_stress
