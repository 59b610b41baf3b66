// Argument parsing and dispatch of `velloc`.
#include <CLI/CLI.hpp>
#include <memory>

#include "command_run.h"
#include "repo_commands.h"
#include "service_commands.h"
#include "velloc/cli.h"
#include "velloc.h"
#if VELLOC_HAVE_LIVE
#include "live_command.h"
#endif

namespace velloc {

namespace {

#define VELLOC_STR2(x) #x
#define VELLOC_STR(x) VELLOC_STR2(x)
constexpr const char* kVersionText =
    "velloc " VELLOC_STR(VEL_VERSION_MAJOR) "." VELLOC_STR(VEL_VERSION_MINOR) "." VELLOC_STR(VEL_VERSION_MINOR2)
    " (module " VELLOC_STR(VEL_VERSION_MAJOR) "." VELLOC_STR(VEL_VERSION_MINOR) ", build " VELLOC_STR(VEL_VERSION_BUILD) ")";

// A failure as the user sees it: one line on standard error, and with --json one
// document on standard output, {"error": {"message", "code"}}, whatever failed.
int failure(const std::string& message, int code, bool asJson, std::ostream& out, std::ostream& err) {
  err << "velloc: error: " << message << "\n";
  if (asJson) out << nlohmann::json{{"error", {{"message", message}, {"code", code}}}}.dump() << "\n";
  return code;
}

// The command named on the line, before CLI11 sees it: "" when none is (only options).
// Global flags may come first; everything else that starts with '-' ends the search,
// since its value could look like a command.
std::string commandWord(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--json" || a == "--verbose" || a == "-v") continue;
    if (!a.empty() && a[0] == '-') return "-";
    return a;
  }
  return "";
}

bool jsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc; i++)
    if (std::string(argv[i]) == "--json") return true;
  return false;
}
}  // namespace

int runCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"velloc: live block-level backups of mounted partitions through the velloc module"};
  app.require_subcommand(1);
  // Options of velloc itself (--json) may follow the command too: `velloc info IMAGE --json`.
  app.fallthrough();
  bool json = false;
  app.add_flag("--json", json, "print the results as one JSON document (errors too)");
  app.set_version_flag("--version", kVersionText, "print the program's and the module's version and build");
  // `bench` has its own parser (main dispatches it first), so it is listed here by hand.
  app.footer("Also: bench    every speed and memory figure as a ratio against a same-run baseline "
             "(velloc bench --help)");

  cli::CommandRun run;
  cli::addDemoCommand(app, run);
  cli::addBackupCommand(app, run);
  cli::addRestoreCommand(app, run);
  cli::addVerifyCommand(app, run);
  cli::addInfoCommand(app, run);
  cli::addLogCommand(app, run);
  cli::addCheckCommand(app, run);
  cli::addMergeCommand(app, run);
  cli::addPruneCommand(app, run);
#if VELLOC_HAVE_LIVE
  auto live = std::make_shared<cli::LiveArgs>();
  cli::onRun(cli::addLiveCommand(app, *live), run,
             [live](bool j, std::ostream& o, std::ostream& e) { return cli::cmdLive(*live, j, o, e); });
#endif
  auto serve = std::make_shared<cli::ServeArgs>();
  cli::onRun(cli::addServeCommand(app, *serve), run,
             [serve](bool, std::ostream& o, std::ostream& e) { return cli::cmdServe(*serve, o, e); });
  // The clients of the service share their arguments; one of them is parsed.
  auto client = std::make_shared<cli::ClientArgs>();
  using ClientCommand = int (*)(const cli::ClientArgs&, bool, std::ostream&);
  auto clientRun = [client](ClientCommand cmd) {
    return [client, cmd](bool j, std::ostream& o, std::ostream&) { return cmd(*client, j, o); };
  };
  cli::onRun(cli::addStatusCommand(app, *client), run, clientRun(cli::cmdStatus));
  cli::onRun(cli::addAttachCommand(app, *client), run, clientRun(cli::cmdAttach));
  cli::onRun(cli::addDetachCommand(app, *client), run, clientRun(cli::cmdDetach));
  cli::onRun(cli::addMountCommand(app, *client), run, clientRun(cli::cmdMount));
  cli::onRun(cli::addUnmountCommand(app, *client), run, clientRun(cli::cmdUnmount));
  cli::onRun(cli::addStopCommand(app, *client), run, clientRun(cli::cmdStop));

  const bool jsonEarly = jsonAsked(argc, argv);
  if (std::string word = commandWord(argc, argv); word != "-") {
    if (word.empty()) return failure("no command given (see velloc --help)", 2, jsonEarly, out, err);
    const bool known = !app.get_subcommands([&](const CLI::App* c) { return c->check_name(word); }).empty();
    if (!known && word != "bench")
      return failure("unknown command \"" + word + "\" (see velloc --help for the commands)", 2, jsonEarly, out, err);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    // Subcommand help comes here too (CLI11 raises it from inside parse).
    if (e.get_exit_code() == 0) {
      out << app.help();
      return 0;
    }
    return failure(e.what(), 2, jsonEarly, out, err);
  }
  if (!run) return failure("no command given (see velloc --help)", 2, json, out, err);
  try {
    return run(json, out, err);
  } catch (const std::exception& e) {
    return failure(e.what(), 2, json, out, err);
  }
}

}  // namespace velloc
