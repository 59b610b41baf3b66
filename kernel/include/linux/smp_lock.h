#ifndef _VK_LINUX_SMP_LOCK_H
#define _VK_LINUX_SMP_LOCK_H
/* The big kernel lock is given up whenever its holder sleeps; nothing in this module
 * depends on it, so the stand-in keeps it as a no-op. */
static inline void lock_kernel(void) {}
static inline void unlock_kernel(void) {}
#endif
