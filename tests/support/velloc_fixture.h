// VellocFixture: boots the stand-in for one test, loads the module, makes /dev/velloc,
// attaches memory disks, mounts test file systems, and drives the control device as an
// agent process would: argument records are placed in the process's 32-bit memory and the
// results read back from there.
//
// Use:   class MyTest : public velloc_test::VellocFixture {};
//        TEST_F(MyTest, X) { auto d = attachDisk(16 << 20, {{2048, 8192}}); mount(d.part(1), 4096);
//                            State s; EXPECT_EQ(0, agent().getState(&s)); }
// SetUp: clears the log, faults and bug count; loads the module; creates the agent process,
//        binds the test thread to it and opens one handle (agent().fd).
// TearDown: disarms faults, closes every handle and destroys every process, unloads the
//        module if still loaded, unmounts, detaches; then expects nothing live in the
//        stand-in and no kernel bug. Set `expectCleanTeardown = false` to skip the checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"
#include "machine/kernel.h"
#include "machine/modules.h"
#include "machine/process.h"
#include "velloc.h"

namespace velloc_test {

inline constexpr const char* kDevicePath = "/dev/velloc";
inline constexpr unsigned kDeviceMajor = VEL_MAJOR;

// Device numbers in the kernel's layout, for building records.
inline uint32_t majorOf(uint32_t dev) { return dev >> 20; }
inline uint32_t minorOf(uint32_t dev) { return dev & 0xFFFFF; }

// One attached memory disk.
struct TestDisk {
  machine::Disk* disk = nullptr;
  uint32_t whole = 0;                 // whole-disk device number
  uint32_t part(int partno) const { return machine::partition_dev(disk, partno); }  // 1-based
  uint64_t start(int partno) const { return machine::partition_start(disk, partno); }
  uint64_t sectors(int partno) const { return machine::partition_sectors(disk, partno); }
};

// A process and one open handle of the control device in it. Every call issues system calls
// as `proc`; the calling thread must be bound to `proc` (the test thread is bound to the
// default agent; VellocFixture::runInProcess binds new threads).
struct AgentHandle {
  machine::Process* proc = nullptr;
  int fd = -1;

  // ---- the process's memory ----
  uint32_t alloc(size_t len);                              // fresh read/write memory, page aligned
  void write(uint32_t addr, const void* src, size_t len);  // ASSERTs success
  void read(uint32_t addr, void* dst, size_t len);         // ASSERTs success
  template <class T> uint32_t place(const T& rec) {        // copy a record into fresh memory
    uint32_t a = alloc(sizeof(T));
    write(a, &rec, sizeof(T));
    return a;
  }
  template <class T> T fetch(uint32_t addr) {
    T v{};
    read(addr, &v, sizeof(T));
    return v;
  }
  // Memory whose first `readable` bytes are mapped and the rest (up to one more page) not:
  // the address returned is `readable` bytes before an inaccessible page.
  uint32_t allocEndingAtHole(size_t readable);

  // ---- system calls ----
  long ioctl(unsigned int cmd, unsigned long arg);
  long ioctlRecord(unsigned int cmd, const void* rec, size_t len);  // places rec, then ioctl

