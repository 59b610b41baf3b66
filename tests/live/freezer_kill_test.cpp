// A process killed while it holds a host file system frozen leaves it thawed: its freezer
// process sees it go and thaws. (A freeze made in the process itself stayed frozen, and
// every writer on the host waited behind it.) Root and a loop device; no FUSE needed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "live/host_fs_freeze.h"
#include "live_test_util.h"

namespace {

// Gone, or a zombie nobody reaps yet.
bool exited(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || line.compare(paren + 2, 1, "Z") == 0;
}

TEST(Freezer, KilledHolderLeavesTheFileSystemThawed) {
  std::string why = livetest::skipReason();
  if (!why.empty()) GTEST_SKIP() << why;
  livetest::ScratchDir dir;
  const std::string img = dir.sub("fs.img"), mnt = dir.sub("mnt");
  ASSERT_EQ(livetest::run({"mkfs.ext4", "-q", "-F", img, "16M"}), 0);
  ASSERT_EQ(livetest::run({"mkdir", mnt}), 0);
  ASSERT_EQ(livetest::run({"mount", "-o", "loop", img, mnt}), 0);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    machine::HostFsFreezer f(mnt);
    pid_t said[2] = {f.freeze() == 0 ? 1 : 0, f.freezerPid()};
    (void)!::write(ready[1], said, sizeof said);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  pid_t said[2] = {};
  ASSERT_EQ(::read(ready[0], said, sizeof said), ssize_t(sizeof said));
  ::close(ready[0]);
  EXPECT_EQ(said[0], 1);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);

  // The freezer thaws once its holder's end of the socket closes, then exits.
  for (int i = 0; i < 500 && !exited(said[1]); ++i) usleep(20000);
  EXPECT_TRUE(exited(said[1])) << "the freezer process outlived its holder";
  // Not frozen any more (a thaw here answers EINVAL; it would succeed on a frozen one).
  EXPECT_EQ(machine::HostFsFreezer::thawPath(mnt), -EINVAL) << "the file system stayed frozen after its holder died";
  EXPECT_EQ(livetest::run({"umount", mnt}), 0);
}

}  // namespace
