/*
 * vellib-automap.cpp - the change-tracking sessions (automaps): one per device, found in
 * amList by major and minor, each with a copy of the device's description, a bitmap of
 * the blocks written since the last snapshot and a key.
 *
 * Locking: amList has a users gate (amListUsers / amListUsersLock); a slot is changed only
 * with that gate closed. Each automap has its own users gate (users / usersLock): a party
 * that found it in a slot takes a reference inside the amList gate, and closeAM waits for
 * the references (and for snapshot pins) to go before it frees the record. Order: the
 * registry gate, then the amList gate, then an automap's usersLock. Spin locks here are
 * held for a few instructions and never while sleeping.
 *
 * amList has slots only for majors and minors below 256. A device outside that range is
 * never tracked: newAMS refuses it, and every reader asks amListSlot, which has no slot
 * for it, instead of indexing the table.
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/delay.h>

#include "vellib.h"

/* ---- Table and gates ------------------------------------------------------------------------- */

/* The amList slot of kdev, or null when its major or minor has none (256 or more). */
AutoMapSession **amListSlot(dev_t kdev)
{
  unsigned int major = MAJOR(kdev), minor = MINOR(kdev);

  if (major >= VEL_AMLIST_SIZE || minor >= VEL_AMLIST_SIZE)
    return NULL;
  return &amList[major][minor];
}

/*
 * Reader side of a users gate (users, lock): counts the caller in at a moment when no
 * writer holds the gate closed. Equivalent to taking the lock around the increment, but
 * without the lock on the hot path: the reader counts itself in first and then looks at
 * the lock; a writer takes the lock first and then looks at the count. Both are sequentially
 * consistent, so at least one of them sees the other: either the writer waits for this
 * reader, or the reader backs off until the writer has released the gate. Never sleeps.
 */
/* Whether a gate's lock is held, read with acquire order (spin_is_locked followed by a read
 * barrier): a reader that finds it free sees everything the last writer did before it
 * released the lock. */
static inline int gateClosed(spinlock_t *lock)
{
  return __atomic_load_n(&lock->slock, __ATOMIC_ACQUIRE) != 0;
}

void enterUsersGate(atomic_t *users, spinlock_t *lock)
{
  int spins;

  for (;;) {
    atomic_inc(users);
    if (!gateClosed(lock))
      return;
    atomic_dec(users);
    /* Writers hold the lock for a few instructions; give the CPU away only when spinning
     * long and allowed to. */
    for (spins = 0; gateClosed(lock); spins++) {
      barrier();
      if (spins > 64 && !in_atomic() && !irqs_disabled())
        yield();
    }
  }
}

/* Counts the caller in as a reader of amList. Never sleeps. */
void enterAMListUsers(void)
{
  enterUsersGate(&amListUsers, &amListUsersLock);
}

void leaveAMListUsers(void)
{
  atomic_dec(&amListUsers);
}

/* The users gate wait on (count, lock): returns holding lock once count is at its rest 1. */
static void waitForGate(atomic_t *users, spinlock_t *lock, unsigned long *flags)
{
  for (;;) {
    spin_lock_irqsave(lock, *flags);
    if (atomic_dec_and_test(users)) {
      atomic_inc(users);
      return;
    }
    atomic_inc(users);
    spin_unlock_irqrestore(lock, *flags);
    schedule();
  }
}

/* Returns holding amListUsersLock (flags saved) with no reader of amList inside. */
void waitForAMListUsers(unsigned long *flags)
{
  waitForGate(&amListUsers, &amListUsersLock, flags);
}

/* Returns holding ams->usersLock (flags saved) with no reference on ams held. */
void waitForAMSUsers(AutoMapSession *ams, unsigned long *flags)
{
  waitForGate(&ams->users, &ams->usersLock, flags);
}

/*
 * Reference protocol: the automap of kdev with a reference taken inside the amList gate,
 * or null (no automap, or no slot for the device). Drop it with putAMS. Never sleeps.
 */
AutoMapSession *getAMS(dev_t kdev)
{
  AutoMapSession **slot = amListSlot(kdev);
  AutoMapSession *ams;

  if (slot == NULL)
    return NULL;
  enterAMListUsers();
  ams = *slot;
  if (ams != NULL)
    enterUsersGate(&ams->users, &ams->usersLock);
  leaveAMListUsers();
  return ams;
}

