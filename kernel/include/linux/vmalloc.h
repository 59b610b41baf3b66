#ifndef _VK_LINUX_VMALLOC_H
#define _VK_LINUX_VMALLOC_H
#include <linux/types.h>
void *vmalloc(unsigned long size); /* may sleep; null on failure */
void vfree(void *addr);
#endif
