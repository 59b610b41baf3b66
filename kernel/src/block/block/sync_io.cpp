// Synchronous transfers the stand-in makes for itself (raw device I/O, file-system writes
// and reads): caller memory wrapped in pages, bios through generic_make_request, one wait.
#include <linux/errno.h>

#include <algorithm>

#include "block_internal.h"

namespace vkblk {
namespace {

constexpr unsigned kVecsPerBio = 256;

// Outstanding bios of one transfer, on the waiter's stack. `pending` starts one above the
// bio count so that the waiter's own drop after submission decides when everything is
// done. The last completion sets `done` and wakes a hashed queue, never touching the
// record again, so the waiter may return the moment it sees `done`.
struct IoWait {
  std::atomic<int> pending{1};
  std::atomic<int> err{0};
  std::atomic<int> done{0};
};

void finish(IoWait* w) {
  wait_queue_head_t* q = hashed_waitq(w);
  w->done.store(1);
  wake_up_all(q);
}

int sync_end_io(struct bio* bio, unsigned int bytes_done, int err) {
  if (bio->bi_size) return 1;
  auto* w = static_cast<IoWait*>(bio->bi_private);
  if (err) {
    int none = 0;
    w->err.compare_exchange_strong(none, err);
  }
  bio_put(bio);
  if (w->pending.fetch_sub(1) == 1) finish(w);
  return 0;
}

}  // namespace

int submit_and_wait(struct block_device* bdev, unsigned long rw, uint64_t sector, void* buf, size_t len) {
  might_sleep();
  if (len == 0) return 0;
  if (len % 512) return -EINVAL;
  // The caller's bytes as pages: each page record points at 4096 bytes of the buffer.
  size_t npages = (len + PAGE_SIZE - 1) / PAGE_SIZE;
  std::vector<struct page> pages(npages);
  for (size_t k = 0; k < npages; k++) {
    atomic_set(&pages[k]._count, 1);
    pages[k].virt = static_cast<char*>(buf) + k * PAGE_SIZE;
  }
  IoWait w;
  size_t k = 0;
  while (k < npages) {
    size_t n = std::min<size_t>(kVecsPerBio, npages - k);
    struct bio* bio = bio_alloc_nofail((int)n);
    bio->bi_bdev = bdev;
    bio->bi_sector = sector + (k * PAGE_SIZE >> 9);
    bio->bi_rw = rw;
    for (size_t i = 0; i < n; i++) {
      size_t off = (k + i) * PAGE_SIZE;
      unsigned chunk = (unsigned)std::min<size_t>(PAGE_SIZE, len - off);
      bio->bi_io_vec[i] = {&pages[k + i], chunk, 0};
      bio->bi_size += chunk;
    }
    bio->bi_vcnt = (unsigned short)n;
    bio->bi_end_io = sync_end_io;
    bio->bi_private = &w;
    w.pending.fetch_add(1);
    generic_make_request(bio);
    k += n;
  }
  if (machine::Disk* d = bdev_disk(bdev)) engine_kick(d);
  if (w.pending.fetch_sub(1) != 1) wait_event(*hashed_waitq(&w), w.done.load() != 0);
  return w.err.load();
}

}  // namespace vkblk

namespace machine {
namespace {
int raw_io(__kernel_dev_t dev, unsigned long rw, uint64_t byte_off, void* buf, size_t len) {
  if (byte_off % 512 || len % 512) return -EINVAL;
  struct block_device* bdev = bdget(dev);
  if (!bdev) return -ENOMEM;
  int rc = vkblk::submit_and_wait(bdev, rw, byte_off >> 9, buf, len);
  bdput(bdev);
  return rc;
}
}  // namespace

int blk_read(__kernel_dev_t dev, uint64_t byte_off, void* buf, size_t len) {
  return raw_io(dev, READ, byte_off, buf, len);
}

int blk_write(__kernel_dev_t dev, uint64_t byte_off, const void* buf, size_t len) {
  return raw_io(dev, WRITE, byte_off, const_cast<void*>(buf), len);
}

int blk_io(__kernel_dev_t dev, unsigned long rw, uint64_t byte_off, void* buf, size_t len) {
  return raw_io(dev, rw, byte_off, buf, len);
}

// Flushes the disk's cache straight through its flush hook, as the kernel's
// blkdev_issue_flush does, so no request function sees an empty bio.
int blk_flush(__kernel_dev_t dev) {
  struct block_device* bdev = bdget(dev);
  if (!bdev) return -ENOMEM;
  Disk* d = vkblk::bdev_disk(bdev);
  int rc = d ? vkblk::engine_flush(d) : -ENXIO;
  bdput(bdev);
  return rc;
}

}  // namespace machine
