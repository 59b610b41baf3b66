// Every record goes through the agent's memory, so the module sees what a real agent
// would hand it: a 32-bit address and bytes it has to copy in.
#include "velloc/agent/device.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "machine/process.h"
#include "velloc/agent/errors.h"

namespace velloc::agent {

namespace {
constexpr uint32_t kRecPage = 4096;
// Offsets inside the record page: the command record, the record it points to, and
// the answer the module writes.
constexpr uint32_t kCmd = 0, kSub = 256, kAns = 512, kKey = 1024;
}  // namespace

AgentProcess::AgentProcess(const std::string& name) : p_(machine::process_create(name)) {
  if (!p_) throw AgentError("cannot create the agent process");
}

AgentProcess::~AgentProcess() {
  if (machine::process_current() == p_) machine::process_leave();
  machine::process_destroy(p_);
}

ProcessScope::ProcessScope(machine::Process* p) : prev_(machine::process_current()), switched_(prev_ != p) {
  if (!switched_) return;
  if (prev_) machine::process_leave();
  machine::process_enter(p);
}

ProcessScope::~ProcessScope() {
  if (!switched_) return;
  machine::process_leave();
  if (prev_) machine::process_enter(prev_);
}

Device::Device(AgentProcess& proc, const std::string& path) : proc_(proc) {
  ProcessScope bind(proc_.get());
  fd_ = machine::sys_open(proc_.get(), path);
  if (fd_ < 0) {
    int e = -fd_;
    std::string why = std::strerror(e);
    if (e == ENOENT || e == ENODEV || e == ENXIO) why += "; is the velloc module loaded?";
    throw AgentError("cannot open " + path + ": " + why, fd_);
  }
  rec_ = machine::user_alloc(proc_.get(), kRecPage);
  if (!rec_) {
    machine::sys_close(proc_.get(), fd_);
    throw AgentError("the agent process has no memory left for command records");
  }
}

Device::~Device() {
  ProcessScope bind(proc_.get());
  unmapBuffers();
  if (fd_ >= 0) machine::sys_close(proc_.get(), fd_);
  if (big_) machine::user_free(proc_.get(), big_);
  if (rec_) machine::user_free(proc_.get(), rec_);
}

long Device::ioctl(uint32_t cmd, uint32_t arg) {
  ProcessScope bind(proc_.get());
  return machine::sys_ioctl(proc_.get(), fd_, cmd, arg);
}

uint32_t Device::userBuffer(size_t bytes) {
  if (bytes <= bigBytes_ && big_) return big_;
  if (big_) machine::user_free(proc_.get(), big_);
  big_ = machine::user_alloc(proc_.get(), bytes ? bytes : 1);
  bigBytes_ = big_ ? bytes : 0;
  return big_;
}

// Writes a record to the agent's memory; the process writing its own memory cannot
// fail for the page it allocated, so a failure is a broken agent.
#define PUT(addr, rec)                                                                   \
  do {                                                                                   \
    if (machine::user_write(proc_.get(), (addr), &(rec), sizeof(rec)) != 0)             \
      throw AgentError("the agent could not write its own command record");             \
  } while (0)
#define GET(addr, rec)                                                                   \
  do {                                                                                   \
    if (machine::user_read(proc_.get(), (addr), &(rec), sizeof(rec)) != 0)              \
      throw AgentError("the agent could not read its own answer record");               \
  } while (0)

int Device::getBlockSize(uint32_t major, uint32_t minor, BlockSize* out) {
  std::lock_guard lk(mu_);
  GetBlockSize r{major, minor, rec_ + kAns, sizeof(BlockSize)};
  BlockSize zero{};
  PUT(rec_ + kCmd, r);
  PUT(rec_ + kAns, zero);
  long rc = ioctl(doGetBlockSize, rec_ + kCmd);
  if (rc == 0) GET(rec_ + kAns, *out);
  return int(rc);
}

int Device::startBackup(uint32_t major, uint32_t minor, uint32_t totalBlocks, uint32_t maxCacheBlocks) {
  std::lock_guard lk(mu_);
  StartBackup r{major, minor, totalBlocks, maxCacheBlocks};
  PUT(rec_ + kCmd, r);
  return int(ioctl(doStartBackup, rec_ + kCmd));
}

int Device::snapShot(const AMSessionKey* key) {
  std::lock_guard lk(mu_);
  AMSessionKey k{};
  if (key) k = *key;
  PUT(rec_ + kKey, k);
  SnapShot r{rec_ + kKey, key ? uint32_t(sizeof(AMSessionKey)) : 0u};
  PUT(rec_ + kCmd, r);
  return int(ioctl(doSnapShot, rec_ + kCmd));
}

int Device::getState(State* out) {
  std::lock_guard lk(mu_);
  GetState r{rec_ + kAns, sizeof(State)};
  State zero{};
  PUT(rec_ + kCmd, r);
  PUT(rec_ + kAns, zero);
  long rc = ioctl(doGetState, rec_ + kCmd);
  if (rc == 0) GET(rec_ + kAns, *out);
  return int(rc);
}

int Device::getAutoMapState(AutoMapState* out) {
  std::lock_guard lk(mu_);
  GetAutoMapState r{rec_ + kAns, sizeof(AutoMapState)};
  AutoMapState zero{};
  PUT(rec_ + kCmd, r);
  PUT(rec_ + kAns, zero);
  long rc = ioctl(doGetAutoMapState, rec_ + kCmd);
  if (rc == 0) GET(rec_ + kAns, *out);
  return int(rc);
}

int Device::noLoadFromAutoMap() { return int(ioctl(doNoLoadFromAutoMap, 0)); }
int Device::noStartAutoMap() { return int(ioctl(doNoStartAutoMap, 0)); }

int Device::loadBlockMap(const Bitmap& map) {
  std::lock_guard lk(mu_);
  uint32_t bytes = userBuffer(map.numBytes());
  if (!bytes) throw AgentError("the agent process has no memory left for a block map");
  if (map.numBytes() && machine::user_write(proc_.get(), bytes, map.bytes().data(), map.numBytes()) != 0)
    throw AgentError("the agent could not write its own block map");
  UserBlockMap ubm{bytes, map.size()};
  LoadBlockMap r{rec_ + kSub, sizeof(UserBlockMap)};
  PUT(rec_ + kSub, ubm);
  PUT(rec_ + kCmd, r);
  return int(ioctl(doLoadBlockMap, rec_ + kCmd));
}

int Device::getAutoMap(uint32_t mapLen, Bitmap* out) {
  std::lock_guard lk(mu_);
  size_t numBytes = (uint64_t(mapLen) + 7) / 8;
  uint32_t bytes = userBuffer(numBytes);
  if (!bytes) throw AgentError("the agent process has no memory left for a change map");
  UserBlockMap ubm{bytes, mapLen};
  GetAutoMap r{rec_ + kSub, sizeof(UserBlockMap)};
  PUT(rec_ + kSub, ubm);
  PUT(rec_ + kCmd, r);
  long rc = ioctl(doGetAutoMap, rec_ + kCmd);
  if (rc == 0) {
    std::vector<uint8_t> v(numBytes);
    if (numBytes && machine::user_read(proc_.get(), bytes, v.data(), numBytes) != 0)
      throw AgentError("the agent could not read the change map from its own memory");
    *out = Bitmap::fromBytes(mapLen, std::move(v));
  }
  return int(rc);
}

int Device::getDirtyBlock(uint32_t* blockNum) {
  std::lock_guard lk(mu_);
  uint32_t none = VEL_NO_DIRTY_BLOCK;
  PUT(rec_ + kAns, none);
  DirtyBlock r{rec_ + kAns};
  PUT(rec_ + kCmd, r);
  long rc = ioctl(doGetDirtyBlock, rec_ + kCmd);
  if (rc == 0) GET(rec_ + kAns, *blockNum);
  return int(rc);
}

int Device::readBlocks(uint32_t startBlock, uint32_t numBlocks, int buffer) {
  std::lock_guard lk(mu_);
  ReadBlocks r{startBlock, numBlocks, bufs_.at(size_t(buffer))};
  PUT(rec_ + kCmd, r);
  return int(ioctl(doReadBlocks, rec_ + kCmd));
}

int Device::sync() { return int(ioctl(doSync, 0)); }

int Device::version(uint32_t* major, uint32_t* minor) {
  std::lock_guard lk(mu_);
  long rc = ioctl(doGetVersionMajor, rec_ + kAns);
  if (rc == 0) GET(rec_ + kAns, *major);
  if (rc == 0) rc = ioctl(doGetVersionMinor, rec_ + kAns);
  if (rc == 0) GET(rec_ + kAns, *minor);
  return int(rc);
}

long Device::rawIoctl(uint32_t cmd, uint32_t argBytes) {
  std::lock_guard lk(mu_);
  std::vector<uint8_t> zero(std::min<uint32_t>(argBytes, 256), 0);
  if (!zero.empty()) machine::user_write(proc_.get(), rec_ + kCmd, zero.data(), zero.size());
  return ioctl(cmd, rec_ + kCmd);
}

int Device::mapBuffers(int count, uint32_t bytes) {
  ProcessScope bind(proc_.get());
  unmapBuffers();
  for (int i = 0; i < count; ++i) {
    int64_t a = machine::sys_mmap(proc_.get(), bytes, PROT_READ, false, fd_, 0);
    if (a < 0) {
      unmapBuffers();
      return int(a);
    }
    bufs_.push_back(uint32_t(a));
  }
  bufBytes_ = bytes;
  return 0;
}

void Device::unmapBuffers() {
  ProcessScope bind(proc_.get());
  for (uint32_t a : bufs_) machine::sys_munmap(proc_.get(), a, bufBytes_);
  bufs_.clear();
  bufBytes_ = 0;
}

const uint8_t* Device::bufferView(int i, size_t offset, size_t len) {
  ProcessScope bind(proc_.get());
  return machine::user_map_view(proc_.get(), bufs_.at(size_t(i)) + uint32_t(offset), len);
}

int Device::bufferRead(int i, size_t offset, void* dst, size_t len) {
  ProcessScope bind(proc_.get());
  return machine::user_read(proc_.get(), bufs_.at(size_t(i)) + uint32_t(offset), dst, len);
}

}  // namespace velloc::agent
