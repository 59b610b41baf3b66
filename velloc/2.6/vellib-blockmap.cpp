/*
 * vellib-blockmap.cpp - the paged block bitmap (BlockMap): creation, from nothing or from
 * the agent's bytes, the three bit operations, release, and the users gate.
 *
 * Layout, shared with agents: block n is bit (n % 8), least significant first, of byte
 * n / 8 of one flat byte string, cut into 4096-byte pages; page n >> 15 holds block n at
 * bit n & 32767. Only the page-pointer array is virtually contiguous; the bitmap pages are
 * single pages that may lie in high memory and are reached through kmap.
 */
#include <linux/mm.h>
#include <linux/highmem.h>
#include <linux/vmalloc.h>
#include <linux/bitops.h>
#include <linux/sched.h>
#include <linux/uaccess.h>
#include <linux/string.h>
#include "vellib.h"

/* ---- Sizes ----------------------------------------------------------------------------------- */

/* Bytes of bitmap for `size` blocks in 32-bit arithmetic: 0 for size 0 and for sizes whose
 * rounding up wraps (4,294,967,289 and more). */
static unsigned int bytesForBlocks(unsigned int size) { return (size + 7u) / 8u; }

/* Pages that hold the map's `size` blocks. */
unsigned int numPagesInBlockMap(BlockMap *bmap) {
  return (bytesForBlocks(bmap->size) + (VEL_PAGE_SIZE - 1u)) / VEL_PAGE_SIZE;
}

/* ---- Creation and release ---------------------------------------------------------------------- */

/*
 * Builds a map of `size` blocks in bmap: filled from the agent's bytes at `data` when
 * given, else all clear (zeroFill 1) or all set (zeroFill 0). Returns 0 with the pages
 * allocated in *numPagesAlloc; 2 for a size with no bytes (the record untouched); 5 when
 * memory is short; 6 when the agent's bytes can't be read. On failure the record is left
 * empty with nothing allocated and *numPagesAlloc unwritten. No one else may use bmap
 * meanwhile. The caller frees with closeBlockMap. May sleep.
 */
int newBlockMap(BlockMap *bmap, unsigned int size, char *data, int zeroFill, unsigned int *numPagesAlloc) {
  unsigned int bytesInMap = bytesForBlocks(size);
  unsigned int numPages;
  unsigned int i;
  unsigned int discard = 0;
  int result;

  if (bytesInMap == 0) {
    printk("<3>%s: block size size=%u invalid\n", "newBlockMap", size);
    return velErrInvalid;
  }

  bmap->size = 0;
  bmap->numBytes = 0;
  bmap->map = NULL;
  atomic_set(&bmap->users, 1);
  spin_lock_init(&bmap->usersLock);
  sema_init(&bmap->sem, 1);

  numPages = (bytesInMap + (VEL_PAGE_SIZE - 1u)) / VEL_PAGE_SIZE;
  bmap->map = (struct page **)vmalloc(numPages * sizeof(struct page *));
  if (bmap->map == NULL) {
    printk("<3>%s: failed allocating (%d) bytes of memory for block map page array\n", "newBlockMap",
           (int)(numPages * sizeof(struct page *)));
    return velErrNoMemory;
  }
  for (i = 0; i < numPages; i++) bmap->map[i] = NULL;

  bmap->size = size;
  bmap->numBytes = bytesInMap;

  for (i = 0; i < numPages; i++) {
    unsigned int count = VEL_PAGE_SIZE;
    unsigned long notCopied = 0;
    char *kaddr;

    if (i == numPages - 1 && bytesInMap % VEL_PAGE_SIZE != 0) count = bytesInMap % VEL_PAGE_SIZE;

    bmap->map[i] = alloc_pages(GFP_HIGHUSER, 0);
    if (bmap->map[i] == NULL) {
      printk("<3>%s: failed allocating page number (%d) for block map\n", "newBlockMap", (int)i);
      result = velErrNoMemory;
      goto fail_close_map;
    }

    kaddr = (char *)kmap(bmap->map[i]);
    if (data == NULL)
      memset(kaddr, zeroFill == 1 ? 0x00 : 0xFF, count);
    else
      notCopied = copy_from_user(kaddr, data + (unsigned long)i * VEL_PAGE_SIZE, count);
    kunmap(bmap->map[i]);

    if (notCopied != 0) {
      printk("<3>%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n", "newBlockMap",
             (void *)(data + (unsigned long)i * VEL_PAGE_SIZE), (int)count, (int)bytesInMap);
      result = velErrCopyFromUser;
      goto fail_close_map;
    }
  }

  *numPagesAlloc = numPages;
  return 0;

fail_close_map:
  printk("<3>%s: Out of Memory Error.%s", "newBlockMap", "\n");
  closeBlockMap(bmap, &discard);
  return result;
}

