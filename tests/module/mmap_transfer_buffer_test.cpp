// The transfer buffer as the agent maps it: when a mapping is accepted and how large, two
// slots and their reuse, first-touch faults, the block layout, cleared pages, failures of
// the page allocator, an unmap racing a block read that fills the buffer, and a mapping
// made while another thread's command faults on the buffer.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "velloc_fixture.h"
#include "backup_helpers.h"

namespace velloc_test {
namespace {

class TransferBufferTest : public VellocFixture {
 protected:
  // A started session on a 4 MiB partition with `bs`-byte blocks; stamped contents.
  void startOn(uint32_t bs) {
    p.disk = attachDisk(8 << 20, {{2048, 8192}});
    p.dev = p.disk.part(1);
    p.bs = bs;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / bs);
    p.mnt = mount(p.dev, bs);
    stampPartition(p, 1);
    ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
    maxBytes = uint32_t(agent().state().mmapSize);
  }
  Part p;
  uint32_t maxBytes = 0;
};

TEST_F(TransferBufferTest, RefusedBeforeStartAndForEveryBadShape) {
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096)) << "fresh handle";
  startOn(4096);
  ASSERT_EQ(256u * 4096, maxBytes);
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096, PROT_READ | PROT_WRITE)) << "writable";
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096, PROT_READ, true)) << "shared";
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096, PROT_NONE)) << "not readable";
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096, PROT_READ, false, 4096)) << "offset";
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), maxBytes + 4096)) << "one page too many";
  int64_t a = mapBuffer(agent(), maxBytes);
  EXPECT_GT(a, 0) << "exactly maxVMPages";
  EXPECT_EQ(0, agent().munmap(uint32_t(a), maxBytes));
}

TEST_F(TransferBufferTest, TwoSlotsThirdRefusedFreedSlotReused) {
  startOn(4096);
  ASSERT_EQ(0, agent().snapShot());
  int64_t a = mapBuffer(agent(), 8 * 4096), b = mapBuffer(agent(), 4 * 4096);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(-velErrInvalid, mapBuffer(agent(), 4096)) << "third mapping";
  Backup* s = activeBackup();
  EXPECT_EQ(8, s->vmAreas[0].vmPages);
  EXPECT_EQ(4, s->vmAreas[1].vmPages);
  EXPECT_EQ(12, getVMAPageCount(s));

  ASSERT_EQ(0, agent().munmap(uint32_t(a), 8 * 4096));
  EXPECT_EQ(nullptr, s->vmAreas[0].vma);
  EXPECT_EQ(0, s->vmAreas[0].vmPages);
  EXPECT_EQ(velErrInvalid, agent().readBlocks(0, 1, uint32_t(a))) << "unmapped buffer";
  int64_t c = mapBuffer(agent(), 2 * 4096);
  ASSERT_GT(c, 0);
  EXPECT_EQ(2, s->vmAreas[0].vmPages) << "the freed slot is taken again";

  // Both live buffers are usable by reads.
  Bytes truth = partitionBytes(p), got(2 * 4096);
  EXPECT_EQ(0, agent().readBlocks(10, 2, uint32_t(c)));
  ASSERT_EQ(0, agent().readMapped(uint32_t(c), got.data(), got.size()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + 10 * 4096));
  EXPECT_EQ(0, agent().readBlocks(20, 4, uint32_t(b)));
}

TEST_F(TransferBufferTest, PagesAreClearedAndFaultInOnFirstTouch) {
  startOn(4096);
  // Dirty the page allocator with pattern pages first: a buffer page must not show them.
  std::vector<struct page*> junk;
  for (int i = 0; i < 64; ++i) {
    struct page* pg = alloc_page(GFP_KERNEL);
    std::memset(page_address(pg), 0x5A, 4096);
    junk.push_back(pg);
  }
  for (auto* pg : junk) __free_pages(pg, 0);

  int64_t a = mapBuffer(agent(), 64 * 4096);
  ASSERT_GT(a, 0);
  Backup* s = activeBackup();
  EXPECT_EQ(1, page_count(s->vmAreas[0].mmPages[3])) << "nothing mapped before the first touch";
  Bytes got(64 * 4096, 0xEE);
  ASSERT_EQ(0, agent().readMapped(uint32_t(a), got.data(), got.size()));
  EXPECT_EQ(Bytes(64 * 4096, 0), got);
  EXPECT_EQ(2, page_count(s->vmAreas[0].mmPages[3])) << "the mapping holds its own reference";
  const uint8_t* v1 = machine::user_map_view(agent().proc, uint32_t(a) + 3 * 4096, 4096);
  const uint8_t* v2 = machine::user_map_view(agent().proc, uint32_t(a) + 3 * 4096, 4096);
  EXPECT_EQ(v1, v2);
  EXPECT_EQ(static_cast<const void*>(v1), page_address(s->vmAreas[0].mmPages[3]));
}

