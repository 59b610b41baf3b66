#ifndef _VK_LINUX_INIT_H
#define _VK_LINUX_INIT_H
#include <linux/compiler.h>
#endif
