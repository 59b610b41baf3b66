// Descriptor system calls of a process: open, close, dup, ioctl, read, write, poll.
// Each runs the driver in the calling process's context (current->mm is its mm) and
// holds a file reference for the length of the call, so release never runs under a
// call still in the driver.
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <asm/uaccess.h>

#include "src/user/char/file_internal.h"
#include "src/user/mmap/user_internal.h"

namespace {
constexpr size_t kMaxFds = 1024;

// The lowest free slot, marked reserved; -EMFILE when the table is full.
int reserve_fd(machine::Process *p) {
  vk::RawGuard g(&p->fd_lock);
  for (size_t i = 0; i < p->fds.size(); ++i) {
    if (!p->fds[i]) {
      p->fds[i] = vk::reserved_fd();
      return (int)i;
    }
  }
  if (p->fds.size() >= kMaxFds) return -EMFILE;
  p->fds.push_back(vk::reserved_fd());
  return (int)p->fds.size() - 1;
}

void set_fd(machine::Process *p, int fd, struct file *f) {
  vk::RawGuard g(&p->fd_lock);
  p->fds[fd] = f;
}
}  // namespace

namespace vk {
struct file *fget(machine::Process *p, int fd) {
  RawGuard g(&p->fd_lock);
  if (fd < 0 || (size_t)fd >= p->fds.size()) return nullptr;
  struct file *f = p->fds[fd];
  if (!f || f == reserved_fd()) return nullptr;
  get_file(f);
  return f;
}
}  // namespace vk

namespace machine {

// The lowest free descriptor, or -ENOENT (no node), -EMFILE, -ENXIO (no driver),
// -ENODEV (its module is going) or the driver's open error; a refused open leaves
// nothing allocated. May sleep.
int sys_open(Process *p, const std::string &path) {
  struct inode *inode = vk::node_lookup(path);
  if (!inode) return -ENOENT;
  int fd = reserve_fd(p);
  if (fd < 0) return fd;
  vk::UseMm use(p->mm);
  int err = 0;
  struct file *f = vk::file_open(inode, &err);
  set_fd(p, fd, f);  // null frees the reserved slot again
  return f ? fd : err;
}

// 0 or -EBADF. The file is released here only if no other descriptor or mapping holds it.
int sys_close(Process *p, int fd) {
  struct file *f = nullptr;
  {
    vk::RawGuard g(&p->fd_lock);
    if (fd >= 0 && (size_t)fd < p->fds.size() && p->fds[fd] != vk::reserved_fd()) {
      f = p->fds[fd];
      p->fds[fd] = nullptr;
    }
  }
  if (!f) return -EBADF;
  vk::UseMm use(p->mm);
  fput(f);
  return 0;
}

int sys_dup(Process *p, int fd) {
  vk::RawGuard g(&p->fd_lock);
  if (fd < 0 || (size_t)fd >= p->fds.size()) return -EBADF;
  struct file *f = p->fds[fd];
  if (!f || f == vk::reserved_fd()) return -EBADF;
  size_t slot = 0;
  while (slot < p->fds.size() && p->fds[slot]) ++slot;
  if (slot == p->fds.size()) {
    if (slot >= kMaxFds) return -EMFILE;
    p->fds.push_back(nullptr);
  }
  get_file(f);
  p->fds[slot] = f;
  return (int)slot;
}

// The driver's ioctl result as it is (positive codes included), -EBADF, or -ENOTTY when
// the driver has no ioctl. May sleep.
long sys_ioctl(Process *p, int fd, unsigned int cmd, unsigned long arg) {
  struct file *f = vk::fget(p, fd);
  if (!f) return -EBADF;
  long rc = -ENOTTY;
  {
    vk::UseMm use(p->mm);
    if (f->f_op->ioctl)
      rc = f->f_op->ioctl(f->f_inode, f, cmd, arg);
    else if (f->f_op->unlocked_ioctl)
      rc = f->f_op->unlocked_ioctl(f, cmd, arg);
    fput(f);
  }
  return rc;
}

namespace {
// read and write share their shape: the position is read, passed by address and stored
// back, as the kernel's file_pos_read/file_pos_write do.
template <typename Fn>
long rw_call(Process *p, int fd, uint32_t buf, size_t count, int verify, bool write, Fn fn) {
  struct file *f = vk::fget(p, fd);
  if (!f) return -EBADF;
  long rc;
  vk::UseMm use(p->mm);
  bool has = write ? f->f_op->write != nullptr : f->f_op->read != nullptr;
  if (!has) {
    rc = -EINVAL;
  } else if (!access_ok(verify, (const void __user *)(uintptr_t)buf, count)) {
    rc = -EFAULT;
  } else {
    loff_t pos = __atomic_load_n(&f->f_pos, __ATOMIC_RELAXED);
    rc = fn(f, (char __user *)(uintptr_t)buf, count, &pos);
    __atomic_store_n(&f->f_pos, pos, __ATOMIC_RELAXED);
  }
  fput(f);
  return rc;
}
}  // namespace

// Bytes read / written, or -EBADF, -EINVAL (no such operation), -EFAULT (buffer outside
// user space), or the driver's error. May sleep.
long sys_read(Process *p, int fd, uint32_t buf, size_t count) {
  return rw_call(p, fd, buf, count, VERIFY_WRITE, false,
                 [](struct file *f, char __user *b, size_t n, loff_t *pos) {
                   return (long)f->f_op->read(f, b, n, pos);
                 });
}

long sys_write(Process *p, int fd, uint32_t buf, size_t count) {
  return rw_call(p, fd, buf, count, VERIFY_READ, true,
                 [](struct file *f, char __user *b, size_t n, loff_t *pos) {
                   return (long)f->f_op->write(f, b, n, pos);
                 });
}

// The events ready among `events` (plus POLLERR/POLLHUP, always reported), without
// waiting; POLLNVAL for a bad descriptor, as poll(2) reports it. A driver without poll
// is always ready for reading and writing.
int sys_poll(Process *p, int fd, short events) {
  struct file *f = vk::fget(p, fd);
  if (!f) return POLLNVAL;
  unsigned int mask = DEFAULT_POLLMASK;
  {
    vk::UseMm use(p->mm);
    if (f->f_op->poll) {
      poll_table pt{};
      mask = f->f_op->poll(f, &pt);
    }
    fput(f);
  }
  return (int)(mask & ((unsigned short)events | POLLERR | POLLHUP | POLLNVAL));
}

}  // namespace machine
