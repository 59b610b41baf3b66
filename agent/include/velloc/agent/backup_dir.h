// The backup directory: one full image, the incrementals that follow it, their change
// maps and a manifest (layout in docs/formats.md). Files are written under temporary
// names and renamed when complete; the directory itself is built beside its final
// name and renamed into place, so nothing half-written ever looks like a backup.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velloc/agent/backup.h"
#include "velloc/agent/partial_files.h"
#include "velloc/agent/repo_lock.h"

namespace velloc::agent {

// Where the blocks came from.
struct SourceInfo {
  std::string image;              // disk image path as given
  int partition = 0;              // 1-based partition number
  std::string device;             // "sda1"
  uint32_t major = 0, minor = 0;
  uint64_t startSector = 0, sectors = 0;
  uint32_t blockSize = 0, totalBlocks = 0;
  // Hex digest naming this partition of this image; every round file carries it.
  std::string id() const;
};

struct RoundEntry {
  int round = 0;
  bool incremental = false;
  std::string file;               // round-NNN.full.img or round-NNN.incr
  std::string mapFile;            // round-NNN.map (incrementals)
  uint64_t bytes = 0;             // size of `file`
  std::string sha256;             // of `file`
  std::string mapSha256;          // of `mapFile`
  uint64_t blocks = 0;            // blocks copied
  std::string keyDigest;          // digest of the key kept after this round
  std::string presentedKeyDigest; // digest of the key presented (incrementals)
  std::string reason;             // why a full backup was taken
  double seconds = 0;
  std::string encoding = "raw";   // how `file` holds its blocks (docs/formats.md)
  // Which blocks the round copied: "used" (those its file system used at the snapshot;
  // the others are holes of a full image, absent from an incremental's map) or "all";
  // "" in manifests before version 3, which copied all.
  std::string blockMap;
  std::string allBlocksReason;    // why all ("all" only)
};

// Manifests up to this version are read. A manifest is written in the lowest version
// that holds what its rounds record, so that older velloc versions still read it: 1 while
// all are raw, 2 with compressed rounds, 3 once a round copied only the blocks its file
// system used (its full image no longer equals the partition where blocks were free).
constexpr int kManifestVersion = 3;

// How round data is stored: raw (a full image, or an incremental's packed blocks) or in
// zstd chunks at a fast or a strong level (round_chunks.h).
enum class Compression { none, fast, strong };

// The blocks of one round's file: the k-th block it holds (a full round holds block k,
// an incremental the k-th block set in its map).
class RoundData {
 public:
  virtual ~RoundData() = default;
  virtual void read(uint64_t index, uint32_t count, uint8_t* out) = 0;
};

struct Manifest {
  SourceInfo source;
  std::string partitionId;
  std::vector<RoundEntry> rounds;
  // Reads DIR/manifest.json; throws AgentError naming what is wrong.
  static Manifest load(const std::string& dir);
  // Writes DIR/manifest.json through a temporary file.
  void save(const std::string& dir) const;
};

// Byte layout of an incremental file's header.
constexpr uint32_t kIncrHeaderBytes = 4096;
constexpr char kIncrMagic[9] = "VELINCR1";
struct IncrHeader {
  uint32_t version = 1, round = 0, blockSize = 0, totalBlocks = 0, changedBlocks = 0;
  std::string partitionId, presentedKeyDigest, keyDigest, mapSha256;
};
std::vector<uint8_t> encodeIncrHeader(const IncrHeader& h);
// False when the bytes are not an incremental header.
bool decodeIncrHeader(const uint8_t* p, size_t len, IncrHeader* h);

std::string roundFileName(int round, bool incremental, Compression c = Compression::none);
std::string roundMapName(int round);

// Removes the round files in `dir` that `m` does not list: left by a writer that died
// between writing them and switching the manifest, or after switching it and before
// removing what it no longer lists. Only for the holder of DIR's lock; never throws.
void removeUnlistedRoundFiles(const std::string& dir, const Manifest& m);

struct RoundFiles;  // the files of the round being written

class BackupDirWriter {
 public:
  // A new `dir` is built as DIR.partial-PID and renamed into place with its first round;
  // a `dir` holding a backup of the same partition is continued (the next round is its
  // last plus one). Either way DIR's lock is held for the writer's lifetime (waiting up
  // to `lockWaitSeconds` for another writer), and what killed runs left there is removed
  // first. Refuses a `dir` that exists and holds no backup, or one of another partition,
  // and a parent that is missing or not writable.
  BackupDirWriter(const std::string& dir, const SourceInfo& src, double lockWaitSeconds = 0);
  // Removes the temporary directory unless it was published.
  ~BackupDirWriter();

  // How the rounds written from now on store their blocks.
  void setCompression(Compression c) { compression_ = c; }

  // The number the next round gets.
  int nextRound() const { return m_.rounds.empty() ? 0 : m_.rounds.back().round + 1; }
  // Keeps the change-tracking key drawn by `round`, which must be the last committed
  // round, in DIR/key for the next run.
  void keepKey(int round, const AMSessionKey& key);

  // A sink writing round `round`'s file under a temporary name.
  std::unique_ptr<BlockSink> openRound(int round, const RoundPlan& plan);
  // Completes the round's files, renames them into place and rewrites the manifest.
  RoundEntry commitRound(int round, const RoundPlan& plan, const RoundResult& r);
  // The two steps of commitRound: the round's files complete and in place (listed
  // nowhere yet), then the manifest replaced by `next` with one rename.
  RoundEntry completeRound(int round, const RoundPlan& plan, const RoundResult& r);
  void switchManifest(Manifest next);
  // Drops a failed round's temporary files.
  void abortRound(int round);
  // Renames the temporary directory to its final name (when at least one round is in).
  void publish();

  const std::string& dir() const { return final_; }
  const std::string& workDir() const { return tmp_; }
  const Manifest& manifest() const { return m_; }

 private:
  void createNew();
  void continueExisting(const SourceInfo& src, double lockWaitSeconds);
  std::string final_, tmp_;
  Manifest m_;
  bool published_ = false;
  RepoLock lock_;
  Compression compression_ = Compression::none;
  PartialGuard tmpGuard_;
  std::unique_ptr<RoundFiles> cur_;
};

}  // namespace velloc::agent
