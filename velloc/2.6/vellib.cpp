/*
 * vellib.cpp - the module's frame: module-wide variables, load and unload, the control
 * device's file operations, the command dispatcher, and the session-state commands.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/uaccess.h>
#include "vellib.h"

MODULE_LICENSE(VEL_LICENSE);
MODULE_DESCRIPTION(VEL_DESCRIPTION);

/* ---- Module-wide variables -------------------------------------------------------------- */

atomic_t initDone = ATOMIC_INIT(0);
atomic_t busy = ATOMIC_INIT(0);
spinlock_t busyLock = SPIN_LOCK_UNLOCKED;
Backup *activeSession = NULL;
struct rw_semaphore activeSessionUsers = {0, 0, 0, "activeSessionUsers"};
struct semaphore signalThread = {0, 0};
pid_t backup_cachePID = 0;
atomic_t backup_cacheThreadContinue = ATOMIC_INIT(1);
struct completion backup_cacheThreadStartCompleted = {0, 0};
struct completion backup_cacheThreadExited = {0, 0};
AutoMapSession *amList[VEL_AMLIST_SIZE][VEL_AMLIST_SIZE];
atomic_t amListUsers = ATOMIC_INIT(1);
spinlock_t amListUsersLock = SPIN_LOCK_UNLOCKED;
struct list_head queueListHead = {&queueListHead, &queueListHead};
atomic_t queueListUsers = ATOMIC_INIT(1);
spinlock_t queueListUsersLock = SPIN_LOCK_UNLOCKED;
atomic_t curAllocAMPages = ATOMIC_INIT(0);

struct file_operations velFileOps = {
    .owner = NULL, /* set by velModRegister */
    .llseek = NULL,
    .read = velRead,
    .write = velWrite,
    .poll = velPoll,
    .ioctl = velIOCTL,
    .unlocked_ioctl = NULL,
    .mmap = velMMAP,
    .open = velOpen,
    .release = velRelease,
};

/*
 * Puts every module-wide variable at its load-time value. A kernel maps a fresh copy of
 * the module's data at each load; this image stays in memory between an unload and the
 * next load, so the load does it explicitly. Called only from velInit, before the device
 * is registered, so nothing else can be running in the module.
 */
static void resetModuleVariables(void) {
  atomic_set(&initDone, 0);
  atomic_set(&busy, 0);
  spin_lock_init(&busyLock);
  activeSession = NULL;
  init_rwsem(&activeSessionUsers);
  backup_cachePID = 0;
  atomic_set(&backup_cacheThreadContinue, 1);
  init_completion(&backup_cacheThreadStartCompleted);
  init_completion(&backup_cacheThreadExited);
  memset(amList, 0, sizeof(amList));
  atomic_set(&amListUsers, 1);
  spin_lock_init(&amListUsersLock);
  INIT_LIST_HEAD(&queueListHead);
  atomic_set(&queueListUsers, 1);
  spin_lock_init(&queueListUsersLock);
  atomic_set(&curAllocAMPages, 0);
}

/* ---- Load and unload ---------------------------------------------------------------------- */

/* The module's init function. Returns 0, or the registration error (the load then fails).
 * May sleep. */
int velInit(void) {
  int result;

  resetModuleVariables();
  sema_init(&signalThread, 1);
  result = velModRegister(VEL_MAJOR, VEL_DEVICE_NAME, &velFileOps);
  if (result == 0) atomic_set(&initDone, 1);
  printk("<6>%s: velloc version %d.%d.%d build %d %s\n", "velInit", VEL_VERSION_MAJOR,
         VEL_VERSION_MINOR, VEL_VERSION_MINOR2, VEL_VERSION_BUILD,
         atomic_read(&initDone) == 1 ? "loaded" : "load FAILED");
  return result;
}

/* Closes all change tracking (restoring every replaced request function) and removes
 * the control device. Returns 0, or -1 when the module is still in use. May sleep. */
int velUnload(void) {
  if (velCheckModUse() != 0) return -1;
  closeAllAMS();
  unregister_chrdev(VEL_MAJOR, VEL_DEVICE_NAME);
  printk("<6>%s: velloc version %d.%d.%d build %d ready to be unloaded\n", "velUnload",
         VEL_VERSION_MAJOR, VEL_VERSION_MINOR, VEL_VERSION_MINOR2, VEL_VERSION_BUILD);
  return 0;
}

/* The module's exit function; the kernel calls it only once no handle is open. */
void velExit(void) {
  doModuleUnload();
  printk("<6>%s: velloc version %d.%d.%d build %d exiting\n", "velExit", VEL_VERSION_MAJOR,
         VEL_VERSION_MINOR, VEL_VERSION_MINOR2, VEL_VERSION_BUILD);
}

/* The doUnload command: drops all change tracking; the device and the handles stay.
 * Returns 0, or -1 when the module is in use. May sleep. */
int velShutdown(void) {
  if (velCheckModUse() != 0) return -1;
  closeAllAMS();
  return 0;
}

module_init(velInit);
module_exit(velExit);

/* ---- File operations of the control device --------------------------------------------- */