TEST_F(TransferBufferTest, FaultHandlerRefusesWhatNoSlotServes) {
  startOn(4096);
  struct file fakeFile{};
  fakeFile.private_data = activeBackup();
  struct vm_area_struct area{};
  area.vm_start = 0x10000000;
  area.vm_end = area.vm_start + 16 * 4096;
  area.vm_file = &fakeFile;

  uint64_t mark = logMark();
  EXPECT_EQ(nullptr, velVMnopage(&area, area.vm_start, nullptr));
  EXPECT_EQ(1, logCount("velVMnopage: vma is not found in associated backup", mark));

  // While another mapping is live too: an area in no slot gets a bus error, never the
  // pages of the mapping in slot 0.
  int64_t a = mapBuffer(agent(), 4 * 4096);
  ASSERT_GT(a, 0);
  Backup* s = activeBackup();
  mark = logMark();
  EXPECT_EQ(nullptr, velVMnopage(&area, area.vm_start + 2 * 4096, nullptr));
  EXPECT_EQ(1, logCount("velVMnopage: vma is not found in associated backup", mark));
  EXPECT_EQ(1, page_count(s->vmAreas[0].mmPages[2])) << "no reference handed out";
  // The mapping itself is still served.
  Bytes got(4 * 4096, 0xEE);
  EXPECT_EQ(0, agent().readMapped(uint32_t(a), got.data(), got.size()));
  mark = logMark();
  EXPECT_EQ(nullptr, velVMnopage(s->vmAreas[0].vma, s->vmAreas[0].vma->vm_start + 4 * 4096, nullptr));
  EXPECT_EQ(1, logCount("velVMnopage: Bad vm address", mark));

  area.vm_file = nullptr;
  mark = logMark();
  EXPECT_EQ(nullptr, velVMnopage(&area, area.vm_start, nullptr));
  EXPECT_EQ(1, logCount("velVMnopage: vma does not have associated backup", mark));
}

TEST_F(TransferBufferTest, BlockIOfAReadLandsAtByteITimesBlockSize) {
  startOn(1024);
  ASSERT_EQ(64u * 4096, maxBytes);
  ASSERT_EQ(0, agent().snapShot());
  int64_t a = mapBuffer(agent(), maxBytes);
  ASSERT_GT(a, 0);
  Backup* s = activeBackup();
  EXPECT_EQ(static_cast<char*>(page_address(s->vmAreas[0].mmPages[1])) + 1024, mmPageAddr(s, 5, &s->vmAreas[0]));

  Bytes truth = partitionBytes(p), got(256 * 1024);
  EXPECT_EQ(0, agent().readBlocks(100, 256, uint32_t(a))) << "256 blocks of 1024 bytes fill 64 pages";
  ASSERT_EQ(0, agent().readMapped(uint32_t(a), got.data(), got.size()));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + 100 * 1024));
  EXPECT_EQ(blockOf(truth, 1024, 105), Bytes(got.begin() + 5120, got.begin() + 6144));
}

TEST_F(TransferBufferTest, PageAllocationFailureFreesWhatWasTakenAndKeepsTheSlotFree) {
  startOn(4096);
  Backup* s = activeBackup();
  int before = atomic_read(&s->curAllocPages);
  machine::fault_fail_nth(machine::Fault::alloc_pages, 5);
  EXPECT_EQ(-velErrNoMemory, mapBuffer(agent(), 16 * 4096));
  EXPECT_EQ(before, atomic_read(&s->curAllocPages));
  EXPECT_EQ(nullptr, s->vmAreas[0].vma);
  EXPECT_EQ(0, s->vmAreas[0].vmPages);
  int64_t a = mapBuffer(agent(), 16 * 4096);
  EXPECT_GT(a, 0);
  EXPECT_EQ(before + 16, atomic_read(&s->curAllocPages));
}

