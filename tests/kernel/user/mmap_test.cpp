// mmap of the device: the driver's mmap sees the area, pages come through nopage on
// first touch, a null page is a bus error, and the file outlives its descriptor while a
// mapping holds it.
#include <linux/errno.h>
#include <sys/mman.h>

#include <cstring>

#include "test_driver.h"

using namespace machine;

namespace {

constexpr size_t kLen = tdrv::kPages * PAGE_SIZE;

TEST_F(DevTest, FirstTouchFaultsPagesInThroughNopage) {
  int fd = open_dev();
  int64_t a = sys_mmap(p, kLen, PROT_READ, false, fd, 0);
  ASSERT_GT(a, 0);
  uint32_t addr = uint32_t(a);
  EXPECT_EQ(addr % PAGE_SIZE, 0u);
  EXPECT_EQ(live(Obj::vma), 1);
  unsigned long flags = tdrv::st->last_vm_flags;
  EXPECT_EQ(flags & (VM_READ | VM_WRITE | VM_SHARED), (unsigned long)VM_READ);
  EXPECT_EQ(tdrv::st->nopages, 0) << "nothing is faulted in at mmap time";

  // Page 2 read twice: one nopage, one reference held by the mapping.
  char c[2];
  ASSERT_EQ(user_read(p, addr + 2 * PAGE_SIZE + 100, c, 2), 0);
  EXPECT_EQ(c[0], 'C');
  ASSERT_EQ(user_read(p, addr + 2 * PAGE_SIZE + 7, c, 1), 0);
  EXPECT_EQ(tdrv::st->nopages, 1);
  EXPECT_EQ(page_count(tdrv::st->pages[2]), 2);

  // A read across pages 0..3 faults the rest; the driver's later writes are seen.
  std::vector<char> all(kLen);
  ASSERT_EQ(user_read(p, addr, all.data(), kLen), 0);
  for (int k = 0; k < tdrv::kPages; ++k) EXPECT_EQ(all[k * PAGE_SIZE + 5], 'A' + k);
  EXPECT_EQ(tdrv::st->nopages, tdrv::kPages);
  static_cast<char *>(page_address(tdrv::st->pages[1]))[9] = 'z';
  const uint8_t *view = user_map_view(p, addr + PAGE_SIZE, PAGE_SIZE);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[9], 'z');
  EXPECT_EQ(user_map_view(p, addr, 2 * PAGE_SIZE), nullptr) << "device pages are not contiguous";

  // Read-only mapping: the process cannot write, nor can the kernel write for it.
  EXPECT_EQ(user_write(p, addr, "x", 1), -EFAULT);
  EXPECT_EQ(sys_read(p, fd, addr, 4), -EFAULT);

  EXPECT_EQ(sys_munmap(p, addr, kLen), 0);
  EXPECT_EQ(tdrv::st->vm_closes, 1);
  for (int k = 0; k < tdrv::kPages; ++k) EXPECT_EQ(page_count(tdrv::st->pages[k]), 1);
  EXPECT_EQ(user_read(p, addr, c, 1), -EFAULT);
  EXPECT_EQ(sys_close(p, fd), 0);
}

TEST_F(DevTest, NullPageIsABusError) {
  int fd = open_dev();
  tdrv::st->bad_page = 1;
  // Larger than the device: pages 4 and 5 have nothing behind them either.
  int64_t a = sys_mmap(p, 6 * PAGE_SIZE, PROT_READ | PROT_WRITE, true, fd, 0);
  ASSERT_GT(a, 0);
  uint32_t addr = uint32_t(a);
  EXPECT_EQ(tdrv::st->last_vm_flags & (VM_READ | VM_WRITE | VM_SHARED | VM_MAYSHARE),
            (unsigned long)(VM_READ | VM_WRITE | VM_SHARED | VM_MAYSHARE));
  char c;
  EXPECT_EQ(user_read(p, addr + PAGE_SIZE, &c, 1), -EBUSERR);
  EXPECT_EQ(user_read(p, addr + 5 * PAGE_SIZE, &c, 1), -EBUSERR);
  // A copy that runs into the bad page stops at its first byte; the kernel sees bytes not
  // copied, the process a bus error.
  char buf[32];
  EXPECT_EQ(user_read(p, addr + PAGE_SIZE - 16, buf, 32), -EBUSERR);
  process_enter(p);
  EXPECT_EQ(copy_from_user(buf, (void __user *)(uintptr_t)(addr + PAGE_SIZE - 16), 32), 16u);
  EXPECT_EQ(copy_to_user((void __user *)(uintptr_t)(addr + PAGE_SIZE - 16), buf, 32), 16u);
  process_leave();
  EXPECT_EQ(user_map_view(p, addr + PAGE_SIZE, 16), nullptr);
  // Shared and writable: the process writes straight into the driver's page.
  ASSERT_EQ(user_write(p, addr + 3, "hi", 2), 0);
  EXPECT_EQ(static_cast<char *>(page_address(tdrv::st->pages[0]))[3], 'h');
  EXPECT_EQ(sys_munmap(p, addr, 6 * PAGE_SIZE), 0);
  EXPECT_EQ(page_count(tdrv::st->pages[0]), 1);
  sys_close(p, fd);
}

