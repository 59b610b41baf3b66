// Rows from the Google Benchmark programs of bench/: their JSON output (--benchmark_out)
// is read and each known ratio counter becomes a row of the same table. A ratio counter
// of a program not listed here still gets a row, without a goal.
#include <nlohmann/json.hpp>

#include "bench_internal.h"
#include "fileutil.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

namespace {

struct Known {
  const char* bench;     // benchmark name up to the first '/'
  const char* counter;   // the ratio counter
  const char* id;
  const char* measure;
  const char* value;     // counters for the two sides ("" when none)
  const char* baseline;
  const char* unit;
  const char* goalOp;
  double goal;
};

const Known kKnown[] = {
    {"BM_SequentialReadRatio", "ratio", "1m", "block layer: runs of 256 one-block bios vs one preadv per run",
     "block_MiBps", "preadv_MiBps", "MiB/s", ">=", 0.85},
    {"BM_SequentialReadRatio", "ratio_per_block", "1m'", "block layer: runs of 256 one-block bios vs a preadv per block",
     "block_MiBps", "", "MiB/s", "", 0},
    {"BM_FullBackupReadRatio", "ratio", "1a-m", "device reads of 256 blocks per command into the mapped buffer vs preadv",
     "device_MiBps", "preadv_MiBps", "MiB/s", ">=", 0.80},
    {"BM_TrackedWriteRatio", "ratio", "2a-m", "bio writes through velAMRF vs the disk's own function, 1 thread",
     "tracked_MiBps", "own_MiBps", "MiB/s", ">=", 0.95},
    {"BM_CopyOnWriteRatio", "first_ratio", "2b-m", "bio first writes under copy-on-write vs no interception, 1 thread",
     "first_MiBps", "base_MiBps", "MiB/s", ">=", 0.33},
    {"BM_CopyOnWriteRatio", "rewrite_ratio", "2c-m", "bio re-writes of captured blocks vs no interception, 1 thread",
     "rewrite_MiBps", "base_MiBps", "MiB/s", ">=", 0.90},
    {"BM_BitmapScale", "ratio", "7f", "bitmap set+test per op: 1 GiB map vs 1 TiB map (time at 1 GiB / at 1 TiB)",
     "ns_1t", "ns_1g", "ns", ">=", 0.90},
    {"BM_LiveRandomWrites", "ratio_during_vs_none", "2b-live",
     "fio random 4 KiB writes in the host's ext4 on a live-mounted partition, back-to-back full backups vs none",
     "iops_during_backup", "iops_no_backup", "writes/s", "", 0},
    {"BM_BitmapScale", "local_ratio", "7g", "bitmap set+test per op in one 1 GiB window: 1 GiB map vs 1 TiB map",
     "local_ns_1t", "local_ns_1g", "ns", ">=", 0.90},
};

double num(const nlohmann::json& b, const char* key) {
  if (!key || !*key || !b.contains(key) || !b[key].is_number()) return 0;
  return b[key].get<double>();
}

// "ratio", "ratio_..." or "..._ratio"; not any name that merely contains the letters
// (Google Benchmark's own "iterations" does).
bool isRatioCounter(const std::string& key) {
  const std::string tail = "_ratio";
  return key == "ratio" || key.rfind("ratio_", 0) == 0 ||
         (key.size() > tail.size() && key.compare(key.size() - tail.size(), tail.size(), tail) == 0);
}

}  // namespace

std::vector<Row> microRows(const std::string& path) {
  std::vector<Row> rows;
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(agent::fs::readFile(path));
  } catch (const std::exception& e) {
    Row r;
    r.id = "m";
    r.measure = path;
    r.failed = true;
    r.note = std::string("unreadable benchmark output: ") + e.what();
    rows.push_back(r);
    return rows;
  }
  for (const auto& b : j.value("benchmarks", nlohmann::json::array())) {
    if (b.value("run_type", "iteration") != "iteration") continue;
    std::string name = b.value("name", "");
    std::string base = name.substr(0, name.find('/'));
    std::string args = name.find('/') == std::string::npos ? "" : name.substr(name.find('/'));
    // A parametrised benchmark's instances each get a row, told apart by their arguments;
    // options ("iterations:1") and timing modifiers ("real_time") are not arguments.
    std::string suffix;
    for (size_t p = 1; p < args.size();) {
      size_t q = args.find('/', p);
      std::string part = args.substr(p, q == std::string::npos ? std::string::npos : q - p);
      bool modifier = part == "real_time" || part == "process_time" || part == "manual_time";
      if (part.find(':') == std::string::npos && !modifier) suffix += "/" + part;
      p = q == std::string::npos ? args.size() : q + 1;
    }
    bool any = false;
    for (const Known& k : kKnown) {
      if (base != k.bench || !b.contains(k.counter)) continue;
      any = true;
      Row r;
      r.id = std::string(k.id) + suffix;
      r.measure = std::string(k.measure) + " (micro)";
      r.value = num(b, k.value);
      r.baseline = num(b, k.baseline);
      r.unit = k.unit;
      r.ratio = num(b, k.counter);
      r.goalOp = k.goalOp;
      r.goal = k.goal;
      r.note = name;
      if (b.contains("error_occurred") && b["error_occurred"].get<bool>()) {
        r.failed = true;
        r.note += ": " + b.value("error_message", std::string("error"));
      }
      rows.push_back(r);
    }
    if (any) continue;
    for (const auto& [key, v] : b.items()) {
      if (!isRatioCounter(key) || !v.is_number()) continue;
      Row r;
      r.id = "m";
      r.measure = name + " " + key + " (micro)";
      r.ratio = v.get<double>();
      r.unit = "ratio";
      rows.push_back(r);
    }
    if (b.contains("error_occurred") && b["error_occurred"].get<bool>()) {
      Row r;
      r.id = "m";
      r.measure = name;
      r.failed = true;
      r.note = b.value("error_message", std::string("error"));
      rows.push_back(r);
    }
  }
  return rows;
}

}  // namespace velloc::bench
