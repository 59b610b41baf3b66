#ifndef _VK_LINUX_STRING_H
#define _VK_LINUX_STRING_H
#include <string.h>
#endif
