// The snapshot command as the agent drives it: states, keys of any length, the fate of the
// device's change tracking (kept and handed over, replaced, dropped, mismatched, resized),
// a file system that will not freeze, the timings, the sync command; and two hazards of the
// window between drawing the key and the switch: a kept change map that goes out of sync,
// and another handle's shutdown.
#include "velloc_fixture.h"
#include "backup_helpers.h"

namespace velloc_test {
namespace {

class SnapshotTest : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    p.disk = attachDisk(8 << 20, {{2048, 8192}});
    p.dev = p.disk.part(1);
    p.bs = 4096;
    p.blocks = uint32_t(p.disk.sectors(1) * 512 / 4096);
    p.mnt = mount(p.dev, 4096);
  }
  // A first (full) backup on the default handle that writes `during` after its snapshot,
  // is closed, and is followed by writes of `between`. Returns the key to present next.
  AMSessionKey trackedBackup(const std::set<uint32_t>& during, const std::set<uint32_t>& between) {
    AMSessionKey key{};
    EXPECT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
    EXPECT_EQ(0, agent().snapShot());
    AutoMapState s = autoMapState(agent());
    EXPECT_EQ(amsInSync, s.state);
    key = s.amsKey;
    for (uint32_t n : during) EXPECT_EQ(0, fsFill(p, uint64_t(n) * 4096, 4096, 0xC1));
    EXPECT_EQ(0, agent().close());
    EXPECT_EQ(&velAMRF, queueFn(p.dev)) << "change tracking goes on between backups";
    for (uint32_t n : between) EXPECT_EQ(0, fsFill(p, uint64_t(n) * 4096, 4096, 0xC2));
    return key;
  }
  AgentHandle second() {
    AgentHandle h = openHandle(agent().proc);
    EXPECT_EQ(0, h.startBackup(p.dev, p.blocks, p.blocks));
    return h;
  }
  Part p;
};

TEST_F(SnapshotTest, OnlyAStartedSessionTakesOneSnapshot) {
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().snapShot());
  EXPECT_EQ(0u, logTexts(mark).size()) << "no log line for the wrong state";
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  ASSERT_EQ(0, agent().snapShot());
  EXPECT_EQ(stateSnapshotComplete, agent().state().state);
  EXPECT_EQ(velErrInvalid, agent().snapShot());
  EXPECT_EQ(&velMRF, queueFn(p.dev));
}

TEST_F(SnapshotTest, UnreadableKeyIsRefusedAndTheCommandCanBeRepeated) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  uint32_t key = agent().allocEndingAtHole(20);
  SnapShot rec{key, 56};
  uint64_t mark = logMark();
  EXPECT_EQ(velErrCopyFromUser, agent().ioctlRecord(doSnapShot, &rec, sizeof(rec)));
  EXPECT_EQ(1, logCount("ioctlSnapShot: copy from user space failed", mark));
  EXPECT_EQ(stateStarted, agent().state().state);
  rec.len = 20;
  EXPECT_EQ(0, agent().ioctlRecord(doSnapShot, &rec, sizeof(rec))) << "only the readable 20 bytes are asked for";
}

TEST_F(SnapshotTest, IncrementalSnapshotHandsOverEveryBlockWrittenSinceTheLast) {
  std::set<uint32_t> during = {3, 100, 1023}, between = {5, 100, 700};
  AMSessionKey key = trackedBackup(during, between);
  AgentHandle h = second();
  ASSERT_EQ(0, h.snapShot(&key, 200)) << "a key length above 56 reads 56 bytes";
  EXPECT_EQ(stateSnapshotComplete, h.state().state);
  AutoMapState s = autoMapState(h);
  EXPECT_EQ(amsInSync, s.state);
  EXPECT_EQ(p.blocks, s.mapLen);
  EXPECT_NE(0, std::memcmp(&key, &s.amsKey, sizeof key)) << "a new key is drawn";

  Bytes map;
  ASSERT_EQ(0, h.getAutoMap(&map, s.mapLen, s.mapSize));
  std::set<uint32_t> want = during;
  want.insert(between.begin(), between.end());
  EXPECT_EQ(want, bitsOf(map, p.blocks));
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, h.getAutoMap(&map, s.mapLen, s.mapSize));
  EXPECT_EQ(1, logCount("ioctlGetAutoMap: backup error automap is NULL", mark));

  // The automap continues from an all-clear map: only writes after this switch show next time.
  ASSERT_EQ(0, fsFill(p, 9 * 4096, 4096, 0xC3));
  ASSERT_EQ(0, h.close());
  AgentHandle h3 = second();
  ASSERT_EQ(0, h3.snapShot(&s.amsKey));
  ASSERT_EQ(0, h3.getAutoMap(&map, s.mapLen, s.mapSize));
  EXPECT_EQ(std::set<uint32_t>({9}), bitsOf(map, p.blocks));
}

