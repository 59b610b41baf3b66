// `velloc live`: the partition served through FUSE, a loop device on it, the host's ext4
// mounted from it; a full backup and incrementals every few seconds while whatever the
// user runs writes there, each checked against the partition as it stood while frozen
// for its snapshot and with e2fsck; then everything taken down in reverse order.
#include "live_command.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "../fileutil.h"
#include "cli_internal.h"
#include "live/fuse_disk.h"
#include "live/host_fs_freeze.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/live_mount.h"

namespace velloc::cli {

namespace {

volatile sig_atomic_t g_stopSignal = 0;
void onStopSignal(int sig) { g_stopSignal = sig; }

// Ctrl-C, kill and a closed terminal end the run at the next round boundary, so that the
// teardown always runs; restored to what they were when the run ends.
class StopSignals {
 public:
  StopSignals() {
    g_stopSignal = 0;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < 3; ++i) ::sigaction(kSignals[i], &sa, &old_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < 3; ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
  }
  static bool stopped() { return g_stopSignal != 0; }
  // Sleeps up to `seconds`; false when a stop signal came.
  static bool sleep(double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stopped() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !stopped();
  }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3];
};

std::string defaultOutDir(const std::string& image) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
  return image + ".live-" + stamp;
}

}  // namespace

CLI::App* addLiveCommand(CLI::App& app, LiveArgs& a) {
  auto* c = app.add_subcommand("live", "mount a partition's ext4 on the host (FUSE + loop device) and back it up "
                                       "while real programs write there (root)");
  c->add_option("IMAGE", a.image, "disk image with an MBR")->required();
  c->add_option("--partition", a.partition, "partition number (1-4)")->required();
  c->add_option("--mount", a.mountDir, "empty directory to mount the partition's ext4 at")->required();
  c->add_option("--out", a.outDir, "backup directory to create (default IMAGE.live-DATE-TIME)");
  c->add_option("--rounds", a.rounds, "incremental backups after the full one")->check(CLI::Range(0, 1000));
  c->add_option("--interval", a.interval, "seconds before each backup")->check(CLI::Range(0.0, 3600.0));
  c->add_option("--cache-blocks", a.cacheBlocks, "copy-on-write cache limit in blocks")->check(CLI::Range(1u, 1u << 30));
  return c;
}

int cmdLive(const LiveArgs& a, bool asJson, std::ostream& out, std::ostream& err) {
  requireLiveMachine();
  const std::string outDir = a.outDir.empty() ? defaultOutDir(a.image) : a.outDir;
  if (fs::exists(outDir)) throw AgentError("output directory " + outDir + " already exists; choose a new one");
  std::string scratch = outDir + ".checking";
  if (fs::exists(scratch)) throw AgentError(scratch + " already exists; remove it or choose another --out");

  StopSignals signals;
  auto note = [&err](const std::string& line) { err << line << "\n" << std::flush; };
  auto t0 = std::chrono::steady_clock::now();
  Host host(a.image);
  LiveMount live(host, a.partition, a.mountDir, note);
  note("velloc live: " + host.devName(a.partition) + " of " + a.image + " served as " + live.fuseFile() + " on " +
       live.loopDevice() + ", ext4 mounted at " + live.mountDir());
  if (::mkdir(scratch.c_str(), 0700) != 0) throw AgentError("cannot create " + scratch);

  std::vector<json> rounds;
  std::vector<RoundReport> reps;
  std::vector<std::string> statsLines;
  bool ok = true;
  {
    AgentProcess proc;
    PartitionJob::Options o;
    o.backup.cacheBlocks = a.cacheBlocks;
    o.checkAgainstFreeze = true;
    o.restoreDir = scratch;  // every round rebuilt from its chain, checked and fsck'd, then removed
    o.fsck = true;
    PartitionJob job(host, proc, a.partition, outDir, o);
    note("velloc live: ready; backups every " + fmtSeconds(a.interval) + " s into " + outDir);
    if (!asJson) printTableHeader(out);
    Progress progress(err, progressWanted(err));
    for (int r = 0; r <= a.rounds; ++r) {
      if (!StopSignals::sleep(a.interval)) break;
      int freezesBefore = live.freezer().freezes();
      RoundReport rep = job.runRound(r, &progress);
      ::remove((scratch + "/" + job.target().name + "-round-" + std::to_string(r) + ".img").c_str());
      rep.ok = rep.ok && rep.error.empty();
      json j = rep.toJson();
      if (live.freezer().freezes() > freezesBefore) {
        // Wall-clock times, so that whoever wrote in the mount can tell which of their
        // files were complete before the snapshot (every write finished before the
        // freeze was called is in the backup).
        j["freezeCalledAt"] = live.freezer().lastFreezeCalled();
        j["frozenAt"] = live.freezer().lastFreezeHeld();
        j["thawedAt"] = live.freezer().lastThawed();
      }
      rounds.push_back(j);
      if (!asJson) printTableRow(out, rep);
      reps.push_back(rep);
      if (!rep.ok) {
        ok = false;
        break;
      }
    }
    statsLines = lastSessionStats().lines;
    if (job.anyRound()) saveKernelLog(outDir + "/kernel.log");
  }
  const machine::FuseDiskCounters& io = live.fuse().counters();
  json fuseRequests = {{"reads", io.reads.load()}, {"writes", io.writes.load()}, {"flushes", io.flushes.load()},
                       {"unaligned", io.unaligned.load()}, {"errors", io.errors.load()}};
  note("velloc live: backups done, taking down " + live.mountDir());
  std::vector<std::string> problems = live.teardown();
  ::rmdir(scratch.c_str());
  int sig = g_stopSignal;

  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  json j = {{"command", "live"}, {"image", a.image}, {"partition", a.partition}, {"mount", live.mountDir()},
            {"dir", outDir}, {"ok", ok && problems.empty() && !sig}, {"interrupted", sig != 0},
            {"seconds", elapsed}, {"rounds", rounds}, {"lastSessionStatistics", statsLines},
            {"fuseRequests", fuseRequests}};
  j["teardownProblems"] = problems;
  if (asJson) {
    out << j.dump(2) << "\n";
  } else {
    out << "\nstatistics of the last session (kernel log):\n";
    for (const auto& l : statsLines) out << "  " << l << "\n";
    out << "backup directory: " << outDir << "\n";
  }
  for (const auto& p : problems) err << "velloc: error: " << p << "\n";
  if (!problems.empty()) return 2;
  if (sig) {
    err << "velloc: error: stopped by signal " << sig << " after " << reps.size()
        << " backup(s); everything was taken down\n";
    return 2;
  }
  if (!ok) {
    const RoundReport& last = reps.back();
    err << "velloc: error: round " << last.round << " of " << last.device << ": "
        << (last.error.empty() ? last.verifyNote : last.error) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace velloc::cli
