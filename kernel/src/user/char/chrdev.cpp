// The character device table: one driver (file_operations) per major number.
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <machine/kernel.h>

#include <cstring>

#include "src/user/char/file_internal.h"
#include "src/core/lib/raw_lock.h"

namespace {
constexpr unsigned kMaxChrdev = 256;  // majors 1..255; 0 asks for a free one

struct ChrdevEntry {
  const struct file_operations *fops;  // null: free
  char name[64];
};

vk::RawLock chrdev_lock;               // guards chrdevs
ChrdevEntry chrdevs[kMaxChrdev];
}  // namespace

// 0 when registered under the major given; the major chosen when major was 0 (searched
// from 254 down, as the kernel does); -EBUSY when taken (or none free), -EINVAL when out
// of range or fops is null, -ENOMEM when the registration fault is injected. Never sleeps.
int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops) {
  if (major >= kMaxChrdev || !fops) return -EINVAL;
  if (machine::should_fail(machine::Fault::register_chrdev)) return -ENOMEM;
  vk::RawGuard g(&chrdev_lock);
  unsigned chosen = major;
  if (major == 0) {
    for (unsigned m = kMaxChrdev - 2; m > 0 && chosen == 0; --m)
      if (!chrdevs[m].fops) chosen = m;
    if (chosen == 0) return -EBUSY;
  } else if (chrdevs[major].fops) {
    return -EBUSY;
  }
  chrdevs[chosen].fops = fops;
  std::strncpy(chrdevs[chosen].name, name ? name : "", sizeof chrdevs[chosen].name - 1);
  return major == 0 ? (int)chosen : 0;
}

// 0, or -EINVAL when nothing is registered under major. Files already open keep their
// operations (they hold a reference to the owner); new opens of the major fail.
int unregister_chrdev(unsigned int major, const char *name) {
  if (major == 0 || major >= kMaxChrdev) return -EINVAL;
  vk::RawGuard g(&chrdev_lock);
  if (!chrdevs[major].fops) return -EINVAL;
  chrdevs[major] = ChrdevEntry{};
  return 0;
}

namespace vk {

// The driver of dev's major with a reference on its owner module. 0 and *fops set;
// -ENXIO when no driver is registered, -ENODEV when its module is being unloaded.
// The reference is taken under the table lock so an unregister cannot slip in between.
int chrdev_get(dev_t dev, const struct file_operations **fops) {
  unsigned major = MAJOR(dev);
  if (major == 0 || major >= kMaxChrdev) return -ENXIO;
  RawGuard g(&chrdev_lock);
  const struct file_operations *f = chrdevs[major].fops;
  if (!f) return -ENXIO;
  if (!try_module_get(f->owner)) return -ENODEV;
  *fops = f;
  return 0;
}

}  // namespace vk
