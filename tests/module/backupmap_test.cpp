// The agent's backup map: when it can be loaded, what a failed load leaves, the cache
// clean-up at the load, what is protected afterwards, and the dirty-block query.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class BackupMapTest : public CowFixture {
 protected:
  std::vector<uint8_t> mapOf(const std::set<unsigned>& blocks) {
    std::vector<uint8_t> m((blocks_ + 7) / 8, 0);
    for (unsigned bn : blocks) m[bn / 8] |= (uint8_t)(1u << (bn % 8));
    return m;
  }
  // Reads one block through the agent's transfer buffer.
  std::vector<uint8_t> agentRead(unsigned bn) {
    if (!buffer_) {
      int64_t a = mapTransferBuffer(agent(), 256 * 4096);
      EXPECT_GT(a, 0) << "mmap of the transfer buffer";
      buffer_ = (uint32_t)a;
    }
    std::vector<uint8_t> v(blockSize_);
    EXPECT_EQ(0, agent().readBlocks(bn, 1, buffer_));
    EXPECT_EQ(0, agent().readMapped(buffer_, v.data(), blockSize_));
    return v;
  }
  uint32_t dirty() {
    uint32_t bn = 0;
    EXPECT_EQ(0, agent().getDirtyBlock(&bn));
    return bn;
  }
  uint32_t buffer_ = 0;
};

TEST_F(BackupMapTest, LoadIsRefusedOutsideSnapshotCompleteAndAFailedLoadEndsTheSession) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  auto mark = logMark();
  EXPECT_EQ(2, agent().loadBlockMap(mapOf({1}), blocks_));
  EXPECT_EQ(1, logCount("ioctlLoadBlockMap: backup error snapshot not complete", mark));
  EXPECT_EQ((u32)stateStarted, agent().state().state);

  protect();
  uint32_t bn = 0;
  EXPECT_EQ(2, agent().getDirtyBlock(&bn)) << "dirty blocks only once a map is loaded";
  mark = logMark();
  EXPECT_EQ(2, agent().loadBlockMap({}, 0));
  EXPECT_TRUE(logInOrder({"newBlockMap: block size size=0 invalid", "newBUBlockMap: error creating map of size=0",
                          "ioctlLoadBlockMap: backup error failed to load device map"},
                         mark));
  EXPECT_EQ((u32)stateMapLoadFailed, agent().state().state);
  EXPECT_EQ(2, agent().loadBlockMap(mapOf({1}), blocks_));
  // Writes go on unprotected.
  writeBlock(1, 1, 0);
  EXPECT_EQ(0, atomic_read(&session()->totalAllocCPs));
  closeAndExpectBalanced();
}

TEST_F(BackupMapTest, AnUnreadableAgentMapFailsTheLoadWithNothingLeft) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  UserBlockMap ubm{agent().allocEndingAtHole(100), blocks_};  // needs 512 bytes
  LoadBlockMap rec{agent().place(ubm), sizeof(UserBlockMap)};
  EXPECT_EQ(6, agent().ioctlRecord(doLoadBlockMap, &rec, sizeof(rec)));
  EXPECT_EQ((u32)stateMapLoadFailed, agent().state().state);
  EXPECT_EQ(nullptr, session()->blockMap.map);
  closeAndExpectBalanced();
}

TEST_F(BackupMapTest, AfterTheLoadOnlyMappedUnreadBlocksAreKeptAndDirtyBlocksDrainTheCache) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  const unsigned A = 3, B = 5, E = 7, C = 50, D = 60;
  const auto truth = snapshotDisk();

  writeBlock(A, 1, 0);
  writeBlock(B, 1, 1);
  waitIdle(b);
  ASSERT_EQ(2u, cacheContents(b).size());

  ASSERT_EQ(0, agent().loadBlockMap(mapOf({A, C, E}), blocks_));
  EXPECT_EQ((u32)stateMapLoaded, agent().state().state);
  auto cache = cacheContents(b);
  EXPECT_EQ(1u, cache.size()) << "B is outside the map and must be dropped";
  EXPECT_EQ(1u, cache.count(A));
  EXPECT_EQ(1, atomic_read(&b->totalCleanedCBs));
  EXPECT_FALSE(blockInMap(&b->cacheMap, B));

  EXPECT_EQ(A, dirty());
  EXPECT_TRUE(agentRead(E) == truth[E]);  // E is read now: no longer protected
  writeBlock(C, 2, 0);
  writeBlock(D, 2, 1);
  writeBlock(E, 2, 2);
  waitIdle(b);
  cache = cacheContents(b);
  EXPECT_EQ((std::set<unsigned>{A, C}), [&] {
    std::set<unsigned> s;
    for (auto& [bn, r] : cache) s.insert(bn);
    return s;
  }());

  // Draining: each dirty block read comes from the cache and leaves it.
  EXPECT_EQ(A, dirty());
  EXPECT_TRUE(agentRead(A) == truth[A]);
  EXPECT_EQ(C, dirty());
  EXPECT_TRUE(agentRead(C) == truth[C]);
  EXPECT_EQ(VEL_NO_DIRTY_BLOCK, dirty());
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  // A block already read is not protected any more: later writes show through.
  writeBlock(A, 3, 0);
  waitIdle(b);
  EXPECT_EQ(VEL_NO_DIRTY_BLOCK, dirty());
  BlockStamp s;
  memcpy(&s, agentRead(A).data(), sizeof(s));
  EXPECT_EQ(3u, s.writer);
  EXPECT_EQ(0, agent().munmap(buffer_, 256 * 4096));  // the mapping holds the file too
  closeAndExpectBalanced();
}

