// The backup target failing under a round: ENOSPC and EIO at each write, flush and
// rename of the repository, and the process ending at each of them, always leave a
// directory that check passes and that restores every round it lists.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "agent_test_util.h"
#include "velloc/agent/check.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/restore.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 1024;
constexpr uint32_t kBlocks = 24;

// The partition after round r: round 0 is all ones, each later round sets block r to r.
std::vector<uint8_t> imageAt(int r) {
  std::vector<uint8_t> v(kBlocks * kBs, 1);
  for (int i = 2; i <= r; ++i) std::fill_n(v.begin() + i * kBs, kBs, uint8_t(i));
  return v;
}

// Rounds 0 and 1 written cleanly.
void base(const std::string& dir) { agent_test::writeChain(dir, {imageAt(0), imageAt(1)}, kBs); }

// The work under test: round 2 appended by a later run.
void appendOne(const std::string& dir) {
  BackupDirWriter w(dir, Manifest::load(dir).source);
  agent_test::appendRound(w, 2, 2, agent_test::keyOf(2));
}

// The directory passes check and every listed round restores to what it was.
void expectWhole(const std::string& dir, const std::string& scratch, const std::string& when) {
  CheckReport c = checkBackupDir(dir, true);
  ASSERT_EQ(c.exitCode(), 0) << when << ": " << (c.problems.empty() ? "" : c.problems[0].file + ": " + c.problems[0].what);
  for (const RoundEntry& e : Manifest::load(dir).rounds) {
    std::string out = scratch + "/r.img";
    sfs::remove(out);
    restoreImage(dir, e.round, out);
    const std::vector<uint8_t> want = imageAt(e.round);
    EXPECT_EQ(agent_test::readText(out), std::string(want.begin(), want.end()))
        << when << ": round " << e.round;
  }
}

bool anyPartial(const std::string& dir) {
  for (auto& e : sfs::directory_iterator(dir))
    if (e.path().filename().string().find(".partial-") != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(TargetFaults, FullDisksIOErrorsAndCrashesAtEveryStepLeaveACheckedRestorableDirectory) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  base(dir);
  const int steps = agent_test::countFileSteps([&] { appendOne(dir); });
  ASSERT_GT(steps, 8);

  for (int k = 1; k <= steps; ++k) {
    for (int err : {ENOSPC, EIO}) {
      const std::string when = "errno " + std::to_string(err) + " at step " + std::to_string(k);
      sfs::remove_all(dir);
      base(dir);
      std::string msg = agent_test::failAtFileStep(k, err, [&] { appendOne(dir); });
      EXPECT_NE(msg.find(std::strerror(err)), std::string::npos) << when << ": " << msg;
      EXPECT_FALSE(anyPartial(dir)) << when;
      expectWhole(dir, t.path(), when);
    }
    // The process ends at step k, as a crash would: nothing is cleaned up.
    const std::string when = "crash at step " + std::to_string(k);
    sfs::remove_all(dir);
    base(dir);
    ASSERT_TRUE(agent_test::crashAtFileStep(k, [&] { appendOne(dir); })) << when;
    expectWhole(dir, t.path(), when);
    // The next run clears what the crash left and continues the chain.
    {
      BackupDirWriter w(dir, Manifest::load(dir).source);
      EXPECT_FALSE(anyPartial(dir)) << when;
    }
    // Only a key one round old may remain (the crash came before the round kept its own).
    for (const CheckFinding& f : checkBackupDir(dir, false).notes) EXPECT_EQ(f.file, dir + "/key") << when;
  }
}
