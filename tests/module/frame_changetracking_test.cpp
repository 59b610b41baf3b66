// Change tracking outlives the handles that started it; module unload and the unload
// command tear it down, putting every replaced request function back.
#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

class FrameChangeTracking : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    disk_ = attachDisk(32 * kMiB, {{2048, 8192}, {12288, 8192}});
    mount(disk_.part(1), 4096);
    mount(disk_.part(2), 1024);
    struct block_device* bdev = bdget(disk_.whole);
    queue_ = bdev->bd_disk->queue;
    realMRF_ = queue_->make_request_fn;
    bdput(bdev);
  }

  // A full backup session on partition p that leaves change tracking behind when closed.
  void backUpAndClose(int p, uint32_t blocks) {
    AgentHandle h = openHandle(agent().proc);
    ASSERT_EQ(0, h.startBackup(disk_.part(p), blocks, 1000));
    ASSERT_EQ(0, h.snapShot());
    AutoMapState ams{};
    ASSERT_EQ(0, h.getAutoMapState(&ams));
    EXPECT_EQ(blocks, ams.mapLen);
    EXPECT_EQ(0, h.close());
    EXPECT_NE(nullptr, slotOf(p));
  }
  AutoMapSession* slotOf(int p) { return amList[majorOf(disk_.part(p))][minorOf(disk_.part(p))]; }

  TestDisk disk_;
  request_queue_t* queue_ = nullptr;
  make_request_fn* realMRF_ = nullptr;
};

TEST_F(FrameChangeTracking, UnloadClosesTrackingLeftByClosedHandles) {
  backUpAndClose(1, 1024);
  backUpAndClose(2, 4096);
  EXPECT_NE(realMRF_, queue_->make_request_fn);  // tracking intercepts the disk's writes
  EXPECT_GT(atomic_read(&curAllocAMPages), 0);

  EXPECT_EQ(0, agent().close());
  uint64_t mark = logMark();
  unloadModule();
  EXPECT_EQ(realMRF_, queue_->make_request_fn);
  EXPECT_EQ(nullptr, slotOf(1));
  EXPECT_EQ(nullptr, slotOf(2));
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_TRUE(logInOrder({"velUnload: velloc version 3.1.0 build 9504 ready to be unloaded",
                          "velExit: velloc version 3.1.0 build 9504 exiting"},
                         mark));
  // TearDown checks that no bitmap page, registry entry or device reference is left.
}

TEST_F(FrameChangeTracking, UnloadCommandDropsTrackingAndKeepsTheModule) {
  backUpAndClose(1, 1024);
  EXPECT_EQ(0, agent().unload());
  EXPECT_EQ(nullptr, slotOf(1));
  EXPECT_EQ(realMRF_, queue_->make_request_fn);
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_TRUE(machine::module_loaded());

  // The handle goes on working, and a new backup starts tracking afresh.
  EXPECT_EQ(0u, agent().state().state);
  backUpAndClose(1, 1024);
  EXPECT_EQ(0, agent().unload());
  EXPECT_EQ(nullptr, slotOf(1));
}

}  // namespace
}  // namespace velloc_test
