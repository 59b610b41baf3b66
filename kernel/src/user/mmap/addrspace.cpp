// Address spaces: placing areas, finding the page behind a user address, faulting device
// pages in, and moving bytes between user memory and the kernel.
#include <linux/errno.h>
#include <linux/mm.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "src/user/mmap/user_internal.h"

namespace vk {
namespace {

// The area containing addr, or null. Needs map_lock.
Region *find_region(AddressSpace *as, uint64_t addr) {
  auto it = as->regions.upper_bound(addr);
  if (it == as->regions.begin()) return nullptr;
  --it;
  Region *r = it->second.get();
  return addr < r->end ? r : nullptr;
}

bool writes(Op op) { return op != Op::from_user; }

// Host address of the byte at addr in page k of r when the access can go ahead without a
// fault; null when the page must be faulted in first. Needs map_lock.
uint8_t *present(Region *r, size_t k, uint64_t addr, bool write) {
  size_t off = addr & (PAGE_SIZE - 1);
  if (!r->vma) return r->anon.get() + (k << PAGE_SHIFT) + off;
  PageSlot &s = r->slots[k];
  if (s.priv) return s.priv + off;
  if (!s.kpage) return nullptr;
  if (write && !(r->vma->vm_flags & VM_SHARED)) return nullptr;  // copy-on-write first
  return static_cast<uint8_t *>(page_address(s.kpage)) + off;
}

// Makes page k of the device area at addr present for the access, as the kernel's
// do_no_page / do_wp_page would: 0, -EFAULT (the area went away), -EBUSERR (nopage gave
// no page), -ENOMEM. Takes mmap_sem for reading; nopage runs under it, with no other
// lock of the stand-in held. May sleep.
int fault_in(struct mm_struct *mm, uint64_t addr, bool write) {
  uint64_t page_addr = addr & PAGE_MASK;
  down_read(&mm->mmap_sem);
  struct vm_area_struct *vma = nullptr;
  size_t k = 0;
  bool empty = false;
  {
    RawGuard g(&mm->map_lock);
    Region *r = mm->map ? find_region(mm->map, addr) : nullptr;
    if (!r) {
      up_read(&mm->mmap_sem);
      return -EFAULT;
    }
    if (!r->vma) {  // anonymous memory is always present; the caller looks again
      up_read(&mm->mmap_sem);
      return 0;
    }
    // The area cannot go away while mmap_sem is held for reading.
    vma = r->vma;
    k = (addr - r->start) >> PAGE_SHIFT;
    empty = !r->slots[k].kpage && !r->slots[k].priv;
  }
  Region *r = nullptr;
  if (empty) {
    struct page *pg = nullptr;
    uint8_t *priv = nullptr;
    if (vma->vm_ops && vma->vm_ops->nopage) {
      pg = vma->vm_ops->nopage(vma, (unsigned long)page_addr, NULL);
      if (pg == NOPAGE_SIGBUS || pg == NOPAGE_OOM) {
        up_read(&mm->mmap_sem);
        return pg == NOPAGE_OOM ? -ENOMEM : -machine::EBUSERR;
      }
    } else {  // no nopage: anonymous zero-filled memory, as the kernel gives
      priv = new (std::nothrow) uint8_t[PAGE_SIZE]();
      if (!priv) {
        up_read(&mm->mmap_sem);
        return -ENOMEM;
      }
    }
    bool raced;
    {
      RawGuard g(&mm->map_lock);
      r = find_region(mm->map, addr);
      PageSlot &s = r->slots[k];
      raced = s.kpage || s.priv;
      if (!raced) {
        s.kpage = pg;
        s.priv = priv;
      }
    }
    if (raced) {  // another thread faulted the page in meanwhile
      if (pg) put_page(pg);
      delete[] priv;
    }
  }
  if (write && !(vma->vm_flags & VM_SHARED)) {
    // A write to a private mapping gets its own copy of the page.
    struct page *old = nullptr;
    uint8_t *copy = new (std::nothrow) uint8_t[PAGE_SIZE];
    if (!copy) {
      up_read(&mm->mmap_sem);
      return -ENOMEM;
    }
    {
      RawGuard g(&mm->map_lock);
      r = find_region(mm->map, addr);
      PageSlot &s = r->slots[k];
      if (s.kpage && !s.priv) {
        std::memcpy(copy, page_address(s.kpage), PAGE_SIZE);
        s.priv = copy;
        copy = nullptr;
        old = s.kpage;
        s.kpage = nullptr;
      }
    }
    delete[] copy;
    if (old) put_page(old);
  }
  up_read(&mm->mmap_sem);
  return 0;
}

}  // namespace

int user_access(struct mm_struct *mm, uint64_t addr, uint8_t *buf, size_t n, Op op, size_t *done) {
  const bool write = writes(op);
  const uint8_t need = write ? kPermWrite : kPermRead;
  *done = 0;
  while (*done < n) {
    uint64_t a = addr + *done;
    if (a >= (1ull << 32)) return -EFAULT;
    size_t chunk = std::min<uint64_t>(n - *done, PAGE_SIZE - (a & (PAGE_SIZE - 1)));
    bool fault = false;
    {
      RawGuard g(&mm->map_lock);
      Region *r = mm->map ? find_region(mm->map, a) : nullptr;
      if (!r) return -EFAULT;
      size_t k = (a - r->start) >> PAGE_SHIFT;
      if ((r->perm[k] & need) != need) return -EFAULT;
      uint8_t *p = present(r, k, a, write);
      if (!p) {
        fault = true;
      } else if (op == Op::from_user) {
        std::memcpy(buf + *done, p, chunk);
      } else if (op == Op::to_user) {
        std::memcpy(p, buf + *done, chunk);
      } else {
        std::memset(p, 0, chunk);
      }
    }
    if (fault) {
      int rc = fault_in(mm, a, write);
      if (rc) return rc;
      continue;
    }
    *done += chunk;
  }
  return 0;
}

const uint8_t *user_view(struct mm_struct *mm, uint64_t addr, size_t len) {
  if (len == 0 || addr + len > (1ull << 32)) return nullptr;
  for (;;) {
    bool fault = false;
    {
      RawGuard g(&mm->map_lock);
      Region *r = mm->map ? find_region(mm->map, addr) : nullptr;
      if (!r || addr + len > r->end) return nullptr;
      size_t first = (addr - r->start) >> PAGE_SHIFT;
      size_t last = (addr + len - 1 - r->start) >> PAGE_SHIFT;
      if (r->vma && first != last) return nullptr;  // device pages are not contiguous
      for (size_t k = first; k <= last; ++k)
        if (!(r->perm[k] & kPermRead)) return nullptr;
      uint8_t *p = present(r, first, addr, false);
      if (p) return p;
      fault = true;
    }
    if (fault && fault_in(mm, addr, false)) return nullptr;
  }
}

uint64_t place_region(AddressSpace *as, uint64_t len) {
  // First fit in [lo, hi): only the areas from the one just below lo onwards can collide,
  // so a process that keeps allocating does not rescan its whole map every time.
  auto first_fit = [&](uint64_t lo, uint64_t hi) -> uint64_t {
    uint64_t cand = lo;
    auto it = as->regions.upper_bound(lo);
    if (it != as->regions.begin()) {
      auto below = std::prev(it);
      if (below->second->end + kGuard > cand) cand = below->second->end + kGuard;
    }
    for (; it != as->regions.end(); ++it) {
      const auto &[start, r] = *it;
      if (cand + len + kGuard <= start) break;  // fits before r
      if (r->end + kGuard > cand) cand = r->end + kGuard;
    }
    return cand + len <= hi ? cand : 0;
  };
  uint64_t a = 0;
  if (as->next_hint > kMmapBase) a = first_fit(as->next_hint, kTaskSize);
  if (!a) a = first_fit(kMmapBase, kTaskSize);
  if (!a) a = first_fit(kUserBase, kMmapBase);
  if (a) as->next_hint = a + len;
  return a;
}

void insert_region(struct mm_struct *mm, std::unique_ptr<Region> r) {
  RawGuard g(&mm->map_lock);
  uint64_t start = r->start;
  mm->map->regions.emplace(start, std::move(r));
}

struct vm_area_struct *teardown_region(Region *r) {
  struct vm_area_struct *vma = r->vma;
  if (!vma) return nullptr;
  for (PageSlot &s : r->slots) {
    if (s.kpage) put_page(s.kpage);
    delete[] s.priv;
    s = PageSlot{};
  }
  if (vma->vm_ops && vma->vm_ops->close) vma->vm_ops->close(vma);
  return vma;
}

void finish_vma(struct vm_area_struct *vma) {
  if (!vma) return;
  if (vma->vm_file) fput(vma->vm_file);
  delete vma;
  machine::live_add(machine::Obj::vma, -1);
}

}  // namespace vk
