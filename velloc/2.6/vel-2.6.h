/*
 * vel-2.6.h - the records that touch the kernel's block layer: the description of a
 * partition, the agent's read requests, held write requests, the change-tracking
 * session of a device, the per-handle backup session, and a registry device entry.
 */
#ifndef _VEL_2_6_H
#define _VEL_2_6_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <asm/atomic.h>
#include <linux/spinlock.h>
#include <asm/semaphore.h>
#include <linux/rwsem.h>
#include <linux/completion.h>
#include <linux/wait.h>
#include <linux/time.h>
#include <linux/slab.h>
#include <linux/fs.h>
#include <linux/bio.h>
#include <linux/blkdev.h>

#include "velloc.h"
#include "globals.h"
#include "stats.h"
#include "queueList.h"

/* ---- Partition description ------------------------------------------------------------ */

/*
 * DiskInfo: one partition (or whole disk) with a mounted file system.
 * Locking: none of its own. A session's copy is written by the start under the
 * session's bSem and read unlocked afterwards (it no longer changes); a change-tracking
 * session's copy is written once before the session is entered in amList.
 */
typedef struct DiskInfo {
  dev_t kdev;                       /* device number: major << 20 | minor */
  sector_t partitionStart;          /* first sector on the whole disk; 0 for a whole disk */
  int blockSize;                    /* file-system block size, bytes (s_blocksize) */
  u32 blocksPerPage;                /* blocks per 4096-byte page: 4096 / blockSize */
  struct super_block *superBlock;   /* owned super-block reference; stays null (released by closeDiskInfo if set) */
  sector_t partitionSizeKB;         /* KiB: partitionLen / 2 */
  sector_t numBlocks;               /* blocks covered by the backup (agent's totalBlocks; upper half 0) */
  make_request_fn *realMRF;         /* queue's real make-request function, recorded at start */
  struct block_device *bdev;        /* the device's block device (from bdget) */
  sector_t partitionLen;            /* sectors */
  int sectorsPerBlock;              /* sectors per block: blockSize >> 9 */
  int sectorsPerBlockShift;         /* log2(sectorsPerBlock) */
} DiskInfo;

/* ---- Block reads for the agent ---------------------------------------------------------- */

/*
 * BIORequest: one disk read of a block-read command in flight.
 * Locking: owned by the command that made it, which runs under the session's bSem;
 * the completion routine touches only the bio and its buffer head.
 */
typedef struct BIORequest {
  struct bio *bio;                  /* the read; its bi_private is the block's buffer_head */
  struct completion event;          /* cleared when made; the wait goes through the buffer head */
} BIORequest;

/* ---- Held write requests ---------------------------------------------------------------- */

/*
 * MakeRequest: one bio held back by the interception until the worker has captured the
 * old contents of the blocks it touches.
 * Locking: `next` and the queue position are guarded by the session's mrLock; the
 * other fields are written once before the record is queued. kmalloc'ed (GFP_NOIO) by
 * the interception, freed by the worker (closeMR); the bio belongs to the kernel.
 */
typedef struct MakeRequest {
  request_queue_t *q;               /* the queue the bio arrived at */
  struct bio *bio;                  /* the held bio (not owned) */
  u32 startBN;                      /* first block touched, partition blocks */
  u32 endBN;                        /* last block touched (inclusive) */
  struct MakeRequest *next;         /* next held bio in arrival order; null at the tail. mrLock */
} MakeRequest;

/* ---- Change tracking ---------------------------------------------------------------------- */

#define VEL_AMLIST_SIZE 256               /* amList is indexed [major][minor], each below 256 */

/*
 * AutoMapSession: the change-tracking session of one device, owned by its amList slot.
 * Locking: the record's users gate (`users` / `usersLock`): a party that found it in
 * amList (inside the amList gate) enters this gate to hold a reference; closeAM waits
 * for users to come back to 1 (waitForAMSUsers) before freeing. `map` has its own gate
 * (BlockMap). `state` is one aligned word written without a lock. `sessionKey` is written
 * by the snapshot of the handle that owns the device's backup (under that handle's bSem).
 * `snapshotPins` is changed atomically.
 */
typedef struct AutoMapSession {
  DiskInfo diskInfo;                /* copy of the creating session's description */
  u32 state;                        /* amsNotInSync / amsInSync; unlocked word */
  BlockMap map;                     /* one bit per block written since the last snapshot */
  atomic_t users;                   /* users gate: 1 idle, +1 per reference held */
  spinlock_t usersLock;             /* guards entry into the gate; interrupts saved */
  AMSessionKey sessionKey;          /* current key, 56 random bytes */
  struct AutoMapSession *next;      /* never used; always null */
  /* A snapshot releases its reference between drawing the new key and the switch under
   * the frozen file system; a pin held across that window stops another handle's
   * shutdown (closeAllAMS) from freeing the record before the switch has used it. */
  atomic_t snapshotPins;            /* snapshots in progress that will still use this record */
} AutoMapSession;

/* ---- Backup session ------------------------------------------------------------------------ */

