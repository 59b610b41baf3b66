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
#include <asm/system.h>
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
extern spinlock_t busyLock;                      /* test-and-set / clearing of busy; innermost */
extern Backup *activeSession;                    /* session under copy-on-write, or null. activeSessionUsers */
extern struct rw_semaphore activeSessionUsers;   /* read: interception uses activeSession; write: close clears it */
extern struct semaphore signalThread;            /* wakes the worker; count 1 at load (velInit) */
extern pid_t backup_cachePID;                    /* worker's pid; 0 or negative when there is none */
/* The worker's pid is set by a start and cleared by a close on other handles' threads. */
static inline pid_t workerPID(void) { return __atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST); }
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
/* A copy of `from` holding its own block-device reference, for a record that outlives the
 * original (a change-tracking session's copy); release it with closeDiskInfo. 0, or 5. */
int copyDiskInfo(DiskInfo *to, DiskInfo *from);
request_queue_t *getRequestQueue(DiskInfo *diskInfo);
int ioctlGetBlockSize(Backup *b, dev_t kdev, BlockSize *userBS, unsigned int bsLen);
int BIOToMinor(struct bio *bio);
void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, unsigned int *startBN, unsigned int *endBN);

/* ---- Paged block bitmap (vellib) ---------------------------------------------------------------- */

/* Makes *bm an empty map (no pages) whose users gate and semaphore are ready. */
void initBlockMap(BlockMap *bm);
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

/* ---- Session state word ---------------------------------------------------------------------------
 * `state` is read and written without a common lock (write path, worker, commands); each access is
 * one untorn atomic load, exchange or compare-and-exchange. A session leaves its working states (6
 * or less) once, for an error of the write path or for the close: whichever comes first stays, and
 * a closing session is never put back into an error. */
static inline u32 velGetState(Backup *b) { return __atomic_load_n(&b->state, __ATOMIC_SEQ_CST); }
static inline void velSetState(Backup *b, u32 s) { set_mb(b->state, s); }
/* Moves the session from a working state into `to`; returns the state it found, which is the
 * one it left when that was a working state (and stays otherwise). Any context. */
static inline u32 velLeaveWorkingStates(Backup *b, u32 to) {
  u32 cur = velGetState(b), seen;
  while (cur <= stateMapLoaded && (seen = cmpxchg(&b->state, cur, to)) != cur) cur = seen;
  return cur;
}
/* Moves the session from a working state into errorState; returns 1 if it did, 0 when the session
 * was already closing or in an error state (which then stays). Any context. */
static inline int velEnterErrorState(Backup *b, u32 errorState) {
  return velLeaveWorkingStates(b, errorState) <= stateMapLoaded;
}

/* ---- Request kinds --------------------------------------------------------------------------------
 * From the low two bits of bi_rw: 0 read, 1 write, 2 read-ahead, 3 write with the read-ahead hint.
 * A bio with the write bit set is a write whatever the read-ahead bit says: it must be captured,
 * marked and tracked like any other write. */
static inline int velRWIsWrite(unsigned long rw) { return (rw & 1ul) != 0; }
static inline int velRWIsReadAhead(unsigned long rw) { return (rw & 3ul) == 2ul; }

/* ---- Intercepting request functions (vel-2.6) ----------------------------------------------------- */

int velMRF(request_queue_t *q, struct bio *bio);
int velAMRF(request_queue_t *q, struct bio *bio);
int callRealMRF(Backup *b, struct bio *bio);
int cacheMRFBlock(request_queue_t *q, struct bio *bio, int bioMinor);
int doWeCacheBlocks(Backup *b, unsigned int startBN, unsigned int endBN);
int newMR(Backup *b, request_queue_t *q, struct bio *bio, unsigned int startBN, unsigned int endBN);
void updateAM(struct bio *bio, int bioMinor);
/* Returns once no interception that found b as the active session can still touch the
 * record (mrfUsers back at 0). Called by the close after it has withdrawn activeSession
 * and released writers, before the record is freed. May sleep. */
