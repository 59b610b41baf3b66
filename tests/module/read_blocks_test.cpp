// Block reads through the device: refused requests and their log lines, the snapshot's
// contents from disk and cache, reads in the map-loaded state, dirty-block draining, disk
// read errors, reads that cannot reach a queue, and allocations that fail on the way.
#include "velloc_fixture.h"
#include "backup_helpers.h"
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class BlockReadTest : public VellocFixture {
 protected:
  // A started, snapshotted session on a 4 MiB partition; one buffer of maxVMPages mapped.
  void backupOn(uint32_t bs, uint32_t totalBlocks = 0, machine::DiskOptions o = {}) {
    p.disk = attachDisk(8 << 20, {{2048, 8192}}, o);
    p.dev = p.disk.part(1);
    p.bs = bs;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / bs);
    p.mnt = mount(p.dev, bs);
    stampPartition(p, 7);
    truth = partitionBytes(p);
    ASSERT_EQ(0, agent().startBackup(p.dev, totalBlocks ? totalBlocks : p.blocks, p.blocks));
    bufBytes = uint32_t(agent().state().mmapSize);
    int64_t a = mapBuffer(agent(), bufBytes);
    ASSERT_GT(a, 0);
    buf = uint32_t(a);
    ASSERT_EQ(0, agent().snapShot());
    b = activeBackup();
  }
  Bytes readAll(long* rc, uint32_t start, uint32_t n) {
    Bytes out(uint64_t(n) * p.bs);
    Scratch sc(agent());
    *rc = readRange(sc, buf, bufBytes / p.bs, p.bs, start, n, out.data());
    return out;
  }
  // Reads blocks 10..13, of which block 12 is marked cached but missing: the read is
  // refused, and says how many of the others it found on disk and in the cache.
  void expectRefusedForMissing12(unsigned fromDisk, unsigned fromCache) {
    uint64_t mark = logMark();
    EXPECT_EQ(velErrInvalid, agent().readBlocks(10, 4, buf));
    EXPECT_EQ(1, logCount("expected to read block number (12) from cache and block not found in cache", mark));
    std::string line = "ioctlReadBlocks: read (" + std::to_string(fromDisk) + ") blocks from disk and (" +
                       std::to_string(fromCache) + ") blocks from cache and expected to read (4) blocks";
    EXPECT_EQ(1, logCount(line, mark));
  }
  Part p;
  Bytes truth;
  uint32_t buf = 0, bufBytes = 0;
  Backup* b = nullptr;
};

TEST_F(BlockReadTest, RefusedRequestsLeaveTheBufferAndLogWhy) {
  p.disk = attachDisk(8 << 20, {{2048, 8192}});
  p.dev = p.disk.part(1);
  p.mnt = mount(p.dev, 4096);
  ASSERT_EQ(0, agent().startBackup(p.dev, 1024, 100));
  int64_t a = mapBuffer(agent(), 256 * 4096);
  ASSERT_GT(a, 0);
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().readBlocks(0, 1, uint32_t(a)));
  EXPECT_EQ(1, logCount("ioctlReadBlocks: state (2) not valid", mark));
  ASSERT_EQ(0, agent().snapShot());

  struct Case {
    uint32_t start, n;
    int64_t data;
    const char* line;
  } cases[] = {
      {0xFFFFFFF0u, 0x20, a, "ioctlReadBlocks: invalid block read range (4294967280-16)"},
      {1000, 25, a, "ioctlReadBlocks: block num (1025) out of range (1024)"},
      {0, 1, a + 4096, "ioctlReadBlocks: invalid data pointer"},
      {0, 257, a, "ioctlReadBlocks: tried to read (257) number of blocks size (4096) and mmap region can hold (1048576) bytes"},
  };
  for (const Case& c : cases) {
    mark = logMark();
    EXPECT_EQ(velErrInvalid, agent().readBlocks(c.start, c.n, uint32_t(c.data))) << c.line;
    EXPECT_EQ(1, logCount(c.line, mark)) << c.line;
  }
  Bytes got(4096);
  ASSERT_EQ(0, agent().readMapped(uint32_t(a), got.data(), got.size()));
  EXPECT_EQ(Bytes(4096, 0), got) << "nothing written by a refused read";

  EXPECT_EQ(0, agent().readBlocks(1000, 24, uint32_t(a))) << "ends exactly at the last block";
  int sent = atomic_read(&activeBackup()->totalReadBlocks);
  EXPECT_EQ(0, agent().readBlocks(5, 0, uint32_t(a))) << "zero blocks";
  EXPECT_EQ(sent, atomic_read(&activeBackup()->totalReadBlocks));
}

