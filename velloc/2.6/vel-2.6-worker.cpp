/*
 * vel-2.6-worker.cpp - "kbackupd", the one worker thread of a backup session, and the queue
 * of bios the interception holds for it. The worker serves the queue strictly in arrival
 * order: for a held write it first keeps the old contents of the blocks that still need a
 * copy, then passes the write on, then marks those blocks in cacheMap, so no later bio of
 * those blocks is held again and none overtakes the write.
 *
 * signalThread: one unit is the right to run a worker (taken by the start, given back by
 * the worker as it exits); every queued bio adds one; each pass of the worker takes one.
 */
#include "vellib.h"

#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/signal.h>

/* ---- The queue ---------------------------------------------------------------------------- */

/*
 * addMRToQueue: appends mr to the session's queue and wakes the worker. Takes mrLock
 * (interrupts saved) for the list only; the caller holds writers (read).
 */
void addMRToQueue(Backup *b, MakeRequest *mr) {
  unsigned long flags;
  spin_lock_irqsave(&b->mrLock, flags);
  if (!b->mrHead) {
    b->mrHead = b->mrTail = mr;
  } else {
    b->mrTail->next = mr;
    b->mrTail = mr;
  }
  atomic_inc(&b->mrInQueue);
  spin_unlock_irqrestore(&b->mrLock, flags);
  up(&signalThread);
}

/* getTopMR: detaches and returns the oldest held bio, or null. Takes mrLock. */
MakeRequest *getTopMR(Backup *b) {
  unsigned long flags;
  MakeRequest *mr;
  spin_lock_irqsave(&b->mrLock, flags);
  mr = b->mrHead;
  if (mr) {
    if (mr == b->mrTail) b->mrTail = NULL;
    b->mrHead = mr->next;
    mr->next = NULL;
  }
  spin_unlock_irqrestore(&b->mrLock, flags);
  return mr;
}

/* closeMR: frees the record; the bio belongs to the kernel. */
void closeMR(MakeRequest *mr) { kfree(mr); }

/*
 * processMR: serves one held bio. A write (write bit set, whatever the read-ahead bit says)
 * has the old contents of every block that still needs its copy captured, is passed on,
 * and then those blocks are marked in cacheMap (also when a capture failed, so nothing is
 * held for them again). Anything else is only passed on. Then the record is freed.
 * Runs on the worker; sleeps.
 */
void processMR(Backup *b, MakeRequest *mr) {
  struct bio *bio = mr->bio;
  unsigned int i;

  if (velRWIsWrite(bio->bi_rw) && mr->startBN <= mr->endBN) {
    for (i = mr->startBN;; i++) {
      if (doWeCacheBlock(b, i)) cacheBlock(b, mr, i);
      if (i == mr->endBN) break;
    }
    /* The bio may complete and go away from here on: only the record is used below. */
    callRealMRF(b, bio);
    for (i = mr->startBN;; i++) {
      if (doWeCacheBlock(b, i)) setBlock(&b->cacheMap, i);
      if (i == mr->endBN) break;
    }
  } else {
    callRealMRF(b, bio);
  }
  atomic_dec(&b->mrInQueue);
  closeMR(mr);
}

/* ---- The thread ---------------------------------------------------------------------------- */

/*
 * backup_cache: the worker. Serves at most one held bio of the active session per unit of
 * signalThread until backup_cacheThreadContinue is cleared, then gives back the unit the
 * start took and exits through backup_cacheThreadExited. Never returns.
 *
 * Every pass consumes exactly one unit, and the test for the end comes after the wait: so
 * the unit the close posts is the one consumed last, even when the close comes before the
 * first wait, and the count is back at 1 once the thread is gone. A signal never ends the
 * thread nor makes a pass of its own: it is dropped and the wait resumed.
 */
int backup_cache(void *data) {
  daemonize(VEL_KTHREAD_NAME);
  allow_signal(SIGKILL);
  printk("<6>%s: kbackupd thread started%s", "backup_cache", "\n");
  complete(&backup_cacheThreadStartCompleted);

  for (;;) {
    Backup *b;

    while (down_interruptible(&signalThread)) flush_signals(current);
    if (atomic_read(&backup_cacheThreadContinue) != 1) break;

    /* The close withdraws activeSession only after the queue has drained, and frees the
     * record only after this thread has exited. */
    down_read(&activeSessionUsers);
    b = activeSession;
    up_read(&activeSessionUsers);
    if (b && velGetState(b) > stateStarted) {
      MakeRequest *mr = getTopMR(b);
      if (mr) processMR(b, mr);
    }
  }

  up(&signalThread);
  printk("<6>%s: backupd thread exiting%s", "backup_cache", "\n");
  complete_and_exit(&backup_cacheThreadExited, 0);
}
