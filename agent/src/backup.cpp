#include "velloc/agent/backup.h"

#include <chrono>
#include <algorithm>
#include <cstring>

#include "pipeline.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/ext_fs.h"
#include "velloc/agent/read_runs.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string keyDigest(const AMSessionKey& k) { return Sha256::hexOf(k.key, sizeof k.key); }

// The state of the session, for messages after a refused command.
uint32_t stateOf(Device& dev) {
  State s{};
  return dev.getState(&s) == 0 ? s.state : ~0u;
}

// A refused command: when the session has fallen into an error state, that state is
// the story (it says what to do); otherwise the result code is.
[[noreturn]] void fail(Device& dev, const std::string& command, int rc, const Target& t,
                       uint32_t cacheBlocks) {
  uint32_t st = stateOf(dev);
  std::string advice = stateAdvice(st, cacheBlocks);
  if (!advice.empty())
    throw AgentError("backup of " + t.name + " failed (" + stateName(st) + "): " + advice, rc, st);
  throw AgentError(resultMessage(command, rc, t.name), rc, st);
}

// Why the kept key cannot give an incremental backup, or "" when it should.
std::string whyNotIncremental(const BackupOptions& opt, const KeyKeeper& keys, const AutoMapState& ams,
                              const Target& t) {
  if (!opt.wantIncremental) return "full backup requested";
  if (!keys.have && keys.lost.empty()) return "first backup: no change-tracking key kept yet";
  if (ams.major == 0 && ams.minor == 0 && ams.mapLen == 0)
    return "the device tracks no changes for " + t.name + " (the module was reloaded or tracking was dropped)";
  if (ams.state != amsInSync)
    return "change tracking for " + t.name +
           " is out of sync (a write could not be tracked: the copy-on-write cache failed during the last backup)";
  if (!keys.have) return keys.lost;
  if (ams.mapLen != t.totalBlocks)
    return t.name + " was resized: " + std::to_string(t.totalBlocks) + " blocks now, change tracking covers " +
           std::to_string(ams.mapLen);
  if (std::memcmp(ams.amsKey.key, keys.key.key, sizeof keys.key.key) != 0)
    return "key mismatch: the kept key is not the device's key for " + t.name + " (another agent backed it up)";
  return {};
}

// The partition as the snapshot holds it, read through the device's first transfer
// buffer: blocks written since the snapshot come back from the cache as they were.
class SnapshotSource : public BlockSource {
 public:
  SnapshotSource(Device& dev, const Target& t, uint32_t maxRun) : dev_(dev), t_(t), maxRun_(maxRun) {}
  uint32_t blockSize() const override { return t_.blockSize; }
  uint32_t blocks() const override { return t_.totalBlocks; }
  void read(uint32_t first, uint32_t count, uint8_t* out) override {
    while (count > 0) {
      uint32_t n = std::min(count, maxRun_);
      int rc = dev_.readBlocks(first, n, 0);
      if (rc != 0) throw AgentError(resultMessage("doReadBlocks", rc, t_.name), rc);
      if ((rc = dev_.bufferRead(0, 0, out, size_t(n) * t_.blockSize)) != 0)
        throw AgentError("the transfer buffer of " + t_.name + " could not be read (" + std::to_string(rc) + ")", rc);
      first += n;
      count -= n;
      out += size_t(n) * t_.blockSize;
    }
  }

 private:
  Device& dev_;
  const Target& t_;
  uint32_t maxRun_;
};

}  // namespace

std::string KeyKeeper::digest() const { return have ? keyDigest(key) : std::string(); }

Target describeTarget(AgentProcess& proc, uint32_t major, uint32_t minor, const std::string& name) {
  Device dev(proc);
  BlockSize bs{};
  int rc = dev.getBlockSize(major, minor, &bs);
  if (rc == velErrNoFileSystem)
    throw AgentError(name + " has no mounted file system: velloc backs up mounted partitions only", rc);
  if (rc != 0) throw AgentError(resultMessage("doGetBlockSize", rc, name), rc);
  if (bs.blockSize < 512 || bs.blockSize > 4096 || (bs.blockSize & (bs.blockSize - 1)))
    throw AgentError(name + " reports an unusable block size of " + std::to_string(bs.blockSize) + " bytes");
  Target t;
  t.major = major;
  t.minor = minor;
  t.blockSize = uint32_t(bs.blockSize);
  t.partitionSizeKB = bs.partitionSizeKB;
  uint64_t blocks = uint64_t(bs.partitionSizeKB) * 1024 / t.blockSize;
  if (blocks == 0) throw AgentError(name + " is empty");
  if (blocks > 0xffffffffull) throw AgentError(name + " has more blocks than the device can count");
  t.totalBlocks = uint32_t(blocks);
  t.name = name;
  return t;
}

