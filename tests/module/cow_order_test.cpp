// The copy-on-write protocol, one rule at a time: which bios are held, in which order the
// worker serves them, and that every held write has its old contents kept exactly once.
// The worker is stalled on purpose by holding the cache bucket it is about to store into.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CowOrderTest : public CowFixture {
 protected:
  // A bio sent on its own thread; done turns true when it has completed.
  struct Pending {
    std::thread th;
    std::atomic<bool> done{false};
    std::vector<uint8_t> buf;
  };
  void send(Pending& p, unsigned bn, unsigned long rw, uint8_t fill) {
    p.buf.assign(blockSize_, fill);
    if (rw & 1) {
      BlockStamp s{kStampMagic, fill, 0, bn};
      memcpy(p.buf.data(), &s, sizeof(s));
    }
    p.th = std::thread([this, &p, bn, rw] {
      rawBio(dev_, (uint64_t)bn * blockSize_, p.buf.data(), blockSize_, rw);
      p.done = true;
    });
  }
  static int waitersOn(struct semaphore* s) { return __atomic_load_n(&s->waiters, __ATOMIC_SEQ_CST); }
};

TEST_F(CowOrderTest, HeldBiosAreServedInArrivalOrderAndEachBlockIsCapturedOnce) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  ASSERT_NE(nullptr, b);
  const unsigned X = 100, Y = 101;
  const auto truthX = diskBlock(X), truthY = diskBlock(Y);

  // Stall the worker inside the capture of X: it has read X and waits for X's bucket.
  HashTable* htX = b->blockTable[X & VEL_HASH_MASK];
  down(&htX->sem);
  Pending w1, ra, rd, w2, w3;
  send(w1, X, WRITE, 1);
  ASSERT_TRUE(waitFor([&] { return waitersOn(&htX->sem) == 1; })) << "worker never reached the store";

  // A read-ahead is never held: it completes while the worker is stuck.
  send(ra, X, READA, 0);
  EXPECT_TRUE(waitFor([&] { return ra.done.load(); })) << "read-ahead was held";
  // A plain read, a second write of X, and a write of Y carrying the read-ahead bit all
  // queue behind the first write.
  send(rd, X, READ, 0);
  EXPECT_TRUE(waitFor([&] { return atomic_read(&b->mrInQueue) == 2; }));
  send(w2, X, WRITE, 2);
  EXPECT_TRUE(waitFor([&] { return atomic_read(&b->mrInQueue) == 3; }));
  send(w3, Y, 3ul, 3);
  EXPECT_TRUE(waitFor([&] { return atomic_read(&b->mrInQueue) == 4; }));
  EXPECT_FALSE(w1.done || rd.done || w2.done || w3.done) << "a held bio overtook the capture";

  up(&htX->sem);
  for (Pending* p : {&w1, &ra, &rd, &w2, &w3}) p->th.join();
  waitIdle(b);

  auto cache = cacheContents(b);
  ASSERT_EQ(2u, cache.size());
  ASSERT_EQ(1u, cache[X].size());
  EXPECT_TRUE(cache[X][0] == truthX);
  ASSERT_EQ(1u, cache[Y].size()) << "a write with the read-ahead bit was not captured";
  EXPECT_TRUE(cache[Y][0] == truthY);
  EXPECT_EQ(2, atomic_read(&b->totalAllocCPs));
  EXPECT_TRUE(blockInMap(&b->cacheMap, X));
  EXPECT_TRUE(blockInMap(&b->cacheMap, Y));
  // Both writes of X reached the disk (the disk may finish them in either order).
  BlockStamp s;
  memcpy(&s, diskBlock(X).data(), sizeof(s));
  EXPECT_EQ(kStampMagic, s.magic);
  EXPECT_TRUE(s.writer == 1 || s.writer == 2);
  memcpy(&s, diskBlock(Y).data(), sizeof(s));
  EXPECT_EQ(3u, s.writer);

  // Once marked, writes of X and Y pass straight on and capture nothing more.
  writeBlock(X, 4, 0);
  writeBlock(Y, 4, 1, 3ul);
  EXPECT_EQ(2, atomic_read(&b->totalAllocCPs));
  closeAndExpectBalanced();
}

TEST_F(CowOrderTest, AWideWriteCapturesOnlyTheBlocksThatStillNeedACopy) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  const auto truth9 = diskBlock(9);
  for (unsigned bn = 10; bn <= 12; bn++) writeBlock(bn, 1, bn);
  waitIdle(b);
  EXPECT_EQ(3, atomic_read(&b->totalAllocCPs));

  std::vector<uint8_t> buf(4 * blockSize_, 0x77);
  ASSERT_EQ(1, rawBio(dev_, 9ull * blockSize_, buf.data(), buf.size(), WRITE));
  waitIdle(b);
  auto cache = cacheContents(b);
  EXPECT_EQ(4, atomic_read(&b->totalAllocCPs));
  ASSERT_EQ(1u, cache.count(9));
  EXPECT_TRUE(cache[9][0] == truth9);
  for (unsigned bn = 10; bn <= 12; bn++) {
    ASSERT_EQ(1u, cache[bn].size());
    BlockStamp s;
    memcpy(&s, cache[bn][0].data(), sizeof(s));
    EXPECT_NE(kStampMagic, s.magic) << "block " << bn << " recaptured after its first write";
  }
  closeAndExpectBalanced();
}

