// Closing a handle in every state: nothing is left behind, the statistics block and
// "backup finished" are logged as they should be, the queue goes to velAMRF or back to the
// disk, the worker stops, the backup slot is given up only by its owner; closes racing the
// write path and held writes drained at close.
#include "velloc_fixture.h"
#include "backup_helpers.h"

namespace velloc_test {
namespace {

const char* const kStatsLabels[] = {
    "device: major(",          "state: ",
    "block size: ",            "partition size (KB): ",
    "file system size (blocks): ", "pages allocated for write journal: ",
    "max cache size in blocks: ", "total pages allocated: ",
    "current pages allocated: ", "total Block Requests allocated: ",
    "current Block Requests allocated: ", "total cached blocks: ",
    "current cached blocks: ",  "peak cached blocks: ",
    "total block cache data structures: ", "current block cache data structures: ",
    "total reads from disk: ",  "total reads from cache: ",
    "blocks cleaned from cache: ", "partition start (sector): ",
    "blocks per page: ",        "max buffer size in pages: ",
    "buffer pages allocated: ", "commands processed: ",
    "time to freeze in seconds: ", "time frozen in seconds: ",
};

class SessionCloseTest : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    p.disk = attachDisk(8 << 20, {{2048, 8192}});
    p.dev = p.disk.part(1);
    p.bs = 4096;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / 4096);
    p.mnt = mount(p.dev, 4096);
    real = queueFn(p.dev);
  }
  // The statistics block logged after `mark`: its 26 lines in order, or an empty list.
  std::vector<std::string> statsBlock(uint64_t mark) {
    std::vector<std::string> lines = statsLines(logTexts(mark));
    if (lines.size() != 26) return {};
    for (size_t i = 0; i < 26; ++i)
      if (lines[i].rfind(kStatsLabels[i], 0) != 0) return {};
    return lines;
  }
  std::string finished(uint32_t dev) {
    return "closeBackup: backup finished device major=" + std::to_string(majorOf(dev)) +
           " minor=" + std::to_string(minorOf(dev));
  }
  Part p;
  make_request_fn* real = nullptr;
};

TEST_F(SessionCloseTest, NeverStartedHandleLeavesNoTraceAndAnotherBackupUntouched) {
  AgentHandle idle = openHandle(agent().proc);
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  ASSERT_EQ(0, agent().snapShot());
  uint64_t mark = logMark();
  ASSERT_EQ(0, idle.close());
  EXPECT_EQ(0u, statsLines(logTexts(mark)).size());
  EXPECT_EQ(0, logCount("backup finished", mark));
  EXPECT_EQ(agent().fd >= 0, true);
  EXPECT_EQ(activeBackup() != nullptr, true) << "the running backup stays active";
  EXPECT_EQ(&velMRF, queueFn(p.dev));
  EXPECT_EQ(1, atomic_read(&busy));
}

TEST_F(SessionCloseTest, HandleRefusedWithNineLogsZeroDeviceAndLeavesTheSlot) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  AgentHandle refused = openHandle(agent().proc);
  ASSERT_EQ(velErrOtherBackupOpen, refused.startBackup(p.dev, p.blocks, p.blocks));
  uint64_t mark = logMark();
  ASSERT_EQ(0, refused.close());
  std::vector<std::string> stats = statsBlock(mark);
  ASSERT_FALSE(stats.empty()) << machine::log_dmesg(mark);
  EXPECT_EQ("device: major(0) minor(0)", stats[0]);
  EXPECT_EQ("state: 12", stats[1]);
  EXPECT_EQ(1, logCount("closeBackup: backup finished device major=0 minor=0", mark));
  EXPECT_EQ(1, logCount("countQueueAMS", mark));
  EXPECT_EQ(1, logCount("unsetQueueMRFAMS", mark));
  AgentHandle third = openHandle(agent().proc);
  EXPECT_EQ(velErrOtherBackupOpen, third.startBackup(p.dev, p.blocks, p.blocks)) << "busy stays with the owner";
}

// Close from each state the agent can leave a session in; each leaves nothing allocated
// once the module is unloaded, and the right queue function behind.
struct StateCase {
  const char* name;
  uint32_t expectState;       // the "state:" line
  bool tracking;              // velAMRF afterwards
};

