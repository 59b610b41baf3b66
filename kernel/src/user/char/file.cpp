// Open files. A file holds one reference per descriptor and per mapping (f_count); the
// last one to go runs the driver's release, drops the module reference and frees it.
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <machine/kernel.h>

#include <fcntl.h>

#include "src/user/char/file_internal.h"
#include "src/user/mmap/user_internal.h"

namespace vk {

// A fresh file on the inode's device with f_count 1 after the driver's open succeeded;
// null with *err set otherwise (-ENXIO no driver, -ENODEV module going, the driver's own
// negative result, -EINVAL for a positive one, which a kernel would take for a pointer).
// Nothing stays allocated on failure. May sleep (the driver's open may).
struct file *file_open(struct inode *inode, int *err) {
  const struct file_operations *fops = nullptr;
  int rc = chrdev_get(inode->i_rdev, &fops);
  if (rc) {
    *err = rc;
    return nullptr;
  }
  auto *f = new file{};
  machine::live_add(machine::Obj::file, 1);
  f->f_op = fops;
  f->f_inode = inode;
  f->f_flags = O_RDWR;
  f->f_mode = FMODE_READ | FMODE_WRITE;
  atomic_set(&f->f_count, 1);
  if (fops->open) {
    rc = fops->open(inode, f);
    if (rc > 0) {
      WARN_ON(rc > 0);  // open handlers give 0 or a negative errno
      rc = -EINVAL;
    }
  }
  if (rc) {
    module_put(fops->owner);
    delete f;
    machine::live_add(machine::Obj::file, -1);
    *err = rc;
    return nullptr;
  }
  return f;
}

}  // namespace vk

// Drops one reference; the last runs release (its result is ignored, as the kernel
// does), then drops the module reference and frees the file. May sleep (release may);
// call with no lock of the stand-in held.
void fput(struct file *f) {
  if (!atomic_dec_and_test(&f->f_count)) return;
  const struct file_operations *fops = f->f_op;
  if (fops && fops->release) fops->release(f->f_inode, f);
  module_put(fops ? fops->owner : nullptr);
  delete f;
  machine::live_add(machine::Obj::file, -1);
}
