// Pieces shared by the subcommands of `velloc`.
#pragma once
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "velloc/agent/backup.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/host.h"

namespace velloc::cli {

using nlohmann::json;
using namespace velloc::agent;

// A one-line progress bar on a terminal; silent otherwise. Redraws at most ten times a
// second and erases itself before any other output.
class Progress {
 public:
  Progress(std::ostream& err, bool enabled) : err_(err), on_(enabled) {}
  ~Progress() { clear(); }
  void update(const std::string& label, uint64_t done, uint64_t total);
  void clear();
 private:
  std::ostream& err_;
  bool on_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// True when `err` is the process's standard error and that is a terminal.
bool progressWanted(std::ostream& err);

// One round of one partition, as the table and the JSON show it.
struct RoundReport {
  int round = 0;
  std::string device;
  bool ok = false;
  std::string kind;               // "full" or "incr"
  std::string reason;             // why full
  std::string error;              // why the round failed
  uint64_t copied = 0, drained = 0, fromDisk = 0, fromCache = 0, cleaned = 0, cachePeak = 0;
  std::optional<uint64_t> changed;
  std::string blockMap;           // "used" (the file system's blocks only) or "all"
  std::string allBlocksReason;    // why all
  double timeToFreeze = 0, timeFrozen = 0, seconds = 0, mbps = 0;
  std::string verified = "-";     // "yes", "NO", "-" (not checked)
  std::string verifyNote;
  double oracleSeconds = 0;       // time the oracle spent reading inside the freeze
  double checkSeconds = 0;        // time spent checking the round afterwards
  json toJson() const;
};

// Runs the rounds of one partition's backup chain into one backup directory, with an
// optional point-in-time check of every round (demo) and restore check.
class PartitionJob {
 public:
  struct Options {
    BackupOptions backup;
    bool checkAgainstFreeze = false;  // needs the partition mounted; installs the oracle
    std::string restoreDir;           // where each round is rebuilt and checked ("" = no)
    bool fsck = false;                // e2fsck -fn on full and restored images
    // Called with true before a round is checked and false after: the demo quiets its
    // writers so the checks do not compete with them.
    std::function<void(bool)> quiet;
    // How the rounds store their blocks. The checks above read the round files
    // themselves, so they need raw rounds; a compressed one is checked through restore.
    Compression compression = Compression::none;
    // How long to wait for another writer of the backup directory to let go of it.
    double lockWaitSeconds = 0;
  };
  PartitionJob(Host& host, AgentProcess& proc, int partno, const std::string& outDir, Options o);
  ~PartitionJob();
  RoundReport runRound(int round, Progress* progress);
  const Target& target() const { return target_; }
  int nextRound() const { return writer_->nextRound(); }
  const std::string& outDir() const { return writer_->dir(); }
  bool anyRound() const { return !writer_->manifest().rounds.empty(); }

 private:
  void check(RoundReport& rep, int round, const RoundResult& r);
  Host& host_;
  AgentProcess& proc_;
  int partno_;
  Options o_;
  Target target_;
  KeyKeeper keys_;
  std::unique_ptr<BackupDirWriter> writer_;
  std::unique_ptr<FreezeOracle> oracle_;
};

// Prints rounds as a table.
void printTableHeader(std::ostream& out);
void printTableRow(std::ostream& out, const RoundReport& r);

int cmdDemo(const std::string& workdir, int rounds, int writers, double seconds, uint32_t cacheBlocks, bool json,
            std::ostream& out, std::ostream& err);
int cmdBackup(const std::string& image, int partition, const std::string& outDir, int rounds, int writers,
              uint32_t cacheBlocks, double seconds, Compression compression, bool allBlocks, bool json, std::ostream& out,
              std::ostream& err);
int cmdRestore(const std::string& dir, int round, const std::string& outImage, bool json, std::ostream& out,
               std::ostream& err);
int cmdVerify(const std::string& a, const std::string& b, uint32_t blockSize, bool json, std::ostream& out);
int cmdInfo(const std::string& image, bool json, std::ostream& out);
int cmdLog(const std::string& from, std::ostream& out);

std::string fmtSeconds(double s);  // "0.0123"

}  // namespace velloc::cli
