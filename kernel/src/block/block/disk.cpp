// Attaching disks: backing store, gendisk with the MBR's partitions, request queue, device
// numbers; the disk's accessors and test controls.
#include <linux/errno.h>

#include <cstdlib>
#include <cstring>

#include "block_internal.h"
#include "src/core/sched/shake.h"

using machine::Disk;
using machine::DiskOptions;
using machine::PartitionSpec;

namespace vkblk {

int backing_transfer(Disk* d, bool write, const blkhost::Seg* segs, int nsegs, uint64_t off) {
  uint64_t total = 0;
  for (int i = 0; i < nsegs; i++) total += segs[i].len;
  if (off > d->bytes || total > d->bytes - off) return -EIO;
  if (d->fd >= 0) return write ? blkhost::file_writev(d->fd, segs, nsegs, off) : blkhost::file_readv(d->fd, segs, nsegs, off);
  // Memory: one lock so that overlapping transfers are whole, as a disk's sectors are.
  vk::RawGuard g(&d->mem_lock);
  for (int i = 0; i < nsegs; i++) {
    if (write)
      memcpy(d->mem + off, segs[i].base, segs[i].len);
    else
      memcpy(segs[i].base, d->mem + off, segs[i].len);
    off += segs[i].len;
  }
  return 0;
}

}  // namespace vkblk

namespace {

void set_err(std::string* err, const std::string& msg) {
  if (err) *err = msg;
}

void free_disk(Disk* d) {
  for (auto* bdev : d->devs) vkblk::bdev_detach(bdev);
  d->devs.clear();
  if (d->fd >= 0) blkhost::file_close(d->fd);
  free(d->mem);
  delete d;
}

// Builds the kernel's view of a disk whose backing store is set, and starts its engine.
// Takes d; null with *err on failure.
Disk* finish_attach(Disk* d, const DiskOptions& o, std::string* err) {
  d->opts = o;
  if (o.major == 0 || o.major >= (1u << 12)) {
    set_err(err, "major number out of range");
    free_disk(d);
    return nullptr;
  }
  if (o.minors == 0 || o.first_minor >= (1u << MINORBITS) || o.minors > (1u << MINORBITS) - o.first_minor) {
    set_err(err, "minor numbers out of range");
    free_disk(d);
    return nullptr;
  }
  if (o.name.empty() || o.name.size() >= sizeof(d->gd.disk_name)) {
    set_err(err, "bad disk name");
    free_disk(d);
    return nullptr;
  }
  d->bytes &= ~uint64_t(511);
  if (d->bytes < 512) {
    set_err(err, "a disk needs at least one sector");
    free_disk(d);
    return nullptr;
  }
  sector_t capacity = d->bytes >> 9;

  unsigned char boot[512];
  blkhost::Seg seg{boot, sizeof boot};
  if (vkblk::backing_transfer(d, false, &seg, 1, 0) != 0) {
    set_err(err, "cannot read the boot sector");
    free_disk(d);
    return nullptr;
  }
  PartitionSpec table[4];
  bool has_table = vkblk::mbr_parse(boot, capacity, table);

  d->part_ptrs.assign(o.minors - 1, nullptr);
  if (has_table) {
    for (int i = 0; i < 4 && i + 1 < (int)o.minors; i++) {
      if (table[i].sectors == 0) continue;
      auto hd = std::make_unique<struct hd_struct>();
      hd->start_sect = table[i].start_sector;
      hd->nr_sects = table[i].sectors;
      hd->partno = i + 1;
      d->part_ptrs[i] = hd.get();
      d->parts.push_back(std::move(hd));
    }
  }

  struct gendisk* gd = &d->gd;
  gd->major = (int)o.major;
  gd->first_minor = (int)o.first_minor;
  gd->minors = (int)o.minors;
  snprintf(gd->disk_name, sizeof gd->disk_name, "%s", o.name.c_str());
  gd->part = d->part_ptrs.empty() ? nullptr : d->part_ptrs.data();
  gd->queue = &d->queue;
  gd->private_data = d;
  gd->capacity = capacity;

  spin_lock_init(&d->queue.__queue_lock);
  d->queue.queue_lock = &d->queue.__queue_lock;
  d->queue.make_request_fn = vkblk::disk_make_request;
  d->queue.queuedata = d;

  // A shaken run completes every disk's bios out of order, from its own seed.
  uint64_t shaken = vk::shake::seed_for(o.major * 256 + o.first_minor);
  d->random_completion = o.random_completion || shaken;
  d->max_delay_us = o.max_delay_us;
  d->rng = shaken ? shaken : o.seed ? o.seed : 1;
  d->random_on.store(d->random_completion);

  d->devs.assign(o.minors, nullptr);
  struct block_device* whole = vkblk::bdev_attach(MKDEV(o.major, o.first_minor), d, 0, gd, nullptr, nullptr, err);
  if (!whole) {
    free_disk(d);
    return nullptr;
  }
  d->devs[0] = whole;
  for (unsigned p = 1; p < o.minors; p++) {
    struct hd_struct* hd = d->part_ptrs[p - 1];
    if (!hd) continue;
    struct block_device* b = vkblk::bdev_attach(MKDEV(o.major, o.first_minor + p), d, (int)p, gd, hd, whole, err);
    if (!b) {
      free_disk(d);
      return nullptr;
    }
    d->devs[p] = b;
  }
  if (vkblk::engine_start(d, o.io_threads ? o.io_threads : 1, err) != 0) {
    free_disk(d);
    return nullptr;
  }
  return d;
}

}  // namespace

