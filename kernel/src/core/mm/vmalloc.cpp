// vmalloc: page-granular host allocations in a registry of live areas, like kmalloc's.
//
// Thread-safety: g_areas is guarded by g_lock.
#include <linux/sched.h>
#include <linux/vmalloc.h>

#include <asm/page.h>

#include <cstring>
#include <unordered_map>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/raw_lock.h"

namespace {
constexpr unsigned long kMaxSize = 1ul << 30;  // beyond the i386 vmalloc area

vk::RawLock g_lock;
std::unordered_map<const void*, unsigned long>* g_areas;
}  // namespace

// Returns page-aligned memory of size bytes (contents undefined), or null for size 0,
// oversize, fault injection vmalloc or no host memory. May sleep. Freed with vfree.
void* vmalloc(unsigned long size) {
  might_sleep();
  if (size == 0 || size > kMaxSize) return nullptr;
  if (machine::should_fail(machine::Fault::vmalloc)) return nullptr;
  unsigned long bytes = PAGE_ALIGN(size);
  void* p = host::aligned_alloc(PAGE_SIZE, bytes);
  if (!p) return nullptr;
  memset(p, 0x5a, bytes);
  {
    vk::RawGuard g(&g_lock);
    if (!g_areas) g_areas = new std::unordered_map<const void*, unsigned long>;
    (*g_areas)[p] = bytes;
  }
  machine::live_add(machine::Obj::vmalloc, 1);
  return p;
}

// Frees an area from vmalloc; null is fine. Not in interrupt context (a counted bug, as
// is freeing anything vmalloc did not hand out).
void vfree(void* addr) {
  if (!addr) return;
  if (in_interrupt()) {
    printk("<3>BUG: vfree(%p) called in interrupt context\n", addr);
    machine::kernel_bug_add();
  }
  bool known;
  {
    vk::RawGuard g(&g_lock);
    known = g_areas && g_areas->erase(addr) == 1;
  }
  if (!known) {
    printk("<3>BUG: Trying to vfree() nonexistent vm area (%p)\n", addr);
    machine::kernel_bug_add();
    return;
  }
  machine::live_add(machine::Obj::vmalloc, -1);
  host::aligned_free(addr);
}
