// A backup directory kept for a long time: later runs continue its chain, keep its
// change-tracking key, never write it two at once, and clear what killed runs left.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <thread>

#include "agent_test_util.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/key_file.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/sha256.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 1024;

std::vector<std::vector<uint8_t>> images(int n) {
  std::vector<std::vector<uint8_t>> v(size_t(n), std::vector<uint8_t>(32 * kBs, 1));
  for (int r = 1; r < n; ++r) {
    v[size_t(r)] = v[size_t(r) - 1];
    v[size_t(r)][size_t(r) * 3 * kBs] = uint8_t(r + 10);
  }
  return v;
}

SourceInfo sourceOf(const std::string& dir) { return Manifest::load(dir).source; }

}  // namespace

TEST(Repository, ALaterRunContinuesTheChainAndKeepsItsKeyForItsOwnerOnly) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  auto imgs = images(2);
  agent_test::writeChain(dir, imgs, kBs);
  {
    BackupDirWriter w(dir, sourceOf(dir));
    EXPECT_EQ(w.nextRound(), 2);
    agent_test::appendRound(w, 7, 0xab, agent_test::keyOf(2));
  }
  Manifest m = Manifest::load(dir);
  ASSERT_EQ(m.rounds.size(), 3u);
  EXPECT_EQ(m.rounds[2].presentedKeyDigest, m.rounds[1].keyDigest);
  restoreImage(dir, 2, t / "r2.img");
  std::vector<uint8_t> want = imgs[1];
  std::fill_n(want.begin() + 7 * kBs, kBs, 0xab);
  EXPECT_EQ(agent_test::readText(t / "r2.img"), std::string(want.begin(), want.end()));

  struct stat st;
  ASSERT_EQ(::stat((dir + "/key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  KeyFileRead k = readKeyFile(dir, m);
  ASSERT_TRUE(k.ok) << k.reason;
  EXPECT_EQ(k.round, 2);
  EXPECT_EQ(std::memcmp(k.key.key, agent_test::keyOf(2).key, sizeof k.key.key), 0);
  std::string text = agent_test::readText(dir + "/key");
  EXPECT_EQ(text.find("\"format\":\"velloc-key\""), 1u) << text;
  EXPECT_EQ(agent_test::readText(dir + "/manifest.json").find(text.substr(text.find("\"key\":\"") + 7, 112)),
            std::string::npos);

  // Every way a key can be unusable gives a reason, never a key.
  SourceInfo other = m.source;
  other.partition = 3;
  EXPECT_NE(agent_test::errorOf([&] { BackupDirWriter(dir, other); }).find(dir + " holds the backups of sda1 (partition 1"),
            std::string::npos);
  auto reasonWith = [&](const std::string& contents) {
    std::ofstream(dir + "/key", std::ios::trunc) << contents;
    KeyFileRead r = readKeyFile(dir, m);
    EXPECT_FALSE(r.ok);
    return r.reason;
  };
  std::string good = text;
  EXPECT_NE(reasonWith("{\"format\":").find("is damaged"), std::string::npos);
  EXPECT_NE(reasonWith(std::string(good).replace(good.find("\"key\":\"") + 7, 1, "z")).find("is damaged"),
            std::string::npos);
  std::string foreign = good;
  foreign.replace(foreign.find("\"partitionId\":\"") + 15, 1, foreign[foreign.find("\"partitionId\":\"") + 15] == 'a' ? "b" : "a");
  EXPECT_NE(reasonWith(foreign).find("belongs to another partition"), std::string::npos);
  Manifest older = m;
  older.rounds.pop_back();
  std::ofstream(dir + "/key", std::ios::trunc) << good;
  EXPECT_NE(readKeyFile(dir, older).reason.find("is not the key kept after the last round in the manifest (round 1)"),
            std::string::npos);
  sfs::remove(dir + "/key");
  EXPECT_EQ(readKeyFile(dir, m).reason, "the change-tracking key " + dir + "/key is missing");
}

TEST(Repository, WritersRacingForOneDirectoryTakeTurnsAndASecondOneIsRefusedWithTheHoldersPid) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  agent_test::writeChain(dir, images(1), kBs);
  const SourceInfo src = sourceOf(dir);
  {
    BackupDirWriter holder(dir, src);
    EXPECT_EQ(agent_test::errorOf([&] { BackupDirWriter(dir, src, 0.1); }),
              "backup directory " + dir + " is in use by process " + std::to_string(::getpid()) + " (it holds " + dir +
                  "/lock); wait for it to finish");
  }
  std::atomic<int> inside{0}, most{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      BackupDirWriter w(dir, src, 30);
      most = std::max(most.load(), ++inside);
      agent_test::appendRound(w, uint32_t(i), uint8_t(i + 1), agent_test::keyOf(10 + i));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      --inside;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(most.load(), 1);
  Manifest m = Manifest::load(dir);
  ASSERT_EQ(m.rounds.size(), 5u);
  for (int r = 0; r < 5; ++r) EXPECT_EQ(m.rounds[size_t(r)].round, r);
  EXPECT_TRUE(readKeyFile(dir, m).ok);
  restoreImage(dir, 4, t / "r.img");
}

TEST(Repository, LeftoversOfKilledRunsAreRemovedAndThoseOfLiveRunsKept) {
  agent_test::TempDir t;
  const std::string dir = t / "b";
  agent_test::writeChain(dir, images(2), kBs);
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string d = std::to_string(dead);
  auto touch = [](const std::string& p) { std::ofstream(p) << "x"; };
  touch(dir + "/round-002.incr.partial-" + d);     // a killed backup's round
  touch(dir + "/manifest.json.partial-" + d);      // and its manifest
  touch(dir + "/round-002.map");                   // renamed, never listed
  touch(t / "out.img.partial-" + d);               // a killed restore
  sfs::create_directory(t / "c.partial-" + d);     // a killed first backup
  touch(t / "c.partial-" + d + "/round-000.full.img");
  // A live writer holds its partial file's flock (here: through another descriptor).
  const std::string live = t / "out.img.partial-1";
  touch(live);
  int held = ::open(live.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  { BackupDirWriter w(dir, sourceOf(dir)); }
  { BackupDirWriter w(t / "c", sourceOf(dir)); }
  restoreImage(dir, 1, t / "out.img");
  std::vector<std::string> left;
  for (auto& e : sfs::directory_iterator(t.path())) left.push_back(e.path().filename());
  for (auto& e : sfs::directory_iterator(dir)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"b", "lock", "manifest.json", "out.img", "out.img.partial-1",
                                            "round-000.full.img", "round-001.incr", "round-001.map"}))
      << ::testing::PrintToString(left);
  ::close(held);
}
