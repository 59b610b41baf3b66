// The dispatcher of the control protocol and the requests that change or show the
// machine: attach, detach, list, status, write, stop.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "machine/disk.h"
#include "service_internal.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/errors.h"

namespace velloc::service {

using agent::AgentError;

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Service::Service(ServiceOptions o) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(o);
  impl_->startedAt = wallNow();
}

Service::~Service() { shutdown(); }

void Service::handle(const std::string& line, const Peer& peer) {
  json id;
  bool stopAfter = false;
  std::string reply;
  try {
    if (line.size() > kMaxRequestBytes)
      throw RequestError("request longer than " + std::to_string(kMaxRequestBytes) + " bytes");
    Request r = parseRequest(line, &id);
    if (r.op == "stop") {
      stopAfter = true;
      reply = replyOk(id, {{"stopping", true}});
    } else {
      reply = replyOk(id, impl_->dispatch(r, peer));
    }
  } catch (const std::exception& e) {
    reply = replyError(id, e.what());
  }
  peer.send(reply);
  if (stopAfter) {
    impl_->log("stop requested by a client (pid " + std::to_string(peer.pid) + ")");
    requestStop();
  }
}

json Service::Impl::dispatch(const Request& r, const Peer& peer) {
  if (stop && r.op != "status" && r.op != "list") throw RequestError("the service is stopping");
  if (r.op == "attach") return opAttach(r.body);
  if (r.op == "detach") return opDetach(r.body);
  if (r.op == "list") return opList();
  if (r.op == "status") return opStatus(r.body);
  if (r.op == "backup") return opBackup(r, peer);
  if (r.op == "mount") return opMount(r.body);
  if (r.op == "unmount") return opUnmount(r.body);
  if (r.op == "write") return opWrite(r.body);
  throw RequestError("unknown request \"" + r.op +
                     "\" (known: attach, detach, list, status, backup, mount, unmount, write, stop)");
}

std::string Service::attach(const std::string& image) {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->attachLocked(image);
}

void Service::requestStop() {
  {
    std::lock_guard<std::mutex> g(impl_->stopMu);
    impl_->stop = true;
  }
  impl_->stopCv.notify_all();
}

bool Service::stopRequested() const { return impl_->stop; }

void Service::waitForStop() {
  std::unique_lock<std::mutex> g(impl_->stopMu);
  impl_->stopCv.wait(g, [&] { return impl_->stop.load(); });
}

void Service::shutdown() {
  requestStop();
  std::lock_guard<std::mutex> s(impl_->slot);  // the running backup has ended
  std::lock_guard<std::mutex> g(impl_->mu);
  if (impl_->down) return;
  impl_->down = true;
  while (!impl_->disks.empty()) {
    AttachedDisk* d = impl_->disks.back().get();
    try {
      impl_->detachLocked(d);
    } catch (const std::exception& e) {
      impl_->log("cannot take down " + d->name + " cleanly: " + e.what());
      impl_->disks.pop_back();
    }
  }
}

// ---- attach and detach ------------------------------------------------------------------

std::string Service::Impl::attachLocked(const std::string& image) {
  char real[PATH_MAX];
  if (!::realpath(image.c_str(), real)) throw AgentError("cannot open image " + image + ": no such file");
  std::string path = real;
  std::vector<bool> used(kMaxDisks, false);
  for (const auto& d : disks) {
    if (d->image == path) throw RequestError(image + " is already attached as " + d->name);
    used[size_t(d->slot)] = true;
  }
  int slot = 0;
  while (slot < kMaxDisks && used[size_t(slot)]) slot++;
  if (slot == kMaxDisks) throw RequestError("the service holds " + std::to_string(kMaxDisks) + " disks already");
  auto d = std::make_unique<AttachedDisk>();
  d->slot = slot;
  d->name = std::string("sd") + char('a' + slot);
  d->image = path;
  machine::DiskOptions o;
  o.name = d->name;
  o.first_minor = unsigned(slot) * 16;
  d->host = std::make_unique<agent::Host>(path, o);
  for (int p = 1; p <= d->host->partitionCount(); ++p) {
    if (d->host->dev(p) == 0) continue;
    Partition part;
    part.partno = p;
    part.device = d->host->devName(p);
    try {
      d->host->mount(p);
      agent::AgentProcess proc("velloc-attach");
      agent::Target t = agent::describeTarget(proc, d->host->major(p), d->host->minor(p), part.device);
      part.blockSize = t.blockSize;
      part.totalBlocks = t.totalBlocks;
      part.fileSystem = true;
    } catch (const AgentError& e) {
      d->host->unmount(p);
      part.fsProblem = e.what();
    }
    d->parts.push_back(std::move(part));
  }
  std::string name = d->name;
  std::string summary;
  for (const auto& p : d->parts)
    summary += " " + p.device + (p.fileSystem ? " (" + std::to_string(p.blockSize) + "-byte blocks)" : " (no file system)");
  disks.push_back(std::move(d));
  log("attached " + path + " as " + name + ":" + (summary.empty() ? " no partitions" : summary));
  return name;
}

