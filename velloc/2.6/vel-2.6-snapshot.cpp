/*
 * vel-2.6-snapshot.cpp - the snapshot command: what becomes of the device's change
 * tracking, the interception of its queue, the freeze, the switch to copy-on-write under
 * writers with the change-map exchange, and the freeze timings; the sync command.
 *
 * Every allocation happens before the file system is frozen; while frozen the switch
 * only takes locks, exchanges two page arrays and writes two states.
 */
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/random.h>
#include <linux/kdev_t.h>
#include <linux/fs.h>
#include <asm/uaccess.h>
#include "vellib.h"

/* calcTimeDiff: end - start, with the nanoseconds brought back into 0..999999999. */
struct timespec calcTimeDiff(struct timespec *start, struct timespec *end) {
  struct timespec d;
  d.tv_sec = end->tv_sec - start->tv_sec;
  d.tv_nsec = end->tv_nsec - start->tv_nsec;
  if (d.tv_nsec < 0) {
    d.tv_nsec += 1000000000L;
    d.tv_sec -= 1;
  }
  return d;
}

/* ioctlSync: writes back the partition's dirty buffers. Always 0; no lock. May sleep. */
int ioctlSync(Backup *b) {
  if (b->diskInfo.bdev) fsync_bdev(b->diskInfo.bdev);
  return 0;
}

/*
 * exchangeChangeMap: with the automap's gate closed (its usersLock held), hands the
 * automap's bitmap to the session's blockMap and gives the automap the all-clear pages
 * that blockMap held. Both maps have the same size. Never sleeps.
 */
static void exchangeChangeMap(Backup *b, AutoMapSession *ams) {
  unsigned long bmFlags, amFlags;
  struct page **pages;

  waitForBlockMapUsers(&b->blockMap, &bmFlags);
  waitForBlockMapUsers(&ams->map, &amFlags);
  pages = b->blockMap.map;
  b->blockMap.map = ams->map.map;
  ams->map.map = pages;
  spin_unlock_irqrestore(&ams->map.usersLock, amFlags);
  spin_unlock_irqrestore(&b->blockMap.usersLock, bmFlags);
}

/*
 * ioctlSnapShot: takes the point-in-time snapshot of a started session. 0 (also on a
 * key mismatch, where nothing is done); 2 wrong state, no queue, no file system frozen;
 * 6 key unreadable; 2/5/6 from a change map or automap that could not be made. Holds
 * bSem throughout, writers for writing during the switch. May sleep.
 */
