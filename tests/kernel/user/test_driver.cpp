#include "test_driver.h"

#include <linux/errno.h>
#include <linux/slab.h>

#include <cstring>

namespace tdrv {

State *st;

namespace {

int tdrv_open(struct inode *inode, struct file *file) {
  st->opens++;
  if (int rc = st->open_result.load()) return rc;
  auto *h = new Handle{st->opens.load(), file};
  file->private_data = h;
  st->live_handles++;
  return 0;
}

int tdrv_release(struct inode *inode, struct file *file) {
  st->release_had_mm = current->mm != nullptr;
  delete static_cast<Handle *>(file->private_data);
  file->private_data = nullptr;
  st->live_handles--;
  st->releases++;
  return 0;
}

int tdrv_ioctl(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg) {
  auto *h = static_cast<Handle *>(file->private_data);
  switch (cmd) {
    case kEcho:
      return (int)arg;
    case kSlowEcho:
      for (int i = 0; i < 50; ++i) yield();
      return (int)arg;
    case kBump: {
      Rec r;
      if (unsigned long left = copy_from_user(&r, (void __user *)arg, sizeof r)) return 1000 + (int)left;
      r.a += 1;
      r.b = h->id;
      if (unsigned long left = copy_to_user((void __user *)arg, &r, sizeof r)) return 2000 + (int)left;
      return 0;
    }
    case kHasMm:
      return current->mm != nullptr;
    case kCall:
      return st->on_call ? (int)st->on_call(arg) : -ENOTTY;
  }
  return -ENOTTY;
}

ssize_t tdrv_read(struct file *file, char __user *buf, size_t count, loff_t *ppos) {
  static const char text[] = "hello";
  if (*ppos >= 5) return 0;
  size_t n = std::min<size_t>(count, 5 - *ppos);
  if (copy_to_user(buf, text + *ppos, n)) return -EFAULT;
  *ppos += n;
  return (ssize_t)n;
}

ssize_t tdrv_write(struct file *file, const char __user *buf, size_t count, loff_t *ppos) {
  char tmp[64];
  size_t n = std::min(count, sizeof tmp);
  if (copy_from_user(tmp, buf, n)) return -EFAULT;
  *ppos += n;
  return (ssize_t)n;
}

unsigned int tdrv_poll(struct file *file, poll_table *wait) { return POLLIN | POLLRDNORM; }

void tdrv_vm_close(struct vm_area_struct *vma) { st->vm_closes++; }

struct page *tdrv_nopage(struct vm_area_struct *vma, unsigned long address, int *type) {
  st->nopages++;
  long k = (long)((address - vma->vm_start) >> PAGE_SHIFT) + (long)vma->vm_pgoff;
  if (k >= kPages || k == st->bad_page.load()) return NOPAGE_SIGBUS;
  get_page(st->pages[k]);
  return st->pages[k];
}

struct vm_operations_struct tdrv_vm_ops = {nullptr, tdrv_vm_close, tdrv_nopage};

int tdrv_mmap(struct file *file, struct vm_area_struct *vma) {
  st->mmaps++;
  st->last_vm_flags = vma->vm_flags;
  st->last_pgoff = vma->vm_pgoff;
  if (int rc = st->mmap_result.load()) return rc;
  vma->vm_ops = &tdrv_vm_ops;
  vma->vm_private_data = file->private_data;
  return 0;
}

}  // namespace

struct file_operations tdrv_fops = [] {
  struct file_operations f = {};
  f.read = tdrv_read;
  f.write = tdrv_write;
  f.poll = tdrv_poll;
  f.ioctl = tdrv_ioctl;
  f.mmap = tdrv_mmap;
  f.open = tdrv_open;
  f.release = tdrv_release;
  return f;
}();

void setup() {
  st = new State;
  for (int i = 0; i < kPages; ++i) {
    st->pages[i] = alloc_page(GFP_KERNEL);
    std::memset(page_address(st->pages[i]), 'A' + i, PAGE_SIZE);
  }
  tdrv_fops.owner = &st->owner;
  register_chrdev(kMajor, "tdrv", &tdrv_fops);
  machine::mknod_char(kNode, kMajor, 0);  // -EEXIST after the first test: same node
}

void teardown() {
  unregister_chrdev(kMajor, "tdrv");
  for (struct page *p : st->pages) __free_page(p);
  delete st;
  st = nullptr;
}

}  // namespace tdrv