class CloseInStateTest : public SessionCloseTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(CloseInStateTest, LogsTheBlockAndHandsTheQueueOver) {
  const StateCase& c = GetParam();
  std::string name = c.name;
  uint32_t total = name == "starting" ? 0 : p.blocks;
  uint32_t maxCache = name == "exhausted" ? 0 : p.blocks;
  long r = agent().startBackup(p.dev, total, maxCache);
  ASSERT_EQ(name == "starting" ? velErrInvalid : 0, r);
  int64_t buf = 0;
  if (name != "starting") {
    buf = mapBuffer(agent(), 16 * 4096);
    ASSERT_GT(buf, 0);
  }
  if (name == "snapshot" || name == "maploaded" || name == "loadfailed" || name == "exhausted") {
    ASSERT_EQ(0, agent().snapShot());
    ASSERT_EQ(0, fsFill(p, 3 * 4096, 4096, 0x9A));
    if (name != "exhausted") { ASSERT_EQ(0, agent().readBlocks(0, 8, uint32_t(buf))); }
  }
  if (name == "maploaded") { ASSERT_EQ(0, agent().loadBlockMap(bitmapOf({1, 2, 3}, p.blocks), p.blocks)); }
  if (name == "loadfailed") { ASSERT_EQ(velErrInvalid, agent().loadBlockMap({}, 0)); }
  if (name == "exhausted") { ASSERT_EQ(stateCacheExhausted, agent().state().state); }
  if (buf > 0) { ASSERT_EQ(0, agent().munmap(uint32_t(buf), 16 * 4096)); }

  int commands = activeBackup() ? atomic_read(&activeBackup()->ioctlCount) : -1;
  uint64_t mark = logMark();
  ASSERT_EQ(0, agent().close());
  std::vector<std::string> stats = statsBlock(mark);
  ASSERT_FALSE(stats.empty()) << machine::log_dmesg(mark);
  EXPECT_EQ("state: " + std::to_string(c.expectState), stats[1]);
  EXPECT_EQ("buffer pages allocated: 0", stats[22]);
  EXPECT_EQ("max buffer size in pages: 256", stats[21]);
  EXPECT_EQ("current Block Requests allocated: 0", stats[10]);
  if (commands >= 0) { EXPECT_EQ("commands processed: " + std::to_string(commands), stats[23]); }
  EXPECT_EQ(1, logCount(finished(p.dev), mark));
  EXPECT_TRUE(logInOrder({"printStats: time frozen in seconds: ", "closeBackup: backup finished"}, mark));
  EXPECT_EQ(1, logCount("backup_cache: backupd thread exiting", mark));
  EXPECT_EQ(0, backup_cachePID);
  EXPECT_EQ(nullptr, activeSession);
  EXPECT_EQ(0, atomic_read(&busy));
  EXPECT_EQ(c.tracking ? &velAMRF : real, queueFn(p.dev));
  if (name == "started" || name == "starting") {
    EXPECT_EQ("time to freeze in seconds: 0.000000000", stats[24]);
    EXPECT_EQ("time frozen in seconds: 0.000000000", stats[25]);
  }

  // The slot is free for a new backup, which starts a new worker.
  AgentHandle next = openHandle(agent().proc);
  EXPECT_EQ(0, next.startBackup(p.dev, p.blocks, p.blocks));
  EXPECT_GT(backup_cachePID, 0);
  EXPECT_EQ(0, next.close());
  unloadModule();
  EXPECT_EQ(real, queueFn(p.dev)) << "unload puts the real function back";
}

INSTANTIATE_TEST_SUITE_P(States, CloseInStateTest,
                         ::testing::Values(StateCase{"starting", stateClosing, false},
                                           StateCase{"started", stateClosing, false},
                                           StateCase{"snapshot", stateClosing, true},
                                           StateCase{"maploaded", stateClosing, true},
                                           StateCase{"loadfailed", stateMapLoadFailed, true},
                                           StateCase{"exhausted", stateCacheExhausted, false}),
                         [](const ::testing::TestParamInfo<StateCase>& i) { return std::string(i.param.name); });

