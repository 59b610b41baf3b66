/*
 * vel-2.6-read.cpp - block reads for the agent: disk reads into the transfer buffer,
 * copies from the copy-on-write cache while the disk works, the wait, and the re-check
 * against the cache that gives every block its contents at the snapshot.
 *
 * The whole command runs under the session's bSem. Allocations use GFP_NOIO and are
 * retried rather than failing the command. Completions run in interrupt context and
 * only flag, unlock and drop references (velBIOEndIO, velBHEndIO).
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>
#include <linux/genhd.h>
#include <linux/kdev_t.h>
#include "vellib.h"

/* ---- Read request slots ----------------------------------------------------------------- */

/* isRequestSubmitted: 1 if slot i has a disk read of the current command, else 0. */
int isRequestSubmitted(Backup *b, int i) {
  return b->mmBIORequests && b->mmBIORequests[i] ? 1 : 0;
}

/*
 * allocateBlockRequests: the zeroed slot table, maxVMPages * blocksPerPage entries.
 * 0, or 5 when memory is short. Called by the start under bSem; may sleep.
 */
int allocateBlockRequests(Backup *b) {
  unsigned long bytes = (unsigned long)b->maxVMPages * b->diskInfo.blocksPerPage * sizeof(BIORequest *);
  b->mmBIORequests = (BIORequest **)vmalloc(bytes ? bytes : sizeof(BIORequest *));
  if (!b->mmBIORequests) return velErrNoMemory;
  memset(b->mmBIORequests, 0, bytes ? bytes : sizeof(BIORequest *));
  return 0;
}

/* freeMMBRs: frees the slot table if present. Called by the close; may sleep. */
void freeMMBRs(Backup *b) {
  if (b->mmBIORequests) {
    vfree(b->mmBIORequests);
    b->mmBIORequests = 0;
  }
}

/* The buffer head of a slot's read (the bio's private data). */
static struct buffer_head *requestBH(BIORequest *br) {
  return br->bio ? (struct buffer_head *)br->bio->bi_private : 0;
}

/*
 * waitForRequest: sleeps until the read of one slot has completed and its completion
 * routines are done with the buffer head (velBHEndIO unlocks it and then drops its
 * reference), so the release may free it. May sleep.
 */
static void waitForRequest(BIORequest *br) {
  struct buffer_head *bh = requestBH(br);
  if (!bh) return;
  cond_resched();
  wait_on_buffer(bh);
  while (atomic_read(&bh->b_count) > 0) schedule();
}

/*
 * freeSubmitted: releases the disk read of every slot 0 .. numBlocks-1 that has one
 * (buffer head, the bio's last reference, the record) and clears the slot. Every read
 * must have completed. Under bSem; never sleeps.
 */
void freeSubmitted(Backup *b, unsigned int numBlocks) {
  unsigned int i;
  for (i = 0; i < numBlocks; i++) {
    BIORequest *br;
    if (!isRequestSubmitted(b, (int)i)) continue;
    br = b->mmBIORequests[i];
    if (br->bio) {
      struct buffer_head *bh = requestBH(br);
      if (bh) free_buffer_head(bh);
      br->bio->bi_private = 0;
      bio_put(br->bio);
      br->bio = 0;
      atomic_dec(&b->curAllocBRs);
    }
    kfree(br);
    b->mmBIORequests[i] = 0;
  }
}

/* ---- Disk reads ------------------------------------------------------------------------- */

/*
 * sendRead: hands one prepared read to the queue's real function, bypassing the
 * interception. A device whose disk has no queue cannot take it: the read is then ended
 * with an I/O error here (unless callRealMRF already ended it) so the wait never hangs
 * on it. May sleep.
 */
static void sendRead(Backup *b, struct bio *bio) {
  struct block_device *bdev = bio->bi_bdev;
  int noQueue = !bdev || !bdev->bd_disk || !bdev->bd_disk->queue;
  callRealMRF(b, bio);
  if (noQueue && bio->bi_size) bio_endio(bio, bio->bi_size, -EIO);
}

/*
 * readBlocks: sends one disk read per block of the run that is not marked in cacheMap,
 * into the held pages of the buffer; slot i holds the read of block startBlockNum + i.
 * Returns how many reads were sent; waits for none. Under bSem; may sleep (allocations
 * are retried until they succeed).
 */
