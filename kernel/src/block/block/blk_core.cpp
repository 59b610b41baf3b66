// Submission: generic_make_request with partition remapping and the queue's request
// function slot.
#include <linux/errno.h>

#include "block_internal.h"
#include "src/core/sched/sched_point.h"

namespace {

// Sectors of the device the bio names: its partition's length, or the disk's capacity.
// 0 when the device has no disk.
sector_t device_sectors(struct block_device* bdev) {
  if (!bdev->bd_disk) return 0;
  if (bdev->bd_part) return bdev->bd_part->nr_sects;
  return get_capacity(bdev->bd_disk);
}

void bad_sector(struct bio* bio, sector_t limit) {
  char name[BDEVNAME_SIZE];
  printk("<4>attempt to access beyond end of device\n");
  printk("<4>%s: rw=%lu, want=%llu, limit=%llu\n", bdevname(bio->bi_bdev, name), bio->bi_rw,
         (unsigned long long)(bio->bi_sector + bio_sectors(bio)), (unsigned long long)limit);
}

}  // namespace

namespace {
// Hands the bio to its device's queue: a partition's bio is first remapped to the whole
// disk (absolute sector, whole-disk bi_bdev); then the function in the queue's
// make_request_fn slot (read under queue_lock) is called, again as long as it answers
// non-zero (it may have pointed the bio elsewhere). A bio past the end of its device, or
// for a device without a disk or queue, is ended with -EIO. May sleep (the function in the
// slot may); the bio belongs to the queue from here on.
void make_request(struct bio* bio) {
  int ret;
  do {
    struct block_device* bdev = bio->bi_bdev;
    request_queue_t* q = bdev ? bdev_get_queue(bdev) : nullptr;
    if (!q) {
      char name[BDEVNAME_SIZE];
      printk("<3>generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
             bdev ? bdevname(bdev, name) : "(null)", (unsigned long long)bio->bi_sector);
      bio_endio(bio, bio->bi_size, -EIO);
      return;
    }
    sector_t limit = device_sectors(bdev);
    sector_t nr = bio_sectors(bio);
    if (limit < nr || limit - nr < bio->bi_sector) {
      bad_sector(bio, limit);
      bio_endio(bio, bio->bi_size, -EIO);
      return;
    }
    if (bdev->bd_part && bdev->bd_contains && bdev->bd_contains != bdev) {
      bio->bi_sector += bdev->bd_part->start_sect;
      bio->bi_bdev = bdev->bd_contains;
    }
    unsigned long flags;
    spin_lock_irqsave(q->queue_lock, flags);
    make_request_fn* fn = q->make_request_fn;
    spin_unlock_irqrestore(q->queue_lock, flags);
    if (!fn) {
      bio_endio(bio, bio->bi_size, -EIO);
      return;
    }
    ret = fn(q, bio);
  } while (ret);
}
}  // namespace

void generic_make_request(struct bio* bio) {
  might_sleep();
  vk::point(machine::Point::bio_submit, "generic_make_request", bio);
  // While the bio is handed on, a mutex the task already holds that a make-request
  // function takes again is flagged as the deadlock it would be (see mutex.cpp).
  struct task_struct* task = get_current();
  ++task->io_submit_depth;
  make_request(bio);
  --task->io_submit_depth;
}

void submit_bio(int rw, struct bio* bio) {
  bio->bi_rw |= (unsigned long)rw;
  generic_make_request(bio);
}

void blk_queue_make_request(request_queue_t* q, make_request_fn* mfn) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  q->make_request_fn = mfn;
  spin_unlock_irqrestore(q->queue_lock, flags);
}

// Starts the queue's held bios now instead of when its plug times out. Any context.
void generic_unplug_device(request_queue_t* q) {
  if (q && q->queuedata) vkblk::engine_kick(static_cast<machine::Disk*>(q->queuedata));
}
