// Serving an attached disk to the host through FUSE: each partition (and the whole disk)
// appears as a file in a directory, and every read and write of such a file becomes bios
// on that partition's block device, sent with generic_make_request and waited for. A
// loop device on one of those files lets the host's own file systems run on the
// stand-in's disks, so whatever intercepts the disk's request queue sees exactly the
// writes the host's file system sends.
//
// Ordinary C++ (host side); never included by module code. Needs root and /dev/fuse.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"

struct fuse;  // libfuse's session

namespace machine {

struct FuseDiskFile {
  std::string name;          // "sda", "sda1", ...
  __kernel_dev_t dev = 0;    // the block device its I/O goes to
  uint64_t bytes = 0;        // file size: the device's size
};

// Counters since the server started, for reports and tests.
struct FuseDiskCounters {
  std::atomic<uint64_t> reads{0}, writes{0}, bytesRead{0}, bytesWritten{0}, flushes{0}, errors{0};
  std::atomic<uint64_t> unaligned{0};  // requests not on 512-byte boundaries
};

class FuseDisk {
 public:
  // Mounts a FUSE file system at `dir` (an existing empty directory) serving the whole
  // disk as `diskName` and partition n as `diskName` + n, and starts its threads. Null
  // with *err when FUSE refuses (no /dev/fuse, not permitted, `dir` unusable).
  static std::unique_ptr<FuseDisk> serve(Disk* d, const std::string& diskName, const std::string& dir,
                                         std::string* err);
  // Unmounts and stops the threads. Anything still holding a file open (a loop device)
  // loses it: detach it first. Bounded: a connection that does not end within a few
  // seconds of the unmount is aborted.
  ~FuseDisk();
  FuseDisk(const FuseDisk&) = delete;
  FuseDisk& operator=(const FuseDisk&) = delete;

  const std::string& dir() const { return dir_; }
  // Path of the file for partition n (0: the whole disk); empty when absent.
  std::string path(int partno) const;
  const FuseDiskCounters& counters() const { return counters_; }

  // The request handlers (called on FUSE's threads; public for the C callbacks).
  const FuseDiskFile* find(const char* path) const;
  const std::vector<FuseDiskFile>& files() const { return files_; }
  int read(const FuseDiskFile& f, char* buf, size_t len, uint64_t off);
  int write(const FuseDiskFile& f, const char* buf, size_t len, uint64_t off);
  int flush(const FuseDiskFile& f);

 private:
  FuseDisk() = default;
  void stop();
  std::string dir_;
  std::string diskName_;
  std::vector<FuseDiskFile> files_;
  FuseDiskCounters counters_;
  ::fuse* fuse_ = nullptr;
  std::thread loop_;
  std::atomic<bool> loopDone_{false};
  uint64_t connection_ = 0;  // the FUSE connection number (minor of the mount's st_dev)
};

}  // namespace machine
