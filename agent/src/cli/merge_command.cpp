// `velloc merge DIR --upto N`: rounds up to N folded into one full round.
#include <CLI/CLI.hpp>
#include <memory>
#include <nlohmann/json.hpp>

#include "repo_commands.h"
#include "velloc/agent/merge.h"
#include "velloc/agent/partial_files.h"

namespace velloc::cli {

using nlohmann::json;

int printMerge(const std::string& command, const std::string& dir, const agent::MergeResult& r, bool asJson,
               std::ostream& out) {
  if (asJson) {
    out << json{{"command", command}, {"dir", dir}, {"changed", r.changed}, {"first", r.first}, {"upto", r.upto},
                {"roundsDropped", r.roundsDropped}, {"bytesRead", r.bytesRead}, {"bytesBefore", r.bytesBefore},
                {"bytesAfter", r.bytesAfter}, {"seconds", r.seconds}}.dump(2)
        << "\n";
  } else if (!r.changed) {
    out << dir << ": nothing to fold: round " << r.upto << " already starts the directory with a full image\n";
  } else {
    out << dir << ": rounds " << r.first << "-" << r.upto << " folded into one full round " << r.upto << " ("
        << r.roundsDropped << " round(s) dropped; round files " << r.bytesBefore << " -> " << r.bytesAfter
        << " bytes; " << r.seconds << " s)\n";
  }
  return 0;
}

namespace {
struct MergeArgs {
  std::string dir;
  int upto = 0;
  double wait = 0;
};
}  // namespace

CLI::App* addMergeCommand(CLI::App& app, CommandRun& run) {
  auto a = std::make_shared<MergeArgs>();
  auto* c = app.add_subcommand("merge", "fold rounds up to N into one full round (from the backup files alone; "
                                        "every later round still restores)");
  c->add_option("DIR", a->dir, "backup directory")->required();
  c->add_option("--upto", a->upto, "the round that becomes the first, full one")->required()->check(CLI::Range(0, 1 << 30));
  c->add_option("--wait", a->wait, "seconds to wait for another writer of DIR to finish")->check(CLI::Range(0.0, 86400.0));
  c->callback([a, &run] {
    run = [a](bool asJson, std::ostream& out, std::ostream&) {
      agent::InterruptCleanup interrupts;
      return printMerge("merge", a->dir, agent::mergeRounds(a->dir, a->upto, a->wait), asJson, out);
    };
  });
  return c;
}

}  // namespace velloc::cli