  // ---- typed commands: the ioctl result; outputs read back from the agent's memory ----
  // The answer buffer is pre-filled with 0xA5 so tests can see which bytes were written.
  long getBlockSize(uint32_t major, uint32_t minor, BlockSize* out, uint32_t len = sizeof(BlockSize));
  long startBackup(uint32_t major, uint32_t minor, uint32_t totalBlocks, uint32_t maxCacheBlocks);
  long startBackup(uint32_t dev, uint32_t totalBlocks, uint32_t maxCacheBlocks) {
    return startBackup(majorOf(dev), minorOf(dev), totalBlocks, maxCacheBlocks);
  }
  long snapShot(const AMSessionKey* key = nullptr, uint32_t len = sizeof(AMSessionKey));  // null: zero key
  long getState(State* out, uint32_t len = sizeof(State));
  State state();  // getState that must succeed
  long getAutoMapState(AutoMapState* out, uint32_t len = sizeof(AutoMapState));
  long noLoadFromAutoMap() { return ioctl(doNoLoadFromAutoMap, 0); }
  long noStartAutoMap() { return ioctl(doNoStartAutoMap, 0); }
  // Loads `bytes` as the block map; mapLen is the UserBlockMap.mapLen (blocks).
  long loadBlockMap(const std::vector<uint8_t>& bytes, uint32_t mapLen);
  // Fetches the change map into a buffer of `bufBytes` (pre-filled with 0xA5); mapLen as given.
  long getAutoMap(std::vector<uint8_t>* out, uint32_t mapLen, size_t bufBytes);
  long getDirtyBlock(uint32_t* blockNum);
  long readBlocks(uint32_t startBlockNum, uint32_t numBlocks, uint32_t data);
  long getVersionMajor(int* v);
  long getVersionMinor(int* v);
  long sync() { return ioctl(doSync, 0); }
  long unload() { return ioctl(doUnload, 0); }
  // Maps `len` bytes of the transfer buffer (read-only, private, as an agent maps it).
  int64_t mmap(size_t len, uint64_t offset = 0);  // address, or -errno / -code
  int munmap(uint32_t addr, size_t len) { return machine::sys_munmap(proc, addr, len); }
  // Reads `len` bytes of a mapping as the agent would (faulting pages in). 0 or -errno.
  int readMapped(uint32_t addr, void* dst, size_t len) { return machine::user_read(proc, addr, dst, len); }
  int close();  // closes fd (0 or -errno) and forgets it
};

class VellocFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // ---- the default agent: a process bound to the test thread with one open handle ----
  AgentHandle& agent() { return agent_; }

  // ---- more processes and handles (all cleaned up at TearDown) ----
  machine::Process* newProcess(const std::string& name);
  // Opens /dev/velloc in p: the fd, or a negative errno.
  int openDevice(machine::Process* p);
  // A new handle in p (ASSERTs that the open succeeds).
  AgentHandle openHandle(machine::Process* p);
  // Starts fn in a new thread bound to p (process_enter before, process_leave after).
  std::thread runInProcess(machine::Process* p, std::function<void()> fn);

  // ---- disks and file systems (detached / unmounted at TearDown, after the unload) ----
  // A memory disk of `bytes` with the given primary partitions (none: whole-disk device).
  TestDisk attachDisk(uint64_t bytes, const std::vector<machine::PartitionSpec>& parts = {},
                      machine::DiskOptions o = {});
  // Mounts a test file system of `blockSize` bytes per block on dev (ASSERTs success).
  machine::Mount* mount(uint32_t dev, unsigned blockSize);
  void unmount(machine::Mount* m);  // early unmount (EXPECTs 0)

  // ---- module ----
  void unloadModule();  // EXPECTs module_unload() == 0; TearDown then does not unload again

  // ---- kernel log ----
  std::vector<std::string> logTexts(uint64_t afterSeq = 0);
  int logCount(const std::string& needle, uint64_t afterSeq = 0) {
    return machine::log_count(needle, afterSeq);
  }
  uint64_t logMark() { return machine::log_last_seq(); }
  // Whether the records' texts contain each needle in this order (each in a later record).
  bool logInOrder(const std::vector<std::string>& needles, uint64_t afterSeq = 0);

  bool expectCleanTeardown = true;

 private:
  AgentHandle agent_;
  std::mutex mu_;  // guards the lists below against openHandle from racing threads
  std::vector<machine::Process*> processes_;
  std::vector<machine::Mount*> mounts_;
  std::vector<machine::Disk*> disks_;
  bool unloaded_ = false;
};

}  // namespace velloc_test
