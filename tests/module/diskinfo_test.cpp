// The partition description and the block-size query: whole disks and partitions with every
// block size, devices without a file system or that don't exist, unusable block sizes,
// answer buffers of every length, and the block-device references a description holds.
#include <cerrno>
#include <cstring>
#include <thread>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Partitions of a 32 MiB disk (65536 sectors), with a gap between the first two.
const std::vector<machine::PartitionSpec> kParts = {{2048, 8192}, {12288, 16384}, {28672, 36864}};

class DiskInfoTest : public VellocFixture {
 protected:
  int64_t liveBdevs() { return machine::live(machine::Obj::block_device); }
  int64_t liveSupers() { return machine::live(machine::Obj::super_ref); }

  // The 16-byte answer plus 16 bytes after it, pre-filled with 0xA5, after a query.
  std::vector<uint8_t> queryBytes(uint32_t dev, uint32_t len, long* result) {
    uint32_t buf = agent().alloc(32);
    std::vector<uint8_t> fill(32, 0xA5);
    agent().write(buf, fill.data(), fill.size());
    GetBlockSize q{majorOf(dev), minorOf(dev), buf, len};
    *result = agent().ioctlRecord(doGetBlockSize, &q, sizeof(q));
    std::vector<uint8_t> out(32);
    agent().read(buf, out.data(), out.size());
    return out;
  }

  // Sets the block size the mounted file system reports (as if its super block said so).
  void setReportedBlockSize(uint32_t dev, unsigned long blockSize) {
    struct block_device* bdev = bdget(dev);
    struct super_block* sb = get_super(bdev);
    ASSERT_NE(nullptr, sb);
    sb->s_blocksize = blockSize;
    drop_super(sb);
    bdput(bdev);
  }
};

TEST_F(DiskInfoTest, PartitionsWithEveryBlockSize) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  const unsigned sizes[] = {1024, 2048, 4096};
  for (int p = 1; p <= 3; ++p) mount(d.part(p), sizes[p - 1]);
  int64_t bdevs = liveBdevs();

  for (int p = 1; p <= 3; ++p) {
    SCOPED_TRACE(p);
    BlockSize bs{};
    EXPECT_EQ(0, agent().getBlockSize(majorOf(d.part(p)), minorOf(d.part(p)), &bs));
    EXPECT_EQ(majorOf(d.part(p)), bs.major);
    EXPECT_EQ(minorOf(d.part(p)), bs.minor);
    EXPECT_EQ(static_cast<int>(sizes[p - 1]), bs.blockSize);
    EXPECT_EQ(kParts[p - 1].sectors / 2, bs.partitionSizeKB);

    DiskInfo di{};
    ASSERT_EQ(0, getDiskInfo(&di, d.part(p)));
    EXPECT_EQ(d.part(p), di.kdev);
    EXPECT_EQ(kParts[p - 1].start_sector, di.partitionStart);
    EXPECT_EQ(kParts[p - 1].sectors, di.partitionLen);
    EXPECT_EQ(kParts[p - 1].sectors / 2, di.partitionSizeKB);
    EXPECT_EQ(static_cast<int>(sizes[p - 1]), di.blockSize);
    EXPECT_EQ(4096u, di.blocksPerPage * di.blockSize);
    EXPECT_EQ(di.blockSize >> 9, di.sectorsPerBlock);
    EXPECT_EQ(di.sectorsPerBlock, 1 << di.sectorsPerBlockShift);
    EXPECT_EQ(nullptr, di.superBlock);
    EXPECT_EQ(0u, di.numBlocks);
    EXPECT_EQ(nullptr, di.realMRF);
    ASSERT_NE(nullptr, di.bdev);
    EXPECT_EQ(d.part(p), di.bdev->bd_dev);
    EXPECT_EQ(bdevs + 1, liveBdevs());
    closeDiskInfo(&di);
    EXPECT_EQ(nullptr, di.bdev);
    EXPECT_EQ(bdevs, liveBdevs());
  }
}

