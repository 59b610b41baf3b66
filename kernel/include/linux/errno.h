/* The host uses the kernel's own numbering, so the system header serves as is. */
#ifndef _VK_LINUX_ERRNO_H
#define _VK_LINUX_ERRNO_H
#include_next <linux/errno.h>
#ifndef ERESTARTSYS
#define ERESTARTSYS 512
#endif
#endif
