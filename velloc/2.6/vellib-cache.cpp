/*
 * vellib-cache.cpp - the copy-on-write cache store: the pre-write contents of blocks
 * overwritten after the snapshot, in 4096 buckets keyed by the low 12 bits of the block
 * number, each a chain of CachePage records guarded by the bucket's semaphore.
 *
 * Lock order: cacheUsers (read: users of the store; write: teardown), then a bucket's sem,
 * then the BlockMap locks. All allocations are GFP_NOIO: stores happen while writes to
 * the disk are held back.
 */
#include "vellib.h"

#include <linux/slab.h>
#include <linux/string.h>

/* ---- Records --------------------------------------------------------------------------- */

/* Pushes cp at the front of the bucket's chain. Caller holds the bucket's sem. */
void addCPtoBusyList(HashTable *ht, CachePage *cp) {
  cp->next = ht->busy;
  ht->busy = cp;
}

/*
 * getCacheBlock: a zeroed record with a buffer of blockSize bytes, or null when the
 * configured limit is reached or memory is short (the session is then in
 * stateCacheExhausted). Counts the record. Called by the worker under cacheUsers (read)
 * and a bucket's sem; may sleep.
 */
CachePage *getCacheBlock(Backup *b) {
  CachePage *cp;

  if ((u32)atomic_read(&b->curAllocCPs) >= b->maxCacheBlocks) {
    velEnterErrorState(b, stateCacheExhausted);
    printk("<3>%s: configured max cache memory reached (%u blocks) failed to allocate cache object\n",
           "getCacheBlock", b->maxCacheBlocks);
    return NULL;
  }
  if (!b->cpCache) {
    printk("<2>%s: b->cpCache was destroyed before kmem_cache_alloc!%s", "getCacheBlock", "\n");
    BUG();
  }
  cp = (CachePage *)kmem_cache_alloc(b->cpCache, GFP_NOIO);
  if (!cp) {
    velEnterErrorState(b, stateCacheExhausted);
    printk("<3>%s: system out of memory, failed to allocate cache object.%s", "getCacheBlock", "\n");
    return NULL;
  }
  memset(cp, 0, sizeof(*cp));
  if (!b->dataCache) {
    printk("<2>%s: b->dataCache was destroyed before kmem_cache_alloc!%s", "getCacheBlock", "\n");
    BUG();
  }
  cp->data = (char *)kmem_cache_alloc(b->dataCache, GFP_NOIO);
  if (!cp->data) {
    kmem_cache_free(b->cpCache, cp);
    velEnterErrorState(b, stateCacheExhausted);
    printk("<3>%s: system out of memory failed to allocate block for write cache%s", "getCacheBlock", "\n");
    return NULL;
  }
  atomic_inc(&b->curAllocCPs);
  atomic_inc(&b->totalAllocCPs);
  atomic_inc(&b->curCBs);
  atomic_inc(&b->totalCBs);
  /* Only the worker adds records, so the test and the store cannot miss a higher count. */
  if (atomic_read(&b->curAllocCPs) > atomic_read(&b->peakAllocCPs))
    atomic_set(&b->peakAllocCPs, atomic_read(&b->curAllocCPs));
  return cp;
}

/*
 * freeCachePage: releases one record the caller has unlinked: clears its block in cacheMap,
 * returns buffer and record to their slab caches and lowers the current counts. Caller
 * holds cacheUsers and the bucket's sem (or is the teardown); may sleep (map bit).
 */
void freeCachePage(Backup *b, CachePage *cp) {
  unSetBlock(&b->cacheMap, cp->blockNum);
  kmem_cache_free(b->dataCache, cp->data);
  cp->data = NULL;
  kmem_cache_free(b->cpCache, cp);
  atomic_dec(&b->curAllocCPs);
  atomic_dec(&b->curCBs);
}

/* closeList: frees every record of the chain starting at cp. Caller holds the bucket. */
void closeList(Backup *b, CachePage *cp) {
  while (cp) {
    CachePage *next = cp->next;
    freeCachePage(b, cp);
    cp = next;
  }
}

/*
 * locateBlockInList: the first record of the chain at cp holding blockNum, or null. When the
 * record found is not the chain's first, *lastCP is set to its predecessor; otherwise
 * *lastCP is left alone (callers set it to null first). Caller holds the bucket's sem.
 */
CachePage *locateBlockInList(CachePage *cp, unsigned int blockNum, CachePage **lastCP) {
  CachePage *prev = NULL;
  for (; cp; prev = cp, cp = cp->next) {
    if (cp->blockNum == blockNum) {
      if (prev) *lastCP = prev;
      return cp;
    }
  }
  return NULL;
}

/* ---- Store and lookup ---------------------------------------------------------------- */

/*
 * saveBlock: keeps a copy of blockSize bytes at data as block blockNum. Returns 0 when
 * stored or when the block needs no copy (outside a loaded map, or already in cacheMap),
 * 1 when no record could be had (state is then stateCacheExhausted). Called by the worker
 * under cacheUsers (read); takes the bucket's sem; may sleep.
 */
