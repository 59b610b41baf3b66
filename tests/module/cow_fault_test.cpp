// Failures of the copy-on-write machinery: no memory at each allocation of the start, of
// the write path and of the capture, the configured cache limit, and a capture read that
// fails. Each leaves the design's state and log lines, lets the write reach the disk, and
// gives everything back at the close.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

using machine::Fault;
using machine::Obj;

bool onWorker() { return strcmp(get_current()->comm, VEL_KTHREAD_NAME) == 0; }

class CowFaultTest : public CowFixture {
 protected:
  // One capture succeeds (block 1); `arm` then makes the capture for block 2 fail. The
  // session ends in `state`, logs `lines`, the write of block 2 still reaches the disk, and
  // later writes are no longer held.
  void expectCaptureFailure(unsigned maxCache, const std::function<void()>& arm, u32 state,
                            const std::vector<std::string>& lines) {
    makePartition();
    ASSERT_EQ(0, agent().startBackup(dev_, blocks_, maxCache));
    protect();
    Backup* b = session();
    if (maxCache > 0) writeBlock(1, 1, 0);
    waitIdle(b);
    const int captured = atomic_read(&b->totalAllocCPs);
    const uint64_t mark = logMark();
    arm();
    writeBlock(2, 1, 1);
    waitIdle(b);
    machine::fault_reset();
    machine::fault_set_filter([] { return true; });

    EXPECT_EQ(state, velGetState(b));
    EXPECT_EQ((u32)state, agent().state().state);
    for (const std::string& l : lines) EXPECT_EQ(1, logCount(l, mark)) << l << "\n" << machine::log_dmesg(mark);
    BlockStamp s;
    memcpy(&s, diskBlock(2).data(), sizeof(s));
    EXPECT_EQ(kStampMagic, s.magic) << "the write that failed to be captured must still reach the disk";
    EXPECT_EQ(0u, cacheContents(b).count(2));
    writeBlock(3, 1, 2);
    EXPECT_EQ(0, atomic_read(&b->mrInQueue));
    EXPECT_EQ(captured, atomic_read(&b->totalAllocCPs));
    // The queue was handed back: nothing intercepts for this session any more.
    EXPECT_NE((make_request_fn*)velMRF, b->diskInfo.bdev->bd_disk->queue->make_request_fn);
    closeAndExpectBalanced();
  }
  static void failOnWorker(Fault k, uint64_t n) {
    machine::fault_set_filter(onWorker);
    machine::fault_fail_nth(k, n);
  }
};

TEST_F(CowFaultTest, NoPageForTheCaptureExhaustsTheCache) {
  expectCaptureFailure(100, [] { failOnWorker(Fault::alloc_pages, 1); }, stateCacheExhausted, {});
}

TEST_F(CowFaultTest, NoCacheRecordExhaustsTheCache) {
  expectCaptureFailure(100, [] { failOnWorker(Fault::slab, 1); }, stateCacheExhausted,
                       {"getCacheBlock: system out of memory, failed to allocate cache object.",
                        "cacheBlock: Error caching blockNum=2 MAJOR="});
}

TEST_F(CowFaultTest, NoCacheBufferExhaustsTheCacheAndReturnsTheRecord) {
  expectCaptureFailure(100, [] { failOnWorker(Fault::slab, 2); }, stateCacheExhausted,
                       {"getCacheBlock: system out of memory failed to allocate block for write cache",
                        "cacheBlock: Error caching blockNum=2 MAJOR="});
}

TEST_F(CowFaultTest, TheConfiguredLimitExhaustsTheCache) {
  expectCaptureFailure(1, [] {}, stateCacheExhausted,
                       {"getCacheBlock: configured max cache memory reached (1 blocks) failed to allocate cache object"});
}

TEST_F(CowFaultTest, ALimitOfZeroAdmitsNoBlock) {
  expectCaptureFailure(0, [] {}, stateCacheExhausted,
                       {"configured max cache memory reached (0 blocks)"});
}

TEST_F(CowFaultTest, ACaptureReadErrorFailsTheSessionButNotTheWrite) {
  expectCaptureFailure(
      100,
      [this] {
        uint64_t first = disk_.start(1) + 2ull * (blockSize_ / 512);
        machine::disk_inject_error(disk_.disk, first, blockSize_ / 512, machine::Dir::read);
      },
      stateCacheReadError, {"velBHEndIO: buffer_head I/O error bh=", "cacheBlock: Block read error blockNum=2 MAJOR="});
}

