// The FUSE front end: partition files whose reads and writes are bios on the partition.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "live/fuse_disk.h"
#include "live_test_util.h"
#include "machine/disk.h"

namespace {

constexpr uint64_t kPartStart = 2048, kPartSectors = 8192;  // 4 MiB at 1 MiB

class FuseDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = livetest::skipReason();
    if (!why.empty()) GTEST_SKIP() << why;
    machine::DiskOptions o;
    o.random_completion = true;  // completions out of order, as a busy disk gives them
    d_ = machine::disk_attach_memory_partitioned(8 << 20, {{kPartStart, kPartSectors}, {kPartStart + kPartSectors, 2048}}, o);
    ASSERT_NE(d_, nullptr);
    dir_ = scratch_.sub("fuse");
    ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
    std::string err;
    fuse_ = machine::FuseDisk::serve(d_, "sda", dir_, &err);
    ASSERT_NE(fuse_, nullptr) << err;
  }
  void TearDown() override {
    fuse_.reset();
    if (d_) machine::disk_detach(d_);
  }
  std::vector<char> diskBytes(uint64_t off, size_t len) {
    std::vector<char> v(len);
    machine::disk_pread(d_, off, v.data(), len);
    return v;
  }
  livetest::ScratchDir scratch_;
  std::string dir_;
  machine::Disk* d_ = nullptr;
  std::unique_ptr<machine::FuseDisk> fuse_;
};

TEST_F(FuseDiskTest, ListsTheDiskAndEachPartitionWithTheirSizes) {
  struct stat st;
  ASSERT_EQ(::stat((dir_ + "/sda").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), uint64_t(8 << 20));
  ASSERT_EQ(::stat(fuse_->path(1).c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), kPartSectors * 512);
  ASSERT_EQ(::stat(fuse_->path(2).c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), 2048u * 512);
  EXPECT_NE(::stat((dir_ + "/sda3").c_str(), &st), 0);
  EXPECT_EQ(fuse_->path(3), "");
}

// Threads write their own interleaved stripes of the partition file at once, some on
// sector boundaries and some not; every byte must land at the partition's offset on disk,
// nothing outside the partition may change, and reads through the file give it back.
TEST_F(FuseDiskTest, RacingWritesLandAtThePartitionsOffsetAndReadBack) {
  const uint64_t bytes = kPartSectors * 512;
  std::vector<char> expect(bytes, 0);
  const int threads = 4;
  const size_t stripe = 64 * 1024;
  std::vector<std::thread> ts;
  std::atomic<int> failures{0};
  for (int t = 0; t < threads; ++t) {
    // Each thread fills its stripes: aligned 4 KiB writes, plus an unaligned write that
    // straddles sectors in the middle of each stripe.
    for (uint64_t s = uint64_t(t) * stripe; s < bytes; s += threads * stripe)
      for (size_t k = 0; k < stripe; ++k) expect[s + k] = char((s / stripe) * 31 + k * 7 + 1);
    ts.emplace_back([&, t] {
      int fd = ::open(fuse_->path(1).c_str(), O_RDWR);
      if (fd < 0) {
        failures++;
        return;
      }
      for (uint64_t s = uint64_t(t) * stripe; s < bytes; s += threads * stripe) {
        for (size_t k = 0; k < stripe; k += 4096)
          if (::pwrite(fd, expect.data() + s + k, 4096, off_t(s + k)) != 4096) failures++;
        const size_t odd = 1000;  // 1000 bytes at offset 777 within the stripe
        std::vector<char> patch(expect.begin() + long(s + 777), expect.begin() + long(s + 777 + odd));
        for (auto& c : patch) c = char(c ^ 0x5a);
        if (::pwrite(fd, patch.data(), odd, off_t(s + 777)) != ssize_t(odd)) failures++;
      }
      if (::fsync(fd) != 0) failures++;
      ::close(fd);
    });
  }
  for (auto& th : ts) th.join();
  ASSERT_EQ(failures.load(), 0);
  for (uint64_t s = 0; s < bytes; s += stripe)
    for (size_t k = 777; k < 777 + 1000; ++k) expect[s + k] = char(expect[s + k] ^ 0x5a);

  EXPECT_TRUE(diskBytes(kPartStart * 512, bytes) == expect);
  EXPECT_EQ(diskBytes(0, 512)[510], char(0x55)) << "the MBR must be untouched";
  EXPECT_TRUE(diskBytes((kPartStart + kPartSectors) * 512, 4096) == std::vector<char>(4096, 0))
      << "the next partition must be untouched";

  int fd = ::open(fuse_->path(1).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<char> back(bytes);
  size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::pread(fd, back.data() + got, bytes - got, off_t(got));
    ASSERT_GT(n, 0);
    got += size_t(n);
  }
  EXPECT_TRUE(back == expect);
  char small[3];
  EXPECT_EQ(::pread(fd, small, 3, 778), 3);  // unaligned read
  EXPECT_EQ(std::memcmp(small, expect.data() + 778, 3), 0);
  ::close(fd);
  EXPECT_GT(fuse_->counters().flushes.load(), 0u);
  EXPECT_GT(fuse_->counters().unaligned.load(), 0u);
  EXPECT_EQ(fuse_->counters().errors.load(), 0u);
}

TEST_F(FuseDiskTest, TheEndOfTheDeviceIsAHardLimit) {
  const uint64_t bytes = kPartSectors * 512;
  int fd = ::open(fuse_->path(1).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<char> buf(8192, 'x');
  EXPECT_EQ(::pwrite(fd, buf.data(), 8192, off_t(bytes - 4096)), 4096) << "clipped at the end";
  errno = 0;
  EXPECT_EQ(::pwrite(fd, buf.data(), 512, off_t(bytes)), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(::pread(fd, buf.data(), 512, off_t(bytes)), 0);
  EXPECT_NE(::ftruncate(fd, 4096), 0) << "a device cannot shrink";
  ::close(fd);
  EXPECT_TRUE(diskBytes((kPartStart + kPartSectors) * 512, 4096) == std::vector<char>(4096, 0));
}

// Stopping the server while a file is still open ends in bounded time (the connection
// is aborted), and the holder gets errors rather than hanging.
TEST_F(FuseDiskTest, StoppingWithAFileStillOpenIsBounded) {
  int fd = ::open(fuse_->path(1).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  auto t0 = std::chrono::steady_clock::now();
  fuse_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  char buf[512] = {0};
  EXPECT_EQ(::pwrite(fd, buf, 512, 0), -1);
  ::close(fd);
  EXPECT_FALSE(livetest::anythingMountedUnder(dir_)) << "the mount point must be gone";
}

}  // namespace