TEST_F(BackupMapTest, AChangedBlockMapStillHeldIsReleasedByTheLoad) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  // What an incremental snapshot leaves: the changed-block map in blockMap, counted.
  unsigned pages = 0;
  ASSERT_EQ(0, newBlockMap(&b->blockMap, blocks_, nullptr, 1, &pages));
  atomic_add((int)pages, &b->totalAllocPages);
  atomic_add((int)pages, &b->curAllocPages);
  const int curBefore = atomic_read(&b->curAllocPages);
  const int64_t livePages = machine::live(machine::Obj::page);

  ASSERT_EQ(0, agent().loadBlockMap(mapOf({1, 2}), blocks_));
  EXPECT_EQ(curBefore, atomic_read(&b->curAllocPages));
  EXPECT_EQ(livePages, machine::live(machine::Obj::page));
  EXPECT_TRUE(blockInMap(&b->blockMap, 1));
  EXPECT_FALSE(blockInMap(&b->blockMap, 3));
  closeAndExpectBalanced();
}

TEST_F(BackupMapTest, WritesRacingTheLoadLeaveExactlyTheWrittenMappedBlocksCached) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  const auto truth = snapshotDisk();
  std::set<unsigned> mapped;
  for (unsigned bn = 0; bn < blocks_; bn += 3) mapped.insert(bn);

  std::atomic<bool> stop{false};
  std::vector<std::set<unsigned>> written(4);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; t++) {
    writers.emplace_back([&, t] {
      std::mt19937 rng(77 + t);
      std::vector<uint8_t> buf(2 * blockSize_, (uint8_t)t);
      for (int i = 0; i < 400 && !stop; i++) {
        unsigned bn = rng() % (blocks_ - 1);
        rawBio(dev_, (uint64_t)bn * blockSize_, buf.data(), buf.size(), WRITE);
        written[t].insert(bn);
        written[t].insert(bn + 1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(0, agent().loadBlockMap(mapOf(mapped), blocks_));
  stop = true;
  for (auto& th : writers) th.join();
  waitIdle(b);

  std::set<unsigned> expect;
  for (auto& w : written)
    for (unsigned bn : w)
      if (mapped.count(bn)) expect.insert(bn);
  auto cache = cacheContents(b);
  for (auto& [bn, recs] : cache) {
    EXPECT_TRUE(mapped.count(bn)) << "block " << bn << " outside the map still cached";
    EXPECT_EQ(1u, recs.size());
    EXPECT_TRUE(recs[0] == truth[bn]);
  }
  EXPECT_EQ(expect.size(), cache.size());
  EXPECT_EQ((int)cache.size(), atomic_read(&b->curAllocCPs));
  closeAndExpectBalanced();
}

TEST_F(BackupMapTest, ReadsRacingWritesAfterTheLoadSeeThePointInTime) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  const auto truth = snapshotDisk();
  std::set<unsigned> all;
  for (unsigned bn = 0; bn < blocks_; bn++) all.insert(bn);
  ASSERT_EQ(0, agent().loadBlockMap(mapOf(all), blocks_));

  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; t++) {
    writers.emplace_back([&, t] {
      std::mt19937 rng(5 + t);
      std::vector<uint8_t> buf(4 * blockSize_, (uint8_t)(0xC0 + t));
      while (!stop) {
        unsigned bn = rng() % (blocks_ - 3);
        rawBio(dev_, (uint64_t)bn * blockSize_, buf.data(), buf.size(), (rng() % 4) ? WRITE : 3ul);
      }
    });
  }
  int64_t a = mapTransferBuffer(agent(), 256 * 4096);
  ASSERT_GT(a, 0);
  std::vector<uint8_t> got(256 * 4096);
  unsigned mismatches = 0;
  for (unsigned first = 0; first < blocks_; first += 256) {
    unsigned n = std::min(256u, blocks_ - first);
    ASSERT_EQ(0, agent().readBlocks(first, n, (uint32_t)a));
    ASSERT_EQ(0, agent().readMapped((uint32_t)a, got.data(), (size_t)n * blockSize_));
    for (unsigned k = 0; k < n; k++)
      if (memcmp(got.data() + (size_t)k * blockSize_, truth[first + k].data(), blockSize_) != 0) mismatches++;
  }
  stop = true;
  for (auto& th : writers) th.join();
  waitIdle(b);
  EXPECT_EQ(0u, mismatches) << "blocks read differ from the snapshot";
  EXPECT_EQ((u32)stateMapLoaded, agent().state().state);
  // Everything was read: nothing may stay cached, nothing is protected any more.
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  EXPECT_EQ(0, agent().munmap((uint32_t)a, 256 * 4096));
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
