/* Access to the current process's 32-bit user memory. A user pointer is the agent's
 * 32-bit address carried in a pointer. Copies walk the process's mappings and stop at the
 * first byte that is not mapped (or not readable/writable); they return the number of
 * bytes NOT copied. Device mappings fault their pages in through vm_ops->nopage. May sleep.
 * copy_from_user zero-fills the part of `to` it could not copy, as the kernel's does. A
 * task without an mm (kernel thread, interrupt) copies nothing. Injected faults
 * (copy_from_user; copy_to_user, which clear_user shares) fail the whole copy. */
#ifndef _VK_ASM_UACCESS_H
#define _VK_ASM_UACCESS_H
#include <linux/kernel.h>
#include <linux/errno.h>

#define VERIFY_READ 0
#define VERIFY_WRITE 1
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
unsigned long clear_user(void __user *to, unsigned long n);
int access_ok(int type, const void __user *addr, unsigned long size);
/* put_user / get_user: 0, or -EFAULT. */
#define put_user(x, ptr)                                                                  \
  ({ __typeof__(*(ptr)) __pu_val = (x);                                                    \
     copy_to_user((ptr), &__pu_val, sizeof(*(ptr))) ? -EFAULT : 0; })
#define get_user(x, ptr)                                                                  \
  ({ __typeof__(*(ptr)) __gu_val{};                                                        \
     int __gu_err = copy_from_user(&__gu_val, (ptr), sizeof(*(ptr))) ? -EFAULT : 0;       \
     (x) = __gu_val; __gu_err; })
#endif
