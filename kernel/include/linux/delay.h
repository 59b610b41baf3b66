#ifndef _VK_LINUX_DELAY_H
#define _VK_LINUX_DELAY_H
void msleep(unsigned int msecs); /* may sleep */
void udelay(unsigned long usecs); /* busy wait */
#endif
