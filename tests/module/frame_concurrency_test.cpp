// Many agent threads opening, commanding and closing at once; one handle shared by many
// threads; opens racing a module unload.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <thread>
#include <vector>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

class FrameConcurrency : public VellocFixture {};

TEST_F(FrameConcurrency, ManyAgentsOpenCommandAndClose) {
  constexpr int kProcesses = 4;
  constexpr int kThreadsPerProcess = 3;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::atomic<int> unknownSent{0};
  uint64_t mark = logMark();

  std::vector<std::thread> threads;
  for (int p = 0; p < kProcesses; ++p) {
    machine::Process* proc = newProcess("agent" + std::to_string(p));
    for (int t = 0; t < kThreadsPerProcess; ++t) {
      threads.push_back(runInProcess(proc, [&, proc, t] {
        for (int i = 0; i < kRounds; ++i) {
          AgentHandle h;
          h.proc = proc;
          h.fd = machine::sys_open(proc, kDevicePath);
          if (h.fd < 0) {
            ++failures;
            continue;
          }
          State s{};
          int v = 0;
          if (h.getState(&s) != 0 || s.state != 0 || s.major != 0) ++failures;
          if (h.getVersionMajor(&v) != 0 || v != 3) ++failures;
          if (h.ioctl(doReserved, 0) != 3) ++failures;
          if (h.ioctl(0x2a0b, 0) != 4) ++failures;
          ++unknownSent;
          if (h.ioctl(doGetState, 0) != 6) ++failures;
          if ((i + t) % 2 == 0 && h.noStartAutoMap() != 0) ++failures;
          if (h.close() != 0) ++failures;
        }
      }));
    }
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(unknownSent.load(), logCount("ioctl command not found", mark));
  EXPECT_EQ(0, logCount("backup finished", mark));
}

TEST_F(FrameConcurrency, OneHandleSharedByManyThreadsCountsEveryCommand) {
  struct inode ino{};
  struct file f{};
  ASSERT_EQ(0, velOpen(&ino, &f));
  Backup* b = static_cast<Backup*>(f.private_data);
  constexpr int kThreads = 6;
  constexpr int kCommands = 300;
  std::atomic<int> failures{0};
  uint32_t stateBuf = agent().alloc(kThreads * 32);
  std::vector<uint32_t> records;
  for (int t = 0; t < kThreads; ++t) records.push_back(agent().place(GetState{stateBuf + 32u * t, 20}));

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(runInProcess(agent().proc, [&, t] {
      for (int i = 0; i < kCommands; ++i) {
        int r;
        switch (i % 4) {
          case 0: r = velIOCTL(&ino, &f, doGetState, records[t]); break;
          case 1: r = velIOCTL(&ino, &f, doNoLoadFromAutoMap, 0); break;
          case 2: r = velIOCTL(&ino, &f, doReserved, 0) == 3 ? 0 : 1; break;
          default: r = velIOCTL(&ino, &f, doNoStartAutoMap, 0); break;
        }
        if (r != 0) ++failures;
      }
    }));
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(kThreads * kCommands, atomic_read(&b->ioctlCount));
  EXPECT_EQ(1, b->bSem.count);
  EXPECT_EQ(0, velRelease(&ino, &f));
}

TEST_F(FrameConcurrency, OpensRacingAnUnloadLeaveNothingBehind) {
  ASSERT_EQ(0, agent().close());
  constexpr int kThreads = 4;
  std::atomic<bool> stop{false};
  std::atomic<int> opened{0};
  std::atomic<int> badResults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    machine::Process* proc = newProcess("opener" + std::to_string(t));
    threads.push_back(runInProcess(proc, [&, proc] {
      while (!stop.load()) {
        int fd = machine::sys_open(proc, kDevicePath);
        if (fd >= 0) {
          ++opened;
          State s{};
          AgentHandle h{proc, fd};
          if (h.getState(&s) != 0) ++badResults;
          if (machine::sys_close(proc, fd) != 0) ++badResults;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));  // leave moments with no handle open
      }
    }));
  }
  // Unload as soon as no handle happens to be open; every refused unload is -EBUSY.
  int unload = -EBUSY;
  while (opened.load() < 50) std::this_thread::yield();  // the openers are under way
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (unload == -EBUSY && std::chrono::steady_clock::now() < deadline) {
    unload = machine::module_unload();
    if (unload == -EBUSY) std::this_thread::sleep_for(std::chrono::microseconds(5));
  }
  stop = true;
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, unload);
  EXPECT_EQ(0, badResults.load());
  EXPECT_GT(opened.load(), 0);
  EXPECT_FALSE(machine::module_loaded());
  EXPECT_EQ(1, logCount("ready to be unloaded"));
}

}  // namespace
}  // namespace velloc_test