/*
 * open: gives the handle a fresh idle session. Returns 0, or a negative error number:
 * -ENODEV before the device is ready, -ENOMEM without memory for the record, -EBUSY while
 * the module is being unloaded; a refused open leaves nothing allocated and private_data
 * null. The record is freed by velRelease (closeBackup). May sleep.
 */
int velOpen(struct inode *inode, struct file *file) {
  Backup *b;

  if (atomic_read(&initDone) != 1) return -ENODEV;

  b = (Backup *)kmalloc(sizeof(Backup), GFP_KERNEL);
  if (b == NULL) return -ENOMEM;

  memset(b, 0, sizeof(Backup));
  b->state = stateIdle;
  sema_init(&b->bSem, 1);
  __init_rwsem(&b->cacheUsers, "&b->cacheUsers");
  __init_rwsem(&b->writers, "&b->writers");
  spin_lock_init(&b->mrLock);
  atomic_set(&b->mrInQueue, 0);
  atomic_set(&b->ioctlCount, 0);
  atomic_set(&b->totalAllocPages, 0);
  atomic_set(&b->curAllocPages, 0);
  atomic_set(&b->totalAllocBRs, 0);
  atomic_set(&b->curAllocBRs, 0);
  atomic_set(&b->totalAllocCPs, 0);
  atomic_set(&b->curAllocCPs, 0);
  atomic_set(&b->peakAllocCPs, 0);
  atomic_set(&b->totalCBs, 0);
  atomic_set(&b->curCBs, 0);
  atomic_set(&b->totalReadBlocks, 0);
  atomic_set(&b->totalReadCBs, 0);
  atomic_set(&b->totalCleanedCBs, 0);
  atomic_set(&b->mrfUsers, 0);
  init_waitqueue_head(&b->mrfUsersWait);

  /* Both maps empty, with gates ready for bit operations on an empty map. */
  initBlockMap(&b->blockMap);
  initBlockMap(&b->cacheMap);

  file->private_data = b;

  if (velModGet() != 0) {
    file->private_data = NULL;
    kfree(b);
    return -EBUSY;
  }
  return 0;
}

/* release: ends the handle's session and frees its record (closeBackup). Returns 0, or 2
 * when the handle has no record. The kernel never runs it beside a command of the same
 * handle. May sleep. */
int velRelease(struct inode *inode, struct file *file) {
  Backup *b = (Backup *)file->private_data;

  if (b == NULL) return velErrInvalid;
  file->private_data = NULL;
  closeBackup(b);
  velModPut();
  return 0;
}

/* read, write and poll do nothing: end of file, nothing accepted, no events. */
ssize_t velRead(struct file *file, char *buf, size_t count, loff_t *ppos) { return 0; }
ssize_t velWrite(struct file *file, const char *buf, size_t count, loff_t *ppos) { return 0; }
unsigned int velPoll(struct file *file, struct poll_table_struct *wait) { return 0; }

/* ---- Command dispatcher ---------------------------------------------------------------- */

/* Copies an argument record of exactly `size` bytes from the agent. 0, or 6 on any
 * shortfall (the command then fails without a log line). */
static int copyRecordIn(void *record, unsigned long arg, unsigned long size) {
  return copy_from_user(record, (const void __user *)arg, size) != 0 ? velErrCopyFromUser : 0;
}

/*
 * The kernel's device number of a major and minor from the agent: 0 and *kdev, or 8 with
 * the line of a device that is not found when the pair does not fit the kernel's 12 and
 * 20 bits, since (major << 20) | minor would then name some other device.
 */
static int recordDevice(unsigned int major, unsigned int minor, dev_t *kdev) {
  if (major >= (1u << 12) || minor >= (1u << 20)) {
    printk("<3>%s: device major=%d minor=%d not found, getting super block failed\n", "velIOCTL", (int)major,
           (int)minor);
    return velErrNoFileSystem;
  }
  *kdev = (major << 20) | minor;
  return 0;
}

/* Writes one of the version numbers to the agent's int. 0, or 7 with its log line. */
static int copyVersionOut(unsigned long arg, int value) {
  if (copy_to_user((void __user *)arg, &value, sizeof(value)) != 0) {
    printk("<3>%s: copy to user space %s\n", "velIOCTL", "failed");
    return velErrCopyToUser;
  }
  return 0;
}

/*
 * ioctl: checks the module and the handle, counts the command, copies its argument
 * record (and for the map commands the UserBlockMap it points at) from the agent, and
 * returns the handler's result. Takes no lock itself; handlers take bSem as they need.
 * May sleep.
 */
