// The paged block bitmap: sizes at the page edges and at the ends of the 32-bit range, the
// fills, maps made from the agent's bytes (also when they are unreadable part way), page
// allocation failing part way, and the bit layout shared with agents.
#include <cstring>
#include <random>

#include "velloc_fixture.h"
#include <linux/highmem.h>
#include "vellib.h"

namespace velloc_test {
namespace {

class BlockMapTest : public VellocFixture {
 protected:
  static void initEmpty(BlockMap* bm) { initBlockMap(bm); }
  struct Counts {
    int64_t page, vmalloc;
    bool operator==(const Counts&) const = default;
  };
  static Counts counts() { return {machine::live(machine::Obj::page), machine::live(machine::Obj::vmalloc)}; }

  // The map's meaningful bytes, read page by page.
  static std::vector<uint8_t> bytesOf(BlockMap* bm) {
    std::vector<uint8_t> out(bm->numBytes);
    for (uint32_t off = 0; off < bm->numBytes; off += 4096) {
      struct page* pg = bm->map[off / 4096];
      void* k = kmap(pg);
      std::memcpy(out.data() + off, k, std::min<uint32_t>(4096, bm->numBytes - off));
      kunmap(pg);
    }
    return out;
  }

  // A map of `size` blocks made from `bytes` placed at an odd address of the agent.
  int fromAgent(BlockMap* bm, uint32_t size, const std::vector<uint8_t>& bytes, unsigned int* pages) {
    uint32_t a = agent().alloc(bytes.size() + 1) + 1;
    agent().write(a, bytes.data(), bytes.size());
    return newBlockMap(bm, size, reinterpret_cast<char*>(static_cast<uintptr_t>(a)), 1, pages);
  }
};

TEST_F(BlockMapTest, SizesWithoutBytesAreRefusedAndTouchNothing) {
  for (uint32_t size : {0u, 0xFFFFFFF9u, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(size);
    BlockMap bm;
    std::memset(&bm, 0x5A, sizeof(bm));
    BlockMap before = bm;
    unsigned int pages = 12345;
    uint64_t mark = logMark();
    EXPECT_EQ(2, newBlockMap(&bm, size, nullptr, 1, &pages));
    EXPECT_EQ(0, std::memcmp(&before, &bm, sizeof(bm)));
    EXPECT_EQ(12345u, pages);
    EXPECT_EQ(1, logCount("newBlockMap: block size size=" + std::to_string(size) + " invalid", mark));
  }
}

TEST_F(BlockMapTest, PageCountFollowsTheSize) {
  BlockMap bm;
  initEmpty(&bm);
  struct Case {
    uint32_t size, pages;
  } cases[] = {{0, 0},          {1, 1},          {8, 1},           {32768, 1},       {32769, 2},
               {65536, 2},      {65537, 3},      {0xFFFFFFF8u, 131072}, {0xFFFFFFF9u, 0}, {0xFFFFFFFFu, 0}};
  for (const Case& c : cases) {
    bm.size = c.size;
    EXPECT_EQ(c.pages, numPagesInBlockMap(&bm)) << c.size;
  }
}

TEST_F(BlockMapTest, OneBlockMap) {
  Counts before = counts();
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, newBlockMap(&bm, 1, nullptr, 1, &pages));
  EXPECT_EQ(1u, pages);
  EXPECT_EQ(1u, bm.size);
  EXPECT_EQ(1u, bm.numBytes);
  EXPECT_EQ(1, atomic_read(&bm.users));

  EXPECT_EQ(0, blockInMap(&bm, 0));
  EXPECT_EQ(0, setBlock(&bm, 0));
  EXPECT_NE(0, blockInMap(&bm, 0));
  // Block 1 and the last 32-bit block are out of range for every operation.
  for (uint32_t out : {1u, 8u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(0, blockInMap(&bm, out));
    EXPECT_EQ(1, unSetBlock(&bm, out));
    EXPECT_EQ(static_cast<int>(out), setBlock(&bm, out));
  }
  EXPECT_EQ(std::vector<uint8_t>{0x01}, bytesOf(&bm));
  EXPECT_EQ(0, unSetBlock(&bm, 0));
  EXPECT_EQ(0, blockInMap(&bm, 0));
  EXPECT_EQ(1, atomic_read(&bm.users));

  unsigned int freed = 0;
  closeBlockMap(&bm, &freed);
  EXPECT_EQ(1u, freed);
  EXPECT_EQ(nullptr, bm.map);
  EXPECT_EQ(0u, bm.size);
  EXPECT_EQ(before, counts());
  // Empty again: out of range everywhere, and closing it again reports nothing.
  EXPECT_EQ(0, setBlock(&bm, 0));
  EXPECT_EQ(7, setBlock(&bm, 7));
  EXPECT_EQ(0, blockInMap(&bm, 0));
  freed = 999;
  closeBlockMap(&bm, &freed);
  EXPECT_EQ(999u, freed);
}

TEST_F(BlockMapTest, PageEdges) {
  Counts before = counts();
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;

  ASSERT_EQ(0, newBlockMap(&bm, 32768, nullptr, 1, &pages));
  EXPECT_EQ(1u, pages);
  EXPECT_EQ(4096u, bm.numBytes);
  EXPECT_EQ(0, setBlock(&bm, 32767));
  EXPECT_EQ(32768, setBlock(&bm, 32768));
  std::vector<uint8_t> bytes = bytesOf(&bm);
  EXPECT_EQ(0x80, bytes[4095]);
  closeBlockMap(&bm, &pages);
  EXPECT_EQ(1u, pages);

  ASSERT_EQ(0, newBlockMap(&bm, 32769, nullptr, 1, &pages));
  EXPECT_EQ(2u, pages);
  EXPECT_EQ(4097u, bm.numBytes);
  EXPECT_EQ(0, setBlock(&bm, 32768));  // bit 0 of the second page
  EXPECT_EQ(0, setBlock(&bm, 32767));
  EXPECT_EQ(32769, setBlock(&bm, 32769));
  void* second = kmap(bm.map[1]);
  EXPECT_EQ(0x01, static_cast<uint8_t*>(second)[0]);
  kunmap(bm.map[1]);
  EXPECT_NE(0, blockInMap(&bm, 32768));
  EXPECT_EQ(0, unSetBlock(&bm, 32768));
  EXPECT_EQ(0, blockInMap(&bm, 32768));
  EXPECT_NE(0, blockInMap(&bm, 32767));
  closeBlockMap(&bm, &pages);
  EXPECT_EQ(2u, pages);
  EXPECT_EQ(before, counts());
}

TEST_F(BlockMapTest, FillsSetOrClearEveryBlock) {
  const uint32_t size = 2 * 32768 + 13;
  for (int zeroFill : {0, 1}) {
    SCOPED_TRACE(zeroFill);
    BlockMap bm;
    initEmpty(&bm);
    unsigned int pages = 0;
    ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, zeroFill, &pages));
    EXPECT_EQ(3u, pages);
    int wrong = 0;
    for (uint32_t n = 0; n < size; ++n) wrong += (blockInMap(&bm, n) != 0) != (zeroFill == 0);
    EXPECT_EQ(0, wrong);
    EXPECT_EQ(0, blockInMap(&bm, size));  // the padding bits of the last byte are never tested
    closeBlockMap(&bm, &pages);
  }
}

TEST_F(BlockMapTest, AgentBytesKeepTheirLayout) {
  Counts before = counts();
  const uint32_t size = 70001;  // 8751 bytes over three pages
  std::vector<uint8_t> bytes((size + 7) / 8);
  std::mt19937 rng(7);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, fromAgent(&bm, size, bytes, &pages));
  EXPECT_EQ(3u, pages);
  int wrong = 0;
  for (uint32_t n = 0; n < size; ++n) wrong += (blockInMap(&bm, n) != 0) != ((bytes[n / 8] >> (n % 8)) & 1);
  EXPECT_EQ(0, wrong);

