// A partition of an attached image mounted as a real file system of the host: the
// partition is served through FUSE as a file, a loop device (direct I/O) sits on that
// file, and the host's ext4 is mounted from the loop device at a directory of the
// user's choice. Real programs write there; every write the host's ext4 issues becomes
// bios on the stand-in's partition. The stand-in's mount of the partition freezes the
// host's file system for a snapshot.
//
// Each run records what it set up under a state directory, step by step, so that a run
// after a crash (or `velloc live` with nothing else to do) can take down what was left.
#pragma once
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "velloc/agent/host.h"

namespace machine {
class FuseDisk;
class HostFsFreezer;
}  // namespace machine

namespace velloc::agent {

// Why this machine cannot run a live mount ("not root", "/dev/fuse is missing", "no free
// loop device", "losetup not found"...), joined by "; ". Empty when it can.
std::string liveMachineProblems();
// Throws AgentError "velloc live needs root, /dev/fuse and a free loop device: ..." when
// liveMachineProblems() names any.
void requireLiveMachine();

// Where runs record what they set up: $VELLOC_LIVE_STATE_DIR, else /run/velloc-live.
std::string liveStateRoot();

// Takes down what runs that are no longer alive left behind, for each in order: thaws
// their file system, unmounts it, detaches their loop device, unmounts their FUSE
// directory. Each step taken or failed is reported in `log` (one line each). Returns
// the number of dead runs whose leftovers could not all be removed.
int cleanupDeadLiveRuns(std::ostream& log);

class LiveMount {
 public:
  // Sets everything up (see above) for partition `partno` of `host`, mounted at
  // `mountDir` (an existing empty directory that is not a mount point). Throws
  // AgentError naming the step that failed, after undoing the steps before it.
  // `note` receives progress lines for a person (may be empty).
  LiveMount(Host& host, int partno, const std::string& mountDir, std::function<void(const std::string&)> note = {});
  // Tears down (see teardown()); errors go to the note function.
  ~LiveMount();
  LiveMount(const LiveMount&) = delete;
  LiveMount& operator=(const LiveMount&) = delete;

  // Thaws, unmounts (waiting up to `busyWaitSeconds` for programs still using the
  // mount), detaches the loop device and unmounts FUSE, in that order; stops at the first
  // step that fails, since each later step would pull the ground from under the earlier
  // one. Returns the problems (empty when all is gone). Safe to call twice.
  std::vector<std::string> teardown(double busyWaitSeconds = 30);

  const std::string& mountDir() const { return mountDir_; }
  const std::string& loopDevice() const { return loop_; }
  const std::string& fuseFile() const { return fuseFile_; }
  const std::string& stateDir() const { return stateDir_; }
  machine::HostFsFreezer& freezer() { return *freezer_; }
  const machine::FuseDisk& fuse() const { return *fuse_; }

 private:
  void saveState();
  void note(const std::string& s) const {
    if (note_) note_(s);
  }
  Host& host_;
  int partno_;
  std::string mountDir_;
  std::function<void(const std::string&)> note_;
  std::string stateDir_, fuseDir_, fuseFile_, loop_;
  bool mounted_ = false;
  std::unique_ptr<machine::FuseDisk> fuse_;
  std::unique_ptr<machine::HostFsFreezer> freezer_;
};

}  // namespace velloc::agent
