// Every write that reaches the partition reaches its change map: plain writes and writes
// with the read-ahead bit alike, during a backup and between backups, and a held write
// before the worker can pass it to the disk (after that, a close and the next snapshot
// could take the map without it).
#include "cow_helpers.h"
#include "backup_helpers.h"

namespace velloc_test {
namespace {

class ChangeTrackingWritesTest : public CowFixture {
 protected:
  static int waitersOn(struct semaphore* s) { return __atomic_load_n(&s->waiters, __ATOMIC_SEQ_CST); }

  // The automap of the partition (no reference kept: only while nothing closes it).
  AutoMapSession* automap() {
    AutoMapSession* ams = getAMS(dev_);
    if (ams) putAMS(ams);
    return ams;
  }
};

TEST_F(ChangeTrackingWritesTest, WritesOfEveryKindAreTrackedDuringAndBetweenBackups) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  ASSERT_EQ(0, agent().snapShot());
  AMSessionKey key = autoMapState(agent()).amsKey;
  std::vector<uint8_t> buf(blockSize_);
  writeBlock(10, 1, 1, WRITE);
  writeBlock(11, 1, 2, WRITE | READA);
  ASSERT_EQ(1, rawBio(dev_, 12ull * blockSize_, buf.data(), blockSize_, READ));
  ASSERT_EQ(1, rawBio(dev_, 13ull * blockSize_, buf.data(), blockSize_, READA));
  waitIdle(session());
  EXPECT_EQ(2u, cacheContents(session()).size()) << "both writes had their blocks captured";
  ASSERT_EQ(0, agent().close());
  ASSERT_EQ(&velAMRF, queueFn(dev_));

  writeBlock(20, 2, 1, WRITE);
  writeBlock(21, 2, 2, WRITE | READA);
  ASSERT_EQ(1, rawBio(dev_, 22ull * blockSize_, buf.data(), blockSize_, READ));
  ASSERT_EQ(1, rawBio(dev_, 23ull * blockSize_, buf.data(), blockSize_, READA));

  AgentHandle h = openHandle(agent().proc);
  ASSERT_EQ(0, h.startBackup(dev_, blocks_, blocks_));
  ASSERT_EQ(0, h.snapShot(&key));
  ASSERT_EQ(stateSnapshotComplete, h.state().state);
  Bytes map;
  ASSERT_EQ(0, h.getAutoMap(&map, blocks_, (blocks_ + 7) / 8));
  EXPECT_EQ(std::set<uint32_t>({10, 11, 20, 21}), bitsOf(map, blocks_));
}

TEST_F(ChangeTrackingWritesTest, AHeldWriteIsTrackedBeforeTheWorkerCanPassItOn) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  ASSERT_EQ(0, agent().snapShot());
  Backup* b = session();
  AutoMapSession* ams = automap();
  ASSERT_NE(nullptr, ams);
  const unsigned bn = 77;

  // Park the writer at its change-map update; whatever it queued before is served.
  down(&ams->map.sem);
  std::thread writer([&] { writeBlock(bn, 1, 1); });
  bool parked = waitFor([&] { return waitersOn(&ams->map.sem) == 1; });
  waitIdle(b);
  // A write the worker served was captured and then passed on. (Counted without the
  // cache's locks: the bitmap semaphore held here comes after them.)
  bool passedOn = atomic_read(&b->totalAllocCPs) > 0;
  up(&ams->map.sem);
  writer.join();
  ASSERT_TRUE(parked) << "the write never reached its change-map update";
  EXPECT_FALSE(passedOn) << "the held write went to the disk before its block was tracked";

  waitIdle(b);
  EXPECT_TRUE(blockInMap(&ams->map, bn));
  EXPECT_EQ(1u, cacheContents(b).count(bn)) << "the write was held and its block captured";
  EXPECT_EQ(kStampMagic, *reinterpret_cast<const uint32_t*>(diskBlock(bn).data()));
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
