// Image files for tests and the agent: a sparse file with an MBR, and ext4 made by
// mkfs.ext4 on one of its partitions.
#include <linux/errno.h>

#include "block_internal.h"

namespace machine {

int image_create(const std::string& path, uint64_t bytes, const std::vector<PartitionSpec>& parts) {
  unsigned char boot[512];
  if (!parts.empty() && vkblk::mbr_build(boot, parts, bytes >> 9, nullptr) != 0) return -EINVAL;
  int fd = blkhost::file_open(path, true, nullptr);
  if (fd < 0) return fd;
  // Emptied first, so no byte of an earlier image survives.
  int rc = blkhost::file_resize(fd, 0);
  if (rc == 0) rc = blkhost::file_resize(fd, bytes);
  if (rc == 0 && !parts.empty()) {
    blkhost::Seg seg{boot, sizeof boot};
    rc = blkhost::file_writev(fd, &seg, 1, 0);
  }
  blkhost::file_close(fd);
  return rc;
}

bool have_mkfs_ext4() { return !host::find_program("mkfs.ext4").empty(); }

int image_mkfs_ext4(const std::string& path, uint64_t start_sector, uint64_t sectors, unsigned block_size,
                    const std::string& from_dir, std::string* err) {
  std::string mkfs = host::find_program("mkfs.ext4");
  if (mkfs.empty()) {
    if (err) *err = "mkfs.ext4 not found (e2fsprogs)";
    return -ENOENT;
  }
  if (block_size != 1024 && block_size != 2048 && block_size != 4096) {
    if (err) *err = "ext4 block size must be 1024, 2048 or 4096";
    return -EINVAL;
  }
  uint64_t blocks = sectors * 512 / block_size;
  std::vector<std::string> argv = {mkfs, "-F", "-q", "-b", std::to_string(block_size), "-E",
                                   "offset=" + std::to_string(start_sector * 512) + ",nodiscard"};
  if (!from_dir.empty()) {
    argv.push_back("-d");
    argv.push_back(from_dir);
  }
  argv.push_back(path);
  argv.push_back(std::to_string(blocks));
  std::string out;
  int rc = host::run_program(argv, &out, &out);
  if (rc != 0) {
    if (err) *err = "mkfs.ext4 failed (" + std::to_string(rc) + "): " + out;
    return rc < 0 ? rc : -EIO;
  }
  return 0;
}

}  // namespace machine
