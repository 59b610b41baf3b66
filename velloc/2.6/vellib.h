/*
 * vellib.h - the module's global tables and locks, its constants, and the prototype of
 * every function of the module, grouped by subsystem.
 *
 * Conventions of every function below: results are int, 0 for success; command
 * handlers answer the small positive codes of velloc.h. Functions that take sleeping
 * locks or allocate with GFP_KERNEL/GFP_NOIO may sleep and must not be called under a
 * spin lock or from I/O completion; the completion routines (velBIOEndIO, velBHEndIO)
 * never sleep.
 */
#ifndef _VELLIB_H
#define _VELLIB_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <asm/atomic.h>
#include <linux/spinlock.h>
#include <asm/semaphore.h>
#include <linux/rwsem.h>
#include <linux/completion.h>
#include <linux/time.h>
#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/mm.h>
#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/blkdev.h>

#include "velloc.h"
#include "globals.h"
#include "stats.h"
#include "queueList.h"
#include "vel-2.6.h"

/* ---- Constants -------------------------------------------------------------------------
 * VEL_MAJOR, VEL_DEVICE_NAME and VEL_VERSION_{MAJOR,MINOR,MINOR2,BUILD} (120, "velloc",
 * 3.1.0 build 9504) come from velloc.h, which agents share. */

#define VEL_DESCRIPTION "velloc live block-level backup driver"
#define VEL_LICENSE "Proprietary"
#define VEL_KTHREAD_NAME "kbackupd"              /* the cache worker's name */
#define VEL_MAX_READ_BLOCKS 256                  /* blocks of one read: maxVMPages * blocksPerPage */
#define VEL_SLAB_NAME_LEN 32                     /* bytes of htCacheName, cpCacheName, dataCacheName */

/* ---- Module-wide variables (defined in vellib) ------------------------------------------ */

extern atomic_t initDone;                        /* 1 once the device is registered */
extern atomic_t busy;                            /* 1 while a handle owns the backup slot. busyLock */
extern spinlock_t busyLock;                      /* test-and-set / clearing of busy; held alone */
extern Backup *activeSession;                    /* session under copy-on-write, or null. activeSessionUsers */
extern struct rw_semaphore activeSessionUsers;   /* read: interception uses activeSession; write: close clears it */
extern struct semaphore signalThread;            /* wakes the worker; count 1 at load (velInit) */
extern pid_t backup_cachePID;                    /* worker's pid; 0 or negative when there is none */
extern atomic_t backup_cacheThreadContinue;      /* 1 at load; cleared to ask the worker to exit */
extern struct completion backup_cacheThreadStartCompleted; /* worker start handshake */
extern struct completion backup_cacheThreadExited;         /* worker exit handshake */
extern AutoMapSession *amList[VEL_AMLIST_SIZE][VEL_AMLIST_SIZE]; /* [major][minor]. amList gate */
extern atomic_t amListUsers;                     /* amList users gate count, resting at 1 */
extern spinlock_t amListUsersLock;               /* guards entry into the amList gate */
extern struct list_head queueListHead;           /* QueueList nodes. registry gate */
extern atomic_t queueListUsers;                  /* registry users gate count, resting at 1 */
extern spinlock_t queueListUsersLock;            /* guards entry into the registry gate */
extern atomic_t curAllocAMPages;                 /* pages of all change-tracking bitmaps */
extern struct file_operations velFileOps;        /* the control device's file operations */
extern struct vm_operations_struct velVMOps;     /* the transfer buffer's area operations */

/* ---- Module entry and exit (vellib; doModuleUnload in vel-2.6) ---------------------------- */

int velInit(void);
void velExit(void);
int velUnload(void);
int doModuleUnload(void);
int velShutdown(void);

/* ---- Kernel-version shim (shim-2.6) -------------------------------------------------------- */

int velModRegister(int major, const char *name, struct file_operations *fops);
int velCheckModUse(void);
int velModGet(void);
void velModPut(void);
request_queue_t *velGetRequestQueue(struct block_device *bdev);
void velLockRequestQueue(request_queue_t *q, unsigned long *flags);
void velUnlockRequestQueue(request_queue_t *q, unsigned long *flags);

/* ---- File operations of the control device (vellib; velMMAP under transfer buffer) -------- */

