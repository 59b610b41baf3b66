#ifndef _VK_LINUX_BUFFER_HEAD_H
#define _VK_LINUX_BUFFER_HEAD_H
#include <linux/fs.h>
#include <linux/list.h>
#include <linux/mm.h>
#include <linux/sched.h>
#include <asm/atomic.h>

enum bh_state_bits { BH_Uptodate, BH_Dirty, BH_Lock, BH_Req, BH_Mapped, BH_New, BH_Async_Read, BH_Async_Write };

struct buffer_head;
typedef void(bh_end_io_t)(struct buffer_head *bh, int uptodate);

struct buffer_head {
  unsigned long b_state;        /* BH_* bits, changed atomically */
  struct buffer_head *b_this_page;
  struct page *b_page;
  sector_t b_blocknr;           /* in b_size units */
  size_t b_size;                /* bytes */
  char *b_data;                 /* page address + offset */
  struct block_device *b_bdev;
  bh_end_io_t *b_end_io;
  void *b_private;
  struct list_head b_assoc_buffers;
  atomic_t b_count;             /* users */
};

struct buffer_head *alloc_buffer_head(gfp_t gfp_flags); /* null on failure */
void free_buffer_head(struct buffer_head *bh);
void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset);
int buffer_uptodate(const struct buffer_head *bh);
void set_buffer_uptodate(struct buffer_head *bh);
void clear_buffer_uptodate(struct buffer_head *bh);
int buffer_locked(const struct buffer_head *bh);
void lock_buffer(struct buffer_head *bh);   /* may sleep */
void unlock_buffer(struct buffer_head *bh); /* any context: clears BH_Lock and wakes waiters */
void __wait_on_buffer(struct buffer_head *bh); /* may sleep until unlocked */
static inline void wait_on_buffer(struct buffer_head *bh) {
  might_sleep();
  if (buffer_locked(bh) || atomic_read(&bh->b_count) == 0) __wait_on_buffer(bh);
}
static inline void get_bh(struct buffer_head *bh) { atomic_inc(&bh->b_count); }
static inline void put_bh(struct buffer_head *bh) { atomic_dec(&bh->b_count); }
int submit_bh(int rw, struct buffer_head *bh);
#endif