TEST_F(DiskInfoTest, WholeDiskWithEachBlockSize) {
  struct Expect {
    unsigned bs;
    unsigned blocksPerPage;
    int sectorsPerBlock, shift;
  } cases[] = {{512, 8, 1, 0}, {1024, 4, 2, 1}, {2048, 2, 4, 2}, {4096, 1, 8, 3}};
  for (const Expect& c : cases) {
    SCOPED_TRACE(c.bs);
    machine::DiskOptions o;
    o.major = 9;
    o.first_minor = 0;
    TestDisk d = attachDisk(8 * kMiB, {}, o);
    machine::Mount* m = mount(d.whole, c.bs);

    DiskInfo di{};
    di.numBlocks = 77;
    ASSERT_EQ(0, getDiskInfo(&di, d.whole));
    EXPECT_EQ(0u, di.partitionStart);
    EXPECT_EQ(machine::disk_sectors(d.disk), di.partitionLen);
    EXPECT_EQ(c.blocksPerPage, di.blocksPerPage);
    EXPECT_EQ(c.sectorsPerBlock, di.sectorsPerBlock);
    EXPECT_EQ(c.shift, di.sectorsPerBlockShift);
    EXPECT_EQ(77u, di.numBlocks);  // left as it was
    request_queue_t* q = getRequestQueue(&di);
    EXPECT_NE(nullptr, q);
    closeDiskInfo(&di);

    BlockSize bs{};
    EXPECT_EQ(0, agent().getBlockSize(majorOf(d.whole), minorOf(d.whole), &bs));
    EXPECT_EQ(static_cast<int>(c.bs), bs.blockSize);
    EXPECT_EQ(8 * kMiB / 1024, bs.partitionSizeKB);
    unmount(m);
  }
}

TEST_F(DiskInfoTest, PartitionsShareTheirDisksQueue) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(1), 4096);
  DiskInfo part{}, whole{};
  ASSERT_EQ(0, getDiskInfo(&part, d.part(1)));
  ASSERT_EQ(8, getDiskInfo(&whole, d.whole));  // no file system, but the device is kept
  EXPECT_EQ(getRequestQueue(&whole), getRequestQueue(&part));
  EXPECT_NE(nullptr, getRequestQueue(&part));
  closeDiskInfo(&part);
  closeDiskInfo(&whole);
  EXPECT_EQ(nullptr, velGetRequestQueue(nullptr));
  DiskInfo none{};
  EXPECT_EQ(nullptr, getRequestQueue(&none));
}

TEST_F(DiskInfoTest, DeviceWithoutFileSystemGives8AndCopiesNothing) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(1), 4096);
  int64_t bdevs = liveBdevs();
  uint64_t mark = logMark();

  long r = -1;
  std::vector<uint8_t> out = queryBytes(d.part(2), 16, &r);
  EXPECT_EQ(8, r);
  EXPECT_EQ(std::vector<uint8_t>(32, 0xA5), out);
  std::string expected = "getDiskInfo: device major=8 minor=" + std::to_string(minorOf(d.part(2))) +
                         " not found, getting super block failed";
  EXPECT_EQ(1, logCount(expected, mark));

  // A device number no disk owns, and one with a minor beyond the table.
  out = queryBytes((200u << 20) | 5, 16, &r);
  EXPECT_EQ(8, r);
  EXPECT_EQ(1, logCount("getDiskInfo: device major=200 minor=5 not found", mark));
  out = queryBytes((8u << 20) | 0xFFFFF, 16, &r);
  EXPECT_EQ(8, r);
  EXPECT_EQ(1, logCount("device major=8 minor=1048575 not found", mark));
  for (const machine::LogRecord& rec : machine::log_records(mark)) EXPECT_EQ(3, rec.level);
  EXPECT_EQ(bdevs, liveBdevs());
}