int velOpen(struct inode *inode, struct file *file);
int velRelease(struct inode *inode, struct file *file);
ssize_t velRead(struct file *file, char *buf, size_t count, loff_t *ppos);
ssize_t velWrite(struct file *file, const char *buf, size_t count, loff_t *ppos);
unsigned int velPoll(struct file *file, struct poll_table_struct *wait);
int velIOCTL(struct inode *ino, struct file *file, unsigned int cmd, unsigned long arg);

/* ---- Session record and states (vellib) ------------------------------------------------ */

int ioctlGetState(Backup *b, State *userState, unsigned int stateLen);
int ioctlNoStartAutoMap(Backup *b);
int ioctlNoLoadFromAutoMap(Backup *b);

/* ---- Session start (vellib) ---------------------------------------------------------------- */

int ioctlStartBackup(Backup *b, dev_t kdev, unsigned int totalBlocks_, unsigned int maxCacheBlocks_);
int newBlockTable(Backup *b);
int startWorkQueue(Backup *b);
void allocateBRCache(Backup *b);
int newCacheMap(Backup *b);

/* ---- Snapshot and sync (vel-2.6) ------------------------------------------------------------ */

int ioctlSnapShot(Backup *b, AMSessionKey *userKey, unsigned int keyLen);
int ioctlSync(Backup *b);
struct timespec calcTimeDiff(struct timespec *start, struct timespec *end);

/* ---- Session close (vellib) ----------------------------------------------------------------- */

void closeBackup(Backup *b);
void flushWorkQueue(Backup *b);
void waitForMRs(Backup *b);
void killWorkQueue(Backup *b);
void freeAllMMPages(Backup *b);
void closeBRCache(Backup *b);
void closeCacheMap(Backup *b);
void closeBlockTable(Backup *b);

/* ---- Statistics (vellib) ---------------------------------------------------------------------- */

int getVMAPageCount(Backup *b);
void setStats(Backup *b, Stats *stats);
void printStats(Stats *s);

/* ---- Block device information (vel-2.6) -------------------------------------------------------- */

int getDiskInfo(DiskInfo *diskInfo, dev_t kdev);
void closeDiskInfo(DiskInfo *diskInfo);
request_queue_t *getRequestQueue(DiskInfo *diskInfo);
int ioctlGetBlockSize(Backup *b, dev_t kdev, BlockSize *userBS, unsigned int bsLen);
int BIOToMinor(struct bio *bio);
void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, unsigned int *startBN, unsigned int *endBN);

/* ---- Paged block bitmap (vellib) ---------------------------------------------------------------- */

int newBlockMap(BlockMap *bmap, unsigned int size, char *data, int zeroFill, unsigned int *numPagesAlloc);
int setBlock(BlockMap *bm, unsigned int blockNum);
int unSetBlock(BlockMap *bm, unsigned int blockNum);
int blockInMap(BlockMap *bm, unsigned int blockNum);
void closeBlockMap(BlockMap *bmap, unsigned int *numPagesFreed);
unsigned int numPagesInBlockMap(BlockMap *bmap);
void waitForBlockMapUsers(BlockMap *bm, unsigned long *flags);

/* ---- Backup block map and dirty blocks (vellib) ------------------------------------------------- */

int ioctlLoadBlockMap(Backup *b, UserBlockMap *userBM);
int newBUBlockMap(Backup *b, unsigned int size, char *data);
int cleanUpCache(Backup *b);
void closeBUBlockMap(Backup *b);
int doWeCacheBlock(Backup *b, unsigned int bn);
int ioctlGetDirtyBlock(Backup *b, unsigned int *userBlockNumPtr);
unsigned int anyDirtyBlock(Backup *b);

/* ---- Request-queue registry (vellib) ------------------------------------------------------------- */

void waitForQueueListUsers(unsigned long *flags);
int isInDevList(QueueList *queueList, dev_t kdev);
int addDevToList(QueueList *queueList, dev_t kdev, DevList *newNode);
int isInQueueList(request_queue_t *q, dev_t kdev);
void addQueueToList(request_queue_t *q, dev_t kdev);
make_request_fn *getRealMRF(request_queue_t *q);
int setMRF(Backup *b, make_request_fn *newMRF);
void unSetMRFDEV(DiskInfo *diskInfo);
void unSetMRFAMS(AutoMapSession *ams);
void unsetQueueMRFAMS(request_queue_t *q);
int countQueueAMS(request_queue_t *q);

