// The lock of a backup directory: flock on DIR/lock, held by any command that writes
// the directory for as long as it writes. The holder records its pid in the file so a
// refused writer can name it. Readers (restore, check) take no lock: writers only ever
// add files and switch the manifest by one rename.
#pragma once
#include <string>

namespace velloc::agent {

class RepoLock {
 public:
  RepoLock() = default;
  // Locks `dir` for writing (creating DIR/lock, mode 0600, when missing). When another
  // process holds it, waits up to `waitSeconds` for it to let go, then throws AgentError
  // naming the holder's pid.
  static RepoLock acquire(const std::string& dir, double waitSeconds = 0);
  ~RepoLock();
  RepoLock(RepoLock&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  RepoLock& operator=(RepoLock&& o) noexcept;
  RepoLock(const RepoLock&) = delete;
  RepoLock& operator=(const RepoLock&) = delete;
  bool held() const { return fd_ >= 0; }
  void release();

  // The pid the holder of `dir`'s lock recorded; 0 when none can be read.
  static long holderOf(const std::string& dir);

 private:
  explicit RepoLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace velloc::agent
