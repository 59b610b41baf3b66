// Bios: allocation with reference counts, page segments, completion.
#include <linux/errno.h>

#include <cstdlib>
#include <cstring>

#include "block_internal.h"
#include "src/core/lib/free_list.h"
#include "src/core/sched/sched_point.h"

namespace {

constexpr int kBioMaxPages = 256;  // vectors one bio may carry
// Bios of up to this many vectors (every one-block bio) share one size, and freed ones
// are kept for the next allocations: a backup sends one per block.
constexpr int kSmallBioVecs = 4;
constexpr size_t kSmallBioBytes = sizeof(struct bio) + kSmallBioVecs * sizeof(struct bio_vec);

vk::FreeList& small_bios() {
  static vk::FreeList& list = *new vk::FreeList(4096);  // never freed: threads may outlive statics
  return list;
}

// Frees a bio and its vector table (one allocation). Called at the last bio_put.
void bio_free(struct bio* bio) {
  bool small = bio->bi_max_vecs <= unsigned(kSmallBioVecs);
  vkblk::account(machine::Obj::bio, -1);
  if (!small || !small_bios().push(bio)) free(bio);
}

struct bio* bio_make(int nr_iovecs) {
  bool small = nr_iovecs <= kSmallBioVecs;
  size_t bytes = small ? kSmallBioBytes : sizeof(struct bio) + (size_t)nr_iovecs * sizeof(struct bio_vec);
  void* mem = small ? small_bios().pop() : nullptr;
  if (!mem) mem = malloc(bytes);
  if (!mem) return nullptr;
  memset(mem, 0, bytes);
  auto* bio = static_cast<struct bio*>(mem);
  bio->bi_flags = 1UL << BIO_UPTODATE;
  bio->bi_max_vecs = (unsigned)nr_iovecs;
  bio->bi_io_vec = nr_iovecs ? reinterpret_cast<struct bio_vec*>(bio + 1) : nullptr;
  atomic_set(&bio->bi_cnt, 1);
  bio->bi_destructor = bio_free;
  vkblk::account(machine::Obj::bio, 1);
  return bio;
}

}  // namespace

// Returns a zeroed bio with room for nr_iovecs vectors, BIO_UPTODATE set and one reference,
// or null (fault kind bio, or nr_iovecs out of range). May sleep when gfp allows waiting.
// The last bio_put frees it.
struct bio* bio_alloc(gfp_t gfp_mask, int nr_iovecs) {
  if (gfp_mask & __GFP_WAIT) might_sleep();
  if (nr_iovecs < 0 || nr_iovecs > kBioMaxPages) return nullptr;
  if (machine::should_fail(machine::Fault::bio)) return nullptr;
  return bio_make(nr_iovecs);
}

namespace vkblk {
struct bio* bio_alloc_nofail(int nr_iovecs) {
  struct bio* bio = bio_make(nr_iovecs);
  if (!bio) abort();  // host memory exhausted: nothing sensible is left to do
  return bio;
}
}  // namespace vkblk

void bio_get(struct bio* bio) { atomic_inc(&bio->bi_cnt); }

// Drops a reference; the last one runs the destructor. Any context.
void bio_put(struct bio* bio) {
  int left = atomic_dec_return(&bio->bi_cnt);
  if (left < 0) {
    kernel_warn(__FILE__, __LINE__, __func__, "bio_put on a bio without references");
    return;
  }
  if (left == 0 && bio->bi_destructor) bio->bi_destructor(bio);
}

// Appends a segment. Returns len, or 0 when the bio has no free vector or the segment does
// not fit in its page. Never sleeps.
int bio_add_page(struct bio* bio, struct page* page, unsigned int len, unsigned int offset) {
  if (!page || len == 0 || (unsigned long)offset + len > PAGE_SIZE) return 0;
  if (bio->bi_vcnt > 0) {
    struct bio_vec* prev = &bio->bi_io_vec[bio->bi_vcnt - 1];
    if (prev->bv_page == page && prev->bv_offset + prev->bv_len == offset) {
      prev->bv_len += len;
      bio->bi_size += len;
      return (int)len;
    }
  }
  if (bio->bi_vcnt >= bio->bi_max_vecs) return 0;
  struct bio_vec* v = &bio->bi_io_vec[bio->bi_vcnt++];
  v->bv_page = page;
  v->bv_len = len;
  v->bv_offset = offset;
  bio->bi_size += len;
  return (int)len;
}

// Completes bytes_done bytes: on error clears BIO_UPTODATE, lowers bi_size, advances
// bi_sector and calls bi_end_io (which may drop the last reference). Any context.
void bio_endio(struct bio* bio, unsigned int bytes_done, int error) {
  vk::point(machine::Point::bio_complete, "bio_endio", bio);
  if (error)
    __atomic_fetch_and(&bio->bi_flags, ~(1UL << BIO_UPTODATE), __ATOMIC_SEQ_CST);
  else if (!bio_flagged(bio, BIO_UPTODATE))
    error = -EIO;
  if (bytes_done > bio->bi_size) {
    printk("<3>%s: want %u bytes done, only %u left\n", __func__, bytes_done, bio->bi_size);
    bytes_done = bio->bi_size;
  }
  bio->bi_size -= bytes_done;
  bio->bi_sector += bytes_done >> 9;
  if (bio->bi_end_io) bio->bi_end_io(bio, bytes_done, error);
}
