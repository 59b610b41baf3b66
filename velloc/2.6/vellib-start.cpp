/*
 * vellib-start.cpp - session start: claims the module's single backup slot and builds the
 * session (bucket table, slab caches, worker thread, cache map, read requests) before it
 * publishes the session as activeSession.
 *
 * A start that fails part way leaves what it built in the record; closeBackup releases it.
 */
#include "vellib.h"

#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/string.h>
#include <linux/sched.h>

/* ---- Bucket table ------------------------------------------------------------------------ */

/*
 * newBlockTable: creates htCache and the 4096 zeroed buckets of the block cache, each with
 * its semaphore at count 1. Returns 0, or 5 when the slab cache, the table or a bucket
 * could not be had (what was built stays for the close). Called under bSem; may sleep.
 */
int newBlockTable(Backup *b) {
  unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
  unsigned int i;

  sprintf(b->htCacheName, "velHT%02x%02x", major, minor);
  b->htCache = kmem_cache_create(b->htCacheName, sizeof(HashTable), 0, SLAB_HWCACHE_ALIGN, NULL, NULL);
  if (!b->htCache) {
    printk("<3>%s: kmem_cache_create failed for HashTable structs during backup start major=%d minor=%d\n",
           "newBlockTable", (int)major, (int)minor);
    return velErrNoMemory;
  }

  b->blockTable = (HashTable **)vmalloc(VEL_HASH_BUCKETS * sizeof(HashTable *));
  if (!b->blockTable) return velErrNoMemory;
  memset(b->blockTable, 0, VEL_HASH_BUCKETS * sizeof(HashTable *));

  for (i = 0; i < VEL_HASH_BUCKETS; i++) {
    HashTable *ht = (HashTable *)kmem_cache_alloc(b->htCache, GFP_KERNEL);
    if (!ht) return velErrNoMemory;
    memset(ht, 0, sizeof(*ht));
    b->blockTable[i] = ht;
  }
  for (i = 0; i < VEL_HASH_BUCKETS; i++) sema_init(&b->blockTable[i]->sem, 1);
  return 0;
}

/* ---- Worker thread ------------------------------------------------------------------------- */

/*
 * startWorkQueue: takes the signalThread unit that stands for the right to run a worker
 * (waiting for a previous worker to give it back), starts "kbackupd" and waits until it
 * runs. Returns 0, or the negative error of kernel_thread (the unit is given back).
 * Called under bSem; sleeps.
 */
int startWorkQueue(Backup *b) {
  pid_t pid;

  down(&signalThread);
  atomic_set(&backup_cacheThreadContinue, 1);
  /* Read without a lock by other handles' closes: one untorn store. */
  pid = kernel_thread(backup_cache, NULL, 0);
  __atomic_store_n(&backup_cachePID, pid, __ATOMIC_SEQ_CST);
  if (pid >= 0) {
    b->startedCacheThread = 1;
    wait_for_completion(&backup_cacheThreadStartCompleted);
    return 0;
  }
  up(&signalThread);
  printk("<3>%s: error starting cache thread%s", "startWorkQueue", "\n");
  return pid;
}

/* Block read requests need no cache of their own: nothing to set up or tear down. */
void allocateBRCache(Backup *b) {}
void closeBRCache(Backup *b) {}

/* ---- Cache map ----------------------------------------------------------------------------- */

/*
 * newCacheMap: an all-clear map of one bit per block of the backup. Returns 0, or
 * newBlockMap's 2 (size 0) or 5 (no memory). Counts its pages. Called under bSem; may sleep.
 */
int newCacheMap(Backup *b) {
  unsigned int size = (unsigned int)b->diskInfo.numBlocks;
  unsigned int numPages = 0;
  int r = newBlockMap(&b->cacheMap, size, NULL, 1, &numPages);
  if (r) {
    printk("<3>%s: error creating cache map of size=%u\n", "newCacheMap", size);
    return r;
  }
  atomic_add((int)numPages, &b->totalAllocPages);
  atomic_add((int)numPages, &b->curAllocPages);
  return 0;
}

/* ---- The start command ------------------------------------------------------------------ */

/*
 * ioctlStartBackup (doStartBackup): claims the backup slot and builds the session of the
 * partition kdev. Returns 0; 9 when another handle holds the slot; 11 when the handle is not
 * idle, its own session among them (a stray start leaves a running backup as it was);
 * getDiskInfo's 3 or 8; 5 for no memory; a negative error when the worker could not be
 * started; 2 for a cache map of size 0; 1 when the queue has no make-request function.
 * Takes bSem for the whole start, busyLock inside it (nothing is taken under busyLock);
 * sleeps. On failure what was built stays in the record and the handle keeps the slot until
 * closeBackup.
 */
