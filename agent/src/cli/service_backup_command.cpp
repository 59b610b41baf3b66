// `velloc backup DEVICE --repo DIR`: one round of a device of the service into a
// repository, run inside the service; this process shows its progress and result.
#include <filesystem>

#include "cli_internal.h"
#include "service_commands.h"

namespace velloc::cli {

int cmdServiceBackup(const ServiceBackupArgs& a, bool asJson, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  std::string repo = std::filesystem::absolute(a.repo, ec).string();
  Progress progress(err, progressWanted(err));
  json fields = {{"device", a.device}, {"repo", repo}, {"cacheBlocks", a.cacheBlocks}, {"full", a.full},
                 {"verify", a.verify}, {"allBlocks", a.allBlocks}};
  if (!a.compress.empty()) fields["compress"] = a.compress;
  json r = callService(a.socket, "backup", fields, [&](const json& e) {
    if (e.value("event", "") == "progress")
      progress.update(a.device + " into " + a.repo, e.value("done", 0ull), e.value("total", 0ull));
  });
  progress.clear();
  const bool bad = r.value("verified", "-") == "NO";
  if (asJson) {
    out << r.dump(2) << "\n";
    return bad ? 1 : 0;
  }
  out << "round " << r.value("round", -1) << " of " << a.device << " into " << r.value("repo", repo) << ": "
      << r.value("kind", "?") << ", " << r.value("blocksCopied", 0ull) << " blocks";
  if (r.contains("changedBlocks") && !r["changedBlocks"].is_null())
    out << " (" << r["changedBlocks"].get<uint64_t>() << " changed)";
  out << " in " << fmtSeconds(r.value("seconds", 0.0)) << " s\n";
  std::string reason = r.value("fullBecause", "");
  if (!reason.empty()) out << "full backup because: " << reason << "\n";
  if (std::string all = r.value("allBlocksBecause", ""); !all.empty()) out << "all blocks copied because: " << all << "\n";
  if (r.value("verified", "-") != "-") out << "verified: " << r.value("verified", "-") << "\n";
  if (bad) err << "velloc: error: round " << r.value("round", -1) << " of " << a.device
                << " does not match the partition as frozen: " << r.value("check", "") << "\n";
  return bad ? 1 : 0;
}

}  // namespace velloc::cli
