// `velloc backup`, `restore`, `verify`, `info` and `log`.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>

#include "cli_internal.h"
#include "command_run.h"
#include "service_commands.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/partial_files.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/round_chunks.h"

namespace velloc::cli {

int cmdBackup(const std::string& image, int partition, const std::string& outDir, int rounds, int writers,
              uint32_t cacheBlocks, double seconds, Compression compression, bool allBlocks, bool asJson, std::ostream& out,
              std::ostream& err) {
  // Refuse a bad output directory before touching the image; a backup directory is
  // continued.
  {
    struct stat st;
    if (::stat(outDir.c_str(), &st) == 0 && ::stat((outDir + "/manifest.json").c_str(), &st) != 0)
      throw AgentError("output directory " + outDir + " already exists and holds no velloc backup; choose a new one");
  }
  InterruptCleanup interrupts;
  Host host(image);
  host.requirePartition(partition);
  host.mount(partition);
  AgentProcess proc;
  PartitionJob::Options o;
  o.backup.cacheBlocks = cacheBlocks;
  o.backup.allBlocks = allBlocks;
  o.compression = compression;
  PartitionJob job(host, proc, partition, outDir, o);

  std::unique_ptr<Writers> w;
  if (writers > 0) {
    auto blocks = dataBlocksOf(image, host.startSector(partition) * 512);
    if (blocks.empty()) throw AgentError("partition " + std::to_string(partition) + " of " + image +
                                         " has no file data for --writers to overwrite");
    w = std::make_unique<Writers>(host.mounted(partition), job.target().blockSize, blocks, unsigned(writers), 1, 2000);
    w->start();
  }
  Progress progress(err, progressWanted(err));
  std::vector<RoundReport> reps;
  if (!asJson) printTableHeader(out);
  bool ok = true;
  const int first = job.nextRound();
  for (int r = 0; r <= rounds; ++r) {
    if (r > 0 && seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    RoundReport rep = job.runRound(first + r, &progress);
    rep.ok = rep.error.empty();
    if (!asJson) printTableRow(out, rep);
    reps.push_back(rep);
    if (!rep.ok) { ok = false; break; }
  }
  if (w) w->stop();
  saveKernelLog(job.anyRound() ? job.outDir() + "/kernel.log" : "");
  if (asJson) {
    json j = {{"command", "backup"}, {"image", image}, {"partition", partition}, {"dir", outDir}, {"ok", ok}};
    j["rounds"] = json::array();
    for (const auto& r : reps) j["rounds"].push_back(r.toJson());
    if (w) j["writes"] = w->writes();
    out << j.dump(2) << "\n";
  } else if (job.anyRound()) {
    out << "backup directory: " << job.outDir() << "\n";
  }
  if (!ok) {
    err << "velloc: error: round " << reps.back().round << " of " << job.target().name << ": " << reps.back().error
        << "\n";
    return job.anyRound() ? 1 : 2;
  }
  return 0;
}

int cmdRestore(const std::string& dir, int round, const std::string& outImage, bool asJson, std::ostream& out,
               std::ostream& err) {
  InterruptCleanup interrupts;
  // With --out - the image is the output: the summary goes to standard error.
  const bool toStream = outImage == "-";
  RestoreResult r = toStream ? restoreToStream(dir, round, out) : restoreImage(dir, round, outImage);
  std::ostream& report = toStream ? err : out;
  if (asJson) {
    report << json{{"command", "restore"}, {"dir", dir}, {"round", round}, {"image", outImage}, {"chain", r.chain},
                   {"blocksApplied", r.blocksApplied}, {"bytes", r.bytes}, {"written", r.written}}.dump(2)
           << "\n";
  } else {
    report << "restored round " << round << " of " << dir << " into " << (toStream ? "standard output" : outImage)
           << " (full round " << r.chain.front();
    if (r.chain.size() > 1) report << " + " << r.chain.size() - 1 << " incremental(s), " << r.blocksApplied << " blocks";
    report << ", " << r.bytes << " bytes";
    if (r.written < r.bytes) report << ", " << r.bytes - r.written << " of them zeros left as holes";
    report << ")\n";
  }
  return 0;
}

int cmdVerify(const std::string& a, const std::string& b, uint32_t blockSize, bool asJson, std::ostream& out) {
  VerifyResult v = verifyImages(a, b, blockSize);
  if (asJson) {
    out << json{{"command", "verify"}, {"a", a}, {"b", b}, {"same", v.same}, {"sizeA", v.sizeA}, {"sizeB", v.sizeB},
                {"blockSize", v.blockSize}, {"differingBlocks", v.differing}, {"firstDiffering", v.first}}.dump(2)
        << "\n";
  } else if (v.same) {
    out << "same: " << a << " and " << b << " hold the same " << v.sizeA << " bytes\n";
  } else {
    out << "DIFFERENT: " << a << " and " << b;
    if (v.sizeA != v.sizeB) out << " differ in size (" << v.sizeA << " and " << v.sizeB << " bytes)";
    if (v.differing) {
      out << (v.sizeA != v.sizeB ? "; " : " ") << v.differing << " blocks of " << v.blockSize
          << " bytes differ, first:";
      for (uint64_t x : v.first) out << " " << x;
    }
    out << "\n";
  }
  return v.same ? 0 : 1;
}

int cmdInfo(const std::string& image, bool asJson, std::ostream& out) {
  Host host(image);
  AgentProcess proc;
  json parts = json::array();
  std::ostringstream table;
  int n = host.partitionCount();
  for (int p = 1; p <= n; ++p) {
    if (host.dev(p) == 0) continue;
    json j = {{"partition", p}, {"device", host.devName(p)}, {"startSector", host.startSector(p)},
              {"sectors", host.sectors(p)}};
    std::string bs = "-", kb = "-", blocks = "-", note;
    try {
      host.mount(p);
      Target t = describeTarget(proc, host.major(p), host.minor(p), host.devName(p));
      j["blockSize"] = t.blockSize;
      j["partitionSizeKB"] = t.partitionSizeKB;
      j["blocks"] = t.totalBlocks;
      bs = std::to_string(t.blockSize);
      kb = std::to_string(t.partitionSizeKB);
      blocks = std::to_string(t.totalBlocks);
      host.unmount(p);
    } catch (const AgentError& e) {
      note = e.what();
      j["error"] = note;
    }
    parts.push_back(j);
    char line[256];
    std::snprintf(line, sizeof line, "%-4d %-6s %12llu %12llu %6s %10s %10s  %s\n", p, host.devName(p).c_str(),
                  (unsigned long long)host.startSector(p), (unsigned long long)host.sectors(p), bs.c_str(),
                  kb.c_str(), blocks.c_str(), note.empty() ? "" : "no file system");
    table << line;
  }
  if (asJson) {
    out << json{{"command", "info"}, {"image", image}, {"partitions", parts}}.dump(2) << "\n";
  } else {
    out << image << ": " << n << " partition(s)\n";
    char head[200];
    std::snprintf(head, sizeof head, "%-4s %-6s %12s %12s %6s %10s %10s\n", "part", "device", "start", "sectors",
                  "bsize", "size(KB)", "blocks");
    out << head << table.str();
  }
  return 0;
}

int cmdLog(const std::string& from, std::ostream& out) {
  std::string path = from.empty() ? lastLogPath() : from;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) path += "/kernel.log";
  std::ifstream f(path);
  if (!f) {
    if (from.empty()) throw AgentError("no kernel log of an earlier run (" + path + " not found): run velloc demo or velloc backup first");
    throw AgentError("cannot read kernel log " + path);
  }
  out << f.rdbuf();
  return 0;
}

// ---- registration --------------------------------------------------------------------------

CLI::App* onRun(CLI::App* c, CommandRun& run, CommandRun body) {
  c->callback([&run, body = std::move(body)] { run = body; });
  return c;
}

namespace {

struct BackupArgs {
  std::string image;           // a disk image, or a device of the service ("sda1")
  ServiceBackupArgs service;   // --repo, --full, --verify, --socket, and what both share
  int partition = 0, rounds = 0, writers = 0;
  std::string outDir;
  double seconds = 1.0;
  std::string compress = compressionName(kDefaultCompression);
};

// Which of the options that tell an image backup from a device's were given.
struct Given {
  bool partition, out, compress;
};

int runBackup(const BackupArgs& a, Given given, bool asJson, std::ostream& out, std::ostream& err) {
  if (namesServiceDevice(a.image)) {
    if (a.service.repo.empty()) throw AgentError("backup of device " + a.image + " needs --repo DIR");
    if (given.partition || given.out)
      throw AgentError(a.image + " is a device of the service: give --repo DIR, not --partition or --out");
    ServiceBackupArgs s = a.service;
    s.device = a.image;
    if (given.compress) s.compress = a.compress;
    return cmdServiceBackup(s, asJson, out, err);
  }
  if (!given.partition || !given.out)
    throw AgentError("backup of image " + a.image + " needs --partition N and --out DIR (or name a device "
                     "of the service, such as sda1, with --repo DIR)");
  Compression c;
  parseCompression(a.compress, &c);
  return cmdBackup(a.image, a.partition, a.outDir, a.rounds, a.writers, a.service.cacheBlocks, a.seconds, c,
                   a.service.allBlocks, asJson, out, err);
}

}  // namespace

CLI::App* addBackupCommand(CLI::App& app, CommandRun& run) {
  auto a = std::make_shared<BackupArgs>();
  auto* c = app.add_subcommand("backup", "back up a device of the velloc service into a repository (velloc backup "
                                         "sda1 --repo DIR), or one partition of a disk image in this process: a full "
                                         "round, then incrementals");
  c->add_option("IMAGE", a->image, "device of the service (sda1), or a disk image with an MBR")->required();
  c->add_option("--repo", a->service.repo, "DEVICE: repository to add the round to (made by the first backup)");
  c->add_flag("--full", a->service.full, "DEVICE: a full round even when an incremental is possible");
  c->add_flag("--verify", a->service.verify,
              "DEVICE: check the round against the partition as frozen for it, rebuild it and e2fsck it");
  c->add_flag("--all-blocks", a->service.allBlocks,
              "copy every block of the partition, not only those its file system uses (a file system not to be "
              "trusted, a forensic copy)");
  addSocketOption(c, a->service.socket);
  auto* partition = c->add_option("--partition", a->partition, "IMAGE: partition number (1-4)");
  auto* outDir = c->add_option("--out", a->outDir, "IMAGE: backup directory to create (must not exist)");
  c->add_option("--rounds", a->rounds, "incremental rounds after the full one")->check(CLI::Range(0, 1000));
  c->add_option("--writers", a->writers,
                "writer threads overwriting the data blocks of the partition's files during the backup (changes "
                "the image!)")->check(CLI::Range(0, 64));
  c->add_option("--seconds", a->seconds, "seconds between rounds")->check(CLI::Range(0.0, 3600.0));
  c->add_option("--cache-blocks", a->service.cacheBlocks, "copy-on-write cache limit in blocks")
      ->check(CLI::Range(1u, 1u << 30));
  auto* compress = c->add_option("--compress", a->compress, "how rounds store their blocks: none (raw images, as "
                                                            "e2fsck and qemu-img read them), fast or strong (zstd chunks)")
                       ->check(CLI::IsMember({"none", "fast", "strong"}))
                       ->capture_default_str();
  return onRun(c, run, [a, partition, outDir, compress](bool asJson, std::ostream& out, std::ostream& err) {
    return runBackup(*a, {bool(*partition), bool(*outDir), bool(*compress)}, asJson, out, err);
  });
}

CLI::App* addRestoreCommand(CLI::App& app, CommandRun& run) {
  struct Args {
    std::string dir, out;
    int round = 0;
  };
  auto a = std::make_shared<Args>();
  auto* c = app.add_subcommand("restore", "rebuild the partition image of one round from a backup directory");
  c->add_option("DIR", a->dir, "backup directory")->required();
  c->add_option("--round", a->round, "round to rebuild")->required();
  c->add_option("--out", a->out, "image file to create (must not exist; zeros become holes), a block device (not "
                                 "mounted, at least the partition's size), or - for standard output")->required();
  return onRun(c, run, [a](bool asJson, std::ostream& out, std::ostream& err) {
    return cmdRestore(a->dir, a->round, a->out, asJson, out, err);
  });
}

CLI::App* addVerifyCommand(CLI::App& app, CommandRun& run) {
  struct Args {
    std::string a, b;
    uint32_t blockSize = 4096;
  };
  auto a = std::make_shared<Args>();
  auto* c = app.add_subcommand("verify", "compare two images block by block");
  c->add_option("A", a->a, "first image")->required();
  c->add_option("B", a->b, "second image")->required();
  c->add_option("--block-size", a->blockSize, "block size to report differences in")->check(CLI::Range(1u, 1u << 20));
  return onRun(c, run, [a](bool asJson, std::ostream& out, std::ostream&) {
    return cmdVerify(a->a, a->b, a->blockSize, asJson, out);
  });
}

CLI::App* addInfoCommand(CLI::App& app, CommandRun& run) {
  auto image = std::make_shared<std::string>();
  auto* c = app.add_subcommand("info", "partitions of a disk image as the device reports them");
  c->add_option("IMAGE", *image, "disk image")->required();
  return onRun(c, run, [image](bool asJson, std::ostream& out, std::ostream&) { return cmdInfo(*image, asJson, out); });
}

CLI::App* addLogCommand(CLI::App& app, CommandRun& run) {
  auto from = std::make_shared<std::string>();
  auto* c = app.add_subcommand("log", "the kernel log of the last run (dmesg style)");
  c->add_option("FROM", *from, "a work/backup directory or log file (default: the last run)");
  return onRun(c, run, [from](bool, std::ostream& out, std::ostream&) { return cmdLog(*from, out); });
}

}  // namespace velloc::cli
