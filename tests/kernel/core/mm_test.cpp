// Memory: kmalloc, vmalloc, pages and slab caches under concurrent use, their accounting,
// and the reports for frees of things never allocated.
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "src/core/lib/free_list.h"

#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/random.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>

using core_test::CoreTest;
using machine::Obj;

namespace {

class Memory : public CoreTest {
 protected:
  int64_t delta(Obj k) { return machine::live(k) - base_[int(k)]; }
};

TEST_F(Memory, AccountingReturnsToZeroAfterConcurrentUse) {
  kmem_cache_t* cache = kmem_cache_create("mm_test_objs", 200, 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
  ASSERT_NE(cache, nullptr);
  std::vector<std::thread> ts;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&, t] {
      std::vector<void*> km, vm, sl;
      std::vector<struct page*> pg;
      for (int i = 0; i < 200; ++i) {
        void* k = kmalloc(16 + i * 7, GFP_KERNEL);
        void* v = (i % 8 == 0) ? vmalloc(5000 + i) : nullptr;
        void* s = kmem_cache_alloc(cache, GFP_NOIO);
        struct page* p = (i % 4 == 0) ? alloc_pages(GFP_KERNEL, i % 3) : nullptr;
        if (!k || !s || ((i % 8 == 0) && !v) || ((i % 4 == 0) && !p)) bad++;
        if (reinterpret_cast<uintptr_t>(s) % 64 != 0) bad++;
        memset(k, t, 16 + i * 7);
        memset(s, t, 200);
        km.push_back(k);
        sl.push_back(s);
        if (v) vm.push_back(v);
        if (p) pg.push_back(p);
      }
      for (void* k : km) kfree(k);
      for (void* v : vm) vfree(v);
      for (void* s : sl) kmem_cache_free(cache, s);
      for (struct page* p : pg) __free_pages(p, p->order);
    });
  // Mid-flight the counters move; afterwards everything is back.
  for (auto& t : ts) t.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(delta(Obj::slab_object), 0);
  EXPECT_EQ(kmem_cache_destroy(cache), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);
  EXPECT_EQ(machine::live_report().find("kmalloc="), std::string::npos);
}

TEST_F(Memory, KmallocContentsLimitsAndBadFrees) {
  auto* z = static_cast<unsigned char*>(kzalloc(100, GFP_KERNEL));
  auto* p = static_cast<unsigned char*>(kmalloc(100, GFP_KERNEL));
  ASSERT_TRUE(z && p);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(z[i], 0);
  EXPECT_EQ(p[0], 0x5a) << "fresh kmalloc memory carries the slab poison";
  EXPECT_EQ(delta(Obj::kmalloc), 2);
  EXPECT_EQ(kmalloc(128 * 1024 + 1, GFP_KERNEL), nullptr);
  void* big = kmalloc(128 * 1024, GFP_KERNEL);
  EXPECT_NE(big, nullptr);
  kfree(big);
  kfree(nullptr);
  kfree(z);
  kfree(z);  // double free: reported, not crashed
  int on_stack;
  kfree(&on_stack);  // never allocated
  kfree(p);
  EXPECT_EQ(machine::kernel_bug_count(), 2);
  EXPECT_EQ(logged("BUG: kfree of "), 2);
  EXPECT_EQ(vmalloc(0), nullptr);
  vfree(&on_stack);
  EXPECT_EQ(machine::kernel_bug_count(), 3);
}

