// Planning a read command: runs of wanted blocks, spanning gaps of at most maxGap blocks,
// cut at the buffer's size and at the end of the map.
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "velloc/agent/read_runs.h"

using namespace velloc::agent;

namespace {

Bitmap mapOf(uint32_t size, std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
  Bitmap m(size);
  for (auto [first, count] : runs)
    for (uint32_t i = 0; i < count; ++i) m.set(first + i);
  return m;
}

using Pieces = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(ReadRuns, GapsUpToTheLimitAreSpannedAndLongerOnesEndTheRun) {
  Bitmap m = mapOf(1000, {{10, 3}, {17, 2}, {30, 1}, {60, 4}});
  ReadRun r = planRun(m, 0, 256, 11);
  EXPECT_EQ(r.first, 10u);
  EXPECT_EQ(r.count, 21u);  // 10-30: the gap of 11 (19-29) is spanned, the one of 29 is not
  EXPECT_EQ(r.wanted, (Pieces{{0, 3}, {7, 2}, {20, 1}}));
  r = planRun(m, 31, 256, 11);
  EXPECT_EQ(r.first, 60u);
  EXPECT_EQ(r.wanted, (Pieces{{0, 4}}));
  // A gap one longer than the limit is not spanned.
  r = planRun(m, 0, 256, 3);
  EXPECT_EQ(r.count, 3u);
  // No gaps at all: one run of adjacent blocks, as the device's runs are.
  r = planRun(m, 0, 256, 0);
  EXPECT_EQ(r.wanted, (Pieces{{0, 3}}));
  // From inside a run.
  r = planRun(m, 11, 256, 0);
  EXPECT_EQ(r.first, 11u);
  EXPECT_EQ(r.count, 2u);
}

TEST(ReadRuns, TheBufferSizeAndTheEndOfTheMapCutTheRun) {
  Bitmap m = mapOf(100, {{0, 10}, {12, 10}, {95, 5}});
  ReadRun r = planRun(m, 0, 15, 4);
  EXPECT_EQ(r.count, 15u);  // blocks 0-14: the second piece is cut by the buffer
  EXPECT_EQ(r.wanted, (Pieces{{0, 10}, {12, 3}}));
  r = planRun(m, 15, 15, 4);
  EXPECT_EQ(r.first, 15u);
  EXPECT_EQ(r.wanted, (Pieces{{0, 7}}));
  r = planRun(m, 22, 256, 200);
  EXPECT_EQ(r.first, 95u);
  EXPECT_EQ(r.count, 5u);  // the last block of the map ends it
  EXPECT_EQ(planRun(m, 100, 256, 4).count, 0u);
  EXPECT_EQ(planRun(Bitmap(64), 0, 256, 4).count, 0u);
  // A run never names a block past the map, even with a gap limit past it.
  Bitmap edge = mapOf(70, {{60, 1}, {69, 1}});
  r = planRun(edge, 0, 256, 100);
  EXPECT_EQ(r.first + r.count, 70u);
  EXPECT_EQ(r.wanted, (Pieces{{0, 1}, {9, 1}}));
}

TEST(ReadRuns, EveryWantedBlockIsCoveredOnceOverAWholeMap) {
  // Planning run after run over a pseudo-random map covers each set block exactly once
  // and never names a clear block as wanted.
  for (uint32_t maxGap : {0u, 1u, 7u, 64u}) {
    Bitmap m(5000);
    uint64_t x = 12345;
    for (uint32_t b = 0; b < m.size(); ++b) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      if ((x >> 60) < 3) m.set(b);
    }
    Bitmap seen(m.size());
    uint32_t cursor = 0;
    for (;;) {
      ReadRun r = planRun(m, cursor, 64, maxGap);
      if (r.count == 0) break;
      ASSERT_LE(r.count, 64u);
      for (auto [off, len] : r.wanted)
        for (uint32_t i = 0; i < len; ++i) {
          uint32_t b = r.first + off + i;
          ASSERT_TRUE(m.test(b)) << b;
          ASSERT_FALSE(seen.test(b)) << b;
          seen.set(b);
        }
      cursor = r.first + r.count;
    }
    EXPECT_EQ(seen.bytes(), m.bytes()) << "maxGap " << maxGap;
  }
}

}  // namespace
