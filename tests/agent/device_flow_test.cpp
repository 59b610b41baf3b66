// The agent's flows through the character device, against a memory disk: full and
// incremental rounds with writers racing, fall-back to full (key mismatch, change
// tracking out of sync after cache exhaustion), draining, and chains rebuilt by restore
// compared with the partition as it was while frozen.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <chrono>
#include <set>
#include <thread>

#include "agent_test_util.h"
#include "machine/disk.h"
#include "machine/kernel.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/device.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/host.h"
#include "velloc/agent/restore.h"

using namespace velloc::agent;

namespace {

// Partition 1: 8 MiB of 4096-byte blocks; partition 2: 4 MiB of 1024-byte blocks.
class AgentFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<Host>(uint64_t(16) << 20,
                                   std::vector<machine::PartitionSpec>{{2048, 16384}, {2048 + 16384, 8192}});
    host_->mount(1, 4096);
    host_->mount(2, 1024);
    proc_ = std::make_unique<AgentProcess>();
  }
  void TearDown() override {
    proc_.reset();
    host_.reset();
  }

  Target target(int p) { return describeTarget(*proc_, host_->major(p), host_->minor(p), host_->devName(p)); }

  // Writes block b of partition p through its file system with recognisable contents.
  void write(int p, uint32_t b, uint64_t seq) {
    uint32_t bs = p == 1 ? 4096 : 1024;
    std::vector<uint8_t> buf(bs);
    fillBlock(buf.data(), bs, b, seq, 99);
    ASSERT_EQ(machine::fs_write(host_->mounted(p), uint64_t(b) * bs, buf.data(), bs), 0);
  }

  // One round into `w`, committed. Throws what backupRound throws.
  RoundResult round(BackupDirWriter& w, int r, const Target& t, KeyKeeper& keys, BackupOptions o = {}) {
    RoundResult res;
    try {
      res = backupRound(*proc_, t, keys, o, [&](const RoundPlan& plan) { return w.openRound(r, plan); });
    } catch (...) {
      w.abortRound(r);
      throw;
    }
    w.commitRound(r, res.plan, res);
    w.publish();
    return res;
  }

  SourceInfo source(const Target& t, int p) { return agent_test::sourceOf(*host_, t, p, "(memory)"); }

  // Rebuilds round r and compares it with the truth taken at its freeze.
  void expectRestoredEquals(const std::string& dir, int r, const std::vector<uint8_t>& truth, const Target& t) {
    std::string out = tmp_ / ("restored-" + std::to_string(r) + "-" + t.name);
    restoreImage(dir, r, out);
    VerifyResult v = verifyAgainst(out, truth.data(), uint64_t(t.totalBlocks) * t.blockSize, t.blockSize);
    std::string why;
    if (!v.same && !v.first.empty()) {
      // Which writes the two copies of the first differing block come from.
      std::vector<uint8_t> got(t.blockSize);
      std::ifstream f(out, std::ios::binary);
      f.seekg(std::streamoff(v.first[0] * t.blockSize));
      f.read(reinterpret_cast<char*>(got.data()), t.blockSize);
      BlockTag a = readTag(got.data(), t.blockSize), b = readTag(truth.data() + v.first[0] * t.blockSize, t.blockSize);
      why = "block " + std::to_string(v.first[0]) + ": restored has write #" + std::to_string(a.seq) +
            (a.valid ? "" : " (torn)") + ", the snapshot had write #" + std::to_string(b.seq) + (b.valid ? "" : " (torn)");
      Manifest m = Manifest::load(dir);
      if (m.rounds[size_t(r)].incremental) {
        std::ifstream mf(dir + "/" + m.rounds[size_t(r)].mapFile, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(mf)), std::istreambuf_iterator<char>());
        bool in = Bitmap::fromBytes(t.totalBlocks, bytes).test(uint32_t(v.first[0]));
        why += in ? "; the block is in the round's change map" : "; the block is NOT in the round's change map";
      }
    }
    EXPECT_TRUE(v.same) << t.name << " round " << r << ": " << v.differing << " blocks differ; " << why;
    std::remove(out.c_str());
  }

  agent_test::TempDir tmp_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<AgentProcess> proc_;
};

}  // namespace

