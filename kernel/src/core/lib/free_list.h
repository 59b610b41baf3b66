// A bounded stack of freed host blocks of one size, for the stand-in's allocators whose
// objects come and go once per block of I/O (bios, buffer heads). A kernel serves those
// from slabs that keep freed objects in per-CPU caches; without this every one was a
// host allocation and free, often freed on another thread than the one that allocated it.
//
// Each thread keeps a small cache of its own in front of the shared stack, as a slab's
// per-CPU array is, so that a thread that frees what it allocated (the module's reads,
// which the submitting thread completes itself) takes no lock at all; a cache that runs
// empty or full moves half its size from or to the shared stack at once. A thread's cache
// goes back to the shared stack when the thread ends. Blocks come from malloc: what the
// shared stack has no room for then is freed.
//
// Under AddressSanitizer nothing is kept (capacity 0): every block goes back to the host,
// so a use after free is still reported at once.
//
// Thread-safety: pop and push from any thread and any context; the shared stack is under
// the list's raw lock.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "src/core/lib/raw_lock.h"

#if defined(__SANITIZE_ADDRESS__)
#define VK_KEEP_FREED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_KEEP_FREED 0
#endif
#endif
#ifndef VK_KEEP_FREED
#define VK_KEEP_FREED 1
#endif

namespace vk {

inline constexpr bool kKeepFreed = VK_KEEP_FREED != 0;

class FreeList {
 public:
  // Keeps at most `capacity` blocks in the shared stack (none under AddressSanitizer).
  // A process has at most kMaxLists lists (they are never destroyed).
  explicit FreeList(size_t capacity) : capacity_(kKeepFreed ? capacity : 0) {
    if (capacity_ == 0) return;
    RawGuard g(&registry_lock());
    if (lists_made() < kMaxLists) {
      index_ = lists_made();
      registry()[lists_made()++] = this;
    }
  }
  FreeList(const FreeList&) = delete;
  FreeList& operator=(const FreeList&) = delete;

  // A kept block, or null when none is kept.
  void* pop() {
    if (capacity_ == 0) return nullptr;
    Cache* c = cache();
    if (!c) return pop_shared();
    if (c->n == 0) refill(c);
    return c->n ? c->slots[--c->n] : nullptr;
  }

  // Keeps the block; false when there is no room (the caller frees it to the host).
  bool push(void* p) {
    if (capacity_ == 0) return false;
    Cache* c = cache();
    if (!c) return push_shared(p);
    if (c->n == kCacheSlots) spill(c, kCacheSlots / 2);
    if (c->n == kCacheSlots) return false;
    c->slots[c->n++] = p;
    return true;
  }

 private:
  static constexpr size_t kMaxLists = 8;
  static constexpr unsigned kCacheSlots = 64;

  struct Cache {
    void* slots[kCacheSlots];
    unsigned n = 0;
  };
  // A thread's caches, one per list; given back when the thread ends.
  struct ThreadCaches {
    Cache of[kMaxLists];
    ~ThreadCaches() {
      for (size_t i = 0; i < kMaxLists; i++) {
        if (of[i].n == 0) continue;
        FreeList* l = registry()[i];
        l->spill(&of[i], of[i].n);
        while (of[i].n) free(of[i].slots[--of[i].n]);
      }
      t_caches = nullptr;
    }
  };
  static inline thread_local ThreadCaches* t_caches = nullptr;

  static RawLock& registry_lock() {
    static RawLock& l = *new RawLock;
    return l;
  }
  static FreeList** registry() {
    static FreeList* r[kMaxLists];
    return r;
  }
  static size_t& lists_made() {
    static size_t n = 0;
    return n;
  }

  // The calling thread's cache of this list; null for a list beyond kMaxLists, or while
  // the thread is ending.
  Cache* cache() {
    if (index_ < 0) return nullptr;
    ThreadCaches* t = t_caches;
    if (__builtin_expect(t == nullptr, 0)) t = attach();
    return t ? &t->of[index_] : nullptr;
  }

  static ThreadCaches* attach() {
    static thread_local bool ended = false;
    if (ended) return nullptr;
    static thread_local struct Owner {
      ThreadCaches caches;
      ~Owner() { ended = true; }
    } owner;
    t_caches = &owner.caches;
    return t_caches;
  }

  void refill(Cache* c) {
    RawGuard g(&lock_);
    while (c->n < kCacheSlots / 2 && !blocks_.empty()) {
      c->slots[c->n++] = blocks_.back();
      blocks_.pop_back();
    }
  }

  // Moves up to n blocks of the cache to the shared stack, as far as it has room.
  void spill(Cache* c, unsigned n) {
    RawGuard g(&lock_);
    if (blocks_.capacity() == 0) blocks_.reserve(capacity_);
    while (n-- > 0 && c->n > 0 && blocks_.size() < capacity_) blocks_.push_back(c->slots[--c->n]);
  }

  void* pop_shared() {
    RawGuard g(&lock_);
    if (blocks_.empty()) return nullptr;
    void* p = blocks_.back();
    blocks_.pop_back();
    return p;
  }

  bool push_shared(void* p) {
    RawGuard g(&lock_);
    if (blocks_.size() >= capacity_) return false;
    if (blocks_.capacity() == 0) blocks_.reserve(capacity_);
    blocks_.push_back(p);
    return true;
  }

  RawLock lock_;
  size_t capacity_;
  int index_ = -1;
  std::vector<void*> blocks_;  // guarded by lock_
};

}  // namespace vk