void Service::Impl::detachLocked(AttachedDisk* d) {
  for (Partition& p : d->parts)
    if (p.live) {
      std::string problem = unmountLive(*d->host, p);
      if (!problem.empty()) throw RequestError(problem);
    }
  for (Partition& p : d->parts)
    if (p.tracked) {
      dropTracking(*d->host, p);
      p.tracked = false;
    }
  std::string name = d->name, image = d->image;
  for (auto it = disks.begin(); it != disks.end(); ++it)
    if (it->get() == d) {
      disks.erase(it);
      break;
    }
  log("detached " + name + " (" + image + ")");
}

json Service::Impl::opAttach(const json& body) {
  std::string image = needString(body, "image");
  std::lock_guard<std::mutex> g(mu);
  std::string name = attachLocked(image);
  json devs = json::array();
  for (const auto& d : disks)
    if (d->name == name)
      for (const auto& p : d->parts) devs.push_back(deviceJson(*d, p, false));
  return {{"disk", name}, {"devices", devs}};
}

json Service::Impl::opDetach(const json& body) {
  std::string which = optString(body, "disk");
  std::string image = optString(body, "image");
  if (which.empty() && image.empty()) throw RequestError("\"disk\" (sda) or \"image\" must be given");
  char real[PATH_MAX];
  if (!image.empty() && ::realpath(image.c_str(), real)) image = real;
  std::lock_guard<std::mutex> s(slot);  // dropping tracking needs the backup slot
  std::lock_guard<std::mutex> g(mu);
  for (const auto& d : disks)
    if (d->name == which || d->image == image) {
      std::string name = d->name;
      detachLocked(d.get());
      return {{"disk", name}};
    }
  throw RequestError("no disk " + (which.empty() ? image : which) + " is attached");
}

// ---- list and status ------------------------------------------------------------------

std::pair<AttachedDisk*, Partition*> Service::Impl::findDevice(const std::string& name) {
  std::string known;
  for (const auto& d : disks)
    for (Partition& p : d->parts) {
      if (p.device == name) return {d.get(), &p};
      known += (known.empty() ? "" : ", ") + p.device;
    }
  throw RequestError("no device " + name + " is attached to this service" +
                     (known.empty() ? " (none is: attach an image first)" : " (attached: " + known + ")"));
}

json Service::Impl::deviceJson(const AttachedDisk& d, const Partition& p, bool probe) {
  json j = {{"device", p.device}, {"disk", d.name}, {"image", d.image}, {"partition", p.partno},
            {"fileSystem", p.fileSystem}};
  if (!p.fileSystem) j["problem"] = p.fsProblem;
  if (p.fileSystem) {
    j["blockSize"] = p.blockSize;
    j["blocks"] = p.totalBlocks;
  }
  j["mounted"] = nullptr;
  if (p.live) j["mounted"] = liveMountDir(p);
  json t;
  if (!p.tracked) {
    t = {{"state", "none"}, {"why", "no backup of " + p.device + " since this service attached it"}};
  } else if (!probe) {
    t = {{"state", "unknown"}, {"why", "not asked"}};
  } else if (running) {
    t = {{"state", "unknown"}, {"why", "a backup is running; the device's state is read between backups"}};
  } else {
    try {
      t = probeTracking(*d.host, p);
    } catch (const std::exception& e) {
      t = {{"state", "unknown"}, {"why", e.what()}};
    }
  }
  j["tracking"] = t;
  return j;
}