int readBlocks(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA) {
  unsigned int i, bpp = b->diskInfo.blocksPerPage;
  int count = 0;

  for (i = 0; i < numBlocks; i++) {
    unsigned int blockNum = startBlockNum + i;
    BIORequest *br;
    struct buffer_head *bh;
    struct bio *bio;

    if (blockInMap(&b->cacheMap, blockNum)) continue;

    while (!(br = (BIORequest *)kmalloc(sizeof(BIORequest), GFP_NOIO))) schedule();
    memset(br, 0, sizeof(*br));
    init_completion(&br->event);
    b->mmBIORequests[i] = br;

    while (!(bh = alloc_buffer_head(GFP_NOIO))) schedule();
    while (!(bio = bio_alloc(GFP_NOIO, 1))) schedule();
    br->bio = bio;
    atomic_inc(&b->curAllocBRs);
    atomic_inc(&b->totalAllocBRs);

    initBH(b, bh, bVMA->mmPages[i / bpp], (unsigned long)(i % bpp) * b->diskInfo.blockSize, blockNum);
    initBIO(b, bio, bh);
    bio->bi_rw = READ;
    sendRead(b, bio);

    atomic_inc(&b->totalReadBlocks);
    count++;
  }
  return count;
}

/* A block marked in cacheMap whose copy the cache does not hold. */
static void logNotInCache(unsigned int blockNum) {
  printk("<4>%s: expected to read block number (%u) from cache and block not found in cache\n", "readFromCache",
         blockNum);
}

/*
 * checkCacheRun: how many blocks of the run that have no disk read the cache holds; each
 * one it does not hold is logged and counted in *missing. Looks only. Under bSem; may sleep.
 */
static int checkCacheRun(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, unsigned int *missing) {
  unsigned int i;
  int held = 0;
  for (i = 0; i < numBlocks; i++) {
    if (isRequestSubmitted(b, (int)i)) continue;
    if (cacheHoldsBlock(b, startBlockNum + i)) {
      held++;
      continue;
    }
    logNotInCache(startBlockNum + i);
    (*missing)++;
  }
  return held;
}

/*
 * readFromCache: copies every block of the run that has no disk read from the cache
 * into the buffer; returns how many the cache held. A missing block is logged and its
 * buffer bytes are left as they are.
 *
 * In stateMapLoaded a copy handed out is gone for good, and a run with a missing block is
 * refused: so the run is first checked whole, and when a block is missing nothing is
 * handed out, and the agent can still fetch the others. Copies leave the cache only under
 * bSem, which the read holds, so what the check found is still there when it is copied
 * (unless the session fails meanwhile, and then the read is refused anyway).
 * Under bSem; may sleep.
 */
int readFromCache(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA) {
  unsigned int i;
  int count = 0;

  if (velGetState(b) == stateMapLoaded) {
    unsigned int missing = 0;
    int held = checkCacheRun(b, startBlockNum, numBlocks, &missing);
    if (missing) return held;
  }
  for (i = 0; i < numBlocks; i++) {
    if (isRequestSubmitted(b, (int)i)) continue;
    if (cacheRead(b, mmPageAddr(b, (int)i, bVMA), startBlockNum + i))
      count++;
    else
      logNotInCache(startBlockNum + i);
  }
  return count;
}

/*
 * waitForSubmitted: waits for every disk read of the run. A failed read has its bytes
 * zero-filled; in stateMapLoaded each read block leaves blockMap. 0, or 12 when any
 * read failed. Under bSem; may sleep.
 */
int waitForSubmitted(Backup *b, unsigned int startBlockNum, unsigned int numBlocks) {
  unsigned int i;
  int result = 0;

  for (i = 0; i < numBlocks; i++) {
    BIORequest *br;
    struct bio *bio;
    if (!isRequestSubmitted(b, (int)i)) continue;
    br = b->mmBIORequests[i];
    bio = br->bio;
    waitForRequest(br);
    if (!bio_flagged(bio, BIO_UPTODATE)) {
      unsigned short v;
      for (v = 0; v < bio->bi_vcnt; v++) {
        struct bio_vec *bv = &bio->bi_io_vec[v];
        if (bv->bv_offset + bv->bv_len > VEL_PAGE_SIZE) {
          printk("<2>%s: BIO segment greater than page size (offset=%d, length=%d)", "waitForSubmitted",
                 (int)bv->bv_offset, (int)bv->bv_len);
          BUG();
        }
        memset((char *)page_address(bv->bv_page) + bv->bv_offset, 0, bv->bv_len);
      }
      result = velErrReadError;
    }
    if (velGetState(b) == stateMapLoaded) unSetBlock(&b->blockMap, startBlockNum + i);
  }
  return result;
}

/*
 * readCheckCache: a block read from the disk may have been overwritten after its old
 * contents were saved but before cacheMap showed it; a cached copy replaces what the
 * disk returned. Under bSem; may sleep.
 */
void readCheckCache(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA) {
  unsigned int i;
  for (i = 0; i < numBlocks; i++) {
    if (isRequestSubmitted(b, (int)i)) cacheRead(b, mmPageAddr(b, (int)i, bVMA), startBlockNum + i);
  }
}

