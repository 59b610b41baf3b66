// Hooks of the lock-order checker, called by the lock implementations; each is also a
// schedule point (src/core/sched/sched_point.h). With the checker compiled out
// (VELLOC_LOCK_CHECK off) only the schedule points remain.
//
// Thread-safety: any context; each hook touches the calling thread's held-lock stack and,
// only for an order between two classes never seen before, the global graph.
#pragma once
#include "src/core/sched/sched_point.h"

namespace vk::lockcheck {

enum class Mode : unsigned char {
  exclusive,       // spin lock, mutex, binary semaphore, write side of an rw lock
  read,            // rw semaphore read side: a waiting writer blocks new readers
  recursive_read,  // rwlock_t read side: readers never wait for readers
  unit,            // a one-unit semaphore: a lock, or a unit handed from thread to thread
};

#if defined(VELLOC_LOCK_CHECK) && VELLOC_LOCK_CHECK
// The caller is about to wait for `lock` of class `dep_class` (null: unchecked lock): its
// order against every lock the thread holds is checked before it can block, then the lock
// counts as held. `trylock`: taken without waiting, so it only counts as held.
void check_acquire(const void* lock, const char* dep_class, Mode mode, bool trylock);
// The lock is free again: dropped from the held stack of whichever thread holds it (a
// semaphore may be released by another thread than the one that took it). Also undoes an
// acquire whose wait was interrupted.
void check_release(const void* lock, const char* dep_class);
// The thread leaves a system call: a semaphore it still holds is a unit handed over to
// whoever ups it (the right to run a worker, say), not a lock around the thread's later
// code, so it no longer orders what the thread takes next.
void return_to_user();
#else
inline void check_acquire(const void*, const char*, Mode, bool) {}
inline void check_release(const void*, const char*) {}
inline void return_to_user() {}
#endif

// A trylock never waits: it is no place where another task gets in before the taker.
inline void acquire(const void* lock, const char* dep_class, Mode mode, bool trylock) {
  if (!trylock) point(machine::Point::lock_acquire, dep_class, lock);
  check_acquire(lock, dep_class, mode, trylock);
}
// The lock is now held: a holder delayed here widens the window in which others wait for it.
inline void acquired(const void* lock, const char* dep_class) { point(machine::Point::lock_acquired, dep_class, lock); }
inline void release(const void* lock, const char* dep_class) {
  point(machine::Point::lock_release, dep_class, lock);
  check_release(lock, dep_class);
}

}  // namespace vk::lockcheck