// A task that holds the disk's bd_mutex and writes (the last close of a block device writes
// back under it) passes both intercepting functions without their taking the mutex again:
// each write is tracked and nothing is flagged as a re-entry.
TEST_F(SnapshotTest, WritesUnderTheDisksBdMutexAreTrackedWithoutReenteringIt) {
  struct block_device* whole = bdget(p.disk.whole);
  auto writeUnderBdMutex = [&](uint32_t block, uint8_t fill) {
    mutex_lock(&whole->bd_mutex);
    EXPECT_EQ(0, fsFill(p, uint64_t(block) * 4096, 4096, fill));
    mutex_unlock(&whole->bd_mutex);
  };
  AMSessionKey key = trackedBackup({}, {});
  writeUnderBdMutex(5, 0xB1);  // between backups
  AgentHandle h = second();
  ASSERT_EQ(0, h.snapShot(&key));
  writeUnderBdMutex(9, 0xB2);  // during the backup
  Bytes map;
  AutoMapState s = autoMapState(h);
  ASSERT_EQ(0, h.getAutoMap(&map, s.mapLen, s.mapSize));
  EXPECT_EQ(std::set<uint32_t>({5}), bitsOf(map, p.blocks));
  EXPECT_EQ(0, logCount("re-enters it"));
  EXPECT_EQ(0, machine::kernel_bug_count());
  bdput(whole);
}

TEST_F(SnapshotTest, KeyMismatchChangesNothing) {
  AMSessionKey key = trackedBackup({}, {42});
  AgentHandle h = second();
  struct {
    AMSessionKey k;
    uint32_t len;
  } wrong[] = {{key, 0}, {key, 56}, {key, 10}};
  wrong[1].k.key[30] ^= 1;  // one bit off; length 0 compares an all-zero key, 10 a zero tail
  for (auto& w : wrong) {
    uint64_t mark = logMark();
    EXPECT_EQ(0, h.snapShot(&w.k, w.len)) << w.len;
    EXPECT_EQ(1, logCount("ioctlSnapShot: session key mismatch", mark));
    EXPECT_EQ(0, logCount("Going to freez", mark));
    EXPECT_EQ(stateStarted, h.state().state);
    EXPECT_EQ(&velAMRF, queueFn(p.dev)) << "velMRF is not installed";
    AutoMapState s = autoMapState(h);
    EXPECT_EQ(amsInSync, s.state);
    EXPECT_EQ(0, std::memcmp(&key, &s.amsKey, sizeof key)) << "the automap keeps its key";
  }
  ASSERT_EQ(0, h.snapShot(&key));
  Bytes map;
  ASSERT_EQ(0, h.getAutoMap(&map, p.blocks, (p.blocks + 7) / 8));
  EXPECT_EQ(std::set<uint32_t>({42}), bitsOf(map, p.blocks)) << "and its bits";
}