// A major of 12 bits and a minor of 20 make the kernel's device number: a larger one
// would alias another device through (major << 20) | minor, here the mounted 8:1. The
// query and the start refuse it as a device that does not exist, and name what was asked.
TEST_F(DiskInfoTest, DeviceNumbersOutsideTheKernelsRangeNameNoDevice) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  const uint32_t dev = d.part(1);
  mount(dev, 4096);
  const struct {
    uint32_t major, minor;
  } aliases[] = {{majorOf(dev) + 4096, minorOf(dev)}, {majorOf(dev), minorOf(dev) | (majorOf(dev) << 20)}};
  for (const auto& a : aliases) {
    SCOPED_TRACE(std::to_string(a.major) + ":" + std::to_string(a.minor));
    ASSERT_EQ(dev, (a.major << 20) | a.minor) << "the pair names 8:1 once shifted";
    uint64_t mark = logMark();
    BlockSize bs{};
    EXPECT_EQ(8, agent().getBlockSize(a.major, a.minor, &bs));
    EXPECT_EQ(8, agent().startBackup(a.major, a.minor, 1024, 1024));
    EXPECT_EQ(2, logCount("device major=" + std::to_string(a.major) + " minor=" + std::to_string(a.minor) +
                              " not found, getting super block failed",
                          mark));
    EXPECT_EQ(stateIdle, agent().state().state);
    EXPECT_EQ(0, agent().getBlockSize(majorOf(dev), minorOf(dev), &bs)) << "the device itself answers";
  }
}

TEST_F(DiskInfoTest, UnusableBlockSizesGive3) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(1), 4096);
  int64_t bdevs = liveBdevs();
  int64_t supers = liveSupers();
  for (unsigned long bad : {0ul, 256ul, 511ul, 1536ul, 3072ul, 8192ul, 0x80000000ul}) {
    SCOPED_TRACE(bad);
    setReportedBlockSize(d.part(1), bad);
    uint64_t mark = logMark();
    long r = -1;
    std::vector<uint8_t> out = queryBytes(d.part(1), 16, &r);
    EXPECT_EQ(3, r);
    EXPECT_EQ(std::vector<uint8_t>(32, 0xA5), out);
    char expected[96];
    snprintf(expected, sizeof expected, "getDiskInfo: device %x has bad block size %d", d.part(1),
             static_cast<int>(bad));
    EXPECT_EQ(1, logCount(expected, mark));
    for (const machine::LogRecord& rec : machine::log_records(mark)) EXPECT_EQ(4, rec.level);
    EXPECT_EQ(bdevs, liveBdevs());
    EXPECT_EQ(supers, liveSupers());
  }
  setReportedBlockSize(d.part(1), 4096);
}

TEST_F(DiskInfoTest, AnswerIsCutToTheAgentsBuffer) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(3), 2048);
  BlockSize full{majorOf(d.part(3)), minorOf(d.part(3)), 2048, static_cast<uint32_t>(kParts[2].sectors / 2)};
  const uint8_t* fullBytes = reinterpret_cast<const uint8_t*>(&full);
  for (uint32_t len : {0u, 1u, 4u, 8u, 12u, 15u, 16u, 17u, 4096u, 0xffffffffu}) {
    SCOPED_TRACE(len);
    long r = -1;
    std::vector<uint8_t> out = queryBytes(d.part(3), len, &r);
    EXPECT_EQ(0, r);
    uint32_t written = len < 16 ? len : 16;
    for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(i < written ? fullBytes[i] : 0xA5, out[i]) << i;
  }
}

TEST_F(DiskInfoTest, AnswerIntoBadMemoryGives7) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(1), 1024);
  int64_t bdevs = liveBdevs();
  uint64_t mark = logMark();
  GetBlockSize q{majorOf(d.part(1)), minorOf(d.part(1)), 0, 16};
  EXPECT_EQ(7, agent().ioctlRecord(doGetBlockSize, &q, sizeof(q)));
  q.bs = agent().allocEndingAtHole(10);
  EXPECT_EQ(7, agent().ioctlRecord(doGetBlockSize, &q, sizeof(q)));
  q.len = 10;  // exactly what is writable
  EXPECT_EQ(0, agent().ioctlRecord(doGetBlockSize, &q, sizeof(q)));
  EXPECT_EQ(2, logCount("ioctlGetBlockSize: copy to user space failed", mark));
  EXPECT_EQ(bdevs, liveBdevs());
}

TEST_F(DiskInfoTest, MinorsBeyondTheChangeTrackingTable) {
  machine::DiskOptions o;
  o.major = 65;
  o.first_minor = 256;
  o.name = "sdq";
  TestDisk d = attachDisk(32 * kMiB, kParts, o);
  mount(d.part(2), 4096);
  BlockSize bs{};
  EXPECT_EQ(0, agent().getBlockSize(65, 258, &bs));
  EXPECT_EQ(258u, bs.minor);
  EXPECT_EQ(4096, bs.blockSize);
}

