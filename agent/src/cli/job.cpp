// One partition's backup chain: rounds into a backup directory, each optionally checked
// against the partition as it was while frozen, rebuilt from its chain and fsck'd.
#include <chrono>
#include <cstdio>

#include "cli_internal.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/ext_fs.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/key_file.h"
#include "velloc/agent/restore.h"

namespace velloc::cli {

PartitionJob::PartitionJob(Host& host, AgentProcess& proc, int partno, const std::string& outDir, Options o)
    : host_(host), proc_(proc), partno_(partno), o_(std::move(o)) {
  host_.requirePartition(partno);
  target_ = describeTarget(proc_, host_.major(partno), host_.minor(partno), host_.devName(partno));
  SourceInfo src;
  src.image = host_.image();
  src.partition = partno;
  src.device = target_.name;
  src.major = target_.major;
  src.minor = target_.minor;
  src.startSector = host_.startSector(partno);
  src.sectors = host_.sectors(partno);
  src.blockSize = target_.blockSize;
  src.totalBlocks = target_.totalBlocks;
  writer_ = std::make_unique<BackupDirWriter>(outDir, src, o_.lockWaitSeconds);
  writer_->setCompression(o_.compression);
  if (!writer_->manifest().rounds.empty()) {
    // Continuing a chain: the key the directory kept, or why there is none to use.
    KeyFileRead k = readKeyFile(writer_->dir(), writer_->manifest());
    keys_.have = k.ok;
    keys_.key = k.key;
    keys_.lost = k.reason;
  }
  if (o_.checkAgainstFreeze) oracle_ = std::make_unique<FreezeOracle>(host_, partno);
}

PartitionJob::~PartitionJob() = default;

namespace {
std::string describeDiff(const VerifyResult& v, const std::string& what) {
  std::string s = what + ": " + std::to_string(v.differing) + " blocks differ, first";
  for (uint64_t b : v.first) s += " " + std::to_string(b);
  if (v.sizeA != v.sizeB) s += " (sizes " + std::to_string(v.sizeA) + " and " + std::to_string(v.sizeB) + ")";
  return s;
}
}  // namespace

RoundReport PartitionJob::runRound(int round, Progress* progress) {
  RoundReport rep;
  rep.round = round;
  rep.device = target_.name;
  uint64_t seq = logSeq();
  BackupOptions bo = o_.backup;
  std::string label = target_.name + " round " + std::to_string(round);
  if (progress) bo.progress = [&](uint64_t done, uint64_t total) { progress->update(label, done, total); };
  RoundResult r;
  bool done = false;
  try {
    r = backupRound(proc_, target_, keys_, bo,
                    [&](const RoundPlan& plan) { return writer_->openRound(round, plan); });
    writer_->commitRound(round, r.plan, r);
    writer_->publish();
    writer_->keepKey(round, keys_.key);
    done = true;
  } catch (const AgentError& e) {
    writer_->abortRound(round);
    rep.error = e.what();
  }
  if (progress) progress->clear();
  SessionStats st = lastSessionStats(seq);
  if (st.found) {
    rep.fromDisk = uint64_t(st.num("total reads from disk"));
    rep.fromCache = uint64_t(st.num("total reads from cache"));
    rep.cleaned = uint64_t(st.num("blocks cleaned from cache"));
    rep.cachePeak = uint64_t(st.num("peak cached blocks"));
    rep.timeToFreeze = st.seconds("time to freeze in seconds");
    rep.timeFrozen = st.seconds("time frozen in seconds");
  }
  if (!done) {
    if (oracle_) try { oracle_->take(); } catch (const AgentError&) {}
    return rep;
  }
  rep.kind = r.plan.incremental ? "incr" : "full";
  rep.reason = r.plan.fallbackReason;
  if (r.plan.incremental) rep.changed = r.plan.changedBlocks;
  rep.blockMap = r.plan.usedOnly ? "used" : "all";
  rep.allBlocksReason = r.plan.allBlocksReason;
  rep.copied = r.blocksCopied;
  rep.drained = r.drainedBlocks;
  rep.seconds = r.secondsTotal;
  rep.mbps = r.secondsCopy > 0 ? double(r.blocksCopied) * r.blockSize / r.secondsCopy / 1e6 : 0;
  auto tc = std::chrono::steady_clock::now();
  if (o_.quiet) o_.quiet(true);
  check(rep, round, r);
  if (o_.quiet) o_.quiet(false);
  rep.checkSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tc).count();
  rep.ok = rep.verified != "NO";
  return rep;
}

void PartitionJob::check(RoundReport& rep, int round, const RoundResult& r) {
  const std::string dir = writer_->dir();
  const std::string file = dir + "/" + writer_->manifest().rounds.back().file;
  const bool raw = o_.compression == Compression::none;
  const uint64_t bytes = uint64_t(target_.totalBlocks) * target_.blockSize;
  std::vector<std::string> problems;
  try {
    std::vector<uint8_t> truth;
    if (oracle_) {
      rep.oracleSeconds = oracle_->lastCopySeconds();
      truth = oracle_->take();
      if (truth.size() < bytes) problems.push_back("no point-in-time truth was taken at the snapshot");
    }
    bool haveTruth = oracle_ && truth.size() >= bytes;
    // The blocks a round copied must be the snapshot's; the free blocks it left out are
    // holes, so a rebuilt image is held to the snapshot's blocks in use and to its files.
    const Bitmap* used = r.plan.usedOnly ? &r.plan.used : nullptr;
    if (haveTruth && raw) {
      VerifyResult v = r.plan.incremental
                           ? verifyIncrement(dir, round, truth.data(), bytes)
                           : verifyAgainst(file, truth.data(), bytes, target_.blockSize, 10, &r.plan.blocks);
      if (!v.same) problems.push_back(describeDiff(v, "backup vs snapshot"));
    }
    std::string restored;
    if (!o_.restoreDir.empty()) {
      restored = o_.restoreDir + "/" + target_.name + "-round-" + std::to_string(round) + ".img";
      ::remove(restored.c_str());
      restoreImage(dir, round, restored);
      if (haveTruth) {
        VerifyResult v = verifyAgainst(restored, truth.data(), bytes, target_.blockSize, 10, used);
        if (!v.same) problems.push_back(describeDiff(v, "restored vs snapshot"));
      }
      if (haveTruth && used) {
        MemorySource before(truth.data(), bytes, target_.blockSize);
        ImageFileSource after(restored, target_.blockSize);
        std::string d = fileDifferences(fileDigests(before), fileDigests(after));
        if (!d.empty()) problems.push_back("restored files vs snapshot: " + d);
      }
    }
    if (o_.fsck) {
      std::string report;
      if (!r.plan.incremental && raw && !e2fsckClean(file, &report))
        problems.push_back("e2fsck -fn fails on " + file);
      if (!restored.empty() && !e2fsckClean(restored, &report))
        problems.push_back("e2fsck -fn fails on " + restored);
    }
    if (haveTruth || !restored.empty() || o_.fsck) rep.verified = problems.empty() ? "yes" : "NO";
  } catch (const AgentError& e) {
    problems.push_back(e.what());
    rep.verified = "NO";
  }
  for (size_t i = 0; i < problems.size(); ++i) rep.verifyNote += (i ? "; " : "") + problems[i];
}

}  // namespace velloc::cli
