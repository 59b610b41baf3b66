// A small character driver for the stand-in's own tests: counts its calls, serves a
// few pages through mmap/nopage, and copies records through user memory in ioctl.
#pragma once
#include <asm/uaccess.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <machine/kernel.h>
#include <machine/process.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace tdrv {

constexpr unsigned kMajor = 200;
constexpr int kPages = 4;  // pages the device serves through nopage
inline const std::string kNode = "/dev/tdrv";

// ioctl commands
constexpr unsigned kEcho = 1;     // returns arg unchanged (positive codes pass through)
constexpr unsigned kBump = 2;     // arg: user address of a Rec; a += 1, b = handle id
constexpr unsigned kHasMm = 3;    // 1 when the call runs with a process context
constexpr unsigned kSlowEcho = 4; // like kEcho, but yields a while first
constexpr unsigned kCall = 5;     // runs st->on_call(arg) in the driver, returns its result

struct Rec {
  uint32_t a, b, c, d;
};

struct Handle {
  int id;
  struct file *file;
};

struct State {
  std::atomic<int> opens{0}, releases{0}, vm_closes{0}, nopages{0}, mmaps{0};
  std::atomic<int> open_result{0}, mmap_result{0};
  std::atomic<int> bad_page{-1};       // nopage gives no page for this index
  std::atomic<int> live_handles{0};
  std::atomic<unsigned long> last_vm_flags{0}, last_pgoff{0};
  std::atomic<int> release_had_mm{-1};
  std::function<long(unsigned long)> on_call;  // kCall's work, set by the test
  struct page *pages[kPages] = {};
  struct module owner = {"tdrv", MODULE_STATE_LIVE, {0}, nullptr, nullptr, nullptr};
};

extern State *st;
extern struct file_operations tdrv_fops;

// Registers the driver (owner: st->owner) and its node; fills page i with 'A' + i.
void setup();
// Unregisters and frees the pages; the driver's files must all be gone.
void teardown();

}  // namespace tdrv

#include <gtest/gtest.h>

// Each test gets a fresh driver and one process; afterwards no file or vma may be left.
class DevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tdrv::setup();
    p = machine::process_create("agent");
  }
  void TearDown() override {
    if (p) machine::process_destroy(p);
    EXPECT_EQ(tdrv::st->live_handles.load(), 0);
    EXPECT_EQ(machine::live(machine::Obj::file), 0);
    EXPECT_EQ(machine::live(machine::Obj::vma), 0);
    EXPECT_EQ(module_refcount(&tdrv::st->owner), 0u);
    tdrv::teardown();
  }
  int open_dev() { return machine::sys_open(p, tdrv::kNode); }

  machine::Process *p = nullptr;
};
