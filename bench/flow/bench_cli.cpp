// `velloc bench`: runs the whole-flow figures, folds in the rows of the Google Benchmark
// programs given with --micro, prints one table and writes it as JSON.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "bench_internal.h"
#include "fileutil.h"
#include "velloc/agent/errors.h"
#include "velloc/bench.h"

namespace velloc {

namespace bench {
namespace {

std::string fmt(double v) {
  char b[32];
  if (v == 0) return "-";
  double a = v < 0 ? -v : v;
  snprintf(b, sizeof b, a >= 1000 ? "%.0f" : a >= 10 ? "%.1f" : a >= 0.1 ? "%.3f" : "%.4f", v);
  return b;
}

std::string goalText(const Row& r) {
  if (r.goalOp.empty()) return "-";
  char b[48];
  snprintf(b, sizeof b, "%s%s%g", r.goalOnValue ? "value" : "", r.goalOp.c_str(), r.goal);
  return b;
}

std::string metText(const Row& r) {
  if (r.failed) return "FAIL";
  if (r.goalOp.empty()) return "-";
  return r.met() ? "yes" : "NO";
}

// The figure a row belongs to: its leading number.
int figureOf(const Row& r) { return std::isdigit(static_cast<unsigned char>(r.id[0])) ? r.id[0] - '0' : 9; }

void printTable(std::ostream& out, const std::vector<Row>& rows, const std::string& header) {
  out << header << "\n\n";
  char line[512];
  snprintf(line, sizeof line, "%-11s %8s  %-12s %-4s  %10s %10s  %-9s %s\n", "fig", "ratio", "goal", "met", "value",
           "baseline", "unit", "measure");
  out << line;
  for (const Row& r : rows) {
    snprintf(line, sizeof line, "%-11s %8s  %-12s %-4s  %10s %10s  %-9s %s\n", r.id.c_str(),
             r.failed ? "-" : fmt(r.ratio).c_str(), goalText(r).c_str(), metText(r).c_str(), fmt(r.value).c_str(),
             fmt(r.baseline).c_str(), r.unit.c_str(), r.measure.c_str());
    out << line;
  }
  out << "\nnotes:\n";
  for (const Row& r : rows)
    if (!r.note.empty()) out << "  " << r.id << ": " << r.note << "\n";
}

nlohmann::json rowJson(const Row& r) {
  nlohmann::json j = {{"id", r.id}, {"measure", r.measure}, {"value", r.value}, {"baseline", r.baseline},
                      {"unit", r.unit}, {"ratio", r.ratio}, {"failed", r.failed}, {"note", r.note}};
  if (r.goalOp.empty()) {
    j["goal"] = nullptr;
    j["met"] = nullptr;
  } else {
    j["goal"] = {{"on", r.goalOnValue ? "value" : "ratio"}, {"op", r.goalOp}, {"value", r.goal}};
    j["met"] = r.met();
  }
  return j;
}

std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

std::string defaultWorkdir() {
  struct stat st;
  if (::stat("build", &st) == 0 && S_ISDIR(st.st_mode)) return "build/bench/work";
  return "velloc-bench";
}

}  // namespace
}  // namespace bench

int runBench(int argc, char** argv, std::ostream& out, std::ostream& err) {
  using namespace bench;
  CLI::App app{"velloc bench: whole-flow speed and memory figures, each against a baseline of the same run"};
  Options o;
  o.workdir = defaultWorkdir();
  std::string outJson, only;
  std::vector<std::string> micro;
  app.add_option("--workdir", o.workdir, "where the image files are kept between runs");
  app.add_option("--scratch", o.scratch,
                 "where the sparse images of this run go, removed at the end (default: /dev/shm when writable, "
                 "else WORKDIR/scratch)");
  app.add_option("--out", outJson, "write the table as JSON to this file");
  app.add_flag("--quick", o.quick, "smaller sizes, fewer repetitions (a smoke run, not for the record)");
  app.add_option("--only", only, "comma-separated figures to run (1-8); 'none' runs no figure");
  app.add_option("--micro", micro, "JSON output of a Google Benchmark program of bench/ to include (repeatable)");
  app.name("velloc bench");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      out << app.help();
      return 0;
    }
    err << "velloc bench: error: " << e.what() << "\n";
    return 2;
  }
  for (size_t p = 0; !only.empty() && p <= only.size();) {
    size_t q = only.find(',', p);
    if (q == std::string::npos) q = only.size();
    if (q > p) o.only.push_back(only.substr(p, q - p));
    p = q + 1;
  }
  auto wanted = [&](const std::string& fig) {
    return o.only.empty() || std::find(o.only.begin(), o.only.end(), fig) != o.only.end();
  };
  o.log = &err;
  std::error_code ec;
  std::filesystem::create_directories(o.workdir, ec);
  if (ec) {
    err << "velloc bench: error: cannot create " << o.workdir << ": " << ec.message() << "\n";
    return 2;
  }
  // Sparse images go to memory (tmpfs) when the machine has it, so that the host's own
  // disk (writeback, flushes at every freeze) does not enter the ratios.
  if (o.scratch.empty()) {
    o.scratch = o.workdir + "/scratch";
    if (::access("/dev/shm", W_OK) == 0) o.scratch = "/dev/shm/velloc-bench-" + std::to_string(::getpid());
  }
  std::filesystem::create_directories(o.scratch, ec);
  if (ec) {
    err << "velloc bench: error: cannot create " << o.scratch << ": " << ec.message() << "\n";
    return 2;
  }
  struct Scratch {
    std::string dir;
    ~Scratch() { agent::fs::removeTree(dir); }
  } scratchGone{o.scratch};

  auto t0 = Clock::now();
  std::string load0 = loadAverage();
  std::vector<Row> rows;
  for (const std::string& m : micro) {
    auto r = microRows(m);
    rows.insert(rows.end(), r.begin(), r.end());
  }
  struct Fig {
    const char* num;
    std::function<void(const Options&, std::vector<Row>&)> run;
  };
  const Fig figs[] = {{"1", figureFullBackup}, {"2", figureWriters},     {"4", figureSnapshot},
                      {"5", figureIncremental}, {"6", figureCacheDrain}, {"7", figureScale},
                      {"8", figureUsedBlocks}};
  for (const Fig& f : figs) {
    // Figures 3 and 6b come with figure 2's runs, 6a with figure 5's.
    bool want = wanted(f.num) || (std::string(f.num) == "2" && (wanted("3") || wanted("6"))) ||
                (std::string(f.num) == "5" && wanted("6"));
    if (!want) continue;
    auto ft = Clock::now();
    try {
      f.run(o, rows);
    } catch (const std::exception& e) {
      Row r;
      r.id = f.num;
      r.measure = std::string("figure ") + f.num;
      r.failed = true;
      r.note = e.what();
      rows.push_back(r);
    }
    char b[64];
    snprintf(b, sizeof b, "figure %s took %.1f s", f.num, secondsSince(ft));
    progress(o, b);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return figureOf(a) < figureOf(b); });

  double seconds = secondsSince(t0);
  char when[64];
  time_t now = time(nullptr);
  strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&now));
  std::ostringstream header;
  header << "velloc bench " << when << (o.quick ? " (quick)" : "") << ": " << std::thread::hardware_concurrency()
         << " cpus, load average " << load0 << " at start; every ratio is against a baseline of the same run";
  printTable(out, rows, header.str());

  bool anyFailed = std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.failed; });
  if (!outJson.empty()) {
    nlohmann::json j = {{"tool", "velloc bench"}, {"date", when}, {"quick", o.quick},
                        {"cpus", std::thread::hardware_concurrency()}, {"loadAverageAtStart", load0},
                        {"loadAverageAtEnd", loadAverage()}, {"seconds", seconds}};
    j["figures"] = nlohmann::json::array();
    for (const Row& r : rows) j["figures"].push_back(rowJson(r));
    std::string s = j.dump(2) + "\n";
    try {
      agent::fs::writeFileAtomic(outJson, s.data(), s.size());
    } catch (const agent::AgentError& e) {
      err << "velloc bench: error: " << e.what() << "\n";
      return 2;
    }
  }
  return anyFailed ? 1 : 0;
}

}  // namespace velloc
