/*
 * vel-2.6-mrf.cpp - the request function installed on a disk's queue while a backup runs on
 * one of its partitions: bios that touch a block whose snapshot contents the backup still
 * needs are held and queued for the cache worker; every write is tracked; the rest goes
 * straight to the disk's real function.
 *
 * The session record found through activeSession stays valid for an interception that has
 * released activeSessionUsers and waits for writers: it counts itself in mrfUsers while
 * still under activeSessionUsers, and the close waits (waitForMRFUsers) until every such
 * interception is done before it frees the record.
 */
#include "vellib.h"

#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/wait.h>

/* ---- Users of a session record -------------------------------------------------------- */

/*
 * Leaves the record's interception count. While nobody waits this is one atomic
 * decrement. When the close waits (the bias is in the count) the last one out wakes it, and
 * does so under mrLock, which the close takes once before it frees the record: so the
 * record is not freed while the waker still touches it. Process context.
 */
static void mrfUserDone(Backup *b) {
  unsigned long flags;
  if (atomic_dec_return(&b->mrfUsers) != VEL_MRF_CLOSE_BIAS) return;
  spin_lock_irqsave(&b->mrLock, flags);
  wake_up(&b->mrfUsersWait);
  spin_unlock_irqrestore(&b->mrLock, flags);
}

/*
 * waitForMRFUsers: returns once no interception that found b through activeSession can touch
 * the record any more. Call after activeSession no longer names b (so no new interception
 * counts itself) and after writers is released (a counted interception may be waiting for
 * it), before the record is freed. Sleeps.
 */
void waitForMRFUsers(Backup *b) {
  unsigned long flags;
  atomic_add(VEL_MRF_CLOSE_BIAS, &b->mrfUsers);
  wait_event(b->mrfUsersWait, atomic_read(&b->mrfUsers) == VEL_MRF_CLOSE_BIAS);
  /* A last user that saw the bias woke us under mrLock; once we get it, it has let go. */
  spin_lock_irqsave(&b->mrLock, flags);
  spin_unlock_irqrestore(&b->mrLock, flags);
  atomic_sub(VEL_MRF_CLOSE_BIAS, &b->mrfUsers);
}

/* ---- Holding a bio -------------------------------------------------------------------- */

/*
 * doWeCacheBlocks: 1 when at least one block of startBN..endBN (inclusive) still needs its
 * copy; stops at the first. An empty range (endBN below startBN) needs nothing. May sleep.
 */
int doWeCacheBlocks(Backup *b, unsigned int startBN, unsigned int endBN) {
  unsigned int bn = startBN;
  if (endBN < startBN) return 0;
  for (;;) {
    if (doWeCacheBlock(b, bn)) return 1;
    if (bn == endBN) return 0;
    bn++;
  }
}

/*
 * newMR: queues the bio for the worker in a new MakeRequest. Returns 0, or 5 when the record
 * could not be allocated (one GFP_NOIO attempt). Caller holds writers (read); may sleep.
 * The worker frees the record.
 */
int newMR(Backup *b, request_queue_t *q, struct bio *bio, unsigned int startBN, unsigned int endBN) {
  MakeRequest *mr = (MakeRequest *)kmalloc(sizeof(MakeRequest), GFP_NOIO);
  if (!mr) return velErrNoMemory;
  mr->q = q;
  mr->bio = bio;
  mr->startBN = startBN;
  mr->endBN = endBN;
  mr->next = NULL;
  addMRToQueue(b, mr);
  return 0;
}

/*
 * trackWrite: records a write in its device's change map; other kinds are not tracked.
 * Called before the bio can reach the disk, so no later snapshot can take the map without
 * it. May sleep.
 */
static void trackWrite(struct bio *bio, int bioMinor) {
  if (velRWIsWrite(bio->bi_rw)) updateAM(bio, bioMinor);
}

/*
 * cacheMRFBlock: holds the bio for the worker when it belongs to the active session's
 * partition, the session protects blocks (states 4 to 6) and one of its blocks still needs
 * its copy. A write is tracked first: under writers for the active session's partition,
 * so it lands on the same side of the snapshot's map exchange as the state it was tested
 * in, and in any case before the worker could pass it on. Returns 1 when queued (the bio
 * is the worker's now), 0 when it must be passed on, -1 when it should have been queued
 * but no record could be had (the session is then in stateQueueOutOfMemory and its change
 * tracking in error). Takes activeSessionUsers (read), releases it, then writers (read);
 * may sleep.
 */
int cacheMRFBlock(request_queue_t *q, struct bio *bio, int bioMinor) {
  Backup *b;
  unsigned int startBN, endBN;
  u32 st;
  int result = 0;

  if (velRWIsReadAhead(bio->bi_rw)) return 0;

  down_read(&activeSessionUsers);
  b = activeSession;
  if (!b || MAJOR(b->diskInfo.kdev) != MAJOR(bio->bi_bdev->bd_dev) ||
      MINOR(b->diskInfo.kdev) != (unsigned int)bioMinor) {
    up_read(&activeSessionUsers);
    trackWrite(bio, bioMinor);
    return 0;
  }
  atomic_inc(&b->mrfUsers);
  up_read(&activeSessionUsers);

  down_read(&b->writers);
  trackWrite(bio, bioMinor);
  /* The close sets stateClosing under writers before it lets us in, so a record that is
   * going away is seen here as not protecting and is left at once. */
  st = velGetState(b);
  if (st >= stateSnapshotComplete && st <= stateMapLoaded) {
    BIOToBlockNumbers(&b->diskInfo, bio, &startBN, &endBN);
    if (doWeCacheBlocks(b, startBN, endBN)) {
      if (newMR(b, q, bio, startBN, endBN) == 0) {
        result = 1;
      } else {
        velEnterErrorState(b, stateQueueOutOfMemory);
        errorAMS(b);
        result = -1;
      }
    }
  }
  up_read(&b->writers);
  mrfUserDone(b);
  return result;
}

/* ---- The request function ------------------------------------------------------------------ */

/*
 * velMRF: make_request_fn of a queue with a backup running on one of its partitions.
 * Returns 0 when the bio was handed to the worker, otherwise the real function's result.
 * Runs on the submitting task; may sleep; no module lock is held when the real function runs.
 */
int velMRF(request_queue_t *q, struct bio *bio) {
  int bioMinor;
  make_request_fn *realMRF;

  set_current_state(TASK_RUNNING);
  bioMinor = BIOToMinor(bio);
  if (cacheMRFBlock(q, bio, bioMinor) > 0) return 0;

  realMRF = getRealMRF(q);
  if (!realMRF) {
    printk("<2>%s: request intercepted for unknown device major=%d minor=%d\n", "velMRF",
           (int)MAJOR(bio->bi_bdev->bd_dev), bioMinor);
    BUG();
  }
  return realMRF(q, bio);
}