TEST_F(Memory, PagesAreRefcountedAndAddressable) {
  struct page* head = alloc_pages(GFP_KERNEL | __GFP_ZERO, 2);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(delta(Obj::page), 4);
  EXPECT_EQ(page_count(head), 1);
  char* base = static_cast<char*>(page_address(head));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % PAGE_SIZE, 0u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(virt_to_page(base + i * PAGE_SIZE + 17), head + i);
    EXPECT_EQ(page_address(head + i), base + i * PAGE_SIZE);
  }
  EXPECT_EQ(base[4 * PAGE_SIZE - 1], 0);
  EXPECT_EQ(kmap(head), base);
  kunmap(head);

  // Two holders race to drop their references; the block is freed exactly once.
  get_page(head);
  std::thread t([&] { put_page(head); });
  __free_pages(head, 2);
  t.join();
  EXPECT_EQ(delta(Obj::page), 0);

  unsigned long a = __get_free_page(GFP_KERNEL);
  unsigned long zp = get_zeroed_page(GFP_KERNEL);
  ASSERT_TRUE(a && zp);
  EXPECT_EQ(reinterpret_cast<char*>(zp)[100], 0);
  free_page(a);
  free_page(zp);
  EXPECT_EQ(alloc_pages(GFP_KERNEL, 12), nullptr);
  EXPECT_EQ(delta(Obj::page), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);

  struct page* one = alloc_page(GFP_KERNEL);
  __free_pages(one, 1);  // wrong order: reported, page kept
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  __free_page(one);
  put_page(one);  // already freed: reported
  EXPECT_EQ(machine::kernel_bug_count(), 2);
}

