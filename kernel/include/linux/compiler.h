#ifndef _VK_LINUX_COMPILER_H
#define _VK_LINUX_COMPILER_H
#define __user
#define __kernel
#define __iomem
#define __must_check __attribute__((warn_unused_result))
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define barrier() __asm__ __volatile__("" ::: "memory")
#endif
