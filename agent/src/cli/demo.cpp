// `velloc demo`: a disk image with two real ext4 file systems, backed up full and then
// incrementally while writer threads keep changing file data, every round checked
// against the partition as it was while frozen and rebuilt from its chain.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <CLI/CLI.hpp>

#include "../fileutil.h"
#include "cli_internal.h"
#include "command_run.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/image_builder.h"

namespace velloc::cli {

namespace {

constexpr const char* kMarker = ".velloc-demo";

// A fresh work directory: created, or emptied when an earlier demo made it.
void prepareWorkdir(const std::string& dir) {
  namespace sfs = std::filesystem;
  std::error_code ec;
  if (sfs::exists(dir, ec)) {
    if (!sfs::is_directory(dir, ec)) throw AgentError("work directory " + dir + " exists and is not a directory");
    bool empty = sfs::is_empty(dir, ec);
    if (!empty && !sfs::exists(dir + "/" + kMarker, ec))
      throw AgentError("work directory " + dir + " exists and was not made by velloc demo; choose another --workdir");
    for (const auto& e : sfs::directory_iterator(dir, ec)) sfs::remove_all(e.path(), ec);
  } else {
    sfs::create_directories(dir, ec);
    if (ec) throw AgentError("cannot create work directory " + dir + ": " + ec.message());
  }
  std::ofstream(dir + "/" + kMarker) << "made by velloc demo; emptied by the next demo run\n";
  if (!sfs::exists(dir + "/" + kMarker, ec)) throw AgentError("work directory " + dir + " is not writable");
  sfs::create_directories(dir + "/backups", ec);
  sfs::create_directories(dir + "/restored", ec);
}

}  // namespace

int cmdDemo(const std::string& workdir, int rounds, int writers, double seconds, uint32_t cacheBlocks, bool asJson,
            std::ostream& out, std::ostream& err) {
  auto t0 = std::chrono::steady_clock::now();
  prepareWorkdir(workdir);
  auto since = [](std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  };
  const std::string image = workdir + "/disk.img";
  if (!asJson) out << "velloc demo: building " << image << " (MBR, ext4 with 4096- and 1024-byte blocks)\n";
  std::vector<FsSpec> specs(2);
  specs[0] = FsSpec{4096, 48ull << 20, "velloc-4k", 6, 4ull << 20};
  specs[1] = FsSpec{1024, 24ull << 20, "velloc-1k", 6, 2ull << 20};
  std::vector<BuiltPartition> built = buildExt4Image(image, specs, workdir);
  double buildSeconds = since(t0);

  std::vector<RoundReport> reps;
  std::vector<std::string> statsLines;
  uint64_t writes = 0, writeErrors = 0;
  std::string writeError;
  double oracleMax = 0;
  {
    Host host(image);
    AgentProcess proc;
    std::vector<std::unique_ptr<PartitionJob>> jobs;
    std::vector<std::unique_ptr<Writers>> ws;
    auto quiet = [&ws](bool on) {
      for (auto& w : ws) w->pause(on);
    };
    for (const BuiltPartition& p : built) {
      machine::Mount* m = host.mount(p.partno);
      PartitionJob::Options o;
      o.backup.cacheBlocks = cacheBlocks;
      o.checkAgainstFreeze = true;
      o.restoreDir = workdir + "/restored";
      o.fsck = true;
      o.quiet = quiet;
      jobs.push_back(std::make_unique<PartitionJob>(host, proc, p.partno,
                                                    workdir + "/backups/" + host.devName(p.partno), o));
      // About 500 writes a second per writer: enough to keep the cache busy during a
      // round without rewriting every block between two rounds.
      ws.push_back(
          std::make_unique<Writers>(m, p.blockSize, p.dataBlocks, unsigned(writers), uint64_t(p.partno), 2000));
    }
    if (!asJson) {
      for (size_t i = 0; i < jobs.size(); ++i)
        out << "  " << jobs[i]->target().name << ": " << jobs[i]->target().totalBlocks << " blocks of "
            << jobs[i]->target().blockSize << " bytes, writers on " << built[i].dataBlocks.size()
            << " file data blocks\n";
      out << "running " << rounds + 1 << " rounds with " << writers << " writers per partition, " << seconds
          << " s of writing before each\n\n";
      printTableHeader(out);
    }
    for (auto& w : ws) w->start();
    Progress progress(err, progressWanted(err));
    for (int r = 0; r <= rounds; ++r) {
      double wait = r == 0 ? std::min(seconds, 0.5) : seconds;
      if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
      for (auto& job : jobs) {
        RoundReport rep = job->runRound(r, &progress);
        oracleMax = std::max(oracleMax, rep.oracleSeconds);
        if (!asJson) printTableRow(out, rep);
        reps.push_back(rep);
      }
    }
    for (auto& w : ws) {
      w->stop();
      writes += w->writes();
      writeErrors += w->errors();
      if (writeError.empty()) writeError = w->firstError();
    }
    statsLines = lastSessionStats().lines;
  }
  saveKernelLog(workdir + "/kernel.log");

  bool ok = writeErrors == 0;
  for (const auto& r : reps) ok = ok && r.ok;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  json j = {{"command", "demo"}, {"workdir", workdir}, {"image", image}, {"ok", ok}, {"writes", writes},
            {"writeErrors", writeErrors}, {"seconds", elapsed}, {"oracleSecondsInFreeze", oracleMax}, {"buildSeconds", buildSeconds}};
  j["rounds"] = json::array();
  for (const auto& r : reps) j["rounds"].push_back(r.toJson());
  j["lastSessionStatistics"] = statsLines;
  {
    std::string s = j.dump(2) + "\n";
    try { fs::writeFileAtomic(workdir + "/results.json", s.data(), s.size()); } catch (const AgentError&) {}
  }
  if (asJson) {
    out << j.dump(2) << "\n";
  } else {
    out << "\n" << writes << " writes by the writer threads";
    if (writeErrors) out << ", " << writeErrors << " FAILED (" << writeError << ")";
    out << "; 'frozen' includes up to " << fmtSeconds(oracleMax)
        << " s the checker spends copying the partition while it is frozen\n";
    out << "\nstatistics of the last session (kernel log):\n";
    for (const auto& l : statsLines) out << "  " << l << "\n";
    out << "\nwork directory " << workdir << ": disk.img, backups/, restored/, kernel.log, results.json\n";
    out << (ok ? "all rounds verified" : "SOME CHECKS FAILED") << " (" << fmtSeconds(elapsed) << " s)\n";
  }
  return ok ? 0 : 1;
}

}  // namespace velloc::cli