TEST_F(SnapshotTest, NoLoadReplacesTheAutomapAndTheBackupIsFull) {
  AMSessionKey key = trackedBackup({1}, {2});
  AgentHandle h = second();
  ASSERT_EQ(0, h.noLoadFromAutoMap());
  ASSERT_EQ(0, h.snapShot(&key));
  AutoMapState s = autoMapState(h);
  EXPECT_EQ(amsInSync, s.state);
  EXPECT_NE(0, std::memcmp(&key, &s.amsKey, sizeof key));
  Bytes map;
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, h.getAutoMap(&map, s.mapLen, s.mapSize));
  EXPECT_EQ(1, logCount("automap is NULL", mark));
  EXPECT_EQ(1, atomic_read(&curAllocAMPages)) << "one automap's bitmap, the old one freed";
}

TEST_F(SnapshotTest, NoStartDropsChangeTrackingAndTheQueueIsRestoredAtClose) {
  make_request_fn* real = queueFn(p.dev);
  AMSessionKey key = trackedBackup({1}, {2});
  AgentHandle h = second();
  ASSERT_EQ(0, h.noStartAutoMap());
  ASSERT_EQ(0, h.snapShot(&key));
  EXPECT_EQ(stateSnapshotComplete, h.state().state);
  AutoMapState s = autoMapState(h);
  EXPECT_EQ(0u, s.state);
  EXPECT_EQ(0u, s.mapLen);
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  ASSERT_EQ(0, h.close());
  EXPECT_EQ(real, queueFn(p.dev));
}

TEST_F(SnapshotTest, ResizedDeviceGetsAFreshAutomap) {
  AMSessionKey key = trackedBackup({1}, {2});
  AgentHandle h = openHandle(agent().proc);
  ASSERT_EQ(0, h.startBackup(p.dev, p.blocks - 24, p.blocks));
  uint64_t mark = logMark();
  ASSERT_EQ(0, h.snapShot(&key));
  EXPECT_EQ(1, logCount("ioctlSnapShot: device resize detected, device has (1000) blocks and automap has (1024), "
                        "resetting automap",
                        mark));
  AutoMapState s = autoMapState(h);
  EXPECT_EQ(amsInSync, s.state);
  EXPECT_EQ(1000u, s.mapLen);
  Bytes map;
  EXPECT_EQ(velErrInvalid, h.getAutoMap(&map, 1000, 125));
}

TEST_F(SnapshotTest, UnfreezableFileSystemFailsAfterInstallingTheInterception) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  machine::fs_set_unfreezable(p.mnt, true);
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, agent().snapShot());
  EXPECT_TRUE(logInOrder({"ioctlSnapShot: Going to freez: " + std::to_string(majorOf(p.dev)) + "." +
                              std::to_string(minorOf(p.dev)),
                          "ioctlSnapShot: freeze_bdev could not freeze the device."},
                         mark));
  EXPECT_EQ(stateStarted, agent().state().state);
  EXPECT_EQ(&velMRF, queueFn(p.dev));
  EXPECT_FALSE(machine::fs_frozen(p.mnt));
  ASSERT_EQ(0, fsFill(p, 0, 4096, 1)) << "writes pass while the session is not yet switched";
  machine::fs_set_unfreezable(p.mnt, false);
  EXPECT_EQ(0, agent().snapShot());
  EXPECT_EQ(stateSnapshotComplete, agent().state().state);
}

TEST_F(SnapshotTest, AFailedIncrementalSnapshotGivesItsChangeMapBackAndLosesNoTrackedWrite) {
  AMSessionKey key = trackedBackup({}, {5, 6});
  // Retried with the key the device holds now, the snapshot is incremental and its map has
  // every write since the last one; retried without it, it is full and hands out no map.
  for (bool withKey : {true, false}) {
    SCOPED_TRACE(withKey ? "retried with the key" : "retried without the key");
    AgentHandle h = second();
    machine::fs_set_unfreezable(p.mnt, true);
    EXPECT_EQ(velErrInvalid, h.snapShot(&key));
    machine::fs_set_unfreezable(p.mnt, false);
    ASSERT_EQ(stateStarted, h.state().state);
    ASSERT_EQ(0, fsFill(p, 7 * 4096, 4096, 0xC4));
    if (!withKey) {
      ASSERT_EQ(0, h.noLoadFromAutoMap());
    }
    AMSessionKey now = autoMapState(h).amsKey;  // a failed snapshot may have drawn a new key
    ASSERT_EQ(0, h.snapShot(&now));
    ASSERT_EQ(stateSnapshotComplete, h.state().state);
    Bytes map;
    if (withKey) {
      ASSERT_EQ(0, h.getAutoMap(&map, p.blocks, (p.blocks + 7) / 8));
      EXPECT_EQ(std::set<uint32_t>({5, 6, 7}), bitsOf(map, p.blocks));
    } else {
      EXPECT_EQ(velErrInvalid, h.getAutoMap(&map, p.blocks, (p.blocks + 7) / 8)) << "a full snapshot has no change map";
    }
    key = autoMapState(h).amsKey;
    uint64_t mark = logMark();
    ASSERT_EQ(0, h.close());
    EXPECT_EQ(1, logCount("current pages allocated: 0", mark)) << "the failed attempt's map was given back";
  }
}

