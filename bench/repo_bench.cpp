// The backup directory's figures, from one run on one half-full ext4 partition: bytes on
// disk of a full and an incremental round (raw, sparse, each compression level), the
// throughput of a full backup and of a restore compressed as a ratio of raw, and merge
// time against the bytes merged. Prints a Markdown table (BENCHMARKS.md).
//
//   velloc_repo_bench [--scratch DIR] [--mib N] [--reps N]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "velloc/agent/backup_dir.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/merge.h"
#include "velloc/agent/restore.h"
#include "velloc/cli.h"

using namespace velloc::agent;
namespace sfs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

uint64_t allocated(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

// `velloc --json backup ...` in this process; its JSON.
nlohmann::json runVelloc(std::vector<std::string> args) {
  args.insert(args.begin(), {"velloc", "--json"});
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  std::ostringstream out, err;
  int rc = velloc::runCli(int(argv.size()), argv.data(), out, err);
  if (rc != 0) throw std::runtime_error("velloc failed: " + err.str());
  return nlohmann::json::parse(out.str());
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Level {
  const char* name;
  std::vector<double> backupMBps, restoreMBps;
  uint64_t fullBytes = 0, fullAllocated = 0, incrBlocks = 0, incrAllocated = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string scratch = "/dev/shm/velloc-repo-bench-" + std::to_string(::getpid());
  uint64_t mib = 256;
  int reps = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--scratch") scratch = argv[i + 1];
    else if (a == "--mib") mib = std::stoull(argv[i + 1]);
    else if (a == "--reps") reps = std::stoi(argv[i + 1]);
  }
  sfs::create_directories(scratch);
  const std::string image = scratch + "/disk.img";
  // Half full: files of mkfs -d fill half the partition.
  FsSpec spec{4096, mib << 20, "repobench", unsigned(mib / 8), 4ull << 20};
  auto parts = buildExt4Image(image, {spec}, scratch);
  const uint64_t partBytes = spec.bytes;
  // mkfs lays the files down with self-describing blocks that hardly compress; every
  // other data block becomes text, as in logs and sources, so that the data is half
  // compressible and half not.
  {
    FILE* f = std::fopen(image.c_str(), "r+b");
    std::vector<char> text(4096);
    for (size_t i = 0; i < parts[0].dataBlocks.size(); i += 2) {
      for (size_t at = 0; at < text.size();) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "2026-12-09 02:%02zu:%02zu velloc[%zu]: round %zu copied %zu blocks\n",
                              i % 60, at % 60, 1000 + i % 7, i, at);
        for (int k = 0; k < n && at < text.size(); ++k) text[at++] = line[k];
      }
      std::fseek(f, long(parts[0].startSector * 512 + uint64_t(parts[0].dataBlocks[i]) * 4096), SEEK_SET);
      std::fwrite(text.data(), 1, text.size(), f);
    }
    std::fclose(f);
  }

  std::vector<Level> levels = {{"none"}, {"fast"}, {"strong"}};
  for (int rep = 0; rep < reps; ++rep) {
    for (Level& l : levels) {
      // Each level backs up its own copy of the same image: a full round, writers for a
      // moment, an incremental.
      const std::string img = scratch + "/img-" + l.name, dir = scratch + "/b-" + l.name;
      sfs::remove_all(dir);
      sfs::copy_file(image, img, sfs::copy_options::overwrite_existing);
      auto j = runVelloc({"backup", img, "--partition", "1", "--out", dir, "--rounds", "1", "--writers", "2",
                       "--seconds", "0.3", "--compress", l.name});
      l.backupMBps.push_back(j["rounds"][0]["MBps"].get<double>());
      Manifest m = Manifest::load(dir);
      l.fullBytes = m.rounds[0].bytes;
      l.fullAllocated = allocated(dir + "/" + m.rounds[0].file);
      l.incrBlocks = m.rounds[1].blocks;
      l.incrAllocated = allocated(dir + "/" + m.rounds[1].file) + allocated(dir + "/" + m.rounds[1].mapFile);
      const std::string out = scratch + "/restored.img";
      sfs::remove(out);
      auto t = Clock::now();
      restoreImage(dir, 0, out);
      l.restoreMBps.push_back(double(partBytes) / since(t) / 1e6);
      sfs::remove(out);
      sfs::remove(img);
    }
  }

  auto& raw = levels[0];
  std::printf("| figure | value | ratio to raw |\n|---|---|---|\n");
  std::printf("| partition (ext4, 4 KiB blocks, half full) | %llu MiB | - |\n", (unsigned long long)mib);
  std::printf("| full round, raw image without holes (apparent size) | %.1f MiB | 1.00 |\n", raw.fullBytes / 1048576.0);
  std::printf("| full round, raw image with holes (none; allocated) | %.1f MiB | %.2f |\n", raw.fullAllocated / 1048576.0,
              double(raw.fullAllocated) / double(raw.fullBytes));
  for (size_t i = 1; i < levels.size(); ++i)
    std::printf("| full round, %s (zstd chunks) | %.1f MiB | %.2f |\n", levels[i].name, levels[i].fullAllocated / 1048576.0,
                double(levels[i].fullAllocated) / double(raw.fullBytes));
  // The writers change a different number of blocks in each run: compare per block.
  auto perBlock = [](const Level& l) { return double(l.incrAllocated) / double(std::max<uint64_t>(1, l.incrBlocks)); };
  for (Level& l : levels)
    std::printf("| incremental round + map, %s (allocated; %llu blocks changed) | %.2f MiB, %.0f bytes per changed block | %.2f |\n",
                l.name, (unsigned long long)l.incrBlocks, l.incrAllocated / 1048576.0, perBlock(l), perBlock(l) / perBlock(raw));
  for (Level& l : levels)
    std::printf("| full-backup throughput, %s (median of %d) | %.0f MB/s | %.2f |\n", l.name, reps,
                median(l.backupMBps), median(l.backupMBps) / median(raw.backupMBps));
  for (Level& l : levels)
    std::printf("| restore throughput of the full round, %s (median of %d) | %.0f MB/s | %.2f |\n", l.name, reps,
                median(l.restoreMBps), median(l.restoreMBps) / median(raw.restoreMBps));

  // Merge time against the bytes merged: chains of 1, 3 and 6 incrementals after the full.
  std::printf("\n| merge | rounds folded | bytes read | seconds | MB/s |\n|---|---|---|---|---|\n");
  for (int incr : {1, 3, 6}) {
    const std::string img = scratch + "/img-merge", dir = scratch + "/b-merge";
    sfs::remove_all(dir);
    sfs::copy_file(image, img, sfs::copy_options::overwrite_existing);
    runVelloc({"backup", img, "--partition", "1", "--out", dir, "--rounds", std::to_string(incr), "--writers", "2",
            "--seconds", "0.3", "--compress", "none"});
    MergeResult r = mergeRounds(dir, incr);
    std::printf("| raw, upto %d | %d | %.1f MiB | %.3f | %.0f |\n", incr, r.roundsDropped + 1, r.bytesRead / 1048576.0,
                r.seconds, r.bytesRead / r.seconds / 1e6);
    sfs::remove(img);
  }
  sfs::remove_all(scratch);
  return 0;
}
