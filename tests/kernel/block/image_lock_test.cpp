// An attached image is owned by its disk: every other open of it for a disk (in this
// process or another) is refused with a message naming the holder, until detach.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "machine/disk.h"

namespace {

TEST(ImageLock, SecondAttachRefusedNamingHolderUntilDetach) {
  char path[] = "/tmp/kblock-lock-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(machine::image_create(path, 1 << 20, {{8, 8}}), 0);
  machine::DiskOptions o;
  std::string err;
  machine::Disk* d = machine::disk_attach_image(path, o, &err);
  ASSERT_NE(d, nullptr) << err;

  machine::DiskOptions other;
  other.name = "sdb";
  other.first_minor = 16;
  EXPECT_EQ(machine::disk_attach_image(path, other, &err), nullptr);
  EXPECT_NE(err.find("is in use by process " + std::to_string(getpid())), std::string::npos) << err;
  // Nor may the image be rebuilt underneath the disk.
  EXPECT_EQ(machine::image_create(path, 1 << 20, {{8, 8}}), -EBUSY);
  EXPECT_EQ(machine::partition_count(d), 1);

  machine::disk_detach(d);
  d = machine::disk_attach_image(path, other, &err);
  ASSERT_NE(d, nullptr) << err;
  machine::disk_detach(d);
  unlink(path);
}

}  // namespace