TEST_F(DiskInfoTest, ACopyKeepsTheBlockDeviceOfItsOwn) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  mount(d.part(1), 4096);
  int64_t bdevs = liveBdevs();

  DiskInfo original{}, copy{};
  ASSERT_EQ(0, getDiskInfo(&original, d.part(1)));
  original.numBlocks = 2048;
  ASSERT_EQ(0, copyDiskInfo(&copy, &original));
  EXPECT_EQ(bdevs + 2, liveBdevs());
  EXPECT_EQ(original.bdev, copy.bdev);
  EXPECT_EQ(2048u, copy.numBlocks);
  EXPECT_EQ(original.partitionStart, copy.partitionStart);

  closeDiskInfo(&original);
  EXPECT_EQ(bdevs + 1, liveBdevs());
  ASSERT_NE(nullptr, copy.bdev);
  EXPECT_EQ(d.part(1), copy.bdev->bd_dev);
  EXPECT_NE(nullptr, getRequestQueue(&copy));
  closeDiskInfo(&copy);
  EXPECT_EQ(bdevs, liveBdevs());

  // Filling a record that already holds a device gives the old reference back.
  ASSERT_EQ(0, getDiskInfo(&original, d.part(1)));
  ASSERT_EQ(8, getDiskInfo(&original, d.part(2)));
  EXPECT_EQ(bdevs + 1, liveBdevs());
  closeDiskInfo(&original);
  EXPECT_EQ(bdevs, liveBdevs());

  // A super block reference the record owns is dropped with it.
  int64_t supers = liveSupers();
  ASSERT_EQ(0, getDiskInfo(&original, d.part(1)));
  original.superBlock = get_super(original.bdev);
  EXPECT_EQ(supers + 1, liveSupers());
  closeDiskInfo(&original);
  EXPECT_EQ(nullptr, original.superBlock);
  EXPECT_EQ(supers, liveSupers());
  closeDiskInfo(&original);  // twice: nothing left to release
  EXPECT_EQ(bdevs, liveBdevs());
}

TEST_F(DiskInfoTest, QueriesFromManyAgentsAtOnce) {
  TestDisk d = attachDisk(32 * kMiB, kParts);
  const unsigned sizes[] = {512, 2048, 4096};
  for (int p = 1; p <= 3; ++p) mount(d.part(p), sizes[p - 1]);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    machine::Process* proc = newProcess("q" + std::to_string(t));
    threads.push_back(runInProcess(proc, [&, proc, t] {
      AgentHandle h = openHandle(proc);
      for (int i = 0; i < 100; ++i) {
        int p = 1 + (i + t) % 4;  // 4: the whole disk, no file system
        BlockSize bs{};
        long r = p == 4 ? h.getBlockSize(majorOf(d.whole), minorOf(d.whole), &bs)
                        : h.getBlockSize(majorOf(d.part(p)), minorOf(d.part(p)), &bs);
        if (p == 4 ? r != 8 : (r != 0 || bs.blockSize != static_cast<int>(sizes[p - 1]))) ++failures;
      }
      h.close();
    }));
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
}

TEST_F(DiskInfoTest, RequestQueueLockIsTakenAndGivenBack) {
  TestDisk d = attachDisk(8 * kMiB);
  DiskInfo di{};
  di.bdev = bdget(d.whole);
  request_queue_t* q = getRequestQueue(&di);
  ASSERT_NE(nullptr, q);
  ASSERT_NE(nullptr, q->queue_lock);
  unsigned long flags = 0;
  velLockRequestQueue(q, &flags);
  EXPECT_TRUE(spin_is_locked(q->queue_lock));
  EXPECT_TRUE(irqs_disabled());
  velUnlockRequestQueue(q, &flags);
  EXPECT_FALSE(spin_is_locked(q->queue_lock));
  EXPECT_FALSE(irqs_disabled());

  // A queue without a lock: nothing happens.
  struct request_queue bare{};
  velLockRequestQueue(&bare, &flags);
  EXPECT_FALSE(irqs_disabled());
  velUnlockRequestQueue(&bare, &flags);
  closeDiskInfo(&di);
}

}  // namespace
}  // namespace velloc_test