TEST_F(Memory, SlabDestroyRefusesWhileObjectsLive) {
  static std::atomic<int> ctors{0};
  ctors = 0;
  kmem_cache_t* c = kmem_cache_create("mm_test_cache", 64, 0, 0,
                                      [](void*, kmem_cache_t*, unsigned long f) {
                                        if (f & SLAB_CTOR_CONSTRUCTOR) ctors++;
                                      },
                                      nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(kmem_cache_name(c), "mm_test_cache");
  EXPECT_EQ(kmem_cache_create("mm_test_cache", 64, 0, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(logged("kmem_cache_create: duplicate cache mm_test_cache"), 1);
  void* a = kmem_cache_alloc(c, GFP_KERNEL);
  void* b = kmem_cache_alloc(c, GFP_KERNEL);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ctors, 2);

  EXPECT_EQ(kmem_cache_destroy(c), 1);
  EXPECT_EQ(logged("slab error in kmem_cache_destroy(): cache `mm_test_cache': Can't free all objects"), 1);
  auto recs = machine::log_records(log_start_);
  EXPECT_EQ(recs.back().level, 3);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(delta(Obj::slab_cache), 1) << "a refused destroy keeps the cache";

  kmem_cache_t* other = kmem_cache_create("mm_test_other", 64, 0, 0, nullptr, nullptr);
  kmem_cache_free(other, a);  // wrong cache: reported, object stays in its own
  EXPECT_EQ(machine::kernel_bug_count(), 2);
  kmem_cache_free(c, a);
  kmem_cache_free(c, b);
  EXPECT_EQ(kmem_cache_destroy(c), 0);
  EXPECT_EQ(kmem_cache_destroy(other), 0);
  // The name is free again once the cache is gone.
  c = kmem_cache_create("mm_test_cache", 64, 0, 0, nullptr, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(kmem_cache_destroy(c), 0);
}

TEST_F(Memory, SlabObjectsPassedBetweenThreadsComeBackFreshAndDoubleFreesAreCaught) {
  // Two threads allocate and scribble, two others free what they get: a freed object the
  // cache hands out again holds the poison (or zeros) and went through the constructor
  // again, never the bytes of its last user.
  static std::atomic<int> ctors{0}, dtors{0};
  ctors = 0;
  dtors = 0;
  kmem_cache_t* c = kmem_cache_create(
      "mm_test_pass", 96, 0, 0, [](void*, kmem_cache_t*, unsigned long) { ctors++; },
      [](void*, kmem_cache_t*, unsigned long) { dtors++; });
  ASSERT_NE(c, nullptr);
  constexpr int kPerThread = 3000;
  std::mutex mu;
  std::vector<void*> handed;
  std::atomic<int> stale{0}, producers{2};
  std::vector<std::thread> ts;
  for (int t = 0; t < 2; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        bool zero = i % 3 == 0;
        auto* o = static_cast<unsigned char*>(kmem_cache_alloc(c, zero ? GFP_KERNEL | __GFP_ZERO : GFP_KERNEL));
        if (!o) continue;
        for (int k = 0; k < 96; ++k)
          if (o[k] != (zero ? 0 : 0x5a)) {
            stale++;
            break;
          }
        memset(o, 0x11 + t, 96);
        std::lock_guard lk(mu);
        handed.push_back(o);
      }
      producers--;
    });
  for (int t = 0; t < 2; ++t)
    ts.emplace_back([&] {
      for (;;) {
        void* o = nullptr;
        {
          std::lock_guard lk(mu);
          if (!handed.empty()) {
            o = handed.back();
            handed.pop_back();
          }
        }
        if (o) kmem_cache_free(c, o);
        else if (producers.load() == 0) break;
        else std::this_thread::yield();
      }
    });
  for (auto& t : ts) t.join();
  for (void* o : handed) kmem_cache_free(c, o);
  EXPECT_EQ(stale, 0);
  EXPECT_EQ(ctors, 2 * kPerThread);
  EXPECT_EQ(dtors, 2 * kPerThread);
  EXPECT_EQ(delta(Obj::slab_object), 0);
  EXPECT_EQ(machine::kernel_bug_count(), 0);

  // A freed object, likely kept for reuse, is no longer live: a second free is reported.
  void* a = kmem_cache_alloc(c, GFP_KERNEL);
  ASSERT_NE(a, nullptr);
  kmem_cache_free(c, a);
  kmem_cache_free(c, a);
  EXPECT_EQ(machine::kernel_bug_count(), 1);
  EXPECT_EQ(logged("object not live in that cache"), 1);
  EXPECT_EQ(dtors, 2 * kPerThread + 1);
  EXPECT_EQ(kmem_cache_destroy(c), 0);
  EXPECT_EQ(delta(Obj::slab_cache), 0);
}

// The freed-block lists of bios and buffer heads: per-thread caches in front of a shared
// stack. Blocks freed on other threads than took them, by threads that end and are
// replaced, are never handed out twice.
TEST_F(Memory, FreeListsNeverHandOutABlockTwice) {
  static vk::FreeList& list = *new vk::FreeList(256);
  struct Block {
    std::atomic<int> taken;
  };
  std::mutex mu;
  std::vector<Block*> passed;  // freed by the next thread that comes along
  std::atomic<int> twice{0};
  auto take = [&]() -> Block* {
    auto* b = static_cast<Block*>(list.pop());
    if (!b) return new (malloc(sizeof(Block))) Block{{1}};
    if (b->taken.exchange(1) != 0) twice++;
    return b;
  };
  auto give = [&](Block* b) {
    b->taken.store(0);
    if (!list.push(b)) free(b);
  };
  for (int generation = 0; generation < 6; ++generation) {
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
      ts.emplace_back([&, t] {
        std::vector<Block*> mine;
        for (int i = 0; i < 2000; ++i) {
          mine.push_back(take());
          if (i % 3 == t % 3) {
            std::lock_guard<std::mutex> g(mu);
            passed.push_back(mine.back());
            mine.pop_back();
          }
          if (mine.size() > 100) {
            for (auto* b : mine) give(b);
            mine.clear();
            std::vector<Block*> theirs;
            {
              std::lock_guard<std::mutex> g(mu);
              theirs.swap(passed);
            }
            for (auto* b : theirs) give(b);
          }
        }
        for (auto* b : mine) give(b);
      });
    for (auto& t : ts) t.join();
  }
  for (auto* b : passed) give(b);
  EXPECT_EQ(twice.load(), 0);
}

TEST_F(Memory, RandomBytesDiffer) {
  unsigned char a[56], b[56];
  get_random_bytes(a, sizeof a);
  get_random_bytes(b, sizeof b);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
}

}  // namespace