TEST_F(AgentFlow, ChainsTakenWhileWritersRaceRebuildEachSnapshotOnBothBlockSizes) {
  for (int p : {1, 2}) {
    Target t = target(p);
    ASSERT_EQ(t.blockSize, p == 1 ? 4096u : 1024u);
    std::vector<uint32_t> blocks;
    for (uint32_t b = 0; b < t.totalBlocks; b += 2) blocks.push_back(b);
    Writers writers(host_->mounted(p), t.blockSize, blocks, 3, uint64_t(p), 300);
    FreezeOracle oracle(*host_, p);
    BackupDirWriter w(tmp_ / ("chain-" + t.name), source(t, p));
    KeyKeeper keys;
    writers.start();
    for (int r = 0; r < 3; ++r) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      RoundResult res = round(w, r, t, keys);
      EXPECT_EQ(res.plan.incremental, r > 0) << res.plan.fallbackReason;
      if (r == 0) {
        EXPECT_NE(res.plan.fallbackReason.find("first backup"), std::string::npos);
      }
      std::vector<uint8_t> truth = oracle.take();
      ASSERT_GE(truth.size(), uint64_t(t.totalBlocks) * t.blockSize);
      expectRestoredEquals(w.dir(), r, truth, t);
    }
    writers.stop();
    EXPECT_GT(writers.writes(), 0u);
    EXPECT_EQ(writers.errors(), 0u) << writers.firstError();
  }
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(AgentFlow, AnIncrementalCopiesExactlyTheBlocksWrittenSinceTheSnapshotBefore) {
  Target t = target(2);
  BackupDirWriter w(tmp_ / "b", source(t, 2));
  KeyKeeper keys;
  FreezeOracle oracle(*host_, 2);
  round(w, 0, t, keys);
  oracle.take();
  std::set<uint32_t> written{0, 1, 2, 700, 2047, t.totalBlocks - 1};
  for (uint32_t b : written) write(2, b, 1);
  RoundResult res = round(w, 1, t, keys);
  ASSERT_TRUE(res.plan.incremental) << res.plan.fallbackReason;
  std::set<uint32_t> got;
  for (uint32_t b = 0; b < t.totalBlocks; ++b)
    if (res.plan.blocks.test(b)) got.insert(b);
  EXPECT_EQ(got, written);
  EXPECT_EQ(res.blocksCopied, written.size());
  expectRestoredEquals(w.dir(), 1, oracle.take(), t);
  // Nothing written: an empty incremental.
  res = round(w, 2, t, keys);
  EXPECT_TRUE(res.plan.incremental);
  EXPECT_EQ(res.blocksCopied, 0u);
}

TEST_F(AgentFlow, AKeyTheDeviceNoLongerHoldsFallsBackToAFullBackupAndSaysWhy) {
  Target t = target(1);
  BackupDirWriter w(tmp_ / "b", source(t, 1));
  KeyKeeper mine;
  FreezeOracle oracle(*host_, 1);
  round(w, 0, t, mine);
  // Another agent backs the partition up: the device now tracks under its key.
  {
    BackupDirWriter other(tmp_ / "other", source(t, 1));
    KeyKeeper theirs;
    round(other, 0, t, theirs);
  }
  write(1, 5, 1);
  RoundResult res = round(w, 1, t, mine);
  EXPECT_FALSE(res.plan.incremental);
  EXPECT_NE(res.plan.fallbackReason.find("key mismatch"), std::string::npos) << res.plan.fallbackReason;
  EXPECT_EQ(res.blocksCopied, t.totalBlocks);
  expectRestoredEquals(w.dir(), 1, oracle.take(), t);
  // The key kept from that full round works again.
  write(1, 6, 2);
  res = round(w, 2, t, mine);
  EXPECT_TRUE(res.plan.incremental) << res.plan.fallbackReason;
  EXPECT_EQ(res.blocksCopied, 1u);
  // A corrupted key is caught before the snapshot.
  mine.key.key[3] ^= 1;
  res = round(w, 3, t, mine);
  EXPECT_FALSE(res.plan.incremental);
  EXPECT_NE(res.plan.fallbackReason.find("key mismatch"), std::string::npos);
  expectRestoredEquals(w.dir(), 3, oracle.take(), t);
}

