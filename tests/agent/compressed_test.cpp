// Sparse and compressed rounds: zeros take no space in full images and restored
// images, compressed chains (mixed with raw rounds, as a directory written over the
// years) restore byte for byte, and check reads their headers and chunk indexes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>

#include "agent_test_util.h"
#include "velloc/agent/check.h"
#include "velloc/agent/merge.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/round_chunks.h"

using namespace velloc::agent;
using agent_test::runVelloc;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 4096;
constexpr uint32_t kBlocks = 300;  // more than one chunk (64 blocks of 4096 bytes)

// A partition two thirds empty; the rest text-like (compressible) and some noise.
std::vector<std::vector<uint8_t>> snapshots() {
  std::mt19937 rng(9);
  std::vector<std::vector<uint8_t>> v(1, std::vector<uint8_t>(kBlocks * kBs, 0));
  for (uint32_t b = 0; b < kBlocks / 3; ++b)
    for (uint32_t i = 0; i < kBs; ++i) v[0][b * kBs + i] = b % 5 ? uint8_t("velloc keeps backups "[i % 21]) : uint8_t(rng());
  for (int r = 1; r < 4; ++r) {
    v.push_back(v.back());
    for (int k = 0; k < 30; ++k) std::fill_n(v.back().begin() + (rng() % kBlocks) * kBs, kBs, uint8_t(rng() % 3 ? 0 : r));
  }
  return v;
}

uint64_t allocated(const std::string& path) {
  struct stat st;
  ::stat(path.c_str(), &st);
  return uint64_t(st.st_blocks) * 512;
}

}  // namespace

TEST(Compressed, MixedChainsRestoreByteForByteAndZerosTakeNoSpace) {
  agent_test::TempDir t;
  auto snaps = snapshots();
  const Compression kinds[] = {Compression::fast, Compression::fast, Compression::none, Compression::strong};
  agent_test::writeChain(t / "z", snaps, kBs, 1, [&](int r) { return kinds[r]; });
  agent_test::writeChain(t / "raw", snaps, kBs, 1);
  Manifest m = Manifest::load(t / "z");
  EXPECT_EQ(m.rounds[0].file, "round-000.full.zchunks");
  EXPECT_EQ(m.rounds[2].encoding, "raw");
  EXPECT_NE(agent_test::readText(t / "z/manifest.json").find("\"version\": 2"), std::string::npos);
  EXPECT_NE(agent_test::readText(t / "raw/manifest.json").find("\"version\": 1"), std::string::npos);
  EXPECT_LT(m.rounds[0].bytes * 4, Manifest::load(t / "raw").rounds[0].bytes);
  // The raw full image and a restored one hold data blocks only.
  EXPECT_LT(allocated(t / "raw/round-000.full.img"), uint64_t(kBlocks) * kBs / 2);
  for (int r = 0; r < 4; ++r) {
    std::string out = t / ("r" + std::to_string(r) + ".img");
    restoreImage(t / "z", r, out);
    EXPECT_EQ(agent_test::readText(out), std::string(snaps[size_t(r)].begin(), snaps[size_t(r)].end())) << r;
    EXPECT_LT(allocated(out), uint64_t(kBlocks) * kBs / 2) << r;
  }
  std::string out, err;
  EXPECT_EQ(runVelloc({"restore", t / "z", "--round", "3", "--out", "-"}, &out, &err), 0) << err;
  EXPECT_EQ(out, std::string(snaps[3].begin(), snaps[3].end()));
  EXPECT_NE(err.find("restored round 3"), std::string::npos) << err;
  EXPECT_EQ(checkBackupDir(t / "z", true).exitCode(), 0);

  // Merged, a compressed chain stays compressed and restores the same.
  ASSERT_EQ(mergeRounds(t / "z", 2).changed, true);
  EXPECT_EQ(Manifest::load(t / "z").rounds[0].file, "round-002.full.zchunks");
  sfs::remove(t / "r3.img");
  restoreImage(t / "z", 3, t / "r3.img");
  EXPECT_EQ(agent_test::readText(t / "r3.img"), std::string(snaps[3].begin(), snaps[3].end()));

  // Damage to a compressed round: its index (found from metadata), its data (with --read-data).
  // `at` ~0: three bytes before the end (in the index).
  auto damaged = [&](const std::string& file, uint64_t at, bool readData) {
    sfs::remove_all(t / "d");
    sfs::copy(t / "z", t / "d");
    std::fstream f(t / ("d/" + file), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at == ~0ull ? std::streamoff(-3) : std::streamoff(at), at == ~0ull ? std::ios::end : std::ios::beg);
    f.put('\x7f');
    f.close();
    CheckReport c = checkBackupDir(t / "d", readData);
    return c.problems.empty() ? std::string("(clean)") : c.problems[0].what;
  };
  EXPECT_NE(damaged("round-002.full.zchunks", ~0ull, false).find("chunk index"), std::string::npos);
  EXPECT_EQ(damaged("round-002.full.zchunks", 4096 + 20, false), "(clean)");
  EXPECT_NE(damaged("round-002.full.zchunks", 4096 + 20, true), "(clean)");
  EXPECT_NE(damaged("round-003.incr.zchunks", 200, false).find("disagrees with the manifest"), std::string::npos);
}

