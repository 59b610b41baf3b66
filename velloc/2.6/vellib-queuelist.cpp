/*
 * vellib-queuelist.cpp - the registry of request queues whose make-request function the
 * module has replaced: per queue the function it had before (its real one) and the
 * devices intercepted through it.
 *
 * Locking: the registry's users gate (queueListUsers / queueListUsersLock). Readers count
 * themselves in and walk the list without a lock; a writer closes the gate with
 * waitForQueueListUsers and changes the list holding queueListUsersLock, so it never
 * sleeps there: nodes are allocated before the gate is closed. Order: registry gate, then
 * a queue's queue_lock, then the amList gate.
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "vellib.h"

/* ---- Users gate -------------------------------------------------------------------------- */

/* Counts the caller in as a reader of the registry. Never sleeps. */
static void enterQueueListUsers(void)
{
  enterUsersGate(&queueListUsers, &queueListUsersLock);
}

static void leaveQueueListUsers(void)
{
  atomic_dec(&queueListUsers);
}

/*
 * Closes the registry gate: returns holding queueListUsersLock (interrupt state in *flags)
 * at a moment when no reader is inside; new readers wait at the lock. Yields between
 * attempts with the lock released. Release with spin_unlock_irqrestore(&queueListUsersLock,
 * *flags).
 */
void waitForQueueListUsers(unsigned long *flags)
{
  for (;;) {
    spin_lock_irqsave(&queueListUsersLock, *flags);
    if (atomic_dec_and_test(&queueListUsers)) {
      atomic_inc(&queueListUsers);
      return;
    }
    atomic_inc(&queueListUsers);
    spin_unlock_irqrestore(&queueListUsersLock, *flags);
    schedule();
  }
}

/* ---- Lookups (caller holds the gate, open or closed) --------------------------------------- */

/* The node of q, or null. */
static QueueList *findQueue(request_queue_t *q)
{
  QueueList *node;

  list_for_each_entry(node, &queueListHead, list) {
    if (node->rQueue == q)
      return node;
  }
  return NULL;
}

/* 1 if kdev is on the node's device list; 0 otherwise or for a null node. */
int isInDevList(QueueList *queueList, dev_t kdev)
{
  DevList *dev;

  if (queueList == NULL)
    return 0;
  list_for_each_entry(dev, &queueList->devList, list) {
    if (dev->kdev == kdev)
      return 1;
  }
  return 0;
}

/*
 * Appends newNode for kdev at the tail of the node's device list: 1. 0 and nothing added
 * when kdev is already there or the node is null (the caller then still owns newNode).
 * Caller has closed the gate.
 */
int addDevToList(QueueList *queueList, dev_t kdev, DevList *newNode)
{
  if (queueList == NULL || newNode == NULL || isInDevList(queueList, kdev))
    return 0;
  newNode->kdev = kdev;
  list_add_tail(&newNode->list, &queueList->devList);
  return 1;
}

/* 1 if q is registered with kdev on its device list, else 0 (also for a null q). Reader. */
int isInQueueList(request_queue_t *q, dev_t kdev)
{
  int found;

  if (q == NULL)
    return 0;
  enterQueueListUsers();
  found = isInDevList(findQueue(q), kdev);
  leaveQueueListUsers();
  return found;
}

/*
 * The queue's real make-request function: the one remembered when the queue was first
 * registered, or for an unregistered queue its current one. Null only for a null queue.
 * Reader; takes the queue's lock inside the gate for the fallback. Never sleeps.
 */
make_request_fn *getRealMRF(request_queue_t *q)
{
  make_request_fn *realMRF = NULL;
  QueueList *node;
  unsigned long qflags;

  if (q == NULL) {
    printk("<4>%s: Can't get MRF on NULL queue.%s", __func__, "\n");
    return NULL;
  }
  enterQueueListUsers();
  list_for_each_entry(node, &queueListHead, list) {
    if (node->rQueue == q && node->realMRF != NULL) {
      realMRF = node->realMRF;
      break;
    }
  }
  if (realMRF == NULL) {
    velLockRequestQueue(q, &qflags);
    realMRF = q->make_request_fn;
    velUnlockRequestQueue(q, &qflags);
  }
  leaveQueueListUsers();
  return realMRF;
}

