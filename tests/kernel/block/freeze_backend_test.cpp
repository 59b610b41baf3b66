// A mount whose file system lives outside the stand-in: freeze_bdev freezes it through
// its backend, whose own writes (a real file system commits while it freezes) must pass
// through the device while the freeze is under way.
#include "block_test_util.h"

using namespace blktest;

namespace {

class FreezeBackend : public MountedPartitionTest {
 protected:
  void TearDown() override {
    if (m_) {
      machine::fs_set_freeze_backend(m_, {});
      machine::fs_set_freeze_hook(m_, nullptr, nullptr);
    }
    MountedPartitionTest::TearDown();
  }
};

// Stands for the host's file system: freezing writes its journal through the device from
// another thread (as the host's I/O would arrive) and waits for it; thawing is counted.
struct FakeHostFs {
  dev_t dev = 0;
  int refuse = 0;  // -errno to refuse the freeze with
  std::atomic<int> freezes{0}, thaws{0};
  std::atomic<bool> hookSawCommit{false};
  std::vector<unsigned char> commit = std::vector<unsigned char>(4096, 0xC7);
  static int freeze(void* ctx) {
    auto* fs = static_cast<FakeHostFs*>(ctx);
    if (fs->refuse) return fs->refuse;
    int rc = -1;
    std::thread io([&] { rc = machine::blk_write(fs->dev, 8 * 4096, fs->commit.data(), 4096); });
    io.join();
    fs->freezes++;
    return rc;
  }
  static void thaw(void* ctx) { static_cast<FakeHostFs*>(ctx)->thaws++; }
  machine::FreezeBackend backend() {
    machine::FreezeBackend b;
    b.freeze = freeze;
    b.thaw = thaw;
    b.ctx = this;
    return b;
  }
};

struct CommitCheck {
  machine::Disk* d;
  FakeHostFs* fs;
};
void check_commit_hook(void* ctx) {
  auto* c = static_cast<CommitCheck*>(ctx);
  std::vector<unsigned char> v(4096);
  machine::disk_pread(c->d, 2048 * 512 + 8 * 4096, v.data(), v.size());
  c->fs->hookSawCommit = v == c->fs->commit && c->fs->freezes.load() == 1;
}

TEST_F(FreezeBackend, FreezesTheBackendWhoseWritesPassAndTheHookSeesThemAndThawReleasesIt) {
  FakeHostFs fs;
  fs.dev = dev_;
  machine::fs_set_freeze_backend(m_, fs.backend());
  CommitCheck cc{d_, &fs};
  machine::fs_set_freeze_hook(m_, check_commit_hook, &cc);

  // Writers of the stand-in's own kind race the freeze: they are held, not lost.
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0}, failures{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w)
    writers.emplace_back([&, w] {
      std::vector<unsigned char> buf(4096, (unsigned char)w);
      while (!stop) {
        if (machine::fs_write(m_, uint64_t(w) * 4096, buf.data(), buf.size()) == 0) writes++;
        else failures++;
      }
    });
  ASSERT_TRUE(wait_for([&] { return writes.load() > 10; }));
  Bdev p1(dev_);
  for (int round = 1; round <= 3; ++round) {
    fs.freezes = 0;
    struct super_block* sb = freeze_bdev(p1);
    ASSERT_NE(sb, nullptr);
    EXPECT_TRUE(fs.hookSawCommit.load()) << "round " << round;
    EXPECT_EQ(fs.thaws.load(), round - 1);
    int before = writes.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(writes.load(), before + 3) << "writers must be held while frozen";
    thaw_bdev(p1, sb);
    EXPECT_EQ(fs.thaws.load(), round);
    int after = writes.load();
    EXPECT_TRUE(wait_for([&] { return writes.load() > after; })) << "thaw releases the writers";
  }
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(FreezeBackend, RefusalFailsTheFreezeReleasesHeldWritersAndThawDoesNotThawIt) {
  FakeHostFs fs;
  fs.dev = dev_;
  fs.refuse = -ETIMEDOUT;
  machine::fs_set_freeze_backend(m_, fs.backend());
  Bdev p1(dev_);
  std::atomic<int> done{0};
  std::thread writer([&] {
    std::vector<unsigned char> buf(4096, 0x5A);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(machine::fs_write(m_, 0, buf.data(), buf.size()), 0);
    done = 1;
  });
  EXPECT_EQ(freeze_bdev(p1), nullptr);
  EXPECT_FALSE(machine::fs_frozen(m_));
  thaw_bdev(p1, nullptr);  // what the module does after a failed freeze
  EXPECT_EQ(fs.thaws.load(), 0);
  EXPECT_TRUE(wait_for([&] { return done.load() == 1; }));
  writer.join();

  fs.refuse = 0;  // the next freeze works again
  struct super_block* sb = freeze_bdev(p1);
  ASSERT_NE(sb, nullptr);
  EXPECT_EQ(fs.freezes.load(), 1);
  thaw_bdev(p1, sb);
  EXPECT_EQ(fs.thaws.load(), 1);
}

}  // namespace
