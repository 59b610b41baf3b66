// The stand-in's own short-held lock for its internal tables (log ring, fault state,
// allocation registries, pid table). Not a kernel object: it never counts as atomic
// context and never calls might_sleep, so any context may take it. Zero is unlocked.
//
// Thread-safety: the whole point; waiters sleep on a futex of `word`.
#pragma once
#include "host/host.h"

namespace vk {

struct RawLock {
  int word = 0;  // 0 unlocked, 1 locked, 2 locked with sleepers
};

inline void raw_lock(RawLock* l) {
  int c = 0;
  if (__atomic_compare_exchange_n(&l->word, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
  for (int spin = 0; spin < 64; ++spin) {
    c = 0;
    if (__atomic_load_n(&l->word, __ATOMIC_RELAXED) == 0 &&
        __atomic_compare_exchange_n(&l->word, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return;
    __builtin_ia32_pause();
  }
  // Mark contended; whoever unlocks sees the 2 and wakes one sleeper.
  while (__atomic_exchange_n(&l->word, 2, __ATOMIC_ACQUIRE) != 0) host::futex_wait(&l->word, 2, -1);
}

inline void raw_unlock(RawLock* l) {
  if (__atomic_exchange_n(&l->word, 0, __ATOMIC_RELEASE) == 2) host::futex_wake(&l->word, 1);
}

// Scope guard for the stand-in's internal code.
struct RawGuard {
  RawLock* l;
  explicit RawGuard(RawLock* lock) : l(lock) { raw_lock(l); }
  ~RawGuard() { raw_unlock(l); }
  RawGuard(const RawGuard&) = delete;
  RawGuard& operator=(const RawGuard&) = delete;
};

}  // namespace vk
