// Copy-on-write under load: many tasks write random ranges of a protected partition (with
// plain reads, read-aheads and writes carrying the read-ahead bit mixed in); afterwards the
// cache must hold exactly the snapshot contents of every block written, each captured once.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CowLoadTest : public CowFixture {};

struct Op {
  unsigned first, count;
};

TEST_F(CowLoadTest, RacingWritersLeaveExactlyThePreWriteContentsOfEveryWrittenBlock) {
  makePartition(4096, 32768);  // 4096 blocks
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, blocks_));
  protect();
  Backup* b = session();
  ASSERT_NE(nullptr, b);
  ASSERT_EQ((u32)stateSnapshotComplete, velGetState(b));
  const auto truth = snapshotDisk();

  constexpr int kThreads = 6;
  constexpr int kOps = 120;
  std::vector<std::vector<Op>> written(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      std::vector<uint8_t> buf;
      for (int i = 0; i < kOps; i++) {
        // Hot spots make several tasks meet on the same blocks.
        unsigned first = (rng() % 4 == 0) ? (rng() % 64) : (rng() % (blocks_ - 8));
        unsigned count = 1 + rng() % 8;
        if (first + count > blocks_) count = blocks_ - first;
        buf.assign((size_t)count * blockSize_, (uint8_t)(t * 16 + i));
        unsigned kind = rng() % 10;
        if (kind < 6) {  // write, or write with the read-ahead bit
          for (unsigned k = 0; k < count; k++) {
            BlockStamp s{kStampMagic, (uint32_t)t, (uint32_t)i, first + k};
            memcpy(buf.data() + (size_t)k * blockSize_, &s, sizeof(s));
          }
          unsigned long rw = (kind == 5) ? 3ul : 1ul;
          if (!rawBio(dev_, (uint64_t)first * blockSize_, buf.data(), buf.size(), rw)) failures++;
          written[t].push_back({first, count});
        } else if (kind < 9) {
          if (!rawBio(dev_, (uint64_t)first * blockSize_, buf.data(), buf.size(), READ)) failures++;
        } else {
          if (!rawBio(dev_, (uint64_t)first * blockSize_, buf.data(), buf.size(), READA)) failures++;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  waitIdle(b);

  std::set<unsigned> blocksWritten;
  for (int t = 0; t < kThreads; t++)
    for (const Op& op : written[t])
      for (unsigned k = 0; k < op.count; k++) blocksWritten.insert(op.first + k);

  EXPECT_EQ((u32)stateSnapshotComplete, velGetState(b));
  auto cache = cacheContents(b);
  EXPECT_EQ(blocksWritten.size(), cache.size());
  for (unsigned bn : blocksWritten) {
    auto it = cache.find(bn);
    ASSERT_NE(cache.end(), it) << "block " << bn << " written but not captured";
    ASSERT_EQ(1u, it->second.size()) << "block " << bn << " captured " << it->second.size() << " times";
    EXPECT_TRUE(it->second[0] == truth[bn]) << "block " << bn << " captured with later contents";
  }
  for (const auto& [bn, recs] : cache) EXPECT_TRUE(blocksWritten.count(bn)) << "unwritten block " << bn << " cached";

  // Every block was captured once and only once, and the writes all reached the disk.
  EXPECT_EQ((int)blocksWritten.size(), atomic_read(&b->totalAllocCPs));
  EXPECT_EQ((int)blocksWritten.size(), atomic_read(&b->curAllocCPs));
  EXPECT_EQ((int)blocksWritten.size(), atomic_read(&b->peakAllocCPs));
  for (unsigned bn : blocksWritten) {
    ASSERT_TRUE(blockInMap(&b->cacheMap, bn));
    auto now = diskBlock(bn);
    BlockStamp s;
    memcpy(&s, now.data(), sizeof(s));
    EXPECT_EQ(kStampMagic, s.magic) << "write to block " << bn << " did not reach the disk";
    EXPECT_EQ(bn, s.block);
    EXPECT_LT(s.writer, (uint32_t)kThreads);
  }
  closeAndExpectBalanced();
}

}  // namespace
}  // namespace velloc_test
