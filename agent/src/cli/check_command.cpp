// `velloc check DIR`: one line per problem, then a summary; 0 clean, 1 damaged, 2 could
// not check.
#include <CLI/CLI.hpp>
#include <memory>
#include <nlohmann/json.hpp>

#include "repo_commands.h"
#include "velloc/agent/check.h"

namespace velloc::cli {

using nlohmann::json;
using agent::CheckFinding;
using agent::CheckReport;

namespace {

struct CheckArgs {
  std::string dir;
  bool readData = false;
};

json findings(const std::vector<CheckFinding>& v) {
  json a = json::array();
  for (const CheckFinding& f : v) a.push_back({{"file", f.file}, {"problem", f.what}});
  return a;
}

int runCheck(const CheckArgs& a, bool asJson, std::ostream& out, std::ostream& err) {
  CheckReport r = agent::checkBackupDir(a.dir, a.readData);
  const char* verdict = r.couldNotCheck ? "could not check" : r.problems.empty() ? "clean" : "damaged";
  if (asJson) {
    out << json{{"command", "check"}, {"dir", a.dir}, {"readData", a.readData}, {"result", verdict},
                {"rounds", r.rounds}, {"files", r.files}, {"bytes", r.bytes}, {"problems", findings(r.problems)},
                {"notes", findings(r.notes)}}.dump(2)
        << "\n";
    return r.exitCode();
  }
  if (r.couldNotCheck) {
    err << "velloc: error: cannot check " << a.dir << ": " << r.problems.front().what << "\n";
    return r.exitCode();
  }
  for (const CheckFinding& f : r.problems) out << f.file << ": " << f.what << "\n";
  for (const CheckFinding& f : r.notes) out << "note: " << f.file << ": " << f.what << "\n";
  out << a.dir << ": " << verdict << ": ";
  if (!r.problems.empty()) out << r.problems.size() << " problem(s); ";
  out << r.rounds << " round(s), " << r.files << " file(s), " << r.bytes << " bytes ("
      << (a.readData ? "metadata and every checksum" : "metadata only; --read-data also reads every file") << ")\n";
  return r.exitCode();
}

}  // namespace

CLI::App* addCheckCommand(CLI::App& app, CommandRun& run) {
  auto args = std::make_shared<CheckArgs>();
  auto* c = app.add_subcommand("check", "verify a backup directory without restoring it (exit 0 clean, 1 damaged, "
                                        "2 could not check)");
  c->add_option("DIR", args->dir, "backup directory")->required();
  c->add_flag("--read-data", args->readData, "also read every file and compare its checksum (slow)");
  c->callback([args, &run] {
    run = [args](bool asJson, std::ostream& out, std::ostream& err) { return runCheck(*args, asJson, out, err); };
  });
  return c;
}

}  // namespace velloc::cli
