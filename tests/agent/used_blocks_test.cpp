// Full backups that copy only the blocks the file system uses, read from the snapshot
// through the device: the allocation libext2fs reads against what dumpe2fs reports, the
// file systems it does not read (all blocks, with the reason), rounds of a third-full
// ext4 taken while writers race, restored e2fsck-clean with every file intact, and free
// blocks written while the map is loaded that the device never captures.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "agent_test_util.h"
#include "machine/disk.h"
#include "machine/kernel.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/check.h"
#include "velloc/agent/device.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/ext_fs.h"
#include "velloc/agent/host.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/sha256.h"

using namespace velloc::agent;
using agent_test::readText;

namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Partition 1: 64 MiB of 4096-byte blocks, partition 2: 24 MiB of 1024-byte blocks, each
// about a third full of files whose contents fillBlock gives.
const std::vector<FsSpec> kSpecs = {FsSpec{4096, 64ull << 20, "used-4k", 10, 2ull << 20},
                                    FsSpec{1024, 24ull << 20, "used-1k", 4, 2ull << 20}};

std::string expectedDigest(const FsSpec& s, unsigned f) {
  Sha256 h;
  std::vector<uint8_t> block(s.blockSize);
  for (uint64_t off = 0; off < s.fileBytes; off += s.blockSize) {
    fillBlock(block.data(), s.blockSize, uint32_t(off / s.blockSize), 0, f);
    h.update(block.data(), block.size());
  }
  return h.hex();
}

// "Block count" and "Free blocks" of the super block, as dumpe2fs -h prints them.
std::pair<uint64_t, uint64_t> dumpe2fsCounts(const std::string& fsImage) {
  std::string out, err;
  EXPECT_EQ(runTool({"dumpe2fs", "-h", fsImage}, &out, &err), 0) << err;
  uint64_t count = 0, free = 0;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Block count:", 0) == 0) count = std::stoull(line.substr(12));
    if (line.rfind("Free blocks:", 0) == 0) free = std::stoull(line.substr(12));
  }
  return {count, free};
}

void writeFile(const std::string& path, const uint8_t* data, uint64_t bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(bytes));
}

class UsedOnly : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTool("mkfs.ext4") || !haveTool("dumpe2fs")) GTEST_SKIP() << "e2fsprogs missing";
    image_ = tmp_ / "disk.img";
    built_ = buildExt4Image(image_, kSpecs, tmp_.path());
  }
  void TearDown() override {
    proc_.reset();
    host_.reset();
  }
  void boot() {
    host_ = std::make_unique<Host>(image_);
    for (const BuiltPartition& p : built_) host_->mount(p.partno);
    proc_ = std::make_unique<AgentProcess>();
  }
  Target target(int p) { return describeTarget(*proc_, host_->major(p), host_->minor(p), host_->devName(p)); }
  SourceInfo source(const Target& t, int p) { return agent_test::sourceOf(*host_, t, p, image_); }
  RoundResult round(BackupDirWriter& w, int r, const Target& t, KeyKeeper& keys, const BackupOptions& o = {}) {
    RoundResult res = backupRound(*proc_, t, keys, o, [&](const RoundPlan& plan) { return w.openRound(r, plan); });
    w.commitRound(r, res.plan, res);
    w.publish();
    return res;
  }
  // Round r of `dir` rebuilt: e2fsck-clean, the snapshot's blocks in use and its files.
  void expectRestoresTheSnapshot(const std::string& dir, int r, const std::vector<uint8_t>& truth, const Target& t) {
    std::string out = tmp_ / ("restored-" + t.name + "-" + std::to_string(r));
    restoreImage(dir, r, out);
    std::string report;
    EXPECT_TRUE(e2fsckClean(out, &report)) << t.name << " round " << r << ": " << report;
    MemorySource before(truth.data(), uint64_t(t.totalBlocks) * t.blockSize, t.blockSize);
    ImageFileSource after(out, t.blockSize);
    UsedBlocks u = readUsedBlocks(before, t.name);
    ASSERT_TRUE(u.known) << u.reason;
    VerifyResult v = verifyAgainst(out, truth.data(), uint64_t(t.totalBlocks) * t.blockSize, t.blockSize, 10, &u.used);
    EXPECT_TRUE(v.same) << t.name << " round " << r << ": " << v.differing << " blocks in use differ";
    auto want = fileDigests(before);
    EXPECT_EQ(fileDifferences(want, fileDigests(after)), "") << t.name << " round " << r;
    EXPECT_GE(want.size(), 3u);
    std::remove(out.c_str());
  }

  agent_test::TempDir tmp_;
  std::string image_;
  std::vector<BuiltPartition> built_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<AgentProcess> proc_;
};

