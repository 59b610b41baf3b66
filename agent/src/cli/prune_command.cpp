// `velloc prune DIR --keep K`: the newest K restore points stay, older ones are merged.
#include <CLI/CLI.hpp>
#include <memory>

#include "repo_commands.h"
#include "velloc/agent/merge.h"
#include "velloc/agent/partial_files.h"

namespace velloc::cli {

namespace {
struct PruneArgs {
  std::string dir;
  int keep = 1;
  double wait = 0;
};
}  // namespace

CLI::App* addPruneCommand(CLI::App& app, CommandRun& run) {
  auto a = std::make_shared<PruneArgs>();
  auto* c = app.add_subcommand("prune", "keep the newest K restore points: the older ones are merged into the "
                                        "oldest kept one");
  c->add_option("DIR", a->dir, "backup directory")->required();
  c->add_option("--keep", a->keep, "restore points to keep")->required()->check(CLI::Range(1, 1 << 30));
  c->add_option("--wait", a->wait, "seconds to wait for another writer of DIR to finish")->check(CLI::Range(0.0, 86400.0));
  c->callback([a, &run] {
    run = [a](bool asJson, std::ostream& out, std::ostream&) {
      agent::InterruptCleanup interrupts;
      return printMerge("prune", a->dir, agent::pruneRounds(a->dir, a->keep, a->wait), asJson, out);
    };
  });
  return c;
}

}  // namespace velloc::cli
