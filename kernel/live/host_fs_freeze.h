// Freezing a file system of the host (FIFREEZE/FITHAW on its mount point), for a
// stand-in mount whose real file system lives on the host: installed as the mount's
// freeze backend, it makes freeze_bdev freeze the real file system, so a snapshot sees
// it exactly as sync and freeze leave it on the device.
//
// The ioctls are made by a freezer process of its own (forked at construction, holding
// nothing but the mount point): a thaw writes through the device under the file system,
// which may be served by this very process (FUSE), and a process whose own thread waits
// on its own server can never finish dying. However this process ends (SIGKILL
// included), its FUSE connection ends with it and the freezer thaws what it froze.
//
// Every wait is bounded: a freeze that has not returned within the timeout is reported
// as failed, and if it completes later it is thawed at once.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <sys/types.h>

#include "machine/disk.h"

namespace machine {

class HostFsFreezer {
 public:
  // Opens the mount point (kept open: a freeze and thaw need it even if paths change)
  // and starts the freezer process. Throws std::runtime_error when either fails.
  HostFsFreezer(const std::string& mountDir, unsigned timeoutMs = 20000);
  ~HostFsFreezer();  // thaws if still frozen; the freezer process exits
  HostFsFreezer(const HostFsFreezer&) = delete;
  HostFsFreezer& operator=(const HostFsFreezer&) = delete;

  // 0, or -errno (-ETIMEDOUT when the freeze did not complete in time).
  int freeze();
  // Thaws when this object froze it; no-op otherwise. Never throws.
  void thaw();
  bool frozen() const { return frozen_.load(); }

  // Wall-clock times (seconds since the epoch) of the latest freeze: the call, the
  // moment it held, and the thaw. 0 until they happen.
  double lastFreezeCalled() const { return freezeCalled_.load(); }
  double lastFreezeHeld() const { return freezeHeld_.load(); }
  double lastThawed() const { return thawed_.load(); }
  int freezes() const { return freezes_.load(); }
  // The freezer process.
  pid_t freezerPid() const { return pid_; }

  // The backend that makes freeze_bdev/thaw_bdev on `m` freeze and thaw this file system.
  void attach(Mount* m);
  void detach();

  // Unfreezes whatever file system is mounted at `dir` (a freeze left by a run that died).
  // 0, -EINVAL when it was not frozen, or another -errno.
  static int thawPath(const std::string& dir);

 private:
  // Sends one command to the freezer and waits up to timeoutMs for its answer (under mu_).
  int command(char c, unsigned timeoutMs);
  std::string dir_;
  int fd_ = -1;
  int sock_ = -1;             // our end of the freezer's socket
  pid_t pid_ = -1;
  int late_ = 0;              // answers still owed for commands whose wait timed out (under mu_)
  unsigned timeoutMs_;
  Mount* mount_ = nullptr;
  std::mutex mu_;
  std::atomic<bool> frozen_{false};
  std::atomic<double> freezeCalled_{0}, freezeHeld_{0}, thawed_{0};
  std::atomic<int> freezes_{0};
};

}  // namespace machine
