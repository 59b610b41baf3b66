// Shared set-up for the copy-on-write, cache and backup-map tests: a partition with a
// known pattern, a started session brought into protection, raw bios of every request kind,
// and views of the session's cache and counters.
//
// The module's own header comes last: its kernel headers redefine a few host names.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {

// A stamp written at the head of every block the tests write: who wrote it and which block
// it was meant for, so the final disk contents can be checked.
struct BlockStamp {
  uint32_t magic;
  uint32_t writer;
  uint32_t seq;
  uint32_t block;
};
inline constexpr uint32_t kStampMagic = 0x57524954u;

// Completion of a raw bio sent by a test. Shared by the waiter and the completion, and freed
// by whichever lets go last: the completion still touches it after it has woken the waiter.
struct RawBioWait {
  struct completion done;
  std::atomic<int> ok{0};
  std::atomic<int> refs{2};
  void put() {
    if (--refs == 0) delete this;
  }
};

inline int rawBioEndIO(struct bio* bio, unsigned int, int) {
  if (bio->bi_size) return 1;
  auto* w = static_cast<RawBioWait*>(bio->bi_private);
  w->ok.store(bio_flagged(bio, BIO_UPTODATE) ? 1 : 0);
  complete(&w->done);
  w->put();
  return 0;
}

// Sends one bio of kind rw (0 read, 1 write, 2 read-ahead, 3 write with the read-ahead bit)
// for `len` bytes at byte `off` of device dev, through generic_make_request as any task
// would, and waits for it. buf is the data written or the place for the data read.
// Returns 1 when the bio completed up to date, 0 on an I/O error.
// beforeSubmit, when given, runs just before the bio is sent (to arm a fault for the
// interception only).
inline int rawBio(uint32_t dev, uint64_t off, void* buf, size_t len, unsigned long rw,
                  const std::function<void()>& beforeSubmit = {}) {
  struct block_device* bdev = bdget(dev);
  if (!bdev) return 0;
  size_t npages = (len + 4095) / 4096;
  struct bio* bio = bio_alloc(GFP_NOIO, (int)npages);
  std::vector<struct page*> pages;
  for (size_t i = 0; i < npages; i++) {
    struct page* p = alloc_page(GFP_KERNEL);
    size_t n = std::min<size_t>(4096, len - i * 4096);
    if (rw & 1) memcpy(page_address(p), static_cast<char*>(buf) + i * 4096, n);
    bio_add_page(bio, p, (unsigned)n, 0);
    pages.push_back(p);
  }
  RawBioWait* w = new RawBioWait;
  init_completion(&w->done);
  bio->bi_bdev = bdev;
  bio->bi_sector = off >> 9;
  bio->bi_rw = rw;
  bio->bi_end_io = rawBioEndIO;
  bio->bi_private = w;
  if (beforeSubmit) beforeSubmit();
  generic_make_request(bio);
  wait_for_completion(&w->done);
  int ok = w->ok.load();
  w->put();
  for (size_t i = 0; i < npages; i++) {
    size_t n = std::min<size_t>(4096, len - i * 4096);
    if (!(rw & 1)) memcpy(static_cast<char*>(buf) + i * 4096, page_address(pages[i]), n);
    __free_pages(pages[i], 0);
  }
  bio_put(bio);
  bdput(bdev);
  return ok;
}

