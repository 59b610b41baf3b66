/*
 * globals.h - the module's small shared records: the paged block bitmap, the cache
 * entries and buckets of the copy-on-write store, and one mapping of the transfer buffer.
 */
#ifndef _VEL_GLOBALS_H
#define _VEL_GLOBALS_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <asm/atomic.h>
#include <linux/spinlock.h>
#include <asm/semaphore.h>
#include <linux/mm.h>

/* ---- Paged block bitmap --------------------------------------------------------------- */

#define VEL_PAGE_SIZE 4096u                      /* bytes per bitmap / buffer page */
#define VEL_BITS_PER_PAGE (VEL_PAGE_SIZE * 8u)   /* 32768 blocks per bitmap page */
#define VEL_BITS_PER_PAGE_SHIFT 15u              /* block n lies in page n >> 15 */
#define VEL_BITS_PER_PAGE_MASK (VEL_BITS_PER_PAGE - 1u)

/*
 * BlockMap: one bit per block of a partition, held in separately allocated pages.
 * Block n is bit (n & 32767) of page n >> 15, least significant bit first; the whole
 * map is the flat byte string also exchanged with the agent.
 *
 * Locking: `users`/`usersLock` form the users gate. A bit operation enters it (takes
 * usersLock, increments users, releases) and leaves it with a plain atomic decrement;
 * waitForBlockMapUsers returns holding usersLock once users is back at its resting 1.
 * `sem` serialises page access by the bit operations. `size`, `numBytes` and `map` are
 * written only by newBlockMap/closeBlockMap while no bit operation can reach the map,
 * or (the snapshot's exchange of `map`) with the gate closed.
 * Embedded by value in its owner; the page array and pages belong to the map.
 */
typedef struct BlockMap {
  u32 size;                 /* blocks (bits) covered; 0 when the map holds no pages. gate */
  u32 numBytes;             /* bytes of bitmap: (size + 7) / 8. gate */
  struct page **map;        /* vmalloc'ed array of bitmap pages, page order; null when empty. gate */
  atomic_t users;           /* users gate count: 1 idle, +1 per bit operation in progress */
  spinlock_t usersLock;     /* guards entry into the gate; taken with interrupts saved */
  struct semaphore sem;     /* count 1; serialises page access by bit operations */
} BlockMap;

/* ---- Copy-on-write cache store -------------------------------------------------------- */

#define VEL_HASH_BUCKETS 4096u                   /* buckets of a session's block cache */
#define VEL_HASH_MASK (VEL_HASH_BUCKETS - 1u)    /* bucket of block n: n & 0xFFF */

/*
 * CachePage: the pre-write contents of one block, in the chain of its bucket.
 * Locking: every field is guarded by the owning bucket's `sem`; the chain as a whole
 * by the session's `cacheUsers` (read: users of the store, write: teardown).
 * Allocated from the session's cpCache, `data` from its dataCache; freed by the store.
 */
typedef struct CachePage {
  struct CachePage *next;   /* next entry of the bucket's chain, null at the end. bucket sem */
  char *data;               /* exactly diskInfo.blockSize bytes of old contents. bucket sem */
  u32 blockNum;             /* block number within the partition. bucket sem */
} CachePage;

/*
 * HashTable: one bucket of a session's block cache.
 * Locking: `busy` and the chain behind it are guarded by `sem` (used as a mutex),
 * taken inside the session's cacheUsers. Allocated from the session's htCache.
 */
typedef struct HashTable {
  CachePage *busy;          /* first entry of the chain; new entries are pushed here. sem */
  struct semaphore sem;     /* count 1 when free */
} HashTable;

/* ---- Transfer buffer mapping ---------------------------------------------------------- */

#define VEL_MAX_VM_PAGES 256                     /* most pages in one transfer-buffer mapping */
#define VEL_NUM_VMAS 2                           /* mappings a session can hold at once */

/*
 * BackupVMA: one mapping of the transfer buffer into the agent.
 * Locking: velMMAP fills a slot under the session's bSem; the fault handler and
 * velVMclose run under the agent's memory-map lock and read the slot without a lock of
 * the module. The module holds one reference on each page in mmPages.
 */
typedef struct BackupVMA {
  int vmPages;                              /* pages in the mapping; 0 when the slot holds none */
  struct vm_area_struct *vma;               /* the agent's area this slot serves; null when free */
  struct page *mmPages[VEL_MAX_VM_PAGES];   /* mmPages[k] backs vm_start + k * 4096; null past vmPages */
} BackupVMA;

#endif /* _VEL_GLOBALS_H */
