#include "velloc/agent/merge.h"

#include <unistd.h>

#include <chrono>
#include <set>

#include "fileutil.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/chain_image.h"
#include "velloc/agent/errors.h"

namespace velloc::agent {

namespace {

uint64_t roundFileBytes(const Manifest& m) {
  uint64_t n = 0;
  for (const RoundEntry& e : m.rounds) n += e.bytes + (e.incremental ? (uint64_t(m.source.totalBlocks) + 7) / 8 : 0);
  return n;
}

}  // namespace

MergeResult mergeRounds(const std::string& dir, int upto, double lockWaitSeconds) {
  auto t0 = std::chrono::steady_clock::now();
  BackupDirWriter w(dir, Manifest::load(dir).source, lockWaitSeconds);
  const Manifest& m = w.manifest();
  MergeResult res;
  res.upto = upto;
  res.first = m.rounds.empty() ? 0 : m.rounds.front().round;
  res.bytesBefore = res.bytesAfter = roundFileBytes(m);
  size_t at = 0;
  while (at < m.rounds.size() && m.rounds[at].round != upto) ++at;
  if (at == m.rounds.size())
    throw AgentError("round " + std::to_string(upto) + " is not in " + dir + " (it holds rounds " +
                     std::to_string(res.first) + "-" + std::to_string(m.rounds.back().round) + ")");
  const RoundEntry target = m.rounds[at];
  if (at == 0 && !target.incremental) return res;  // already a full round at the start

  Manifest next = m;
  next.rounds.erase(next.rounds.begin(), next.rounds.begin() + long(at) + 1);
  RoundEntry merged;
  if (!target.incremental) {
    merged = target;  // a full round already: the rounds before it just go
  } else {
    ChainImage img(w.dir(), upto);
    // Every file the folded chain read, for the figure of bytes merged.
    for (int r : img.chain())
      for (const RoundEntry& e : m.rounds)
        if (e.round == r) res.bytesRead += e.bytes;
    RoundPlan plan;
    plan.blocks = Bitmap(m.source.totalBlocks, true);
    plan.keyDigest = target.keyDigest;
    plan.fallbackReason = "merged: rounds " + std::to_string(res.first) + "-" + std::to_string(upto) +
                          " folded into one full image";
    // The merged round is stored as the full round it replaces was.
    const RoundEntry* base = nullptr;
    for (const RoundEntry& e : m.rounds)
      if (e.round == img.chain().front()) base = &e;
    w.setCompression(base && base->encoding != "raw" ? Compression::fast : Compression::none);
    auto sink = w.openRound(upto, plan);
    const uint32_t bs = m.source.blockSize;
    img.forEachRun(256, [&](uint32_t first, uint32_t count, const uint8_t* data) {
      sink->write(first, data, count, bs);
    });
    sink.reset();
    RoundResult r;
    r.blocksCopied = m.source.totalBlocks;
    r.secondsTotal = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    merged = w.completeRound(upto, plan, r);
    // Holes stay holes: the image holds what the chain held.
    merged.blockMap = target.blockMap;
    merged.allBlocksReason = target.allBlocksReason;
  }
  next.rounds.insert(next.rounds.begin(), merged);
  w.switchManifest(next);
  // The old rounds are no longer listed: remove their files.
  removeUnlistedRoundFiles(w.dir(), next);
  res.changed = true;
  res.roundsDropped = int(at);
  res.bytesAfter = roundFileBytes(next);
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return res;
}

MergeResult pruneRounds(const std::string& dir, int keep, double lockWaitSeconds) {
  if (keep < 1) throw AgentError("--keep must be at least 1");
  Manifest m = Manifest::load(dir);
  if (int(m.rounds.size()) <= keep) {
    MergeResult res;
    res.upto = m.rounds.empty() ? 0 : m.rounds.front().round;
    return res;
  }
  return mergeRounds(dir, m.rounds[m.rounds.size() - size_t(keep)].round, lockWaitSeconds);
}

}  // namespace velloc::agent
