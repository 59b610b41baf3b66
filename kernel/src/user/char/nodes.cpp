// Device nodes: a path names a device number. Nodes are never removed, so an inode
// pointer stays valid for open files.
#include <linux/errno.h>
#include <linux/fs.h>
#include <machine/process.h>
#include <sys/stat.h>

#include <map>
#include <memory>

#include "src/user/char/file_internal.h"
#include "src/core/lib/raw_lock.h"

namespace {
vk::RawLock nodes_lock;  // guards nodes()
std::map<std::string, std::unique_ptr<struct inode>> &nodes() {
  static auto *m = new std::map<std::string, std::unique_ptr<struct inode>>;
  return *m;
}
}  // namespace

namespace machine {

// 0; -EEXIST when the path is taken; -EINVAL for an empty path or a number out of range.
int mknod_char(const std::string &path, unsigned major, unsigned minor) {
  if (path.empty() || major >= (1u << (32 - MINORBITS)) || minor > MINORMASK) return -EINVAL;
  auto ino = std::make_unique<struct inode>();
  ino->i_rdev = MKDEV(major, minor);
  ino->i_mode = S_IFCHR | 0600;
  vk::RawGuard g(&nodes_lock);
  auto [it, fresh] = nodes().try_emplace(path, std::move(ino));
  return fresh ? 0 : -EEXIST;
}

}  // namespace machine

namespace vk {
struct inode *node_lookup(const std::string &path) {
  RawGuard g(&nodes_lock);
  auto it = nodes().find(path);
  return it == nodes().end() ? nullptr : it->second.get();
}
}  // namespace vk
