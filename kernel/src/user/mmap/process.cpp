// Processes: creation, binding threads to them, their anonymous memory, their own reads
// and writes, and teardown.
#include <linux/errno.h>
#include <linux/sched.h>

#include <cstdlib>

#include "src/user/mmap/user_internal.h"

namespace {
// Every mm_struct ever made: a thread may keep pointing at one after its process is gone
// (its task outlives the binding), so they are never freed.
vk::RawLock mms_lock;
std::vector<struct mm_struct *> &all_mms() {
  static auto *v = new std::vector<struct mm_struct *>;
  return *v;
}

machine::Process *owner_of(struct mm_struct *mm) {
  return mm ? __atomic_load_n(&mm->owner, __ATOMIC_ACQUIRE) : nullptr;
}
}  // namespace

namespace machine {

Process *process_create(const std::string &name) {
  auto *p = new Process;
  p->name = name;
  auto *mm = new mm_struct{};
  init_rwsem(&mm->mmap_sem);
  mm->map = new vk::AddressSpace;
  mm->owner = p;
  p->mm = mm;
  vk::RawGuard g(&mms_lock);
  all_mms().push_back(mm);
  return p;
}

// Mappings go first (pages put, vm_ops->close), then descriptors, as at process exit; a
// file is released when its last reference of either kind goes. May sleep.
void process_destroy(Process *p) {
  if (!p) return;
  struct mm_struct *mm = p->mm;
  std::vector<std::unique_ptr<vk::Region>> gone;
  std::vector<struct vm_area_struct *> vmas;
  down_write(&mm->mmap_sem);
  {
    vk::RawGuard g(&mm->map_lock);
    for (auto &[start, r] : mm->map->regions) gone.push_back(std::move(r));
    delete mm->map;
    mm->map = nullptr;
    __atomic_store_n(&mm->owner, nullptr, __ATOMIC_RELEASE);
  }
  for (auto &r : gone) vmas.push_back(vk::teardown_region(r.get()));
  up_write(&mm->mmap_sem);
  for (auto *vma : vmas) vk::finish_vma(vma);
  gone.clear();

  std::vector<struct file *> fds;
  {
    vk::RawGuard g(&p->fd_lock);
    fds.swap(p->fds);
  }
  for (struct file *f : fds)
    if (f && f != vk::reserved_fd()) fput(f);
  if (get_current()->mm == mm) get_current()->mm = nullptr;
  delete p;
}

void process_enter(Process *p) { get_current()->mm = p ? p->mm : nullptr; }
void process_leave() { get_current()->mm = nullptr; }
Process *process_current() { return owner_of(get_current()->mm); }

// ---- the process's own memory ---------------------------------------------------------

uint32_t user_alloc(Process *p, size_t len) {
  if (len == 0 || len > vk::kTaskSize) return 0;
  uint64_t plen = PAGE_ALIGN((uint64_t)len);
  auto r = std::make_unique<vk::Region>();
  r->anon.reset(static_cast<uint8_t *>(std::calloc(plen, 1)));  // zeroed lazily by the host
  if (!r->anon) return 0;
  r->perm.assign(plen >> PAGE_SHIFT, vk::kPermRead | vk::kPermWrite);
  struct mm_struct *mm = p->mm;
  down_write(&mm->mmap_sem);
  uint64_t addr;
  {
    vk::RawGuard g(&mm->map_lock);
    addr = vk::place_region(mm->map, plen);
  }
  if (addr) {
    r->start = addr;
    r->end = addr + plen;
    vk::insert_region(mm, std::move(r));
  }
  up_write(&mm->mmap_sem);
  return (uint32_t)addr;
}

// Frees anonymous memory made by user_alloc at addr; anything else is left alone.
void user_free(Process *p, uint32_t addr) {
  struct mm_struct *mm = p->mm;
  std::unique_ptr<vk::Region> r;
  down_write(&mm->mmap_sem);
  {
    vk::RawGuard g(&mm->map_lock);
    auto it = mm->map->regions.find(addr);
    if (it != mm->map->regions.end() && !it->second->vma) {
      r = std::move(it->second);
      mm->map->next_hint = std::min<uint64_t>(mm->map->next_hint, addr);  // freed space is reused first
      mm->map->regions.erase(it);
    }
  }
  up_write(&mm->mmap_sem);
}

void user_protect(Process *p, uint32_t addr, size_t len, bool readable, bool writable) {
  struct mm_struct *mm = p->mm;
  uint64_t first = addr & PAGE_MASK;
  uint64_t end = PAGE_ALIGN((uint64_t)addr + len);
  uint8_t perm = (readable ? vk::kPermRead : 0) | (writable ? vk::kPermWrite : 0);
  down_write(&mm->mmap_sem);
  {
    vk::RawGuard g(&mm->map_lock);
    for (auto &[start, r] : mm->map->regions) {
      if (r->end <= first || start >= end) continue;
      for (uint64_t a = std::max(first, start); a < std::min(end, r->end); a += PAGE_SIZE)
        r->perm[(a - start) >> PAGE_SHIFT] = perm;
    }
  }
  up_write(&mm->mmap_sem);
}

// Faults (nopage) run in p's context, whichever thread asks.
int user_read(Process *p, uint32_t addr, void *dst, size_t len) {
  vk::UseMm use(p->mm);
  size_t done;
  return vk::user_access(p->mm, addr, static_cast<uint8_t *>(dst), len, vk::Op::from_user, &done);
}

int user_write(Process *p, uint32_t addr, const void *src, size_t len) {
  vk::UseMm use(p->mm);
  size_t done;
  return vk::user_access(p->mm, addr, const_cast<uint8_t *>(static_cast<const uint8_t *>(src)), len,
                         vk::Op::to_user, &done);
}

const uint8_t *user_map_view(Process *p, uint32_t addr, size_t len) {
  vk::UseMm use(p->mm);
  return vk::user_view(p->mm, addr, len);
}

}  // namespace machine
