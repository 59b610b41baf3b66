// The records behind the service: attached disks, their partitions, the running backup.
#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol.h"
#include "velloc/agent/host.h"
#include "velloc/service/service.h"

namespace velloc::agent {
class LiveMount;
}

namespace velloc::service {

// Disks a service can hold at once: each takes 16 minors, and change tracking knows
// minors up to 255.
constexpr int kMaxDisks = 16;

struct Partition {
  int partno = 0;
  std::string device;            // "sda1"
  bool fileSystem = false;       // mounted in the stand-in (a backup needs it)
  std::string fsProblem;         // why not
  uint32_t blockSize = 0, totalBlocks = 0;
  // Change tracking was started by a snapshot since the disk was attached (the module
  // holds a record for the partition, which must be dropped before the disk goes).
  bool tracked = false;
  std::shared_ptr<agent::LiveMount> live;  // presented to the host (mount request)
};

struct AttachedDisk {
  int slot = 0;                  // sda = 0, sdb = 1, ...
  std::string name;              // "sda"
  std::string image;             // canonical path
  std::unique_ptr<agent::Host> host;
  std::vector<Partition> parts;
};

// The backup in progress, for status.
struct RunningBackup {
  std::string device, repo;
  std::atomic<int> round{-1};    // -1 until the repository is open (set outside mu)
  std::string kind;              // "full" / "incr" once the snapshot decided
  std::atomic<uint64_t> done{0}, total{0};
  uint32_t cacheBlocks = 0;
  pid_t clientPid = 0;
  double startedAt = 0;          // seconds since the epoch
};

struct Service::Impl {
  ServiceOptions opt;
  // Guards disks and running; held only for short work, never across a backup's copy.
  std::mutex mu;
  std::vector<std::unique_ptr<AttachedDisk>> disks;
  std::shared_ptr<RunningBackup> running;
  // One backup (or tracking query) at a time: the module has one backup slot.
  std::mutex slot;
  std::atomic<bool> stop{false};
  std::mutex stopMu;
  std::condition_variable stopCv;
  std::atomic<uint64_t> writeSeq{0};
  double startedAt = 0;
  bool down = false;

  void log(const std::string& s) const {
    if (opt.log) opt.log("velloc serve: " + s);
  }

  json dispatch(const Request& r, const Peer& peer);
  json opAttach(const json& body);
  json opDetach(const json& body);
  json opList();
  json opStatus(const json& body);
  json opWrite(const json& body);
  json opMount(const json& body);
  json opUnmount(const json& body);
  json opBackup(const Request& r, const Peer& peer);

  // Under mu. Throws RequestError naming the known devices.
  std::pair<AttachedDisk*, Partition*> findDevice(const std::string& name);
  std::string attachLocked(const std::string& image);
  void detachLocked(AttachedDisk* d);
  json deviceJson(const AttachedDisk& d, const Partition& p, bool probe);
};

// The module's view of a partition's change tracking, through a short session of its
// own (the caller holds the backup slot): {"state": "in sync"/"out of sync"/"none",
// "blocks": blocks covered}.
json probeTracking(agent::Host& host, const Partition& p);
// Ends the module's change tracking of a partition (a snapshot told to start none), so
// that its disk can go. The caller holds the backup slot.
void dropTracking(agent::Host& host, const Partition& p);
// Takes down a partition's host mount and mounts the stand-in's view again; the
// problems joined, "" when all is gone.
std::string unmountLive(agent::Host& host, Partition& p);
// The host directory the partition is mounted at.
std::string liveMountDir(const Partition& p);

double wallNow();

}  // namespace velloc::service