TEST_F(DevTest, PrivateWritableMappingCopiesOnWrite) {
  int fd = open_dev();
  int64_t a = sys_mmap(p, PAGE_SIZE, PROT_READ | PROT_WRITE, false, fd, 2 * PAGE_SIZE);
  ASSERT_GT(a, 0);
  EXPECT_EQ(tdrv::st->last_pgoff, 2u);
  char c;
  ASSERT_EQ(user_read(p, uint32_t(a), &c, 1), 0);
  EXPECT_EQ(c, 'C');
  EXPECT_EQ(page_count(tdrv::st->pages[2]), 2);
  ASSERT_EQ(user_write(p, uint32_t(a), "w", 1), 0);
  ASSERT_EQ(user_read(p, uint32_t(a), &c, 1), 0);
  EXPECT_EQ(c, 'w');
  EXPECT_EQ(static_cast<char *>(page_address(tdrv::st->pages[2]))[0], 'C');
  EXPECT_EQ(page_count(tdrv::st->pages[2]), 1) << "the private copy replaced the page";
  sys_munmap(p, uint32_t(a), PAGE_SIZE);
  sys_close(p, fd);
}

TEST_F(DevTest, RefusedMmapUndoesEverything) {
  int fd = open_dev();
  tdrv::st->mmap_result = 2;  // the driver's small positive code
  EXPECT_EQ(sys_mmap(p, kLen, PROT_READ, false, fd, 0), -2);
  tdrv::st->mmap_result = -ENOMEM;
  EXPECT_EQ(sys_mmap(p, kLen, PROT_READ, false, fd, 0), -ENOMEM);
  EXPECT_EQ(live(Obj::vma), 0);
  EXPECT_EQ(atomic_read(&tdrv::st->pages[0]->_count), 1);
  EXPECT_EQ(tdrv::st->mmaps, 2);
  // Checked before the driver is asked.
  EXPECT_EQ(sys_mmap(p, 0, PROT_READ, false, fd, 0), -EINVAL);
  EXPECT_EQ(sys_mmap(p, kLen, PROT_READ, false, fd, 100), -EINVAL);
  EXPECT_EQ(sys_mmap(p, kLen, PROT_READ, false, fd + 1, 0), -EBADF);
  EXPECT_EQ(tdrv::st->mmaps, 2);
  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(tdrv::st->releases, 1) << "failed mmaps left no file reference";
}

TEST_F(DevTest, FileIsReleasedOnlyAfterItsLastMappingGoes) {
  int fd = open_dev();
  int64_t a1 = sys_mmap(p, PAGE_SIZE, PROT_READ, false, fd, 0);
  int64_t a2 = sys_mmap(p, 2 * PAGE_SIZE, PROT_READ, false, fd, 0);
  ASSERT_GT(a1, 0);
  ASSERT_GT(a2, 0);
  char c;
  ASSERT_EQ(user_read(p, uint32_t(a2) + PAGE_SIZE, &c, 1), 0);

  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(tdrv::st->releases, 0);
  EXPECT_EQ(live(Obj::file), 1);
  // The mappings still work through the closed descriptor's file.
  ASSERT_EQ(user_read(p, uint32_t(a1), &c, 1), 0);
  EXPECT_EQ(c, 'A');

  // Only whole areas are unmapped; a range reaching into an area is refused.
  EXPECT_EQ(sys_munmap(p, uint32_t(a2), PAGE_SIZE), -EINVAL);
  EXPECT_EQ(sys_munmap(p, uint32_t(a1), PAGE_SIZE), 0);
  EXPECT_EQ(tdrv::st->releases, 0);
  EXPECT_EQ(sys_munmap(p, uint32_t(a2), 2 * PAGE_SIZE), 0);
  EXPECT_EQ(tdrv::st->vm_closes, 2);
  EXPECT_EQ(tdrv::st->releases, 1);
  EXPECT_EQ(live(Obj::file), 0);
  EXPECT_EQ(page_count(tdrv::st->pages[1]), 1);
}

TEST_F(DevTest, ProcessDestroyClosesAndUnmapsEverything) {
  int fd = open_dev();
  int fd2 = open_dev();
  ASSERT_GT(sys_mmap(p, kLen, PROT_READ, false, fd, 0), 0);
  int64_t a = sys_mmap(p, kLen, PROT_READ, false, fd2, 0);
  sys_close(p, fd2);
  char c;
  ASSERT_EQ(user_read(p, uint32_t(a), &c, 1), 0);
  user_alloc(p, 3 * PAGE_SIZE);
  process_destroy(p);
  p = nullptr;
  EXPECT_EQ(tdrv::st->vm_closes, 2);
  EXPECT_EQ(tdrv::st->releases, 2);
  EXPECT_EQ(page_count(tdrv::st->pages[0]), 1);
}

TEST(AddressSpace, AreasDoNotOverlapAndKeepAGuardPage) {
  Process *p = process_create("layout");
  uint32_t a = user_alloc(p, 100);
  uint32_t b = user_alloc(p, 5 * PAGE_SIZE);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_TRUE(b >= a + 2 * PAGE_SIZE || a >= b + 6 * PAGE_SIZE);
  char z = 1;
  EXPECT_EQ(user_read(p, a + PAGE_SIZE - 1, &z, 1), 0);
  EXPECT_EQ(z, 0) << "anonymous memory starts zeroed";
  EXPECT_EQ(user_read(p, a + PAGE_SIZE, &z, 1), -EFAULT);
  user_free(p, a);
  EXPECT_EQ(user_read(p, a, &z, 1), -EFAULT);
  uint32_t c = user_alloc(p, PAGE_SIZE);
  EXPECT_EQ(c, a) << "freed space is reused first-fit";
  EXPECT_EQ(sys_munmap(p, b, 5 * PAGE_SIZE), 0);  // munmap takes anonymous areas too
  EXPECT_EQ(user_read(p, b, &z, 1), -EFAULT);
  EXPECT_EQ(user_alloc(p, 0), 0u);
  EXPECT_EQ(user_alloc(p, size_t(4) << 30), 0u);
  process_destroy(p);
}

}  // namespace
