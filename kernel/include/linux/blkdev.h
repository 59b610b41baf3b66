#ifndef _VK_LINUX_BLKDEV_H
#define _VK_LINUX_BLKDEV_H
#include <linux/bio.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/spinlock.h>

struct request_queue;
typedef struct request_queue request_queue_t;
/* Takes the bio; 0 when it has been handled, non-zero asks generic_make_request to
 * submit it again (to the function now in the slot). */
typedef int(make_request_fn)(request_queue_t *q, struct bio *bio);

struct request_queue {
  int (*make_request_fn)(struct request_queue *q, struct bio *bio); /* read and replaced under queue_lock */
  spinlock_t *queue_lock;           /* points at __queue_lock */
  spinlock_t __queue_lock;
  void *queuedata;                  /* the disk's private record */
};

/* Remaps a partition's bio to its disk (absolute sector, whole-disk bi_bdev) and hands it to
 * the queue's make_request_fn, again while that answers non-zero. Ends the bio with -EIO
 * when it runs past the device or the device has no queue. */
void generic_make_request(struct bio *bio);
void submit_bio(int rw, struct bio *bio);
void blk_queue_make_request(request_queue_t *q, make_request_fn *mfn);
/* Sends the queue's plugged bios to the disk now (the engine holds a burst briefly so that
 * consecutive bios merge; waiting on a buffer does this by itself). Any context. */
void generic_unplug_device(request_queue_t *q);
static inline request_queue_t *bdev_get_queue(struct block_device *bdev) {
  return bdev->bd_disk ? bdev->bd_disk->queue : nullptr;
}
#endif
