/* Atomic bit operations on a bit string of unsigned longs: bit nr is bit (nr % BITS_PER_LONG)
 * of word nr / BITS_PER_LONG; on this little-endian machine that is bit (nr % 8) of byte
 * nr / 8, whatever the word size. Safe in any context; they never sleep. */
#ifndef _VK_ASM_BITOPS_H
#define _VK_ASM_BITOPS_H
#define BITS_PER_LONG ((int)(8 * sizeof(unsigned long)))
#define BIT_WORD(nr) ((nr) / BITS_PER_LONG)
#define BIT_MASK(nr) (1UL << ((nr) % BITS_PER_LONG))
static inline void set_bit(unsigned long nr, volatile unsigned long *addr) {
  __atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void clear_bit(unsigned long nr, volatile unsigned long *addr) {
  __atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline int test_bit(unsigned long nr, const volatile unsigned long *addr) {
  return (__atomic_load_n(addr + BIT_WORD(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_set_bit(unsigned long nr, volatile unsigned long *addr) {
  return (__atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_clear_bit(unsigned long nr, volatile unsigned long *addr) {
  return (__atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
#endif