/* ---- Intercepting request functions (vel-2.6) ----------------------------------------------------- */

int velMRF(request_queue_t *q, struct bio *bio);
int velAMRF(request_queue_t *q, struct bio *bio);
int callRealMRF(Backup *b, struct bio *bio);
int cacheMRFBlock(request_queue_t *q, struct bio *bio, int bioMinor);
int doWeCacheBlocks(Backup *b, unsigned int startBN, unsigned int endBN);
int newMR(Backup *b, request_queue_t *q, struct bio *bio, unsigned int startBN, unsigned int endBN);
void updateAM(struct bio *bio, int bioMinor);

/* ---- Cache worker thread (backup_cache, processMR in vel-2.6; queue in vellib) ------------------- */

int backup_cache(void *data);
void addMRToQueue(Backup *b, MakeRequest *mr);
MakeRequest *getTopMR(Backup *b);
void processMR(Backup *b, MakeRequest *mr);
void closeMR(MakeRequest *mr);

/* ---- Block capture (vel-2.6) ---------------------------------------------------------------------- */

void cacheBlock(Backup *b, MakeRequest *mr, unsigned int blockNum);
void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, unsigned int blockNum);
void velBHEndIO(struct buffer_head *bh, int uptodate);

/* ---- Cache store (vellib) ---------------------------------------------------------------------------- */

int saveBlock(Backup *b, void *data, unsigned int blockNum);
int cacheRead(Backup *b, void *data, unsigned int blockNum);
CachePage *locateBlockInList(CachePage *cp, unsigned int blockNum, CachePage **lastCP);
void freeCachePage(Backup *b, CachePage *cp);
void closeList(Backup *b, CachePage *cp);
void closeCache(Backup *b);
CachePage *getCacheBlock(Backup *b);
void addCPtoBusyList(HashTable *ht, CachePage *cp);

/* ---- Transfer buffer mapping (vellib) ----------------------------------------------------------------- */

int velMMAP(struct file *file, struct vm_area_struct *vma);
struct page *velVMnopage(struct vm_area_struct *vma, unsigned long address, int *unused);
void velVMopen(struct vm_area_struct *vma);
void velVMclose(struct vm_area_struct *vma);
int checkVMA(Backup *b, char *data, BackupVMA **bVMAPtr);
int findVMA(Backup *b, struct vm_area_struct *vmaToFind, BackupVMA **bVMAPtr);
int maxBVMAs(Backup *b, BackupVMA **bVMAPtr);
char *mmPageAddr(Backup *b, int index, BackupVMA *bVMA);
void freeMMPages(Backup *b, BackupVMA *bVMA);

/* ---- Block reads (vel-2.6) ------------------------------------------------------------------------------ */

int ioctlReadBlocks(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, char *data);
int readBlocks(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA);
int readFromCache(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA);
int waitForSubmitted(Backup *b, unsigned int startBlockNum, unsigned int numBlocks);
void readCheckCache(Backup *b, unsigned int startBlockNum, unsigned int numBlocks, BackupVMA *bVMA);
void freeSubmitted(Backup *b, unsigned int numBlocks);
int isRequestSubmitted(Backup *b, int i);
int allocateBlockRequests(Backup *b);
void freeMMBRs(Backup *b);
void initBIO(Backup *b, struct bio *bio, struct buffer_head *bh);
int velBIOEndIO(struct bio *bio, unsigned int bytes_done, int err);

/* ---- Change-tracking session table (vellib) ------------------------------------------------------------- */

int newAMS(Backup *b, AutoMapSession **amSession);
int closeAMS(Backup *b);
void closeAM(AutoMapSession *ams);
void closeAllAMS(void);
void errorAMS(Backup *b);
void errorAMSDEV(dev_t kdev);
void waitForAMSUsers(AutoMapSession *ams, unsigned long *flags);
void waitForAMListUsers(unsigned long *flags);

/* ---- Change-map retrieval (vellib) -------------------------------------------------------------------------- */

int ioctlGetAutoMapState(Backup *b, AutoMapState *userAMS, unsigned int amsLen);
int ioctlGetAutoMap(Backup *b, UserBlockMap *userBM);

#endif /* _VELLIB_H */