void waitForMRFUsers(Backup *b);
/* Added to mrfUsers while the close waits: the last interception out then sees exactly this
 * value, and only then wakes mrfUsersWait (under mrLock). */
#define VEL_MRF_CLOSE_BIAS 0x40000000

/* ---- Cache worker thread (backup_cache, processMR in vel-2.6; queue in vellib) ------------------- */

int backup_cache(void *data);
void addMRToQueue(Backup *b, MakeRequest *mr);
MakeRequest *getTopMR(Backup *b);
void processMR(Backup *b, MakeRequest *mr);
void closeMR(MakeRequest *mr);

/* ---- Block capture (vel-2.6) ---------------------------------------------------------------------- */

void cacheBlock(Backup *b, MakeRequest *mr, unsigned int blockNum);
/* The worker serves held bios in batches: at most VEL_MR_BATCH bios whose writes touch at
 * most VEL_CAPTURE_BATCH blocks; cacheMRBlocks captures all of a batch's blocks at once. */
#define VEL_MR_BATCH 64
#define VEL_CAPTURE_BATCH 256
void cacheMRBlocks(Backup *b, MakeRequest **mrs, int numMRs);
void initBH(Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, unsigned int blockNum);
void velBHEndIO(struct buffer_head *bh, int uptodate);

/* ---- Cache store (vellib) ---------------------------------------------------------------------------- */

int saveBlock(Backup *b, void *data, unsigned int blockNum);
int cacheRead(Backup *b, void *data, unsigned int blockNum);
int cacheHoldsBlock(Backup *b, unsigned int blockNum);
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
/* A block read copies the slot of its mapping with one extra reference on each page
 * covering the `bytes` it writes (holdVMAPages: 1 found, 0 no mapping starts at data), so
 * an unmap while the read fills the buffer cannot free those pages; releaseVMAPages drops
 * them. Neither sleeps. */
int holdVMAPages(Backup *b, char *data, unsigned long long bytes, BackupVMA *hold);
void releaseVMAPages(BackupVMA *hold);

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
/* amList slot of a device; null for a device whose major or minor is 256 or more (no slot). */
AutoMapSession **amListSlot(dev_t kdev);
/* Reader side of a users gate (count, lock): returns counted in while no writer holds the
 * gate closed; leave with atomic_dec(users). Never sleeps. */
void enterUsersGate(atomic_t *users, spinlock_t *lock);
/* amList users gate, reader side: enter / leave (atomic decrement). */
void enterAMListUsers(void);
void leaveAMListUsers(void);
/* Reference protocol in one call: the device's automap with a user reference held (drop it
 * with putAMS), or null. Never sleeps. */
AutoMapSession *getAMS(dev_t kdev);
void putAMS(AutoMapSession *ams);
/* Snapshot pins: the caller must hold a reference (getAMS) when it pins; the pin keeps the
 * record alive after the reference is dropped - closeAM (closeAMS, closeAllAMS) waits for
 * every pin to go before it frees the record. Never sleep. */
void pinAMS(AutoMapSession *ams);
void unpinAMS(AutoMapSession *ams);
/* An automap's state is one word read and written without a lock (the write path reads it
 * while error paths and the snapshot change it): read and write it whole through these. */
static inline u32 getAMSState(AutoMapSession *ams) { return __atomic_load_n(&ams->state, __ATOMIC_RELAXED); }
static inline void setAMSState(AutoMapSession *ams, u32 state) { __atomic_store_n(&ams->state, state, __ATOMIC_RELAXED); }

/* ---- Change-map retrieval (vellib) -------------------------------------------------------------------------- */

int ioctlGetAutoMapState(Backup *b, AutoMapState *userAMS, unsigned int amsLen);
int ioctlGetAutoMap(Backup *b, UserBlockMap *userBM);

#endif /* _VELLIB_H */
