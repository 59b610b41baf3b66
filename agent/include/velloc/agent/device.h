// The agent's handle on the control device, used exactly as a program in user space
// would use it: open, ioctl with records placed in the agent's own (32-bit) memory,
// mmap of the transfer buffers, munmap, close. Nothing here knows the module's insides.
//
// Thread safety: one Device may be used by two threads at once (the overlap pipeline
// reads a buffer on one thread while the other issues commands); the record scratch
// area is guarded by a mutex. Each call binds the calling thread to the agent process
// for its duration.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "velloc.h"
#include "velloc/agent/bitmap.h"

namespace machine { struct Process; }

namespace velloc::agent {

// An agent process: a 32-bit address space the records and buffers live in. Destroying
// it closes every descriptor and mapping it still holds.
class AgentProcess {
 public:
  explicit AgentProcess(const std::string& name = "velloc-agent");
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;
  machine::Process* get() const { return p_; }

 private:
  machine::Process* p_;
};

// Binds the calling thread to a process for a scope (restoring what it was bound to).
class ProcessScope {
 public:
  explicit ProcessScope(machine::Process* p);
  ~ProcessScope();
 private:
  machine::Process* prev_;
  bool switched_;
};

constexpr const char* kDevicePath = "/dev/velloc";

class Device {
 public:
  // Opens the device; throws AgentError naming the path and the reason on failure.
  explicit Device(AgentProcess& proc, const std::string& path = kDevicePath);
  // Unmaps the buffers and closes the handle (which ends its session).
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Each command returns the device's result: 0, a small positive code, or a negative
  // kernel error number (see velloc.h). Outputs are valid only on 0.
  int getBlockSize(uint32_t major, uint32_t minor, BlockSize* out);
  int startBackup(uint32_t major, uint32_t minor, uint32_t totalBlocks, uint32_t maxCacheBlocks);
  int snapShot(const AMSessionKey* key);  // null: present no key (length 0)
  int getState(State* out);
  int getAutoMapState(AutoMapState* out);
  int noLoadFromAutoMap();
  int noStartAutoMap();
  int loadBlockMap(const Bitmap& map);
  int getAutoMap(uint32_t mapLen, Bitmap* out);
  int getDirtyBlock(uint32_t* blockNum);
  int readBlocks(uint32_t startBlock, uint32_t numBlocks, int buffer);
  int sync();
  int version(uint32_t* major, uint32_t* minor);
  // Sends any code with a pointer to `argBytes` bytes of zeroes (for tests of the ABI).
  long rawIoctl(uint32_t cmd, uint32_t argBytes);

  // Maps `count` (1 or 2) transfer buffers of `bytes` each, read-only, private, offset 0.
  // 0, or the negated result of the driver / a negative errno.
  int mapBuffers(int count, uint32_t bytes);
  void unmapBuffers();
  uint32_t bufferBytes() const { return bufBytes_; }
  int bufferCount() const { return int(bufs_.size()); }
  uint32_t bufferAddress(int i) const { return bufs_.at(size_t(i)); }
  // Host view of `len` bytes at `offset` of buffer i, within one page (faults it in);
  // null on a fault.
  const uint8_t* bufferView(int i, size_t offset, size_t len);
  // Copies `len` bytes at `offset` of buffer i out of the agent's memory; 0 or -errno.
  int bufferRead(int i, size_t offset, void* dst, size_t len);

  machine::Process* process() const { return proc_.get(); }
  int fd() const { return fd_; }

 private:
  long ioctl(uint32_t cmd, uint32_t arg);
  uint32_t userBuffer(size_t bytes);  // scratch for maps, grown as needed (under mu_)

  AgentProcess& proc_;
  int fd_ = -1;
  std::mutex mu_;                     // guards the scratch areas below
  uint32_t rec_ = 0;                  // one page for records
  uint32_t big_ = 0;                  // bitmap scratch
  size_t bigBytes_ = 0;
  std::vector<uint32_t> bufs_;        // transfer-buffer mappings
  uint32_t bufBytes_ = 0;
};

}  // namespace velloc::agent
