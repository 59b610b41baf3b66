// The lock-order checker. Each thread keeps a stack of the locks it holds; taking lock B
// while holding A records the dependency "class of A -> class of B". The dependencies of
// all threads form one graph; a new dependency that closes a cycle (B already reaches A)
// is an order that can deadlock once the threads meet, and is reported at once with the
// stack of every dependency on the cycle, whether or not they ever met.
//
// Rules, as the kernel's lock validator: only the locks taken in the same context
// (process or interrupt) as the new one count as held before it; a trylock and a
// recursive read (rwlock_t) never wait, so nothing is recorded towards them; two locks of
// one class are not ordered against each other (their order cannot be told apart).
// Semaphores also hand units from thread to thread, so a held semaphore stops counting as
// held when another thread ups it (it is dropped from the stack of the thread that took
// it), when its holder takes it again (the first unit was handed over), and when its
// holder returns from a system call.
//
// Thread-safety: a thread's held stack is changed by that thread and, for a release from
// elsewhere, by the releasing thread, both under the stack's raw lock. Classes and
// dependencies are only added, under g_graph; the tests on the hot path (class lookup,
// "is this dependency known") are atomic loads without a lock.
#include "src/core/locking/lock_check.h"

#include <linux/sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "machine/kernel.h"

#if defined(VELLOC_LOCK_CHECK) && VELLOC_LOCK_CHECK
#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "src/core/lib/raw_lock.h"

