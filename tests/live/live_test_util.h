// Helpers for the tests that put the host's real ext4 on the stand-in's disks: the skip
// reason, scratch directories that are never removed while something is mounted in
// them, child processes with a bounded wait, and fresh partitioned images.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace livetest {

// Why live tests cannot run here ("" when they can): velloc live's own prerequisites,
// plus mkfs.ext4 and e2fsck.
std::string skipReason();

// Seconds since the epoch.
double wallNow();

// A scratch directory under /tmp, removed at the end unless something is still mounted
// in it (then it is left, and said so, rather than deleting through a mount).
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string sub(const std::string& name) const { return path_ + "/" + name; }
 private:
  std::string path_;
};

// True when some mount point lies at or under `dir`.
bool anythingMountedUnder(const std::string& dir);
// Loop devices whose backing file contains `needle` ("" when none).
std::string loopsBackedBy(const std::string& needle);

// An image of `bytes` with one MBR partition from 1 MiB to the end holding a fresh ext4
// with 4096-byte blocks. Returns "" or the reason it failed.
std::string makeExt4Image(const std::string& path, uint64_t bytes);

// A program started with its standard output going to a file and its standard error
// collected; killed (SIGKILL) and reaped by the destructor if still running.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& stdoutPath);
  ~Child();
  pid_t pid() const { return pid_; }
  void signal(int sig);
  // Waits up to ms for the program to end: its exit status (128 + signal when killed),
  // or -1 on timeout.
  int wait(int ms);
  bool running();
  // Waits up to ms until standard error holds `needle`; false on timeout or exit.
  bool waitForStderr(const std::string& needle, int ms);
  std::string stderrText();
 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int errFd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::string err_;
  std::atomic<bool> errClosed_{false};
};

// Runs a program to completion; its exit status (-1 when it could not start). The
// output is kept in *out when given.
int run(const std::vector<std::string>& argv, std::string* out = nullptr);

}  // namespace livetest
