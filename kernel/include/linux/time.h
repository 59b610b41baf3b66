#ifndef _VK_LINUX_TIME_H
#define _VK_LINUX_TIME_H
#include <time.h> /* struct timespec: the host's has the kernel's fields (tv_sec, tv_nsec) */
#include <linux/types.h>
struct timespec current_kernel_time(void); /* wall clock */
#define NSEC_PER_SEC 1000000000L
#define NSEC_PER_USEC 1000L
#endif
