// Mounted file systems: writers through the mount, freeze and thaw, super-block
// references.
#include "block_test_util.h"

using namespace blktest;

namespace {

// Holds write bios on the submitting thread while `hold` is set, so a file-system write
// can be caught in flight.
std::atomic<bool> g_hold{false};
std::atomic<int> g_held_writes{0};
make_request_fn* g_real_mrf = nullptr;
int holding_mrf(request_queue_t* q, struct bio* bio) {
  if (bio_data_dir(bio) == WRITE) {
    g_held_writes++;
    wait_for([] { return !g_hold.load(); }, 10000);
  }
  return g_real_mrf(q, bio);
}

class Freeze : public MountedPartitionTest {
 protected:
  std::vector<unsigned char> disk_bytes(uint64_t part_off, size_t len) {
    std::vector<unsigned char> v(len);
    machine::disk_pread(d_, 2048 * 512 + part_off, v.data(), len);
    return v;
  }
};

struct HookState {
  std::atomic<int> calls{0};
  std::vector<unsigned char> seen;
  machine::Disk* d;
};
void record_hook(void* ctx) {
  auto* h = static_cast<HookState*>(ctx);
  h->seen.resize(8192);
  machine::disk_pread(h->d, 2048 * 512, h->seen.data(), 8192);
  h->calls++;
}

TEST_F(Freeze, HoldsNewWritersWaitsForInFlightAndThawReleasesThem) {
  Bdev p1(dev_);
  request_queue_t* q = bdev_get_queue(p1);
  g_real_mrf = q->make_request_fn;
  blk_queue_make_request(q, holding_mrf);
  HookState hook;
  hook.d = d_;
  machine::fs_set_freeze_hook(m_, record_hook, &hook);

  std::vector<unsigned char> a(4096, 0xA1), b(4096, 0xB2);
  g_hold = true;
  g_held_writes = 0;
  std::atomic<int> w1_done{0}, w2_done{0}, froze{0};
  std::thread w1([&] { EXPECT_EQ(machine::fs_write(m_, 0, a.data(), 4096), 0); w1_done = 1; });
  ASSERT_TRUE(wait_for([] { return g_held_writes.load() == 1; }));  // w1 is in flight

  struct super_block* sb = nullptr;
  std::thread freezer([&] { sb = freeze_bdev(p1); froze = 1; });
  ASSERT_TRUE(wait_for([&] { return machine::fs_frozen(m_); }));
  std::thread w2([&] { EXPECT_EQ(machine::fs_write(m_, 4096, b.data(), 4096), 0); w2_done = 1; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(froze.load(), 0);  // the freeze waits for w1
  EXPECT_EQ(w2_done.load(), 0);
  EXPECT_EQ(g_held_writes.load(), 1);  // w2 never reached the queue

  g_hold = false;
  ASSERT_TRUE(wait_for([&] { return froze.load() == 1; }));
  freezer.join();
  w1.join();
  EXPECT_EQ(w1_done.load(), 1);
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(sb->s_blocksize, 4096u);
  EXPECT_NE(sb->s_frozen, 0);
  EXPECT_EQ(hook.calls.load(), 1);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), hook.seen.begin()));   // w1 finished before the hook
  EXPECT_FALSE(std::equal(b.begin(), b.end(), hook.seen.begin() + 4096));  // w2 had not started
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(w2_done.load(), 0);

  // Thaw from another thread than the one that froze.
  std::thread thawer([&] { thaw_bdev(p1, sb); });
  thawer.join();
  ASSERT_TRUE(wait_for([&] { return w2_done.load() == 1; }));
  w2.join();
  EXPECT_FALSE(machine::fs_frozen(m_));
  EXPECT_EQ(disk_bytes(4096, 4096), b);
  blk_queue_make_request(q, g_real_mrf);
}

