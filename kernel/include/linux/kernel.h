/* printk, BUG and the small helpers every kernel source expects. */
#ifndef _VK_LINUX_KERNEL_H
#define _VK_LINUX_KERNEL_H
#include <linux/compiler.h>
#include <linux/types.h>
#include <stdarg.h>
#include <stdio.h>

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

/* Appends one record to the kernel log ring; the level comes from a leading "<N>"
 * (default 4). Safe in any context. Returns the number of characters logged. */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args);

/* Kernel oops: logs the report and stops the process (abort), like a BUG() in the kernel. */
[[noreturn]] void kernel_bug(const char *file, int line, const char *func);
#define BUG() kernel_bug(__FILE__, __LINE__, __func__)
#define BUG_ON(cond) do { if (unlikely(cond)) BUG(); } while (0)
/* Non-fatal kernel warning: logs a backtrace-style report and counts it. */
void kernel_warn(const char *file, int line, const char *func, const char *cond);
#define WARN_ON(cond) ({ int __w = !!(cond); if (unlikely(__w)) kernel_warn(__FILE__, __LINE__, __func__, #cond); __w; })

#define container_of(ptr, type, member) ((type *)((char *)(ptr) - offsetof(type, member)))
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define min_t(type, x, y) ({ type __x = (x); type __y = (y); __x < __y ? __x : __y; })
#define max_t(type, x, y) ({ type __x = (x); type __y = (y); __x > __y ? __x : __y; })
#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)
#endif
