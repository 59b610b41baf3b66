// The point-in-time guarantee under load, through the device as an agent: file-system
// writers never stop while a full backup and then incremental ones run. Each backup must
// equal, block for block, the partition as it was while frozen for its snapshot; each
// change map must hold every block that changed between two snapshots; and the full image
// plus the changed blocks must rebuild every later snapshot. Block sizes 1024 and 4096,
// reading everything, reading only a loaded block map, and draining dirty blocks first.
#include "velloc_fixture.h"
#include "backup_helpers.h"

#include <algorithm>

namespace velloc_test {
namespace {

enum class Mode { Plain, BlockMap, Draining };

struct PitCase {
  uint32_t bs;
  Mode mode;
};

class PointInTimeTest : public VellocFixture, public ::testing::WithParamInterface<PitCase> {
 protected:
  // A 2 MiB partition: 2048 blocks of 1024 bytes, 512 of 4096.
  void setUpPartition(uint32_t bs) {
    p.disk = attachDisk(4 << 20, {{2048, 4096}});
    p.dev = p.disk.part(1);
    p.bs = bs;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / bs);
    p.mnt = mount(p.dev, bs);
    stampPartition(p, 11);
    truths.install(p);
  }

  // Reads the blocks of `want` into `image` (whole-partition layout) in runs of at most
  // one buffer; with `drain`, after each run a few blocks the dirty-block query names are
  // read at once, and once everything is read the query must run dry. Every wanted block
  // is read exactly once (a read block is no longer protected).
  void readSet(AgentHandle& h, uint32_t buf, uint32_t bufBlocks, std::set<uint32_t> want, bool drain,
               Bytes& image) {
    Scratch sc(h);
    auto readOne = [&](uint32_t start, uint32_t n) {
      long r = readRange(sc, buf, bufBlocks, p.bs, start, n, image.data() + uint64_t(start) * p.bs);
      ASSERT_EQ(0, r) << "blocks " << start << "+" << n;
      for (uint32_t i = 0; i < n; ++i) want.erase(start + i);
    };
    // Reads what the dirty-block query names, at most `limit` blocks. A capture that raced a
    // block's own read may leave a copy nobody needs: reading it again hands it out.
    auto drainSome = [&](int limit) {
      for (int i = 0; i < limit; ++i) {
        uint32_t d = 0;
        ASSERT_EQ(0, sc.getDirtyBlock(&d));
        if (d == VEL_NO_DIRTY_BLOCK) return;
        if (want.count(d)) {
          readOne(d, 1);
          ++drained;
        } else {
          Bytes scratch(p.bs);
          ASSERT_EQ(0, readRange(sc, buf, 1, p.bs, d, 1, scratch.data()));
        }
        if (::testing::Test::HasFatalFailure()) return;
      }
    };
    while (!want.empty()) {
      uint32_t start = *want.begin(), n = 1;
      while (n < bufBlocks && want.count(start + n)) ++n;
      readOne(start, n);
      if (::testing::Test::HasFatalFailure()) return;
      if (drain) drainSome(8);
      if (::testing::Test::HasFatalFailure()) return;
    }
    if (drain) {
      drainSome(1000);
      uint32_t d = 0;
      ASSERT_EQ(0, sc.getDirtyBlock(&d));
      EXPECT_EQ(VEL_NO_DIRTY_BLOCK, d) << "every block read: nothing left in the cache";
    }
  }

