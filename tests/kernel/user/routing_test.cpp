// The character device table and the descriptor system calls route to the driver's
// file_operations; refused opens leave nothing behind.
#include <linux/errno.h>

#include "test_driver.h"

using namespace machine;

TEST_F(DevTest, CallsReachTheDriverInTheCallersProcess) {
  int fd = open_dev();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(tdrv::st->opens, 1);
  EXPECT_EQ(module_refcount(&tdrv::st->owner), 1u);
  EXPECT_EQ(live(Obj::file), 1);

  // Positive and negative results come back unchanged.
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kEcho, 7), 7);
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kEcho, (unsigned long)-22), -22);
  EXPECT_EQ(sys_ioctl(p, fd, 99, 0), -ENOTTY);
  // The driver runs with the process's context even though this thread never entered it.
  EXPECT_EQ(process_current(), nullptr);
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kHasMm, 0), 1);
  EXPECT_EQ(process_current(), nullptr);

  // A record round trip through the process's memory.
  uint32_t buf = user_alloc(p, 64);
  tdrv::Rec r{41, 0, 3, 4};
  ASSERT_EQ(user_write(p, buf, &r, sizeof r), 0);
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kBump, buf), 0);
  ASSERT_EQ(user_read(p, buf, &r, sizeof r), 0);
  EXPECT_EQ(r.a, 42u);
  EXPECT_EQ(r.b, 1u);
  EXPECT_EQ(r.c, 3u);
  // A record running off the end of the area: the driver sees 10 bytes not copied.
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kBump, buf + PAGE_SIZE - 6), 1010);

  // read keeps the file position between calls; write and poll reach the driver.
  char text[8] = {};
  EXPECT_EQ(sys_read(p, fd, buf, 3), 3);
  EXPECT_EQ(sys_read(p, fd, buf + 3, 8), 2);
  EXPECT_EQ(sys_read(p, fd, buf + 5, 8), 0);
  ASSERT_EQ(user_read(p, buf, text, 5), 0);
  EXPECT_STREQ(text, "hello");
  EXPECT_EQ(sys_write(p, fd, buf, 5), 5);
  EXPECT_EQ(sys_read(p, fd, 0xC0000000u, 1), -EFAULT);  // outside user space
  EXPECT_EQ(sys_poll(p, fd, POLLIN | POLLOUT), POLLIN);

  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(tdrv::st->releases, 1);
  EXPECT_EQ(sys_close(p, fd), -EBADF);
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kEcho, 1), -EBADF);
  EXPECT_EQ(sys_poll(p, fd, POLLIN), POLLNVAL);
}

TEST_F(DevTest, DupSharesOneFileReleasedByTheLastDescriptor) {
  int fd = open_dev();
  int fd2 = sys_dup(p, fd);
  ASSERT_GE(fd2, 0);
  EXPECT_NE(fd, fd2);
  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(tdrv::st->releases, 0);
  EXPECT_EQ(sys_ioctl(p, fd2, tdrv::kEcho, 5), 5);
  // The freed number is reused, lowest first.
  int fd3 = open_dev();
  EXPECT_EQ(fd3, fd);
  EXPECT_EQ(sys_close(p, fd2), 0);
  EXPECT_EQ(tdrv::st->releases, 1);
  EXPECT_EQ(sys_close(p, fd3), 0);
  EXPECT_EQ(tdrv::st->releases, 2);
  EXPECT_EQ(sys_dup(p, fd3), -EBADF);
}

TEST_F(DevTest, RefusedOpensLeaveNothingAllocated) {
  int bugs = kernel_bug_count();
  tdrv::st->open_result = -ENOMEM;
  EXPECT_EQ(open_dev(), -ENOMEM);
  // A positive result would be taken for a pointer by a kernel: refused and reported.
  tdrv::st->open_result = 3;
  EXPECT_EQ(open_dev(), -EINVAL);
  EXPECT_EQ(kernel_bug_count(), bugs + 1);
  kernel_bug_reset();
  EXPECT_EQ(tdrv::st->opens, 2);
  EXPECT_EQ(tdrv::st->releases, 0);  // release never runs for a refused open
  EXPECT_EQ(live(Obj::file), 0);
  EXPECT_EQ(module_refcount(&tdrv::st->owner), 0u);

  // No node, no driver for the major, a module on its way out.
  tdrv::st->open_result = 0;
  EXPECT_EQ(sys_open(p, "/dev/none"), -ENOENT);
  int rc = mknod_char("/dev/tdrv-other", tdrv::kMajor + 1, 0);
  ASSERT_TRUE(rc == 0 || rc == -EEXIST);
  EXPECT_EQ(sys_open(p, "/dev/tdrv-other"), -ENXIO);
  tdrv::st->owner.state = MODULE_STATE_GOING;
  EXPECT_EQ(open_dev(), -ENODEV);
  tdrv::st->owner.state = MODULE_STATE_LIVE;
  EXPECT_EQ(tdrv::st->opens, 2);  // the driver was never reached
  EXPECT_EQ(live(Obj::file), 0);

  // The refused opens did not use up descriptor numbers.
  int fd = open_dev();
  EXPECT_EQ(fd, 0);
  sys_close(p, fd);
}

TEST(Chrdev, RegistrationRules) {
  static struct file_operations fops = {};
  EXPECT_EQ(register_chrdev(210, "a", &fops), 0);
  EXPECT_EQ(register_chrdev(210, "b", &fops), -EBUSY);
  EXPECT_EQ(register_chrdev(256, "c", &fops), -EINVAL);
  int dyn = register_chrdev(0, "d", &fops);
  EXPECT_GT(dyn, 0);
  EXPECT_LT(dyn, 255);
  EXPECT_NE(dyn, 210);
  EXPECT_EQ(unregister_chrdev(dyn, "d"), 0);
  EXPECT_EQ(unregister_chrdev(210, "a"), 0);
  EXPECT_EQ(unregister_chrdev(210, "a"), -EINVAL);

  fault_fail_nth(Fault::register_chrdev, 1);
  EXPECT_EQ(register_chrdev(211, "e", &fops), -ENOMEM);
  EXPECT_EQ(register_chrdev(211, "e", &fops), 0);  // only the first call failed
  EXPECT_EQ(unregister_chrdev(211, "e"), 0);
  fault_reset();

  EXPECT_EQ(mknod_char("", 1, 0), -EINVAL);
  EXPECT_EQ(mknod_char("/dev/rules", 1, MINORMASK + 1), -EINVAL);
}

TEST_F(DevTest, UnregisteredDriverKeepsServingOpenFiles) {
  int fd = open_dev();
  ASSERT_EQ(unregister_chrdev(tdrv::kMajor, "tdrv"), 0);
  EXPECT_EQ(open_dev(), -ENXIO);
  EXPECT_EQ(sys_ioctl(p, fd, tdrv::kEcho, 9), 9);
  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(tdrv::st->releases, 1);
  register_chrdev(tdrv::kMajor, "tdrv", &tdrv::tdrv_fops);  // teardown unregisters
}
