// Files a run writes before they are complete. Each carries the writer's pid in its name
// (NAME.partial-PID) and is held under flock by its writer for as long as it exists, so
// a later run can tell the leftovers of a run that was killed outright (nobody holds
// the lock) from the files of a run that is still going. A directory being built holds
// the flock on its `lock` file instead.
//
// SIGINT, SIGTERM and SIGHUP, while an InterruptCleanup is alive, remove every tracked
// partial path and then end the process by that signal (the shell's status 128+signal).
#pragma once
#include <string>
#include <vector>

namespace velloc::agent {

// PATH.partial-PID for this process.
std::string partialName(const std::string& path);

// Removes the entries of `dir` named PREFIX...partial-PID (any name when `prefix` is
// empty) whose writer is gone: PID is not this process and nobody holds the entry's
// flock (a directory's: its `lock` file). Returns the names removed.
std::vector<std::string> removeDeadPartials(const std::string& dir, const std::string& prefix = "");

// Tracks one partial path for removal on an interrupting signal, for the guard's
// lifetime (the guard itself removes nothing).
class PartialGuard {
 public:
  PartialGuard() = default;
  explicit PartialGuard(const std::string& path, bool isDirectory = false);
  ~PartialGuard();
  PartialGuard(PartialGuard&& o) noexcept : slot_(o.slot_) { o.slot_ = -1; }
  PartialGuard& operator=(PartialGuard&& o) noexcept;
  PartialGuard(const PartialGuard&) = delete;
  PartialGuard& operator=(const PartialGuard&) = delete;
  // Stops tracking (the file is complete, or was removed).
  void release();

 private:
  int slot_ = -1;
};

// While alive, an interrupting signal removes the tracked partial paths and ends the
// process by that signal. Restores the previous handlers when it ends.
class InterruptCleanup {
 public:
  InterruptCleanup();
  ~InterruptCleanup();
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;
};

}  // namespace velloc::agent