/* ---- The command -------------------------------------------------------------------------- */

/*
 * ioctlReadBlocks: fills the agent's mapping that starts at `data` with blocks
 * startBlockNum .. startBlockNum + numBlocks - 1 as they were at the snapshot. 0; 2
 * refused, cached blocks missing, or the session failed during the read; 12 a disk read
 * failed (those blocks are zeros unless the cache had them). Takes bSem for the whole command; may sleep.
 */
int ioctlReadBlocks(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, char *data) {
  static const char *fn = "ioctlReadBlocks";
  unsigned int endBlockNum = startBlockNum + numBlocks;
  unsigned long long want, room;
  BackupVMA *hold;
  int fromDisk, fromCache, r = 0;
  u32 st;

  cond_resched();
  down(&b->bSem);

  if (velGetState(b) != stateSnapshotComplete && velGetState(b) != stateMapLoaded) {
    printk("<3>%s: state (%d) not valid\n", fn, (int)velGetState(b));
    r = velErrInvalid;
    goto out;
  }
  if (endBlockNum < startBlockNum) {
    printk("<3>%s: invalid block read range (%u-%u)\n", fn, startBlockNum, endBlockNum);
    r = velErrInvalid;
    goto out;
  }
  if (velGetState(b) == stateMapLoaded) {
    if (!b->blockMap.map) {
      printk("<3>%s: block map is null%s", fn, "\n");
      r = velErrInvalid;
      goto out;
    }
    if (endBlockNum > b->blockMap.size) {
      printk("<3>%s: end block number out of block map range%s", fn, "\n");
      r = velErrInvalid;
      goto out;
    }
  }
  if (!b->cacheMap.map) {
    printk("<3>%s: cache map is null%s", fn, "\n");
    r = velErrInvalid;
    goto out;
  }
  if (endBlockNum > b->cacheMap.size) {
    printk("<3>%s: block num (%u) out of range (%u)\n", fn, endBlockNum, b->cacheMap.size);
    r = velErrInvalid;
    goto out;
  }

  /* The read works on its own copy of the slot, holding a reference on each page it
   * fills, so an unmap of the buffer meanwhile cannot free them. */
  want = (unsigned long long)numBlocks * (unsigned int)b->diskInfo.blockSize;
  while (!(hold = (BackupVMA *)kmalloc(sizeof(BackupVMA), GFP_NOIO))) schedule();
  if (!holdVMAPages(b, data, want, hold)) {
    kfree(hold);
    printk("<3>%s: invalid data pointer%s", fn, "\n");
    r = velErrInvalid;
    goto out;
  }
  room = (unsigned long long)hold->vmPages * VEL_PAGE_SIZE;
  if (want > room) {
    printk("<3>%s: tried to read (%u) number of blocks size (%u) and mmap region can hold (%lu) bytes\n", fn,
           numBlocks, (unsigned int)b->diskInfo.blockSize, (unsigned long)room);
    r = velErrInvalid;
    goto release;
  }

  fromDisk = readBlocks(b, startBlockNum, numBlocks, hold);
  if ((unsigned int)fromDisk < numBlocks) {
    fromCache = readFromCache(b, startBlockNum, numBlocks, hold);
    if ((unsigned int)(fromDisk + fromCache) != numBlocks) {
      unsigned int i;
      printk("<3>%s: read (%u) blocks from disk and (%u) blocks from cache and expected to read (%u) blocks\n", fn,
             (unsigned int)fromDisk, (unsigned int)fromCache, numBlocks);
      for (i = 0; i < numBlocks; i++)
        if (isRequestSubmitted(b, (int)i)) waitForRequest(b->mmBIORequests[i]);
      freeSubmitted(b, numBlocks);
      r = velErrInvalid;
      goto release;
    }
  }

  if (waitForSubmitted(b, startBlockNum, numBlocks) == velErrReadError) {
    printk("<4>%s: Received an IO error while reading sectors for backup.  Some sectors could not be read%s", fn,
           "\n");
    r = velErrReadError;
  }
  readCheckCache(b, startBlockNum, numBlocks, hold);
  if (fromDisk) freeSubmitted(b, numBlocks);
  /* A session that failed during the command no longer vouches for what was read: a write
   * may have reached a block uncaptured, or the cache stopped handing out a copy that the
   * disk read needed. Such a read fails as any read in that state is refused. */
  st = velGetState(b);
  if (st > stateMapLoaded) {
    printk("<3>%s: state (%d) not valid\n", fn, (int)st);
    r = velErrInvalid;
  }

release:
  releaseVMAPages(hold);
  kfree(hold);
out:
  up(&b->bSem);
  return r;
}
