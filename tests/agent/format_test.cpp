// The map layout shared with the device, and the files of a backup directory.
#include <gtest/gtest.h>

#include "agent_test_util.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/sha256.h"

using namespace velloc::agent;

TEST(Bitmap, LayoutIsLeastSignificantBitFirstAndIgnoresBitsPastTheEnd) {
  Bitmap m(13);
  m.set(0);
  m.set(9);
  m.set(12);
  m.set(13);  // out of range: ignored
  ASSERT_EQ(m.numBytes(), 2u);
  EXPECT_EQ(m.bytes()[0], 0x01);
  EXPECT_EQ(m.bytes()[1], 0x12);
  EXPECT_EQ(m.count(), 3u);
  Bitmap all(13, true);
  EXPECT_EQ(all.bytes()[1], 0x1f);
  EXPECT_EQ(all.count(), 13u);
  // Bytes from the device with junk past the end count only real blocks.
  Bitmap dev = Bitmap::fromBytes(10, {0xff, 0xff});
  EXPECT_EQ(dev.count(), 10u);
  EXPECT_FALSE(dev.test(10));
}

TEST(Bitmap, RunsAreCutAtTheBufferSizeAndRankCountsSetBlocksBelow) {
  Bitmap m(200);
  for (uint32_t b = 10; b < 30; ++b) m.set(b);
  m.set(64);
  m.set(199);
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  m.forEachRun(8, [&](uint32_t f, uint32_t c) { runs.emplace_back(f, c); return true; });
  std::vector<std::pair<uint32_t, uint32_t>> want{{10, 8}, {18, 8}, {26, 4}, {64, 1}, {199, 1}};
  EXPECT_EQ(runs, want);
  m.buildRank();
  EXPECT_EQ(m.rank(10), 0u);
  EXPECT_EQ(m.rank(29), 19u);
  EXPECT_EQ(m.rank(64), 20u);
  EXPECT_EQ(m.rank(199), 21u);
  EXPECT_EQ(m.nextSet(30), 64u);
  EXPECT_EQ(m.nextSet(200), 200u);
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha256::hexOf("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256::hexOf("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string m(1000, 'a');
  Sha256 h;
  for (size_t i = 0; i < m.size(); i += 37) h.update(m.data() + i, std::min<size_t>(37, m.size() - i));
  EXPECT_EQ(h.hex(), Sha256::hexOf(m.data(), m.size()));
}

TEST(BackupDir, IncrementalHeaderAndManifestRoundTrip) {
  IncrHeader h;
  h.round = 7;
  h.blockSize = 1024;
  h.totalBlocks = 99;
  h.changedBlocks = 3;
  h.partitionId = std::string(64, 'a');
  h.keyDigest = std::string(64, 'b');
  auto bytes = encodeIncrHeader(h);
  ASSERT_EQ(bytes.size(), kIncrHeaderBytes);
  IncrHeader back;
  ASSERT_TRUE(decodeIncrHeader(bytes.data(), bytes.size(), &back));
  EXPECT_EQ(back.round, 7u);
  EXPECT_EQ(back.totalBlocks, 99u);
  EXPECT_EQ(back.partitionId, h.partitionId);
  EXPECT_EQ(back.presentedKeyDigest, "");
  bytes[0] = 'X';
  EXPECT_FALSE(decodeIncrHeader(bytes.data(), bytes.size(), &back));

  agent_test::TempDir t;
  std::vector<std::vector<uint8_t>> imgs(2, std::vector<uint8_t>(16 * 1024, 1));
  imgs[1][5 * 1024] = 9;
  agent_test::writeChain(t / "b", imgs, 1024);
  Manifest m = Manifest::load(t / "b");
  ASSERT_EQ(m.rounds.size(), 2u);
  EXPECT_FALSE(m.rounds[0].incremental);
  EXPECT_TRUE(m.rounds[1].incremental);
  EXPECT_EQ(m.rounds[1].blocks, 1u);
  EXPECT_EQ(m.rounds[1].presentedKeyDigest, m.rounds[0].keyDigest);
  EXPECT_EQ(m.rounds[1].bytes, kIncrHeaderBytes + 1024);
  EXPECT_EQ(sha256File(t / "b/round-001.incr"), m.rounds[1].sha256);
  EXPECT_FALSE(std::filesystem::exists(t / "b/round-001.incr.tmp"));
}

TEST(BackupDir, RefusesAnExistingDirectoryAndLeavesNothingWhenNoRoundCompletes) {
  agent_test::TempDir t;
  SourceInfo src;
  src.blockSize = 4096;
  src.totalBlocks = 4;
  std::filesystem::create_directory(t / "exists");
  EXPECT_THROW(BackupDirWriter(t / "exists", src), AgentError);
  {
    BackupDirWriter w(t / "new", src);
    RoundPlan plan;
    plan.blocks = Bitmap(4, true);
    auto sink = w.openRound(0, plan);
    EXPECT_TRUE(std::filesystem::exists(w.workDir()));
    w.abortRound(0);
  }
  EXPECT_FALSE(std::filesystem::exists(t / "new"));
  EXPECT_TRUE(std::filesystem::is_empty(t.path()) || !std::filesystem::exists(t / "new"));
  for (auto& e : std::filesystem::directory_iterator(t.path())) EXPECT_EQ(e.path().filename(), "exists");
}