TEST_F(SnapshotTest, DeviceWithoutQueueIsRefusedBeforeTheFreeze) {
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  Backup* b = activeBackup();
  request_queue_t* q = b->diskInfo.bdev->bd_disk->queue;
  b->diskInfo.bdev->bd_disk->queue = nullptr;
  uint64_t mark = logMark();
  long r = agent().snapShot();
  b->diskInfo.bdev->bd_disk->queue = q;
  EXPECT_EQ(velErrInvalid, r);
  EXPECT_EQ(1, logCount("ioctlSnapShot: device major=" + std::to_string(majorOf(p.dev)) +
                            " minor=" + std::to_string(minorOf(p.dev)) + " not valid",
                        mark));
  EXPECT_EQ(0, logCount("Going to freez", mark));
  EXPECT_EQ(stateStarted, agent().state().state);
}

TEST_F(SnapshotTest, TimeDifferenceBorrowsASecond) {
  struct timespec a{5, 900000000}, b{7, 100000000};
  struct timespec d = calcTimeDiff(&a, &b);
  EXPECT_EQ(1, d.tv_sec);
  EXPECT_EQ(200000000, d.tv_nsec);
  struct timespec c{7, 100000000};
  d = calcTimeDiff(&b, &c);
  EXPECT_EQ(0, d.tv_sec);
  EXPECT_EQ(0, d.tv_nsec);
}

// The sync writes back what the file system held dirty on the session's partition. An idle
// handle has no partition: it answers 0 and writes nothing.
TEST_F(SnapshotTest, SyncWritesBackWhatTheFileSystemHeldOnTheSessionsPartition) {
  auto delayed = [&](uint32_t block, uint8_t fill) {
    Bytes data(4096, fill);
    EXPECT_EQ(0, machine::fs_write_delayed(p.mnt, uint64_t(block) * 4096, data.data(), data.size()));
  };
  auto onDisk = [&](uint32_t block, uint8_t fill) { return blockOf(partitionBytes(p), 4096, block) == Bytes(4096, fill); };
  delayed(5, 0xE1);
  EXPECT_EQ(0, agent().sync());
  EXPECT_FALSE(onDisk(5, 0xE1)) << "no partition on an idle handle";
  ASSERT_EQ(0, agent().startBackup(p.dev, p.blocks, p.blocks));
  EXPECT_EQ(0, agent().sync());
  EXPECT_TRUE(onDisk(5, 0xE1));
  ASSERT_EQ(0, agent().snapShot());
  delayed(6, 0xE2);
  EXPECT_FALSE(onDisk(6, 0xE2));
  EXPECT_EQ(0, agent().sync());
  EXPECT_TRUE(onDisk(6, 0xE2)) << "written back through the interception";
}

