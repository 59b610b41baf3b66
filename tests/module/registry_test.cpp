// The request-queue registry: which function a disk's queue runs, which devices are
// intercepted through it, and when the disk's own function comes back.
#include "automap_helpers.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace velloc_test {
namespace {

constexpr int kRounds = 1000;  // registration rounds of the race test

// A make-request function of the test's own: counts and passes the bio to the real one.
std::atomic<int> passCalls{0};
int passMRF(request_queue_t* q, struct bio* bio) {
  passCalls++;
  return getRealMRF(q)(q, bio);
}

int devCount(QueueList* node) {
  int n = 0;
  struct list_head* pos;
  list_for_each(pos, &node->devList) ++n;
  return n;
}

class RegistryTest : public TwoPartitionFixture {};

// Two partitions of one disk share its queue: the first registration remembers the disk's
// own function, the second only adds its device; the function comes back only when the
// last partition's automap is closed.
TEST_F(RegistryTest, TwoPartitionsShareOneQueue) {
  TestSession s1(disk.part(1)), s2(disk.part(2));
  request_queue_t* q = s1.queue();
  ASSERT_NE(nullptr, q);
  ASSERT_EQ(q, s2.queue());
  make_request_fn* own = q->make_request_fn;
  EXPECT_EQ(own, getRealMRF(q)) << "an unregistered queue's current function is its real one";

  AutoMapSession* a1 = s1.track();
  ASSERT_NE(nullptr, a1);
  EXPECT_EQ(&velAMRF, q->make_request_fn);
  ASSERT_NE(nullptr, registryNode(q));
  EXPECT_EQ(own, registryNode(q)->realMRF);
  EXPECT_EQ(1, isInQueueList(q, s1.kdev()));
  EXPECT_EQ(0, isInQueueList(q, s2.kdev()));

  AutoMapSession* a2 = s2.track();
  ASSERT_NE(nullptr, a2);
  EXPECT_EQ(1u, registrySize());
  EXPECT_EQ(own, registryNode(q)->realMRF);
  EXPECT_EQ(own, getRealMRF(q));
  EXPECT_EQ(2, devCount(registryNode(q)));
  EXPECT_EQ(2, countQueueAMS(q));

  // Each partition's writes land in its own automap, at partition-relative blocks.
  ASSERT_EQ(0, writeDev(disk.part(1), 5 * 1024, 1024, 0x11));
  ASSERT_EQ(0, writeDev(disk.part(2), 7 * 1024, 2048, 0x22));
  EXPECT_EQ((std::set<uint32_t>{5}), setBlocks(a1));
  EXPECT_EQ((std::set<uint32_t>{7, 8}), setBlocks(a2));

  EXPECT_EQ(0, closeAMS(s1.b));
  EXPECT_EQ(nullptr, s1.slot());
  EXPECT_EQ(&velAMRF, q->make_request_fn) << "the second partition is still tracked";
  EXPECT_EQ(0, isInQueueList(q, s1.kdev()));
  EXPECT_EQ(1, isInQueueList(q, s2.kdev()));
  EXPECT_EQ(own, getRealMRF(q));
  ASSERT_EQ(0, writeDev(disk.part(2), 100 * 1024, 1024, 0x23));
  EXPECT_EQ((std::set<uint32_t>{7, 8, 100}), setBlocks(a2));

  EXPECT_EQ(0, closeAMS(s2.b));
  EXPECT_EQ(own, q->make_request_fn) << "the disk's own function is back";
  EXPECT_EQ(nullptr, registryNode(q));
  EXPECT_EQ(0, countQueueAMS(q));
  EXPECT_EQ(own, getRealMRF(q));
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));

  // Writes went to the disk all along.
  uint8_t got[1024];
  ASSERT_EQ(0, machine::disk_pread(disk.disk, (disk.start(2) + 200) * 512, got, sizeof(got)));
  EXPECT_EQ(0x23, got[0]);
}