// The agent unmaps (and maps again) while reads fill the buffer: each read keeps its own
// references on the pages it writes, so it never writes into freed pages (the sanitizer
// build turns such a write into a failure), and every page and request is given back.
// Reads alternate: an odd one races the mapper, an even one runs while the mapper waits
// and must deliver exactly the partition's blocks into the buffer, in every build.
// `count(i)` is the number of blocks of read i; the buffer is as large as allowed.
class UnmapRacingReadsTest : public TransferBufferTest {
 protected:
  void race(uint32_t bs, int reads, const std::function<uint32_t(int)>& count) {
    machine::DiskOptions o;
    o.random_completion = true;
    o.max_delay_us = 300;
    p.disk = attachDisk(8 << 20, {{2048, 8192}}, o);
    p.dev = p.disk.part(1);
    p.bs = bs;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / bs);
    p.mnt = mount(p.dev, bs);
    stampPartition(p, 3);
    const Bytes truth = partitionBytes(p);
    ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
    ASSERT_EQ(0, agent().snapShot());
    Backup* s = activeBackup();
    const int pagesBefore = atomic_read(&s->curAllocPages);
    const uint32_t len = uint32_t(agent().state().mmapSize);

    std::atomic<uint32_t> addr{0};
    std::atomic<bool> stop{false};
    std::shared_mutex quiet;  // held shared by an even read: the mapper waits
    int64_t a = mapBuffer(agent(), len);
    ASSERT_GT(a, 0);
    addr = uint32_t(a);
    std::atomic<int> ok{0}, refused{0}, other{0}, checked{0};
    std::thread reader = runInProcess(agent().proc, [&] {
      for (int i = 0; i < reads && !stop; ++i) {
        uint32_t n = count(i), first = uint32_t(i * 7 % (p.blocks - n));
        std::shared_lock<std::shared_mutex> hold(quiet, std::defer_lock);
        if (i % 2 == 0) hold.lock();
        long r = agent().readBlocks(first, n, addr.load());
        (r == 0 ? ok : r == velErrInvalid ? refused : other)++;
        if (!hold.owns_lock()) continue;
        EXPECT_EQ(0, r) << "read " << i << " had the buffer to itself";
        Bytes got(size_t(n) * bs);
        EXPECT_EQ(0, agent().readMapped(addr.load(), got.data(), got.size()));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + size_t(first) * bs)) << "read " << i;
        checked++;
      }
      stop = true;
    });
    std::thread mapper = runInProcess(agent().proc, [&] {
      while (!stop) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        std::unique_lock<std::shared_mutex> g(quiet);
        EXPECT_EQ(0, agent().munmap(addr.load(), len));
        int64_t n = mapBuffer(agent(), len);
        if (n <= 0) {
          ADD_FAILURE() << "remap failed: " << n;
          break;
        }
        addr = uint32_t(n);
      }
    });
    reader.join();
    stop = true;
    mapper.join();
    EXPECT_EQ(0, other.load());
    EXPECT_EQ((reads + 1) / 2, checked.load());
    EXPECT_GT(ok.load() + refused.load(), 0);
    EXPECT_EQ(0, atomic_read(&s->curAllocBRs));
    EXPECT_EQ(0, agent().munmap(addr.load(), len));
    EXPECT_EQ(pagesBefore, atomic_read(&s->curAllocPages)) << "every buffer page given back";
  }
};

TEST_F(UnmapRacingReadsTest, WholeBufferReadsNeverWriteFreedPages) {
  race(4096, 30, [](int) { return 256u; });
}

// Short reads hold only the pages they write. With four blocks to a page the last block of
// most of these counts lies alone at the start of its page, the page a hold that rounded
// down would miss; 253 to 256 blocks end in the buffer's last page.
TEST_F(UnmapRacingReadsTest, ShortReadsEndingInAPartlyFilledPageNeverWriteFreedPages) {
  static const uint32_t kCounts[] = {1, 5, 2, 9, 13, 4, 253, 255, 256, 17, 3, 254};
  race(1024, 60, [](int i) { return kCounts[i % (sizeof kCounts / sizeof kCounts[0])]; });
}

