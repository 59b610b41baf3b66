// The two commands that give the agent what change tracking knows: the automap's state,
// size and key, and the changed-block map handed to a session.
#include "automap_helpers.h"

#include <atomic>
#include <thread>

namespace velloc_test {
namespace {

constexpr uint64_t kPartSectors = 16384;  // 8192 blocks of 1024 bytes

template <class T>
T* userPtr(uint32_t addr) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(addr));
}

class AutomapIoctlTest : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    disk = attachDisk(32ull << 20, {{2048, kPartSectors}, {2048 + kPartSectors, kPartSectors}});
    mount(disk.part(1), 1024);
  }
  // Agent memory of len bytes filled with 0xA5.
  uint32_t filled(size_t len) {
    uint32_t a = agent().alloc(len);
    std::vector<uint8_t> f(len, 0xA5);
    agent().write(a, f.data(), len);
    return a;
  }
  TestDisk disk;
};

// Through the device: a fresh handle reads slot [0][0] and gets an all-zero record.
TEST_F(AutomapIoctlTest, FreshHandleGetsZeroRecord) {
  AutoMapState out;
  ASSERT_EQ(0, agent().getAutoMapState(&out));
  AutoMapState zero{};
  EXPECT_EQ(0, std::memcmp(&zero, &out, sizeof(out)));
}

// Through the device: a started session's handle sees its device's automap.
TEST_F(AutomapIoctlTest, StartedHandleSeesItsAutomap) {
  uint32_t dev = disk.part(1);
  ASSERT_EQ(0, agent().startBackup(dev, 8192, 64));
  TestSession s(dev);
  AutoMapSession* ams = s.track();
  for (int i = 0; i < VEL_KEY_LEN; ++i) ams->sessionKey.key[i] = static_cast<uint8_t>(i * 7 + 1);
  AutoMapState out;
  ASSERT_EQ(0, agent().getAutoMapState(&out));
  EXPECT_EQ(majorOf(dev), out.major);
  EXPECT_EQ(minorOf(dev), out.minor);
  EXPECT_EQ(1u, out.state);
  EXPECT_EQ(8192u, out.mapLen);
  EXPECT_EQ(1024u, out.mapSize);
  EXPECT_EQ(0, std::memcmp(&ams->sessionKey, &out.amsKey, VEL_KEY_LEN));
  closeAllAMS();
}

// The state record: fields of the automap, partial stores, and a store that fails.
TEST_F(AutomapIoctlTest, StateRecordLengthsAndFailedStore) {
  TestSession s(disk.part(1), 32769);
  AutoMapSession* ams = nullptr;
  ASSERT_EQ(0, newAMS(s.b, &ams));
  std::memset(ams->sessionKey.key, 0x3C, VEL_KEY_LEN);

  uint32_t a = filled(sizeof(AutoMapState));
  ASSERT_EQ(0, ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), sizeof(AutoMapState)));
  AutoMapState out = agent().fetch<AutoMapState>(a);
  EXPECT_EQ(majorOf(s.kdev()), out.major);
  EXPECT_EQ(minorOf(s.kdev()), out.minor);
  EXPECT_EQ(0u, out.state);
  EXPECT_EQ(32769u, out.mapLen);
  EXPECT_EQ(4097u, out.mapSize);
  EXPECT_EQ(0x3C, out.amsKey.key[0]);
  EXPECT_EQ(0x3C, out.amsKey.key[VEL_KEY_LEN - 1]);
  EXPECT_EQ(1, atomic_read(&ams->users)) << "the reference is dropped";

  // 12 bytes: major, minor, state only.
  a = filled(sizeof(AutoMapState));
  ASSERT_EQ(0, ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), 12));
  out = agent().fetch<AutoMapState>(a);
  EXPECT_EQ(minorOf(s.kdev()), out.minor);
  EXPECT_EQ(0xA5A5A5A5u, out.mapLen);

  a = filled(sizeof(AutoMapState));
  ASSERT_EQ(0, ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), 0));
  EXPECT_EQ(0xA5A5A5A5u, agent().fetch<AutoMapState>(a).major);

  uint64_t mark = logMark();
  a = agent().allocEndingAtHole(10);
  EXPECT_EQ(7, ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), 200));
  EXPECT_EQ(1, logCount("ioctlGetAutoMapState: copy to user space failed", mark));

  EXPECT_EQ(0, closeAMS(s.b));
  a = filled(sizeof(AutoMapState));
  ASSERT_EQ(0, ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), sizeof(AutoMapState)));
  AutoMapState zero{};
  out = agent().fetch<AutoMapState>(a);
  EXPECT_EQ(0, std::memcmp(&zero, &out, sizeof(out))) << "no automap: all zero";
}

