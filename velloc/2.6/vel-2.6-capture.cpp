/*
 * vel-2.6-capture.cpp - reading one block's current contents before a held write replaces
 * it, and the buffer-head / bio pair (with their completion routines) that both this
 * capture and the agent's block reads use.
 *
 * Reads go straight to the session's real request function, so they are never intercepted.
 * The completion routines run in interrupt context: they only set flags, drop references
 * and unlock the buffer head.
 */
#include "vellib.h"

#include <linux/sched.h>
#include <linux/highmem.h>

/* Buffer-state bit the block layer sets when a barrier is not supported. */
#define VEL_BH_EOPNOTSUPP 13

/* ---- Buffer head and bio ------------------------------------------------------------------ */

/*
 * initBH: describes one block of the session's partition at offset of page: locked,
 * requested and mapped, completed by velBHEndIO, with one reference that the completion
 * drops. The caller owns bh.
 */
void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, unsigned int blockNum) {
  bh->b_bdev = b->diskInfo.bdev;
  bh->b_blocknr = (sector_t)blockNum;
  set_bh_page(bh, page, offset);
  bh->b_size = (size_t)b->diskInfo.blockSize;
  bh->b_end_io = velBHEndIO;
  INIT_LIST_HEAD(&bh->b_assoc_buffers);
  bh->b_state = (1ul << BH_Lock) | (1ul << BH_Req) | (1ul << BH_Mapped);
  get_bh(bh);
}

/*
 * initBIO: a one-segment read of bh's block at its absolute sector on the disk (the bio
 * goes straight to the real request function, which expects absolute sectors), completed by
 * velBIOEndIO. Takes one more reference so the bio outlives its completion until the
 * caller's bio_put. The caller owns bio.
 */
void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh) {
  bio->bi_bdev = bh->b_bdev;
  bio->bi_sector = bh->b_blocknr * (sector_t)b->diskInfo.sectorsPerBlock + b->diskInfo.partitionStart;
  bio->bi_io_vec[0].bv_page = bh->b_page;
  bio->bi_io_vec[0].bv_len = (unsigned int)bh->b_size;
  bio->bi_io_vec[0].bv_offset = (unsigned int)(bh->b_data - (char *)page_address(bh->b_page));
  bio->bi_vcnt = 1;
  bio->bi_idx = 0;
  bio->bi_size = (unsigned int)bh->b_size;
  bio->bi_private = bh;
  bio->bi_end_io = velBIOEndIO;
  bio_get(bio);
}

/*
 * velBHEndIO: completion of a buffer head read: marks it up to date or logs the error,
 * drops the reference initBH took and unlocks it. Unlocking is the last touch: the waiter
 * may free the buffer head as soon as it sees it unlocked. Interrupt context.
 */
void velBHEndIO(struct buffer_head *bh, int uptodate) {
  if (uptodate) {
    set_buffer_uptodate(bh);
  } else {
    printk("<4>%s: buffer_head I/O error bh=%p, major=%d, minor=%d, block=%llu\n", "velBHEndIO", (void *)bh,
           bh->b_bdev ? (int)MAJOR(bh->b_bdev->bd_dev) : 0, bh->b_bdev ? (int)MINOR(bh->b_bdev->bd_dev) : 0,
           (unsigned long long)bh->b_blocknr);
  }
  put_bh(bh);
  unlock_buffer(bh);
}

/*
 * velBIOEndIO: completion of a read made by initBIO. Returns 1 while bytes are still
 * outstanding (logged; nothing else happens), else hands the outcome to the buffer head's
 * completion, drops the bio reference it holds and returns 0. Interrupt context.
 */
int velBIOEndIO(struct bio *bio, unsigned int bytes_done, int err) {
  struct buffer_head *bh = (struct buffer_head *)bio->bi_private;

  if (bio->bi_size) {
    printk("<4>%s: IO info, size=%d\n", "velBIOEndIO", (int)bio->bi_size);
    printk("<4>%s: IO error, bio=%p, major=%d, sector=%llu\n", "velBIOEndIO", (void *)bio,
           bio->bi_bdev ? (int)MAJOR(bio->bi_bdev->bd_dev) : 0, (unsigned long long)bio->bi_sector);
    return 1;
  }
  if (err == -EOPNOTSUPP) {
    bio->bi_flags |= 1ul << BIO_EOPNOTSUPP;
    if (bh) __atomic_or_fetch(&bh->b_state, 1ul << VEL_BH_EOPNOTSUPP, __ATOMIC_SEQ_CST);
  }
  if (bh && bh->b_end_io) bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE) ? 1 : 0);
  bio_put(bio);
  return 0;
}

/* ---- Capture ------------------------------------------------------------------------------- */

/* One capture read: the page it fills, its buffer head and bio, and the block. */
typedef struct CaptureRead {
  struct page *page;
  struct buffer_head *bh;
  struct bio *bio;
  unsigned int blockNum;
} CaptureRead;

