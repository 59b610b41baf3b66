/* Block I/O requests. */
#ifndef _VK_LINUX_BIO_H
#define _VK_LINUX_BIO_H
#include <linux/kernel.h>
#include <linux/mm.h>
#include <asm/atomic.h>

struct block_device;
struct bio;

struct bio_vec {
  struct page *bv_page;
  unsigned int bv_len;    /* bytes */
  unsigned int bv_offset; /* bytes into the page */
};

/* Called as I/O progresses: bytes_done this time, err 0 or a negative errno; the bio is
 * complete when bi_size reaches 0. Runs in interrupt context. */
typedef int(bio_end_io_t)(struct bio *, unsigned int, int);
typedef void(bio_destructor_t)(struct bio *);

struct bio {
  sector_t bi_sector;          /* 512-byte sectors; absolute on the disk once remapped */
  struct bio *bi_next;
  struct block_device *bi_bdev;
  unsigned long bi_flags;      /* BIO_* bits */
  unsigned long bi_rw;         /* low bits: READ/WRITE/READA; higher bits BIO_RW_* */
  unsigned short bi_vcnt;      /* vectors in use */
  unsigned short bi_idx;       /* current index into bi_io_vec */
  unsigned int bi_size;        /* bytes left to transfer */
  unsigned int bi_max_vecs;
  struct bio_vec *bi_io_vec;
  bio_end_io_t *bi_end_io;
  atomic_t bi_cnt;             /* references; freed by bio_put at 0 */
  void *bi_private;
  bio_destructor_t *bi_destructor;
};

#define BIO_UPTODATE 0
#define BIO_RW_BLOCK 1
#define BIO_EOF 2
#define BIO_SEG_VALID 3
#define BIO_CLONED 4
#define BIO_BOUNCED 5
#define BIO_USER_MAPPED 6
#define BIO_EOPNOTSUPP 7
#define bio_flagged(bio, flag) ((bio)->bi_flags & (1UL << (flag)))

#define READ 0
#define WRITE 1
#define READA 2
#define SWRITE 3
#define BIO_RW 0
#define BIO_RW_AHEAD 1
#define BIO_RW_BARRIER 2
#define BIO_RW_SYNC 3
#define bio_data_dir(bio) ((bio)->bi_rw & 1)
#define bio_sectors(bio) ((bio)->bi_size >> 9)
#define bio_iovec_idx(bio, idx) (&((bio)->bi_io_vec[(idx)]))
#define bio_for_each_segment(bvl, bio, i) \
  for (i = (bio)->bi_idx, bvl = bio_iovec_idx((bio), (i)); i < (bio)->bi_vcnt; bvl++, i++)

/* A bio with room for nr_iovecs vectors and one reference; null on failure. */
struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs);
void bio_get(struct bio *bio);
void bio_put(struct bio *bio);
/* Adds a page segment; returns len, or 0 when the bio is full. */
int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset);
/* Completes bytes_done of the bio: lowers bi_size, clears BIO_UPTODATE on error, calls bi_end_io. */
void bio_endio(struct bio *bio, unsigned int bytes_done, int error);
#endif