  // Bit operations keep the flat layout: block n is bit n % 8 of byte n / 8.
  for (uint32_t n : {0u, 9u, 32767u, 32768u, 65535u, 65536u, 70000u}) {
    if (rng() & 1) {
      EXPECT_EQ(0, setBlock(&bm, n));
      bytes[n / 8] |= 1u << (n % 8);
    } else {
      EXPECT_EQ(0, unSetBlock(&bm, n));
      bytes[n / 8] &= ~(1u << (n % 8));
    }
  }
  EXPECT_EQ(bytes, bytesOf(&bm));
  closeBlockMap(&bm, &pages);
  EXPECT_EQ(before, counts());
}

TEST_F(BlockMapTest, OnlyTheMeaningfulAgentBytesAreRead) {
  // 8202 bytes end right at an inaccessible page: nothing past them is touched.
  const uint32_t size = 8202 * 8 - 3;
  std::vector<uint8_t> bytes(8202, 0xC3);
  uint32_t a = agent().allocEndingAtHole(bytes.size());
  agent().write(a, bytes.data(), bytes.size());
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;
  ASSERT_EQ(0, newBlockMap(&bm, size, reinterpret_cast<char*>(static_cast<uintptr_t>(a)), 1, &pages));
  EXPECT_EQ(3u, pages);
  EXPECT_EQ(bytes, bytesOf(&bm));
  closeBlockMap(&bm, &pages);
}

