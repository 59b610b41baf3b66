/*
 * vellib-mmap.cpp - the transfer buffer: the agent's mappings of the control device,
 * the pages behind them and the fault handler that supplies them on first touch.
 *
 * Slot locking: velMMAP, velVMclose and the fault handler run under the agent's
 * memory-map lock only (never bSem, see velMMAP), and a block read runs under bSem.
 * vmaSlotLock makes taking or freeing a slot, and "find a slot and use its pages",
 * atomic against each other, so a read that has taken its page references
 * (holdVMAPages) keeps filling valid pages even when the agent unmaps the buffer
 * meanwhile.
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include "vellib.h"

struct vm_operations_struct velVMOps = {velVMopen, velVMclose, velVMnopage};

/* Guards the vma field of every session's slots against velVMclose. Held only briefly;
 * nothing sleeps under it. */
static DEFINE_SPINLOCK(vmaSlotLock);

/* ---- Slot lookup ------------------------------------------------------------------------ */

/*
 * checkVMA: 1 and *bVMAPtr = the slot in use whose mapping starts at `data` (slot 0
 * first); 0 and *bVMAPtr untouched otherwise. Callers that use the slot's pages hold
 * vmaSlotLock or bSem (see holdVMAPages). Never sleeps.
 */
int checkVMA(Backup *b, char *data, BackupVMA **bVMAPtr) {
  int i;
  for (i = 0; i < VEL_NUM_VMAS; i++) {
    BackupVMA *bVMA = &b->vmAreas[i];
    if (bVMA->vma && bVMA->vma->vm_start == (unsigned long)data) {
      *bVMAPtr = bVMA;
      return 1;
    }
  }
  return 0;
}

/* findVMA: 1 and *bVMAPtr = the slot serving `vmaToFind` (slot 0 first); else 0. */
int findVMA(Backup *b, struct vm_area_struct *vmaToFind, BackupVMA **bVMAPtr) {
  int i;
  for (i = 0; i < VEL_NUM_VMAS; i++) {
    if (b->vmAreas[i].vma == vmaToFind) {
      *bVMAPtr = &b->vmAreas[i];
      return 1;
    }
  }
  return 0;
}

/* maxBVMAs: 0 and *bVMAPtr = the first free slot; 1 and null when both are in use. */
int maxBVMAs(Backup *b, BackupVMA **bVMAPtr) {
  int i;
  for (i = 0; i < VEL_NUM_VMAS; i++) {
    if (!b->vmAreas[i].vma) {
      *bVMAPtr = &b->vmAreas[i];
      return 0;
    }
  }
  *bVMAPtr = 0;
  return 1;
}

/* mmPageAddr: kernel address of block `index` of the buffer (block i at byte i * blockSize). */
char *mmPageAddr(Backup *b, int index, BackupVMA *bVMA) {
  int bpp = (int)b->diskInfo.blocksPerPage;
  if (bpp == 1) return (char *)page_address(bVMA->mmPages[index]);
  return (char *)page_address(bVMA->mmPages[index / bpp]) + (index % bpp) * b->diskInfo.blockSize;
}

/* ---- Pages ------------------------------------------------------------------------------- */

/*
 * freeMMPages: drops the module's reference on every page of the slot, clears the
 * entries and sets vmPages to 0; `vma` is left alone. A page still mapped by the agent,
 * or held by a block read, lives on until that reference goes. Never sleeps.
 */
void freeMMPages(Backup *b, BackupVMA *bVMA) {
  int k;
  for (k = 0; k < bVMA->vmPages && k < VEL_MAX_VM_PAGES; k++) {
    if (bVMA->mmPages[k]) {
      __free_pages(bVMA->mmPages[k], 0);
      bVMA->mmPages[k] = 0;
      atomic_dec(&b->curAllocPages);
    }
  }
  bVMA->vmPages = 0;
}

/*
 * holdVMAPages: for a block read that writes the first `bytes` bytes of the buffer.
 * Finds the mapping that starts at `data` and copies its slot into *hold, atomically
 * with respect to velVMclose: vma and vmPages as they are, and the pages covering those
 * bytes (at most vmPages of them), each with one extra reference; every other entry is
 * null. Only the pages the read writes are held: most reads are a few blocks, and a
 * reference on a page the read never touches would cost as much as one it needs.
 * 1 when found (release with releaseVMAPages), 0 when there is no such mapping (*hold
 * untouched). Caller holds bSem. Never sleeps.
 */
int holdVMAPages(Backup *b, char *data, unsigned long long bytes, BackupVMA *hold) {
  BackupVMA *bVMA;
  unsigned long long covering = (bytes + VEL_PAGE_SIZE - 1) / VEL_PAGE_SIZE;
  int k, held, found;

  spin_lock(&vmaSlotLock);
  found = checkVMA(b, data, &bVMA);
  if (found) {
    held = covering < (unsigned long long)bVMA->vmPages ? (int)covering : bVMA->vmPages;
    if (held > VEL_MAX_VM_PAGES) held = VEL_MAX_VM_PAGES;
    hold->vma = bVMA->vma;
    hold->vmPages = bVMA->vmPages;
    for (k = 0; k < held; k++) {
      hold->mmPages[k] = bVMA->mmPages[k];
      if (hold->mmPages[k]) get_page(hold->mmPages[k]);
    }
    memset(&hold->mmPages[held], 0, (VEL_MAX_VM_PAGES - held) * sizeof(hold->mmPages[0]));
  }
  spin_unlock(&vmaSlotLock);
  return found;
}

