// kmalloc: each object is its own host allocation (so AddressSanitizer sees every
// overrun), filled with the slab poison byte unless zeroing was asked, and entered in a
// registry of live objects, which lets kfree report frees of anything it did not hand out
// (double frees included) without touching that memory.
//
// Thread-safety: g_objects is guarded by g_lock (raw lock: kfree is legal in any context).
#include <linux/sched.h>
#include <linux/slab.h>

#include <cstring>
#include <unordered_map>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/lib/raw_lock.h"

namespace {
constexpr size_t kMaxSize = 128 * 1024;  // the largest general cache of the i386 kernel
constexpr unsigned char kPoison = 0x5a;  // uninitialised-object poison of slab debugging
constexpr size_t kAlign = 16;

vk::RawLock g_lock;
std::unordered_map<const void*, size_t>* g_objects;  // live object -> size
}  // namespace

// Returns the object, or null (size above 128 KiB, fault injection kmalloc, no host
// memory). May sleep with __GFP_WAIT. The caller frees with kfree.
void* kmalloc(size_t size, gfp_t flags) {
  if (flags & __GFP_WAIT) might_sleep();
  if (size > kMaxSize) return nullptr;
  if (!(flags & __GFP_NOFAIL) && machine::should_fail(machine::Fault::kmalloc)) return nullptr;
  void* p = host::aligned_alloc(kAlign, size ? size : 1);
  if (!p) return nullptr;
  memset(p, (flags & __GFP_ZERO) ? 0 : kPoison, size);
  {
    vk::RawGuard g(&g_lock);
    if (!g_objects) g_objects = new std::unordered_map<const void*, size_t>;
    (*g_objects)[p] = size;
  }
  machine::live_add(machine::Obj::kmalloc, 1);
  return p;
}

void* kzalloc(size_t size, gfp_t flags) { return kmalloc(size, flags | __GFP_ZERO); }

// Frees an object from kmalloc; null is fine. Anything else is a counted bug report and
// left alone. Any context.
void kfree(const void* p) {
  if (!p) return;
  bool known;
  {
    vk::RawGuard g(&g_lock);
    known = g_objects && g_objects->erase(p) == 1;
  }
  if (!known) {
    printk("<3>BUG: kfree of %p, which kmalloc did not hand out (or was freed already)\n", p);
    machine::kernel_bug_add();
    return;
  }
  machine::live_add(machine::Obj::kmalloc, -1);
  host::aligned_free(const_cast<void*>(p));
}
