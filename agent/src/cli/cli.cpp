// Argument parsing and dispatch of `velloc`.
#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "cli_internal.h"
#include "repo_commands.h"
#include "service_commands.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/round_chunks.h"
#include "velloc/cli.h"
#include "velloc.h"
#if VELLOC_HAVE_LIVE
#include "live_command.h"
#endif

namespace velloc {

namespace {
// The demo keeps its work next to the build when run from a source tree (make demo).
std::string defaultWorkdir() {
  struct stat st;
  if (::stat("build", &st) == 0 && S_ISDIR(st.st_mode)) return "build/demo";
  return "velloc-demo";
}

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

  std::string workdir = defaultWorkdir();
  int rounds = 3, writers = 4;
  double seconds = 1.5;
  uint32_t cacheBlocks = 16384;
  auto* demo = app.add_subcommand("demo", "build a disk image with two ext4 partitions, back both up while "
                                          "writers run, check every round");
  demo->add_option("--workdir", workdir, "work directory (kept: image, backups, restored images, kernel log)");
  demo->add_option("--rounds", rounds, "incremental rounds after the full one")->check(CLI::Range(0, 100));
  demo->add_option("--writers", writers, "writer threads per partition")->check(CLI::Range(0, 64));
  demo->add_option("--seconds", seconds, "seconds of writing before each round")->check(CLI::Range(0.0, 600.0));
  demo->add_option("--cache-blocks", cacheBlocks, "copy-on-write cache limit in blocks")->check(CLI::Range(1u, 1u << 24));

  std::string image, outDir;
  int partition = 0, bRounds = 0, bWriters = 0;
  double bSeconds = 1.0;
  uint32_t bCache = 16384;
  cli::ServiceBackupArgs sBackup;
  auto* backup = app.add_subcommand("backup", "back up a device of the velloc service into a repository (velloc backup "
                                              "sda1 --repo DIR), or one partition of a disk image in this process: a "
                                              "full round, then incrementals");
  backup->add_option("IMAGE", image, "device of the service (sda1), or a disk image with an MBR")->required();
  backup->add_option("--repo", sBackup.repo, "DEVICE: repository to add the round to (made by the first backup)");
  backup->add_flag("--full", sBackup.full, "DEVICE: a full round even when an incremental is possible");
  backup->add_flag("--verify", sBackup.verify,
                   "DEVICE: check the round against the partition as frozen for it, rebuild it and e2fsck it");
  backup->add_flag("--all-blocks", sBackup.allBlocks,
                   "copy every block of the partition, not only those its file system uses (a file system not to "
                   "be trusted, a forensic copy)");
  cli::addSocketOption(backup, sBackup.socket);
  auto* bPartition = backup->add_option("--partition", partition, "IMAGE: partition number (1-4)");
  auto* bOut = backup->add_option("--out", outDir, "IMAGE: backup directory to create (must not exist)");
  backup->add_option("--rounds", bRounds, "incremental rounds after the full one")->check(CLI::Range(0, 1000));
  backup->add_option("--writers", bWriters,
                     "writer threads overwriting the data blocks of the partition's files during the backup "
                     "(changes the image!)")->check(CLI::Range(0, 64));
  backup->add_option("--seconds", bSeconds, "seconds between rounds")->check(CLI::Range(0.0, 3600.0));
  backup->add_option("--cache-blocks", bCache, "copy-on-write cache limit in blocks")->check(CLI::Range(1u, 1u << 30));
  std::string bCompress = agent::compressionName(agent::kDefaultCompression);
  auto* bCompressOpt = backup->add_option("--compress", bCompress, "how rounds store their blocks: none (raw images, as e2fsck and qemu-img "
                                              "read them), fast or strong (zstd chunks)")
      ->check(CLI::IsMember({"none", "fast", "strong"}))
      ->capture_default_str();

  std::string rDir, rOut;
  int rRound = 0;
  auto* restore = app.add_subcommand("restore", "rebuild the partition image of one round from a backup directory");
  restore->add_option("DIR", rDir, "backup directory")->required();
  restore->add_option("--round", rRound, "round to rebuild")->required();
  restore->add_option("--out", rOut, "image file to create (must not exist; zeros become holes), a block device "
                                     "(not mounted, at least the partition's size), or - for standard output")->required();

