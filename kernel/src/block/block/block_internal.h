// The block layer's own records, shared by its sources and the file systems above it.
// Not included by module code.
#pragma once
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/sched.h>
#include <linux/wait.h>

#include <machine/disk.h>
#include <machine/kernel.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "host/block_host.h"
#include "host/host.h"
#include "src/core/lib/raw_lock.h"

namespace vkblk {

// ---- block devices -----------------------------------------------------------------------
// One node per device number ever looked up or attached, like the kernel's bdev inodes.
// The block_device comes first so that a block_device* is a BdevNode*.
// Thread-safety: the registry lock guards `attached`, `disk`, `partno` and the bd_* fields
// that attach and detach change; bd_count is atomic.
struct BdevNode {
  struct block_device bd;
  struct semaphore mount_sem;  // held from freeze_bdev to thaw_bdev (one freeze at a time)
  machine::Disk* disk;         // the attached disk, null while not attached
  int partno;                  // 0 for the whole disk
  bool attached;
};
inline BdevNode* node_of(struct block_device* bdev) { return reinterpret_cast<BdevNode*>(bdev); }

// Makes the node of `dev` part of an attached disk. Null with *err when the number is
// attached already. Never sleeps.
struct block_device* bdev_attach(dev_t dev, machine::Disk* d, int partno, struct gendisk* gd,
                                 struct hd_struct* part, struct block_device* contains, std::string* err);
// Cuts the node off its disk; it stays valid while bdget references remain.
void bdev_detach(struct block_device* bdev);
// The disk a device belongs to, or null.
machine::Disk* bdev_disk(struct block_device* bdev);

// ---- accounting and waiting --------------------------------------------------------------
inline void account(machine::Obj kind, int delta) { machine::live_add(kind, delta); }
// One of a few long-lived wait queues, chosen by the address of the object waited on, as
// the kernel's bit wait tables are. A waker sets its object's condition and wakes the
// queue; since the queue is never freed, the waiter may free the object the moment it
// sees the condition.
wait_queue_head_t* hashed_waitq(const void* object);

// ---- unlocks from completion routines -----------------------------------------------------
// A completion routine may unlock a buffer and then still drop its reference or touch its
// bio, while the owner frees both as soon as wait_on_buffer returns. So the engine runs
// completions between these two calls, and buffer unlocks made in between take effect
// (bit cleared, waiters woken) only when the routines have returned. Same thread only.
void completion_begin();
void completion_end();

// ---- bios the stand-in itself submits ----------------------------------------------------
// Like the kernel's mempool-backed allocation: never fails and never fault-injected, so a
// fault sweep only hits the calls the module makes. Counted as a live bio.
struct bio* bio_alloc_nofail(int nr_iovecs);

// Transfers `len` bytes (a multiple of 512) at `sector` of bdev through
// generic_make_request and waits for every bio. Returns 0, or the first negative errno.
// May sleep; the caller's buffer must stay valid until it returns.
int submit_and_wait(struct block_device* bdev, unsigned long rw, uint64_t sector, void* buf, size_t len);

// ---- the disk's own request function and engine -------------------------------------------
int disk_make_request(request_queue_t* q, struct bio* bio);
int engine_start(machine::Disk* d, unsigned threads, std::string* err);
void engine_stop(machine::Disk* d);
// Ends the plug: in process context the caller transfers and completes the queued bios
// itself (as interrupt context); elsewhere, or in random-completion mode, they go to the
// engine threads now. Any context.
void engine_kick(machine::Disk* d);
// Makes completed writes durable (the disk's cache flush). May sleep.
int engine_flush(machine::Disk* d);

}  // namespace vkblk

// An attached disk: the kernel-visible records and the stand-in's backing store and engine.
// Thread-safety: the records are set up before the disk is published and torn down after
// the engine stopped; `errors` and the random-completion settings are under `cfg_lock`;
// the memory store is under `mem_lock`; counters are atomic.
struct machine::Disk {
  struct gendisk gd {};
  struct request_queue queue {};
  std::vector<std::unique_ptr<struct hd_struct>> parts;  // storage for gd.part entries
  std::vector<struct hd_struct*> part_ptrs;              // gd.part, minors-1 entries
  std::vector<struct block_device*> devs;                // [0] whole disk, [p] partition p
  DiskOptions opts;

  // Backing store: an image file (fd >= 0) or host memory.
  int fd = -1;
  unsigned char* mem = nullptr;
  uint64_t bytes = 0;
  vk::RawLock mem_lock;

  // Engine.
  blkhost::WorkQueue* wq = nullptr;
  host::Threads* threads = nullptr;
  std::atomic<uint64_t> completed{0};
  std::atomic<uint64_t> merged{0};

  struct ErrRange {
    uint64_t first, count;
    Dir dir;
  };
  vk::RawLock cfg_lock;
  std::vector<ErrRange> errors;
  std::atomic<size_t> nerrors{0};  // errors.size(), read without the lock on the I/O path
  bool random_completion = false;
  unsigned max_delay_us = 0;
  uint64_t rng = 1;
  std::atomic<bool> random_on{false};
};

namespace vkblk {
// ---- MBR partition tables ------------------------------------------------------------------
// Reads the four primary entries of a boot sector. Returns false when the sector holds no
// partition table (no 0x55AA signature, or an entry with an invalid boot flag); otherwise
// fills parts[0..3], sectors 0 for an empty slot, clipped to the disk's capacity.
bool mbr_parse(const unsigned char* sector, uint64_t capacity, machine::PartitionSpec parts[4]);
// Writes a boot sector listing up to four partitions (an entry of 0 sectors is an empty
// slot, so partition numbers follow list positions). Returns 0, or -EINVAL with *err when
// they do not fit the disk or 32-bit sector fields.
int mbr_build(unsigned char* sector, const std::vector<machine::PartitionSpec>& parts, uint64_t disk_sectors,
              std::string* err);
}  // namespace vkblk

namespace vkblk {
// Copies between the disk's backing store and caller memory at a byte offset. Returns 0,
// or -EIO past the end or on a host error. Blocks on the image file; never sleeps in the
// kernel's sense.
int backing_transfer(machine::Disk* d, bool write, const blkhost::Seg* segs, int nsegs, uint64_t off);
}  // namespace vkblk
