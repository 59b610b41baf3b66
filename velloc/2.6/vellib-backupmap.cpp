/*
 * vellib-backupmap.cpp - the agent's map of the blocks it will read (blockMap): its load,
 * the clean-up of the cache after the load, its release, the capture decision of the write
 * path, and the dirty-block query that names a block still held in the cache.
 */
#include "vellib.h"

#include <asm/uaccess.h>

/* ---- The map ------------------------------------------------------------------------------ */

/*
 * newBUBlockMap: builds blockMap from size bits of the agent's bitmap at data. Returns 0,
 * or newBlockMap's 2 (size), 5 (memory), 6 (agent memory unreadable). Counts its pages.
 * Caller holds bSem and makes sure no bit operation can reach blockMap; sleeps.
 */
int newBUBlockMap(Backup *b, unsigned int size, char *data) {
  unsigned int numPages = 0;
  int r = newBlockMap(&b->blockMap, size, data, 0, &numPages);
  if (r) {
    printk("<3>%s: error creating map of size=%u\n", "newBUBlockMap", size);
    return r;
  }
  atomic_add((int)numPages, &b->totalAllocPages);
  atomic_add((int)numPages, &b->curAllocPages);
  return 0;
}

/*
 * closeBUBlockMap: releases blockMap's pages, if it has any, and lowers curAllocPages.
 * Caller holds bSem (or is the close) and no bit operation can reach the map.
 */
void closeBUBlockMap(Backup *b) {
  unsigned int numPages = 0;
  if (!b->blockMap.map) return;
  closeBlockMap(&b->blockMap, &numPages);
  atomic_sub((int)numPages, &b->curAllocPages);
}

/*
 * cleanUpCache: after the switch to stateMapLoaded drops every cached block that is not in
 * blockMap. Returns 0 when done, or skipped because the write path entered an error state
 * meanwhile; non-zero when the state is below stateMapLoaded. Takes cacheUsers (read) and
 * each bucket's sem in turn; sleeps.
 */
int cleanUpCache(Backup *b) {
  unsigned int i;
  u32 st;

  down_read(&b->cacheUsers);
  st = velGetState(b);
  if (st > stateMapLoaded) {
    up_read(&b->cacheUsers);
    return 0;
  }
  if (st != stateMapLoaded || !b->blockTable) {
    up_read(&b->cacheUsers);
    return 1;
  }
  for (i = 0; i < VEL_HASH_BUCKETS; i++) {
    HashTable *ht = b->blockTable[i];
    CachePage *cp, *next, *lastKept = NULL;

    down(&ht->sem);
    for (cp = ht->busy; cp; cp = next) {
      next = cp->next;
      if (blockInMap(&b->blockMap, cp->blockNum)) {
        lastKept = cp;
        continue;
      }
      if (lastKept)
        lastKept->next = next;
      else
        ht->busy = next;
      freeCachePage(b, cp);
      atomic_inc(&b->totalCleanedCBs);
    }
    up(&ht->sem);
  }
  up_read(&b->cacheUsers);
  return 0;
}

/*
 * ioctlLoadBlockMap (doLoadBlockMap): loads the agent's map of the blocks it will read.
 * Returns 0; 2 outside stateSnapshotComplete; newBlockMap's 2, 5 or 6; 3 when the cache
 * could not be cleaned. Takes bSem, and writers for the switch; sleeps.
 *
 * A changed-block map an incremental snapshot handed over and the agent has not fetched is
 * released first: the load replaces it. Nobody else touches blockMap meanwhile: the write
 * path and the cache consult it only in stateMapLoaded, and every command holds bSem.
 */
int ioctlLoadBlockMap(Backup *b, UserBlockMap *userBM) {
  u32 expected = stateSnapshotComplete;
  int r;

  down(&b->bSem);
  /* The write path may put the session in an error state at any moment; that state stays. */
  if (!__atomic_compare_exchange_n(&b->state, &expected, (u32)stateLoadingMap, 0, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST)) {
    printk("<3>%s: backup error snapshot not %s\n", "ioctlLoadBlockMap", "complete");
    up(&b->bSem);
    return velErrInvalid;
  }

  closeBUBlockMap(b);
  r = newBUBlockMap(b, userBM->mapLen, (char *)(unsigned long)userBM->map);
  if (r) {
    velEnterErrorState(b, stateMapLoadFailed);
    printk("<3>%s: backup error failed to load device map%s", "ioctlLoadBlockMap", "\n");
    up(&b->bSem);
    return r;
  }

  /* Each intercepted write sees either the old rule (capture every block) or the new one. */
  down_write(&b->writers);
  expected = stateLoadingMap;
  __atomic_compare_exchange_n(&b->state, &expected, (u32)stateMapLoaded, 0, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  up_write(&b->writers);

  if (cleanUpCache(b)) {
    velEnterErrorState(b, stateMapLoadFailed);
    printk("<3>%s: error cleaning cache%s", "ioctlLoadBlockMap", "\n");
    up(&b->bSem);
    return velErrRefused;
  }
  up(&b->bSem);
  return 0;
}

/* ---- Capture decision ---------------------------------------------------------------------- */

/*
 * doWeCacheBlock: 1 when the old contents of block bn must be captured before a write:
 * the block lies in the backup, is not captured yet, and (once the map is loaded) the
 * agent still needs it. No lock of its own; the maps' gates. May sleep.
 */
int doWeCacheBlock(Backup *b, unsigned int bn) {
  /* Blocks past the backup's end are never read by the agent, and cacheMap could not
   * remember them: capturing them would store a copy on every write. */
  if (bn >= b->cacheMap.size) return 0;
  if (velGetState(b) == stateMapLoaded && !blockInMap(&b->blockMap, bn)) return 0;
  return !blockInMap(&b->cacheMap, bn);
}

/* ---- Dirty blocks --------------------------------------------------------------------------- */

/*
 * anyDirtyBlock: the block at the head of the first non-empty bucket, or 0xFFFFFFFF when
 * the cache holds nothing (or the session is above stateMapLoaded). Caller holds bSem;
 * takes cacheUsers (read) and the buckets' sems; sleeps.
 */
unsigned int anyDirtyBlock(Backup *b) {
  unsigned int result = VEL_NO_DIRTY_BLOCK;
  unsigned int i;

  if (atomic_read(&b->curCBs) == 0) return result;
  down_read(&b->cacheUsers);
  if (velGetState(b) <= stateMapLoaded && b->blockTable) {
    for (i = 0; i < VEL_HASH_BUCKETS; i++) {
      HashTable *ht = b->blockTable[i];
      down(&ht->sem);
      if (ht->busy) {
        result = ht->busy->blockNum;
        up(&ht->sem);
        break;
      }
      up(&ht->sem);
    }
  }
  up_read(&b->cacheUsers);
  return result;
}

/*
 * ioctlGetDirtyBlock (doGetDirtyBlock): stores a block held in the cache, or 0xFFFFFFFF,
 * at the agent's address. Returns 0; 2 without a loaded map or outside stateMapLoaded;
 * -EFAULT when the answer cannot be stored. Takes bSem; sleeps.
 */
int ioctlGetDirtyBlock(Backup *b, unsigned int *userBlockNumPtr) {
  unsigned int result;

  down(&b->bSem);
  /* Tested under bSem: the map pointer changes only under it. */
  if (!b->blockMap.map || velGetState(b) != stateMapLoaded) {
    up(&b->bSem);
    return velErrInvalid;
  }
  result = anyDirtyBlock(b);
  up(&b->bSem);
  return put_user(result, userBlockNumPtr);
}
