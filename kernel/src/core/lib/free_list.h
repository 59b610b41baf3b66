// A bounded stack of freed host blocks of one size, for the stand-in's allocators whose
// objects come and go once per block of I/O (bios, buffer heads, small kmalloc objects).
// A kernel serves those from slabs that keep freed objects; without this every one was a
// host allocation and free, often freed on another thread than the one that allocated it.
//
// Under AddressSanitizer nothing is kept (capacity 0): every block goes back to the host,
// so a use after free is still reported at once.
//
// Thread-safety: pop and push take the list's raw lock; any context may call them.
#pragma once
#include <cstddef>
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
  // Keeps at most `capacity` blocks (none under AddressSanitizer).
  explicit FreeList(size_t capacity) : capacity_(kKeepFreed ? capacity : 0) {}
  FreeList(const FreeList&) = delete;
  FreeList& operator=(const FreeList&) = delete;

  // A kept block, or null when none is kept.
  void* pop() {
    if (capacity_ == 0) return nullptr;
    RawGuard g(&lock_);
    if (blocks_.empty()) return nullptr;
    void* p = blocks_.back();
    blocks_.pop_back();
    return p;
  }

  // Keeps the block; false when the list is full (the caller frees it to the host).
  bool push(void* p) {
    if (capacity_ == 0) return false;
    RawGuard g(&lock_);
    if (blocks_.size() >= capacity_) return false;
    if (blocks_.capacity() == 0) blocks_.reserve(capacity_);
    blocks_.push_back(p);
    return true;
  }

 private:
  RawLock lock_;
  size_t capacity_;
  std::vector<void*> blocks_;  // guarded by lock_
};

}  // namespace vk
