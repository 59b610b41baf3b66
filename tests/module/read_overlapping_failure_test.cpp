// A block read that a session failure overlaps answers 0 only when every block it delivered
// is the block as it was at the snapshot. The agent's read is parked before its disk read
// goes out (its bio allocation keeps failing, which the read path retries); meanwhile the
// block is overwritten and the session fails; then the read goes on and finds the new
// contents on the disk, with the cache no longer answering.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

thread_local bool tlParkedReader = false;

class ReadOverlappingFailureTest : public CowFixture {
 protected:
  // keptFirst: the overwrite's capture succeeds (the cache takes one block) and a second
  // write's capture fails; otherwise the cache takes none and the overwrite's own fails.
  void readAcrossAFailure(bool keptFirst) {
    makePartition();
    ASSERT_EQ(0, agent().startBackup(dev_, blocks_, keptFirst ? 1 : 0));
    protect();
    Backup* b = session();
    const unsigned bn = 50;
    const auto truth = diskBlock(bn);
    const int64_t buf = mapTransferBuffer(agent(), 4096);
    ASSERT_GT(buf, 0);

    machine::fault_set_filter([] { return tlParkedReader; });
    machine::fault_fail_always(machine::Fault::bio, true);
    std::atomic<long> result{-1};
    std::thread reader = runInProcess(agent().proc, [&] {
      tlParkedReader = true;
      result = agent().readBlocks(bn, 1, uint32_t(buf));
    });
    bool parked = waitFor([] { return machine::fault_injected_count() > 0; });
    const uint64_t mark = logMark();
    writeBlock(bn, 1, 1);
    if (keptFirst) writeBlock(bn + 1, 1, 2);
    waitIdle(b);
    machine::fault_fail_always(machine::Fault::bio, false);
    reader.join();
    ASSERT_TRUE(parked) << "the read never reached its disk read";
    ASSERT_EQ((u32)stateCacheExhausted, agent().state().state);
    EXPECT_EQ(keptFirst ? 1u : 0u, cacheContents(b).count(bn));

    std::vector<uint8_t> got(blockSize_);
    ASSERT_EQ(0, agent().readMapped(uint32_t(buf), got.data(), blockSize_));
    if (result == 0) {
      EXPECT_TRUE(got == truth) << "a read answering 0 delivered the overwritten contents";
    }
    EXPECT_EQ(velErrInvalid, result.load()) << "the session failed during the read";
    EXPECT_EQ(1, logCount("ioctlReadBlocks: state (10) not valid", mark));
    ASSERT_EQ(0, machine::sys_munmap(agent().proc, uint32_t(buf), 4096));
    closeAndExpectBalanced();
  }
};

TEST_F(ReadOverlappingFailureTest, ABlockWhoseCopyWasKeptBeforeTheFailureFailsTheRead) { readAcrossAFailure(true); }

TEST_F(ReadOverlappingFailureTest, ABlockOverwrittenUncapturedByTheFailureFailsTheRead) { readAcrossAFailure(false); }

}  // namespace
}  // namespace velloc_test