RoundResult backupRound(AgentProcess& proc, const Target& t, KeyKeeper& keys, const BackupOptions& opt,
                        const std::function<std::unique_ptr<BlockSink>(const RoundPlan&)>& makeSink) {
  auto t0 = Clock::now();
  RoundResult res;
  Device dev(proc);

  int rc = dev.startBackup(t.major, t.minor, t.totalBlocks, opt.cacheBlocks);
  if (rc == velErrOtherBackupOpen)
    throw AgentError("cannot back up " + t.name + ": another backup is running on the device; wait for it to finish",
                     rc);
  if (rc != 0) fail(dev, "doStartBackup", rc, t, opt.cacheBlocks);

  State st{};
  if ((rc = dev.getState(&st)) != 0) fail(dev, "doGetState", rc, t, opt.cacheBlocks);
  if (uint32_t(st.blockSize) != t.blockSize)
    throw AgentError(t.name + " changed block size under the agent (" + std::to_string(t.blockSize) + " -> " +
                     std::to_string(st.blockSize) + ")");
  res.blockSize = t.blockSize;
  res.bufferBytes = uint32_t(st.mmapSize);
  if (st.mmapSize < int32_t(t.blockSize))
    throw AgentError("the device offers no transfer buffer for " + t.name);
  if ((rc = dev.mapBuffers(opt.overlap ? 2 : 1, uint32_t(st.mmapSize))) != 0)
    throw AgentError("cannot map the transfer buffers of " + t.name + " (mmap result " + std::to_string(rc) + ")", rc);

  // Decide before the snapshot: a key the device will not take must not be presented,
  // or the snapshot does nothing.
  AutoMapState before{};
  if ((rc = dev.getAutoMapState(&before)) != 0) fail(dev, "doGetAutoMapState", rc, t, opt.cacheBlocks);
  RoundPlan& plan = res.plan;
  plan.fallbackReason = whyNotIncremental(opt, keys, before, t);
  bool tryIncremental = plan.fallbackReason.empty();
  if (!tryIncremental) dev.noLoadFromAutoMap();
  // From here the device may hold a key this chain never records (a snapshot draws a
  // new key even when it fails later on), so the kept key is given up until success.
  keys.have = false;
  keys.lost = "the previous round of " + t.name + " failed after its snapshot, so its changes were never copied";
  if ((rc = dev.snapShot(tryIncremental ? &keys.key : nullptr)) != 0) {
    if (rc == velErrInvalid)
      throw AgentError("cannot take a snapshot of " + t.name +
                           ": the device could not freeze its file system or intercept its writes (result 2)",
                       rc, stateOf(dev));
    fail(dev, "doSnapShot", rc, t, opt.cacheBlocks);
  }
  if ((rc = dev.getState(&st)) != 0) fail(dev, "doGetState", rc, t, opt.cacheBlocks);
  if (st.state == stateStarted && tryIncremental) {
    // The device refused the key after all (it changed since we looked): start over.
    tryIncremental = false;
    plan.fallbackReason = "key mismatch: the device refused the kept key for " + t.name;
    dev.noLoadFromAutoMap();
    if ((rc = dev.snapShot(nullptr)) != 0) fail(dev, "doSnapShot", rc, t, opt.cacheBlocks);
    if ((rc = dev.getState(&st)) != 0) fail(dev, "doGetState", rc, t, opt.cacheBlocks);
  }
  if (st.state != stateSnapshotComplete) fail(dev, "doSnapShot", velErrInvalid, t, opt.cacheBlocks);
  if (tryIncremental) plan.presentedKeyDigest = keyDigest(keys.key);

  AutoMapState after{};
  if ((rc = dev.getAutoMapState(&after)) != 0) fail(dev, "doGetAutoMapState", rc, t, opt.cacheBlocks);
  AMSessionKey nextKey = after.amsKey;
  plan.keyDigest = keyDigest(nextKey);

  if (tryIncremental) {
    rc = dev.getAutoMap(t.totalBlocks, &plan.blocks);
    if (rc == 0) {
      plan.incremental = true;
    } else if (rc == velErrInvalid) {
      plan.fallbackReason = "the device handed over no change map for " + t.name +
                            " (change tracking fell out of sync at the snapshot)";
      plan.presentedKeyDigest.clear();
    } else {
      fail(dev, "doGetAutoMap", rc, t, opt.cacheBlocks);
    }
  }
  const uint32_t maxRun = uint32_t(st.mmapSize) / t.blockSize;
  // Free blocks are not worth copying, nor protecting while the copy runs. Which blocks
  // are free is read from the snapshot itself, before the map is loaded (until then the
  // device keeps every block as it was): the live disk has moved on already.
  if (opt.allBlocks) {
    plan.allBlocksReason = "every block requested (--all-blocks)";
  } else {
    SnapshotSource snap(dev, t, maxRun);
    UsedBlocks u = readUsedBlocks(snap, t.name);
    plan.usedOnly = u.known;
    plan.allBlocksReason = u.reason;
    if (u.known) plan.used = std::move(u.used);
  }
  if (plan.incremental) {
    plan.changedBlocks = plan.blocks.count();
    if (plan.usedOnly) plan.blocks.intersect(plan.used);
  } else {
    plan.blocks = plan.usedOnly ? plan.used : Bitmap(t.totalBlocks, true);
  }

  if ((rc = dev.loadBlockMap(plan.blocks)) != 0) fail(dev, "doLoadBlockMap", rc, t, opt.cacheBlocks);
  if (opt.afterSnapshot) opt.afterSnapshot();

  std::unique_ptr<BlockSink> sink = makeSink(plan);
  Bitmap todo = plan.blocks;
  const uint64_t total = todo.count();
  auto onReadError = [&](int code, uint32_t first, uint32_t count) {
    if (code == velErrReadError)
      throw AgentError("the disk under " + t.name + " could not read some of blocks " + std::to_string(first) + "-" +
                           std::to_string(uint64_t(first) + count - 1) + " (result 12): check the disk",
                       code);
    fail(dev, "doReadBlocks", code, t, opt.cacheBlocks);
  };
  auto tc = Clock::now();
  {
    Pipeline pipe(dev, *sink, t.blockSize, opt.overlap, onReadError);
    auto copy = [&](const ReadRun& run) {
      pipe.read(run);
      uint32_t count = 0;
      for (auto [offset, blocks] : run.wanted) {
        for (uint32_t i = 0; i < blocks; ++i) todo.clear(run.first + offset + i);
        count += blocks;
      }
      res.blocksCopied += count;
      res.reads++;
      if (opt.progress) opt.progress(res.blocksCopied, total);
      return count;
    };
    // Blocks the device holds in its cache are copied first: each one read frees a
    // cache slot, so heavy writing cannot fill the cache while we work through the disk.
    // A dirty block is read with the blocks still to copy around it, a whole buffer's
    // worth: writes land anywhere, so those are as good to copy now as the next
    // sequential run, and a read of the one block alone would cost a command per block
    // while the writers keep making new ones. The window is the buffer-sized slot of
    // the map the block lies in, as the sequential runs are, so that a drained window
    // takes the place of one later run instead of cutting two runs into pieces.
    auto drain = [&] {
      for (uint32_t i = 0; i < opt.drainBatch; ++i) {
        uint32_t b = VEL_NO_DIRTY_BLOCK;
        int r = dev.getDirtyBlock(&b);
        if (r != 0) fail(dev, "doGetDirtyBlock", r, t, opt.cacheBlocks);
        if (b == VEL_NO_DIRTY_BLOCK || !todo.test(b)) return;
        ReadRun run = planRun(todo, b - b % maxRun, maxRun, opt.maxGap);
        if (b < run.first || b - run.first >= run.count) run = planRun(todo, b, maxRun, opt.maxGap);
        copy(run);
        res.drainedBlocks++;
      }
    };
    uint32_t cursor = 0;
    for (;;) {
      if (opt.drain) drain();
      ReadRun run = planRun(todo, cursor, maxRun, opt.maxGap);
      if (run.count == 0) break;
      copy(run);
      cursor = run.first + run.count;
    }
    pipe.finish();
  }
  // The device refuses a read that a session failure overlapped; the round checks too that
  // the session was still working after its last read, or not one block can be vouched for.
  if (uint32_t end = stateOf(dev); end > stateMapLoaded) {
    std::string advice = stateAdvice(end, opt.cacheBlocks);
    throw AgentError("backup of " + t.name + " failed: the session fell into " + stateName(end) +
                         " while its blocks were copied" + (advice.empty() ? "" : ": " + advice),
                     velErrInvalid, end);
  }
  res.secondsCopy = since(tc);
  if (res.blocksCopied != total)
    throw AgentError("internal error: copied " + std::to_string(res.blocksCopied) + " of " + std::to_string(total) +
                     " blocks of " + t.name);
  sink.reset();
  dev.unmapBuffers();
  keys.have = true;
  keys.key = nextKey;
  keys.lost.clear();
  res.secondsTotal = since(t0);
  return res;
}

}  // namespace velloc::agent