/*
 * Backup: the session of one open handle (file->private_data).
 *
 * Locks, in the order they are taken: bSem (every command of the handle, and the whole
 * close), writers (read: the interception while it decides about and queues one write;
 * write: the snapshot switch, the map load's switch, close), the short spin locks
 * (amListUsersLock, a change-tracking session's usersLock, mrLock), activeSessionUsers
 * (module-wide), cacheUsers (read: cache users; write: cache teardown), a cache bucket's
 * sem, a BlockMap's locks. busyLock: nothing is taken under it (the start takes it under bSem).
 * `state` is one aligned 32-bit word read without a lock by the write path and the
 * worker; it is written under bSem, under writers, or by the write path's error exits.
 * The statistics counters are atomic and need no lock.
 */
typedef struct Backup {
  struct semaphore bSem;            /* session lock, count 1; always the first lock taken */
  volatile u32 state;               /* BackupState; unlocked aligned word (see above) */
  struct rw_semaphore writers;      /* read: one interception in progress; write: state switches, close */
  int maxVMPages;                   /* pages one mapping may have: min(256, blockSize * 256 / 4096). bSem */
  BackupVMA vmAreas[VEL_NUM_VMAS];  /* the agent's transfer-buffer mappings. bSem / mm lock */
  int noLoadFromAutoMap;            /* 1: snapshot does not take the change map. bSem */
  int noStartAutoMap;               /* 1: snapshot drops change tracking. bSem */
  struct timespec eTimeToFreeze;    /* seconds, nanoseconds to freeze. bSem */
  struct timespec eTimeFrozen;      /* seconds, nanoseconds frozen. bSem */
  DiskInfo diskInfo;                /* the partition; set by the start under bSem */
  BlockMap blockMap;                /* agent's map of blocks to back up / handed-over change map. own gate */
  HashTable **blockTable;           /* vmalloc'ed 4096 bucket pointers. built at start, freed at close */
  struct kmem_cache *htCache;       /* slab of HashTable records */
  char htCacheName[32];             /* "velHT%02x%02x" of major, minor */
  BlockMap cacheMap;                /* bit set while a block's old contents are cached / no longer needed. own gate */
  struct rw_semaphore cacheUsers;   /* read: users of the cache; write: cache teardown */
  struct kmem_cache *cpCache;       /* slab of CachePage records; null once closed. cacheUsers */
  struct kmem_cache *dataCache;     /* slab of blockSize-byte buffers. cacheUsers */
  char cpCacheName[32];             /* "velCP%02x%02x" */
  char dataCacheName[32];           /* "velDC%02x%02x" */
  u32 maxCacheBlocks;               /* most cached blocks at once (agent's limit). bSem */
  atomic_t mrInQueue;               /* held bios queued, not yet fully processed */
  spinlock_t mrLock;                /* guards mrHead, mrTail, every next; interrupts saved */
  MakeRequest *mrHead;              /* oldest held bio. mrLock */
  MakeRequest *mrTail;              /* newest held bio. mrLock */
  atomic_t ioctlCount;              /* commands received on the handle */
  atomic_t totalAllocPages;         /* pages allocated for the session, ever */
  atomic_t curAllocPages;           /* pages allocated for the session, held now */
  atomic_t totalAllocCPs;           /* cached blocks, ever */
  atomic_t curAllocCPs;             /* cached blocks, now (limited by maxCacheBlocks) */
  atomic_t peakAllocCPs;            /* cached blocks, most at once */
  atomic_t totalCBs;                /* cache data buffers, ever */
  atomic_t curCBs;                  /* cache data buffers, now */
  atomic_t totalReadBlocks;         /* blocks read from disk for the agent */
  atomic_t totalReadCBs;            /* blocks served to the agent from the cache */
  atomic_t totalCleanedCBs;         /* cached blocks dropped after the map load */
  atomic_t totalAllocBRs;           /* block read requests, ever */
  atomic_t curAllocBRs;             /* block read requests, now */
  BIORequest **mmBIORequests;       /* maxVMPages * blocksPerPage read slots. bSem */
  int startedCacheThread;           /* 1 once this session started the worker. bSem */
  /* Only the handle whose start set `busy` may clear it at close; a handle refused with
   * "another backup open" or never started must leave the slot alone. */
  int ownsBusy;                     /* 1 when this handle's start took the backup slot. bSem */
  /* The interception drops activeSessionUsers before it takes `writers`, so a close can
   * reach the record in between. Each interception that found this session counts itself
   * in mrfUsers (while still under activeSessionUsers) and leaves it when done with the
   * record. The close withdraws activeSession, so no new one can count itself, and after
   * it has released writers (an interception may be waiting for it) it waits on
   * mrfUsersWait until the count is 0 before freeing the record. */
  atomic_t mrfUsers;                /* interceptions that may still touch this record */
  wait_queue_head_t mrfUsersWait;   /* woken when mrfUsers drops to 0 */
} Backup;

/* ---- Request-queue registry device entry -------------------------------------------------- */

/*
 * DevList: one device intercepted through a queue, in the devList of its QueueList.
 * Locking: the registry's users gate (see QueueList). kmalloc'ed before the gate is
 * closed, freed by the writer that unlinks it.
 */
typedef struct DevList {
  dev_t kdev;                       /* device number: major << 20 | minor. gate */
  struct list_head list;            /* link in the QueueList's devList. gate */
} DevList;

#endif /* _VEL_2_6_H */
