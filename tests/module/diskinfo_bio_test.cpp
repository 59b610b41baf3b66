// Translating an intercepted bio (already remapped to its whole disk) into the partition
// that holds it and the partition blocks it touches, at every edge.
#include <thread>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

class BioTranslation : public VellocFixture {
 protected:
  // A bio at an absolute sector of the disk whose whole-disk device is `whole`.
  struct DiskBio {
    struct bio bio {};
    DiskBio(uint32_t whole, sector_t sector, unsigned int size) {
      bio.bi_bdev = bdget(whole);
      bio.bi_sector = sector;
      bio.bi_size = size;
    }
    ~DiskBio() { bdput(bio.bi_bdev); }
  };
  int minorAt(uint32_t whole, sector_t sector) {
    DiskBio b(whole, sector, 4096);
    return BIOToMinor(&b.bio);
  }
};

TEST_F(BioTranslation, MinorOfTheSectorsPartition) {
  // Partition 3's table slot stays empty; a gap lies between partitions 1 and 2.
  const std::vector<machine::PartitionSpec> parts = {{2048, 8192}, {12288, 8192}, {0, 0, 0}, {30000, 10000}};
  machine::DiskOptions o;
  o.first_minor = 16;
  o.name = "sdb";
  TestDisk d = attachDisk(32 * kMiB, parts, o);
  ASSERT_EQ(0u, d.part(3));
  const int whole = 16;
  struct Case {
    sector_t sector;
    int minor;
  } cases[] = {
      {0, whole},          {2047, whole},   {2048, 17},        {2048 + 8191, 17}, {2048 + 8192, whole},
      {12287, whole},      {12288, 18},     {12288 + 8191, 18}, {20480, whole},   {29999, whole},
      {30000, 20},         {39999, 20},     {40000, whole},    {65535, whole},    {1ull << 40, whole},
  };
  for (const Case& c : cases) EXPECT_EQ(c.minor, minorAt(d.whole, c.sector)) << "sector " << c.sector;
}

TEST_F(BioTranslation, OverlappingPartitionsAnswerTheFirst) {
  const std::vector<machine::PartitionSpec> parts = {{4096, 4096}, {2048, 8192}};
  std::string err;
  machine::DiskOptions o;
  o.major = 3;
  machine::Disk* disk = machine::disk_attach_memory_partitioned(16 * kMiB, parts, o, &err);
  if (disk == nullptr) GTEST_SKIP() << "the stand-in refuses overlapping partitions: " << err;
  uint32_t whole = machine::disk_dev(disk);
  EXPECT_EQ(2, minorAt(whole, 2048));
  EXPECT_EQ(1, minorAt(whole, 4096));
  EXPECT_EQ(1, minorAt(whole, 8191));
  EXPECT_EQ(2, minorAt(whole, 8192));
  EXPECT_EQ(0, minorAt(whole, 10240));
  machine::disk_detach(disk);
}

TEST_F(BioTranslation, MinorLookupsRaceEachOther) {
  TestDisk d = attachDisk(32 * kMiB, {{2048, 8192}, {12288, 8192}});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(runInProcess(agent().proc, [&, t] {
      for (int i = 0; i < 2000; ++i) {
        sector_t s = (i * 37 + t * 1000) % 24000;
        int expect = s >= 2048 && s < 10240 ? 1 : s >= 12288 && s < 20480 ? 2 : 0;
        if (minorAt(d.whole, s) != expect) ++wrong;
      }
    }));
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
}

// A partition description by hand: start 2048, 8192 sectors, with the given block size.
DiskInfo partitionOf(int blockSize, sector_t start = 2048, sector_t len = 8192) {
  DiskInfo di{};
  di.partitionStart = start;
  di.partitionLen = len;
  di.blockSize = blockSize;
  di.sectorsPerBlock = blockSize >> 9;
  for (int s = di.sectorsPerBlock; s > 1; s >>= 1) ++di.sectorsPerBlockShift;
  return di;
}

