// Progress bar, the round table and the JSON form of a round.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "cli_internal.h"

namespace velloc::cli {

bool progressWanted(std::ostream& err) { return &err == &std::cerr && ::isatty(2); }

void Progress::update(const std::string& label, uint64_t done, uint64_t total) {
  if (!on_) return;
  auto now = std::chrono::steady_clock::now();
  if (shown_ && done < total && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  const int width = 30;
  int fill = total ? int(double(done) / double(total) * width) : width;
  char line[160];
  std::snprintf(line, sizeof line, "\r%-22.22s [%-*s] %3d%% %llu/%llu blocks", label.c_str(), width,
                std::string(size_t(fill), '#').c_str(), total ? int(done * 100 / total) : 100,
                (unsigned long long)done, (unsigned long long)total);
  err_ << line << std::flush;
  shown_ = true;
}

void Progress::clear() {
  if (!on_ || !shown_) return;
  err_ << "\r" << std::string(80, ' ') << "\r" << std::flush;
  shown_ = false;
}

std::string fmtSeconds(double s) {
  char b[32];
  std::snprintf(b, sizeof b, "%.4f", s);
  return b;
}

void printTableHeader(std::ostream& out) {
  char b[200];
  std::snprintf(b, sizeof b, "%-5s %-6s %-4s %8s %8s %7s %8s %6s %9s %8s %7s %s\n", "round", "device", "kind",
                "copied", "disk", "cache", "changed", "peak", "to-freeze", "frozen", "MB/s", "verified");
  out << b;
}

void printTableRow(std::ostream& out, const RoundReport& r) {
  char b[256];
  if (!r.error.empty() && r.kind.empty()) {
    std::snprintf(b, sizeof b, "%-5d %-6s %-4s %s\n", r.round, r.device.c_str(), "-", "FAILED");
    out << b << "      error: " << r.error << "\n";
    return;
  }
  std::string changed = r.changed ? std::to_string(*r.changed) : "-";
  std::snprintf(b, sizeof b, "%-5d %-6s %-4s %8llu %8llu %7llu %8s %6llu %9s %8s %7.1f %s\n", r.round,
                r.device.c_str(), r.kind.c_str(), (unsigned long long)r.copied, (unsigned long long)r.fromDisk,
                (unsigned long long)r.fromCache, changed.c_str(), (unsigned long long)r.cachePeak,
                fmtSeconds(r.timeToFreeze).c_str(), fmtSeconds(r.timeFrozen).c_str(), r.mbps,
                r.error.empty() ? r.verified.c_str() : "FAILED");
  out << b;
  if (!r.reason.empty() && r.round > 0) out << "      full because: " << r.reason << "\n";
  if (!r.allBlocksReason.empty()) out << "      all blocks because: " << r.allBlocksReason << "\n";
  if (!r.error.empty()) out << "      error: " << r.error << "\n";
  if (!r.verifyNote.empty()) out << "      check: " << r.verifyNote << "\n";
}

json RoundReport::toJson() const {
  json j = {{"round", round},
            {"device", device},
            {"ok", ok},
            {"kind", kind},
            {"blocksCopied", copied},
            {"blocksDrained", drained},
            {"fromDisk", fromDisk},
            {"fromCache", fromCache},
            {"cleanedFromCache", cleaned},
            {"cachePeak", cachePeak},
            {"timeToFreeze", timeToFreeze},
            {"timeFrozen", timeFrozen},
            {"seconds", seconds},
            {"MBps", mbps},
            {"verified", verified}};
  j["changedBlocks"] = changed ? json(*changed) : json(nullptr);
  if (!reason.empty()) j["fullBecause"] = reason;
  if (!blockMap.empty()) j["blockMap"] = blockMap;
  if (!allBlocksReason.empty()) j["allBlocksBecause"] = allBlocksReason;
  if (!error.empty()) j["error"] = error;
  if (!verifyNote.empty()) j["check"] = verifyNote;
  if (oracleSeconds > 0) j["oracleSecondsInFreeze"] = oracleSeconds;
  if (checkSeconds > 0) j["checkSeconds"] = checkSeconds;
  return j;
}

}  // namespace velloc::cli
