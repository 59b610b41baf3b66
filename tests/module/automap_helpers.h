// Helpers for the request-queue registry and change-tracking tests: a session record as a
// started backup would hold it (so the table can be driven from inside without a snapshot),
// writes through the block layer, and readers of an automap's bitmap.
//
// Include after velloc_fixture.h: the module's headers redirect dev_t to the kernel's form.
#pragma once

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "velloc_fixture.h"

#include "vellib.h"

namespace velloc_test {

// A Backup record whose device description is filled as the session start fills it
// (getDiskInfo, numBlocks, the queue's real function). Plain test memory, not a handle.
struct TestSession {
  Backup* b = nullptr;

  // numBlocks 0: the partition's block count.
  TestSession(uint32_t dev, uint32_t numBlocks = 0) {
    b = static_cast<Backup*>(std::calloc(1, sizeof(Backup)));
    sema_init(&b->bSem, 1);
    init_rwsem(&b->writers);
    init_rwsem(&b->cacheUsers);
    atomic_set(&b->blockMap.users, 1);
    sema_init(&b->blockMap.sem, 1);
    atomic_set(&b->cacheMap.users, 1);
    sema_init(&b->cacheMap.sem, 1);
    EXPECT_EQ(0, getDiskInfo(&b->diskInfo, dev)) << "device " << majorOf(dev) << ":" << minorOf(dev);
    if (numBlocks == 0 && b->diskInfo.sectorsPerBlock > 0)
      numBlocks = static_cast<uint32_t>(b->diskInfo.partitionLen >> b->diskInfo.sectorsPerBlockShift);
    b->diskInfo.numBlocks = numBlocks;
    b->diskInfo.realMRF = getRealMRF(getRequestQueue(&b->diskInfo));
  }
  TestSession(const TestSession&) = delete;
  TestSession& operator=(const TestSession&) = delete;
  ~TestSession() {
    unsigned int pages = 0;
    closeBlockMap(&b->blockMap, &pages);
    closeDiskInfo(&b->diskInfo);
    std::free(b);
  }

  dev_t kdev() const { return b->diskInfo.kdev; }
  request_queue_t* queue() const { return getRequestQueue(&b->diskInfo); }
  uint32_t numBlocks() const { return static_cast<uint32_t>(b->diskInfo.numBlocks); }
  int blockSize() const { return b->diskInfo.blockSize; }
  AutoMapSession* slot() const {
    AutoMapSession** s = amListSlot(kdev());
    if (s == nullptr) return nullptr;
    enterAMListUsers();  // a closing thread may be emptying it
    AutoMapSession* ams = *s;
    leaveAMListUsers();
    return ams;
  }

  // Creates the automap and hands the queue to velAMRF, then marks it in sync: what a
  // snapshot followed by a close with change tracking leaves behind.
  AutoMapSession* track() {
    AutoMapSession* ams = nullptr;
    EXPECT_EQ(0, newAMS(b, &ams));
    EXPECT_EQ(0, setMRF(b, velAMRF));
    if (ams) setAMSState(ams, amsInSync);
    return ams;
  }
};

// Writes `len` bytes of `fill` at byte `off` of device `dev` through generic_make_request.
inline int writeDev(uint32_t dev, uint64_t off, size_t len, uint8_t fill) {
  std::vector<uint8_t> buf(len, fill);
  return machine::blk_write(dev, off, buf.data(), len);
}

// Blocks set in an automap's bitmap.
inline std::set<uint32_t> setBlocks(AutoMapSession* ams) {
  std::set<uint32_t> out;
  for (uint32_t n = 0; n < ams->map.size; ++n)
    if (blockInMap(&ams->map, n)) out.insert(n);
  return out;
}

// The queue node of q in the registry (test inspection; no gate: only when nothing races).
inline QueueList* registryNode(request_queue_t* q) {
  QueueList* node;
  list_for_each_entry(node, &queueListHead, list) {
    if (node->rQueue == q) return node;
  }
  return nullptr;
}

inline size_t registrySize() {
  size_t n = 0;
  struct list_head* pos;
  list_for_each(pos, &queueListHead) ++n;
  return n;
}

// Every amList slot empty.
inline bool amListEmpty() {
  for (int ma = 0; ma < VEL_AMLIST_SIZE; ++ma)
    for (int mi = 0; mi < VEL_AMLIST_SIZE; ++mi)
      if (amList[ma][mi] != nullptr) return false;
  return true;
}

// Pages of a bitmap of n blocks.
inline int bitmapPages(uint32_t n) { return static_cast<int>(((n + 7) / 8 + 4095) / 4096); }

// A disk with two 8 MiB partitions carrying test file systems of 1024-byte blocks: the
// shape the registry and automap tests share (two devices on one queue).
constexpr uint64_t kDiskBytes = 32ull << 20;
constexpr uint64_t kPartSectors = 16384;  // 8192 blocks of 1024 bytes

class TwoPartitionFixture : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    disk = attachDisk(kDiskBytes, {{2048, kPartSectors}, {2048 + kPartSectors, kPartSectors}});
    mount(disk.part(1), 1024);
    mount(disk.part(2), 1024);
  }
  TestDisk disk;
};

}  // namespace velloc_test