namespace machine {

Disk* disk_attach_image(const std::string& path, const DiskOptions& o, std::string* err) {
  int fd = blkhost::file_open(path, false, err);
  if (fd < 0) return nullptr;
  int64_t size = blkhost::file_size(fd);
  if (size < 0) {
    set_err(err, "cannot size " + path);
    blkhost::file_close(fd);
    return nullptr;
  }
  auto* d = new Disk;
  d->fd = fd;
  d->bytes = (uint64_t)size;
  return finish_attach(d, o, err);
}

Disk* disk_attach_memory(uint64_t bytes, const DiskOptions& o, std::string* err) {
  auto* d = new Disk;
  d->bytes = bytes;
  d->mem = static_cast<unsigned char*>(calloc(1, bytes ? bytes : 1));  // large sizes stay untouched zero pages
  if (!d->mem) {
    set_err(err, "no memory for the disk");
    delete d;
    return nullptr;
  }
  return finish_attach(d, o, err);
}

Disk* disk_attach_memory_partitioned(uint64_t bytes, const std::vector<PartitionSpec>& parts, const DiskOptions& o,
                                     std::string* err) {
  unsigned char boot[512];
  if (vkblk::mbr_build(boot, parts, bytes >> 9, err) != 0) return nullptr;
  auto* d = new Disk;
  d->bytes = bytes;
  d->mem = static_cast<unsigned char*>(calloc(1, bytes > 512 ? bytes : 512));
  if (!d->mem) {
    set_err(err, "no memory for the disk");
    delete d;
    return nullptr;
  }
  memcpy(d->mem, boot, sizeof boot);
  return finish_attach(d, o, err);
}

// Stops the engine (every queued bio completes first), detaches the device numbers and
// frees the disk. Block devices still referenced by bdget stay, with bd_disk null.
void disk_detach(Disk* d) {
  if (!d) return;
  vkblk::engine_stop(d);
  free_disk(d);
}

__kernel_dev_t disk_dev(Disk* d) { return MKDEV(d->opts.major, d->opts.first_minor); }

__kernel_dev_t partition_dev(Disk* d, int partno) {
  if (partno < 1 || partno >= (int)d->opts.minors || !d->part_ptrs[partno - 1]) return 0;
  return MKDEV(d->opts.major, d->opts.first_minor + partno);
}

// The highest partition number present (partitions may have gaps; see partition_dev).
int partition_count(Disk* d) {
  int n = 0;
  for (size_t i = 0; i < d->part_ptrs.size(); i++)
    if (d->part_ptrs[i]) n = (int)i + 1;
  return n;
}

uint64_t partition_start(Disk* d, int partno) {
  if (partno == 0) return 0;
  if (partno < 0 || partno >= (int)d->opts.minors || !d->part_ptrs[partno - 1]) return 0;
  return d->part_ptrs[partno - 1]->start_sect;
}

uint64_t partition_sectors(Disk* d, int partno) {
  if (partno == 0) return d->gd.capacity;
  if (partno < 0 || partno >= (int)d->opts.minors || !d->part_ptrs[partno - 1]) return 0;
  return d->part_ptrs[partno - 1]->nr_sects;
}

uint64_t disk_sectors(Disk* d) { return d->gd.capacity; }

int disk_pread(Disk* d, uint64_t byte_off, void* buf, size_t len) {
  blkhost::Seg seg{buf, len};
  return vkblk::backing_transfer(d, false, &seg, 1, byte_off);
}

int disk_pwrite(Disk* d, uint64_t byte_off, const void* buf, size_t len) {
  blkhost::Seg seg{const_cast<void*>(buf), len};
  return vkblk::backing_transfer(d, true, &seg, 1, byte_off);
}

void disk_inject_error(Disk* d, uint64_t first_sector, uint64_t count, Dir dir) {
  vk::RawGuard g(&d->cfg_lock);
  d->errors.push_back({first_sector, count, dir});
  d->nerrors.store(d->errors.size());
}

void disk_clear_errors(Disk* d) {
  vk::RawGuard g(&d->cfg_lock);
  d->errors.clear();
  d->nerrors.store(0);
}

void disk_set_random_completion(Disk* d, bool on, unsigned max_delay_us, uint64_t seed) {
  vk::RawGuard g(&d->cfg_lock);
  on = on || vk::shake::on();  // a shaken run keeps its random order
  d->random_completion = on;
  d->max_delay_us = max_delay_us;
  d->rng = seed ? seed : 1;
  d->random_on.store(on);
}

uint64_t disk_completed_bios(Disk* d) { return d->completed.load(); }
uint64_t disk_merged_bios(Disk* d) { return d->merged.load(); }
uint64_t disk_plug_timer_arms(Disk* d) { return d->wq ? blkhost::wq_timer_arms(d->wq) : 0; }

}  // namespace machine
