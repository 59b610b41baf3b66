// The user-space half of the stand-in: processes, their 32-bit address spaces and open
// descriptors. Private to kernel/src/user/{char,mmap,uaccess}.
#pragma once
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <machine/kernel.h>
#include <machine/process.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/block_host.h"
#include "src/core/lib/raw_lock.h"
#include "src/core/locking/lock_check.h"

namespace vk {

constexpr uint64_t kUserBase = 0x10000;     // lowest user address handed out
constexpr uint64_t kMmapBase = 0x40000000;  // placement starts here, then wraps below
constexpr uint64_t kTaskSize = 0xC0000000;  // first address above user space
constexpr uint64_t kGuard = PAGE_SIZE;      // unmapped page left after every area

enum : uint8_t { kPermRead = 1, kPermWrite = 2 };

// One page of a device mapping. Empty until first touch. kpage: the driver's page from
// nopage, holding the reference the mapping owns; priv: a private page of host memory
// (copy-on-write of a private mapping, or an area without nopage).
struct PageSlot {
  struct page *kpage = nullptr;
  uint8_t *priv = nullptr;
};

struct FreeBytes {
  void operator()(uint8_t *p) const { std::free(p); }
};

// One mapped area [start, end), page aligned. The set of areas and every area's fields
// change only with mmap_sem held for writing AND map_lock held; page slots are filled
// with mmap_sem held for reading and map_lock held. Readers hold either lock.
struct Region {
  uint64_t start = 0, end = 0;
  struct vm_area_struct *vma = nullptr;  // device mapping; null for anonymous memory
  std::unique_ptr<uint8_t[], FreeBytes> anon;  // anonymous memory: the bytes of the whole area
  std::vector<uint8_t> perm;             // per page: kPermRead | kPermWrite
  std::vector<PageSlot> slots;           // device mapping: per page
  size_t pages() const { return (end - start) >> PAGE_SHIFT; }
};

struct AddressSpace {
  std::map<uint64_t, std::unique_ptr<Region>> regions;  // by start address
  uint64_t next_hint = 0;  // end of the last placed area: placement searches from here first
};

// Runs the caller in a process context: current->mm is mm until the guard goes. Used by
// the system calls so the driver sees the calling process, as in the kernel.
class UseMm {
 public:
  explicit UseMm(struct mm_struct *mm) : task_(get_current()), saved_(task_->mm) { task_->mm = mm; }
  ~UseMm() {
    task_->mm = saved_;
    vk::lockcheck::return_to_user();
    blkhost::wq_leave_plugs();  // back in user space: nothing on this task unplugs them now
  }
  UseMm(const UseMm &) = delete;
  UseMm &operator=(const UseMm &) = delete;

 private:
  struct task_struct *task_;
  struct mm_struct *saved_;
};

enum class Op { from_user, to_user, clear_user };
// Moves n bytes between buf and user memory at addr of mm, page by page, faulting device
// pages in. Returns 0, or the first failure: -EFAULT (unmapped or no permission),
// -EBUSERR (nopage gave no page), -ENOMEM (nopage out of memory). *done: bytes moved, all
// before the first bad byte. May sleep (takes mmap_sem for faults; nopage may sleep).
int user_access(struct mm_struct *mm, uint64_t addr, uint8_t *buf, size_t n, Op op, size_t *done);

// The host address of [addr, addr+len) when it lies in one readable anonymous area or in
// one page of a device mapping (faulted in first); null otherwise. May sleep.
const uint8_t *user_view(struct mm_struct *mm, uint64_t addr, size_t len);

// A free run of len bytes (page multiple) with a guard page after it; 0 when none.
// Needs mmap_sem held for writing (and map_lock).
uint64_t place_region(AddressSpace *as, uint64_t len);
// Inserts a new area. Needs mmap_sem held for writing.
void insert_region(struct mm_struct *mm, std::unique_ptr<Region> r);
// Ends an area already taken out of the map: puts its pages and, for a device mapping,
// calls vm_ops->close. Needs mmap_sem held for writing. Returns the vma (null for
// anonymous memory), whose file reference and memory the caller drops with
// finish_vma once mmap_sem is released.
struct vm_area_struct *teardown_region(Region *r);
// Drops the mapping's file reference (may release the file) and frees the vma. May sleep.
void finish_vma(struct vm_area_struct *vma);

// Marks a descriptor slot whose open is still running.
inline struct file *reserved_fd() {
  static struct file marker{};
  return &marker;
}

// A reference to the file behind fd, or null (-EBADF). Never sleeps.
struct file *fget(machine::Process *p, int fd);

}  // namespace vk

// A process's 32-bit address space. Never freed once created: a thread may still carry
// it after the process is gone. A destroyed one has no map, so nothing is reachable.
struct mm_struct {
  struct rw_semaphore mmap_sem;  // writers: mmap, munmap, user_alloc/free/protect,
                                 // destroy; readers: page faults. Held across the driver's
                                 // mmap, vm_ops->close and nopage, as in the kernel.
  vk::RawLock map_lock;          // guards `map`'s contents; held briefly, never across a
                                 // driver call, so copies of present pages need no mmap_sem
  vk::AddressSpace *map;         // null once the process is destroyed (map_lock)
  machine::Process *owner;       // null once destroyed (atomic)
};

namespace machine {
struct Process {
  std::string name;
  struct mm_struct *mm = nullptr;
  vk::RawLock fd_lock;              // guards fds
  std::vector<struct file *> fds;   // null: free; vk::reserved_fd(): open running
};
}  // namespace machine
