// Restore onto a block device: written in place when free and big enough, refused when
// mounted or too small. Needs root and loop devices; each test detaches and unmounts
// only what it attached and mounted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "agent_test_util.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/restore.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 4096;

// A loop device over a file of `bytes` bytes, detached (and unmounted) at the end.
class Loop {
 public:
  Loop(const std::string& file, uint64_t bytes) {
    std::ofstream(file).close();
    sfs::resize_file(file, bytes);
    std::string out, err;
    if (runTool({"losetup", "-f", "--show", file}, &out, &err) == 0) dev_ = out.substr(0, out.find('\n'));
  }
  ~Loop() {
    if (!mountDir_.empty()) runTool({"umount", mountDir_});
    if (!dev_.empty()) runTool({"losetup", "-d", dev_});
  }
  const std::string& dev() const { return dev_; }
  bool mount(const std::string& dir) {
    if (runTool({"mkfs.ext4", "-q", "-F", dev_}) != 0 || runTool({"mount", dev_, dir}) != 0) return false;
    mountDir_ = dir;
    return true;
  }

 private:
  std::string dev_, mountDir_;
};

}  // namespace

TEST(RestoreDevice, WritesAFreeDeviceAndRefusesAMountedOrSmallerOne) {
  if (::geteuid() != 0 || !haveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
  agent_test::TempDir t;
  std::vector<std::vector<uint8_t>> imgs(2, std::vector<uint8_t>(256 * kBs, 0));
  for (size_t i = 0; i < imgs[0].size(); i += 997) imgs[0][i] = uint8_t(i);
  imgs[1] = imgs[0];
  std::fill_n(imgs[1].begin() + 9 * kBs, kBs, 0x33);
  agent_test::writeChain(t / "b", imgs, kBs);

  {
    Loop loop(t / "dev.img", imgs[0].size() + 64 * kBs);  // larger than the partition: fine
    ASSERT_FALSE(loop.dev().empty()) << "no free loop device";
    // The device held something before: every block is written, zeros too.
    {
      std::ofstream f(loop.dev(), std::ios::binary);
      std::string junk(imgs[0].size(), 'j');
      f.write(junk.data(), std::streamsize(junk.size()));
    }
    RestoreResult r = restoreImage(t / "b", 1, loop.dev());
    EXPECT_EQ(r.written, imgs[1].size());
    std::string back = agent_test::readText(t / "dev.img").substr(0, imgs[1].size());
    EXPECT_EQ(back, std::string(imgs[1].begin(), imgs[1].end()));
  }
  {
    Loop small(t / "small.img", imgs[0].size() - kBs);
    ASSERT_FALSE(small.dev().empty());
    EXPECT_EQ(agent_test::errorOf([&] { restoreImage(t / "b", 1, small.dev()); }),
              "cannot restore onto " + small.dev() + ": it holds " + std::to_string(imgs[0].size() - kBs) +
                  " bytes, the partition " + std::to_string(imgs[0].size()));
  }
  {
    Loop mounted(t / "m.img", 16u << 20);
    ASSERT_FALSE(mounted.dev().empty());
    sfs::create_directory(t / "mnt");
    if (!haveTool("mkfs.ext4") || !mounted.mount(t / "mnt")) GTEST_SKIP() << "cannot mount a loop device here";
    EXPECT_EQ(agent_test::errorOf([&] { restoreImage(t / "b", 1, mounted.dev()); }),
              "cannot restore onto " + mounted.dev() + ": it is mounted; unmount it first");
  }
}