/* releaseVMAPages: drops the references holdVMAPages took (the entries it left null hold
 * none). Never sleeps. */
void releaseVMAPages(BackupVMA *hold) {
  int k;
  for (k = 0; k < hold->vmPages && k < VEL_MAX_VM_PAGES; k++) {
    if (hold->mmPages[k]) {
      put_page(hold->mmPages[k]);
      hold->mmPages[k] = 0;
    }
  }
  hold->vmPages = 0;
  hold->vma = 0;
}

/* ---- File and area operations -------------------------------------------------------------- */

/*
 * velMMAP: sets up one read-only, private mapping of at most maxVMPages pages at offset
 * 0 in a free slot. 0; 2 refused; 5 no memory (the slot stays free). May sleep.
 *
 * The kernel calls it with the agent's mmap_sem held for writing, and the commands copy
 * to and from the agent's memory under bSem, where a fault takes mmap_sem: so bSem is
 * never taken here, or a mapping thread and a faulting command of the same agent would
 * wait for each other. The slot is reserved under vmaSlotLock with no pages (a block read
 * that finds it then holds nothing and is refused) and its pages are published under the
 * lock once all are there. The state and maxVMPages need no lock: maxVMPages is set by
 * the start before the session goes above stateStarting, and never changes after. The
 * pages are cleared here so no stale kernel memory reaches the agent; they are supplied
 * on first touch by velVMnopage and freed by velVMclose or the close.
 */
int velMMAP(struct file *file, struct vm_area_struct *vma) {
  Backup *b = file ? (Backup *)file->private_data : 0;
  BackupVMA *bVMA = 0;
  struct page *page;
  long size;
  int k, full;

  if (!b) return velErrInvalid;
  if ((vma->vm_flags & (VM_READ | VM_WRITE | VM_SHARED)) != VM_READ) return velErrInvalid;

  cond_resched();
  if (velGetState(b) <= stateStarting || vma->vm_pgoff != 0) return velErrInvalid;
  size = (long)(vma->vm_end - vma->vm_start) / (long)VEL_PAGE_SIZE;
  if (size > b->maxVMPages || size <= 0) return velErrInvalid;

  spin_lock(&vmaSlotLock);
  full = maxBVMAs(b, &bVMA);
  if (!full) {
    bVMA->vmPages = 0;
    bVMA->vma = vma;
  }
  spin_unlock(&vmaSlotLock);
  if (full) return velErrInvalid;

  for (k = 0; k < (int)size; k++) {
    page = alloc_page(GFP_KERNEL);
    if (!page) {
      spin_lock(&vmaSlotLock);
      bVMA->vma = 0;
      bVMA->vmPages = k;
      freeMMPages(b, bVMA);
      spin_unlock(&vmaSlotLock);
      return velErrNoMemory;
    }
    memset(page_address(page), 0, VEL_PAGE_SIZE);
    bVMA->mmPages[k] = page;
    atomic_inc(&b->totalAllocPages);
    atomic_inc(&b->curAllocPages);
  }

  spin_lock(&vmaSlotLock);
  bVMA->vmPages = (int)size;
  spin_unlock(&vmaSlotLock);
  vma->vm_ops = &velVMOps;
  return 0;
}

/*
 * velVMnopage: the page behind `address` in the faulting area, with one more reference
 * (owned by the mapping), or NOPAGE_SIGBUS. Runs under the agent's memory-map lock;
 * takes only vmaSlotLock. Never sleeps.
 */
struct page *velVMnopage(struct vm_area_struct *vma, unsigned long address, int *unused) {
  Backup *b;
  BackupVMA *bVMA = 0;
  struct page *page = NOPAGE_SIGBUS;
  unsigned long k;

  if (!vma->vm_file || !vma->vm_file->private_data) {
    printk("<4>%s: vma does not have associated backup%s", "velVMnopage", "\n");
    return NOPAGE_SIGBUS;
  }
  b = (Backup *)vma->vm_file->private_data;

  /* An area in no slot (one the kernel copied, say) is a bus error for the caller: the
   * pages of another mapping are not its to see. */
  spin_lock(&vmaSlotLock);
  if (!findVMA(b, vma, &bVMA)) {
    spin_unlock(&vmaSlotLock);
    printk("<3>%s: vma is not found in associated backup%s", "velVMnopage", "\n");
    return NOPAGE_SIGBUS;
  }
  k = (address - vma->vm_start) / VEL_PAGE_SIZE;
  if (address >= vma->vm_start && k < (unsigned long)bVMA->vmPages && bVMA->mmPages[k]) {
    page = bVMA->mmPages[k];
    get_page(page);
  }
  spin_unlock(&vmaSlotLock);
  if (!page) printk("<4>%s: Bad vm address%s", "velVMnopage", "\n");
  return page;
}

/* velVMopen: nothing to do; a mapping is set up by velMMAP. */
void velVMopen(struct vm_area_struct *vma) {}

/*
 * velVMclose: ends a mapping: its slot becomes free and the module's page references
 * are dropped (a block read in progress keeps its own). An area in no slot is ignored.
 * Runs under the agent's memory-map lock; takes only vmaSlotLock. Never sleeps.
 */
void velVMclose(struct vm_area_struct *vma) {
  Backup *b;
  BackupVMA *bVMA;

  if (!vma->vm_file || !vma->vm_file->private_data) return;
  b = (Backup *)vma->vm_file->private_data;
  spin_lock(&vmaSlotLock);
  if (findVMA(b, vma, &bVMA)) {
    bVMA->vma = 0;
    freeMMPages(b, bVMA);
  }
  spin_unlock(&vmaSlotLock);
}