/*
 * startCapture: sends the read of block blockNum as it is on disk now. Returns 0 when sent,
 * 1 when nothing was sent: the session is above stateMapLoaded, or no page could be had
 * (the session is then in stateCacheExhausted and its change tracking in error). Caller
 * holds cacheUsers (read); runs on the worker; may sleep.
 */
static int startCapture(Backup *b, unsigned int blockNum, CaptureRead *cr) {
  if (velGetState(b) > stateMapLoaded) return 1;

  cr->page = alloc_pages(GFP_NOIO, 0);
  if (!cr->page) {
    velEnterErrorState(b, stateCacheExhausted);
    errorAMS(b);
    return 1;
  }
  atomic_inc(&b->totalAllocPages);
  atomic_inc(&b->curAllocPages);

  while (!(cr->bh = alloc_buffer_head(GFP_NOIO))) schedule();
  while (!(cr->bio = bio_alloc(GFP_NOIO, 1))) schedule();
  atomic_inc(&b->curAllocBRs);
  atomic_inc(&b->totalAllocBRs);

  cr->blockNum = blockNum;
  initBH(b, cr->bh, cr->page, 0, blockNum);
  initBIO(b, cr->bio, cr->bh);
  cr->bio->bi_rw = READ;
  callRealMRF(b, cr->bio);
  return 0;
}

/*
 * finishCapture: waits for a read sent by startCapture and keeps the block in the cache
 * (unless the session has meanwhile left the working states). A failed read puts the
 * session in stateCacheReadError, a failed store in saveBlock's state; both put the
 * device's change tracking in error. Frees everything startCapture allocated. Caller holds
 * cacheUsers (read); sleeps.
 */
static void finishCapture(Backup *b, CaptureRead *cr) {
  int major = (int)MAJOR(b->diskInfo.kdev), minor = (int)MINOR(b->diskInfo.kdev);

  wait_on_buffer(cr->bh);
  if (!bio_flagged(cr->bio, BIO_UPTODATE)) {
    velEnterErrorState(b, stateCacheReadError);
    printk("<3>%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", cr->blockNum, major, minor);
    errorAMS(b);
  } else if (velGetState(b) <= stateMapLoaded && saveBlock(b, page_address(cr->page), cr->blockNum)) {
    printk("<3>%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", cr->blockNum, major, minor);
    errorAMS(b);
  }

  /* The completion dropped the buffer head's reference before it unlocked it. */
  bio_put(cr->bio);
  free_buffer_head(cr->bh);
  atomic_dec(&b->curAllocBRs);
  __free_pages(cr->page, 0);
  atomic_dec(&b->curAllocPages);
}

/*
 * cacheBlock: reads block blockNum as it is on disk now and keeps it in the cache; returns
 * once the copy is stored or the attempt failed (see startCapture, finishCapture). Does
 * nothing above stateMapLoaded. Holds cacheUsers (read) throughout; runs on the worker;
 * sleeps. Everything it allocates is freed here.
 */
void cacheBlock(Backup *b, MakeRequest *mr, unsigned int blockNum) {
  CaptureRead cr;

  down_read(&b->cacheUsers);
  if (startCapture(b, blockNum, &cr) == 0) finishCapture(b, &cr);
  up_read(&b->cacheUsers);
}

/* Captures in flight at once: the worker's batch of held writes never needs more. Used by
 * the one worker thread only. */
static CaptureRead captureReads[VEL_CAPTURE_BATCH];

/*
 * cacheMRBlocks: captures, for the held bios mrs[0..numMRs) in their order, every block of
 * every write that still needs its copy, each block once: all reads are sent first and then
 * waited for, so the disk serves them together. Returns once every copy is stored or has
 * failed; none of the writes has been passed on yet. The writes together touch at most
 * VEL_CAPTURE_BATCH blocks (the worker's batches are cut so). Holds cacheUsers (read)
 * throughout; runs on the worker; sleeps.
 */
void cacheMRBlocks(Backup *b, MakeRequest **mrs, int numMRs) {
  int n = 0, i, k;

  down_read(&b->cacheUsers);
  for (i = 0; i < numMRs; i++) {
    MakeRequest *mr = mrs[i];
    unsigned int bn;

    if (!velRWIsWrite(mr->bio->bi_rw) || mr->endBN < mr->startBN) continue;
    for (bn = mr->startBN;; bn++) {
      int seen = 0;
      for (k = 0; k < n && !seen; k++) seen = captureReads[k].blockNum == bn;
      if (!seen && doWeCacheBlock(b, bn)) {
        BUG_ON(n == VEL_CAPTURE_BATCH);
        if (startCapture(b, bn, &captureReads[n]) == 0) n++;
      }
      if (bn == mr->endBN) break;
    }
  }
  for (k = 0; k < n; k++) finishCapture(b, &captureReads[k]);
  up_read(&b->cacheUsers);
}