TEST_F(BlockReadTest, CountTimesBlockSizeBeyondFourGiBIsRefusedNotWrapped) {
  p.disk = attachDisk(8 << 20, {{2048, 8192}});
  p.dev = p.disk.part(1);
  p.mnt = mount(p.dev, 4096);
  // The agent may claim more blocks than the partition has: the ranges then pass the map
  // checks and only the buffer test stands between the count and an overflow.
  ASSERT_EQ(0, agent().startBackup(p.dev, (1u << 20) + 8, 100));
  int64_t a = mapBuffer(agent(), 4096);
  ASSERT_GT(a, 0);
  ASSERT_EQ(0, agent().snapShot());
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().readBlocks(0, (1u << 20) + 1, uint32_t(a)));
  EXPECT_EQ(1, logCount("tried to read (1048577) number of blocks size (4096) and mmap region can hold (4096) bytes",
                        mark));
}

TEST_F(BlockReadTest, OverwrittenBlocksComeBackWithTheirSnapshotContents) {
  backupOn(4096);
  ASSERT_EQ(0, fsFill(p, 7 * 4096, 4096, 0x11));
  ASSERT_EQ(0, fsFill(p, 9 * 4096 + 512, 512, 0x22)) << "one sector inside block 9";
  long rc;
  Bytes first = readAll(&rc, 0, 16);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), truth.begin()));
  Bytes again = readAll(&rc, 0, 16);
  EXPECT_EQ(first, again) << "in stateSnapshotComplete cached copies stay";
  EXPECT_EQ(4, atomic_read(&b->totalReadCBs)) << "blocks 7 and 9, twice";
  EXPECT_EQ(2, atomic_read(&b->curAllocCPs));
  EXPECT_EQ(0, atomic_read(&b->curAllocBRs));
}

TEST_F(BlockReadTest, EveryBlockFromTheCacheSendsNothingToTheDisk) {
  backupOn(1024);
  ASSERT_EQ(0, fsFill(p, 40 * 1024, 8 * 1024, 0x33));
  // The worker marks a copy in cacheMap just after it lets the write go on, so the write
  // can complete a moment before the mark is there.
  ASSERT_TRUE(waitFor([&] {
    for (unsigned n = 40; n < 48; n++)
      if (!blockInMap(&b->cacheMap, n)) return false;
    return true;
  }));
  int sent = atomic_read(&b->totalReadBlocks);
  long rc;
  Bytes got = readAll(&rc, 40, 8);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(sent, atomic_read(&b->totalReadBlocks));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + 40 * 1024));
}

TEST_F(BlockReadTest, ABlockMarkedCachedButMissingFailsTheRead) {
  backupOn(4096);
  ASSERT_EQ(0, setBlock(&b->cacheMap, 12));
  expectRefusedForMissing12(3, 0);
  EXPECT_EQ(0, atomic_read(&b->curAllocBRs)) << "the disk reads sent were waited for and released";
  EXPECT_EQ(stateSnapshotComplete, agent().state().state);
}

// A refused read must not cost the agent anything: in stateMapLoaded a copy handed out of
// the cache is gone, so a refused run that had already taken its cached blocks left the
// agent to fetch them again from the disk, overwritten since the snapshot (the wrong block
// of stress seed 22 under TSan, after a mark left without its copy).
TEST_F(BlockReadTest, ARefusedMapLoadedReadHandsOutNoCopyAndUnprotectsNothing) {
  backupOn(4096);
  std::set<uint32_t> all;
  for (uint32_t n = 0; n < p.blocks; ++n) all.insert(n);
  ASSERT_EQ(0, agent().loadBlockMap(bitmapOf(all, p.blocks), p.blocks));
  ASSERT_EQ(0, fsFill(p, 11 * 4096, 4096, 0x21));
  ASSERT_EQ(1, atomic_read(&b->curAllocCPs));
  long rc;
  readAll(&rc, 12, 1);
  ASSERT_EQ(0, rc);
  ASSERT_EQ(0, setBlock(&b->cacheMap, 12)) << "marked, though its copy is gone";

  expectRefusedForMissing12(2, 1);
  EXPECT_EQ(1, atomic_read(&b->curAllocCPs)) << "the copy of block 11 is still there";
  for (uint32_t n : {10u, 11u, 13u}) EXPECT_TRUE(blockInMap(&b->blockMap, n)) << n;

  // The blocks of the refused run, fetched one by one after more writes, are all as they
  // were at the snapshot.
  ASSERT_EQ(0, fsFill(p, 10 * 4096, 4 * 4096, 0x22));
  for (uint32_t n : {10u, 11u, 13u}) {
    Bytes got = readAll(&rc, n, 1);
    EXPECT_EQ(0, rc) << n;
    EXPECT_EQ(blockOf(truth, 4096, n), got) << n;
  }
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs));
}

