// Loading and unloading the program's module: init and exit run, and unload is refused
// while any open file (descriptor or mapping) holds a reference to it.
#include <linux/errno.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#define KBUILD_MODNAME "tmod"
#include "test_driver.h"
#include <machine/modules.h>

MODULE_LICENSE("GPL");

namespace {

constexpr unsigned kModMajor = 220;
const char kModNode[] = "/dev/tmod";
std::atomic<int> inits, exits, init_result, releases;

int tmod_open(struct inode *, struct file *) { return 0; }
int tmod_release(struct inode *, struct file *) {
  releases++;
  return 0;
}
int tmod_mmap(struct file *, struct vm_area_struct *) { return 0; }

struct file_operations tmod_fops = [] {
  struct file_operations f = {};
  f.open = tmod_open;
  f.release = tmod_release;
  f.mmap = tmod_mmap;
  return f;
}();

int tmod_init(void) {
  inits++;
  if (int rc = init_result.load()) return rc;
  tmod_fops.owner = THIS_MODULE;
  return register_chrdev(kModMajor, "tmod", &tmod_fops);
}

void tmod_exit(void) {
  exits++;
  unregister_chrdev(kModMajor, "tmod");
}

module_init(tmod_init);
module_exit(tmod_exit);

using namespace machine;

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mknod_char(kModNode, kModMajor, 0);
    inits = exits = init_result = releases = 0;
    p = process_create("loader");
  }
  void TearDown() override {
    process_destroy(p);
    if (module_loaded()) {
      EXPECT_EQ(module_unload(), 0);
    }
    EXPECT_EQ(module_refcount(THIS_MODULE), 0u);
    EXPECT_EQ(live(Obj::file), 0);
  }
  Process *p = nullptr;
};

TEST_F(ModuleTest, UnloadIsRefusedWhileAFileHoldsTheModule) {
  EXPECT_FALSE(module_loaded());
  ASSERT_EQ(module_load(), 0);
  EXPECT_TRUE(module_loaded());
  EXPECT_EQ(inits, 1);
  EXPECT_EQ(module_load(), -EEXIST);

  int fd = sys_open(p, kModNode);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(module_refcount(THIS_MODULE), 1u);
  EXPECT_EQ(module_unload(), -EBUSY);
  EXPECT_EQ(exits, 0);
  EXPECT_TRUE(module_loaded());

  // A mapping keeps the file, and so the module, after the descriptor is closed.
  int64_t a = sys_mmap(p, PAGE_SIZE, PROT_READ, false, fd, 0);
  ASSERT_GT(a, 0);
  char c = 1;
  EXPECT_EQ(user_read(p, uint32_t(a), &c, 1), 0);
  EXPECT_EQ(c, 0) << "an area without nopage gets zero-filled pages";
  EXPECT_EQ(sys_close(p, fd), 0);
  EXPECT_EQ(module_unload(), -EBUSY);
  EXPECT_EQ(sys_munmap(p, uint32_t(a), PAGE_SIZE), 0);
  EXPECT_EQ(releases, 1);

  EXPECT_EQ(module_unload(), 0);
  EXPECT_EQ(exits, 1);
  EXPECT_FALSE(module_loaded());
  EXPECT_EQ(sys_open(p, kModNode), -ENXIO);
  EXPECT_EQ(module_unload(), -ENOENT);

  // Loadable again.
  ASSERT_EQ(module_load(), 0);
  EXPECT_EQ(inits, 2);
  fd = sys_open(p, kModNode);
  EXPECT_GE(fd, 0);
  sys_close(p, fd);
}

TEST_F(ModuleTest, FailedInitLeavesTheModuleUnloaded) {
  init_result = -EIO;
  EXPECT_EQ(module_load(), -EIO);
  EXPECT_FALSE(module_loaded());
  EXPECT_EQ(module_unload(), -ENOENT);
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(try_module_get(THIS_MODULE), 0) << "a module whose init failed is going";
}

// Opens race the unload: once unload has succeeded no open may get through, and every
// reference taken before it was given back.
TEST_F(ModuleTest, UnloadRacesOpens) {
  ASSERT_EQ(module_load(), 0);
  std::atomic<bool> unloaded{false}, stop{false};
  std::atomic<int> opened_after{0}, opened{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        bool was_unloaded = unloaded.load();
        int fd = sys_open(p, kModNode);
        if (fd >= 0) {
          opened++;
          if (was_unloaded) opened_after++;
          sys_close(p, fd);
        } else {
          EXPECT_TRUE(fd == -ENODEV || fd == -ENXIO) << fd;
        }
      }
    });
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (opened.load() < 50 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  int rc;
  while ((rc = module_unload()) == -EBUSY && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(rc, 0);
  unloaded = true;
  int before = opened.load();
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  stop = true;
  for (auto &t : threads) t.join();
  EXPECT_EQ(opened_after, 0);
  EXPECT_EQ(opened.load(), before);
  EXPECT_EQ(module_refcount(THIS_MODULE), 0u);
  EXPECT_EQ(exits, 1);
}

}  // namespace