int velIOCTL(struct inode *ino, struct file *file, unsigned int cmd, unsigned long arg) {
  Backup *b;
  dev_t kdev;
  int r;

  if (atomic_read(&initDone) != 1) return velErrNotInitialised;
  b = (Backup *)file->private_data;
  if (b == NULL) return velErrInvalid;
  atomic_inc(&b->ioctlCount);

  switch (cmd) {
    case doReserved:
      return velErrRefused;

    case doGetBlockSize: {
      GetBlockSize gbs;
      if ((r = copyRecordIn(&gbs, arg, sizeof(gbs))) != 0) return r;
      if ((r = recordDevice(gbs.major, gbs.minor, &kdev)) != 0) return r;
      return ioctlGetBlockSize(b, kdev, (BlockSize *)(unsigned long)gbs.bs, gbs.len);
    }

    case doStartBackup: {
      StartBackup sb;
      if ((r = copyRecordIn(&sb, arg, sizeof(sb))) != 0) return r;
      if ((r = recordDevice(sb.major, sb.minor, &kdev)) != 0) return r;
      return ioctlStartBackup(b, kdev, sb.totalBlocks, sb.maxCacheBlocks);
    }

    case doSnapShot: {
      SnapShot ss;
      if ((r = copyRecordIn(&ss, arg, sizeof(ss))) != 0) return r;
      return ioctlSnapShot(b, (AMSessionKey *)(unsigned long)ss.amsKey, ss.len);
    }

    case doGetState: {
      GetState gs;
      if ((r = copyRecordIn(&gs, arg, sizeof(gs))) != 0) return r;
      return ioctlGetState(b, (State *)(unsigned long)gs.s, gs.len);
    }

    case doGetAutoMapState: {
      GetAutoMapState gams;
      if ((r = copyRecordIn(&gams, arg, sizeof(gams))) != 0) return r;
      return ioctlGetAutoMapState(b, (AutoMapState *)(unsigned long)gams.ams, gams.len);
    }

    case doNoLoadFromAutoMap:
      return ioctlNoLoadFromAutoMap(b);

    case doNoStartAutoMap:
      return ioctlNoStartAutoMap(b);

    case doLoadBlockMap: {
      LoadBlockMap lbm;
      UserBlockMap ubm;
      if ((r = copyRecordIn(&lbm, arg, sizeof(lbm))) != 0) return r;
      if ((r = copyRecordIn(&ubm, lbm.bm, sizeof(ubm))) != 0) return r;
      return ioctlLoadBlockMap(b, &ubm);
    }

    case doGetAutoMap: {
      GetAutoMap gam;
      UserBlockMap ubm;
      if ((r = copyRecordIn(&gam, arg, sizeof(gam))) != 0) return r;
      if ((r = copyRecordIn(&ubm, gam.bm, sizeof(ubm))) != 0) return r;
      return ioctlGetAutoMap(b, &ubm);
    }

    case doGetDirtyBlock: {
      DirtyBlock db;
      if ((r = copyRecordIn(&db, arg, sizeof(db))) != 0) return r;
      return ioctlGetDirtyBlock(b, (unsigned int *)(unsigned long)db.blockNum);
    }

    case doReadBlocks: {
      ReadBlocks rb;
      if ((r = copyRecordIn(&rb, arg, sizeof(rb))) != 0) return r;
      return ioctlReadBlocks(b, rb.startBlockNum, rb.numBlocks, (char *)(unsigned long)rb.data);
    }

    case doGetVersionMajor:
      return copyVersionOut(arg, VEL_VERSION_MAJOR);

    case doGetVersionMinor:
      return copyVersionOut(arg, VEL_VERSION_MINOR);

    case doSync:
      return ioctlSync(b);

    case doUnload:
      return velShutdown();

    default:
      printk("<3>%s: ioctl command not found%s", "velIOCTL", "\n");
      return velErrUnknownCommand;
  }
}

/* ---- Session state and the change-tracking switches ------------------------------------ */

/*
 * doGetState: copies min(stateLen, 20) bytes of the session's State to the agent.
 * Returns 0, or 7 when the copy falls short. Takes bSem. May sleep.
 */
int ioctlGetState(Backup *b, State *userState, unsigned int stateLen) {
  State s;
  unsigned int n;

  memset(&s, 0, sizeof(s));
  down(&b->bSem);
  s.major = b->diskInfo.kdev >> 20;
  s.minor = b->diskInfo.kdev & 0xFFFFF;
  s.blockSize = b->diskInfo.blockSize;
  s.mmapSize = b->maxVMPages * 4096;
  s.state = velGetState(b);
  up(&b->bSem);

  n = stateLen < sizeof(State) ? stateLen : (unsigned int)sizeof(State);
  if (copy_to_user(userState, &s, n) != 0) {
    printk("<3>%s: copy to user space %s\n", "ioctlGetState", "failed");
    return velErrCopyToUser;
  }
  return 0;
}

/* doNoStartAutoMap: the snapshot will drop the device's change tracking. Returns 0.
 * Takes bSem. May sleep. */
int ioctlNoStartAutoMap(Backup *b) {
  down(&b->bSem);
  b->noStartAutoMap = 1;
  up(&b->bSem);
  return 0;
}

/* doNoLoadFromAutoMap: the snapshot will not take the change map. Returns 0.
 * Takes bSem. May sleep. */
int ioctlNoLoadFromAutoMap(Backup *b) {
  down(&b->bSem);
  b->noLoadFromAutoMap = 1;
  up(&b->bSem);
  return 0;
}
