/* Kernel integer types for the stand-in. The host's <sys/types.h> is pulled in first so
 * that host and kernel code can share a translation unit; dev_t is then redirected to the
 * kernel's 32-bit internal form (12-bit major, 20-bit minor). */
#ifndef _VK_LINUX_TYPES_H
#define _VK_LINUX_TYPES_H
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include_next <linux/types.h> /* __u8 ... __s64, which host headers expect */

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;

typedef u32 __kernel_dev_t;
#define dev_t __kernel_dev_t

typedef u64 sector_t;
typedef unsigned gfp_t;
typedef unsigned long pgoff_t;

#endif
