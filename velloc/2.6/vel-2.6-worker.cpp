/*
 * vel-2.6-worker.cpp - "kbackupd", the one worker thread of a backup session, and the queue
 * of bios the interception holds for it. The worker serves the queue strictly in arrival
 * order: for a held write it first keeps the old contents of the blocks that still need a
 * copy, then passes the write on, then marks those blocks in cacheMap, so no later bio of
 * those blocks is held again and none overtakes the write.
 *
 * signalThread: one unit is the right to run a worker (taken by the start, given back by
 * the worker as it exits); every queued bio adds one; each pass of the worker takes one,
 * and the units of the bios that joined its batch when they are there already.
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

/* Blocks a held bio may need captured: the blocks a write touches; none for other kinds. */
static unsigned int mrCaptures(MakeRequest *mr) {
  if (!velRWIsWrite(mr->bio->bi_rw) || mr->endBN < mr->startBN) return 0;
  return mr->endBN - mr->startBN + 1;
}

/*
 * getTopMRWithin: like getTopMR, but detaches the oldest held bio only when it needs at most
 * *budget captures, which it then takes from *budget. Takes mrLock.
 */
static MakeRequest *getTopMRWithin(Backup *b, unsigned int *budget) {
  unsigned long flags;
  MakeRequest *mr;
  spin_lock_irqsave(&b->mrLock, flags);
  mr = b->mrHead;
  if (mr && mrCaptures(mr) <= *budget) {
    *budget -= mrCaptures(mr);
    if (mr == b->mrTail) b->mrTail = NULL;
    b->mrHead = mr->next;
    mr->next = NULL;
  } else {
    mr = NULL;
  }
  spin_unlock_irqrestore(&b->mrLock, flags);
  return mr;
}

/*
 * markCaptured: marks block bn in cacheMap when it still reports needing a copy. The test
 * and the mark are made under the block's bucket semaphore: the agent's read hands a copy
 * out and unmarks the block under that semaphore, so it cannot slip in between them and
 * leave a mark on a block whose copy is gone (a later read of that block would then be
 * refused). Caller holds cacheUsers (read); runs on the worker; sleeps.
 */
static void markCaptured(Backup *b, unsigned int bn) {
  HashTable *ht = b->blockTable[bn & VEL_HASH_MASK];

  down(&ht->sem);
  if (doWeCacheBlock(b, bn)) setBlock(&b->cacheMap, bn);
  up(&ht->sem);
}

/*
 * passMR: the end of serving a held bio whose captures are done: passes it on; for a write
 * then marks in cacheMap every block of its range that still reports needing a copy (also
 * when a capture failed, so that nothing is held for them again); frees the record.
 * Runs on the worker; may sleep.
 */
static void passMR(Backup *b, MakeRequest *mr) {
  int isWrite = velRWIsWrite(mr->bio->bi_rw);
  unsigned int i;

  /* The bio may complete and go away from here on: only the record is used below. */
  callRealMRF(b, mr->bio);
  if (isWrite && mr->startBN <= mr->endBN) {
    down_read(&b->cacheUsers);
    for (i = mr->startBN;; i++) {
      markCaptured(b, i);
      if (i == mr->endBN) break;
    }
    up_read(&b->cacheUsers);
  }
  atomic_dec(&b->mrInQueue);
  closeMR(mr);
}

/*
 * processMR: serves one held bio. A write (write bit set, whatever the read-ahead bit says)
 * first has the old contents of every block that still needs its copy captured, one block
 * after the other; then it is passed on and its blocks marked (passMR). Anything else is
 * only passed on. Runs on the worker; sleeps.
 */
void processMR(Backup *b, MakeRequest *mr) {
  unsigned int i;

  if (mrCaptures(mr)) {
    for (i = mr->startBN;; i++) {
      if (doWeCacheBlock(b, i)) cacheBlock(b, mr, i);
      if (i == mr->endBN) break;
    }
  }
  passMR(b, mr);
}

/*
 * serveMRs: one pass of the worker, starting with the oldest held bio `first`. A bio that
 * could need more captures than a batch holds is served alone (processMR). Otherwise the
 * bios queued behind it join it while their captures fit: all their captures are done
 * together, and only then are they passed on and marked one by one in arrival order. So,
 * as for one bio, every copy a write needs is kept before the write goes on, and no bio
 * overtakes one queued before it. Each bio that joins takes its semaphore unit when it is
 * already there (a unit still to come makes a later pass that finds nothing).
 * Runs on the worker; sleeps.
 */
static void serveMRs(Backup *b, MakeRequest *first) {
  MakeRequest *batch[VEL_MR_BATCH];
  unsigned int budget;
  int n = 0, i;

  if (mrCaptures(first) > VEL_CAPTURE_BATCH) {
    processMR(b, first);
    return;
  }
  budget = VEL_CAPTURE_BATCH - mrCaptures(first);
  batch[n++] = first;
  while (n < VEL_MR_BATCH && (batch[n] = getTopMRWithin(b, &budget)) != NULL) {
    n++;
    down_trylock(&signalThread);
  }
  cacheMRBlocks(b, batch, n);
  for (i = 0; i < n; i++) passMR(b, batch[i]);
}

/* ---- The thread ---------------------------------------------------------------------------- */

/*
 * backup_cache: the worker. Each unit of signalThread is one pass that serves the oldest
 * held bios of the active session (serveMRs), until backup_cacheThreadContinue is cleared;
 * then it gives back the unit the start took and exits through backup_cacheThreadExited.
 * Never returns.
 *
 * The test for the end comes after the wait, so the close's unit is always consumed, also
 * when the close comes before the first wait. A signal never ends the thread nor makes a
 * pass of its own: it is dropped and the wait resumed.
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
      if (mr) serveMRs(b, mr);
    }
  }

  /* Units of bios that a batch served before their unit came are still there: the count
   * goes back to exactly the one unit the start took. */
  while (down_trylock(&signalThread) == 0) {
  }
  up(&signalThread);
  printk("<6>%s: backupd thread exiting%s", "backup_cache", "\n");
  complete_and_exit(&backup_cacheThreadExited, 0);
}