#if defined(__SANITIZE_THREAD__)
extern "C" {
void AnnotateIgnoreSyncBegin(const char* file, int line);
void AnnotateIgnoreSyncEnd(const char* file, int line);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace vk::lockcheck {
namespace {

// Under ThreadSanitizer the checker's own bookkeeping is invisible: its global locks
// would otherwise order every thread that ups a semaphore after every other one, and hide
// the races of the code being checked. (Its own accesses were checked with this off.)
struct Unobserved {
#if defined(__SANITIZE_THREAD__)
  Unobserved() {
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~Unobserved() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
  }
#else
  Unobserved() {}  // user-provided: a guard, not an unused variable
#endif
  Unobserved(const Unobserved&) = delete;
  Unobserved& operator=(const Unobserved&) = delete;
};

constexpr int kMaxClasses = 1024;    // class 0 is "none"
constexpr int kSlots = 4096;         // class-key table (power of two, > kMaxClasses)
constexpr int kMaxDepth = 48;        // locks one thread may hold at once
constexpr int kMaxReports = 8;       // then further reports are only counted
constexpr int kWords = kMaxClasses / 64;
constexpr int kSkipFrames = 3;       // the checker's own frames and the lock function's
constexpr int kMaxFrames = 24;

// ---- classes ------------------------------------------------------------------------
// A class is one init site; its key is the site's string literal. Equal strings at
// different addresses (one header site in several files) are the same class.
struct Slot {
  std::atomic<const char*> key{nullptr};
  std::atomic<int> id{0};
};
Slot g_slots[kSlots];
const char* g_class_name[kMaxClasses];
std::atomic<int> g_classes{1};

// ---- dependencies ---------------------------------------------------------------------
// g_dep[a] has bit b when "a -> b" is known; g_refused[a] when it was reported as closing
// a cycle (kept out of the graph, which therefore stays acyclic, and not reported again).
std::atomic<uint64_t> g_dep[kMaxClasses][kWords];
std::atomic<uint64_t> g_refused[kMaxClasses][kWords];
std::atomic<int> g_dependencies{0};
std::atomic<int> g_reports{0};
std::atomic<uint64_t> g_unclassed{0};
std::atomic<int> g_max_depth{0};
std::atomic<bool> g_full_warned{false};

struct Origin {
  std::vector<void*> frames;
  std::string task;  // "comm/pid" of the thread that first took the order
};
RawLock g_graph;  // class insertion, dependency insertion, origins, reports
std::unordered_map<uint32_t, Origin>* g_origins;  // never freed: threads may outlive statics

bool has(std::atomic<uint64_t> (*m)[kWords], int a, int b) {
  return (m[a][b / 64].load(std::memory_order_acquire) >> (b % 64)) & 1;
}
void set(std::atomic<uint64_t> (*m)[kWords], int a, int b) {
  m[a][b / 64].fetch_or(uint64_t(1) << (b % 64), std::memory_order_release);
}

// ---- held stacks ----------------------------------------------------------------------
struct Held {
  const void* lock;
  int cls;
  bool irq;          // taken in interrupt context
  bool no_wait;      // trylock or recursive read: nothing ordered before it
  bool unit;         // a semaphore's unit
};

struct ThreadLocks {
  RawLock guard;
  int depth = 0;
  bool overflowed = false;
  Held held[kMaxDepth];
  ThreadLocks* prev = nullptr;
  ThreadLocks* next = nullptr;
};

RawLock g_threads_lock;  // the list of threads; taken before any thread's guard
ThreadLocks* g_threads;

// VELLOC_LOCK_CHECK=0 in the environment turns a checking build's checker off, so that
// its cost can be measured in one build.
const bool g_off = [] {
  const char* v = std::getenv("VELLOC_LOCK_CHECK");
  return v && std::strcmp(v, "0") == 0;
}();

thread_local ThreadLocks* tls_locks;
thread_local bool tls_busy;  // inside the checker: locks taken by the report itself are not checked

struct ThreadLocksOwner {
  bool ended = false;
  ~ThreadLocksOwner() {
    ended = true;
    ThreadLocks* t = tls_locks;
    if (!t) return;
    tls_locks = nullptr;
    Unobserved quiet;
    RawGuard g(&g_threads_lock);
    if (t->prev) t->prev->next = t->next; else g_threads = t->next;
    if (t->next) t->next->prev = t->prev;
    delete t;
  }
};
thread_local ThreadLocksOwner tls_owner;

ThreadLocks* my_locks() {
  if (tls_locks) return tls_locks;
  if (tls_owner.ended) return nullptr;  // thread teardown: no longer checked
  auto* t = new ThreadLocks;
  RawGuard g(&g_threads_lock);
  t->next = g_threads;
  if (g_threads) g_threads->prev = t;
  g_threads = t;
  tls_locks = t;
  return t;
}

// Removes the topmost entry for `lock`; true when there was one. Caller holds t->guard.
bool remove_held(ThreadLocks* t, const void* lock) {
  for (int i = t->depth - 1; i >= 0; --i) {
    if (t->held[i].lock != lock) continue;
    std::memmove(&t->held[i], &t->held[i + 1], sizeof(Held) * size_t(t->depth - i - 1));
    --t->depth;
    return true;
  }
  return false;
}

bool drop(ThreadLocks* t, const void* lock) {
  RawGuard g(&t->guard);
  return remove_held(t, lock);
}

// ---- class lookup -----------------------------------------------------------------------
size_t slot_of(const char* key) { return (reinterpret_cast<uintptr_t>(key) >> 3) * 0x9E3779B97F4A7C15ull >> 52; }

int class_slow(const char* key) {
  RawGuard g(&g_graph);
  size_t i = slot_of(key);
  for (int probes = 0; probes < kSlots; ++probes, i = (i + 1) % kSlots) {
    const char* k = g_slots[i].key.load(std::memory_order_acquire);
    if (k == key) return g_slots[i].id.load(std::memory_order_relaxed);
    if (k) continue;
    int n = g_classes.load(std::memory_order_relaxed);
    int id = 0;
    for (int c = 1; c < n && !id; ++c)
      if (std::strcmp(g_class_name[c], key) == 0) id = c;
    if (!id) {
      if (n >= kMaxClasses) return 0;
      id = n;
      g_class_name[id] = key;
      g_classes.store(n + 1, std::memory_order_release);
    }
    g_slots[i].id.store(id, std::memory_order_relaxed);
    g_slots[i].key.store(key, std::memory_order_release);
    return id;
  }
  return 0;
}

// The class of a key, made on first sight; 0 when the table is full.
int class_of(const char* key) {
  size_t i = slot_of(key);
  for (int probes = 0; probes < kSlots; ++probes, i = (i + 1) % kSlots) {
    const char* k = g_slots[i].key.load(std::memory_order_acquire);
    if (k == key) return g_slots[i].id.load(std::memory_order_relaxed);
    if (!k) break;
  }
  int id = class_slow(key);
  if (!id && !g_full_warned.exchange(true))
    printk("<4>lock-order checker: more than %d lock classes, further classes are not checked\n", kMaxClasses - 1);
  return id;
}

// ---- reports ------------------------------------------------------------------------------
std::string task_name() {
  task_struct* t = get_current();
  return std::string(t->comm) + "/" + std::to_string(t->pid);
}

std::vector<void*> stack_here() {
  void* frames[kMaxFrames + kSkipFrames];
  int n = backtrace(frames, kMaxFrames + kSkipFrames);
  if (n <= kSkipFrames) return {};
  return std::vector<void*>(frames + kSkipFrames, frames + n);
}

// One line per frame: "  #i function+0xoff (file)", demangled when the symbol is known.
void print_stack(const std::vector<void*>& frames) {
  if (frames.empty()) {
    printk("<4>  (no stack)\n");
    return;
  }
  char** lines = backtrace_symbols(frames.data(), int(frames.size()));
  for (size_t i = 0; i < frames.size(); ++i) {
    std::string line = lines ? lines[i] : "?";
    auto open = line.find('('), plus = line.find('+', open == std::string::npos ? 0 : open);
    if (open != std::string::npos && plus != std::string::npos && plus > open + 1) {
      std::string mangled = line.substr(open + 1, plus - open - 1);
      int status = 0;
      char* name = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
      if (status == 0 && name) line = line.substr(0, open + 1) + name + line.substr(plus);
      std::free(name);
    }
    printk("<4>  #%zu %s\n", i, line.c_str());
  }
  std::free(lines);
}

// Classes on a path from `from` to `to` in the graph (both included); empty when none.
// Caller holds g_graph.
std::vector<int> path(int from, int to) {
  int n = g_classes.load(std::memory_order_relaxed);
  std::vector<int> parent(size_t(n), -1);
  std::vector<int> queue{from};
  parent[size_t(from)] = from;
  for (size_t q = 0; q < queue.size(); ++q) {
    int a = queue[q];
    if (a == to) break;
    for (int b = 1; b < n; ++b)
      if (parent[size_t(b)] < 0 && has(g_dep, a, b)) {
        parent[size_t(b)] = a;
        queue.push_back(b);
      }
  }
  if (parent[size_t(to)] < 0) return {};
  std::vector<int> p{to};
  while (p.back() != from) p.push_back(parent[size_t(p.back())]);
  std::reverse(p.begin(), p.end());
  return p;
}

void report(int held, int wanted, const std::vector<int>& cycle, const std::vector<void*>& here) {
  int n = g_reports.fetch_add(1) + 1;
  machine::kernel_bug_add();
  if (n > kMaxReports) {
    if (n == kMaxReports + 1) printk("<4>lock-order checker: further reports are only counted\n");
    return;
  }
  printk("<4>======================================================\n");
  printk("<4>BUG: possible circular locking dependency detected\n");
  printk("<4>%s is trying to acquire \"%s\"\n", task_name().c_str(), g_class_name[wanted]);
  printk("<4>while holding \"%s\", at:\n", g_class_name[held]);
  print_stack(here);
  printk("<4>but \"%s\" is already taken before \"%s\":\n", g_class_name[wanted], g_class_name[held]);
  for (size_t i = 0; i + 1 < cycle.size(); ++i) {
    const Origin& o = (*g_origins)[uint32_t(cycle[i]) << 16 | uint32_t(cycle[i + 1])];
    printk("<4>\"%s\" -> \"%s\", first by %s at:\n", g_class_name[cycle[i]], g_class_name[cycle[i + 1]],
           o.task.c_str());
    print_stack(o.frames);
  }
  printk("<4>======================================================\n");
}

// A dependency held -> wanted not yet known: record it with this stack, or report it when
// it closes a cycle.
void add_dependency(int held, int wanted) {
  RawGuard g(&g_graph);
  if (has(g_dep, held, wanted) || has(g_refused, held, wanted)) return;
  if (!g_origins) g_origins = new std::unordered_map<uint32_t, Origin>;
  std::vector<void*> here = stack_here();
  std::vector<int> cycle = path(wanted, held);
  if (!cycle.empty()) {
    set(g_refused, held, wanted);
    report(held, wanted, cycle, here);
    return;
  }
  (*g_origins)[uint32_t(held) << 16 | uint32_t(wanted)] = Origin{std::move(here), task_name()};
  set(g_dep, held, wanted);
  g_dependencies.fetch_add(1, std::memory_order_relaxed);
}

void note_depth(int depth) {
  int m = g_max_depth.load(std::memory_order_relaxed);
  while (depth > m && !g_max_depth.compare_exchange_weak(m, depth, std::memory_order_relaxed)) {
  }
}

}  // namespace

void check_acquire(const void* lock, const char* dep_class, Mode mode, bool trylock) {
  if (g_off) return;
  if (!dep_class) {
    g_unclassed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (tls_busy) return;
  Unobserved quiet;
  tls_busy = true;
  ThreadLocks* t = my_locks();
  int cls = t ? class_of(dep_class) : 0;
  if (!t || !cls) {
    tls_busy = false;
    return;
  }
  bool irq = in_irq() != 0;
  bool no_wait = trylock || mode == Mode::recursive_read;
  int depth;
  {
    RawGuard g(&t->guard);
    if (mode == Mode::unit) remove_held(t, lock);  // the unit it held was handed over
    // Every class held before this lock in the same context; a new dependency takes the
    // graph's lock under the stack's (never the other way round).
    for (int i = t->depth - 1; i >= 0 && t->held[i].irq == irq && !no_wait; --i) {
      int c = t->held[i].cls;
      if (c != cls && !has(g_dep, c, cls) && !has(g_refused, c, cls)) add_dependency(c, cls);
    }
    if (t->depth == kMaxDepth) {
      if (!t->overflowed)
        printk("<4>lock-order checker: %s holds more than %d locks, further ones are not counted as held\n",
               task_name().c_str(), kMaxDepth);
      t->overflowed = true;
    } else {
      t->held[t->depth++] = Held{lock, cls, irq, no_wait, mode == Mode::unit};
    }
    depth = t->depth;
  }
  note_depth(depth);
  tls_busy = false;
}

void check_release(const void* lock, const char* dep_class) {
  if (g_off || !dep_class || tls_busy) return;
  Unobserved quiet;
  ThreadLocks* mine = tls_locks;
  if (mine && drop(mine, lock)) return;
  // Released by another thread than the one that took it: find the holder.
  RawGuard g(&g_threads_lock);
  for (ThreadLocks* t = g_threads; t; t = t->next)
    if (t != mine && drop(t, lock)) return;
}

void return_to_user() {
  ThreadLocks* t = g_off ? nullptr : tls_locks;
  if (!t) return;
  Unobserved quiet;
  RawGuard g(&t->guard);
  int kept = 0;
  for (int i = 0; i < t->depth; ++i)
    if (!t->held[i].unit) t->held[kept++] = t->held[i];
  t->depth = kept;
}

}  // namespace vk::lockcheck

namespace machine {
LockCheckStats lock_check_stats() {
  using namespace vk::lockcheck;
  LockCheckStats s;
  s.enabled = !g_off;
  s.classes = g_classes.load() - 1;
  s.dependencies = g_dependencies.load();
  s.reports = g_reports.load();
  s.unclassed = g_unclassed.load();
  s.max_depth = g_max_depth.load();
  return s;
}

std::vector<std::string> lock_check_dependencies() {
  using namespace vk::lockcheck;
  std::vector<std::string> out;
  int n = g_classes.load();
  for (int a = 1; a < n; ++a)
    for (int b = 1; b < n; ++b)
      if (has(g_dep, a, b)) out.push_back(std::string(g_class_name[a]) + " -> " + g_class_name[b]);
  std::sort(out.begin(), out.end());
  return out;
}
}  // namespace machine

namespace {
// With VELLOC_LOCK_CHECK_SUMMARY set, a program prints what the checker saw as it ends
// (for the figures in the docs): the counts, then every dependency.
struct ExitSummary {
  ~ExitSummary() {
    if (!std::getenv("VELLOC_LOCK_CHECK_SUMMARY")) return;
    machine::LockCheckStats s = machine::lock_check_stats();
    std::fprintf(stderr, "lock-order checker: %d classes, %d dependencies, %d reports, max depth %d, %llu unclassed acquisitions\n",
                 s.classes, s.dependencies, s.reports, s.max_depth, (unsigned long long)s.unclassed);
    if (std::strcmp(std::getenv("VELLOC_LOCK_CHECK_SUMMARY"), "deps") == 0)
      for (const std::string& d : machine::lock_check_dependencies()) std::fprintf(stderr, "  %s\n", d.c_str());
  }
} g_exit_summary;
}  // namespace

#else

namespace machine {
LockCheckStats lock_check_stats() { return {}; }
std::vector<std::string> lock_check_dependencies() { return {}; }
}  // namespace machine

#endif