void putAMS(AutoMapSession *ams)
{
  atomic_dec(&ams->users);
}

/*
 * A snapshot drops its reference between drawing the key and the switch under the frozen
 * file system; its pin (taken while it still holds the reference) keeps the record alive
 * across that window. closeAM frees a record only once users is 1 and no pin is left.
 */
void pinAMS(AutoMapSession *ams)
{
  atomic_inc(&ams->snapshotPins);
}

void unpinAMS(AutoMapSession *ams)
{
  atomic_dec(&ams->snapshotPins);
}

/* ---- Creation ------------------------------------------------------------------------------ */

/*
 * Waits until nobody holds a reference or a pin on ams (which must be out of amList, so no
 * new reference can come), then frees its bitmap, its block-device reference and the record. May sleep (between
 * attempts, with no lock held).
 */
static void freeAM(AutoMapSession *ams)
{
  unsigned long flags;
  unsigned int numPages = 0;

  for (;;) {
    waitForAMSUsers(ams, &flags);
    if (atomic_read(&ams->snapshotPins) == 0)
      break;
    spin_unlock_irqrestore(&ams->usersLock, flags);
    msleep(1);
  }
  spin_unlock_irqrestore(&ams->usersLock, flags);
  closeBlockMap(&ams->map, &numPages);
  atomic_sub(numPages, &curAllocAMPages);
  closeDiskInfo(&ams->diskInfo);
  kfree(ams);
}

/*
 * Creates the automap of b's device: a copy of b's description, an all-clear bitmap of
 * numBlocks bits, state amsNotInSync, and enters it in amList. *amSession gets the record
 * (amList owns it; the caller holds no reference). Results: 0; 2 the device has no amList
 * slot (major or minor 256 or more) or a zero block size; 5 no memory for the record or the
 * block-device reference; or newBlockMap's result (2, 5, 6). Nothing is created on failure. May sleep.
 */
int newAMS(Backup *b, AutoMapSession **amSession)
{
  AutoMapSession *ams, *displaced;
  AutoMapSession **slot;
  unsigned int numPages = 0;
  unsigned long flags;
  int result;

  slot = amListSlot(b->diskInfo.kdev);
  if (slot == NULL) {
    printk("<3>%s: device major=%d minor=%d has no automap slot (major and minor must be below %d), not tracking changes\n",
           __func__, MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev), VEL_AMLIST_SIZE);
    return velErrInvalid;
  }
  ams = (AutoMapSession *)kzalloc(sizeof(*ams), GFP_KERNEL);
  if (ams == NULL)
    return velErrNoMemory;
  ams->state = amsNotInSync;
  if (b->diskInfo.blockSize == 0) {
    printk("<2>%s: Blocksize set to 0 when making automap%s", __func__, "\n");
    kfree(ams);
    return velErrInvalid;
  }
  /* The automap outlives the session's description: its copy holds a block-device
   * reference of its own, given back by freeAM. */
  result = copyDiskInfo(&ams->diskInfo, &b->diskInfo);
  if (result != 0) {
    kfree(ams);
    return result;
  }
  result = newBlockMap(&ams->map, (unsigned int)b->diskInfo.numBlocks, NULL, 1, &numPages);
  if (result != 0) {
    printk("<3>%s: failed to create new device map%s", __func__, "\n");
    closeDiskInfo(&ams->diskInfo);
    kfree(ams);
    return result;
  }
  atomic_add(numPages, &curAllocAMPages);
  atomic_set(&ams->users, 1);
  spin_lock_init(&ams->usersLock);
  atomic_set(&ams->snapshotPins, 0);
  ams->next = NULL;
  *amSession = ams;

  waitForAMListUsers(&flags);
  displaced = *slot;
  *slot = ams;
  spin_unlock_irqrestore(&amListUsersLock, flags);

  /* Callers empty the slot first; should one not, the old record must not leak. The
   * device stays registered on its queue: the new automap is for the same device. */
  if (displaced != NULL) {
    printk("<2>%s: automap slot of major=%d minor=%d was occupied, replacing it\n", __func__,
           MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
    freeAM(displaced);
  }
  return 0;
}