TEST(Compressed, BlocksHandedOverInAnyOrderMakeAReadableRound) {
  // The device flow copies cached blocks first, so chunks complete out of order.
  agent_test::TempDir t;
  auto snaps = snapshots();
  agent_test::writeChain(t / "z", {snaps[0]}, kBs, 1, [](int) { return Compression::fast; });
  BackupDirWriter w(t / "z", Manifest::load(t / "z").source);
  w.setCompression(Compression::fast);
  RoundPlan plan;
  plan.blocks = Bitmap(kBlocks, true);
  plan.fallbackReason = "test";
  auto sink = w.openRound(1, plan);
  for (uint32_t b = kBlocks; b-- > 0;) sink->write(b, snaps[1].data() + size_t(b) * kBs, 1, kBs);
  sink.reset();
  RoundResult res;
  res.blocksCopied = kBlocks;
  w.commitRound(1, plan, res);
  EXPECT_EQ(checkBackupDir(t / "z", true).exitCode(), 0);
  restoreImage(t / "z", 1, t / "r.img");
  EXPECT_EQ(agent_test::readText(t / "r.img"), std::string(snaps[1].begin(), snaps[1].end()));
}

TEST(Compressed, BlocksNeverHandedOverReadAsZerosInBothEncodings) {
  // A full round that copies only the blocks in use leaves the free ones out.
  agent_test::TempDir t;
  std::vector<uint8_t> want(kBlocks * kBs, 0);
  for (Compression c : {Compression::none, Compression::fast}) {
    SourceInfo src;
    src.image = "/i";
    src.blockSize = kBs;
    src.totalBlocks = kBlocks;
    const std::string dir = t / compressionName(c);
    BackupDirWriter w(dir, src);
    w.setCompression(c);
    RoundPlan plan;
    plan.blocks = Bitmap(kBlocks, true);
    auto sink = w.openRound(0, plan);
    std::vector<uint8_t> used(3 * kBs, 0x42);
    sink->write(70, used.data(), 3, kBs);  // inside the second chunk; the others get nothing
    std::copy(used.begin(), used.end(), want.begin() + 70 * kBs);
    sink.reset();
    w.commitRound(0, plan, RoundResult{});
    w.publish();
    restoreImage(dir, 0, dir + ".img");
    EXPECT_EQ(agent_test::readText(dir + ".img"), std::string(want.begin(), want.end())) << compressionName(c);
    EXPECT_EQ(checkBackupDir(dir, true).exitCode(), 0) << compressionName(c);
  }
}
