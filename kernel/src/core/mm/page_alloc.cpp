// The page allocator: a block of 2^order pages is one page-aligned host allocation with
// an array of struct page beside it. Only the head page of a block carries the
// allocation's reference (tail pages start at 0, as in a non-compound kernel block);
// the block is freed when the head's count drops to zero.
//
// Thread-safety: the two maps of live blocks (by page-array address and by data address)
// are guarded by g_lock; a page's count changes with atomics, and drops to zero are
// handled under g_lock so that a block is removed from the maps before it is freed.
#include <linux/highmem.h>
#include <linux/mm.h>
#include <linux/sched.h>

#include <cstring>
#include <map>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/raw_lock.h"

namespace {
constexpr unsigned kMaxOrder = 11;

struct Block {
  struct page* pages;  // 2^order entries
  char* data;          // 2^order * PAGE_SIZE bytes
  unsigned order;
};

vk::RawLock g_lock;
std::map<uintptr_t, Block*>* g_by_page;  // pages array address -> block
std::map<uintptr_t, Block*>* g_by_data;  // data address -> block

unsigned long block_pages(const Block* b) { return 1ul << b->order; }

// The block whose range [key, key + len) contains addr. Needs g_lock.
Block* find(std::map<uintptr_t, Block*>* m, uintptr_t addr, bool by_page) {
  if (!m) return nullptr;
  auto it = m->upper_bound(addr);
  if (it == m->begin()) return nullptr;
  --it;
  Block* b = it->second;
  uintptr_t len = by_page ? block_pages(b) * sizeof(struct page) : block_pages(b) * PAGE_SIZE;
  if (addr >= it->first + len) return nullptr;
  if (by_page && (addr - it->first) % sizeof(struct page) != 0) return nullptr;
  return b;
}

void bad_page(const char* what, struct page* page) {
  printk("<0>Bad page state in process '%s': %s (page %p, count %d)\n", get_current()->comm, what,
         (void*)page, page ? atomic_read(&page->_count) : 0);
  machine::kernel_bug_add();
}

// Frees a block whose head count reached zero. Needs g_lock; the block leaves both maps.
void release_block(Block* b) {
  g_by_page->erase(reinterpret_cast<uintptr_t>(b->pages));
  g_by_data->erase(reinterpret_cast<uintptr_t>(b->data));
}

void free_block_memory(Block* b) {
  machine::live_add(machine::Obj::page, -int64_t(block_pages(b)));
  host::aligned_free(b->data);
  delete[] b->pages;
  delete b;
}

// Drops one reference to `page`; `order` >= 0 asks that it be the head of a block of
// that order (__free_pages), -1 accepts any page (put_page). Any context.
void drop_ref(struct page* page, int order, const char* who) {
  Block* dead = nullptr;
  {
    vk::RawGuard g(&g_lock);
    Block* b = find(g_by_page, reinterpret_cast<uintptr_t>(page), true);
    if (!b) {
      printk("<0>BUG: %s of %p, which is not an allocated page\n", who, (void*)page);
      machine::kernel_bug_add();
      return;
    }
    bool head = page == b->pages;
    if (order >= 0 && (!head || unsigned(order) != b->order)) {
      printk("<0>BUG: %s(%p, order %d) but the block has order %u\n", who, (void*)page, order, b->order);
      machine::kernel_bug_add();
      return;
    }
    int left = atomic_dec_return(&page->_count);
    if (left < 0) {
      atomic_inc(&page->_count);
      bad_page("reference dropped on a free page", page);
      return;
    }
    if (left == 0) {
      if (!head) {
        bad_page("tail page of a larger block freed alone", page);
        return;
      }
      release_block(b);
      dead = b;
    }
  }
  if (dead) free_block_memory(dead);
}
}  // namespace

// Returns the head page of 2^order pages with one reference, or null (order above 11,
// fault injection alloc_pages, no host memory). May sleep with __GFP_WAIT.
struct page* alloc_pages(gfp_t gfp_mask, unsigned int order) {
  if (gfp_mask & __GFP_WAIT) might_sleep();
  if (order > kMaxOrder) return nullptr;
  if (!(gfp_mask & __GFP_NOFAIL) && machine::should_fail(machine::Fault::alloc_pages)) return nullptr;
  unsigned long n = 1ul << order;
  char* data = static_cast<char*>(host::aligned_alloc(PAGE_SIZE, n * PAGE_SIZE));
  if (!data) return nullptr;
  if (gfp_mask & __GFP_ZERO) memset(data, 0, n * PAGE_SIZE);
  auto* b = new Block{new struct page[n], data, order};
  for (unsigned long i = 0; i < n; ++i) {
    memset(&b->pages[i], 0, sizeof(struct page));
    b->pages[i].order = i == 0 ? order : 0;
    b->pages[i].virt = data + i * PAGE_SIZE;
  }
  atomic_set(&b->pages[0]._count, 1);
  {
    vk::RawGuard g(&g_lock);
    if (!g_by_page) {
      g_by_page = new std::map<uintptr_t, Block*>;
      g_by_data = new std::map<uintptr_t, Block*>;
    }
    (*g_by_page)[reinterpret_cast<uintptr_t>(b->pages)] = b;
    (*g_by_data)[reinterpret_cast<uintptr_t>(data)] = b;
  }
  machine::live_add(machine::Obj::page, int64_t(n));
  return b->pages;
}

void __free_pages(struct page* page, unsigned int order) {
  if (!page) return;
  drop_ref(page, int(order), "__free_pages");
}

void get_page(struct page* page) { atomic_inc(&page->_count); }
void put_page(struct page* page) { drop_ref(page, -1, "put_page"); }
int page_count(struct page* page) { return atomic_read(&page->_count); }
void* page_address(struct page* page) { return page->virt; }

// The page holding addr, for addresses inside blocks from alloc_pages; anything else is
// a counted bug report and null.
struct page* virt_to_page(const void* addr) {
  vk::RawGuard g(&g_lock);
  Block* b = find(g_by_data, reinterpret_cast<uintptr_t>(addr), false);
  if (!b) {
    printk("<0>BUG: virt_to_page(%p) outside every allocated page\n", addr);
    machine::kernel_bug_add();
    return nullptr;
  }
  return &b->pages[(reinterpret_cast<uintptr_t>(addr) - reinterpret_cast<uintptr_t>(b->data)) / PAGE_SIZE];
}

unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order) {
  struct page* p = alloc_pages(gfp_mask, order);
  return p ? reinterpret_cast<unsigned long>(p->virt) : 0;
}

unsigned long get_zeroed_page(gfp_t gfp_mask) { return __get_free_pages(gfp_mask | __GFP_ZERO, 0); }

void free_pages(unsigned long addr, unsigned int order) {
  if (!addr) return;
  struct page* p = virt_to_page(reinterpret_cast<const void*>(addr));
  if (p) __free_pages(p, order);
}

// ---- highmem: every page has an address, so mapping is only a context check --------
void* kmap(struct page* page) {
  might_sleep();
  return page->virt;
}
void kunmap(struct page* page) {}
void* kmap_atomic(struct page* page, int type) {
  ++get_current()->preempt_count;
  return page->virt;
}
void kunmap_atomic(void* addr, int type) { --get_current()->preempt_count; }