/*
 * Devices on q that have an automap in amList, whatever its state; devices without an
 * amList slot never count. 0 for a null or unregistered queue. Reader of both gates.
 */
int countQueueAMS(request_queue_t *q)
{
  QueueList *node;
  DevList *dev;
  AutoMapSession **slot;
  int count = 0;

  if (q == NULL) {
    printk("<3>%s: Could not count ams sessions for request queue because queue was null.%s",
           __func__, "\n");
    return 0;
  }
  enterQueueListUsers();
  node = findQueue(q);
  if (node != NULL) {
    enterAMListUsers();
    list_for_each_entry(dev, &node->devList, list) {
      slot = amListSlot(dev->kdev);
      if (slot != NULL && *slot != NULL)
        count++;
    }
    leaveAMListUsers();
  }
  leaveQueueListUsers();
  return count;
}

/* ---- Writers ------------------------------------------------------------------------------ */

/* kmalloc that retries after yielding until it succeeds; zeroed. May sleep. */
static void *allocNodeRetrying(size_t size)
{
  void *p;

  while ((p = kmalloc(size, GFP_NOIO)) == NULL)
    schedule();
  memset(p, 0, size);
  return p;
}

/*
 * Registers kdev on q, creating q's node (remembering its current function as the real
 * one) when q has none. A device already on the queue is not added twice. Both nodes are
 * allocated before the gate is closed; allocation is retried until it succeeds. May sleep.
 */
void addQueueToList(request_queue_t *q, dev_t kdev)
{
  QueueList *newQueue, *node;
  DevList *newDev;
  unsigned long flags, qflags;
  int added;

  if (q == NULL) {
    printk("<3>%s: Could not add queue to list (null).%s", __func__, "\n");
    return;
  }
  newQueue = (QueueList *)allocNodeRetrying(sizeof(*newQueue));
  newDev = (DevList *)allocNodeRetrying(sizeof(*newDev));

  waitForQueueListUsers(&flags);
  node = findQueue(q);
  if (node != NULL) {
    added = addDevToList(node, kdev, newDev);
    spin_unlock_irqrestore(&queueListUsersLock, flags);
    kfree(newQueue);
    if (!added)
      kfree(newDev);
    return;
  }
  velLockRequestQueue(q, &qflags);
  newQueue->rQueue = q;
  newQueue->realMRF = q->make_request_fn;
  velUnlockRequestQueue(q, &qflags);
  INIT_LIST_HEAD(&newQueue->devList);
  addDevToList(newQueue, kdev, newDev);
  list_add_tail(&newQueue->list, &queueListHead);
  spin_unlock_irqrestore(&queueListUsersLock, flags);
}

/*
 * Registers the session's device on its queue (first) and then installs newMRF, so the
 * queue never runs a module function without a node that knows its real one.
 * The function is swapped with the gate closed and only while the device is still on the
 * queue's node: a writer that dropped the queue between the registration and the swap
 * (unsetQueueMRFAMS from an error path) would otherwise leave the module's function on an
 * unregistered queue, whose "real" function would then be the module's own. In that case
 * the device is registered again.
 * 0, or 1 when the device has no request queue (nothing changed). May sleep (allocation,
 * outside the gate).
 */
int setMRF(Backup *b, make_request_fn *newMRF)
{
  request_queue_t *q;
  unsigned long flags, qflags;

  q = getRequestQueue(&b->diskInfo);
  if (q == NULL)
    return 1;
  for (;;) {
    if (!isInQueueList(q, b->diskInfo.kdev))
      addQueueToList(q, b->diskInfo.kdev);
    waitForQueueListUsers(&flags);
    if (isInDevList(findQueue(q), b->diskInfo.kdev))
      break;
    spin_unlock_irqrestore(&queueListUsersLock, flags);
  }
  velLockRequestQueue(q, &qflags);
  q->make_request_fn = newMRF;
  velUnlockRequestQueue(q, &qflags);
  spin_unlock_irqrestore(&queueListUsersLock, flags);
  return 0;
}