TEST_F(Freeze, NothingToFreezeGivesNullAndThawReleasesTheClaim) {
  Bdev whole(machine::disk_dev(d_));  // nothing is mounted on the whole disk
  EXPECT_EQ(get_super(whole), nullptr);
  for (int i = 0; i < 2; i++) {  // a second freeze would block if the first kept its claim
    EXPECT_EQ(freeze_bdev(whole), nullptr);
    thaw_bdev(whole, nullptr);
  }
  Bdev p1(dev_);
  machine::fs_set_unfreezable(m_, true);
  EXPECT_EQ(freeze_bdev(p1), nullptr);
  std::vector<unsigned char> a(4096, 1);
  EXPECT_EQ(machine::fs_write(m_, 0, a.data(), 4096), 0);  // not held
  thaw_bdev(p1, nullptr);
  machine::fs_set_unfreezable(m_, false);
  EXPECT_EQ(freeze_bdev(nullptr), nullptr);
  EXPECT_EQ(fsync_bdev(p1), 0);
  EXPECT_EQ(fsync_bdev(nullptr), 0);
}

TEST_F(Freeze, SecondFreezeWaitsForTheFirstThaw) {
  Bdev p1(dev_);
  struct super_block* first = freeze_bdev(p1);
  ASSERT_NE(first, nullptr);
  std::atomic<struct super_block*> second{nullptr};
  std::thread t([&] { second = freeze_bdev(p1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(second.load(), nullptr);
  EXPECT_EQ(machine::fs_unmount(m_), -EBUSY);  // frozen
  thaw_bdev(p1, first);
  ASSERT_TRUE(wait_for([&] { return second.load() != nullptr; }));
  t.join();
  thaw_bdev(p1, second.load());
}

TEST_F(Freeze, SuperBlockReferencesAndMountErrors) {
  Bdev p1(dev_);
  struct super_block* sb = get_super(p1);
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(sb->s_blocksize, 4096u);
  EXPECT_EQ(sb->s_blocksize_bits, 12);
  EXPECT_EQ(sb->s_bdev, p1.b);
  EXPECT_EQ(machine::live(machine::Obj::super_ref), supers_ + 1);
  EXPECT_EQ(machine::fs_unmount(m_), -EBUSY);  // a reference is held
  drop_super(sb);
  std::string err;
  EXPECT_EQ(machine::fs_mount(dev_, 4096, &err), nullptr);  // already mounted
  EXPECT_EQ(machine::fs_mount(MKDEV(77, 1), 4096, &err), nullptr);
  EXPECT_EQ(machine::fs_mount(machine::disk_dev(d_), 0, &err), nullptr);  // zeroes: nothing recognised
  EXPECT_NE(err.find("no ext2/3/4 or XFS"), std::string::npos);
  // A block size the module must refuse is still mountable, for its tests.
  machine::Mount* odd = machine::fs_mount(machine::disk_dev(d_), 256, &err);
  ASSERT_NE(odd, nullptr);
  Bdev whole(machine::disk_dev(d_));
  struct super_block* s2 = get_super(whole);
  EXPECT_EQ(s2->s_blocksize, 256u);
  drop_super(s2);
  EXPECT_EQ(machine::fs_unmount(odd), 0);
  EXPECT_EQ(machine::fs_write(m_, 100, nullptr, 512), -EINVAL);
}

// Writers race freeze/thaw cycles: while frozen the partition's bytes do not change, and
// every write lands in the end.
TEST_F(Freeze, WritersRacingFreezeCyclesNeverChangeAFrozenDisk) {
  Bdev p1(dev_);
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::vector<std::thread> ws;
  for (int t = 0; t < 4; t++)
    ws.emplace_back([&, t] {
      std::vector<unsigned char> buf(8192);
      for (unsigned v = 1; !stop.load(); v++) {
        memset(buf.data(), (int)(v & 0xff), buf.size());
        ASSERT_EQ(machine::fs_write(m_, (uint64_t)t * 65536 + (v % 8) * 8192, buf.data(), buf.size()), 0);
        writes++;
      }
    });
  int changed_while_frozen = 0;
  for (int cycle = 0; cycle < 20; cycle++) {
    struct super_block* sb = freeze_bdev(p1);
    ASSERT_NE(sb, nullptr);
    auto before = disk_bytes(0, 4 * 65536);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (disk_bytes(0, 4 * 65536) != before) changed_while_frozen++;
    thaw_bdev(p1, sb);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (auto& t : ws) t.join();
  EXPECT_EQ(changed_while_frozen, 0);
  EXPECT_GT(writes.load(), 20);
}

}  // namespace