TEST_F(BlockReadTest, MapLoadedReadsConsumeTheCacheAndStopProtectingWhatWasRead) {
  backupOn(4096);
  ASSERT_EQ(0, agent().loadBlockMap(bitmapOf({1, 2, 3}, p.blocks), p.blocks));
  ASSERT_EQ(stateMapLoaded, agent().state().state);
  ASSERT_EQ(0, fsFill(p, 2 * 4096, 4096, 0x44)) << "in the map: captured";
  ASSERT_EQ(0, fsFill(p, 6 * 4096, 4096, 0x55)) << "outside the map: not captured";
  EXPECT_EQ(1, atomic_read(&b->curAllocCPs));

  long rc;
  Bytes got = readAll(&rc, 0, 8);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 4 * 4096, truth.begin())) << "mapped blocks as at the snapshot";
  EXPECT_EQ(Bytes(4096, 0x55), blockOf(got, 4096, 6)) << "an unmapped block comes from the disk as it is now";
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs)) << "the cached copy was handed out and freed";
  for (uint32_t n : {1u, 2u, 3u}) EXPECT_FALSE(blockInMap(&b->blockMap, n)) << n;

  ASSERT_EQ(0, fsFill(p, 3 * 4096, 4096, 0x66));
  EXPECT_EQ(0, atomic_read(&b->curAllocCPs)) << "a block already read is not captured again";
  got = readAll(&rc, 3, 1);
  EXPECT_EQ(Bytes(4096, 0x66), got);

  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().readBlocks(0, p.blocks + 1, buf));
  EXPECT_GE(logCount("ioctlReadBlocks:", mark), 1);
}

TEST_F(BlockReadTest, MapLoadedEndBeyondTheBlockMapIsRefused) {
  backupOn(4096);
  ASSERT_EQ(0, agent().loadBlockMap(bitmapOf({0, 1}, 5), 5));
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().readBlocks(0, 6, buf));
  EXPECT_EQ(1, logCount("ioctlReadBlocks: end block number out of block map range", mark));
  EXPECT_EQ(0, agent().readBlocks(0, 5, buf));
}

TEST_F(BlockReadTest, DirtyBlockDrainingEmptiesTheCacheWithSnapshotContents) {
  backupOn(1024);
  std::set<uint32_t> all;
  for (uint32_t n = 0; n < p.blocks; ++n) all.insert(n);
  ASSERT_EQ(0, agent().loadBlockMap(bitmapOf(all, p.blocks), p.blocks));
  std::set<uint32_t> written = {3, 4000, 17, 900, 901, 2222};
  for (uint32_t n : written) ASSERT_EQ(0, fsFill(p, uint64_t(n) * 1024, 1024, 0x77));
  EXPECT_EQ(int(written.size()), atomic_read(&b->curCBs));

  std::set<uint32_t> drained;
  for (int guard = 0; guard < 100; ++guard) {
    uint32_t n = 0;
    ASSERT_EQ(0, agent().getDirtyBlock(&n));
    if (n == VEL_NO_DIRTY_BLOCK) break;
    ASSERT_TRUE(drained.insert(n).second) << "block " << n << " named twice";
    long rc;
    Bytes got = readAll(&rc, n, 1);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(blockOf(truth, 1024, n), got) << n;
  }
  EXPECT_EQ(written, drained);
  EXPECT_EQ(0, atomic_read(&b->curCBs));
}

