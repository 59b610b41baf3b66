// The I/O engine's host side: a plugged work queue, engine threads, a plain lock, clocks.
#include "block_host.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace blkhost {

struct WorkQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Item> items;
  std::chrono::microseconds gap{0};
  size_t unplug_count = 1;
  bool released = false;  // the current burst may be taken without waiting for a pause
  bool closed = false;
  std::chrono::steady_clock::time_point last_push;
};

WorkQueue* wq_create(unsigned gap_us, size_t unplug_count) {
  auto* q = new WorkQueue;
  q->gap = std::chrono::microseconds(gap_us);
  q->unplug_count = unplug_count ? unplug_count : 1;
  return q;
}

void wq_push(WorkQueue* q, Item it) {
  bool wake_one = false, wake_all = false;
  {
    std::lock_guard<std::mutex> g(q->mu);
    q->items.push_back(it);
    q->last_push = std::chrono::steady_clock::now();
    if (q->items.size() == 1) {
      // A new burst: an engine thread starts watching for the producers' pause.
      q->released = q->gap.count() == 0;
      wake_one = true;
    }
    if (!q->released && q->items.size() >= q->unplug_count) {
      q->released = true;
      wake_all = true;
    }
  }
  if (wake_all)
    q->cv.notify_all();
  else if (wake_one)
    q->cv.notify_one();
}

void wq_kick(WorkQueue* q) {
  {
    std::lock_guard<std::mutex> g(q->mu);
    if (q->items.empty() || q->released) return;
    q->released = true;
  }
  q->cv.notify_all();
}

// Moves up to max items out. Needs q->mu. Returns the count and whether items are left.
static size_t take(WorkQueue* q, Item* out, size_t max, bool* more) {
  size_t n = 0;
  while (n < max && !q->items.empty()) {
    out[n++] = q->items.front();
    q->items.pop_front();
  }
  *more = !q->items.empty();
  if (!*more) q->released = false;
  return n;
}

size_t wq_pop(WorkQueue* q, Item* out, size_t max) {
  std::unique_lock<std::mutex> g(q->mu);
  for (;;) {
    if (q->items.empty()) {
      if (q->closed) return 0;
      q->cv.wait(g);
      continue;
    }
    auto pause_ends = q->last_push + q->gap;
    if (!q->released && !q->closed && std::chrono::steady_clock::now() < pause_ends) {
      q->cv.wait_until(g, pause_ends);
      continue;
    }
    bool more;
    size_t n = take(q, out, max, &more);
    g.unlock();
    if (more) q->cv.notify_one();
    return n;
  }
}

size_t wq_try_pop(WorkQueue* q, Item* out, size_t max) {
  std::lock_guard<std::mutex> g(q->mu);
  bool more;
  return take(q, out, max, &more);
}

size_t wq_pending(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  return q->items.size();
}

void wq_close(WorkQueue* q) {
  {
    std::lock_guard<std::mutex> g(q->mu);
    q->closed = true;
  }
  q->cv.notify_all();
}

void wq_destroy(WorkQueue* q) { delete q; }

struct Threads {
  std::vector<std::thread> threads;
};

Threads* threads_start(unsigned n, void (*fn)(void*, unsigned), void* arg) {
  auto* t = new Threads;
  try {
    for (unsigned i = 0; i < n; i++) t->threads.emplace_back(fn, arg, i);
  } catch (...) {
    for (auto& th : t->threads) th.join();
    delete t;
    return nullptr;
  }
  return t;
}

void threads_join(Threads* t) {
  if (!t) return;
  for (auto& th : t->threads) th.join();
  delete t;
}

struct Lock {
  std::mutex mu;
};
Lock* lock_create() { return new Lock; }
void lock_destroy(Lock* l) { delete l; }
void lock_take(Lock* l) { l->mu.lock(); }
void lock_release(Lock* l) { l->mu.unlock(); }

uint64_t monotonic_ns() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleep_us(unsigned us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace blkhost
