// A handle of the control device as the agent uses it, with one scratch area in the
// process's memory reused by every command (records at its start, answers after them), so
// that thousands of commands do not fill the 32-bit address space.
//
// Not thread-safe: one thread drives a handle at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "machine/process.h"
#include "velloc.h"

namespace velloc_stress {

struct Dev {
  machine::Process* proc = nullptr;
  int fd = -1;
  uint32_t scratch = 0;  // kScratch bytes of the process's memory

  static constexpr uint32_t kScratch = 8192;
  static Dev open(machine::Process* p);  // fd < 0 when refused

  long ioctl(unsigned cmd, unsigned long arg) { return machine::sys_ioctl(proc, fd, cmd, arg); }
  // Places rec at the scratch area's start and sends cmd with its address.
  long ioctlRecord(unsigned cmd, const void* rec, uint32_t len);

  long startBackup(uint32_t dev, uint32_t totalBlocks, uint32_t maxCacheBlocks);
  long snapShot(const AMSessionKey& key, uint32_t len = sizeof(AMSessionKey));
  long getState(State* out);
  uint32_t state();  // the state field, or 0xFFFFFFFF when the query fails
  long getAutoMapState(AutoMapState* out);
  long noLoadFromAutoMap() { return ioctl(doNoLoadFromAutoMap, 0); }
  long noStartAutoMap() { return ioctl(doNoStartAutoMap, 0); }
  long loadBlockMap(const std::vector<uint8_t>& bytes, uint32_t mapLen);
  long getAutoMap(std::vector<uint8_t>* out, uint32_t mapLen, uint32_t bytes);
  long getDirtyBlock(uint32_t* blockNum);
  long readBlocks(uint32_t start, uint32_t n, uint32_t data);
  long sync() { return ioctl(doSync, 0); }
  long unload() { return ioctl(doUnload, 0); }
  int close();
};

}  // namespace velloc_stress
