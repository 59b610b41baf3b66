// Module load and unload, opening and closing the control device, and the no-op file
// operations.
#include <cerrno>
#include <string>

#include "velloc_fixture.h"
// Module internals last: the kernel headers redefine a few host names.
#include <linux/module.h>
#include "vellib.h"

namespace velloc_test {
namespace {

class FrameLifecycle : public VellocFixture {
 protected:
  // Live kernel objects of the kinds an open allocates.
  struct Counts {
    int64_t kmalloc, vmalloc, page;
    bool operator==(const Counts&) const = default;
  };
  static Counts counts() {
    return {machine::live(machine::Obj::kmalloc), machine::live(machine::Obj::vmalloc),
            machine::live(machine::Obj::page)};
  }
};

TEST_F(FrameLifecycle, LoadAndUnloadLogTheirLinesInOrder) {
  const std::string loaded = "velInit: velloc version 3.1.0 build 9504 loaded";
  const std::string ready = "velUnload: velloc version 3.1.0 build 9504 ready to be unloaded";
  const std::string exiting = "velExit: velloc version 3.1.0 build 9504 exiting";

  EXPECT_EQ(1, logCount(loaded));
  EXPECT_EQ(0, logCount("velUnload"));

  EXPECT_EQ(0, agent().close());
  unloadModule();
  EXPECT_TRUE(logInOrder({loaded, ready, exiting}));
  for (const machine::LogRecord& r : machine::log_records()) {
    if (r.text.find("velloc version") != std::string::npos) { EXPECT_EQ(6, r.level) << r.text; }
  }

  // A second load starts from the load-time values again: a fresh handle works.
  uint64_t mark = logMark();
  ASSERT_EQ(0, machine::module_load());
  EXPECT_EQ(1, logCount(loaded, mark));
  AgentHandle h = openHandle(agent().proc);
  State s = h.state();
  EXPECT_EQ(0u, s.state);
  EXPECT_EQ(0, h.close());
}

TEST_F(FrameLifecycle, UnloadWaitsForTheLastHandle) {
  AgentHandle second = openHandle(agent().proc);
  EXPECT_EQ(-EBUSY, machine::module_unload());
  EXPECT_EQ(0, agent().close());
  EXPECT_EQ(-EBUSY, machine::module_unload());
  EXPECT_EQ(0, second.close());
  EXPECT_EQ(0, logCount("velUnload"));
  unloadModule();
  EXPECT_EQ(1, logCount("ready to be unloaded"));
}

TEST_F(FrameLifecycle, FailedRegistrationRefusesTheLoad) {
  EXPECT_EQ(0, agent().close());
  unloadModule();

  uint64_t mark = logMark();
  machine::fault_fail_nth(machine::Fault::register_chrdev, 1);
  EXPECT_NE(0, machine::module_load());
  EXPECT_FALSE(machine::module_loaded());
  EXPECT_EQ(1, logCount("velInit: velloc version 3.1.0 build 9504 load FAILED", mark));
  EXPECT_LT(openDevice(agent().proc), 0);

  machine::fault_reset();
  ASSERT_EQ(0, machine::module_load());
  EXPECT_EQ(1, logCount("velInit: velloc version 3.1.0 build 9504 loaded", mark));
  AgentHandle h = openHandle(agent().proc);
  EXPECT_EQ(0, h.close());
}

TEST_F(FrameLifecycle, OpenIsRefusedBeforeTheDeviceIsReady) {
  Counts before = counts();
  atomic_set(&initDone, 0);
  EXPECT_EQ(-ENODEV, openDevice(agent().proc));
  // Commands on an already open handle are refused the same way, with result 1.
  int v = 0;
  EXPECT_EQ(1, agent().getVersionMajor(&v));
  atomic_set(&initDone, 1);
  EXPECT_EQ(before, counts());
  EXPECT_EQ(0, agent().getVersionMajor(&v));
  EXPECT_EQ(3, v);
}

TEST_F(FrameLifecycle, OpenIsRefusedWithoutMemoryAndLeavesNothing) {
  // Directly: the record's allocation is the open's only one.
  Counts before = counts();
  struct inode ino{};
  struct file f{};
  machine::fault_fail_nth(machine::Fault::kmalloc, 1);
  EXPECT_EQ(-ENOMEM, velOpen(&ino, &f));
  EXPECT_EQ(nullptr, f.private_data);
  EXPECT_EQ(before, counts());
  EXPECT_EQ(1u, machine::fault_injected_count());

  // Through the device: whatever the allocation that fails, nothing stays and no handle opens.
  machine::fault_fail_always(machine::Fault::kmalloc, true);
  EXPECT_LT(openDevice(agent().proc), 0);
  machine::fault_fail_always(machine::Fault::kmalloc, false);
  EXPECT_EQ(before, counts());
}

TEST_F(FrameLifecycle, OpenIsRefusedWhileTheModuleIsGoing) {
  Counts before = counts();
  unsigned int refs = module_refcount(THIS_MODULE);
  struct inode ino{};
  struct file f{};
  int saved = __this_module.state;
  __this_module.state = MODULE_STATE_GOING;
  int r = velOpen(&ino, &f);
  __this_module.state = saved;
  EXPECT_EQ(-EBUSY, r);
  EXPECT_EQ(nullptr, f.private_data);
  EXPECT_EQ(before, counts());
  EXPECT_EQ(refs, module_refcount(THIS_MODULE));
}

TEST_F(FrameLifecycle, OpenGivesAnIdleSessionAndReleaseFreesIt) {
  Counts before = counts();
  unsigned int refs = module_refcount(THIS_MODULE);
  struct inode ino{};
  struct file f{};
  ASSERT_EQ(0, velOpen(&ino, &f));
  Backup* b = static_cast<Backup*>(f.private_data);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(refs + 1, module_refcount(THIS_MODULE));
  EXPECT_EQ(stateIdle, b->state);
  EXPECT_EQ(1, b->bSem.count);
  EXPECT_EQ(0, b->writers.activity);
  EXPECT_EQ(0, b->cacheUsers.activity);
  EXPECT_EQ(1, atomic_read(&b->blockMap.users));
  EXPECT_EQ(1, atomic_read(&b->cacheMap.users));
  EXPECT_EQ(1, b->blockMap.sem.count);
  EXPECT_EQ(1, b->cacheMap.sem.count);
  EXPECT_EQ(nullptr, b->blockMap.map);
  EXPECT_EQ(0u, b->diskInfo.kdev);
  EXPECT_EQ(nullptr, b->diskInfo.bdev);
  EXPECT_EQ(0, atomic_read(&b->ioctlCount));
  // Bit operations on the still empty maps answer "out of range" and touch nothing.
  EXPECT_EQ(0, blockInMap(&b->blockMap, 0));
  EXPECT_EQ(7, setBlock(&b->cacheMap, 7));

  EXPECT_EQ(0, velRelease(&ino, &f));
  EXPECT_EQ(nullptr, f.private_data);
  EXPECT_EQ(refs, module_refcount(THIS_MODULE));
  EXPECT_EQ(before, counts());
  // A handle without a record.
  EXPECT_EQ(2, velRelease(&ino, &f));
}

TEST_F(FrameLifecycle, ClosingAnUnusedHandleEndsNoBackup) {
  AgentHandle h = openHandle(agent().proc);
  EXPECT_EQ(0, h.close());
  EXPECT_EQ(0, logCount("backup finished"));
}

TEST_F(FrameLifecycle, ReadWriteAndPollDoNothing) {
  uint32_t buf = agent().alloc(64);
  std::vector<uint8_t> pattern(64, 0x3C);
  agent().write(buf, pattern.data(), pattern.size());
  EXPECT_EQ(0, machine::sys_read(agent().proc, agent().fd, buf, 64));
  EXPECT_EQ(0, machine::sys_write(agent().proc, agent().fd, buf, 64));
  EXPECT_EQ(0, machine::sys_poll(agent().proc, agent().fd, POLLIN | POLLOUT));
  // Even with a buffer the agent can't touch.
  EXPECT_EQ(0, machine::sys_read(agent().proc, agent().fd, 0, 64));
  std::vector<uint8_t> after(64);
  agent().read(buf, after.data(), after.size());
  EXPECT_EQ(pattern, after);
}

TEST_F(FrameLifecycle, UnloadCommandKeepsTheDeviceUsable) {
  EXPECT_EQ(0, agent().unload());
  EXPECT_EQ(0, agent().state().state);
  AgentHandle h = openHandle(agent().proc);
  EXPECT_EQ(0, h.unload());
  EXPECT_EQ(0, h.close());
  EXPECT_TRUE(machine::module_loaded());
}

}  // namespace
}  // namespace velloc_test
