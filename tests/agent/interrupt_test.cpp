// SIGINT and SIGTERM at random moments of the velloc command's backup, restore and
// merge: the process ends by that signal, no partial file is left anywhere, and the
// backup directory still passes check.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <random>
#include <thread>

#include "agent_test_util.h"
#include "velloc/agent/check.h"
#include "velloc/agent/image_builder.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;

extern char** environ;

namespace {

// Runs the velloc binary with `args` (its state directory under `scratch`), sends `sig`
// after `delay` and returns its status.
int runAndSignal(const std::vector<std::string>& args, const std::string& scratch, int sig,
                 std::chrono::microseconds delay) {
  std::vector<std::string> env{"XDG_STATE_HOME=" + scratch + "/state"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("XDG_STATE_HOME=", 0) != 0) env.push_back(*e);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> a{VELLOC_BINARY};
  a.insert(a.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  EXPECT_EQ(::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  std::this_thread::sleep_for(delay);
  ::kill(pid, sig);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

std::vector<std::string> partialsUnder(const std::string& dir) {
  std::vector<std::string> found;
  for (auto& e : sfs::recursive_directory_iterator(dir))
    if (e.path().filename().string().find(".partial-") != std::string::npos) found.push_back(e.path());
  return found;
}

// Runs `args` `times` times, each cut by SIGINT or SIGTERM somewhere in its first
// `span`; after each, `after` checks the state. Returns how many were cut.
int cutRuns(int times, std::chrono::microseconds span, const std::vector<std::string>& args,
            const std::string& scratch, const std::function<void()>& before, const std::function<void()>& after) {
  std::mt19937 rng(17);
  int cut = 0;
  for (int i = 0; i < times; ++i) {
    before();
    int sig = i % 2 ? SIGTERM : SIGINT;
    auto delay = std::chrono::microseconds(rng() % uint64_t(span.count()));
    int status = runAndSignal(args, scratch, sig, delay);
    SCOPED_TRACE("signal " + std::to_string(sig) + " after " + std::to_string(delay.count()) + " us");
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), sig);
      ++cut;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;  // finished first
    }
    EXPECT_EQ(partialsUnder(scratch), std::vector<std::string>{});
    after();
  }
  return cut;
}

}  // namespace

TEST(Interrupt, SignalsDuringRestoreMergeAndBackupLeaveNoPartialFile) {
  agent_test::TempDir t;
  // 32 MiB of noise and two incrementals: long enough to be cut in the middle.
  std::vector<std::vector<uint8_t>> imgs(3, std::vector<uint8_t>(32u << 20));
  std::mt19937_64 rng(3);
  for (size_t i = 0; i < imgs[0].size(); i += 8) *reinterpret_cast<uint64_t*>(&imgs[0][i]) = rng();
  for (int r = 1; r < 3; ++r) {
    imgs[size_t(r)] = imgs[size_t(r) - 1];
    std::fill_n(imgs[size_t(r)].begin() + r * (4 << 20), 2 << 20, uint8_t(r));
  }
  const std::string repo = t / "b", work = t / "work";
  agent_test::writeChain(repo, imgs, 4096);
  imgs.clear();
  sfs::create_directory(work);
  auto clean = [&] { EXPECT_EQ(checkBackupDir(repo, false).exitCode(), 0); };
  int cut = cutRuns(6, std::chrono::milliseconds(400), {"restore", repo, "--round", "2", "--out", work + "/r.img"},
                    t.path(), [&] { sfs::remove(work + "/r.img"); }, clean);
  const std::string copy = t / "m";
  cut += cutRuns(6, std::chrono::milliseconds(400), {"merge", copy, "--upto", "2"}, t.path(),
                 [&] {
                   sfs::remove_all(copy);
                   sfs::copy(repo, copy);
                 },
                 [&] { EXPECT_EQ(checkBackupDir(copy, true).exitCode(), 0); });
  EXPECT_GE(cut, 6) << "the runs ended before the signals: make them longer";

  if (!haveTool("mkfs.ext4")) GTEST_SKIP() << "e2fsprogs missing: backups not cut";
  const std::string image = t / "disk.img";
  buildExt4Image(image, {FsSpec{4096, 24ull << 20, "cut", 4, 2ull << 20}}, t.path());
  const std::string out = t / "bk";
  cutRuns(6, std::chrono::milliseconds(600), {"backup", image, "--partition", "1", "--out", out, "--rounds", "2",
                                              "--seconds", "0"},
          t.path(), [&] { sfs::remove_all(out); },
          [&] {
            if (sfs::exists(out)) {
              EXPECT_EQ(checkBackupDir(out, true).exitCode(), 0);
            }
          });
}
