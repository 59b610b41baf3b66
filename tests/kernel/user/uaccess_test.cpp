// The kernel's copies to and from the current process stop at the first byte they may
// not touch and report how many bytes they did not copy.
#include <linux/errno.h>

#include <cstring>
#include <thread>
#include <vector>

#include "test_driver.h"

using namespace machine;

namespace {

class UserCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    p = process_create("copier");
    base = user_alloc(p, 2 * PAGE_SIZE);
    ASSERT_NE(base, 0u);
    std::vector<uint8_t> fill(2 * PAGE_SIZE);
    for (size_t i = 0; i < fill.size(); ++i) fill[i] = uint8_t(i * 7);
    ASSERT_EQ(user_write(p, base, fill.data(), fill.size()), 0);
    process_enter(p);
  }
  void TearDown() override {
    process_leave();
    process_destroy(p);
  }
  void __user *uptr(uint64_t a) { return reinterpret_cast<void __user *>(uintptr_t(a)); }
  uint8_t byte_at(uint32_t a) { return uint8_t((a - base) * 7); }

  Process *p = nullptr;
  uint32_t base = 0;
};

TEST_F(UserCopy, StopsAtTheFirstUnmappedByte) {
  EXPECT_EQ(process_current(), p);
  // A 16-byte record whose last 10 bytes lie past the end of the area (a guard page
  // follows every area).
  uint32_t rec = base + 2 * PAGE_SIZE - 6;
  uint8_t got[16];
  std::memset(got, 0xEE, sizeof got);
  EXPECT_EQ(copy_from_user(got, uptr(rec), 16), 10u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], byte_at(rec + i));
  for (int i = 6; i < 16; ++i) EXPECT_EQ(got[i], 0) << "uncopied tail is zero-filled";

  uint8_t out[16];
  std::memset(out, 0x5A, sizeof out);
  EXPECT_EQ(copy_to_user(uptr(rec), out, 16), 10u);
  uint8_t back[8];
  ASSERT_EQ(user_read(p, rec, back, 6), 0);
  EXPECT_EQ(std::memcmp(back, out, 6), 0);
  EXPECT_EQ(user_read(p, rec, back + 0, 7), -EFAULT);

  // Fully unmapped, null, above 4 GiB.
  EXPECT_EQ(copy_from_user(got, uptr(base + 2 * PAGE_SIZE), 4), 4u);
  EXPECT_EQ(copy_from_user(got, uptr(0), 4), 4u);
  EXPECT_EQ(copy_from_user(got, uptr(0x100000000ull + base), 4), 4u);
  EXPECT_EQ(copy_from_user(got, uptr(base), 0), 0u);
  // A copy that runs through the top of the 32-bit space stops there.
  EXPECT_EQ(clear_user(uptr(0xFFFFFFF0u), 32), 32u);

  // put_user / get_user ride on the same copies.
  uint32_t v = 0;
  EXPECT_EQ(get_user(v, (uint32_t __user *)uptr(base + 4)), 0);
  uint32_t expect;
  ASSERT_EQ(user_read(p, base + 4, &expect, 4), 0);
  EXPECT_EQ(v, expect);
  EXPECT_EQ(put_user(0xAABBCCDDu, (uint32_t __user *)uptr(base + 8)), 0);
  EXPECT_EQ(put_user(1u, (uint32_t __user *)uptr(rec + 4)), -EFAULT);
  EXPECT_EQ(get_user(v, (uint32_t __user *)uptr(rec + 4)), -EFAULT);
}

TEST_F(UserCopy, HonoursPagePermissions) {
  // Second page read-only: reads cross it, writes stop at its first byte.
  user_protect(p, base + PAGE_SIZE, 1, true, false);
  uint32_t rec = base + PAGE_SIZE - 8;
  uint8_t buf[16];
  EXPECT_EQ(copy_from_user(buf, uptr(rec), 16), 0u);
  std::memset(buf, 1, sizeof buf);
  EXPECT_EQ(user_write(p, rec, buf, 16), -EFAULT);
  EXPECT_EQ(copy_to_user(uptr(rec), buf, 16), 8u);
  EXPECT_EQ(clear_user(uptr(rec), 16), 8u);
  uint8_t check[16];
  ASSERT_EQ(user_read(p, rec, check, 16), 0);
  EXPECT_EQ(check[7], 0) << "clear_user cleared the writable part";
  EXPECT_EQ(check[8], byte_at(rec + 8)) << "and left the read-only page alone";

  // Inaccessible: nothing crosses it.
  user_protect(p, base + PAGE_SIZE, PAGE_SIZE, false, false);
  EXPECT_EQ(copy_from_user(buf, uptr(rec), 16), 8u);
  user_protect(p, base + PAGE_SIZE, PAGE_SIZE, true, true);
  EXPECT_EQ(copy_to_user(uptr(rec), buf, 16), 0u);

  // access_ok checks only the range, as on i386.
  EXPECT_TRUE(access_ok(VERIFY_WRITE, uptr(0x1000), 16));
  EXPECT_TRUE(access_ok(VERIFY_READ, uptr(0xBFFFFFF0u), 16));
  EXPECT_FALSE(access_ok(VERIFY_READ, uptr(0xBFFFFFF0u), 17));
  EXPECT_FALSE(access_ok(VERIFY_READ, uptr(0xFFFFFFF0u), 1));
}

TEST_F(UserCopy, InjectedFaultsFailTheWholeCopy) {
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  fault_fail_nth(Fault::copy_from_user, 2);
  EXPECT_EQ(copy_from_user(buf, uptr(base), 8), 0u);
  EXPECT_EQ(copy_from_user(buf, uptr(base), 8), 8u);
  for (uint8_t b : buf) EXPECT_EQ(b, 0);
  EXPECT_EQ(copy_from_user(buf, uptr(base), 8), 0u);
  fault_fail_always(Fault::copy_to_user, true);
  EXPECT_EQ(copy_to_user(uptr(base), buf, 8), 8u);
  EXPECT_EQ(clear_user(uptr(base), 8), 8u);
  fault_reset();
  EXPECT_EQ(copy_to_user(uptr(base), buf, 8), 0u);
}

TEST_F(UserCopy, TasksWithoutAProcessReachNothing) {
  uint8_t buf[4] = {9, 9, 9, 9};
  unsigned long left = 0;
  Process *seen = p;
  std::thread t([&] {
    adopt_thread("kworker");
    seen = process_current();
    left = copy_from_user(buf, uptr(base), 4);
  });
  t.join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(left, 4u);
  EXPECT_EQ(buf[0], 0);

  // After leaving, this thread has no process either.
  process_leave();
  EXPECT_EQ(copy_to_user(uptr(base), buf, 4), 4u);
  process_enter(p);
}

TEST_F(UserCopy, DestroyedProcessLeavesBoundThreadsWithNothing) {
  // Another thread stays bound while the process goes; its copies then fail cleanly.
  Process *q = process_create("short-lived");
  uint32_t a = user_alloc(q, 16);
  std::atomic<int> stage{0};
  unsigned long before = 99, after = 0;
  std::thread t([&] {
    process_enter(q);
    uint8_t b[4];
    before = copy_from_user(b, uptr(a), 4);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    after = copy_from_user(b, uptr(a), 4);
    EXPECT_EQ(process_current(), nullptr);
  });
  while (stage.load() != 1) std::this_thread::yield();
  process_destroy(q);
  stage = 2;
  t.join();
  EXPECT_EQ(before, 0u);
  EXPECT_EQ(after, 4u);
}

}  // namespace
