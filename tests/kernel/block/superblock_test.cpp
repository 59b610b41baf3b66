// Block sizes from real on-disk super blocks: ext4 made by mkfs.ext4 (skipped without
// e2fsprogs) and an XFS super block header.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

#include "block_test_util.h"

using namespace blktest;

namespace {

class OnDiskSuperBlock : public BlockTest {
 protected:
  void SetUp() override {
    BlockTest::SetUp();
    char tmpl[] = "/tmp/kblock-sb-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    unlink(path_.c_str());
    BlockTest::TearDown();
  }
  std::string path_;
};

TEST_F(OnDiskSuperBlock, Ext4BlockSizesFromMkfs) {
  if (!machine::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed";
  // Three 8 MiB partitions: ext4 with 1024-, 2048- and 4096-byte blocks.
  std::vector<machine::PartitionSpec> parts = {{2048, 16384}, {18432, 16384}, {34816, 16384}};
  ASSERT_EQ(machine::image_create(path_, 26 << 20, parts), 0);
  unsigned sizes[] = {1024, 2048, 4096};
  for (int i = 0; i < 3; i++) {
    std::string err;
    ASSERT_EQ(machine::image_mkfs_ext4(path_, parts[i].start_sector, parts[i].sectors, sizes[i], "", &err), 0) << err;
  }
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_image(path_, o);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(machine::partition_count(d), 3);  // mkfs left the table alone
  std::vector<machine::Mount*> mounts;
  for (int i = 0; i < 3; i++) {
    std::string err;
    machine::Mount* m = machine::fs_mount(machine::partition_dev(d, i + 1), 0, &err);
    ASSERT_NE(m, nullptr) << err;
    EXPECT_EQ(machine::fs_block_size(m), sizes[i]);
    mounts.push_back(m);
  }
  for (int i = 0; i < 3; i++) {
    Bdev b(machine::partition_dev(d, i + 1));
    struct super_block* sb = get_super(b);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(sb->s_blocksize, sizes[i]);
    drop_super(sb);
  }
  std::string err;
  EXPECT_EQ(machine::fs_mount(machine::disk_dev(d), 0, &err), nullptr);  // the MBR is no file system
  for (auto* m : mounts) EXPECT_EQ(machine::fs_unmount(m), 0);
  machine::disk_detach(d);
}

TEST_F(OnDiskSuperBlock, WholeDiskExt4FilledFromADirectory) {
  if (!machine::have_mkfs_ext4()) GTEST_SKIP() << "mkfs.ext4 (e2fsprogs) is not installed";
  char dir[] = "/tmp/kblock-dir-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::ofstream(std::string(dir) + "/hello.txt") << "hello\n";
  ASSERT_EQ(machine::image_create(path_, 4 << 20, {}), 0);
  std::string err;
  ASSERT_EQ(machine::image_mkfs_ext4(path_, 0, 8192, 2048, dir, &err), 0) << err;
  EXPECT_NE(machine::image_mkfs_ext4(path_, 0, 8192, 3000, "", &err), 0);
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_image(path_, o);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(machine::partition_count(d), 0);
  machine::Mount* m = machine::fs_mount(machine::disk_dev(d), 0, &err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(machine::fs_block_size(m), 2048u);
  EXPECT_EQ(machine::fs_unmount(m), 0);
  machine::disk_detach(d);
  unlink((std::string(dir) + "/hello.txt").c_str());
  rmdir(dir);
}

TEST_F(OnDiskSuperBlock, XfsHeaderGivesItsBigEndianBlockSize) {
  machine::DiskOptions o;
  machine::Disk* d = machine::disk_attach_memory_partitioned(4 << 20, {{2048, 4096}}, o);
  ASSERT_NE(d, nullptr);
  unsigned char sb[8] = {'X', 'F', 'S', 'B', 0, 0, 0x10, 0};  // 4096
  machine::disk_pwrite(d, 2048 * 512, sb, sizeof sb);
  std::string err;
  machine::Mount* m = machine::fs_mount(machine::partition_dev(d, 1), 0, &err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(machine::fs_block_size(m), 4096u);
  EXPECT_EQ(machine::fs_unmount(m), 0);
  // An ext magic with a block-size exponent nobody uses is refused.
  unsigned char ext[1082] = {0};
  ext[1048] = 40;
  ext[1080] = 0x53;
  ext[1081] = 0xEF;
  machine::disk_pwrite(d, 2048 * 512, ext, sizeof ext);
  EXPECT_EQ(machine::fs_mount(machine::partition_dev(d, 1), 0, &err), nullptr);
  EXPECT_NE(err.find("bad block size"), std::string::npos);
  machine::disk_detach(d);
}

}  // namespace
