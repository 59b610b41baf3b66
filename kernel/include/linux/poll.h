#ifndef _VK_LINUX_POLL_H
#define _VK_LINUX_POLL_H
#include <poll.h>
struct file;
typedef struct poll_table_struct { int unused; } poll_table;
/* What a file without a poll operation reports: always ready. */
#define DEFAULT_POLLMASK (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM)
/* The stand-in's poll never sleeps, so there is nothing to queue on. */
static inline void poll_wait(struct file *filp, void *wait_address, poll_table *p) {}
#endif
