// The change-tracking session table: creation, closing one or all, errors, devices that
// have no slot, writes beyond a map, and the references and pins that keep a record alive.
#include "automap_helpers.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace velloc_test {
namespace {


class AutomapTest : public TwoPartitionFixture {};

// A new automap is all clear, not in sync, unreferenced, and its pages are counted; closing
// gives everything back, and a second close finds nothing.
TEST_F(AutomapTest, NewAutomapIsClearAndCountedUntilClosed) {
  TestSession s(disk.part(1), 32769);  // two bitmap pages, the second with one byte
  int64_t bdevs = machine::live(machine::Obj::block_device);
  AutoMapSession* ams = nullptr;
  ASSERT_EQ(0, newAMS(s.b, &ams));
  ASSERT_NE(nullptr, ams);
  EXPECT_EQ(ams, s.slot());
  EXPECT_EQ(32769u, ams->map.size);
  EXPECT_EQ(4097u, ams->map.numBytes);
  EXPECT_EQ(amsNotInSync, ams->state);
  EXPECT_EQ(1, atomic_read(&ams->users));
  EXPECT_EQ(0, atomic_read(&ams->snapshotPins));
  EXPECT_EQ(nullptr, ams->next);
  EXPECT_EQ(s.kdev(), ams->diskInfo.kdev);
  EXPECT_TRUE(setBlocks(ams).empty());
  EXPECT_EQ(bitmapPages(32769), atomic_read(&curAllocAMPages));

  EXPECT_EQ(0, closeAMS(s.b));
  EXPECT_EQ(nullptr, s.slot());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(bdevs, machine::live(machine::Obj::block_device)) << "the automap's device reference is given back";
  EXPECT_EQ(2, closeAMS(s.b));
}

// errorAMS with another automap on the queue: only the failing device goes out of sync and
// velAMRF stays so the other one keeps following writes.
TEST_F(AutomapTest, ErrorWithAnotherAutomapOnQueueKeepsTracking) {
  TestSession s1(disk.part(1)), s2(disk.part(2));
  request_queue_t* q = s1.queue();
  AutoMapSession* a1 = s1.track();
  AutoMapSession* a2 = s2.track();

  errorAMS(s1.b);
  EXPECT_EQ(amsNotInSync, a1->state);
  EXPECT_EQ(amsInSync, a2->state);
  EXPECT_EQ(&velAMRF, q->make_request_fn);

  ASSERT_EQ(0, writeDev(disk.part(1), 3 * 1024, 1024, 1));
  ASSERT_EQ(0, writeDev(disk.part(2), 4 * 1024, 1024, 2));
  EXPECT_TRUE(setBlocks(a1).empty()) << "an automap out of sync records nothing";
  EXPECT_EQ((std::set<uint32_t>{4}), setBlocks(a2));

  closeAllAMS();
}

// errorAMS with no other automap on the queue gives the disk its own function back. A device
// without an automap of its own keeps velAMRF for the one automap of its neighbour.
TEST_F(AutomapTest, ErrorWithoutAnotherAutomapRestoresQueue) {
  TestSession s1(disk.part(1)), s2(disk.part(2));
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;
  AutoMapSession* a1 = s1.track();

  ASSERT_EQ(0, setMRF(s2.b, &velAMRF));  // a backup on partition 2 without an automap
  errorAMS(s2.b);
  EXPECT_EQ(amsInSync, a1->state);
  EXPECT_EQ(&velAMRF, q->make_request_fn);

  errorAMS(s1.b);
  EXPECT_EQ(amsNotInSync, a1->state);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(nullptr, registryNode(q));
  EXPECT_EQ(a1, s1.slot()) << "the automap stays until a snapshot or shutdown closes it";
  EXPECT_EQ(0, closeAMS(s1.b));
}

// errorAMSDEV marks every automap of the device's queue and no other.
TEST_F(AutomapTest, ErrorOfDeviceMarksEveryAutomapOfItsQueue) {
  TestDisk other = attachDisk(16 << 20);
  mount(other.whole, 1024);
  TestSession s1(disk.part(1)), s2(disk.part(2)), s3(other.whole);
  AutoMapSession* a1 = s1.track();
  AutoMapSession* a2 = s2.track();
  AutoMapSession* a3 = s3.track();

  errorAMSDEV(MKDEV(200, 3));  // on no queue: nothing
  EXPECT_EQ(amsInSync, a1->state);
  errorAMSDEV(s2.kdev());
  EXPECT_EQ(amsNotInSync, a1->state);
  EXPECT_EQ(amsNotInSync, a2->state);
  EXPECT_EQ(amsInSync, a3->state);
  EXPECT_EQ(&velAMRF, s1.queue()->make_request_fn) << "errorAMSDEV only marks";
  closeAllAMS();
}

// closeAllAMS empties every slot, gives back every bitmap page and every queue's function.
TEST_F(AutomapTest, CloseAllEmptiesEverySlot) {
  TestDisk other = attachDisk(16 << 20);
  mount(other.whole, 4096);
  TestSession s1(disk.part(1)), s2(disk.part(2)), s3(other.whole);
  make_request_fn* own1 = s1.queue()->make_request_fn;
  make_request_fn* own3 = s3.queue()->make_request_fn;
  s1.track();
  s2.track()->state = amsNotInSync;
  s3.track();
  EXPECT_GT(atomic_read(&curAllocAMPages), 0);

  closeAllAMS();
  EXPECT_TRUE(amListEmpty());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(own1, s1.queue()->make_request_fn);
  EXPECT_EQ(own3, s3.queue()->make_request_fn);
  EXPECT_EQ(0u, registrySize());
  EXPECT_EQ(1, atomic_read(&amListUsers));
}

// Automaps left at module unload are closed by it and their queues restored.
TEST_F(AutomapTest, UnloadClosesEveryAutomap) {
  make_request_fn* own;
  {
    TestSession s1(disk.part(1)), s2(disk.part(2));
    own = s1.queue()->make_request_fn;
    s1.track();
    s2.track();
  }
  ASSERT_EQ(0, agent().close());
  unloadModule();
  EXPECT_TRUE(amListEmpty());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(0u, registrySize());
  TestSession probe(disk.part(1));
  EXPECT_EQ(own, probe.queue()->make_request_fn);
}

// A device whose minor is 256 has no slot: it is refused change tracking, nothing reads or
// writes past the table (slot [8][256] would be [9][0]), and its writes pass untouched.
TEST_F(AutomapTest, MinorAbove255IsRefusedAndItsWritesPass) {
  machine::DiskOptions o;
  o.major = 8;
  o.first_minor = 253;  // partitions 254, 255, 256
  o.name = "sdx";
  TestDisk big = attachDisk(kDiskBytes, {{2048, 8192}, {2048 + 8192, 8192}, {2048 + 16384, 8192}}, o);
  ASSERT_EQ(256u, minorOf(big.part(3)));
  machine::DiskOptions o9;
  o9.major = 9;
  o9.first_minor = 0;
  o9.name = "sdy";
  TestDisk alias = attachDisk(16 << 20, {}, o9);  // whole disk 9:0
  mount(big.part(2), 1024);
  mount(big.part(3), 1024);
  mount(alias.whole, 1024);

  TestSession s255(big.part(2)), s256(big.part(3)), s9(alias.whole);
  AutoMapSession* sentinel = s9.track();
  AutoMapSession* a255 = s255.track();
  ASSERT_EQ(sentinel, amList[9][0]);

  uint64_t mark = logMark();
  int64_t kmallocs = machine::live(machine::Obj::kmalloc);
  int pages = atomic_read(&curAllocAMPages);
  AutoMapSession* refused = nullptr;
  EXPECT_NE(0, newAMS(s256.b, &refused));
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(1, logCount("newAMS: device major=8 minor=256 has no automap slot", mark)) << machine::log_dmesg(mark);
  EXPECT_EQ(sentinel, amList[9][0]);
  EXPECT_EQ(kmallocs, machine::live(machine::Obj::kmalloc));
  EXPECT_EQ(pages, atomic_read(&curAllocAMPages));
  EXPECT_EQ(2, closeAMS(s256.b));
  EXPECT_EQ(sentinel, amList[9][0]);

  // A backup of the partition would still register it on the queue.
  ASSERT_EQ(0, setMRF(s256.b, &velAMRF));
  request_queue_t* q = s256.queue();
  EXPECT_EQ(1, countQueueAMS(q)) << "only the partition with a slot counts";

  std::vector<uint8_t> data(4096, 0x5A), got(4096);
  ASSERT_EQ(0, machine::blk_write(big.part(3), 10 * 1024, data.data(), data.size()));
  ASSERT_EQ(0, machine::disk_pread(big.disk, big.start(3) * 512 + 10 * 1024, got.data(), got.size()));
  EXPECT_EQ(data, got);
  EXPECT_TRUE(setBlocks(sentinel).empty());
  EXPECT_TRUE(setBlocks(a255).empty());

  errorAMSDEV(s256.kdev());
  EXPECT_EQ(amsNotInSync, a255->state) << "its neighbour on the queue";
  EXPECT_EQ(amsInSync, sentinel->state);
  errorAMS(s256.b);
  unsetQueueMRFAMS(q);
  EXPECT_EQ(amsInSync, sentinel->state);
  closeAllAMS();
}

// A zero block size is reported and nothing is created.
TEST_F(AutomapTest, ZeroBlockSizeCreatesNothing) {
  TestSession s(disk.part(1));
  s.b->diskInfo.blockSize = 0;
  int64_t kmallocs = machine::live(machine::Obj::kmalloc);
  int64_t pages = machine::live(machine::Obj::page);
  int64_t bdevs = machine::live(machine::Obj::block_device);
  uint64_t mark = logMark();
  AutoMapSession* ams = nullptr;
  EXPECT_NE(0, newAMS(s.b, &ams));
  EXPECT_EQ(nullptr, ams);
  EXPECT_EQ(nullptr, s.slot());
  EXPECT_EQ(1, logCount("newAMS: Blocksize set to 0 when making automap", mark));
  for (const machine::LogRecord& r : machine::log_records(mark))
    if (r.text.find("Blocksize set to 0") != std::string::npos) { EXPECT_EQ(2, r.level); }
  EXPECT_EQ(kmallocs, machine::live(machine::Obj::kmalloc));
  EXPECT_EQ(pages, machine::live(machine::Obj::page));
  EXPECT_EQ(bdevs, machine::live(machine::Obj::block_device));
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
}

// A write running past the end of a tracked map (the partition grew): the blocks inside are
// set, the automap goes out of sync with one warning per block beyond, the write reaches the
// disk, and later writes are not recorded or warned about.
TEST_F(AutomapTest, WritePastEndOfMapGoesOutOfSync) {
  uint32_t partBlocks = static_cast<uint32_t>(kPartSectors / 2);
  TestSession s(disk.part(1), partBlocks - 3);
  AutoMapSession* ams = s.track();

  uint64_t mark = logMark();
  std::vector<uint8_t> data(5 * 1024, 0x77), got(5 * 1024);
  ASSERT_EQ(0, machine::blk_write(disk.part(1), (uint64_t)(partBlocks - 5) * 1024, data.data(), data.size()));
  EXPECT_EQ(amsNotInSync, ams->state);
  EXPECT_EQ((std::set<uint32_t>{partBlocks - 5, partBlocks - 4}), setBlocks(ams));
  EXPECT_EQ(3, logCount("automap not in sync", mark)) << machine::log_dmesg(mark);
  for (uint32_t b = partBlocks - 3; b < partBlocks; ++b) {
    std::string line = "updateAM: device resize detected (block " + std::to_string(b) + " in size " +
                       std::to_string(partBlocks - 3) + ") in automap update, automap not in sync";
    EXPECT_EQ(1, logCount(line, mark)) << line;
  }
  ASSERT_EQ(0, machine::disk_pread(disk.disk, disk.start(1) * 512 + (uint64_t)(partBlocks - 5) * 1024, got.data(),
                                   got.size()));
  EXPECT_EQ(data, got);

  mark = logMark();
  ASSERT_EQ(0, writeDev(disk.part(1), (uint64_t)(partBlocks - 1) * 1024, 1024, 0x78));
  ASSERT_EQ(0, writeDev(disk.part(1), 0, 1024, 0x78));
  EXPECT_EQ(0, logCount("automap not in sync", mark));
  EXPECT_EQ((std::set<uint32_t>{partBlocks - 5, partBlocks - 4}), setBlocks(ams));
  EXPECT_EQ(0, closeAMS(s.b));
}

// Closing an automap whose device has lost its queue: the line is logged, the registry is
// left alone for it, and the record is still freed.
TEST_F(AutomapTest, CloseWhenQueueDisappeared) {
  TestSession s(disk.part(1));
  AutoMapSession* ams = s.track();
  request_queue_t* q = s.queue();
  // The disk behind the automap's device is gone: its block device has no disk any more.
  bdput(ams->diskInfo.bdev);
  ams->diskInfo.bdev = bdget(MKDEV(200, 1));
  ams->diskInfo.kdev = s.kdev();

  uint64_t mark = logMark();
  EXPECT_EQ(0, closeAMS(s.b));
  std::string line = "unSetMRFDEV: Unable to get request queue for MAJOR=" + std::to_string(majorOf(s.kdev())) +
                     ", MINOR=" + std::to_string(minorOf(s.kdev())) + " while unsetting MRF.";
  EXPECT_EQ(1, logCount(line, mark)) << machine::log_dmesg(mark);
  EXPECT_EQ(nullptr, s.slot());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(1, isInQueueList(q, s.kdev())) << "registry untouched for that device";
  unsetQueueMRFAMS(q);
}

// A running snapshot's pin keeps the automap alive while another handle's shutdown closes
// every automap: the shutdown empties the slot, then waits for the pin before freeing.
TEST_F(AutomapTest, ShutdownWaitsForSnapshotPin) {
  TestSession s(disk.part(1));
  s.track();
  AutoMapSession* ams = getAMS(s.kdev());
  ASSERT_NE(nullptr, ams);
  pinAMS(ams);
  putAMS(ams);  // from here only the pin keeps it

  std::atomic<bool> done{false};
  auto shutdown = std::async(std::launch::async, [&] {
    closeAllAMS();
    done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s.slot() != nullptr && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(nullptr, s.slot());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load()) << "the record was freed under the pin";

  // What the snapshot's switch does with the record it pinned.
  unsigned long flags;
  waitForAMSUsers(ams, &flags);
  setAMSState(ams, amsInSync);
  spin_unlock_irqrestore(&ams->usersLock, flags);
  EXPECT_EQ(0, setBlock(&ams->map, 3));
  unpinAMS(ams);

  ASSERT_EQ(std::future_status::ready, shutdown.wait_for(std::chrono::seconds(10)));
  EXPECT_TRUE(done.load());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
}

// A reference taken by the reference protocol holds off closeAMS until it is dropped.
TEST_F(AutomapTest, CloseWaitsForReferences) {
  TestSession s(disk.part(1));
  s.track();
  AutoMapSession* ams = getAMS(s.kdev());
  ASSERT_NE(nullptr, ams);
  EXPECT_EQ(2, atomic_read(&ams->users));
  EXPECT_EQ(nullptr, getAMS(MKDEV(8, 300))) << "no slot, no automap";

  auto closer = std::async(std::launch::async, [&] { return closeAMS(s.b); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s.slot() != nullptr && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(std::future_status::timeout, closer.wait_for(std::chrono::milliseconds(20)));
  EXPECT_NE(0u, ams->map.size) << "record still intact";
  putAMS(ams);
  ASSERT_EQ(std::future_status::ready, closer.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(0, closer.get());
}

}  // namespace
}  // namespace velloc_test