TEST_F(CowFaultTest, NoMemoryToHoldAWriteFailsTheSessionButNotTheWrite) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  std::vector<uint8_t> buf(blockSize_, 0x42);
  BlockStamp s{kStampMagic, 7, 0, 4};
  memcpy(buf.data(), &s, sizeof(s));
  const auto self = std::this_thread::get_id();
  ASSERT_EQ(1, rawBio(dev_, 4ull * blockSize_, buf.data(), buf.size(), WRITE, [&] {
              machine::fault_set_filter([self] { return std::this_thread::get_id() == self; });
              machine::fault_fail_nth(Fault::kmalloc, 1);
            }));
  EXPECT_EQ(1u, machine::fault_injected_count());
  machine::fault_reset();
  machine::fault_set_filter([] { return true; });
  EXPECT_EQ((u32)stateQueueOutOfMemory, agent().state().state);
  EXPECT_TRUE(diskBlock(4) == buf);
  writeBlock(5, 7, 1);
  EXPECT_EQ(0, atomic_read(&b->totalAllocCPs));
  EXPECT_EQ(0, atomic_read(&b->mrInQueue));
  closeAndExpectBalanced();
}

TEST_F(CowFaultTest, BufferHeadsAndBiosForACaptureAreWaitedFor) {
  makePartition();
  ASSERT_EQ(0, agent().startBackup(dev_, blocks_, 100));
  protect();
  Backup* b = session();
  const auto t8 = diskBlock(8);
  machine::fault_set_filter(onWorker);
  machine::fault_fail_nth(Fault::buffer_head, 1);
  writeBlock(8, 1, 0);
  machine::fault_fail_nth(Fault::bio, 1);
  writeBlock(9, 1, 1);
  waitIdle(b);
  EXPECT_EQ(2u, machine::fault_injected_count());
  machine::fault_reset();
  machine::fault_set_filter([] { return true; });
  EXPECT_EQ((u32)stateSnapshotComplete, velGetState(b));
  auto cache = cacheContents(b);
  EXPECT_EQ(2u, cache.size());
  EXPECT_TRUE(cache[8][0] == t8);
  closeAndExpectBalanced();
}

// Live objects of every kind the stand-in counts.
std::vector<int64_t> liveCounts() {
  std::vector<int64_t> v;
  for (int k = 0; k < (int)Obj::count; k++) v.push_back(machine::live((Obj)k));
  return v;
}

TEST_F(CowFaultTest, EveryAllocationOfTheStartCanFailAndTheCloseUndoesWhatWasBuilt) {
  makePartition();
  const auto self = std::this_thread::get_id();
  auto onlyHere = [self] { return std::this_thread::get_id() == self; };
  const Fault kinds[] = {Fault::kmalloc, Fault::vmalloc, Fault::alloc_pages, Fault::slab, Fault::kernel_thread};

  // How many calls of each kind a clean start makes.
  std::map<Fault, uint64_t> calls;
  {
    AgentHandle h = openHandle(agent().proc);
    machine::fault_reset();
    machine::fault_set_filter(onlyHere);
    ASSERT_EQ(0, h.startBackup(dev_, blocks_, 100));
    for (Fault k : kinds) calls[k] = machine::fault_calls(k);
    machine::fault_reset();
    machine::fault_set_filter([] { return true; });
    ASSERT_EQ(0, h.close());
  }
  EXPECT_GE(calls[Fault::slab], 4096u + 3u) << "bucket allocations and three slab caches";
  EXPECT_EQ(1u, calls[Fault::kernel_thread]);

  int sweeps = 0;
  for (Fault k : kinds) {
    std::set<uint64_t> picks;
    for (uint64_t n : {1ull, 2ull, 3ull, 4ull, 100ull})
      if (n <= calls[k]) picks.insert(n);
    for (uint64_t back = 0; back < 4 && back < calls[k]; back++) picks.insert(calls[k] - back);
    for (uint64_t n : picks) {
      SCOPED_TRACE(std::string(machine::fault_name(k)) + " call " + std::to_string(n));
      const auto before = liveCounts();
      AgentHandle h = openHandle(agent().proc);
      machine::fault_reset();
      machine::fault_set_filter(onlyHere);
      machine::fault_fail_nth(k, n);
      long r = h.startBackup(dev_, blocks_, 100);
      const uint64_t injected = machine::fault_injected_count();
      machine::fault_reset();
      machine::fault_set_filter([] { return true; });
      ASSERT_EQ(1u, injected);
      EXPECT_TRUE(r == velErrNoMemory || r < 0 || r == velErrNotInitialised) << "result " << r;
      State st = h.state();
      EXPECT_TRUE(st.state == stateIdle || st.state == stateStarting) << "state " << st.state;
      EXPECT_EQ(0, h.close());
      EXPECT_TRUE(waitFor([&] { return liveCounts() == before; }, 5000)) << machine::live_report();
      EXPECT_LE(__atomic_load_n(&backup_cachePID, __ATOMIC_SEQ_CST), 0) << "no worker may be left";
      sweeps++;
    }
  }
  EXPECT_GE(sweeps, 12);
  // The slot is free again and a start goes through.
  AgentHandle h = openHandle(agent().proc);
  EXPECT_EQ(0, h.startBackup(dev_, blocks_, 100));
  EXPECT_EQ(0, h.close());
}

}  // namespace
}  // namespace velloc_test
