// Buffer heads: allocation, the lock bit and waiting for it, and submit_bh.
#include <linux/errno.h>
#include <linux/wait.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "block_internal.h"
#include "src/core/lib/free_list.h"

namespace {

// Freed buffer heads kept for the next allocations: a backup makes one per block read.
vk::FreeList& spare_heads() {
  static vk::FreeList& list = *new vk::FreeList(4096);  // never freed: threads may outlive statics
  return list;
}

// Waiters on a buffer's lock bit share hashed queues; every unlock wakes its whole queue
// and each waiter re-checks its own buffer.
wait_queue_head_t* bh_waitq(const struct buffer_head* bh) { return vkblk::hashed_waitq(bh); }

bool test_and_set_bit_lock(struct buffer_head* bh) {
  return __atomic_fetch_or(&bh->b_state, 1UL << BH_Lock, __ATOMIC_ACQUIRE) & (1UL << BH_Lock);
}

// Sends queued bios of the buffer's disk on their way before its owner sleeps on them.
void unplug_for(struct buffer_head* bh) {
  if (machine::Disk* d = vkblk::bdev_disk(bh->b_bdev)) vkblk::engine_kick(d);
}

}  // namespace

namespace vkblk {
wait_queue_head_t* hashed_waitq(const void* object) {
  static wait_queue_head_t tables[64];  // zero-filled: valid empty queues
  auto h = reinterpret_cast<uintptr_t>(object);
  h ^= h >> 9;
  h ^= h >> 17;
  return &tables[h % 64];
}
}  // namespace vkblk

// A zeroed buffer head with an empty b_assoc_buffers list, or null (fault kind
// buffer_head). May sleep when gfp allows waiting. Freed by free_buffer_head.
struct buffer_head* alloc_buffer_head(gfp_t gfp_flags) {
  if (gfp_flags & __GFP_WAIT) might_sleep();
  if (machine::should_fail(machine::Fault::buffer_head)) return nullptr;
  void* mem = spare_heads().pop();
  if (!mem) mem = malloc(sizeof(struct buffer_head));
  if (!mem) return nullptr;
  memset(mem, 0, sizeof(struct buffer_head));
  auto* bh = static_cast<struct buffer_head*>(mem);
  INIT_LIST_HEAD(&bh->b_assoc_buffers);
  vkblk::account(machine::Obj::buffer_head, 1);
  return bh;
}

void free_buffer_head(struct buffer_head* bh) {
  if (!bh) return;
  vkblk::account(machine::Obj::buffer_head, -1);
  if (!spare_heads().push(bh)) free(bh);
}

// Points the buffer at `offset` bytes into the page. An offset past the page is a bug.
void set_bh_page(struct buffer_head* bh, struct page* page, unsigned long offset) {
  BUG_ON(offset >= PAGE_SIZE);
  bh->b_page = page;
  bh->b_data = static_cast<char*>(page ? page->virt : nullptr) + offset;
}

int buffer_uptodate(const struct buffer_head* bh) {
  return (__atomic_load_n(&bh->b_state, __ATOMIC_ACQUIRE) >> BH_Uptodate) & 1;
}
void set_buffer_uptodate(struct buffer_head* bh) {
  __atomic_fetch_or(&bh->b_state, 1UL << BH_Uptodate, __ATOMIC_SEQ_CST);
}
void clear_buffer_uptodate(struct buffer_head* bh) {
  __atomic_fetch_and(&bh->b_state, ~(1UL << BH_Uptodate), __ATOMIC_SEQ_CST);
}
int buffer_locked(const struct buffer_head* bh) {
  return (__atomic_load_n(&bh->b_state, __ATOMIC_ACQUIRE) >> BH_Lock) & 1;
}

// Takes the lock bit, sleeping while another holder has it. May sleep.
void lock_buffer(struct buffer_head* bh) {
  might_sleep();
  while (test_and_set_bit_lock(bh)) {
    unplug_for(bh);
    wait_event(*bh_waitq(bh), !buffer_locked(bh));
  }
}

namespace {
// Unlocks held back while the engine runs completion routines on this thread.
thread_local std::vector<struct buffer_head*>* t_deferred = nullptr;

void do_unlock(struct buffer_head* bh) {
  wait_queue_head_t* q = bh_waitq(bh);
  __atomic_fetch_and(&bh->b_state, ~(1UL << BH_Lock), __ATOMIC_RELEASE);
  wake_up_all(q);  // the queue outlives bh, which the woken owner may free at once
}
}  // namespace

namespace vkblk {
void completion_begin() {
  static thread_local std::vector<struct buffer_head*> list;
  list.clear();
  t_deferred = &list;
}
void completion_end() {
  std::vector<struct buffer_head*>* list = t_deferred;
  t_deferred = nullptr;
  if (!list) return;
  for (auto* bh : *list) do_unlock(bh);
  list->clear();
}
}  // namespace vkblk

// Clears the lock bit and wakes whoever waits for it. Any context; inside the engine's
// completion routines it takes effect when they have returned.
void unlock_buffer(struct buffer_head* bh) {
  if (t_deferred) {
    t_deferred->push_back(bh);
    return;
  }
  do_unlock(bh);
}

// Sleeps until the buffer is unlocked; returns at once when it is not locked. May sleep.
void __wait_on_buffer(struct buffer_head* bh) {
  might_sleep();
  if (!buffer_locked(bh)) return;
  unplug_for(bh);
  wait_event(*bh_waitq(bh), !buffer_locked(bh));
}

namespace {
// Completion of submit_bh's bio: hands the outcome to the buffer's own routine.
int end_bio_bh_io_sync(struct bio* bio, unsigned int bytes_done, int err) {
  if (bio->bi_size) return 1;
  auto* bh = static_cast<struct buffer_head*>(bio->bi_private);
  bh->b_end_io(bh, bio_flagged(bio, BIO_UPTODATE) ? 1 : 0);
  bio_put(bio);
  return 0;
}
}  // namespace

// Reads or writes a locked, mapped buffer with b_end_io set through generic_make_request.
// Returns 0; -ENOMEM when no bio could be had (b_end_io has then run with failure). May sleep.
int submit_bh(int rw, struct buffer_head* bh) {
  BUG_ON(!buffer_locked(bh));
  BUG_ON(!(bh->b_state & (1UL << BH_Mapped)));
  BUG_ON(!bh->b_end_io);
  struct bio* bio = bio_alloc(GFP_NOIO, 1);
  if (!bio) {
    bh->b_end_io(bh, 0);
    return -ENOMEM;
  }
  bio->bi_sector = bh->b_blocknr * (bh->b_size >> 9);
  bio->bi_bdev = bh->b_bdev;
  bio->bi_io_vec[0].bv_page = bh->b_page;
  bio->bi_io_vec[0].bv_len = (unsigned)bh->b_size;
  bio->bi_io_vec[0].bv_offset = (unsigned)(bh->b_data - static_cast<char*>(bh->b_page->virt));
  bio->bi_vcnt = 1;
  bio->bi_idx = 0;
  bio->bi_size = (unsigned)bh->b_size;
  bio->bi_end_io = end_bio_bh_io_sync;
  bio->bi_private = bh;
  submit_bio(rw, bio);
  return 0;
}