TEST_F(AgentFlow, CacheExhaustionIsReportedClearlyAndTheNextRoundFallsBackFromTheOutOfSyncTracking) {
  Target t = target(1);
  BackupDirWriter w(tmp_ / "b", source(t, 1));
  KeyKeeper keys;
  FreezeOracle oracle(*host_, 1);
  round(w, 0, t, keys);
  ASSERT_TRUE(keys.have);
  BackupOptions tiny;
  tiny.cacheBlocks = 4;
  tiny.wantIncremental = false;  // a full round protects every block
  // Before the first read, ten blocks the backup still needs are overwritten: the
  // cache cannot hold their old contents.
  tiny.afterSnapshot = [&] {
    for (uint32_t b = 100; b < 110; ++b) write(1, b, 7);
  };
  try {
    round(w, 1, t, keys, tiny);
    FAIL() << "a cache of 4 blocks held 10";
  } catch (const AgentError& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("raise --cache-blocks or drain more often"), std::string::npos) << m;
    EXPECT_NE(m.find("stateCacheExhausted"), std::string::npos) << m;
    EXPECT_EQ(e.state(), uint32_t(stateCacheExhausted));
  }
  EXPECT_FALSE(keys.have);
  EXPECT_EQ(w.manifest().rounds.size(), 1u);
  oracle.take();
  RoundResult res = round(w, 1, t, keys);
  EXPECT_FALSE(res.plan.incremental);
  EXPECT_NE(res.plan.fallbackReason.find("out of sync"), std::string::npos) << res.plan.fallbackReason;
  expectRestoredEquals(w.dir(), 1, oracle.take(), t);
  write(1, 3, 8);
  res = round(w, 2, t, keys);
  EXPECT_TRUE(res.plan.incremental) << res.plan.fallbackReason;
}

TEST_F(AgentFlow, ASessionThatFailsAfterTheLastReadFailsTheRoundNamingTheState) {
  // Hands every block on, and fails the session once the last one has arrived.
  struct FailAtEnd : BlockSink {
    std::unique_ptr<BlockSink> inner;
    uint64_t left;
    using BlockSink::write;
    void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) override {
      inner->write(block, pieces, count);
      if ((left -= count) == 0) EXPECT_TRUE(agent_test::failActiveSession(stateCacheExhausted));
    }
  };
  for (bool overlap : {false, true}) {
    Target t = target(2);
    BackupDirWriter w(tmp_ / (overlap ? "o" : "n"), source(t, 2));
    KeyKeeper keys;
    BackupOptions o;
    o.overlap = overlap;
    try {
      backupRound(*proc_, t, keys, o, [&](const RoundPlan& plan) {
        auto s = std::make_unique<FailAtEnd>();
        s->inner = w.openRound(0, plan);
        s->left = plan.blocks.count();
        return std::unique_ptr<BlockSink>(std::move(s));
      });
      ADD_FAILURE() << "a round whose session failed was taken as good";
    } catch (const AgentError& e) {
      std::string m = e.what();
      EXPECT_NE(m.find("stateCacheExhausted"), std::string::npos) << m;
      EXPECT_EQ(e.state(), uint32_t(stateCacheExhausted));
    }
    w.abortRound(0);
    EXPECT_FALSE(keys.have);
  }
}

TEST_F(AgentFlow, BlocksHeldInTheCacheAreDrainedFirstWithOrWithoutOverlap) {
  for (bool overlap : {false, true}) {
    Target t = target(1);
    BackupDirWriter w(tmp_ / (overlap ? "o" : "n"), source(t, 1));
    KeyKeeper keys;
    FreezeOracle oracle(*host_, 1);
    BackupOptions o;
    o.overlap = overlap;
    o.cacheBlocks = 64;
    o.afterSnapshot = [&] {
      for (uint32_t b = t.totalBlocks - 20; b < t.totalBlocks; ++b) write(1, b, 9);
    };
    uint64_t seq = logSeq();
    RoundResult res = round(w, 0, t, keys, o);
    // Each dirty block named is read with the blocks after it, so the 20 take 1-20 reads.
    EXPECT_GE(res.drainedBlocks, 1u);
    EXPECT_LE(res.drainedBlocks, 20u);
    EXPECT_EQ(res.blocksCopied, t.totalBlocks);
    SessionStats st = lastSessionStats(seq);
    ASSERT_TRUE(st.found);
    EXPECT_EQ(st.num("total reads from cache"), 20);
    EXPECT_EQ(st.num("peak cached blocks"), 20);
    expectRestoredEquals(w.dir(), 0, oracle.take(), t);
  }
}

