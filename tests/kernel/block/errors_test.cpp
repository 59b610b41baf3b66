// Injected I/O errors (by sector range and direction, and through the fault kinds), and
// what a failed bio looks like to its owner.
#include "block_test_util.h"

using namespace blktest;

namespace {

class IoErrors : public BlockTest {};

TEST_F(IoErrors, RangeAndDirectionDecideWhichBiosFail) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory_partitioned(8 << 20, {{2048, 8192}}, o);
  ASSERT_NE(d, nullptr);
  // Whole-disk sectors [4096, 4104) fail for reads only; [6000, 6001) for both.
  machine::disk_inject_error(d, 4096, 8, machine::Dir::read);
  machine::disk_inject_error(d, 6000, 1, machine::Dir::both);
  Bdev p1(machine::partition_dev(d, 1));
  Pages pg(2);
  auto run = [&](int rw, sector_t s, size_t n) {
    BioResult r;
    int err = submit_wait(make_bio(p1, rw, s, pg, 0, n, &r), &r);
    EXPECT_EQ(r.size_left.load(), 0u);
    EXPECT_EQ(r.uptodate.load(), err == 0 ? 1 : 0);
    return err;
  };
  // Partition sector 2048 is whole-disk sector 4096: the range is in whole-disk sectors.
  EXPECT_EQ(run(READ, 2048, 1), -EIO);
  EXPECT_EQ(run(WRITE, 2048, 1), 0);
  EXPECT_EQ(run(READ, 2040, 1), 0);       // ends just before the range
  EXPECT_EQ(run(READ, 2040, 2), -EIO);    // runs into it
  EXPECT_EQ(run(READ, 2056, 1), 0);       // starts just after it
  EXPECT_EQ(run(WRITE, 6000 - 2048 - 7, 1), -EIO);  // last sector of the bio is 6000
  EXPECT_EQ(run(READ, 6000 - 2048, 1), -EIO);
  machine::disk_clear_errors(d);
  EXPECT_EQ(run(READ, 2048, 1), 0);
  machine::disk_detach(d);
}

TEST_F(IoErrors, FailedWriteLeavesTheDiskUntouchedAndOthersInTheBatchSucceed) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(d, nullptr);
  machine::disk_inject_error(d, 16, 8, machine::Dir::write);
  Bdev whole(machine::disk_dev(d));
  Pages pg(8);
  std::vector<BioResult> rs(8);
  for (int i = 0; i < 8; i++) {
    fill_pattern(pg.data(i), 4096, 50 + i);
    generic_make_request(make_bio(whole, WRITE, i * 8, pg, i, 1, &rs[i]));
  }
  std::vector<unsigned char> raw(4096), zero(4096, 0);
  for (int i = 0; i < 8; i++) {
    ASSERT_TRUE(wait_for([&] { return rs[i].done.load() != 0; }));
    EXPECT_EQ(rs[i].err.load(), i == 2 ? -EIO : 0) << i;
    machine::disk_pread(d, i * 4096, raw.data(), 4096);
    if (i == 2)
      EXPECT_EQ(raw, zero);
    else
      EXPECT_EQ(memcmp(raw.data(), pg.data(i), 4096), 0) << i;
  }
  machine::disk_detach(d);
}

TEST_F(IoErrors, FaultKindsFailDiskIoAndAllocations) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(d, nullptr);
  Bdev whole(machine::disk_dev(d));
  Pages pg(1);
  machine::fault_fail_nth(machine::Fault::disk_read, 2);
  BioResult a, b, c;
  EXPECT_EQ(submit_wait(make_bio(whole, READ, 0, pg, 0, 1, &a), &a), 0);
  EXPECT_EQ(submit_wait(make_bio(whole, READ, 0, pg, 0, 1, &b), &b), -EIO);
  EXPECT_EQ(submit_wait(make_bio(whole, WRITE, 0, pg, 0, 1, &c), &c), 0);
  machine::fault_fail_always(machine::Fault::disk_write, true);
  BioResult w;
  EXPECT_EQ(submit_wait(make_bio(whole, WRITE, 0, pg, 0, 1, &w), &w), -EIO);
  machine::fault_reset();

  machine::fault_fail_nth(machine::Fault::bio, 1);
  EXPECT_EQ(bio_alloc(GFP_NOIO, 1), nullptr);
  struct bio* ok = bio_alloc(GFP_NOIO, 1);
  ASSERT_NE(ok, nullptr);
  EXPECT_TRUE(bio_flagged(ok, BIO_UPTODATE));
  EXPECT_EQ(atomic_read(&ok->bi_cnt), 1);
  EXPECT_EQ(machine::live(machine::Obj::bio), bios_ + 1);
  bio_get(ok);
  bio_put(ok);
  EXPECT_EQ(machine::live(machine::Obj::bio), bios_ + 1);
  bio_put(ok);
  EXPECT_EQ(bio_alloc(GFP_NOIO, 257), nullptr);

  machine::fault_fail_nth(machine::Fault::buffer_head, 1);
  EXPECT_EQ(alloc_buffer_head(GFP_NOIO), nullptr);
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  ASSERT_NE(bh, nullptr);
  EXPECT_TRUE(list_empty(&bh->b_assoc_buffers));
  free_buffer_head(bh);
  machine::disk_detach(d);
}

// bio_endio by hand: partial completion keeps the bio open, an error clears BIO_UPTODATE.
int g_calls = 0, g_last_err = 0;
unsigned g_last_done = 0;
int counting_end_io(struct bio* bio, unsigned int done, int err) {
  g_calls++;
  g_last_done = done;
  g_last_err = err;
  return bio->bi_size ? 1 : 0;
}

TEST_F(IoErrors, BioEndioAccountsBytesAndErrors) {
  g_calls = 0;
  Pages pg(2);
  struct bio* bio = bio_alloc(GFP_KERNEL, 2);
  ASSERT_NE(bio, nullptr);
  EXPECT_EQ(bio_add_page(bio, pg.p[0], 4096, 0), 4096);
  EXPECT_EQ(bio_add_page(bio, pg.p[1], 1024, 0), 1024);
  EXPECT_EQ(bio_add_page(bio, pg.p[1], 512, 1024), 512);  // joins the previous segment
  EXPECT_EQ(bio_add_page(bio, pg.p[0], 512, 3800), 0);    // does not fit the page
  EXPECT_EQ(bio->bi_vcnt, 2);
  EXPECT_EQ(bio->bi_size, 5632u);
  bio->bi_sector = 100;
  bio->bi_end_io = counting_end_io;
  bio_endio(bio, 4096, 0);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(bio->bi_size, 1536u);
  EXPECT_EQ(bio->bi_sector, 108u);
  EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));
  bio_endio(bio, 1536, -EIO);
  EXPECT_EQ(g_calls, 2);
  EXPECT_EQ(g_last_err, -EIO);
  EXPECT_EQ(bio->bi_size, 0u);
  EXPECT_FALSE(bio_flagged(bio, BIO_UPTODATE));
  bio_put(bio);
}

}  // namespace
