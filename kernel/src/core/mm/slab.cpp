// Slab caches: a named cache hands out objects of one size. Each object is its own host
// allocation (AddressSanitizer sees overruns) and is recorded in its cache, so a free into
// the wrong cache and a destroy with live objects are caught and reported as the kernel
// reports them. The constructor runs at every allocation and the destructor at every free
// (the kernel runs them per slab; the module cannot tell the difference).
//
// Like the kernel's slabs, a cache keeps freed objects for its next allocations (a free
// list of up to kFreeListBytes, returned to the host at destroy): a cache-data object per
// captured block would otherwise cost a host allocation and a record-set node each time.
// A freed object keeps its record node, so an allocation from the free list allocates
// nothing. Under AddressSanitizer the free list is off, so every freed object goes back to
// the host and a use after free is still reported.
//
// Thread-safety: g_caches (every live cache), each cache's object set and free list are
// guarded by g_lock; ctor/dtor run outside it.
#include <linux/sched.h>
#include <linux/slab.h>

#include <cstring>
#include <unordered_set>
#include <vector>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/free_list.h"
#include "src/core/lib/raw_lock.h"

struct kmem_cache {
  const char* name;  // as given by the creator, not copied
  size_t size;       // bytes per object
  size_t align;      // object alignment
  unsigned long flags;
  void (*ctor)(void*, kmem_cache_t*, unsigned long);
  void (*dtor)(void*, kmem_cache_t*, unsigned long);
  std::unordered_set<void*> objects;  // live objects; guarded by g_lock
  // Freed objects kept for reuse, each with its record node; guarded by g_lock.
  std::vector<std::unordered_set<void*>::node_type> free_list;
};

namespace {
constexpr size_t kMaxObject = size_t(1) << 25;  // the kernel's largest slab object
constexpr size_t kCacheLine = 64;
constexpr size_t kFreeListBytes = vk::kKeepFreed ? size_t(8) << 20 : 0;  // kept per cache

vk::RawLock g_lock;
std::vector<kmem_cache*>* g_caches;

// Needs g_lock.
bool cache_is_live(kmem_cache* c) {
  if (!g_caches) return false;
  for (auto* x : *g_caches)
    if (x == c) return true;
  return false;
}
}  // namespace

kmem_cache_t* kmem_cache_create(const char* name, size_t size, size_t align, unsigned long flags,
                                void (*ctor)(void*, kmem_cache_t*, unsigned long),
                                void (*dtor)(void*, kmem_cache_t*, unsigned long)) {
  might_sleep();
  if (!name || in_interrupt() || size < sizeof(void*) || size > kMaxObject || (dtor && !ctor)) {
    printk("<3>kmem_cache_create: Early error in slab %s\n", name ? name : "(null)");
    machine::kernel_bug_add();
    return nullptr;
  }
  if (machine::should_fail(machine::Fault::slab)) return nullptr;
  size_t a = align ? align : sizeof(void*);
  if ((flags & SLAB_HWCACHE_ALIGN) && a < kCacheLine) a = kCacheLine;
  if (a & (a - 1)) a = kCacheLine;  // not a power of two: the kernel rounds it up
  auto* c = new kmem_cache{name, size, a, flags, ctor, dtor, {}, {}};
  {
    vk::RawGuard g(&g_lock);
    if (!g_caches) g_caches = new std::vector<kmem_cache*>;
    for (auto* x : *g_caches) {
      if (strcmp(x->name, name) == 0) {
        delete c;
        c = nullptr;
        break;
      }
    }
    if (c) g_caches->push_back(c);
  }
  if (!c) {
    printk("kmem_cache_create: duplicate cache %s\n", name);
    return nullptr;
  }
  machine::live_add(machine::Obj::slab_cache, 1);
  return c;
}

// Returns an object of the cache (built by its ctor), or null (fault injection slab, no
// host memory). May sleep with __GFP_WAIT. Freed with kmem_cache_free into the same cache.
void* kmem_cache_alloc(kmem_cache_t* cachep, gfp_t flags) {
  if (flags & __GFP_WAIT) might_sleep();
  bool live;
  {
    vk::RawGuard g(&g_lock);
    live = cache_is_live(cachep);
  }
  if (!live) {
    printk("<0>BUG: kmem_cache_alloc from %p, which is not a live cache\n", (void*)cachep);
    machine::kernel_bug_add();
    return nullptr;
  }
  if (!(flags & __GFP_NOFAIL) && machine::should_fail(machine::Fault::slab)) return nullptr;
  void* obj = nullptr;
  std::unordered_set<void*>::node_type node;
  {
    vk::RawGuard g(&g_lock);
    if (!cachep->free_list.empty()) {
      node = std::move(cachep->free_list.back());
      cachep->free_list.pop_back();
      obj = node.value();
    }
  }
  if (!obj) obj = host::aligned_alloc(cachep->align, cachep->size);
  if (!obj) return nullptr;
  memset(obj, (flags & __GFP_ZERO) ? 0 : 0x5a, cachep->size);
  if (cachep->ctor) cachep->ctor(obj, cachep, SLAB_CTOR_CONSTRUCTOR);
  {
    vk::RawGuard g(&g_lock);
    if (node)
      cachep->objects.insert(std::move(node));
    else
      cachep->objects.insert(obj);
  }
  machine::live_add(machine::Obj::slab_object, 1);
  return obj;
}

// Frees an object of the cache. Null, or an object the cache does not hold, is a counted
// bug report. Any context.
void kmem_cache_free(kmem_cache_t* cachep, void* objp) {
  std::unordered_set<void*>::node_type node;
  {
    vk::RawGuard g(&g_lock);
    if (objp && cache_is_live(cachep)) node = cachep->objects.extract(objp);
  }
  if (!node) {
    printk("<0>BUG: kmem_cache_free(%p, %p): object not live in that cache\n", (void*)cachep, objp);
    machine::kernel_bug_add();
    return;
  }
  if (cachep->dtor) cachep->dtor(objp, cachep, 0);
  machine::live_add(machine::Obj::slab_object, -1);
  {
    vk::RawGuard g(&g_lock);
    if (kFreeListBytes && cache_is_live(cachep) && cachep->free_list.size() * cachep->size < kFreeListBytes) {
      cachep->free_list.push_back(std::move(node));
      return;
    }
  }
  host::aligned_free(objp);
}

// 0 when the cache is gone; 1 (with the kernel's log line and a counted bug) while it
// still has live objects, and the cache stays. May sleep.
int kmem_cache_destroy(kmem_cache_t* cachep) {
  might_sleep();
  bool live_objects = false;
  {
    vk::RawGuard g(&g_lock);
    if (!cache_is_live(cachep)) {
      printk("<0>BUG: kmem_cache_destroy(%p), which is not a live cache\n", (void*)cachep);
      machine::kernel_bug_add();
      return 1;
    }
    if (!cachep->objects.empty()) {
      live_objects = true;
    } else {
      for (auto it = g_caches->begin(); it != g_caches->end(); ++it)
        if (*it == cachep) {
          g_caches->erase(it);
          break;
        }
    }
  }
  if (live_objects) {
    printk("<3>slab error in kmem_cache_destroy(): cache `%s': Can't free all objects\n", cachep->name);
    machine::kernel_bug_add();
    return 1;
  }
  for (auto& node : cachep->free_list) host::aligned_free(node.value());
  delete cachep;
  machine::live_add(machine::Obj::slab_cache, -1);
  return 0;
}

const char* kmem_cache_name(kmem_cache_t* cachep) { return cachep->name; }