  Part p;
  FreezeTruth truths;
  int drained = 0;  // blocks read because the dirty-block query named them
};

TEST_P(PointInTimeTest, FullThenIncrementalsEqualTheFrozenPartition) {
  const PitCase c = GetParam();
  setUpPartition(c.bs);
  std::set<uint32_t> all;
  for (uint32_t n = 0; n < p.blocks; ++n) all.insert(n);

  Writers writers(p, 2, c.bs + int(c.mode), 100);
  AMSessionKey key{};
  Bytes prevTruth, rebuilt;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    AgentHandle h = round == 0 ? agent() : openHandle(agent().proc);
    ASSERT_EQ(0, h.startBackup(p.dev, p.blocks, p.blocks));
    uint32_t bufBytes = uint32_t(h.state().mmapSize);
    int64_t buf = mapBuffer(h, bufBytes);
    ASSERT_GT(buf, 0);
    size_t frozenBefore = truths.count();
    ASSERT_EQ(0, h.snapShot(&key));
    ASSERT_EQ(stateSnapshotComplete, h.state().state);
    ASSERT_EQ(frozenBefore + 1, truths.count());
    Bytes truth = truths.last();
    AutoMapState ams = autoMapState(h);
    ASSERT_EQ(amsInSync, ams.state);
    key = ams.amsKey;

    std::set<uint32_t> changed = all;
    if (round > 0) {
      Bytes cm;
      ASSERT_EQ(0, h.getAutoMap(&cm, ams.mapLen, ams.mapSize)) << "an incremental snapshot hands over its map";
      changed = bitsOf(cm, p.blocks);
      for (uint32_t n = 0; n < p.blocks; ++n)
        if (blockOf(prevTruth, p.bs, n) != blockOf(truth, p.bs, n)) {
          ASSERT_TRUE(changed.count(n)) << "block " << n << " changed between the snapshots but is not in the map";
        }
    }

    Bytes image(p.bytes(), 0xEE);
    const uint32_t bufBlocks = bufBytes / p.bs;
    if (c.mode == Mode::Plain) {
      Scratch sc(h);
      ASSERT_EQ(0, readRange(sc, uint32_t(buf), bufBlocks, p.bs, 0, p.blocks, image.data()));
      ASSERT_TRUE(image == truth) << "the whole image equals the frozen partition";
    } else {
      ASSERT_EQ(0, h.loadBlockMap(bitmapOf(changed, p.blocks), p.blocks));
      ASSERT_EQ(stateMapLoaded, h.state().state);
      readSet(h, uint32_t(buf), bufBlocks, changed, c.mode == Mode::Draining, image);
      if (HasFatalFailure()) return;
    }
    for (uint32_t n : changed)
      ASSERT_EQ(blockOf(truth, p.bs, n), blockOf(image, p.bs, n)) << "block " << n;
    uint32_t st = h.state().state;
    EXPECT_TRUE(st == stateSnapshotComplete || st == stateMapLoaded) << "session state " << st;

    if (round == 0) {
      rebuilt = image;
    } else {
      for (uint32_t n : changed)
        std::copy_n(image.begin() + uint64_t(n) * p.bs, p.bs, rebuilt.begin() + uint64_t(n) * p.bs);
      ASSERT_TRUE(rebuilt == truth) << "full + changed blocks rebuild the snapshot";
    }
    prevTruth = truth;
    ASSERT_EQ(0, h.munmap(uint32_t(buf), bufBytes));
    ASSERT_EQ(0, h.close());
  }
  writers.stop();
  EXPECT_GT(writers.writes(), 0u);
  EXPECT_EQ(0, writers.failures());
  EXPECT_EQ(0, logCount("Block read error"));
  if (c.mode == Mode::Draining) { EXPECT_GT(drained, 0) << "the writers should have left dirty blocks to drain"; }
}

std::string pitName(const ::testing::TestParamInfo<PitCase>& i) {
  static const char* const modes[] = {"Plain", "BlockMap", "Draining"};
  return "bs" + std::to_string(i.param.bs) + "_" + modes[int(i.param.mode)];
}

INSTANTIATE_TEST_SUITE_P(Modes, PointInTimeTest,
                         ::testing::Values(PitCase{1024, Mode::Plain}, PitCase{1024, Mode::BlockMap},
                                           PitCase{1024, Mode::Draining}, PitCase{4096, Mode::Plain},
                                           PitCase{4096, Mode::BlockMap}, PitCase{4096, Mode::Draining}),
                         pitName);

class UnloadDuringBackupTest : public PointInTimeTest {};

// The unload command of another handle drops change tracking; the running backup goes on
// and still shows its snapshot.
TEST_F(UnloadDuringBackupTest, BackupKeepsItsSnapshotWhenChangeTrackingIsDropped) {
  setUpPartition(4096);
  Writers writers(p, 2, 77, 100);
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  int64_t buf = mapBuffer(agent(), 256 * 4096);
  ASSERT_GT(buf, 0);
  ASSERT_EQ(0, agent().snapShot());
  Bytes truth = truths.last();
  Bytes image(p.bytes());
  Scratch sc(agent());
  ASSERT_EQ(0, readRange(sc, uint32_t(buf), 256, 4096, 0, 256, image.data()));

  machine::Process* other = newProcess("other");
  AgentHandle oh = openHandle(other);
  std::thread t = runInProcess(other, [&] { EXPECT_EQ(0, oh.unload()); });
  t.join();
  EXPECT_EQ(0u, autoMapState(agent()).state);
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));

  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // writes go on meanwhile
  ASSERT_EQ(0, readRange(sc, uint32_t(buf), 256, 4096, 256, p.blocks - 256, image.data() + 256 * 4096));
  writers.stop();
  for (uint32_t n = 0; n < p.blocks; ++n) ASSERT_EQ(blockOf(truth, 4096, n), blockOf(image, 4096, n)) << "block " << n;
  EXPECT_EQ(stateSnapshotComplete, agent().state().state);
}

}  // namespace
}  // namespace velloc_test
