// Broken invariants of the interception are fatal: the critical line is logged and the
// kernel stops with an oops (the stand-in's BUG aborts the process).
#include "automap_helpers.h"

namespace velloc_test {
namespace {

class InterceptionDeathTest : public VellocFixture {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VellocFixture::SetUp();
  }
  // A queue with no function at all: registering it remembers a null real function.
  static void initQueue(request_queue_t* q) {
    std::memset(q, 0, sizeof(*q));
    q->queue_lock = &q->__queue_lock;
  }
};

// A registered queue without a remembered real function cannot be given back.
TEST_F(InterceptionDeathTest, DroppingQueueWithoutRealFunctionIsFatal) {
  EXPECT_DEATH(
      {
        machine::log_echo(true);
        request_queue_t q;
        initQueue(&q);
        addQueueToList(&q, MKDEV(8, 1));
        unsetQueueMRFAMS(&q);
      },
      "unsetQueueMRFAMS: Could not find real make request fn for queue\\.");
}

// velAMRF on a queue for which nobody knows a real function.
TEST_F(InterceptionDeathTest, InterceptedBioWithoutRealFunctionIsFatal) {
  EXPECT_DEATH(
      {
        machine::log_echo(true);
        request_queue_t q;
        initQueue(&q);
        struct block_device bdev;
        std::memset(&bdev, 0, sizeof(bdev));
        bdev.bd_dev = MKDEV(8, 0);
        struct bio bio;
        std::memset(&bio, 0, sizeof(bio));
        bio.bi_bdev = &bdev;
        bio.bi_rw = READ;
        velAMRF(&q, &bio);
      },
      "velAMRF: request intercepted for unknown device major=8 realMRF=");
}

}  // namespace
}  // namespace velloc_test
