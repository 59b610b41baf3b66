// The host side of a run: the stand-in machine the agent runs on. Not part of the
// agent proper (which only ever talks to /dev/velloc): this is what a test bench or the
// demo does around it: attach a disk image, load the module, mount file systems, keep
// writers busy, take the point-in-time truth while a file system is frozen, and read
// the kernel log.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"

namespace velloc::agent {

// One disk image attached to the stand-in with the module loaded. Several may exist at
// once when their DiskOptions give each its own name and minors (sda, sdb, ...): they
// share the one module, loaded by the first and unloaded with the last. Destruction
// unmounts, unloads (when last) and detaches, in that order; change tracking of the
// disk's partitions must have been dropped before (the module keeps it otherwise).
class Host {
 public:
  // Throws AgentError with a one-line reason: image missing, unreadable, not a regular
  // file, no partition table the stand-in can read, module refusing to load.
  explicit Host(const std::string& image, const machine::DiskOptions& o = {});
  // Attaches a memory disk instead (tests).
  Host(uint64_t bytes, const std::vector<machine::PartitionSpec>& parts, const machine::DiskOptions& o = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  machine::Disk* disk() const { return disk_; }
  const std::string& image() const { return image_; }
  int partitionCount() const;
  // Throws AgentError when the partition does not exist.
  void requirePartition(int partno) const;
  uint32_t dev(int partno) const;            // kernel device number
  uint32_t major(int partno) const { return dev(partno) >> 20; }
  uint32_t minor(int partno) const { return dev(partno) & 0xfffff; }
  std::string devName(int partno) const;     // "sda1"
  uint64_t startSector(int partno) const;
  uint64_t sectors(int partno) const;

  // Mounts the partition, reading the block size from its super block (blockSize 0)
  // or as a test file system of the given block size. Throws AgentError ("... holds no
  // file system ...") on failure. Mounting twice returns the same mount.
  machine::Mount* mount(int partno, unsigned blockSize = 0);
  machine::Mount* mounted(int partno) const;
  void unmount(int partno);

 private:
  void loadModule();
  std::string image_;
  machine::Disk* disk_ = nullptr;
  std::map<int, machine::Mount*> mounts_;
};

// ---- writers ---------------------------------------------------------------------------

// Self-describing block contents: a header (magic, block number, sequence, writer,
// checksum) and a payload derived from block and sequence, so any block read back
// tells which write it came from and whether it is whole.
void fillBlock(uint8_t* dst, uint32_t blockSize, uint32_t block, uint64_t seq, uint32_t writer);
struct BlockTag { bool valid = false; uint32_t block = 0; uint64_t seq = 0; uint32_t writer = 0; };
BlockTag readTag(const uint8_t* data, uint32_t blockSize);

// Threads writing self-describing blocks through a mount (held by a freeze like any
// file-system writer), each to its own share of `blocks`, paced by `pauseMicros`.
class Writers {
 public:
  Writers(machine::Mount* m, uint32_t blockSize, std::vector<uint32_t> blocks, unsigned threads,
          uint64_t seed = 1, unsigned pauseMicros = 200);
  ~Writers();  // stops
  void start();
  void stop();
  // Holds every writer between two writes until resume() (a checker's quiet time).
  void pause(bool on) { paused_ = on; }
  uint64_t writes() const { return writes_.load(); }
  uint64_t errors() const { return errors_.load(); }
  const std::string& firstError() const { return firstError_; }  // after stop()

 private:
  void run(unsigned id);
  machine::Mount* m_;
  uint32_t bs_;
  std::vector<uint32_t> blocks_;
  unsigned n_;
  uint64_t seed_;
  unsigned pause_;
  std::atomic<bool> stop_{false}, paused_{false};
  std::atomic<uint64_t> seq_{0}, writes_{0}, errors_{0};
  std::mutex mu_;
  std::string firstError_;
  std::vector<std::thread> threads_;
};

// ---- the point-in-time oracle -------------------------------------------------------------

// While the file system is frozen for a snapshot no write is in flight, so the
// partition's bytes at that moment are what every backup of that snapshot must equal.
// The freeze hook copies them (straight from the backing store) on every freeze.
class FreezeOracle {
 public:
  FreezeOracle(Host& host, int partno);
  ~FreezeOracle();  // removes the hook
  // The bytes taken at the latest freeze (empty before the first); resets the count.
  std::vector<uint8_t> take();
  int freezes() const { return freezes_.load(); }
  double lastCopySeconds() const { return lastSeconds_.load(); }

 private:
  static void hook(void* ctx);
  Host& host_;
  int partno_;
  machine::Mount* mount_;
  std::mutex mu_;
  std::vector<uint8_t> truth_;
  std::atomic<int> freezes_{0};
  std::atomic<double> lastSeconds_{0};
  bool failed_ = false;
};

// ---- the kernel log -------------------------------------------------------------------

// The statistics block the module logs when a session closes, the last one after
// `afterSeq`. Values by the label of their line ("total reads from disk" -> "123").
struct SessionStats {
  bool found = false;
  std::map<std::string, std::string> values;
  std::vector<std::string> lines;  // the block as logged, dmesg style
  int64_t num(const std::string& label) const;
  double seconds(const std::string& label) const;
};
SessionStats lastSessionStats(uint64_t afterSeq = 0);
uint64_t logSeq();
// The kernel log in dmesg style.
std::string kernelLog();

// Where `velloc log` finds the log of the last run.
std::string lastLogPath();
// Saves the kernel log to `path` (if not empty) and to lastLogPath(); ignores failures.
void saveKernelLog(const std::string& path);

}  // namespace velloc::agent
