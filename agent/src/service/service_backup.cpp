// The backup request: one round of a partition into a repository, run by the agent
// library as one agent process of the stand-in, through the character device. The
// repository says what came before: the round number, and the key (DIR/key) the device
// must still hold for the round to be incremental.
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "../cli/cli_internal.h"
#include "service_internal.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/round_chunks.h"

namespace velloc::service {

using agent::AgentError;

namespace {

// Why the device had nothing for the repository's key, in the words of a service: its
// tracking lives only as long as the service (and the disk's attachment) does.
std::string serviceReason(const std::string& reason, const Partition& p) {
  if (reason.rfind("the device tracks no changes", 0) == 0)
    return "service restarted: nothing has tracked " + p.device +
           " since the last backup (the service was restarted or the image re-attached)";
  return reason;
}

}  // namespace

json Service::Impl::opBackup(const Request& r, const Peer& peer) {
  const std::string dev = needString(r.body, "device");
  const std::string repo = needString(r.body, "repo");
  const uint32_t cacheBlocks = uint32_t(optUnsigned(r.body, "cacheBlocks", 16384, 1u << 30));
  const bool full = optBool(r.body, "full", false);
  const bool verify = optBool(r.body, "verify", false);
  const bool allBlocks = optBool(r.body, "allBlocks", false);
  if (cacheBlocks == 0) throw RequestError("\"cacheBlocks\" must be at least 1");
  agent::Compression compression = agent::kDefaultCompression;
  if (std::string c = optString(r.body, "compress", agent::compressionName(compression));
      !agent::parseCompression(c, &compression))
    throw RequestError("\"compress\" must be \"none\", \"fast\" or \"strong\", not \"" + c + "\"");

  // A running backup refuses this one; the short holders of the slot (a status query,
  // a mount or detach) are waited for.
  std::unique_lock<std::mutex> s(slot, std::defer_lock);
  while (!s.try_lock()) {
    {
      std::lock_guard<std::mutex> g(mu);
      if (running)
        throw RequestError("another backup is running (" + running->device + " into " + running->repo +
                           "); try again when it has finished");
    }
    if (stop) throw RequestError("the service is stopping");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  AttachedDisk* d;
  Partition* p;
  auto run = std::make_shared<RunningBackup>();
  {
    std::lock_guard<std::mutex> g(mu);
    std::tie(d, p) = findDevice(dev);
    if (!p->fileSystem) throw RequestError(dev + " cannot be backed up: " + p->fsProblem);
    run->device = dev;
    run->repo = repo;
    run->cacheBlocks = cacheBlocks;
    run->clientPid = peer.pid;
    run->startedAt = wallNow();
    running = run;
    // From the snapshot on the module may hold tracking for the partition, which must
    // be ended before its disk goes (ending none is harmless).
    p->tracked = true;
  }
  struct ClearRunning {
    Impl* self;
    ~ClearRunning() {
      std::lock_guard<std::mutex> g(self->mu);
      self->running.reset();
    }
  } clear{this};

  log("backup of " + dev + " into " + repo + " for client pid " + std::to_string(peer.pid));
  // The round ends at the next block run when the client hangs up or the service stops;
  // its files are dropped and the repository keeps what it had.
  auto lastEvent = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  auto progress = [&](uint64_t done, uint64_t total) {
    run->done = done;
    run->total = total;
    if (stop) throw AgentError("the service is stopping; this round was abandoned");
    auto now = std::chrono::steady_clock::now();
    if (now - lastEvent < std::chrono::milliseconds(100) && done != total) return;
    lastEvent = now;
    if ((peer.gone && peer.gone()) ||
        !peer.send(eventLine(r.id, "progress", {{"device", dev}, {"done", done}, {"total", total}})))
      throw AgentError("the client went away; this round was abandoned");
  };

  agent::AgentProcess proc("velloc-backup");
  cli::PartitionJob::Options o;
  o.backup.cacheBlocks = cacheBlocks;
  o.backup.wantIncremental = !full;
  o.backup.allBlocks = allBlocks;
  o.backup.progress = progress;
  o.lockWaitSeconds = opt.repoLockWaitSeconds;
  o.compression = compression;
  const std::string scratch = repo + ".checking";
  if (verify) {
    // The round against the partition as it stood while frozen for its snapshot, then
    // rebuilt from its chain (compared again) and checked with e2fsck -fn.
    if (::mkdir(scratch.c_str(), 0700) != 0)
      throw RequestError("cannot create " + scratch + " to check the round in: " + std::strerror(errno));
    o.checkAgainstFreeze = true;
    o.restoreDir = scratch;
    o.fsck = true;
  }
  struct RemoveScratch {
    const std::string& dir;
    bool on;
    ~RemoveScratch() {
      if (on) std::filesystem::remove_all(dir);
    }
  } removeScratch{scratch, verify};
  cli::PartitionJob job(*d->host, proc, p->partno, repo, o);
  const int round = job.nextRound();
  run->round = round;
  cli::RoundReport rep = job.runRound(round, nullptr);
  if (!rep.error.empty()) {
    log("backup of " + dev + " into " + repo + " failed: " + rep.error);
    throw RequestError(rep.error);
  }
  rep.reason = serviceReason(rep.reason, *p);
  log("round " + std::to_string(round) + " of " + dev + " into " + repo + ": " + rep.kind + ", " +
      std::to_string(rep.copied) + " blocks" + (rep.reason.empty() ? "" : " (" + rep.reason + ")"));
  if (rep.verified == "NO") log("round " + std::to_string(round) + " of " + dev + " did NOT verify: " + rep.verifyNote);
  json j = rep.toJson();
  j["repo"] = job.outDir();
  return j;
}

}  // namespace velloc::service
