/*
 * vel-2.6-diskinfo.cpp - the description of a partition (DiskInfo), the block-size
 * query, and the translation of an intercepted bio into a partition and its blocks.
 *
 * Block-device references: every DiskInfo whose `bdev` is not null owns one bdget
 * reference to it. getDiskInfo takes it, closeDiskInfo gives it back, and a copy of a
 * DiskInfo that outlives the original (a change-tracking session keeps one after the
 * backup session that made it has closed) is made with copyDiskInfo, which takes a
 * reference of its own for the copy, and is released with closeDiskInfo like any other.
 */
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/blkdev.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>
#include <linux/string.h>
#include "vellib.h"

/* ---- The partition description ------------------------------------------------------------ */

/* Whether the file system's block size is one the module can work with: a power of two
 * from one sector up to one page, so that whole blocks tile a page. */
static int usableBlockSize(unsigned long blockSize) {
  return blockSize >= 512 && blockSize <= VEL_PAGE_SIZE && (blockSize & (blockSize - 1)) == 0;
}

/*
 * Fills diskInfo for the device kdev from its block device and the super block of the
 * file system mounted on it. Returns 0; 8 when nothing is mounted on the device (or it
 * does not exist); 3 when the block size is unusable. `numBlocks` and `realMRF` are left
 * as they are. The record keeps the block device reference (also on failure) until
 * closeDiskInfo; a reference the record already held is given back first. The super
 * block is held only during the call. Takes no lock of the module. May sleep.
 */
int getDiskInfo(DiskInfo *diskInfo, dev_t kdev) {
  struct block_device *bdev;
  struct super_block *sb;
  unsigned long blockSize;
  int spb;
  int shift;

  diskInfo->superBlock = NULL;
  diskInfo->kdev = kdev;

  bdev = bdget(kdev);
  if (diskInfo->bdev != NULL) bdput(diskInfo->bdev);
  diskInfo->bdev = bdev;

  sb = bdev != NULL ? get_super(bdev) : NULL;
  if (sb == NULL) {
    printk("<3>%s: device major=%d minor=%d not found, getting super block failed\n", "getDiskInfo",
           (int)(kdev >> 20), (int)(kdev & 0xFFFFF));
    return velErrNoFileSystem;
  }

  blockSize = sb->s_blocksize;
  if (!usableBlockSize(blockSize)) {
    printk("<4>%s: device %x has bad block size %d\n", "getDiskInfo", kdev, (int)blockSize);
    drop_super(sb);
    return velErrRefused;
  }
  diskInfo->blockSize = (int)blockSize;
  diskInfo->blocksPerPage = VEL_PAGE_SIZE / (unsigned int)blockSize;
  diskInfo->sectorsPerBlock = diskInfo->blockSize >> 9;
  spb = diskInfo->sectorsPerBlock;
  for (shift = 0; (spb & 1) == 0; spb >>= 1) shift++;
  diskInfo->sectorsPerBlockShift = shift;

  diskInfo->partitionStart = bdev->bd_contains == bdev ? 0 : (bdev->bd_part ? bdev->bd_part->start_sect : 0);

  if (bdev->bd_part != NULL)
    diskInfo->partitionLen = bdev->bd_part->nr_sects;
  else if (bdev->bd_disk != NULL)
    diskInfo->partitionLen = get_capacity(bdev->bd_disk);
  else
    printk("<4>%s: can't detect device %x size.\n", "getDiskInfo", kdev);
  diskInfo->partitionSizeKB = diskInfo->partitionLen >> 1;

  drop_super(sb);
  return 0;
}

/* Releases what the record holds: a super block reference (if set) and its block device
 * reference. The record may be filled again afterwards. May sleep. */
void closeDiskInfo(DiskInfo *diskInfo) {
  if (diskInfo->superBlock != NULL) {
    drop_super(diskInfo->superBlock);
    diskInfo->superBlock = NULL;
  }
  if (diskInfo->bdev != NULL) {
    bdput(diskInfo->bdev);
    diskInfo->bdev = NULL;
  }
}

/* Makes `to` a copy of `from` that owns its own block device reference (and never a super
 * block), so each can be released with closeDiskInfo independently. Returns 0, or 5 when
 * no reference could be taken (`to` then has a null bdev). May sleep. */