  std::string vA, vB;
  uint32_t vBs = 4096;
  auto* verify = app.add_subcommand("verify", "compare two images block by block");
  verify->add_option("A", vA, "first image")->required();
  verify->add_option("B", vB, "second image")->required();
  verify->add_option("--block-size", vBs, "block size to report differences in")->check(CLI::Range(1u, 1u << 20));

  std::string iImage;
  auto* info = app.add_subcommand("info", "partitions of a disk image as the device reports them");
  info->add_option("IMAGE", iImage, "disk image")->required();

  std::string logFrom;
  auto* log = app.add_subcommand("log", "the kernel log of the last run (dmesg style)");
  log->add_option("FROM", logFrom, "a work/backup directory or log file (default: the last run)");

  cli::CommandRun repoRun;
  cli::addCheckCommand(app, repoRun);
  cli::addMergeCommand(app, repoRun);
  cli::addPruneCommand(app, repoRun);

#if VELLOC_HAVE_LIVE
  cli::LiveArgs liveArgs;
  auto* live = cli::addLiveCommand(app, liveArgs);
#endif
  cli::ServeArgs serveArgs;
  auto* serve = cli::addServeCommand(app, serveArgs);
  cli::ClientArgs clientArgs;
  auto* status = cli::addStatusCommand(app, clientArgs);
  auto* attach = cli::addAttachCommand(app, clientArgs);
  auto* detach = cli::addDetachCommand(app, clientArgs);
  auto* mount = cli::addMountCommand(app, clientArgs);
  auto* unmount = cli::addUnmountCommand(app, clientArgs);
  auto* stop = cli::addStopCommand(app, clientArgs);

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
    if (e.get_exit_code() == 0) {
      out << app.help();
      return 0;
    }
    return failure(e.what(), 2, jsonEarly, out, err);
  }
  // Subcommand help (CLI11 raises it from inside parse for subcommands as well).
  try {
    if (*demo) return cli::cmdDemo(workdir, rounds, writers, seconds, cacheBlocks, json, out, err);
    if (*backup && cli::namesServiceDevice(image)) {
      if (sBackup.repo.empty()) throw agent::AgentError("backup of device " + image + " needs --repo DIR");
      if (*bPartition || *bOut)
        throw agent::AgentError(image + " is a device of the service: give --repo DIR, not --partition or --out");
      sBackup.device = image;
      sBackup.cacheBlocks = bCache;
      if (*bCompressOpt) sBackup.compress = bCompress;
      return cli::cmdServiceBackup(sBackup, json, out, err);
    }
    if (*backup) {
      if (!*bPartition || !*bOut)
        throw agent::AgentError("backup of image " + image + " needs --partition N and --out DIR (or name a device "
                                "of the service, such as sda1, with --repo DIR)");
      agent::Compression c;
      agent::parseCompression(bCompress, &c);
      return cli::cmdBackup(image, partition, outDir, bRounds, bWriters, bCache, bSeconds, c, sBackup.allBlocks, json,
                            out, err);
    }
    if (*serve) return cli::cmdServe(serveArgs, out, err);
    if (*status) return cli::cmdStatus(clientArgs, json, out);
    if (*attach) return cli::cmdAttach(clientArgs, json, out);
    if (*detach) return cli::cmdDetach(clientArgs, json, out);
    if (*mount) return cli::cmdMount(clientArgs, json, out);
    if (*unmount) return cli::cmdUnmount(clientArgs, json, out);
    if (*stop) return cli::cmdStop(clientArgs, json, out);
    if (*restore) return cli::cmdRestore(rDir, rRound, rOut, json, out, err);
    if (*verify) return cli::cmdVerify(vA, vB, vBs, json, out);
    if (*info) return cli::cmdInfo(iImage, json, out);
    if (*log) return cli::cmdLog(logFrom, out);
    if (repoRun) return repoRun(json, out, err);
#if VELLOC_HAVE_LIVE
    if (*live) return cli::cmdLive(liveArgs, json, out, err);
#endif
  } catch (const std::exception& e) {
    return failure(e.what(), 2, json, out, err);
  }
  return 2;
}

}  // namespace velloc