TEST_F(CowOrderTest, OnlyTheSessionsPartitionIsProtectedAndOnlyFromTheSwitchOn) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  Backup* b = session();
  ASSERT_NE(nullptr, b);
  // Interception installed, state still stateStarted: writes pass on untouched.
  ASSERT_EQ(0, setMRF(b, velMRF));
  writeBlock(5, 1, 0);
  EXPECT_EQ(0, atomic_read(&b->totalAllocCPs));
  const auto atSwitch = diskBlock(5);

  protect(false);
  // The neighbouring partition shares the queue but is not protected.
  uint32_t other = disk_.part(2);
  std::vector<uint8_t> buf(blockSize_, 0x55);
  ASSERT_EQ(1, rawBio(other, 0, buf.data(), buf.size(), WRITE));
  EXPECT_EQ(0, atomic_read(&b->totalAllocCPs));
  EXPECT_EQ(0, atomic_read(&b->mrInQueue));

  // The protected contents are those at the switch, not those at the start.
  writeBlock(5, 2, 0);
  waitIdle(b);
  auto cache = cacheContents(b);
  ASSERT_EQ(1u, cache.size());
  EXPECT_TRUE(cache[5][0] == atSwitch);
  closeAndExpectBalanced();
}

TEST_F(CowOrderTest, BlocksPastTheBackupsEndAreNotCaptured) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, 1000, 100));  // the agent counts fewer blocks
  protect();
  Backup* b = session();
  writeBlock(999, 1, 0);
  writeBlock(1000, 1, 1);
  writeBlock(1000, 1, 2);
  waitIdle(b);
  auto cache = cacheContents(b);
  EXPECT_EQ(1u, cache.size());
  EXPECT_EQ(1u, cache.count(999));
  closeAndExpectBalanced();
}

TEST_F(CowOrderTest, ASignalDoesNotStopTheWorker) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  ASSERT_GT(__atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST), 0);
  for (int i = 0; i < 3; i++) kill_proc(__atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST), SIGKILL, 1);
  for (unsigned bn = 20; bn < 30; bn++) writeBlock(bn, 1, bn);
  waitIdle(b);
  EXPECT_EQ(10, atomic_read(&b->totalAllocCPs));
  EXPECT_EQ(0, logCount("backupd thread exiting"));
  closeAndExpectBalanced();
  EXPECT_EQ(1, logCount("backupd thread exiting"));
  // The interrupted waits made no passes of their own: the start's unit alone is back.
  EXPECT_EQ(1, __atomic_load_n(&signalThread.count, __ATOMIC_SEQ_CST));
}

TEST_F(CowOrderTest, EachSessionGetsItsOwnWorkerAndGivesTheStartUnitBack) {
  makePartition();
  for (int round = 0; round < 3; round++) {
    AgentHandle h = openHandle(agent().proc);
    ASSERT_EQ(0, h.startBackup(dev_, blocks_, 100));
    EXPECT_EQ(0, __atomic_load_n(&signalThread.count, __ATOMIC_SEQ_CST));
    EXPECT_EQ(0, h.close());
    EXPECT_EQ(1, __atomic_load_n(&signalThread.count, __ATOMIC_SEQ_CST));
    EXPECT_EQ(0, __atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST));
  }
  EXPECT_EQ(3, logCount("kbackupd thread started"));
  EXPECT_EQ(3, logCount("backupd thread exiting"));
}

TEST_F(CowOrderTest, AWriteWithTheReadAheadBitIsTrackedAsAWrite) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  ASSERT_EQ(0, agent().snapShot());  // with change tracking
  ASSERT_EQ((u32)stateSnapshotComplete, agent().state().state);
  AutoMapSession* ams = amList[majorOf(dev_)][minorOf(dev_)];
  ASSERT_NE(nullptr, ams);
  ASSERT_EQ((u32)amsInSync, ams->state);
  std::vector<uint8_t> buf(blockSize_, 0x11);
  ASSERT_EQ(1, rawBio(dev_, 40ull * blockSize_, buf.data(), buf.size(), 3ul));
  ASSERT_EQ(1, rawBio(dev_, 41ull * blockSize_, buf.data(), buf.size(), WRITE));
  ASSERT_EQ(1, rawBio(dev_, 42ull * blockSize_, buf.data(), buf.size(), READA));
  ASSERT_EQ(1, rawBio(dev_, 43ull * blockSize_, buf.data(), buf.size(), READ));
  waitIdle(session());
  EXPECT_TRUE(blockInMap(&ams->map, 40));
  EXPECT_TRUE(blockInMap(&ams->map, 41));
  EXPECT_FALSE(blockInMap(&ams->map, 42));
  EXPECT_FALSE(blockInMap(&ams->map, 43));
  auto cache = cacheContents(session());
  EXPECT_EQ(1u, cache.count(40));
  EXPECT_EQ(1u, cache.count(41));
  EXPECT_EQ(2u, cache.size());
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