int ioctlStartBackup(Backup *b, dev_t kdev, unsigned int totalBlocks_, unsigned int maxCacheBlocks_) {
  unsigned long flags;
  unsigned int vmPages;
  int r;

  /* Under bSem a start of this handle cannot meet its own session half built, nor a
   * second start of the same handle take the slot's refusal for another's. */
  down(&b->bSem);
  if (!b->ownsBusy) {
    spin_lock_irqsave(&busyLock, flags);
    if (atomic_read(&busy) == 1) {
      spin_unlock_irqrestore(&busyLock, flags);
      velSetState(b, stateOtherBackupOpen);
      printk("<3>%s: another backup operation is open can't start backup on device major=%d minor=%d\n",
             "ioctlStartBackup", (int)MAJOR(kdev), (int)MINOR(kdev));
      r = velErrOtherBackupOpen;
      goto out;
    }
    atomic_set(&busy, 1);
    spin_unlock_irqrestore(&busyLock, flags);
    /* From here the slot is this handle's until it is closed. */
    b->ownsBusy = 1;
  }

  if (velGetState(b) != stateIdle) {
    printk("<3>%s: tried to start backup on device major=%d minor=%d that is already busy\n",
           "ioctlStartBackup", (int)MAJOR(kdev), (int)MINOR(kdev));
    r = velErrNotIdle;
    goto out;
  }

  b->diskInfo.numBlocks = totalBlocks_;
  b->maxCacheBlocks = maxCacheBlocks_;

  r = getDiskInfo(&b->diskInfo, kdev);
  if (r) goto out;
  /* getDiskInfo fills the description; the backup covers the blocks the agent counts. */
  b->diskInfo.numBlocks = totalBlocks_;

  velSetState(b, stateStarting);
  vmPages = ((u32)b->diskInfo.blockSize << 8) >> 12;
  b->maxVMPages = (int)(vmPages > VEL_MAX_VM_PAGES ? VEL_MAX_VM_PAGES : vmPages);

  r = newBlockTable(b);
  if (r) goto out;

  r = startWorkQueue(b);
  if (r) goto out;

  allocateBRCache(b);

  {
    unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
    /* A cache record is never smaller than the record itself, whatever the block size. */
    size_t cpSize = 8 + 4 * (size_t)b->diskInfo.blocksPerPage;
    if (cpSize < sizeof(CachePage)) cpSize = sizeof(CachePage);

    sprintf(b->cpCacheName, "velCP%02x%02x", major, minor);
    b->cpCache = kmem_cache_create(b->cpCacheName, cpSize, 0, SLAB_HWCACHE_ALIGN, NULL, NULL);
    if (!b->cpCache) {
      printk("<3>%s: kmem_cache_create failed during backup start major=%d minor=%d\n", "ioctlStartBackup",
             (int)major, (int)minor);
      r = velErrNoMemory;
      goto out;
    }
    sprintf(b->dataCacheName, "velDC%02x%02x", major, minor);
    b->dataCache = kmem_cache_create(b->dataCacheName, (size_t)b->diskInfo.blockSize, 0, SLAB_HWCACHE_ALIGN,
                                     NULL, NULL);
    if (!b->dataCache) {
      printk("<3>%s: kmem_cache_create failed during backup start major=%d minor=%d\n", "ioctlStartBackup",
             (int)major, (int)minor);
      r = velErrNoMemory;
      goto out;
    }
  }

  r = newCacheMap(b);
  if (r) goto out;

  b->diskInfo.realMRF = getRealMRF(getRequestQueue(&b->diskInfo));
  if (!b->diskInfo.realMRF) {
    printk("<3>%s: error getting real MRF for major=%d minor=%d\n", "ioctlStartBackup",
           (int)MAJOR(b->diskInfo.kdev), (int)MINOR(b->diskInfo.kdev));
    r = velErrNotInitialised;
    goto out;
  }

  r = allocateBlockRequests(b);
  if (r) goto out;

  /* Published last, once everything the interception and the worker use exists. */
  down_write(&activeSessionUsers);
  activeSession = b;
  up_write(&activeSessionUsers);
  velSetState(b, stateStarted);
  printk("<6>%s: backup started for device major=%d minor=%d\n", "ioctlStartBackup",
         (int)MAJOR(b->diskInfo.kdev), (int)MINOR(b->diskInfo.kdev));
  r = 0;
out:
  up(&b->bSem);
  return r;
}