TEST_F(AgentFlow, ScatteredChangesAreReadAcrossGapsWhileWritersRace) {
  // Writers keep changing every fifth block of the 1024-byte partition while a full and
  // an incremental round are taken: the incremental rounds' reads span the unchanged blocks between changed ones
  // (read and dropped), and every round still rebuilds the partition as it was frozen.
  Target t = target(2);
  std::vector<uint32_t> blocks;
  for (uint32_t b = 3; b < t.totalBlocks; b += 5) blocks.push_back(b);
  Writers writers(host_->mounted(2), t.blockSize, blocks, 3, 11, 100);
  FreezeOracle oracle(*host_, 2);
  for (uint32_t maxGap : {0u, 64u}) {
    BackupDirWriter w(tmp_ / ("gaps-" + std::to_string(maxGap)), source(t, 2));
    KeyKeeper keys;
    BackupOptions o;
    o.maxGap = maxGap;
    writers.start();
    for (int r = 0; r < 2; ++r) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      RoundResult res = round(w, r, t, keys, o);
      ASSERT_EQ(res.plan.incremental, r > 0) << res.plan.fallbackReason;
      expectRestoredEquals(w.dir(), r, oracle.take(), t);
      if (r == 0) continue;
      // Pieces of adjacent changed blocks: what reads without spanning take.
      uint64_t pieces = 0;
      res.plan.blocks.forEachRun(res.bufferBytes / t.blockSize, [&](uint32_t, uint32_t) { return ++pieces, true; });
      EXPECT_EQ(res.blocksCopied, res.plan.blocks.count());
      ASSERT_GE(pieces, 20u) << "too few changes to tell";
      if (maxGap == 0) {
        EXPECT_EQ(res.reads, pieces);
      } else {
        EXPECT_LT(res.reads * 4, pieces) << "reads do not span the gaps";
      }
    }
    writers.stop();
  }
  EXPECT_GT(writers.writes(), 0u);
  EXPECT_EQ(writers.errors(), 0u) << writers.firstError();
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(AgentFlow, DirtyBlocksAreDrainedWithTheRunAfterThemUnderAHeavyWriter) {
  // Writers that never pause race a full round; blocks written before the first read are
  // certainly cached. Each dirty block the device names is read together with the blocks
  // after it, and the round still equals the partition as it was frozen.
  Target t = target(1);
  std::vector<uint32_t> blocks(t.totalBlocks);
  for (uint32_t b = 0; b < t.totalBlocks; ++b) blocks[b] = b;
  Writers writers(host_->mounted(1), t.blockSize, blocks, 4, 5, 0);
  FreezeOracle oracle(*host_, 1);
  for (bool overlap : {false, true}) {
    BackupDirWriter w(tmp_ / (overlap ? "heavy-o" : "heavy-n"), source(t, 1));
    KeyKeeper keys;
    BackupOptions o;
    o.overlap = overlap;
    o.wantIncremental = false;
    o.cacheBlocks = t.totalBlocks;
    o.afterSnapshot = [&] {
      for (uint32_t b = 1000; b < 1010; ++b) write(1, b, 3);
    };
    uint64_t seq = logSeq();
    writers.start();
    RoundResult res = round(w, 0, t, keys, o);
    writers.stop();
    expectRestoredEquals(w.dir(), 0, oracle.take(), t);
    EXPECT_EQ(res.blocksCopied, t.totalBlocks);
    EXPECT_GE(res.drainedBlocks, 1u);
    // The 10 blocks alone would be 10 more commands; a drained run replaces a later one.
    EXPECT_LE(res.reads, uint64_t(t.totalBlocks / 256) * 2 + res.drainedBlocks);
    SessionStats st = lastSessionStats(seq);
    ASSERT_TRUE(st.found);
    EXPECT_GE(st.num("total reads from cache"), 10);
  }
  EXPECT_GT(writers.writes(), 0u);
  EXPECT_EQ(writers.errors(), 0u) << writers.firstError();
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(AgentFlow, ASecondAgentIsToldAnotherBackupIsRunning) {
  Target t = target(1);
  Device first(*proc_);
  ASSERT_EQ(first.startBackup(t.major, t.minor, t.totalBlocks, 16), 0);
  AgentProcess other;
  KeyKeeper keys;
  keys.have = true;
  try {
    backupRound(other, t, keys, {}, [](const RoundPlan&) -> std::unique_ptr<BlockSink> { return nullptr; });
    FAIL();
  } catch (const AgentError& e) {
    EXPECT_NE(std::string(e.what()).find("another backup is running"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(keys.have);  // nothing happened to the device's tracking
}

TEST_F(AgentFlow, APartitionWithoutAFileSystemIsNamed) {
  host_->unmount(2);
  try {
    target(2);
    FAIL();
  } catch (const AgentError& e) {
    EXPECT_NE(std::string(e.what()).find("sda2 has no mounted file system"), std::string::npos) << e.what();
  }
}
