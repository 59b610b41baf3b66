/*
 * stats.h - the statistics record gathered from a session when it is closed and written
 * to the kernel log, one value per line.
 */
#ifndef _VEL_STATS_H
#define _VEL_STATS_H

#include <linux/types.h>
#include <linux/time.h>

/*
 * Stats: a plain snapshot of a session's description, limits and counters.
 * Locking: none; filled by setStats while the closing session holds its bSem and
 * writers, then only read by printStats. Allocated, zeroed and freed by the close.
 */
typedef struct Stats {
  u32 driverVerMajor;           /* not filled; 0 */
  u32 driverVerMinor;           /* not filled; 0 */
  u32 driverVerMinor2;          /* not filled; 0 */
  u32 major;                    /* diskInfo.kdev >> 20 */
  u32 minor;                    /* diskInfo.kdev & 0xfffff */
  u32 state;                    /* session state at close */
  u32 partitionStart;           /* first sector of the partition (low 32 bits) */
  int blockSize;                /* bytes */
  int blocksPerPage;            /* blocks in a 4096-byte page */
  u32 partitionSizeKB;          /* KiB (low 32 bits) */
  u32 numBlocks;                /* blocks covered by the backup (low 32 bits) */
  int maxVMPages;               /* pages of transfer buffer allowed per mapping */
  int vmPages;                  /* pages currently mapped (getVMAPageCount) */
  u32 maxCacheBlocks;           /* cache limit, blocks */
  int curAllocAMPages;          /* pages of all change-tracking bitmaps (module-wide) */
  int totalAllocPages;          /* pages allocated for the session, ever */
  int curAllocPages;            /* pages allocated for the session, still held */
  int totalAllocBRs;            /* block read requests, ever */
  int curAllocBRs;              /* block read requests, still held */
  int totalAllocCPs;            /* cached blocks, ever */
  int curAllocCPs;              /* cached blocks, still held */
  int peakAllocCPs;             /* cached blocks, most at once */
  int totalCBs;                 /* cache data buffers, ever */
  int curCBs;                   /* cache data buffers, still held */
  int totalReadBlocks;          /* blocks read from disk for the agent */
  int totalReadCBs;             /* blocks served to the agent from the cache */
  int totalCleanedCBs;          /* cached blocks dropped after the block map load */
  int ioctlCount;               /* commands received on the handle */
  struct timespec eTimeToFreeze;  /* seconds, nanoseconds to freeze the file system */
  struct timespec eTimeFrozen;    /* seconds, nanoseconds the file system stayed frozen */
} Stats;

#endif /* _VEL_STATS_H */
