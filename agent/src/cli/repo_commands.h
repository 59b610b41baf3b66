// The subcommands that look after a backup directory: `check`, `merge`, `prune`.
#pragma once
#include <functional>
#include <ostream>
#include <string>

#include "command_run.h"
#include "velloc/agent/merge.h"

namespace CLI {
class App;
}

namespace velloc::cli {

// Each registers its subcommand and options on `app` and sets `run`.
CLI::App* addCheckCommand(CLI::App& app, CommandRun& run);
CLI::App* addMergeCommand(CLI::App& app, CommandRun& run);
CLI::App* addPruneCommand(CLI::App& app, CommandRun& run);

// The result of a merge or prune, as a line or JSON.
int printMerge(const std::string& command, const std::string& dir, const agent::MergeResult& r, bool asJson,
               std::ostream& out);

}  // namespace velloc::cli