// Polls cond every millisecond for at most `ms`; true once it holds.
template <class F>
bool waitFor(F cond, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Maps len bytes of h's transfer buffer the way an agent does (read-only, private).
inline int64_t mapTransferBuffer(AgentHandle& h, size_t len) {
  return machine::sys_mmap(h.proc, len, PROT_READ, false, h.fd, 0);
}

class CowFixture : public VellocFixture {
 protected:
  // Partition 1 of a memory disk, mounted with blockSize-byte blocks and filled with a pattern
  // that differs in every block.
  void makePartition(unsigned blockSize = 4096, uint64_t partSectors = 32768) {
    // Partition 2 is a small neighbour on the same disk and queue.
    disk_ = attachDisk((partSectors + 2048 + 8192) * 512, {{2048, partSectors}, {2048 + partSectors, 4096}});
    ASSERT_NE(nullptr, disk_.disk);
    dev_ = disk_.part(1);
    ASSERT_NE(0u, dev_);
    blockSize_ = blockSize;
    blocks_ = (unsigned)(partSectors * 512 / blockSize);
    mount_ = mount(dev_, blockSize);
    ASSERT_NE(nullptr, mount_);
    std::mt19937_64 rng(12345);
    std::vector<uint64_t> words((size_t)blocks_ * blockSize / 8);
    for (auto& w : words) w = rng();
    for (unsigned bn = 0; bn < blocks_; bn++) memcpy(&words[(size_t)bn * blockSize / 8], &bn, sizeof(bn));
    ASSERT_EQ(0, machine::disk_pwrite(disk_.disk, byteOf(0), words.data(), words.size() * 8));
  }

  // Byte offset of block bn on the whole disk.
  uint64_t byteOf(unsigned bn) const { return disk_.start(1) * 512 + (uint64_t)bn * blockSize_; }

  std::vector<uint8_t> diskBlock(unsigned bn) {
    std::vector<uint8_t> v(blockSize_);
    EXPECT_EQ(0, machine::disk_pread(disk_.disk, byteOf(bn), v.data(), blockSize_));
    return v;
  }

  // The partition as it is now, block by block (the truth protection must preserve).
  std::vector<std::vector<uint8_t>> snapshotDisk() {
    std::vector<uint8_t> raw((size_t)blocks_ * blockSize_);
    EXPECT_EQ(0, machine::disk_pread(disk_.disk, byteOf(0), raw.data(), raw.size()));
    std::vector<std::vector<uint8_t>> all(blocks_);
    for (unsigned bn = 0; bn < blocks_; bn++)
      all[bn].assign(raw.begin() + (size_t)bn * blockSize_, raw.begin() + (size_t)(bn + 1) * blockSize_);
    return all;
  }

  // The session of the started handle (activeSession).
  Backup* session() {
    down_read(&activeSessionUsers);
    Backup* b = activeSession;
    up_read(&activeSessionUsers);
    return b;
  }

  // Brings the started session into stateSnapshotComplete: through the snapshot command
  // when it does that, otherwise from inside as the snapshot would (velMRF on the queue, the
  // state switched under writers).
  void protect(bool useSnapshotCommand = true) {
    if (useSnapshotCommand) {
      agent().noStartAutoMap();
      agent().snapShot();
      if (agent().state().state == stateSnapshotComplete) return;
    }
    Backup* b = session();
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(0, setMRF(b, velMRF));
    down_write(&b->writers);
    velSetState(b, stateSnapshotComplete);
    up_write(&b->writers);
  }

  // Waits until the worker has served every held bio.
  void waitIdle(Backup* b) {
    ASSERT_TRUE(waitFor([&] { return atomic_read(&b->mrInQueue) == 0; })) << "held bios not served";
  }

  // Every cached record: block -> the contents of each record holding it.
  std::map<unsigned, std::vector<std::vector<uint8_t>>> cacheContents(Backup* b) {
    std::map<unsigned, std::vector<std::vector<uint8_t>>> out;
    down_read(&b->cacheUsers);
    for (unsigned i = 0; b->blockTable && i < VEL_HASH_BUCKETS; i++) {
      HashTable* ht = b->blockTable[i];
      down(&ht->sem);
      for (CachePage* cp = ht->busy; cp; cp = cp->next) {
        EXPECT_EQ(i, cp->blockNum & VEL_HASH_MASK) << "record in the wrong bucket";
        out[cp->blockNum].emplace_back(cp->data, cp->data + b->diskInfo.blockSize);
      }
      up(&ht->sem);
    }
    up_read(&b->cacheUsers);
    return out;
  }

  void writeBlock(unsigned bn, uint32_t writer, uint32_t seq, unsigned long rw = WRITE) {
    std::vector<uint8_t> buf(blockSize_, (uint8_t)(writer * 31 + seq));
    BlockStamp s{kStampMagic, writer, seq, bn};
    memcpy(buf.data(), &s, sizeof(s));
    ASSERT_EQ(1, rawBio(dev_, (uint64_t)bn * blockSize_, buf.data(), blockSize_, rw));
  }

  // The value of the last statistics line containing `label` (e.g. "current cached blocks: ").
  long lastStat(const std::string& label) {
    long v = -1;
    for (const std::string& t : logTexts()) {
      size_t p = t.find(label);
      if (p != std::string::npos) v = strtol(t.c_str() + p + label.size(), nullptr, 10);
    }
    return v;
  }

  // Closes the default handle and checks that the session gave back everything it counted.
  void closeAndExpectBalanced() {
    EXPECT_EQ(0, agent().close());
    EXPECT_EQ(0, lastStat("current pages allocated: "));
    EXPECT_EQ(0, lastStat("current Block Requests allocated: "));
    EXPECT_EQ(0, lastStat("current cached blocks: "));
    EXPECT_EQ(0, lastStat("current block cache data structures: "));
  }

  TestDisk disk_;
  uint32_t dev_ = 0;
  unsigned blockSize_ = 0;
  unsigned blocks_ = 0;
  machine::Mount* mount_ = nullptr;
};

}  // namespace velloc_test
