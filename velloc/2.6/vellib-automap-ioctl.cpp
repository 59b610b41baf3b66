/*
 * vellib-automap-ioctl.cpp - the two commands that give the agent what change tracking
 * knows: the state, size and key of its device's automap, and the changed-block map that
 * an incremental snapshot handed to the session.
 */
#include <linux/string.h>
#include <linux/highmem.h>
#include <asm/uaccess.h>

#include "vellib.h"

/*
 * doGetAutoMapState: stores min(amsLen, record size) bytes of the automap's state record
 * (all zero without an automap) at userAMS. 0; 7 when the store fails. Works in any state
 * (before a start the device number is 0 and slot [0][0] is read). Takes bSem (may sleep)
 * and releases it before the copy.
 */
int ioctlGetAutoMapState(Backup *b, AutoMapState *userAMS, unsigned int amsLen)
{
  AutoMapState local;
  AutoMapSession *ams;
  unsigned long len;

  memset(&local, 0, sizeof(local));
  down(&b->bSem);
  ams = getAMS(b->diskInfo.kdev);
  if (ams != NULL) {
    local.major = MAJOR(ams->diskInfo.kdev);
    local.minor = MINOR(ams->diskInfo.kdev);
    local.state = getAMSState(ams);
    local.mapLen = ams->map.size;
    local.mapSize = ams->map.numBytes;
    memcpy(&local.amsKey, &ams->sessionKey, sizeof(local.amsKey));
    putAMS(ams);
  }
  up(&b->bSem);

  len = amsLen < sizeof(local) ? amsLen : sizeof(local);
  if (len != 0 && copy_to_user(userAMS, &local, len) != 0) {
    printk("<3>%s: copy to user space %s\n", __func__, "failed");
    return velErrCopyToUser;
  }
  return 0;
}

/*
 * doGetAutoMap: copies the changed-block map handed over by an incremental snapshot to the
 * agent (userBM is a kernel copy of the agent's record: map = agent address, mapLen = blocks
 * expected), then releases it. 0; 2 not in stateSnapshotComplete, no map, or size mismatch;
 * 7 a store failed (the map is kept, the command may be repeated). Holds bSem throughout and
 * a users-gate count on blockMap while copying. May sleep.
 */
int ioctlGetAutoMap(Backup *b, UserBlockMap *userBM)
{
  BlockMap *bm = &b->blockMap;
  unsigned long flags;
  unsigned int pages, i, count;
  char *data, *addr;
  unsigned long notCopied;
  int result = 0;

  down(&b->bSem);
  if (velGetState(b) != stateSnapshotComplete) {
    printk("<3>%s: backup error map not loaded %s", __func__, "\n");
    up(&b->bSem);
    return velErrInvalid;
  }
  spin_lock_irqsave(&bm->usersLock, flags);
  atomic_inc(&bm->users);
  spin_unlock_irqrestore(&bm->usersLock, flags);

  if (bm->map == NULL) {
    printk("<3>%s: backup error automap is NULL %s", __func__, "\n");
    result = velErrInvalid;
  } else if (bm->size != userBM->mapLen) {
    printk("<3>%s: backup error map size mismatch kernel map size=%u user map size=%u\n",
           __func__, bm->size, userBM->mapLen);
    result = velErrInvalid;
  } else {
    pages = (bm->numBytes + VEL_PAGE_SIZE - 1) / VEL_PAGE_SIZE;
    for (i = 0; i < pages; i++) {
      count = VEL_PAGE_SIZE;
      if (i == pages - 1 && bm->numBytes % VEL_PAGE_SIZE != 0)
        count = bm->numBytes % VEL_PAGE_SIZE;
      data = (char *)(unsigned long)userBM->map + (unsigned long)VEL_PAGE_SIZE * i;
      addr = (char *)kmap(bm->map[i]);
      notCopied = copy_to_user(data, addr, count);
      kunmap(bm->map[i]);
      if (notCopied != 0) {
        printk("<3>%s: copy to user space failed data=%p bytesCopied=%d bytesInMap=%d\n",
               __func__, (void *)data, (int)count, (int)bm->numBytes);
        result = velErrCopyToUser;
        break;
      }
    }
  }
  atomic_dec(&bm->users);
  if (result == 0)
    closeBUBlockMap(b);
  up(&b->bSem);
  return result;
}