// A kept automap that misses a write before the switch (a block beyond its size, written
// while the file system is frozen by something that does not go through it) must not hand
// the agent an all-clear change map: the agent finds none and backs up in full, while the
// snapshot still protects every block.
TEST_F(SnapshotTest, KeptAutomapOutOfSyncAtTheSwitchGivesNoChangeMap) {
  const uint32_t tracked = p.blocks - 64;
  ASSERT_EQ(0, agent().startBackup(p.dev, tracked, p.blocks));
  ASSERT_EQ(0, agent().snapShot());
  AMSessionKey key = autoMapState(agent()).amsKey;
  ASSERT_EQ(0, agent().close());
  ASSERT_EQ(0, fsFill(p, 7 * 4096, 4096, 0xD1));

  struct Ctx {
    const Part* p;
    int rc = -1;
  } ctx{&p};
  machine::fs_set_freeze_hook(
      p.mnt,
      [](void* c) {
        auto* x = static_cast<Ctx*>(c);
        Bytes beyond(4096, 0xD2);
        x->rc = machine::blk_write(x->p->dev, uint64_t(x->p->blocks - 10) * 4096, beyond.data(), beyond.size());
      },
      &ctx);
  AgentHandle h = openHandle(agent().proc);
  ASSERT_EQ(0, h.startBackup(p.dev, tracked, p.blocks));
  int64_t buf = mapBuffer(h, 256 * 4096);
  ASSERT_GT(buf, 0);
  ASSERT_EQ(0, h.snapShot(&key));
  machine::fs_set_freeze_hook(p.mnt, nullptr, nullptr);
  ASSERT_EQ(0, ctx.rc);
  EXPECT_EQ(stateSnapshotComplete, h.state().state);

  Bytes map;
  uint64_t mark = logMark();
  EXPECT_EQ(velErrInvalid, h.getAutoMap(&map, tracked, (tracked + 7) / 8));
  EXPECT_EQ(1, logCount("ioctlGetAutoMap: backup error automap is NULL", mark));
  EXPECT_EQ(0u, autoMapState(h).state) << "the out-of-sync automap is closed";

  Bytes truth = partitionBytes(p);
  ASSERT_EQ(0, fsFill(p, 8 * 4096, 4096, 0xD3));
  EXPECT_EQ(&velMRF, queueFn(p.dev)) << "the interception is back in place";
  Bytes got(4096);
  ASSERT_EQ(0, h.readBlocks(8, 1, uint32_t(buf)));
  ASSERT_EQ(0, h.readMapped(uint32_t(buf), got.data(), got.size()));
  EXPECT_EQ(blockOf(truth, 4096, 8), got) << "copy-on-write protects the snapshot";
}

// Another handle's shutdown while a snapshot is between drawing the key and the switch:
// the automap the snapshot is about to use must not be freed under it.
TEST_F(SnapshotTest, ShutdownDuringTheSnapshotWindowWaitsForTheSwitch) {
  AMSessionKey key = trackedBackup({4}, {6});
  machine::Process* other = newProcess("other");
  struct Ctx {
    VellocFixture* fx;
    machine::Process* other;
    AgentHandle oh;
    std::thread t;
    std::atomic<bool> done{false};
  } ctx{this, other, openHandle(other), {}, {}};
  machine::fs_set_freeze_hook(
      p.mnt,
      [](void* c) {
        auto* x = static_cast<Ctx*>(c);
        x->t = std::thread([x] {
          machine::process_enter(x->other);
          EXPECT_EQ(0, x->oh.unload());
          x->done = true;
          machine::process_leave();
        });
        // Give the shutdown time to take the automap out of the table and reach its wait.
        for (int i = 0; i < 50 && !x->done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      &ctx);
  AgentHandle h = second();
  ASSERT_EQ(0, h.snapShot(&key));
  machine::fs_set_freeze_hook(p.mnt, nullptr, nullptr);
  ctx.t.join();
  EXPECT_TRUE(ctx.done);
  EXPECT_EQ(stateSnapshotComplete, h.state().state);
  Bytes map;
  EXPECT_EQ(0, h.getAutoMap(&map, p.blocks, (p.blocks + 7) / 8)) << "the exchange took place before the automap went";
  EXPECT_EQ(std::set<uint32_t>({4, 6}), bitsOf(map, p.blocks));
  EXPECT_EQ(0u, autoMapState(h).state) << "change tracking was dropped by the shutdown";
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
}

}  // namespace
}  // namespace velloc_test
