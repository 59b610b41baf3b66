// Merge and prune keep every remaining restore point byte for byte, also when the
// process ends or the disk fails at any step of the merge, and the chain goes on after.
#include <gtest/gtest.h>
#include <cerrno>
#include <map>
#include <random>

#include "agent_test_util.h"
#include "velloc/agent/check.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/merge.h"
#include "velloc/agent/restore.h"

using namespace velloc::agent;
using agent_test::runVelloc;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 1024;
constexpr uint32_t kBlocks = 40;

// Six rounds; round 3 is a full one in the middle of the chain, as after a fallback.
void sixRounds(const std::string& dir) {
  std::mt19937 rng(5);
  std::vector<std::vector<uint8_t>> v(1, std::vector<uint8_t>(kBlocks * kBs, 0));
  for (uint32_t b = 0; b < kBlocks / 2; ++b) std::fill_n(v[0].begin() + b * kBs, kBs, uint8_t(rng()));
  for (int r = 1; r < 6; ++r) {
    v.push_back(v.back());
    for (int k = 0; k < 4; ++k) std::fill_n(v.back().begin() + (rng() % kBlocks) * kBs, kBs, uint8_t(rng()));
  }
  agent_test::writeChain(dir, v, kBs);
}

// Every round the directory lists, restored.
std::map<int, std::string> restoreAll(const std::string& dir, const std::string& scratch) {
  std::map<int, std::string> out;
  for (const RoundEntry& e : Manifest::load(dir).rounds) {
    std::string img = scratch + "/r.img";
    sfs::remove(img);
    restoreImage(dir, e.round, img);
    out[e.round] = agent_test::readText(img);
  }
  return out;
}

// The directory passes check and each round it lists restores as it did before.
void expectSame(const std::string& dir, const std::string& scratch, const std::map<int, std::string>& before,
                const std::string& when) {
  CheckReport c = checkBackupDir(dir, true);
  ASSERT_EQ(c.exitCode(), 0) << when << ": " << (c.problems.empty() ? "" : c.problems[0].what);
  for (auto& [round, bytes] : restoreAll(dir, scratch)) EXPECT_EQ(bytes, before.at(round)) << when << ": round " << round;
}

}  // namespace

TEST(Merge, MergeAndPruneKeepEveryRemainingRestorePointAndTheChainGoesOn) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  sixRounds(dir);
  const auto before = restoreAll(dir, t.path());
  std::string out, err;

  ASSERT_EQ(runVelloc({"merge", dir, "--upto", "2"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("rounds 0-2 folded into one full round 2 (2 round(s) dropped"), std::string::npos) << out;
  Manifest m = Manifest::load(dir);
  ASSERT_EQ(m.rounds.size(), 4u);
  EXPECT_FALSE(m.rounds[0].incremental);
  expectSame(dir, t.path(), before, "after merge");
  EXPECT_TRUE(checkBackupDir(dir, false).notes.empty());
  // Up to a round that is full already: the rounds before it just go.
  ASSERT_EQ(runVelloc({"merge", dir, "--upto", "3"}, &out, &err), 0) << err;
  EXPECT_EQ(Manifest::load(dir).rounds.front().file, "round-003.full.img");
  ASSERT_EQ(runVelloc({"prune", dir, "--keep", "2"}, &out, &err), 0) << err;
  m = Manifest::load(dir);
  ASSERT_EQ(m.rounds.size(), 2u);
  EXPECT_EQ(m.rounds[0].round, 4);
  expectSame(dir, t.path(), before, "after prune");
  ASSERT_EQ(runVelloc({"prune", dir, "--keep", "5"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("nothing to fold"), std::string::npos) << out;

  // A later run continues the chain after the merged round.
  {
    BackupDirWriter w(dir, m.source);
    agent_test::appendRound(w, 1, 0x5a, agent_test::keyOf(6));
  }
  EXPECT_EQ(checkBackupDir(dir, true).exitCode(), 0);
  EXPECT_NE(agent_test::errorOf([&] { mergeRounds(dir, 9); }).find("round 9 is not in"), std::string::npos);
}

TEST(Merge, ACrashOrAFailingDiskAtAnyStepOfAMergeLeavesEveryRestorePoint) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  sixRounds(dir);
  const auto before = restoreAll(dir, t.path());
  sfs::copy(dir, t / "clean");
  const int steps = agent_test::countFileSteps([&] { mergeRounds(dir, 4); });
  ASSERT_GE(steps, 5);

  auto fresh = [&] {
    sfs::remove_all(dir);
    sfs::copy(t / "clean", dir);
  };
  for (int k = 1; k <= steps; ++k) {
    std::string when = "crash at step " + std::to_string(k);
    fresh();
    ASSERT_TRUE(agent_test::crashAtFileStep(k, [&] { mergeRounds(dir, 4); })) << when;
    expectSame(dir, t.path(), before, when);
    // Run again, the merge completes.
    mergeRounds(dir, 4);
    expectSame(dir, t.path(), before, when + ", merged again");
    EXPECT_EQ(Manifest::load(dir).rounds.size(), 2u) << when;

    when = "ENOSPC at step " + std::to_string(k);
    fresh();
    std::string msg = agent_test::failAtFileStep(k, ENOSPC, [&] { mergeRounds(dir, 4); });
    // After the manifest switch the removal of old files is best effort: no error then.
    if (msg == "(no error)") {
      EXPECT_EQ(Manifest::load(dir).rounds.size(), 2u) << when;
    } else {
      EXPECT_NE(msg.find("No space left on device"), std::string::npos) << when << ": " << msg;
    }
    expectSame(dir, t.path(), before, when);
  }
}
