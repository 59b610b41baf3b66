// Dev: see stress_device.h.
#include "stress_device.h"

#include <algorithm>
#include <cstring>

namespace velloc_stress {

namespace {
constexpr uint32_t kAnswer = 4096;  // answers go to the second page of the scratch area
}

Dev Dev::open(machine::Process* p) {
  Dev d;
  d.proc = p;
  d.fd = machine::sys_open(p, "/dev/velloc");
  d.scratch = machine::user_alloc(p, kScratch);
  return d;
}

long Dev::ioctlRecord(unsigned cmd, const void* rec, uint32_t len) {
  if (machine::user_write(proc, scratch, rec, len) != 0) return -9999;
  return ioctl(cmd, scratch);
}

long Dev::startBackup(uint32_t dev, uint32_t totalBlocks, uint32_t maxCacheBlocks) {
  StartBackup rec{dev >> 20, dev & 0xFFFFF, totalBlocks, maxCacheBlocks};
  return ioctlRecord(doStartBackup, &rec, sizeof rec);
}

long Dev::snapShot(const AMSessionKey& key, uint32_t len) {
  machine::user_write(proc, scratch + kAnswer, &key, sizeof key);
  SnapShot rec{scratch + kAnswer, len};
  return ioctlRecord(doSnapShot, &rec, sizeof rec);
}

long Dev::getState(State* out) {
  GetState rec{scratch + kAnswer, sizeof(State)};
  long r = ioctlRecord(doGetState, &rec, sizeof rec);
  if (r == 0 && out) machine::user_read(proc, scratch + kAnswer, out, sizeof *out);
  return r;
}

uint32_t Dev::state() {
  State s{};
  return getState(&s) == 0 ? s.state : 0xFFFFFFFFu;
}

long Dev::getAutoMapState(AutoMapState* out) {
  GetAutoMapState rec{scratch + kAnswer, sizeof(AutoMapState)};
  long r = ioctlRecord(doGetAutoMapState, &rec, sizeof rec);
  if (r == 0 && out) machine::user_read(proc, scratch + kAnswer, out, sizeof *out);
  return r;
}

long Dev::loadBlockMap(const std::vector<uint8_t>& bytes, uint32_t mapLen) {
  uint32_t data = machine::user_alloc(proc, std::max<size_t>(1, bytes.size()));
  if (!bytes.empty()) machine::user_write(proc, data, bytes.data(), bytes.size());
  UserBlockMap ubm{data, mapLen};
  machine::user_write(proc, scratch + kAnswer, &ubm, sizeof ubm);
  LoadBlockMap rec{scratch + kAnswer, sizeof ubm};
  long r = ioctlRecord(doLoadBlockMap, &rec, sizeof rec);
  machine::user_free(proc, data);
  return r;
}

long Dev::getAutoMap(std::vector<uint8_t>* out, uint32_t mapLen, uint32_t bytes) {
  uint32_t data = machine::user_alloc(proc, std::max<uint32_t>(1, bytes));
  UserBlockMap ubm{data, mapLen};
  machine::user_write(proc, scratch + kAnswer, &ubm, sizeof ubm);
  GetAutoMap rec{scratch + kAnswer, sizeof ubm};
  long r = ioctlRecord(doGetAutoMap, &rec, sizeof rec);
  out->assign(bytes, 0);
  if (r == 0 && bytes) machine::user_read(proc, data, out->data(), bytes);
  machine::user_free(proc, data);
  return r;
}

long Dev::getDirtyBlock(uint32_t* blockNum) {
  DirtyBlock rec{scratch + kAnswer};
  long r = ioctlRecord(doGetDirtyBlock, &rec, sizeof rec);
  if (r == 0) machine::user_read(proc, scratch + kAnswer, blockNum, sizeof *blockNum);
  return r;
}

long Dev::readBlocks(uint32_t start, uint32_t n, uint32_t data) {
  ReadBlocks rec{start, n, data};
  return ioctlRecord(doReadBlocks, &rec, sizeof rec);
}

int Dev::close() {
  int r = machine::sys_close(proc, fd);
  fd = -1;
  if (scratch) machine::user_free(proc, scratch);
  scratch = 0;
  return r;
}

}  // namespace velloc_stress
