// Session start: the single backup slot, what a start builds, and what a refused or failed
// start leaves.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CowStartTest : public CowFixture {};

TEST_F(CowStartTest, AStartBuildsTheSessionAndPublishesIt) {
  makePartition(1024, 16384);
  const uint64_t mark = logMark();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 77));
  State st = agent().state();
  EXPECT_EQ((u32)stateStarted, st.state);
  EXPECT_EQ(majorOf(dev_), st.major);
  EXPECT_EQ(minorOf(dev_), st.minor);
  EXPECT_EQ(1024, st.blockSize);
  EXPECT_EQ(262144, st.mmapSize);  // 64 pages for 1024-byte blocks

  Backup* b = session();
  ASSERT_NE(nullptr, b);
  char name[32];
  snprintf(name, sizeof(name), "velHT%02x%02x", majorOf(dev_), minorOf(dev_));
  EXPECT_STREQ(name, b->htCacheName);
  EXPECT_STREQ(name, kmem_cache_name(b->htCache));
  snprintf(name, sizeof(name), "velCP%02x%02x", majorOf(dev_), minorOf(dev_));
  EXPECT_STREQ(name, b->cpCacheName);
  snprintf(name, sizeof(name), "velDC%02x%02x", majorOf(dev_), minorOf(dev_));
  EXPECT_STREQ(name, b->dataCacheName);
  EXPECT_EQ(77u, b->maxCacheBlocks);
  EXPECT_EQ(blocks_, b->cacheMap.size);
  EXPECT_EQ(1, b->startedCacheThread);
  EXPECT_EQ(1, b->ownsBusy);
  EXPECT_GT(__atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST), 0);
  for (unsigned i = 0; i < VEL_HASH_BUCKETS; i++) {
    ASSERT_NE(nullptr, b->blockTable[i]);
    ASSERT_EQ(1, b->blockTable[i]->sem.count);
    ASSERT_EQ(nullptr, b->blockTable[i]->busy);
  }
  EXPECT_NE(nullptr, b->diskInfo.realMRF);
  EXPECT_TRUE(logInOrder({"backup_cache: kbackupd thread started", "ioctlStartBackup: backup started for device major="},
                         mark));
  closeAndExpectBalanced();
}

TEST_F(CowStartTest, OnlyOneHandleHoldsTheSlotAndOnlyItGivesItBack) {
  makePartition();
  machine::Process* other = newProcess("other");
  AgentHandle h2 = openHandle(other);
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 10));

  // Refused on another handle, which then reports state 12.
  std::thread t = runInProcess(other, [&] {
    EXPECT_EQ(9, h2.startBackup(dev_, blocks_, 10));
    EXPECT_EQ((u32)stateOtherBackupOpen, h2.state().state);
  });
  t.join();
  EXPECT_EQ((u32)stateStarted, agent().state().state);

  EXPECT_EQ(1, logCount("ioctlStartBackup: another backup operation is open can't start backup on device major="));
  EXPECT_EQ(0, agent().close());
  EXPECT_EQ(0, atomic_read(&busy));

  // Once the backup has ended, the refused handle is told it is not idle (and holds the
  // slot until it is closed).
  t = runInProcess(other, [&] {
    EXPECT_EQ(11, h2.startBackup(dev_, blocks_, 10));
    EXPECT_EQ(1, logCount("that is already busy"));
    EXPECT_EQ(1, atomic_read(&busy));
    EXPECT_EQ(0, h2.close());
  });
  t.join();
  EXPECT_EQ(0, atomic_read(&busy));

  AgentHandle h3 = openHandle(agent().proc);
  EXPECT_EQ(0, h3.startBackup(dev_, blocks_, 10));
  EXPECT_EQ(0, h3.close());
}

