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

/*
 * cacheBlock: reads block blockNum as it is on disk now and keeps it in the cache; returns
 * once the copy is stored or the attempt failed. Failures put the session in an error state
 * (no page: stateCacheExhausted; read error: stateCacheReadError; store: saveBlock's) and the
 * device's change tracking in error. Does nothing above stateMapLoaded. Holds cacheUsers
 * (read) throughout; runs on the worker; sleeps. Everything it allocates is freed here.
 */
void cacheBlock(Backup *b, MakeRequest *mr, unsigned int blockNum) {
  struct page *page;
  struct buffer_head *bh;
  struct bio *bio;
  int major = (int)MAJOR(b->diskInfo.kdev), minor = (int)MINOR(b->diskInfo.kdev);

  down_read(&b->cacheUsers);
  if (velGetState(b) > stateMapLoaded) goto out;

  page = alloc_pages(GFP_NOIO, 0);
  if (!page) {
    velEnterErrorState(b, stateCacheExhausted);
    errorAMS(b);
    goto out;
  }
  atomic_inc(&b->totalAllocPages);
  atomic_inc(&b->curAllocPages);

  while (!(bh = alloc_buffer_head(GFP_NOIO))) schedule();
  while (!(bio = bio_alloc(GFP_NOIO, 1))) schedule();
  atomic_inc(&b->curAllocBRs);
  atomic_inc(&b->totalAllocBRs);

  initBH(b, bh, page, 0, blockNum);
  initBIO(b, bio, bh);
  bio->bi_rw = READ;

  callRealMRF(b, bio);
  wait_on_buffer(bh);

  if (!bio_flagged(bio, BIO_UPTODATE)) {
    velEnterErrorState(b, stateCacheReadError);
    printk("<3>%s: Block read error blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", blockNum, major, minor);
    errorAMS(b);
  } else if (saveBlock(b, page_address(page), blockNum)) {
    printk("<3>%s: Error caching blockNum=%u MAJOR=%d MINOR=%d\n", "cacheBlock", blockNum, major, minor);
    errorAMS(b);
  }

  /* The completion dropped the buffer head's reference before it unlocked it. */
  bio_put(bio);
  free_buffer_head(bh);
  atomic_dec(&b->curAllocBRs);
  __free_pages(page, 0);
  atomic_dec(&b->curAllocPages);
out:
  up_read(&b->cacheUsers);
}
