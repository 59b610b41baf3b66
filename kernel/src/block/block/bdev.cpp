// Block devices by number: bdget/bdput, the registry that attach and detach fill, names.
#include <linux/errno.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "block_internal.h"

namespace vkblk {
namespace {

// Every node ever looked up or attached, by device number. A node is freed when it is
// neither attached nor referenced. Guarded by registry_lock().
std::unordered_map<dev_t, BdevNode*>& registry() {
  static auto* map = new std::unordered_map<dev_t, BdevNode*>;  // outlives static destructors
  return *map;
}
vk::RawLock g_registry_lock;

// Finds or makes the node of dev. Needs the registry lock.
BdevNode* node_get_locked(dev_t dev) {
  auto& map = registry();
  auto it = map.find(dev);
  if (it != map.end()) return it->second;
  auto* n = static_cast<BdevNode*>(calloc(1, sizeof(BdevNode)));
  if (!n) return nullptr;
  n->bd.bd_dev = dev;
  sema_init(&n->mount_sem, 1);
  mutex_init(&n->bd.bd_mutex);
  map.emplace(dev, n);
  return n;
}

// Frees the node when nothing holds it any more. Needs the registry lock.
void node_release_locked(BdevNode* n) {
  if (n->attached || atomic_read(&n->bd.bd_count) > 0) return;
  registry().erase(n->bd.bd_dev);
  free(n);
}

}  // namespace

struct block_device* bdev_attach(dev_t dev, machine::Disk* d, int partno, struct gendisk* gd,
                                 struct hd_struct* part, struct block_device* contains, std::string* err) {
  vk::RawGuard g(&g_registry_lock);
  BdevNode* n = node_get_locked(dev);
  if (!n) {
    if (err) *err = "out of memory";
    return nullptr;
  }
  if (n->attached) {
    if (err) *err = "device " + std::to_string(MAJOR(dev)) + ":" + std::to_string(MINOR(dev)) + " is already attached";
    return nullptr;
  }
  n->attached = true;
  n->disk = d;
  n->partno = partno;
  n->bd.bd_disk = gd;
  n->bd.bd_part = part;
  n->bd.bd_contains = contains ? contains : &n->bd;
  n->bd.bd_super = nullptr;
  return &n->bd;
}

void bdev_detach(struct block_device* bdev) {
  if (!bdev) return;
  vk::RawGuard g(&g_registry_lock);
  BdevNode* n = node_of(bdev);
  n->attached = false;
  n->disk = nullptr;
  n->partno = 0;
  n->bd.bd_disk = nullptr;
  n->bd.bd_part = nullptr;
  n->bd.bd_contains = nullptr;
  n->bd.bd_super = nullptr;
  node_release_locked(n);
}

// Lock-free: bd_disk changes only at attach and detach, which nobody races with I/O.
machine::Disk* bdev_disk(struct block_device* bdev) {
  if (!bdev || !bdev->bd_disk) return nullptr;
  return static_cast<machine::Disk*>(bdev->bd_disk->private_data);
}

}  // namespace vkblk

using vkblk::BdevNode;

// The block device of dev with one more reference, made on first use; a number that no
// attached disk owns gives a device whose bd_disk is null. Null only when out of memory.
// May sleep. Released with bdput.
struct block_device* bdget(dev_t dev) {
  might_sleep();
  BdevNode* n;
  {
    vk::RawGuard g(&vkblk::g_registry_lock);
    n = vkblk::node_get_locked(dev);
    if (!n) return nullptr;
    atomic_inc(&n->bd.bd_count);
  }
  vkblk::account(machine::Obj::block_device, 1);
  return &n->bd;
}

// Drops a bdget reference. A detached device goes with its last reference.
void bdput(struct block_device* bdev) {
  if (!bdev) return;
  {
    vk::RawGuard g(&vkblk::g_registry_lock);
    BdevNode* n = vkblk::node_of(bdev);
    if (atomic_read(&n->bd.bd_count) <= 0) {
      kernel_warn(__FILE__, __LINE__, __func__, "bdput without a reference");
      return;
    }
    atomic_dec(&n->bd.bd_count);
    vkblk::node_release_locked(n);
  }
  vkblk::account(machine::Obj::block_device, -1);
}

// "sda", "sda1", or "unknown-block(major,minor)" for a device without a disk.
const char* bdevname(struct block_device* bdev, char* buf) {
  vk::RawGuard g(&vkblk::g_registry_lock);
  BdevNode* n = vkblk::node_of(bdev);
  if (!n->attached || !n->bd.bd_disk) {
    snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(n->bd.bd_dev), MINOR(n->bd.bd_dev));
  } else if (n->partno == 0) {
    snprintf(buf, BDEVNAME_SIZE, "%.31s", n->bd.bd_disk->disk_name);
  } else {
    snprintf(buf, BDEVNAME_SIZE, "%.20s%d", n->bd.bd_disk->disk_name, n->partno);
  }
  return buf;
}
