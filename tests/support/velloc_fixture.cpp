// VellocFixture and AgentHandle: see velloc_fixture.h.
#include "velloc_fixture.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velloc_test {

namespace {
constexpr uint8_t kFill = 0xA5;  // pre-fill of answer buffers: bytes the module did not write
constexpr size_t kPage = 4096;

size_t roundUpPage(size_t n) { return (n + kPage - 1) / kPage * kPage; }
}  // namespace

// ---- AgentHandle: memory ------------------------------------------------------------------

uint32_t AgentHandle::alloc(size_t len) {
  uint32_t a = machine::user_alloc(proc, std::max<size_t>(len, 1));
  EXPECT_NE(0u, a) << "user_alloc(" << len << ") failed";
  return a;
}

void AgentHandle::write(uint32_t addr, const void* src, size_t len) {
  int r = machine::user_write(proc, addr, src, len);
  EXPECT_EQ(0, r) << "user_write at 0x" << std::hex << addr;
}

void AgentHandle::read(uint32_t addr, void* dst, size_t len) {
  int r = machine::user_read(proc, addr, dst, len);
  EXPECT_EQ(0, r) << "user_read at 0x" << std::hex << addr;
}

uint32_t AgentHandle::allocEndingAtHole(size_t readable) {
  size_t body = roundUpPage(readable);
  uint32_t base = alloc(body + kPage);
  uint32_t hole = base + static_cast<uint32_t>(body);
  machine::user_protect(proc, hole, kPage, false, false);
  return hole - static_cast<uint32_t>(readable);
}

// ---- AgentHandle: system calls ------------------------------------------------------------

long AgentHandle::ioctl(unsigned int cmd, unsigned long arg) { return machine::sys_ioctl(proc, fd, cmd, arg); }

long AgentHandle::ioctlRecord(unsigned int cmd, const void* rec, size_t len) {
  uint32_t a = alloc(len);
  write(a, rec, len);
  return ioctl(cmd, a);
}

namespace {
// Fresh memory of `len` bytes filled with kFill (at least one byte).
uint32_t filledBuffer(AgentHandle& h, size_t len) {
  len = std::max<size_t>(len, 1);
  uint32_t a = h.alloc(len);
  std::vector<uint8_t> fill(len, kFill);
  h.write(a, fill.data(), len);
  return a;
}
}  // namespace

long AgentHandle::getBlockSize(uint32_t major, uint32_t minor, BlockSize* out, uint32_t len) {
  uint32_t ans = filledBuffer(*this, sizeof(BlockSize));
  GetBlockSize rec{major, minor, ans, len};
  long r = ioctlRecord(doGetBlockSize, &rec, sizeof(rec));
  if (out) read(ans, out, sizeof(BlockSize));
  return r;
}

long AgentHandle::startBackup(uint32_t major, uint32_t minor, uint32_t totalBlocks, uint32_t maxCacheBlocks) {
  StartBackup rec{major, minor, totalBlocks, maxCacheBlocks};
  return ioctlRecord(doStartBackup, &rec, sizeof(rec));
}

long AgentHandle::snapShot(const AMSessionKey* key, uint32_t len) {
  AMSessionKey k{};
  if (key) k = *key;
  SnapShot rec{place(k), len};
  return ioctlRecord(doSnapShot, &rec, sizeof(rec));
}

long AgentHandle::getState(State* out, uint32_t len) {
  uint32_t ans = filledBuffer(*this, sizeof(State));
  GetState rec{ans, len};
  long r = ioctlRecord(doGetState, &rec, sizeof(rec));
  if (out) read(ans, out, sizeof(State));
  return r;
}

State AgentHandle::state() {
  State s{};
  EXPECT_EQ(0, getState(&s));
  return s;
}