int ioctlSnapShot(Backup *b, AMSessionKey *userKey, unsigned int keyLen) {
  static const char *fn = "ioctlSnapShot";
  AMSessionKey key;
  AutoMapSession *ams = 0;
  struct block_device *bdev;
  struct super_block *freezeSB;
  struct timespec freezeTime, afterFreezeTime, thawTime;
  unsigned int numPages = 0, i;
  unsigned long flags;
  int keptAMS = 0, pinned = 0, r = 0;

  memset(&key, 0, sizeof(key));
  down(&b->bSem);
  if (velGetState(b) != stateStarted) {
    r = velErrInvalid;
    goto out;
  }
  if (copy_from_user(&key, userKey, keyLen < VEL_KEY_LEN ? keyLen : VEL_KEY_LEN)) {
    printk("<3>%s: copy from user space %s\n", fn, "failed");
    r = velErrCopyFromUser;
    goto out;
  }

  /* What becomes of the device's change tracking. */
  ams = getAMS(b->diskInfo.kdev);
  if (ams) {
    if (b->noStartAutoMap) {
      putAMS(ams);
      ams = 0;
      closeAMS(b);
      goto intercept;
    }
    if (getAMSState(ams) != amsInSync || b->noLoadFromAutoMap) {
      putAMS(ams);
      ams = 0;
      closeAMS(b);
    } else if (memcmp(key.key, ams->sessionKey.key, VEL_KEY_LEN) != 0) {
      printk("<3>%s: session key mismatch%s", fn, "\n");
      putAMS(ams);
      r = 0;
      goto out;
    } else if ((unsigned int)b->diskInfo.numBlocks != ams->map.size) {
      printk("<4>%s: device resize detected, device has (%u) blocks and automap has (%u), resetting automap\n", fn,
             (unsigned int)b->diskInfo.numBlocks, ams->map.size);
      setAMSState(ams, amsNotInSync);
      putAMS(ams);
      ams = 0;
      closeAMS(b);
    } else {
      r = newBlockMap(&b->blockMap, ams->map.size, 0, 1, &numPages);
      if (r) {
        putAMS(ams);
        printk("<3>%s: failed to create new device map%s", fn, "\n");
        goto out;
      }
      atomic_add((int)numPages, &b->totalAllocPages);
      atomic_add((int)numPages, &b->curAllocPages);
      keptAMS = 1;
    }
  } else if (b->noStartAutoMap) {
    goto intercept;
  }

  if (!keptAMS) {
    AutoMapSession *created = 0;
    r = newAMS(b, &created);
    if (r) {
      printk("<3>%s: new automap failed%s", fn, "\n");
      goto out;
    }
    /* Reference through the table: a shutdown may already have taken it out again, and
     * then this backup simply runs without change tracking. */
    ams = getAMS(b->diskInfo.kdev);
    if (ams && ams != created) {
      putAMS(ams);
      ams = 0;
    }
  }

  if (ams) {
    /* The pin keeps the record alive from here to the switch, after the reference goes,
     * against another handle's shutdown. */
    pinAMS(ams);
    pinned = 1;
    for (i = 0; i < VEL_KEY_LEN; i++) get_random_bytes(&ams->sessionKey.key[i], 1);
    putAMS(ams);
  }

intercept:
  if (setMRF(b, velMRF)) {
    printk("<3>%s: device major=%d minor=%d not valid\n", fn, MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
    r = velErrInvalid;
    goto unpin;
  }

  bdev = b->diskInfo.bdev;
  printk("<3>%s: Going to freez: %d.%d\n", fn, MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
  freezeTime = current_kernel_time();
  freezeSB = freeze_bdev(bdev);
  afterFreezeTime = current_kernel_time();
  if (!freezeSB) {
    thaw_bdev(bdev, 0);
    printk("<3>%s: freeze_bdev could not freeze the device.%s", fn, "\n");
    r = velErrInvalid;
    goto unpin;
  }

  down_write(&b->writers);
  if (ams) {
    waitForAMSUsers(ams, &flags);
    if (keptAMS && getAMSState(ams) != amsInSync) {
      /* The kept automap missed a write (one beyond its size) before the switch: its
       * bitmap is no change map. Drop it and the all-clear blockMap so the agent finds
       * no change map and backs up in full. Closing the automap unhooks the device from
       * its queue, so the interception is put back before the switch. */
      spin_unlock_irqrestore(&ams->usersLock, flags);
      unpinAMS(ams);
      pinned = 0;
      ams = 0;
      closeAMS(b);
      closeBUBlockMap(b);
      if (setMRF(b, velMRF)) {
        up_write(&b->writers);
        thaw_bdev(bdev, freezeSB);
        printk("<3>%s: device major=%d minor=%d not valid\n", fn, MAJOR(b->diskInfo.kdev), MINOR(b->diskInfo.kdev));
        r = velErrInvalid;
        goto out;
      }
      velSetState(b, stateSnapshotComplete);
    } else {
      if (keptAMS)
        exchangeChangeMap(b, ams);
      else
        setAMSState(ams, amsInSync);
      velSetState(b, stateSnapshotComplete);
      spin_unlock_irqrestore(&ams->usersLock, flags);
    }
  } else {
    velSetState(b, stateSnapshotComplete);
  }
  up_write(&b->writers);

  thaw_bdev(bdev, freezeSB);
  thawTime = current_kernel_time();
  b->eTimeToFreeze = calcTimeDiff(&freezeTime, &afterFreezeTime);
  b->eTimeFrozen = calcTimeDiff(&freezeTime, &thawTime);
  r = 0;

unpin:
  if (pinned) unpinAMS(ams);
  /* A failed attempt gives back the change map it made for the exchange: the automap still
   * holds every tracked write, and a retry makes the map anew, or none if it ends full. */
  if (r && keptAMS) closeBUBlockMap(b);
out:
  up(&b->bSem);
  return r;
}
