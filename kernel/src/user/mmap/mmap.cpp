// mmap and munmap of device files.
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <sys/mman.h>

#include <cstdlib>

#include "src/user/mmap/user_internal.h"

namespace machine {

// Builds the vma (vm_file holding a file reference) and hands it to the driver's mmap
// with mmap_sem held for writing, as the kernel does. The area is entered only when the
// driver returns 0; its pages come on first touch through vm_ops->nopage (vm_ops->open
// is not called for a new mapping, as in the kernel). Returns the address, -EBADF,
// -EINVAL (len 0, offset not page aligned), -ENODEV (no mmap), -ENOMEM (no room), or the
// driver's result negated. May sleep.
int64_t sys_mmap(Process *p, size_t len, int prot, bool shared, int fd, uint64_t offset) {
  if (len == 0 || (offset & (PAGE_SIZE - 1))) return -EINVAL;
  uint64_t plen = PAGE_ALIGN((uint64_t)len);
  if (plen > vk::kTaskSize - vk::kUserBase) return -ENOMEM;
  struct file *f = vk::fget(p, fd);
  if (!f) return -EBADF;
  if (!f->f_op || !f->f_op->mmap) {
    fput(f);
    return -ENODEV;
  }
  struct mm_struct *mm = p->mm;
  vk::UseMm use(mm);
  down_write(&mm->mmap_sem);
  uint64_t addr;
  {
    vk::RawGuard g(&mm->map_lock);
    addr = vk::place_region(mm->map, plen);
  }
  if (!addr) {
    up_write(&mm->mmap_sem);
    fput(f);
    return -ENOMEM;
  }
  auto *vma = new vm_area_struct{};
  machine::live_add(Obj::vma, 1);
  vma->vm_mm = mm;
  vma->vm_start = addr;
  vma->vm_end = addr + plen;
  vma->vm_flags = VM_MAYREAD | VM_MAYWRITE | ((prot & PROT_READ) ? VM_READ : 0) |
                  ((prot & PROT_WRITE) ? VM_WRITE : 0) | ((prot & PROT_EXEC) ? VM_EXEC : 0) |
                  (shared ? VM_SHARED | VM_MAYSHARE : 0);
  vma->vm_pgoff = offset >> PAGE_SHIFT;
  vma->vm_file = f;  // the reference fget took now belongs to the mapping
  int rc = f->f_op->mmap(f, vma);
  if (rc) {
    up_write(&mm->mmap_sem);
    vk::finish_vma(vma);
    return -std::abs(rc);
  }
  auto r = std::make_unique<vk::Region>();
  r->start = addr;
  r->end = addr + plen;
  r->vma = vma;
  uint8_t perm = ((vma->vm_flags & VM_READ) ? vk::kPermRead : 0) |
                 ((vma->vm_flags & VM_WRITE) ? vk::kPermWrite : 0);
  r->perm.assign(plen >> PAGE_SHIFT, perm);
  r->slots.resize(plen >> PAGE_SHIFT);
  vk::insert_region(mm, std::move(r));
  up_write(&mm->mmap_sem);
  return (int64_t)addr;
}

// Removes every area inside [addr, addr+len): pages put, vm_ops->close, then (after
// mmap_sem is released) the file reference dropped, which may release the file. Areas
// are removed whole: one that reaches outside the range gives -EINVAL and nothing is
// removed. 0 also when nothing was mapped there. May sleep.
int sys_munmap(Process *p, uint32_t addr, size_t len) {
  if (len == 0 || (addr & (PAGE_SIZE - 1))) return -EINVAL;
  uint64_t end = PAGE_ALIGN((uint64_t)addr + len);
  if (end > (1ull << 32)) return -EINVAL;
  struct mm_struct *mm = p->mm;
  vk::UseMm use(mm);
  std::vector<std::unique_ptr<vk::Region>> gone;
  bool partial = false;
  down_write(&mm->mmap_sem);
  {
    vk::RawGuard g(&mm->map_lock);
    auto &regions = mm->map->regions;
    auto it = regions.upper_bound(addr);
    if (it != regions.begin() && std::prev(it)->second->end > addr) --it;
    auto first = it;
    for (; it != regions.end() && it->first < end; ++it)
      partial |= it->first < addr || it->second->end > end;
    for (it = first; !partial && it != regions.end() && it->first < end;) {
      mm->map->next_hint = std::min<uint64_t>(mm->map->next_hint, it->first);
      gone.push_back(std::move(it->second));
      it = regions.erase(it);
    }
  }
  if (partial) {
    up_write(&mm->mmap_sem);
    return -EINVAL;
  }
  std::vector<struct vm_area_struct *> vmas;
  for (auto &r : gone) vmas.push_back(vk::teardown_region(r.get()));
  up_write(&mm->mmap_sem);
  for (auto *vma : vmas) vk::finish_vma(vma);
  return 0;
}

}  // namespace machine
