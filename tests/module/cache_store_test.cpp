// The cache store: bucket sharing, lookups that keep or consume a copy, block sizes below a
// page, and lookups racing the worker's stores.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CacheStoreTest : public CowFixture {};

TEST_F(CacheStoreTest, BlocksSharingABucketAreEachFoundByTheirOwnNumber) {
  makePartition(4096, 65536);  // 8192 blocks: 5 and 4101 share bucket 5
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  const auto t5 = diskBlock(5), t4101 = diskBlock(4101);
  writeBlock(5, 1, 0);
  writeBlock(4101, 1, 1);
  waitIdle(b);
  EXPECT_NE(nullptr, b->blockTable[5]->busy);
  EXPECT_NE(nullptr, b->blockTable[5]->busy->next);

  std::vector<uint8_t> buf(blockSize_);
  EXPECT_EQ((int)blockSize_, cacheRead(b, buf.data(), 5));
  EXPECT_TRUE(buf == t5);
  EXPECT_EQ((int)blockSize_, cacheRead(b, buf.data(), 4101));
  EXPECT_TRUE(buf == t4101);
  EXPECT_EQ(0, cacheRead(b, buf.data(), 6));
  // In stateSnapshotComplete a lookup leaves the copy in place.
  EXPECT_EQ((int)blockSize_, cacheRead(b, buf.data(), 5));
  EXPECT_TRUE(buf == t5);
  EXPECT_EQ(3, atomic_read(&b->totalReadCBs));
  closeAndExpectBalanced();
}

TEST_F(CacheStoreTest, WithTheMapLoadedALookupConsumesTheCopy) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  const auto t9 = diskBlock(9);
  writeBlock(9, 1, 0);
  waitIdle(b);
  std::vector<uint8_t> all((blocks_ + 7) / 8, 0xFF);
  ASSERT_EQ(0, agent().loadBlockMap(all, blocks_));

  std::vector<uint8_t> buf(blockSize_);
  EXPECT_EQ((int)blockSize_, cacheRead(b, buf.data(), 9));
  EXPECT_TRUE(buf == t9);
  EXPECT_EQ(0, cacheRead(b, buf.data(), 9));
  EXPECT_FALSE(blockInMap(&b->blockMap, 9));
  EXPECT_FALSE(blockInMap(&b->cacheMap, 9));
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
  EXPECT_EQ(1, atomic_read(&b->totalAllocCPs));
  closeAndExpectBalanced();
}

TEST_F(CacheStoreTest, SmallBlocksAreStoredAtTheirOwnSize) {
  makePartition(1024, 16384);
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  // Four blocks share a page on disk; one write of two of them captures exactly those two.
  const auto t6 = diskBlock(6), t7 = diskBlock(7);
  std::vector<uint8_t> buf(2 * blockSize_, 0x3C);
  ASSERT_EQ(1, rawBio(dev_, 6ull * blockSize_, buf.data(), buf.size(), WRITE));
  waitIdle(b);
  auto cache = cacheContents(b);
  ASSERT_EQ(2u, cache.size());
  EXPECT_EQ(1024u, cache[6][0].size());
  EXPECT_TRUE(cache[6][0] == t6);
  EXPECT_TRUE(cache[7][0] == t7);
  EXPECT_FALSE(blockInMap(&b->cacheMap, 5));
  EXPECT_FALSE(blockInMap(&b->cacheMap, 8));

  // A write of more blocks than the worker captures in one batch is served on its own.
  const auto truth = snapshotDisk();
  std::vector<uint8_t> big(512 * blockSize_, 0x6B);
  ASSERT_EQ(1, rawBio(dev_, 100ull * blockSize_, big.data(), big.size(), WRITE));
  waitIdle(b);
  cache = cacheContents(b);
  EXPECT_EQ(514u, cache.size());
  for (unsigned bn = 100; bn < 612; bn++) {
    ASSERT_EQ(1u, cache[bn].size()) << bn;
    ASSERT_TRUE(cache[bn][0] == truth[bn]) << bn;
  }
  closeAndExpectBalanced();
}

TEST_F(CacheStoreTest, LookupsRacingStoresAlwaysSeeTheSnapshotContents) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  const auto truth = snapshotDisk();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937 rng(3);
    for (int i = 0; i < 600; i++) writeBlock(rng() % 512, 9, i);
    stop = true;
  });
  // Any copy a lookup finds, however early, is the snapshot's.
  std::vector<uint8_t> buf(blockSize_);
  unsigned found = 0, wrong = 0;
  std::mt19937 rng(4);
  while (!stop) {
    unsigned bn = rng() % 512;
    if (cacheRead(b, buf.data(), bn)) {
      found++;
      if (buf != truth[bn]) wrong++;
    }
  }
  writer.join();
  waitIdle(b);
  EXPECT_EQ(0u, wrong);
  EXPECT_GT(found, 0u);
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
