#ifndef _VK_LINUX_POLL_H
#define _VK_LINUX_POLL_H
#include <poll.h>
struct file;
typedef struct poll_table_struct { int unused; } poll_table;
#endif