namespace velloc::cli {

namespace {

struct DemoArgs {
  std::string workdir;
  int rounds = 3, writers = 4;
  double seconds = 1.5;
  uint32_t cacheBlocks = 16384;
};

// The demo keeps its work next to the build when run from a source tree (make demo).
std::string defaultWorkdir() {
  struct stat st;
  if (::stat("build", &st) == 0 && S_ISDIR(st.st_mode)) return "build/demo";
  return "velloc-demo";
}

}  // namespace

CLI::App* addDemoCommand(CLI::App& app, CommandRun& run) {
  auto a = std::make_shared<DemoArgs>();
  a->workdir = defaultWorkdir();
  auto* c = app.add_subcommand("demo", "build a disk image with two ext4 partitions, back both up while writers run, "
                                       "check every round");
  c->add_option("--workdir", a->workdir, "work directory (kept: image, backups, restored images, kernel log)");
  c->add_option("--rounds", a->rounds, "incremental rounds after the full one")->check(CLI::Range(0, 100));
  c->add_option("--writers", a->writers, "writer threads per partition")->check(CLI::Range(0, 64));
  c->add_option("--seconds", a->seconds, "seconds of writing before each round")->check(CLI::Range(0.0, 600.0));
  c->add_option("--cache-blocks", a->cacheBlocks, "copy-on-write cache limit in blocks")->check(CLI::Range(1u, 1u << 24));
  return onRun(c, run, [a](bool asJson, std::ostream& out, std::ostream& err) {
    return cmdDemo(a->workdir, a->rounds, a->writers, a->seconds, a->cacheBlocks, asJson, out, err);
  });
}

}  // namespace velloc::cli
