// How a subcommand of `velloc` is registered: its add function puts the subcommand and
// its options on the app and, once CLI11 has parsed them, leaves in `run` what carries it
// out, so that runCli only parses and runs.
#pragma once
#include <functional>
#include <ostream>

namespace CLI {
class App;
}

namespace velloc::cli {

// Carries out a parsed subcommand: (json, out, err) -> exit status.
using CommandRun = std::function<int(bool, std::ostream&, std::ostream&)>;

// Sets `run` to `body` when subcommand `c` is the one parsed. Returns c.
CLI::App* onRun(CLI::App* c, CommandRun& run, CommandRun body);

// The one-process subcommands (demo.cpp, commands.cpp).
CLI::App* addDemoCommand(CLI::App& app, CommandRun& run);
CLI::App* addBackupCommand(CLI::App& app, CommandRun& run);
CLI::App* addRestoreCommand(CLI::App& app, CommandRun& run);
CLI::App* addVerifyCommand(CLI::App& app, CommandRun& run);
CLI::App* addInfoCommand(CLI::App& app, CommandRun& run);
CLI::App* addLogCommand(CLI::App& app, CommandRun& run);

}  // namespace velloc::cli