// Two threads of one agent: one maps a transfer buffer (the kernel holds the process's
// mmap_sem across the driver's mmap) while the other's command reads its argument from a
// page of a mapping not touched yet (the copy faults, and the fault takes mmap_sem) under
// the session's lock. The command is parked at its copy until the mapper has either
// finished or come to wait for the session's lock, so the order that deadlocks is met
// every time rather than by luck. With the lock-order checker built in, neither the
// order mmap_sem -> bSem nor a report may have been seen.
class MapWhileCommandFaultsTest : public TransferBufferTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TransferBufferTest::SetUp();
    startOn(4096);
  }

  // Runs `command(untouched)` on one thread, `untouched` being the start of a fresh
  // mapping, against a second mmap on another thread; exits 0 when both finish with the
  // expected results, 1 naming the deadlock when they are still stuck after 10 seconds.
  [[noreturn]] void race(const std::function<long(uint32_t)>& command, long expected) {
    int64_t untouched = mapBuffer(agent(), 4096);
    if (untouched <= 0) _exit(2);
    std::atomic<std::thread::id> cmdId{}, mapperId{};
    std::atomic<bool> cmdHoldsBSem{false}, cmdParked{false}, mapperAtBSem{false}, mapperDone{false};
    std::atomic<int> finished{0};
    machine::set_point_hook([&](const machine::PointEvent& e) {
      bool bSem = e.what && std::strncmp(e.what, "&b->bSem", 8) == 0;
      auto self = std::this_thread::get_id();
      if (self == mapperId.load() && e.kind == machine::Point::lock_acquire && bSem) mapperAtBSem = true;
      if (self != cmdId.load()) return;
      if (e.kind == machine::Point::lock_acquire && bSem) cmdHoldsBSem = true;
      if (e.kind == machine::Point::user_copy && cmdHoldsBSem && e.object == (const void*)(uintptr_t)untouched) {
        cmdParked = true;
        while (!mapperAtBSem && !mapperDone) std::this_thread::yield();
      }
    });
    long got = -1;
    int64_t mapped = -1;
    std::thread cmd = runInProcess(agent().proc, [&] {
      cmdId = std::this_thread::get_id();
      got = command(uint32_t(untouched));
      finished++;
    });
    std::thread mapper = runInProcess(agent().proc, [&] {
      mapperId = std::this_thread::get_id();
      while (!cmdParked) std::this_thread::yield();
      mapped = mapBuffer(agent(), 4096);
      mapperDone = true;
      finished++;
    });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (finished < 2 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (finished < 2) {
      fprintf(stderr, "deadlock: the command holds bSem and faults (mmap_sem), the mapper holds mmap_sem and %s\n",
              mapperAtBSem ? "waits for bSem" : "is stuck");
      _exit(1);
    }
    cmd.join();
    mapper.join();
    machine::set_point_hook(nullptr);
    if (got != expected || mapped <= 0) {
      fprintf(stderr, "command gave %ld (expected %ld), mmap gave %lld\n", got, expected, (long long)mapped);
      _exit(1);
    }
    for (const std::string& d : machine::lock_check_dependencies())
      if (d.rfind("&mm->mmap_sem", 0) == 0 && d.find("-> &b->bSem") != std::string::npos) {
        fprintf(stderr, "order seen: %s\n", d.c_str());
        _exit(1);
      }
    if (machine::lock_check_stats().reports != 0 || machine::kernel_bug_count() != 0) {
      fprintf(stderr, "%s\n", machine::log_dmesg().c_str());
      _exit(1);
    }
    _exit(0);
  }
};

TEST_F(MapWhileCommandFaultsTest, SnapshotReadingItsKeyFromAnUntouchedPage) {
  EXPECT_EXIT(race(
                  [&](uint32_t key) {
                    SnapShot rec{key, sizeof(AMSessionKey)};
                    return agent().ioctlRecord(doSnapShot, &rec, sizeof rec);
                  },
                  0),
              testing::ExitedWithCode(0), "");
}

TEST_F(MapWhileCommandFaultsTest, MapLoadReadingItsBitmapFromAnUntouchedPage) {
  ASSERT_EQ(0, agent().snapShot());
  EXPECT_EXIT(race(
                  [&](uint32_t bitmap) {
                    UserBlockMap ubm{bitmap, p.blocks};
                    LoadBlockMap rec{agent().place(ubm), sizeof ubm};
                    return agent().ioctlRecord(doLoadBlockMap, &rec, sizeof rec);
                  },
                  0),
              testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velloc_test
