// The worker's cache-map mark, made after a held write went on, against the agent's read
// that hands the block's copy out and unmarks it at the same moment. Stress seed 1010 hit
// this: the read came between the worker's "does the block still need its copy" and its
// mark, leaving a mark on a block whose copy was gone, and a later read of the block was
// refused. The test parks the worker right at its test and the read right at its unmark,
// then lets the read finish first.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CacheMarkRaceTest : public CowFixture {
 protected:
  static int waitersOn(struct semaphore* s) { return __atomic_load_n(&s->waiters, __ATOMIC_SEQ_CST); }
  // 2: a contender sleeps on the spin lock.
  static int lockWord(spinlock_t* l) { return __atomic_load_n(&l->slock, __ATOMIC_SEQ_CST); }
  // A copy of bn in the cache (looked up without handing it out).
  static bool cached(Backup* b, unsigned bn) {
    HashTable* ht = b->blockTable[bn & VEL_HASH_MASK];
    CachePage* last = nullptr;
    down(&ht->sem);
    bool found = locateBlockInList(ht->busy, bn, &last) != nullptr;
    up(&ht->sem);
    return found;
  }
};

TEST_F(CacheMarkRaceTest, AReadHandingOutTheCopyDuringTheMarkLeavesNoMarkBehind) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  ASSERT_NE(nullptr, b);
  std::vector<uint8_t> all((blocks_ + 7) / 8, 0xFF);
  ASSERT_EQ(0, agent().loadBlockMap(all, blocks_));
  ASSERT_EQ(stateMapLoaded, agent().state().state);
  BlockMap* cm = &b->cacheMap;
  const int64_t buf = mapTransferBuffer(agent(), 4096);
  ASSERT_GT(buf, 0);

  for (unsigned bn : {40u, 41u, 300u}) {
    SCOPED_TRACE("block " + std::to_string(bn));
    const auto truth = diskBlock(bn);
    HashTable* ht = b->blockTable[bn & VEL_HASH_MASK];

    // Park the worker at the store of bn's copy, then hold cacheMap's semaphore so that,
    // once stored and the write passed on, the worker stops in its "still needs a copy?".
    // A step that never comes fails the test once everything is released and joined.
    down(&ht->sem);
    std::thread writer([&] { writeBlock(bn, 1, bn); });
    bool stored = waitFor([&] { return waitersOn(&ht->sem) == 1; });
    down(&cm->sem);
    up(&ht->sem);
    bool atMark = stored && waitFor([&] { return waitersOn(&cm->sem) == 1; });

    // The read of bn: it finds the copy and, unless the worker holds the bucket across its
    // test and mark, goes on to unmark bn, which waits at cacheMap's gate (held here).
    unsigned long flags;
    spin_lock_irqsave(&cm->usersLock, flags);
    std::vector<uint8_t> got(blockSize_);
    std::atomic<int> handed{-1};
    std::thread reader([&] { handed = cacheRead(b, got.data(), bn); });
    bool parked = atMark && waitFor([&] { return lockWord(&cm->usersLock) == 2 || waitersOn(&ht->sem) == 1; });

    // Let the worker finish its test; its mark then queues at the gate behind the read.
    up(&cm->sem);
    bool tested = waitFor([&] { return atomic_read(&cm->users) == 1 && waitersOn(&cm->sem) == 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    spin_unlock_irqrestore(&cm->usersLock, flags);
    reader.join();
    writer.join();
    waitIdle(b);
    ASSERT_TRUE(stored) << "the worker never reached the store";
    ASSERT_TRUE(atMark) << "the worker never reached its mark";
    ASSERT_TRUE(parked) << "the read never reached the unmark";
    ASSERT_TRUE(tested) << "the worker never finished its test";

    EXPECT_EQ((int)blockSize_, handed.load());
    EXPECT_TRUE(got == truth) << "the read handed out the snapshot contents";
    EXPECT_FALSE(cached(b, bn)) << "the copy handed out is gone";
    EXPECT_FALSE(blockInMap(&b->blockMap, bn));
    EXPECT_FALSE(blockInMap(cm, bn)) << "a mark stands for a copy that is no longer there";

    // The agent may read the block again: it comes from the disk, as it is now.
    EXPECT_EQ(0, agent().readBlocks(bn, 1, uint32_t(buf))) << "a re-read was refused";
  }
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  ASSERT_EQ(0, machine::sys_munmap(agent().proc, uint32_t(buf), 4096));
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
