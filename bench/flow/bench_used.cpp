// Figure 8: full backups of a third-full ext4 partition that copy only the blocks its file
// system uses, against copying every block: the time of the round, and the cache's peak
// while writers fill the free space during it.
#include <algorithm>
#include <cstdio>

#include "bench_internal.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/ext_fs.h"
#include "velloc/agent/image_builder.h"

namespace velloc::bench {

void figureUsedBlocks(const Options& o, std::vector<Row>& rows) {
  const uint64_t partBytes = o.quick ? 256 * kMiB : kGiB;
  // A third in use: the files, plus what mkfs lays down (journal, inode tables).
  const unsigned files = 16;
  FsSpec spec{kBlock, partBytes, "bench-used", files, partBytes * 27 / 100 / files / kBlock * kBlock};
  const std::string image = o.scratch + "/used.img";
  progress(o, "figure 8: mkfs.ext4 of " + std::to_string(partBytes >> 20) + " MiB, a third in files");
  buildExt4Image(image, {spec}, o.scratch);
  Host host(image);
  machine::Mount* m = host.mount(1);
  AgentProcess proc;
  Target t = describeTarget(proc, host.major(1), host.minor(1), host.devName(1));
  ImageFileSource src(image, t.blockSize, host.startSector(1) * 512, uint64_t(t.totalBlocks) * t.blockSize);
  UsedBlocks u = readUsedBlocks(src, t.name);
  if (!u.known) throw AgentError("figure 8: " + u.reason);
  std::vector<uint32_t> freeBlocks;
  for (uint32_t b = 0; b < t.totalBlocks; ++b)
    if (!u.used.test(b)) freeBlocks.push_back(b);

  NullSink sink;
  const int reps = o.quick ? 2 : 3;
  double bestUsed = 1e9, bestAll = 1e9;
  uint64_t copiedUsed = 0, copiedAll = 0;
  for (int i = 0; i < reps; ++i)
    for (bool all : {false, true}) {
      BackupOptions bo;
      bo.allBlocks = all;
      RoundResult r = fullRound(proc, t, bo, &sink);
      (all ? bestAll : bestUsed) = std::min(all ? bestAll : bestUsed, r.secondsTotal);
      (all ? copiedAll : copiedUsed) = r.blocksCopied;
    }
  Row a = ratioRow("8a",
                   "full backup of a third-full " + std::to_string(partBytes >> 20) +
                       " MiB ext4, used blocks only vs all blocks",
                   "s", bestUsed, bestAll, "<=", 0.40);
  char note[256];
  snprintf(note, sizeof note, "best of %d, open to close, into the mapped buffer; %llu of %llu blocks in use (%.0f%%)",
           reps, (unsigned long long)copiedUsed, (unsigned long long)copiedAll,
           100.0 * double(copiedUsed) / double(std::max<uint64_t>(copiedAll, 1)));
  a.note = note;
  if (copiedUsed != u.used.count() || copiedAll != t.totalBlocks) a.failed = true;
  rows.push_back(a);

  // Writers into the free space for the whole round: with the used map loaded none of
  // their writes needs its old contents kept; with every block protected, each first
  // write to a block not yet copied is.
  uint64_t peak[2] = {0, 0}, writes[2] = {0, 0};
  for (bool all : {false, true}) {
    BackgroundWriters w(m, freeBlocks, 2, 20, all ? 2 : 1);
    BackupOptions bo;
    bo.allBlocks = all;
    bo.cacheBlocks = 1u << 18;
    bo.afterSnapshot = [&] { w.start(); };
    uint64_t seq = logSeq();
    fullRound(proc, t, bo, &sink);
    w.stop();
    SessionStats st = lastSessionStats(seq);
    peak[all] = uint64_t(std::max<int64_t>(0, st.num("peak cached blocks")));
    writes[all] = w.writes();
    if (w.errors()) throw AgentError("figure 8: " + std::to_string(w.errors()) + " writes into free space failed");
  }
  Row b = ratioRow("8b", "peak cache blocks of a full backup under writers into free space, used blocks vs all",
                   "blocks", double(peak[0]), double(peak[1]), "<=", 0.01);
  snprintf(note, sizeof note, "%llu and %llu writes during the rounds; %llu free blocks",
           (unsigned long long)writes[0], (unsigned long long)writes[1], (unsigned long long)freeBlocks.size());
  b.note = note;
  if (peak[1] == 0) b.failed = true;
  rows.push_back(b);
}

}  // namespace velloc::bench
