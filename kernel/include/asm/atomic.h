/* atomic_t: a plain int operated on with sequentially consistent atomics. */
#ifndef _VK_ASM_ATOMIC_H
#define _VK_ASM_ATOMIC_H
typedef struct { volatile int counter; } atomic_t;
/* Every read-modify-write is a schedule point: another CPU may act between two of them.
 * Off, it costs one relaxed load and a branch predicted not taken. */
extern bool vk_points_on;
void vk_point_atomic(const void *v);
#define VK_ATOMIC_POINT(v) \
  do { if (__builtin_expect(__atomic_load_n(&vk_points_on, __ATOMIC_RELAXED), 0)) vk_point_atomic(v); } while (0)
#define ATOMIC_INIT(i) { (i) }
static inline int atomic_read(const atomic_t *v) { return __atomic_load_n(&v->counter, __ATOMIC_SEQ_CST); }
static inline void atomic_set(atomic_t *v, int i) { __atomic_store_n(&v->counter, i, __ATOMIC_SEQ_CST); }
static inline void atomic_add(int i, atomic_t *v) { VK_ATOMIC_POINT(v); __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
static inline void atomic_sub(int i, atomic_t *v) { VK_ATOMIC_POINT(v); __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
static inline void atomic_inc(atomic_t *v) { atomic_add(1, v); }
static inline void atomic_dec(atomic_t *v) { atomic_sub(1, v); }
static inline int atomic_add_return(int i, atomic_t *v) { VK_ATOMIC_POINT(v); return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
static inline int atomic_sub_return(int i, atomic_t *v) { VK_ATOMIC_POINT(v); return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST); }
static inline int atomic_inc_return(atomic_t *v) { return atomic_add_return(1, v); }
static inline int atomic_dec_return(atomic_t *v) { return atomic_sub_return(1, v); }
static inline int atomic_dec_and_test(atomic_t *v) { return atomic_sub_return(1, v) == 0; }
static inline int atomic_inc_and_test(atomic_t *v) { return atomic_add_return(1, v) == 0; }
static inline int atomic_sub_and_test(int i, atomic_t *v) { return atomic_sub_return(i, v) == 0; }
static inline int atomic_cmpxchg(atomic_t *v, int old, int n) { VK_ATOMIC_POINT(v);
  __atomic_compare_exchange_n(&v->counter, &old, n, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return old;
}
static inline int atomic_xchg(atomic_t *v, int n) { VK_ATOMIC_POINT(v); return __atomic_exchange_n(&v->counter, n, __ATOMIC_SEQ_CST); }
#endif