long AgentHandle::getAutoMapState(AutoMapState* out, uint32_t len) {
  uint32_t ans = filledBuffer(*this, sizeof(AutoMapState));
  GetAutoMapState rec{ans, len};
  long r = ioctlRecord(doGetAutoMapState, &rec, sizeof(rec));
  if (out) read(ans, out, sizeof(AutoMapState));
  return r;
}

long AgentHandle::loadBlockMap(const std::vector<uint8_t>& bytes, uint32_t mapLen) {
  uint32_t data = alloc(bytes.size());
  if (!bytes.empty()) write(data, bytes.data(), bytes.size());
  UserBlockMap ubm{data, mapLen};
  LoadBlockMap rec{place(ubm), sizeof(UserBlockMap)};
  return ioctlRecord(doLoadBlockMap, &rec, sizeof(rec));
}

long AgentHandle::getAutoMap(std::vector<uint8_t>* out, uint32_t mapLen, size_t bufBytes) {
  uint32_t data = filledBuffer(*this, bufBytes);
  UserBlockMap ubm{data, mapLen};
  GetAutoMap rec{place(ubm), sizeof(UserBlockMap)};
  long r = ioctlRecord(doGetAutoMap, &rec, sizeof(rec));
  if (out) {
    out->assign(bufBytes, 0);
    if (bufBytes) read(data, out->data(), bufBytes);
  }
  return r;
}

long AgentHandle::getDirtyBlock(uint32_t* blockNum) {
  uint32_t ans = filledBuffer(*this, sizeof(uint32_t));
  DirtyBlock rec{ans};
  long r = ioctlRecord(doGetDirtyBlock, &rec, sizeof(rec));
  if (blockNum) read(ans, blockNum, sizeof(uint32_t));
  return r;
}

long AgentHandle::readBlocks(uint32_t startBlockNum, uint32_t numBlocks, uint32_t data) {
  ReadBlocks rec{startBlockNum, numBlocks, data};
  return ioctlRecord(doReadBlocks, &rec, sizeof(rec));
}

long AgentHandle::getVersionMajor(int* v) {
  uint32_t ans = filledBuffer(*this, sizeof(int));
  long r = ioctl(doGetVersionMajor, ans);
  if (v) read(ans, v, sizeof(int));
  return r;
}

long AgentHandle::getVersionMinor(int* v) {
  uint32_t ans = filledBuffer(*this, sizeof(int));
  long r = ioctl(doGetVersionMinor, ans);
  if (v) read(ans, v, sizeof(int));
  return r;
}

int64_t AgentHandle::mmap(size_t len, uint64_t offset) {
  return machine::sys_mmap(proc, len, PROT_READ, false, fd, offset);
}

int AgentHandle::close() {
  int r = machine::sys_close(proc, fd);
  fd = -1;
  return r;
}

// ---- VellocFixture ----------------------------------------------------------------------------

void VellocFixture::SetUp() {
  machine::log_clear();
  machine::fault_reset();
  machine::fault_set_filter(nullptr);  // every thread counts again
  machine::kernel_bug_reset();
  if (machine::module_loaded()) machine::module_unload();  // left over by a failed test
  ASSERT_EQ(0, machine::module_load()) << machine::log_dmesg();
  int r = machine::mknod_char(kDevicePath, kDeviceMajor, 0);
  ASSERT_TRUE(r == 0 || r == -EEXIST) << "mknod_char: " << r;
  agent_.proc = newProcess("agent");
  machine::process_enter(agent_.proc);
  agent_.fd = openDevice(agent_.proc);
  ASSERT_GE(agent_.fd, 0) << "open " << kDevicePath;
}