/*
 * Removes one device from its queue's node; when it was the last device the node goes and
 * the queue gets its real function back (if it is not already running it). Other devices
 * keep the module's function installed. A device whose queue is gone or was never
 * registered changes nothing. Writer; never sleeps while holding the gate.
 */
void unSetMRFDEV(DiskInfo *diskInfo)
{
  request_queue_t *q;
  QueueList *node;
  DevList *dev, *tmp;
  make_request_fn *realMRF;
  unsigned long flags, qflags;

  if (diskInfo == NULL)
    return;
  q = getRequestQueue(diskInfo);
  if (q == NULL) {
    printk("<4>%s: Unable to get request queue for MAJOR=%d, MINOR=%d while unsetting MRF.",
           __func__, MAJOR(diskInfo->kdev), MINOR(diskInfo->kdev));
    return;
  }
  waitForQueueListUsers(&flags);
  node = findQueue(q);
  if (node == NULL) {
    velLockRequestQueue(q, &qflags);
    velUnlockRequestQueue(q, &qflags);
    spin_unlock_irqrestore(&queueListUsersLock, flags);
    return;
  }
  list_for_each_entry_safe(dev, tmp, &node->devList, list) {
    if (dev->kdev == diskInfo->kdev) {
      list_del(&dev->list);
      kfree(dev);
    }
  }
  if (list_empty(&node->devList)) {
    realMRF = node->realMRF;
    list_del(&node->list);
    kfree(node);
    velLockRequestQueue(q, &qflags);
    if (realMRF != NULL && realMRF != q->make_request_fn)
      q->make_request_fn = realMRF;
    velUnlockRequestQueue(q, &qflags);
  } else {
    velLockRequestQueue(q, &qflags);
    velUnlockRequestQueue(q, &qflags);
  }
  spin_unlock_irqrestore(&queueListUsersLock, flags);
}

/* Unhooks a closing automap's device from the registry (see unSetMRFDEV). */
void unSetMRFAMS(AutoMapSession *ams)
{
  if (ams != NULL)
    unSetMRFDEV(&ams->diskInfo);
}

/*
 * Drops the whole queue: every device leaves, the automaps of those devices (the ones that
 * have an amList slot) go out of sync, and the real function is put back unconditionally.
 * A registered node without a remembered function breaks the registry's invariant: fatal.
 * Writer; takes the amList gate as a reader inside the closed registry gate.
 */
void unsetQueueMRFAMS(request_queue_t *q)
{
  QueueList *node;
  DevList *dev, *tmp;
  AutoMapSession **slot;
  unsigned long flags, qflags;

  if (q == NULL) {
    printk("<3>%s: Could not unset MRFS for request queue because queue was null.%s",
           __func__, "\n");
    return;
  }
  waitForQueueListUsers(&flags);
  node = findQueue(q);
  if (node == NULL) {
    spin_unlock_irqrestore(&queueListUsersLock, flags);
    return;
  }
  enterAMListUsers();
  list_for_each_entry_safe(dev, tmp, &node->devList, list) {
    slot = amListSlot(dev->kdev);
    if (slot != NULL && *slot != NULL)
      setAMSState(*slot, amsNotInSync);
    list_del(&dev->list);
    kfree(dev);
  }
  leaveAMListUsers();
  if (node->realMRF == NULL) {
    printk("<2>%s: Could not find real make request fn for queue.%s", __func__, "\n");
    BUG();
  }
  velLockRequestQueue(q, &qflags);
  q->make_request_fn = node->realMRF;
  velUnlockRequestQueue(q, &qflags);
  list_del(&node->list);
  kfree(node);
  spin_unlock_irqrestore(&queueListUsersLock, flags);
}