int copyDiskInfo(DiskInfo *to, DiskInfo *from) {
  memcpy(to, from, sizeof(DiskInfo));
  to->superBlock = NULL;
  if (from->bdev == NULL) return 0;
  to->bdev = bdget(from->kdev);
  return to->bdev != NULL ? 0 : velErrNoMemory;
}

/* The request queue of the record's device, or null without a device or disk. */
request_queue_t *getRequestQueue(DiskInfo *diskInfo) { return velGetRequestQueue(diskInfo->bdev); }

/* ---- The block-size query ------------------------------------------------------------------ */

/*
 * doGetBlockSize: describes device kdev to the agent: min(bsLen, 16) bytes of a BlockSize.
 * Returns 0; getDiskInfo's 3 or 8 (nothing copied); 7 when the copy falls short. Works on
 * any handle in any state, without the session lock. May sleep.
 */
int ioctlGetBlockSize(Backup *b, dev_t kdev, BlockSize *userBS, unsigned int bsLen) {
  BlockSize bs;
  DiskInfo diskInfo;
  unsigned int n;
  int result;

  memset(&bs, 0, sizeof(bs));
  memset(&diskInfo, 0, sizeof(diskInfo));
  bs.major = kdev >> 20;
  bs.minor = kdev & 0xFFFFF;

  result = getDiskInfo(&diskInfo, kdev);
  if (result == 0) {
    bs.blockSize = diskInfo.blockSize;
    bs.partitionSizeKB = (u32)diskInfo.partitionSizeKB;
    n = bsLen < sizeof(BlockSize) ? bsLen : (unsigned int)sizeof(BlockSize);
    if (copy_to_user(userBS, &bs, n) != 0) {
      printk("<3>%s: copy to user space %s\n", "ioctlGetBlockSize", "failed");
      result = velErrCopyToUser;
    }
  }
  closeDiskInfo(&diskInfo);
  return result;
}

/* ---- Bio translation ------------------------------------------------------------------------ */

/*
 * Minor number of the partition holding the bio's first sector (the first partition of
 * the table that holds it), or the whole disk's minor when none does. The bio must already
 * be remapped to its whole disk. Takes no lock: the partition table changes only while
 * the disk is not open, and a task that submits I/O to it has it open. bd_mutex is not
 * taken because a task may submit I/O while holding it (the last close of a block
 * device writes back under it) and would then wait for itself. Never sleeps.
 */
int BIOToMinor(struct bio *bio) {
  struct block_device *bdev = bio->bi_bdev;
  struct gendisk *disk;
  int minor;
  int p;

  disk = bdev->bd_disk;
  if (disk == NULL) {
    minor = (int)(bdev->bd_dev & 0xFFFFF);
  } else {
    minor = disk->first_minor;
    for (p = 1; p < disk->minors; p++) {
      struct hd_struct *part = disk->part ? disk->part[p - 1] : NULL;
      if (part == NULL) continue;
      if (part->start_sect <= bio->bi_sector && bio->bi_sector < part->start_sect + part->nr_sects) {
        minor = disk->first_minor + p;
        break;
      }
    }
  }
  return minor;
}

/*
 * The inclusive range of the partition's blocks that the bio touches, clipped to the
 * partition: a bio starting before the partition counts from its first sector, one
 * running past its end stops at its last sector. The bio's sector is absolute on the
 * whole disk. Never sleeps.
 */
void BIOToBlockNumbers(DiskInfo *diskInfo, struct bio *bio, unsigned int *startBN, unsigned int *endBN) {
  sector_t start;
  sector_t end;

  start = bio->bi_sector >= diskInfo->partitionStart ? bio->bi_sector - diskInfo->partitionStart : 0;
  end = start + (bio->bi_size >> 9);
  if (end != 0) end = end - 1;
  if ((bio->bi_size & 511) != 0) end = end + 1;
  if (end >= diskInfo->partitionLen) end = diskInfo->partitionLen != 0 ? diskInfo->partitionLen - 1 : 0;

  *startBN = (unsigned int)(start >> diskInfo->sectorsPerBlockShift);
  *endBN = (unsigned int)(end >> diskInfo->sectorsPerBlockShift);
}
