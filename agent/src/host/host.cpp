// Attaching an image and loading the module: the machine a run happens on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "machine/kernel.h"
#include "machine/modules.h"
#include "machine/process.h"
#include "velloc.h"
#include "velloc/agent/device.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/host.h"

namespace velloc::agent {

namespace {
// Hosts alive in this process: the module is loaded by the first and unloaded with the
// last (a service attaches several images to one machine).
std::atomic<int> g_hosts{0};

// The checks a person needs named before the stand-in gets to see the file.
void checkImage(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw AgentError("cannot open image " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw AgentError("image " + path + " is not a regular file");
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw AgentError("cannot open image " + path + " for reading and writing: " + std::strerror(errno));
  ::close(fd);
  if (st.st_size < 512) throw AgentError("image " + path + " is too small to hold a partition table");
}
}  // namespace

Host::Host(const std::string& image, const machine::DiskOptions& o) : image_(image) {
  checkImage(image);
  std::string err;
  disk_ = machine::disk_attach_image(image, o, &err);
  if (!disk_) throw AgentError("cannot attach image " + image + ": " + err);
  try {
    loadModule();
  } catch (...) {
    machine::disk_detach(disk_);
    throw;
  }
}

Host::Host(uint64_t bytes, const std::vector<machine::PartitionSpec>& parts, const machine::DiskOptions& o)
    : image_("(memory)") {
  std::string err;
  disk_ = machine::disk_attach_memory_partitioned(bytes, parts, o, &err);
  if (!disk_) throw AgentError("cannot attach a memory disk: " + err);
  try {
    loadModule();
  } catch (...) {
    machine::disk_detach(disk_);
    throw;
  }
}

void Host::loadModule() {
  g_hosts++;
  if (!machine::module_loaded()) {
    int rc = machine::module_load();
    if (rc != 0) {
      g_hosts--;
      throw AgentError("the velloc module refused to load (error " + std::to_string(rc) + ")");
    }
  }
  int rc = machine::mknod_char(kDevicePath, VEL_MAJOR, 0);
  if (rc != 0 && rc != -EEXIST) {
    g_hosts--;
    throw AgentError(std::string("cannot create ") + kDevicePath);
  }
}

Host::~Host() {
  for (auto& [p, m] : mounts_) machine::fs_unmount(m);
  mounts_.clear();
  if (--g_hosts == 0 && machine::module_loaded()) machine::module_unload();
  machine::disk_detach(disk_);
}

int Host::partitionCount() const { return machine::partition_count(disk_); }

void Host::requirePartition(int partno) const {
  int n = partitionCount();
  if (partno < 1 || partno > n || machine::partition_dev(disk_, partno) == 0)
    throw AgentError(image_ + " has no partition " + std::to_string(partno) +
                     (n ? " (it has partitions 1-" + std::to_string(n) + ")" : " (it has no partition table)"));
}

uint32_t Host::dev(int partno) const { return partno == 0 ? machine::disk_dev(disk_) : machine::partition_dev(disk_, partno); }

std::string Host::devName(int partno) const {
  uint32_t d = dev(partno);
  return "sd" + std::string(1, char('a' + ((d & 0xfffff) >> 4))) + (partno ? std::to_string(partno) : "");
}

uint64_t Host::startSector(int partno) const { return machine::partition_start(disk_, partno); }
uint64_t Host::sectors(int partno) const { return machine::partition_sectors(disk_, partno); }

machine::Mount* Host::mount(int partno, unsigned blockSize) {
  requirePartition(partno);
  if (auto it = mounts_.find(partno); it != mounts_.end()) return it->second;
  std::string err;
  machine::Mount* m = machine::fs_mount(dev(partno), blockSize, &err);
  if (!m)
    throw AgentError("partition " + std::to_string(partno) + " of " + image_ +
                     " holds no file system velloc can back up (" + err + ")");
  mounts_[partno] = m;
  return m;
}

machine::Mount* Host::mounted(int partno) const {
  auto it = mounts_.find(partno);
  return it == mounts_.end() ? nullptr : it->second;
}

void Host::unmount(int partno) {
  auto it = mounts_.find(partno);
  if (it == mounts_.end()) return;
  machine::fs_unmount(it->second);
  mounts_.erase(it);
}

}  // namespace velloc::agent
