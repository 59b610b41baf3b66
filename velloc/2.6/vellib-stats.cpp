/*
 * vellib-stats.cpp - the statistics block: a session's description, limits, counters
 * and freeze timings, gathered when a started session is closed and logged one value
 * per line.
 */
#include "vellib.h"

/* getVMAPageCount: pages of the transfer-buffer mappings the agent holds now. */
int getVMAPageCount(Backup *b) {
  int i, pages = 0;
  for (i = 0; i < VEL_NUM_VMAS; i++)
    if (b->vmAreas[i].vma) pages += b->vmAreas[i].vmPages;
  return pages;
}

/*
 * setStats: fills every field of *stats from the session except the driver version.
 * The caller keeps the session from changing (the close holds bSem and writers).
 */
void setStats(Backup *b, Stats *stats) {
  stats->major = (u32)(b->diskInfo.kdev >> 20);
  stats->minor = (u32)(b->diskInfo.kdev & 0xfffff);
  stats->state = velGetState(b);
  stats->partitionStart = (u32)b->diskInfo.partitionStart;
  stats->blockSize = b->diskInfo.blockSize;
  stats->blocksPerPage = (int)b->diskInfo.blocksPerPage;
  stats->partitionSizeKB = (u32)b->diskInfo.partitionSizeKB;
  stats->numBlocks = (u32)b->diskInfo.numBlocks;
  stats->maxVMPages = b->maxVMPages;
  stats->vmPages = getVMAPageCount(b);
  stats->maxCacheBlocks = b->maxCacheBlocks;
  stats->curAllocAMPages = atomic_read(&curAllocAMPages);
  stats->totalAllocPages = atomic_read(&b->totalAllocPages);
  stats->curAllocPages = atomic_read(&b->curAllocPages);
  stats->totalAllocBRs = atomic_read(&b->totalAllocBRs);
  stats->curAllocBRs = atomic_read(&b->curAllocBRs);
  stats->totalAllocCPs = atomic_read(&b->totalAllocCPs);
  stats->curAllocCPs = atomic_read(&b->curAllocCPs);
  stats->peakAllocCPs = atomic_read(&b->peakAllocCPs);
  stats->totalCBs = atomic_read(&b->totalCBs);
  stats->curCBs = atomic_read(&b->curCBs);
  stats->totalReadBlocks = atomic_read(&b->totalReadBlocks);
  stats->totalReadCBs = atomic_read(&b->totalReadCBs);
  stats->totalCleanedCBs = atomic_read(&b->totalCleanedCBs);
  stats->ioctlCount = atomic_read(&b->ioctlCount);
  stats->eTimeToFreeze = b->eTimeToFreeze;
  stats->eTimeFrozen = b->eTimeFrozen;
}

/* printStats: the 26 lines of the statistics block, in their fixed order. */
void printStats(Stats *s) {
  static const char *fn = "printStats";
  printk("<6>%s: device: major(%u) minor(%u)\n", fn, s->major, s->minor);
  printk("<6>%s: state: %u\n", fn, s->state);
  printk("<6>%s: block size: %i\n", fn, s->blockSize);
  printk("<6>%s: partition size (KB): %u\n", fn, s->partitionSizeKB);
  printk("<6>%s: file system size (blocks): %u\n", fn, s->numBlocks);
  printk("<6>%s: pages allocated for write journal: %d\n", fn, s->curAllocAMPages);
  printk("<6>%s: max cache size in blocks: %i\n", fn, (int)s->maxCacheBlocks);
  printk("<6>%s: total pages allocated: %d\n", fn, s->totalAllocPages);
  printk("<6>%s: current pages allocated: %d\n", fn, s->curAllocPages);
  printk("<6>%s: total Block Requests allocated: %d\n", fn, s->totalAllocBRs);
  printk("<6>%s: current Block Requests allocated: %d\n", fn, s->curAllocBRs);
  printk("<6>%s: total cached blocks: %d\n", fn, s->totalAllocCPs);
  printk("<6>%s: current cached blocks: %d\n", fn, s->curAllocCPs);
  printk("<6>%s: peak cached blocks: %d\n", fn, s->peakAllocCPs);
  printk("<6>%s: total block cache data structures: %d\n", fn, s->totalCBs);
  printk("<6>%s: current block cache data structures: %d\n", fn, s->curCBs);
  printk("<6>%s: total reads from disk: %d\n", fn, s->totalReadBlocks);
  printk("<6>%s: total reads from cache: %d\n", fn, s->totalReadCBs);
  printk("<6>%s: blocks cleaned from cache: %d\n", fn, s->totalCleanedCBs);
  printk("<6>%s: partition start (sector): %u\n", fn, s->partitionStart);
  printk("<6>%s: blocks per page: %i\n", fn, s->blocksPerPage);
  printk("<6>%s: max buffer size in pages: %i\n", fn, s->maxVMPages);
  printk("<6>%s: buffer pages allocated: %i\n", fn, s->vmPages);
  printk("<6>%s: commands processed: %d\n", fn, s->ioctlCount);
  printk("<6>%s: time to freeze in seconds: %d.%09d\n", fn, (int)s->eTimeToFreeze.tv_sec,
         (int)s->eTimeToFreeze.tv_nsec);
  printk("<6>%s: time frozen in seconds: %d.%09d\n", fn, (int)s->eTimeFrozen.tv_sec, (int)s->eTimeFrozen.tv_nsec);
}
