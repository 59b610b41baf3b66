#ifndef _VK_LINUX_RANDOM_H
#define _VK_LINUX_RANDOM_H
void get_random_bytes(void *buf, int nbytes);
#endif
