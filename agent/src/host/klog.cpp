// Reading the kernel log: the statistics block of a closed session, and saving the log
// of a run for `velloc log`.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "machine/kernel.h"
#include "velloc/agent/host.h"

namespace velloc::agent {

int64_t SessionStats::num(const std::string& label) const {
  auto it = values.find(label);
  return it == values.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
}

double SessionStats::seconds(const std::string& label) const {
  auto it = values.find(label);
  return it == values.end() ? 0.0 : std::strtod(it->second.c_str(), nullptr);
}

SessionStats lastSessionStats(uint64_t afterSeq) {
  SessionStats s;
  const std::string prefix = "printStats: ";
  auto recs = machine::log_records(afterSeq);
  // The block starts at its "device:" line; keep the last complete one.
  size_t start = recs.size();
  for (size_t i = 0; i < recs.size(); ++i)
    if (recs[i].text.rfind(prefix + "device:", 0) == 0) start = i;
  if (start == recs.size()) return s;
  s.found = true;
  for (size_t i = start; i < recs.size(); ++i) {
    std::string t = recs[i].text;
    if (t.rfind(prefix, 0) != 0) {
      if (t.find("backup finished") != std::string::npos) s.lines.push_back(t);
      if (i > start) break;
      continue;
    }
    while (!t.empty() && t.back() == '\n') t.pop_back();
    s.lines.push_back(t);
    std::string body = t.substr(prefix.size());
    auto colon = body.rfind(": ");
    if (colon == std::string::npos) continue;
    s.values[body.substr(0, colon)] = body.substr(colon + 2);
  }
  return s;
}

uint64_t logSeq() { return machine::log_last_seq(); }

std::string kernelLog() { return machine::log_dmesg(); }

std::string lastLogPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base = state && *state ? state : "";
  if (base.empty()) {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.local/state";
  }
  return base + "/velloc/last-run.log";
}

void saveKernelLog(const std::string& path) {
  std::string log = kernelLog();
  std::error_code ec;
  auto write = [&](const std::string& p) {
    std::filesystem::create_directories(std::filesystem::path(p).parent_path(), ec);
    std::ofstream f(p, std::ios::trunc);
    f << log;
  };
  if (!path.empty()) write(path);
  write(lastLogPath());
}

}  // namespace velloc::agent