// The change map as an incremental snapshot leaves it in the session.
class ChangeMapTest : public AutomapIoctlTest {
 protected:
  void SetUp() override {
    AutomapIoctlTest::SetUp();
    s = std::make_unique<TestSession>(disk.part(1));
    s->b->state = stateSnapshotComplete;
    unsigned int pages = 0;
    ASSERT_EQ(0, newBlockMap(&s->b->blockMap, 32769, nullptr, 1, &pages));
    atomic_add(pages, &s->b->totalAllocPages);
    atomic_add(pages, &s->b->curAllocPages);
    for (uint32_t n : {0u, 9u, 32767u, 32768u}) setBlock(&s->b->blockMap, n);
  }
  void TearDown() override {
    s.reset();
    AutomapIoctlTest::TearDown();
  }
  long get(uint32_t addr, uint32_t mapLen) {
    UserBlockMap ubm{addr, mapLen};
    return ioctlGetAutoMap(s->b, &ubm);
  }
  std::unique_ptr<TestSession> s;
};

// 32769 blocks: one full page and one byte are stored, in the agent's bit layout; the map is
// then released, and asking again answers 2.
TEST_F(ChangeMapTest, StoresExactBytesThenReleasesMap) {
  uint32_t a = filled(4097 + 16);
  int curPages = atomic_read(&s->b->curAllocPages);
  ASSERT_EQ(0, get(a, 32769));
  std::vector<uint8_t> got(4097 + 16);
  agent().read(a, got.data(), got.size());
  EXPECT_EQ(0x01, got[0]);
  EXPECT_EQ(0x02, got[1]);
  EXPECT_EQ(0x80, got[4095]);
  EXPECT_EQ(0x01, got[4096]);
  for (size_t i = 2; i < 4095; ++i) ASSERT_EQ(0, got[i]) << i;
  for (size_t i = 4097; i < got.size(); ++i) ASSERT_EQ(0xA5, got[i]) << "byte " << i << " is not the map's";
  EXPECT_EQ(nullptr, s->b->blockMap.map);
  EXPECT_EQ(curPages - 2, atomic_read(&s->b->curAllocPages));

  uint64_t mark = logMark();
  EXPECT_EQ(2, get(a, 32769));
  EXPECT_EQ(1, logCount("ioctlGetAutoMap: backup error automap is NULL", mark));
}

// Wrong state, wrong size and a failed store answer errors and keep the map for a
// corrected call.
TEST_F(ChangeMapTest, RefusalsKeepTheMap) {
  uint32_t a = filled(4097);
  uint64_t mark = logMark();
  EXPECT_EQ(2, get(a, 32768));
  EXPECT_EQ(1, logCount("ioctlGetAutoMap: backup error map size mismatch kernel map size=32769 user map size=32768",
                        mark));

  s->b->state = stateMapLoaded;
  mark = logMark();
  EXPECT_EQ(2, get(a, 32769));
  EXPECT_EQ(1, logCount("ioctlGetAutoMap: backup error map not loaded", mark));
  s->b->state = stateSnapshotComplete;

  uint32_t holed = agent().allocEndingAtHole(4096);  // the second page's byte is not writable
  mark = logMark();
  EXPECT_EQ(7, get(holed, 32769));
  EXPECT_EQ(1, logCount("bytesCopied=1 bytesInMap=4097", mark)) << machine::log_dmesg(mark);
  EXPECT_NE(nullptr, s->b->blockMap.map);

  ASSERT_EQ(0, get(a, 32769));
  EXPECT_EQ(0x01, agent().fetch<uint8_t>(a + 4096));
}

// The state query races with automaps being created and closed on the same device: the
// reference protocol keeps every record it reads alive.
TEST_F(AutomapIoctlTest, StateQueryRacesWithClose) {
  TestSession s(disk.part(1));
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    machine::Process* p = newProcess("reader");
    readers.push_back(runInProcess(p, [&, p] {
      uint32_t a = machine::user_alloc(p, sizeof(AutoMapState));
      while (!stop.load()) {
        if (ioctlGetAutoMapState(s.b, userPtr<AutoMapState>(a), sizeof(AutoMapState)) != 0) bad++;
        AutoMapState out{};
        machine::user_read(p, a, &out, sizeof(out));
        if (out.mapLen != 0 && out.mapLen != s.numBlocks()) bad++;
      }
    }));
  }
  for (int i = 0; i < 200; ++i) {
    AutoMapSession* ams = nullptr;
    ASSERT_EQ(0, newAMS(s.b, &ams));
    EXPECT_EQ(0, closeAMS(s.b));
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
}

}  // namespace
}  // namespace velloc_test