TEST_F(SessionCloseTest, StatisticsCountWhatTheSessionDid) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, 77));
  int64_t buf = mapBuffer(agent(), 256 * 4096);
  ASSERT_GT(buf, 0);
  ASSERT_EQ(0, agent().snapShot());
  for (uint32_t n : {2u, 3u, 4u}) ASSERT_EQ(0, fsFill(p, n * 4096, 4096, 0x31));
  // The worker marks a captured block after passing its write on; let it finish so the
  // read takes blocks 2-4 from the cache without the re-check.
  for (int i = 0; i < 2000 && atomic_read(&activeBackup()->mrInQueue) > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(0, agent().readBlocks(0, 10, uint32_t(buf)));
  ASSERT_EQ(0, agent().munmap(uint32_t(buf), 256 * 4096));
  uint64_t mark = logMark();
  ASSERT_EQ(0, agent().close());
  std::vector<std::string> s = statsBlock(mark);
  ASSERT_FALSE(s.empty()) << machine::log_dmesg(mark);
  EXPECT_EQ("device: major(" + std::to_string(majorOf(p.dev)) + ") minor(" + std::to_string(minorOf(p.dev)) + ")",
            s[0]);
  EXPECT_EQ("block size: 4096", s[2]);
  EXPECT_EQ("partition size (KB): 4096", s[3]);
  EXPECT_EQ("file system size (blocks): 1024", s[4]);
  EXPECT_EQ("pages allocated for write journal: 1", s[5]);
  EXPECT_EQ("max cache size in blocks: 77", s[6]);
  EXPECT_EQ("current pages allocated: 0", s[8]);
  EXPECT_EQ("total cached blocks: 3", s[11]);
  EXPECT_EQ("current cached blocks: 0", s[12]);
  EXPECT_EQ("peak cached blocks: 3", s[13]);
  EXPECT_EQ("total reads from disk: 7", s[16]);
  EXPECT_EQ("total reads from cache: 3", s[17]);
  EXPECT_EQ("partition start (sector): 2048", s[19]);
  EXPECT_EQ("blocks per page: 1", s[20]);
  // 1 cache-map page + 256 buffer pages + 3 capture pages; 7 disk reads + 3 captures.
  EXPECT_EQ("total pages allocated: 260", s[7]);
  EXPECT_EQ("total Block Requests allocated: 10", s[9]);
}

TEST_F(SessionCloseTest, PrintStatsFormatsEachLine) {
  Stats st{};
  st.major = 8;
  st.minor = 1;
  st.state = 7;
  st.blockSize = 1024;
  st.eTimeToFreeze = {1, 500000000};
  st.eTimeFrozen = {0, 42};
  uint64_t mark = logMark();
  printStats(&st);
  std::vector<std::string> lines = statsLines(logTexts(mark));
  ASSERT_EQ(26u, lines.size());
  EXPECT_EQ("device: major(8) minor(1)", lines[0]);
  EXPECT_EQ("block size: 1024", lines[2]);
  EXPECT_EQ("time to freeze in seconds: 1.500000000", lines[24]);
  EXPECT_EQ("time frozen in seconds: 0.000000042", lines[25]);
  for (const machine::LogRecord& r : machine::log_records(mark)) EXPECT_EQ(6, r.level);
}

// Writes keep coming while the handle closes: the held ones are all passed on before the
// worker stops, none is lost, and interceptions that found the session before it was
// withdrawn never touch a freed record.
TEST_F(SessionCloseTest, ClosingUnderWritesDrainsAndNeverFreesARecordInUse) {
  AMSessionKey key{};
  for (int round = 0; round < 6; ++round) {
    Writers w(p, 3, 100 + round, 0);
    AgentHandle h = openHandle(agent().proc);
    ASSERT_EQ(0, h.startBackup(p.dev, p.blocks, p.blocks));
    ASSERT_EQ(0, h.snapShot(&key));
    ASSERT_EQ(stateSnapshotComplete, h.state().state);
    key = autoMapState(h).amsKey;
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + round));
    uint64_t mark = logMark();
    ASSERT_EQ(0, h.close());
    EXPECT_EQ(0, logCount("backup_cache thread died", mark));
    w.stop();
    EXPECT_EQ(0, w.failures());
    EXPECT_EQ(nullptr, activeSession);
    EXPECT_EQ(&velAMRF, queueFn(p.dev));
  }
}

TEST_F(SessionCloseTest, FailedStatsRecordStillLogsBackupFinished) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  uint64_t mark = logMark();
  // The close's allocations: the statistics record is its only kmalloc.
  machine::fault_fail_nth(machine::Fault::kmalloc, 1);
  ASSERT_EQ(0, agent().close());
  machine::fault_reset();
  EXPECT_EQ(0u, statsLines(logTexts(mark)).size());
  EXPECT_EQ(1, logCount(finished(p.dev), mark));
}

}  // namespace
}  // namespace velloc_test