json Service::Impl::opList() {
  std::lock_guard<std::mutex> g(mu);
  json out = json::array();
  for (const auto& d : disks) {
    json devs = json::array();
    for (const auto& p : d->parts) devs.push_back(p.device);
    out.push_back({{"disk", d->name}, {"image", d->image}, {"devices", devs}});
  }
  return {{"disks", out}};
}

json Service::Impl::opStatus(const json& body) {
  std::string only = optString(body, "device");
  // Reading tracking state takes the backup slot for a moment; while a backup holds it
  // the answer says so instead of waiting.
  std::unique_lock<std::mutex> s(slot, std::try_to_lock);
  std::lock_guard<std::mutex> g(mu);
  json devs = json::array();
  if (!only.empty()) {
    auto [d, p] = findDevice(only);
    devs.push_back(deviceJson(*d, *p, s.owns_lock()));
  } else {
    for (const auto& d : disks)
      for (const auto& p : d->parts) devs.push_back(deviceJson(*d, p, s.owns_lock()));
  }
  json run = nullptr;
  if (running) {
    run = {{"device", running->device}, {"repo", running->repo}, {"round", running->round.load()},
           {"kind", running->kind}, {"blocksDone", running->done.load()}, {"blocksToDo", running->total.load()},
           {"cacheBlocksLimit", running->cacheBlocks}, {"clientPid", running->clientPid},
           {"seconds", wallNow() - running->startedAt}};
  }
  agent::SessionStats last = agent::lastSessionStats();
  json lastSession = nullptr;
  if (last.found)
    lastSession = {{"peakCachedBlocks", last.num("peak cached blocks")},
                   {"readsFromCache", last.num("total reads from cache")},
                   {"readsFromDisk", last.num("total reads from disk")}};
  return {{"service", {{"pid", ::getpid()}, {"protocol", kProtocolVersion}, {"uptimeSeconds", wallNow() - startedAt},
                       {"stopping", stop.load()}}},
          {"devices", devs}, {"backup", run}, {"lastSession", lastSession}};
}

// ---- write (a test and load aid) ----------------------------------------------------------

json Service::Impl::opWrite(const json& body) {
  if (!opt.testWrites)
    throw RequestError("writes through the service are off (start velloc serve with --test-writes)");
  std::string dev = needString(body, "device");
  auto it = body.find("blocks");
  if (it == body.end() || !it->is_array() || it->empty() || it->size() > 65536)
    throw RequestError("\"blocks\" must be a list of 1 to 65536 block numbers");
  std::lock_guard<std::mutex> g(mu);
  auto [d, p] = findDevice(dev);
  if (!p->fileSystem) throw RequestError(dev + " has no file system velloc can write through");
  if (p->live) throw RequestError(dev + " is mounted on the host; write there instead");
  std::vector<uint32_t> blocks;
  for (const json& b : *it) {
    if (!b.is_number_unsigned() || b.get<uint64_t>() >= p->totalBlocks)
      throw RequestError("block " + b.dump() + " is not a block of " + dev + " (0 to " +
                         std::to_string(p->totalBlocks - 1) + ")");
    blocks.push_back(b.get<uint32_t>());
  }
  machine::Mount* m = d->host->mounted(p->partno);
  std::vector<uint8_t> buf(p->blockSize);
  for (uint32_t b : blocks) {
    agent::fillBlock(buf.data(), p->blockSize, b, ++writeSeq, 0);
    int rc = machine::fs_write(m, uint64_t(b) * p->blockSize, buf.data(), buf.size());
    if (rc != 0) throw RequestError("writing block " + std::to_string(b) + " of " + dev + " failed (" + std::to_string(rc) + ")");
  }
  return {{"device", dev}, {"written", blocks.size()}};
}

}  // namespace velloc::service
