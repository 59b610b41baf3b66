// kmalloc: each object is its own host allocation (so AddressSanitizer sees every
// overrun), filled with the slab poison byte unless zeroing was asked, and entered in a
// registry of live objects, which lets kfree report frees of anything it did not hand out
// (double frees included) without touching that memory.
//
// Small objects (up to kMaxKept bytes) come in power-of-two size classes, and freed ones
// are kept per class with their registry node, as the kernel's general caches keep them:
// the module allocates a request record per block it reads. Under AddressSanitizer
// nothing is kept and every object is its exact size, so overruns and uses after free
// are still reported.
//
// Thread-safety: g_objects and the kept objects are guarded by g_lock (raw lock: kfree is
// legal in any context).
#include <linux/sched.h>
#include <linux/slab.h>

#include <cstring>
#include <unordered_map>
#include <vector>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/free_list.h"
#include "src/core/lib/raw_lock.h"

namespace {
constexpr size_t kMaxSize = 128 * 1024;  // the largest general cache of the i386 kernel
constexpr unsigned char kPoison = 0x5a;  // uninitialised-object poison of slab debugging
constexpr size_t kAlign = 16;
constexpr size_t kMinKept = 32;          // smallest size class
constexpr int kClasses = 5;              // 32, 64, 128, 256, 512 bytes
constexpr size_t kMaxKept = kMinKept << (kClasses - 1);
constexpr size_t kKeptPerClass = vk::kKeepFreed ? 4096 : 0;

using Registry = std::unordered_map<const void*, size_t>;  // live object -> size

vk::RawLock g_lock;
Registry* g_objects;
std::vector<Registry::node_type>* g_kept;  // per size class: freed objects with their nodes

// The size class of a small object, or -1 for one that is not kept.
int size_class(size_t size) {
  if (!vk::kKeepFreed || size > kMaxKept) return -1;
  int c = 0;
  while ((kMinKept << c) < size) ++c;
  return c;
}
}  // namespace

// Returns the object, or null (size above 128 KiB, fault injection kmalloc, no host
// memory). May sleep with __GFP_WAIT. The caller frees with kfree.
void* kmalloc(size_t size, gfp_t flags) {
  if (flags & __GFP_WAIT) might_sleep();
  if (size > kMaxSize) return nullptr;
  if (!(flags & __GFP_NOFAIL) && machine::should_fail(machine::Fault::kmalloc)) return nullptr;
  int cls = size_class(size);
  Registry::node_type node;
  if (cls >= 0) {
    vk::RawGuard g(&g_lock);
    if (g_kept && !g_kept[cls].empty()) {
      node = std::move(g_kept[cls].back());
      g_kept[cls].pop_back();
    }
  }
  void* p = node ? const_cast<void*>(node.key()) : host::aligned_alloc(kAlign, cls >= 0 ? kMinKept << cls : size ? size : 1);
  if (!p) return nullptr;
  memset(p, (flags & __GFP_ZERO) ? 0 : kPoison, size);
  {
    vk::RawGuard g(&g_lock);
    if (!g_objects) g_objects = new Registry;
    if (node) {
      node.mapped() = size;
      g_objects->insert(std::move(node));
    } else {
      (*g_objects)[p] = size;
    }
  }
  machine::live_add(machine::Obj::kmalloc, 1);
  return p;
}

void* kzalloc(size_t size, gfp_t flags) { return kmalloc(size, flags | __GFP_ZERO); }

// Frees an object from kmalloc; null is fine. Anything else is a counted bug report and
// left alone. Any context.
void kfree(const void* p) {
  if (!p) return;
  bool known = false, kept = false;
  {
    vk::RawGuard g(&g_lock);
    Registry::node_type node;
    if (g_objects) node = g_objects->extract(p);
    if (node) {
      known = true;
      int cls = size_class(node.mapped());
      if (cls >= 0) {
        if (!g_kept) g_kept = new std::vector<Registry::node_type>[kClasses];
        if (g_kept[cls].size() < kKeptPerClass) {
          g_kept[cls].push_back(std::move(node));
          kept = true;
        }
      }
    }
  }
  if (!known) {
    printk("<3>BUG: kfree of %p, which kmalloc did not hand out (or was freed already)\n", p);
    machine::kernel_bug_add();
    return;
  }
  machine::live_add(machine::Obj::kmalloc, -1);
  if (!kept) host::aligned_free(const_cast<void*>(p));
}
