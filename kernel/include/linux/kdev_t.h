/* The kernel's internal device number: major in the top 12 bits, minor in the low 20. */
#ifndef _VK_LINUX_KDEV_T_H
#define _VK_LINUX_KDEV_T_H
#include <linux/types.h>
#define MINORBITS 20
#define MINORMASK ((1U << MINORBITS) - 1)
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev) & MINORMASK))
#define MKDEV(ma, mi) (((dev_t)(ma) << MINORBITS) | (dev_t)(mi))
#endif