TEST_F(BlockMapTest, AgentBytesUnreadablePartWay) {
  Counts before = counts();
  const uint32_t size = 3 * 32768;  // 12288 bytes
  // The first page and 100 bytes of the second are readable.
  uint32_t a = agent().allocEndingAtHole(4096 + 100);
  std::vector<uint8_t> fill(4196, 0xFF);
  agent().write(a, fill.data(), fill.size());
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 4242;
  uint64_t mark = logMark();
  EXPECT_EQ(6, newBlockMap(&bm, size, reinterpret_cast<char*>(static_cast<uintptr_t>(a)), 1, &pages));
  EXPECT_EQ(4242u, pages);
  EXPECT_EQ(nullptr, bm.map);
  EXPECT_EQ(0u, bm.size);
  EXPECT_EQ(before, counts());
  std::vector<std::string> log = logTexts(mark);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0u, log[0].find("newBlockMap: copy to user space failed data="));
  EXPECT_NE(std::string::npos, log[0].find(" bytesCopied=4096 bytesInMap=12288"));
  EXPECT_EQ(0u, log[1].find("newBlockMap: Out of Memory Error."));
  for (const machine::LogRecord& r : machine::log_records(mark)) EXPECT_EQ(3, r.level);

  // An unmapped address from the start, and the record is reusable after each failure.
  EXPECT_EQ(6, newBlockMap(&bm, 1, reinterpret_cast<char*>(static_cast<uintptr_t>(0x10)), 1, &pages));
  EXPECT_EQ(before, counts());
  ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, 0, &pages));
  EXPECT_NE(0, blockInMap(&bm, size - 1));
  closeBlockMap(&bm, &pages);
  EXPECT_EQ(3u, pages);
  EXPECT_EQ(before, counts());
}

TEST_F(BlockMapTest, PageAllocationFailingPartWay) {
  Counts before = counts();
  const uint32_t size = 5 * 32768 - 100;
  BlockMap bm;
  initEmpty(&bm);
  unsigned int pages = 0;

  // A clean run allocates exactly five pages.
  uint64_t calls = machine::fault_calls(machine::Fault::alloc_pages);
  ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, 1, &pages));
  ASSERT_EQ(5u, machine::fault_calls(machine::Fault::alloc_pages) - calls);
  closeBlockMap(&bm, &pages);

  for (int failing = 1; failing <= 5; ++failing) {
    SCOPED_TRACE(failing);
    uint64_t mark = logMark();
    pages = 777;
    machine::fault_fail_nth(machine::Fault::alloc_pages, failing);
    EXPECT_EQ(5, newBlockMap(&bm, size, nullptr, 1, &pages));
    machine::fault_fail_nth(machine::Fault::alloc_pages, 0);
    EXPECT_EQ(777u, pages);
    EXPECT_EQ(nullptr, bm.map);
    EXPECT_EQ(before, counts());
    std::vector<std::string> log = logTexts(mark);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(1, logCount("newBlockMap: failed allocating page number (" + std::to_string(failing - 1) +
                              ") for block map",
                          mark));
    EXPECT_EQ(1, logCount("newBlockMap: Out of Memory Error.", mark));
    // Reusable at once.
    ASSERT_EQ(0, newBlockMap(&bm, size, nullptr, 1, &pages));
    EXPECT_EQ(0, setBlock(&bm, size - 1));
    closeBlockMap(&bm, &pages);
    EXPECT_EQ(5u, pages);
  }

  uint64_t mark = logMark();
  machine::fault_fail_nth(machine::Fault::vmalloc, 1);
  EXPECT_EQ(5, newBlockMap(&bm, size, nullptr, 1, &pages));
  EXPECT_EQ(1, logCount("bytes of memory for block map page array", mark));
  EXPECT_EQ(0, logCount("Out of Memory Error", mark));
  EXPECT_EQ(nullptr, bm.map);
  EXPECT_EQ(before, counts());
}

TEST_F(BlockMapTest, WaitingOnAnIdleGateReturnsAtOnce) {
  BlockMap bm;
  initEmpty(&bm);
  unsigned long flags = 0;
  waitForBlockMapUsers(&bm, &flags);
  EXPECT_TRUE(spin_is_locked(&bm.usersLock));
  EXPECT_EQ(1, atomic_read(&bm.users));
  spin_unlock_irqrestore(&bm.usersLock, flags);
  EXPECT_FALSE(spin_is_locked(&bm.usersLock));
}

}  // namespace
}  // namespace velloc_test