// Reads like its inner source until block `from`, then fails.
class FailingSource : public BlockSource {
 public:
  FailingSource(BlockSource& in, uint32_t from) : in_(in), from_(from) {}
  uint32_t blockSize() const override { return in_.blockSize(); }
  uint32_t blocks() const override { return in_.blocks(); }
  void read(uint32_t first, uint32_t count, uint8_t* out) override {
    if (first + count > from_) throw AgentError("the disk refused block " + std::to_string(first));
    in_.read(first, count, out);
  }
 private:
  BlockSource& in_;
  uint32_t from_;
};

}  // namespace

TEST_F(UsedOnly, LibextfsReadsWhatDumpe2fsCountsAndEveryFileOfAMkfsImage) {
  for (size_t i = 0; i < built_.size(); ++i) {
    const BuiltPartition& p = built_[i];
    const std::string part = tmp_ / ("part-" + std::to_string(p.partno));
    {
      std::ifstream in(image_, std::ios::binary);
      in.seekg(std::streamoff(p.startSector * 512));
      std::vector<char> bytes(p.sectors * 512);
      in.read(bytes.data(), std::streamsize(bytes.size()));
      writeFile(part, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    ImageFileSource src(part, p.blockSize);
    UsedBlocks u = readUsedBlocks(src, "part");
    ASSERT_TRUE(u.known) << u.reason;
    EXPECT_EQ(u.type, "ext4");
    auto [count, free] = dumpe2fsCounts(part);
    EXPECT_EQ(u.fsBlocks, count);
    EXPECT_EQ(u.fsFreeBlocks, free);
    EXPECT_EQ(u.used.count(), src.blocks() - free);
    // About a third: the files, the journal, the inode tables and the rest of mkfs's.
    EXPECT_GT(u.used.count() * 4, uint64_t(src.blocks()));
    EXPECT_LT(u.used.count() * 2, uint64_t(src.blocks()));
    for (uint32_t b : p.dataBlocks) ASSERT_TRUE(u.used.test(b)) << "data block " << b;
    EXPECT_TRUE(u.used.test(0));

    auto files = fileDigests(src);
    EXPECT_EQ(files["/lost+found"], "dir");
    for (unsigned f = 0; f < kSpecs[i].files; ++f)
      EXPECT_EQ(files["/data" + std::to_string(f) + ".bin"], expectedDigest(kSpecs[i], f)) << f;
    EXPECT_EQ(files.size(), kSpecs[i].files + 1);
    auto changed = files;
    changed["/data1.bin"] = "x";
    changed.erase("/data2.bin");
    EXPECT_EQ(fileDifferences(files, changed), "1 missing: /data2.bin; 1 with other contents: /data1.bin");
  }
}

TEST_F(UsedOnly, WhatLibextfsDoesNotReadIsNamedAsTheReasonForAllBlocks) {
  const BuiltPartition& p = built_[0];
  std::vector<uint8_t> fsBytes(p.sectors * 512);
  {
    std::ifstream in(image_, std::ios::binary);
    in.seekg(std::streamoff(p.startSector * 512));
    in.read(reinterpret_cast<char*>(fsBytes.data()), std::streamsize(fsBytes.size()));
  }
  auto reasonFor = [&](const std::function<void(std::vector<uint8_t>&)>& damage) {
    std::vector<uint8_t> b = fsBytes;
    damage(b);
    MemorySource src(b.data(), b.size(), 4096);
    UsedBlocks u = readUsedBlocks(src, "sdz1");
    EXPECT_FALSE(u.known);
    EXPECT_EQ(u.used.size(), 0u);
    return u.reason;
  };
  EXPECT_EQ(reasonFor([](auto& b) { std::fill(b.begin(), b.end(), 0); }),
            "sdz1 holds no ext2/3/4 file system velloc can read the allocation of");
  EXPECT_EQ(reasonFor([](auto& b) {
              std::fill(b.begin(), b.end(), 0);
              std::memcpy(b.data(), "XFSB", 4);
            }),
            "sdz1 holds an XFS file system, whose allocation velloc does not read");
  // s_log_block_size of 2^30-byte blocks: the library refuses the super block.
  EXPECT_TRUE(contains(reasonFor([](auto& b) { b[1024 + 24] = 20; }), "libext2fs cannot open the file system of sdz1: "));
  // A journal still to be replayed (the flag set as a crash leaves it, checksum and all).
  const std::string part = tmp_ / "recover";
  writeFile(part, fsBytes.data(), fsBytes.size());
  ASSERT_EQ(runTool({"debugfs", "-w", "-R", "feature needs_recovery", part}), 0);
  ImageFileSource recovering(part, 4096);
  UsedBlocks r = readUsedBlocks(recovering, "sdz1");
  EXPECT_FALSE(r.known);
  EXPECT_TRUE(contains(r.reason, "the journal of sdz1 holds transactions")) << r.reason;
  // A read of the source that fails: its own message comes along.
  MemorySource good(fsBytes.data(), fsBytes.size(), 4096);
  FailingSource failing(good, 2);  // the super block and group descriptors only
  UsedBlocks u = readUsedBlocks(failing, "sdz1");
  EXPECT_FALSE(u.known);
  EXPECT_TRUE(contains(u.reason, "the disk refused block")) << u.reason;
}

TEST_F(UsedOnly, AFullRoundOfAThirdFullExt4CopiesItsUsedBlocksWhileWritersRaceAndRestoresEveryFile) {
  boot();
  for (const BuiltPartition& p : built_) {
    Target t = target(p.partno);
    FreezeOracle oracle(*host_, p.partno);
    Writers writers(host_->mounted(p.partno), t.blockSize, p.dataBlocks, 3, uint64_t(p.partno), 100);
    BackupDirWriter w(tmp_ / ("b-" + t.name), source(t, p.partno));
    KeyKeeper keys;
    writers.start();
    RoundResult full = round(w, 0, t, keys);
    std::vector<uint8_t> truth = oracle.take();
    ASSERT_GE(truth.size(), uint64_t(t.totalBlocks) * t.blockSize);
    ASSERT_TRUE(full.plan.usedOnly) << full.plan.allBlocksReason;
    EXPECT_EQ(full.plan.allBlocksReason, "");
    // What the snapshot used, as dumpe2fs reads the partition frozen for it.
    const std::string frozen = tmp_ / ("frozen-" + t.name);
    writeFile(frozen, truth.data(), uint64_t(t.totalBlocks) * t.blockSize);
    auto [count, free] = dumpe2fsCounts(frozen);
    ASSERT_EQ(count, t.totalBlocks);
    EXPECT_EQ(full.blocksCopied, count - free);
    EXPECT_LT(full.blocksCopied * 2, uint64_t(t.totalBlocks));
    expectRestoresTheSnapshot(w.dir(), 0, truth, t);

    // An incremental copies what changed and is in use.
    RoundResult incr = round(w, 1, t, keys);
    truth = oracle.take();
    ASSERT_TRUE(incr.plan.incremental) << incr.plan.fallbackReason;
    ASSERT_TRUE(incr.plan.usedOnly);
    EXPECT_GT(incr.blocksCopied, 0u);
    EXPECT_LE(incr.blocksCopied, incr.plan.changedBlocks);
    incr.plan.blocks.forEachRun(1u << 20, [&](uint32_t first, uint32_t n) {
      for (uint32_t b = first; b < first + n; ++b) EXPECT_TRUE(incr.plan.used.test(b)) << b;
      return true;
    });
    expectRestoresTheSnapshot(w.dir(), 1, truth, t);
    writers.stop();
    EXPECT_GT(writers.writes(), 0u);
    EXPECT_EQ(writers.errors(), 0u) << writers.firstError();

    Manifest m = Manifest::load(w.dir());
    EXPECT_EQ(m.rounds[0].blockMap, "used");
    EXPECT_EQ(m.rounds[1].blockMap, "used");
    EXPECT_TRUE(contains(readText(w.dir() + "/manifest.json"), "\"version\": 3"));
    EXPECT_TRUE(checkBackupDir(w.dir(), true).problems.empty());
  }
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST_F(UsedOnly, FreeBlocksWrittenWhileTheMapIsLoadedAreNeverCapturedUnlessAllBlocksAreAsked) {
  boot();
  const int pn = 1;
  Target t = target(pn);
  // The free blocks of the partition, as mkfs left them.
  ImageFileSource src(image_, t.blockSize, host_->startSector(pn) * 512, uint64_t(t.totalBlocks) * t.blockSize);
  UsedBlocks u = readUsedBlocks(src, t.name);
  ASSERT_TRUE(u.known) << u.reason;
  std::vector<uint32_t> freeBlocks;
  for (uint32_t b = 0; b < t.totalBlocks; ++b)
    if (!u.used.test(b)) freeBlocks.push_back(b);
  ASSERT_GT(freeBlocks.size(), 4096u);
  const uint32_t firstWrites = 512;
  for (bool all : {false, true}) {
    FreezeOracle oracle(*host_, pn);
    Writers writers(host_->mounted(pn), t.blockSize,
                    std::vector<uint32_t>(freeBlocks.begin() + firstWrites, freeBlocks.end()), 2, 7, 50);
    BackupOptions o;
    o.allBlocks = all;
    o.wantIncremental = false;
    o.cacheBlocks = 1u << 16;
    // The map is loaded and nothing read yet: free blocks written now, once each, and
    // writers racing the copy into the rest of the free space.
    o.afterSnapshot = [&] {
      std::vector<uint8_t> b(t.blockSize);
      for (uint32_t i = 0; i < firstWrites; ++i) {
        fillBlock(b.data(), t.blockSize, freeBlocks[i], i, 42);
        ASSERT_EQ(machine::fs_write(host_->mounted(pn), uint64_t(freeBlocks[i]) * t.blockSize, b.data(), b.size()), 0);
      }
      writers.start();
    };
    BackupDirWriter w(tmp_ / (all ? "all" : "used"), source(t, pn));
    KeyKeeper keys;
    uint64_t seq = logSeq();
    RoundResult r = round(w, 0, t, keys, o);
    writers.stop();
    std::vector<uint8_t> truth = oracle.take();
    SessionStats st = lastSessionStats(seq);
    ASSERT_TRUE(st.found);
    Manifest m = Manifest::load(w.dir());
    if (all) {
      EXPECT_FALSE(r.plan.usedOnly);
      EXPECT_EQ(r.blocksCopied, t.totalBlocks);
      EXPECT_GE(st.num("peak cached blocks"), int64_t(firstWrites));
      EXPECT_EQ(m.rounds[0].blockMap, "all");
      EXPECT_EQ(m.rounds[0].allBlocksReason, "every block requested (--all-blocks)");
      std::string out = tmp_ / "restored-all";
      restoreImage(w.dir(), 0, out);
      EXPECT_TRUE(verifyAgainst(out, truth.data(), uint64_t(t.totalBlocks) * t.blockSize, t.blockSize).same);
    } else {
      EXPECT_TRUE(r.plan.usedOnly);
      EXPECT_EQ(r.blocksCopied, u.used.count());
      EXPECT_EQ(st.num("peak cached blocks"), 0);
      expectRestoresTheSnapshot(w.dir(), 0, truth, t);
    }
    EXPECT_GT(writers.writes(), 0u);
    EXPECT_EQ(writers.errors(), 0u) << writers.firstError();
  }
  EXPECT_EQ(machine::kernel_bug_count(), 0);
}

TEST(UsedOnlyFallback, APartitionWithoutExtCopiesAllBlocksWithTheReasonAndOldManifestsStillRestore) {
  agent_test::TempDir tmp;
  auto host = std::make_unique<Host>(uint64_t(8) << 20, std::vector<machine::PartitionSpec>{{2048, 8192}});
  host->mount(1, 4096);
  std::vector<uint8_t> b(4096);
  for (uint32_t blk = 0; blk < 1024; blk += 3) {
    fillBlock(b.data(), 4096, blk, 1, 1);
    ASSERT_EQ(machine::fs_write(host->mounted(1), uint64_t(blk) * 4096, b.data(), b.size()), 0);
  }
  auto oracle = std::make_unique<FreezeOracle>(*host, 1);
  {
    AgentProcess proc;
    Target t = describeTarget(proc, host->major(1), host->minor(1), host->devName(1));
    BackupDirWriter w(tmp / "b", agent_test::sourceOf(*host, t, 1, "(memory)"));
    KeyKeeper keys;
    RoundResult r = backupRound(proc, t, keys, {}, [&](const RoundPlan& plan) { return w.openRound(0, plan); });
    w.commitRound(0, r.plan, r);
    w.publish();
    EXPECT_FALSE(r.plan.usedOnly);
    EXPECT_EQ(r.plan.allBlocksReason, t.name + " holds no ext2/3/4 file system velloc can read the allocation of");
    EXPECT_EQ(r.blocksCopied, t.totalBlocks);
    Manifest m = Manifest::load(tmp / "b");
    EXPECT_EQ(m.rounds[0].blockMap, "all");
    EXPECT_EQ(m.rounds[0].allBlocksReason, r.plan.allBlocksReason);
    EXPECT_TRUE(contains(readText(tmp / "b/manifest.json"), "\"version\": 1"));
  }
  std::vector<uint8_t> truth = oracle->take();
  oracle.reset();  // its hook is on the mount, which goes with the host
  host.reset();
  // The manifest as versions before the block map wrote it.
  std::string text = readText(tmp / "b/manifest.json"), old;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!contains(line, "\"blockMap\"") && !contains(line, "\"allBlocksReason\"")) old += line + "\n";
  ASSERT_LT(old.size(), text.size());
  std::ofstream(tmp / "b/manifest.json") << old;
  EXPECT_EQ(Manifest::load(tmp / "b").rounds[0].blockMap, "");
  restoreImage(tmp / "b", 0, tmp / "restored");
  EXPECT_TRUE(verifyAgainst(tmp / "restored", truth.data(), truth.size(), 4096).same);
}