/* ---- Removal and destruction ------------------------------------------------------------------ */

/*
 * Unhooks the automap's device from the request-queue registry (the queue's real function
 * comes back when it was the last device), waits for references and snapshot pins to go,
 * frees the bitmap and the record. ams must already be out of amList. May sleep.
 */
/*
 * Whether the running backup is on kdev: its interception of the queue must stay until its
 * own close hands the queue over (a shutdown during the backup only drops change tracking).
 * Takes activeSessionUsers for reading; may sleep.
 */
static int deviceUnderBackup(dev_t kdev)
{
  int r;

  down_read(&activeSessionUsers);
  r = activeSession != NULL && activeSession->diskInfo.kdev == kdev;
  up_read(&activeSessionUsers);
  return r;
}

void closeAM(AutoMapSession *ams)
{
  if (ams == NULL)
    return;
  if (!deviceUnderBackup(ams->diskInfo.kdev))
    unSetMRFAMS(ams);
  freeAM(ams);
}

/* Empties the slot of b's device and closes its automap: 0; 2 when there was none. */
int closeAMS(Backup *b)
{
  AutoMapSession **slot = amListSlot(b->diskInfo.kdev);
  AutoMapSession *ams;
  unsigned long flags;

  if (slot == NULL)
    return velErrInvalid;
  waitForAMListUsers(&flags);
  ams = *slot;
  *slot = NULL;
  spin_unlock_irqrestore(&amListUsersLock, flags);
  if (ams == NULL)
    return velErrInvalid;
  closeAM(ams);
  return 0;
}

/*
 * Closes every automap. The amList gate is closed once per slot, so writes go on between
 * slots. May sleep (closeAM waits for a running snapshot's pin).
 */
void closeAllAMS(void)
{
  AutoMapSession *ams;
  unsigned long flags;
  int major, minor;

  for (major = 0; major < VEL_AMLIST_SIZE; major++) {
    for (minor = 0; minor < VEL_AMLIST_SIZE; minor++) {
      waitForAMListUsers(&flags);
      ams = amList[major][minor];
      amList[major][minor] = NULL;
      spin_unlock_irqrestore(&amListUsersLock, flags);
      if (ams != NULL)
        closeAM(ams);
    }
  }
}

/* ---- Errors ------------------------------------------------------------------------------------ */

/*
 * Marks not in sync the automap of every device that shares a registered queue with kdev
 * (the first queue whose device list holds kdev). Reader of the registry and of amList;
 * never sleeps.
 */
void errorAMSDEV(dev_t kdev)
{
  QueueList *node, *found = NULL;
  DevList *dev;
  AutoMapSession **slot;
  unsigned long flags;

  spin_lock_irqsave(&queueListUsersLock, flags);
  atomic_inc(&queueListUsers);
  spin_unlock_irqrestore(&queueListUsersLock, flags);

  list_for_each_entry(node, &queueListHead, list) {
    if (isInDevList(node, kdev)) {
      found = node;
      break;
    }
  }
  if (found != NULL) {
    enterAMListUsers();
    list_for_each_entry(dev, &found->devList, list) {
      slot = amListSlot(dev->kdev);
      if (slot != NULL && *slot != NULL)
        setAMSState(*slot, amsNotInSync);
    }
    leaveAMListUsers();
  }
  atomic_dec(&queueListUsers);
}

/*
 * Called after b entered an error state: its device's automap goes out of sync, and the
 * session stops intercepting the queue - velAMRF takes over when another device of the
 * queue has an automap, otherwise the queue is dropped (every automap on it out of sync,
 * real function back). May sleep (setMRF may allocate registry nodes).
 */
void errorAMS(Backup *b)
{
  AutoMapSession **slot = amListSlot(b->diskInfo.kdev);
  request_queue_t *q;
  int foundAMS = 0;

  enterAMListUsers();
  if (slot != NULL && *slot != NULL) {
    setAMSState(*slot, amsNotInSync);
    foundAMS = 1;
  }
  leaveAMListUsers();

  q = getRequestQueue(&b->diskInfo);
  if (countQueueAMS(q) > foundAMS) {
    if (setMRF(b, velAMRF) == 0)
      return;
    errorAMSDEV(b->diskInfo.kdev);
  }
  unsetQueueMRFAMS(q);
}
