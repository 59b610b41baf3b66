// The kernel's access to the current process's memory. A user pointer carries a 32-bit
// address of current->mm; a task without an mm (kernel thread, interrupt) reaches
// nothing. Copies stop at the first byte that is unmapped, lacks the permission or whose
// page fault fails, and return the bytes NOT copied.
#include <asm/uaccess.h>
#include <linux/sched.h>
#include <machine/kernel.h>

#include <cstring>

#include "src/user/mmap/user_internal.h"
#include "src/core/sched/sched_point.h"

namespace {

// Bytes not moved. An injected fault of `kind` fails the whole copy. Like the kernel's
// copy_from_user, the part of the kernel buffer not copied into is zero-filled. May sleep.
unsigned long user_copy(const void *uptr, uint8_t *buf, unsigned long n, vk::Op op,
                        machine::Fault kind) {
  might_sleep();
  if (n == 0) return 0;
  vk::point(machine::Point::user_copy, op == vk::Op::from_user ? "copy_from_user" : "copy_to_user", uptr);
  size_t done = 0;
  struct mm_struct *mm = get_current()->mm;
  uintptr_t addr = reinterpret_cast<uintptr_t>(uptr);
  if (!machine::should_fail(kind) && mm && addr < (1ull << 32))
    vk::user_access(mm, addr, buf, n, op, &done);
  if (op == vk::Op::from_user && done < n) std::memset(buf + done, 0, n - done);
  return n - done;
}

}  // namespace

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n) {
  return user_copy(from, static_cast<uint8_t *>(to), n, vk::Op::from_user,
                   machine::Fault::copy_from_user);
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n) {
  return user_copy(to, const_cast<uint8_t *>(static_cast<const uint8_t *>(from)), n,
                   vk::Op::to_user, machine::Fault::copy_to_user);
}

unsigned long clear_user(void __user *to, unsigned long n) {
  return user_copy(to, nullptr, n, vk::Op::clear_user, machine::Fault::copy_to_user);
}

// As on i386: only a range check against the top of user space; whether the pages are
// mapped is found out by the copy itself.
int access_ok(int type, const void __user *addr, unsigned long size) {
  uint64_t a = reinterpret_cast<uintptr_t>(addr);
  return a <= vk::kTaskSize && size <= vk::kTaskSize - a;
}
