// No lost bit: many threads write random ranges to two tracked partitions of one disk while
// their automaps are created and closed over and over. For every automap, at the moment it
// is checked, every block of every write that began after it was in sync and ended before
// the check is set, and no block is set that no write since its creation touched.
#include "automap_helpers.h"

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace velloc_test {
namespace {

constexpr uint64_t kPartSectors = 16384;  // 8192 blocks of 1024 bytes
constexpr uint32_t kBlocks = kPartSectors / 2;

// The truth about one partition's current automap, kept by the test.
struct Oracle {
  std::mutex mu;
  uint64_t gen = 0;            // automaps made so far
  bool open = false;           // the current automap is in sync and not yet being checked
  std::multimap<uint64_t, std::pair<uint32_t, uint32_t>> inflight;  // write id -> blocks
  std::vector<bool> attempted = std::vector<bool>(kBlocks);  // touched by a write since creation
  std::vector<bool> expected = std::vector<bool>(kBlocks);   // written entirely while in sync
};

class AutomapStressTest : public VellocFixture {
 protected:
  void SetUp() override {
    VellocFixture::SetUp();
    disk = attachDisk(32ull << 20, {{2048, kPartSectors}, {2048 + kPartSectors, kPartSectors}});
    mount(disk.part(1), 1024);
    mount(disk.part(2), 1024);
  }
  TestDisk disk;
};

TEST_F(AutomapStressTest, NoLostBitWhileAutomapsComeAndGo) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  TestSession s1(disk.part(1)), s2(disk.part(2));
  TestSession* sessions[2] = {&s1, &s2};
  Oracle oracles[2];
  std::atomic<int> writersLeft{4};
  std::atomic<int> failures{0};
  std::atomic<int> cycles[2] = {0, 0};
  std::atomic<uint64_t> nextId{1};

  auto writer = [&](int t) {
    std::mt19937_64 rng(seed + t);
    std::vector<uint8_t> buf(64 * 512, static_cast<uint8_t>(t));
    for (int i = 0; i < 400; ++i) {
      int p = rng() % 2;
      uint64_t sector = rng() % kPartSectors;
      uint64_t sectors = 1 + rng() % 64;
      if (sector + sectors > kPartSectors) sectors = kPartSectors - sector;
      uint32_t first = static_cast<uint32_t>(sector / 2), last = static_cast<uint32_t>((sector + sectors - 1) / 2);
      Oracle& o = oracles[p];
      uint64_t id = nextId++, gen;
      bool wasOpen;
      {
        std::lock_guard<std::mutex> g(o.mu);
        gen = o.gen;
        wasOpen = o.open;
        o.inflight.emplace(id, std::make_pair(first, last));
        for (uint32_t b = first; b <= last; ++b) o.attempted[b] = true;
      }
      if (machine::blk_write(sessions[p]->kdev(), sector * 512, buf.data(), sectors * 512) != 0) failures++;
      {
        std::lock_guard<std::mutex> g(o.mu);
        o.inflight.erase(id);
        if (wasOpen && o.open && o.gen == gen)
          for (uint32_t b = first; b <= last; ++b) o.expected[b] = true;
      }
    }
    writersLeft--;
  };

  auto controller = [&](int p) {
    std::mt19937_64 rng(seed + 100 + p);
    Oracle& o = oracles[p];
    TestSession& s = *sessions[p];
    while (writersLeft.load() > 0 || cycles[p].load() < 5) {
      AutoMapSession* ams = nullptr;
      if (newAMS(s.b, &ams) != 0 || setMRF(s.b, &velAMRF) != 0) {
        failures++;
        return;
      }
      {
        std::lock_guard<std::mutex> g(o.mu);
        o.gen++;
        o.open = true;
        std::fill(o.attempted.begin(), o.attempted.end(), false);
        std::fill(o.expected.begin(), o.expected.end(), false);
        for (auto& [id, r] : o.inflight)
          for (uint32_t b = r.first; b <= r.second; ++b) o.attempted[b] = true;
        setAMSState(ams, amsInSync);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
      std::vector<bool> expected;
      {
        std::lock_guard<std::mutex> g(o.mu);
        o.open = false;
        expected = o.expected;
      }
      std::set<uint32_t> bits = setBlocks(ams);
      std::vector<bool> attempted;
      {
        std::lock_guard<std::mutex> g(o.mu);
        attempted = o.attempted;
      }
      for (uint32_t b = 0; b < kBlocks; ++b)
        if (expected[b] && !bits.count(b)) {
          ADD_FAILURE() << "partition " << p + 1 << " lost block " << b << " in cycle " << cycles[p].load();
          break;
        }
      for (uint32_t b : bits)
        if (!attempted[b]) {
          ADD_FAILURE() << "partition " << p + 1 << " block " << b << " set but never written";
          break;
        }
      if (closeAMS(s.b) != 0) failures++;
      cycles[p]++;
    }
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(writer, t);
  for (int p = 0; p < 2; ++p) threads.emplace_back(controller, p);
  for (auto& t : threads) t.join();

  EXPECT_EQ(0, failures.load());
  EXPECT_GE(cycles[0].load(), 5);
  EXPECT_TRUE(amListEmpty());
  EXPECT_EQ(0, atomic_read(&curAllocAMPages));
  EXPECT_EQ(0u, registrySize()) << "the last close put the disk's own function back";
}

}  // namespace
}  // namespace velloc_test