/*
 * Frees the map's pages and page array; the map is then empty (size 0, map null) and its
 * gate still usable. Writes the pages freed to *numPagesFreed, which stays unwritten for an
 * empty map. Neither waits for the gate nor takes sem: the caller makes sure no bit
 * operation can reach the map. May sleep.
 */
void closeBlockMap(BlockMap *bmap, unsigned int *numPagesFreed) {
  unsigned int pages;
  unsigned int i;

  if (bmap->map == NULL) return;
  pages = numPagesInBlockMap(bmap);
  for (i = 0; i < pages; i++) {
    if (bmap->map[i] != NULL) {
      __free_pages(bmap->map[i], 0);
      bmap->map[i] = NULL;
    }
  }
  vfree(bmap->map);
  bmap->map = NULL;
  bmap->size = 0;
  *numPagesFreed = pages;
}

/* ---- Bit operations ------------------------------------------------------------------------- */

/* Enters the map's users gate: a waiter in waitForBlockMapUsers now waits for us. */
static void enterBlockMapUsers(BlockMap *bm) {
  unsigned long flags;

  spin_lock_irqsave(&bm->usersLock, flags);
  atomic_inc(&bm->users);
  spin_unlock_irqrestore(&bm->usersLock, flags);
}

/* Leaves the gate: a plain atomic decrement, no lock. */
static void leaveBlockMapUsers(BlockMap *bm) { atomic_dec(&bm->users); }

enum BitAction { bitSet, bitClear, bitTest };

/* Applies one bit action to block blockNum, which the caller has checked is below the
 * map's size, inside the gate. Returns the tested bit for bitTest, else 0. Takes sem. */
static int bitAction(BlockMap *bm, unsigned int blockNum, enum BitAction action) {
  struct page *page;
  unsigned long *bits;
  unsigned long k = blockNum & VEL_BITS_PER_PAGE_MASK;
  int result = 0;

  down(&bm->sem);
  page = bm->map[blockNum >> VEL_BITS_PER_PAGE_SHIFT];
  bits = (unsigned long *)kmap(page);
  if (action == bitSet)
    set_bit(k, bits);
  else if (action == bitClear)
    clear_bit(k, bits);
  else
    result = test_bit(k, bits);
  kunmap(page);
  up(&bm->sem);
  return result;
}

/* Sets block blockNum. Returns 0, or blockNum itself when it is not below the map's size
 * (the map unchanged). Process context only: may sleep. */
int setBlock(BlockMap *bm, unsigned int blockNum) {
  int result;

  enterBlockMapUsers(bm);
  if (blockNum >= bm->size) {
    result = (int)blockNum;
  } else {
    bitAction(bm, blockNum, bitSet);
    result = 0;
  }
  leaveBlockMapUsers(bm);
  return result;
}

/* Clears block blockNum. Returns 0, or 1 when it is not below the map's size. Process
 * context only: may sleep. */
int unSetBlock(BlockMap *bm, unsigned int blockNum) {
  int result;

  enterBlockMapUsers(bm);
  if (blockNum >= bm->size) {
    result = 1;
  } else {
    bitAction(bm, blockNum, bitClear);
    result = 0;
  }
  leaveBlockMapUsers(bm);
  return result;
}

/* Non-zero when block blockNum is set; 0 when clear or not below the map's size. Process
 * context only: may sleep. */
int blockInMap(BlockMap *bm, unsigned int blockNum) {
  int result = 0;

  enterBlockMapUsers(bm);
  if (blockNum < bm->size) result = bitAction(bm, blockNum, bitTest);
  leaveBlockMapUsers(bm);
  return result;
}

/* ---- The users gate ------------------------------------------------------------------------- */

/*
 * Returns holding bm->usersLock (interrupt state saved in *flags) once no bit operation is
 * inside the gate; none can enter until the caller releases the lock with those flags.
 * The caller must not sleep while holding it. Spins with schedule() between tries.
 */
void waitForBlockMapUsers(BlockMap *bm, unsigned long *flags) {
  for (;;) {
    spin_lock_irqsave(&bm->usersLock, *flags);
    if (atomic_dec_and_test(&bm->users)) {
      atomic_inc(&bm->users);
      return;
    }
    atomic_inc(&bm->users);
    spin_unlock_irqrestore(&bm->usersLock, *flags);
    schedule();
  }
}

/* initBlockMap: an empty map as its owner makes it: no pages, gate at rest, semaphore free. */
void initBlockMap(BlockMap *bm) {
  memset(bm, 0, sizeof(*bm));
  atomic_set(&bm->users, 1);
  spin_lock_init(&bm->usersLock);
  sema_init(&bm->sem, 1);
}
