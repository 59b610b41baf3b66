// The service with a partition mounted on the host (root, /dev/fuse, a loop device;
// skipped with the reason elsewhere): real programs write in the mount, separate client
// processes take a full and an incremental backup, each checked inside the service
// against the partition as frozen for it, rebuilt from its chain and e2fsck'd. A stop
// takes the mount down; a SIGKILLed service's mount is taken down by the next start.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "service_test_util.h"
#include "velloc/agent/live_mount.h"

namespace {

using servicetest::json;
using servicetest::ServiceProcess;
using servicetest::velloc;

class ServiceMount : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = livetest::skipReason();
    if (!why.empty()) GTEST_SKIP() << why;
    ::setenv("VELLOC_LIVE_STATE_DIR", dir.sub("run").c_str(), 1);
    image = dir.sub("disk.img");
    ASSERT_EQ(livetest::makeExt4Image(image, 96ull << 20), "");
    socket = dir.sub("s.sock");
    mnt = dir.sub("mnt");
    std::filesystem::create_directories(mnt);
  }
  void TearDown() override { ::unsetenv("VELLOC_LIVE_STATE_DIR"); }

  json backup() {
    std::string out;
    int rc = velloc({"--json", "backup", "sda1", "--repo", dir.sub("repo"), "--socket", socket, "--verify"}, &out);
    EXPECT_EQ(rc, 0) << out;
    json j = json::parse(out, nullptr, false);
    return j.is_object() ? j : json::object();
  }
  int sh(const std::string& cmd) { return livetest::run({"sh", "-c", cmd}); }

  livetest::ScratchDir dir;
  std::string image, socket, mnt;
};

TEST_F(ServiceMount, RealProgramsWriteBetweenBackupsAndEveryRoundMatchesItsFrozenCopy) {
  ServiceProcess svc(socket, {image}, dir.path());
  ASSERT_TRUE(svc.listening()) << svc.child().stderrText();
  std::string out;
  ASSERT_EQ(velloc({"mount", "sda1", mnt, "--socket", socket}, &out), 0) << out;
  ASSERT_EQ(sh("dd if=/dev/urandom of=" + mnt + "/a bs=1M count=6 conv=fsync status=none && mkdir " + mnt +
               "/etc && cp -r /etc/ssl " + mnt + "/etc/ 2>/dev/null; sync"),
            0);
  json r0 = backup();
  EXPECT_EQ(r0.value("kind", ""), "full");
  EXPECT_EQ(r0.value("verified", ""), "yes") << r0.dump();

  ASSERT_EQ(sh("dd if=/dev/urandom of=" + mnt + "/b bs=1M count=3 conv=fsync status=none && tar -C " + mnt +
               " -cf " + mnt + "/etc.tar etc && sync"),
            0);
  json r1 = backup();
  EXPECT_EQ(r1.value("kind", ""), "incr") << r1.dump();
  EXPECT_EQ(r1.value("verified", ""), "yes") << r1.dump();
  EXPECT_GT(r1.value("changedBlocks", 0u), 3u * 256);  // at least b's 3 MiB of 4 KiB blocks
  // and far from the whole partition (the full round copies only the blocks in use, so
  // it is no yardstick): under a quarter of the image's 4 KiB blocks.
  EXPECT_LT(r1.value("changedBlocks", 0u), (96u << 20) / 4096 / 4);

  ASSERT_EQ(velloc({"status", "sda1", "--socket", socket}, &out), 0);
  EXPECT_NE(out.find("mounted at " + mnt), std::string::npos) << out;
  EXPECT_EQ(svc.stop(), 0) << svc.child().stderrText();
  EXPECT_FALSE(livetest::anythingMountedUnder(dir.path()));
  EXPECT_EQ(livetest::loopsBackedBy(dir.sub("run")), "");
}

TEST_F(ServiceMount, NextStartTakesDownWhatAKilledServiceLeftMounted) {
  {
    ServiceProcess svc(socket, {image}, dir.path());
    ASSERT_TRUE(svc.listening()) << svc.child().stderrText();
    std::string out;
    ASSERT_EQ(velloc({"mount", "sda1", mnt, "--socket", socket}, &out), 0) << out;
    svc.child().signal(SIGKILL);
    svc.child().wait(10000);
  }
  EXPECT_TRUE(livetest::anythingMountedUnder(dir.path()));
  ServiceProcess again(socket, {}, dir.path());
  ASSERT_TRUE(again.listening()) << again.child().stderrText();
  EXPECT_NE(again.child().stderrText().find("cleaning up after run"), std::string::npos) << again.child().stderrText();
  EXPECT_FALSE(livetest::anythingMountedUnder(dir.path()));
  EXPECT_EQ(livetest::loopsBackedBy(dir.sub("run")), "");
  EXPECT_EQ(again.stop(), 0);
}

}  // namespace
