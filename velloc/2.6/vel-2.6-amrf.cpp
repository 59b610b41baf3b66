/*
 * vel-2.6-amrf.cpp - change tracking on the write path (velAMRF, the function a queue runs
 * between backups, and updateAM, shared with velMRF) and the hand-over of the module's
 * own bios to a disk's real function (callRealMRF).
 *
 * These run on the stack of whatever task submits I/O and may sleep (setBlock takes the
 * map's semaphore), also while that task holds its disk's bd_mutex, which nothing here
 * takes; no module lock is held when a real make-request function is called.
 */
#include <linux/sched.h>
#include <linux/errno.h>

#include "vellib.h"

/* ---- Change tracking ------------------------------------------------------------------------ */

/*
 * Records a write in the automap of its device (the whole disk's major, bioMinor), if that
 * device has one and it is in sync. A block beyond the map's size puts the automap out of
 * sync with one warning per such block; the bio itself is not touched. The automap is held
 * by a reference while its map is written, so it cannot be freed underneath. May sleep.
 */
void updateAM(struct bio *bio, int bioMinor)
{
  AutoMapSession *ams;
  unsigned int startBN, endBN;
  u64 bn;

  if (bioMinor < 0)
    return;
  ams = getAMS(MKDEV(MAJOR(bio->bi_bdev->bd_dev), (unsigned int)bioMinor));
  if (ams == NULL)
    return;
  BIOToBlockNumbers(&ams->diskInfo, bio, &startBN, &endBN);
  if (getAMSState(ams) == amsInSync) {
    /* 64-bit counter: a range ending at block 0xFFFFFFFF must still end. */
    for (bn = startBN; bn <= endBN; bn++) {
      if (setBlock(&ams->map, (unsigned int)bn) != 0) {
        setAMSState(ams, amsNotInSync);
        printk("<4>%s: device resize detected (block %d in size %d) in automap update, automap not in sync%s",
               __func__, (int)bn, (int)ams->map.size, "\n");
      }
    }
  }
  putAMS(ams);
}

/* ---- The queue's function between backups ------------------------------------------------------ */

/*
 * make_request_fn of a queue on which only change tracking runs: records writes, then hands
 * every bio to the queue's real function and returns its result. A queue running this
 * without a known real function breaks the registry's invariant: fatal. May sleep.
 */
int velAMRF(request_queue_t *q, struct bio *bio)
{
  make_request_fn *realMRF;

  /* Only writes need the partition. */
  if (velRWIsWrite(bio->bi_rw))
    updateAM(bio, BIOToMinor(bio));
  realMRF = getRealMRF(q);
  if (realMRF == NULL) {
    printk("<2>%s: request intercepted for unknown device major=%d realMRF=%p\n", __func__,
           MAJOR(bio->bi_bdev->bd_dev), (void *)realMRF);
    BUG();
  }
  return realMRF(q, bio);
}

/* ---- The module's own bios ---------------------------------------------------------------------- */

/*
 * Hands a bio of the module (a capture read, a held write, an agent's read) to the real
 * function remembered at session start, bypassing the queue's current function so it is
 * not intercepted again; a non-zero answer resubmits it through generic_make_request. A bio
 * whose device has no queue is ended with -EIO so its waiter wakes. Always 0. Takes no lock
 * of the module.
 */
int callRealMRF(Backup *b, struct bio *bio)
{
  request_queue_t *q = NULL;
  make_request_fn *realMRF;

  if (bio->bi_bdev != NULL && bio->bi_bdev->bd_disk != NULL)
    q = bio->bi_bdev->bd_disk->queue;
  if (q == NULL) {
    printk("<3>%s: Block read error: (bdev queue is null) MAJOR=%d MINOR=%d\n", __func__,
           MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
    bio_endio(bio, bio->bi_size, -EIO);
    return 0;
  }
  realMRF = b->diskInfo.realMRF;
  if (realMRF == NULL)
    realMRF = getRealMRF(q);
  if (realMRF(q, bio) != 0)
    generic_make_request(bio);
  return 0;
}
