/*
 * shim-2.6.cpp - the few calls whose form depends on the kernel version: character
 * device registration, the module reference count, and reaching a block device's
 * request queue and its lock.
 */
#include <linux/module.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/spinlock.h>
#include "vellib.h"

/* ---- Device registration and module references ---------------------------------------- */

/* Registers the control device. Returns register_chrdev's result (0 for the fixed major).
 * The owner slot is filled first so that every open pins this module. May sleep. */
int velModRegister(int major, const char *name, struct file_operations *fops) {
  fops->owner = THIS_MODULE;
  return register_chrdev(major, name, fops);
}

/* Whether something still needs the module before it can be torn down: nothing does
 * here, because every open handle already holds a module reference. Returns 0. */
int velCheckModUse(void) { return 0; }

/* Takes a module reference for an open handle. Returns 0 when taken, 1 (nothing taken)
 * when the module is being unloaded. Never sleeps. */
int velModGet(void) { return try_module_get(THIS_MODULE) ? 0 : 1; }

/* Drops a reference taken by velModGet; wakes an unload waiting for it. Never sleeps. */
void velModPut(void) { module_put(THIS_MODULE); }

/* ---- Request queues -------------------------------------------------------------------- */

/* The request queue of bdev's disk, or null when there is no device or no disk. */
request_queue_t *velGetRequestQueue(struct block_device *bdev) {
  if (bdev == NULL || bdev->bd_disk == NULL) return NULL;
  return bdev->bd_disk->queue;
}

/* Takes q's queue_lock with interrupts saved into *flags; nothing when q has no lock.
 * The caller must not sleep until velUnlockRequestQueue. */
void velLockRequestQueue(request_queue_t *q, unsigned long *flags) {
  if (q == NULL || q->queue_lock == NULL) return;
  spin_lock_irqsave(q->queue_lock, *flags);
}

/* Releases what velLockRequestQueue took, restoring the saved interrupt state. */
void velUnlockRequestQueue(request_queue_t *q, unsigned long *flags) {
  if (q == NULL || q->queue_lock == NULL) return;
  spin_unlock_irqrestore(q->queue_lock, *flags);
}