void VellocFixture::TearDown() {
  machine::fault_reset();
  machine::fault_set_filter(nullptr);  // every thread counts again
  if (machine::process_current() != nullptr) machine::process_leave();
  {
    std::lock_guard<std::mutex> g(mu_);
    for (machine::Process* p : processes_) machine::process_destroy(p);
    processes_.clear();
  }
  agent_ = AgentHandle{};
  if (machine::module_loaded()) {
    EXPECT_EQ(0, machine::module_unload()) << "module still referenced";
  }
  for (machine::Mount* m : mounts_) EXPECT_EQ(0, machine::fs_unmount(m));
  mounts_.clear();
  for (machine::Disk* d : disks_) machine::disk_detach(d);
  disks_.clear();
  if (expectCleanTeardown) {
    EXPECT_TRUE(machine::nothing_live()) << machine::live_report();
    EXPECT_EQ(0, machine::kernel_bug_count()) << machine::log_dmesg();
  }
}

machine::Process* VellocFixture::newProcess(const std::string& name) {
  machine::Process* p = machine::process_create(name);
  EXPECT_NE(nullptr, p);
  std::lock_guard<std::mutex> g(mu_);
  processes_.push_back(p);
  return p;
}

int VellocFixture::openDevice(machine::Process* p) { return machine::sys_open(p, kDevicePath); }

AgentHandle VellocFixture::openHandle(machine::Process* p) {
  AgentHandle h;
  h.proc = p;
  h.fd = openDevice(p);
  EXPECT_GE(h.fd, 0) << "open " << kDevicePath;
  return h;
}

std::thread VellocFixture::runInProcess(machine::Process* p, std::function<void()> fn) {
  return std::thread([p, fn = std::move(fn)] {
    machine::process_enter(p);
    fn();
    machine::process_leave();
  });
}

TestDisk VellocFixture::attachDisk(uint64_t bytes, const std::vector<machine::PartitionSpec>& parts,
                                   machine::DiskOptions o) {
  // Disks attached by one test get distinct device numbers and names unless told otherwise.
  for (bool clash = true; clash;) {
    clash = false;
    for (machine::Disk* d : disks_) {
      uint32_t w = machine::disk_dev(d);
      if (majorOf(w) == o.major && minorOf(w) == o.first_minor) {
        o.first_minor += o.minors;
        o.name = o.name.substr(0, o.name.size() - 1) + static_cast<char>(o.name.back() + 1);
        clash = true;
      }
    }
  }
  std::string err;
  machine::Disk* d = parts.empty() ? machine::disk_attach_memory(bytes, o, &err)
                                   : machine::disk_attach_memory_partitioned(bytes, parts, o, &err);
  TestDisk t;
  if (d == nullptr) {
    ADD_FAILURE() << "disk_attach: " << err;
    return t;
  }
  disks_.push_back(d);
  t.disk = d;
  t.whole = machine::disk_dev(d);
  return t;
}

machine::Mount* VellocFixture::mount(uint32_t dev, unsigned blockSize) {
  std::string err;
  machine::Mount* m = machine::fs_mount(dev, blockSize, &err);
  if (m == nullptr) {
    ADD_FAILURE() << "fs_mount(" << majorOf(dev) << ":" << minorOf(dev) << "): " << err;
    return nullptr;
  }
  mounts_.push_back(m);
  return m;
}

void VellocFixture::unmount(machine::Mount* m) {
  auto it = std::find(mounts_.begin(), mounts_.end(), m);
  if (it != mounts_.end()) mounts_.erase(it);
  EXPECT_EQ(0, machine::fs_unmount(m));
}

void VellocFixture::unloadModule() {
  EXPECT_EQ(0, machine::module_unload());
  unloaded_ = true;
}

std::vector<std::string> VellocFixture::logTexts(uint64_t afterSeq) {
  std::vector<std::string> out;
  for (const machine::LogRecord& r : machine::log_records(afterSeq)) out.push_back(r.text);
  return out;
}

bool VellocFixture::logInOrder(const std::vector<std::string>& needles, uint64_t afterSeq) {
  size_t i = 0;
  for (const machine::LogRecord& r : machine::log_records(afterSeq)) {
    if (i < needles.size() && r.text.find(needles[i]) != std::string::npos) ++i;
  }
  return i == needles.size();
}

}  // namespace velloc_test
