// Pieces shared by the figures of `velloc bench`: the result row, clocks and
// percentiles, sinks for the copied blocks, image files, writer threads that time every
// write, and short sessions driven straight through the device.
//
// Every figure runs on its own Host (one disk, the module loaded), one after the other.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/device.h"
#include "velloc/agent/host.h"

namespace velloc::bench {

using namespace velloc::agent;

// One line of the table. `ratio` is always measured against `baseline` of the same run;
// the goal (if any) applies to `ratio`, or to `value` when goalOnValue.
struct Row {
  std::string id;           // "1a"
  std::string measure;      // what is measured, and against what
  double value = 0;         // the measured side, in `unit`
  double baseline = 0;      // the baseline, in `unit` (0: none)
  std::string unit;
  double ratio = 0;         // value against baseline as `measure` defines it
  std::string goalOp;       // ">=", "<=", "" (no goal)
  double goal = 0;
  bool goalOnValue = false;
  std::string note;         // details: percentiles, counts, why it could not run
  bool failed = false;      // the figure could not be measured
  bool met() const;
};

// A row whose ratio is value / baseline (a speed, a time or a size against the same kind of
// figure of the same run), with its goal if it has one.
Row ratioRow(std::string id, std::string measure, std::string unit, double value, double baseline,
             std::string goalOp = "", double goal = 0);

struct Options {
  std::string workdir;      // image files are kept here between runs
  std::string scratch;      // sparse images of one run: memory-backed (tmpfs) when there is one
  bool quick = false;       // smaller sizes and fewer repetitions (a smoke run)
  std::vector<std::string> only;  // figure numbers to run ("1", "5"); empty: all
  std::ostream* log = nullptr;    // progress lines
};

// Each figure appends its rows; an exception becomes a failed row of that figure.
void figureFullBackup(const Options& o, std::vector<Row>& rows);      // 1
void figureWriters(const Options& o, std::vector<Row>& rows);         // 2, 3, 6b
void figureSnapshot(const Options& o, std::vector<Row>& rows);        // 4
void figureIncremental(const Options& o, std::vector<Row>& rows);     // 5, 6a
void figureCacheDrain(const Options& o, std::vector<Row>& rows);      // 6c
void figureScale(const Options& o, std::vector<Row>& rows);           // 7
void figureUsedBlocks(const Options& o, std::vector<Row>& rows);      // 8
// Rows from the JSON output of a Google Benchmark program of bench/.
std::vector<Row> microRows(const std::string& path);

// ---- measuring ------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}
// The q-quantile (0..1) of the values, nearest rank; 0 for none. Sorts a copy.
double quantile(std::vector<double> v, double q);
// Bytes the process has taken from the heap (all arenas plus mmapped blocks).
uint64_t heapInUse();
void progress(const Options& o, const std::string& line);

// ---- sinks ----------------------------------------------------------------------------

// Takes the blocks and drops them: the copy ends in the agent's mapped buffer.
class NullSink : public BlockSink {
 public:
  void write(uint32_t, const std::vector<Piece>&, uint32_t) override {}
};

// Writes the blocks to a file at block × block size (the partition image).
class FileSink : public BlockSink {
 public:
  FileSink(const std::string& path, uint32_t blockSize);
  ~FileSink() override;
  void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) override;
 private:
  std::string path_;
  int fd_;
  uint32_t bs_;
};

// ---- images and disks -------------------------------------------------------------------

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;
constexpr uint32_t kBlock = 4096;
constexpr uint64_t kPartStart = 2048;  // sectors: partitions start at 1 MiB

// A sparse image with one partition of `partBytes` at 1 MiB, in the scratch directory
// (recreated every time).
std::string sparseImage(const Options& o, const std::string& name, uint64_t partBytes);
// A memory disk with one partition of `partBytes` at 1 MiB, every byte of it written
// once so that no figure pays for the host's first touch of a page.
std::unique_ptr<Host> memoryHost(uint64_t partBytes);
// Fills [off, off+len) of a file with non-repeating data.
void fillFile(int fd, uint64_t off, uint64_t len, uint64_t seed);

// ---- writers ------------------------------------------------------------------------------

// Threads writing one block per call through a mount, each with its own list of blocks
// in the order given, all started together. Records the time of every write.
struct WriteRun {
  double seconds = 0;                  // first start to last finish
  uint64_t writes = 0;
  uint64_t errors = 0;
  std::vector<double> latencies;       // seconds, submission to completion, every write
  double cpuSeconds = 0;               // processor time of the writer threads (their own
                                       // part of each write: submission, interception, wait)
  double perSecond() const { return seconds > 0 ? double(writes) / seconds : 0; }
};
WriteRun runWriters(machine::Mount* m, const std::vector<std::vector<uint32_t>>& perThread);

// Threads writing random blocks of a list until stopped, pausing between writes.
class BackgroundWriters {
 public:
  BackgroundWriters(machine::Mount* m, std::vector<uint32_t> blocks, unsigned threads, unsigned pauseMicros,
                    uint64_t seed);
  ~BackgroundWriters();
  void start();
  void stop();
  uint64_t writes() const { return writes_.load(); }
  uint64_t errors() const { return errors_.load(); }
 private:
  machine::Mount* m_;
  std::vector<uint32_t> blocks_;
  unsigned n_, pause_;
  uint64_t seed_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> writes_{0}, errors_{0};
  std::vector<std::thread> threads_;
};

// ---- sessions ------------------------------------------------------------------------------

// A session opened straight on the device (no blocks read): started and snapshotted.
// `track` false asks for no change tracking (doNoStartAutoMap), which also removes a
// change-tracking session the partition had. Closing the handle ends the session.
// Throws AgentError when a command is refused.
std::unique_ptr<Device> openSnapshot(AgentProcess& proc, const Target& t, uint32_t cacheBlocks, bool track,
                                     const AMSessionKey* key = nullptr);
// A full backup round with default agent options except those given.
RoundResult fullRound(AgentProcess& proc, const Target& t, BackupOptions bo, BlockSink* sink);

}  // namespace velloc::bench