// Replacing one module function by another changes only the function: the remembered real
// function and the device list stay, and a device is never listed twice.
TEST_F(RegistryTest, SwitchingFunctionKeepsRealFunctionAndDevices) {
  TestSession s1(disk.part(1)), s2(disk.part(2));
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;

  ASSERT_EQ(0, setMRF(s1.b, &velAMRF));
  ASSERT_EQ(0, setMRF(s1.b, &passMRF));
  EXPECT_EQ(&passMRF, q->make_request_fn);
  EXPECT_EQ(own, registryNode(q)->realMRF);
  EXPECT_EQ(1, devCount(registryNode(q)));

  passCalls = 0;
  ASSERT_EQ(0, writeDev(disk.part(1), 0, 4096, 0x31));
  EXPECT_GE(passCalls.load(), 1);

  ASSERT_EQ(0, setMRF(s2.b, &passMRF));
  ASSERT_EQ(0, setMRF(s1.b, &velAMRF));
  EXPECT_EQ(&velAMRF, q->make_request_fn);
  EXPECT_EQ(2, devCount(registryNode(q)));
  EXPECT_EQ(own, registryNode(q)->realMRF);

  // A second registration of a listed device adds nothing and leaks nothing.
  int64_t kmallocs = machine::live(machine::Obj::kmalloc);
  addQueueToList(q, s2.kdev());
  EXPECT_EQ(2, devCount(registryNode(q)));
  EXPECT_EQ(kmallocs, machine::live(machine::Obj::kmalloc));

  unSetMRFDEV(&s1.b->diskInfo);
  EXPECT_EQ(&velAMRF, q->make_request_fn);
  EXPECT_EQ(1, devCount(registryNode(q)));
  unSetMRFDEV(&s2.b->diskInfo);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(nullptr, registryNode(q));

  // Unsetting a device whose queue is not registered changes nothing.
  unSetMRFDEV(&s2.b->diskInfo);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(0u, registrySize());
}

// Dropping a queue marks the automaps of all its devices out of sync (also partitions other
// than the caller's) and puts the disk's function back; other disks are untouched.
TEST_F(RegistryTest, DroppingQueueStopsEveryAutomapOnIt) {
  TestDisk other = attachDisk(16 << 20);
  mount(other.whole, 1024);
  TestSession s1(disk.part(1)), s2(disk.part(2)), s3(other.whole);
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;
  AutoMapSession* a1 = s1.track();
  AutoMapSession* a2 = s2.track();
  AutoMapSession* a3 = s3.track();

  unsetQueueMRFAMS(q);
  EXPECT_EQ(amsNotInSync, a1->state);
  EXPECT_EQ(amsNotInSync, a2->state);
  EXPECT_EQ(amsInSync, a3->state);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(nullptr, registryNode(q));
  EXPECT_EQ(&velAMRF, s3.queue()->make_request_fn);
  EXPECT_EQ(a1, s1.slot()) << "dropping the queue does not close automaps";

  ASSERT_EQ(0, writeDev(disk.part(1), 0, 1024, 0x41));
  EXPECT_TRUE(setBlocks(a1).empty());

  EXPECT_EQ(0, closeAMS(s1.b));
  EXPECT_EQ(0, closeAMS(s2.b));
  EXPECT_EQ(0, closeAMS(s3.b));
  EXPECT_EQ(0u, registrySize());
}

// Null queues, unknown devices and devices without a queue are reported and change nothing.
TEST_F(RegistryTest, NullAndUnknownInputsChangeNothing) {
  uint64_t mark = logMark();
  EXPECT_EQ(nullptr, getRealMRF(nullptr));
  EXPECT_EQ(0, countQueueAMS(nullptr));
  unsetQueueMRFAMS(nullptr);
  addQueueToList(nullptr, disk.part(1));
  EXPECT_EQ(0, isInQueueList(nullptr, disk.part(1)));
  EXPECT_EQ(0, isInDevList(nullptr, disk.part(1)));
  DevList spare{};
  EXPECT_EQ(0, addDevToList(nullptr, disk.part(1), &spare));
  EXPECT_TRUE(logInOrder({"getRealMRF: Can't get MRF on NULL queue.",
                          "countQueueAMS: Could not count ams sessions for request queue because queue was null.",
                          "unsetQueueMRFAMS: Could not unset MRFS for request queue because queue was null.",
                          "addQueueToList: Could not add queue to list (null)."},
                         mark))
      << machine::log_dmesg(mark);
  for (const machine::LogRecord& r : machine::log_records(mark)) {
    if (r.text.rfind("getRealMRF", 0) == 0) { EXPECT_EQ(4, r.level); }
    if (r.text.rfind("countQueueAMS", 0) == 0) { EXPECT_EQ(3, r.level); }
  }
  EXPECT_EQ(0u, registrySize());

  // A queue that was never registered.
  TestSession s1(disk.part(1));
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;
  EXPECT_EQ(0, countQueueAMS(q));
  EXPECT_EQ(0, isInQueueList(q, s1.kdev()));
  unSetMRFDEV(&s1.b->diskInfo);
  unsetQueueMRFAMS(q);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(0u, registrySize());

  // A device without a request queue (a number no disk owns).
  TestSession ghost(disk.part(1));
  closeDiskInfo(&ghost.b->diskInfo);
  ghost.b->diskInfo.kdev = MKDEV(200, 7);
  ghost.b->diskInfo.bdev = bdget(MKDEV(200, 7));
  EXPECT_EQ(1, setMRF(ghost.b, &velAMRF));
  mark = logMark();
  unSetMRFDEV(&ghost.b->diskInfo);
  EXPECT_EQ(1, logCount("unSetMRFDEV: Unable to get request queue for MAJOR=200, MINOR=7 while unsetting MRF.", mark))
      << machine::log_dmesg(mark);
  unSetMRFDEV(nullptr);
  EXPECT_EQ(0u, registrySize());
  EXPECT_EQ(own, q->make_request_fn);
}

