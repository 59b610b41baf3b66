// The exactness check of change maps: a map may hold only blocks some write could have
// touched between the two freezes, so a map with every bit set fails where it used to pass.
#include <gtest/gtest.h>

#include "stress_change_oracle.h"

namespace velloc_stress {
namespace {

TEST(ChangeMapOracle, OnlyBlocksWrittenBetweenTheFreezesMayBeSet) {
  FsPart p;
  p.blocks = 8;
  p.log = {{1, 2, 2, 2, 0, 0},   // inside the interval 2..3
           {4, 4, 1, 2, 0, 0},   // started before freeze 2, held by it: may land after
           {6, 6, 0, 1, 0, 0}};  // ended before freeze 2
  p.failedLog = {{7, 7, 2, 2, 0, 0}};  // failed, may have been tracked
  std::vector<char> exact = {0, 1, 1, 0, 1, 0, 0, 1};
  EXPECT_EQ(changeMapOverReports(p, 2, 3, exact), "");
  std::vector<char> all(8, 1);
  std::string over = changeMapOverReports(p, 2, 3, all);
  EXPECT_NE(over.find("block 0 is in the change map between freezes 2 and 3"), std::string::npos) << over;
  std::vector<char> old = {0, 0, 0, 0, 0, 0, 1, 0};
  EXPECT_NE(changeMapOverReports(p, 2, 3, old).find("block 6"), std::string::npos);
}

}  // namespace
}  // namespace velloc_stress
