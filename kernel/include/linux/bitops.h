#ifndef _VK_LINUX_BITOPS_H
#define _VK_LINUX_BITOPS_H
#include <asm/bitops.h>
#endif