// Writers race with readers: every bio through velAMRF asks the registry for the real
// function while other threads register, unregister and drop the queue. A queue left
// running a module function without a registry node would answer the module's own function
// as its real one and recurse; every write must reach the disk.
TEST_F(RegistryTest, RegistrationRacesWithInterceptedWrites) {
  TestSession s1(disk.part(1)), s2(disk.part(2));
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};

  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      uint32_t dev = disk.part(1 + t % 2);
      std::vector<uint8_t> buf(2048), got(2048);
      for (int i = 0; !stop.load(); ++i) {
        uint64_t off = (uint64_t)(t * 1300 + i % 1200) * 1024;  // a region of its own
        std::fill(buf.begin(), buf.end(), static_cast<uint8_t>(t * 31 + i));
        if (machine::blk_write(dev, off, buf.data(), buf.size()) != 0) failures++;
        if (machine::blk_read(dev, off, got.data(), got.size()) != 0 || got != buf) failures++;
      }
    });
  }
  std::thread registerer([&] {
    for (int i = 0; i < kRounds; ++i) {
      setMRF(s1.b, &velAMRF);
      setMRF(s1.b, &velAMRF);  // already listed: only the function is set
      unSetMRFDEV(&s1.b->diskInfo);
    }
  });
  std::thread dropper([&] {
    for (int i = 0; i < kRounds; ++i) {
      setMRF(s2.b, &velAMRF);
      unsetQueueMRFAMS(q);
    }
  });
  registerer.join();
  dropper.join();
  stop = true;
  for (auto& w : writers) w.join();

  EXPECT_EQ(0, failures.load());
  unsetQueueMRFAMS(q);
  EXPECT_EQ(own, q->make_request_fn);
  EXPECT_EQ(0u, registrySize());
  EXPECT_EQ(1, atomic_read(&queueListUsers));
}

// The moment between registering a device and swapping the function: a queue dropped right
// then must not be left running the module's function without a registry node (its "real"
// function would then be the module's own). The test holds the queue's lock so that the
// swap waits at exactly that point while the queue is dropped.
TEST_F(RegistryTest, SwapCannotOutliveDroppedQueue) {
  TestSession s1(disk.part(1));
  request_queue_t* q = s1.queue();
  make_request_fn* own = q->make_request_fn;
  for (int round = 0; round < 12; ++round) {
    ASSERT_EQ(0, setMRF(s1.b, &velAMRF));  // registered: the next setMRF only swaps
    unsigned long flags;
    spin_lock_irqsave(q->queue_lock, flags);
    std::thread swapper([&] { setMRF(s1.b, &velAMRF); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::thread dropper([&] { unsetQueueMRFAMS(q); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    spin_unlock_irqrestore(q->queue_lock, flags);
    swapper.join();
    dropper.join();

    QueueList* node = registryNode(q);
    if (q->make_request_fn == &velAMRF) {
      ASSERT_NE(nullptr, node) << "round " << round << ": velAMRF installed on an unregistered queue";
      EXPECT_EQ(own, node->realMRF);
    } else {
      EXPECT_EQ(own, q->make_request_fn);
      EXPECT_EQ(nullptr, node);
    }
    ASSERT_EQ(0, writeDev(disk.part(1), 0, 1024, static_cast<uint8_t>(round)));
    unsetQueueMRFAMS(q);
    ASSERT_EQ(own, q->make_request_fn);
  }
}

}  // namespace
}  // namespace velloc_test
