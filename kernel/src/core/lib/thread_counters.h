// Counters that every thread bumps in a block of its own, as a kernel keeps per-CPU
// counters: the stand-in counts every allocation and every fallible call, and one shared
// atomic per kind made each of those a locked instruction on a cache line that the
// submitting thread and the disk's engine threads kept taking from each other.
//
// A block belongs to one thread at a time, which adds to it with a plain load and store;
// a reader sums every block ever made. A thread that ends gives its block back for the
// next new thread, values and all, so the sums never lose what an ended thread counted.
// A sum taken while other threads count is a moment's view, as a kernel's per-CPU sums
// are; once those threads have synchronised with the reader (joined, completed, woken it)
// it is exact.
//
// Thread-safety: add from any thread and any context; sum from any thread. Blocks are
// never freed (threads may outlive static destruction), so a reader never waits.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vk {

// Tag: a type of the user's own, so that each set of counters has its own per-thread
// block.
template <class Tag, size_t N>
class ThreadCounters {
 public:
  static void add(size_t i, int64_t delta) {
    Block* b = t_block;
    if (__builtin_expect(b == nullptr, 0)) b = attach();
    b->v[i].store(b->v[i].load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
  }

  static int64_t sum(size_t i) {
    int64_t s = 0;
    for (Block* b = head().load(std::memory_order_acquire); b; b = b->next) s += b->v[i].load(std::memory_order_relaxed);
    return s;
  }

 private:
  struct Block {
    std::atomic<int64_t> v[N]{};
    Block* next = nullptr;       // every block, newest first; set before publication
    Block* next_free = nullptr;  // guarded by free_lock()
  };

  // Gives the block back when its thread ends. A count made later on that thread, by a
  // destructor that runs after this one, takes a new block that stays with the dead
  // thread: it still counts in every sum.
  struct Owner {
    Block* b = nullptr;
    ~Owner() {
      if (!b) return;
      t_block = nullptr;
      std::lock_guard<std::mutex> g(free_lock());
      b->next_free = free_head();
      free_head() = b;
    }
  };

  static inline thread_local Block* t_block = nullptr;

  static std::atomic<Block*>& head() {
    static std::atomic<Block*> h{nullptr};
    return h;
  }
  static std::mutex& free_lock() {
    static std::mutex& m = *new std::mutex;
    return m;
  }
  static Block*& free_head() {
    static Block* f = nullptr;
    return f;
  }

  __attribute__((noinline)) static Block* attach() {
    Block* b = nullptr;
    {
      std::lock_guard<std::mutex> g(free_lock());
      if ((b = free_head())) free_head() = b->next_free;
    }
    if (!b) {
      b = new Block;
      b->next = head().load(std::memory_order_relaxed);
      while (!head().compare_exchange_weak(b->next, b, std::memory_order_release, std::memory_order_relaxed)) {
      }
    }
    static thread_local Owner owner;
    if (!owner.b) owner.b = b;
    t_block = b;
    return b;
  }
};

}  // namespace vk
