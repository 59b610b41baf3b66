// The disk's own request function and its asynchronous I/O engine: bios are queued by the
// submitting task, picked up by engine threads (consecutive ones merged into one vectored
// transfer), and completed on those threads as interrupt context. A task about to wait
// for its bios unplugs the queue and, like the kernel's unplug running the driver in the
// caller's context, transfers what is queued itself, completing it as interrupt context
// too. In random-completion mode the engine takes small batches, shuffles them and delays
// each bio, so completions arrive out of order; nothing is then run by the waiter.
#include <linux/errno.h>

#include <algorithm>
#include <cstdio>

#include "block_internal.h"

using machine::Disk;

namespace vkblk {
namespace {

constexpr unsigned kPlugUs = 100;         // a burst nobody unplugs goes to the engine threads after this
constexpr size_t kUnplugCount = 1024;     // a burst this long goes to them at once
constexpr size_t kBatch = 256;            // bios one engine thread takes at a time
constexpr size_t kRandomBatch = 4;        // smaller in random mode so threads interleave
constexpr uint64_t kMaxMerge = 4u << 20;  // bytes of one merged transfer

uint64_t next_rand(uint64_t* s) {
  uint64_t x = *s;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return *s = x;
}

// The error this bio is to end with, decided on the submitting task so that fault
// injection counts the submitter's calls: an injected sector range of its direction, or a
// disk_read/disk_write fault. Never sleeps.
int preset_error(Disk* d, struct bio* bio) {
  bool write = bio_data_dir(bio) == WRITE;
  uint64_t first = bio->bi_sector;
  uint64_t count = std::max<uint64_t>(1, bio_sectors(bio));
  if (d->nerrors.load(std::memory_order_acquire) != 0) {
    vk::RawGuard g(&d->cfg_lock);
    for (const auto& r : d->errors) {
      bool dir_ok = r.dir == machine::Dir::both || (r.dir == machine::Dir::write) == write;
      if (dir_ok && first < r.first + r.count && r.first < first + count) return -EIO;
    }
  }
  if (machine::should_fail(write ? machine::Fault::disk_write : machine::Fault::disk_read)) return -EIO;
  return 0;
}

// Appends the bio's data segments (bi_idx onwards, bi_size bytes). False for a malformed
// bio (no page, or its vectors shorter than bi_size).
bool add_segs(struct bio* bio, std::vector<blkhost::Seg>* segs) {
  unsigned left = bio->bi_size;
  for (unsigned i = bio->bi_idx; i < bio->bi_vcnt && left > 0; i++) {
    struct bio_vec* v = &bio->bi_io_vec[i];
    if (!v->bv_page || !v->bv_page->virt) return false;
    unsigned len = std::min(v->bv_len, left);
    segs->push_back({static_cast<char*>(v->bv_page->virt) + v->bv_offset, len});
    left -= len;
  }
  return left == 0;
}

// Ends bios [first, last) with err, as interrupt context.
void complete(Disk* d, const blkhost::Item* items, size_t first, size_t last, int err) {
  machine::run_in_interrupt([&] {
    completion_begin();
    for (size_t k = first; k < last; k++) {
      auto* bio = static_cast<struct bio*>(items[k].ptr);
      bio_endio(bio, bio->bi_size, err);
    }
    completion_end();
  });
  d->completed.fetch_add(last - first);
}

// Transfers the bios in queue order, merging runs of the same direction whose sectors
// follow each other.
void run_merged(Disk* d, const blkhost::Item* items, size_t n, std::vector<blkhost::Seg>* segs) {
  const size_t max_segs = (size_t)blkhost::max_segs();
  size_t i = 0;
  while (i < n) {
    auto* head = static_cast<struct bio*>(items[i].ptr);
    if (items[i].tag != 0) {
      complete(d, items, i, i + 1, (int)items[i].tag);
      i++;
      continue;
    }
    segs->clear();
    if (!add_segs(head, segs)) {
      complete(d, items, i, i + 1, -EIO);
      i++;
      continue;
    }
    bool write = bio_data_dir(head) == WRITE;
    uint64_t end = head->bi_sector + bio_sectors(head);
    uint64_t bytes = head->bi_size;
    size_t j = i + 1;
    struct bio* last = head;
    while (j < n && items[j].tag == 0) {
      auto* next = static_cast<struct bio*>(items[j].ptr);
      if ((bio_data_dir(next) == WRITE) != write || next->bi_sector != end || (last->bi_size & 511) ||
          bytes + next->bi_size > kMaxMerge || segs->size() + next->bi_vcnt > max_segs)
        break;
      size_t mark = segs->size();
      if (!add_segs(next, segs)) {
        segs->resize(mark);
        break;
      }
      end += bio_sectors(next);
      bytes += next->bi_size;
      last = next;
      j++;
    }
    int err = backing_transfer(d, write, segs->data(), (int)segs->size(), head->bi_sector << 9);
    d->merged.fetch_add(j - i - 1);
    complete(d, items, i, j, err);
    i = j;
  }
}

// Shuffles the batch and serves each bio alone after a random delay.
void run_random(Disk* d, blkhost::Item* items, size_t n, std::vector<blkhost::Seg>* segs) {
  std::vector<unsigned> delays(n);
  {
    vk::RawGuard g(&d->cfg_lock);
    for (size_t k = n; k > 1; k--) std::swap(items[k - 1], items[next_rand(&d->rng) % k]);
    for (size_t k = 0; k < n; k++) delays[k] = (unsigned)(next_rand(&d->rng) % (d->max_delay_us + 1));
  }
  for (size_t k = 0; k < n; k++) {
    if (delays[k]) host::sleep_ns(int64_t(delays[k]) * 1000);
    run_merged(d, items + k, 1, segs);
  }
}

void engine_thread(void* arg, unsigned index) {
  auto* d = static_cast<Disk*>(arg);
  char name[16];
  snprintf(name, sizeof name, "kblockd/%u", index);
  machine::adopt_thread(name);
  std::vector<blkhost::Item> items(kBatch);
  std::vector<blkhost::Seg> segs;
  segs.reserve(1024);
  for (;;) {
    bool random = d->random_on.load();
    size_t n = blkhost::wq_pop(d->wq, items.data(), random ? kRandomBatch : kBatch);
    if (n == 0) return;
    if (random)
      run_random(d, items.data(), n, &segs);
    else
      run_merged(d, items.data(), n, &segs);
    // Completion routines may have queued bios (a held write let go); nobody on this
    // thread will unplug them.
    blkhost::wq_leave_plugs();
  }
}

}  // namespace

// The disk's make_request_fn: checks the bio against the disk, decides injected errors and
// queues it for the engine. An empty bio completes at once (a barrier one after a flush).
// Expects an absolute sector on the whole disk. Returns 0 (the bio is taken). Never sleeps,
// except for the flush of an empty barrier bio.
int disk_make_request(request_queue_t* q, struct bio* bio) {
  auto* d = static_cast<Disk*>(q->queuedata);
  sector_t cap = d->gd.capacity;
  sector_t nr = bio_sectors(bio);
  if (bio->bi_sector > cap || nr > cap - bio->bi_sector) {
    printk("<4>attempt to access beyond end of device\n");
    printk("<4>%s: rw=%lu, want=%llu, limit=%llu\n", d->gd.disk_name, bio->bi_rw,
           (unsigned long long)(bio->bi_sector + nr), (unsigned long long)cap);
    bio_endio(bio, bio->bi_size, -EIO);
    return 0;
  }
  if (bio->bi_size == 0) {
    int err = (bio->bi_rw & (1UL << BIO_RW_BARRIER)) ? engine_flush(d) : 0;
    machine::run_in_interrupt([&] {
      completion_begin();
      bio_endio(bio, 0, err);
      completion_end();
    });
    return 0;
  }
  int err = preset_error(d, bio);
  blkhost::wq_push(d->wq, {bio, err});
  return 0;
}

int engine_start(Disk* d, unsigned threads, std::string* err) {
  d->wq = blkhost::wq_create(kPlugUs, kUnplugCount);
  if (!d->wq) {
    if (err) *err = "cannot make the disk's I/O queue";
    return -EMFILE;
  }
  d->threads = host::threads_start(threads, engine_thread, d);
  if (!d->threads) {
    blkhost::wq_close(d->wq);
    blkhost::wq_destroy(d->wq);
    d->wq = nullptr;
    if (err) *err = "cannot start the disk's I/O threads";
    return -EAGAIN;
  }
  return 0;
}

// Completes whatever is queued, then stops the threads. Blocks.
void engine_stop(Disk* d) {
  if (!d->wq) return;
  blkhost::wq_close(d->wq);
  host::threads_join(d->threads);
  blkhost::wq_destroy(d->wq);
  d->wq = nullptr;
  d->threads = nullptr;
}

void engine_kick(Disk* d) {
  if (!d->wq) return;
  static thread_local bool running = false;
  if (d->random_on.load() || running || in_atomic() || in_interrupt()) {
    blkhost::wq_kick(d->wq);
    return;
  }
  static thread_local std::vector<blkhost::Item> items(kUnplugCount);
  static thread_local std::vector<blkhost::Seg> segs;
  running = true;
  for (;;) {
    size_t n = blkhost::wq_try_pop(d->wq, items.data(), items.size());
    if (n == 0) break;
    run_merged(d, items.data(), n, &segs);
  }
  running = false;
}

int engine_flush(Disk* d) { return d->fd >= 0 ? blkhost::file_sync(d->fd) : 0; }

}  // namespace vkblk
