/* xchg, cmpxchg and set_mb on an aligned word, as i386 has them (set_mb is an xchg there).
 * Each is a schedule point: another CPU may act just before it, so a test can park a task
 * between its read of a word and its change of it. Safe in any context; they never sleep. */
#ifndef _VK_ASM_SYSTEM_H
#define _VK_ASM_SYSTEM_H
#include <asm/atomic.h>
/* Stores v in *ptr and returns what was there. */
#define xchg(ptr, v) ({ VK_ATOMIC_POINT((const void *)(ptr)); __atomic_exchange_n((ptr), (v), __ATOMIC_SEQ_CST); })
/* Stores n in *ptr if it holds o; returns what *ptr held (o when the store was made). */
#define cmpxchg(ptr, o, n)                                                                         \
  ({                                                                                               \
    __typeof__(*(ptr) + 0) __vk_old = (o);                                                         \
    VK_ATOMIC_POINT((const void *)(ptr));                                                          \
    __atomic_compare_exchange_n((ptr), &__vk_old, (n), 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);     \
    __vk_old;                                                                                      \
  })
/* A store followed by a full barrier. */
#define set_mb(var, value) ((void)xchg(&(var), (value)))
#endif