struct BlockCase {
  int blockSize;
  sector_t sector;     // absolute
  unsigned int size;   // bytes
  unsigned int start, end;
};

TEST(BioToBlockNumbers, RangesAtEveryEdge) {
  const BlockCase cases[] = {
      // 4096 bytes at partition sector 8 with 1024-byte blocks: blocks 4 to 7.
      {1024, 2048 + 8, 4096, 4, 7},
      {512, 2048, 512, 0, 0},
      {512, 2049, 512, 1, 1},
      {1024, 2049, 512, 0, 0},
      {1024, 2050, 1024, 1, 1},
      {4096, 2048 + 8, 4096, 1, 1},
      {4096, 2048 + 4, 4096, 0, 1},       // straddles two blocks
      {4096, 2048 + 7, 512, 0, 0},
      // Beginning before the partition: counted from its first sector.
      {1024, 2040, 4096, 0, 3},
      {512, 0, 512, 0, 0},
      {512, 0, 1 << 20, 0, 2047},
      // Running past the end: cut at the partition's last sector (8191).
      {512, 2048 + 8190, 4096, 8190, 8191},
      {4096, 2048 + 8184, 8192, 1023, 1023},
      {1024, 2048 + 9000, 4096, 4500, 4095},  // wholly past: start stays, end is cut
      // Sizes that are not whole sectors reach into the next sector.
      {512, 2048, 1000, 0, 1},
      {512, 2048, 1, 0, 1},
      {512, 2048 + 5, 513, 5, 6},
      // Empty bios.
      {512, 2048, 0, 0, 0},
      {512, 2048 + 10, 0, 10, 9},
      {1024, 2048 + 10, 0, 5, 4},
  };
  for (const BlockCase& c : cases) {
    DiskInfo di = partitionOf(c.blockSize);
    struct bio bio {};
    bio.bi_sector = c.sector;
    bio.bi_size = c.size;
    unsigned int start = 0xdead, end = 0xbeef;
    BIOToBlockNumbers(&di, &bio, &start, &end);
    EXPECT_EQ(c.start, start) << c.blockSize << " @" << c.sector << " +" << c.size;
    EXPECT_EQ(c.end, end) << c.blockSize << " @" << c.sector << " +" << c.size;
  }
}

TEST(BioToBlockNumbers, DegenerateAndHugeDevices) {
  struct bio bio {};
  unsigned int start, end;

  // No length known: every range ends at sector 0.
  DiskInfo empty = partitionOf(512, 0, 0);
  bio.bi_sector = 100;
  bio.bi_size = 4096;
  BIOToBlockNumbers(&empty, &bio, &start, &end);
  EXPECT_EQ(100u, start);
  EXPECT_EQ(0u, end);

  // A whole disk beyond 2^32 sectors: block numbers keep their low 32 bits.
  DiskInfo huge = partitionOf(512, 0, 1ull << 40);
  bio.bi_sector = (1ull << 32) + 5;
  bio.bi_size = 1024;
  BIOToBlockNumbers(&huge, &bio, &start, &end);
  EXPECT_EQ(5u, start);
  EXPECT_EQ(6u, end);

}

TEST_F(BioTranslation, RealPartitionDescription) {
  TestDisk d = attachDisk(32 * kMiB, {{2048, 8192}, {12288, 8192}});
  mount(d.part(2), 2048);
  DiskInfo di{};
  ASSERT_EQ(0, getDiskInfo(&di, d.part(2)));
  DiskBio b(d.whole, 12288 + 16, 8192);
  EXPECT_EQ(2, BIOToMinor(&b.bio));
  unsigned int start, end;
  BIOToBlockNumbers(&di, &b.bio, &start, &end);
  EXPECT_EQ(4u, start);
  EXPECT_EQ(7u, end);
  closeDiskInfo(&di);
}

}  // namespace
}  // namespace velloc_test
