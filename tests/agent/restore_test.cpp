// Restore of a chain and verify, on backup directories made without the device.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "agent_test_util.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/restore.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 1024;
constexpr size_t kBlocks = 64;

// Snapshots 0..n-1 where each one changes a few random blocks of the one before.
std::vector<std::vector<uint8_t>> snapshots(int n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<uint8_t>> v(1, std::vector<uint8_t>(kBlocks * kBs));
  for (auto& b : v[0]) b = uint8_t(rng());
  for (int r = 1; r < n; ++r) {
    v.push_back(v.back());
    for (int k = 0; k < 9; ++k) {
      size_t blk = rng() % kBlocks;
      for (size_t i = 0; i < kBs; ++i) v.back()[blk * kBs + i] = uint8_t(rng());
    }
  }
  return v;
}

std::vector<uint8_t> readAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

// Rounds 0 to 2 are one chain; round 3 is full again and starts a new one, which round 4
// continues.
TEST(Restore, EveryRoundOfAThreeRoundChainRebuildsItsSnapshot) {
  agent_test::TempDir t;
  auto snaps = snapshots(5, 1);
  agent_test::writeChain(t / "b", snaps, kBs, 1, {}, {3});
  const std::vector<int> chains[] = {{0}, {0, 1}, {0, 1, 2}, {3}, {3, 4}};
  for (int r = 0; r < 5; ++r) {
    std::string out = t / ("r" + std::to_string(r) + ".img");
    RestoreResult res = restoreImage(t / "b", r, out);
    EXPECT_EQ(res.chain, chains[r]) << "round " << r;
    EXPECT_EQ(readAll(out), snaps[size_t(r)]) << "round " << r;
  }
}

TEST(Restore, BrokenChainsAreRefusedWithTheReasonAndNoImage) {
  agent_test::TempDir t;
  auto snaps = snapshots(3, 2);
  agent_test::writeChain(t / "b", snaps, kBs, 1);
  agent_test::writeChain(t / "other", snapshots(3, 3), kBs, 2);
  const std::string out = t / "out.img";

  EXPECT_NE(agent_test::errorOf([&] { restoreImage(t / "b", 5, out); }).find("round 5 is not in"), std::string::npos);
  EXPECT_NE(agent_test::errorOf([&] { restoreImage(t / "nothing", 0, out); }).find("No such file"), std::string::npos);

  // Another partition's incremental in place of round 1.
  sfs::copy_file(t / "b/round-001.incr", t / "keep.incr");
  sfs::copy_file(t / "other/round-001.incr", t / "b/round-001.incr", sfs::copy_options::overwrite_existing);
  EXPECT_NE(agent_test::errorOf([&] { restoreImage(t / "b", 2, out); }).find("round 1 (" + (t / "b/round-001.incr") +
                                                                  ") is from another partition"),
            std::string::npos);
  // A round missing.
  sfs::remove(t / "b/round-001.incr");
  EXPECT_EQ(agent_test::errorOf([&] { restoreImage(t / "b", 2, out); }),
            "round 1 is missing: " + (t / "b/round-001.incr") + " not found");
  // A damaged one.
  sfs::copy_file(t / "keep.incr", t / "b/round-001.incr");
  {
    std::fstream f(t / "b/round-001.incr", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(5000);
    f.put('X');
  }
  EXPECT_NE(agent_test::errorOf([&] { restoreImage(t / "b", 2, out); }).find("does not match its checksum"), std::string::npos);
  EXPECT_FALSE(sfs::exists(out));
  for (auto& e : sfs::directory_iterator(t.path()))
    EXPECT_EQ(e.path().filename().string().find("out.img"), std::string::npos) << e.path();

  // Round 0 needs none of that and an existing output is refused.
  restoreImage(t / "b", 0, out);
  EXPECT_NE(agent_test::errorOf([&] { restoreImage(t / "b", 0, out); }).find("already exists"), std::string::npos);
}

TEST(Verify, ReportsTheFirstDifferingBlocksAndSizes) {
  agent_test::TempDir t;
  std::vector<uint8_t> a(100 * 512, 7), b = a;
  b[3 * 512] = 1;
  b[50 * 512 + 7] = 1;
  b[99 * 512 + 511] = 1;
  std::ofstream(t / "a", std::ios::binary).write((char*)a.data(), std::streamsize(a.size()));
  std::ofstream(t / "b", std::ios::binary).write((char*)b.data(), std::streamsize(b.size()));
  VerifyResult v = verifyImages(t / "a", t / "b", 512, 2);
  EXPECT_FALSE(v.same);
  EXPECT_EQ(v.differing, 3u);
  EXPECT_EQ(v.first, (std::vector<uint64_t>{3, 50}));
  std::ofstream(t / "c", std::ios::binary).write((char*)a.data(), 512 * 10);
  v = verifyImages(t / "a", t / "c", 512);
  EXPECT_FALSE(v.same);
  EXPECT_EQ(v.differing, 0u);
  EXPECT_EQ(v.sizeB, 5120u);
  EXPECT_TRUE(verifyAgainst(t / "a", a.data(), a.size(), 4096).same);
}

// A block device's size comes from the device: fstat reports 0 for it.
TEST(Verify, ABlockDeviceAgainstTheFileBehindIt) {
  agent_test::TempDir t;
  std::vector<uint8_t> a(2048 * 512, 9);
  std::ofstream(t / "a", std::ios::binary).write((char*)a.data(), std::streamsize(a.size()));
  std::string loop;
  if (getuid() == 0) {
    if (FILE* p = popen(("losetup --find --show " + (t / "a") + " 2>/dev/null").c_str(), "r")) {
      char line[256] = {0};
      if (fgets(line, sizeof line, p)) loop = std::string(line, strcspn(line, "\n"));
      pclose(p);
    }
  }
  if (loop.empty()) GTEST_SKIP() << "no loop device (needs root and a free /dev/loopN)";
  VerifyResult v = verifyImages(loop, t / "a", 4096);
  EXPECT_EQ(system(("losetup -d " + loop).c_str()), 0);
  EXPECT_EQ(v.sizeA, a.size());
  EXPECT_TRUE(v.same);
}
