// Closing a session while writes are being intercepted: an interception that found the
// session and waits for its writers lock must still find the record valid, whatever order
// it and the close get the lock in; writes racing the close all complete.
#include "cow_helpers.h"

namespace velloc_test {
namespace {

class CowCloseRaceTest : public CowFixture {};

TEST_F(CowCloseRaceTest, AnInterceptionWaitingForWritersOutlivesTheClose) {
  makePartition();
  for (int round = 0; round < 6; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    machine::Process* p = newProcess("closer");
    AgentHandle h = openHandle(p);
    std::thread starter = runInProcess(p, [&] { EXPECT_EQ(0, h.startBackup(dev_, blocks_, 100)); });
    starter.join();
    Backup* b = session();
    ASSERT_NE(nullptr, b);
    ASSERT_EQ(0, setMRF(b, velMRF));
    // This thread counts itself as a user of the record like an interception does: its
    // up_write below may still be touching the lock when the close gets it.
    atomic_inc(&b->mrfUsers);
    down_write(&b->writers);
    velSetState(b, stateSnapshotComplete);

    // The interception counts itself and then waits for writers, which we hold.
    std::atomic<bool> written{false};
    std::thread writer([&] {
      writeBlock(200 + round, 1, round);
      written = true;
    });
    ASSERT_TRUE(waitFor([&] { return atomic_read(&b->mrfUsers) == 2; }));
    // The close queues up for writers behind it (odd rounds: before we let go).
    std::atomic<bool> closed{false};
    std::thread closer = runInProcess(p, [&] {
      EXPECT_EQ(0, h.close());
      closed = true;
    });
    if (round % 2) {
      EXPECT_TRUE(waitFor([&] { return __atomic_load_n(&b->writers.waiting_writers, __ATOMIC_SEQ_CST) == 1; }));
    }
    up_write(&b->writers);
    // Leave as an interception does: wake a waiting close under mrLock.
    if (atomic_dec_return(&b->mrfUsers) == VEL_MRF_CLOSE_BIAS) {
      unsigned long flags;
      spin_lock_irqsave(&b->mrLock, flags);
      wake_up(&b->mrfUsersWait);
      spin_unlock_irqrestore(&b->mrLock, flags);
    }
    closer.join();
    writer.join();
    EXPECT_TRUE(closed && written);
    EXPECT_EQ(round + 1, logCount("closeBackup: backup finished device major="));
  }
}

// The worker fails the session (no room for a captured block) just after the close has read
// the working state it is about to end: the statistics must still name the error.
TEST_F(CowCloseRaceTest, AnErrorOfTheWorkerDuringTheCloseIsTheStateItEndsIn) {
  makePartition();
  machine::Process* p = newProcess("closer");
  AgentHandle h = openHandle(p);
  std::thread starter = runInProcess(p, [&] { EXPECT_EQ(0, h.startBackup(dev_, blocks_, 0)); });
  starter.join();
  protect(false);
  Backup* b = session();
  ASSERT_NE(nullptr, b);

  // Each side reaches its change of the state word; the worker waits there until the close
  // has reached its own, the close until the worker has made its change.
  std::atomic<bool> workerAtState{false}, closeAtState{false};
  machine::set_point_hook([&](const machine::PointEvent& e) {
    if (e.kind != machine::Point::atomic_rmw || e.object != &b->state) return;
    if (std::string(e.task) == VEL_KTHREAD_NAME) {
      workerAtState = true;
      waitFor([&] { return closeAtState.load(); });
    } else if (workerAtState) {
      closeAtState = true;
      waitFor([&] { return velGetState(b) != stateSnapshotComplete; });
    }
  });
  std::thread writer([&] { writeBlock(7, 1, 1); });
  ASSERT_TRUE(waitFor([&] { return workerAtState.load(); }));
  std::thread closer = runInProcess(p, [&] { EXPECT_EQ(0, h.close()); });
  closer.join();
  writer.join();
  machine::set_point_hook(nullptr);
  EXPECT_TRUE(closeAtState);
  EXPECT_EQ(1, logCount("getCacheBlock: configured max cache memory reached (0 blocks)"));
  EXPECT_EQ((long)stateCacheExhausted, lastStat("state: "));
}

TEST_F(CowCloseRaceTest, WritesRacingTheCloseAllComplete) {
  makePartition();
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    machine::Process* p = newProcess("closer");
    AgentHandle h = openHandle(p);
    std::thread starter = runInProcess(p, [&] { EXPECT_EQ(0, h.startBackup(dev_, blocks_, blocks_)); });
    starter.join();
    protect(false);
    std::atomic<bool> stop{false};
    std::atomic<int> done{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++)
      writers.emplace_back([&, t] {
        std::mt19937 rng(round * 10 + t);
        std::vector<uint8_t> buf(2 * blockSize_, (uint8_t)t);
        while (!stop) {
          unsigned bn = rng() % (blocks_ - 2);
          EXPECT_EQ(1, rawBio(dev_, (uint64_t)bn * blockSize_, buf.data(), buf.size(), (rng() % 3) ? WRITE : READ));
          done++;
        }
      });
    ASSERT_TRUE(waitFor([&] { return done.load() > 20; }));
    std::thread closer = runInProcess(p, [&] { EXPECT_EQ(0, h.close()); });
    closer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop = true;
    for (auto& th : writers) th.join();
    EXPECT_EQ(nullptr, session());
    EXPECT_EQ(0, atomic_read(&busy));
  }
}

}  // namespace
}  // namespace velloc_test