TEST_F(BlockReadTest, DiskReadErrorZeroesOnlyThatBlock) {
  backupOn(4096);
  uint64_t firstSector = p.disk.start(1) + 5 * 8;
  machine::disk_inject_error(p.disk.disk, firstSector, 8, machine::Dir::read);
  uint64_t mark = logMark();
  long rc;
  Bytes got = readAll(&rc, 0, 10);
  EXPECT_EQ(velErrReadError, rc);
  for (uint32_t n = 0; n < 10; ++n)
    EXPECT_EQ(n == 5 ? Bytes(4096, 0) : blockOf(truth, 4096, n), blockOf(got, 4096, n)) << n;
  EXPECT_EQ(1, logCount("ioctlReadBlocks: Received an IO error while reading sectors for backup.  Some sectors could "
                        "not be read",
                        mark));
  EXPECT_EQ(1, logCount("velBHEndIO: buffer_head I/O error", mark));
  EXPECT_EQ(stateSnapshotComplete, agent().state().state) << "a read error does not end the session";
  machine::disk_clear_errors(p.disk.disk);
  got = readAll(&rc, 0, 10);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin()));
}

TEST_F(BlockReadTest, CachedCopyIsUnaffectedByADiskErrorOnItsBlock) {
  backupOn(4096);
  ASSERT_EQ(0, fsFill(p, 5 * 4096, 4096, 0x12));
  machine::disk_inject_error(p.disk.disk, p.disk.start(1) + 5 * 8, 8, machine::Dir::read);
  long rc;
  Bytes got = readAll(&rc, 4, 3);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + 4 * 4096));
}

// A disk whose queue has gone cannot take the read: it must end with an I/O error rather
// than leave the command waiting for ever.
TEST_F(BlockReadTest, AReadThatReachesNoQueueEndsWithAnIOError) {
  backupOn(4096);
  struct block_device* bdev = b->diskInfo.bdev;
  request_queue_t* q = bdev->bd_disk->queue;
  bdev->bd_disk->queue = nullptr;
  uint64_t mark = logMark();
  long rc;
  Bytes got = readAll(&rc, 0, 4);
  bdev->bd_disk->queue = q;
  EXPECT_EQ(velErrReadError, rc);
  EXPECT_EQ(Bytes(4 * 4096, 0), got);
  EXPECT_EQ(4, logCount("callRealMRF: Block read error: (bdev queue is null)", mark));
  EXPECT_EQ(0, atomic_read(&b->curAllocBRs));
}

// Every allocation of the read path that fails is retried: the read still succeeds.
TEST_F(BlockReadTest, FailedAllocationsOnTheReadPathAreRetried) {
  backupOn(4096);
  struct {
    machine::Fault kind;
    uint64_t nth;
  } faults[] = {{machine::Fault::kmalloc, 1}, {machine::Fault::kmalloc, 2}, {machine::Fault::kmalloc, 5},
                {machine::Fault::buffer_head, 1}, {machine::Fault::buffer_head, 3}, {machine::Fault::bio, 2}};
  for (auto& f : faults) {
    machine::fault_fail_nth(f.kind, f.nth);
    long rc;
    Bytes got = readAll(&rc, 30, 8);
    EXPECT_EQ(0, rc) << machine::fault_name(f.kind) << " #" << f.nth;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), truth.begin() + 30 * 4096)) << machine::fault_name(f.kind);
    EXPECT_EQ(1u, machine::fault_injected_count()) << machine::fault_name(f.kind) << " #" << f.nth;
    machine::fault_reset();
  }
}

// The re-check: writes keep hitting the blocks being read while the disk completes reads
// out of order with delays; every read block must still show its snapshot contents.
TEST_F(BlockReadTest, ReadsRacingCapturesOfTheSameBlocksStayAtTheSnapshot) {
  machine::DiskOptions o;
  o.random_completion = true;
  o.max_delay_us = 400;
  backupOn(4096, 0, o);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937 rng(5);
    Bytes data(4096);
    while (!stop) {
      uint32_t n = rng() % 64;
      for (auto& c : data) c = uint8_t(rng());
      EXPECT_EQ(0, machine::fs_write(p.mnt, uint64_t(n) * 4096, data.data(), data.size()));
    }
  });
  for (int round = 0; round < 20; ++round) {
    long rc;
    Bytes got = readAll(&rc, 0, 64);
    EXPECT_EQ(0, rc);
    for (uint32_t n = 0; n < 64; ++n) ASSERT_EQ(blockOf(truth, 4096, n), blockOf(got, 4096, n)) << "round " << round << " block " << n;
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace velloc_test
