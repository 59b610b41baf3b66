// I/O submitted by a task that holds its disk's bd_mutex, into a make-request function that
// takes that mutex: in a kernel the task deadlocks on itself; the stand-in reports it as a
// counted bug with its line and lets the task go on holding the mutex.
#include <linux/mutex.h>

#include "block_test_util.h"

using namespace blktest;

namespace {

class BdMutexReentry : public BlockTest {};

make_request_fn* g_real;
int lockingMakeRequest(request_queue_t* q, struct bio* bio) {
  mutex_lock(&bio->bi_bdev->bd_mutex);
  mutex_unlock(&bio->bi_bdev->bd_mutex);
  return g_real(q, bio);
}

TEST_F(BdMutexReentry, IoUnderTheMutexThatTheQueueTakesIsFlaggedAndCompletes) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(d, nullptr);
  {
    Bdev bdev(machine::disk_dev(d));
    request_queue_t* q = bdev_get_queue(bdev);
    g_real = q->make_request_fn;
    blk_queue_make_request(q, lockingMakeRequest);
    Pages pg(1);
    BioResult plain, held;
    EXPECT_EQ(0, submit_wait(make_bio(bdev, WRITE, 0, pg, 0, 1, &plain), &plain)) << "without the mutex: no report";
    EXPECT_EQ(bugs_, machine::kernel_bug_count());

    uint64_t mark = machine::log_last_seq();
    mutex_lock(&bdev->bd_mutex);
    EXPECT_EQ(0, submit_wait(make_bio(bdev, WRITE, 8, pg, 0, 1, &held), &held));
    EXPECT_TRUE(mutex_is_locked(&bdev->bd_mutex)) << "the outer hold goes on";
    mutex_unlock(&bdev->bd_mutex);
    EXPECT_FALSE(mutex_is_locked(&bdev->bd_mutex));
    EXPECT_EQ(1, machine::log_count("BUG: I/O submitted under mutex &n->bd.bd_mutex", mark));
    EXPECT_EQ(bugs_ + 1, machine::kernel_bug_count());
    bugs_ += 1;  // the one expected report
    blk_queue_make_request(q, g_real);
  }
  machine::disk_detach(d);
}

}  // namespace