TEST_F(CowStartTest, RacingStartsGiveTheSlotToExactlyOne) {
  makePartition();
  for (int round = 0; round < 10; round++) {
    constexpr int kHandles = 4;
    std::vector<machine::Process*> procs;
    std::vector<AgentHandle> hs;
    for (int i = 0; i < kHandles; i++) {
      procs.push_back(newProcess("racer"));
      hs.push_back(openHandle(procs.back()));
    }
    std::atomic<int> ok{0}, refused{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kHandles; i++)
      ts.push_back(runInProcess(procs[i], [&, i] {
        long r = hs[i].startBackup(dev_, blocks_, 10);
        if (r == 0) ok++;
        if (r == 9) refused++;
      }));
    for (auto& t : ts) t.join();
    EXPECT_EQ(1, ok.load());
    EXPECT_EQ(kHandles - 1, refused.load());
    ts.clear();
    for (int i = 0; i < kHandles; i++) ts.push_back(runInProcess(procs[i], [&, i] { EXPECT_EQ(0, hs[i].close()); }));
    for (auto& t : ts) t.join();
    EXPECT_EQ(0, atomic_read(&busy));
  }
}

// A start sent again on the handle that runs the backup, alone or from racing threads of
// the agent, is told the handle is not idle; the backup goes on as if it had not come.
TEST_F(CowStartTest, AStartOnTheRunningHandleLeavesItsBackupAsItWas) {
  makePartition();
  std::vector<uint8_t> before = diskBlock(5);
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  for (u32 expected : {(u32)stateStarted, (u32)stateSnapshotComplete}) {
    if (expected == stateSnapshotComplete) protect();
    ASSERT_EQ(expected, agent().state().state);
    std::atomic<int> notIdle{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; i++)
      ts.push_back(runInProcess(agent().proc, [&] {
        if (agent().startBackup(dev_, blocks_, 10) == velErrNotIdle) notIdle++;
      }));
    for (auto& t : ts) t.join();
    EXPECT_EQ(3, notIdle.load());
    EXPECT_EQ(expected, agent().state().state);
    EXPECT_EQ(1, atomic_read(&busy));
  }
  EXPECT_EQ(6, logCount("that is already busy"));
  EXPECT_EQ(0, logCount("another backup operation is open"));

  // Still protecting: a block written now reads back as it was at the snapshot.
  writeBlock(5, 1, 1);
  uint32_t buf = (uint32_t)mapTransferBuffer(agent(), blockSize_);
  ASSERT_EQ(0, agent().readBlocks(5, 1, buf));
  std::vector<uint8_t> got(blockSize_);
  ASSERT_EQ(0, agent().readMapped(buf, got.data(), got.size()));
  EXPECT_EQ(before, got);
  EXPECT_EQ(0, agent().munmap(buf, blockSize_));
  closeAndExpectBalanced();
  EXPECT_EQ(7, lastStat("state: "));
  EXPECT_EQ(0, atomic_read(&busy));
}

TEST_F(CowStartTest, AStartThatFailsPartWayStaysStartingUntilClosed) {
  makePartition();
  const uint64_t mark = logMark();
  EXPECT_EQ(2, agent().startBackup(dev_, 0, 10));  // no cache map for 0 blocks
  EXPECT_TRUE(logInOrder({"newBlockMap: block size size=0 invalid", "newCacheMap: error creating cache map of size=0"},
                         mark));
  EXPECT_EQ((u32)stateStarting, agent().state().state);
  EXPECT_EQ(11, agent().startBackup(dev_, blocks_, 10)) << "the handle cannot be started again";
  EXPECT_EQ((u32)stateStarting, agent().state().state);
  EXPECT_EQ(0, agent().close());
  EXPECT_EQ(0, __atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST));
  EXPECT_EQ(0, atomic_read(&busy));

  // A device without a file system: refused before anything is built.
  AgentHandle h = openHandle(agent().proc);
  EXPECT_EQ(8, h.startBackup(disk_.part(2), 100, 10));
  EXPECT_EQ((u32)stateIdle, h.state().state);
  EXPECT_EQ(0, h.close());
  EXPECT_EQ(0, atomic_read(&busy));
}

}  // namespace
}  // namespace velloc_test
