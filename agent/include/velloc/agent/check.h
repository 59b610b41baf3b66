// `velloc check`: verifies a backup directory without restoring it.
//
// Always (metadata only, fast: reads the manifest, the change maps, the incremental
// headers and the directory, never the blocks):
//   - the manifest reads and its rounds are numbered in order, the first one full;
//   - every listed file is there with the size the manifest gives (a full image: the
//     partition's size), each incremental's header matches the manifest and its change
//     map (round, partition, block size and count, blocks, key digests, map checksum),
//     each change map has its checksum and size and as many blocks as its data holds;
//     a compressed round's header matches the manifest and its chunk index its checksum,
//     covers the file and lies in order;
//   - the key chain: every incremental presented the key the round before kept;
//   - the key file, when there is one, is the last round's key of this partition;
//   - no file is missing and none is unknown. Leftovers of an interrupted run (partial
//     files nobody writes, round files the manifest does not list) are reported as
//     notes: no restore point needs them and the next writer removes them.
// With readData, also every file's SHA-256 against the manifest, and every chunk of a
// compressed round decompressed to its size.
#pragma once
#include <string>
#include <vector>

namespace velloc::agent {

struct Manifest;
struct RoundEntry;

struct CheckFinding {
  std::string file;               // path, or the directory for problems of the whole
  std::string what;
};

struct CheckReport {
  std::string dir;
  bool readData = false;
  bool couldNotCheck = false;     // no backup directory to check (why: problems[0])
  std::vector<CheckFinding> problems;
  std::vector<CheckFinding> notes;
  int rounds = 0;
  int files = 0;
  uint64_t bytes = 0;
  // 0 clean, 1 damaged, 2 could not check.
  int exitCode() const { return couldNotCheck ? 2 : problems.empty() ? 0 : 1; }
};

CheckReport checkBackupDir(const std::string& dir, bool readData);

// What is wrong with round `e`'s files: `prev` is the round before it (nullptr when it
// has none); with `readData` the checksums too. Empty when nothing is.
std::vector<std::string> roundProblems(const Manifest& m, const std::string& dir, const RoundEntry& e,
                                       const RoundEntry* prev, bool readData);

}  // namespace velloc::agent