int saveBlock(Backup *b, void *data, unsigned int blockNum) {
  HashTable *ht;
  CachePage *cp;

  if (velGetState(b) == stateMapLoaded && !blockInMap(&b->blockMap, blockNum)) return 0;
  if (blockInMap(&b->cacheMap, blockNum)) return 0;

  ht = b->blockTable[blockNum & VEL_HASH_MASK];
  down(&ht->sem);
  /* Asked again under the bucket: a map load may have switched to stateMapLoaded and
   * cleaned this bucket since the test above; a block it would have dropped is not stored. */
  if (velGetState(b) == stateMapLoaded && !blockInMap(&b->blockMap, blockNum)) {
    up(&ht->sem);
    return 0;
  }
  cp = getCacheBlock(b);
  if (!cp) {
    up(&ht->sem);
    return 1;
  }
  cp->blockNum = blockNum;
  memcpy(cp->data, data, (size_t)b->diskInfo.blockSize);
  addCPtoBusyList(ht, cp);
  up(&ht->sem);
  return 0;
}

/*
 * lockCachedBlock: takes cacheUsers (read) and the bucket's sem of block blockNum and finds
 * the block's record: *cp is it or null, *lastCP its predecessor or null. Returns the
 * bucket, both still held (unlockCachedBlock releases them); or null with nothing held when
 * the session is above stateMapLoaded or has no cache. May sleep.
 */
static HashTable *lockCachedBlock(Backup *b, unsigned int blockNum, CachePage **cp, CachePage **lastCP) {
  HashTable *ht;

  down_read(&b->cacheUsers);
  if (velGetState(b) > stateMapLoaded || !b->blockTable) {
    up_read(&b->cacheUsers);
    return NULL;
  }
  ht = b->blockTable[blockNum & VEL_HASH_MASK];
  down(&ht->sem);
  *lastCP = NULL;
  *cp = locateBlockInList(ht->busy, blockNum, lastCP);
  return ht;
}

static void unlockCachedBlock(Backup *b, HashTable *ht) {
  up(&ht->sem);
  up_read(&b->cacheUsers);
}

/*
 * cacheRead: copies the cached block blockNum to data. Returns blockSize, or 0 when the
 * block is not cached or the session is above stateMapLoaded. In stateMapLoaded the copy
 * is consumed: the block leaves both maps and the store. Takes cacheUsers (read) and the
 * bucket's sem; may sleep.
 */
int cacheRead(Backup *b, void *data, unsigned int blockNum) {
  CachePage *cp, *lastCP;
  HashTable *ht = lockCachedBlock(b, blockNum, &cp, &lastCP);

  if (!ht) return 0;
  if (!cp) {
    unlockCachedBlock(b, ht);
    return 0;
  }
  memcpy(data, cp->data, (size_t)b->diskInfo.blockSize);
  atomic_inc(&b->totalReadCBs);
  if (velGetState(b) == stateMapLoaded) {
    unSetBlock(&b->blockMap, blockNum);
    unSetBlock(&b->cacheMap, blockNum);
    if (lastCP)
      lastCP->next = cp->next;
    else
      ht->busy = cp->next;
    freeCachePage(b, cp);
  }
  unlockCachedBlock(b, ht);
  return b->diskInfo.blockSize;
}

/*
 * cacheHoldsBlock: 1 when the cache holds a copy of block blockNum, else 0 (also when the
 * session is above stateMapLoaded). Looks only; nothing is handed out. Takes cacheUsers
 * (read) and the bucket's sem; may sleep.
 */
int cacheHoldsBlock(Backup *b, unsigned int blockNum) {
  CachePage *cp, *lastCP;
  HashTable *ht = lockCachedBlock(b, blockNum, &cp, &lastCP);

  if (!ht) return 0;
  unlockCachedBlock(b, ht);
  return cp != NULL;
}

/* ---- Teardown ------------------------------------------------------------------------- */

/*
 * closeCache: frees every cached block and destroys cpCache and dataCache. Takes cacheUsers
 * for writing (no capture, lookup or walk in progress) and each bucket's sem in turn. A
 * session whose cache was never created, or is closed already, is left alone. Sleeps.
 */
void closeCache(Backup *b) {
  unsigned int i;

  down_write(&b->cacheUsers);
  if (!b->cpCache) {
    up_write(&b->cacheUsers);
    return;
  }
  for (i = 0; b->blockTable && i < VEL_HASH_BUCKETS; i++) {
    HashTable *ht = b->blockTable[i];
    if (!ht) continue;
    if (down_trylock(&ht->sem)) {
      printk("<3>%s: ht->sem contended%s", "closeCache", "\n");
      down(&ht->sem);
    }
    closeList(b, ht->busy);
    ht->busy = NULL;
    up(&ht->sem);
  }
  kmem_cache_destroy(b->cpCache);
  b->cpCache = NULL;
  if (b->dataCache) kmem_cache_destroy(b->dataCache);
  b->dataCache = NULL;
  up_write(&b->cacheUsers);
}
