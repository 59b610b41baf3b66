/*
 * vellib-close.cpp - the end of a handle's session, whatever its state: the change-
 * tracking handover of the device's queue, draining the held writes, stopping the
 * worker, releasing everything the session built, the statistics, the backup slot.
 *
 * Order of locks: bSem, writers, the short spin locks (amList and automap gates, mrLock),
 * activeSessionUsers, cacheUsers (inside closeCache); busyLock alone at the very end.
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>
#include <linux/kdev_t.h>
#include "vellib.h"

/* ---- Worker ------------------------------------------------------------------------------ */

/*
 * waitForMRs: waits until the worker has processed every held write of the session, or
 * has died. Takes mrLock around each test; sleeps (schedule) with it released.
 */
void waitForMRs(Backup *b) {
  unsigned long flags;
  spin_lock_irqsave(&b->mrLock, flags);
  while (atomic_read(&b->mrInQueue) > 0 && workerPID() > 0) {
    spin_unlock_irqrestore(&b->mrLock, flags);
    schedule();
    spin_lock_irqsave(&b->mrLock, flags);
  }
  if (workerPID() <= 0) printk("<3>%s: backup_cache thread died during waitForMRs%s", "waitForMRs", "\n");
  spin_unlock_irqrestore(&b->mrLock, flags);
}

/* flushWorkQueue: drains the held writes while a worker runs. May sleep. */
void flushWorkQueue(Backup *b) {
  if (workerPID() > 0) waitForMRs(b);
}

/* killWorkQueue: stops the worker this session started and waits for it to exit. */
void killWorkQueue(Backup *b) {
  if (b->startedCacheThread == 1 && workerPID() > 0) {
    atomic_set(&backup_cacheThreadContinue, 0);
    up(&signalThread);
    wait_for_completion(&backup_cacheThreadExited);
    __atomic_store_n(&backup_cachePID, 0, __ATOMIC_SEQ_CST);
  }
}

/* ---- Releases (each tolerates the part never having been built) ------------------------- */

/* freeAllMMPages: the transfer-buffer pages of both slots. */
void freeAllMMPages(Backup *b) {
  freeMMPages(b, &b->vmAreas[0]);
  freeMMPages(b, &b->vmAreas[1]);
}

/* closeCacheMap: the cache map's pages, taken off curAllocPages. May sleep. */
void closeCacheMap(Backup *b) {
  unsigned int numPages = 0;
  if (b->cacheMap.map) {
    closeBlockMap(&b->cacheMap, &numPages);
    atomic_sub((int)numPages, &b->curAllocPages);
  }
}

/* closeBlockTable: the 4096 (emptied) buckets, the table and the bucket slab. May sleep. */
void closeBlockTable(Backup *b) {
  unsigned int i;
  if (b->blockTable) {
    for (i = 0; i < VEL_HASH_BUCKETS; i++)
      if (b->blockTable[i]) kmem_cache_free(b->htCache, b->blockTable[i]);
    vfree(b->blockTable);
    b->blockTable = 0;
  }
  if (b->htCache) {
    kmem_cache_destroy(b->htCache);
    b->htCache = 0;
  }
}

/* ---- Change-tracking handover --------------------------------------------------------------- */

/*
 * handOverQueue: once the backup stops intercepting, the queue goes to velAMRF when the
 * device's change tracking goes on (or another device of the queue is tracked);
 * otherwise the queue is dropped and gets its real function back. 1 when velAMRF took
 * the queue. Under bSem and writers; may sleep.
 */
static int handOverQueue(Backup *b) {
  AutoMapSession *ams = getAMS(b->diskInfo.kdev);
  request_queue_t *q;

  if (ams) {
    int tracking = getAMSState(ams) == amsInSync;
    putAMS(ams);
    if (tracking) {
      if (setMRF(b, velAMRF) == 0) return 1;
      errorAMSDEV(b->diskInfo.kdev);
    }
  }
  if (velGetState(b) == stateIdle) return 0;
  q = getRequestQueue(&b->diskInfo);
  if (countQueueAMS(q) > 1) {
    if (setMRF(b, velAMRF) == 0) return 1;
    errorAMSDEV(b->diskInfo.kdev);
  }
  unsetQueueMRFAMS(q);
  return 0;
}

/*
 * A shutdown that closed the device's automap while this session was still active left
 * the device on its queue for this close (see closeAM); once the session is withdrawn, a
 * device handed to velAMRF without an automap of its own leaves the queue again. May sleep.
 */
static void dropUntrackedDevice(Backup *b) {
  AutoMapSession *ams = getAMS(b->diskInfo.kdev);
  if (ams)
    putAMS(ams);
  else
    unSetMRFDEV(&b->diskInfo);
}

/* ---- Close ------------------------------------------------------------------------------------ */

/*
 * closeBackup: ends the handle's session in any state and frees the record; `b` is gone
 * on return. Called only by release, after private_data was cleared. Takes bSem and
 * writers for the whole teardown; may sleep.
 */
void closeBackup(Backup *b) {
  unsigned int major = MAJOR(b->diskInfo.kdev), minor = MINOR(b->diskInfo.kdev);
  unsigned long flags;
  u32 savedState;
  int handedOver;

  down(&b->bSem);
  down_write(&b->writers);

  handedOver = handOverQueue(b);

  /* In one step with the test: the worker may fail the session at any moment, and its
   * error must not be overwritten with stateClosing. */
  savedState = velLeaveWorkingStates(b, stateClosing);

  flushWorkQueue(b);

  down_write(&activeSessionUsers);
  if (activeSession == b) activeSession = 0;
  up_write(&activeSessionUsers);
  if (handedOver) dropUntrackedDevice(b);

  killWorkQueue(b);

  freeAllMMPages(b);
  freeMMBRs(b);
  closeCache(b);
  closeBRCache(b);
  closeDiskInfo(&b->diskInfo);
  closeBUBlockMap(b);
  closeCacheMap(b);
  closeBlockTable(b);

  if (savedState != stateIdle) {
    Stats *stats = (Stats *)kmalloc(sizeof(Stats), GFP_KERNEL);
    if (stats) {
      memset(stats, 0, sizeof(*stats));
      setStats(b, stats);
      printStats(stats);
      kfree(stats);
    }
    printk("<6>%s: backup finished device major=%d minor=%d\n", "closeBackup", major, minor);
  }

  up_write(&b->writers);
  /* An interception that found this session before it was withdrawn may still be
   * waiting for writers; it must be done with the record before the record goes. */
  waitForMRFUsers(b);
  up(&b->bSem);

  if (b->ownsBusy) {
    spin_lock_irqsave(&busyLock, flags);
    if (atomic_read(&busy) == 1) atomic_set(&busy, 0);
    spin_unlock_irqrestore(&busyLock, flags);
  }
  kfree(b);
}
