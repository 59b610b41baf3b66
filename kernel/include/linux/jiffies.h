/* The tick counter. HZ is 1000, so a jiffy is a millisecond of the host's monotonic
 * clock as the host's tick last updated it (no system call per read; it moves in steps
 * of the host's tick, a few jiffies at a time). `jiffies` reads that clock on every use;
 * it starts five minutes before its 32-bit wrap as in the kernel, so comparisons must use
 * time_after(). */
#ifndef _VK_LINUX_JIFFIES_H
#define _VK_LINUX_JIFFIES_H
#define HZ 1000
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))
unsigned long get_jiffies(void);
#define jiffies (get_jiffies())
#define time_after(a, b) ((long)((b) - (a)) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((long)((a) - (b)) >= 0)
#define time_before_eq(a, b) time_after_eq(b, a)
static inline unsigned int jiffies_to_msecs(unsigned long j) { return (unsigned int)j; }
static inline unsigned long msecs_to_jiffies(unsigned int m) { return m; }
#endif
